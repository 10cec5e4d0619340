// The quorvest program fed degenerate and hostile data: every run ends with a sensible exit status,
// a message that says what happened, blank cells for what cannot be computed, and output that
// parses; never a crash, a hang or "nan" shown as a number.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <cctype>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "program_runner.h"

namespace {

using namespace qvtest;

namespace fs = std::filesystem;
using nlohmann::json;

// A number the arithmetic could not represent, printed as such. The warning about NaN and
// infinity in the data names them in words, so it is taken out first.
bool showsNonFinite(std::string text) {
  const std::string warning = "(NaN or infinity)";
  for (size_t at; (at = text.find(warning)) != std::string::npos;) text.erase(at, warning.size());
  // The words nan, inf and infinity in any case (a linear scan: the outputs of large designs
  // run to megabytes, where a regular expression is slow in the sanitizer build).
  auto word = [](unsigned char c) { return std::isalnum(c) || c == '_'; };
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const std::string w : {"nan", "infinity", "inf"})
    for (size_t at = text.find(w); at != std::string::npos; at = text.find(w, at + 1)) {
      const size_t end = at + w.size();
      if ((at == 0 || !word(static_cast<unsigned char>(text[at - 1]))) &&
          (end == text.size() || !word(static_cast<unsigned char>(text[end]))))
        return true;
    }
  return false;
}

class CliBadInput : public ProgramTest {
 protected:
  CliBadInput() : ProgramTest("qv_bad_") {}

  RunResult run(const std::vector<std::string>& args) { return ProgramTest::run(args, 20); }

  // Runs the command as text and as JSON; both must exit alike and show no non-finite number,
  // and the JSON must parse. Returns the text run; the parsed JSON goes to *doc.
  RunResult runBoth(const std::vector<std::string>& args, json* doc = nullptr) {
    RunResult text = run(args);
    std::vector<std::string> jargs = args;
    jargs.insert(jargs.end(), {"--format", "json"});
    RunResult js = run(jargs);
    EXPECT_EQ(js.status, text.status) << js.err;
    EXPECT_FALSE(showsNonFinite(text.out)) << text.out;
    EXPECT_FALSE(showsNonFinite(js.out)) << js.out;
    if (!js.out.empty()) {
      json parsed = json::parse(js.out, nullptr, false);
      EXPECT_FALSE(parsed.is_discarded()) << js.out;
      if (doc) *doc = parsed;
    }
    return text;
  }
};

// The cell of the named table at the given categories, or null json when it is not there.
json cellOf(const json& doc, const std::string& title, const json& at) {
  for (const auto& cmd : doc["commands"])
    for (const auto& item : cmd["items"]) {
      if (item.value("title", "") != title) continue;
      for (const auto& c : item["cells"]) {
        bool match = true;
        for (const auto& [k, v] : at.items()) match = match && c["at"].value(k, "") == v.get<std::string>();
        if (match) return c;
      }
    }
  return json();
}

