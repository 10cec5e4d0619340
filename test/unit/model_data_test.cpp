// The data pass (valid cases, weights, factor levels, cells) and the design layout (columns,
// cell order, design rows, the overflow guard), on data held in memory.
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <numeric>

#include "data/case_pass.h"
#include "data/design.h"
#include "host/data/case_stream.h"
#include "model_fixture.h"

using namespace qvtest;

namespace {

constexpr double M = qv::kSysmis;

// A data pass over `data` with the given dependents, factors and covariates (dictionary
// indexes).
struct Pass {
  qv::ProcedureState st;
  qv::CaseWorkFile work;
  qv::out::CommandOutput out;
  qv::Context ctx;
  qv::PassResult result = qv::PassResult::Error;

  Pass(const MemoryData& data, std::vector<int> deps, std::vector<int> factors, std::vector<int> covs) {
    ctx.output = &out;
    ctx.data = &data;
    st.depVars = std::move(deps);
    st.factorVars = std::move(factors);
    st.covVars = std::move(covs);
  }
  Pass& run() {
    auto reader = ctx.data->read();
    result = qv::readGroupCases(ctx, st, *reader, true, work);
    return *this;
  }
  int level(long k, int f) const { return st.group.cellLevels(cells()[static_cast<size_t>(k)])[f]; }
  std::vector<int> cells() const {
    return gatherCases(work, [](const qv::CaseBlock& b, long k) { return b.designCell(k); });
  }
  std::vector<int> messageNumbers() const {
    std::vector<int> n;
    for (const auto& item : out.items)
      if (const auto* m = std::get_if<qv::out::Message>(&item)) n.push_back(m->number.value_or(0));
    return n;
  }
};

}  // namespace

TEST(ModelDataPass, LevelsAreSortedValuesWithWeightedCounts) {
  MemoryData d;
  const int y = d.numeric("y"), a = d.numeric("a"), s = d.string("s", 8), f = d.numeric("f");
  d.weight = f;
  // (y, a, s, f)
  d.add({1, 10, 0, 2}, {"", "", "pear"});
  d.add({2, 2, 0, 1}, {"", "", "apple"});
  d.add({3, 1.5, 0, 3}, {"", "", "pear"});
  d.add({4, 10, 0, 2.9999999999}, {"", "", "fig"});  // rounds to 3
  d.add({5, 2, 0, 0}, {"", "", "kiwi"});             // weight 0: dropped
  d.add({6, 1.5, 0, -1}, {"", "", "kiwi"});          // negative weight: dropped
  d.add({7, 99, 0, M}, {"", "", "kiwi"});            // missing weight: dropped
  d.add({M, 42, 0, 1}, {"", "", "kiwi"});            // level 42 only where y is missing
  Pass p(d, {y}, {a, s}, {});
  ASSERT_EQ(p.run().result, qv::PassResult::Ok);
  const auto& g = p.st.group;
  EXPECT_EQ(g.nvalid, 4);
  EXPECT_DOUBLE_EQ(g.sumWeights, 9.0);
  EXPECT_EQ(g.nlevls, (std::vector<int>{3, 3}));
  EXPECT_EQ(g.levelNumbers[0], (std::vector<double>{1.5, 2, 10}));
  EXPECT_EQ(g.levelStrings[1], (std::vector<std::string>{"apple", "fig", "pear"}));
  EXPECT_EQ(g.levelWeights[0], (std::vector<double>{3, 1, 5}));
  EXPECT_EQ(g.levelWeights[1], (std::vector<double>{1, 3, 5}));
  for (int fac = 0; fac < 2; ++fac)
    EXPECT_DOUBLE_EQ(std::accumulate(g.levelWeights[fac].begin(), g.levelWeights[fac].end(), 0.0),
                     g.sumWeights);
  const int want[4][2] = {{3, 3}, {2, 1}, {1, 3}, {3, 2}};
  for (long k = 0; k < 4; ++k) {
    EXPECT_EQ(p.level(k, 0), want[k][0]) << k;
    EXPECT_EQ(p.level(k, 1), want[k][1]) << k;
  }
  EXPECT_EQ(gatherCases(p.work, [](const qv::CaseBlock& b, long k) { return b.weight(k); }),
            (std::vector<double>{2, 1, 3, 3}));
}

