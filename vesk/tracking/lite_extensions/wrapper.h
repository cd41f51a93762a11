// The wrappers catch_tarnel_exception makes: their layout and the locked
// reads and writes of their metadata, which the type (wrapper.cpp) and its
// attributes (wrapper_attributes.cpp) share.
#ifndef VESK_WRAPPER_H
#define VESK_WRAPPER_H

#include "vandrel.h"

namespace vandrel {

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

inline Wrapper* as_wrapper(PyObject* self) { return reinterpret_cast<Wrapper*>(self); }

// A setter may replace a field of the wrapper (its metadata) while another
// thread reads it. Each such field is read and written under the wrapper's
// own lock (a per-object critical section, as the interpreter's functions
// do), so a reader holds its reference before a writer can release the old
// value; the writer releases it after the lock, as its finaliser may run
// any code. With the global lock the critical sections are nothing. `func`
// and `module` are set at creation and only cleared by the collector, which
// runs with every other thread stopped: calls read them without a lock.

// A new reference to the field's value, or null when it is empty.
inline PyObject* load(Wrapper* w, PyObject* Wrapper::*field) {
    PyObject* value;
    Py_BEGIN_CRITICAL_SECTION(reinterpret_cast<PyObject*>(w));
    value = w->*field;
    Py_XINCREF(value);
    Py_END_CRITICAL_SECTION();
    return value;
}

// Puts `value` (a new reference, or null) in the field.
inline void store(Wrapper* w, PyObject* Wrapper::*field, PyObject* value) {
    PyObject* old;
    Py_BEGIN_CRITICAL_SECTION(reinterpret_cast<PyObject*>(w));
    old = w->*field;
    w->*field = value;
    Py_END_CRITICAL_SECTION();
    Py_XDECREF(old);
}

// The wrapper's attributes: the writable metadata of a function, and its
// __dict__ (wrapper_attributes.cpp).
extern PyGetSetDef wrapper_getset[];

}  // namespace vandrel

#endif  // VESK_WRAPPER_H
