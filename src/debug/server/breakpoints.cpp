// Breakpoints: kept in native memory, keyed by line number, so that the check made on every line
// event costs one integer-keyed lookup for a line without breakpoints and resolves the frame's
// file only for lines that carry some. Python code runs in the check only to evaluate
// conditions.
#include "breakpoints.h"

#include <stdlib.h>
#include <string.h>

#include "condeval.h"
#include "copathname.h"
#include "fileops.h"
#include "modules.h"
#include "runcontrol.h"
#include "zardelmodule.h"

uint64_t gBpLineBits[kBpLineBits / 64];

unsigned int gBpGeneration = 1;
tNoMatchSlot gNoMatch[kNoMatchSlots];

// tMarks --
//   The "not found" marks an answer depends on, as the oldest and the newest: a mark holds while
//   the clock is less than kNotFoundSeconds away from it, so all of them hold while both ends do.
struct tMarks {
  bool timed = false;
  time_t low = 0, high = 0;

  void add(time_t marked) {
    low = timed && low < marked ? low : marked;
    high = timed && high > marked ? high : marked;
    timed = true;
  }
};

bool marks_current(const tNoMatchSlot *slot) {
  time_t now = fileops_now();
  return mark_is_current(slot->mark_low, now) && mark_is_current(slot->mark_high, now);
}

// remember_no_match --
//   Stores (code_key, lineno) in the first of its two slots, or in the second when the first
//   holds a current answer for another key.
static void remember_no_match(tNoMatchSlot *slot, PyObject *code_key, int lineno,
                              const tMarks &marks) {
  const unsigned int co_generation = gSelf.co_pathname_table.generation;
  if (slot->generation == gBpGeneration && slot->co_generation == co_generation) {
    slot = paired_slot(slot);
  }
  *slot = {code_key, lineno, gBpGeneration, co_generation, marks.timed, marks.low, marks.high};
}

// mark_line --
//   Sets the line's bit in gBpLineBits.
static void mark_line(int lineno) {
  unsigned int bit = static_cast<unsigned int>(lineno) & (kBpLineBits - 1);
  gBpLineBits[bit >> 6] |= uint64_t(1) << (bit & 63);
}

// rebuild_line_bits --
//   Recomputes gBpLineBits from userbps, after line entries were dropped (several line numbers
//   share a bit, so a bit cannot simply be cleared).
static void rebuild_line_bits() {
  memset(gBpLineBits, 0, sizeof(gBpLineBits));
  if (!gSelf.state_built) return;
  CUt_HashSearch search;
  for (CUt_HashEntry *entry = CU_FirstHashEntry(&gSelf.userbps, &search); entry;
       entry = CU_NextHashEntry(&search)) {
    int lineno;
    memcpy(&lineno, CU_GetHashKey(&gSelf.userbps, entry), sizeof(lineno));
    mark_line(lineno);
  }
}

int gBpCheckDepth = 0;

int __tracer_check_bps_editable() {
  if (!bp_check_running()) return 0;
  PyErr_SetString(PyExc_RuntimeError,
                  "breakpoints cannot be removed while the breakpoint check runs");
  return -1;
}

// tCheckRun --
//   Marks a breakpoint check as running for the lifetime of the object (see gBpCheckDepth), and
//   keeps the interpreter from tracing the Python code the check runs, as it does for any trace
//   function: the check may also be reached from the break_here method, called by traced code.
class tCheckRun {
 public:
  tCheckRun() : tstate_(PyThreadState_GET()) {
    gBpCheckDepth++;
    tstate_->tracing++;
    tstate_->use_tracing = 0;
  }
  ~tCheckRun() {
    tstate_->tracing--;
    tstate_->use_tracing = tstate_->c_tracefunc != nullptr || tstate_->c_profilefunc != nullptr;
    gBpCheckDepth--;
  }
  tCheckRun(const tCheckRun &) = delete;
  tCheckRun &operator=(const tCheckRun &) = delete;

 private:
  PyThreadState *tstate_;
};

// out_of_memory --
//   Sets the tracer's MemoryError; returns null for the caller's convenience.
static PyObject *out_of_memory() {
  PyErr_SetString(PyExc_MemoryError, "Out of memory");
  return nullptr;
}

// __tracer_free_bp --
//   Frees the record, its strings and its compiled condition.
static void __tracer_free_bp(tBp *bp) {
  free(bp->user_filename);
  free(bp->module_filename);
  free(bp->cond);
  free(bp->file_key);
  Py_XDECREF(bp->cond_code);
  free(bp);
}

