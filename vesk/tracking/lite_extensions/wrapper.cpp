// catch_tarnel_exception and the type of the wrappers it makes.
//
// catch_tarnel_exception returns an instance of a small function-like type
// of this module rather than a Python function: it holds the decorated
// callable, forwards calls to it (through vectorcall where the interpreter
// has it) and, when the call fails, looks up MlflowException the way an
// `except MlflowException as e: raise e` clause would.
#include "wrapper.h"

#include <cstddef>

namespace vandrel {
namespace {

PyTypeObject wrapper_type;

// The failing path of a call: with `func`'s exception pending, resolve
// MlflowException and apply the `except` rule. A match re-raises the same
// object and a miss lets it pass; both leave it pending exactly as `func`
// raised it, traceback and chaining untouched. Only a failure of the clause
// itself (name not found, or not an exception class) raises anew, with the
// original as its __context__ as the interpreter does.
[[gnu::cold]] PyObject* after_failure(Wrapper* self) {
    PyObject* raised = PyErr_GetRaisedException();
    Ref cls = vesk::lookup_global(self->module, names.MlflowException);
    if (cls) {
        PyObject* target = cls.get();
        bool catchable = true;
        if (PyTuple_Check(target)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(target) && catchable; ++i) {
                catchable = PyExceptionClass_Check(PyTuple_GET_ITEM(target, i));
            }
        } else {
            catchable = PyExceptionClass_Check(target);
        }
        if (catchable) {
            PyErr_SetRaisedException(raised);
            return nullptr;
        }
        PyErr_SetString(PyExc_TypeError,
                        "catching classes that do not inherit from BaseException is not allowed");
    }
    PyObject* failure = PyErr_GetRaisedException();
    PyException_SetContext(failure, raised);  // steals `raised`
    PyErr_SetRaisedException(failure);
    return nullptr;
}

// Only reachable from a finaliser run while the collector breaks a cycle.
[[gnu::cold]] PyObject* released() {
    PyErr_SetString(PyExc_RuntimeError, "wrapper() called after its function was released");
    return nullptr;
}

[[gnu::cold]] PyObject* keywords_must_be_strings() {
    PyErr_SetString(PyExc_TypeError, "wrapper() keywords must be strings");
    return nullptr;
}

// A Python function guards the interpreter's recursion depth itself when it
// runs; any other callable (another wrapper, in a chain of decorations) is
// called through these, which guard it as the interpreter guards its own
// calls into C, so that a deep chain raises RecursionError rather than
// overflowing the C stack. Kept apart from the callers so that a Python
// func's call pays nothing for them.
[[gnu::noinline]] PyObject* guarded_call(PyObject* func, PyObject* args, PyObject* kwargs) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject* result = PyObject_Call(func, args, kwargs);
    Py_LeaveRecursiveCall();
    return result;
}

#if PY_VERSION_HEX >= 0x03080000
[[gnu::noinline]] PyObject* guarded_vectorcall(PyObject* func, PyObject* const* args,
                                               size_t nargsf, PyObject* kwnames) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject* result = PyObject_Vectorcall(func, args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}
#endif

bool has_only_str_keys(PyObject* kwargs) {
#if PY_VERSION_HEX < 0x03080000
    // The check itself, without the wrapping that sets an error we'd drop:
    // this is the path of every keyword call up to 3.7.
    return _PyDict_HasOnlyStringKeys(kwargs);
#else
    // The mapping may be the caller's own, which another thread can change
    // while it is walked: the walk holds the dict's lock.
    int valid;
    Py_BEGIN_CRITICAL_SECTION(kwargs);
    valid = PyArg_ValidateKeywordArguments(kwargs);
    Py_END_CRITICAL_SECTION();
    if (!valid) {
        PyErr_Clear();
    }
    return valid != 0;
#endif
}

PyObject* wrapper_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    Wrapper* w = as_wrapper(self);
    PyObject* func = w->func;
    if (func == nullptr) {
        return released();
    }
    bool keywords = kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0;
    // The names are judged before func runs, never after: func may change
    // the caller's mapping (f(**d) hands it on as it is). Answered from the
    // dict's own key kind when it has only str keys, without a walk.
    if (keywords && !has_only_str_keys(kwargs)) {
        return keywords_must_be_strings();
    }
    PyObject* result;
    if (PyFunction_Check(func)) {
        // A Python function binds the keywords into its own frame and
        // never keeps the mapping: it gets the one received.
#if PY_VERSION_HEX < 0x03080000
        // PyObject_Call takes a slower road into a Python function here
        // than the fast-call entry the interpreter's own calls use.
        result = _PyObject_FastCallDict(func, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                                        keywords ? kwargs : nullptr);
#else
        result = PyObject_Call(func, args, keywords ? kwargs : nullptr);
#endif
    } else {
        // Any other callable may keep or change the mapping: it gets a copy.
        Ref fresh;
        if (keywords) {
            fresh = Ref::steal(PyDict_Copy(kwargs));
            if (!fresh) {
                return nullptr;
            }
        }
        result = guarded_call(func, args, fresh.get());
    }
    return result != nullptr ? result : after_failure(w);
}

