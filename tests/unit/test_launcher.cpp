// The launcher's decisions: path joining, recognising an installation over real folder trees,
// the VORNHOME configuration files, the argument vector of both programs in several character
// sets, the module path and the startup error.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "launcher_logic.h"

using launcher::join;

namespace {

// A temporary folder, removed with everything in it at the end of the test.
class TempTree {
 public:
  TempTree() {
    char pattern[] = "/tmp/launcher_test_XXXXXX";
    root_ = mkdtemp(pattern);
  }
  ~TempTree() { system(("rm -rf '" + root_ + "'").c_str()); }
  const std::string &root() const { return root_; }
  // Creates the file root/rel (and its folders) holding text; returns its path.
  std::string file(const std::string &rel, const std::string &text = "") {
    std::string path = join(root_, rel);
    mkdirs(path.substr(0, path.rfind('/')));
    std::ofstream(path.c_str()) << text;
    return path;
  }
  std::string dir(const std::string &rel) {
    std::string path = join(root_, rel);
    mkdirs(path);
    return path;
  }

 private:
  static void mkdirs(const std::string &path) {
    for (size_t i = 1; i <= path.size(); ++i) {
      if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
    }
  }
  std::string root_;
};

}  // namespace

TEST(LauncherJoin, CasesOfEmptyAbsoluteAndSeparator) {
  EXPECT_EQ(join("/opt/vorn", ""), "/opt/vorn");
  EXPECT_EQ(join("", "bin/vorn.py"), "bin/vorn.py");
  EXPECT_EQ(join("/opt/vorn", "/etc/x"), "/etc/x");
  EXPECT_EQ(join("/opt/vorn", "bin/vorn.py"), "/opt/vorn/bin/vorn.py");
  EXPECT_EQ(join("/opt/vorn/", "bin/vorn.py"), "/opt/vorn/bin/vorn.py");
  EXPECT_EQ(join("/", "etc"), "/etc");
  // A ':' means nothing special on POSIX.
  EXPECT_EQ(join("/opt", "c:x"), "/opt/c:x");
}

TEST(LauncherInstallFolder, ParentOfTheExecutablesFolder) {
  std::string folder;
  ASSERT_TRUE(launcher::install_folder_from_exe("/opt/vorn/bin/vorn", &folder));
  EXPECT_EQ(folder, "/opt/vorn");
  ASSERT_TRUE(launcher::install_folder_from_exe("/a/b/c", &folder));
  EXPECT_EQ(folder, "/a");
  // Both cuts must lie after the first character.
  EXPECT_FALSE(launcher::install_folder_from_exe("/bin/vorn", &folder));
  EXPECT_FALSE(launcher::install_folder_from_exe("vorn", &folder));
  EXPECT_FALSE(launcher::install_folder_from_exe("", &folder));
}

TEST(LauncherInstallFolder, RecognisedByLicenseAndScriptOverRealTrees) {
  TempTree t;
  const std::string d = t.dir("inst");
  EXPECT_FALSE(launcher::is_install_folder(d));
  EXPECT_EQ(launcher::choose_script(d), "");
  t.file("inst/src/vorn.py");
  EXPECT_FALSE(launcher::is_install_folder(d)) << "no LICENSE.txt";
  EXPECT_EQ(launcher::choose_script(d), "src/vorn.py");
  t.file("inst/LICENSE.txt");
  EXPECT_TRUE(launcher::is_install_folder(d));
  t.file("inst/bin/vorn.py");
  EXPECT_EQ(launcher::choose_script(d), "bin/vorn.py") << "bin/ wins over src/";

  // Directories of those names do not count as files.
  const std::string e = t.dir("other");
  t.dir("other/LICENSE.txt");
  t.dir("other/bin/vorn.py");
  EXPECT_FALSE(launcher::is_install_folder(e));
  EXPECT_EQ(launcher::choose_script(e), "");
  t.file("other/src/vorn.py");
  EXPECT_EQ(launcher::choose_script(e), "src/vorn.py");
  EXPECT_FALSE(launcher::is_install_folder(e));
}

