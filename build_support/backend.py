"""Build backend: setuptools' own (setuptools.build_meta), unchanged, except
that building a wheel also asks the frontend for the `cmake` and `ninja`
packages of the index when the machine has no usable cmake or build tool.

The modules are built by the project's CMake build (see setup.py). Asking
for cmake unconditionally would download it on every isolated build, even
where the system's cmake is there; asking for it never would make isolated
builds fail on machines without one. Without build isolation the frontend
only checks these extra requirements (python -m build) or ignores them (pip).

The sdist and the wheel it writes are then re-packed by reproducible.py, so
that one commit gives the same bytes wherever and whenever it is built.
"""

import os
import re
import shutil
import subprocess

from setuptools import build_meta as _setuptools
from setuptools.build_meta import *  # noqa: F401,F403 - the hooks pass through

import reproducible

# The cmake_minimum_required() of CMakeLists.txt.
CMAKE_MINIMUM = (3, 18)


def _cmake_version():
    cmake = shutil.which("cmake")
    if cmake is None:
        return None
    try:
        output = subprocess.run([cmake, "--version"], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, universal_newlines=True,
                                timeout=60).stdout
    except (OSError, subprocess.SubprocessError):
        return None
    match = re.search(r"version (\d+)\.(\d+)", output)
    return (int(match.group(1)), int(match.group(2))) if match else None


def build_tools_wanted():
    wanted = []
    version = _cmake_version()
    if version is None or version < CMAKE_MINIMUM:
        wanted.append("cmake>=%d.%d" % CMAKE_MINIMUM)
    if not (shutil.which("ninja") or shutil.which("make")):
        wanted.append("ninja")
    return wanted


def get_requires_for_build_wheel(config_settings=None):
    return _setuptools.get_requires_for_build_wheel(config_settings) + build_tools_wanted()


if hasattr(_setuptools, "get_requires_for_build_editable"):
    def get_requires_for_build_editable(config_settings=None):
        return (_setuptools.get_requires_for_build_editable(config_settings)
                + build_tools_wanted())


def _repacked(directory, name):
    # The sources are the folder the frontend runs the backend in.
    reproducible.repack(os.path.join(directory, name),
                        reproducible.source_date_epoch(os.getcwd()))
    return name


def build_sdist(sdist_directory, config_settings=None):
    return _repacked(sdist_directory, _setuptools.build_sdist(sdist_directory, config_settings))


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _repacked(wheel_directory, _setuptools.build_wheel(
        wheel_directory, config_settings, metadata_directory))
