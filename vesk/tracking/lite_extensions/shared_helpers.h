// What the credential sources of vandrel share: the small constructors, the
// pending-error guard, the release of the global lock around system calls,
// and the raising of an exception object (LoginError's among them).
#ifndef VESK_SHARED_HELPERS_H
#define VESK_SHARED_HELPERS_H

#include "vandrel.h"

namespace vandrel {

using vesk::call;
using vesk::get_attr;
using vesk::lookup_global;

inline Ref text(const char* value) { return Ref::steal(PyUnicode_FromString(value)); }

inline Ref import_module(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

// Sets the pending exception aside while cleanup code runs, and puts it back
// when the scope ends; whatever the cleanup itself raises is dropped, so the
// caller sees the failure that started it.
class PendingError {
 public:
    PendingError() : error_(PyErr_GetRaisedException()) {}
    ~PendingError() {
        PyErr_Clear();
        PyErr_SetRaisedException(error_);
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

 private:
    PyObject* error_;
};

// Runs `work` with the global lock released, so that other threads run
// while system calls wait on the disk or a network file system. `work`
// touches no Python object, only C strings inside bytes objects that the
// caller keeps alive (bytes never change), as the os module does.
template <typename Work>
auto without_gil(Work work) {
    PyThreadState* state = PyEval_SaveThread();
    auto result = work();
    PyEval_RestoreThread(state);
    return result;
}

// `raise error`: an exception instance as it is, a class instantiated.
inline void raise_object(PyObject* error) {
    if (PyExceptionInstance_Check(error)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    } else if (PyExceptionClass_Check(error)) {
        PyErr_SetNone(error);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

// LoginError(message) raised, where `login_error` is the class the module
// names so.
inline void raise_login_error(PyObject* login_error, Ref message) {
    if (!message) return;
    Ref error = call(login_error, {message.get()});
    if (error) raise_object(error.get());
}

}  // namespace vandrel

#endif  // VESK_SHARED_HELPERS_H
