#pragma once
// Double-double arithmetic: a value is the unevaluated sum hi + lo of two doubles with
// |lo| <= ulp(hi)/2, about 32 significant digits. Sums use the error-free transformation of
// Knuth (TwoSum), products the fused multiply-add (TwoProd); the operations are the "sloppy"
// ones of Dekker and Bailey, with a relative error of a few units of 2^-104.
#include <cmath>

namespace qv::num {

struct DD {
  double hi = 0.0;
  double lo = 0.0;
  DD() = default;
  DD(double h) : hi(h) {}  // NOLINT(google-explicit-constructor): a double is a DD exactly
  DD(double h, double l) : hi(h), lo(l) {}
  double value() const { return hi + lo; }
};

inline DD quickTwoSum(double a, double b) {
  const double s = a + b;
  return {s, b - (s - a)};
}

inline DD twoSum(double a, double b) {
  const double s = a + b;
  const double bb = s - a;
  return {s, (a - (s - bb)) + (b - bb)};
}

inline DD twoProd(double a, double b) {
  const double p = a * b;
  return {p, std::fma(a, b, -p)};
}

inline DD operator+(DD a, DD b) {
  DD s = twoSum(a.hi, b.hi);
  s.lo += a.lo + b.lo;
  return quickTwoSum(s.hi, s.lo);
}
inline DD operator-(DD a) { return {-a.hi, -a.lo}; }
inline DD operator-(DD a, DD b) { return a + (-b); }
inline DD operator*(DD a, DD b) {
  DD p = twoProd(a.hi, b.hi);
  p.lo += a.hi * b.lo + a.lo * b.hi;
  return quickTwoSum(p.hi, p.lo);
}
inline DD operator/(DD a, DD b) {
  const double q1 = a.hi / b.hi;
  const DD r = a - b * DD(q1);
  const double q2 = r.hi / b.hi;
  const DD r2 = r - b * DD(q2);
  const double q3 = r2.hi / b.hi;
  return quickTwoSum(q1, q2) + DD(q3);
}
inline DD& operator+=(DD& a, DD b) { return a = a + b; }
inline DD& operator-=(DD& a, DD b) { return a = a - b; }

inline DD sqrt(DD a) {
  if (!(a.hi > 0.0)) return {a.hi == 0.0 ? 0.0 : std::sqrt(a.hi)};
  const double x = std::sqrt(a.hi);
  // One Newton step on the double-double residual.
  const DD r = a - twoProd(x, x);
  return quickTwoSum(x, r.hi / (2.0 * x));
}

// a - b*c in double-double with b, c given as hi/lo pairs: the inner step of the sweep.
inline DD fms(DD a, DD b, DD c) { return a - b * c; }

}  // namespace qv::num