// Values whose squares overflow double arithmetic used to reach the tables as "-nan" in the
// R squared footnote, as t = 0 with significance 1 beside a blank standard error, as partial eta
// squared 0 and power .05 beside an infinite error sum of squares, and as a standard deviation of
// 0 for two values 2.7e308 apart. All of these must now be blank, with a warning naming the
// dependent variable.
TEST_F(CliBadInput, OverflowingSumsLeaveBlankCellsAndAWarning) {
  // y = 1e200 x exactly: the fit is perfect, but y squared is far out of range.
  const std::string data = file("huge.csv", "y,a,x\n1e200,1,1\n2e200,1,2\n3e200,2,3\n5e200,2,5\n");
  json doc;
  RunResult r = runBoth(
      {"-e", "QUORVEST y BY a WITH x /PRINT=PARAMETER DESCRIPTIVE ETASQ OPOWER.", "--data", data}, &doc);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("The sums of squares of y exceed the range of the arithmetic"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("R Squared = . (Adjusted R Squared = .)"), std::string::npos) << r.out;
  const char* const tests = "Tests of Between-Subjects Effects";
  for (const char* stat : {"F", "Significance", "Eta Squared", "Noncentrality Parameter", "Observed Power"})
    EXPECT_TRUE(cellOf(doc, tests, {{"Source", "a"}, {"Statistics", stat}})["value"].is_null()) << stat;
  for (const char* stat : {"Std. Error", "t", "Significance", "Eta Squared", "Observed Power"})
    EXPECT_TRUE(
        cellOf(doc, "Parameter Estimates", {{"Parameter", "x"}, {"Statistics", stat}})["value"].is_null())
        << stat;

  // A covariate whose squares overflow cannot stay in the model; it used to vanish from it
  // without a word while the intercept was estimated as if it had never been named.
  const std::string bigx =
      file("bigx.csv", "y,a,x\n1,1,1e300\n2,1,2e300\n3,2,3e300\n5,2,5e300\n6,1,1e300\n7,2,2e300\n");
  r = runBoth({"-e", "QUORVEST y BY a WITH x /PRINT=PARAMETER.", "--data", bigx}, &doc);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("The sums of squares of x exceed the range of the arithmetic; it is left out"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("The sums of squares of y"), std::string::npos) << r.out;
  EXPECT_EQ(cellOf(doc, "Parameter Estimates", {{"Parameter", "x"}, {"Statistics", "B"}})["value"], 0.0);
  // Nor may it take the other hypotheses with it (they came out with 0 df): without x, by hand,
  // Intercept (sum y)^2 / n = 24^2 / 6 = 96 and a 3 (3 - 4)^2 + 3 (5 - 4)^2 = 6, in every type.
  const char* const roman[] = {"I", "II", "III", "IV"};
  const std::tuple<const char*, double, double> rows[] = {{"Intercept", 1, 96}, {"a", 1, 6}, {"x", 0, 0}};
  for (int type = 1; type <= 4; ++type) {
    r = runBoth(
        {"-e", "QUORVEST y BY a WITH x /METHOD=SSTYPE(" + std::to_string(type) + ").", "--data", bigx}, &doc);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string ss = std::string("Type ") + roman[type - 1] + " Sum of Squares";
    for (const auto& [source, df, want] : rows) {
      const json dfCell = cellOf(doc, tests, {{"Source", source}, {"Statistics", "df"}});
      const json ssCell = cellOf(doc, tests, {{"Source", source}, {"Statistics", ss}});
      EXPECT_EQ(dfCell["value"], df) << type << source;
      EXPECT_NEAR(ssCell["value"].get<double>(), want, 1e-9) << type << source;
    }
  }

  // Two values at opposite ends of the range: their spread is not 0, it is beyond reach.
  const std::string far = file("far.csv", "y,a\n1.7e308,1\n1.7e308,1\n-1.7e308,2\n1e308,2\n");
  r = runBoth({"-e", "QUORVEST y BY a /PRINT=DESCRIPTIVE.", "--data", far}, &doc);
  EXPECT_EQ(r.status, 0) << r.err;
  const char* const desc = "Descriptive Statistics";
  EXPECT_EQ(cellOf(doc, desc, {{"a", "1"}, {"Statistics", "Std. Deviation"}})["value"], 0.0);
  EXPECT_TRUE(cellOf(doc, desc, {{"a", "2"}, {"Statistics", "Std. Deviation"}})["value"].is_null());
  EXPECT_TRUE(cellOf(doc, desc, {{"a", "Total"}, {"Statistics", "Std. Deviation"}})["value"].is_null());
}

