// The debug tracer module: its one state record, the statics and the entry points shared by the
// files of the tracer (dispatch, run control, exception stopping, breakpoints, module tracking,
// host utilities).
#ifndef ZARDEL_MODULE_H
#define ZARDEL_MODULE_H

#include <Python.h>
#include <frameobject.h>

#include "copathname.h"
#include "fileops.h"
#include "pyref.h"
#include "zardelhash.h"

// Exception modes, as passed to init() and set_exception_mode().
enum {
  kExcNeverStop = 0,
  kExcAlwaysStop = 1,
  kExcUnhandledStop = 2,
};

// Frame range of start_trace() that covers every frame.
constexpr int kAllFrames = 0xFFFFFF;

// Size of the tracer's path buffers.
constexpr int kPathBufferSize = kFileOpsPathSize;

struct tBp;           // one breakpoint

typedef unsigned char boolean;

// The tracer's whole state: one static record per process (gSelf). Object fields hold owned
// references. The frame fields bot_frame, return_frame and curr_frame hold None when empty;
// stop_frame may also be null, which means "never stop for stepping".
struct tTracerData {
  // Tracing state.
  int initialized;      // tracing was armed since the last init()/reset()
  int tracing;          // the trace hook is installed
  long tracing_thread;  // thread that armed tracing, 0 when off

  // Settings given to init().
  int idle_period;  // seconds between idle callbacks; <= 0 disables them
  int optimize_nobps;
  int use_import_hook;
  int exception_mode;
  int allow_synonyms;

  // The debugger's callbacks.
  PyObject *idle_cb;
  PyObject *line_cb;
  PyObject *return_cb;
  PyObject *exception_cb;
  PyObject *quit_cb;

  // Stepping frames.
  PyObject *bot_frame;
  PyObject *stop_frame;
  PyObject *return_frame;
  PyObject *curr_frame;
  int autoquit;

  // Objects fetched once by init().
  PyObject *trace_module;
  PyObject *trace_function;
  PyObject *sys_module;
  PyObject *sys_settrace;

  // Idle pacing: the clock is read once per idle_instruction_threshold events.
  int idle_instruction_count;
  int idle_instruction_threshold;
  int idle_time_threshold;

  // Exception stopping.
  CUt_HashTable exception_filter;  // line number -> chain of ignored locations
  int exiting_on_exception;

  // Module tracking.
  CUt_HashTable loaded_modules;  // file name -> heap block owned by the table
  // The module files of loaded_modules by identity, so that a name is matched to the loaded
  // module of its file with one lookup: file identity -> canonical name (a loaded_modules
  // value). Canonical names whose file did not exist when recorded wait in
  // unidentified_modules (name -> the same canonical name), looked for again at most once per
  // clock second (unidentified_retry).
  CUt_HashTable loaded_module_ids;
  CUt_HashTable unidentified_modules;
  time_t unidentified_retry;
  tFileOpsData *file_ops_data;
  PyObject *newly_imported_module_files;  // list of full path names
  PyObject *filestring;                   // the string "__file__"
  char codefile[kPathBufferSize];
  char resolve_bp_tmpfile[kPathBufferSize];

  // Breakpoints.
  int next_bp_id;
  tBp *changed_bps;

  // Import hook.
  PyObject *import_hook;
  PyObject *default_import;
  PyObject *import_cb;
  PyObject *import_cb_args;
  boolean import_cb_active;
  int import_level;

  PyObject *orig_exitfunc;  // sys.exitfunc found by init(), restored by destroy()

  CUt_HashTable userbps;  // line number -> breakpoints at that line
  tCOPathnameTable co_pathname_table;

  PyObject *always_stop_excepts;  // tuple of classes or null
  PyObject *never_stop_excepts;   // tuple of classes or null

  // Recursion depth of bot_frame (tstate->recursion_depth while it runs), -1 when unknown or
  // there is no bottom frame: the exception prediction compares it with the depth of a raising
  // frame to tell whether C code lies between the two.
  int bot_depth;

  // Port's bookkeeping: set once init() has built the tables above, so that reset(), destroy()
  // and a repeated init() release only what was really built and taken.
  int state_built;
  // Exit functions the program put into sys.exitfunc over ours before a repeated init() (a list,
  // or null): each still runs at exit, newest first, before orig_exitfunc. atexit, for one,
  // keeps ours among its handlers, and ours then runs the ones recorded before.
  PyObject *later_exitfuncs;
  // The builtins dictionary the import hook was installed in, and the __import__ it replaced:
  // teardown puts that back, and init() given our own hook as its default import uses it.
  PyObject *import_hook_builtins;
  PyObject *replaced_import;
  // Thread state of tracing_thread: the trace functions compare it on every event, which is
  // cheaper than asking for the thread identity.
  PyThreadState *tracing_tstate;
};

extern tTracerData gSelf;
extern PyObject *gModuleSelf;

// Thread identity of the calling thread (the interpreter's own), or 1 when it is unknown.
long get_thread_ident();

// 0 once init() has built the tracer's state; else -1 with RuntimeError set.
int __tracer_check_initialised();

// Address of an exported function of the interpreter, or null.
void *lookup_python_function(const char *name);

// Module methods of this file.
PyObject *_tracer_init(PyObject *self, PyObject *args);
PyObject *_tracer_reset(PyObject *self, PyObject *args);
PyObject *_tracer_destroy(PyObject *self, PyObject *args);
PyObject *_tracer_exitfunc(PyObject *self, PyObject *args);
PyObject *_tracer_set_idle_period(PyObject *self, PyObject *args);
PyObject *_tracer_get_tracing(PyObject *self, PyObject *args);

#endif  // ZARDEL_MODULE_H
