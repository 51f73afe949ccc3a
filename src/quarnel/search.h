// The analyzer's questions about the names a module defines: the attribute search
// (SearchForAttribs: definition lookup through the name map, scope scan, cached scope lists) and
// the type-equivalence queries that read back what the visitors recorded on logical lines
// (FindTypeEquivs, FindInstAttribTypeEquivs, GetInstanceAttributes).
#ifndef QUARNEL_SEARCH_H
#define QUARNEL_SEARCH_H

#include <Python.h>

#include "quarnel_implmodule.h"

// SearchForAttribs(options) (search.cpp).
PyObject *QuarnelImpl_SearchForAttribs(QuarnelImplObject *self, PyObject *args);
extern const char kSearchForAttribsDoc[];

// The type-equivalence queries (typeequivs.cpp).
PyObject *QuarnelImpl_FindTypeEquivs(QuarnelImplObject *self, PyObject *args);
PyObject *QuarnelImpl_FindInstAttribTypeEquivs(QuarnelImplObject *self, PyObject *args);
PyObject *QuarnelImpl_GetInstanceAttributes(QuarnelImplObject *self, PyObject *args);
extern const char kFindTypeEquivsDoc[];
extern const char kFindInstAttribTypeEquivsDoc[];
extern const char kGetInstanceAttributesDoc[];

#endif  // QUARNEL_SEARCH_H
