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
  // Data of more than 2 MiB in blocks of 1000 cases, which two processes convert in shares
  // unless the first must write a row for every case (the design matrix, asked for here with
  // abbreviated keywords).
  std::string big = "a,x,y\n";
  const std::string digits(90, '0');
  for (int i = 0; i < 25000; ++i)
    big += std::to_string(1 + i % 3) + "," + std::to_string(i % 5) + "." + digits + "," +
           std::to_string((i * 37) % 11 + i % 3) + "\n";
  const std::string bigData = file("big.csv", big);
  const struct {
    std::vector<std::string> args;
    std::string names;
  } cases[] = {
      {{"-e",
        "QUORVEST y BY a WITH x /PLOT=PROFILE(a) /SAVE=PRED RESID "
        "/OUTFILE=COVB('covb.csv') DESIGN('design.csv') EFFECT('effect.csv').",
        "--data", data, "--case-block", "2", "--format", "json", "-o", "out.json", "--save-data", "saved.csv",
        "--charts", "charts"},
       "charts/chart-001.svg covb.csv covb.dict.json design.csv design.dict.json effect.csv "
       "effect.dict.json out.json saved.csv saved.dict.json "},
      {{"-e", "QUORVEST y BY a WITH x /outf = COVB('covb.csv') desi('design.csv').", "--data", bigData,
        "--threads", "1", "--case-block", "1000", "--format", "json", "-o", "out.json"},
       "covb.csv covb.dict.json design.csv design.dict.json out.json "},
  };
  for (const auto& c : cases) {
    // Every output is named relative to the working folder. One process runs in folder "one";
    // of the MPI job, the first process runs in "first" and the second in "second", which must
    // stay empty. The output documents name the files alike and compare to the byte.
    for (const char* folder : {"one", "first", "second"}) {
      fs::remove_all(path(folder));
      fs::create_directories(path(folder));
    }
    const RunResult alone =
        run(c.args, 60, "env -C " + shellQuote(path("one")) + " " + shellQuote(QV_BINARY));
    ASSERT_EQ(alone.status, 0) << alone.err;
    std::string firstArgs;
    for (const std::string& a : c.args) firstArgs += " " + shellQuote(a);
    const RunResult shared = run(c.args, 60,
                                 qvtest::mpiLauncher() + " -np 1 --wdir " + shellQuote(path("first")) + " " +
                                     shellQuote(QV_MPI_BINARY) + firstArgs + " : -np 1 --wdir " +
                                     shellQuote(path("second")) + " " + shellQuote(QV_MPI_BINARY));
    ASSERT_EQ(shared.status, 0) << shared.err;
    EXPECT_EQ(alone.err, shared.err);

    const auto one = filesUnder(path("one")), first = filesUnder(path("first"));
    std::string names;
    for (const auto& [name, bytes] : one) names += name + " ";
    EXPECT_EQ(names, c.names);
    ASSERT_EQ(one.size(), first.size());
    for (const auto& [name, bytes] : one) {
      const auto other = first.find(name);
      ASSERT_NE(other, first.end()) << name << " is missing on two processes";
      EXPECT_TRUE(other->second == bytes) << name << " differs on two processes";
    }
    EXPECT_TRUE(fs::is_empty(path("second"))) << "the second process wrote files";
  }
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

TEST_F(MpiProgram, ATemporaryFolderOneProcessLacksIsToldAsOneProcessTellsIt) {
  // Only the first process keeps the saved values and design rows in scratch files: a missing
  // temporary folder of the second changes nothing, and one of the first is told as one
  // process tells it, instead of leaving the other process waiting.
  const std::string data = file("d.csv", "a,x,y\n1,0,2\n2,1,3\n3,2,5\n1,3,4\n2,4,6\n3,0,7\n1,1,3\n2,2,8\n");
  const std::string both = "QUORVEST y BY a WITH x /SAVE=PRED /OUTFILE=DESIGN('design.csv').";
  const std::string save = "QUORVEST y BY a WITH x /SAVE=PRED RESID.";
  const std::string missing = "TMPDIR=" + shellQuote(path("none"));
  const struct {
    std::string script;
    bool firstLacks, secondLacks;
  } cases[] = {{both, false, true}, {both, true, false}, {save, true, false}};
  for (const auto& c : cases) {
    for (const char* folder : {"one", "first", "second"}) {
      fs::remove_all(path(folder));
      fs::create_directories(path(folder));
    }
    const std::string args =
        " -e " + shellQuote(c.script) + " --data " + shellQuote(data) + " --case-block 2";
    auto launch = [&](const char* folder, bool lacks, const char* binary) {
      return " --wdir " + shellQuote(path(folder)) + " env " + (lacks ? missing : std::string("QV=1")) + " " +
             shellQuote(binary) + args;
    };
    const RunResult alone = run({}, 60,
                                "env -C " + shellQuote(path("one")) + " " +
                                    (c.firstLacks ? missing : "QV=1") + " " + shellQuote(QV_BINARY) + args);
    const RunResult shared =
        run({}, 60,
            qvtest::mpiLauncher() + " -np 1" + launch("first", c.firstLacks, QV_MPI_BINARY) + " : -np 1" +
                launch("second", c.secondLacks, QV_MPI_BINARY));
    const std::string what = c.script + (c.firstLacks ? ", first process" : ", second process");
    EXPECT_EQ(shared.status, alone.status) << what << "\n" << shared.err;
    EXPECT_EQ(shared.out, alone.out) << what;
    EXPECT_EQ(filesUnder(path("first")), filesUnder(path("one"))) << what;
    EXPECT_TRUE(fs::is_empty(path("second"))) << what;
  }
}

}  // namespace
#endif