#if PY_VERSION_HEX >= 0x03080000
// Arguments and keyword names go on as received (the argument-offset flag
// too: the slot before `args` is our caller's to lend); a Python `func`
// builds its own keyword mapping from them, a classic one is given a new one.
PyObject* wrapper_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) {
    Wrapper* w = as_wrapper(self);
    PyObject* func = w->func;
    if (func == nullptr) {
        return released();
    }
#if PY_VERSION_HEX < 0x03090000
    // From 3.9 the interpreter refuses non-string names before calling us.
    if (kwnames != nullptr) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, i))) {
                return keywords_must_be_strings();
            }
        }
    }
#endif
    PyObject* result = PyFunction_Check(func)
                           ? PyObject_Vectorcall(func, args, nargsf, kwnames)
                           : guarded_vectorcall(func, args, nargsf, kwnames);
    return result != nullptr ? result : after_failure(w);
}
#endif

// Binds like a function: through an instance (or a class, for classmethod)
// it gives a bound method; looked up on a class it is itself.
PyObject* wrapper_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* wrapper_repr(PyObject* self) {
    Ref qualname = Ref::steal(load(as_wrapper(self), &Wrapper::qualname));
    return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), self);
}

// Pickled by reference like a function: pickle finds it again as
// __module__ + "." + __qualname__ and checks that it is the same object.
PyObject* wrapper_reduce(PyObject* self, PyObject*) {
    return load(as_wrapper(self), &Wrapper::qualname);
}

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Wrapper* w = as_wrapper(self);
    Py_VISIT(w->func);
    Py_VISIT(w->module);
    Py_VISIT(w->name);
    Py_VISIT(w->qualname);
    Py_VISIT(w->module_name);
    Py_VISIT(w->doc);
    Py_VISIT(w->annotations);
#if PY_VERSION_HEX >= 0x030E0000
    Py_VISIT(w->annotate);
#endif
#if PY_VERSION_HEX >= 0x030C0000
    Py_VISIT(w->type_params);
#endif
    Py_VISIT(w->dict);
    return 0;
}

// Name and qualified name stay: repr and __reduce__ read them and they are
// strings, which take no part in cycles.
int wrapper_clear(PyObject* self) {
    Wrapper* w = as_wrapper(self);
    Py_CLEAR(w->func);
    Py_CLEAR(w->module);
    Py_CLEAR(w->module_name);
    Py_CLEAR(w->doc);
    Py_CLEAR(w->annotations);
#if PY_VERSION_HEX >= 0x030E0000
    Py_CLEAR(w->annotate);
#endif
#if PY_VERSION_HEX >= 0x030C0000
    Py_CLEAR(w->type_params);
#endif
    Py_CLEAR(w->dict);
    return 0;
}

void free_wrapper(Wrapper* w) {
    PyObject* self = reinterpret_cast<PyObject*>(w);
    if (w->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    wrapper_clear(self);
    Py_CLEAR(w->name);
    Py_CLEAR(w->qualname);
    PyObject_GC_Del(self);
}

// Freeing a long chain of wrappers, each the func of the next, would
// recurse once per link: such a dealloc goes through the interpreter's
// trashcan, which defers the deeper ones, as for its own containers. A
// Python func (the common case) can hold other objects only through
// containers that do so themselves, and needs none.
void wrapper_dealloc(PyObject* self) {
    Wrapper* w = as_wrapper(self);
    PyObject_GC_UnTrack(self);
    if (w->func == nullptr || PyFunction_Check(w->func)) {
        free_wrapper(w);
        return;
    }
#if PY_VERSION_HEX >= 0x03080000
    Py_TRASHCAN_BEGIN(self, wrapper_dealloc)
#else
    Py_TRASHCAN_SAFE_BEGIN(self)
#endif
    free_wrapper(w);
#if PY_VERSION_HEX >= 0x03080000
    Py_TRASHCAN_END
#else
    Py_TRASHCAN_SAFE_END(self)
#endif
}

// `w.__call__` is the wrapper itself rather than a method-wrapper of the
// type's call slot, whose signature says nothing: tools that judge a
// callable by its __call__ (mock's autospec) then reach the decorated
// function's signature through __wrapped__, as for a Python wrapper.
// An interned name other than our interned "__call__" is another name, so
// only names made at run time need comparing.
PyObject* wrapper_getattro(PyObject* self, PyObject* name) {
    if (name == names.dunder_call ||
        (PyUnicode_Check(name) &&
         !(PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name)) &&
         PyUnicode_CompareWithASCIIString(name, "__call__") == 0)) {
        Py_INCREF(self);
        return self;
    }
    return PyObject_GenericGetAttr(self, name);
}

