#pragma once
// The one place where the error policy of Boost.Math is chosen. Every distribution the engine
// evaluates is one of the aliases below, so no Boost error can turn into an exception: a
// domain, pole, overflow or evaluation error sets errno (EDOM or ERANGE) and returns NaN,
// infinity or a best guess, and `evaluateGuarded` turns each of those into a failure.
// Underflow is not an error for us: a tail probability below the smallest double is 0.
#include <boost/math/distributions/fisher_f.hpp>
#include <boost/math/distributions/non_central_f.hpp>
#include <boost/math/distributions/non_central_t.hpp>
#include <boost/math/distributions/students_t.hpp>
#include <boost/math/policies/policy.hpp>
#include <cerrno>
#include <cmath>
#include <optional>

namespace qv::num {

namespace bmp = boost::math::policies;

using BoostPolicy =
    bmp::policy<bmp::domain_error<bmp::errno_on_error>, bmp::pole_error<bmp::errno_on_error>,
                bmp::overflow_error<bmp::errno_on_error>, bmp::underflow_error<bmp::ignore_error>,
                bmp::denorm_error<bmp::ignore_error>, bmp::evaluation_error<bmp::errno_on_error>,
                bmp::rounding_error<bmp::errno_on_error>,
                bmp::indeterminate_result_error<bmp::errno_on_error>>;

using FisherF = boost::math::fisher_f_distribution<double, BoostPolicy>;
using NonCentralF = boost::math::non_central_f_distribution<double, BoostPolicy>;
using StudentsT = boost::math::students_t_distribution<double, BoostPolicy>;
using NonCentralT = boost::math::non_central_t_distribution<double, BoostPolicy>;

// Runs one Boost evaluation and gives its value, or nothing when the evaluation failed: a
// domain or evaluation error was raised (errno = EDOM), the result is NaN or infinite, or an
// exception of any kind came out (not expected with the policy above, but nothing may escape).
// ERANGE alone is not a failure: the C library sets it when an exponential underflows, which
// is how far tails legitimately reach 0. The caller's errno is restored.
template <class Evaluation>
std::optional<double> evaluateGuarded(Evaluation&& evaluation) noexcept {
  const int savedErrno = errno;
  errno = 0;
  std::optional<double> result;
  try {
    const double value = evaluation();
    if (errno != EDOM && std::isfinite(value)) result = value;
  } catch (...) {
    result.reset();
  }
  errno = savedErrno;
  return result;
}

}  // namespace qv::num
