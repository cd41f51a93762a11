"""The distributions: the sdist, the wheel built from it alone, the reader of
pyproject.toml for old setuptools, and what an installed copy holds (when
the suite runs against one, under `make test-installed`)."""

import email.parser
import glob
import importlib.util
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import unittest
import zipfile

from tests import support
import vesk

EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
# check-asan tests a copy of the tree without the packaging files.
has_packaging = unittest.skipUnless(os.path.isfile(os.path.join(support.ROOT, "setup.py")),
                                    "the tree under test has no packaging files")
MODULES = ("urls", "vandrel")
NATIVE = "vesk/tracking/lite_extensions"


def source_files():
    """The checkout's package files, as paths relative to ROOT."""
    found = set()
    for base, dirs, files in os.walk(os.path.join(support.ROOT, "vesk")):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        found.update(os.path.relpath(os.path.join(base, name), support.ROOT)
                     for name in files if not name.endswith((".so", ".pyc")))
    return found


def sdist_files():
    """What the sdist must hold, the metadata setuptools writes aside: what
    the wheel is built from, and the suite with what runs it."""
    found = source_files() | {"CMakeLists.txt", "pyproject.toml", "setup.py", "MANIFEST.in",
                              "README.md", "DEVELOPING.md", "Makefile", "tests/support.py",
                              "tools/account_server.py", "tools/run-tests.sh"}
    for pattern in ("build_support/*.py", "tests/*.py", "tools/*.py", "tools/*.sh"):
        found.update(os.path.relpath(path, support.ROOT)
                     for path in glob.glob(os.path.join(support.ROOT, pattern)))
    return found


def sdist_members(path):
    """The files of an sdist, relative to its top folder, without the
    metadata setuptools writes (PKG-INFO, setup.cfg, the egg-info) and the
    time stamp the build backend adds."""
    top = "vesk-%s/" % vesk.__version__
    with tarfile.open(path) as archive:
        members = {m.name[len(top):] for m in archive.getmembers() if m.isfile()}
    return {m for m in members if m not in ("PKG-INFO", "setup.cfg", "SOURCE_DATE_EPOCH")
            and not m.startswith("vesk.egg-info/")}


def copy_checkout(dest):
    """The checkout's files without what builds and runs leave."""
    skipped = {".git", "build", "dist", "__pycache__", ".mypy_cache", ".pytest_cache",
               ".hypothesis"}
    for base, dirs, files in os.walk(support.ROOT):
        dirs[:] = [d for d in dirs if d not in skipped and not d.endswith(".egg-info")]
        target = os.path.join(dest, os.path.relpath(base, support.ROOT))
        os.makedirs(target, exist_ok=True)
        for name in files:
            if not name.endswith((".so", ".pyc")):
                shutil.copy2(os.path.join(base, name), target)


def exported_symbols(path):
    output = subprocess.check_output(["nm", "-D", "--defined-only", path],
                                     universal_newlines=True)
    return [line.split()[-1] for line in output.splitlines() if line.strip()]


def glibc_needs(path):
    """The shared libraries `path` needs and the newest glibc version it
    asks for, as a tuple of ints."""
    output = subprocess.check_output(["objdump", "-p", "-T", path], universal_newlines=True)
    needed = re.findall(r"^\s*NEEDED\s+(\S+)", output, re.M)
    versions = [tuple(int(part) for part in found.split("."))
                for found in re.findall(r"\bGLIBC_([0-9][0-9.]*)\b", output)]
    return needed, max(versions) if versions else ()


# glibc_compat.h binds the modules to old glibc symbols on x86_64 glibc: the
# wheels' manylinux_2_5 tag holds only while nothing newer slips in.
old_glibc = platform.machine() == "x86_64" and platform.libc_ver()[0] == "glibc"