// __tracer_create_bp --
//   A new unbound, unchained record with copies of the strings (`cond` may be null), or null
//   when memory ran out.
static tBp *__tracer_create_bp(int id, const char *user_filename, int lineno, int enabled,
                               int temporary, const char *cond, int ignore_count) {
  tBp *bp = static_cast<tBp *>(calloc(1, sizeof(tBp)));
  if (!bp) return nullptr;
  bp->id = id;
  bp->lineno = lineno;
  bp->enabled = enabled != 0;
  bp->temporary = temporary != 0;
  bp->ignore_count = ignore_count;
  bp->user_filename = strdup(user_filename);
  bp->file_key = copy_source_name(user_filename);
  bp->cond = cond ? strdup(cond) : nullptr;
  if (!bp->user_filename || !bp->file_key || (cond && !bp->cond)) {
    __tracer_free_bp(bp);
    return nullptr;
  }
  return bp;
}

// The breakpoints that wait unbound for their file to be loaded, by file: under the file's
// identity when it existed as the breakpoint began to wait, else under its name. A module
// recorded binds the chains of its name and of its file's identity, so binding costs in
// proportion to the breakpoints of that file, however many others wait. The chains run through
// wait_next; the entries' values are their heads.
struct tWaitingBps {
  CUt_HashTable by_id;    // tFileId -> chain
  CUt_HashTable by_name;  // file_key of a missing file -> chain
  time_t retried;         // when the files of by_name were last looked for

  tWaitingBps() { init(); }
  void init() {
    CU_InitHashTable(&by_id, CU_STRING_KEYS);
    CU_InitHashTable(&by_name, CU_STRING_KEYS);
    retried = 0;
  }
  // Forgets every chain (their breakpoints are being freed).
  void clear() {
    CU_DeleteHashTable(&by_id);
    CU_DeleteHashTable(&by_name);
    init();
  }
};
static tWaitingBps gWaiting;

static tBp *chain_head(CUt_HashEntry *entry) { return static_cast<tBp *>(CU_GetHashValue(entry)); }

// wait_for_file --
//   Puts an unbound breakpoint on the chain of its file. False when memory ran out.
static bool wait_for_file(tBp *bp) {
  tFileId id;
  int is_new;
  CUt_HashEntry *entry = file_identity(gSelf.file_ops_data, bp->file_key, &id)
                             ? CU_CreateHashEntry(&gWaiting.by_id, id.text, &is_new)
                             : CU_CreateHashEntry(&gWaiting.by_name, bp->file_key, &is_new);
  if (!entry) return false;
  tBp *head = is_new ? nullptr : chain_head(entry);
  bp->wait_prev = nullptr;
  bp->wait_next = head;
  if (head) head->wait_prev = bp;
  CU_SetHashValue(entry, bp);
  bp->waiting = entry;
  return true;
}

// stop_waiting --
//   Takes the breakpoint off its waiting chain, dropping the chain's entry when it empties.
static void stop_waiting(tBp *bp) {
  if (!bp->waiting) return;
  if (bp->wait_next) bp->wait_next->wait_prev = bp->wait_prev;
  if (bp->wait_prev) {
    bp->wait_prev->wait_next = bp->wait_next;
  } else if (bp->wait_next) {
    CU_SetHashValue(bp->waiting, bp->wait_next);
  } else {
    CU_DeleteHashEntry(bp->waiting);
  }
  bp->waiting = nullptr;
  bp->wait_prev = bp->wait_next = nullptr;
}

// __tracer_add_bp_internal --
//   Binds the breakpoint to a module file. Without synonyms the file is the name given; with
//   them, the loaded module that is the same file, if there is one yet (else the breakpoint
//   waits unbound, which is no error). 0 with MemoryError set when a copy failed, else 1.
static int __tracer_add_bp_internal(tBp *bp) {
  if (bp->module_filename) return 1;
  const char *name = bp->file_key;
  if (gSelf.allow_synonyms) {
    name = __tracer_find_module(bp->file_key);
    if (!name) {
      if (bp->waiting || wait_for_file(bp)) return 1;
      out_of_memory();
      return 0;
    }
  }
  bp->module_filename = strdup(name);
  if (!bp->module_filename) {
    out_of_memory();
    return 0;
  }
  stop_waiting(bp);
  gBpGeneration++;
  return 1;
}

// line_chain --
//   The entry of `lineno` in userbps, or null.
static CUt_HashEntry *line_chain(int lineno) {
  return CU_FindHashEntry(&gSelf.userbps, &lineno);
}

// __tracer_del_bp --
//   Unlinks the breakpoint from its line's chain, dropping the line's entry when the chain
//   becomes empty. Does nothing when it is not in the table; never frees.
static void __tracer_del_bp(tBp *bp) {
  stop_waiting(bp);
  CUt_HashEntry *entry = line_chain(bp->lineno);
  if (!entry) return;
  tBp *head = chain_head(entry);
  for (tBp **link = &head; *link; link = &(*link)->next_user) {
    if (*link != bp) continue;
    *link = bp->next_user;
    bp->next_user = nullptr;
    if (head) {
      CU_SetHashValue(entry, head);
    } else {
      CU_DeleteHashEntry(entry);
      rebuild_line_bits();
    }
    return;
  }
}

