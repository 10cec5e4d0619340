#pragma once
// Numbers as people read them: the one place where a double becomes text for a table cell, a
// footnote or a label. Every function takes the decimal character (the locale's, '.' by default)
// and writes it in place of the point. Non-finite values and the system-missing value have no
// text here; callers decide what stands for them.
#include <string>

#include "host/output/document.h"

namespace qv::out {

// A number in a display format (the cell formats of `Fmt`), with `decimals` decimals where the
// format takes them (-1: the format's default). Blank for the system-missing value, NaN and
// infinities; magnitudes beyond what fixed notation can honestly show are written in scientific
// notation.
std::string formatNumber(double x, Fmt f, int decimals = -1, char decimal = '.');

// Fixed notation with `decimals` decimals (clamped to 0..16); a result that rounds to zero has no
// sign ("0.00", never "-0.00").
std::string formatFixed(double x, int decimals, char decimal = '.');

// A proportion such as R squared in three decimals without the leading zero (".716"); "." for the
// system-missing value and non-finite values.
std::string formatProportion(double x, char decimal = '.');

// A significance level as footnotes quote it: three decimals, trailing zeros and the leading zero
// dropped (0.05 -> ".05").
std::string formatLevel(double x, char decimal = '.');

// A number inside a label: an integer without decimals, anything else in the shortest form that
// reads back as the same double.
std::string formatLabelNumber(double x, char decimal = '.');

// `x` to `digits` significant digits, trailing zeros dropped (95.00000000000001 -> "95").
std::string formatSignificant(double x, int digits, char decimal = '.');

}  // namespace qv::out
