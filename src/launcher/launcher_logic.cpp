// The launcher's decisions; see launcher_logic.h. Only file reads, stat and iconv are used here,
// so the unit tests can run every function over temporary folders.
#include "launcher_logic.h"

#include <errno.h>
#include <iconv.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>

namespace launcher {

const char kStartupCaption[] = "Vorn IDE Solo could not start";
const char kSupportAddress[] = "support@vorn-ide.example";
const char kConfigKeyPath[] = "QUENDRALUX/VUVAZIRUZAD/2.1/INSTALL";
const char kVornhomeValueName[] = "VORNHOME";
const char kPythonLibraryName[] = "libpython2.7.so.1.0";
const char kDebugRecordsPath[] = "QUENDRALUX/VUVAZIRUZAD/2.1/debug-interpreters";

// join --
//   dir and rel joined by one '/'; rel wins when it is absolute or dir is empty.
std::string join(const std::string &dir, const std::string &rel) {
  if (rel.empty()) return dir;
  if (dir.empty() || rel[0] == '/') return rel;
  if (dir.back() == '/') return dir + rel;
  return dir + "/" + rel;
}

// install_folder_from_exe --
//   Cuts the executable's path at its last two '/', which must both lie after the first
//   character: "/opt/vorn/bin/vorn" gives "/opt/vorn".
bool install_folder_from_exe(const std::string &exe_path, std::string *folder) {
  size_t last = exe_path.rfind('/');
  if (last == std::string::npos || last == 0) return false;
  size_t parent = exe_path.rfind('/', last - 1);
  if (parent == std::string::npos || parent == 0) return false;
  *folder = exe_path.substr(0, parent);
  return true;
}

// is_existing_file --
//   True when stat finds an entry at path that is not a directory.
bool is_existing_file(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// is_install_folder --
//   LICENSE.txt only serves to recognise an installation; a main script must be there too.
bool is_install_folder(const std::string &folder) {
  return is_existing_file(join(folder, "LICENSE.txt")) && !choose_script(folder).empty();
}

// choose_script --
//   bin/vorn.py wins over src/vorn.py.
std::string choose_script(const std::string &folder) {
  if (is_existing_file(join(folder, "bin/vorn.py"))) return "bin/vorn.py";
  if (is_existing_file(join(folder, "src/vorn.py"))) return "src/vorn.py";
  return std::string();
}

// config_file_candidates --
//   The user's file first, then the machine's, as the registry was read user before machine.
//   Empty variables count as unset, as the XDG rules say.
std::vector<std::string> config_file_candidates(const tGetenv &getenv_fn) {
  std::vector<std::string> files;
  const char *config_home = getenv_fn("XDG_CONFIG_HOME");
  if (config_home && *config_home) {
    files.push_back(join(config_home, kConfigKeyPath));
  } else {
    const char *home = getenv_fn("HOME");
    if (home && *home) files.push_back(join(join(home, ".config"), kConfigKeyPath));
  }
  const char *config_dirs = getenv_fn("XDG_CONFIG_DIRS");
  std::string dirs = (config_dirs && *config_dirs) ? config_dirs : "/etc/xdg";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    if (end > start) files.push_back(join(dirs.substr(start, end - start), kConfigKeyPath));
    start = end + 1;
  }
  return files;
}

// read_vornhome_file --
//   The first "VORNHOME=" line decides. A value that would not fit the setting's buffer with its
//   terminator is refused, as the registry read refused it, rather than cut.
bool read_vornhome_file(const std::string &path, std::string *value) {
  std::ifstream in(path.c_str());
  if (!in) return false;
  const std::string prefix = std::string(kVornhomeValueName) + "=";
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    std::string found = line.substr(prefix.size());
    if (found.empty() || found.size() >= kVornhomeBufferSize) return false;
    *value = found;
    return true;
  }
  return false;
}

// find_vornhome_in_config --
//   The first file that has the setting gives the install folder.
bool find_vornhome_in_config(const std::vector<std::string> &files, std::string *value) {
  for (const std::string &file : files) {
    if (read_vornhome_file(file, value)) return true;
  }
  return false;
}

// strip_one_trailing_slash --
//   "/opt/vorn/" becomes "/opt/vorn"; only one '/' goes.
std::string strip_one_trailing_slash(const std::string &path) {
  if (path.size() > 1 && path.back() == '/') return path.substr(0, path.size() - 1);
  return path;
}

// is_7bit_ascii --
//   True when every byte of text is below 128.
static bool is_7bit_ascii(const std::string &text) {
  for (unsigned char c : text) {
    if (c >= 128) return false;
  }
  return true;
}

