// Helpers for the rest of the package: the exception-catching decorator and
// the run-context functions.
//
// catch_tarnel_exception returns an instance of a small function-like type
// of this module rather than a Python function: it holds the decorated
// callable, forwards calls to it (through vectorcall where the interpreter
// has it) and, when the call fails, looks up MlflowException the way an
// `except MlflowException as e: raise e` clause would.
#include "vandrel.h"

#include <cstddef>

namespace vandrel {
namespace {

// ------------------------------------------------------------- wrapper --

struct Wrapper {
    PyObject_HEAD
#if PY_VERSION_HEX >= 0x03080000
    vectorcallfunc vectorcall;
#endif
    PyObject* func;         // the decorated callable; fixed at creation
    PyObject* module;       // this module, for MlflowException on failure
    PyObject* name;         // str
    PyObject* qualname;     // str
    PyObject* module_name;  // __module__, may be null (reads as None)
    PyObject* doc;          // may be null (reads as None)
    PyObject* annotations;  // dict, made on first read
#if PY_VERSION_HEX >= 0x030E0000
    PyObject* annotate;     // callable, may be null (reads as None)
#endif
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* type_params;  // tuple, may be null (reads as ())
#endif
    PyObject* dict;
    PyObject* weakreflist;
};

PyTypeObject wrapper_type;

Wrapper* as_wrapper(PyObject* self) { return reinterpret_cast<Wrapper*>(self); }

// A setter may replace a field of the wrapper (its metadata) while another
// thread reads it. Each such field is read and written under the wrapper's
// own lock (a per-object critical section, as the interpreter's functions
// do), so a reader holds its reference before a writer can release the old
// value; the writer releases it after the lock, as its finaliser may run
// any code. With the global lock the critical sections are nothing. `func`
// and `module` are set at creation and only cleared by the collector, which
// runs with every other thread stopped: calls read them without a lock.

// A new reference to the field's value, or null when it is empty.
PyObject* load(Wrapper* w, PyObject* Wrapper::*field) {
    PyObject* value;
    Py_BEGIN_CRITICAL_SECTION(reinterpret_cast<PyObject*>(w));
    value = w->*field;
    Py_XINCREF(value);
    Py_END_CRITICAL_SECTION();
    return value;
}

// Puts `value` (a new reference, or null) in the field.
void store(Wrapper* w, PyObject* Wrapper::*field, PyObject* value) {
    PyObject* old;
    Py_BEGIN_CRITICAL_SECTION(reinterpret_cast<PyObject*>(w));
    old = w->*field;
    w->*field = value;
    Py_END_CRITICAL_SECTION();
    Py_XDECREF(old);
}

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

#ifdef Py_GIL_DISABLED
// Replacing the instance __dict__ where threads run at once. The
// interpreter's generic attribute code reads the dict pointer with an atomic
// load and no lock; its generic __dict__ setter stores it plainly, which
// such a reader may see half done. The new dict goes in with one atomic
// exchange, as the interpreter stores the dicts of its own classes, and the
// old one is released after it.
int set_dict(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "cannot delete __dict__");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_Format(PyExc_TypeError, "__dict__ must be set to a dictionary, not a '%.200s'",
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    Py_INCREF(value);
    PyObject* old = __atomic_exchange_n(&as_wrapper(self)->dict, value, __ATOMIC_ACQ_REL);
    Py_XDECREF(old);
    return 0;
}
#else
constexpr setter set_dict = PyObject_GenericSetDict;
#endif

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

// ------------------------------------------------------------ attributes --
// The writable metadata of a function, each with the checks functions make,
// so that functools.wraps can copy a function's onto the wrapper.

// A slot that reads as None while empty and takes any object.
template <PyObject* Wrapper::*Field>
PyObject* get_optional(PyObject* self, void*) {
    PyObject* value = load(as_wrapper(self), Field);
    if (value == nullptr) {
        Py_RETURN_NONE;
    }
    return value;
}

template <PyObject* Wrapper::*Field>
int set_optional(PyObject* self, PyObject* value, void*) {
    Py_XINCREF(value);
    store(as_wrapper(self), Field, value);
    return 0;
}

// __name__ and __qualname__: always a str.
template <PyObject* Wrapper::*Field>
PyObject* get_string(PyObject* self, void*) {
    return load(as_wrapper(self), Field);
}

template <PyObject* Wrapper::*Field>
int set_string(PyObject* self, PyObject* value, void* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, static_cast<const char*>(message));
        return -1;
    }
    Py_INCREF(value);
    store(as_wrapper(self), Field, value);
    return 0;
}