// Degenerate designs and data, each run end to end in both formats: the exit status and the
// message a user sees.
TEST_F(CliBadInput, DegenerateInputsEndWithAMessageOrBlankCells) {
  const std::string six = file("six.csv",
                               "y,z,a,b,x,s,w\n1,2,1,1,2,A,1\n2,3,1,2,3,B,0\n3,5,2,1,5,A,-1\n"
                               "4,4,2,2,4,C,\n5,7,1,1,7,B,2\n6,6,2,2,6,C,1\n");
  const std::string constant = file("const.csv", "y,a,x\n1,1,1\n1,1,2\n1,2,3\n1,2,4\n");
  const std::string missing = file("missing.csv", "y,a\n,1\n2,\n,\n");
  const std::string header = file("header.csv", "y,a\n");
  const std::string zeros = file("zeros.csv", "y,a,w\n1,1,0\n2,2,0\n3,1,0\n");
  const std::string one = file("one.csv", "y,a,x\n5,1,3\n");
  const std::string nonfinite =
      file("nonfinite.csv", "y,a,x\n1,1,nan\n2,1,2\ninf,2,3\n4,2,4\n5,1,-inf\n6,2,5\n9,1,6\n");
  const std::string split =
      file("split.csv", "g,y,a\n1,1,1\n1,2,2\n1,3,1\n2,,1\n2,,2\n3,5,1\n3,7,2\n3,6,1\n");
  std::string wide = "y";
  for (int f = 0; f < 12; ++f) wide += ",f" + std::to_string(f);
  wide += "\n";
  for (int c = 0; c < 30; ++c) {
    wide += std::to_string(c);
    for (int f = 0; f < 12; ++f) wide += "," + std::to_string((c * (f + 3)) % 40);
    wide += "\n";
  }
  const std::string many = file("many.csv", wide);
  // One factor with 30 000 levels: its dense cross-product matrices would need about 34 GiB,
  // more than this 24 GiB machine has (more levels only slow the sanitizer build down). Two
  // cases a level, one more than the other: within each level a sum of squares of 1/2, so the
  // error is 15 000 on 30 000 df.
  std::string hugeText = "g,y\n";
  for (int i = 1; i <= 30000; ++i)
    for (int k = 0; k < 2; ++k) hugeText += std::to_string(i) + "," + std::to_string(i % 7 + k) + "\n";
  const std::string huge = file("huge.csv", hugeText);
  const std::string script = file("two.qv", "QUORVEST y BY nosuch.\nQUORVEST y BY a /PRINT=DESCRIPTIVE.\n");

  struct Case {
    std::vector<std::string> args;
    int status;
    std::string needle;  // in standard output
  };
  const std::string all = " /PRINT=PARAMETER ETASQ OPOWER DESCRIPTIVE HOMOGENEITY.";
  const Case cases[] = {
      {{"-e", "QUORVEST y BY a WITH x" + all, "--data", constant},
       0,
       "R Squared = . (Adjusted R Squared = .)"},
      {{"-e", "QUORVEST y BY a" + all, "--data", one}, 0, "fewer than two non-empty groups"},
      {{"-e", "QUORVEST y BY a b" + all, "--data", six}, 0, "Levene's Test"},
      {{"-e", "QUORVEST y z BY a b" + all, "--data", six}, 0, "Tests of Between-Subjects Effects"},
      {{"-e", "QUORVEST y BY a b /INTERCEPT=EXCLUDE" + all, "--data", six}, 0, "Model"},
      {{"-e", "QUORVEST y BY a b /METHOD=SSTYPE(4) /DESIGN=a b(a)" + all, "--data", six}, 0, "b(a)"},
      {{"-e", "QUORVEST y WITH x" + all, "--data", six}, 0, "Warning 34"},
      {{"-e", "QUORVEST y" + all, "--data", six}, 0, "Intercept"},
      {{"-e", "QUORVEST y BY s" + all, "--data", six}, 0, "[s=A]"},
      {{"-e", "QUORVEST y BY a /REGWGT=w" + all, "--data", six}, 0, "Weighted Least Squares"},
      {{"-e", "QUORVEST y BY a WITH x" + all, "--data", nonfinite}, 0, "not finite numbers"},
      {{"-e", "QUORVEST y BY a" + all, "--data", split, "--split", "g"},
       0,
       "No valid cases in split group g=2"},
      {{"-e", "QUORVEST y BY a" + all, "--data", split, "--split", "g", "--split-layout", "separate"},
       0,
       "No valid cases in split group g=2"},
      {{"-e", "QUORVEST y BY a.", "--data", missing}, 1, "Error 77"},
      {{"-e", "QUORVEST y BY a.", "--data", header}, 1, "Error 153"},
      {{"-e", "QUORVEST y BY a.", "--data", zeros, "--weight", "w"}, 1, "Error 77"},
      {{"-e", "QUORVEST y BY a /REGWGT=w.", "--data", zeros}, 1, "Error 77"},
      {{"-e", "QUORVEST y BY f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 f10 f11.", "--data", many}, 1, "Error 151"},
      // Fitted from its cells' means; a request that needs the dense matrices still stops.
      {{"-e", "QUORVEST y BY g /PRINT=ETASQ.", "--data", huge}, 0, "15000.000  │ 30000 │"},
      {{"-e", "QUORVEST y BY g /POSTHOC=g(SCHEFFE).", "--data", huge},
       1,
       "The design has 30001 parameters (design columns)"},
      {{script, "--data", six}, 1, "Descriptive Statistics"},
  };
  for (const auto& c : cases) {
    RunResult r = runBoth(c.args);
    const std::string what = c.args.size() > 1 ? c.args[1] : c.args[0];
    EXPECT_EQ(r.status, c.status) << what << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find(c.needle), std::string::npos) << what << "\n" << r.out;
  }
}

}  // namespace
