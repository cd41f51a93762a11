"""catch_tarnel_exception: calls, results and exceptions pass through the
wrapper unchanged, and the wrapper stands in for the function it wraps."""

import builtins
import copy
import functools
import gc
import inspect
import pickle
import re
import sys
import textwrap
import types
import unittest
import weakref
from unittest import mock

from tests import decorated_samples as samples
from tests import support
from vesk.tracking.exceptions import MlflowException, TarnelException
from vesk.tracking.lite_extensions import vandrel

catch = vandrel.catch_tarnel_exception
MODULE = "vesk.tracking.lite_extensions.vandrel"
OWN_QUALNAME = "catch_tarnel_exception.<locals>.wrapper"
ABSENT = support.ABSENT
rebound = support.rebound
# Annotations made on first read from __annotate__, which functools.wraps copies.
LAZY_ANNOTATIONS = sys.version_info >= (3, 14)


def raising(exc):
    def func(*args, **kwargs):
        raise exc
    return func


def python_wrapper(func):
    """The decorator as Python code, for side-by-side comparisons."""
    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        try:
            return func(*args, **kwargs)
        except MlflowException as e:
            raise e
    return wrapper


def caught(call):
    try:
        call()
    except BaseException as exc:  # noqa: B902 - every class is under test
        return exc
    raise AssertionError("no exception raised")


def raising_new(make, how="plain"):
    """A function raising a fresh make(): plain, `from` a cause, or while
    another exception is being handled. Keeps what it raised in .raised."""
    def func(*args, **kwargs):
        exc = make()
        func.raised.append(exc)
        if how == "plain":
            raise exc
        if how == "cause":
            raise exc from KeyError("cause")
        try:
            raise KeyError("context")
        except KeyError:
            raise exc
    func.raised = []
    return func


class SubMlflow(MlflowException):
    pass


class ResultTests(unittest.TestCase):
    def test_returns_the_very_object(self):
        for value in (None, 0, "", object(), [1], NotImplemented):
            with self.subTest(value=value):
                self.assertIs(catch(lambda: value)(), value)

    def test_arguments_reach_func_unchanged(self):
        def record(*args, **kwargs):
            return args, kwargs
        wrapper = catch(record)
        many_kwargs = {"k%d" % i: i for i in range(20)}
        cases = [((), {}), ((1,), {}), ((1, 2), {"a": 3}), ((), {"a": 1, "b": 2}),
                 (tuple(range(20)), many_kwargs)]
        # Through the interpreter's call (vectorcall from 3.8) and through the
        # type's __call__ slot, the tuple-and-dict road.
        for call in (wrapper, functools.partial(type(wrapper).__call__, wrapper)):
            for args, kwargs in cases:
                with self.subTest(call=call, args=args, kwargs=kwargs):
                    mapping = dict(kwargs)
                    got_args, got_kwargs = call(*args, **mapping)
                    self.assertEqual(got_args, args)
                    self.assertEqual(got_kwargs, kwargs)
                    self.assertEqual(list(got_kwargs), list(kwargs))  # order kept
                    self.assertIsNot(got_kwargs, mapping)

    def test_func_gets_a_mapping_of_its_own(self):
        # Callees that keep or change their keyword mapping: a Python
        # function's **kwargs and a C-level one (dict's constructor).
        def mutate(**kwargs):
            kwargs["added"] = True
            return kwargs
        for func in (mutate, dict):
            wrapper = catch(func)
            for call in (wrapper, functools.partial(type(wrapper).__call__, wrapper)):
                with self.subTest(func=func, call=call):
                    mapping = {"a": 1}
                    made = call(**mapping)
                    self.assertEqual(mapping, {"a": 1})
                    self.assertIsNot(made, mapping)
                    self.assertEqual(made, {"a": 1, "added": True} if func is mutate else mapping)

    def test_other_callables_as_func(self):
        class Callable:
            def __call__(self, *args, **kwargs):
                return ("instance", args, kwargs)

            def method(self, x, y=0):
                return ("method", self, x, y)

        obj = Callable()
        partial = functools.partial(lambda *a, **k: (a, k), 1, k=2)
        cases = [
            (partial, ((2,), {"j": 3}), ((1, 2), {"k": 2, "j": 3})),
            (obj, ((1,), {"a": 2}), ("instance", (1,), {"a": 2})),
            (obj.method, ((1,), {"y": 2}), ("method", obj, 1, 2)),  # bound method
            (len, (([1, 2],), {}), 2),
            (catch(catch(max)), ((3, 5), {}), 5),  # wrapper of wrappers
        ]
        for func, (args, kwargs), want in cases:
            with self.subTest(func=func):
                self.assertEqual(catch(func)(*args, **kwargs), want)

    def test_non_callable_is_decorated_and_fails_when_called(self):
        target = 42
        wrapper = catch(target)
        self.assertIs(wrapper.__wrapped__, target)
        want = caught(lambda: target())
        got = caught(wrapper)
        self.assertIs(type(got), TypeError)
        self.assertEqual(str(got), str(want))

    def test_each_decoration_is_a_new_wrapper(self):
        def func():
            return 1
        first, second = catch(func), catch(func)
        self.assertIsNot(first, second)
        self.assertIs(first.__wrapped__, func)
        self.assertIs(second.__wrapped__, func)
        self.assertIsNot(first.__dict__, second.__dict__)


