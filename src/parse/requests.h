#pragma once
// Request records of the optional subcommands (CONTRAST, POSTHOC, EMMEANS, PLOT, SAVE,
// LMATRIX, KMATRIX, TEST), filled by their parsers and read by the analyses.
//
// Numbering: a factor number indexes ProcedureState::factorVars, a covariate number covVars and
// an effect number ptefds; all three are 0-based. Level numbers (reference and control
// categories) are 1-based, as the user types them.
#include <array>
#include <optional>
#include <string>
#include <vector>

namespace qv {

// ---- CONTRAST ----

// Contrast types, with the codes of the CONTRAST keyword table. INDICATOR is rejected by the
// parser and never stored.
enum class ContrastType : int {
  Deviation = 1,
  Difference = 2,
  Simple = 3,
  Helmert = 4,
  Polynomial = 5,
  Repeated = 6,
  Indicator = 7,
  Special = 8,
};

struct ContrastRequest {
  int factor = 0;      // factor number
  int mainEffect = 0;  // effect number of the factor's main effect in the design
  ContrastType ctrtyp = ContrastType::Deviation;
  int refcat = -1;  // DEVIATION, SIMPLE: reference level (1-based); -1 = the last level
  // The POLYNOMIAL metric or the SPECIAL coefficients as typed (SPECIAL: row after row).
  // Absent when none were given (POLYNOMIAL then uses the metric 1, 2, ..., k).
  std::optional<std::vector<double>> values;
};

// ---- POSTHOC ----

// Post hoc test codes, in the order of the POSTHOC keyword table.
enum class PosthocTest : int {
  Waller = 1,
  Snk,
  Tukey,
  BTukey,
  Duncan,
  Scheffe,
  Gt2,
  Gabriel,
  Fregw,
  Qregw,
  GamesHowell,
  T2,
  T3,
  DunnettC,
  Lsd,
  Bonferroni,
  Sidak,
  Dunnett,
  DunnettL,
  DunnettR,
};
inline constexpr int kPosthocTestCount = 20;

// One POSTHOC subcommand.
struct PosthocRequest {
  std::vector<int> factors;        // factor numbers, in the order named
  std::vector<int> mainEffects;    // per entry of `factors`, the effect number of its main effect
  std::vector<PosthocTest> tests;  // distinct tests, in the order first named
  std::optional<int> errorEffect;  // effect named after VS; absent = the model residual
  // Control categories of DUNNETT, DUNNETTL and DUNNETTR (1-based level; 0 = the last level).
  int controlDunnett = 0, controlDunnettL = 0, controlDunnettR = 0;
  int wallerKRatio = 100;  // WALLER k-ratio, an integer above 1
};

// ---- EMMEANS ----

enum class EmmeansAdjustment : int { Lsd = 1, Bonferroni = 2, Sidak = 3 };

// One TABLES request.
struct EmmeansRequest {
  std::vector<int> factors;    // table factors, the last innermost; empty = OVERALL
  std::optional<int> compare;  // COMPARE: index into `factors` of the factor compared
  EmmeansAdjustment adjustment = EmmeansAdjustment::Lsd;  // meaningful only with COMPARE
  // Per covariate (ncovar entries): the WITH value, or absent for the covariate's mean.
  std::vector<std::optional<double>> covariateValues;

  bool operator==(const EmmeansRequest&) const = default;
};

// ---- PLOT ----

// One PROFILE term.
struct ProfilePlotRequest {
  // One to three factor numbers: horizontal axis, separate lines, separate plots.
  std::vector<int> factors;
};

// ---- SAVE ----

// SAVE keyword codes, in the order of the SAVE keyword table.
enum class SaveKeyword : int {
  Pred = 1,
  WPred,
  Resid,
  WResid,
  DResid,
  ZResid,
  SResid,
  SePred,
  Cook,
  Lever,
};
inline constexpr int kSaveKeywordCount = 10;

// ---- LMATRIX ----

// One LMATRIX subcommand, after the removal of rows that are entirely zero.
struct LMatrixRequest {
  bool all = false;  // coefficients given with ALL: one full row of values per hypothesis row
  int lmxrow = 0;    // hypothesis rows
  // ALL form: values per row and the values, lmxrow x valuesPerRow in row order. Whether
  // valuesPerRow equals the number of design columns is checked once that is known.
  int valuesPerRow = 0;
  std::vector<double> allValues;
  // Effect form, per design effect: the number of values given per row (0 = not named), and
  // the values, for each of those columns in order, lmxrow consecutive values (one per row).
  // A row that does not name an effect has zeros there.
  std::vector<int> effectCounts;
  std::vector<std::vector<double>> effectValues;
  std::string label;  // the label string; empty = none (lablen = label.size())
};

// ---- TEST ----

enum class TestErrorKind : int {
  Effects = 1,  // VS a linear combination of design effects
  Value = 2,    // VS a given value with DF(n)
};

struct TestTerm {
  double coefficient = 1.0;
  int effect = 0;  // effect number

  bool operator==(const TestTerm&) const = default;
};

struct TestRequest {
  int ieffh = 0;  // effect number of the hypothesis effect
  TestErrorKind kind = TestErrorKind::Effects;
  std::optional<double> errorDf;  // DF(n) when given
  double givenValue = 0.0;        // kind Value: the value given after VS
  std::vector<TestTerm> terms;    // kind Effects: distinct effects, coefficients summed
};

}  // namespace qv
