#pragma once
// Distributions of multiple-comparison statistics: the studentized range, the studentized
// maximum modulus and the many-to-one (Dunnett) maximum of correlated t. Each is a mixture over
// the studentizing factor S = sqrt(chi2(df) / df) of a normal-theory probability, computed by
// adaptive Gauss-Kronrod quadrature (two nested integrals at most), with the upper tails
// integrated directly so that small significances keep their relative digits.
//
// Contract shared by every function: arguments are checked first; df must be > 0, and
// df = +infinity gives the normal-theory limit (S = 1). A failed check or a failed evaluation
// gives kSysmis and, when the caller passes a NumericDiag, the reason. Nothing here prints or
// raises the host error flag. Accuracy: about 1e-10 absolute on probabilities, 1e-9 relative on
// quantiles.
#include <memory>
#include <vector>

#include "host/numeric/distributions.h"

namespace qv::num {

// Studentized range of k means: Q = (max − min of k iid N(0,1)) / S.
// Cdf P(Q <= q) and upper tail P(Q > q). q >= 0 (finite); k >= 2 (real k allowed, as in the
// integral); df > 0 or +infinity.
double studentizedRangeCdf(double q, double k, double df, NumericDiag* diag = nullptr);
double studentizedRangeUpperTail(double q, double k, double df, NumericDiag* diag = nullptr);
// Quantile: q with P(Q <= q) = p. 0 < p < 1; k >= 2; df > 0 or +infinity.
double studentizedRangeQuantile(double p, double k, double df, NumericDiag* diag = nullptr);
// The same quantile, searched first near `guess` (a quantile already known for nearby df, say):
// the result does not depend on the guess, only the number of evaluations does. guess > 0.
double studentizedRangeQuantileNear(double p, double k, double df, double guess, NumericDiag* diag = nullptr);

// The normal-theory tail of the range of k means, interpolated in pieces as it is asked for and
// kept: hand one to the functions below when many probabilities or quantiles share k (one per
// pair of means, say). Results agree with the functions above to about 1e-13 relative. Not
// thread-safe: one per thread.
class RangeTails {
 public:
  explicit RangeTails(double k);
  ~RangeTails();
  RangeTails(const RangeTails&) = delete;
  RangeTails& operator=(const RangeTails&) = delete;
  double k() const;
  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};
double studentizedRangeUpperTail(double q, double df, RangeTails& tails, NumericDiag* diag = nullptr);
double studentizedRangeQuantileNear(double p, double df, double guess, RangeTails& tails,
                                    NumericDiag* diag = nullptr);

// Studentized maximum modulus of m independent N(0,1): M = max |Z_i| / S.
// Cdf P(M <= c) and upper tail P(M > c). c >= 0; m >= 1 (real m allowed); df > 0 or +infinity.
double maxModulusCdf(double c, double m, double df, NumericDiag* diag = nullptr);
double maxModulusUpperTail(double c, double m, double df, NumericDiag* diag = nullptr);
// Quantile: c with P(M <= c) = p. 0 < p < 1; m >= 1; df > 0 or +infinity.
double maxModulusQuantile(double p, double m, double df, NumericDiag* diag = nullptr);

// Many-to-one t: T_i = (Ybar_i − Ybar_0) / (S sqrt(1/n_i + 1/n_0)), i = 1 … p, treatments
// against one control. Their correlations are lambda_i lambda_j with
// lambda_i = sqrt(n_i / (n_i + n_0)), so the probability is one integral over the control's
// deviation inside the one over S. `lambdas` holds lambda_1 … lambda_p, each in [0, 1).
std::vector<double> dunnettLambdas(const std::vector<double>& treatmentSizes, double controlSize);
// Two-sided: P(max |T_i| <= c) and P(max |T_i| > c). c >= 0; p >= 1; df > 0 or +infinity.
double dunnettTwoSidedCdf(double c, const std::vector<double>& lambdas, double df,
                          NumericDiag* diag = nullptr);
double dunnettTwoSidedUpperTail(double c, const std::vector<double>& lambdas, double df,
                                NumericDiag* diag = nullptr);
// Quantile: c with P(max |T_i| <= c) = p. 0 < p < 1.
double dunnettTwoSidedQuantile(double p, const std::vector<double>& lambdas, double df,
                               NumericDiag* diag = nullptr);
// One-sided: P(max T_i <= c) and P(max T_i > c). c finite; p >= 1; df > 0 or +infinity.
double dunnettOneSidedCdf(double c, const std::vector<double>& lambdas, double df,
                          NumericDiag* diag = nullptr);
double dunnettOneSidedUpperTail(double c, const std::vector<double>& lambdas, double df,
                                NumericDiag* diag = nullptr);
// Quantile: c with P(max T_i <= c) = p. 0 < p < 1.
double dunnettOneSidedQuantile(double p, const std::vector<double>& lambdas, double df,
                               NumericDiag* diag = nullptr);

}  // namespace qv::num
