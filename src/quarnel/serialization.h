// Stored analyses: a list of logical lines turned into the objects they reference plus one binary
// str per line, and fresh logical lines rebuilt from the two.
#ifndef QUARNEL_SERIALIZATION_H
#define QUARNEL_SERIALIZATION_H

#include <Python.h>

#include "quarnel_implmodule.h"

// SerializeLogicalList(logical_list, unparsed_lines) -> (names_used, data).
PyObject *QuarnelImpl_SerializeLogicalList(QuarnelImplObject *self, PyObject *args);

// DeserializeLogicalList((names_used, data)) -> new list of new logical lines.
PyObject *QuarnelImpl_DeserializeLogicalList(QuarnelImplObject *self, PyObject *args);

extern const char kSerializeLogicalListDoc[];
extern const char kDeserializeLogicalListDoc[];

#endif  // QUARNEL_SERIALIZATION_H
