"""The vandrel module's namespace, function objects, argument errors,
LoginError and get_host_uri, in this process."""

import inspect
import sys
import types
import unittest

from tests import support
from vesk.tracking.lite_extensions import urls, vandrel

MODULE = "vesk.tracking.lite_extensions.vandrel"
NO_PARAMETERS = ("create_secret_file_guide", "get_host_uri", "get_secret_config",
                 "expired_token", "get_token", "_get_experiment_id", "_get_run_id",
                 "_runid_exists")
FUNCTIONS = ("create_secret_file_guide", "get_host_uri", "get_secret_config", "fetch_token",
             "expired_token", "get_token", "catch_tarnel_exception", "_get_experiment_id",
             "_get_run_id", "_runid_exists")


class NamespaceTest(unittest.TestCase):
    def test_binding_order_and_values(self):
        # In a fresh interpreter: other tests here delete and restore names.
        with support.temporary_home() as home:
            names = support.run_json(self, "import json\n"
                                     "from vesk.tracking.lite_extensions import vandrel\n"
                                     "print(json.dumps(list(vars(vandrel))))", home)
        names = [n for n in names if not (n.startswith("__") and n.endswith("__"))]
        self.assertEqual(names, [
            "wraps", "os", "sys", "requests", "configparser", "Path", "MlflowException",
            "TarnelException", "env", "cyan_print", "red_print", "TRACKING_URI",
            "TALVERO_API_URL", "_EXPERIMENT_ID_ENV_VAR", "_RUN_ID_ENV_VAR", "HOME", "SECRET_FILE",
            "TOKENS_FILE", "create_secret_file_guide", "LoginError", "get_host_uri",
            "get_secret_config", "fetch_token", "expired_token", "get_token",
            "catch_tarnel_exception", "_get_experiment_id", "_get_run_id", "_runid_exists"])
        import configparser, functools, os, pathlib, requests
        from vesk.tracking import exceptions
        from vesk.tracking.utils import env
        from vesk import utils
        expected = {"wraps": functools.wraps, "os": os, "sys": sys, "requests": requests,
                    "configparser": configparser, "Path": pathlib.Path,
                    "MlflowException": exceptions.MlflowException,
                    "TarnelException": exceptions.TarnelException, "env": env,
                    "cyan_print": utils.cyan_print, "red_print": utils.red_print,
                    "_EXPERIMENT_ID_ENV_VAR": "MLFLOW_EXPERIMENT_ID",
                    "_RUN_ID_ENV_VAR": "MLFLOW_RUN_ID"}
        for name, value in expected.items():
            with self.subTest(name=name):
                self.assertIs(getattr(vandrel, name), value) if not isinstance(value, str) \
                    else self.assertEqual(getattr(vandrel, name), value)
        self.assertIs(vandrel.TRACKING_URI, urls.TRACKING_URI)
        self.assertIs(vandrel.TALVERO_API_URL, urls.TALVERO_API_URL)
        self.assertIsInstance(vandrel.HOME, pathlib.Path)
        self.assertEqual(vandrel.SECRET_FILE, os.path.join(str(vandrel.HOME),
                                                           ".talvero/secret.file"))

    def test_function_objects(self):
        for name in FUNCTIONS:
            function = getattr(vandrel, name)
            with self.subTest(name=name):
                self.assertIsInstance(function, types.BuiltinFunctionType)
                self.assertEqual((function.__name__, function.__qualname__, function.__module__),
                                 (name, name, MODULE))
                self.assertIsNone(function.__doc__)
                self.assertIs(function.__self__, vandrel)
                parameters = list(inspect.signature(function).parameters.values())
                if name == "fetch_token":
                    self.assertEqual([(p.name, p.kind, p.default) for p in parameters],
                                     [(n, inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty)
                                      for n in ("email", "password")])
                elif name == "catch_tarnel_exception":
                    self.assertEqual([(p.name, p.kind) for p in parameters],
                                     [("func", inspect.Parameter.POSITIONAL_ONLY)])
                else:
                    self.assertEqual(parameters, [])

    def test_login_error(self):
        error = vandrel.LoginError("refused")
        self.assertIsInstance(error, Exception)
        self.assertEqual(error.args, ("refused",))
        cls = vandrel.LoginError
        self.assertEqual((cls.__bases__, type(cls), cls.__module__, cls.__name__,
                          cls.__qualname__, cls.__doc__),
                         ((Exception,), type, MODULE, "LoginError", "LoginError", None))
        self.assertEqual(vandrel.LoginError(1, 2).args, (1, 2))


# From 3.9 the interpreter itself refuses a call that passes a keyword name
# of another type than str (through **mapping) before entering any function
# with the fast calling convention, with a message of its own.
INTERPRETER_REFUSES_NON_STR_KEYWORDS = sys.version_info >= (3, 9)


