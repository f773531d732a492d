// The programs refuse a run whose paths name one file twice, whatever the spelling, before they
// open or create anything; character devices such as /dev/null stay usable as outputs.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace tarn {
namespace {

using namespace tarn_test;

class SameFileTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = make_temp_dir();
    write_wav(dir_ / "a.wav", 40000, [](uint32_t n) {
      return StereoValue{static_cast<int16_t>((n * 37) % 2000 - 1000),
                         static_cast<int16_t>((n * 11) % 900 - 450)};
    });
    ASSERT_EQ(run_program("tarn-encode", {(dir_ / "a.wav").string(), (dir_ / "k.tarn").string()})
                  .exit_status,
              0);
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  // Every file in the folder with its bytes.
  static std::map<std::string, std::vector<uint8_t>> folder_contents() {
    std::map<std::string, std::vector<uint8_t>> files;
    for (const fs::directory_entry& e : fs::directory_iterator(dir_)) {
      files[e.path().filename().string()] =
          fs::is_symlink(e.symlink_status()) ? std::vector<uint8_t>{'@'} : read_bytes(e.path());
    }
    return files;
  }

  // Runs a program from inside the folder, so that relative paths name its files.
  static RunResult run_here(const std::string& program, const std::vector<std::string>& args) {
    return run_program(program, args, "cd '" + dir_.string() + "' && ");
  }

  static fs::path dir_;
};

fs::path SameFileTest::dir_;

// Another name for the file `name` in the folder, made here when it needs a link.
struct Spelling {
  const char* kind;
  std::string (*make)(const fs::path& dir, const std::string& name);
};

const Spelling SPELLINGS[] = {
    {"same string", [](const fs::path&, const std::string& name) { return name; }},
    {"./ prefix", [](const fs::path&, const std::string& name) { return "./" + name; }},
    {"absolute path", [](const fs::path& dir, const std::string& name) {
       return (dir / name).string();
     }},
    {"symbolic link", [](const fs::path& dir, const std::string& name) {
       const std::string link = "sym-" + name;
       fs::create_symlink(name, dir / link);
       return link;
     }},
    {"hard link", [](const fs::path& dir, const std::string& name) {
       const std::string link = "hard-" + name;
       fs::create_hard_link(dir / name, dir / link);
       return link;
     }},
};

TEST_F(SameFileTest, AliasedPathsAreRefusedAndNothingIsTouched) {
  // args holds "%" where the alias of `target` goes.
  struct Case {
    const char* program;
    std::vector<std::string> args;
    std::string target;
    bool target_exists;
  };
  const Case CASES[] = {
      {"tarn", {"a.wav", "%", "b.wav"}, "a.wav", true},     // stream over the input
      {"tarn", {"a.wav", "s.tarn", "%"}, "a.wav", true},    // WAV over the input
      {"tarn", {"a.wav", "k.tarn", "%"}, "k.tarn", true},   // WAV over the stream
      {"tarn", {"a.wav", "n.tarn", "%"}, "n.tarn", false},  // both still to be created
      {"tarn-encode", {"a.wav", "%"}, "a.wav", true},
      {"tarn-decode", {"k.tarn", "%"}, "k.tarn", true},
  };
  for (const Case& c : CASES) {
    for (const Spelling& spelling : SPELLINGS) {
      const bool link = std::string(spelling.kind).ends_with("link");
      if (link && !c.target_exists) continue;  // no link to a file that is not there
      SCOPED_TRACE(std::string(c.program) + " with " + c.target + " and its " + spelling.kind);
      const std::string alias = spelling.make(dir_, c.target);
      std::vector<std::string> args = c.args;
      std::string first;  // the argument before the alias that names the same file
      for (std::string& a : args) {
        if (a == "%") {
          a = alias;
          break;
        }
        if (a == c.target) first = a;
      }
      const auto before = folder_contents();
      const RunResult run = run_here(c.program, args);
      EXPECT_EQ(run.exit_status, 255);
      EXPECT_EQ(run.output, "Error, " + first + " and " + alias + " are the same file\n");
      EXPECT_EQ(folder_contents(), before);
      if (link) fs::remove(dir_ / alias);
    }
  }
}

// A character device is never the same file as another path, itself included: writing to it
// destroys nothing. Runs that use them end as they would without the check.
TEST_F(SameFileTest, CharacterDevicesStayUsable) {
  struct Case {
    const char* program;
    std::vector<std::string> args;
    int exit_status;
    const char* output_end;
  };
  const Case CASES[] = {
      {"tarn-encode", {"a.wav", "/dev/null"}, 0, " seconds\n"},
      {"tarn-decode", {"k.tarn", "/dev/null"}, 0, " seconds\n"},
      {"tarn", {"a.wav", "s.tarn", "/dev/null"}, 0, " seconds\n"},
      // The stream read back from /dev/null is empty, as it would be without the check.
      {"tarn", {"a.wav", "/dev/null", "/dev/null"}, 255,
       "Error, /dev/null is too short for a stream header\n"},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(std::string(c.program) + " " + c.args[1]);
    const RunResult run = run_here(c.program, c.args);
    EXPECT_EQ(run.exit_status, c.exit_status) << run.output;
    EXPECT_TRUE(run.output.ends_with(c.output_end)) << run.output;
    EXPECT_EQ(run.output.find("same file"), std::string::npos);
  }
  fs::remove(dir_ / "s.tarn");
}

}  // namespace
}  // namespace tarn
