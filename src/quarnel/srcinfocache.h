// The analyzer's source info cache: which logical lines define a simple name (the name map) and
// what is known about each scope by full name (the scope map of PerScopeEntry records). It holds
// only references to objects made elsewhere, so it can be cleared and rebuilt at any time.
#ifndef QUARNEL_SRCINFOCACHE_H
#define QUARNEL_SRCINFOCACHE_H

#include <Python.h>

// One scope of the module, keyed by its full name in the scope map. Each field is one reference
// or null.
struct PerScopeEntry {
  PyObject_HEAD
  PyObject *fScopeDef;  // class or def line of the scope; None for the module scope
  PyObject *fBody;      // cached body list of the scope
  PyObject *fLeadLine;  // recorded lead line of the scope
  PyObject *fAttribs;   // cached attribute list of the scope
};

extern PyTypeObject PerScopeEntryType;

// The cache itself, embedded in the analyzer object. A null map is made on first insertion.
struct tSrcInfoCache {
  PyObject *fNameMap;   // dict: name -> list of the lines that define it, in insertion order
  PyObject *fScopeMap;  // dict: full name (str) -> PerScopeEntry
};

// Every operation below returns 0 (or a result) on success and -1 (or null) only with a Python
// error set. Lookups that may find nothing return null without an error in that case.

void srcinfo_init(tSrcInfoCache *cache);
int srcinfo_traverse(tSrcInfoCache *cache, visitproc visit, void *arg);

// Name map.
int srcinfo_add_line(tSrcInfoCache *cache, PyObject *line);
int srcinfo_remove_line(tSrcInfoCache *cache, PyObject *line);
PyObject *srcinfo_defining_lines(tSrcInfoCache *cache, PyObject *name);  // new ref or null

// Scope map. Entries are returned as new references.
PerScopeEntry *srcinfo_enter(tSrcInfoCache *cache, PyObject *name, PyObject *def);
PerScopeEntry *srcinfo_entry_for(tSrcInfoCache *cache, PyObject *name, PyObject *def);
PyObject *srcinfo_get_def(tSrcInfoCache *cache, PyObject *name);  // KeyError(name) when absent
int srcinfo_drop(tSrcInfoCache *cache, PyObject *name);
PyObject *srcinfo_get_body(tSrcInfoCache *cache, PyObject *name);     // new ref or null
PyObject *srcinfo_get_attribs(tSrcInfoCache *cache, PyObject *name);  // new ref or null
PyObject *srcinfo_get_lead(tSrcInfoCache *cache, PyObject *name);     // new ref, None if unset
int srcinfo_set_body(tSrcInfoCache *cache, PyObject *name, PyObject *def, PyObject *body);
int srcinfo_set_lead(tSrcInfoCache *cache, PyObject *name, PyObject *def, PyObject *line);
int srcinfo_set_attribs(tSrcInfoCache *cache, PyObject *name, PyObject *def, PyObject *attribs);
void srcinfo_clear_body(tSrcInfoCache *cache, PyObject *name);
void srcinfo_clear_lead(tSrcInfoCache *cache, PyObject *name);
void srcinfo_clear_attribs(tSrcInfoCache *cache, PyObject *name);
Py_ssize_t srcinfo_scope_count(const tSrcInfoCache *cache);

// Releases both maps; the cache is empty afterwards.
void srcinfo_clear_all(tSrcInfoCache *cache);

#endif  // QUARNEL_SRCINFOCACHE_H