class ExceptionTests(unittest.TestCase):
    def assert_passes_unchanged(self, make):
        for how in ("plain", "cause", "context"):
            with self.subTest(how=how, cls=make):
                func = raising_new(make, how)
                got = caught(catch(func))
                self.assertIs(got, func.raised[0])
                if how == "cause":
                    self.assertEqual(repr(got.__cause__), repr(KeyError("cause")))
                    self.assertTrue(got.__suppress_context__)
                else:
                    self.assertIsNone(got.__cause__)
                    self.assertFalse(got.__suppress_context__)
                if how == "context":
                    self.assertEqual(repr(got.__context__), repr(KeyError("context")))
                    self.assertIsNone(got.__context__.__context__)
                else:
                    self.assertIsNone(got.__context__)
                # The traceback runs on from the caller into func: kept,
                # not cut at the wrapper.
                frames = _frames(got.__traceback__)
                self.assertIs(frames[-1].f_code, func.__code__)
                self.assertEqual(len(frames), 2)

    def test_mlflow_exceptions_leave_as_the_same_object(self):
        self.assert_passes_unchanged(lambda: MlflowException("m", error_code="E"))
        self.assert_passes_unchanged(lambda: SubMlflow("sub"))

    def test_other_exceptions_pass_untouched(self):
        for cls in (ValueError, TarnelException, KeyboardInterrupt, SystemExit, StopIteration,
                    GeneratorExit):
            self.assert_passes_unchanged(lambda cls=cls: cls("x"))

    def test_exception_set_by_c_code(self):
        # Raised without an instance made in advance by the callee.
        for func, cls in ((int, ValueError), ({}.__getitem__, KeyError)):
            with self.subTest(func=func):
                got = caught(lambda: catch(func)("no"))
                self.assertIs(type(got), cls)
                self.assertIsNone(got.__context__)

    def test_mlflow_exception_resolved_at_each_failing_call(self):
        original = MlflowException("x")
        wrapper = catch(raising(original))
        with rebound(vandrel, "MlflowException", ABSENT):
            # Neither decorating nor succeeding consults the name.
            self.assertEqual(catch(lambda: 7)(), 7)
            error = caught(wrapper)
            self.assertIs(type(error), NameError)
            self.assertEqual(str(error), "name 'MlflowException' is not defined")
            self.assertIs(error.__context__, original)
            self.assertIsNone(error.__cause__)
            self.assertIsNone(original.__context__)
            with rebound(builtins, "MlflowException", MlflowException):
                self.assertIs(caught(wrapper), original)
        self.assertIs(caught(wrapper), original)

    def test_rebinding_mlflow_exception(self):
        original = ValueError("v")
        wrapper = catch(raising(original))
        for binding in (ValueError, TarnelException, (MlflowException, ValueError), ()):
            with self.subTest(binding=binding), rebound(vandrel, "MlflowException", binding):
                got = caught(wrapper)
                self.assertIs(got, original)
                self.assertIsNone(got.__context__)

    def test_rebound_to_a_non_exception_fails_like_except(self):
        original = MlflowException("x")
        wrapper = catch(raising(original))
        for binding in (42, None, int, (MlflowException, "text")):
            with self.subTest(binding=binding), rebound(vandrel, "MlflowException", binding):
                error = caught(wrapper)
                self.assertIs(type(error), TypeError)
                self.assertEqual(str(error), "catching classes that do not inherit from "
                                             "BaseException is not allowed")
                self.assertIs(error.__context__, original)
                self.assertIsNone(original.__context__)


