// Diagnostic printing of the tracer.
#include "dprintf.h"

int gUseDPrintf = 0;

// do_dprintf --
//   Passes its arguments on to do_dprintfv.
void do_dprintf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  do_dprintfv(format, args);
  va_end(args);
}

// do_dprintfv --
//   Formats the text and writes it raw to sys.stderr when that exists. The pending exception is
//   put aside first and restored last, so a diagnostic never changes what the caller reports;
//   errors of the formatting or the write itself are dropped.
void do_dprintfv(const char *format, va_list args) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyRef text(PyString_FromFormatV(format, args));
  PyObject *err = PySys_GetObject(const_cast<char *>("stderr"));  // borrowed
  if (text && err) PyFile_WriteObject(text.get(), err, Py_PRINT_RAW);
  PyErr_Clear();
  text.reset();
  PyErr_Restore(type, value, traceback);
}
