// Plain breakpoint conditions: a condition made only of names, constants, comparisons, `not`,
// `and` and `or` is run over its own bytecode, without a frame of its own and without copying the
// frame's fast locals into its locals dictionary, for as long as every value it compares or tests
// is of a built-in type whose comparison and truth run no Python code. Names are found where the
// interpreter's evaluation of the condition in the frame's namespaces would find them. Anything
// else is left to the interpreter.
#ifndef ZARDEL_CONDEVAL_H
#define ZARDEL_CONDEVAL_H

#include <Python.h>
#include <frameobject.h>

// Whether a condition compiled in eval mode holds only the instructions run_plain_cond runs.
bool is_plain_cond(PyCodeObject *code);

// What run_plain_cond answers when it leaves the condition to the interpreter.
constexpr int kCondNeedsInterpreter = 2;

// Runs a plain condition (is_plain_cond) in the namespaces of `frame`, the frame the thread is
// running: 1 or 0 for its truth, -1 when a comparison failed (its error is cleared), or
// kCondNeedsInterpreter, having changed nothing, when it met a value, a namespace or a pending
// error it does not handle.
int run_plain_cond(PyCodeObject *code, PyFrameObject *frame);

#endif  // ZARDEL_CONDEVAL_H
