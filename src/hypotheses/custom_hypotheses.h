#pragma once
// Custom hypotheses L b = K: the hypothesis core shared by CONTRAST, LMATRIX and KMATRIX, their
// result tables, the Custom Hypothesis Tests Index, and the driver that runs TEST, CONTRAST and
// LMATRIX hypotheses of a split group in that order.
#include <string>
#include <vector>

#include "driver/state.h"
#include "host/context.h"
#include "host/numeric/matrix.h"

namespace qv {

// Result of the hypothesis core for an L matrix of `rows` hypothesis rows.
struct HypothesisCore {
  num::Mat lb;                    // rows x ndepvr: the estimates L B
  num::Packed q;                  // L C L', order rows (C the generalised inverse)
  num::Packed sscp;               // hypothesis SSCP (L B - K)' (L C L')^- (L B - K), order ndepvr
  std::vector<char> independent;  // per row, 1 when the row is independent of the earlier ones
  int dfh = 0;                    // number of independent rows
};

// Hypothesis core (GMAHSP): `l` is rows x dmncol; `k` (rows x ndepvr) the hypothesised values,
// or null for zeros. Independent rows are found by sweeping L C L' in row order at tolerance
// `eps` against its diagonal.
HypothesisCore GMAHSP(const GroupState& g, const num::Mat& l, const num::Mat* k, double eps, int ndepvr);

// Standard errors of the rows of L B (GMASEC): rows x ndepvr, sqrt(q(j,j) * MSE_c). All
// system-missing when dfe <= 0; 0 where the variance is not positive.
num::Mat GMASEC(const num::Packed& q, const num::Packed& errorSSCP, double dfe);

// The rows of one "Contrast Results (K Matrix)" table.
struct ContrastResultsTable {
  std::string dimensionName;           // the contrast title, or "Contrast"
  std::vector<std::string> rowLabels;  // one per hypothesis row
  std::vector<std::string> footnotes;  // on the table
  const num::Mat* lb = nullptr;        // rows x ndepvr; null when L is not estimable
  const num::Mat* k = nullptr;         // hypothesised values; null = zeros
  const num::Mat* se = nullptr;        // rows x ndepvr
};
void printContrastResults(Context& ctx, const ProcedureState& st, const ContrastResultsTable& t, double dfe);

// The "Test Results" table of a hypothesis with dfh degrees of freedom (0 after an error, when
// `sscp` may be null).
void printHypothesisTestResults(Context& ctx, const ProcedureState& st, int dfh, double dfe,
                                const num::Packed* sscp);

// The table that holds only the message of a contrast or L matrix error code (1 ... 8).
void printContrastErrorTable(Context& ctx, int code);
// Catalogue key of a contrast or L matrix error code; empty outside 1 ... 8.
std::string contrastErrorKey(int code);

// Outline heading "Custom Hypothesis Tests" (numbered when several tests are shown), closed
// when the guard ends.
class CustomTestHeading {
 public:
  CustomTestHeading(Context& ctx, bool several, int number);
  ~CustomTestHeading();
  CustomTestHeading(const CustomTestHeading&) = delete;
  CustomTestHeading& operator=(const CustomTestHeading&) = delete;

 private:
  Context& ctx_;
  size_t depth_;
};

// An outline heading that only split groups printed separately get (around the L matrix and
// the results of a custom hypothesis), closed when the guard ends.
class SeparateSplitHeading {
 public:
  SeparateSplitHeading(Context& ctx, const std::string& text);
  ~SeparateSplitHeading();
  SeparateSplitHeading(const SeparateSplitHeading&) = delete;
  SeparateSplitHeading& operator=(const SeparateSplitHeading&) = delete;

 private:
  Context& ctx_;
  bool open_ = false;
};

// CONTRAST hypotheses of the group (numbered after the TEST hypotheses).
void runContrasts(Context& ctx, const ProcedureState& st, bool several);
// Title, description and category footnote of contrast i.
std::string contrastTitle(const ProcedureState& st, const Dictionary& dict, int i);
std::string contrastDescription(const ProcedureState& st, const Dictionary& dict, int i);

// LMATRIX hypotheses, or the intercept against KMATRIX when no LMATRIX was given.
void runLMatrixTests(Context& ctx, const ProcedureState& st, bool several);
// Label of LMATRIX l (1-based; 0 = the intercept default).
std::string lmatrixLabel(const ProcedureState& st, int l);

// The Custom Hypothesis Tests Index.
void printCustomHypothesisIndex(Context& ctx, const ProcedureState& st);

// Every custom hypothesis of the group, in the order TEST, CONTRAST, LMATRIX/KMATRIX, after the
// index when several are shown.
void printCustomHypotheses(Context& ctx, const ProcedureState& st);

}  // namespace qv
