#pragma once
// Kernels for row sets with a unit structure: every row has a column of its own that holds 1
// in that row and 0 in every other row (the L rows of an effect read off the swept matrix).
#include "host/numeric/matrix.h"

namespace qv::num {

// RESORP for such a `c`, without building an orthonormal basis of its rows. With P the rows'
// own columns and U the other columns where c is not zero, c = [I | B] in the columns (P, U)
// and c c' = I + B B', so the projection of a row x on the row space of c is c' y with
// (I + B B') y = c x, solved through (I + B'B) (order |U|) in double-double. Every row of c has
// a residual of norm at least 1 against the others (its own column), so none is dropped as
// dependent when 1 > tol * its norm; the kept residual rows are those of RESORP. Returns false,
// leaving `out` alone, when c has not that structure, some row of c is so long that RESORP
// could drop it, or U is too wide for the solve to pay (the caller then uses RESORP).
bool RESORPUnitRows(const Mat& l, const Mat& c, double tol, Mat& out);

}  // namespace qv::num
