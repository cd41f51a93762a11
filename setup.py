"""Builds vesk's two extension modules with the project's CMake build, the
one `make build` runs, and hands them to setuptools for the wheel or the
install. The metadata is in pyproject.toml; see build_support/."""

import ast
import glob
import hashlib
import os
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, find_packages, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.egg_info import egg_info
from setuptools.command.install import install

ROOT = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(ROOT, "build_support"))
import project_table  # noqa: E402


def package_version():
    path = os.path.join(ROOT, "vesk", "__init__.py")
    with open(path, encoding="utf-8") as handle:
        tree = ast.parse(handle.read(), path)
    for node in tree.body:
        if (isinstance(node, ast.Assign) and len(node.targets) == 1
                and getattr(node.targets[0], "id", None) == "__version__"):
            return ast.literal_eval(node.value)
    raise RuntimeError("no __version__ in %s" % path)


class CMakeExtension(Extension):
    """A module the CMake build makes: no sources of its own here."""

    def __init__(self, name):
        Extension.__init__(self, name, sources=[])


class CMakeBuildExt(build_ext):
    """Configures and builds CMakeLists.txt once for this interpreter, then
    copies each module where setuptools expects it.

    Extra cache settings can be given in CMAKE_ARGS (e.g. -DVESK_WERROR=ON)."""

    # What `cmake --install --component` lays out: the modules only.
    COMPONENT = "modules"

    def build_extensions(self):
        stage = self.run_cmake()
        for ext in self.extensions:
            package, _, module = ext.name.rpartition(".")
            found = glob.glob(os.path.join(stage, *package.split(".") + [module + ".*"]))
            if len(found) != 1:
                raise RuntimeError("CMake installed %r for %s" % (found, ext.name))
            target = self.get_ext_fullpath(ext.name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if not self.inplace:
                self.remove_other_builds(target, module)
            shutil.copyfile(found[0], target)
            shutil.copymode(found[0], target)

    def run_cmake(self):
        # One CMake folder per interpreter: setuptools' build_temp is shared
        # by interpreters of the same version (e.g. python3 and python3-dbg).
        digest = hashlib.md5(sys.executable.encode()).hexdigest()[:8]
        folder = os.path.join(os.path.abspath(self.build_temp), "cmake-" + digest)
        stage = os.path.join(folder, "stage")
        configure = ["cmake", "-S", ROOT, "-B", folder,
                     "-DPython_EXECUTABLE=" + sys.executable, "-DVESK_IN_PLACE=OFF"]
        if shutil.which("ninja") and not os.path.exists(os.path.join(folder, "CMakeCache.txt")):
            configure += ["-G", "Ninja"]
        configure += shlex.split(os.environ.get("CMAKE_ARGS", ""))
        shutil.rmtree(stage, ignore_errors=True)
        for command in (configure,
                        ["cmake", "--build", folder],
                        ["cmake", "--install", folder, "--component", self.COMPONENT,
                         "--prefix", stage]):
            print(" ".join(shlex.quote(part) for part in command))
            sys.stdout.flush()
            subprocess.check_call(command)
        return stage

    @staticmethod
    def remove_other_builds(target, module):
        # The build folder outlives a build: a module left there by another
        # interpreter of the same version would otherwise go into the wheel.
        for path in glob.glob(os.path.join(os.path.dirname(target), module + ".*")):
            if path != target and path.endswith((".so", ".pyd")):
                os.remove(path)


class FreshEggInfo(egg_info):
    """Makes the sdist's file list from MANIFEST.in alone. setuptools starts
    from the list of the last build (the egg-info's SOURCES.txt), so a file
    that one setuptools version or an older MANIFEST.in took in would stay
    in every later sdist built from the same folder."""

    def run(self):
        stale = os.path.join(self.egg_info, "SOURCES.txt")
        if os.path.exists(stale):
            os.remove(stale)
        egg_info.run(self)


class InstallAnyLayout(install):
    """Debian's setuptools reads install_layout and prefix_option, options
    that only the install command of Debian's own interpreters has. Given
    them here (None: as when they are not passed), Debian's setuptools builds
    for other interpreters: the wheelhouse lends trixie's to pyenv's 3.12
    and 3.13, which have no setuptools of their own."""

    install_layout = None
    prefix_option = None


def reads_project_table():
    # setuptools 61 brought the [project] support along with this module.
    try:
        import setuptools.config.pyprojecttoml  # noqa: F401
    except ImportError:
        return False
    return True


def metadata():
    arguments = {"version": package_version()}
    if not reads_project_table():
        # setuptools < 61: pass the table on ourselves (see build_support).
        project = project_table.read_pyproject(os.path.join(ROOT, "pyproject.toml"))["project"]
        arguments.update(project_table.setup_arguments(project, ROOT))
    return arguments


setup(
    packages=find_packages(include=["vesk", "vesk.*"]),
    # Only the Python modules, the stubs and the typing marker: the C++
    # sources are in the sdist (MANIFEST.in) but not in the wheel.
    include_package_data=False,
    package_data={"vesk": ["py.typed"], "vesk.tracking.lite_extensions": ["*.pyi"]},
    ext_modules=[CMakeExtension("vesk.tracking.lite_extensions.urls"),
                 CMakeExtension("vesk.tracking.lite_extensions.vandrel")],
    cmdclass={"build_ext": CMakeBuildExt, "egg_info": FreshEggInfo, "install": InstallAnyLayout},
    zip_safe=False,
    **metadata()
)
