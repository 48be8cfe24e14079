"""Builds a wheel of vorm with the stdlib only, for setup.py's bdist_wheel
where the wheel package is not installed (recent pips build every install
through a wheel).

It compiles vorm.ext with tools/ext.mk, the same rule and flags as
`make build`, and packs the wheel by hand. Name, version and METADATA come
from setup.py, which has them from pyproject.toml and vorm/__init__.py.
"""
import base64
import hashlib
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "vorm"


def _tag():
    version = "%d%d" % sys.version_info[:2]
    abi = "cp" + version + (sysconfig.get_config_var("ABIFLAGS") or "")
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return "cp%s-%s-%s" % (version, abi, platform)


def _digest(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")


def _dist_info(tag, metadata):
    wheel = "Wheel-Version: 1.0\nGenerator: vorm tools/wheelbuild.py\nRoot-Is-Purelib: false\nTag: %s\n" % tag
    files = {"METADATA": metadata, "WHEEL": wheel}
    # The licence travels beside the METADATA that names it, as setuptools'
    # own wheels carry it.
    for line in metadata.splitlines():
        if line.startswith("License-File: "):
            name = line.split(":", 1)[1].strip()
            with open(os.path.join(ROOT, name)) as handle:
                files[name] = handle.read()
    return files


def write_dist_info(directory, metadata):
    """Writes METADATA and WHEEL into directory (a name.dist-info folder)."""
    if not os.path.isdir(directory):
        os.makedirs(directory)
    for name, text in _dist_info(_tag(), metadata).items():
        with open(os.path.join(directory, name), "w") as handle:
            handle.write(text)


def build_wheel(wheel_directory, name, version, metadata):
    """Compiles, packs and returns the file name of the wheel."""
    if not os.path.isdir(wheel_directory):
        os.makedirs(wheel_directory)
    staging = tempfile.mkdtemp(prefix="vorm-wheel-")
    try:
        return _pack(wheel_directory, staging, name, version, metadata)
    finally:
        shutil.rmtree(staging)


def _pack(wheel_directory, staging, name, version, metadata):
    package = os.path.join(staging, PACKAGE)
    subprocess.check_call(["make", "--no-print-directory", "-C", ROOT, "-f", "tools/ext.mk",
                           "PYTHON=" + sys.executable, "OUTDIR=" + package,
                           "OBJROOT=" + os.path.join(staging, "objects")])
    files = [(os.path.join(package, entry), PACKAGE + "/" + entry) for entry in sorted(os.listdir(package))]
    sources = os.path.join(ROOT, PACKAGE)
    for entry in sorted(os.listdir(sources)):
        if entry.endswith((".py", ".pyi")) or entry == "py.typed":
            files.append((os.path.join(sources, entry), PACKAGE + "/" + entry))
    tag = _tag()
    info = "%s-%s.dist-info" % (name, version)
    wheel_name = "%s-%s-%s.whl" % (name, version, tag)
    record = []
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, arcname in files:
            with open(path, "rb") as handle:
                data = handle.read()
            wheel.writestr(arcname, data)
            record.append("%s,%s,%d" % (arcname, _digest(data), len(data)))
        for entry, text in sorted(_dist_info(tag, metadata).items()):
            data = text.encode("utf-8")
            wheel.writestr(info + "/" + entry, data)
            record.append("%s/%s,%s,%d" % (info, entry, _digest(data), len(data)))
        record.append(info + "/RECORD,,")
        wheel.writestr(info + "/RECORD", "\n".join(record) + "\n")
    return wheel_name