TEST(ModelDataPass, RegressionWeightAndListwiseDeletion) {
  MemoryData d;
  const int y = d.numeric("y"), a = d.numeric("a"), x = d.numeric("x"), r = d.numeric("r");
  d.add({1, 1, 0.5, 2});
  d.add({2, 2, 0.5, 0});   // regression weight 0
  d.add({3, 2, 0.5, -3});  // negative
  d.add({4, 2, 0.5, M});   // missing
  d.add({5, 3, M, 1});     // covariate missing: level 3 does not exist
  d.add({6, 2, 1.5, 0.5});
  d.dict.vars[a].missing.numbers = {9};
  d.add({7, 9, 1.5, 1});  // user-missing factor value
  Pass p(d, {y}, {a}, {x});
  p.st.regwgtVar = r;
  ASSERT_EQ(p.run().result, qv::PassResult::Ok);
  EXPECT_EQ(p.st.group.nvalid, 2);
  EXPECT_EQ(p.st.group.sumWeights, 2.0);  // regression weights do not count cases
  EXPECT_EQ(p.st.group.levelNumbers[0], (std::vector<double>{1, 2}));
  EXPECT_EQ(gatherCases(p.work, [](const qv::CaseBlock& b, long k) { return b.regWeight(k); }),
            (std::vector<double>{2, 0.5}));
  // MISSING=INCLUDE: the user-missing value is a level of its own.
  Pass inc(d, {y}, {a}, {x});
  inc.st.regwgtVar = r;
  inc.st.includeUserMissing = true;
  ASSERT_EQ(inc.run().result, qv::PassResult::Ok);
  EXPECT_EQ(inc.st.group.levelNumbers[0], (std::vector<double>{1, 2, 9}));
}

TEST(ModelDataPass, CellsNumberedInOrderOfFirstAppearance) {
  MemoryData d;
  const int y = d.numeric("y"), a = d.numeric("a"), b = d.numeric("b");
  for (auto [av, bv] : {std::pair{2, 1}, {1, 1}, {2, 1}, {1, 2}, {1, 1}}) d.add({1, double(av), double(bv)});
  Pass p(d, {y}, {a, b}, {});
  p.st.printHomogeneity = true;
  ASSERT_EQ(p.run().result, qv::PassResult::Ok);
  EXPECT_EQ(p.cells(), (std::vector<int>{0, 1, 0, 2, 1}));
  EXPECT_EQ(p.st.group.nonEmptyCells(), 3);
}

TEST(ModelDataPass, NoValidCases) {
  MemoryData d;
  const int y = d.numeric("y"), a = d.numeric("a");
  Pass none(d, {y}, {a}, {});
  EXPECT_EQ(none.run().result, qv::PassResult::Error);
  EXPECT_EQ(none.messageNumbers(), std::vector<int>{153});
  d.add({M, 1});
  Pass allMissing(d, {y}, {a}, {});
  EXPECT_EQ(allMissing.run().result, qv::PassResult::Error);
  EXPECT_EQ(allMissing.messageNumbers(), std::vector<int>{77});
}

namespace {

// A fitted layout of factors a (2 levels) and b (3 levels) and covariates x, z over the given
// (a, b) cells, each observed once with x = a + b / 4 and z = b - 1.5.
struct Layout {
  qv::ProcedureState st;
  qv::out::CommandOutput out;
  qv::Context ctx;
  std::vector<double> cov;
  std::vector<int32_t> caseCells;
  bool ok = false;

