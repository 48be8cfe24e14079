"""The build backend that pyproject.toml names: setuptools' own, unchanged.

Without setuptools, pip would report the failed import of its backend as a
page of traceback ending in "No module named 'setuptools'"; venvs of Python
3.12 and later start without it. This module ends the build with one line that
says what to install instead.

pip finds this file through pyproject.toml's backend-path, which pip 20 and
later honour. pip 19 (the one Python 2.7.18 bundles) does not, and cannot
import it: there, build a wheel with `python setup.py bdist_wheel` and install
that (pip 18 never gets here, it runs setup.py itself).
"""
import glob
import os
import sys

# Debian's python-setuptools-whl: a setuptools that installs into any venv of
# Python 3, offline.
DEBIAN_WHEELS = "/usr/share/python-wheels"


def advice():
    python = sys.executable or "python"
    wheels = sorted(glob.glob(os.path.join(DEBIAN_WHEELS, "setuptools-*.whl")))
    venv = getattr(sys, "base_prefix", sys.prefix) != sys.prefix
    if not venv and sys.prefix == "/usr":
        how = "apt-get install python3-setuptools"
    elif wheels:
        how = "%s -m pip install --no-index %s" % (python, wheels[-1])
    else:
        how = ("%s -m pip install setuptools (offline on Debian: apt-get install python-setuptools-whl, then "
               "%s -m pip install --no-index %s/setuptools-*.whl)" % (python, python, DEBIAN_WHEELS))
    why = " (fresh venvs of Python 3.12 and later have none)" if venv and sys.version_info >= (3, 12) else ""
    return "vorm: building needs setuptools, which %s lacks%s; install it with: %s; then run pip again" % (
        python, why, how)


try:
    import setuptools  # noqa: F401
except ImportError as error:
    # A setuptools that is there but fails to import shows its own error.
    if getattr(error, "name", "setuptools") != "setuptools":
        raise
    raise SystemExit(advice())

from setuptools.build_meta import *  # noqa: E402,F401,F403
