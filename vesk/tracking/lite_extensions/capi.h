// What both extension modules share on top of the CPython C API: an owning
// reference, global-name lookup as Python code does it, the exact argument
// checks of the modules' functions, and the few shims that older
// interpreters need (each guarded by the version that brought the API).
#ifndef VESK_CAPI_H
#define VESK_CAPI_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <utility>

// The entry point is the one symbol each library exports (the build hides
// everything else); 3.6's PyMODINIT_FUNC carries no visibility of its own.
#define VESK_MODULE_INIT extern "C" __attribute__((visibility("default"))) PyObject*

// ---------------------------------------------------------------- shims --

#ifndef PyDict_GET_SIZE  // 3.7
#define PyDict_GET_SIZE(op) (((PyDictObject*)(op))->ma_used)
#endif

#if PY_VERSION_HEX < 0x03090000
static inline PyObject* PyObject_CallNoArgs(PyObject* callable) {
    return PyObject_CallFunctionObjArgs(callable, nullptr);
}
static inline PyObject* PyObject_CallOneArg(PyObject* callable, PyObject* arg) {
    return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
}
#endif

#if PY_VERSION_HEX >= 0x03080000 && PY_VERSION_HEX < 0x03090000
#define PyObject_Vectorcall _PyObject_Vectorcall
#define PyVectorcall_NARGS _PyVectorcall_NARGS
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

namespace vesk {

// ------------------------------------------------------ owning reference --

// Owns one strong reference. Made only through the named factories, so every
// reference's origin reads at the call site; never converts implicitly.
class Ref {
 public:
    Ref() noexcept = default;
    // Takes over a new reference (may be null: the call that made it failed).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference to a borrowed object (may be null).
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = obj_;
        obj_ = other.release();
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller, e.g. as a function's result.
    PyObject* release() noexcept {
        PyObject* obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// ------------------------------------------------------------ name lookup --

// A module-level name as a function body sees it: the module's namespace
// first, then the builtins; NameError when it is in neither.
inline Ref lookup_global(PyObject* module, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (value == nullptr) {
        if (PyErr_Occurred()) {
            return Ref();
        }
        PyObject* builtins = PyEval_GetBuiltins();
        if (builtins == nullptr) {
            return Ref();
        }
        value = PyDict_GetItemWithError(builtins, name);
        if (value == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            }
            return Ref();
        }
    }
    return Ref::borrow(value);
}

inline Ref get_attr(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// Binds a module attribute, as an assignment at module level does.
inline bool bind(PyObject* module, PyObject* name, const Ref& value) {
    return PyObject_SetAttr(module, name, value.get()) == 0;
}

// Calls with positional arguments only (all non-null).
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    switch (args.size()) {
        case 0:
            return Ref::steal(PyObject_CallNoArgs(callable));
        case 1:
            return Ref::steal(PyObject_CallOneArg(callable, *args.begin()));
        default: {
            Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
            if (!tuple) {
                return Ref();
            }
            Py_ssize_t i = 0;
            for (PyObject* arg : args) {
                Py_INCREF(arg);
                PyTuple_SET_ITEM(tuple.get(), i++, arg);
            }
            return Ref::steal(PyObject_Call(callable, tuple.get(), nullptr));
        }
    }
}

// -------------------------------------------------------- argument checks --
// The functions take (module, args tuple, kwargs dict or null) so that the
// messages are ours on every interpreter version; the interpreter's own
// wording changed after 3.6.

inline bool has_keywords(PyObject* kwargs) {
    return kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0;
}

// A function without parameters; keywords are reported first.
inline bool check_no_arguments(const char* name, PyObject* args, PyObject* kwargs) {
    if (has_keywords(kwargs)) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
        return false;
    }
    Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", name, given);
        return false;
    }
    return true;
}

// A function of exactly one positional argument; keywords are reported first.
inline bool check_one_positional(const char* name, PyObject* args, PyObject* kwargs) {
    if (has_keywords(kwargs)) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
        return false;
    }
    Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", name,
                     given);
        return false;
    }
    return true;
}

// A function of exactly two parameters, each given by position or keyword,
// with the interpreter's classic messages. Checked in this order: the count
// of positional arguments (also when nothing names the first parameter),
// a missing second parameter, then each keyword in the order given:
// a non-string name, an unknown name, a name already given by position.
inline bool parse_two_arguments(const char* function, PyObject* args, PyObject* kwargs,
                                const char* first_name, const char* second_name,
                                PyObject** first, PyObject** second) {
    Py_ssize_t given = PyTuple_GET_SIZE(args);
    auto wrong_count = [function](Py_ssize_t count) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                     function, "exactly", static_cast<Py_ssize_t>(2), "s", count);
        return false;
    };
    if (!has_keywords(kwargs)) {
        if (given != 2) {
            return wrong_count(given);
        }
        *first = PyTuple_GET_ITEM(args, 0);
        *second = PyTuple_GET_ITEM(args, 1);
        return true;
    }
    if (given > 2) {
        return wrong_count(given);
    }
    PyObject* first_keyword = PyDict_GetItemString(kwargs, first_name);
    PyObject* second_keyword = PyDict_GetItemString(kwargs, second_name);
    if (given == 0 && first_keyword == nullptr) {
        return wrong_count(0);
    }
    if (given < 2 && second_keyword == nullptr) {
        return wrong_count(1);
    }
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
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
        if (index < given) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         function, key);
            return false;
        }
    }
    *first = given >= 1 ? PyTuple_GET_ITEM(args, 0) : first_keyword;
    *second = given >= 2 ? PyTuple_GET_ITEM(args, 1) : second_keyword;
    return true;
}

// Casts a function of any of the C API's calling conventions for a method
// table, through the generic function type so no cast warning hides a
// genuine signature mistake elsewhere.
template <typename Function>
inline PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
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
