// Exception stopping: decides every exception event of the traced thread. The mode and the class
// tuples are tested first; only then is the bytecode read to predict whether an except clause
// will catch the exception. The prediction reads the entry sequence of each active try/except
// handler (a handful of instructions per clause) and creates no objects other than the
// attribute lookups of dotted clause names (`except mod.Error:`).
#include "exceptions.h"

#include <opcode.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <utility>

#include "dispatch.h"
#include "fileops.h"
#include "modules.h"
#include "zardelmodule.h"

// The interpreter-dependent rules of this file, in one place: a build for another interpreter
// changes this table only. Opcode numbers come from the interpreter's own opcode.h.
namespace {
// Opcodes read by the handler analysis.
constexpr int kOpPopTop = POP_TOP;
constexpr int kOpDupTop = DUP_TOP;
constexpr int kOpHaveArgument = HAVE_ARGUMENT;
constexpr int kOpForIter = FOR_ITER;
constexpr int kOpLoadConst = LOAD_CONST;
constexpr int kOpLoadName = LOAD_NAME;
constexpr int kOpBuildTuple = BUILD_TUPLE;
constexpr int kOpLoadAttr = LOAD_ATTR;
constexpr int kOpCompareOp = COMPARE_OP;
constexpr int kOpLoadGlobal = LOAD_GLOBAL;
constexpr int kOpSetupExcept = SETUP_EXCEPT;
constexpr int kOpLoadFast = LOAD_FAST;
constexpr int kOpExtendedArg = EXTENDED_ARG;
constexpr int kCompareExcMatch = PyCmp_EXC_MATCH;
// The jump that ends a typed clause's test, and how its argument is read: 2.7 compiles
// `POP_JUMP_IF_FALSE <absolute offset of the next clause>`, and the next clause starts right
// there (no POP_TOP of the comparison result to consume).
constexpr int kOpClauseJump = POP_JUMP_IF_FALSE;
constexpr bool kClauseJumpAbsolute = true;
constexpr bool kClauseJumpPopsResult = false;
// Line of the library's sre_parse.py whose IndexError ends `for op, av in pattern` loops
// (SubPattern.__getitem__, `return self.data[index]`).
constexpr int kSreParseLine = 145;
constexpr char kSreParseName[] = "sre_parse.py";
// Later rules of the interpreter line: EXTENDED_ARG prefixes exist, `except` classes may be
// instances of subtypes of `type`, and FOR_ITER ends a loop on StopIteration (and, through
// the sequence iterator, on IndexError from __getitem__).
constexpr bool kExtendedArg = true;
constexpr bool kExplicitAcceptsTypeSubtypes = true;
constexpr bool kForLoopRule = true;
// The recursion allowance given to exception_cb while it reports a stack overflow.
constexpr int kRecursionAllowance = 50;
constexpr char kRecursionMessage[] = "maximum recursion depth exceeded";
}  // namespace

// exc_matches --
//   PyErr_GivenExceptionMatches(exc, cls) without its cost in the common case: a class whose
//   metaclass is `type` itself has no __subclasscheck__ of its own, so the subclass test is the
//   type's own, made without calling into Python or allocating. Tuples are searched item by
//   item, as the interpreter does. The caller holds `cls`: any other test may run Python code
//   (a metaclass's __subclasscheck__), which may drop every other reference to it.
static bool exc_matches(PyObject *exc, PyObject *cls) {
  if (exc == cls) return true;
  if (PyTuple_Check(cls)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls); i++) {
      if (exc_matches(exc, PyTuple_GET_ITEM(cls, i))) return true;
    }
    return false;
  }
  if (PyType_Check(exc) && PyType_CheckExact(cls)) {
    return PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(exc),
                            reinterpret_cast<PyTypeObject *>(cls)) != 0;
  }
  return PyErr_GivenExceptionMatches(exc, cls) != 0;
}

// matches_setting --
//   Whether `exc` matches the class tuple held in a field of the state record (null: no). The
//   tuple is held for the whole test: the test may run Python code that replaces the setting
//   (set_never_stop_excepts, reset, destroy or init from a __subclasscheck__).
static bool matches_setting(PyObject *exc, PyObject *field) {
  if (!field) return false;
  PyRef classes = PyRef::borrow(field);
  return exc_matches(exc, classes.get());
}

