// Probability functions of the host on Boost.Math, with the non-throwing policy of
// boost_policy.hpp. Each wrapper checks its arguments by name, handles the exact cases, then
// evaluates one Boost function through evaluateGuarded.
#include "host/numeric/distributions.h"

#include <fmt/format.h>

#include <cmath>

#include "host/numeric/boost_policy.hpp"

namespace qv::num {

std::string NumericDiag::text() const {
  if (argument.empty()) return fmt::format("{}: {}", routine, rule);
  return fmt::format("{}: {} is {}, but must be {}", routine, argument, value, rule);
}

namespace {

// The one failure routine of the probability functions: it records the failed condition when
// the caller asked for it and gives the system-missing value. It never prints.
double numericFailure(NumericDiag* diag, const char* routine, const char* argument, double value,
                      const char* rule) {
  if (diag != nullptr) {
    diag->routine = routine;
    diag->argument = argument;
    diag->value = value;
    diag->rule = rule;
  }
  return kSysmis;
}

// Named argument checks of one call. Each check returns false after reporting through
// numericFailure, so a wrapper reads `if (!(check.a() && check.b())) return kSysmis;`.
struct ArgCheck {
  const char* routine;
  NumericDiag* diag;

  bool fail(const char* argument, double value, const char* rule) const {
    numericFailure(diag, routine, argument, value, rule);
    return false;
  }
  static bool usable(double x) { return std::isfinite(x) && !isSysmis(x); }

  bool finite(const char* argument, double x) const {
    return usable(x) || fail(argument, x, "finite and not missing");
  }
  bool degreesOfFreedom(const char* argument, double df) const {
    return (usable(df) && df > 0.0) || fail(argument, df, "> 0 and finite");
  }
  bool nonNegative(const char* argument, double x) const {
    return (usable(x) && x >= 0.0) || fail(argument, x, ">= 0 and finite");
  }
  // 0 <= p < 1: the probabilities whose F quantile is finite.
  bool probabilityBelowOne(const char* argument, double p) const {
    return (usable(p) && p >= 0.0 && p < 1.0) || fail(argument, p, "in [0, 1)");
  }
  // 0 < p < 1: the probabilities whose t quantile is finite.
  bool openProbability(const char* argument, double p) const {
    return (usable(p) && p > 0.0 && p < 1.0) || fail(argument, p, "in (0, 1)");
  }

