// SAVE and --save-data: the saved case diagnostics against an independent weighted
// least-squares computation, their place in the written data, and the written files' safety.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "program_runner.h"

namespace {

using namespace qvtest;
namespace fs = std::filesystem;

class Save : public ProgramTest {};

std::vector<std::vector<std::string>> splitCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> r;
    std::stringstream ls(line);
    for (std::string f; std::getline(ls, f, ',');) r.push_back(f);
    if (!line.empty() && line.back() == ',') r.push_back("");
    rows.push_back(r);
  }
  return rows;
}

// The data: factor a (3 levels), covariate x, covariate z = 2x (a redundant column), regression
// weight r, frequency weight f; case 6 has a missing x and is left out of the analysis.
constexpr int kCases = 12;
const double kA[kCases] = {1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3};
const double kX[kCases] = {1.5, 2.0, 3.25, 4.0, 0.5, 0, 2.5, 3.0, 1.0, 2.75, 3.5, 5.0};
const double kY[kCases] = {3.1, 4.0, 6.2, 7.9, 2.2, 3.3, 6.1, 7.4, 4.4, 7.1, 8.0, 11.3};
const double kR[kCases] = {1, 2, 0.5, 1, 1.5, 1, 1, 3, 1, 0.25, 2, 1};
const double kF[kCases] = {1, 2, 1, 3, 1, 1, 2, 1, 1, 1, 2, 1};
constexpr int kMissing = 5;  // 0-based

// Independent fit in long double: the full-rank model y = b0 + b1 [a=2] + b2 [a=3] + b3 x by
// weighted normal equations (weights f x r) solved by Gauss-Jordan elimination; the
// overparameterised model fitted by the program spans the same column space, so fitted values,
// hat values and residuals must agree. Per case: PRED, RESID, the hat quantity h = x'(X'WX)^-1 x,
// and the error mean square with sum(f) - 4 degrees of freedom.
struct Independent {
  std::array<long double, kCases> pred{}, resid{}, h{};
  long double mse = 0;
};

Independent independentFit() {
  constexpr int p = 4;
  auto row = [](int i) {
    return std::array<long double, p>{1.0L, kA[i] == 2 ? 1.0L : 0.0L, kA[i] == 3 ? 1.0L : 0.0L,
                                      (long double)kX[i]};
  };
  long double m[p][2 * p] = {};
  long double xty[p] = {};
  long double sumF = 0;
  for (int i = 0; i < kCases; ++i) {
    if (i == kMissing) continue;
    const auto x = row(i);
    const long double w = (long double)kF[i] * kR[i];
    sumF += kF[i];
    for (int a = 0; a < p; ++a) {
      xty[a] += w * x[a] * kY[i];
      for (int b = 0; b < p; ++b) m[a][b] += w * x[a] * x[b];
    }
  }
  for (int a = 0; a < p; ++a) m[a][p + a] = 1;
  for (int c = 0; c < p; ++c) {  // Gauss-Jordan with partial pivoting
    int piv = c;
    for (int r = c + 1; r < p; ++r)
      if (std::fabs(m[r][c]) > std::fabs(m[piv][c])) piv = r;
    for (int k = 0; k < 2 * p; ++k) std::swap(m[c][k], m[piv][k]);
    const long double d = m[c][c];
    for (int k = 0; k < 2 * p; ++k) m[c][k] /= d;
    for (int r = 0; r < p; ++r) {
      if (r == c) continue;
      const long double f = m[r][c];
      for (int k = 0; k < 2 * p; ++k) m[r][k] -= f * m[c][k];
    }
  }
  long double b[p] = {};
  for (int a = 0; a < p; ++a)
    for (int k = 0; k < p; ++k) b[a] += m[a][p + k] * xty[k];
  Independent out;
  long double sse = 0;
  for (int i = 0; i < kCases; ++i) {
    if (i == kMissing) continue;
    const auto x = row(i);
    for (int a = 0; a < p; ++a) {
      out.pred[i] += x[a] * b[a];
      for (int k = 0; k < p; ++k) out.h[i] += x[a] * m[a][p + k] * x[k];
    }
    out.resid[i] = kY[i] - out.pred[i];
    sse += (long double)kF[i] * kR[i] * out.resid[i] * out.resid[i];
  }
  out.mse = sse / (sumF - p);
  return out;
}