// A position in a code string and its end; every read is checked against the end.
struct tPycCursor {
  const unsigned char *pos;
  const unsigned char *start;
  const unsigned char *end;
};

// __peek_pyc_op --
//   The opcode at the cursor without moving it, or -1 at the end.
static inline int __peek_pyc_op(const tPycCursor &pyc) {
  return pyc.pos < pyc.end ? *pyc.pos : -1;
}

// __get_next_pyc_op --
//   Reads one instruction and moves past it: the opcode, and its argument in *arg (0 for
//   opcodes without one). EXTENDED_ARG prefixes are folded into the next instruction's
//   argument. An instruction cut off by the end of the code gives -1 and leaves the cursor at
//   the end.
static int __get_next_pyc_op(tPycCursor &pyc, int *arg) {
  uint32_t extended = 0;
  for (;;) {
    if (pyc.pos >= pyc.end) return -1;
    int op = *pyc.pos;
    *arg = 0;
    if (op < kOpHaveArgument) {
      pyc.pos++;
      return op;
    }
    if (pyc.end - pyc.pos < 3) {
      pyc.pos = pyc.end;
      return -1;
    }
    uint32_t value = pyc.pos[1] | (pyc.pos[2] << 8);
    pyc.pos += 3;
    if (kExtendedArg && op == kOpExtendedArg) {
      extended = (extended + value) << 16;
      continue;
    }
    *arg = static_cast<int>(extended + value);
    return op;
  }
}

// get_frame_pyc --
//   The bytecode of the frame's code: true with the cursor's start and end set when co_code is
//   exactly a str, false otherwise (the frame's blocks are then not examined).
static bool get_frame_pyc(PyFrameObject *f, tPycCursor *pyc) {
  PyObject *code = f->f_code->co_code;
  if (!code || !PyString_CheckExact(code)) return false;
  pyc->start = reinterpret_cast<const unsigned char *>(PyString_AS_STRING(code));
  pyc->end = pyc->start + PyString_GET_SIZE(code);
  pyc->pos = pyc->start;
  return true;
}

// tuple_item --
//   Item `i` of `tuple` when it is a tuple that long, else null (borrowed).
static inline PyObject *tuple_item(PyObject *tuple, int i) {
  if (!tuple || !PyTuple_Check(tuple) || i < 0 || i >= PyTuple_GET_SIZE(tuple)) return nullptr;
  return PyTuple_GET_ITEM(tuple, i);
}

// dict_item --
//   `dict[key]` when `dict` is a dict holding the key, else null (borrowed; no error is left).
static inline PyObject *dict_item(PyObject *dict, PyObject *key) {
  if (!dict || !key || !PyDict_Check(dict)) return nullptr;
  return PyDict_GetItem(dict, key);
}

// is_class --
//   Whether `value` is a class for the explicit-only test: a new-style class (an instance of
//   `type` or, where the interpreter allows, of a subtype) or a classic class.
static inline bool is_class(PyObject *value) {
  if (PyClass_Check(value)) return true;
  return kExplicitAcceptsTypeSubtypes ? PyType_Check(value) : PyType_CheckExact(value);
}

// clause_value_matches --
//   Whether one value of a clause's class expression catches `exc`. Normally as the interpreter
//   matches (the class, a base class or a tuple holding one). With `explicit_only` only the class
//   itself counts, alone or in a tuple; values that are neither classes nor tuples give `match`
//   unchanged.
static bool clause_value_matches(PyObject *exc, PyObject *value, int explicit_only, bool match) {
  if (!explicit_only) return exc_matches(exc, value);
  PyObject *exc_type = reinterpret_cast<PyObject *>(Py_TYPE(exc));
  if (is_class(value)) return exc == value || exc_type == value;
  if (PyTuple_Check(value)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); i++) {
      PyObject *item = PyTuple_GET_ITEM(value, i);
      if (item == exc || item == exc_type) return true;
    }
    return false;
  }
  return match;
}

