// The post hoc step: level statistics, the error term of each request, the refusals, and the
// Multiple Comparisons and Homogeneous Subsets tables of every factor and dependent variable.
#include "posthoc/posthoc.h"

#include <algorithm>
#include <cmath>

#include "data/design.h"
#include "data/factor_tables.h"
#include "host/output/labels.h"
#include "host/output/messages.h"
#include "host/output/render.h"
#include "hypotheses/parameter_estimates.h"
#include "posthoc/level_statistics.h"
#include "report/shared_labels.h"

namespace qv {

namespace {

constexpr const char* kErrorMeanSquareValue = "Error Mean Square (Based on observed means)";
constexpr const char* kHarmonicMeanValue = "Uses Harmonic Mean Sample Size";

// The error term of a request: its SSCP matrix and degrees of freedom.
struct ErrorTerm {
  const num::Packed* sscp = nullptr;
  int dfe = 0;
  int effect = -1;  // design effect named after VS; -1 = the model residual
};

ErrorTerm errorTermOf(const ProcedureState& st, const PosthocRequest& req) {
  const GroupState& g = st.group;
  ErrorTerm e;
  if (!req.errorEffect) {
    e.sscp = &g.errorSSCP;
    // Residual degrees of freedom: the summed case weight less the rank, truncated.
    const double df = std::trunc(g.sumWeights - g.modldf);
    e.dfe = df > 0 ? static_cast<int>(std::min(df, 2147483647.0)) : 0;
  } else {
    e.effect = *req.errorEffect;
    QV_ASSERT(e.effect >= 0 && static_cast<size_t>(e.effect) < g.hypotheses.size(), "ptescp .ge. 0");
    e.sscp = &g.hypotheses[static_cast<size_t>(e.effect)].sscp;
    e.dfe = std::max(g.hypotheses[static_cast<size_t>(e.effect)].df, 0);
  }
  return e;
}

double diagonal(const num::Packed& m, int d) { return m.n > static_cast<size_t>(d) ? m(d, d) : 0.0; }

std::string shown(double x, out::Fmt f) { return out::formatValue(out::Value::num(x, f)); }

// The significance level as the user wrote it on CRITERIA, or as a significance.
std::string alphaItem(const ProcedureState& st) {
  std::string a = st.alphaText;
  while (!a.empty() && a.back() == ' ') a.pop_back();
  return a.empty() ? shown(st.alplev, out::Fmt::Significance) : a;
}

// A note about the factor, in its split-group form when split files are in force.
void factorNote(Context& ctx, const std::string& key, const std::string& splitKey,
                const std::string& factor) {
  ctx.splitGroupNote(key, splitKey, out::Severity::Warning, {factor});
}

// The tables of one factor and dependent variable, open while its tests are run.
struct PosthocTables {
  out::TableBuilder mc{16, "Multiple Comparisons", "POSTHOC Multiple Comparisons"};
  out::TableBuilder hs{17, "", "Homogeneous Subsets"};
  int mcStat = -1, mcI = -1, mcJ = -1, mcTest = -1, mcDep = -1;
  int hsStat = -1, hsFactor = -1, hsTest = -1;
  std::string hsTitle;
};

// What the tables of one factor show, fixed for all its dependent variables and tests.
struct FactorScope {
  const ProcedureState* st = nullptr;
  const Dictionary* dict = nullptr;
  const PosthocRequest* req = nullptr;
  int factor = 0, k = 0;
  std::string factorName;
  ErrorTerm error;
  std::string errorName;  // the error effect's name; empty for the residual
};

void openTables(Context& ctx, const FactorScope& fs, int d, double mse, PosthocTables& t) {
  const ProcedureState& st = *fs.st;
  const Dictionary& dict = *fs.dict;
  const bool oneTest = fs.req->tests.size() == 1;
  const bool oneDep = st.ndepvr() == 1;
  const std::string mseText = shown(mse, out::Fmt::Coefficient);
  const std::vector<std::pair<std::string, double>> mseValue{{kErrorMeanSquareValue, mse}};

  // Multiple Comparisons. The builder orders layers before rows; within an axis it keeps the
  // order of declaration (outermost first).
  out::TableBuilder& mc = t.mc;
  if (oneTest) t.mcTest = mc.dimension("Test", out::Axis::Layer);
  t.mcDep = mc.dimension("Dependent Variable", oneDep ? out::Axis::Layer : out::Axis::Row);
  if (!oneTest) t.mcTest = mc.dimension("Test", out::Axis::Row);
  t.mcI = mc.dimension("(I) " + fs.factorName, out::Axis::Row);
  t.mcJ = mc.dimension("(J) " + fs.factorName, out::Axis::Row);
  t.mcStat = mc.dimension("Statistics", out::Axis::Column);
  std::string basis;
  if (fs.error.effect < 0) {
    basis = expandTemplate(catalogueText("Based on observed means."), {mseText});
  } else {
    basis = expandCompositeLists(catalogueText("Based on observed means. Error [:^1:]1 ..."), {"", mseText},
                                 {{1, {{fs.errorName}}}});
  }
  mc.annotateTable(mc.footnote(basis, mseValue));
  if (!st.weightingFootnote.empty()) mc.annotateTable(mc.footnote(st.weightingFootnote));
  const int var = st.depVars[static_cast<size_t>(d)];
  mc.category(t.mcDep, dict.vars[var].name, variableLabel(dict, var));

  // Homogeneous Subsets: titled by the dependent variable, or by the split group when each
  // group has its own output.
  out::TableBuilder& hs = t.hs;
  t.hsTitle = variableLabel(dict, var);
  if (ctx.data && ctx.data->splitSeparate() && !ctx.splitCaption.empty())
    t.hsTitle = out::splitGroupCaption(ctx.splitCaption);
  if (oneTest) t.hsTest = hs.dimension("Test", out::Axis::Layer);
  if (!oneTest) t.hsTest = hs.dimension("Test", out::Axis::Row);
  t.hsFactor = hs.dimension(fs.factorName, out::Axis::Row);
  t.hsStat = hs.dimension("Statistics", out::Axis::Column);
  std::string means;
  if (fs.error.effect < 0) {
    means = expandTemplate(catalogueText("Means are displayed2 ^1 ^2 ..."), {mseText});
  } else {
    means = expandCompositeLists(catalogueText("Means are displayed1 ^1 [:^1:]2 ^3 ..."), {"", mseText},
                                 {{1, {{fs.errorName}}}});
  }
  hs.annotateTable(hs.footnote(means, mseValue));
  if (!st.weightingFootnote.empty()) hs.annotateTable(hs.footnote(st.weightingFootnote));
}

void placeRows(const FactorScope& fs, PosthocTest test, const std::vector<ComparisonRow>& rows,
               PosthocTables& t) {
  if (rows.empty()) return;
  const ProcedureState& st = *fs.st;
  out::TableBuilder& tb = t.mc;
  const int stat = t.mcStat;
  tb.category(t.mcTest, posthocTestInfo(test).name);
  const std::string ciLabel = confidenceIntervalLabel(st.alplev, false);
  // The keys and labels of the levels, worked out once for all rows.
  int levels = fs.k;
  for (const ComparisonRow& r : rows) levels = std::max({levels, r.i + 1, r.j + 1});
  std::vector<std::string> keys(static_cast<size_t>(levels) + 1), labels(static_cast<size_t>(levels) + 1);
  for (int l = 1; l <= levels; ++l) {
    keys[l] = levelKey(st, fs.factor, l);
    labels[l] = levelLabel(st, *fs.dict, fs.factor, l);
  }
  // Every level in level order along both pair dimensions, whatever pair comes first.
  if (posthocTestInfo(test).rule != PairRule::Control) {
    for (int l = 1; l <= fs.k; ++l) {
      tb.category(t.mcI, keys[l], labels[l]);
      tb.category(t.mcJ, keys[l], labels[l]);
    }
  }
  const int sigNote = tb.footnoteWithMarker(
      expandTemplate(catalogueText("Mean difference is significant at ^1 ..."), {alphaItem(st)}), "*");
  if (posthocTestInfo(test).rule == PairRule::Control)
    tb.annotateCategory(t.mcTest, tb.footnote(catalogueText("Dunnett has control group ...")));
  for (const ComparisonRow& r : rows) {
    tb.category(t.mcI, keys[static_cast<size_t>(r.i) + 1], labels[static_cast<size_t>(r.i) + 1]);
    tb.category(t.mcJ, keys[static_cast<size_t>(r.j) + 1], labels[static_cast<size_t>(r.j) + 1]);
    const int c = tb.cell(stat, "Mean Difference (I-J)", out::Value::num(r.diff, out::Fmt::Mean));
    if (r.significant) tb.annotateCell(c, sigNote);
    tb.cell(stat, "Std. Error", out::Value::num(r.stdError, out::Fmt::StdDev));
    if (r.sigShown) {
      tb.cell(stat, "Significance", out::Value::num(r.sig, out::Fmt::Significance));
    } else {
      tb.category(stat, "Significance");
    }
    tb.beginGroup(stat, ciLabel, ciLabel);
    tb.category(stat, "Lower Bound");
    tb.category(stat, "Upper Bound");
    if (r.half >= 0.0) {
      if (r.showLower) tb.cell(stat, "Lower Bound", out::Value::num(r.lower, out::Fmt::Mean));
      if (r.showUpper) tb.cell(stat, "Upper Bound", out::Value::num(r.upper, out::Fmt::Mean));
    } else {
      if (r.showLower) {
        const int lc = tb.cell(stat, "Lower Bound", out::Value::missing(out::Fmt::Mean));
        tb.annotateCell(lc, tb.footnote(catalogueText("Range values cannot be computed.")));
      }
      if (r.showUpper) tb.cell(stat, "Upper Bound", out::Value::missing(out::Fmt::Mean));
    }
    tb.endGroup(stat);
  }
}

void placeSubsets(const FactorScope& fs, PosthocTest test, const num::PostHocResult& r,
                  const LevelSummary& lv, bool subsetsFormed, PosthocTables& t) {
  const PosthocTestInfo& info = posthocTestInfo(test);
  if (!info.subsets) return;
  const ProcedureState& st = *fs.st;
  out::TableBuilder& tb = t.hs;
  const int code = static_cast<int>(test);
  tb.category(t.hsTest, info.name);
  auto note = [&](const std::string& text, std::vector<std::pair<std::string, double>> values = {}) {
    tb.annotateCategory(t.hsTest, tb.footnote(text, std::move(values)));
  };
  const size_t nsub = r.subsets.size();
  if (test == PosthocTest::Qregw && !subsetsFormed) note(catalogueText("Critical range not monotonic ..."));
  if (code <= 8) {
    note(expandTemplate(catalogueText("Uses Harmonic Mean Sample Size = ^1."),
                        {shown(r.harmonicMeanSize, out::Fmt::Coefficient)}),
         {{kHarmonicMeanValue, r.harmonicMeanSize}});
    if (!r.order.empty()) {
      const double first = lv.sizes[r.order[0]];
      for (size_t p = 1; p < r.order.size(); ++p) {
        const double n = lv.sizes[r.order[p]];
        if (n != first || std::isnan(n) || std::isnan(first)) {
          note(catalogueText("The group sizes are unequal ..."));
          break;
        }
      }
    }
  }
  if (test == PosthocTest::Waller) {
    const std::string kr = shown(fs.req->wallerKRatio, out::Fmt::Count);
    note(nsub >= 1 ? expandTemplate(catalogueText("Type 1/Type 2 Error Seriousness Ratio = ^1."), {kr})
                   : expandTemplate(catalogueText("No Waller homogeneous subsets for alpha = ^1 ..."), {kr}));
  } else {
    const std::string a = alphaItem(st);
    note(nsub >= 1 ? expandTemplate(catalogueText("Alpha = ^1."), {a})
                   : expandTemplate(catalogueText("No homogeneous subsets for alpha = ^1 ..."), {a}));
  }

  const int stat = t.hsStat;
  // Per level the subsets it belongs to, in subset order: one pass over the members instead of a
  // search of every subset for every level.
  std::vector<std::vector<size_t>> subsetsOf(lv.sizes.size());
  for (size_t s = 0; s < nsub; ++s)
    for (size_t member : r.subsets[s].levels)
      if (member < subsetsOf.size() && (subsetsOf[member].empty() || subsetsOf[member].back() != s))
        subsetsOf[member].push_back(s);
  for (size_t g : r.order) {
    const int level = static_cast<int>(g) + 1;
    tb.category(t.hsFactor, levelKey(st, fs.factor, level), levelLabel(st, *fs.dict, fs.factor, level));
    tb.cell(stat, "N", out::Value::num(lv.sizes[g], out::Fmt::Count));
    if (nsub < 1) continue;
    tb.beginGroup(stat, "Subset", "Subset");
    for (size_t s : subsetsOf[g])
      tb.cell(stat, std::to_string(s + 1), out::Value::num(lv.means[g], out::Fmt::Mean));
    tb.endGroup(stat);
  }
  if (test != PosthocTest::Waller && test != PosthocTest::BTukey && nsub >= 1) {
    tb.category(t.hsFactor, "Significance", catalogueText("Significance"));
    tb.beginGroup(stat, "Subset", "Subset");
    for (size_t s = 0; s < nsub; ++s) {
      const double p = r.subsets[s].significance;
      const bool known = !isSysmis(p) && !std::isnan(p);
      tb.cell(stat, std::to_string(s + 1),
              out::Value::num(known ? std::clamp(p, 0.0, 1.0) : kSysmis, out::Fmt::Significance));
    }
    tb.endGroup(stat);
  }
}

// Runs one test and places what it gives.
void runTest(Context& ctx, const FactorScope& fs, PosthocTest test, const num::PostHocInput& in,
             num::PostHocCache& cache, const LevelSummary& lv, PosthocTables& t) {
  const ProcedureState& st = *fs.st;
  const num::PostHocResult r = num::phtest(in, &cache);
  switch (r.status) {
    case num::PostHocStatus::Ok:
    case num::PostHocStatus::Approximate:
    case num::PostHocStatus::NonMonotonic:
      placeRows(fs, test, comparisonRows(test, r, lv, in.mse, st.alplev), t);
      placeSubsets(fs, test, r, lv, r.status != num::PostHocStatus::NonMonotonic, t);
      break;
    case num::PostHocStatus::AlphaUnsupported:
      ctx.note("Subsets cannot be computed with alpha = ^1", out::Severity::Warning,
               {shown(st.alplev, out::Fmt::Significance)});
      break;
    default:
      ctx.note("Posthoc test ^1 not computed for ^2 ...", out::Severity::Warning,
               {posthocTestInfo(test).name, fs.factorName});
      break;
  }
}

// The control category a many-to-one test asks for (0 = the last level).
int controlCategory(const PosthocRequest& req, PosthocTest test) {
  switch (test) {
    case PosthocTest::Dunnett:
      return req.controlDunnett;
    case PosthocTest::DunnettL:
      return req.controlDunnettL;
    case PosthocTest::DunnettR:
      return req.controlDunnettR;
    default:
      return 0;
  }
}

void postHocFactor(Context& ctx, FactorScope& fs, int mainEffect, const std::vector<DescriptiveCell>& cells,
                   num::PostHocCache& cache) {
  const ProcedureState& st = *fs.st;
  const GroupState& g = st.group;
  const PosthocRequest& req = *fs.req;
  bool refused = false;
  if (fs.k < 3) {
    factorNote(ctx, "No POSTHOC for ^1 fewer than 3 groups.",
               "No POSTHOC for ^1 [%1=%2:, ^1=^2:]2 < 3 groups.", fs.factorName);
    refused = true;
  }
  if (fs.error.dfe < 1) {
    factorNote(ctx, "No POSTHOC for ^1 zero error DF ...",
               "No POSTHOC for ^1 in [%1=%2:, ^1=^2:]2 zero error DF ...", fs.factorName);
    refused = true;
  }
  if (refused) return;
  for (const DescriptiveCell& c : cells) {
    if (!(c.n > 1.0)) {
      factorNote(ctx, "No POSTHOC for ^1 lack of cases.", "No POSTHOC for ^1 in [%1=%2:, ^1=^2:]2 ...",
                 fs.factorName);
      return;
    }
  }
  // A control category beyond the levels falls back to the last level; say so.
  for (PosthocTest test : req.tests) {
    const int ctl = controlCategory(req, test);
    if (ctl > fs.k)
      ctx.note("Dunnett control ^1 beyond ^2 levels of ^3 ...", out::Severity::Warning,
               {std::to_string(ctl), std::to_string(fs.k), fs.factorName, posthocTestInfo(test).name});
  }

  ctx.beginHeading(fs.factorName);
  QV_ASSERT(mainEffect >= 0 && static_cast<size_t>(mainEffect) < g.hypotheses.size(), "main effect of the hypothesis records");
  const int dfh = std::max(g.hypotheses[static_cast<size_t>(mainEffect)].df, 0);
  const Dictionary& dict = *fs.dict;
  for (int d = 0; d < st.ndepvr(); ++d) {
    LevelSummary lv;
    for (const DescriptiveCell& c : cells) {
      QV_ASSERT(c.n > 1.0, "cltfw .gt. one");
      lv.sizes.push_back(c.wsum);
      lv.means.push_back(c.mean[static_cast<size_t>(d)]);
      lv.sds.push_back(std::sqrt(std::max(c.m2[static_cast<size_t>(d)] / (c.n - 1.0), 0.0)));
    }
    QV_ASSERT(fs.error.dfe > 0, "ifpool .gt. 0");
    const double mse = diagonal(*fs.error.sscp, d) / fs.error.dfe;
    double f = kSysmis;
    if (dfh > 0 && mse > 0.0 && std::isfinite(mse)) {
      f = (diagonal(g.hypotheses[static_cast<size_t>(mainEffect)].sscp, d) / dfh) / mse;
      if (!std::isfinite(f)) f = kSysmis;
    }
    PosthocTables t;
    openTables(ctx, fs, d, mse, t);
    for (PosthocTest test : req.tests) {
      num::PostHocInput in;
      in.test = static_cast<num::PostHocTest>(static_cast<int>(test));
      in.means = lv.means;
      in.sds = lv.sds;
      in.sizes = lv.sizes;
      in.errorDf = fs.error.dfe;
      in.mse = mse;
      in.alpha = st.alplev;
      in.controlCategory = controlCategory(req, test);
      in.kRatio = req.wallerKRatio;
      in.fRatio = f;
      runTest(ctx, fs, test, in, cache, lv, t);
    }
    // Both tables are ended whatever their tests gave: a request of subset tests only still
    // shows its Multiple Comparisons table, and one of pair tests only its Homogeneous
    // Subsets table, without rows.
    ctx.emitTable(t.mc);
    {
      ctx.beginHeading("Homogeneous Subsets");
      const bool separate = ctx.data && ctx.data->splitSeparate() && !ctx.splitCaption.empty();
      const int var = st.depVars[static_cast<size_t>(d)];
      if (separate) ctx.beginHeading(variableLabel(dict, var));
      out::Table table = t.hs.finish();
      table.title = t.hsTitle;
      if (!ctx.splitCaption.empty()) table.split = ctx.splitCaption;
      ctx.emit(std::move(table));
      if (separate) ctx.endHeading();
      ctx.endHeading();
    }
  }
  ctx.endHeading();
}

}  // namespace

void printPosthoc(Context& ctx, const ProcedureState& st, const CaseWorkFile& work) {
  if (st.posthocCount() < 1 || st.ptmpho.empty()) return;
  const Dictionary& dict = ctx.data->dictionary();
  const std::vector<int> factors = posthocFactors(st);
  LevelStatistics stats = emptyLevelStatistics(st, factors);
  work.reduce([&](const CaseBlock& cases) { return accumulateLevelStatistics(st, cases, factors); },
              [&](const LevelStatistics& part) { stats.merge(part); });
  num::PostHocCache cache;
  const int count = static_cast<int>(st.ptmpho.size());
  for (int i = 0; i < count; ++i) {
    const PosthocRequest& req = st.ptmpho[static_cast<size_t>(i)];
    ctx.beginHeading(count == 1
                         ? std::string("Post Hoc Tests")
                         : expandTemplate(catalogueText("Post Hoc Tests #^1"), {std::to_string(i + 1)}));
    FactorScope fs;
    fs.st = &st;
    fs.dict = &dict;
    fs.req = &req;
    fs.error = errorTermOf(st, req);
    if (fs.error.effect >= 0) fs.errorName = effectName(st, dict, fs.error.effect);
    for (size_t j = 0; j < req.factors.size(); ++j) {
      fs.factor = req.factors[j];
      fs.k = st.group.nlevls[static_cast<size_t>(fs.factor)];
      const int var = st.factorVars[static_cast<size_t>(fs.factor)];
      QV_ASSERT(var >= 0, "ivar .gt. 0");
      fs.factorName = dict.vars[static_cast<size_t>(var)].name;
      const std::vector<DescriptiveCell>* cells = stats.of(fs.factor);
      QV_ASSERT(cells != nullptr, "ptrtm .gt. 0");
      postHocFactor(ctx, fs, req.mainEffects[j], *cells, cache);
    }
    ctx.endHeading();
  }
}

}  // namespace qv
