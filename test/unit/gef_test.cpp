// The General Estimable Function and the effect L matrices, shown transposed.
#include <gtest/gtest.h>

#include "host/output/messages.h"
#include "hypotheses/estimable_functions.h"
#include "table_fixture.h"

using namespace qvtest;

namespace {

const std::vector<qv::EffectRow> kTwoWay{{-1, -1}, {0, -1}, {-1, 0}, {0, 0}};

// Columns of the 3 x 2 factorial: 1 Intercept, 2-4 [a=1..3], 5-6 [b=1..2], 7-12 the cells
// (1,1) (1,2) (2,1) (2,2) (3,1) (3,2). Redundant: 4, 6, 8, 10, 11, 12.
std::unique_ptr<TableFixture> twoWay(int sstype) {
  auto f =
      std::make_unique<TableFixture>(readCsv(referenceDir() + "params_twoway/data.csv"), "y",
                                     std::vector<std::string>{"a", "b"}, std::vector<std::string>{}, kTwoWay);
  EXPECT_TRUE(f->m.fit(sstype));
  return f;
}

// The transposed matrix as {parameter: {L column: value}}, with the cells that exist.
std::map<std::string, std::map<std::string, double>> columns(const qv::out::Table& t) {
  std::map<std::string, std::map<std::string, double>> m;
  int par = -1, con = -1;
  for (size_t d = 0; d < t.dimensions.size(); ++d) {
    if (t.dimensions[d].name == "Parameter") par = static_cast<int>(d);
    if (t.dimensions[d].name == "Contrast") con = static_cast<int>(d);
  }
  for (const auto& c : t.cells) m[c.path[par].back()][c.path[con].back()] = c.value.number;
  return m;
}

}  // namespace

TEST(GeneralEstimableFunction, TwoWayColumnsSkipRedundantParameters) {
  auto f = twoWay(3);
  qv::printGeneralEstimableFunction(f->ctx, f->st());
  const qv::out::Table* t = findTable(f->output, "General Estimable Function");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(leafKeys(*t, "Contrast"), (std::vector<std::string>{"L1", "L2", "L3", "L5", "L7", "L9"}));
  EXPECT_EQ(leafKeys(*t, "Parameter").size(), 12u);
  EXPECT_EQ(tableFootnotes(*t), (std::vector<std::string>{"Design: Intercept + a + b + a * b"}));
  auto m = columns(*t);
  // Each aliased column written on the kept ones: [a=3] = Intercept - [a=1] - [a=2],
  // [b=2] = Intercept - [b=1], [a=1]*[b=2] = [a=1] - [a=1]*[b=1],
  // [a=3]*[b=1] = [b=1] - [a=1]*[b=1] - [a=2]*[b=1], and
  // [a=3]*[b=2] = Intercept - [a=1] - [a=2] - [b=1] + [a=1]*[b=1] + [a=2]*[b=1].
  const std::map<std::string, std::map<std::string, double>> want{
      {"Intercept", {{"L1", 1}}},
      {"[a=1]", {{"L2", 1}}},
      {"[a=3]", {{"L1", 1}, {"L2", -1}, {"L3", -1}}},
      {"[b=2]", {{"L1", 1}, {"L5", -1}}},
      {"[a=1] * [b=2]", {{"L2", 1}, {"L7", -1}}},
      {"[a=3] * [b=1]", {{"L5", 1}, {"L7", -1}, {"L9", -1}}},
      {"[a=3] * [b=2]", {{"L1", 1}, {"L2", -1}, {"L3", -1}, {"L5", -1}, {"L7", 1}, {"L9", 1}}},
  };
  for (const auto& [par, entries] : want)
    for (const std::string l : {"L1", "L2", "L3", "L5", "L7", "L9"}) {
      auto it = entries.find(l);
      EXPECT_NEAR(m[par][l], it == entries.end() ? 0.0 : it->second, 1e-12) << par << " " << l;
    }
  // Integers are shown without decimals.
  const qv::out::Cell* c = findCell(*t, {{"Parameter", "[a=3]"}, {"Contrast", "L2"}});
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->value.fmt, qv::out::Fmt::Integer);
}

