// A strong reference to a Python object, released when it goes out of scope
// (with the GIL held).
#pragma once

#include <Python.h>

#include <utility>

namespace verdane::python {

// Owns one reference to a Python object.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  static Ref borrowed(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace verdane::python