class Checks(object):
    """What a wheel and an installed copy must both show."""

    def check_modules(self, paths):
        """`paths`: the extension modules found, as real files."""
        self.assertEqual(sorted(os.path.basename(p) for p in paths),
                         [m + EXT_SUFFIX for m in MODULES])
        for path in paths:
            with open(path, "rb") as handle:
                self.assertEqual(handle.read(4), b"\x7fELF", path)
            name = os.path.basename(path).split(".")[0]
            if shutil.which("nm"):
                self.assertEqual(exported_symbols(path), ["PyInit_" + name])
            if old_glibc and shutil.which("objdump"):
                needed, newest = glibc_needs(path)
                # vandrel's thread functions come from libpthread below glibc
                # 2.34; it names it. No C++ runtime, nothing else.
                wanted = ["libc.so.6", "libpthread.so.0"] if name == "vandrel" else ["libc.so.6"]
                self.assertEqual(sorted(needed), wanted, path)
                self.assertLessEqual(newest, (2, 5), path)

    def check_metadata(self, metadata, requires, entry_points):
        fields = email.parser.Parser().parsestr(metadata)
        self.assertEqual((fields["Name"], fields["Version"], fields["Requires-Python"]),
                         ("vesk", vesk.__version__, ">=3.6"))
        classifiers = fields.get_all("Classifier")
        for wanted in ("3.6", "3.13", "3.14", "3.15", ":: C++"):
            self.assertTrue([c for c in classifiers if c.endswith(wanted)], wanted)
        self.assertTrue([c for c in classifiers
                         if c.startswith("Programming Language :: Python :: Free Threading :: ")])
        self.assertEqual(requires, ["requests"])
        self.assertIn("[console_scripts]\nvesk = vesk.cli:main\n", entry_points)


@support.needs_checkout("reads build_support/")
@has_packaging
class ProjectTableTest(unittest.TestCase):
    SAMPLE = '\n'.join([
        '# a comment with "quotes" and [brackets]',
        '[project]',
        'name = "a#b"  # a trailing comment',
        'list = [',
        '    "x, y",  # a comment ]',
        '    "q\\"uote\\ttab",',
        ']',
        'empty = []',
        'one = [ "only" ]',
        '[project.scripts]',
        'cmd = "pkg.mod:main"',
        '[tool.x.y]',
        'k = "v"', ''])

    @classmethod
    def setUpClass(cls):
        spec = importlib.util.spec_from_file_location(
            "project_table", os.path.join(support.ROOT, "build_support", "project_table.py"))
        cls.table = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(cls.table)

    def test_simple_reader_agrees_with_tomllib(self):
        try:
            import tomllib
        except ImportError:
            try:
                import tomli as tomllib
            except ImportError:
                self.skipTest("no tomllib or tomli to compare with")
        with open(os.path.join(support.ROOT, "pyproject.toml")) as handle:
            pyproject = handle.read()
        for text in (pyproject, self.SAMPLE):
            with self.subTest(text=text[:30]):
                self.assertEqual(self.table.read_simple_toml(text), tomllib.loads(text))

    def test_simple_reader_refuses_what_it_does_not_know(self):
        for line in ('a = 1', 'a = {b = "c"}', 'a.b = "c"', 'a = ["x"', "a = 'literal'",
                     'a = ["x" "y"]', 'a = [,]', 'a = """x"""', 'a = "x"\na = "y"'):
            with self.subTest(line=line), self.assertRaises(ValueError):
                self.table.read_simple_toml("[t]\n" + line + "\n")

    def test_unknown_project_keys_are_refused(self):
        with self.assertRaises(ValueError):
            self.table.setup_arguments({"name": "x", "authors": []}, support.ROOT)