TEST(LauncherConfig, CandidatesFollowTheXdgVariables) {
  std::map<std::string, std::string> env;
  auto getenv_fn = [&env](const char *name) -> const char * {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
  const std::string key = "/QUENDRALUX/VUVAZIRUZAD/2.1/INSTALL";
  env["HOME"] = "/home/u";
  EXPECT_EQ(launcher::config_file_candidates(getenv_fn),
            (std::vector<std::string>{"/home/u/.config" + key, "/etc/xdg" + key}));
  env["XDG_CONFIG_HOME"] = "/cfg/";
  env["XDG_CONFIG_DIRS"] = "/m1::/m2";
  EXPECT_EQ(launcher::config_file_candidates(getenv_fn),
            (std::vector<std::string>{"/cfg" + key, "/m1" + key, "/m2" + key}));
  env.clear();
  env["XDG_CONFIG_HOME"] = "";
  env["XDG_CONFIG_DIRS"] = "";
  EXPECT_EQ(launcher::config_file_candidates(getenv_fn),
            (std::vector<std::string>{"/etc/xdg" + key}));
}

TEST(LauncherConfig, UserBeforeMachineTrailingSlashAndOverlongValues) {
  TempTree t;
  const std::string user = join(t.root(), "user/INSTALL");
  const std::string machine = t.file("machine/INSTALL", "# machine\nVORNHOME=/opt/vorn/\n");
  std::string value;
  const std::vector<std::string> files = {user, machine};

  // No user file: the machine's decides, and loses one trailing '/'.
  ASSERT_TRUE(launcher::find_vornhome_in_config(files, &value));
  EXPECT_EQ(launcher::strip_one_trailing_slash(value), "/opt/vorn");
  EXPECT_EQ(launcher::strip_one_trailing_slash("/opt/vorn//"), "/opt/vorn/");
  EXPECT_EQ(launcher::strip_one_trailing_slash("/"), "/");

  // A user file without the setting does not hide the machine's.
  t.file("user/INSTALL", "OTHER=/x\nvornhome=/lower\n");
  ASSERT_TRUE(launcher::find_vornhome_in_config(files, &value));
  EXPECT_EQ(value, "/opt/vorn/");

  // The user's setting wins; the first line of it counts.
  t.file("user/INSTALL", "VORNHOME=/home/u/vorn\r\nVORNHOME=/second\n");
  ASSERT_TRUE(launcher::find_vornhome_in_config(files, &value));
  EXPECT_EQ(value, "/home/u/vorn");

  // The longest value that fits the 2048-byte buffer with its terminator is taken; one byte
  // more is refused and the machine's setting is read instead.
  const std::string longest = "/" + std::string(launcher::kVornhomeBufferSize - 2, 'a');
  t.file("user/INSTALL", "VORNHOME=" + longest + "\n");
  ASSERT_TRUE(launcher::find_vornhome_in_config(files, &value));
  EXPECT_EQ(value, longest);
  t.file("user/INSTALL", "VORNHOME=" + longest + "a\n");
  ASSERT_TRUE(launcher::find_vornhome_in_config(files, &value));
  EXPECT_EQ(value, "/opt/vorn/");

  t.file("machine/INSTALL", "VORNHOME=\n");
  EXPECT_FALSE(launcher::find_vornhome_in_config(files, &value));
  EXPECT_FALSE(launcher::find_vornhome_in_config({}, &value));
}

namespace {

// The argument vector for args under charset, with what verbose mode printed.
struct VectorResult {
  bool ok;
  std::vector<std::string> vector;
  std::string error;
  std::string printed;
};

VectorResult build(const std::vector<std::string> &args, bool verbose,
                   const std::string &charset = "UTF-8", const std::string &home = "/opt/vorn") {
  VectorResult r;
  r.ok = launcher::build_argument_vector(
      args, home + "/bin/vorn.py", home, charset, verbose,
      [&r](const std::string &text) { r.printed += text; }, &r.vector, &r.error);
  return r;
}

}  // namespace

TEST(LauncherArguments, CountsAndOrderOfBothPrograms) {
  const std::vector<std::string> args = {"/opt/vorn/bin/vorn", "debug", "x.py", "--flag"};
  VectorResult quiet = build(args, false);
  ASSERT_TRUE(quiet.ok);
  EXPECT_EQ(quiet.vector, (std::vector<std::string>{
                              "/opt/vorn/bin/vorn", "/opt/vorn/bin/vorn.py", "--utf8-args",
                              "--use-vornhome", "/opt/vorn", "--squelch-output", "debug", "x.py",
                              "--flag"}));
  EXPECT_EQ(quiet.printed, "") << "the graphical launcher prints nothing";

  VectorResult loud = build(args, true);
  ASSERT_TRUE(loud.ok);
  ASSERT_EQ(loud.vector.size(), args.size() + 4);
  EXPECT_EQ(std::vector<std::string>(loud.vector.begin() + 5, loud.vector.end()),
            (std::vector<std::string>{"debug", "x.py", "--flag"}));
  EXPECT_EQ(loud.printed.substr(0, loud.printed.find("argc")),
            "Using wide api\nAnsiToUtf8(\"/opt/vorn\") called\n");
  EXPECT_NE(loud.printed.find("argc = 8\nargv[0] = /opt/vorn/bin/vorn\n"), std::string::npos);
  EXPECT_NE(loud.printed.find("argv[7] = --flag\n"), std::string::npos);

  // No user arguments at all: six and five entries.
  EXPECT_EQ(build({"vorn"}, false).vector.size(), 6u);
  EXPECT_EQ(build({"vorn"}, true).vector.size(), 5u);
}

TEST(LauncherArguments, PassedAsTheirBytesInEveryCharacterSet) {
  // Every argument and the install folder reach the script as given, whatever the locale's
  // character set (an unknown one included); --utf8-args is said only when all of them are
  // UTF-8 text as they stand in that set.
  const std::string latin1 = "caf\xe9", utf8 = "caf\xc3\xa9", broken = "\xc3(\xff\xfe";
  const std::string ascii_home = "/opt/vorn", odd_home = "/opt/v\xe9 a:b";
  struct Case {
    const char *charset;
    std::vector<std::string> user_args;
    std::string home;
    bool utf8_args;
  } cases[] = {
      {"UTF-8", {"debug", utf8, "a b", "x:y"}, ascii_home, true},
      {"UTF-8", {"debug", utf8, latin1}, ascii_home, false},
      {"UTF-8", {utf8}, odd_home, false},
      {"ISO-8859-1", {"debug", "a b", "x:y"}, ascii_home, true},
      {"ISO-8859-1", {latin1}, ascii_home, false},
      {"ISO-8859-1", {utf8}, ascii_home, false},
      {"ISO-8859-1", {"plain"}, odd_home, false},
      {"ANSI_X3.4-1968", {utf8, "x:y"}, ascii_home, true},
      {"ANSI_X3.4-1968", {latin1}, ascii_home, false},
      {"ANSI_X3.4-1968", {broken}, odd_home, false},
      {"NO-SUCH-CHARSET", {"plain", "a b"}, ascii_home, true},
      {"NO-SUCH-CHARSET", {utf8}, ascii_home, false},
      {"NO-SUCH-CHARSET", {}, odd_home, false},
  };
  for (const Case &c : cases) {
    for (bool verbose : {false, true}) {
      std::vector<std::string> args = {"/opt/v\xe9/bin/vorn"};
      args.insert(args.end(), c.user_args.begin(), c.user_args.end());
      VectorResult r = build(args, verbose, c.charset, c.home);
      SCOPED_TRACE(std::string(c.charset) + " verbose " + (verbose ? "1" : "0"));
      ASSERT_TRUE(r.ok) << r.error;
      std::vector<std::string> expected = {args[0], c.home + "/bin/vorn.py"};
      if (c.utf8_args) expected.push_back("--utf8-args");
      expected.push_back("--use-vornhome");
      expected.push_back(c.home);
      if (!verbose) expected.push_back("--squelch-output");
      expected.insert(expected.end(), c.user_args.begin(), c.user_args.end());
      EXPECT_EQ(r.vector, expected);
      if (verbose) {
        EXPECT_EQ(r.printed.substr(0, r.printed.find("argc")),
                  c.utf8_args ? "Using wide api\nAnsiToUtf8(\"" + c.home + "\") called\n"
                              : std::string("Not using wide api\n"));
        EXPECT_NE(r.printed.find("argc = " + std::to_string(expected.size()) + "\n"),
                  std::string::npos);
      }
    }
  }
  EXPECT_FALSE(build({}, true).ok);
}

TEST(LauncherArguments, Utf8AsIsFollowsTheCharacterSet) {
  // Well-formed UTF-8 only; overlong forms, surrogates and values past U+10FFFF are not.
  for (const char *charset : {"UTF-8", "utf8", "ANSI_X3.4-1968"}) {
    EXPECT_TRUE(launcher::is_utf8_as_is("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", charset));
    for (const char *bad : {"\xe9", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xc3"}) {
      EXPECT_FALSE(launcher::is_utf8_as_is(bad, charset)) << charset;
    }
  }
  // In a single-byte set every byte past 127 is a character of its own.
  EXPECT_FALSE(launcher::is_utf8_as_is("caf\xc3\xa9", "ISO-8859-1"));
  EXPECT_TRUE(launcher::is_utf8_as_is("cafe", "ISO-8859-1"));
  EXPECT_TRUE(launcher::is_utf8_as_is("", "NO-SUCH-CHARSET"));
}

TEST(LauncherTexts, PythonPathAndStartupError) {
  EXPECT_EQ(launcher::python_path("/opt/a:b"),
            (std::vector<std::string>{"/opt/a:b/bin/PyCore/lib/python2.7/lib-dynload",
                                      "/opt/a:b/bin/PyCore/lib/python27.zip",
                                      "/opt/a:b/bin/PyCore/lib/python2.7",
                                      "/opt/a:b/bin/PyCore/lib/python2.7/plat-x86_64-linux-gnu"}));
  EXPECT_EQ(launcher::startup_error_text("the vorn.py file is missing"),
            "Vorn IDE Solo could not start because the vorn.py file is missing.  Please report "
            "this error to " + std::string(launcher::kSupportAddress) + ".");
}

// `vorn debug` started directly: the words split as vornrun.py splits them (its
// split_python_option and wants_help), the interpreter it would choose, and the records.
TEST(LauncherDirectDebug, WordsSplitAsTheRuntimeSplitsThem) {
  typedef std::vector<std::string> tWords;
  struct tCase {
    tWords args;
    bool direct;
    bool given;
    std::string python;
    tWords rest;
  } cases[] = {
      {{"prog.py", "--python", "x"}, true, false, "", {"prog.py", "--python", "x"}},
      {{"--python", "/py", "prog.py", "-h"}, true, true, "/py", {"prog.py", "-h"}},
      {{"-c", "--python", "--python=/py", "p"}, true, true, "/py", {"-c", "--python", "p"}},
      {{"--python=", "p"}, false, false, "", {}},
      {{"-c", "c", "--python"}, false, false, "", {}},
      {{"--python", "/a", "--python", "/b", "p"}, true, true, "/a", {"--python", "/b", "p"}},
      {{"--commands", "-h", "p"}, true, false, "", {"--commands", "-h", "p"}},
      {{"--help"}, false, false, "", {}},
      {{"--python", "/py", "-h"}, false, false, "", {}},
      // The value of --python is no option: the runtime takes "-c" for the interpreter.
      {{"--python", "-c", "-h", "p"}, false, false, "", {}},
      {{"--", "--help"}, true, false, "", {"--", "--help"}},
      {{}, true, false, "", {}},
  };
  for (const tCase &c : cases) {
    std::string python;
    bool given = true;
    tWords rest;
    const bool direct = launcher::split_debug_args(c.args, &python, &given, &rest);
    EXPECT_EQ(direct, c.direct) << testing::PrintToString(c.args);
    if (!direct || !c.direct) continue;
    EXPECT_EQ(given, c.given) << testing::PrintToString(c.args);
    if (c.given) {
      EXPECT_EQ(python, c.python);
    }
    EXPECT_EQ(rest, c.rest) << testing::PrintToString(c.args);
  }
}

TEST(LauncherDirectDebug, InterpreterChosenAsTheRuntimeChoosesIt) {
  std::map<std::string, std::string> env;
  auto getenv_fn = [&env](const char *name) -> const char * {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
  std::vector<std::string> executables;
  auto is_executable = [&executables](const std::string &path) {
    return std::find(executables.begin(), executables.end(), path) != executables.end();
  };
  std::string python;
  auto choose = [&](const std::string &requested, bool given) {
    python.clear();
    return launcher::choose_debug_interpreter(requested, given, getenv_fn, is_executable,
                                              &python);
  };
  // By default: the virtualenv's python2.7, else its python, else python2.7 on PATH.
  env["PATH"] = "/usr/local/bin/::/usr/bin";
  executables = {"/usr/bin/python2.7", "./python2.7", "/venv/bin/python"};
  EXPECT_TRUE(choose("", false));
  EXPECT_EQ(python, "./python2.7");   // an empty folder of PATH is the current one
  env["VIRTUAL_ENV"] = "/venv/";
  EXPECT_TRUE(choose("", false));
  EXPECT_EQ(python, "/venv/bin/python");
  executables.push_back("/venv/bin/python2.7");
  EXPECT_TRUE(choose("", false));
  EXPECT_EQ(python, "/venv/bin/python2.7");
  env["VIRTUAL_ENV"] = "";
  env["PATH"] = "/usr/local/bin/:/usr/bin";
  EXPECT_TRUE(choose("", false));
  EXPECT_EQ(python, "/usr/bin/python2.7");
  env.erase("PATH");   // the interpreter's default search path
  EXPECT_TRUE(choose("", false));
  EXPECT_EQ(python, "./python2.7");
  executables = {};
  EXPECT_FALSE(choose("", false));
  // Requested: a path as it is, a name on PATH; none that is not an executable file.
  env["PATH"] = "/opt/py/bin:/usr/bin";
  executables = {"/usr/bin/py", "rel/py"};
  EXPECT_TRUE(choose("py", true));
  EXPECT_EQ(python, "/usr/bin/py");
  EXPECT_TRUE(choose("rel/py", true));
  EXPECT_EQ(python, "rel/py");
  EXPECT_FALSE(choose("/usr/bin/none", true));
  EXPECT_FALSE(choose("none", true));
  EXPECT_FALSE(choose("", true));
}

TEST(LauncherDirectDebug, RecordsAcceptOnlyUnchangedFiles) {
  std::map<std::string, std::string> files = {{"/py", "1:2:3:4:5"},
                                              {"/home/vorn/bin/zardel27.so", "1:9:3:4:5"},
                                              {"/home/vorn/bin/zardel27_d.so", "1:8:3:4:5"},
                                              {"/dbg", "1:7:3:4:5"}};
  auto identity = [&files](const std::string &path) {
    auto it = files.find(path);
    return it == files.end() ? std::string() : it->second;
  };
  const std::string z("\0", 1);
  const std::string home = "/home/vorn";
  const std::string records = "/other" + z + "/py" + z + "0" + z + "1:2:3:4:5" + z + "1:9:3:4:5\n" +
                              "broken line\n" + home + z + "/py" + z + "0" + z + "1:2:3:4:5" + z +
                              "1:9:3:4:5\n" + home + z + "/dbg" + z + "1" + z + "1:7:3:4:5" + z +
                              "1:8:3:4:5";
  EXPECT_TRUE(launcher::accepted_before(records, home, "/py", identity));
  EXPECT_TRUE(launcher::accepted_before(records, home, "/dbg", identity));
  EXPECT_FALSE(launcher::accepted_before(records, home, "/usr/bin/py", identity));
  EXPECT_FALSE(launcher::accepted_before(records, "/home/vorn/", "/py", identity));
  files["/home/vorn/bin/zardel27_d.so"] = "1:8:3:4:6";   // the debug tracer rebuilt
  EXPECT_FALSE(launcher::accepted_before(records, home, "/dbg", identity));
  EXPECT_TRUE(launcher::accepted_before(records, home, "/py", identity));
  files["/py"] = "1:2:3:5:5";   // the interpreter replaced
  EXPECT_FALSE(launcher::accepted_before(records, home, "/py", identity));
  files.erase("/py");
  EXPECT_FALSE(launcher::accepted_before(records, home, "/py", identity));
  EXPECT_FALSE(launcher::accepted_before("", home, "/py", identity));
  EXPECT_EQ(launcher::direct_debug_vector(home, "/py", {"-c", "c", "p.py"}),
            (std::vector<std::string>{"/py", "/home/vorn/bin/vornrun.py", "-c", "c", "p.py"}));
}

TEST(LauncherDirectDebug, SettingsFolderAndFileIdentity) {
  std::map<std::string, std::string> env;
  auto getenv_fn = [&env](const char *name) -> const char * {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
  EXPECT_EQ(launcher::user_config_folder(getenv_fn), "");
  env["HOME"] = "/home/u";
  EXPECT_EQ(launcher::user_config_folder(getenv_fn), "/home/u/.config");
  env["XDG_CONFIG_HOME"] = "relative";
  EXPECT_EQ(launcher::user_config_folder(getenv_fn), "/home/u/.config");
  env["XDG_CONFIG_HOME"] = "/cfg";
  EXPECT_EQ(launcher::user_config_folder(getenv_fn), "/cfg");
  TempTree t;
  const std::string path = t.file("f", "abc");
  const std::string identity = launcher::file_identity(path);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(identity, std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":3:" +
                          std::to_string(st.st_mtime) + ":" + std::to_string(st.st_ctime));
  EXPECT_EQ(launcher::file_identity(join(t.root(), "missing")), "");
}