def _frames(traceback):
    frames = []
    while traceback is not None:
        frames.append(traceback.tb_frame)
        traceback = traceback.tb_next
    return frames


class DecoratingTests(unittest.TestCase):
    def test_steps_in_order_and_result_returned(self):
        calls = []
        result = object()

        def fake_wraps(*args, **kwargs):
            calls.append(("wraps", args, kwargs))

            def decorator(*args, **kwargs):
                calls.append(("decorator", args, kwargs))
                return result
            return decorator

        def func():
            pass
        with rebound(vandrel, "wraps", fake_wraps):
            self.assertIs(catch(func), result)
        self.assertEqual(calls[0], ("wraps", (func,), {}))
        self.assertEqual(calls[1][0], "decorator")
        self.assertEqual(calls[1][2], {})
        wrapper, = calls[1][1]
        self.assertEqual(wrapper.__name__, "wrapper")
        self.assertIsNone(wrapper())

    def test_own_metadata_before_wraps(self):
        with rebound(vandrel, "wraps", lambda func: (lambda wrapper: wrapper)):
            wrapper = catch(len)
        self.assertEqual(wrapper.__name__, "wrapper")
        self.assertEqual(wrapper.__qualname__, OWN_QUALNAME)
        self.assertEqual(wrapper.__module__, MODULE)
        self.assertIsNone(wrapper.__doc__)
        self.assertEqual(wrapper.__annotations__, {})
        if LAZY_ANNOTATIONS:
            self.assertIsNone(wrapper.__annotate__)
        self.assertEqual(wrapper.__dict__, {})
        self.assertFalse(hasattr(wrapper, "__wrapped__"))
        self.assertEqual(wrapper([1]), 1)

    def test_wraps_resolved_and_errors_propagate(self):
        failure = RuntimeError("wraps failed")

        def failing_wraps(func):
            raise failure
        with rebound(vandrel, "wraps", failing_wraps):
            self.assertIs(caught(lambda: catch(len)), failure)
        with rebound(vandrel, "wraps", ABSENT):
            error = caught(lambda: catch(len))
            self.assertIs(type(error), NameError)
            self.assertEqual(str(error), "name 'wraps' is not defined")
        with rebound(vandrel, "wraps", lambda func: 5):  # decorator not callable
            self.assertIs(type(caught(lambda: catch(len))), TypeError)


