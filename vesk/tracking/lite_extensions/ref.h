// The owning reference the modules' code holds every object through, on
// top of the CPython C API. The first header of every source: Python.h must
// come before any system header (its feature macros are read by the first).
#ifndef VESK_REF_H
#define VESK_REF_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vesk {

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
        if (this != &other) {
            PyObject* old = obj_;
            obj_ = other.release();
            Py_XDECREF(old);
        }
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

}  // namespace vesk

#endif  // VESK_REF_H