#if PY_VERSION_HEX >= 0x030E0000
// From 3.14 a function's annotations are made lazily: __annotate__(1)
// (the VALUE format) computes them at the first read of __annotations__,
// which keeps the dict until __annotations__ or a new __annotate__ is set.
// functools.wraps copies __annotate__, so the wrapper reads the wrapped
// function's annotations through it, and raises what it raises (a NameError
// for an annotation naming what is not defined yet). The call runs Python
// code, which may change the wrapper: the callable is held here, and the
// dict stored only once the call has returned. Called with the wrapper's
// lock held, as the interpreter calls a function's.
PyObject* annotations_from_annotate(Wrapper* w) {
    Ref annotate = Ref::borrow(w->annotate);
    Ref value_format = Ref::steal(PyLong_FromLong(1));
    if (!value_format) {
        return nullptr;
    }
    Ref annotations = vesk::call(annotate.get(), {value_format.get()});
    if (!annotations) {
        return nullptr;
    }
    if (!PyDict_Check(annotations.get())) {
        // Each interpreter's own words.
#if PY_VERSION_HEX >= 0x030F0000
        PyErr_Format(PyExc_TypeError, "__annotate__() must return a dict, not %s",
                     Py_TYPE(annotations.get())->tp_name);
#else
        PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'",
                     Py_TYPE(annotations.get())->tp_name);
#endif
        return nullptr;
    }
    Py_INCREF(annotations.get());
    Py_XSETREF(w->annotations, annotations.get());
    return annotations.release();
}
#endif

// The dict is made at the first read; under the wrapper's lock, so that two
// threads reading at once share one.
PyObject* get_annotations(PyObject* self, void*) {
    Wrapper* w = as_wrapper(self);
    PyObject* result = nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
#if PY_VERSION_HEX >= 0x030E0000
    if (w->annotations == nullptr && w->annotate != nullptr) {
        result = annotations_from_annotate(w);
    } else
#endif
    {
        if (w->annotations == nullptr) {
            w->annotations = PyDict_New();
        }
        result = w->annotations;
        Py_XINCREF(result);
    }
    Py_END_CRITICAL_SECTION();
    return result;
}

// Setting or deleting __annotations__ also drops __annotate__ (3.14 on).
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Wrapper* w = as_wrapper(self);
    Ref old_annotations;
    Ref old_annotate;
    Py_BEGIN_CRITICAL_SECTION(self);
    Py_XINCREF(value);
    old_annotations = Ref::steal(w->annotations);
    w->annotations = value;
#if PY_VERSION_HEX >= 0x030E0000
    old_annotate = Ref::steal(w->annotate);
    w->annotate = nullptr;
#endif
    Py_END_CRITICAL_SECTION();
    return 0;
}

#if PY_VERSION_HEX >= 0x030E0000
PyObject* get_annotate(PyObject* self, void*) {
    return get_optional<&Wrapper::annotate>(self, nullptr);
}

// A callable replaces the kept annotations; None leaves them as they are.
int set_annotate(PyObject* self, PyObject* value, void*) {
    Wrapper* w = as_wrapper(self);
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value != Py_None && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    Ref old_annotate;
    Ref old_annotations;
    Py_BEGIN_CRITICAL_SECTION(self);
    old_annotate = Ref::steal(w->annotate);
    if (value == Py_None) {
        w->annotate = nullptr;
    } else {
        Py_INCREF(value);
        w->annotate = value;
        old_annotations = Ref::steal(w->annotations);
        w->annotations = nullptr;
    }
    Py_END_CRITICAL_SECTION();
    return 0;
}
#endif

