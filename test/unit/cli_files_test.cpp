// The program and the files around it: the output file never harms what it names, inputs of
// any size end in a message, and the options read as documented.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "program_runner.h"

namespace {

using namespace qvtest;
namespace fs = std::filesystem;

class CliFiles : public ProgramTest {
 protected:
  CliFiles() : ProgramTest("qv_files_") {}
  void SetUp() override {
    ProgramTest::SetUp();
    data_ = file("d.csv", "y,a,g\n1,1,1\n2,1,1\n4,2,2\n3,2,2\n5,1,2\n");
  }
  // Runs `sh -c` with the program's path as $Q, the test directory as the working directory.
  int shell(const std::string& script) {
    std::string cmd = "cd " + shellQuote(dir_.string()) + " && Q=" + shellQuote(QV_BINARY) + " sh -c " +
                      shellQuote(script) + " >/dev/null 2>" + shellQuote(path("sh.err"));
    int st = std::system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  std::vector<std::string> listing() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<std::string> args(const std::string& out) const {
    return {"-e", "QUORVEST y BY a.", "--data", data_, "-o", out};
  }
  std::string data_;
};

TEST_F(CliFiles, OutputThroughALinkWritesTheTargetAndKeepsTheLink) {
  file("target.txt", "old");
  fs::create_symlink("target.txt", dir_ / "link.txt");
  RunResult r = run(args(path("link.txt")));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.txt"));
  EXPECT_NE(slurp(dir_ / "target.txt").find("Tests of Between-Subjects Effects"), std::string::npos);
  EXPECT_EQ(listing(), (std::vector<std::string>{"d.csv", "link.txt", "target.txt"}));
}

TEST_F(CliFiles, OutputToAPipeIsWrittenThroughNotReplaced) {
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  int status = shell(
      "timeout 20 cat fifo > got.txt & \"$Q\" -e 'QUORVEST y BY a.' --data d.csv -o fifo; s=$?; wait; exit "
      "$s");
  EXPECT_EQ(status, 0) << slurp(dir_ / "sh.err");
  struct stat st {};
  ASSERT_EQ(::lstat(path("fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_NE(slurp(dir_ / "got.txt").find("Tests of Between-Subjects Effects"), std::string::npos);
}

TEST_F(CliFiles, AReplacedFileKeepsItsPermissions) {
  file("out.txt", "old");
  fs::permissions(dir_ / "out.txt", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  RunResult r = run(args(path("out.txt")));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fs::status(dir_ / "out.txt").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(CliFiles, AnOutputNamingAnInputIsRefused) {
  const std::string script = file("s.qv", "QUORVEST y BY a.\n");
  const std::string dict = file("d.json", R"({"variables": {"y": {"label": "Y"}}})");
  fs::create_symlink("d.csv", dir_ / "alias.csv");
  const std::vector<std::string> outs = {data_, path("alias.csv"), script, dict};
  for (const auto& out : outs) {
    const std::string before = slurp(out);
    RunResult r = run({script, "--data", data_, "--dictionary", dict, "-o", out});
    EXPECT_EQ(r.status, 2) << out;
    EXPECT_NE(r.err.find("is the input file"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(out), before) << out;
  }
}

TEST_F(CliFiles, LongOutputNamesUpToTheSystemLimit) {
  const std::string name(250, 'n');
  RunResult r = run(args(path(name)));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(listing(), (std::vector<std::string>{"d.csv", name}));
}

TEST_F(CliFiles, AFileSizeLimitEndsInAMessageAndLeavesNoTemporaryFile) {
  file("out.txt", "old");
  // The limit (in blocks of at least 512 bytes) is below the size of the output.
  int status = shell(
      "ulimit -f 1; exec \"$Q\" -e 'QUORVEST y BY a /PRINT=DESCRIPTIVE PARAMETER.' "
      "--data d.csv -o out.txt");
  EXPECT_EQ(status, 2) << slurp(dir_ / "sh.err");
  EXPECT_NE(slurp(dir_ / "sh.err").find("out.txt: cannot write"), std::string::npos);
  EXPECT_EQ(slurp(dir_ / "out.txt"), "old");
  fs::remove(dir_ / "sh.err");
  EXPECT_EQ(listing(), (std::vector<std::string>{"d.csv", "out.txt"}));
}

TEST_F(CliFiles, EndlessOrHugeInputsAreRefusedWithAMessage) {
  const std::string dict = file("d.json", R"({"variables": {}})");
  struct Case {
    std::vector<std::string> args;
    std::string needle;
  };
  const Case cases[] = {
      {{"/dev/zero", "--data", data_}, "/dev/zero: the script is larger than"},
      {{"-e", "QUORVEST y BY a.", "--data", data_, "--dictionary", "/dev/zero"},
       "/dev/zero: the file is larger than"},
  };
  for (const auto& c : cases) {
    RunResult r = run(c.args, 60);
    EXPECT_EQ(r.status, 2) << c.needle << "\n" << r.err;
    EXPECT_NE(r.err.find(c.needle), std::string::npos) << r.err;
  }
}

TEST_F(CliFiles, SplitTakesOneListAndLeavesTheScript) {
  const std::string script = file("s.qv", "QUORVEST y BY a.\n");
  RunResult r = run({"--data", data_, "--split", "g", script});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Tests of Between-Subjects Effects"), std::string::npos) << r.out;
  r = run({"--data", data_, "--split", "g,a", script});
  EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace

namespace {

TEST_F(CliFiles, UserTextIsShownAsItStandsWithControlCharactersEscaped) {
  const std::string dict = file("d.json", R"({"variables": {
    "y": {"label": "Insufficient memory ..."},
    "a": {"value_labels": {"1": "two\nlines", "2": "red\u001b[31m"}}}})");
  RunResult r = run({"-e", "QUORVEST y BY a /PRINT=DESCRIPTIVE.", "--data", data_, "--dictionary", dict});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Insufficient memory ..."), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("not enough memory"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("two\\nlines"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("red\\x1b[31m"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(r.out.find('\x1f'), std::string::npos);
}

}  // namespace

namespace {

TEST_F(CliFiles, CommandErrorsNameTheirPlaceInTheScript) {
  const std::string script =
      file("s.qv", "* first a comment.\nQUORVEST y BY a.\n\nQUORVEST y BY a\n  /FOO.\n");
  RunResult r = run({script, "--data", data_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Error 2 at " + script + ":5:4: FOO"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("the first is at " + script + ":5:4\n"), std::string::npos) << r.err;

  r = run({"-e", "QUORVEST y BY a /FOO.", "--data", data_, "--format", "json"});
  const auto doc = nlohmann::json::parse(r.out);
  const auto& m = doc["commands"][0]["items"][0];
  EXPECT_EQ(m.value("line", 0), 1) << m;
  EXPECT_EQ(m.value("column", 0), 18) << m;
  EXPECT_NE(r.err.find("at -e:1:18"), std::string::npos) << r.err;
}

// Messages issued once the parser has moved on (by the checks after parsing, or while the
// analysis works on a request) used to carry no place; each names the symbol it is about.
TEST_F(CliFiles, LaterMessagesNameTheSymbolTheyConcern) {
  const std::string data = file("x.csv", "y,a,x\n1,1,2\n2,1,3\n4,2,5\n3,2,4\n5,1,7\n");
  const struct {
    const char* script;
    const char* shown;  // after "<script>:"
  } cases[] = {
      {"QUORVEST y BY a WITH x\n  /DESIGN=x.", "1:15: Design does not use a"},
      {"QUORVEST y BY a\n  /LMATRIX=a 1 -1\n  /KMATRIX=1 2.", "3:4: KMATRIX needs"},
      {"QUORVEST y BY a\n  /LMATRIX=a 1 -1 0.", "2:4: LMATRIX number 1"},
      {"QUORVEST y BY a\n  /CONTRAST(a)=SPECIAL(1 2 3).", "2:13: The contrast cannot be computed"},
      {"QUORVEST y BY a\n  /EMMEANS=TABLES(a) ADJ(SIDAK).", "2:22: ADJ on EMMEANS"},
  };
  for (const auto& c : cases) {
    const std::string script = file("later.qv", c.script);
    const RunResult r = run({script, "--data", data});
    EXPECT_NE(r.out.find(" at " + script + ":" + c.shown), std::string::npos) << c.script << "\n" << r.out;
  }
}

TEST_F(CliFiles, QuotedUserTextIsCutAndShowsInvisibleCharacters) {
  const std::string name(200, 'g');
  RunResult r =
      run({"-e", "QUORVEST y BY a /OUTFILE=COVB('f' '\xEF\xBB\xBF" + name + "').", "--data", data_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("<U+FEFF>ggg"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("g\u2026"), std::string::npos) << r.out;
  // The message (not the echoed command) holds the cut text.
  const size_t at = r.out.find("Error 87");
  ASSERT_NE(at, std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(name, at), std::string::npos) << r.out;
}

}  // namespace
