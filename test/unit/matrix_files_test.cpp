// OUTFILE matrix files: COVB and CORB against an independent one-way computation, EFFECT rows
// against reference cases, the DESIGN file across split groups, and the files' safety.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "program_runner.h"

namespace {

using namespace qvtest;
namespace fs = std::filesystem;
using Rows = std::vector<std::vector<std::string>>;

class MatrixFiles : public ProgramTest {};

// Comma-separated fields (the files of these tests hold no quoted fields).
Rows readCsv(const std::string& text) {
  Rows rows;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> r;
    std::stringstream ls(line);
    for (std::string f; std::getline(ls, f, ',');) r.push_back(f);
    if (!line.empty() && line.back() == ',') r.push_back("");
    rows.push_back(r);
  }
  return rows;
}

// Two dependents over three unbalanced groups.
const int kGroup[] = {1, 1, 1, 1, 2, 2, 2, 3, 3, 3, 3, 3};
const double kY1[] = {3.1, 4.7, 2.2, 5.0, 7.4, 6.1, 8.8, 4.4, 5.9, 3.3, 6.6, 5.2};
const double kY2[] = {10.2, 11.9, 9.1, 12.5, 15.0, 13.3, 16.1, 11.1, 12.8, 10.0, 13.9, 12.4};

std::string oneWayCsv() {
  std::string s = "a,y1,y2\n";
  for (int i = 0; i < 12; ++i) {
    std::ostringstream r;
    r.precision(17);
    r << kGroup[i] << ',' << kY1[i] << ',' << kY2[i] << '\n';
    s += r.str();
  }
  return s;
}

// Independent covariance of the estimates, in long double. The program's design has the columns
// Intercept, [a=1], [a=2], [a=3]; the last is aliased, so the estimates are those of the
// reference-cell coding (Intercept = mean of group 3, [a=i] = mean_i - mean_3) and the
// generalised inverse G is the inverse of that coding's cross-products, padded with zeros:
// G(0,0) = 1/n3, G(0,i) = -1/n3, G(i,i) = 1/ni + 1/n3, G(1,2) = 1/n3. The error covariance of
// dependents p and q is the pooled within-group cross-product over N - 3 degrees of freedom.
struct OneWay {
  long double g[4][4] = {};
  long double sigma[2][2] = {};
  long double est[2][4] = {};
  long double dfe = 0;
};

OneWay oneWay() {
  OneWay w;
  long double n[4] = {}, sum[2][4] = {};
  const double* y[2] = {kY1, kY2};
  for (int i = 0; i < 12; ++i)
    for (int p = 0; p < 2; ++p) {
      sum[p][kGroup[i]] += y[p][i];
      if (p == 0) n[kGroup[i]] += 1;
    }
  long double e[2][2] = {};
  for (int i = 0; i < 12; ++i)
    for (int p = 0; p < 2; ++p)
      for (int q = 0; q < 2; ++q)
        e[p][q] +=
            (y[p][i] - sum[p][kGroup[i]] / n[kGroup[i]]) * (y[q][i] - sum[q][kGroup[i]] / n[kGroup[i]]);
  w.dfe = 12 - 3;
  for (int p = 0; p < 2; ++p)
    for (int q = 0; q < 2; ++q) w.sigma[p][q] = e[p][q] / w.dfe;
  const long double r = 1.0L / n[3];
  w.g[0][0] = r;
  w.g[0][1] = w.g[1][0] = w.g[0][2] = w.g[2][0] = -r;
  w.g[1][1] = 1.0L / n[1] + r;
  w.g[2][2] = 1.0L / n[2] + r;
  w.g[1][2] = w.g[2][1] = r;
  for (int p = 0; p < 2; ++p) {
    const long double m3 = sum[p][3] / n[3];
    w.est[p][0] = m3;
    w.est[p][1] = sum[p][1] / n[1] - m3;
    w.est[p][2] = sum[p][2] / n[2] - m3;
  }
  return w;
}

void expectNumber(const std::string& got, long double want, const std::string& where) {
  ASSERT_FALSE(got.empty()) << where;
  EXPECT_NEAR(std::stod(got), (double)want, 1e-10 * std::max(1.0L, std::fabs(want))) << where;
}