// __process_single_except_clause --
//   Evaluates the class expression of one typed clause (the cursor stands after its DUP_TOP)
//   symbolically: names, constants, fast locals and attributes of them, and tuples of those.
//   When the clause ends as compiled (exception-match comparison and the jump to the next
//   clause) the cursor is left at the next clause and the result says whether the clause
//   catches `exc`. Anything else moves the cursor to the end, which ends the analysis of the
//   try block: a clause that calls a function, for example, counts as not catching.
static bool __process_single_except_clause(PyFrameObject *f, PyObject *exc, tPycCursor &pyc,
                                           int explicit_only) {
  PyCodeObject *co = f->f_code;
  bool match = false;
  PyRef base;  // object whose attribute the next LOAD_ATTR reads
  while (pyc.pos < pyc.end) {
    PyRef value;
    int arg;
    switch (__get_next_pyc_op(pyc, &arg)) {
      case kOpLoadConst:
        if (!match) value = PyRef::borrow(tuple_item(co->co_consts, arg));
        break;
      case kOpLoadName:
        if (!match) {
          PyObject *name = tuple_item(co->co_names, arg);
          PyObject *found = dict_item(f->f_locals, name);
          if (!found) found = dict_item(f->f_globals, name);
          if (!found) found = dict_item(f->f_builtins, name);
          value = PyRef::borrow(found);
        }
        break;
      case kOpLoadGlobal:
        if (!match) {
          PyObject *name = tuple_item(co->co_names, arg);
          PyObject *found = dict_item(f->f_globals, name);
          if (!found) found = dict_item(f->f_builtins, name);
          value = PyRef::borrow(found);
        }
        break;
      case kOpLoadFast:
        // Only slots of named locals; an unbound local gives no value.
        if (!match && tuple_item(co->co_varnames, arg)) {
          value = PyRef::borrow(f->f_localsplus[arg]);
        }
        break;
      case kOpLoadAttr:
        if (!match && base) {
          PyObject *name = tuple_item(co->co_names, arg);
          if (name) {
            value.reset(PyObject_GetAttr(base.get(), name));
            if (!value) PyErr_Clear();
          }
        }
        base.reset();
        break;
      case kOpBuildTuple:
        break;  // its items were tested one by one
      case kOpCompareOp: {
        int jump_arg;
        if (arg != kCompareExcMatch || __get_next_pyc_op(pyc, &jump_arg) != kOpClauseJump) {
          pyc.pos = pyc.end;
          return false;
        }
        const long here = pyc.pos - pyc.start;
        const long next = kClauseJumpAbsolute ? jump_arg : here + jump_arg;
        // The next clause lies further on; anything else is not code this compiler makes.
        if (next <= here || next >= pyc.end - pyc.start) {
          pyc.pos = pyc.end;
          return false;
        }
        pyc.pos = pyc.start + next;
        if (kClauseJumpPopsResult) {
          int unused;
          if (__get_next_pyc_op(pyc, &unused) != kOpPopTop) {
            pyc.pos = pyc.end;
            return false;
          }
        }
        return match;
      }
      default:
        pyc.pos = pyc.end;
        return false;
    }
    if (__peek_pyc_op(pyc) == kOpLoadAttr) {
      base = std::move(value);
    } else if (value) {
      match = clause_value_matches(exc, value.get(), explicit_only, match);
    }
  }
  return false;
}

// __tryblock_handles_exc --
//   Whether one try/except block of `f` catches `exc`: its clauses are read from the handler
//   address on. A bare `except:` catches everything (unless `explicit_only`); the end of the
//   clauses, or any code that is not a clause, means the block lets the exception pass.
static bool __tryblock_handles_exc(PyFrameObject *f, const PyTryBlock &block, PyObject *exc,
                                   const tPycCursor &code, int explicit_only) {
  if (block.b_handler < 0 || block.b_handler >= code.end - code.start) return false;
  tPycCursor pyc = code;
  pyc.pos = code.start + block.b_handler;
  while (pyc.pos < pyc.end) {
    int op = __peek_pyc_op(pyc);
    if (op == kOpPopTop) return !explicit_only;
    if (op != kOpDupTop) return false;
    pyc.pos++;
    if (__process_single_except_clause(f, exc, pyc, explicit_only)) return true;
  }
  return false;
}

