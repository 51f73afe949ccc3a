// The native node transformer of module linegrammar (see linetransform.cpp).
#ifndef VORN_LINETRANSFORM_H
#define VORN_LINETRANSFORM_H

#include <Python.h>

// TransformTree(tree) -- the tuple-form syntax tree, or NotImplemented for a shape left to the
// Python transformer.
PyObject *linetransform_TransformTree(PyObject *self, PyObject *args);

// The same for C callers: a new reference, NotImplemented, or null with an error set.
PyObject *linetransform_transform_tree(PyObject *tree);

// The same for the interpreter's parse tree of a line, whose first `skip` statements are not
// the line's (the print_function import put before it). The result is what
// linetransform_transform_tree gives for the tuple form of the line's tree.
struct _node;
PyObject *linetransform_transform_node(struct _node *tree, int skip);

// linegrammar.Transform(fallback, reference): NodeTransformer's TransformNode without a Python
// frame (see the type's doc).
struct TransformObject {
  PyObject_HEAD
  PyObject *fallback;    // called with the trees the native transformer leaves
  PyObject *reference;   // the NodeTransformer: its `encoding` turns the native one off
};
extern PyTypeObject LineTransformType;

// Whether a Transform may use the native transformer now (its reference met no encoding
// declaration): 1 or 0, or -1 with an error set.
int linetransform_native_allowed(PyObject *transform);

#endif  // VORN_LINETRANSFORM_H