TEST_F(MatrixFiles, CovbAndCorbMatchAnIndependentComputation) {
  const std::string data = file("d.csv", oneWayCsv());
  const OneWay w = oneWay();
  for (const bool corb : {false, true}) {
    const std::string out = path(corb ? "corb.csv" : "covb.csv");
    RunResult r = run(
        {"-e", std::string("QUORVEST y1 y2 BY a /OUTFILE=") + (corb ? "CORB" : "COVB") + "('" + out + "').",
         "--data", data});
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_NE(r.out.find(corb ? "Parameter Correlation Matrix" : "Parameter Covariance Matrix"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("does not compute it yet"), std::string::npos);
    const Rows rows = readCsv(slurp(out));
    ASSERT_EQ(rows.size(), 1u + 8 + 4 + 8);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"ROWVAR_", "COLVAR_", "ROWTYPE_", "VARNAME_", "P1", "P2",
                                                 "P3", "P4"}));
    // Blocks (1,1), (2,1), (2,2), each of four parameter rows; estimates after the diagonal blocks.
    const std::string kind = corb ? "COR" : "COV";
    struct Block {
      size_t first;
      int p, q;
    };
    for (const Block& b : {Block{1, 0, 0}, Block{9, 1, 0}, Block{13, 1, 1}}) {
      for (int c1 = 0; c1 < 4; ++c1) {
        const auto& row = rows[b.first + static_cast<size_t>(c1)];
        const std::string where =
            kind + " block " + std::to_string(b.p) + std::to_string(b.q) + " row " + std::to_string(c1);
        ASSERT_EQ(row.size(), 8u) << where;
        EXPECT_EQ(row[0], b.p ? "y2" : "y1") << where;
        EXPECT_EQ(row[1], b.q ? "y2" : "y1") << where;
        EXPECT_EQ(row[2], kind) << where;
        EXPECT_EQ(row[3], "P" + std::to_string(c1 + 1)) << where;
        for (int c2 = 0; c2 < 4; ++c2) {
          const long double cov = w.sigma[b.p][b.q] * w.g[c1][c2];
          if (!corb) {
            expectNumber(row[4 + c2], cov, where + " col " + std::to_string(c2));
          } else if (c1 == 3 || c2 == 3) {
            EXPECT_EQ(row[4 + c2], "") << where << " (aliased parameter)";
          } else {
            expectNumber(row[4 + c2],
                         cov / std::sqrt(w.sigma[b.p][b.p] * w.g[c1][c1] * w.sigma[b.q][b.q] * w.g[c2][c2]),
                         where + " col " + std::to_string(c2));
          }
        }
      }
    }
    for (const auto& [first, p] : {std::pair<size_t, int>{5, 0}, {17, 1}}) {
      const std::string dep = p ? "y2" : "y1";
      EXPECT_EQ(rows[first][2], "EST");
      EXPECT_EQ(rows[first + 1][2], "SE");
      EXPECT_EQ(rows[first + 2][2], "SIG");
      EXPECT_EQ(rows[first + 3][2], "DFE");
      for (int k = 0; k < 4; ++k) EXPECT_EQ(rows[first + static_cast<size_t>(k)][0], dep);
      for (int c = 0; c < 4; ++c) {
        const std::string where = dep + " parameter " + std::to_string(c);
        expectNumber(rows[first][4 + c], w.est[p][c], "EST " + where);
        expectNumber(rows[first + 3][4 + c], w.dfe, "DFE " + where);
        if (c == 3) {
          EXPECT_EQ(rows[first + 1][4 + c], "") << "SE of the aliased parameter";
          EXPECT_EQ(rows[first + 2][4 + c], "") << "SIG of the aliased parameter";
        } else {
          expectNumber(rows[first + 1][4 + c], std::sqrt(w.sigma[p][p] * w.g[c][c]), "SE " + where);
          EXPECT_FALSE(rows[first + 2][4 + c].empty()) << "SIG " + where;
        }
      }
    }
    const auto dict = nlohmann::json::parse(slurp(path(corb ? "corb.dict.json" : "covb.dict.json")));
    EXPECT_EQ(dict["variables"]["P2"]["label"], "[a=1]");
    EXPECT_EQ(dict["variables"]["ROWTYPE_"]["width"], 8);
    EXPECT_FALSE(dict["file_label"].get<std::string>().empty());
    // The file reads back as data with its dictionary.
    RunResult back = run({"-e", "QUORVEST P2 BY ROWTYPE_.", "--data", out, "--dictionary",
                          path(corb ? "corb.dict.json" : "covb.dict.json")});
    EXPECT_EQ(back.status, 0) << back.err << back.out;
  }
}

TEST_F(MatrixFiles, WithoutErrorDegreesOfFreedomNoCovarianceIsClaimed) {
  // One case per level: the fit is exact, nothing is known of the sampling error, so the
  // covariances and standard errors are empty rather than 0; the estimates (cell means 2 and 5
  // in the reference-cell coding: 5 and -3) and DFE = 0 are given.
  const std::string data = file("d.csv", "a,y\n1,2\n2,5\n");
  const std::string out = path("c.csv");
  RunResult r = run({"-e", "QUORVEST y BY a /OUTFILE=COVB('" + out + "').", "--data", data});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_EQ(slurp(out),
            "ROWVAR_,COLVAR_,ROWTYPE_,VARNAME_,P1,P2,P3\n"
            "y,y,COV,P1,,,\ny,y,COV,P2,,,\ny,y,COV,P3,,,\n"
            "y,,EST,,5,-3,0\ny,,SE,,,,\ny,,SIG,,,,\ny,,DFE,,0,0,0\n");
}