  Layout(const std::vector<std::pair<int, int>>& cells, const std::vector<qv::EffectRow>& effects,
         std::vector<int> ptecwf = {}) {
    ctx.output = &out;
    st.factorVars.resize(2);
    st.covVars.resize(2);
    st.depVars.resize(1);
    st.ptefds = effects;
    st.ptecwf = ptecwf.empty() ? std::vector<int>(effects.size(), 0) : ptecwf;
    st.group.nlevls = {2, 3};
    std::vector<int> levels;
    for (auto [a, b] : cells) {
      levels.push_back(a);
      levels.push_back(b);
      cov.push_back(a + b / 4.0);
      cov.push_back(b - 1.5);
      ++st.group.nvalid;
    }
    caseCells = setCaseLevels(st.group, levels, 2);
    ok = qv::layoutDesign(ctx, st);
  }
  // The non-zero entries of the design row of case k.
  std::vector<std::pair<int, double>> row(long k) const {
    std::vector<std::pair<int, double>> r;
    qv::designRow(st, caseCells[static_cast<size_t>(k)], &cov[static_cast<size_t>(k) * 2], r);
    return r;
  }
};

const std::vector<std::pair<int, int>> kAllSix{{1, 1}, {1, 2}, {1, 3}, {2, 1}, {2, 2}, {2, 3}};

}  // namespace

TEST(ModelDesignLayout, TwoByThreeWithAndWithoutAnEmptyCell) {
  const std::vector<qv::EffectRow> factorial{
      {-1, -1, -1, -1}, {0, -1, -1, -1}, {-1, 0, -1, -1}, {0, 0, -1, -1}};
  // Cases in scrambled order: columns still follow cell order.
  Layout full({{2, 3}, {1, 2}, {2, 1}, {1, 1}, {1, 3}, {2, 2}}, factorial);
  ASSERT_TRUE(full.ok);
  EXPECT_EQ(full.st.group.dmncol, 12);
  EXPECT_EQ(full.st.group.effectFirstCol, (std::vector<int>{1, 2, 4, 7}));
  EXPECT_EQ(full.st.group.effectNcols, (std::vector<int>{1, 2, 3, 6}));
  EXPECT_EQ(full.st.group.colCell, (std::vector<long>{1, 1, 2, 1, 2, 3, 1, 2, 3, 4, 5, 6}));
  // Case (2, 3): intercept, a=2, b=3 and the last interaction cell.
  EXPECT_EQ(full.row(0), (std::vector<std::pair<int, double>>{{0, 1.0}, {2, 1.0}, {5, 1.0}, {11, 1.0}}));
  // Cell (a=1, b=3) missing: the interaction loses that column, the main effects keep theirs.
  Layout gap({{2, 3}, {1, 2}, {2, 1}, {1, 1}, {2, 2}}, factorial);
  ASSERT_TRUE(gap.ok);
  EXPECT_EQ(gap.st.group.dmncol, 11);
  EXPECT_EQ(gap.st.group.effectNcols, (std::vector<int>{1, 2, 3, 5}));
  EXPECT_EQ(gap.st.group.colCell, (std::vector<long>{1, 1, 2, 1, 2, 3, 1, 2, 4, 5, 6}));
  EXPECT_EQ(gap.row(0).back(), (std::pair<int, double>{10, 1.0}));
  EXPECT_EQ(gap.row(2).back(), (std::pair<int, double>{8, 1.0}));  // (2, 1) is cell 4, column 9
  // Cell arithmetic both ways: the last factor varies fastest.
  const std::vector<int> order = qv::effectFactorOrder(factorial[3], 2);
  const int levels[2] = {2, 1};
  EXPECT_EQ(qv::cellOfLevels(order, {2, 3}, levels), 4);
  EXPECT_EQ(qv::levelsOfCell(order, {2, 3}, 2, 6), (std::vector<int>{2, 3}));
}

