// Run control: arming and disarming tracing, and the stepping commands.
#ifndef ZARDEL_RUNCONTROL_H
#define ZARDEL_RUNCONTROL_H

#include <Python.h>

// Removes the tracer from the frames of every thread, removes the calling thread's trace hook and
// marks tracing off. Stepping frames and `initialized` are kept.
void __tracer_stop_trace();

#endif  // ZARDEL_RUNCONTROL_H
