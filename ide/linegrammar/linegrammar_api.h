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
};

#endif  // VORN_LINEGRAMMAR_API_H
