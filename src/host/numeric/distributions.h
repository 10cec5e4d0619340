#pragma once
// Probability functions with the host's contracts: arguments are checked by name first; a
// value that is undefined for the arguments comes back as the system-missing value (kSysmis),
// and no exception ever escapes. Upper tails are computed directly, never as 1 - cdf.
//
// Every argument must be finite and not system-missing; df arguments must be > 0 (real df
// are allowed: weighted counts give fractional error df). A failed check or a failed
// evaluation gives kSysmis; when the caller passes a NumericDiag, it receives the reason.
// Nothing here prints or raises the host error flag: the caller decides what a missing
// value means for its table.
#include <string>

#include "host/sysmis.h"

namespace qv::num {

// Why a probability function gave kSysmis: the routine, the argument, its value and the rule
// it broke. text() reads like "IDFF: df1 is -1, but must be > 0".
struct NumericDiag {
  std::string routine;
  std::string argument;  // empty when the evaluation itself failed
  double value = 0.0;
  std::string rule;
  std::string text() const;
};

// F test (FTEST): msh = ssh/dfh, mse = sse/dfe, f = msh/mse, sig = P(F(dfh, dfe) > f).
// msh needs dfh > 0 and ssh >= 0; mse needs dfe > 0 and sse >= 0; f needs both and mse > 0;
// sig needs f. Each result is kSysmis where its division or tail is undefined.
void FTEST(double dfh, double dfe, double ssh, double sse, double& msh, double& mse, double& f, double& sig,
           NumericDiag* diag = nullptr);

// Upper tail P(F(df1, df2) > f) and lower tail P(F(df1, df2) <= f) of the central F
// distribution. df1, df2 > 0; f >= 0.
double FUpperTail(double f, double df1, double df2, NumericDiag* diag = nullptr);
double FLowerTail(double f, double df1, double df2, NumericDiag* diag = nullptr);
// Inverse F (IDFF): x with P(F(df1, df2) <= x) = p. 0 <= p < 1 (p = 0 gives 0); df1, df2 > 0.
double IDFF(double p, double df1, double df2, NumericDiag* diag = nullptr);
// Noncentral F cdf (NCDF): P(F'(df1, df2, lambda) <= f), lambda the noncentrality (the sum of
// squared standardised means, so that the mean of F' is df2 (df1 + lambda) / (df1 (df2 - 2))).
// f >= 0; df1, df2 > 0; lambda >= 0 (0 gives the central F).
double NCDF(double f, double df1, double df2, double lambda, NumericDiag* diag = nullptr);
// Noncentral F upper tail P(F'(df1, df2, lambda) > f), same domain as NCDF. Observed power is
// NCFUpperTail(Fcrit, ...): it keeps its digits where 1 - NCDF would lose them.
double NCFUpperTail(double f, double df1, double df2, double lambda, NumericDiag* diag = nullptr);

// Student t cdf (CDFT): P(T(df) <= t). df > 0.
double CDFT(double t, double df, NumericDiag* diag = nullptr);
// Inverse t (IDFT): x with P(T(df) <= x) = p. 0 < p < 1; df > 0.
double IDFT(double p, double df, NumericDiag* diag = nullptr);
// Two-sided significance (DSIGT): P(|T(df)| > |t|), 1 at t = 0. df > 0.
double DSIGT(double t, double df, NumericDiag* diag = nullptr);
// Noncentral t cdf (NCDT): P(T'(df, delta) <= t), T' = (Z + delta) / sqrt(chi2(df) / df).
// df > 0; delta any finite value (0 gives the central t).
double NCDT(double t, double df, double delta, NumericDiag* diag = nullptr);
// Noncentral t upper tail P(T'(df, delta) > t), same domain as NCDT.
double NCTUpperTail(double t, double df, double delta, NumericDiag* diag = nullptr);

}  // namespace qv::num