static void __tracer_add_changed_bp(tBp *bp) {
  if (bp->changed) return;
  bp->changed = 1;
  bp->next_changed = gSelf.changed_bps;
  gSelf.changed_bps = bp;
}

static void __tracer_remove_bp_from_changed(tBp *bp) {
  if (!bp->changed) return;
  for (tBp **link = &gSelf.changed_bps; *link; link = &(*link)->next_changed) {
    if (*link == bp) {
      *link = bp->next_changed;
      break;
    }
  }
  bp->next_changed = nullptr;
  bp->changed = 0;
}

// __tracer_clear_changed_bps --
//   Empties the changed list, freeing the consumed breakpoints on it (no longer in userbps).
static void __tracer_clear_changed_bps() {
  tBp *bp = gSelf.changed_bps;
  gSelf.changed_bps = nullptr;
  while (bp) {
    tBp *next = bp->next_changed;
    bp->next_changed = nullptr;
    bp->changed = 0;
    if (bp->deleted) __tracer_free_bp(bp);
    bp = next;
  }
}

// __tracer_python_bp_data --
//   (user_filename, lineno, id, enabled, temporary, cond, ignore_count, hit_count), new.
static PyObject *__tracer_python_bp_data(tBp *bp) {
  return Py_BuildValue("(siiiizii)", bp->user_filename, bp->lineno, bp->id, bp->enabled ? 1 : 0,
                       bp->temporary ? 1 : 0, bp->cond, bp->ignore_count, bp->hit_count);
}

PyObject *__tracer_get_changed_bps_lists() {
  PyRef deleted(PyList_New(0));
  PyRef changed(PyList_New(0));
  if (!deleted || !changed) return out_of_memory();
  for (tBp *bp = gSelf.changed_bps; bp; bp = bp->next_changed) {
    PyRef item(bp->deleted ? PyInt_FromLong(bp->id) : __tracer_python_bp_data(bp));
    if (!item || PyList_Append(bp->deleted ? deleted.get() : changed.get(), item.get()) < 0) {
      return out_of_memory();
    }
  }
  PyObject *report = PyTuple_Pack(2, deleted.get(), changed.get());
  if (!report) return out_of_memory();
  __tracer_clear_changed_bps();
  return report;
}

// free_chain --
//   Frees every breakpoint of a chain; one that is on the changed list is taken off it first.
static void free_chain(tBp *bp) {
  while (bp) {
    tBp *next = bp->next_user;
    __tracer_remove_bp_from_changed(bp);
    __tracer_free_bp(bp);
    bp = next;
  }
}

// free_table_bps --
//   Frees every breakpoint of userbps (those on the changed list leave it first) and deletes the
//   table. Consumed breakpoints, no longer in the table, stay on the changed list.
static void free_table_bps() {
  CUt_HashSearch search;
  for (CUt_HashEntry *entry = CU_FirstHashEntry(&gSelf.userbps, &search); entry;
       entry = CU_NextHashEntry(&search)) {
    free_chain(chain_head(entry));
  }
  CU_DeleteHashTable(&gSelf.userbps);
  gWaiting.clear();
}

void __tracer_free_all_bps() {
  free_table_bps();
  __tracer_clear_changed_bps();
  memset(gBpLineBits, 0, sizeof(gBpLineBits));
  gBpGeneration++;
}

void __tracer_clear_all_bps() {
  __tracer_free_all_bps();
  CU_InitHashTable(&gSelf.userbps, 4);
}

// __tracer_eval_cond --
//   Evaluates the breakpoint's condition in the frame's namespaces, compiling it once: 1 true,
//   0 false, -1 when compiling or evaluating it raised (the error is left set). The check runs
//   untraced (tCheckRun), so code the condition calls never stops.
static int __tracer_eval_cond(tBp *bp, PyFrameObject *f) {
  if (!bp->cond_code) {
    bp->cond_code = Py_CompileString(bp->cond, "<string>", Py_eval_input);
    if (!bp->cond_code) return -1;
    bp->cond_plain = is_plain_cond(reinterpret_cast<PyCodeObject *>(bp->cond_code));
  }
  if (bp->cond_plain) {
    int truth = run_plain_cond(reinterpret_cast<PyCodeObject *>(bp->cond_code), f);
    if (truth != kCondNeedsInterpreter) return truth;
  }
  // Held for the evaluation: the condition may replace the breakpoint's condition.
  PyRef code = PyRef::borrow(bp->cond_code);
  PyFrame_FastToLocals(f);
  PyRef value(PyEval_EvalCode(reinterpret_cast<PyCodeObject *>(code.get()), f->f_globals,
                              f->f_locals));
  if (!value) return -1;
  int truth = PyObject_IsTrue(value.get());
  return truth < 0 ? -1 : truth;
}