TEST(EffectLMatrices, TypeThreeHypothesesOfTheTwoWayFactorial) {
  auto f = twoWay(3);
  qv::printEffectLMatrices(f->ctx, f->st());
  ASSERT_EQ(f->output.items.size(), 1u);
  const auto& heading = std::get<std::shared_ptr<qv::out::Heading>>(f->output.items[0]);
  EXPECT_EQ(heading->text, qv::catalogueText("Contrast Coefficients ..."));
  ASSERT_EQ(heading->items.size(), 4u);
  const qv::out::Table* a = findTable(f->output, "a");
  const qv::out::Table* b = findTable(f->output, "b");
  const qv::out::Table* ab = findTable(f->output, "a * b");
  ASSERT_TRUE(a && b && ab && findTable(f->output, "Intercept"));
  EXPECT_EQ(a->subtype, "Contrast Coefficients");
  EXPECT_EQ(leafKeys(*a, "Contrast"), (std::vector<std::string>{"L2", "L3"}));
  EXPECT_EQ(leafKeys(*b, "Contrast"), (std::vector<std::string>{"L5"}));
  EXPECT_EQ(leafKeys(*ab, "Contrast"), (std::vector<std::string>{"L7", "L9"}));
  EXPECT_EQ(leafKeys(*a, "Parameter").size(), 12u);
  EXPECT_EQ(tableFootnotes(*a), (std::vector<std::string>{qv::expandTemplate(
                                    qv::catalogueText("This is the L transpose based on ^1 ..."), {"III"})}));
  // Type III: level 1 of a against level 3, averaged over the levels of b.
  auto m = columns(*a);
  const std::map<std::string, double> l2{
      {"[a=1]", 1},           {"[a=3]", -1},           {"[a=1] * [b=1]", 0.5},
      {"[a=1] * [b=2]", 0.5}, {"[a=3] * [b=1]", -0.5}, {"[a=3] * [b=2]", -0.5}};
  for (const auto& [par, cols] : m) {
    auto it = l2.find(par);
    EXPECT_NEAR(cols.at("L2"), it == l2.end() ? 0.0 : it->second, 1e-12) << par;
  }
  const qv::out::Cell* half = findCell(*a, {{"Parameter", "[a=1] * [b=1]"}, {"Contrast", "L2"}});
  ASSERT_NE(half, nullptr);
  EXPECT_EQ(half->value.fmt, qv::out::Fmt::Coefficient);
}

TEST(EffectLMatrices, TypeFourNonUniqueHypothesesAreMarked) {
  TableFixture f(readCsv(referenceDir() + "empty_type1/data.csv"), "y", {"a", "b"}, {}, kTwoWay);
  ASSERT_TRUE(f.m.fit(4));
  qv::printEffectLMatrices(f.ctx, f.st());
  const std::string notUnique = qv::catalogueText("Estimable not unique ...");
  auto has = [&](const std::string& effect) {
    const qv::out::Table* t = findTable(f.output, effect);
    EXPECT_NE(t, nullptr) << effect;
    auto notes = t ? tableFootnotes(*t) : std::vector<std::string>{};
    return std::find(notes.begin(), notes.end(), notUnique) != notes.end();
  };
  EXPECT_TRUE(has("a"));
  EXPECT_TRUE(has("b"));
  EXPECT_FALSE(has("a * b"));
  EXPECT_FALSE(has("Intercept"));
}

TEST(EstimableFunctions, ZeroDegreesOfFreedom) {
  // x2 repeats x: its effect is aliased and has no hypothesis.
  Csv csv;
  csv.names = {"x", "x2", "y"};
  csv.rows = {{1, 1, 2.0}, {2, 2, 3.5}, {3, 3, 3.0}, {4, 4, 6.0}};
  TableFixture f(csv, "y", {}, {"x", "x2"}, {{-1, -1}, {1, -1}, {-1, 1}});
  ASSERT_TRUE(f.m.fit(1));
  qv::printEffectLMatrices(f.ctx, f.st());
  const qv::out::Table* t = findTable(f.output, "x2");
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->cells.empty());
  EXPECT_EQ(tableFootnotes(*t), (std::vector<std::string>{qv::catalogueText("Zero degrees of freedom ...")}));
  const qv::out::Table* tx = findTable(f.output, "x");
  ASSERT_NE(tx, nullptr);
  EXPECT_EQ(leafKeys(*tx, "Contrast"), (std::vector<std::string>{"L2"}));

  // A model in which no column is estimable: a covariate that is zero throughout, no intercept.
  Csv zero;
  zero.names = {"x", "y"};
  zero.rows = {{0, 1.0}, {0, 2.0}};
  TableFixture z(zero, "y", {}, {"x"}, {{1}});
  ASSERT_TRUE(z.m.fit(3));
  ASSERT_EQ(z.g().modldf, 0);
  qv::printGeneralEstimableFunction(z.ctx, z.st());
  const qv::out::Table* g = findTable(z.output, "General Estimable Function");
  ASSERT_NE(g, nullptr);
  EXPECT_TRUE(g->cells.empty());
  EXPECT_EQ(tableFootnotes(*g), (std::vector<std::string>{qv::catalogueText("Zero degrees of freedom ...")}));
}

TEST(EffectLMatrices, EffectAfterAnEffectThatAliasesItNamesItsRowsByItsHypothesisColumns) {
  // DESIGN = a * b, a: every column of a is aliased in the full model (the cells come first),
  // yet its Type III hypothesis has two rows, carried by [a=1] and [a=2].
  TableFixture f(readCsv(referenceDir() + "params_twoway/data.csv"), "y", {"a", "b"}, {},
                 {{-1, -1}, {0, 0}, {0, -1}});
  ASSERT_TRUE(f.m.fit(3));
  ASSERT_EQ(f.g().hypotheses[2].df, 2);
  // Columns: 1 Intercept, 2-7 the cells, 8-10 [a=1..3].
  EXPECT_EQ(qv::effectLColumns(f.st(), 2), (std::vector<int>{7, 8}));
  qv::printEffectLMatrices(f.ctx, f.st());
  const qv::out::Table* a = findTable(f.output, "a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(leafKeys(*a, "Contrast"), (std::vector<std::string>{"L8", "L9"}));
}