// The EFFECT file of a reference case holds the numbers of its between-subjects table.
TEST_F(MatrixFiles, EffectRowsEqualTheReferenceTables) {
  const fs::path ref = fs::path(QV_SOURCE_DIR) / "test" / "reference";
  for (const std::string name : {"unbal_type3", "mixed_b_random"}) {
    const fs::path dir = ref / name;
    std::string command = slurp(dir / "command.qv");
    command.erase(command.find_last_not_of(" \t\r\n.") + 1);
    const std::string out = path(name + ".csv");
    RunResult r = run({"-e", command + " /PRINT=OPOWER ETASQ /OUTFILE=EFFECT('" + out + "').", "--data",
                       (dir / "data.csv").string()});
    ASSERT_EQ(r.status, 0) << name << r.err << r.out;
    const auto expected = nlohmann::json::parse(slurp(dir / "expected.json"));
    const auto& table = expected["tables"]["Tests of Between-Subjects Effects"];
    const auto dict = nlohmann::json::parse(slurp(path(name + ".dict.json")));
    const auto& sourceLabels = dict["variables"]["SOURCE_"]["value_labels"];
    const Rows rows = readCsv(slurp(out));
    const std::vector<std::string> header{"DEPVAR_", "SOURCE_", "ROWTYPE_", "SS",    "DF",   "MS",
                                          "F",       "SIG",     "POWER",    "NNCNT", "ETASQ"};
    ASSERT_EQ(rows[0], header) << name;
    const std::map<std::string, std::string> column{{"SS", "Type III Sum of Squares"},
                                                    {"DF", "df"},
                                                    {"MS", "Mean Square"},
                                                    {"F", "F"},
                                                    {"SIG", "Significance"},
                                                    {"ETASQ", "Eta Squared"}};
    const bool mixed = name == "mixed_b_random";
    size_t checked = 0;
    for (size_t i = 1; i < rows.size(); ++i) {
      const auto& row = rows[i];
      ASSERT_EQ(row.size(), header.size()) << name << " row " << i;
      EXPECT_EQ(row[0], "y");
      const std::string source = row[1];
      const nlohmann::json* want = nullptr;
      if (mixed) {
        const std::string effect = sourceLabels["S" + source.substr(1)];
        want = &table[effect][source[0] == 'S' ? "Hypothesis" : "Error"];
        EXPECT_EQ(row[2], source[0] == 'S' ? "SS3" : "ERROR");
      } else {
        want = &table[sourceLabels[source].get<std::string>()];
      }
      for (size_t c = 3; c < header.size(); ++c) {
        auto it = column.find(header[c]);
        if (it == column.end() || !want->contains(it->second)) continue;
        expectNumber(row[c], (*want)[it->second].get<double>(), name + " " + source + " " + header[c]);
        ++checked;
      }
    }
    EXPECT_EQ(rows.size(), mixed ? 1u + 8 : 1u + 8) << name;
    EXPECT_GE(checked, mixed ? 32u : 30u) << name;
  }
}