@support.needs_checkout("packages the checkout's sources")
@has_packaging
class DistributionTest(Checks, unittest.TestCase):
    """Builds the sdist, then wheels from the unpacked sdist alone."""

    def build(self, kind, source):
        result = subprocess.run([sys.executable, "-m", "build", "--no-isolation", kind,
                                 "--outdir", self.out, source], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, universal_newlines=True, timeout=600)
        self.assertEqual(result.returncode, 0, result.stdout[-3000:])
        built = glob.glob(os.path.join(self.out, "*.tar.gz" if kind == "--sdist" else "*.whl"))
        self.assertEqual(len(built), 1, built)
        return built[0]

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="vesk-dist-")
        self.addCleanup(shutil.rmtree, self.work)
        # Asked of a fresh interpreter away from the checkout, whose build/
        # folder would pass for a `build` namespace package.
        tools = subprocess.run([sys.executable, "-c", "import build.__main__, wheel, setuptools"],
                               cwd=self.work, env=support.child_environment(self.work),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if tools.returncode != 0:
            self.skipTest("needs the build, wheel and setuptools packages")
        if shutil.which("cmake") is None:
            self.skipTest("needs cmake")
        self.out = os.path.join(self.work, "out")

    def check_wheel(self, path):
        with zipfile.ZipFile(path) as wheel:
            names = wheel.namelist()
            info = "vesk-%s.dist-info/" % vesk.__version__
            self.check_metadata(wheel.read(info + "METADATA").decode(), ["requests"],
                                wheel.read(info + "entry_points.txt").decode())
            self.assertEqual(sorted(n for n in names if not n.startswith(info)),
                             sorted([f for f in source_files() if f.endswith((".py", ".pyi"))]
                                    + ["vesk/py.typed"]
                                    + ["%s/%s%s" % (NATIVE, m, EXT_SUFFIX) for m in MODULES]))
            folder = os.path.join(self.work, "wheel-" + os.path.basename(path))
            wheel.extractall(folder, [n for n in names if n.endswith(".so")])
        self.check_modules(glob.glob(os.path.join(folder, NATIVE, "*")))

    def test_sdist_then_wheels_from_it(self):
        sdist = self.build("--sdist", support.ROOT)
        top = "vesk-%s/" % vesk.__version__
        self.assertEqual(sdist_members(sdist), sdist_files())
        with tarfile.open(sdist) as archive:
            archive.extractall(self.work)

        # In-place builds beside the sources, for other interpreters and a
        # stale one for this one: none of them may reach the wheel.
        source = os.path.join(self.work, top)
        for name in ("urls.cpython-36m-x86_64-linux-gnu.so", "vandrel.abi3.so",
                     "vandrel.cpython-313-x86_64-linux-gnu.so", "urls" + EXT_SUFFIX):
            with open(os.path.join(source, NATIVE, name), "wb") as handle:
                handle.write(b"not a module")
        self.check_wheel(self.build("--wheel", source))

        # A module another interpreter of this version (e.g. python3-dbg)
        # left in the shared build folder stays out of the next wheel too.
        lib = glob.glob(os.path.join(source, "build", "lib*", NATIVE))
        self.assertEqual(len(lib), 1, lib)
        with open(os.path.join(lib[0], "urls.cpython-99d-x86_64-linux-gnu.so"), "wb") as handle:
            handle.write(b"not a module")
        os.remove(glob.glob(os.path.join(self.out, "*.whl"))[0])
        self.check_wheel(self.build("--wheel", source))


@support.needs_checkout("packages the checkout's sources")
@has_packaging
class SdistFileListTest(unittest.TestCase):
    """The sdist holds the same files whichever setuptools makes it (each
    interpreter's own: 40.6 on pyenv's 3.6, Debian's up to 84), and none
    that an earlier build of the same folder took in."""

    def test_sdist_by_this_interpreters_setuptools(self):
        work = tempfile.mkdtemp(prefix="vesk-sdist-")
        self.addCleanup(shutil.rmtree, work)
        probe = subprocess.run([sys.executable, "-c", "import setuptools"], cwd=work,
                               env=support.child_environment(work),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if probe.returncode != 0:
            self.skipTest("needs setuptools")
        source = os.path.join(work, "source")
        copy_checkout(source)
        # The list of a build that took in more: setuptools reads it back.
        os.makedirs(os.path.join(source, "vesk.egg-info"))
        with open(os.path.join(source, "vesk.egg-info", "SOURCES.txt"), "w") as handle:
            handle.write("bench/call_overhead.py\n.gitignore\nsetup.py\n")
        result = subprocess.run([sys.executable, "setup.py", "sdist", "--formats=gztar",
                                 "--dist-dir", os.path.join(work, "out")],
                                cwd=source, env=support.child_environment(work),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                universal_newlines=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stdout[-3000:])
        sdist, = glob.glob(os.path.join(work, "out", "*.tar.gz"))
        self.assertEqual(sdist_members(sdist), sdist_files())


@support.needs_checkout("builds the checkout's sources")
@unittest.skipIf(support.INSTALLED, "builds from the checkout (the wheels: make reproduce)")
class ModuleBuildPathTest(unittest.TestCase):
    """The compiler records no folder: the same sources built in two places
    give the same module, byte for byte. One small module is enough, both
    get the same options."""

    def build_urls(self, source, build):
        environ = support.child_environment(self.work)
        commands = [["cmake", "-S", source, "-B", build, "-DPython_EXECUTABLE=" + sys.executable,
                     "-DVESK_IN_PLACE=OFF"] + (["-G", "Ninja"] if shutil.which("ninja") else []),
                    ["cmake", "--build", build, "--target", "urls"]]
        for command in commands:
            result = subprocess.run(command, cwd=self.work, env=environ, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, universal_newlines=True,
                                    timeout=600)
            self.assertEqual(result.returncode, 0, result.stdout[-3000:])
        with open(os.path.join(build, "urls" + EXT_SUFFIX), "rb") as handle:
            return handle.read()

    def test_same_module_from_two_folders(self):
        if shutil.which("cmake") is None or not (shutil.which("c++") or shutil.which("g++")):
            self.skipTest("needs cmake and a C++ compiler")
        self.work = tempfile.mkdtemp(prefix="vesk-paths-")
        self.addCleanup(shutil.rmtree, self.work)
        sources = [os.path.join(self.work, "one"), os.path.join(self.work, "second", "source")]
        for source in sources:
            os.makedirs(source)
            shutil.copy2(os.path.join(support.ROOT, "CMakeLists.txt"), source)
            shutil.copytree(os.path.join(support.ROOT, "vesk"), os.path.join(source, "vesk"),
                            ignore=shutil.ignore_patterns("__pycache__", "*.so", "*.pyc"))
        # A build folder inside the sources and one beside them.
        built = [self.build_urls(sources[0], os.path.join(sources[0], "build")),
                 self.build_urls(sources[1], os.path.join(self.work, "second", "objects"))]
        self.assertTrue(built[0] == built[1], "the two builds differ")
        for module in built:
            self.assertNotIn(self.work.encode(), module)


@unittest.skipUnless(support.INSTALLED, "tests an installed copy (make test-installed)")
class InstalledCopyTest(Checks, unittest.TestCase):
    def test_command_on_path_from_any_folder(self):
        found = shutil.which("vesk")
        self.assertTrue(found and support.within(found, support.INSTALLED), found)
        with support.temporary_home() as home:
            for argv, status, wanted in ((["--version"], 0, "vesk %s\n" % vesk.__version__),
                                         (["config", "--help"], 0, "--password-stdin"),
                                         ([], 2, "")):
                with self.subTest(argv=argv):
                    result = subprocess.run(["vesk"] + argv, cwd=home, stdin=subprocess.DEVNULL,
                                            env=support.child_environment(home),
                                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                            universal_newlines=True, timeout=60)
                    self.assertEqual(result.returncode, status, result.stderr)
                    self.assertIn(wanted, result.stdout)

    def test_modules_come_from_the_environment(self):
        with support.temporary_home() as home:
            files = support.run_json(self, "import json, vesk, vesk.cli\n"
                                     "from vesk.tracking.lite_extensions import urls, vandrel\n"
                                     "print(json.dumps([m.__file__ for m in "
                                     "(vesk, vesk.cli, urls, vandrel)]))", home)
        for path in files:
            self.assertTrue(support.within(path, support.INSTALLED), path)

    def test_installed_files_and_metadata(self):
        package = os.path.dirname(vesk.__file__)
        installed = set()
        for base, dirs, files in os.walk(package):
            dirs[:] = [d for d in dirs if d != "__pycache__"]
            installed.update(os.path.join(base, name) for name in files)
        self.assertFalse([p for p in installed if p.endswith((".cpp", ".h"))])
        self.assertIn(os.path.join(package, "py.typed"), installed)
        native = os.path.join(package, *NATIVE.split("/")[1:])
        for stub in ("urls.pyi", "vandrel.pyi"):
            self.assertIn(os.path.join(native, stub), installed)
        self.check_modules([p for p in installed if p.endswith(".so")])

        # A wheel installs a .dist-info; pip 18.1's setup.py install an .egg-info.
        info = glob.glob(os.path.join(os.path.dirname(package), "vesk-*.*-info"))
        self.assertEqual(len(info), 1, info)
        info = info[0]

        def read(name):
            with open(os.path.join(info, name), encoding="utf-8") as handle:
                return handle.read()
        if info.endswith(".dist-info"):
            metadata = read("METADATA")
            requires = email.parser.Parser().parsestr(metadata).get_all("Requires-Dist")
        else:
            metadata = read("PKG-INFO")
            requires = read("requires.txt").split()
        self.check_metadata(metadata, requires, read("entry_points.txt"))


if __name__ == "__main__":
    unittest.main()
