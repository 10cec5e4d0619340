// The Tests of Between-Subjects Effects table from whole commands run on in-memory data: the
// rows of models with and without an intercept, zero error degrees of freedom, several
// dependents, the Type IV footnote and split groups.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>

#include "driver/qvtctl.h"
#include "model_fixture.h"
#include "tolerances.h"

using namespace qvtest;

namespace {

constexpr double M = qv::kSysmis;

struct CommandRun {
  qv::out::CommandOutput out;
  qv::Context ctx;
  explicit CommandRun(const MemoryData& data, const std::string& command) {
    ctx.output = &out;
    ctx.data = &data;
    qv::QVTCTL(ctx, command);
  }
  std::vector<const qv::out::Table*> tables(int id) const {
    std::vector<const qv::out::Table*> t;
    for (const auto& item : out.items)
      if (const auto* tab = std::get_if<qv::out::Table>(&item); tab && tab->id == id) t.push_back(tab);
    return t;
  }
  std::vector<std::string> messages() const {
    std::vector<std::string> m;
    for (const auto& item : out.items)
      if (const auto* msg = std::get_if<qv::out::Message>(&item)) m.push_back(msg->text);
    return m;
  }
};

// The cells of a table by their leaf keys, dimension name -> key.
struct Cells {
  const qv::out::Table& t;
  const qv::out::Cell* find(const std::map<std::string, std::string>& at) const {
    for (const auto& c : t.cells) {
      bool match = true;
      for (size_t d = 0; d < t.dimensions.size() && match; ++d) {
        auto it = at.find(t.dimensions[d].name);
        if (it != at.end()) match = c.path[d].back() == it->second;
      }
      if (match) return &c;
    }
    return nullptr;
  }
  bool has(const std::string& source, const std::string& stat, const std::string& dep = "") const {
    return find(key(source, stat, dep)) != nullptr;
  }
  double value(const std::string& source, const std::string& stat, const std::string& dep = "") const {
    const qv::out::Cell* c = find(key(source, stat, dep));
    EXPECT_NE(c, nullptr) << source << " / " << stat;
    return c ? c->value.number : std::nan("");
  }
  std::vector<std::string> sources() const {
    std::vector<std::string> s;
    for (const auto& d : t.dimensions)
      if (d.name == "Source")
        for (const auto& c : d.categories) {
          if (c.isGroup)
            for (const auto& ch : c.children) s.push_back(ch.key);
          else
            s.push_back(c.key);
        }
    return s;
  }
  static std::map<std::string, std::string> key(const std::string& source, const std::string& stat,
                                                const std::string& dep) {
    std::map<std::string, std::string> k{{"Source", source}, {"Statistics", stat}};
    if (!dep.empty()) k["Dependent Variable"] = dep;
    return k;
  }
};

// One factor a (3 levels), covariate x, dependents y and z.
MemoryData oneWayData() {
  MemoryData d;
  d.numeric("y");
  d.numeric("z");
  d.numeric("a");
  d.numeric("x");
  Lcg rng(2);
  for (int a = 1; a <= 3; ++a)
    for (int k = 0; k < 3 + a; ++k) {
      double x = rng.grid(0, 4), y = 50 + a + 0.5 * x + rng.grid(-1, 1);
      d.add({y, y - x + rng.grid(-1, 1), double(a), x});
    }
  return d;
}

}  // namespace

