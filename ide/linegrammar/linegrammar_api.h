// The native line parser's C interface, exported by module linegrammar as the capsule
// linegrammar._parser_api, so that the analyzer feeds tokens to a LineParser without a method
// call per token. The functions behave as the methods AddToken and Finish do.
#ifndef VORN_LINEGRAMMAR_API_H
#define VORN_LINEGRAMMAR_API_H

#include <Python.h>

#define LINEGRAMMAR_API_CAPSULE "linegrammar._parser_api"

struct LineGrammarApi {
  // The exact type of the native parsers; the functions take only objects of this type.
  PyTypeObject *parser_type;
  // AddToken(token, row, column) for a str token: 0, or -1 with the Python error set.
  int (*add_token)(PyObject *parser, PyObject *token, long row, long column);
  // Finish(...): a new reference to the tuple-form parse tree, or null with the error set.
  PyObject *(*finish)(PyObject *parser);
  // The exact type of linegrammar.Transform, NodeTransformer's TransformNode where no subclass
  // replaced it.
  PyTypeObject *transform_type;
  // transform(Finish(...)) for a transform of transform_type, without the tuple-form parse tree
  // where the native transformer takes the line. trees, when not null, is a dict the caller
  // keeps across the lines of one analysis: the syntax trees of the texts met, so that a line
  // parsed before is not parsed again. A new reference, or null with the error set.
  PyObject *(*finish_transformed)(PyObject *parser, PyObject *transform, PyObject *trees);
  // The exact type of linegrammar.ParserFactory, Grammar.CreateParser where no subclass
  // replaced it.
  PyTypeObject *factory_type;
  // factory(257) for a factory of factory_type: a new parser of statements, or null with the
  // error set.
  PyObject *(*create_parser)(PyObject *factory);
};

#endif  // VORN_LINEGRAMMAR_API_H