// eval_cond_keeping_error --
//   __tracer_eval_cond with the program's pending exception, if any, kept and the condition's
//   own error discarded.
static int eval_cond_keeping_error(tBp *bp, PyFrameObject *f) {
  if (!PyErr_Occurred()) {
    int truth = __tracer_eval_cond(bp, f);
    if (PyErr_Occurred()) PyErr_Clear();
    return truth;
  }
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  int truth = __tracer_eval_cond(bp, f);
  PyErr_Restore(type, value, traceback);
  return truth;
}

// loaded_modules_exist --
//   Whether every loaded module's file exists. Found once per gBpGeneration, which changes
//   whenever a module is recorded (a missing file that appears later only makes the answer
//   conservative).
static bool loaded_modules_exist() {
  static unsigned int checked_generation = 0;
  static bool exist = false;
  if (checked_generation == gBpGeneration) return exist;
  checked_generation = gBpGeneration;
  exist = false;
  tFileOpsData *ops = gSelf.file_ops_data;
  if (!ops) return exist;
  CUt_HashSearch search;
  for (CUt_HashEntry *entry = CU_FirstHashEntry(&gSelf.loaded_modules, &search); entry;
       entry = CU_NextHashEntry(&search)) {
    const char *value = static_cast<const char *>(CU_GetHashValue(entry));
    if (!value || !__tracer_stat(ops, value)) return exist;
  }
  exist = true;
  return exist;
}

// lasting_no_module --
//   Whether the module table's "no loaded module is this file" for `file` holds until a module
//   is recorded (which changes gBpGeneration): the file and every loaded module exist, and the
//   file-identity cache keeps the identity of an existing file for good.
static bool lasting_no_module(const char *file) {
  tFileOpsData *ops = gSelf.file_ops_data;
  return ops && __tracer_stat(ops, file) && loaded_modules_exist();
}

// tFrameFile --
//   The frame's file and its loaded module's name, each found when first needed by the check,
//   and whether every answer found so far lasts (see tNoMatchSlot).
struct tFrameFile {
  PyFrameObject *frame;
  const char *file = nullptr;
  const char *module = nullptr;
  bool module_known = false;
  bool lasting = true;

  const char *get_file() {
    if (!file) {
      // Only the code-object table's answer depends on the code object alone.
      file = LookupCOPathname(&gSelf.co_pathname_table, frame->f_code);
      if (!file) {
        lasting = false;
        file = __tracer_get_full_path(frame);
      }
    }
    return file;
  }
  const char *get_module() {
    if (!module_known) {
      module = __tracer_find_module(get_file());
      module_known = true;
      if (!module && !lasting_no_module(file)) lasting = false;
    }
    return module;
  }
  // Python code ran (a condition, or a module was recorded): answers found so far may be stale.
  void forget() {
    file = nullptr;
    module_known = false;
  }
};

// __tracer_bp_matches --
//   Whether the breakpoint is set on the file the frame runs. A bound breakpoint matches when the
//   frame's file belongs to the loaded module it is bound to; without synonyms the file may also
//   simply be that name (the module table only knows the modules recorded as loaded, and with
//   synonyms off nothing records imported modules). An unbound one is compared by file identity,
//   and the frame's file is recorded as loaded, which binds the breakpoints waiting for it.
static bool __tracer_bp_matches(tBp *bp, tFrameFile *ff) {
  if (bp->module_filename) {
    if (!gSelf.allow_synonyms && strcmp(ff->get_file(), bp->module_filename) == 0) return true;
    const char *module = ff->get_module();
    return module && strcmp(module, bp->module_filename) == 0;
  }
  const char *file = ff->get_file();
  bool same = samefile(gSelf.file_ops_data, file, bp->file_key);
  if (!is_pseudo_name(file)) {
    __tracer_resolve_bp_filenames(file);
    ff->forget();
  }
  return same;
}

// bp_matches --
//   __tracer_bp_matches, answered from the breakpoint's memory of the code object `code_key`
//   when it holds one, and remembered for a bound breakpoint when the answer lasts (the frame's
//   file came from the code-object table and its module lookup lasts: see tFrameFile).
static bool bp_matches(tBp *bp, tFrameFile *ff, PyObject *code_key) {
  const unsigned int co_generation = gSelf.co_pathname_table.generation;
  if (bp->match_key == code_key && bp->match_generation == gBpGeneration &&
      bp->match_co_generation == co_generation && bp->module_filename) {
    return bp->match_result;
  }
  const bool result = __tracer_bp_matches(bp, ff);
  if (bp->module_filename && ff->lasting) {
    bp->match_key = code_key;
    bp->match_generation = gBpGeneration;
    bp->match_co_generation = co_generation;
    bp->match_result = result;
  }
  return result;
}

