#pragma once
// Student t and noncentral t probabilities computed independently of the library, by direct
// numerical integration of their defining integrals (composite Simpson rule in long double).
// Slow, but simple enough to check by reading; accurate to about 1e-12 for the arguments the
// tests use (df >= 5, |t| < 40).
#include <cmath>

namespace qvtest {

// Composite Simpson rule with n (even) intervals.
template <class F>
long double simpson(F f, long double a, long double b, int n) {
  const long double h = (b - a) / n;
  long double s = f(a) + f(b);
  for (int i = 1; i < n; ++i) s += f(a + i * h) * (i % 2 ? 4.0L : 2.0L);
  return s * h / 3.0L;
}

// P(T <= t) = 1/2 + integral from 0 to t of the density
// Gamma((df+1)/2) / (Gamma(df/2) sqrt(df pi)) (1 + x^2/df)^(-(df+1)/2).
inline double tCdf(double t, double df) {
  const long double ldf = df;
  const long double c = std::exp(std::lgamma((ldf + 1) / 2) - std::lgamma(ldf / 2)) / std::sqrt(ldf * M_PIl);
  auto density = [&](long double x) { return c * std::pow(1.0L + x * x / ldf, -(ldf + 1) / 2); };
  long double half = simpson(density, 0.0L, std::fabs(t), 4000);
  return static_cast<double>(t >= 0 ? 0.5L + half : 0.5L - half);
}

// The p-quantile of t(df) (0.5 < p < 1), by Newton steps on tCdf with the density as slope.
inline double tQuantile(double p, double df) {
  const long double ldf = df;
  const long double c = std::exp(std::lgamma((ldf + 1) / 2) - std::lgamma(ldf / 2)) / std::sqrt(ldf * M_PIl);
  double t = 2.0;
  for (int i = 0; i < 12; ++i) {
    const double density = static_cast<double>(c * std::pow(1.0L + t * t / ldf, -(ldf + 1) / 2));
    t -= (tCdf(t, df) - p) / density;
  }
  return t;
}

// Noncentral t: T' = (Z + delta) / sqrt(V / df), V ~ chi-square(df). Conditioning on
// S = sqrt(V), P(T' <= t) = E[ Phi(t S / sqrt(df) - delta) ], where S has the chi density
// s^(df-1) exp(-s^2/2) / (2^(df/2-1) Gamma(df/2)). Integrated over s in [0, sqrt(df) + 14].
inline double noncentralTCdf(double t, double df, double delta) {
  const long double lognorm = (df / 2 - 1) * std::log(2.0L) + std::lgamma(df / 2.0L);
  auto integrand = [&](long double s) -> long double {
    if (s <= 0) return 0.0L;
    long double chi = std::exp((df - 1) * std::log(s) - s * s / 2 - lognorm);
    long double z = t * s / std::sqrt(static_cast<long double>(df)) - delta;
    return chi * 0.5L * std::erfc(-z / std::sqrt(2.0L));
  };
  return static_cast<double>(
      simpson(integrand, 0.0L, std::sqrt(static_cast<long double>(df)) + 14.0L, 40000));
}

}  // namespace qvtest
