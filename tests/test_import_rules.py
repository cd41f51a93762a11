"""Import-time behaviour of both extension modules, each case in a fresh
interpreter with a controlled environment and HOME."""

import os
import sys
import textwrap
import unittest

from tests import support
from account_server import AccountServer  # tools/, on sys.path through support

URLS = "vesk.tracking.lite_extensions.urls"
VANDREL = "vesk.tracking.lite_extensions.vandrel"


class ImportRulesTest(unittest.TestCase):
    def run_json(self, code, **env):
        with support.temporary_home() as home:
            return support.run_json(self, textwrap.dedent(code), home, env=env)

    def test_endpoint_defaults_and_overrides(self):
        code = """
            import json
            from vesk.tracking.lite_extensions import urls
            print(json.dumps([urls.TRACKING_URI, urls.TALVERO_API_URL, sorted(vars(urls))]))
        """
        tracking, api, names = self.run_json(code, TALVERO_TRACKING_URL=None, TALVERO_API_URL=None)
        self.assertNotEqual(tracking, api)
        for url in (tracking, api):
            with self.subTest(url=url):
                self.assertRegex(url, r"^https://[a-z0-9.-]+$")
        self.assertEqual([n for n in names if not n.startswith("__")],
                         ["TALVERO_API_URL", "TRACKING_URI", "os"])
        for value in ("", "http://127.0.0.1:9/", "  spaced  ", "no-scheme.example"):
            with self.subTest(value=value):
                got = self.run_json(code, TALVERO_TRACKING_URL=value, TALVERO_API_URL=value + "x")
                self.assertEqual(got[:2], [value, value + "x"])

    def test_environment_read_once_per_process(self):
        for module in (URLS, VANDREL):
            with self.subTest(module=module):
                got = self.run_json("""
                    import importlib, json, os, sys
                    os.environ["TALVERO_API_URL"] = "https://before.example"
                    import {m} as first
                    os.environ["TALVERO_API_URL"] = "https://after.example"
                    del sys.modules["{m}"]
                    import {m} as second
                    reloaded = importlib.reload(second)
                    print(json.dumps([first is second is reloaded, second.TALVERO_API_URL,
                                      sys.modules["{m}"] is first]))
                """.format(m=module), TALVERO_API_URL=None)
                self.assertEqual(got, [True, "https://before.example", True])

    def test_vandrel_shares_endpoint_objects_and_reuses_loaded_urls(self):
        got = self.run_json("""
            import json, os
            from vesk.tracking.lite_extensions import urls
            os.environ["TALVERO_TRACKING_URL"] = "https://changed.example"
            from vesk.tracking.lite_extensions import vandrel
            print(json.dumps([vandrel.TRACKING_URI is urls.TRACKING_URI,
                              vandrel.TALVERO_API_URL is urls.TALVERO_API_URL,
                              vandrel.get_host_uri() is urls.TRACKING_URI,
                              urls.TRACKING_URI]))
        """, TALVERO_TRACKING_URL="https://first.example")
        self.assertEqual(got, [True, True, True, "https://first.example"])

    @unittest.skipUnless(hasattr(sys, "implementation") and sys.implementation.name == "cpython",
                         "CPython sub-interpreters")
    def test_second_interpreter_refused(self):
        try:
            import _testcapi
        except ImportError:
            self.skipTest("no _testcapi")
        if not hasattr(_testcapi, "run_in_subinterp"):
            self.skipTest("no run_in_subinterp")
        for module in (URLS, VANDREL):
            with self.subTest(module=module):
                got = self.run_json("""
                    import _testcapi, json, os, tempfile
                    import {m}
                    out = os.path.join(os.environ["HOME"], "result")
                    _testcapi.run_in_subinterp(
                        "try:\\n"
                        "    import {m}\\n"
                        "    message = 'imported'\\n"
                        "except ImportError as e:\\n"
                        "    message = str(e)\\n"
                        "open(%r, 'w').write(message)\\n" % out)
                    print(json.dumps(open(out).read()))
                """.format(m=module))
                self.assertEqual(got, "Interpreter change detected - this module can only be "
                                      "loaded into one interpreter per process.")

    def test_other_module_object_refused(self):
        for module, short in ((URLS, "urls"), (VANDREL, "vandrel")):
            with self.subTest(module=module):
                got = self.run_json("""
                    import ctypes, json, types
                    import {m} as loaded
                    api = ctypes.pythonapi
                    api.PyModule_GetDef.restype = ctypes.c_void_p
                    api.PyModule_GetDef.argtypes = [ctypes.py_object]
                    api.PyModule_ExecDef.restype = ctypes.c_int
                    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
                    definition = api.PyModule_GetDef(loaded)
                    try:
                        api.PyModule_ExecDef(types.ModuleType("other"), definition)
                        outcome = ["no error"]
                    except RuntimeError as e:
                        outcome = [type(e).__name__, str(e)]
                    outcome.append(api.PyModule_ExecDef(loaded, definition))
                    print(json.dumps(outcome))
                """.format(m=module))
                self.assertEqual(got, ["RuntimeError", "Module '%s' has already been imported. "
                                       "Re-initialisation is not supported." % short, 0])

    def test_missing_sibling_name_fails_cleanly_then_imports(self):
        for sibling, name in (("vesk.utils", "red_print"),
                              ("vesk.tracking.exceptions", "TarnelException"),
                              ("vesk.tracking.exceptions", "MlflowException"),
                              ("vesk.tracking.utils", "env")):
            with self.subTest(missing=name):
                got = self.run_json("""
                    import json, sys
                    import {s} as sibling
                    saved = getattr(sibling, "{n}")
                    delattr(sibling, "{n}")
                    try:
                        import {v}
                        outcome = ["imported"]
                    except ImportError as e:
                        outcome = [str(e)]
                    outcome += ["{v}" in sys.modules, "{u}" in sys.modules]
                    setattr(sibling, "{n}", saved)
                    import {v} as vandrel
                    outcome += [vandrel.get_host_uri() == vandrel.TRACKING_URI,
                                "{u}" in sys.modules,
                                vandrel.catch_tarnel_exception(len)("ab"),
                                [c.__name__ for c in object.__subclasses__()
                                 if c.__module__ == vandrel.__name__]]
                    print(json.dumps(outcome))
                """.format(s=sibling, n=name, v=VANDREL, u=URLS))
                self.assertEqual(got, ["cannot import name %s" % name, False, False, True, True, 2,
                                       ["wrapper"]])

    def test_home_cases(self):
        code = """
            import json, os, pathlib
            from vesk.tracking.lite_extensions import vandrel
            print(json.dumps([isinstance(vandrel.HOME, pathlib.Path), str(vandrel.HOME),
                              vandrel.SECRET_FILE, vandrel.TOKENS_FILE,
                              str(pathlib.Path.home())]))
        """
        cases = [("/home/user", "/home/user"), ("/", "/"), ("/home/user/", "/home/user")]
        if sys.version_info < (3, 10):
            cases.append(("", "."))  # later pathlib versions expand an empty HOME to "/"
        for home, expected in cases:
            with self.subTest(home=home):
                with support.temporary_home() as cwd:
                    result = support.run_python(textwrap.dedent(code), cwd,
                                                env={"HOME": home})
                self.assertEqual(result.returncode, 0, result.stderr)
                is_path, got_home, secret, tokens, path_home = \
                    __import__("json").loads(result.stdout)
                prefix = expected.rstrip("/") + "/" if expected != "/" else "/"
                self.assertTrue(is_path)
                self.assertEqual(got_home, path_home)
                self.assertEqual(got_home, expected)
                self.assertEqual(secret, prefix + ".talvero/secret.file")
                self.assertEqual(tokens, prefix + ".talvero/tokens.file")

    def test_import_creates_nothing_and_prints_nothing(self):
        with support.temporary_home() as home:
            result = support.run_python(
                "import warnings; warnings.simplefilter('error')\n"
                "from vesk.tracking.lite_extensions import vandrel, urls", home,
                args=(), env={"PYTHONWARNINGS": "error"})
            self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "", ""))
            self.assertEqual(support.tree_snapshot(home), [])
            self.assertFalse(os.path.exists(os.path.join(home, ".talvero")))


    def test_login_error_metaclass_kept_alive_while_used(self):
        # The base's metaclass runs code (__prepare__) that may drop every
        # other reference to it before the class is made.
        got = self.run_json("""
            import builtins, gc, json
            # What the module imports, first: LoginError is then the only
            # class statement left to meet the replaced Exception.
            import functools, os, configparser, pathlib, requests
            import vesk.tracking.exceptions, vesk.tracking.utils, vesk.utils
            import vesk.tracking.lite_extensions.urls

            class Survivor(type):
                pass

            def base_of_a_doomed_metaclass():
                class Doomed(type):
                    def prepare(name, bases):
                        bases[0].__class__ = Survivor  # the last reference to Doomed
                        gc.collect()
                        return {}
                    __prepare__ = staticmethod(prepare)
                return Doomed("Base", (Exception,), {})

            builtins.Exception = base_of_a_doomed_metaclass()
            gc.collect()
            try:
                from vesk.tracking.lite_extensions import vandrel
                outcome = "imported"
            except TypeError as e:  # the two metaclasses now conflict
                outcome = "TypeError"
            print(json.dumps(outcome))
        """)
        self.assertIn(got, ("imported", "TypeError"))

    def test_wrapper_type_ready_once_imported(self):
        # Readied while the import lock is held, not at the first decoration,
        # where two threads could both find it unready.
        got = self.run_json("""
            import json
            from vesk.tracking.lite_extensions import vandrel
            print(json.dumps([c.__name__ for c in object.__subclasses__()
                              if c.__module__ == vandrel.__name__]))
        """)
        self.assertEqual(got, ["wrapper"])

    def test_embedding_program_that_restarts_the_interpreter(self):
        # Each round starts the interpreter anew in the same process: only
        # the first may use the modules; later ones get the ImportError of
        # any other interpreter, never a module of the finished runtime.
        import shutil
        import subprocess
        import sysconfig
        compiler = shutil.which("cc") or shutil.which("gcc")
        include = sysconfig.get_config_var("INCLUDEPY")
        libdir = sysconfig.get_config_var("LIBDIR")
        if not (compiler and include and libdir
                and os.path.exists(os.path.join(include, "Python.h"))):
            self.skipTest("needs a C compiler and the interpreter's headers")
        library = "python%s%s" % (sysconfig.get_config_var("VERSION"),
                                  getattr(sys, "abiflags", ""))
        import vesk
        package_parent = os.path.dirname(os.path.dirname(os.path.abspath(vesk.__file__)))
        code = textwrap.dedent("""
            import json
            outcome = []
            for name in ("urls", "vandrel"):
                try:
                    module = __import__("vesk.tracking.lite_extensions." + name, fromlist=["x"])
                    outcome.append(module.TRACKING_URI)
                except ImportError as e:
                    outcome.append(str(e))
            print(json.dumps(outcome))
        """)
        with support.temporary_home() as home:
            program = os.path.join(home, "embed_rounds")
            build = subprocess.run(
                [compiler, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                        "embed_rounds.c"),
                 "-o", program, "-I" + include, "-L" + libdir, "-l" + library,
                 "-Wl,-rpath," + libdir],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
            if build.returncode != 0:
                self.skipTest("cannot link against the interpreter: " + build.stdout[-300:])
            env = support.child_environment(home)
            env["PYTHONPATH"] = os.pathsep.join([package_parent, env["PYTHONPATH"]])
            env["PYTHONHOME"] = os.pathsep.join([sys.base_prefix, sys.base_exec_prefix])
            result = subprocess.run([program, code], env=env, cwd=home, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        rounds = [__import__("json").loads(line) for line in result.stdout.splitlines()]
        refused = ("Interpreter change detected - this module can only be loaded into one "
                   "interpreter per process.")
        self.assertEqual(len(rounds), 3)
        self.assertTrue(all(url.startswith("https://") for url in rounds[0]), rounds[0])
        self.assertEqual(rounds[1:], [[refused, refused]] * 2)


# Every function of vandrel once, and siblings that import lazily
# themselves: `env` and `os` replaced by modules whose names the functions
# read are placeholders until first used. Prints what each call gave; the
# token the server makes up is given as what it matches.
LAZY_ROUND = r"""
import contextlib, io, json, os, sys
sys.path.insert(0, os.getcwd())
with open("lazy_env.py", "w") as f:
    f.write("lazy from lazy_env_parts import get_env\n")
with open("lazy_env_parts.py", "w") as f:
    f.write("import os\ndef get_env(name):\n    return ['lazy', os.environ.get(name)]\n")
with open("lazy_os.py", "w") as f:
    f.write("lazy from os import environ\n")
with open("broken_env.py", "w") as f:
    f.write("lazy from no_such_module_here import get_env\n")
from vesk.tracking.lite_extensions import vandrel
import lazy_env, lazy_os, broken_env
got = []

def record(label, call):
    try:
        value = call()
    except BaseException as error:
        value = [type(error).__name__, str(error)]
    got.append([label, value if isinstance(value, (str, int, list, type(None))) else repr(value)])

user, password = sys.argv[1], sys.argv[2]
guide = io.StringIO()
with contextlib.redirect_stdout(guide):
    record("guide", vandrel.create_secret_file_guide)
got.append(["guide text", guide.getvalue()])
record("host", vandrel.get_host_uri)
record("no config", lambda: vandrel.get_secret_config().sections())
os.makedirs(os.path.dirname(vandrel.SECRET_FILE))
with open(vandrel.SECRET_FILE, "w") as f:
    f.write("[secret]\nemail = %s\npassword = %s\n" % (user, password))
record("config", lambda: [dict(s) for s in vandrel.get_secret_config().values()])
record("refused", lambda: vandrel.fetch_token(user, "wrong"))
for round_ in range(2):
    token = vandrel.fetch_token(user, password)
    record("stored", lambda: open(vandrel.TOKENS_FILE).read().count(token))
    record("expired", vandrel.expired_token)
    record("token", lambda: vandrel.get_token() == token)
os.environ.update(MLFLOW_EXPERIMENT_ID="7", MLFLOW_RUN_ID="r1")
for env, os_ in ((vandrel.env, vandrel.os), (lazy_env, lazy_os), (broken_env, lazy_os)):
    vandrel.env, vandrel.os = env, os_
    for _ in range(2):
        record("experiment", vandrel._get_experiment_id)
        record("run", vandrel._get_run_id)
        record("run exists", vandrel._runid_exists)
wrapped = vandrel.catch_tarnel_exception(lambda x: 1 / x)
record("wrapped", lambda: wrapped(4))
record("wrapped error", lambda: wrapped(0))
print(json.dumps(got))
"""


@unittest.skipIf(sys.version_info < (3, 15), "lazy imports are 3.15's")
class LazyImportsTest(unittest.TestCase):
    """Names bound by a lazy import are placeholders in their module's
    namespace until used; every read of a module resolves them as the
    interpreter does, with or without lazy imports for the whole program."""

    def test_every_function_as_without_lazy_imports(self):
        user, password = "lazy@example.com", "pw"
        runs = []
        with AccountServer({user: password}) as server:
            for mode in (None, "all"):
                with support.temporary_home() as home:
                    runs.append(support.run_json(
                        self, LAZY_ROUND, home, args=(user, password),
                        env={"PYTHON_LAZY_IMPORTS": mode, "TALVERO_API_URL": server.url,
                             "MLFLOW_EXPERIMENT_ID": None, "MLFLOW_RUN_ID": None}))
        plain, lazy = runs
        self.assertEqual(lazy, plain)
        answers = dict(plain)
        self.assertEqual((answers["stored"], answers["expired"], answers["token"]), (1, False, True))
        missing = ["ModuleNotFoundError", "No module named 'no_such_module_here'"]
        self.assertEqual([value for label, value in plain if label == "run"],
                         ["r1", "r1", ["lazy", "r1"], ["lazy", "r1"], missing, missing])
        self.assertEqual([value for label, value in plain if label == "run exists"], [True] * 6)


@support.needs_checkout("builds urls.cpp from its sources")
class VersionWarningTest(unittest.TestCase):
    """Builds `urls` as if for other interpreter versions and imports it."""

    def build(self, folder, major, minor):
        import shutil
        import subprocess
        import sysconfig
        compiler = shutil.which("g++") or shutil.which("c++")
        if compiler is None:
            self.skipTest("no C++ compiler")
        suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
        target = os.path.join(folder, "urls%d%d%s" % (major, minor, suffix))
        source = os.path.join(support.ROOT, "vesk", "tracking", "lite_extensions", "urls.cpp")
        subprocess.check_call([compiler, "-std=c++17", "-shared", "-fPIC", "-O0",
                               "-I" + sysconfig.get_paths()["include"],
                               "-DVESK_BUILT_FOR_MAJOR=%d" % major,
                               "-DVESK_BUILT_FOR_MINOR=%d" % minor, source, "-o", target])
        return target

    def test_versions_compared_as_numbers(self):
        running = sys.version_info[:2]
        # "3.1" against a 3.1x interpreter: alike in their first three characters.
        cases = [running, (running[0], running[1] // 10 or running[1] + 10), (2, running[1])]
        with support.temporary_home() as home:
            for major, minor in cases:
                with self.subTest(built_for=(major, minor)):
                    path = self.build(home, major, minor)
                    got = support.run_json(self, textwrap.dedent("""
                        import importlib.util, json, sys, warnings
                        spec = importlib.util.spec_from_file_location("%s", sys.argv[1])
                        with warnings.catch_warnings(record=True) as caught:
                            warnings.simplefilter("always")
                            module = importlib.util.module_from_spec(spec)
                            spec.loader.exec_module(module)
                        print(json.dumps([[w.category.__name__, str(w.message)] for w in caught]
                                         + [module.TRACKING_URI.startswith("https://")]))
                        """ % URLS), home, args=(path,))
                    expected = [True]
                    if (major, minor) != running:
                        expected.insert(0, ["RuntimeWarning",
                                            "compiletime version %d.%d of module '%s' does not "
                                            "match runtime version %d.%d"
                                            % ((major, minor, URLS) + running)])
                    self.assertEqual(got, expected)


if __name__ == "__main__":
    unittest.main()