// missing_file_marks --
//   When `name` is a missing file to the file-identity cache, adds the marks that say so to
//   `marks` and returns true: the name itself and its compiled form, which file identity looks
//   at in its place (a compiled form that exists keeps its identity for good).
static bool missing_file_marks(tFileOpsData *ops, const char *name, tMarks *marks) {
  time_t marked;
  if (!__tracer_not_found_since(ops, name, &marked)) return false;
  marks->add(marked);
  size_t len = strlen(name);
  char *compiled = static_cast<char *>(malloc(len + 2));
  if (!compiled) return false;
  memcpy(compiled, name, len);
  strcpy(compiled + len, "c");
  bool known = __tracer_stat(ops, compiled) != nullptr;
  if (!known && __tracer_not_found_since(ops, compiled, &marked)) {
    marks->add(marked);
    known = true;
  }
  free(compiled);
  return known;
}

// lasting_file_difference --
//   Whether an unbound breakpoint found not to be set on the frame's file stays so until its
//   binding changes: the frame's file exists, and so does the breakpoint's (the file-identity
//   cache keeps the identity of an existing file for good), or else the breakpoint's file is
//   missing for as long as the marks added to `marks` hold. The frame's file is by now a loaded
//   module, so the check will not record it again either.
static bool lasting_file_difference(tBp *bp, tFrameFile *ff, tMarks *marks) {
  tFileOpsData *ops = gSelf.file_ops_data;
  if (!ops || !__tracer_stat(ops, ff->get_file())) return false;
  return __tracer_stat(ops, bp->file_key) || missing_file_marks(ops, bp->file_key, marks);
}

bool __tracer_break_here(PyFrameObject *f, int update_bps) {
  if (!gSelf.state_built) return false;
  int lineno = PyFrame_GetLineNumber(f);
  PyObject *code_key = f->f_code->co_code;
  tNoMatchSlot *slot = no_match_slot(code_key, lineno);
  if (remembered_no_match(slot, code_key, lineno)) return false;
  return check_line(f, lineno, code_key, slot, update_bps);
}

bool check_line(PyFrameObject *f, int lineno, PyObject *code_key, tNoMatchSlot *slot,
                int update_bps) {
  if (!gSelf.state_built) return false;
  CUt_HashEntry *entry = line_chain(lineno);
  if (!entry) return false;
  // From here on Python code may run (conditions, a value's __nonzero__ or __del__, a key's
  // __eq__ in the frame's namespace) while `bp` points into the chain.
  tCheckRun running;
  bool stopping = false, matched = false, consumed = false, lasting = true;
  tMarks marks;
  tFrameFile ff;
  ff.frame = f;
  for (tBp *bp = chain_head(entry); bp; bp = bp->next_user) {
    if (!bp->enabled) continue;
    const bool unbound = !bp->module_filename;
    if (!bp_matches(bp, &ff, code_key)) {
      if (unbound && !lasting_file_difference(bp, &ff, &marks)) lasting = false;
      continue;
    }
    matched = true;
    if (update_bps) {
      bp->hit_count++;
      __tracer_add_changed_bp(bp);
    }
    if (bp->cond) {
      int truth = eval_cond_keeping_error(bp, f);
      ff.forget();
      if (truth < 0) {
        stopping = true;
        continue;
      }
      if (truth == 0) continue;
    }
    if (bp->ignore_count > 0 && update_bps) {
      bp->ignore_count--;
      __tracer_add_changed_bp(bp);
      continue;
    }
    if (bp->temporary && update_bps) {
      bp->deleted = 1;
      consumed = true;
      __tracer_add_changed_bp(bp);
    }
    stopping = true;
  }
  if (!matched && lasting && ff.lasting) remember_no_match(slot, code_key, lineno, marks);
  // Consumed breakpoints leave the table now; the next report lists their ids and frees them.
  if (consumed) {
    for (tBp *bp = gSelf.changed_bps; bp; bp = bp->next_changed) {
      if (bp->deleted) __tracer_del_bp(bp);
    }
  }
  return stopping;
}

// bind_chain --
//   Binds the breakpoints of a waiting chain (null: none) whose file is loaded now; bound ones
//   leave the chain, and the chain's entry goes with the last of them.
static void bind_chain(CUt_HashEntry *entry) {
  for (tBp *bp = entry ? chain_head(entry) : nullptr, *next; bp; bp = next) {
    next = bp->wait_next;
    if (!__tracer_add_bp_internal(bp)) PyErr_Clear();
  }
}

// bind_appeared_files --
//   The chains of files that were missing when their breakpoints began to wait: those whose file
//   exists now are bound to its loaded module, or else wait under its identity.
static void bind_appeared_files() {
  if (gWaiting.by_name.numEntries == 0 || !missing_names_due(&gWaiting.retried)) return;
  CUt_HashSearch search;
  for (CUt_HashEntry *entry = CU_FirstHashEntry(&gWaiting.by_name, &search); entry;
       entry = CU_NextHashEntry(&search)) {
    tFileId id;
    if (!file_identity(gSelf.file_ops_data, CU_GetHashKey(&gWaiting.by_name, entry), &id)) {
      continue;
    }
    // Each leaves the chain first, so the entry (the walk's current one) goes with the last.
    for (tBp *bp = chain_head(entry), *next; bp; bp = next) {
      next = bp->wait_next;
      stop_waiting(bp);
      if (!__tracer_add_bp_internal(bp)) PyErr_Clear();
    }
  }
}

