// Sums of squares of Types I to IV against an independent least-squares computation
// (model_fixture.h, lsq): Types I and II as differences of residual sums of squares of nested
// models in indicator coding; Type III (and Type IV, equal to it without empty cells) as the
// increase of the residual when an effect's columns are dropped from the full-rank model in
// sum-to-zero coding. Several dependents are fitted together so that the off-diagonal
// cross-products are checked as well.
#include <gtest/gtest.h>

#include <cmath>

#include "estimate/sstypes.h"
#include "model_fixture.h"
#include "tolerances.h"

using namespace qvtest;
using lsq::Cols;
using lsq::Sscp;

namespace {

// Sums of squares here are O(1) to O(1e4) from O(100) cases: the sweep and the reference agree
// to about 1e-12 relative; 1e-9 leaves room without hiding a wrong formula.
constexpr double kTol = 1e-9;

// Compares the hypothesis SSCP of effect e with the reference, element by element, relative to
// the geometric mean of the diagonals (the scale of a cross-product).
void expectSscp(const ModelFixture& m, int e, const Sscp& want, int wantDf) {
  SCOPED_TRACE("effect " + std::to_string(e));
  const auto& g = m.st.group;
  ASSERT_EQ(g.effectDf[e], wantDf);
  const int nd = m.st.ndepvr;
  double diagMax = 0;
  for (int d = 0; d < nd; ++d) diagMax = std::max(diagMax, lsq::at(want, d, d));
  for (int d = 0; d < nd; ++d)
    for (int f = 0; f <= d; ++f) {
      const double w = lsq::at(want, d, f);
      const double got = wantDf > 0 ? g.pthscp[e](d, f) : 0.0;
      const double scale = std::sqrt(std::fabs(lsq::at(want, d, d) * lsq::at(want, f, f)));
      EXPECT_TRUE(qv::test::nearRel(got, w, kTol, kTol * std::max(scale, 1e-6 * diagMax))) << d << "," << f;
    }
}

void expectError(const ModelFixture& m, const Sscp& want) {
  for (int d = 0; d < m.st.ndepvr; ++d)
    for (int f = 0; f <= d; ++f)
      EXPECT_TRUE(qv::test::nearRel(m.st.group.errorSSCP(d, f), lsq::at(want, d, f), kTol,
                                    kTol * std::sqrt(lsq::at(want, d, d) * lsq::at(want, f, f))))
          << d << "," << f;
}

Cols ys(const Csv& csv, const std::vector<std::string>& names) {
  Cols out;
  for (auto& n : names) out.push_back(lsq::variable(csv, n));
  return out;
}

// An unbalanced 3 x 3 layout, every cell filled with 1 to 4 cases, two correlated dependents.
Csv twoWay() {
  Csv csv;
  csv.names = {"a", "b", "y", "z"};
  Lcg rng(11);
  for (int a = 1; a <= 3; ++a)
    for (int b = 1; b <= 3; ++b)
      for (int k = 0; k < 1 + (a * b + a) % 4; ++k) {
        double y = a + 2.0 * b + (a == 2 && b == 3 ? 3.0 : 0.0) + rng.grid(-2, 2);
        double z = 0.5 * y - b + rng.grid(-1, 1);
        csv.rows.push_back({double(a), double(b), y, z});
      }
  return csv;
}

const std::vector<std::string> kYZ{"y", "z"};
const std::vector<qv::EffectRow> kAB{{-1, -1}, {0, -1}, {-1, 0}, {0, 0}};
const std::vector<qv::EffectRow> kBA{{-1, -1}, {-1, 0}, {0, -1}, {0, 0}};

}  // namespace

