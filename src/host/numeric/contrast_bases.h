#pragma once
// Contrast bases over the levels of a factor, and the general solver that expresses a basis in
// other functions. A basis is an nlevel x k matrix whose column j holds the coefficients of
// contrast j over the levels 1 ... nlevel (row i = level i + 1).
#include <vector>

#include "host/numeric/matrix.h"

namespace qv::num {

// Each level other than `refcat` (1-based), in level order, against the mean of all levels:
// e_i - 1/nlevel (CTRDEV). nlevel >= 2, 1 <= refcat <= nlevel.
Mat CTRDEV(int nlevel, int refcat);
// Level j + 1 against the mean of levels 1 ... j (CTRDIF). nlevel >= 2.
Mat CTRDIF(int nlevel);
// Each level other than `refcat`, in level order, against level `refcat` (CTRSMP).
Mat CTRSMP(int nlevel, int refcat);
// Level j against the mean of levels j + 1 ... nlevel (CTRHEL). nlevel >= 2.
Mat CTRHEL(int nlevel);
// Level j against level j + 1 (CTRRPT). nlevel >= 2.
Mat CTRRPT(int nlevel);
// Orthogonal polynomials of degrees 1 ... nlevel - 1 over the metric (one value per level),
// each of unit length and orthogonal to the constant, the highest power with a positive sign
// (CTROPL). Returns false (and an empty matrix) when the metric has fewer than two values or
// they are not all distinct, or a degree cannot be formed at working precision.
bool CTROPL(const std::vector<double>& metric, Mat& basis);

// Solves A' X = P for X (GEMSLV): `a` is m x e, `p` is e x k, X comes back m x k. Pivots
// negligible against the largest entry of A at tolerance `tol` are skipped; unknowns without a
// pivot are 0. `rank` is the rank found. Returns 0 when every column of P is reproduced (within
// rounding), 2 when some column has no solution (X is then undefined).
int GEMSLV(const Mat& a, const Mat& p, double tol, Mat& x, int& rank);

}  // namespace qv::num