class FunctionLikeTests(unittest.TestCase):
    def test_metadata_of_func(self):
        def func(a: int, b=2, *, c: str = "x") -> list:
            """Doc."""
        func.custom = "kept"
        wrapper = catch(func)
        self.assertEqual(wrapper.__name__, "func")
        self.assertEqual(wrapper.__qualname__, func.__qualname__)
        self.assertEqual(wrapper.__module__, __name__)
        self.assertEqual(wrapper.__doc__, "Doc.")
        self.assertEqual(wrapper.__annotations__, func.__annotations__)
        self.assertIs(wrapper.__wrapped__, func)
        self.assertEqual(wrapper.custom, "kept")
        self.assertEqual(inspect.signature(wrapper), inspect.signature(func))
        self.assertIs(inspect.unwrap(catch(wrapper)), func)
        if sys.version_info >= (3, 12):
            self.assertEqual(wrapper.__type_params__, ())
        # Only what a function's own __dict__ would hold.
        self.assertEqual(set(wrapper.__dict__), {"custom", "__wrapped__"})

    def test_func_without_names_keeps_the_wrappers(self):
        partial = functools.partial(lambda a, b: max(a, b), 1)
        wrapper = catch(partial)
        self.assertEqual(wrapper.__name__, "wrapper")
        self.assertEqual(wrapper.__qualname__, OWN_QUALNAME)
        self.assertIs(wrapper.__wrapped__, partial)
        self.assertEqual(wrapper(5), 5)
        self.assertRegex(repr(wrapper), r"^<function %s at 0x[0-9a-fA-F]+>$"
                         % re.escape(OWN_QUALNAME))
        self.assertEqual(inspect.signature(wrapper), inspect.signature(partial))

    def test_attributes_are_writable_with_function_rules(self):
        wrapper = catch(len)
        for name, value in (("__name__", "n"), ("__qualname__", "q.n"), ("__module__", "m"),
                            ("__doc__", "d"), ("__annotations__", {"x": int}),
                            ("__wrapped__", max), ("extra", 1)):
            with self.subTest(name=name):
                setattr(wrapper, name, value)
                self.assertEqual(getattr(wrapper, name), value)
        self.assertEqual(repr(wrapper)[:len("<function q.n at 0x")], "<function q.n at 0x")
        for name, value in (("__name__", 1), ("__qualname__", None), ("__annotations__", [1]),
                            ("__dict__", [])):
            with self.subTest(name=name, value=value):
                with self.assertRaises(TypeError):
                    setattr(wrapper, name, value)
        for name in ("__name__", "__qualname__", "__dict__"):
            with self.subTest(deleted=name):
                with self.assertRaises(TypeError):
                    delattr(wrapper, name)
        del wrapper.__doc__, wrapper.__module__
        self.assertIsNone(wrapper.__doc__)
        self.assertIsNone(wrapper.__module__)
        wrapper.__annotations__ = None
        self.assertEqual(wrapper.__annotations__, {})
        other = catch(len)
        self.assertEqual(other.__module__, "builtins")  # per instance

    def test_keyword_names_must_be_strings(self):
        calls = []
        for wrapper in (catch(lambda *a, **k: calls.append(k)), samples.square):
            with self.subTest(wrapper=wrapper):
                with self.assertRaises(TypeError) as raised:
                    wrapper(**{1: 2})
                if sys.version_info < (3, 9):
                    self.assertEqual(str(raised.exception), "wrapper() keywords must be strings")
                else:  # refused by the interpreter before the call
                    self.assertIn("keywords must be strings", str(raised.exception))
        # Through the __call__ slot the mapping reaches the wrapper on every
        # version: a non-str name is refused in the wrapper's words, whatever
        # else the callable would have objected to first, and nothing runs.
        def plain(a):
            calls.append(a)

        for func in (plain, lambda *a, **k: calls.append(k), functools.partial(plain), dict):
            for kwargs in ({1: 2}, {"unknown": 1, 1: 2}, {"a": 1, 1: 2}):
                with self.subTest(func=func, kwargs=kwargs):
                    wrapper = catch(func)
                    with self.assertRaises(TypeError) as raised:
                        type(wrapper).__call__(wrapper, **kwargs)
                    self.assertEqual(str(raised.exception), "wrapper() keywords must be strings")
                    self.assertIsNone(raised.exception.__context__)
        self.assertEqual(calls, [])

    def test_binding_like_a_function(self):
        class Cls:
            @catch
            def method(self, x, y=1):
                return self, x, y

            @classmethod
            @catch
            def klass(cls, x):
                return cls, x

            @staticmethod
            @catch
            def static(*args):
                return args

        obj = Cls()
        wrapper = Cls.__dict__["method"]
        self.assertIs(Cls.method, wrapper)
        self.assertEqual(obj.method(2), (obj, 2, 1))
        self.assertEqual(obj.method(2, y=3), (obj, 2, 3))
        self.assertEqual(Cls.method(obj, 4), (obj, 4, 1))
        bound = obj.method
        self.assertIs(bound.__self__, obj)
        self.assertIs(bound.__func__, wrapper)
        self.assertEqual(bound(5), (obj, 5, 1))
        self.assertIs(wrapper.__get__(None, Cls), wrapper)
        self.assertEqual(str(inspect.signature(bound)), "(x, y=1)")
        for receiver in (Cls, obj):
            with self.subTest(receiver=receiver):
                self.assertEqual(receiver.klass(1), (Cls, 1))
                self.assertEqual(receiver.static(1, 2), (1, 2))
        error = MlflowException("in method")

        class Failing:
            @catch
            def method(self):
                raise error
        self.assertIs(caught(Failing().method), error)

    def test_pickled_by_reference(self):
        for target in (samples.square, samples.Holder.method):
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                with self.subTest(target=target.__qualname__, protocol=protocol):
                    self.assertIs(pickle.loads(pickle.dumps(target, protocol)), target)
            self.assertIs(copy.copy(target), target)
            self.assertIs(copy.deepcopy(target), target)
        self.assertEqual(pickle.loads(pickle.dumps(samples.Holder().method))(1), 2)
        local = catch(lambda: None)
        with self.assertRaises((pickle.PicklingError, AttributeError)):
            pickle.dumps(local)

    def test_multiprocessing_pool(self):
        code = (
            "import json, multiprocessing\n"
            "from tests import decorated_samples as s\n"
            "from vesk.tracking.exceptions import MlflowException\n"
            "out = {}\n"
            "for method in ('fork', 'spawn'):\n"
            "    with multiprocessing.get_context(method).Pool(2) as pool:\n"
            "        squares = pool.map(s.square, range(6))\n"
            "        try:\n"
            "            pool.apply(s.fail, ('boom',))\n"
            "            failed = None\n"
            "        except MlflowException as e:\n"
            "            failed = [type(e).__name__, e.message]\n"
            "    out[method] = [squares, failed]\n"
            "print(json.dumps(out))\n")
        with support.temporary_home() as home:
            out = support.run_json(self, code, home)
        want = [[0, 1, 4, 9, 16, 25], ["MlflowException", "boom"]]
        self.assertEqual(out, {"fork": want, "spawn": want})

    def test_weak_references_and_release(self):
        def func():
            pass
        wrapper = catch(func)
        self.assertTrue(gc.is_tracked(wrapper))
        wrapper_ref, func_ref = weakref.ref(wrapper), weakref.ref(func)
        self.assertIs(wrapper_ref(), wrapper)
        del func
        gc.collect()
        self.assertIsNotNone(func_ref())  # held by the wrapper
        del wrapper
        gc.collect()
        self.assertIsNone(wrapper_ref())
        self.assertIsNone(func_ref())

    def test_cycles_are_collected(self):
        def build(kind):
            def func():
                pass
            wrapper = catch(func)
            if kind == "func holds wrapper":
                func.wrapper = wrapper
            elif kind == "own dict":
                wrapper.me = wrapper
            elif kind == "annotations":
                wrapper.__annotations__ = {"self": wrapper}
            elif kind == "annotate":
                wrapper.__annotate__ = lambda form: {"self": wrapper}
            else:
                wrapper.__doc__ = [wrapper]
            return weakref.ref(wrapper), weakref.ref(func)
        kinds = ["func holds wrapper", "own dict", "annotations", "doc"]
        if LAZY_ANNOTATIONS:
            kinds.append("annotate")
        for kind in kinds:
            with self.subTest(kind=kind):
                refs = build(kind)
                gc.collect()
                self.assertEqual([ref() for ref in refs], [None, None])


