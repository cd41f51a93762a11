// What both extension modules share on top of the CPython C API: the owning
// reference (ref.h), global-name lookup as Python code does it (its cache in
// lookup_cache.h), calls, the exact argument checks of the modules'
// functions, and the few shims that older interpreters need (each guarded by
// the version that brought the API).
#ifndef VESK_CAPI_H
#define VESK_CAPI_H

#include "ref.h"
#include "lookup_cache.h"

#include <cstddef>
#include <initializer_list>
#include <utility>

// The entry point is the one symbol each library exports (the build hides
// everything else); 3.6's PyMODINIT_FUNC carries no visibility of its own.
#define VESK_MODULE_INIT extern "C" __attribute__((visibility("default"))) PyObject*

// ---------------------------------------------------------------- shims --

#ifndef PyDict_GET_SIZE  // 3.7
#define PyDict_GET_SIZE(op) (((PyDictObject*)(op))->ma_used)
#endif

#if PY_VERSION_HEX >= 0x03080000 && PY_VERSION_HEX < 0x03090000
#define PyObject_Vectorcall _PyObject_Vectorcall
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

#if PY_VERSION_HEX < 0x030C0000
// The raised exception as one object: normalised, its traceback attached.
static inline PyObject* PyErr_GetRaisedException(void) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && PyException_SetTraceback(value, traceback) < 0) {
        // Only fails for a traceback that isn't one; keep the exception.
        PyErr_Clear();
    }
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
}

// Raises `exc` (stolen) again, with the traceback it carries.
static inline void PyErr_SetRaisedException(PyObject* exc) {
    if (exc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}
#endif

#if PY_VERSION_HEX < 0x030D0000
// Per-object critical sections (3.13) lock an object where threads run at
// once, and are nothing where the global lock is held; before 3.13 it
// always is.
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

namespace vesk {

// ------------------------------------------------------------ name lookup --

// dict[key] for a C string key; empty without an exception when absent.
inline Ref dict_item(PyObject* dict, const char* key) {
    Ref key_object = Ref::steal(PyUnicode_FromString(key));
    return key_object ? dict_get(dict, key_object.get()) : Ref();
}

// The namespace of a plain module, or null when it has none: up to 3.10 a
// module made by ModuleType.__new__ without __init__ has no dict yet.
inline PyObject* module_dict(PyObject* module) {
#if PY_VERSION_HEX < 0x030B0000
    PyObject** dict = _PyObject_GetDictPtr(module);
    return dict != nullptr ? *dict : nullptr;
#else
    return PyModule_GetDict(module);  // made with the module since 3.11
#endif
}

// The builtins a function of a module sees, as the interpreter gives them
// to a function defined there: its namespace's __builtins__ (a module
// standing for its dict), else the interpreter's own. Never the caller's:
// code run with restricted builtins must not change what our names mean.
[[gnu::cold]] inline Ref lookup_builtin(PyObject* globals, PyObject* name) {
    Ref builtins = dict_item(globals, "__builtins__");
    if (!builtins) {
        if (PyErr_Occurred()) {
            return Ref();
        }
        builtins = dict_item(PyImport_GetModuleDict(), "builtins");
        if (!builtins && PyErr_Occurred()) {
            return Ref();
        }
    }
    if (builtins && PyModule_Check(builtins.get())) {
        builtins = Ref::borrow(module_dict(builtins.get()));
    }
    Ref value;
    if (builtins && PyDict_Check(builtins.get())) {
        value = dict_get(builtins.get(), name);
    } else if (builtins) {
        value = Ref::steal(PyObject_GetItem(builtins.get(), name));
        if (!value && PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
        }
    }
    if (!value && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

// `found` in the namespace `globals`, else (absent, without an error) the
// builtin of that name.
inline Ref or_builtin(Ref found, PyObject* globals, PyObject* name) {
    return found || PyErr_Occurred() ? std::move(found) : lookup_builtin(globals, name);
}

// A module-level name as a function body sees it: the module's namespace
// first, then the builtins; NameError when it is in neither.
[[gnu::always_inline]] inline Ref lookup_global(PyObject* module, PyObject* name) {
    PyObject* globals = PyModule_GetDict(module);
    return or_builtin(dict_lookup_cache.find(module, globals, name), globals, name);
}

// The same for code that runs once (a module's set-up): nothing is kept.
inline Ref lookup_global_once(PyObject* module, PyObject* name) {
    PyObject* globals = PyModule_GetDict(module);
    return or_builtin(resolved(dict_get(globals, name), module, name), globals, name);
}

// obj.name. ModuleType (an immutable built-in type) defines none of the
// names the modules read, so for a plain module its own dict answers exactly
// as getattr would, without the generic lookup through the type; a miss
// still goes through getattr for the module's __getattr__ and the error.
[[gnu::always_inline]] inline Ref get_attr(PyObject* obj, PyObject* name) {
    if (PyModule_CheckExact(obj)) {
        PyObject* dict = module_dict(obj);
        Ref value = dict != nullptr ? dict_lookup_cache.find(obj, dict, name) : Ref();
        if (value || PyErr_Occurred()) {
            return value;
        }
    }
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// Binds a module attribute, as an assignment at module level does.
inline bool bind(PyObject* module, PyObject* name, const Ref& value) {
    return PyObject_SetAttr(module, name, value.get()) == 0;
}

// ------------------------------------------------------------------ calls --
// Through the interpreter's fast-call entry (vectorcall from 3.8), so that
// no argument tuple is built for callables that take their arguments from
// the stack, as Python functions do.

#if PY_VERSION_HEX >= 0x03090000
// The callable's own vectorcall entry where it has one, as the interpreter's
// calls take it; the generic entry adds a check of the result that the
// interpreter makes again when our function returns.
inline PyObject* fast_call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    vectorcallfunc vectorcall = PyVectorcall_Function(callable);
    if (vectorcall != nullptr) {
        return vectorcall(callable, args, static_cast<size_t>(nargs), kwnames);
    }
    return PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs), kwnames);
}
#elif PY_VERSION_HEX >= 0x03080000
inline PyObject* fast_call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs), kwnames);
}
#else
inline PyObject* fast_call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return _PyObject_FastCallKeywords(callable, const_cast<PyObject**>(args), nargs, kwnames);
}
#endif

