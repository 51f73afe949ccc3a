// CollectorPause: keeps the interpreter's cyclic collector off for a scope.
#ifndef VORN_COLLECTOR_PAUSE_H
#define VORN_COLLECTOR_PAUSE_H

#include <Python.h>

#include "pyref.h"

// Keeps the cyclic collector off while many short-lived or acyclic objects are made (a cut's
// records, an analysis's trees): collections meanwhile would walk the whole heap of the process
// again and again. Restores it as it was, keeping any error pending; pauses nest.
class CollectorPause {
 public:
  CollectorPause() {
    gc_.reset(PyImport_ImportModule("gc"));
    if (!gc_) {
      PyErr_Clear();
      return;
    }
    PyRef enabled(PyObject_CallMethod(gc_.get(), const_cast<char *>("isenabled"), nullptr));
    paused_ = enabled && PyObject_IsTrue(enabled.get()) == 1;
    if (paused_) {
      PyRef done(PyObject_CallMethod(gc_.get(), const_cast<char *>("disable"), nullptr));
      paused_ = bool(done);
    }
    if (PyErr_Occurred()) PyErr_Clear();
  }
  ~CollectorPause() {
    if (!paused_) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef done(PyObject_CallMethod(gc_.get(), const_cast<char *>("enable"), nullptr));
    if (!done) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
  }
  CollectorPause(const CollectorPause &) = delete;
  CollectorPause &operator=(const CollectorPause &) = delete;

 private:
  PyRef gc_;
  bool paused_ = false;
};

#endif  // VORN_COLLECTOR_PAUSE_H
