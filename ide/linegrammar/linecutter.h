// The native logical-line cutter of module linegrammar (see linecutter.cpp).
#ifndef VORN_LINECUTTER_H
#define VORN_LINECUTTER_H

#include <Python.h>

// CutLines(text, first_lineno, state, record_type) -- (records, states, clean, state after), as
// vornide.logicallines.cut_segment gives them for the lines of text.
PyObject *linecutter_CutLines(PyObject *self, PyObject *args);

#endif  // VORN_LINECUTTER_H
