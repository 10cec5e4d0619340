// TEST hypotheses, contrast and L matrix errors and the Custom Hypothesis Tests Index, run as
// whole commands. The numbers of the reference cases (test/reference) are checked there.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/output/messages.h"
#include "program_runner.h"

namespace {

using nlohmann::json;
using qvtest::ProgramTest;

const std::string kRefDir = std::string(QV_SOURCE_DIR) + "/test/reference/";

// Two factors each of two levels observed only as (1,1) and (2,2): b is aliased with a, so no
// contrast of b can be estimated, while a's can.
const char* kConfounded = "a,b,y\n1,1,3.1\n1,1,3.9\n1,1,3.4\n2,2,5.2\n2,2,6.0\n2,2,5.5\n";

class CustomHypotheses : public ProgramTest {
 protected:
  CustomHypotheses() : ProgramTest("qv_custom_") {}

  json run(const std::string& data, const std::string& command, int wantStatus = 0) {
    auto r = ProgramTest::run({"--data", data, "--format", "json", "-e", command});
    EXPECT_EQ(r.status, wantStatus) << r.err << r.out;
    json doc = json::parse(r.out, nullptr, false);
    EXPECT_FALSE(doc.is_discarded()) << r.out;
    return doc;
  }

  static void collect(const json& items, std::vector<json>& tables, std::vector<json>& messages,
                      std::vector<std::string>& headings) {
    for (const auto& it : items) {
      const std::string type = it.value("type", "");
      if (type == "table") tables.push_back(it);
      if (type == "message") messages.push_back(it);
      if (type == "heading") {
        headings.push_back(it.value("text", ""));
        collect(it["items"], tables, messages, headings);
      }
    }
  }

  struct Output {
    std::vector<json> tables, messages;
    std::vector<std::string> headings;
    std::vector<const json*> titled(const std::string& title) const {
      std::vector<const json*> out;
      for (const auto& t : tables)
        if (t.value("title", "") == title) out.push_back(&t);
      return out;
    }
    bool hasMessage(const std::string& text) const {
      for (const auto& m : messages)
        if (m.value("text", "") == text) return true;
      return false;
    }
  };

  Output outputOf(const json& doc) {
    Output o;
    for (const auto& c : doc["commands"]) collect(c["items"], o.tables, o.messages, o.headings);
    return o;
  }

