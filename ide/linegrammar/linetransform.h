// The native node transformer of module linegrammar (see linetransform.cpp).
#ifndef VORN_LINETRANSFORM_H
#define VORN_LINETRANSFORM_H

#include <Python.h>

// TransformTree(tree) -- the tuple-form syntax tree, or NotImplemented for a shape left to the
// Python transformer.
PyObject *linetransform_TransformTree(PyObject *self, PyObject *args);

// The same for C callers: a new reference, NotImplemented, or null with an error set.
PyObject *linetransform_transform_tree(PyObject *tree);

// A token of a line's text, where it stands in the text (1-based row, byte column).
struct PlacedToken {
  int row;
  long col;
  PyObject *text;   // a str
};
// The tokens of the text a tree was parsed from, in the order of the text, and the rows the
// parse has before the text's own (the print_function import put before it).
struct PlacedTokens {
  const PlacedToken *items;
  size_t count;
  int row_shift;
};

// The same for the interpreter's parse tree of a line, whose first `skip` statements are not
// the line's (the print_function import). The result is what linetransform_transform_tree gives
// for the tuple form of the line's tree. The text of a terminal is the token placed where it
// starts when there is one of the same text (so the syntax tree shares the line's strs), else a
// new str.
struct _node;
PyObject *linetransform_transform_node(struct _node *tree, int skip, const PlacedTokens *placed);

// ("Discard", ("Const", value)), as the transformer makes it for a statement of one constant.
PyObject *linetransform_discarded_constant(PyObject *value);

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
