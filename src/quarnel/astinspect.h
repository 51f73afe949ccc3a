// Syntax-tree inspection for the analyzer: compact source text of tuple-form expressions, the
// generic tree walker (NodeWalker) and the standard visitors (StdVisitors) that record on a
// logical line the names it defines, its parameters, its bases, its type equivalences and its
// import records.
#ifndef QUARNEL_ASTINSPECT_H
#define QUARNEL_ASTINSPECT_H

#include <Python.h>

#include "logicalline.h"
#include "textbuffer.h"

// Expression rendering. Each appends the text of a tuple-form node to `buffer` and returns 0, or
// -1 with a Python error set (some text may then have been appended; callers drop the buffer).
int AppendExpSource(TextBuffer &buffer, PyObject *node);
// One-operand form: operator text, "(", text(item 1), ")".
int AppendBinOpSource(TextBuffer &buffer, PyObject *node, const char *op);
// Operand-list form: "(", the operands of item 1 joined by the operator text, ")".
int AppendBinaryOpSource(TextBuffer &buffer, PyObject *node, const char *op);

// Readies NodeWalker and StdVisitors and makes the constant strings the visitors record.
// Returns -1 with an error set on failure.
int astinspect_ready_types();

// A NodeWalker over `visitor_map` (a dict of node key -> callable). New reference, or null with
// TypeError "Incorrect type of NodeWalker constructor" when the map is not a dict.
PyObject *astinspect_new_walker(PyObject *visitor_map);

// The walker with the standard visitors for a logical list: mod_analysis must be a classic-class
// instance, name_pool a dict and logical_list a list (else TypeError "Incorrect type of
// StdVisitors constructor"). The visitors keep their own copy of `table`. New reference, or null
// with an error set.
PyObject *astinspect_new_std_walker(PyObject *mod_analysis, PyObject *name_pool,
                                    PyObject *logical_list, const LogicalLineFunctionTable *table);

// walk(node, arg) for a walker's bound Walk method (as fWalk holds it), walking directly when
// it is a NodeWalker's: 0, or -1 with an error set.
int astinspect_walk(PyObject *walk, PyObject *node, PyObject *arg);

#endif  // QUARNEL_ASTINSPECT_H