  // Runs a Boost evaluation; a failed one is reported with the rule "evaluation failed".
  template <class Evaluation>
  double evaluate(Evaluation&& evaluation) const {
    const std::optional<double> value = evaluateGuarded(evaluation);
    if (!value) return numericFailure(diag, routine, "", 0.0, "evaluation failed");
    return *value;
  }
};

// Probabilities come back inside [0, 1] even when the last bits of a series overshoot.
double clampProbability(double p) { return p < 0.0 ? 0.0 : (p > 1.0 ? 1.0 : p); }

}  // namespace

void FTEST(double dfh, double dfe, double ssh, double sse, double& msh, double& mse, double& f, double& sig,
           NumericDiag* diag) {
  const ArgCheck check{"FTEST", diag};
  msh = mse = f = sig = kSysmis;
  // A sum of squares cannot be negative; a negative one is a numerical fault upstream, and a
  // quotient built on it would be meaningless, so it stays missing.
  const bool hypothesisOk = check.degreesOfFreedom("dfh", dfh) && check.nonNegative("ssh", ssh);
  const bool errorOk = check.degreesOfFreedom("dfe", dfe) && check.nonNegative("sse", sse);
  if (hypothesisOk) msh = ssh / dfh;
  if (errorOk) mse = sse / dfe;
  if (!(hypothesisOk && errorOk)) return;
  if (!(mse > 0.0)) {
    numericFailure(diag, "FTEST", "mse", mse, "> 0");
    return;
  }
  f = msh / mse;
  if (!std::isfinite(f)) {  // msh / mse overflowed
    f = numericFailure(diag, "FTEST", "f", f, "finite");
    return;
  }
  sig = FUpperTail(f, dfh, dfe, diag);
}

double FUpperTail(double f, double df1, double df2, NumericDiag* diag) {
  const ArgCheck check{"FUpperTail", diag};
  if (!(check.nonNegative("f", f) && check.degreesOfFreedom("df1", df1) &&
        check.degreesOfFreedom("df2", df2)))
    return kSysmis;
  if (f == 0.0) return 1.0;  // the F distribution has no mass below 0
  // Boost takes the upper tail from the incomplete beta with the complementary arguments,
  // I[x](a, b) = 1 - I[1-x](b, a), so no digits are lost to 1 - cdf.
  return check.evaluate([&] { return clampProbability(cdf(complement(FisherF(df1, df2), f))); });
}

double FLowerTail(double f, double df1, double df2, NumericDiag* diag) {
  const ArgCheck check{"FLowerTail", diag};
  if (!(check.nonNegative("f", f) && check.degreesOfFreedom("df1", df1) &&
        check.degreesOfFreedom("df2", df2)))
    return kSysmis;
  if (f == 0.0) return 0.0;
  return check.evaluate([&] { return clampProbability(cdf(FisherF(df1, df2), f)); });
}

double IDFF(double p, double df1, double df2, NumericDiag* diag) {
  const ArgCheck check{"IDFF", diag};
  if (!(check.probabilityBelowOne("p", p) && check.degreesOfFreedom("df1", df1) &&
        check.degreesOfFreedom("df2", df2)))
    return kSysmis;
  if (p == 0.0) return 0.0;
  // Callers pass p = 1 - alpha; for small alpha the upper-tail form keeps the digits of alpha.
  if (p > 0.5) return check.evaluate([&] { return quantile(complement(FisherF(df1, df2), 1.0 - p)); });
  return check.evaluate([&] { return quantile(FisherF(df1, df2), p); });
}

double NCDF(double f, double df1, double df2, double lambda, NumericDiag* diag) {
  const ArgCheck check{"NCDF", diag};
  if (!(check.nonNegative("f", f) && check.degreesOfFreedom("df1", df1) &&
        check.degreesOfFreedom("df2", df2) && check.nonNegative("lambda", lambda)))
    return kSysmis;
  if (f == 0.0) return 0.0;
  if (lambda == 0.0) return FLowerTail(f, df1, df2, diag);
  return check.evaluate([&] { return clampProbability(cdf(NonCentralF(df1, df2, lambda), f)); });
}

double NCFUpperTail(double f, double df1, double df2, double lambda, NumericDiag* diag) {
  const ArgCheck check{"NCFUpperTail", diag};
  if (!(check.nonNegative("f", f) && check.degreesOfFreedom("df1", df1) &&
        check.degreesOfFreedom("df2", df2) && check.nonNegative("lambda", lambda)))
    return kSysmis;
  if (f == 0.0) return 1.0;
  if (lambda == 0.0) return FUpperTail(f, df1, df2, diag);
  return check.evaluate([&] { return clampProbability(cdf(complement(NonCentralF(df1, df2, lambda), f))); });
}

double CDFT(double t, double df, NumericDiag* diag) {
  const ArgCheck check{"CDFT", diag};
  if (!(check.finite("t", t) && check.degreesOfFreedom("df", df))) return kSysmis;
  if (t == 0.0) return 0.5;  // symmetry about 0
  return check.evaluate([&] { return clampProbability(cdf(StudentsT(df), t)); });
}

double IDFT(double p, double df, NumericDiag* diag) {
  const ArgCheck check{"IDFT", diag};
  if (!(check.openProbability("p", p) && check.degreesOfFreedom("df", df))) return kSysmis;
  if (p == 0.5) return 0.0;
  // Callers pass p = 1 - alpha/2: the upper-tail form keeps the digits of alpha/2.
  if (p > 0.5) return check.evaluate([&] { return quantile(complement(StudentsT(df), 1.0 - p)); });
  return check.evaluate([&] { return quantile(StudentsT(df), p); });
}

double DSIGT(double t, double df, NumericDiag* diag) {
  const ArgCheck check{"DSIGT", diag};
  if (!(check.finite("t", t) && check.degreesOfFreedom("df", df))) return kSysmis;
  if (t == 0.0) return 1.0;
  // P(|T| > |t|) = 2 P(T > |t|) by symmetry; the tail is taken directly.
  return check.evaluate([&] { return clampProbability(2.0 * cdf(complement(StudentsT(df), std::fabs(t)))); });
}

double NCDT(double t, double df, double delta, NumericDiag* diag) {
  const ArgCheck check{"NCDT", diag};
  if (!(check.finite("t", t) && check.degreesOfFreedom("df", df) && check.finite("delta", delta)))
    return kSysmis;
  if (delta == 0.0) return CDFT(t, df, diag);
  return check.evaluate([&] { return clampProbability(cdf(NonCentralT(df, delta), t)); });
}

double NCTUpperTail(double t, double df, double delta, NumericDiag* diag) {
  const ArgCheck check{"NCTUpperTail", diag};
  if (!(check.finite("t", t) && check.degreesOfFreedom("df", df) && check.finite("delta", delta)))
    return kSysmis;
  if (delta == 0.0) {
    // P(T > t) = P(T <= -t) by symmetry of the central t.
    return CDFT(-t, df, diag);
  }
  return check.evaluate([&] { return clampProbability(cdf(complement(NonCentralT(df, delta), t))); });
}

}  // namespace qv::num