TEST(ModelDesignLayout, NestedEffectsAndCovariateTerms) {
  // b within a with each b under one a only; x*z; x*x; a*x; x(a).
  const std::vector<std::pair<int, int>> cells{{1, 1}, {1, 2}, {2, 3}, {1, 1}};
  const std::vector<qv::EffectRow> effects{{-1, -1, -1, -1}, {0, 1, -1, -1}, {-1, -1, 1, 1},
                                           {-1, -1, 2, -1},  {0, -1, 1, -1}, {0, -1, 1, -1}};
  Layout l(cells, effects, {0, 0, 0, 0, 0, 1});
  ASSERT_TRUE(l.ok);
  // b(a): cells in a-outer order, (1,1) (1,2) (2,3) = cells 1, 2, 6 of the 2 x 3 grid.
  EXPECT_EQ(l.st.group.effectNcols, (std::vector<int>{1, 3, 1, 1, 2, 2}));
  EXPECT_EQ(l.st.group.dmncol, 10);
  EXPECT_EQ(std::vector<long>(l.st.group.colCell.begin() + 1, l.st.group.colCell.begin() + 4),
            (std::vector<long>{1, 2, 6}));
  // Case 3 is (a=2, b=3), x = 2.75, z = 1.5.
  const double x = 2.75, z = 1.5;
  EXPECT_EQ(l.row(2), (std::vector<std::pair<int, double>>{
                          {0, 1.0}, {3, 1.0}, {4, x * z}, {5, x * x}, {7, x}, {9, x}}));
  // Labels and names.
  MemoryData d;
  d.numeric("a");
  d.numeric("b");
  d.numeric("x");
  d.numeric("z");
  l.st.factorVars = {0, 1};
  l.st.covVars = {2, 3};
  l.st.group.levelNumbers = {{1, 2}, {1, 2, 3}};
  l.st.group.levelStrings = {{}, {}};
  std::vector<std::string> labels;
  qv::buildParamLabels(l.st, d.dict, labels);
  EXPECT_EQ(labels,
            (std::vector<std::string>{"Intercept", "[b=1]([a=1])", "[b=2]([a=1])", "[b=3]([a=2])", "x * z",
                                      "x * x", "[a=1] * x", "[a=2] * x", "x([a=1])", "x([a=2])"}));
  std::vector<std::string> names;
  for (int e = 0; e < 6; ++e) names.push_back(qv::effectName(l.st, d.dict, e));
  EXPECT_EQ(names, (std::vector<std::string>{"Intercept", "b(a)", "x * z", "x * x", "a * x", "x(a)"}));
}

TEST(ModelDesignLayout, CovariatesOnlyAndInterceptOnly) {
  // No factors: one column per term; the intercept column is 1.0 for every case.
  Layout cov(kAllSix, {{-1, -1, -1, -1}});
  cov.st.factorVars.resize(0);
  cov.st.group.nlevls.clear();
  cov.caseCells = setCaseLevels(cov.st.group, {}, 0);
  cov.st.ptefds = {{-1, -1}, {1, -1}, {1, 1}};
  cov.st.ptecwf = {0, 0, 0};
  ASSERT_TRUE(qv::layoutDesign(cov.ctx, cov.st));
  EXPECT_EQ(cov.st.group.dmncol, 3);
  for (long k = 0; k < 6; ++k) {
    auto r = cov.row(k);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0], (std::pair<int, double>{0, 1.0}));
    EXPECT_EQ(r[1], (std::pair<int, double>{1, cov.cov[2 * k]}));
    EXPECT_EQ(r[2], (std::pair<int, double>{2, cov.cov[2 * k] * cov.cov[2 * k + 1]}));
  }
  // Neither factors nor covariates: the intercept alone.
  cov.st.covVars.resize(0);
  cov.st.ptefds = {{}};
  cov.st.ptecwf = {0};
  ASSERT_TRUE(qv::layoutDesign(cov.ctx, cov.st));
  EXPECT_EQ(cov.st.group.dmncol, 1);
  EXPECT_EQ(cov.row(3), (std::vector<std::pair<int, double>>{{0, 1.0}}));
}

// The layout refuses designs whose possible cells reach 3037000499 (the square root of the
// largest 64-bit integer), for one effect or summed over effects, however few are observed.
TEST(ModelDesignLayout, TooManyPossibleCells) {
  auto layout = [](std::vector<int> nlevls, const std::vector<qv::EffectRow>& effects) {
    qv::ProcedureState st;
    qv::out::CommandOutput out;
    qv::Context ctx;
    ctx.output = &out;
    st.factorVars.resize(nlevls.size());
    st.depVars.resize(1);
    st.ptefds = effects;
    st.ptecwf.assign(effects.size(), 0);
    st.group.nlevls = nlevls;
    st.group.nvalid = 2;
    std::vector<int> levels(nlevls.size(), 1);
    levels.insert(levels.end(), nlevls.begin(), nlevls.end());
    setCaseLevels(st.group, levels, static_cast<int>(nlevls.size()));
    bool ok = qv::layoutDesign(ctx, st);
    bool has151 = false;
    for (const auto& item : out.items)
      if (const auto* m = std::get_if<qv::out::Message>(&item)) has151 = has151 || m->number == 151;
    EXPECT_EQ(ok, !has151);
    return std::pair{ok, st.group.dmncol};
  };
  // 2 x 1518500249 = 3037000498 possible cells: allowed, two observed.
  auto [ok1, cols1] = layout({2, 1518500249}, {{0, 0}});
  EXPECT_TRUE(ok1);
  EXPECT_EQ(cols1, 2);
  EXPECT_FALSE(layout({2, 1518500250}, {{0, 0}}).first);
  // Each effect below the limit, their sum not.
  EXPECT_FALSE(layout({2, 1518500249}, {{-1, -1}, {0, 0}}).first);
  EXPECT_FALSE(layout({1600, 1600, 1600}, {{0, 0, 0}}).first);
}

