"""Builds a wheel of vorm with the stdlib only, for setup.py's bdist_wheel
where the wheel package is not installed (recent pips build every install
through a wheel).

It compiles vorm.ext with tools/ext.mk, the same rule and flags as
`make build`, and packs the wheel by hand.
"""
import base64
import hashlib
import os
import subprocess
import sys
import sysconfig
import tempfile
import zipfile

NAME = "vorm"
VERSION = "0.1.0"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
METADATA = ("Metadata-Version: 2.1\nName: %s\nVersion: %s\n"
            "Summary: Discrete-event process simulation: the native request and queue core\n" % (NAME, VERSION))


def _tag():
    version = "%d%d" % sys.version_info[:2]
    abi = "cp" + version + (sysconfig.get_config_var("ABIFLAGS") or "")
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return "cp%s-%s-%s" % (version, abi, platform)


def _digest(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")


def _dist_info(tag):
    wheel = "Wheel-Version: 1.0\nGenerator: vorm tools/wheelbuild.py\nRoot-Is-Purelib: false\nTag: %s\n" % tag
    return {"METADATA": METADATA, "WHEEL": wheel}


def write_dist_info(directory):
    """Writes METADATA and WHEEL into directory (a name.dist-info folder)."""
    if not os.path.isdir(directory):
        os.makedirs(directory)
    for name, text in _dist_info(_tag()).items():
        with open(os.path.join(directory, name), "w") as handle:
            handle.write(text)


def build_wheel(wheel_directory):
    """Compiles, packs and returns the file name of the wheel."""
    if not os.path.isdir(wheel_directory):
        os.makedirs(wheel_directory)
    staging = tempfile.mkdtemp(prefix="vorm-wheel-")
    package = os.path.join(staging, NAME)
    subprocess.check_call(["make", "--no-print-directory", "-C", ROOT, "-f", "tools/ext.mk",
                           "PYTHON=" + sys.executable, "OUTDIR=" + package,
                           "OBJROOT=" + os.path.join(staging, "objects")])
    files = [(os.path.join(package, name), NAME + "/" + name) for name in sorted(os.listdir(package))]
    sources = os.path.join(ROOT, NAME)
    for name in sorted(os.listdir(sources)):
        if name.endswith(".py") or name in ("ext.pyi", "py.typed"):
            files.append((os.path.join(sources, name), NAME + "/" + name))
    tag = _tag()
    info = "%s-%s.dist-info" % (NAME, VERSION)
    wheel_name = "%s-%s-%s.whl" % (NAME, VERSION, tag)
    record = []
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, arcname in files:
            with open(path, "rb") as handle:
                data = handle.read()
            wheel.writestr(arcname, data)
            record.append("%s,%s,%d" % (arcname, _digest(data), len(data)))
        for name, text in sorted(_dist_info(tag).items()):
            data = text.encode("utf-8")
            wheel.writestr(info + "/" + name, data)
            record.append("%s/%s,%s,%d" % (info, name, _digest(data), len(data)))
        record.append(info + "/RECORD,,")
        wheel.writestr(info + "/RECORD", "\n".join(record) + "\n")
    return wheel_name