def outcome(read, owner=None):
    """What read() gives, comparable between two objects: the value, with
    forward references as their text and owner (`owner` itself as "owner"),
    or the exception raised."""
    try:
        value = read()
    except Exception as exc:  # noqa: B902 - the exception is the outcome
        message = str(exc)
        if owner is not None:
            message = message.replace(repr(owner), "owner")
        return ("raised", type(exc), message)

    def comparable(item):
        if type(item).__name__ != "ForwardRef":
            return item
        item_owner = getattr(item, "__owner__", None)
        return ("ForwardRef", item.__forward_arg__,
                "owner" if item_owner is owner else item_owner)
    if isinstance(value, dict):
        return ("value", [(key, comparable(item)) for key, item in value.items()])
    return ("value", comparable(value))


def _define(source, namespace):
    """Functions of newer syntax (the suite stays readable by 3.6)."""
    exec(source, namespace)
    return namespace


@unittest.skipUnless(LAZY_ANNOTATIONS, "annotations are computed lazily from 3.14 on")
class LazyAnnotationTests(unittest.TestCase):
    """__annotate__ and __annotations__ as a functools.wraps wrapper that is a
    function has them, side by side with one: every read, every change."""

    def observed(self, wrapper):
        import annotationlib
        import typing
        seen = {"__annotate__": wrapper.__annotate__,
                "__annotations__": outcome(lambda: wrapper.__annotations__, wrapper),
                "kept": outcome(lambda: wrapper.__annotations__ is wrapper.__annotations__,
                                wrapper),
                "__type_params__": wrapper.__type_params__,
                "get_type_hints": outcome(lambda: typing.get_type_hints(wrapper), wrapper),
                "inspect": outcome(lambda: inspect.get_annotations(wrapper), wrapper)}
        for form in (annotationlib.Format.VALUE, annotationlib.Format.FORWARDREF,
                     annotationlib.Format.STRING):
            seen[form.name] = outcome(
                lambda: annotationlib.get_annotations(wrapper, format=form), wrapper)
        return seen

    def assert_alike(self, func, steps=()):
        """Decorates func both ways, then takes each step on both wrappers
        (a step is (label, function of a wrapper)), comparing what they show
        before the first step and after each."""
        ours, theirs = catch(func), python_wrapper(func)
        self.assertEqual(self.observed(ours), self.observed(theirs))
        for label, step in steps:
            with self.subTest(step=label):
                self.assertEqual(outcome(lambda: step(ours)), outcome(lambda: step(theirs)))
                self.assertEqual(self.observed(ours), self.observed(theirs))
        return ours, theirs

    def functions(self):
        """(label, function) pairs: annotations plain, forward, absent."""
        namespace = _define(
            "class Later:\n"
            "    pass\n"
            "def plain(a: int, b: 'str' = '', *args: float, c: list = None,\n"
            "          **kw: bytes) -> dict:\n"
            "    pass\n"
            "def forward(a: Missing, b: Later) -> Missing.attr:\n"
            "    pass\n"
            "def generic[T, *Ts, **P](a: T, *b: *Ts) -> T:\n"
            "    pass\n"
            "def none(a, b=1):\n"
            "    pass\n"
            "class Annotated:\n"
            "    x: int\n"
            "    y: 'Missing'\n", {"__name__": __name__})
        return [(name, namespace[name]) for name in
                ("plain", "forward", "generic", "none", "Annotated")] + [
            ("lambda", lambda: None), ("partial", functools.partial(max, 1)), ("builtin", len)]

    def test_decorated_functions(self):
        for label, func in self.functions():
            with self.subTest(func=label):
                self.assert_alike(func)

    def test_attributes_set_and_deleted_afterwards(self):
        def annotate(form):
            return {"late": form}

        class Callable:
            def __call__(self, form):
                return {"instance": form}
        instance = Callable()

        def non_dict(form):
            return [form]
        raising_key_error = {}.__getitem__

        steps = [
            ("read", lambda w: w.__annotations__),
            ("annotate None", lambda w: setattr(w, "__annotate__", None)),
            ("annotations set", lambda w: setattr(w, "__annotations__", {"set": int})),
            ("annotate set", lambda w: setattr(w, "__annotate__", annotate)),
            ("annotate None after", lambda w: setattr(w, "__annotate__", None)),
            ("annotate instance", lambda w: setattr(w, "__annotate__", instance)),
            ("annotations deleted", lambda w: delattr(w, "__annotations__")),
            ("annotate set again", lambda w: setattr(w, "__annotate__", annotate)),
            ("annotations None", lambda w: setattr(w, "__annotations__", None)),
            ("annotate not callable", lambda w: setattr(w, "__annotate__", 5)),
            ("annotate deleted", lambda w: delattr(w, "__annotate__")),
            ("annotations not a dict", lambda w: setattr(w, "__annotations__", [1])),
            ("annotate non-dict", lambda w: setattr(w, "__annotate__", non_dict)),
            ("annotate raising", lambda w: setattr(w, "__annotate__", raising_key_error)),
            ("type params", lambda w: setattr(w, "__type_params__", (int,))),
            ("type params not a tuple", lambda w: setattr(w, "__type_params__", [int])),
            ("type params deleted", lambda w: delattr(w, "__type_params__")),
        ]
        for label, func in self.functions():
            with self.subTest(func=label):
                self.assert_alike(func, steps)

    def test_kept_until_an_attribute_is_set(self):
        for make in (catch, python_wrapper):
            calls = []

            def annotate(form):
                calls.append(form)
                return {"a": len(calls)}
            wrapper = make(len)
            wrapper.__annotate__ = annotate
            with self.subTest(make=make):
                first = wrapper.__annotations__
                self.assertEqual(first, {"a": 1})
                self.assertIs(wrapper.__annotations__, first)
                wrapper.__annotate__ = None
                self.assertIs(wrapper.__annotations__, first)
                wrapper.__annotate__ = annotate
                self.assertEqual(wrapper.__annotations__, {"a": 2})
                self.assertEqual(calls, [1, 1])

    def test_forward_reference_resolved_later(self):
        namespace = _define("def func(a: Missing) -> int:\n    pass\n", {"__name__": __name__})
        wrappers = (catch(namespace["func"]), python_wrapper(namespace["func"]))
        for wrapper in wrappers:
            with self.assertRaises(NameError):
                wrapper.__annotations__
        # Nothing was kept by the failing reads.
        namespace["Missing"] = float
        for wrapper in wrappers:
            self.assertEqual(wrapper.__annotations__, {"a": float, "return": int})

    def test_annotate_reading_the_annotations_again(self):
        # A chain of C calls only, which the interpreter stops as it does
        # for a function.
        for make in (catch, python_wrapper):
            wrapper = make(len)
            wrapper.__annotate__ = functools.partial(getattr, wrapper, "__annotations__")
            with self.subTest(make=make):
                with self.assertRaises(RecursionError):
                    wrapper.__annotations__
                wrapper.__annotate__ = None

    def test_annotate_replaced_during_its_call(self):
        for make in (catch, python_wrapper):
            wrapper = make(len)

            def annotate(form, wrapper=wrapper):
                wrapper.__annotate__ = None
                wrapper.__annotations__ = {"inner": 1}
                return {"outer": form}
            wrapper.__annotate__ = annotate
            del annotate
            with self.subTest(make=make):
                self.assertEqual(wrapper.__annotations__, {"outer": 1})
                self.assertIsNone(wrapper.__annotate__)


