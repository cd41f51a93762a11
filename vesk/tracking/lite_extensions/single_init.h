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

class SingleInit {
 public:
    explicit constexpr SingleInit(const char* short_name) : short_name_(short_name) {}

    // Py_mod_create: refuses a second interpreter and hands back the module
    // that was already set up, so that re-imports and reloads don't rerun
    // the body (and don't read the environment again).
    PyObject* create(PyObject* spec) {
        if (!watching_finalization_ && Py_AtExit(note_runtime_finalized) == 0) {
            // Py_AtExit's table is full only in programs that register
            // dozens of handlers; finalisation then goes unnoticed.
            watching_finalization_ = true;
        }
        if (runtime_finalized || !same_interpreter()) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into "
                            "one interpreter per process.");
            return nullptr;
        }
        if (module_ != nullptr) {
            Py_INCREF(module_);
            return module_;
        }
        Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
        if (!name) {
            return nullptr;
        }
        return PyModule_NewObject(name.get());
    }

    // Start of Py_mod_exec: 1 when the body has to run, 0 when `module` is
    // the one already set up, -1 with an exception set otherwise.
    int enter(PyObject* module) {
        if (module_ != nullptr) {
            if (module == module_) {
                return 0;
            }
            PyErr_Format(PyExc_RuntimeError,
                         "Module '%s' has already been imported. Re-initialisation is not "
                         "supported.",
                         short_name_);
            return -1;
        }
        return warn_on_version_mismatch(module) ? 1 : -1;
    }

    // End of a successful body: keeps the module for the life of the process.
    void done(PyObject* module) {
        Py_INCREF(module);
        module_ = module;
    }

 private:
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
    PyObject* module_ = nullptr;
    bool watching_finalization_ = false;
#if PY_VERSION_HEX >= 0x03070000
    std::int64_t interp_id_ = -1;
#else
    PyInterpreterState* interp_ = nullptr;
#endif
};

}  // namespace vesk

#endif  // VESK_SINGLE_INIT_H
