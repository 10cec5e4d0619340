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

#ifdef QV_MPI_BINARY
// mpirun as the tests launch it on this machine: oversubscribed and unbound (tests run side by
// side), over shared memory, without probing the network fabrics (which takes most of a launch
// otherwise), without mpirun's own notices; as root only when told that it is meant.
inline std::string mpiLauncher() {
  std::string cmd = shellQuote(QV_MPIRUN) +
                    " -q --oversubscribe --bind-to none --mca btl self,vader --mca pml ob1 --mca mtl ^ofi"
                    " --mca osc ^ucx";
  if (::geteuid() == 0) cmd += " --allow-run-as-root";
  return cmd;
}
// The command that runs quorvest-mpi on `processes` processes of this machine.
inline std::string mpiCommand(int processes) {
  return mpiLauncher() + " -np " + std::to_string(processes) + " " + shellQuote(QV_MPI_BINARY);
}
#endif

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
  // `program` is the command that starts the program (mpiCommand(K) for K processes).
  RunResult run(const std::vector<std::string>& args, int timeoutSeconds = 0,
                const std::string& program = shellQuote(QV_BINARY)) {
    std::string cmd = timeoutSeconds > 0 ? "timeout " + std::to_string(timeoutSeconds) + " " : "";
    cmd += program;
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