class StandInTests(unittest.TestCase):
    """What tools that inspect callables make of a wrapper: the same as of a
    Python wrapper made with functools.wraps."""

    def test_autospec_checks_the_decorated_signature(self):
        def func(a, b, *, c=3):
            return a + b

        for wrapper in (catch(func), python_wrapper(func)):
            with self.subTest(wrapper=wrapper):
                checked = mock.create_autospec(wrapper, return_value="mocked")
                self.assertEqual(checked(1, 2), "mocked")
                self.assertEqual(checked(1, b=2, c=4), "mocked")
                for args, kwargs in (((1, 2, 3, 4), {}), ((1,), {}), ((1, 2), {"d": 1})):
                    with self.assertRaises(TypeError):
                        checked(*args, **kwargs)
        holder = types.ModuleType("holder")
        holder.func = catch(func)
        with mock.patch.object(holder, "func", autospec=True) as patched:
            holder.func(1, 2)
            with self.assertRaises(TypeError):
                holder.func(1, 2, 3, 4)
        patched.assert_called_once_with(1, 2)

    def test_signature_without_wrapped(self):
        with rebound(vandrel, "wraps", lambda func: (lambda wrapper: wrapper)):
            wrapper = catch(len)
        self.assertEqual(str(inspect.signature(wrapper)), "(*args, **kwargs)")

        class Cls:
            method = wrapper
        self.assertEqual(str(inspect.signature(Cls().method)), "(*args, **kwargs)")
        self.assertEqual(wrapper.__call__("abc"), 3)
        self.assertEqual(type(wrapper).__call__(wrapper, "abc"), 3)

    def test_keyword_names_judged_before_the_call_only(self):
        # func may change the caller's own mapping (f(**d) hands it on as it
        # is) before it fails: its own exception is what the caller gets.
        shared = {"a": 1}
        original = MlflowException("original")

        def func(a):
            shared[1] = 2
            raise original

        for call in (lambda w: w(**shared), lambda w: type(w).__call__(w, **shared)):
            with self.subTest(call=call):
                shared.pop(1, None)
                self.assertIs(caught(lambda: call(catch(func))), original)


