// One read of a name from a dict, as a lookup in a module's namespace makes
// it: the reference taken safely where threads run at once, and a lazy
// import's placeholder (3.15) resolved. The lookup cache and the uncached
// lookups of capi.h are both built on it.
#ifndef VESK_DICT_READ_H
#define VESK_DICT_READ_H

#include "ref.h"

#if PY_VERSION_HEX >= 0x030F0000
// The type of a lazy import's placeholder (3.15): exported by the
// interpreter, declared only in its internal headers.
extern "C" {
PyAPI_DATA(PyTypeObject) PyLazyImport_Type;
}
#endif

namespace vesk {

// dict[name]; empty without an exception when it is absent. A
// free-threaded build takes the reference under the dict's own lock: there
// another thread may rebind the name and free the value right after a
// borrowed read. With the global lock held nothing runs between the read
// and the increment.
inline Ref dict_get(PyObject* dict, PyObject* name) {
#ifdef Py_GIL_DISABLED
    PyObject* value = nullptr;
    return PyDict_GetItemRef(dict, name, &value) < 0 ? Ref() : Ref::steal(value);
#else
    return Ref::borrow(PyDict_GetItemWithError(dict, name));
#endif
}

// Whether a value read from a module's namespace is a lazy import's
// placeholder, which the interpreter resolves on a global lookup or a module
// attribute read (3.15's `lazy import`): such a read must resolve it too.
inline bool is_lazy_import([[maybe_unused]] PyObject* value) {
#if PY_VERSION_HEX >= 0x030F0000
    return Py_IS_TYPE(value, &PyLazyImport_Type);
#else
    return false;
#endif
}

// `found` as `name` in the namespace of the plain module `module`, with a
// lazy import's placeholder resolved by the module's attribute read: that
// runs the import behind it, with the interpreter's errors when it fails,
// and binds the result in place of the placeholder, as a global lookup in
// the module's code does.
inline Ref resolved(Ref found, [[maybe_unused]] PyObject* module,
                    [[maybe_unused]] PyObject* name) {
#if PY_VERSION_HEX >= 0x030F0000
    if (__builtin_expect(found && is_lazy_import(found.get()), 0)) {
        return Ref::steal(PyObject_GetAttr(module, name));
    }
#endif
    return found;
}

}  // namespace vesk

#endif  // VESK_DICT_READ_H
