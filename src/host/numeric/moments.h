#pragma once
// Weighted means and sums of squared deviations about them, gathered per range of cases and
// merged by the pairwise update of T. F. Chan, G. H. Golub and R. J. LeVeque (1979), "Updating
// formulae and a pairwise algorithm for computing sample variances", Stanford report
// STAN-CS-79-773.
#include <algorithm>
#include <cstddef>

namespace qv::num {

// Merges the n means mb and sums of squared deviations m2b of a part weighing wb into those of
// a part weighing wa (ma, m2a). The caller adds wb to its weight afterwards.
inline void mergeMoments(double wa, double wb, const double* mb, const double* m2b, double* ma, double* m2a,
                         std::size_t n) {
  if (wb == 0.0) return;
  if (wa == 0.0) {
    std::copy(mb, mb + n, ma);
    std::copy(m2b, m2b + n, m2a);
    return;
  }
  const double w = wa + wb;
  for (std::size_t d = 0; d < n; ++d) {
    const double delta = mb[d] - ma[d];
    ma[d] += delta * wb / w;
    m2a[d] += m2b[d] + delta * delta * wa * wb / w;
  }
}

}  // namespace qv::num
