// Import rules that both modules share: the module body runs at most once per
// process, into one interpreter only; a module built for another
// interpreter version warns before its body runs.
#ifndef VESK_SINGLE_INIT_H
#define VESK_SINGLE_INIT_H

#include "capi.h"

#include <cstdlib>

// The interpreter version the module is built for (a test build may pretend
// another to see the warning).
#ifndef VESK_BUILT_FOR_MAJOR
#define VESK_BUILT_FOR_MAJOR PY_MAJOR_VERSION
#define VESK_BUILT_FOR_MINOR PY_MINOR_VERSION
#endif

namespace vesk {

// Set once the runtime that first imported a module of this library has
// been finalised (Py_FinalizeEx in a program that embeds the interpreter
// and may start it again). Everything kept from that runtime (the module,
// interned names, cached lookups) is gone with it, so a later runtime is
// refused as any other interpreter is. Written by the finalising thread,
// after every other thread of that runtime has stopped.
inline bool runtime_finalized = false;

inline void note_runtime_finalized() { runtime_finalized = true; }

// Guards the import state where threads run at once (free-threaded builds):
// importlib's per-module lock keeps two imports of one name apart, but a
// module removed from sys.modules, or made by hand, can meet another import
// there. With the global lock, the state changes only between calls into
// code that could let another thread in, and no lock is needed.
class StateLock {
 public:
#ifdef Py_GIL_DISABLED
    void lock() { PyMutex_Lock(&mutex_); }
    void unlock() { PyMutex_Unlock(&mutex_); }

 private:
    PyMutex mutex_ = {};
#else
    void lock() {}
    void unlock() {}
#endif
};

class StateGuard {
 public:
    explicit StateGuard(StateLock& lock) : lock_(lock) { lock_.lock(); }
    ~StateGuard() { lock_.unlock(); }
    StateGuard(const StateGuard&) = delete;
    StateGuard& operator=(const StateGuard&) = delete;

 private:
    StateLock& lock_;
};

class SingleInit {
 public:
    explicit constexpr SingleInit(const char* short_name) : short_name_(short_name) {}

    // Py_mod_create: refuses a second interpreter and hands back the module
    // that was already set up, so that re-imports and reloads don't rerun
    // the body (and don't read the environment again).
    PyObject* create(PyObject* spec) {
        {
            StateGuard guard(lock_);
            if (!watching_finalization_ && Py_AtExit(note_runtime_finalized) == 0) {
                // Py_AtExit's table is full only in programs that register
                // dozens of handlers; finalisation then goes unnoticed.
                watching_finalization_ = true;
            }
            if (runtime_finalized || !same_interpreter()) {
                PyErr_SetString(PyExc_ImportError,
                                "Interpreter change detected - this module can only be loaded "
                                "into one interpreter per process.");
                return nullptr;
            }
            if (module_ != nullptr) {
                Py_INCREF(module_);
                return module_;
            }
        }
        Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
        if (!name) {
            return nullptr;
        }
        return PyModule_NewObject(name.get());
    }

    // Py_mod_exec: runs `body` on the module unless one was set up already,
    // and keeps the module for the life of the process when it succeeds. A
    // body that fails leaves nothing behind: the next import runs it afresh.
    int exec(PyObject* module, bool (*body)(PyObject*)) {
        int state = enter(module);
        if (state <= 0) {
            return state;
        }
        bool succeeded = body(module);
        StateGuard guard(lock_);
        running_ = false;
        if (succeeded) {
            Py_INCREF(module);
            module_ = module;
        }
        return succeeded ? 0 : -1;
    }

 private:
    // 1 when the body has to run, 0 when `module` is the one already set
    // up, -1 with an exception set otherwise.
    int enter(PyObject* module) {
        {
            StateGuard guard(lock_);
            if (module_ != nullptr || running_) {
                if (module == module_) {
                    return 0;
                }
                PyErr_Format(PyExc_RuntimeError,
                             "Module '%s' has already been imported. Re-initialisation is not "
                             "supported.",
                             short_name_);
                return -1;
            }
            running_ = true;
        }
        if (warn_on_version_mismatch(module)) {
            return 1;
        }
        StateGuard guard(lock_);
        running_ = false;
        return -1;
    }

    bool same_interpreter() {
#if PY_VERSION_HEX >= 0x03070000
        // Interpreter ids are never reused, unlike the state's address.
#if PY_VERSION_HEX >= 0x03090000
        std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
#else
        std::int64_t id = PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
        if (interp_id_ == -1) {
            interp_id_ = id;
        }
        return interp_id_ == id;
#else
        PyInterpreterState* interp = PyThreadState_Get()->interp;
        if (interp_ == nullptr) {
            interp_ = interp;
        }
        return interp_ == interp;
#endif
    }

    // Compares the major and minor numbers the module was compiled for with
    // the running interpreter's, as numbers ("3.1" and "3.10" differ).
    static bool warn_on_version_mismatch(PyObject* module) {
        const char* running = Py_GetVersion();
        char* end = nullptr;
        long major = std::strtol(running, &end, 10);
        long minor = (*end == '.') ? std::strtol(end + 1, &end, 10) : -1;
        if (major == VESK_BUILT_FOR_MAJOR && minor == VESK_BUILT_FOR_MINOR) {
            return true;
        }
        Ref name = Ref::steal(PyModule_GetNameObject(module));
        if (!name) {
            return false;
        }
        return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                "compiletime version %d.%d of module '%.100U' does not match "
                                "runtime version %ld.%ld",
                                VESK_BUILT_FOR_MAJOR, VESK_BUILT_FOR_MINOR, name.get(), major,
                                minor) == 0;
    }

    const char* short_name_;
    StateLock lock_;
    // The state below is read and written under lock_.
    PyObject* module_ = nullptr;
    bool running_ = false;  // a body is running
    bool watching_finalization_ = false;
#if PY_VERSION_HEX >= 0x03070000
    std::int64_t interp_id_ = -1;
#else
    PyInterpreterState* interp_ = nullptr;
#endif
};

}  // namespace vesk

// The module-definition slot that tells a free-threaded interpreter whether
// the module needs the global lock: ours don't (their shared state is
// guarded as the comments at each place say). 3.13 brought the slot.
#ifdef Py_mod_gil
#ifdef Py_GIL_DISABLED
#define VESK_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define VESK_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#endif
#else
#define VESK_GIL_SLOT
#endif

#endif  // VESK_SINGLE_INIT_H