#if PY_VERSION_HEX >= 0x030C0000
PyObject* get_type_params(PyObject* self, void*) {
    PyObject* value = load(as_wrapper(self), &Wrapper::type_params);
    return value != nullptr ? value : PyTuple_New(0);
}

int set_type_params(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    return set_optional<&Wrapper::type_params>(self, value, nullptr);
}
#endif

// 3.6 declares the names as char*; they are only ever read.
constexpr char* attr(const char* name) { return const_cast<char*>(name); }

char name_message[] = "__name__ must be set to a string object";
char qualname_message[] = "__qualname__ must be set to a string object";

PyGetSetDef wrapper_getset[] = {
    {attr("__name__"), get_string<&Wrapper::name>, set_string<&Wrapper::name>, nullptr,
     name_message},
    {attr("__qualname__"), get_string<&Wrapper::qualname>, set_string<&Wrapper::qualname>,
     nullptr, qualname_message},
    {attr("__module__"), get_optional<&Wrapper::module_name>,
     set_optional<&Wrapper::module_name>, nullptr, nullptr},
    {attr("__doc__"), get_optional<&Wrapper::doc>, set_optional<&Wrapper::doc>, nullptr,
     nullptr},
    {attr("__annotations__"), get_annotations, set_annotations, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030E0000
    {attr("__annotate__"), get_annotate, set_annotate, nullptr, nullptr},
#endif
#if PY_VERSION_HEX >= 0x030C0000
    {attr("__type_params__"), get_type_params, set_type_params, nullptr, nullptr},
#endif
    {attr("__dict__"), PyObject_GenericGetDict, set_dict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

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

// ------------------------------------------------------ module functions --

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

// env.get_env(<constant named `constant`>), every name resolved afresh.
PyObject* env_value(PyObject* module, PyObject* constant) {
    Ref env = vesk::lookup_global(module, names.env);
    if (!env) return nullptr;
    Ref get_env = vesk::get_attr(env.get(), names.get_env);
    if (!get_env) return nullptr;
    Ref variable = vesk::lookup_global(module, constant);
    if (!variable) return nullptr;
    return vesk::call(get_env.get(), {variable.get()}).release();
}

PyObject* get_experiment_id(PyObject* module) {
    return env_value(module, names.EXPERIMENT_ID_ENV_VAR);
}

PyObject* get_run_id(PyObject* module) {
    return env_value(module, names.RUN_ID_ENV_VAR);
}

// _RUN_ID_ENV_VAR in os.environ: presence of the key only.
PyObject* runid_exists(PyObject* module) {
    Ref variable = vesk::lookup_global(module, names.RUN_ID_ENV_VAR);
    if (!variable) return nullptr;
    Ref os = vesk::lookup_global(module, names.os);
    if (!os) return nullptr;
    Ref environ = vesk::get_attr(os.get(), names.environ);
    if (!environ) return nullptr;
    int present = PySequence_Contains(environ.get(), variable.get());
    if (present < 0) return nullptr;
    return PyBool_FromLong(present);
}

constexpr char kCatchTarnelException[] = "catch_tarnel_exception";
constexpr char kGetExperimentId[] = "_get_experiment_id";
constexpr char kGetRunId[] = "_get_run_id";
constexpr char kRunidExists[] = "_runid_exists";

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
PyMethodDef get_experiment_id_method =
    vesk::no_arguments_method<kGetExperimentId, get_experiment_id>(
        "_get_experiment_id($module, /)\n--\n\n");
PyMethodDef get_run_id_method =
    vesk::no_arguments_method<kGetRunId, get_run_id>("_get_run_id($module, /)\n--\n\n");
PyMethodDef runid_exists_method =
    vesk::no_arguments_method<kRunidExists, runid_exists>("_runid_exists($module, /)\n--\n\n");

}  // namespace vandrel
