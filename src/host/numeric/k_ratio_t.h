#pragma once
// The Bayesian critical t of the Waller-Duncan k-ratio rule for comparing treatment means
// (Waller & Duncan 1969, JASA 64, 1484-1503, with the corrigenda JASA 67 (1972) 253-255;
// Duncan 1975, Biometrics 31, 339-359).
//
// Model: n treatment means, each on r replicates, exchangeable normal true means, an error
// variance estimated with f degrees of freedom, the treatment F ratio F on q = n − 1 degrees of
// freedom, and the vague priors of the symmetric problem. A pair is declared different when its
// t = |mean difference| / sqrt(2 MSE / r) exceeds t_B(k, F, q, f), the t at which the posterior
// expected loss of declaring equals that of not declaring, the loss of a wrong declaration
// being k times that of a missed one per unit of the true difference δ:
//
//   E[δ⁺ | data] = k · E[δ⁻ | data].
//
// Given the variance ratio, δ is normal about a shrunken difference; integrating the error
// variance gives Student t with ν = f + q degrees of freedom, and the variance ratio has a
// truncated Beta(q/2, f/2) posterior. With s in (0, 1) the position in that truncated range,
// y_max = qF / (f + qF) and c = sqrt((f + q) / f), t_B is the root in t of
//
//   ∫₀¹ s^(q/2 − 1) (1 − y_max s)^(f/2 − 2) sqrt(1 − s) [H(x) − k H(−x)] ds = 0,
//   x = c t sqrt(1 − s),   H(x) = E[(x + T_ν)⁺] = x P(T_ν ≤ x) + (ν + x²) / (ν − 1) p_ν(x).
//
// As F → ∞ the rule tends to the unshrunken one on the error degrees of freedom:
// H_f(t) = k H_f(−t); with f → ∞ as well, φ(t) + tΦ(t) = k (φ(t) − t(1 − Φ(t))).
#include "host/numeric/distributions.h"

namespace qv::num {

// t_B(k, F, q, f) (the Waller-Duncan critical t). kRatio > 1 (finite); fRatio >= 0 or
// +infinity (the limit); q >= 1; f >= 1 or +infinity, and f > 1 when fRatio is +infinity (the
// limit needs a finite mean of t_f). A failed check or evaluation gives kSysmis and, with
// `diag`, the reason. About 1e-10 relative.
double wallerDuncanT(double kRatio, double fRatio, double q, double f, NumericDiag* diag = nullptr);

}  // namespace qv::num