// exc_stop_iter_handled --
//   The for-loop rule: a frame whose current instruction is FOR_ITER ends its loop, without an
//   exception, on a StopIteration from the iterator. IndexError ends it only when it comes from
//   a sequence's __getitem__, which the sequence iterator calls: `callee` is the frame the walk
//   came from (null for the event's own frame). An IndexError from any other iterator (a
//   generator, a next() method, a callable iterator) passes through the loop.
static bool exc_stop_iter_handled(PyFrameObject *f, PyFrameObject *callee, PyObject *exc,
                                  const tPycCursor &code) {
  if (f->f_lasti < 0 || f->f_lasti >= code.end - code.start) return false;
  if (code.start[f->f_lasti] != kOpForIter) return false;
  if (exc_matches(exc, PyExc_StopIteration)) return true;
  if (!callee || !exc_matches(exc, PyExc_IndexError)) return false;
  PyObject *name = callee->f_code->co_name;
  return name && PyString_Check(name) && strcmp(PyString_AS_STRING(name), "__getitem__") == 0;
}

bool __tracer_exc_handled(PyFrameObject *f, PyObject *exc, int explicit_only, int leaf_only) {
  bool handled = false;
  PyFrameObject *callee = nullptr;
  for (PyFrameObject *frame = f; frame && !handled; callee = frame, frame = frame->f_back) {
    tPycCursor code;
    if (get_frame_pyc(frame, &code)) {
      for (int i = frame->f_iblock - 1; i >= 0 && !handled; i--) {
        const PyTryBlock &block = frame->f_blockstack[i];
        if (block.b_type == kOpSetupExcept) {
          handled = __tryblock_handles_exc(frame, block, exc, code, explicit_only);
        }
      }
      if (!handled && kForLoopRule) handled = exc_stop_iter_handled(frame, callee, exc, code);
    }
    if (leaf_only || reinterpret_cast<PyObject *>(frame) == gSelf.bot_frame) break;
  }
  return handled;
}

// leaves_debugged_region --
//   Whether an exception at an event in `frame` is about to leave the debugged region: the frame
//   is the bottom frame and no block (loop, try/except, try/finally) encloses the event.
static inline bool leaves_debugged_region(PyFrameObject *frame) {
  return reinterpret_cast<PyObject *>(frame) == gSelf.bot_frame && frame->f_iblock == 0;
}

bool stop_at_exception_no_filters(PyFrameObject *frame, PyObject *exc) {
  if (gSelf.exception_mode == kExcAlwaysStop) {
    // This stop, too, is the last one before the program ends: the debugger is told so.
    if (leaves_debugged_region(frame)) gSelf.exiting_on_exception = 1;
    return true;
  }
  if (matches_setting(exc, gSelf.never_stop_excepts)) return false;
  if (leaves_debugged_region(frame)) {
    // The program will end.
    gSelf.exiting_on_exception = 1;
    return true;
  }
  if (matches_setting(exc, gSelf.always_stop_excepts) && !__tracer_exc_handled(frame, exc, 1, 1)) {
    return true;
  }
  return gSelf.exception_mode == kExcUnhandledStop && !__tracer_exc_handled(frame, exc, 0, 0);
}

// __find_inner_frame --
//   The frame the exception was raised in: the frame of the last traceback entry, or `frame`
//   itself when there is no traceback. Null when `traceback` is neither.
static PyFrameObject *__find_inner_frame(PyFrameObject *frame, PyObject *traceback) {
  if (traceback == Py_None) return frame;
  if (!PyTraceBack_Check(traceback)) return nullptr;
  PyTracebackObject *tb = reinterpret_cast<PyTracebackObject *>(traceback);
  while (tb->tb_next) tb = tb->tb_next;
  return tb->tb_frame;
}

// __tracer_exc_filtered_hack --
//   The built-in ignored location: the library's regular-expression parser ends its loops over
//   a pattern with an IndexError at one line, on every compile.
static bool __tracer_exc_filtered_hack(const char *file, int line) {
  const size_t suffix = sizeof(kSreParseName) - 1;
  size_t len = strlen(file);
  return line == kSreParseLine && len >= suffix && strcmp(file + len - suffix, kSreParseName) == 0;
}

tExcFilter *__tracer_exc_filtered(const char *file, int line) {
  if (!gSelf.state_built) return nullptr;
  CUt_HashEntry *entry = CU_FindHashEntry(&gSelf.exception_filter, &line);
  if (!entry) return nullptr;
  for (tExcFilter *rec = static_cast<tExcFilter *>(CU_GetHashValue(entry)); rec;
       rec = rec->next_exc) {
    if (samefile(gSelf.file_ops_data, rec->file_key, file)) return rec;
  }
  return nullptr;
}