  // The cell whose leaf keys include all of `keys`; null when there is none.
  static const json* cell(const json& table, const std::vector<std::string>& keys) {
    for (const auto& c : table["cells"]) {
      bool all = true;
      for (const auto& k : keys) {
        bool found = false;
        for (auto it = c["path"].begin(); it != c["path"].end(); ++it)
          found = found || it->back().get<std::string>() == k;
        all = all && found;
      }
      if (all) return &c;
    }
    return nullptr;
  }
  static std::vector<std::string> footnotesOf(const json& table, const json& c) {
    std::vector<std::string> out;
    for (const auto& m : c["footnotes"])
      for (const auto& f : table["footnotes"])
        if (f["marker"] == m) out.push_back(f["text"]);
    return out;
  }
  static std::vector<std::string> tableFootnotes(const json& table) {
    std::vector<std::string> out;
    for (const auto& f : table["footnotes"]) out.push_back(f["text"]);
    return out;
  }
};

// Expected values: the effect sums of squares of test_a_vs_ab (its expected.json, computed
// independently: a 192.02034530636377 on 2 df, b 107.71619062768377 on 2, a * b
// 48.769491432411655 on 4, Intercept 21472.718256122665 on 1) combined by hand: MSe = sum c MS,
// Satterthwaite df = MSe^2 / sum (c MS)^2 / df, F = MSh / MSe, and the F tail from the
// regularised incomplete beta function at 40 digits.
struct TestRow {
  const char* test;
  double sse, dfe, mse, f, sig;
  bool userDf, userSs;
};

TEST_F(CustomHypotheses, ErrorTermsOfTest) {
  const TestRow rows[] = {
      // Three mean squares, one negative coefficient, no DF: Satterthwaite df.
      {"Intercept VS 2*a*b + a - 1/2*b", 159.46697958485939, 1.7061519715087743, 93.46587071246677,
       229.73859968822359, 0.0080667369262640878, false, false},
      // A value with DF is an error mean square on those df; its sum of squares is value x df.
      {"a VS 12.5 DF(4)", 50.0, 4.0, 12.5, 7.6808138122545508, 0.042681164118480721, true, true},
      // One effect with the df given.
      {"b VS a*b DF(10)", 121.92372858102914, 10.0, 12.192372858102914, 4.4173596018307791,
       0.042189487553063149, true, false},
  };
  const std::string user = "User specified.";
  for (const TestRow& r : rows) {
    SCOPED_TRACE(r.test);
    Output o =
        outputOf(run(kRefDir + "test_a_vs_ab/data.csv", std::string("QUORVEST y BY a b /TEST=") + r.test));
    auto t = o.titled("Test Results");
    ASSERT_EQ(t.size(), 1u);
    const json* sse = cell(*t[0], {"Error", "Sum of Squares"});
    const json* dfe = cell(*t[0], {"Error", "df"});
    const json* mse = cell(*t[0], {"Error", "Mean Square"});
    const json* f = cell(*t[0], {"Contrast", "F"});
    const json* sig = cell(*t[0], {"Contrast", "Significance"});
    ASSERT_TRUE(sse && dfe && mse && f && sig);
    EXPECT_NEAR(sse->at("value").get<double>(), r.sse, 1e-9 * r.sse);
    EXPECT_NEAR(dfe->at("value").get<double>(), r.dfe, 1e-9 * r.dfe);
    EXPECT_NEAR(mse->at("value").get<double>(), r.mse, 1e-9 * r.mse);
    EXPECT_NEAR(f->at("value").get<double>(), r.f, 1e-9 * r.f);
    EXPECT_NEAR(sig->at("value").get<double>(), r.sig, 1e-9 * r.sig);
    EXPECT_EQ(footnotesOf(*t[0], *sse) == std::vector<std::string>{user}, r.userSs);
    EXPECT_EQ(footnotesOf(*t[0], *dfe) == std::vector<std::string>{user}, r.userDf);
    EXPECT_EQ(o.headings, std::vector<std::string>{"Custom Hypothesis Tests"});
    EXPECT_TRUE(o.titled("Custom Hypothesis Tests Index").empty());
  }
}

TEST_F(CustomHypotheses, NegativeCombinedErrorGivesNoTest) {
  // MS(a * b) - MS(b) = 12.19 - 53.86 < 0.
  Output o = outputOf(run(kRefDir + "test_a_vs_ab/data.csv", "QUORVEST y BY a b /TEST=a VS a*b - b"));
  auto t = o.titled("Test Results");
  ASSERT_EQ(t.size(), 1u);
  const json* sse = cell(*t[0], {"Error", "Sum of Squares"});
  ASSERT_NE(sse, nullptr);
  EXPECT_TRUE(sse->at("value").is_null());
  EXPECT_EQ(footnotesOf(*t[0], *sse),
            std::vector<std::string>{qv::catalogueText("This sum of squares is missing ...")});
  for (const char* stat : {"F", "Significance"}) {
    const json* c = cell(*t[0], {"Contrast", stat});
    EXPECT_TRUE(c == nullptr || c->at("value").is_null()) << stat;
  }
  // The error term is described as written.
  EXPECT_NE(std::find(tableFootnotes(*t[0]).begin(), tableFootnotes(*t[0]).end(), std::string("a * b - b")),
            tableFootnotes(*t[0]).end());
  EXPECT_EQ(o.titled("Tests of Between-Subjects Effects").size(), 1u);
}

// Contrasts that cannot be computed: the reason as a warning, no Contrast Results, a Test
// Results table with 0 df, and the rest of the output (a good contrast, where the design has
// one) still there.
TEST_F(CustomHypotheses, ContrastErrorsKeepTheRestOfTheOutput) {
  struct Row {
    std::string data, bad, key, good;
  };
  const std::string twoWay = kRefDir + "lmatrix_custom/data.csv";
  const std::string confounded = file("confounded.csv", kConfounded);
  const std::string repeated = "CONTRAST(a)=REPEATED";
  const Row rows[] = {
      {twoWay, "CONTRAST(a)=SPECIAL(1 -1 0 1)", "Wrong number of values for SPECIAL ...", repeated},
      {twoWay, "CONTRAST(a)=SIMPLE(4)", "Reference category out of range ...", repeated},
      {twoWay, "CONTRAST(a)=DEVIATION(5)", "Reference category out of range ...", repeated},
      {twoWay, "CONTRAST(a)=POLYNOMIAL(1 2)", "Wrong number of values for POLYNOMIAL ...", repeated},
      {confounded, "CONTRAST(b)=DEVIATION", "Cannot form L matrix ...", ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.bad);
    for (bool lmatrix : {false, true}) {
      std::string cmd = "QUORVEST y BY a b /" + r.bad;
      if (!r.good.empty()) cmd += " /" + r.good;
      if (lmatrix) cmd += " /PRINT=TEST(LMATRIX)";
      Output o = outputOf(run(r.data, cmd));
      EXPECT_TRUE(o.hasMessage(qv::catalogueText(r.key)));
      // Only the good contrast has estimates.
      auto results = o.titled("Contrast Results (K Matrix)");
      ASSERT_EQ(results.size(), r.good.empty() ? 0u : 1u);
      if (!r.good.empty()) {
        EXPECT_NE(cell(*results[0], {"Level 1 vs. Level 2", "Contrast Estimate"}), nullptr);
      }
      auto tests = o.titled("Test Results");
      ASSERT_EQ(tests.size(), r.good.empty() ? 1u : 2u);
      const json* df = cell(*tests[0], {"Contrast", "df"});
      ASSERT_NE(df, nullptr);
      EXPECT_EQ(df->at("value").get<double>(), 0.0);
      const json* f = cell(*tests[0], {"Contrast", "F"});
      EXPECT_TRUE(f == nullptr || f->at("value").is_null());
      // With the L matrix display, the reason also fills a table of its own.
      bool errorTable = false;
      for (const json* t : o.titled(qv::catalogueText("Contrast Coefficients ...")))
        errorTable = errorTable || tableFootnotes(*t) == std::vector<std::string>{qv::catalogueText(r.key)};
      EXPECT_EQ(errorTable, lmatrix);
      EXPECT_EQ(o.titled("Tests of Between-Subjects Effects").size(), 1u);
    }
  }
}

TEST_F(CustomHypotheses, LMatrixErrors) {
  const std::string confounded = file("confounded.csv", kConfounded);
  {
    // A row of the aliased b alone is not estimable: only the hypothesised values are shown.
    Output o = outputOf(run(confounded, "QUORVEST y BY a b /LMATRIX=b 1 -1"));
    auto results = o.titled("Contrast Results (K Matrix)");
    ASSERT_EQ(results.size(), 1u);
    for (const auto& c : results[0]->at("cells")) {
      const bool hypothesised = c["path"]["Statistics"].back() == "Hypothesized Value";
      EXPECT_EQ(c["value"].is_null(), !hypothesised) << c.dump();
    }
    EXPECT_TRUE(o.titled("Test Results").empty());
    bool noted = false;
    for (const json* t : o.titled(qv::catalogueText("Contrast Coefficients ...")))
      noted = noted || tableFootnotes(*t) ==
                           std::vector<std::string>{qv::catalogueText("This L matrix not estimable ...")};
    EXPECT_TRUE(noted);
  }
  {
    // ALL with too few values for the 12 parameters: warnings, no results, the next LMATRIX runs.
    Output o =
        outputOf(run(kRefDir + "lmatrix_custom/data.csv",
                     "QUORVEST y BY a b /LMATRIX=ALL 0 1 -1 /LMATRIX=a 1 -1 0 a*b 1/2 1/2 -1/2 -1/2 0 0"));
    EXPECT_TRUE(o.hasMessage(qv::expandTemplate(qv::catalogueText("LMATRIX ALL ^1 wrong N ..."), {"1"})));
    EXPECT_TRUE(o.hasMessage(qv::expandTemplate(qv::catalogueText("LMATRIX ^1 no tables ..."), {"1"})));
    EXPECT_EQ(o.titled("Contrast Results (K Matrix)").size(), 1u);
    EXPECT_EQ(o.titled("Test Results").size(), 1u);
    EXPECT_EQ(o.headings,
              (std::vector<std::string>{"Custom Hypothesis Tests #1", "Custom Hypothesis Tests #2"}));
  }
}

TEST_F(CustomHypotheses, IndexNumbersTestsThenContrastsThenLMatrices) {
  Output o =
      outputOf(run(kRefDir + "test_a_vs_ab/data.csv",
                   "QUORVEST y BY a b /LMATRIX='first' a 1 -1 0 /CONTRAST(b)=POLYNOMIAL /TEST=a VS a*b "
                   "/KMATRIX=0.5"));
  auto index = o.titled("Custom Hypothesis Tests Index");
  ASSERT_EQ(index.size(), 1u);
  auto text = [&](const std::string& row, const std::string& col) {
    const json* c = cell(*index[0], {row, col});
    return c ? c->at("value").get<std::string>() : std::string("(none)");
  };
  const std::string coef = qv::catalogueText("Contrast Coefficients ...");
  EXPECT_EQ(text("1", "Hypothesis Term"), "a");
  EXPECT_EQ(text("1", "Error Term"), "a * b");
  EXPECT_EQ(text("2", coef), "Polynomial Contrast (metric = 1, 2, 3) for b");
  EXPECT_EQ(text("2", "Contrast Results (K Matrix)"), "Zero Matrix");
  EXPECT_EQ(text("3", coef), "LMATRIX Subcommand 1: first");
  EXPECT_EQ(text("3", "Contrast Results (K Matrix)"), "KMATRIX Subcommand");
  EXPECT_EQ(o.headings, (std::vector<std::string>{"Custom Hypothesis Tests #1", "Custom Hypothesis Tests #2",
                                                  "Custom Hypothesis Tests #3"}));
  // No note says that these requests are not computed.
  for (const auto& m : o.messages) EXPECT_EQ(m.value("text", "").find("does not compute"), std::string::npos);
}

TEST_F(CustomHypotheses, KMatrixAloneTestsTheIntercept) {
  const std::string data = file("oneway.csv", "g,y\n1,1\n1,3\n2,5\n2,7\n");
  Output o = outputOf(run(data, "QUORVEST y BY g /KMATRIX=3"));
  // One hypothesis and no other: no index.
  EXPECT_TRUE(o.titled("Custom Hypothesis Tests Index").empty());
  auto results = o.titled("Contrast Results (K Matrix)");
  ASSERT_EQ(results.size(), 1u);
  // Level means 2 and 6; the intercept's hypothesis is their unweighted mean 4, tested against
  // 3: difference 1, standard error sqrt(MSE (1/2 + 1/2) / 4) with MSE = 4 / 2.
  const json* est = cell(*results[0], {"L1", "Contrast Estimate"});
  const json* diff = cell(*results[0], {"L1", "Difference (Estimate - Hypothesized)"});
  const json* se = cell(*results[0], {"L1", "Std. Error"});
  ASSERT_TRUE(est && diff && se);
  EXPECT_NEAR(est->at("value").get<double>(), 4.0, 1e-12);
  EXPECT_NEAR(diff->at("value").get<double>(), 1.0, 1e-12);
  EXPECT_NEAR(se->at("value").get<double>(), std::sqrt(0.5), 1e-12);
  EXPECT_EQ(tableFootnotes(*results[0]), std::vector<std::string>{"Estimable Function for Intercept"});
}

}  // namespace

