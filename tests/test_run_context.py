"""_get_experiment_id, _get_run_id and _runid_exists: the environment read at
each call, every module-level name resolved afresh."""

import builtins
import os
import sys
import types
import unittest
from unittest import mock

from tests import support
from vesk.tracking.lite_extensions import vandrel
from vesk.tracking.utils import env as env_module

RUN, EXPERIMENT = "MLFLOW_RUN_ID", "MLFLOW_EXPERIMENT_ID"
HELPERS = ("_get_experiment_id", "_get_run_id", "_runid_exists")


class EnvironmentTests(unittest.TestCase):
    def setUp(self):
        patcher = mock.patch.dict(os.environ)
        patcher.start()
        self.addCleanup(patcher.stop)
        os.environ.pop(RUN, None)
        os.environ.pop(EXPERIMENT, None)

    def test_read_at_each_call(self):
        # (run id or None for absent, experiment id or None)
        for run, experiment in ((None, None), ("", None), ("r1", None), (None, "e1"),
                                ("r2", ""), ("r3", "e3")):
            with self.subTest(run=run, experiment=experiment):
                for name, value in ((RUN, run), (EXPERIMENT, experiment)):
                    if value is None:
                        os.environ.pop(name, None)
                    else:
                        os.environ[name] = value
                self.assertEqual(vandrel._get_run_id(), env_module.get_env(RUN))
                self.assertEqual(vandrel._get_run_id(), run)
                self.assertEqual(vandrel._get_experiment_id(), experiment)
                # Presence alone decides, an empty value included.
                self.assertIs(vandrel._runid_exists(), run is not None)
                self.assertIs(vandrel._runid_exists(**{}), run is not None)

    def test_results_of_get_env_are_passed_on(self):
        result = object()
        seen = []

        def get_env(name):
            seen.append(name)
            return result
        with mock.patch.object(env_module, "get_env", get_env):
            self.assertIs(vandrel._get_run_id(), result)
            self.assertIs(vandrel._get_experiment_id(), result)
        self.assertEqual(seen, [RUN, EXPERIMENT])

    def test_rebinding_env_and_constants(self):
        fake = types.SimpleNamespace(get_env=lambda name: ("fake", name))
        with support.rebound(vandrel, "env", fake):
            self.assertEqual(vandrel._get_run_id(), ("fake", RUN))
        with support.rebound(vandrel, "_RUN_ID_ENV_VAR", "VESK_OTHER_RUN"), \
                support.rebound(vandrel, "_EXPERIMENT_ID_ENV_VAR", "VESK_OTHER_EXPERIMENT"):
            os.environ[RUN] = "ignored"
            os.environ["VESK_OTHER_RUN"] = "other"
            self.assertEqual(vandrel._get_run_id(), "other")
            self.assertIs(vandrel._runid_exists(), True)
            self.assertIsNone(vandrel._get_experiment_id())
            del os.environ["VESK_OTHER_RUN"]
            self.assertIs(vandrel._runid_exists(), False)

    def test_rebinding_os(self):
        checked = []

        class Environ:
            def __init__(self, answer):
                self.answer = answer

            def __contains__(self, key):
                checked.append(key)
                return self.answer

        for answer, want in ((1, True), ([], False), ("yes", True)):
            with self.subTest(answer=answer):
                fake_os = types.SimpleNamespace(environ=Environ(answer))
                with support.rebound(vandrel, "os", fake_os):
                    self.assertIs(vandrel._runid_exists(), want)
        self.assertEqual(checked, [RUN] * 3)
        with support.rebound(vandrel, "os", types.SimpleNamespace(environ={RUN: None})):
            self.assertIs(vandrel._runid_exists(), True)

    def test_failures_propagate(self):
        failure = RuntimeError("get_env")

        def get_env(name):
            raise failure
        with support.rebound(vandrel, "env", types.SimpleNamespace(get_env=get_env)):
            with self.assertRaises(RuntimeError) as raised:
                vandrel._get_experiment_id()
            self.assertIs(raised.exception, failure)
        with support.rebound(vandrel, "os", types.SimpleNamespace()):
            with self.assertRaises(AttributeError):
                vandrel._runid_exists()
        with support.rebound(vandrel, "_RUN_ID_ENV_VAR", 5):
            with self.assertRaises(TypeError):  # os.environ wants str keys
                vandrel._runid_exists()

    def test_names_resolved_in_module_then_builtins(self):
        cases = [("env", "_get_run_id"), ("_EXPERIMENT_ID_ENV_VAR", "_get_experiment_id"),
                 ("_RUN_ID_ENV_VAR", "_runid_exists"), ("os", "_runid_exists")]
        for name, helper in cases:
            with self.subTest(name=name):
                value = getattr(vandrel, name)
                with support.rebound(vandrel, name, support.ABSENT):
                    with self.assertRaises(NameError) as raised:
                        getattr(vandrel, helper)()
                    self.assertEqual(str(raised.exception), "name '%s' is not defined" % name)
                    with support.rebound(builtins, name, value):
                        getattr(vandrel, helper)()