class DeepChainTests(unittest.TestCase):
    """A chain of 300,000 wrappers, each decorating the next: calling it
    raises RecursionError and freeing it frees every link, as a chain of
    Python wrappers does; neither may overflow the C stack."""

    def test_call_and_free(self):
        code = textwrap.dedent("""
            from vesk.tracking.lite_extensions import vandrel
            vandrel.wraps = lambda func: (lambda wrapper: wrapper)  # no __wrapped__ kept
            chain = len
            for _ in range(300000):
                chain = vandrel.catch_tarnel_exception(chain)
            try:
                chain("abc")
            except RecursionError:
                print("RecursionError")
            del chain
            print("freed")
        """)
        with support.temporary_home() as home:
            result = support.run_python(code, home)
        self.assertEqual((result.returncode, result.stdout.split()),
                         (0, ["RecursionError", "freed"]), result.stderr)


class LeakTests(unittest.TestCase):
    """Reference counts stay flat over many calls (debug interpreter only)."""

    def test_paths_do_not_leak(self):
        # Fresh exceptions each time: re-raising one object grows its traceback.
        class Cls:
            method = catch(lambda self, x: x)

        obj = Cls()
        ok = catch(lambda *a, **k: a)
        fails_mlflow = catch(raising_new(lambda: MlflowException("m")))
        fails_other = catch(raising_new(lambda: ValueError("v")))
        fails_mlflow.__wrapped__.raised = fails_other.__wrapped__.raised = _Sink()
        actions = {
            "decorate": lambda: catch(len),
            "positional": lambda: ok(1, 2),
            "keyword": lambda: ok(1, b=2),
            "mapping": lambda: ok(**{"a": 1}),
            "method": lambda: obj.method(1),
            "c func keyword": lambda: catch(dict)(a=1),
            "mlflow positional": lambda: fails_mlflow(1),
            "mlflow keyword": lambda: fails_mlflow(a=1),
            "other positional": lambda: fails_other(1),
            "other keyword": lambda: fails_other(a=1),
            "non-string keyword": lambda: ok(**{1: 2}),
            "slot positional": lambda: type(ok).__call__(ok, 1, 2),
            "slot keyword": lambda: type(ok).__call__(ok, 1, b=2),
            "slot keyword c func": lambda: type(ok).__call__(catch(dict), a=1),
            "slot mlflow keyword": lambda: type(ok).__call__(fails_mlflow, a=1),
            "repr and reduce": lambda: (repr(ok), ok.__reduce__()),
            "metadata": lambda: (setattr(ok, "__annotations__", {"a": 1}),
                                 setattr(ok, "__name__", "n"), ok.__annotations__),
        }
        if LAZY_ANNOTATIONS:
            annotated = catch(lambda a: a)
            actions.update({
                "annotate": lambda: (setattr(annotated, "__annotate__", lambda form: {"a": form}),
                                     annotated.__annotations__, annotated.__annotate__,
                                     setattr(annotated, "__annotate__", None),
                                     annotated.__annotations__),
                "annotate replaced by annotations": lambda: (
                    setattr(annotated, "__annotate__", lambda form: {}),
                    setattr(annotated, "__annotations__", {"b": 1})),
                "annotate raising": lambda: (setattr(annotated, "__annotate__", {}.__getitem__),
                                             annotated.__annotations__),
                "annotate non-dict": lambda: (setattr(annotated, "__annotate__", lambda form: [1]),
                                              annotated.__annotations__),
                "annotate refused": lambda: setattr(annotated, "__annotate__", 1),
                "annotate deleted": lambda: delattr(annotated, "__annotate__"),
                "decorate annotated": lambda: catch(_annotated).__annotations__,
            })
        for name, action in actions.items():
            with self.subTest(path=name):
                support.assert_no_leak(self, action)
        for binding in (ABSENT, 42):  # NameError, TypeError with the original as context
            with self.subTest(binding=binding), rebound(vandrel, "MlflowException", binding):
                support.assert_no_leak(self, lambda: fails_mlflow(a=1))


def _annotated(a: int) -> str:
    pass


class _Sink:
    """A list that keeps nothing."""

    def append(self, item):
        pass

    def __getitem__(self, index):
        raise IndexError(index)


if __name__ == "__main__":
    unittest.main()
