// The launcher: finds the installation, loads the Python runtime shipped in it, isolates it from
// the user's own Python settings and runs the environment's main script with the command line.
// `vorn debug` with an interpreter accepted before skips the runtime and starts the debugger in
// that interpreter itself.
// Built twice from this source: vorn (quiet; a startup error also goes to a desktop dialog) and
// vorn-console (verbose: prints its progress to standard output). The decisions live in
// launcher_logic; this file makes the system calls.
#include <dlfcn.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "launcher_logic.h"

#ifndef VORN_CONSOLE
#define VORN_CONSOLE 0
#endif

namespace {

// Verbose output is the console launcher's; the graphical one stays silent.
const bool gVerbose = VORN_CONSOLE != 0;

// Status of a start that failed before Py_Main ran.
constexpr int kStartFailed = 1;

// verbose_print --
//   Writes text to standard output in verbose mode.
void verbose_print(const std::string &text) {
  if (!gVerbose) return;
  fputs(text.c_str(), stdout);
  fflush(stdout);
}

// find_program --
//   Whether an executable named name is on the PATH.
bool find_program(const char *name) {
  const char *path = getenv("PATH");
  if (!path) return false;
  std::string dirs = path;
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = launcher::join(dirs.substr(start, end - start), name);
    if (end > start && access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// show_dialog --
//   Shows caption and text in a desktop dialog when a display is there and one of the usual
//   dialog programs is installed; waits for the user to close it.
void show_dialog(const std::string &caption, const std::string &text) {
  if (!getenv("DISPLAY") && !getenv("WAYLAND_DISPLAY")) return;
  std::vector<std::string> command;
  if (find_program("zenity")) {
    command = {"zenity", "--error", "--title", caption, "--text", text};
  } else if (find_program("kdialog")) {
    command = {"kdialog", "--title", caption, "--error", text};
  } else if (find_program("xmessage")) {
    command = {"xmessage", "-center", "-title", caption, text};
  } else {
    return;
  }
  std::vector<char *> argv;
  for (std::string &part : command) argv.push_back(&part[0]);
  argv.push_back(nullptr);
  pid_t child = fork();
  if (child == 0) {
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (child > 0) {
    int status;
    waitpid(child, &status, 0);
  }
}

// startup_error --
//   Reports why the start failed: on standard error always, in a dialog from the graphical
//   launcher.
void startup_error(const std::string &reason) {
  const std::string text = launcher::startup_error_text(reason);
  verbose_print(std::string("Displaying MessageBox: ") + launcher::kStartupCaption + " -- " +
                text + "\n");
  fprintf(stderr, "%s\n%s\n", launcher::kStartupCaption, text.c_str());
  fflush(stderr);
  if (!gVerbose) show_dialog(launcher::kStartupCaption, text);
}

// find_install_folder --
//   The parent of the folder holding this program when it is an installation, else the
//   VORNHOME setting of the configuration files; one trailing '/' removed.
bool find_install_folder(std::string *home) {
  char buffer[launcher::kExePathBufferSize];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  std::string folder;
  bool found = false;
  if (n > 0 && static_cast<size_t>(n) < sizeof buffer &&
      launcher::install_folder_from_exe(std::string(buffer, n), &folder)) {
    found = launcher::is_install_folder(folder);
  }
  if (!found) {
    const std::vector<std::string> files = launcher::config_file_candidates(getenv);
    found = launcher::find_vornhome_in_config(files, &folder);
    if (!found) {
      std::string tried;
      for (const std::string &file : files) tried += (tried.empty() ? "" : " or ") + file;
      startup_error("the VORNHOME setting could not be found in " + tried);
      return false;
    }
  }
  *home = launcher::strip_one_trailing_slash(folder);
  verbose_print("VORNHOME IS " + *home + "\n");
  return true;
}

// locale_charset --
//   The character set of the user's locale; the process's own locale is left as it was so the
//   interpreter starts as it always does.
std::string locale_charset() {
  const char *old = setlocale(LC_CTYPE, nullptr);
  std::string saved = old ? old : "C";
  setlocale(LC_CTYPE, "");
  std::string charset = nl_langinfo(CODESET);
  setlocale(LC_CTYPE, saved.c_str());
  return charset;
}

// The runtime's entry points and flags, looked up by name. The object calls set sys.path,
// sys.prefix and sys.exec_prefix from separate byte strings after initialisation.
struct tPythonRuntime {
  int *Py_IgnoreEnvironmentFlag;
  int *Py_OptimizeFlag;
  int *Py_NoSiteFlag;
  int (*Py_Main)(int, char **);
  void (*Py_Initialize)(void);
  void (*Py_SetPythonHome)(char *);
  void *(*PyString_FromStringAndSize)(const char *, ssize_t);
  void *(*PyList_New)(ssize_t);
  int (*PyList_Append)(void *, void *);
  int (*PySys_SetObject)(char *, void *);
  void (*Py_DecRef)(void *);
};

// load_runtime --
//   dlopen of the installation's library, else of the one the loader finds. RTLD_GLOBAL, so the
//   extension modules imported later resolve the interpreter's symbols from it.
bool load_runtime(const std::string &home, tPythonRuntime *rt) {
  const std::string lib = launcher::kPythonLibraryName;
  const std::string local = launcher::join(home, "bin/" + lib);
  void *handle = dlopen(local.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!handle) handle = dlopen(lib.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!handle) {
    startup_error("cannot find " + lib + " in either " + home + "/bin or in the library search path");
    return false;
  }
  struct {
    const char *name;
    void **slot;
  } entries[] = {
      {"Py_IgnoreEnvironmentFlag", reinterpret_cast<void **>(&rt->Py_IgnoreEnvironmentFlag)},
      {"Py_OptimizeFlag", reinterpret_cast<void **>(&rt->Py_OptimizeFlag)},
      {"Py_NoSiteFlag", reinterpret_cast<void **>(&rt->Py_NoSiteFlag)},
      {"Py_Main", reinterpret_cast<void **>(&rt->Py_Main)},
      {"Py_Initialize", reinterpret_cast<void **>(&rt->Py_Initialize)},
      {"Py_SetPythonHome", reinterpret_cast<void **>(&rt->Py_SetPythonHome)},
      {"PyString_FromStringAndSize",
       reinterpret_cast<void **>(&rt->PyString_FromStringAndSize)},
      {"PyList_New", reinterpret_cast<void **>(&rt->PyList_New)},
      {"PyList_Append", reinterpret_cast<void **>(&rt->PyList_Append)},
      {"PySys_SetObject", reinterpret_cast<void **>(&rt->PySys_SetObject)},
      {"Py_DecRef", reinterpret_cast<void **>(&rt->Py_DecRef)},
  };
  for (auto &entry : entries) {
    *entry.slot = dlsym(handle, entry.name);
    if (!*entry.slot) {
      startup_error(std::string("cannot find ") + entry.name + " in " + lib);
      return false;
    }
  }
  return true;
}

// interpreter_home --
//   The name the interpreter is started with for the Python home python_home. The interpreter
//   reads a ':' in its home as the separator of prefix and exec_prefix and builds its first
//   module path as a ':'-separated string, so a home whose name holds ':' would not even find
//   site. Such a home is given by a name of the same folder without ':': /proc/self/fd/N of the
//   folder opened here. The descriptor stays open for the life of the process, since the
//   modules imported while the interpreter starts keep names under it.
bool interpreter_home(const std::string &python_home, std::string *name) {
  if (python_home.find(':') == std::string::npos) {
    *name = python_home;
    return true;
  }
  const int fd = open(python_home.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  const std::string alias = fd < 0 ? std::string() : "/proc/self/fd/" + std::to_string(fd);
  struct stat st;
  if (fd < 0 || stat(alias.c_str(), &st) != 0) {
    if (fd >= 0) close(fd);
    startup_error("the Python home " + python_home +
                  " has a ':' in its name and cannot be opened as /proc/self/fd/N");
    return false;
  }
  verbose_print("Python home " + python_home + " starts as " + alias + "\n");
  *name = alias;
  return true;
}

// A reference owned by the launcher, released through the runtime's Py_DecRef.
class tOwned {
 public:
  tOwned(const tPythonRuntime &rt, void *object) : rt_(rt), object_(object) {}
  ~tOwned() { rt_.Py_DecRef(object_); }
  tOwned(const tOwned &) = delete;
  tOwned &operator=(const tOwned &) = delete;
  void *get() const { return object_; }

 private:
  const tPythonRuntime &rt_;
  void *object_;
};

// set_sys --
//   sys.<name> = object; the reference stays the caller's.
bool set_sys(const tPythonRuntime &rt, const char *name, void *object) {
  return rt.PySys_SetObject(const_cast<char *>(name), object) == 0;
}

// set_sys_folders --
//   sys.path from its entries, one string each, so no folder name is split at a ':'; and
//   sys.prefix and sys.exec_prefix as the real name of the Python home, whatever name the
//   interpreter was started with.
bool set_sys_folders(const tPythonRuntime &rt, const std::vector<std::string> &path,
                     const std::string &python_home) {
  tOwned list(rt, rt.PyList_New(0));
  if (!list.get()) return false;
  for (const std::string &entry : path) {
    tOwned item(rt, rt.PyString_FromStringAndSize(entry.data(), entry.size()));
    if (!item.get() || rt.PyList_Append(list.get(), item.get()) != 0) return false;
  }
  tOwned prefix(rt, rt.PyString_FromStringAndSize(python_home.data(), python_home.size()));
  return prefix.get() && set_sys(rt, "path", list.get()) && set_sys(rt, "prefix", prefix.get()) &&
         set_sys(rt, "exec_prefix", prefix.get());
}

// is_executable_file --
//   A regular file (after links) that may be executed, as os.path.isfile and os.access see it.
bool is_executable_file(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// read_file --
//   The whole file at path; false when it cannot be read.
bool read_file(const std::string &path, std::string *text) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return false;
  char buffer[4096];
  size_t n;
  text->clear();
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text->append(buffer, n);
  const bool ok = !ferror(f);
  fclose(f);
  return ok;
}

// start_debugger_directly --
//   `vorn debug WORDS` with an interpreter the installation's runtime accepted before (see
//   launcher_logic.h): this process becomes that interpreter running the debugger, with the
//   environment it received, as the runtime would have made it. Returns when that does not
//   apply or the exec failed; the runtime then starts and decides.
void start_debugger_directly(const std::string &home, int argc, char **argv) {
  const std::vector<std::string> words(argv + 2, argv + argc);
  std::string requested, python;
  bool given;
  std::vector<std::string> rest;
  if (!launcher::split_debug_args(words, &requested, &given, &rest) ||
      !launcher::choose_debug_interpreter(requested, given, getenv, is_executable_file,
                                          &python)) {
    return;
  }
  const std::string folder = launcher::user_config_folder(getenv);
  std::string records;
  if (folder.empty() ||
      !read_file(launcher::join(folder, launcher::kDebugRecordsPath), &records) ||
      !launcher::accepted_before(records, home, python, launcher::file_identity)) {
    return;
  }
  std::vector<std::string> vector = launcher::direct_debug_vector(home, python, rest);
  verbose_print("debug: " + python + " was accepted before; starting it directly\n");
  std::vector<char *> exec_argv;
  for (std::string &arg : vector) exec_argv.push_back(&arg[0]);
  exec_argv.push_back(nullptr);
  fflush(stdout);
  execv(python.c_str(), exec_argv.data());
}

}  // namespace

// main --
//   Install folder, script, argument vector, runtime, flags and home, the module path and
//   prefixes once the interpreter is initialised, then Py_Main. Exits with Py_Main's status, or
//   1 when Python could not be started.
int main(int argc, char **argv) {
  std::string home;
  if (!find_install_folder(&home)) return kStartFailed;

  if (argc > 1 && strcmp(argv[1], "debug") == 0) start_debugger_directly(home, argc, argv);

  const std::string script = launcher::choose_script(home);
  if (script.empty()) {
    startup_error("the vorn.py file is missing");
    return kStartFailed;
  }
  const std::string script_path = launcher::join(home, script);
  verbose_print("script_name = " + script_path + "\n");

  std::vector<std::string> vector;
  std::string error;
  if (!launcher::build_argument_vector(std::vector<std::string>(argv, argv + argc), script_path,
                                       home, locale_charset(), gVerbose, verbose_print, &vector,
                                       &error)) {
    startup_error(error);
    return kStartFailed;
  }

  tPythonRuntime rt;
  if (!load_runtime(home, &rt)) return kStartFailed;

  // Kept alive for the rest of the process: the interpreter holds on to the home.
  const std::string python_home = launcher::join(home, "bin/PyCore");
  static std::string started_home;
  if (!interpreter_home(python_home, &started_home)) return kStartFailed;

  *rt.Py_OptimizeFlag = 1;
  *rt.Py_IgnoreEnvironmentFlag = 1;
  *rt.Py_NoSiteFlag = 0;
  rt.Py_SetPythonHome(&started_home[0]);
  rt.Py_Initialize();
  if (!set_sys_folders(rt, launcher::python_path(home), python_home)) {
    startup_error("cannot set the module path");
    return kStartFailed;
  }

  std::vector<char *> py_argv;
  for (std::string &arg : vector) py_argv.push_back(&arg[0]);
  py_argv.push_back(nullptr);
  fflush(stdout);
  return rt.Py_Main(static_cast<int>(vector.size()), py_argv.data());
}
