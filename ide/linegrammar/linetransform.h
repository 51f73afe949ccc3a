// The native node transformer of module linegrammar (see linetransform.cpp).
#ifndef VORN_LINETRANSFORM_H
#define VORN_LINETRANSFORM_H

#include <Python.h>

// TransformTree(tree) -- the tuple-form syntax tree, or NotImplemented for a shape left to the
// Python transformer.
PyObject *linetransform_TransformTree(PyObject *self, PyObject *args);

// TransformOrDefer(fallback, reference, tree) -- TransformTree(tree) where it can, for a tuple
// tree while reference.encoding is not set; else fallback(tree). NodeTransformer's TransformNode
// without a Python frame.
PyObject *linetransform_TransformOrDefer(PyObject *self, PyObject *args);

#endif  // VORN_LINETRANSFORM_H
