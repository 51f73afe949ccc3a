// Small helpers shared by the extension modules: an owning reference type and the export macro
// of module initialisation functions.
#ifndef VORN_PYREF_H
#define VORN_PYREF_H

#include <Python.h>

// Modules are built with hidden visibility; the init function (and any symbol the interpreter or
// a peer module looks up) must stay visible.
#define VORN_EXPORT __attribute__((visibility("default")))
#define VORN_MODINIT extern "C" VORN_EXPORT void

// PyRef owns one reference to a Python object (or nothing) and releases it when it goes out of
// scope. It is the only owning type the modules use; fields of the long-lived C records keep raw
// pointers and are managed with set_owned()/clear_owned() below.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null, e.g. the result of a failed call).
  explicit PyRef(PyObject *owned) : obj_(owned) {}
  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject *borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }
  ~PyRef() { Py_XDECREF(obj_); }
  PyRef(const PyRef &) = delete;
  PyRef &operator=(const PyRef &) = delete;
  PyRef(PyRef &&other) noexcept : obj_(other.release()) {}
  PyRef &operator=(PyRef &&other) noexcept {
    reset(other.release());
    return *this;
  }

  PyObject *get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Gives up ownership: the caller now owns the reference.
  PyObject *release() {
    PyObject *obj = obj_;
    obj_ = nullptr;
    return obj;
  }
  // Replaces the held object by a new reference (or nothing), releasing the old one last so that
  // a destructor that runs Python code sees a consistent holder.
  void reset(PyObject *owned = nullptr) {
    PyObject *old = obj_;
    obj_ = owned;
    Py_XDECREF(old);
  }

 private:
  PyObject *obj_ = nullptr;
};

// Stores a new reference to `value` (may be null) in a raw owning field and releases the previous
// value afterwards, so the field never points at a freed object while a destructor runs.
inline void set_owned(PyObject *&field, PyObject *value) {
  PyObject *old = field;
  Py_XINCREF(value);
  field = value;
  Py_XDECREF(old);
}

// Releases a raw owning field and leaves it empty.
inline void clear_owned(PyObject *&field) { set_owned(field, nullptr); }

// Stores None (the "empty" value of the frame fields) in a raw owning field.
inline void set_none(PyObject *&field) { set_owned(field, Py_None); }

#endif  // VORN_PYREF_H