// bind_waiting_bps --
//   Binds the breakpoints waiting for the file `name` (pruned), a module file just recorded.
static void bind_waiting_bps(const char *name) {
  bind_appeared_files();
  tFileId id;
  if (file_identity(gSelf.file_ops_data, name, &id)) {
    bind_chain(CU_FindHashEntry(&gWaiting.by_id, id.text));
  }
  bind_chain(CU_FindHashEntry(&gWaiting.by_name, name));
}

void __tracer_resolve_bp_filenames(const char *filename) {
  if (__tracer_add_loaded_module(filename) == 1) {
    gBpGeneration++;  // a file that had no loaded module may have one now
    // The module table's scratch copy of the pruned name does not outlive further lookups.
    char *name = strdup(gSelf.resolve_bp_tmpfile);
    if (name) bind_waiting_bps(name);
    free(name);
  }
}

void __tracer_xfer_module_bps(PyObject *module) {
  if (!gSelf.allow_synonyms || !PyModule_Check(module) || !gSelf.filestring) return;
  PyRef key = PyRef::borrow(gSelf.filestring);  // see __tracer_get_relative_path
  PyObject *file = PyDict_GetItem(PyModule_GetDict(module), key.get());  // borrowed
  if (file && PyString_Check(file)) __tracer_resolve_bp_filenames(PyString_AS_STRING(file));
}

// rearm_tracing --
//   Makes sure tracing runs over every frame once the tracer has been started, so that a
//   breakpoint set or enabled while the program runs freely (or after continue_run removed the
//   tracer) can stop.
static void rearm_tracing() {
  if (gSelf.initialized) __tracer_start_trace(0, kAllFrames);
}

PyObject *_tracer_set_break(PyObject *, PyObject *args) {
  const char *filename, *cond;
  int line, enabled, temporary, ignore_count;
  // The condition is None or a string, taken as the file name is: a unicode one by its value
  // in the default encoding.
  if (!PyArg_ParseTuple(args, "siiizi:tracer_set_break", &filename, &line, &enabled, &temporary,
                        &cond, &ignore_count)) {
    return nullptr;
  }
  if (__tracer_check_initialised() < 0) return nullptr;
  if (cond && !*cond) cond = nullptr;  // an empty condition is none, as set_breaks_cond has it
  int id = gSelf.next_bp_id++;
  tBp *bp = __tracer_create_bp(id, filename, line, enabled, temporary, cond, ignore_count);
  if (!bp) return out_of_memory();
  int is_new;
  CUt_HashEntry *entry = CU_CreateHashEntry(&gSelf.userbps, &line, &is_new);
  if (!entry) {
    __tracer_free_bp(bp);
    return out_of_memory();
  }
  bp->next_user = is_new ? nullptr : chain_head(entry);
  CU_SetHashValue(entry, bp);
  mark_line(line);
  gBpGeneration++;
  if (!__tracer_add_bp_internal(bp)) {
    __tracer_del_bp(bp);
    __tracer_free_bp(bp);
    return nullptr;
  }
  rearm_tracing();
  return PyInt_FromLong(id);
}

// matching_bps --
//   Calls `edit` for every breakpoint of `lineno` whose user_filename is `filename`; returns how
//   many there were. `edit` may unlink and free the one it is given.
template <typename Edit>
static int matching_bps(const char *filename, int lineno, Edit edit) {
  CUt_HashEntry *entry = line_chain(lineno);
  if (!entry) return 0;
  int count = 0;
  for (tBp *bp = chain_head(entry), *next; bp; bp = next) {
    next = bp->next_user;
    if (strcmp(bp->user_filename, filename) != 0) continue;
    count++;
    edit(bp);
  }
  return count;
}

// parse_location --
//   Parses (filename, lineno, *extra) with `format` and checks that the tracer is initialised.
template <typename... Extra>
static bool parse_location(PyObject *args, const char *format, const char **filename, int *lineno,
                           Extra... extra) {
  return PyArg_ParseTuple(args, format, filename, lineno, extra...) &&
         __tracer_check_initialised() == 0;
}

PyObject *_tracer_clear_breaks(PyObject *, PyObject *args) {
  const char *filename;
  int lineno;
  if (!parse_location(args, "si:tracer_clear_breaks", &filename, &lineno)) return nullptr;
  if (__tracer_check_bps_editable() < 0) return nullptr;
  matching_bps(filename, lineno, [](tBp *bp) {
    __tracer_del_bp(bp);
    __tracer_remove_bp_from_changed(bp);
    __tracer_free_bp(bp);
  });
  Py_RETURN_NONE;
}

