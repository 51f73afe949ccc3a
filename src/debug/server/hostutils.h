// Host services of the tracer module: waiting for input on the program's stdin and the debugger's
// sockets, copying into a writable buffer, the user's name and settings folder, and writing a
// frame's locals dictionary back into its fast locals.
#ifndef ZARDEL_HOSTUTILS_H
#define ZARDEL_HOSTUTILS_H

#include <Python.h>

// The module methods and their docstrings, in method-table order.
PyObject *_tracer_locals_to_fast(PyObject *self, PyObject *args);
PyObject *_tracer_GetUserName(PyObject *self, PyObject *args);
PyObject *_tracer_GetUserAppDataPath(PyObject *self, PyObject *args);
PyObject *_tracer_WaitForInput(PyObject *self, PyObject *args);
PyObject *_tracer_CopyIntoBuffer(PyObject *self, PyObject *args);
PyObject *_tracer_PyFrame_LocalsToFast(PyObject *self, PyObject *args);

extern const char locals_to_fast_doc[];
extern const char GetUserName_doc[];
extern const char GetUserAppDataPath_doc[];
extern const char WaitForInput_doc[];
extern const char CopyIntoBuffer_doc[];
extern const char PyFrame_LocalsToFast_doc[];

#endif  // ZARDEL_HOSTUTILS_H