class ArgumentErrorTest(unittest.TestCase):
    def assertTypeError(self, message, function, *args, kwargs=None):
        if INTERPRETER_REFUSES_NON_STR_KEYWORDS and any(not isinstance(k, str)
                                                        for k in (kwargs or {})):
            message = "keywords must be strings"
        with self.assertRaises(TypeError) as caught:
            function(*args, **(kwargs or {}))
        self.assertEqual(str(caught.exception), message)

    def test_functions_without_parameters(self):
        for name in NO_PARAMETERS:
            function = getattr(vandrel, name)
            with self.subTest(name=name):
                self.assertTypeError("%s() takes no arguments (1 given)" % name, function, 1)
                self.assertTypeError("%s() takes no arguments (2 given)" % name, function, 1, 2)
                for kwargs in ({"x": 1}, {1: 2}):
                    self.assertTypeError("%s() takes no keyword arguments" % name, function,
                                         kwargs=kwargs)
                    self.assertTypeError("%s() takes no keyword arguments" % name, function,
                                         1, kwargs=kwargs)
        self.assertIs(vandrel.get_host_uri(**{}), vandrel.TRACKING_URI)

    def test_catch_tarnel_exception(self):
        name = "catch_tarnel_exception"
        for args in ((), (len, len)):
            self.assertTypeError("%s() takes exactly one argument (%d given)" % (name, len(args)),
                                 vandrel.catch_tarnel_exception, *args)
        self.assertTypeError("%s() takes no keyword arguments" % name,
                             vandrel.catch_tarnel_exception, kwargs={"func": len})
        self.assertTypeError("%s() takes no keyword arguments" % name,
                             vandrel.catch_tarnel_exception, len, kwargs={"func": len})

    def test_fetch_token(self):
        count = "fetch_token() takes exactly 2 positional arguments (%d given)"
        cases = [
            ((), {}, count % 0), (("a",), {}, count % 1), (("a", "b", "c"), {}, count % 3),
            (("a", "b", "c"), {"email": "x"}, count % 3),
            ((), {"password": "p"}, count % 0), ((), {"other": 1}, count % 0),
            ((), {1: 2}, count % 0),
            (("a",), {}, count % 1), ((), {"email": "e"}, count % 1),
            (("a",), {"other": 1}, count % 1),
            ((), {"email": "e", "password": "p", "other": 1},
             "fetch_token() got an unexpected keyword argument 'other'"),
            (("a", "b"), {"other": 1}, "fetch_token() got an unexpected keyword argument 'other'"),
            (("a",), {"email": "e", "password": "p"},
             "fetch_token() got multiple values for keyword argument 'email'"),
            (("a", "b"), {"password": "p"},
             "fetch_token() got multiple values for keyword argument 'password'"),
            (("a", "b"), {1: 2}, "fetch_token() keywords must be strings"),
            ((), {"email": "e", "password": "p", 1: 2}, "fetch_token() keywords must be strings"),
        ]
        for args, kwargs, message in cases:
            with self.subTest(args=args, kwargs=kwargs):
                self.assertTypeError(message, vandrel.fetch_token, *args, kwargs=kwargs)


class GetHostUriTest(unittest.TestCase):
    def setUp(self):
        self.saved = vandrel.TRACKING_URI
        self.addCleanup(setattr, vandrel, "TRACKING_URI", self.saved)

    def test_follows_the_namespace(self):
        self.assertIs(vandrel.get_host_uri(), self.saved)
        marker = object()
        vandrel.TRACKING_URI = marker
        self.assertIs(vandrel.get_host_uri(), marker)
        saved_urls = urls.TRACKING_URI
        try:
            urls.TRACKING_URI = "https://elsewhere.example"
            self.assertIs(vandrel.get_host_uri(), marker)
        finally:
            urls.TRACKING_URI = saved_urls
        del vandrel.TRACKING_URI
        with self.assertRaises(NameError) as caught:
            vandrel.get_host_uri()
        self.assertEqual(str(caught.exception), "name 'TRACKING_URI' is not defined")

    def test_falls_back_to_builtins(self):
        import builtins
        del vandrel.TRACKING_URI
        builtins.TRACKING_URI = "from-builtins"
        try:
            self.assertEqual(vandrel.get_host_uri(), "from-builtins")
        finally:
            del builtins.TRACKING_URI


    def test_builtins_are_the_modules_not_the_callers(self):
        # Code run with restricted builtins must not change what the
        # module's names mean: its functions see their own module's builtins.
        import builtins
        del vandrel.TRACKING_URI
        builtins.TRACKING_URI = "from-builtins"
        try:
            for caller_builtins in ({}, {"TRACKING_URI": "the-callers"}):
                with self.subTest(caller_builtins=caller_builtins):
                    got = eval("v.get_host_uri()", {"__builtins__": caller_builtins, "v": vandrel})
                    self.assertEqual(got, "from-builtins")
        finally:
            del builtins.TRACKING_URI

    def test_repeated_lookups_never_outlive_an_answer(self):
        # A key of a str subclass with the name's hash may answer the lookup
        # differently from one call to the next while the namespace itself
        # stays as it is: each call must see what a fresh lookup sees.
        class Flipping(str):
            matches = True

            def __eq__(self, other):
                return Flipping.matches and str.__eq__(self, other)

            __hash__ = str.__hash__

        namespace = vars(vandrel)
        del vandrel.TRACKING_URI
        namespace[Flipping("TRACKING_URI")] = "odd-key"
        try:
            for round_ in range(3):
                Flipping.matches = True
                for _ in range(3):
                    self.assertEqual(vandrel.get_host_uri(), "odd-key")
                Flipping.matches = False
                with self.assertRaises(NameError):
                    vandrel.get_host_uri()
        finally:
            for key in [k for k in namespace if type(k) is Flipping]:
                del namespace[key]


class ReferenceLeakTest(unittest.TestCase):
    def test_frame_functions(self):
        calls = [lambda: vandrel.get_host_uri(), lambda: vandrel.get_host_uri(1),
                 lambda: vandrel.get_host_uri(x=1), lambda: vandrel.fetch_token(),
                 lambda: vandrel.fetch_token("a", other=1), lambda: vandrel.fetch_token(1, 2, **{1: 2}),
                 lambda: vandrel.fetch_token("a", "b", email=1),
                 lambda: vandrel.catch_tarnel_exception(),
                 lambda: vandrel.LoginError("x")]
        for action in calls:
            with self.subTest(action=action):
                support.assert_no_leak(self, action)


if __name__ == "__main__":
    unittest.main()