std::string dataCsv() {
  std::ostringstream s;
  s.precision(17);
  s << "y,a,x,z,r,f\r\n";
  for (int i = 0; i < kCases; ++i) {
    s << kY[i] << ',' << kA[i] << ',';
    if (i != kMissing) s << kX[i];
    s << ',';
    if (i != kMissing) s << 2 * kX[i];
    s << ',' << kR[i] << ',' << kF[i] << "\r\n";
  }
  return s.str();
}

TEST_F(Save, DiagnosticsMatchAnIndependentWeightedFit) {
  const std::string data = file("d.csv", dataCsv());
  const std::string out = path("saved.csv");
  RunResult r = run({"-e",
                     "QUORVEST y BY a WITH x z /REGWGT=r /DESIGN=a x z "
                     "/SAVE=PRED WPRED RESID(res) WRESID DRESID ZRESID SRESID SEPRED COOK LEVER.",
                     "--data", data, "--weight", "f", "--save-data", out});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("Variables Created or Modified"), std::string::npos);
  const auto rows = splitCsv(slurp(out));
  ASSERT_EQ(rows.size(), static_cast<size_t>(kCases + 1));
  const std::vector<std::string> names = {"y",     "a",     "x",     "z",     "r",     "f",
                                          "PRE_1", "WPR_1", "res",   "WRE_1", "DRE_1", "ZRE_1",
                                          "SRE_1", "SEP_1", "COO_1", "LEV_1"};
  EXPECT_EQ(rows[0], names);
  const std::string original = slurp(data);
  EXPECT_EQ(slurp(out).substr(0, 2), original.substr(0, 2));
  EXPECT_NE(slurp(out).find("\r\n"), std::string::npos) << "line ends kept";

  const Independent ind = independentFit();
  for (int i = 0; i < kCases; ++i) {
    const auto& row = rows[static_cast<size_t>(i) + 1];
    ASSERT_EQ(row.size(), names.size()) << "case " << i;
    if (i == kMissing) {
      for (size_t c = 6; c < names.size(); ++c) EXPECT_EQ(row[c], "") << "case " << i << " " << names[c];
      continue;
    }
    const long double rw = kR[i], h = ind.h[i], e = ind.resid[i], m = ind.mse;
    const long double expected[] = {
        ind.pred[i],
        ind.pred[i] * std::sqrt(rw),
        e,
        e * std::sqrt(rw),
        e / (1 - rw * h),
        e / (std::sqrt(m) / std::sqrt(rw)),
        e / std::sqrt(m * (1 / rw - h)),
        std::sqrt(m * h),
        e * e / m * h / ((1 / rw - h) * (1 / rw - h)) / 4,
        rw * h,
    };
    for (size_t k = 0; k < 10; ++k) {
      const double got = std::stod(row[6 + k]);
      EXPECT_NEAR(got, (double)expected[k], 1e-9 * std::max(1.0L, std::fabs(expected[k])))
          << "case " << i << " " << names[6 + k];
    }
  }
  const auto dict = nlohmann::json::parse(slurp(path("saved.dict.json")));
  EXPECT_EQ(dict["variables"]["COO_1"]["label"], "Cook's Distance for y");
}

TEST_F(Save, ValuesLandInTheirCasesAcrossSplitGroups) {
  // With one factor, PRED is the case's cell mean within its split group (worked by hand
  // below); the case with a missing y and the empty line keep their places.
  const std::string data =
      file("d.csv", "g,a,y\n1,1,2\n1,1,4\n1,2,10\n1,2,\n1,2,14\n\n2,1,1\n2,2,5\n2,2,7\n2,1,3\n");
  const std::string out = path("s.csv");
  for (const char* layout : {"layered", "separate"}) {
    RunResult r = run({"-e", "QUORVEST y BY a /SAVE=PRED.", "--data", data, "--split", "g", "--split-layout",
                       layout, "--save-data", out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(out),
              "g,a,y,PRE_1\n1,1,2,3\n1,1,4,3\n1,2,10,12\n1,2,,\n1,2,14,12\n\n2,1,1,2\n2,2,5,6\n"
              "2,2,7,6\n2,1,3,2\n")
        << layout;
  }
}

TEST_F(Save, WithoutSaveDataANoteSaysWhereTheValuesGo) {
  const std::string data = file("d.csv", dataCsv());
  RunResult r = run({"-e", "QUORVEST y BY a /SAVE=PRED.", "--data", data});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("PRE_1"), std::string::npos);
  EXPECT_NE(r.out.find("give --save-data FILE"), std::string::npos);
  EXPECT_EQ(r.out.find("does not compute it yet"), std::string::npos);
}

