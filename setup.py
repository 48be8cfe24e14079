"""pip install . builds vorm.ext from the same sources and flags as `make`.

The source rule is tools/ext.mk's: every src/*/*.cpp. Python 2.7 to 3.11 here
have setuptools; `make build` needs none.
"""
import glob
import os
import sys

from setuptools import Command, Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCES = sorted(os.path.relpath(path, HERE) for path in glob.glob(os.path.join(HERE, "src", "*", "*.cpp")))
INIT = "PyInit_ext" if sys.version_info[0] >= 3 else "initext"


class BuildExt(build_ext):
    """Exports the module init function and nothing else, as the make build does."""

    def build_extension(self, extension):
        if not os.path.isdir(self.build_temp):
            os.makedirs(self.build_temp)
        exports = os.path.join(self.build_temp, "exports.map")
        with open(exports, "w") as handle:
            handle.write("{ global: %s; local: *; };\n" % INIT)
        extension.extra_link_args = ["-Wl,--version-script=" + exports]
        build_ext.build_extension(self, extension)


class BdistWheel(Command):
    """Stands in for the wheel package's bdist_wheel where that is missing."""

    description = "build a wheel through tools/ext.mk"
    user_options = [("dist-dir=", "d", "directory to put the wheel in")]

    def initialize_options(self):
        self.dist_dir = None

    def finalize_options(self):
        if self.dist_dir is None:
            self.dist_dir = "dist"

    def run(self):
        wheelbuild().build_wheel(self.dist_dir)

    def egg2dist(self, egginfo_path, distinfo_path):
        wheelbuild().write_dist_info(distinfo_path)


def wheelbuild():
    sys.path.insert(0, os.path.join(HERE, "tools"))
    import wheelbuild as module
    return module


COMMANDS = {"build_ext": BuildExt}
try:
    import wheel  # noqa: F401
except ImportError:
    COMMANDS["bdist_wheel"] = BdistWheel

setup(
    name="vorm",
    version="0.1.0",
    description="Discrete-event process simulation: the native request and queue core",
    packages=["vorm"],
    package_data={"vorm": ["ext.pyi", "py.typed"]},
    ext_modules=[Extension(
        "vorm.ext",
        sources=SOURCES,
        language="c++",
        extra_compile_args=["-std=c++17", "-O2", "-fvisibility=hidden", "-ffp-contract=off", "-Wall", "-Wextra",
                            "-Wno-register"],
        libraries=["dl"],
    )],
    cmdclass=COMMANDS,
    zip_safe=False,
)
