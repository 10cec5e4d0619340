#pragma once
// Running the built quorvest program from a test: a scratch directory per test, shell quoting,
// and a run that captures the exit status, standard output and standard error.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qvtest {

struct RunResult {
  int status = -1;  // exit status, -1 when the program did not exit normally
  std::string out, err;
};

// Single-quotes a word for the shell.
inline std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A test fixture with its own scratch directory, removed after the test.
class ProgramTest : public ::testing::Test {
 protected:
  explicit ProgramTest(std::string prefix = "qv_cli_") : prefix_(std::move(prefix)) {}

  void SetUp() override {
    dir_ = std::filesystem::path(::testing::TempDir()) /
           (prefix_ + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string file(const std::string& name, const std::string& text) {
    std::filesystem::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // Runs the program with `args`; with timeoutSeconds > 0 it is stopped after that long. The
  // captured output files are removed again, so that a test can list what the program left.
  RunResult run(const std::vector<std::string>& args, int timeoutSeconds = 0) {
    std::string cmd = timeoutSeconds > 0 ? "timeout " + std::to_string(timeoutSeconds) + " " : "";
    cmd += shellQuote(QV_BINARY);
    for (const auto& a : args) cmd += " " + shellQuote(a);
    cmd += " > " + shellQuote(path("stdout.txt")) + " 2> " + shellQuote(path("stderr.txt"));
    int st = std::system(cmd.c_str());
    RunResult r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = slurp(dir_ / "stdout.txt");
    r.err = slurp(dir_ / "stderr.txt");
    std::filesystem::remove(dir_ / "stdout.txt");
    std::filesystem::remove(dir_ / "stderr.txt");
    return r;
  }

  std::string prefix_;
  std::filesystem::path dir_;
};

}  // namespace qvtest
