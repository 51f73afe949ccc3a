// The launcher's decisions, kept apart from the system calls that feed them so they can be tested
// without starting a process: path joining, recognising an installation, reading the VORNHOME
// setting, telling whether arguments are UTF-8 text, building Py_Main's argument vector and the
// startup error text. Nothing here touches the interpreter.
#ifndef VORN_LAUNCHER_LOGIC_H
#define VORN_LAUNCHER_LOGIC_H

#include <functional>
#include <string>
#include <vector>

namespace launcher {

// Caption of every startup error; the text starts with it as well.
extern const char kStartupCaption[];
// Where users report a failed start.
extern const char kSupportAddress[];
// The setting's path below a configuration folder, the stand-in for the registry key.
extern const char kConfigKeyPath[];
// The name of the setting inside that file.
extern const char kVornhomeValueName[];
// Size of the buffer the setting is read into, terminator included (as the registry's was).
constexpr size_t kVornhomeBufferSize = 2048;
// Size of the buffer the program's own path is read into.
constexpr size_t kExePathBufferSize = 4000;
// The runtime library looked for in the installation's bin folder, then by the loader's search.
extern const char kPythonLibraryName[];

// Where output of the verbose mode goes; the launcher writes it to standard output.
typedef std::function<void(const std::string &)> tVerboseSink;

// dir and rel joined by one '/': a copy of dir when rel is empty, of rel when dir is empty or
// rel is absolute; no '/' is added when dir already ends in one.
std::string join(const std::string &dir, const std::string &rel);

// The parent of the folder holding the executable at exe_path: the path cut at its last two '/'.
// Both must lie after the first character; returns false otherwise.
bool install_folder_from_exe(const std::string &exe_path, std::string *folder);

// Whether path names an existing file that is not a directory.
bool is_existing_file(const std::string &path);

// Whether folder looks like an installation: LICENSE.txt and bin/vorn.py or src/vorn.py in it.
bool is_install_folder(const std::string &folder);

// The script to run, relative to the installation: bin/vorn.py when it exists, else src/vorn.py;
// empty when neither does.
std::string choose_script(const std::string &folder);

// Looks up an environment variable; returns null when it is not set.
typedef std::function<const char *(const char *)> tGetenv;

// The configuration files that may hold VORNHOME, in the order they are read: the user's file
// under $XDG_CONFIG_HOME (default $HOME/.config), then one under each folder of $XDG_CONFIG_DIRS
// (default /etc/xdg).
std::vector<std::string> config_file_candidates(const tGetenv &getenv_fn);

// Reads the first "VORNHOME=<path>" line of the file at path into value. Fails when the file
// cannot be read, has no such line, or the value does not fit the setting's buffer.
bool read_vornhome_file(const std::string &path, std::string *value);

// The install folder from the configuration files, the first that has the setting; false when
// none has it.
bool find_vornhome_in_config(const std::vector<std::string> &files, std::string *value);

// Removes one trailing '/' (a lone "/" stays as it is).
std::string strip_one_trailing_slash(const std::string &path);

// Converts text from the character set charset to UTF-8. Text already in UTF-8 (charset "UTF-8")
// is copied. Under the C locale's ASCII set, text that is valid UTF-8 is passed on unchanged,
// since it has no other meaning there. Returns false when the text cannot be converted.
bool to_utf8(const std::string &text, const std::string &charset, std::string *out);

// Whether text, read in the character set charset, is UTF-8 text as it stands: well-formed UTF-8
// that converting from charset leaves unchanged. Plain 7-bit ASCII always is.
bool is_utf8_as_is(const std::string &text, const std::string &charset);

// Builds Py_Main's argument vector: the program name, the script, --use-vornhome and the install
// folder, --squelch-output unless verbose, then the user's arguments, every one as the bytes it
// is. When the install folder and every argument are UTF-8 text as they stand (is_utf8_as_is),
// --utf8-args comes before --use-vornhome to say so. Fails, with the reason (a startup error
// text) in error, only when args is empty. Prints the vector when verbose.
bool build_argument_vector(const std::vector<std::string> &args, const std::string &script_path,
                           const std::string &home, const std::string &charset, bool verbose,
                           const tVerboseSink &verbose_out, std::vector<std::string> *vector,
                           std::string *error);

// The module search path: lib-dynload, the zip, the library and its platform folder under
// <home>/bin/PyCore, in that order. Entries, not a ':'-joined string: a folder name may hold ':'.
std::vector<std::string> python_path(const std::string &home);

// The text of a startup error for reason: the caption, " because ", the reason and where to
// report it.
std::string startup_error_text(const std::string &reason);

// `vorn debug` started without the installation's runtime. The runtime's vornrun.py picks the
// user's interpreter, asks it in a child what it is and, when it can load the tracer, records
// that (the records file) before it hands the process over to it. The launcher repeats the pick
// and, when the records say the same interpreter file was accepted with the same tracer file,
// starts the debugger in it at once. Anything else goes through the runtime, which explains.

// The records' file below the user's settings folder.
extern const char kDebugRecordsPath[];

// The user's settings folder: $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config;
// empty when neither is known.
std::string user_config_folder(const tGetenv &getenv_fn);

// The words of `vorn debug` split as vornrun.py splits them: the --python value (given says
// whether there was one) and the other words. False when the words ask for help (-h, --help
// among the options before the program) or --python lacks its value.
bool split_debug_args(const std::vector<std::string> &args, std::string *python, bool *given,
                      std::vector<std::string> *rest);

// Whether path names an executable file (not a directory).
typedef std::function<bool(const std::string &)> tIsExecutable;

// The interpreter vornrun.py chooses: the requested one (a path when it holds '/', else the
// first executable of that name on $PATH), else $VIRTUAL_ENV/bin/python2.7 or .../python, else
// python2.7 on $PATH. False when that finds no executable file.
bool choose_debug_interpreter(const std::string &requested, bool given, const tGetenv &getenv_fn,
                              const tIsExecutable &is_executable, std::string *python);

// A file's identity as the records keep it: "device:inode:size:mtime:ctime" (whole seconds), or
// empty when the file cannot be looked at.
std::string file_identity(const std::string &path);

// The tracer file an interpreter of the kind (debug or release) loads from the installation.
std::string tracer_path(const std::string &home, bool debug);

// Whether `records` (the records file's text: one record per line, its fields the installation
// folder, the interpreter as chosen, "1" for a debug interpreter, the interpreter file's
// identity and the tracer file's, separated by NUL bytes) accepts the interpreter `python` for
// the installation `home` with the files as `identity` finds them now.
bool accepted_before(const std::string &records, const std::string &home,
                     const std::string &python,
                     const std::function<std::string(const std::string &)> &identity);

// The argument vector that starts the debugger in the interpreter: the interpreter, the
// installation's bin/vornrun.py, then the words.
std::vector<std::string> direct_debug_vector(const std::string &home, const std::string &python,
                                             const std::vector<std::string> &rest);

}  // namespace launcher

#endif  // VORN_LAUNCHER_LOGIC_H