namespace {

TEST_F(CustomHypotheses, ContrastCoefficientsAreTheBasisAveragedOverTheOtherFactor) {
  // Level 1 against the mean of four levels: 3/4 on [a=1], -1/4 on the others, and half of that
  // on each of the two cells of a * b in the level (the design is balanced, 4 x 2).
  Output o = outputOf(run(kRefDir + "contrast_deviation/data.csv",
                          "QUORVEST y BY a b /CONTRAST(a)=DEVIATION /PRINT=TEST(LMATRIX)"));
  const json* l = nullptr;
  for (const json* t : o.titled(qv::catalogueText("Contrast Coefficients ...")))
    for (const auto& d : t->at("dimensions"))
      if (d["name"] == "a Deviation Contrast") l = t;
  ASSERT_NE(l, nullptr);
  const std::vector<std::pair<std::string, double>> want = {
      {"Intercept", 0},         {"[a=1]", 0.75},           {"[a=4]", -0.25},          {"[b=1]", 0},
      {"[a=1] * [b=1]", 0.375}, {"[a=2] * [b=2]", -0.125}, {"[a=4] * [b=2]", -0.125},
  };
  for (const auto& [parameter, value] : want) {
    const json* c = cell(*l, {parameter, "Level 1 vs. Mean"});
    ASSERT_NE(c, nullptr) << parameter;
    EXPECT_NEAR(c->at("value").get<double>(), value, 1e-12) << parameter;
  }
  EXPECT_EQ(tableFootnotes(*l).front(), "Omitted category = 4");
}

}  // namespace