TEST_F(MatrixFiles, DesignAndCovbAcrossSplitGroups) {
  // Group 2 has no level a=2 but a level a=3: the files' parameter columns are the union in
  // design order, and a column a group lacks is empty in its rows. Case 4 (missing x) is not
  // used, so its design columns are empty. The design rows are written out by hand.
  const std::string data = file(
      "d.csv",
      "g,a,x,y\n1,1,0.5,2\n1,1,1.5,4\n1,2,2,10\n1,2,,11\n1,2,3,14\n2,1,1,1\n2,3,2,5\n2,3,4,7\n2,1,3,2\n");
  const std::string design = path("design.csv"), covb = path("covb.csv");
  RunResult r = run({"-e", "QUORVEST y BY a WITH x /OUTFILE=DESIGN('" + design + "') COVB('" + covb + "').",
                     "--data", data, "--split", "g"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  // The default design puts the covariate before the factor: Intercept, x, [a=1], [a=2], [a=3].
  EXPECT_EQ(slurp(design),
            "g,a,x,P1,P2,P3,P4,P5\n"
            "1,1,0.5,1,0.5,1,0,\n1,1,1.5,1,1.5,1,0,\n1,2,2,1,2,0,1,\n1,2,,,,,,\n1,2,3,1,3,0,1,\n"
            "2,1,1,1,1,1,,0\n2,3,2,1,2,0,,1\n2,3,4,1,4,0,,1\n2,1,3,1,3,1,,0\n");
  const auto dict = nlohmann::json::parse(slurp(path("design.dict.json")));
  EXPECT_EQ(dict["variables"]["P2"]["label"], "x");
  EXPECT_EQ(dict["variables"]["P4"]["label"], "[a=2]");
  EXPECT_EQ(dict["variables"]["P5"]["label"], "[a=3]");
  const Rows rows = readCsv(slurp(covb));
  ASSERT_EQ(rows.size(), 1u + 2 * (4 + 4));
  EXPECT_EQ(rows[0][0], "g");
  for (size_t i = 1; i < rows.size(); ++i) {
    const bool first = i <= 8;
    ASSERT_EQ(rows[i].size(), 10u) << "row " << i;
    EXPECT_EQ(rows[i][0], first ? "1" : "2") << "row " << i;
    EXPECT_EQ(rows[i][first ? 9 : 8], "") << "row " << i << ": the column its group lacks";
  }
  EXPECT_EQ(rows[1][4], "P1");
  EXPECT_EQ(rows[4][4], "P4") << "group 1's fourth parameter is [a=2]";
  EXPECT_EQ(rows[12][4], "P5") << "group 2's fourth parameter is [a=3]";
}

TEST_F(MatrixFiles, BadTargetsStopTheCommandBeforeAnyCaseIsRead) {
  const std::string data = file("d.csv", oneWayCsv());
  const std::string output = file("out.txt", "old output\n");
  struct Case {
    std::string outfile, needle;
    int status;
  };
  const Case cases[] = {
      {"COVB('" + data + "')", "input or output files", 2},
      {"COVB('" + output + "')", "input or output files", 2},
      {"COVB('" + path("no/such/dir/c.csv") + "')", "cannot write", 2},
      {"COVB('" + path("same.csv") + "') EFFECT('" + path("same.csv") + "')", "cannot share", 2},
  };
  for (const Case& c : cases) {
    RunResult r = run({"-e", "QUORVEST y1 BY a /OUTFILE=" + c.outfile + ".", "--data", data, "-o", output});
    EXPECT_EQ(r.status, c.status) << c.outfile << r.err;
    const std::string text = slurp(output);
    EXPECT_NE(text.find(c.needle), std::string::npos) << text;
    EXPECT_EQ(text.find("Between-Subjects"), std::string::npos) << "no case was read";
  }
  EXPECT_EQ(slurp(data), oneWayCsv());
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir_)) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"d.csv", "out.txt"}));

  // A split variable holding a name the file needs: message 92, no file.
  const std::string clash = file("clash.csv", "ROWTYPE_,a,y\n1,1,2\n1,2,3\n1,1,4\n1,2,6\n");
  RunResult r = run({"-e", "QUORVEST y BY a /OUTFILE=COVB('" + path("c.csv") + "').", "--data", clash,
                     "--split", "ROWTYPE_", "--format", "json"});
  EXPECT_EQ(r.status, 1) << r.err;
  std::function<bool(const nlohmann::json&)> has92 = [&](const nlohmann::json& j) {
    if (j.is_object() && j.contains("number") && j["number"] == 92) return true;
    if (j.is_object() || j.is_array())
      for (const auto& e : j)
        if (has92(e)) return true;
    return false;
  };
  EXPECT_TRUE(has92(nlohmann::json::parse(r.out))) << r.out;
  EXPECT_FALSE(fs::exists(path("c.csv")));
}

TEST_F(MatrixFiles, AFailedWriteLeavesNoPartialFileAndTheOldOneIntact) {
  std::string csv = "y,a\n";
  for (int i = 0; i < 20000; ++i) csv += std::to_string(i % 97) + "," + std::to_string(i % 3 + 1) + "\n";
  const std::string data = file("d.csv", csv);
  const std::string out = file("design.csv", "old contents\n");
  const std::string cmd = "ulimit -f 64; " + shellQuote(QV_BINARY) +
                          " -e 'QUORVEST y BY a /OUTFILE=DESIGN(\"" + out + "\") EFFECT(\"" +
                          path("effect.csv") + "\").' --data " + shellQuote(data) + " >" +
                          shellQuote(path("out.txt")) + " 2>" + shellQuote(path("err.txt"));
  const int status = std::system(("sh -c " + shellQuote(cmd)).c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_NE(slurp(path("out.txt")).find("cannot write"), std::string::npos) << slurp(path("out.txt"));
  EXPECT_EQ(slurp(out), "old contents\n");
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir_)) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"d.csv", "design.csv", "err.txt", "out.txt"}));
}

}  // namespace