TEST_F(Save, SavedValuesWaitInAScratchFileOfTheTemporaryFolder) {
  // The scratch file is made in TMPDIR and gone when the program ends; a TMPDIR that takes no
  // file stops the command.
  const std::string data = file("d.csv", dataCsv());
  fs::create_directories(path("tmp"));
  struct Case {
    std::string tmpdir;
    int status;
  };
  for (const Case& c : {Case{path("tmp"), 0}, Case{path("no/such/tmp"), 1}}) {
    ::setenv("TMPDIR", c.tmpdir.c_str(), 1);
    RunResult r = run({"-e", "QUORVEST y BY a /SAVE=PRED.", "--data", data, "--save-data", path("s.csv")});
    ::unsetenv("TMPDIR");
    EXPECT_EQ(r.status, c.status) << c.tmpdir << r.err;
    if (c.status != 0) {
      EXPECT_NE(r.out.find("Set TMPDIR"), std::string::npos) << r.out;
    }
  }
  EXPECT_TRUE(fs::is_empty(path("tmp")));
}

TEST_F(Save, BadTargetsAreRefusedBeforeTheAnalysis) {
  const std::string data = file("d.csv", dataCsv());
  struct Case {
    std::string target, needle;
  };
  const Case cases[] = {
      {data, "refusing to overwrite the input file"},
      {path("no/such/dir/out.csv"), "cannot write"},
      {dir_.string(), "it is a directory"},
  };
  for (const auto& c : cases) {
    RunResult r = run({"-e", "QUORVEST y BY a /SAVE=PRED.", "--data", data, "--save-data", c.target});
    EXPECT_EQ(r.status, 2) << c.target;
    EXPECT_NE(r.err.find(c.needle), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << "nothing ran";
  }
  EXPECT_EQ(slurp(data), dataCsv()) << "the input is untouched";
}

TEST_F(Save, ACommandThatFailsWritesNoSavedData) {
  const std::string data = file("d.csv", dataCsv());
  const std::string out = file("out.csv", "old contents\n");
  RunResult r = run({"-e", "QUORVEST y BY a /SAVE=PRED.\nQUORVEST nosuch BY a /SAVE=RESID.", "--data", data,
                     "--save-data", out});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not written, because a command reported an error"), std::string::npos) << r.err;
  EXPECT_EQ(slurp(out), "old contents\n");
  EXPECT_FALSE(fs::exists(path("out.dict.json")));
}

TEST_F(Save, AFailedWriteLeavesNoPartialFileAndTheOldOneIntact) {
  // A large data file and a file-size limit far below its size: the write fails part-way. The
  // long text column makes the output far larger than the scratch file of saved values, which
  // stays within the limit.
  std::string csv = "y,a,note\n";
  const std::string note(400, 'n');
  for (int i = 0; i < 20000; ++i)
    csv += std::to_string(i % 97) + "," + std::to_string(i % 3 + 1) + "," + note + "\n";
  const std::string data = file("d.csv", csv);
  const std::string out = file("out.csv", "old contents\n");
  const std::string cmd = "ulimit -f 4000; " + shellQuote(QV_BINARY) +
                          " -e 'QUORVEST y BY a /SAVE=PRED RESID.' --data " + shellQuote(data) +
                          " --save-data " + shellQuote(out) + " >/dev/null 2>" + shellQuote(path("err.txt"));
  const int status = std::system(("sh -c " + shellQuote(cmd)).c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_NE(slurp(path("err.txt")).find("cannot write"), std::string::npos) << slurp(path("err.txt"));
  EXPECT_EQ(slurp(out), "old contents\n");
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir_)) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"d.csv", "err.txt", "out.csv"}));
}

}  // namespace
