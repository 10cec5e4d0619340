// quorvest-mpi on several processes of this machine: the first process alone writes the output
// and every output file, the same files one process writes; a usage error is told once.
#ifdef QV_MPI_BINARY
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "program_runner.h"

namespace {

namespace fs = std::filesystem;
using qvtest::ProgramTest;
using qvtest::RunResult;
using qvtest::shellQuote;

class MpiProgram : public ProgramTest {
 protected:
  // Every file under `folder` by its relative name, with its bytes.
  static std::map<std::string, std::string> filesUnder(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(folder))
      if (e.is_regular_file()) files[fs::relative(e.path(), folder).string()] = qvtest::slurp(e.path());
    return files;
  }
};

TEST_F(MpiProgram, FirstProcessAloneWritesTheFilesOneProcessWrites) {
  std::string csv = "a,x,y\n";
  for (int i = 0; i < 23; ++i)
    csv += std::to_string(1 + i % 3) + "," + std::to_string(i % 5) + "," +
           std::to_string((i * 37) % 11 + i % 3) + "\n";
  const std::string data = file("d.csv", csv);
  const std::vector<std::string> args = {
      "-e",
      "QUORVEST y BY a WITH x /PLOT=PROFILE(a) /SAVE=PRED RESID "
      "/OUTFILE=COVB('covb.csv') DESIGN('design.csv') EFFECT('effect.csv').",
      "--data",
      data,
      "--case-block",
      "2",
      "--format",
      "json",
      "-o",
      "out.json",
      "--save-data",
      "saved.csv",
      "--charts",
      "charts"};
  // Every output is named relative to the working folder. One process runs in folder "one";
  // of the MPI job, the first process runs in "first" and the second in "second", which must
  // stay empty. The output documents name the files alike and compare to the byte.
  for (const char* folder : {"one", "first", "second"}) fs::create_directories(path(folder));
  const RunResult alone = run(args, 60, "env -C " + shellQuote(path("one")) + " " + shellQuote(QV_BINARY));
  ASSERT_EQ(alone.status, 0) << alone.err;
  std::string firstArgs;
  for (const std::string& a : args) firstArgs += " " + shellQuote(a);
  const RunResult shared = run(args, 60,
                               qvtest::mpiLauncher() + " -np 1 --wdir " + shellQuote(path("first")) + " " +
                                   shellQuote(QV_MPI_BINARY) + firstArgs + " : -np 1 --wdir " +
                                   shellQuote(path("second")) + " " + shellQuote(QV_MPI_BINARY));
  ASSERT_EQ(shared.status, 0) << shared.err;
  EXPECT_EQ(alone.err, shared.err);

  const auto one = filesUnder(path("one")), first = filesUnder(path("first"));
  std::string names;
  for (const auto& [name, bytes] : one) names += name + " ";
  EXPECT_EQ(names,
            "charts/chart-001.svg covb.csv covb.dict.json design.csv design.dict.json effect.csv "
            "effect.dict.json out.json saved.csv saved.dict.json ");
  ASSERT_EQ(one.size(), first.size());
  for (const auto& [name, bytes] : one) {
    const auto other = first.find(name);
    ASSERT_NE(other, first.end()) << name << " is missing on two processes";
    EXPECT_TRUE(other->second == bytes) << name << " differs on two processes";
  }
  EXPECT_TRUE(fs::is_empty(path("second"))) << "the second process wrote files";
}

TEST_F(MpiProgram, ErrorsAreToldOnceWithTheStatusOfOneProcess) {
  const std::string data = file("d.csv", "a,y\n1,2\n2,3\n1,4\n2,6\n");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string says;
  } cases[] = {
      {{"--bogus"}, 2, "--bogus"},
      {{"-e", "QUORVEST y BY a.", "--data", path("none.csv")}, 2, "none.csv"},
      {{"-e", "QUORVEST y BY nosuch.", "--data", data}, 1, "1 of 1 command reported an error"},
  };
  for (const auto& c : cases) {
    const RunResult r = run(c.args, 60, qvtest::mpiCommand(2));
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("quorvest-mpi:"), r.err.rfind("quorvest-mpi:")) << "told more than once:\n" << r.err;
  }
}

TEST_F(MpiProgram, DataMissingOnOneProcessIsToldOnceAndNamesTheProcess) {
  // The second process runs in a folder without the data file that the first one reads.
  for (const char* folder : {"one", "two"}) fs::create_directories(path(folder));
  file("one/d.csv", "a,y\n1,2\n2,3\n1,4\n2,6\n");
  const std::string binary = shellQuote(QV_MPI_BINARY);
  const std::string args = " -e 'QUORVEST y BY a.' --data d.csv";
  const RunResult r = run({}, 60,
                          qvtest::mpiLauncher() + " -np 1 --wdir " + shellQuote(path("one")) + " " + binary +
                              args + " : -np 1 --wdir " + shellQuote(path("two")) + " " + binary + args);
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(r.err.rfind("quorvest-mpi: process 1: d.csv", 0), 0u) << r.err;
  EXPECT_EQ(r.err.find("quorvest-mpi:"), r.err.rfind("quorvest-mpi:")) << "told more than once:\n" << r.err;
  EXPECT_EQ(r.out, "");
}

}  // namespace
#endif