PyObject *_tracer_enable_breaks(PyObject *, PyObject *args) {
  const char *filename;
  int lineno, enabled;
  if (!parse_location(args, "sii:tracer_enable_breaks", &filename, &lineno, &enabled)) {
    return nullptr;
  }
  int count = matching_bps(filename, lineno, [enabled](tBp *bp) { bp->enabled = enabled != 0; });
  gBpGeneration++;
  if (enabled && count) rearm_tracing();
  Py_RETURN_NONE;
}

PyObject *_tracer_ignore_breaks(PyObject *, PyObject *args) {
  const char *filename;
  int lineno, ignore;
  if (!parse_location(args, "sii:tracer_ignore_breaks", &filename, &lineno, &ignore)) {
    return nullptr;
  }
  matching_bps(filename, lineno, [ignore](tBp *bp) { bp->ignore_count = ignore; });
  Py_RETURN_NONE;
}

PyObject *_tracer_set_breaks_cond(PyObject *, PyObject *args) {
  const char *filename, *cond;
  int lineno;
  if (!parse_location(args, "sis:tracer_set_breaks_cond", &filename, &lineno, &cond)) {
    return nullptr;
  }
  matching_bps(filename, lineno, [cond](tBp *bp) {
    free(bp->cond);
    Py_CLEAR(bp->cond_code);
    bp->cond = *cond ? strdup(cond) : nullptr;  // a failed copy leaves it unconditional
  });
  Py_RETURN_NONE;
}

// bp_by_id --
//   The breakpoint in the table with the given id, or null.
static tBp *bp_by_id(int id) {
  CUt_HashSearch search;
  for (CUt_HashEntry *entry = CU_FirstHashEntry(&gSelf.userbps, &search); entry;
       entry = CU_NextHashEntry(&search)) {
    for (tBp *bp = chain_head(entry); bp; bp = bp->next_user) {
      if (bp->id == id) return bp;
    }
  }
  return nullptr;
}

// parse_id --
//   Parses (id, *extra) with `format`, checks that the tracer is initialised and finds the
//   breakpoint; null with no error set when there is no breakpoint with that id.
template <typename... Extra>
static bool parse_id(PyObject *args, const char *format, tBp **found, Extra... extra) {
  int id;
  *found = nullptr;
  if (!PyArg_ParseTuple(args, format, &id, extra...) || __tracer_check_initialised() < 0) {
    return false;
  }
  *found = bp_by_id(id);
  return true;
}

// The per-id methods act on one breakpoint where several may share a line (the per-line ones act
// on all of them). Each returns whether a breakpoint with that id was there.

PyObject *_tracer_clear_break(PyObject *, PyObject *args) {
  tBp *bp;
  if (!parse_id(args, "i:tracer_clear_break", &bp)) return nullptr;
  if (bp) {
    if (__tracer_check_bps_editable() < 0) return nullptr;
    __tracer_del_bp(bp);
    __tracer_remove_bp_from_changed(bp);
    __tracer_free_bp(bp);
  }
  return PyBool_FromLong(bp != nullptr);
}

PyObject *_tracer_enable_break(PyObject *, PyObject *args) {
  tBp *bp;
  int enabled;
  if (!parse_id(args, "ii:tracer_enable_break", &bp, &enabled)) return nullptr;
  if (bp) {
    bp->enabled = enabled != 0;
    gBpGeneration++;
    if (enabled) rearm_tracing();
  }
  return PyBool_FromLong(bp != nullptr);
}

PyObject *_tracer_ignore_break(PyObject *, PyObject *args) {
  tBp *bp;
  int ignore;
  if (!parse_id(args, "ii:tracer_ignore_break", &bp, &ignore)) return nullptr;
  if (bp) bp->ignore_count = ignore;
  return PyBool_FromLong(bp != nullptr);
}

PyObject *_tracer_set_break_cond(PyObject *, PyObject *args) {
  tBp *bp;
  const char *cond;
  if (!parse_id(args, "iz:tracer_set_break_cond", &bp, &cond)) return nullptr;
  if (bp) {
    if (cond && !*cond) cond = nullptr;
    char *copy = cond ? strdup(cond) : nullptr;
    if (cond && !copy) return out_of_memory();
    free(bp->cond);
    Py_CLEAR(bp->cond_code);
    bp->cond = copy;
  }
  return PyBool_FromLong(bp != nullptr);
}

// bp_info --
//   (id, enabled, temporary, cond, ignore_count, hit_count), preceded by the line number when
//   `with_line` is set; new.
static PyObject *bp_info(tBp *bp, bool with_line) {
  int enabled = bp->enabled ? 1 : 0, temporary = bp->temporary ? 1 : 0;
  return with_line ? Py_BuildValue("(iiiizii)", bp->lineno, bp->id, enabled, temporary, bp->cond,
                                   bp->ignore_count, bp->hit_count)
                   : Py_BuildValue("(iiizii)", bp->id, enabled, temporary, bp->cond,
                                   bp->ignore_count, bp->hit_count);
}