// callable(*args), all non-null.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    return Ref::steal(
        fast_call(callable, args.begin(), static_cast<Py_ssize_t>(args.size()), nullptr));
}

// -------------------------------------------------------- argument checks --
// For functions entered through the interpreter's fast calling convention:
// arguments on a stack, keyword names in a tuple (METH_FASTCALL, with
// METH_KEYWORDS from 3.7). The messages are ours on every version; the
// interpreter's own wording changed after 3.6.

#if PY_VERSION_HEX >= 0x03070000
constexpr int kFastcallFlags = METH_FASTCALL | METH_KEYWORDS;
#else
constexpr int kFastcallFlags = METH_FASTCALL;  // 3.6's passes the keyword names already
#endif

inline bool has_keywords(PyObject* kwnames) {
    return kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0;
}

// A function without parameters; keywords are reported first.
inline bool check_no_arguments(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
    if (has_keywords(kwnames)) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
        return false;
    }
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", name, nargs);
        return false;
    }
    return true;
}

// A function of exactly one positional argument; keywords are reported first.
inline bool check_one_positional(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
    if (has_keywords(kwnames)) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
        return false;
    }
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", name,
                     nargs);
        return false;
    }
    return true;
}

// The value passed for a keyword `name` (an ASCII literal), or null.
inline PyObject* keyword_value(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                               const char* name) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) {
            return args[nargs + i];
        }
    }
    return nullptr;
}

