// Tests of the tracer's file identity on real files in temporary folders: absolute names against
// realpath() as an oracle, the path limits, same-file tests through links and compiled files,
// and the expiry of not-found marks (on a test clock).

#include "fileops.h"

#include <ftw.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

int RemoveOne(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }

// A fresh temporary folder (its real name, no links in it) that is the current directory for
// the test; the previous directory is restored and the folder removed afterwards.
class FileOps : public ::testing::Test {
 protected:
  void SetUp() override {
    char old[PATH_MAX];
    ASSERT_NE(getcwd(old, sizeof(old)), nullptr);
    oldCwd = old;
    char pattern[] = "/tmp/fileops-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    char real[PATH_MAX];
    ASSERT_NE(realpath(pattern, real), nullptr);
    dir = real;
    ASSERT_EQ(chdir(dir.c_str()), 0);
    ops = create_file_ops_data();
    ASSERT_NE(ops, nullptr);
  }
  void TearDown() override {
    destroy_file_ops_data(ops);
    fileops_set_clock_for_testing(nullptr);
    EXPECT_EQ(chdir(oldCwd.c_str()), 0);
    nftw(dir.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
  }
  static void Touch(const std::string &path, const char *text = "x = 1\n") {
    std::ofstream(path) << text;
  }
  std::string Abs(const std::string &name) {
    const char *result = get_absname(ops, name.c_str());
    return result ? result : "<none>";
  }

  std::string oldCwd, dir;
  tFileOpsData *ops = nullptr;
};

TEST_F(FileOps, AbsoluteNamesMatchRealpathOnRandomWalks) {
  // A tree of folders x and y nested four deep; random names walk it with ".", "..", empty
  // components and repeated slashes, never above the temporary folder.
  std::vector<std::string> level = {""};
  for (int depth = 0; depth < 4; depth++) {
    std::vector<std::string> next;
    for (const auto &base : level) {
      for (const char *child : {"x", "y"}) {
        std::string path = base + child;
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        next.push_back(path + "/");
      }
    }
    level = next;
  }
  std::mt19937 rng(1234);
  for (int round = 0; round < 2000; round++) {
    std::string name;
    int depth = 0;
    int parts = 1 + static_cast<int>(rng() % 7);
    for (int i = 0; i < parts; i++) {
      static const char *const kParts[] = {"x", "y", "..", ".", ""};
      int pick = static_cast<int>(rng() % 5);
      if (pick == 2 && depth == 0) pick = 0;
      if (pick <= 1 && depth == 4) pick = 2;
      if (pick <= 1) depth++;
      if (pick == 2) depth--;
      name += std::string(i ? "/" : "") + kParts[pick];
    }
    name.erase(0, name.find_first_not_of('/'));  // keep it relative
    if (name.empty()) name = ".";
    char real[PATH_MAX];
    ASSERT_NE(realpath(name.c_str(), real), nullptr) << name;
    EXPECT_EQ(Abs(name), real) << name;
    EXPECT_EQ(Abs(dir + "/" + name), real) << name;
  }
  // The root is its own parent, as for the file system.
  EXPECT_EQ(Abs("/"), "/");
  EXPECT_EQ(Abs("/.."), "/");
  EXPECT_EQ(Abs("/../tmp/./"), "/tmp");
  EXPECT_EQ(Abs("//a//b/"), "/a/b");
  // No letter case changed, no link followed, no file needed.
  EXPECT_EQ(Abs("Missing/Mod.PY"), dir + "/Missing/Mod.PY");
}

TEST_F(FileOps, NamesAtAndPastTheBufferLimits) {
  // The joined name plus its terminator must fit a path buffer.
  size_t fits = kFileOpsPathSize - 1 - (dir.size() + 1);
  std::string relative(fits, 'r');
  EXPECT_EQ(Abs(relative), dir + "/" + relative);
  EXPECT_EQ(Abs(relative + "r"), "<none>");
  std::string absolute = "/" + std::string(kFileOpsPathSize - 2, 'a');
  EXPECT_EQ(Abs(absolute), absolute);
  EXPECT_EQ(Abs(absolute + "a"), "<none>");
  // Names too long for the file system are missing files, not failures.
  EXPECT_FALSE(samefile(ops, absolute.c_str(), relative.c_str()));
  EXPECT_TRUE(samefile(ops, absolute.c_str(), absolute.c_str()));

  // A current directory longer than its buffer: relative names cannot be made absolute, absolute
  // ones still can.
  std::string component(200, 'd');
  size_t depth = 0;
  while (dir.size() + depth * (component.size() + 1) <= static_cast<size_t>(kFileOpsCwdSize)) {
    ASSERT_EQ(mkdir(component.c_str(), 0700), 0);
    ASSERT_EQ(chdir(component.c_str()), 0);
    depth++;
  }
  EXPECT_EQ(Abs("deep.py"), "<none>");
  EXPECT_EQ(Abs("/usr/lib/x.py"), "/usr/lib/x.py");
}

TEST_F(FileOps, SameFileByNameLinkAndCompiledForm) {
  ASSERT_EQ(mkdir("real", 0700), 0);
  Touch("real/mod.py");
  Touch("real/other.py");
  ASSERT_EQ(symlink("real", "linked"), 0);
  ASSERT_EQ(link("real/other.py", "hard.py"), 0);
  // Equal names are the same file without any file-system access, even when missing.
  EXPECT_TRUE(samefile(ops, "nowhere/a.py", "nowhere/a.py"));
  EXPECT_TRUE(samefile(ops, "real/mod.py", (dir + "/linked/mod.py").c_str()));
  EXPECT_TRUE(samefile(ops, "linked/../real/other.py", "hard.py"));
  EXPECT_FALSE(samefile(ops, "real/mod.py", "real/other.py"));
  EXPECT_FALSE(samefile(ops, "real/mod.py", "real/missing.py"));
  EXPECT_FALSE(samefile(ops, "real/missing.py", "real/mod.py"));

  // Whole names are compared: a name that is a prefix of another is a different file.
  Touch("real/b");
  Touch("real/bc.py");
  EXPECT_FALSE(samefile(ops, "real/b", "real/bc.py"));
  EXPECT_FALSE(samefile(ops, "/a/b", "/a/bc.py"));

  // A module present only in compiled form still has an identity.
  Touch("real/shipped.pyc");
  EXPECT_TRUE(samefile(ops, "real/shipped.py", "linked/shipped.py"));
  EXPECT_FALSE(samefile(ops, "real/shipped.py", "real/mod.py"));
}

TEST_F(FileOps, IdentitiesAgreeWithSamefile) {
  // The identity that keys the tracer's indexes of files: two different names have equal
  // identities exactly when samefile takes them for the same file; a missing one has none.
  ASSERT_EQ(mkdir("real", 0700), 0);
  Touch("real/mod.py");
  Touch("real/other.py");
  Touch("real/shipped.pyc");
  ASSERT_EQ(symlink("real", "linked"), 0);
  ASSERT_EQ(link("real/other.py", "hard.py"), 0);
  const std::vector<std::string> names = {
      "real/mod.py", dir + "/linked/mod.py", "linked/../real/mod.py", "real/other.py", "hard.py",
      "real/shipped.py", "linked/shipped.py", "real/shipped.pyc", "real/missing.py"};
  for (const auto &a : names) {
    tFileId idA;
    bool hasA = file_identity(ops, a.c_str(), &idA);
    EXPECT_EQ(hasA, a != "real/missing.py") << a;
    for (const auto &b : names) {
      tFileId idB;
      bool hasB = file_identity(ops, b.c_str(), &idB);
      bool equal = hasA && hasB && std::string(idA.text) == idB.text;
      if (a == b) continue;
      EXPECT_EQ(equal, samefile(ops, a.c_str(), b.c_str())) << a << " " << b;
    }
  }
}

time_t gNow = 1000000;
time_t TestClock() { return gNow; }

TEST_F(FileOps, MissingNamesAreLookedForOncePerSecond) {
  fileops_set_clock_for_testing(TestClock);
  time_t last = 0;
  EXPECT_TRUE(missing_names_due(&last));
  EXPECT_FALSE(missing_names_due(&last));
  gNow += 1;
  EXPECT_TRUE(missing_names_due(&last));
  EXPECT_EQ(last, gNow);
}

TEST_F(FileOps, MissingFilesAreRememberedForThreeSeconds) {
  fileops_set_clock_for_testing(TestClock);
  Touch("here.py");
  EXPECT_FALSE(samefile(ops, "late.py", "here.py"));
  EXPECT_EQ(__tracer_stat(ops, "late.py"), nullptr);
  Touch("late.py");
  ASSERT_EQ(link("late.py", "late_link.py"), 0);
  // Within the mark the file is still missing: the file system is not asked again.
  gNow += kNotFoundSeconds - 1;
  EXPECT_EQ(__tracer_stat(ops, "late.py"), nullptr);
  EXPECT_FALSE(samefile(ops, "late.py", "late_link.py"));
  // A clock set back is no reason to trust a mark longer.
  gNow -= 2 * (kNotFoundSeconds - 1);
  EXPECT_EQ(__tracer_stat(ops, "late.py"), nullptr);
  // Once the mark has expired the file is found, and stays found.
  gNow += 2 * kNotFoundSeconds;
  EXPECT_NE(__tracer_stat(ops, "late.py"), nullptr);
  EXPECT_TRUE(samefile(ops, "late.py", "late_link.py"));
}

}  // namespace
