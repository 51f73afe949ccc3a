// Breakpoints: the user's breakpoints keyed by line number, the test made at every line event,
// the report of changed breakpoints that every stop callback receives, and the binding of
// breakpoints to the module files the program loads.
#ifndef ZARDEL_BREAKPOINTS_H
#define ZARDEL_BREAKPOINTS_H

#include <Python.h>
#include <frameobject.h>
#include <stdint.h>
#include <time.h>

#include "zardelmodule.h"

// One breakpoint. Records of one line number form a chain through next_user, newest first, the
// head of which is the value of the line's entry in gSelf.userbps. Strings are heap copies owned
// by the record.
struct tBp {
  int id;
  char *user_filename;    // the name given to set_break, matched byte for byte by the editors
  char *module_filename;  // the loaded module file it is bound to, or null while unbound
  int lineno;
  boolean enabled;
  boolean temporary;      // deleted by the first hit that stops
  char *cond;             // expression, or null for an unconditional breakpoint
  int ignore_count;       // further hits to ignore
  int hit_count;
  int deleted;            // consumed: waits on the changed list to be reported, then freed
  int changed;            // on the changed list
  tBp *next_user;
  tBp *next_changed;
  // The port's additions: the name compared with files (user_filename with a trailing ".pyc"
  // or ".pyo" reduced to ".py"), and the condition compiled at its first evaluation.
  char *file_key;
  PyObject *cond_code;
  bool cond_plain;  // cond_code runs without the interpreter (condeval.h)
  // The last answer of whether the breakpoint, bound, is set on the file of a code object (keyed
  // by its bytecode string, as the code-object table keys it) that holds until gBpGeneration or
  // the code-object table's generation moves: a hot line's breakpoint then costs no file lookup.
  PyObject *match_key;
  unsigned int match_generation, match_co_generation;
  bool match_result;
  // While it waits unbound for its file to be loaded (synonyms allowed): the entry of its chain
  // in the index of waiting breakpoints, and its neighbours on that chain.
  CUt_HashEntry *waiting;
  tBp *wait_prev, *wait_next;
};

// One bit per line number modulo kBpLineBits: set while some breakpoint may be on a line with
// that number. Exact for the line numbers below kBpLineBits; a clear bit means no breakpoint.
constexpr unsigned int kBpLineBits = 1 << 16;
extern uint64_t gBpLineBits[kBpLineBits / 64];

// The dispatch's first test on every line event, before any lookup.
inline bool __tracer_line_may_break(int lineno) {
  unsigned int bit = static_cast<unsigned int>(lineno) & (kBpLineBits - 1);
  return (gBpLineBits[bit >> 6] >> (bit & 63)) & 1;
}

// Bumped by every change that can make a breakpoint match a code object it did not match before:
// a breakpoint set, enabled or bound, a module file recorded, the table emptied. Never goes back.
extern unsigned int gBpGeneration;

// A memory of recent checks that found no breakpoint of their line matching the frame's code:
// a hot line whose breakpoints are all in other files then costs a few comparisons, without the
// line lookup, the frame's file or the module table. Only answers that cannot change without a
// breakpoint edit, a binding, a module recorded or a change of the code-object table are kept:
// the frame's file came from the code-object table and had a loaded module (the module table
// never forgets a name it has answered) or had none while it and every loaded module exist, and
// each enabled breakpoint of the line was bound, or else unbound on an existing file other than
// the frame's (file identities of existing files are cached for good).
struct tNoMatchSlot {
  PyObject *code_key;  // the code object's bytecode string, as the code-object table keys it
  int lineno;
  unsigned int generation;     // gBpGeneration when stored
  unsigned int co_generation;  // the code-object table's generation when stored
  // The answer holds only while the file-identity cache's "not found" marks of missing
  // breakpoint files hold: the oldest and newest of those marks (see marks_current).
  bool timed;
  time_t mark_low, mark_high;
};
constexpr int kNoMatchSlots = 2048;

// Whether the "not found" marks a timed slot depends on are still current.
bool marks_current(const tNoMatchSlot *slot);
extern tNoMatchSlot gNoMatch[kNoMatchSlots];

// The first of the two slots where (code_key, lineno) may be remembered: a pair of slots
// (index and index ^ 1) per key, so that two hot keys that hash alike do not evict each other.
inline tNoMatchSlot *no_match_slot(PyObject *code_key, int lineno) {
  uint64_t mixed = (reinterpret_cast<uintptr_t>(code_key) >> 4) * 0x9E3779B97F4A7C15ull +
                   static_cast<unsigned int>(lineno) * 0xC2B2AE3D27D4EB4Full;
  return &gNoMatch[(mixed >> 32) % kNoMatchSlots];
}