TEST(ModelTable, WithoutInterceptTheModelRowIsAboutZero) {
  const MemoryData d = oneWayData();
  CommandRun r(d, "QUORVEST y BY a WITH x /INTERCEPT=EXCLUDE.");
  ASSERT_EQ(r.tables(6).size(), 1u) << (r.messages().empty() ? "" : r.messages()[0]);
  Cells c{*r.tables(6)[0]};
  EXPECT_EQ(c.sources(), (std::vector<std::string>{"Model", "x", "a", "Error", "Total"}));
  const std::string ss = "Type III Sum of Squares";
  const double n = 15, rank = 4;
  EXPECT_EQ(c.value("Model", "df"), n - (n - rank));
  EXPECT_EQ(c.value("Error", "df"), n - rank);
  EXPECT_EQ(c.value("Total", "df"), n);
  // Model + Error = Total about zero.
  EXPECT_TRUE(qv::test::nearRel(c.value("Model", ss) + c.value("Error", ss), c.value("Total", ss), 1e-12));
  double sumSq = 0;
  for (const auto& row : d.rows) sumSq += row[0] * row[0];
  EXPECT_TRUE(qv::test::nearRel(c.value("Total", ss), sumSq, 1e-12));
  EXPECT_EQ(c.value("a", "df"), 3);
}

TEST(ModelTable, SeveralDependentsAndZeroErrorDf) {
  MemoryData d;
  d.numeric("y");
  d.numeric("z");
  d.numeric("a");
  for (int a = 1; a <= 3; ++a) d.add({a * 2.0 + 1, 10.0 - a * a, double(a)});
  CommandRun r(d, "QUORVEST y z BY a /PRINT=ETASQ OPOWER.");
  ASSERT_EQ(r.tables(6).size(), 1u);
  Cells c{*r.tables(6)[0]};
  const std::string ss = "Type III Sum of Squares";
  for (const char* dep : {"y", "z"}) {
    SCOPED_TRACE(dep);
    EXPECT_EQ(c.value("Error", "df", dep), 0);
    EXPECT_EQ(c.value("Error", ss, dep), 0);
    EXPECT_TRUE(qv::isSysmis(c.value("Error", "Mean Square", dep)));
    EXPECT_TRUE(qv::isSysmis(c.value("a", "F", dep)));
    EXPECT_TRUE(qv::isSysmis(c.value("a", "Significance", dep)));
    EXPECT_TRUE(qv::isSysmis(c.value("a", "Observed Power", dep)));
    EXPECT_EQ(c.value("a", "df", dep), 2);
    EXPECT_EQ(c.value("Corrected Total", "df", dep), 2);
  }
  // Closed forms: y = 3, 5, 7 about 5; z = 9, 6, 1 about 16/3.
  EXPECT_TRUE(qv::test::nearRel(c.value("a", ss, "y"), 8, 1e-12));
  EXPECT_TRUE(qv::test::nearRel(c.value("Corrected Total", ss, "z"), 81 + 36 + 1 - 256.0 / 3, 1e-12));
  EXPECT_TRUE(qv::test::nearRel(c.value("Total", ss, "z"), 81 + 36 + 1, 1e-12));
}

TEST(ModelTable, TypeIVFootnoteOnlyWhereTheHypothesisIsNotUnique) {
  MemoryData d;
  d.numeric("y");
  d.numeric("a");
  d.numeric("b");
  Lcg rng(4);
  for (int a = 1; a <= 2; ++a)
    for (int b = 1; b <= 3; ++b)
      for (int k = 0; !(a == 2 && b == 3) && k < 2; ++k)
        d.add({a + b + rng.grid(-1, 1), double(a), double(b)});
  CommandRun r(d, "QUORVEST y BY a b /METHOD=SSTYPE(4).");
  ASSERT_EQ(r.tables(6).size(), 1u);
  const auto& t = *r.tables(6)[0];
  Cells c{t};
  const std::string ss = "Type IV Sum of Squares";
  auto footnoted = [&](const std::string& source) {
    return !c.find(Cells::key(source, ss, ""))->footnotes.empty();
  };
  EXPECT_FALSE(footnoted("Intercept"));
  EXPECT_TRUE(footnoted("a"));
  EXPECT_TRUE(footnoted("b"));
  EXPECT_FALSE(footnoted("a * b"));
  EXPECT_EQ(c.value("a * b", "df"), 1);  // five cells less 1 + 1 + 2
}