// is_valid_utf8 --
//   True when text is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
static bool is_valid_utf8(const std::string &text) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
  const unsigned char *end = p + text.size();
  while (p < end) {
    unsigned c = *p++;
    int more;
    unsigned min;
    if (c < 0x80) continue;
    if (c >= 0xC2 && c <= 0xDF) { more = 1; min = 0x80; c &= 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { more = 2; min = 0x800; c &= 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { more = 3; min = 0x10000; c &= 0x07; }
    else return false;
    if (end - p < more) return false;
    for (int i = 0; i < more; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      c = (c << 6) | (p[i] & 0x3F);
    }
    p += more;
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  }
  return true;
}

// is_utf8_charset --
//   The locale's character set is already UTF-8.
static bool is_utf8_charset(const std::string &charset) {
  return strcasecmp(charset.c_str(), "UTF-8") == 0 || strcasecmp(charset.c_str(), "UTF8") == 0;
}

// is_ascii_charset --
//   The C locale's character set, under which bytes past 127 have no meaning of their own.
static bool is_ascii_charset(const std::string &charset) {
  return charset == "ANSI_X3.4-1968" || strcasecmp(charset.c_str(), "ASCII") == 0 ||
         strcasecmp(charset.c_str(), "US-ASCII") == 0;
}

// to_utf8 --
//   iconv from charset to UTF-8, the whole text at once; any invalid or incomplete sequence
//   fails the conversion.
bool to_utf8(const std::string &text, const std::string &charset, std::string *out) {
  if (is_utf8_charset(charset)) {
    *out = text;
    return true;
  }
  if (is_ascii_charset(charset) && is_valid_utf8(text)) {
    *out = text;
    return true;
  }
  iconv_t cd = iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string result;
  std::vector<char> input(text.begin(), text.end());
  char *in = input.data();
  size_t in_left = input.size();
  char buffer[256];
  bool ok = true;
  while (in_left > 0) {
    char *o = buffer;
    size_t out_left = sizeof buffer;
    size_t rc = iconv(cd, &in, &in_left, &o, &out_left);
    result.append(buffer, o - buffer);
    if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
      ok = false;
      break;
    }
  }
  iconv_close(cd);
  if (ok) *out = result;
  return ok;
}

// is_utf8_as_is --
//   True when passing text on unchanged is passing it on as UTF-8. ASCII is checked first so an
//   unknown character set still lets plain ASCII through.
bool is_utf8_as_is(const std::string &text, const std::string &charset) {
  if (is_7bit_ascii(text)) return true;
  std::string converted;
  return is_valid_utf8(text) && to_utf8(text, charset, &converted) && converted == text;
}

// build_argument_vector --
//   args holds the process's own arguments, args[0] the program name. Arguments are bytes on
//   POSIX and the interpreter passes them to the script as bytes, so they go on unchanged: the
//   script's sys.argv holds what python2.7 itself would give it, in any locale, and a file name
//   given in a Latin-1 locale names that file. --utf8-args is only a statement about them, made
//   when it is true. The vector holds args.size() + 4 entries with it and args.size() + 3 without,
//   one more when not verbose.
bool build_argument_vector(const std::vector<std::string> &args, const std::string &script_path,
                           const std::string &home, const std::string &charset, bool verbose,
                           const tVerboseSink &verbose_out, std::vector<std::string> *vector,
                           std::string *error) {
  const tVerboseSink say = verbose ? verbose_out : tVerboseSink();
  vector->clear();
  if (args.empty()) {
    *error = "cannot parse the command line: wide arg count != argc";
    return false;
  }
  bool utf8 = is_utf8_as_is(home, charset);
  for (size_t i = 1; utf8 && i < args.size(); ++i) utf8 = is_utf8_as_is(args[i], charset);
  if (say) say(utf8 ? "Using wide api\n" : "Not using wide api\n");
  if (say && utf8) say("AnsiToUtf8(\"" + home + "\") called\n");

  std::vector<std::string> result;
  result.push_back(args[0]);
  result.push_back(script_path);
  if (utf8) result.push_back("--utf8-args");
  result.push_back("--use-vornhome");
  result.push_back(home);
  if (!verbose) result.push_back("--squelch-output");
  result.insert(result.end(), args.begin() + 1, args.end());
  if (say) {
    say("argc = " + std::to_string(result.size()) + "\n");
    for (size_t i = 0; i < result.size(); ++i) {
      say("argv[" + std::to_string(i) + "] = " + result[i] + "\n");
    }
  }
  *vector = result;
  return true;
}

// python_path --
//   The analogues of the Windows layout's DLLs, zip, lib and plat-win folders, in that order.
std::vector<std::string> python_path(const std::string &home) {
  const std::string core = join(home, "bin/PyCore/lib");
  return {join(core, "python2.7/lib-dynload"), join(core, "python27.zip"),
          join(core, "python2.7"), join(core, "python2.7/plat-x86_64-linux-gnu")};
}

// startup_error_text --
//   Caption, reason and the support address, in the one sentence users see.
std::string startup_error_text(const std::string &reason) {
  return std::string(kStartupCaption) + " because " + reason + ".  Please report this error to " +
         kSupportAddress + ".";
}

