// The attributes of the wrappers catch_tarnel_exception makes: the writable
// metadata of a function, each with the checks functions make, so that
// functools.wraps can copy a function's onto the wrapper, and __dict__.
#include "wrapper.h"

namespace vandrel {
namespace {

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

}  // namespace

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

}  // namespace vandrel