class NamespaceChangeTests(unittest.TestCase):
    """Repeated calls answer from what they found before only while nothing
    they read has changed: every change of a namespace, or of a module that
    an attribute chain goes through, shows at the very next call."""

    def test_rebinding_in_the_module_namespace(self):
        saved = vandrel.TRACKING_URI
        self.addCleanup(setattr, vandrel, "TRACKING_URI", saved)
        namespace = vars(vandrel)
        for round_ in range(50):
            value = "uri-%d" % round_  # a new object each round, some of them equal
            for _ in range(3):  # warm, then changed under a warm cache
                vandrel.get_host_uri()
            namespace["TRACKING_URI"] = value
            self.assertIs(vandrel.get_host_uri(), value)
            namespace.update(TRACKING_URI=saved)
            self.assertIs(vandrel.get_host_uri(), saved)
        del namespace["TRACKING_URI"]
        with self.assertRaises(NameError):
            vandrel.get_host_uri()

    def fake_module(self, **attributes):
        module = types.ModuleType("fake")
        module.__dict__.update(attributes)
        return module

    def test_attribute_chains_through_modules(self):
        seen = []
        for round_ in range(50):
            # A new module object each round: freed ones leave their memory
            # to the next, with a namespace of the same shape.
            module = self.fake_module(get_env=lambda name, r=round_: (r, name))
            with support.rebound(vandrel, "env", module):
                self.assertEqual(vandrel._get_run_id(), (round_, RUN))
                module.get_env = lambda name: ("changed", name)
                self.assertEqual(vandrel._get_experiment_id(), ("changed", EXPERIMENT))
                del module.get_env
                with self.assertRaises(AttributeError):
                    vandrel._get_run_id()
            fake_os = self.fake_module(environ={RUN: "x"} if round_ % 2 else {})
            with support.rebound(vandrel, "os", fake_os):
                seen.append(vandrel._runid_exists())
                fake_os.environ = {RUN: "y"}
                self.assertIs(vandrel._runid_exists(), True)
        self.assertEqual(seen, [bool(r % 2) for r in range(50)])
        # More namespaces read in turn than the cache keeps: each call still
        # answers from the module bound at the time.
        modules = [self.fake_module(get_env=lambda name, i=i: (i, name)) for i in range(40)]
        for round_ in range(3):
            for index, module in enumerate(modules):
                with support.rebound(vandrel, "env", module):
                    self.assertEqual(vandrel._get_run_id(), (index, RUN))

    def test_module_without_a_namespace(self):
        # ModuleType.__new__ without __init__: up to 3.10 the module has no
        # dict at all. Python code reading from it gets AttributeError.
        bare = types.ModuleType.__new__(types.ModuleType)
        for name, helper in (("env", "_get_run_id"), ("env", "_get_experiment_id"),
                             ("os", "_runid_exists")):
            with self.subTest(name=name, helper=helper), support.rebound(vandrel, name, bare):
                with self.assertRaises(AttributeError):
                    getattr(vandrel, helper)()

    @unittest.skipIf(sys.version_info < (3, 7), "module __getattr__ is 3.7's")
    def test_module_getattr_still_answers(self):
        module = self.fake_module(__getattr__=lambda name: (lambda key: ("dynamic", name, key)))
        with support.rebound(vandrel, "env", module):
            self.assertEqual(vandrel._get_run_id(), ("dynamic", "get_env", RUN))
            module.get_env = lambda key: ("static", key)
            self.assertEqual(vandrel._get_run_id(), ("static", RUN))


class FreshImportTests(unittest.TestCase):
    def test_environment_at_start(self):
        code = ("import json\n"
                "from vesk.tracking.lite_extensions import vandrel as v\n"
                "print(json.dumps([v._get_experiment_id(), v._get_run_id(), "
                "v._runid_exists()]))\n")
        cases = [({RUN: None, EXPERIMENT: None}, [None, None, False]),
                 ({RUN: "", EXPERIMENT: "7"}, ["7", "", True]),
                 ({RUN: "abc", EXPERIMENT: None}, [None, "abc", True])]
        with support.temporary_home() as home:
            for environ, want in cases:
                with self.subTest(environ=environ):
                    self.assertEqual(support.run_json(self, code, home, env=environ), want)


class LeakTests(unittest.TestCase):
    def test_helpers_do_not_leak(self):
        for name in HELPERS + ("get_host_uri",):
            function = getattr(vandrel, name)
            for args in ((), (1,)):
                with self.subTest(name=name, args=args):
                    support.assert_no_leak(self, lambda: function(*args))
        with support.rebound(vandrel, "env", support.ABSENT):
            support.assert_no_leak(self, vandrel._get_run_id)


if __name__ == "__main__":
    unittest.main()