PyMethodDef wrapper_methods[] = {
    {"__reduce__", vesk::as_method(wrapper_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// A new wrapper of `func` with the metadata of a fresh
// `def wrapper(*args, **kwargs)` nested in catch_tarnel_exception.
PyObject* new_wrapper(PyObject* module, PyObject* func) {
    // __module__ as a function defined here takes it: the namespace's
    // __name__ at the time, None when there is none.
    Ref module_name =
        vesk::dict_lookup_cache.find(module, PyModule_GetDict(module), names.dunder_name);
    if (!module_name && PyErr_Occurred()) {
        return nullptr;
    }
    Wrapper* w = PyObject_GC_New(Wrapper, &wrapper_type);
    if (w == nullptr) {
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x03080000
    w->vectorcall = wrapper_vectorcall;
#endif
    Py_INCREF(func);
    w->func = func;
    Py_INCREF(module);
    w->module = module;
    Py_INCREF(names.wrapper);
    w->name = names.wrapper;
    Py_INCREF(names.wrapper_qualname);
    w->qualname = names.wrapper_qualname;
    w->module_name = module_name.release();
    w->doc = nullptr;
    w->annotations = nullptr;
#if PY_VERSION_HEX >= 0x030E0000
    w->annotate = nullptr;
#endif
#if PY_VERSION_HEX >= 0x030C0000
    w->type_params = nullptr;
#endif
    w->dict = nullptr;
    w->weakreflist = nullptr;
    PyObject* self = reinterpret_cast<PyObject*>(w);
    PyObject_GC_Track(self);
    return self;
}

// ------------------------------------------------------------ decorator --

PyObject* catch_tarnel_exception(PyObject* module, PyObject* decorated) {
    Ref func = Ref::borrow(decorated);  // the closure record
    Ref wraps = vesk::lookup_global(module, names.wraps);
    if (!wraps) return nullptr;
    Ref decorator = vesk::call(wraps.get(), {func.get()});
    if (!decorator) return nullptr;
    Ref wrapper = Ref::steal(new_wrapper(module, func.get()));
    if (!wrapper) return nullptr;
    return vesk::call(decorator.get(), {wrapper.get()}).release();
}

constexpr char kCatchTarnelException[] = "catch_tarnel_exception";

// The parameters of `def wrapper(*args, **kwargs)`, which inspect.signature
// reports for a wrapper without __wrapped__. A class attribute, so that an
// instance's own __dict__ may override it.
bool add_text_signature() {
    Ref signature = Ref::steal(PyUnicode_FromString("(*args, **kwargs)"));
    if (!signature ||
        PyDict_SetItemString(wrapper_type.tp_dict, "__text_signature__", signature.get()) < 0) {
        return false;
    }
    PyType_Modified(&wrapper_type);
    return true;
}

}  // namespace

// Readied in the module's set-up, which the import lock serialises: two
// threads can't both find it unready.
// A body that failed after this step runs again at the next import: the
// type is then ready already and must stay as it is.
bool ready_wrapper_type() {
    if (wrapper_type.tp_flags & Py_TPFLAGS_READY) {
        return add_text_signature();
    }
    PyVarObject head = {PyObject_HEAD_INIT(nullptr) 0};
    wrapper_type.ob_base = head;
    // Not bound in the module: the namespace holds the documented names only.
    wrapper_type.tp_name = "vesk.tracking.lite_extensions.vandrel.wrapper";
    wrapper_type.tp_basicsize = sizeof(Wrapper);
    wrapper_type.tp_dealloc = wrapper_dealloc;
    wrapper_type.tp_repr = wrapper_repr;
    wrapper_type.tp_call = wrapper_call;
    wrapper_type.tp_getattro = wrapper_getattro;
    wrapper_type.tp_setattro = PyObject_GenericSetAttr;
    wrapper_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#if PY_VERSION_HEX >= 0x03080000
    // METHOD_DESCRIPTOR: `obj.method(...)` may call us with `obj` prepended
    // instead of making the bound method, which is what __get__ would give.
    wrapper_type.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    wrapper_type.tp_vectorcall_offset = offsetof(Wrapper, vectorcall);
#endif
    wrapper_type.tp_traverse = wrapper_traverse;
    wrapper_type.tp_clear = wrapper_clear;
    wrapper_type.tp_weaklistoffset = offsetof(Wrapper, weakreflist);
    wrapper_type.tp_methods = wrapper_methods;
    wrapper_type.tp_getset = wrapper_getset;
    wrapper_type.tp_descr_get = wrapper_get;
    wrapper_type.tp_dictoffset = offsetof(Wrapper, dict);
    return PyType_Ready(&wrapper_type) == 0 && add_text_signature();
}

PyMethodDef catch_tarnel_exception_method =
    vesk::one_argument_method<kCatchTarnelException, catch_tarnel_exception>(
        "catch_tarnel_exception($module, func, /)\n--\n\n");

}  // namespace vandrel
