// Benchmark of the post hoc critical-value engine alone: one factor with 50 levels and about
// 10^6 cases (level sizes 17 000 … 23 000, unequal standard deviations), every test run once
// with one shared cache, as the post hoc step does for one dependent variable.
//
//   phtest_bench [levels]     prints one line per test: code, status, seconds; then the total
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "host/numeric/phtest.h"

int main(int argc, char** argv) {
  using namespace qv::num;
  const size_t k = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 50;
  PostHocInput in;
  double total = 0.0;
  for (size_t i = 0; i < k; ++i) {
    in.means.push_back(10.0 + 0.002 * double(i * i) + std::sin(double(i)));
    in.sizes.push_back(17000.0 + 1000.0 * double(i % 7));
    in.sds.push_back(1.0 + 0.02 * double(i));
    total += in.sizes.back();
  }
  in.errorDf = total - double(k);
  in.mse = 1.2;
  // The factor's F ratio (Waller-Duncan): between-level mean square over MSE.
  double grand = 0.0;
  for (size_t i = 0; i < k; ++i) grand += in.sizes[i] * in.means[i] / total;
  double between = 0.0;
  for (size_t i = 0; i < k; ++i) between += in.sizes[i] * (in.means[i] - grand) * (in.means[i] - grand);
  in.fRatio = between / double(k - 1) / in.mse;
  PostHocCache cache;
  double all = 0.0;
  for (int code = 1; code <= kPostHocTestCount; ++code) {
    in.test = static_cast<PostHocTest>(code);
    const auto start = std::chrono::steady_clock::now();
    const PostHocResult r = phtest(in, &cache);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    all += seconds;
    std::printf("test=%d status=%d seconds=%.3f\n", code, static_cast<int>(r.status), seconds);
  }
  std::printf("levels=%zu cases=%.0f total_seconds=%.3f\n", k, total, all);
  return 0;
}
