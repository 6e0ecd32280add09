// An owned reference to an interpreter object: released when the holder goes away, so that every
// early return and every C++ exception gives back what was taken. The interpreter lock must be
// held wherever a PyRef is created, moved over a live reference or destroyed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quenlordb::python {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (or nullptr).
  explicit PyRef(PyObject* owned) : obj_(owned) {}
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  // A new reference to a borrowed object.
  static PyRef borrow(PyObject* borrowed) { return PyRef(Py_XNewRef(borrowed)); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace quenlordb::python
