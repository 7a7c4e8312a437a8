// Owning references and the error convention of the whole extension.
//
// Ownership rules:
//  * A `Ref` owns exactly one strong reference, or nothing. It is move-only and releases on
//    scope exit. `Ref::steal(p)` takes over a new reference a C API call returned;
//    `Ref::borrow(p)` adds a reference to an object someone else owns.
//  * A bare `PyObject*` in our code is always borrowed: it must not outlive its owner.
//  * A failed C API call is turned into `py::Error` by `check()`: the interpreter's error
//    indicator holds the exception, the C++ exception carries nothing. It is caught only at
//    the boundary of a published function and of the module's execute step; it never
//    crosses into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace py {

struct Error {};

[[noreturn]] inline void raise() { throw Error{}; }

class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// A new reference, or the pending exception as py::Error.
inline Ref check(PyObject* result) {
  if (!result) raise();
  return Ref::steal(result);
}

// A C API status (-1 on failure) passed through, or the pending exception as py::Error.
inline int check_status(int status) {
  if (status < 0) raise();
  return status;
}

// Arguments of the helpers below may be borrowed pointers or owning references.
inline PyObject* ptr(PyObject* p) noexcept { return p; }
inline PyObject* ptr(const Ref& r) noexcept { return r.get(); }

}  // namespace py
