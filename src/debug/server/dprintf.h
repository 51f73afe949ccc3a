// Diagnostic printing of the tracer: formatted text written to the interpreter's sys.stderr.
#ifndef ZARDEL_DPRINTF_H
#define ZARDEL_DPRINTF_H

#include <stdarg.h>

#include "pyref.h"

// Switch that guards diagnostic output: 0 at load, and the tracer never sets it. Exported so a
// developer can turn it on from a debugger or through ctypes.
extern "C" VORN_EXPORT int gUseDPrintf;

// Writes the text that `format` (PyString_FromFormat syntax) makes of the remaining arguments to
// sys.stderr, leaving any pending Python exception as it was. Needs the interpreter lock.
void do_dprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));

// As do_dprintf, with the arguments in a va_list.
void do_dprintfv(const char *format, va_list args);

#endif  // ZARDEL_DPRINTF_H