// append_info --
//   Appends bp_info of the breakpoint to `list`; false with MemoryError set on failure.
static bool append_info(PyObject *list, tBp *bp, bool with_line) {
  PyRef item(bp_info(bp, with_line));
  if (item && PyList_Append(list, item.get()) == 0) return true;
  out_of_memory();
  return false;
}

PyObject *_tracer_get_breaks(PyObject *, PyObject *args) {
  const char *filename;
  int lineno;
  if (!parse_location(args, "si:tracer_get_breaks", &filename, &lineno)) return nullptr;
  PyRef result(PyList_New(0));
  if (!result) return out_of_memory();
  bool ok = true;
  matching_bps(filename, lineno, [&](tBp *bp) { ok = ok && append_info(result.get(), bp, false); });
  return ok ? result.release() : nullptr;
}

PyObject *_tracer_get_file_breaks(PyObject *, PyObject *args) {
  const char *filename;
  if (!PyArg_ParseTuple(args, "s:tracer_get_file_breaks", &filename)) return nullptr;
  if (__tracer_check_initialised() < 0) return nullptr;
  PyRef result(PyList_New(0));
  if (!result) return out_of_memory();
  CUt_HashSearch search;
  for (CUt_HashEntry *entry = CU_FirstHashEntry(&gSelf.userbps, &search); entry;
       entry = CU_NextHashEntry(&search)) {
    for (tBp *bp = chain_head(entry); bp; bp = bp->next_user) {
      if (strcmp(bp->user_filename, filename) == 0 && !append_info(result.get(), bp, true)) {
        return nullptr;
      }
    }
  }
  return result.release();
}

// _tracer_clear_all_breaks --
//   Frees every breakpoint; the ids already given out are not given again. Consumed breakpoints
//   that wait to be reported stay on the changed list, the others leave it with their records.
PyObject *_tracer_clear_all_breaks(PyObject *, PyObject *) {
  if (__tracer_check_initialised() < 0 || __tracer_check_bps_editable() < 0) return nullptr;
  free_table_bps();
  CU_InitHashTable(&gSelf.userbps, 4);
  memset(gBpLineBits, 0, sizeof(gBpLineBits));
  Py_RETURN_NONE;
}

PyObject *_tracer_break_here(PyObject *, PyObject *args) {
  PyObject *frame;
  if (!PyArg_ParseTuple(args, "O!:break_here", &PyFrame_Type, &frame)) return nullptr;
  if (__tracer_check_initialised() < 0) return nullptr;
  return PyBool_FromLong(__tracer_break_here(reinterpret_cast<PyFrameObject *>(frame), 0));
}

const char set_break_doc[] =
    "Set a breakpoint: (filename, lineno, enabled, temporary, cond, ignore_count), where\n"
    "enabled and temporary are 0 or 1 and cond is None or an expression evaluated in the\n"
    "frame.  Returns the new breakpoint's id.  The condition's code is not traced: it never\n"
    "stops (trace_dispatch lets its events by), and removing breakpoints from it raises\n"
    "RuntimeError.  A condition of names, constants, comparisons, not, and, or over built-in\n"
    "numbers and strings is evaluated without copying the frame's fast locals into its\n"
    "locals dictionary.";
const char clear_breaks_doc[] = "Remove every breakpoint at (filename, lineno)";
const char enable_breaks_doc[] =
    "Enable (1) or disable (0) every breakpoint at (filename, lineno, enabled)";
const char ignore_breaks_doc[] =
    "Set the number of hits to ignore of every breakpoint at (filename, lineno, count)";
const char set_breaks_cond_doc[] =
    "Set the condition of every breakpoint at (filename, lineno, cond); an empty string\n"
    "makes them unconditional";
const char get_breaks_doc[] =
    "Returns the breakpoints at (filename, lineno), newest first, as a list of\n"
    "(id, enabled, temporary, cond, ignore_count, hit_count)";
const char get_file_breaks_doc[] =
    "Returns the breakpoints of a file as a list of\n"
    "(lineno, id, enabled, temporary, cond, ignore_count, hit_count)";
const char clear_all_breaks_doc[] = "Remove every breakpoint";
const char clear_break_doc[] =
    "Remove the breakpoint with the given id; returns whether there was one";
const char enable_break_doc[] =
    "Enable (1) or disable (0) the breakpoint (id, enabled); returns whether there was one";
const char ignore_break_doc[] =
    "Set the number of hits to ignore of the breakpoint (id, count); returns whether there\n"
    "was one";
const char set_break_cond_doc[] =
    "Set the condition of the breakpoint (id, cond); None or an empty string makes it\n"
    "unconditional.  Returns whether there was one";
const char break_here_doc[] =
    "Returns whether a breakpoint would stop the given frame at its current line (no hit is\n"
    "counted)";