TEST(ModelTable, EverySplitGroupIsFittedOnItsOwnCases) {
  MemoryData d = oneWayData();
  const int g = d.numeric("g");
  for (size_t i = 0; i < d.rows.size(); ++i) {
    d.rows[i].resize(static_cast<size_t>(g) + 1);  // the rows were made before the column
    d.rows[i][g] = i < 7 ? 1 : 2;
  }
  d.split = {g};
  // An empty group between them: every case of group 3 has a missing y.
  d.add({M, 1, 1, 1, 3});
  d.add({5, 5, 2, 1, 4});
  d.add({6, 5, 2, 1, 4});
  CommandRun r(d, "QUORVEST y BY a.");
  const auto tables = r.tables(6);
  ASSERT_EQ(tables.size(), 3u);
  const std::string ss = "Type III Sum of Squares";
  EXPECT_EQ(Cells{*tables[0]}.value("Corrected Total", "df"), 6);
  EXPECT_EQ(Cells{*tables[1]}.value("Corrected Total", "df"), 7);
  EXPECT_EQ(Cells{*tables[2]}.value("Corrected Total", "df"), 1);
  EXPECT_EQ(Cells{*tables[2]}.value("a", "df"), 0);
  EXPECT_TRUE(qv::test::nearRel(Cells{*tables[2]}.value("Error", ss), 0.5, 1e-12));
  bool warned = false;
  for (const auto& m : r.messages()) warned = warned || m.find("No valid cases") != std::string::npos;
  EXPECT_TRUE(warned);
}

// Every reference case with a fixed-effects between-subjects table, run as a whole command on
// its data: each cell and the R squared footnote against the independently computed values.
TEST(ModelTable, ReferenceCasesEndToEnd) {
  const char* cases[] = {"ancova_at10",       "ancova_mean",    "balanced_type1", "balanced_type2",
                         "balanced_type3",    "balanced_type4", "empty_type1",    "empty_type2",
                         "freqweight",        "levene_twoway",  "lof_linear",     "nested_type3",
                         "oneway_unbalanced", "params_twoway",  "posthoc_oneway", "regwgt",
                         "test_a_vs_ab",      "unbal_type1_ab", "unbal_type1_ba", "unbal_type2",
                         "unbal_type3",       "unbal_type4"};
  for (const char* name : cases) {
    SCOPED_TRACE(name);
    const std::string dir = referenceDir() + name + "/";
    const Csv csv = readCsv(dir + "data.csv");
    MemoryData d;
    for (const auto& n : csv.names) d.numeric(n);
    for (const auto& row : csv.rows) d.add(row);
    if (std::ifstream w(dir + "weight.txt"); w) {
      std::string var;
      w >> var;
      d.weight = csv.col(var);
    }
    std::ifstream cmdFile(dir + "command.qv");
    const std::string command((std::istreambuf_iterator<char>(cmdFile)), std::istreambuf_iterator<char>());
    CommandRun r(d, command);
    ASSERT_EQ(r.tables(6).size(), 1u);
    const qv::out::Table& t = *r.tables(6)[0];
    Cells c{t};
    const auto exp = readExpected(name);
    // Sums of squares and F to 1e-9; significance and power through the distributions to 1e-9
    // with a floor for the tiny p-values.
    for (const auto& [source, cols] : exp["tables"]["Tests of Between-Subjects Effects"].items())
      for (const auto& [stat, want] : cols.items()) {
        SCOPED_TRACE(source + " / " + stat);
        if (want.is_null()) {
          EXPECT_TRUE(qv::isSysmis(c.value(source, stat)));
        } else {
          EXPECT_TRUE(qv::test::nearRel(c.value(source, stat), want.get<double>(), 1e-9, 1e-13));
        }
      }
    // The R squared footnote carries its values.
    bool found = false;
    for (const auto& f : t.footnotes)
      for (const auto& [k, v] : f.values)
        if (exp["footnotes"].contains(k)) {
          found = true;
          EXPECT_TRUE(qv::test::nearRel(v, exp["footnotes"][k].get<double>(), 1e-9)) << k;
        }
    EXPECT_EQ(found, exp["footnotes"].contains("R Squared"));
  }
}