// free_exc_filter --
//   Frees one record and its strings.
static void free_exc_filter(tExcFilter *rec) {
  free(rec->module_filename);
  free(rec->file_key);
  free(rec);
}

// __tracer_add_exc_filter --
//   Ignores (file, line): returns the record already covering it, or a new record put at the
//   head of the line's chain. A compiled file's name (".pyc", ".pyo") stands for its source, as
//   in breakpoints. Null when memory ran out (nothing is left half made).
static tExcFilter *__tracer_add_exc_filter(const char *file, int line) {
  tExcFilter *rec = static_cast<tExcFilter *>(calloc(1, sizeof(tExcFilter)));
  if (!rec) return nullptr;
  rec->file_key = copy_source_name(file);
  tExcFilter *known = rec->file_key ? __tracer_exc_filtered(rec->file_key, line) : nullptr;
  if (known) {
    free_exc_filter(rec);
    return known;
  }
  rec->module_filename = strdup(file);
  rec->lineno = line;
  int is_new;
  CUt_HashEntry *entry = rec->module_filename && rec->file_key
                             ? CU_CreateHashEntry(&gSelf.exception_filter, &line, &is_new)
                             : nullptr;
  if (!entry) {
    free_exc_filter(rec);
    return nullptr;
  }
  rec->next_exc = static_cast<tExcFilter *>(CU_GetHashValue(entry));
  CU_SetHashValue(entry, rec);
  return rec;
}

// __tracer_del_exc_filter --
//   Stops ignoring the first record of `line` whose name is exactly `file` (no same-file test:
//   the debugger removes what it added, under the same name). The line's entry goes with its
//   last record.
static void __tracer_del_exc_filter(const char *file, int line) {
  CUt_HashEntry *entry = CU_FindHashEntry(&gSelf.exception_filter, &line);
  if (!entry) return;
  tExcFilter *head = static_cast<tExcFilter *>(CU_GetHashValue(entry));
  for (tExcFilter **link = &head; *link; link = &(*link)->next_exc) {
    tExcFilter *rec = *link;
    if (strcmp(rec->module_filename, file) != 0) continue;
    *link = rec->next_exc;
    free_exc_filter(rec);
    break;
  }
  if (head) {
    CU_SetHashValue(entry, head);
  } else {
    CU_DeleteHashEntry(entry);
  }
}

void __tracer_free_exc_filters() {
  CUt_HashSearch search;
  for (CUt_HashEntry *entry = CU_FirstHashEntry(&gSelf.exception_filter, &search); entry;
       entry = CU_NextHashEntry(&search)) {
    tExcFilter *rec = static_cast<tExcFilter *>(CU_GetHashValue(entry));
    while (rec) {
      tExcFilter *next = rec->next_exc;
      free_exc_filter(rec);
      rec = next;
    }
    CU_SetHashValue(entry, nullptr);
  }
  CU_DeleteHashTable(&gSelf.exception_filter);
}

void __tracer_clear_exc_filters() {
  __tracer_free_exc_filters();
  CU_InitHashTable(&gSelf.exception_filter, 4);
}

// is_recursion_overflow --
//   Whether the reported exception is the interpreter's own stack overflow: a RuntimeError
//   whose (unnormalised) value is the message string.
static bool is_recursion_overflow(PyObject *exc, PyObject *value) {
  return exc_matches(exc, PyExc_RuntimeError) && PyString_CheckExact(value) &&
         strncmp(PyString_AS_STRING(value), kRecursionMessage, sizeof(kRecursionMessage) - 1) ==
             0;
}

int dispatch_exception(PyFrameObject *frame, PyObject *arg) {
  if (!PyTuple_Check(arg) || PyTuple_GET_SIZE(arg) != 3) return 0;
  PyObject *exc = PyTuple_GET_ITEM(arg, 0);
  // The stepping test comes first: a stepping stop reports the exception whatever the rules say.
  if (!__tracer_stop_here(frame) && !stop_at_exception_no_filters(frame, exc)) return 0;
  PyFrameObject *inner = __find_inner_frame(frame, PyTuple_GET_ITEM(arg, 2));
  if (!inner) return 0;
  const char *file = __tracer_get_full_path(inner);
  int line = PyFrame_GetLineNumber(inner);
  if (file && (__tracer_exc_filtered(file, line) || __tracer_exc_filtered_hack(file, line))) {
    return 0;
  }
  if (!is_recursion_overflow(exc, PyTuple_GET_ITEM(arg, 1))) {
    return do_callback(gSelf.exception_cb, frame, arg);
  }
  // The debugger's own code needs some stack to report a stack overflow at all.
  int limit = Py_GetRecursionLimit();
  Py_SetRecursionLimit(limit + kRecursionAllowance);
  int status = do_callback(gSelf.exception_cb, frame, arg);
  Py_SetRecursionLimit(limit);
  return status;
}

