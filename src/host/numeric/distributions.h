#pragma once
// Probability functions with the host's contracts: arguments are checked by name first; a
// value that is undefined for the arguments comes back as the system-missing value (kSysmis),
// and no exception ever escapes. Upper tails are computed directly, never as 1 - cdf.
#include "host/sysmis.h"

namespace qv::num {

// F test (FTEST): msh = ssh/dfh, mse = sse/dfe, f = msh/mse, sig = P(F(dfh, dfe) > f).
// Each result is kSysmis where its division or tail is undefined (df <= 0, mse <= 0).
void FTEST(double dfh, double dfe, double ssh, double sse, double& msh, double& mse, double& f,
           double& sig);

// Upper and lower tails of the central F distribution. df1, df2 > 0; f >= 0.
double FUpperTail(double f, double df1, double df2);
double FLowerTail(double f, double df1, double df2);
// Inverse F (IDFF): x with P(F(df1, df2) <= x) = p. 0 <= p < 1; df1, df2 > 0.
double IDFF(double p, double df1, double df2);
// Noncentral F cdf (NCDF): P(F'(df1, df2, lambda) <= f). lambda >= 0.
double NCDF(double f, double df1, double df2, double lambda);

// Student t: cdf (CDFT), inverse (IDFT), two-sided significance P(|T| > |t|) (DSIGT),
// noncentral cdf P(T'(df, delta) <= t) (NCDT). df > 0.
double CDFT(double t, double df);
double IDFT(double p, double df);
double DSIGT(double t, double df);
double NCDT(double t, double df, double delta);

}  // namespace qv::num