TEST(ModelSumsOfSquares, TwoWayUnbalancedEveryTypeAgainstNestedModels) {
  const Csv csv = twoWay();
  const std::vector<double> w(csv.rows.size(), 1.0);
  const Cols y = ys(csv, {"y", "z"});
  const Cols one = lsq::constant(csv), ia = lsq::indicators(csv, "a"), ib = lsq::indicators(csv, "b");
  const Cols iab = lsq::products(ia, ib);
  auto res = [&](std::initializer_list<Cols> parts) { return lsq::residual(lsq::join(parts), y, w); };
  const Sscp r0 = res({}), r1 = res({one}), rA = res({one, ia}), rB = res({one, ib}),
             rAB = res({one, ia, ib}), rFull = res({one, ia, ib, iab});

  // Type I in both orders.
  {
    ModelFixture m(csv, kYZ, {"a", "b"}, {}, kAB);
    ASSERT_TRUE(m.fit(1));
    expectSscp(m, 0, lsq::minus(r0, r1), 1);
    expectSscp(m, 1, lsq::minus(r1, rA), 2);
    expectSscp(m, 2, lsq::minus(rA, rAB), 2);
    expectSscp(m, 3, lsq::minus(rAB, rFull), 4);
    expectError(m, rFull);
  }
  {
    ModelFixture m(csv, kYZ, {"a", "b"}, {}, kBA);
    ASSERT_TRUE(m.fit(1));
    expectSscp(m, 1, lsq::minus(r1, rB), 2);
    expectSscp(m, 2, lsq::minus(rB, rAB), 2);
  }
  // Type II: each effect after every effect that does not contain it. The intercept is
  // contained in every factor effect, so it is tested against the model with nothing in it.
  for (const auto* rows : {&kAB, &kBA}) {
    ModelFixture m(csv, kYZ, {"a", "b"}, {}, *rows);
    ASSERT_TRUE(m.fit(2));
    const bool ab = rows == &kAB;
    expectSscp(m, 0, lsq::minus(r0, r1), 1);
    expectSscp(m, ab ? 1 : 2, lsq::minus(rB, rAB), 2);
    expectSscp(m, ab ? 2 : 1, lsq::minus(rA, rAB), 2);
    expectSscp(m, 3, lsq::minus(rAB, rFull), 4);
  }
  // Types III and IV: sum-to-zero coding, one effect dropped at a time.
  const Cols ea = lsq::effectCodes(csv, "a"), eb = lsq::effectCodes(csv, "b"), eab = lsq::products(ea, eb);
  const Sscp full = res({one, ea, eb, eab});
  const Sscp t3[] = {lsq::minus(res({ea, eb, eab}), full), lsq::minus(res({one, eb, eab}), full),
                     lsq::minus(res({one, ea, eab}), full), lsq::minus(res({one, ea, eb}), full)};
  for (int type = 3; type <= 4; ++type) {
    SCOPED_TRACE(type);
    for (const auto* rows : {&kAB, &kBA}) {
      ModelFixture m(csv, kYZ, {"a", "b"}, {}, *rows);
      ASSERT_TRUE(m.fit(type));
      const bool ab = rows == &kAB;
      expectSscp(m, 0, t3[0], 1);
      expectSscp(m, ab ? 1 : 2, t3[1], 2);
      expectSscp(m, ab ? 2 : 1, t3[2], 2);
      expectSscp(m, 3, t3[3], 4);
      expectError(m, full);
    }
  }
}

// A, B, C with the two interactions A*B and A*C, every cell filled: the main effect A is
// contained in two effects of the same order. Its Type IV function must spread each of A's
// coefficients evenly within each containing effect, which makes it the Type III function.
TEST(ModelSumsOfSquares, MainEffectContainedInTwoInteractions) {
  Csv csv;
  csv.names = {"a", "b", "c", "y"};
  Lcg rng(5);
  for (int a = 1; a <= 2; ++a)
    for (int b = 1; b <= 3; ++b)
      for (int c = 1; c <= 2; ++c)
        for (int k = 0; k < 1 + (a + 2 * b + c) % 3; ++k)
          csv.rows.push_back({double(a), double(b), double(c),
                              a * 1.5 + b + (a == 1 && c == 2 ? 2.0 : 0.0) + rng.grid(-3, 3)});
  const std::vector<qv::EffectRow> rows{{-1, -1, -1}, {0, -1, -1}, {-1, 0, -1},
                                        {-1, -1, 0},  {0, 0, -1},  {0, -1, 0}};
  const std::vector<double> w(csv.rows.size(), 1.0);
  const Cols y = ys(csv, {"y"});
  const Cols one = lsq::constant(csv), ea = lsq::effectCodes(csv, "a"), eb = lsq::effectCodes(csv, "b"),
             ec = lsq::effectCodes(csv, "c"), eab = lsq::products(ea, eb), eac = lsq::products(ea, ec);
  auto res = [&](std::initializer_list<Cols> parts) { return lsq::residual(lsq::join(parts), y, w); };
  const Sscp full = res({one, ea, eb, ec, eab, eac});
  const Sscp want[] = {
      lsq::minus(res({ea, eb, ec, eab, eac}), full),  lsq::minus(res({one, eb, ec, eab, eac}), full),
      lsq::minus(res({one, ea, ec, eab, eac}), full), lsq::minus(res({one, ea, eb, eab, eac}), full),
      lsq::minus(res({one, ea, eb, ec, eac}), full),  lsq::minus(res({one, ea, eb, ec, eab}), full)};
  const int df[] = {1, 1, 2, 1, 2, 1};
  for (int type = 3; type <= 4; ++type) {
    SCOPED_TRACE(type);
    ModelFixture m(csv, "y", {"a", "b", "c"}, {}, rows);
    ASSERT_TRUE(m.fit(type));
    for (int e = 0; e < 6; ++e) expectSscp(m, e, want[e], df[e]);
    if (type == 4) {
      for (int e = 0; e < 6; ++e) EXPECT_EQ(m.st.group.typeIVUnique[e], 1) << e;
    }
  }
}