// A covariate nested in several levels of factors is named with all its factors inside one
// pair of parentheses; its parameter labels keep the nesting.
TEST(ModelDesignLayout, NamesOfCovariatesNestedInNestedFactors) {
  // x(b(a)): a outermost (code 0), b within it (code 1).
  Layout l({{1, 1}, {2, 3}}, {{-1, -1, -1, -1}, {0, 1, 1, -1}, {0, 0, 1, 1}}, {0, 1, 1});
  ASSERT_TRUE(l.ok);
  MemoryData d;
  for (const char* n : {"a", "b", "x", "z"}) d.numeric(n);
  l.st.factorVars = {0, 1};
  l.st.covVars = {2, 3};
  l.st.group.levelNumbers = {{1, 2}, {1, 2, 3}};
  l.st.group.levelStrings = {{}, {}};
  EXPECT_EQ(qv::effectName(l.st, d.dict, 1), "x(a * b)");
  EXPECT_EQ(qv::effectName(l.st, d.dict, 2), "x * z(a * b)");
  EXPECT_EQ(qv::paramLabel(l.st, d.dict, 2), "x([b=3]([a=2]))");
  EXPECT_EQ(qv::paramLabel(l.st, d.dict, 4), "x * z([a=2] * [b=3])");
}

// String values are blank-padded to the variable's width, so values that differ only in
// trailing blanks are one level.
TEST(ModelDataPass, StringLevelsIgnoreTrailingBlanks) {
  MemoryData d;
  const int y = d.numeric("y"), s = d.string("s", 8);
  d.add({1, 0}, {"", "pear"});
  d.add({2, 0}, {"", "pear  "});
  d.add({3, 0}, {"", "fig "});
  Pass p(d, {y}, {s}, {});
  ASSERT_EQ(p.run().result, qv::PassResult::Ok);
  EXPECT_EQ(p.st.group.nlevls[0], 2);
  EXPECT_EQ(qv::levelKey(p.st, 0, 1), "fig");
  EXPECT_EQ(qv::levelKey(p.st, 0, 2), "pear");
  EXPECT_EQ(p.st.group.levelWeights[0], (std::vector<double>{1, 2}));
}

namespace {

// A reader that keeps the group's extent to itself, so that the data pass reads the cases one by
// one through it instead of in ranges of the converted data.
class OneByOne : public qv::CaseReader {
 public:
  explicit OneByOne(std::unique_ptr<qv::CaseReader> r) : r_(std::move(r)) {}
  bool next() override { return r_->next(); }
  bool nextGroup() override { return r_->nextGroup(); }
  bool endOfData() const override { return r_->endOfData(); }
  double number(int var) const override { return r_->number(var); }
  double numberRemainder(int var) const override { return r_->numberRemainder(var); }
  bool anyRemainder() const override { return r_->anyRemainder(); }
  const std::string& string(int var) const override { return r_->string(var); }
  double caseWeight() const override { return r_->caseWeight(); }
  std::vector<std::pair<std::string, std::string>> splitCaption() const override {
    return r_->splitCaption();
  }