// A function of exactly two parameters, each given by position or keyword,
// with the interpreter's classic messages. Checked in this order: the count
// of positional arguments (also when nothing names the first parameter),
// a missing second parameter, then each keyword in the order given:
// a non-string name, an unknown name, a name already given by position.
inline bool parse_two_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, const char* first_name,
                                const char* second_name, PyObject** first, PyObject** second) {
    auto wrong_count = [function](Py_ssize_t count) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                     function, "exactly", static_cast<Py_ssize_t>(2), "s", count);
        return false;
    };
    if (!has_keywords(kwnames)) {
        if (nargs != 2) {
            return wrong_count(nargs);
        }
        *first = args[0];
        *second = args[1];
        return true;
    }
    if (nargs > 2) {
        return wrong_count(nargs);
    }
    PyObject* first_keyword = keyword_value(args, nargs, kwnames, first_name);
    PyObject* second_keyword = keyword_value(args, nargs, kwnames, second_name);
    if (nargs == 0 && first_keyword == nullptr) {
        return wrong_count(0);
    }
    if (nargs < 2 && second_keyword == nullptr) {
        return wrong_count(1);
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
            return false;
        }
        Py_ssize_t index;
        if (PyUnicode_CompareWithASCIIString(key, first_name) == 0) {
            index = 0;
        } else if (PyUnicode_CompareWithASCIIString(key, second_name) == 0) {
            index = 1;
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                         key);
            return false;
        }
        if (index < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         function, key);
            return false;
        }
    }
    *first = nargs >= 1 ? args[0] : first_keyword;
    *second = nargs >= 2 ? args[1] : second_keyword;
    return true;
}

// Casts a function of any of the C API's calling conventions for a method
// table, through the generic function type so no cast warning hides a
// genuine signature mistake elsewhere.
template <typename Function>
inline PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// ------------------------------------------------------- function entries --
// A function of no parameters or of one positional parameter is written as
// its body alone; these make its method-table entry, which enters the body
// through the cheapest convention of each interpreter: METH_NOARGS and
// METH_O on 3.6, whose own checks word their messages exactly as ours do,
// and the fast convention with the checks above from 3.7 on.

using NoArgumentsBody = PyObject* (*)(PyObject* module);
using OneArgumentBody = PyObject* (*)(PyObject* module, PyObject* arg);

#if PY_VERSION_HEX >= 0x03070000
template <const char* Name, NoArgumentsBody Body>
PyObject* enter_no_arguments(PyObject* module, PyObject* const*, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return check_no_arguments(Name, nargs, kwnames) ? Body(module) : nullptr;
}
template <const char* Name, OneArgumentBody Body>
PyObject* enter_one_argument(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return check_one_positional(Name, nargs, kwnames) ? Body(module, args[0]) : nullptr;
}
constexpr int kNoArgumentsFlags = kFastcallFlags;
constexpr int kOneArgumentFlags = kFastcallFlags;
#else
template <const char* Name, NoArgumentsBody Body>
PyObject* enter_no_arguments(PyObject* module, PyObject*) {
    return Body(module);
}
template <const char* Name, OneArgumentBody Body>
PyObject* enter_one_argument(PyObject* module, PyObject* arg) {
    return Body(module, arg);
}
constexpr int kNoArgumentsFlags = METH_NOARGS;
constexpr int kOneArgumentFlags = METH_O;
#endif

// `signature` is the text signature, e.g. "name($module, /)\n--\n\n".
template <const char* Name, NoArgumentsBody Body>
PyMethodDef no_arguments_method(const char* signature) {
    return {Name, as_method(enter_no_arguments<Name, Body>), kNoArgumentsFlags, signature};
}
template <const char* Name, OneArgumentBody Body>
PyMethodDef one_argument_method(const char* signature) {
    return {Name, as_method(enter_one_argument<Name, Body>), kOneArgumentFlags, signature};
}

// -------------------------------------------------------- interned names --

inline bool intern(PyObject*& slot, const char* text) {
    if (slot == nullptr) {
        slot = PyUnicode_InternFromString(text);
    }
    return slot != nullptr;
}

}  // namespace vesk

#endif  // VESK_CAPI_H