PyObject *_tracer_set_exception_mode(PyObject *, PyObject *args) {
  if (!PyArg_ParseTuple(args, "i:tracer_set_exception_mode", &gSelf.exception_mode)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject *_tracer_get_exception_mode(PyObject *, PyObject *) {
  return PyInt_FromLong(gSelf.exception_mode);
}

PyObject *_tracer_ignore_exception_loc(PyObject *, PyObject *args) {
  const char *file;
  int line, ignore;
  if (!PyArg_ParseTuple(args, "sii:tracer_ignore_exception_loc", &file, &line, &ignore)) {
    return nullptr;
  }
  if (__tracer_check_initialised() < 0) return nullptr;
  if (!ignore) {
    __tracer_del_exc_filter(file, line);
  } else if (!__tracer_add_exc_filter(file, line)) {
    PyErr_SetString(PyExc_MemoryError, "Out of memory");
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject *_tracer_clear_exception_ignores(PyObject *, PyObject *) {
  if (__tracer_check_initialised() < 0) return nullptr;
  __tracer_clear_exc_filters();
  Py_RETURN_NONE;
}

// set_class_tuple --
//   Stores the tuple argument in `field`, or nothing when it is empty.
static PyObject *set_class_tuple(PyObject *&field, PyObject *args, const char *format) {
  PyObject *classes;
  if (!PyArg_ParseTuple(args, format, &PyTuple_Type, &classes)) return nullptr;
  set_owned(field, PyTuple_GET_SIZE(classes) ? classes : nullptr);
  Py_RETURN_NONE;
}

// get_class_tuple --
//   The stored tuple, or a new empty one.
static PyObject *get_class_tuple(PyObject *field, PyObject *args, const char *format) {
  if (!PyArg_ParseTuple(args, format)) return nullptr;
  if (!field) return PyTuple_New(0);
  Py_INCREF(field);
  return field;
}

PyObject *_tracer_set_always_stop_excepts(PyObject *, PyObject *args) {
  return set_class_tuple(gSelf.always_stop_excepts, args, "O!:set_always_stop_excepts");
}

PyObject *_tracer_get_always_stop_excepts(PyObject *, PyObject *args) {
  return get_class_tuple(gSelf.always_stop_excepts, args, ":get_always_stop_excepts");
}

PyObject *_tracer_set_never_stop_excepts(PyObject *, PyObject *args) {
  return set_class_tuple(gSelf.never_stop_excepts, args, "O!:set_never_stop_excepts");
}

PyObject *_tracer_get_never_stop_excepts(PyObject *, PyObject *args) {
  return get_class_tuple(gSelf.never_stop_excepts, args, ":get_never_stop_excepts");
}

const char set_exception_mode_doc[] =
    "Set exception mode to use : One of kExcNeverStop=0 to never stop\n"
    "on exceptions, kExcAlwaysStop=1 to always stop on exceptions,\n"
    "or kExcUnhandledStop=2 to only stop on unhandled exceptions.\n";
const char get_exception_mode_doc[] =
    "Get exception mode in use : One of kExcNeverStop=0 to never stop\n"
    "on exceptions, kExcAlwaysStop=1 to always stop on exceptions,\n"
    "or kExcUnhandledStop=2 to only stop on unhandled exceptions.\n";
const char ignore_exception_loc_doc[] =
    "Ignore/un-ignore future exceptions at given file, lineno (filename must be as given\n"
    "in the reported exception)";
const char clear_exception_ignores_doc[] = "Clear exception ignores list to blank";
const char set_always_stop_excepts_doc[] = "Set the tuple of exception types to always stop on";
const char get_always_stop_excepts_doc[] = "Get the tuple of exception types to always stop on";
const char set_never_stop_excepts_doc[] = "Set the tuple of exception types to never stop on";
const char get_never_stop_excepts_doc[] = "Get the tuple of exception types to never stop on";