// user_config_folder --
//   A relative $XDG_CONFIG_HOME is ignored, as the XDG rules say.
std::string user_config_folder(const tGetenv &getenv_fn) {
  const char *config_home = getenv_fn("XDG_CONFIG_HOME");
  if (config_home && config_home[0] == '/') return config_home;
  const char *home = getenv_fn("HOME");
  if (home && *home) return join(home, ".config");
  return std::string();
}

// option_positions --
//   The positions of the option words before the program: each starts with '-', until "--";
//   the values of --commands and -c are skipped.
static std::vector<size_t> option_positions(const std::vector<std::string> &args) {
  std::vector<size_t> positions;
  size_t i = 0;
  while (i < args.size() && args[i] != "--" && !args[i].empty() && args[i][0] == '-') {
    positions.push_back(i);
    i += (args[i] == "--commands" || args[i] == "-c") ? 2 : 1;
  }
  return positions;
}

// split_debug_args --
//   The first --python VALUE or --python=VALUE among the options counts; help is looked for
//   among the options of the words left.
bool split_debug_args(const std::vector<std::string> &args, std::string *python, bool *given,
                      std::vector<std::string> *rest) {
  *given = false;
  size_t found = args.size(), width = 0;
  for (size_t i : option_positions(args)) {
    const std::string &word = args[i];
    if (word == "--python=" || (word == "--python" && i + 1 == args.size())) return false;
    if (word == "--python") {
      *python = args[i + 1];
      found = i, width = 2;
    } else if (word.compare(0, 9, "--python=") == 0) {
      *python = word.substr(9);
      found = i, width = 1;
    } else {
      continue;
    }
    *given = true;
    break;
  }
  rest->clear();
  for (size_t i = 0; i < args.size(); i++) {
    if (i < found || i >= found + width) rest->push_back(args[i]);
  }
  for (size_t i : option_positions(*rest)) {
    if ((*rest)[i] == "-h" || (*rest)[i] == "--help") return false;
  }
  return true;
}

// on_path --
//   The first executable file called name in the folders of $PATH (the interpreter's default
//   search path when it is unset; an empty folder is the current one), joined as os.path.join
//   joins them; empty when there is none.
static std::string on_path(const std::string &name, const tGetenv &getenv_fn,
                           const tIsExecutable &is_executable) {
  const char *path = getenv_fn("PATH");
  const std::string dirs = path ? path : ":/bin:/usr/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string folder = dirs.substr(start, end - start);
    const std::string candidate = join(folder.empty() ? "." : folder, name);
    if (is_executable(candidate)) return candidate;
    start = end + 1;
  }
  return std::string();
}

bool choose_debug_interpreter(const std::string &requested, bool given, const tGetenv &getenv_fn,
                              const tIsExecutable &is_executable, std::string *python) {
  if (given) {
    *python = requested.find('/') != std::string::npos
                  ? requested
                  : on_path(requested, getenv_fn, is_executable);
    return !python->empty() && is_executable(*python);
  }
  const char *venv = getenv_fn("VIRTUAL_ENV");
  if (venv && *venv) {
    for (const char *name : {"python2.7", "python"}) {
      *python = join(join(venv, "bin"), name);
      if (is_executable(*python)) return true;
    }
  }
  *python = on_path("python2.7", getenv_fn, is_executable);
  return !python->empty();
}

std::string file_identity(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::string();
  return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
         std::to_string(static_cast<unsigned long long>(st.st_ino)) + ":" +
         std::to_string(static_cast<long long>(st.st_size)) + ":" +
         std::to_string(static_cast<long long>(st.st_mtime)) + ":" +
         std::to_string(static_cast<long long>(st.st_ctime));
}

std::string tracer_path(const std::string &home, bool debug) {
  return join(home, debug ? "bin/zardel27_d.so" : "bin/zardel27.so");
}

bool accepted_before(const std::string &records, const std::string &home,
                     const std::string &python,
                     const std::function<std::string(const std::string &)> &identity) {
  size_t start = 0;
  while (start < records.size()) {
    size_t end = records.find('\n', start);
    if (end == std::string::npos) end = records.size();
    std::vector<std::string> fields;
    size_t field = start;
    while (true) {
      size_t stop = records.find('\0', field);
      if (stop == std::string::npos || stop > end) stop = end;
      fields.push_back(records.substr(field, stop - field));
      if (stop == end) break;
      field = stop + 1;
    }
    start = end + 1;
    if (fields.size() != 5 || fields[0] != home || fields[1] != python) continue;
    if (fields[2] != "0" && fields[2] != "1") continue;
    const std::string tracer = tracer_path(home, fields[2] == "1");
    const std::string python_now = identity(python), tracer_now = identity(tracer);
    return !python_now.empty() && python_now == fields[3] && !tracer_now.empty() &&
           tracer_now == fields[4];
  }
  return false;
}

std::vector<std::string> direct_debug_vector(const std::string &home, const std::string &python,
                                             const std::vector<std::string> &rest) {
  std::vector<std::string> vector = {python, join(home, "bin/vornrun.py")};
  vector.insert(vector.end(), rest.begin(), rest.end());
  return vector;
}

}  // namespace launcher