inline tNoMatchSlot *paired_slot(tNoMatchSlot *slot) {
  return &gNoMatch[(slot - gNoMatch) ^ 1];
}

inline bool slot_holds(const tNoMatchSlot *slot, PyObject *code_key, int lineno) {
  return slot->code_key == code_key && slot->lineno == lineno &&
         slot->generation == gBpGeneration &&
         slot->co_generation == gSelf.co_pathname_table.generation &&
         (!slot->timed || marks_current(slot));
}

inline bool remembered_no_match(tNoMatchSlot *slot, PyObject *code_key, int lineno) {
  return slot_holds(slot, code_key, lineno) || slot_holds(paired_slot(slot), code_key, lineno);
}

// Whether a user breakpoint stops `frame` at its current line; with `update` set, the check
// also counts hits, applies ignore counts and removes consumed temporary breakpoints.
bool __tracer_break_here(PyFrameObject *frame, int update);

// __tracer_break_here once the line, the code object's key and its no-match slot are known and
// the slot holds no answer.
bool check_line(PyFrameObject *frame, int lineno, PyObject *code_key, tNoMatchSlot *slot,
                int update);

// The dispatch's breakpoint test of a line event: __tracer_break_here(frame, 1), with the two
// cheap refusals inline (no breakpoint on any line of this number; remembered as not matching).
inline bool __tracer_line_breaks(PyFrameObject *frame) {
  int lineno = frame->f_lineno;  // current at a line event
  if (!__tracer_line_may_break(lineno)) return false;
  PyObject *code_key = frame->f_code->co_code;
  tNoMatchSlot *slot = no_match_slot(code_key, lineno);
  if (remembered_no_match(slot, code_key, lineno)) return false;
  return check_line(frame, lineno, code_key, slot, 1);
}

// The (deleted ids, changed records) report of the breakpoints changed since the last stop, as a
// new 2-tuple of lists; consumes the recorded changes. Null with MemoryError set on failure.
PyObject *__tracer_get_changed_bps_lists();

// Records a loaded module's file in the loaded-module table and, when it was new, binds the
// breakpoints that wait for a module.
void __tracer_resolve_bp_filenames(const char *filename);

// For a module with a file, when synonyms are allowed: __tracer_resolve_bp_filenames of its file.
void __tracer_xfer_module_bps(PyObject *module);

// Frees every breakpoint and the changed list and leaves userbps an empty table (reset).
void __tracer_clear_all_bps();

// Frees every breakpoint and deletes userbps (teardown).
void __tracer_free_all_bps();

// Depth of breakpoint checks in progress. A check walks breakpoint records while it runs Python
// code (conditions, and what a condition's value or the frame's namespace run on their behalf),
// so nothing may free a record meanwhile: removals refuse, and no trace event is dispatched.
extern int gBpCheckDepth;

inline bool bp_check_running() { return gBpCheckDepth != 0; }

// -1 with RuntimeError set while a breakpoint check runs (see gBpCheckDepth). Else 0.
int __tracer_check_bps_editable();

// Module methods of this file.
PyObject *_tracer_set_break(PyObject *self, PyObject *args);
PyObject *_tracer_clear_breaks(PyObject *self, PyObject *args);
PyObject *_tracer_enable_breaks(PyObject *self, PyObject *args);
PyObject *_tracer_ignore_breaks(PyObject *self, PyObject *args);
PyObject *_tracer_set_breaks_cond(PyObject *self, PyObject *args);
PyObject *_tracer_get_breaks(PyObject *self, PyObject *args);
PyObject *_tracer_get_file_breaks(PyObject *self, PyObject *args);
PyObject *_tracer_clear_all_breaks(PyObject *self, PyObject *args);
PyObject *_tracer_break_here(PyObject *self, PyObject *args);
PyObject *_tracer_clear_break(PyObject *self, PyObject *args);
PyObject *_tracer_enable_break(PyObject *self, PyObject *args);
PyObject *_tracer_ignore_break(PyObject *self, PyObject *args);
PyObject *_tracer_set_break_cond(PyObject *self, PyObject *args);

extern const char set_break_doc[];
extern const char clear_breaks_doc[];
extern const char enable_breaks_doc[];
extern const char ignore_breaks_doc[];
extern const char set_breaks_cond_doc[];
extern const char get_breaks_doc[];
extern const char get_file_breaks_doc[];
extern const char clear_all_breaks_doc[];
extern const char break_here_doc[];
extern const char clear_break_doc[];
extern const char enable_break_doc[];
extern const char ignore_break_doc[];
extern const char set_break_cond_doc[];

#endif  // ZARDEL_BREAKPOINTS_H