 private:
  std::unique_ptr<qv::CaseReader> r_;
};

// Everything the data pass leaves behind, numbers in hexadecimal.
std::string passResult(const qv::ProcedureState& st, const qv::CaseWorkFile& w) {
  const auto& g = st.group;
  std::string s = fmt::format("nvalid {} sum {:a} cells {}\n", g.nvalid, g.sumWeights,
                              fmt::join(g.designCellLevels, " "));
  for (size_t f = 0; f < g.nlevls.size(); ++f)
    s += fmt::format("levels {} {} weights {:a}\n", fmt::join(g.levelNumbers[f], " "),
                     fmt::join(g.levelStrings[f], "|"), fmt::join(g.levelWeights[f], " "));
  // Per case: design cell, record, weights, dependents, covariates and their remainders.
  w.scan([&](const qv::CaseBlock& cases) {
    for (long k = cases.range.begin; k < cases.range.end; ++k) {
      s += fmt::format("{} {} {:a} {:a} |", cases.designCell(k), cases.recordOf(k), cases.weight(k),
                       cases.regWeight(k));
      for (int d = 0; d < cases.ndepvr; ++d)
        s += fmt::format(" {:a} {:a}", cases.depOf(k)[d], cases.depRemOf(k) ? cases.depRemOf(k)[d] : 0.0);
      for (int c = 0; c < cases.ncovar; ++c)
        s += fmt::format(" {:a} {:a}", cases.covOf(k)[c], cases.covRemOf(k) ? cases.covRemOf(k)[c] : 0.0);
      s += '\n';
    }
    return false;
  });
  return s;
}

}  // namespace

// The pass over ranges of the converted data, on several threads, keeps what the case-by-case
// pass keeps, bit for bit: cases dropped for a missing value or a weight that is missing, zero or
// negative, fractional weights summed in the same order, decimal remainders that first appear in a
// later block, blank-padded string levels, -0 as 0, and each valid case's record number.
TEST(ModelDataPass, RangesOnThreadsKeepWhatTheCaseByCasePassKeeps) {
  std::string csv = "y,a,s,x,w,r\n";
  for (int k = 0; k < 150; ++k) {
    const std::string y = k % 11 == 3 ? "" : k == 97 ? "1000000.123456" : std::to_string(k % 7) + ".5";
    const std::string a = k % 13 == 0 ? "-0" : std::to_string((k * 7) % 5);
    const std::string s = k % 17 == 5 ? "" : std::string(k % 3 == 0 ? "pear  " : k % 3 == 1 ? "fig" : "pear");
    const std::string x = k % 19 == 7 ? "" : std::to_string(k * 0.37);
    const std::string w = k % 23 == 4   ? ""
                          : k % 29 == 1 ? "0"
                          : k % 31 == 2 ? "-1"
                                        : std::to_string(0.1 * (k % 4) + 0.7);
    csv += fmt::format("{},{},{},{},{},{}\n", y, a, s, x, w, k % 37 == 9 ? "0" : "1.5");
  }
  qv::DataOptions o;
  o.dataPath = "d.csv";
  o.weightVar = "w";
  o.threads = 3;
  o.minRangeBytes = 1;  // converted in three stores: ranges of cases cross them
  qv::InputError err;
  auto data = qv::DataSource::openText(csv, o, err);
  ASSERT_TRUE(data) << err.describe();
  auto run = [&](int threads, long block, bool oneByOne) {
    qv::ProcedureState st;
    st.depVars = {0};
    st.factorVars = {1, 2};
    st.covVars = {3};
    st.regwgtVar = 5;
    qv::CaseWorkFile work;
    work.threads = threads;
    work.blockCases = block;
    work.keepRecords = true;
    qv::out::CommandOutput out;
    qv::Context ctx;
    ctx.output = &out;
    ctx.data = data.get();
    std::unique_ptr<qv::CaseReader> reader = data->read();
    if (oneByOne) reader = std::make_unique<OneByOne>(std::move(reader));
    EXPECT_EQ(qv::readGroupCases(ctx, st, *reader, true, work), qv::PassResult::Ok);
    EXPECT_TRUE(reader->endOfData());
    return passResult(st, work);
  };
  for (long block : {1L, 2L, 7L, 64L, 65536L}) {
    const std::string want = run(1, block, true);
    for (int threads : {1, 2, 3})
      EXPECT_EQ(run(threads, block, false), want) << threads << " threads, blocks of " << block;
  }
}
