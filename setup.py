"""pip install . builds the extension modules with tools/ext.mk, the rule that
`make build` uses: the same sources, flags and exported symbols. ext.mk also
says which modules there are (tools/extmodules.py asks it).

The project's metadata is pyproject.toml's [project] table and the version is
vorm/__init__.py's. setuptools older than 61 (Python 2.7 to 3.9 here) does
not read that table, so setup.py passes its fields on there.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

import setuptools
from setuptools import Command, Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = "vorm"


def read(*parts):
    with open(os.path.join(HERE, *parts)) as handle:
        return handle.read()


def version():
    return re.search(r'^__version__ = "([^"]+)"$', read("vorm", "__init__.py"), re.M).group(1)


def project_fields():
    """The fields of pyproject.toml's [project] table that older setuptools
    needs: one-line strings, the licence's text and the classifiers."""
    fields, table, array = {}, None, None
    for line in read("pyproject.toml").splitlines():
        if array is not None:
            if line.strip() == "]":
                array = None
            else:
                fields[array].append(line.strip().rstrip(",").strip('"'))
        elif line.startswith("["):
            table = line.strip()
        elif table == "[project]":
            match = (re.match(r'([\w-]+) = "([^"]*)"$', line) or
                     re.match(r'(license) = \{text = "([^"]*)"\}$', line))
            if match:
                fields[match.group(1)] = match.group(2)
            elif re.match(r"[\w-]+ = \[$", line):
                array = line.split()[0]
                fields[array] = []
    return fields


def make(python, outdir, objroot):
    subprocess.check_call(["make", "--no-print-directory", "-C", HERE, "-f", "tools/ext.mk", "PYTHON=" + python,
                           "OUTDIR=" + os.path.abspath(outdir), "OBJROOT=" + os.path.abspath(objroot)])


def ext_modules():
    """One Extension per module that tools/ext.mk builds, as ext.mk says."""
    return [Extension(PACKAGE + "." + name, sources=[]) for name in tool("extmodules").modules(sys.executable)]


class BuildExt(build_ext):
    """Compiles through tools/ext.mk instead of setuptools' own compiler calls."""

    def finalize_options(self):
        # Asked here rather than at import, so that sdist and the metadata
        # step need no make.
        self.distribution.ext_modules = ext_modules()
        build_ext.finalize_options(self)

    def build_extensions(self):
        # One make run builds every module into the package directory.
        targets = [self.get_ext_fullpath(extension.name) for extension in self.extensions]
        make(sys.executable, os.path.dirname(targets[0]), self.build_temp)
        for target in targets:
            if not os.path.exists(target):
                raise RuntimeError("tools/ext.mk did not build %s" % target)


class BdistWheel(Command):
    """Stands in for the wheel package's bdist_wheel where that is missing."""

    description = "build a wheel through tools/ext.mk"
    user_options = [("dist-dir=", "d", "directory to put the wheel in")]

    def initialize_options(self):
        self.dist_dir = None

    def finalize_options(self):
        if self.dist_dir is None:
            self.dist_dir = "dist"

    def metadata(self):
        """METADATA as setuptools writes PKG-INFO for this distribution."""
        directory = tempfile.mkdtemp(prefix="vorm-metadata-")
        try:
            self.distribution.metadata.write_pkg_info(directory)
            return read(directory, "PKG-INFO")
        finally:
            shutil.rmtree(directory)

    def run(self):
        tool("wheelbuild").build_wheel(self.dist_dir, self.distribution.get_name(),
                                       self.distribution.get_version(), self.metadata())

    # setuptools' dist_info command (pip's metadata step) asks for this.
    def egg2dist(self, egginfo_path, distinfo_path):
        tool("wheelbuild").write_dist_info(distinfo_path, self.metadata())


def tool(name):
    """A module of tools/, which the sdist ships."""
    directory = os.path.join(HERE, "tools")
    if directory not in sys.path:
        sys.path.insert(0, directory)
    return __import__(name)


COMMANDS = {"build_ext": BuildExt}
try:
    import wheel  # noqa: F401
except ImportError:
    COMMANDS["bdist_wheel"] = BdistWheel

OPTIONS = {}
if int(setuptools.__version__.split(".")[0]) < 61:
    FIELDS = project_fields()
    OPTIONS = dict(name=FIELDS["name"], description=FIELDS["description"], license=FIELDS["license"],
                   classifiers=FIELDS["classifiers"], python_requires=FIELDS["requires-python"])

setup(
    version=version(),
    packages=[PACKAGE],
    package_data={PACKAGE: ["*.pyi", "py.typed"]},
    # Stands in until build_ext asks tools/ext.mk; a distribution with an
    # extension gets a platform wheel.
    ext_modules=[Extension(PACKAGE + ".ext", sources=[])],
    cmdclass=COMMANDS,
    zip_safe=False,
    **OPTIONS
)
