#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>

#include "host/output/number_format.h"
#include "host/output/render.h"

using qv::out::Fmt;
using qv::out::formatValue;
using qv::out::Value;

namespace {

std::string show(double x, Fmt f, int decimals = -1) { return formatValue(Value::num(x, f, decimals)); }

const Fmt kAllFormats[] = {Fmt::Text,         Fmt::Count,       Fmt::Coefficient, Fmt::GeneralStat,
                           Fmt::Significance, Fmt::Correlation, Fmt::Mean,        Fmt::StdDev,
                           Fmt::Integer,      Fmt::Percent,     Fmt::Value};

}  // namespace

TEST(FormatValue, MissingAndNonFiniteValuesAreBlank) {
  const double bad[] = {qv::kSysmis, std::numeric_limits<double>::quiet_NaN(),
                        -std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity()};
  for (Fmt f : kAllFormats)
    for (double x : bad)
      for (int dec : {-1, 0, 4}) EXPECT_EQ(show(x, f, dec), "") << static_cast<int>(f) << " " << x;
  EXPECT_EQ(formatValue(Value::missing(Fmt::Coefficient)), "");
}

TEST(FormatValue, SignificanceAndCorrelationDropTheLeadingZero) {
  EXPECT_EQ(show(0.0123, Fmt::Significance), ".012");
  EXPECT_EQ(show(0.04951, Fmt::Significance), ".050");
  EXPECT_EQ(show(1e-12, Fmt::Significance), ".000");
  EXPECT_EQ(show(0.0, Fmt::Significance), ".000");
  EXPECT_EQ(show(1.0, Fmt::Significance), "1.000");
  EXPECT_EQ(show(0.99996, Fmt::Significance), "1.000");
  EXPECT_EQ(show(-1e-9, Fmt::Significance), ".000");
  EXPECT_EQ(show(0.7159199982512591, Fmt::Correlation), ".716");
  EXPECT_EQ(show(-0.5, Fmt::Correlation), "-.500");
}

TEST(FormatValue, CountsAreWholeWhenWhole) {
  EXPECT_EQ(show(5, Fmt::Count), "5");
  EXPECT_EQ(show(0, Fmt::Count), "0");
  EXPECT_EQ(show(-0.0, Fmt::Count), "0");
  EXPECT_EQ(show(27.5, Fmt::Count), "27.5");
  EXPECT_EQ(show(12.34567, Fmt::Count), "12.346");
  // A Satterthwaite df a hair away from a whole number reads as the whole number.
  EXPECT_EQ(show(26.99999999, Fmt::Count), "27");
  EXPECT_EQ(show(4.5, Fmt::Count, 2), "4.50");
  EXPECT_EQ(show(1e20, Fmt::Count), "1.000E+20");
  EXPECT_EQ(show(3.6, Fmt::Integer), "4");
  EXPECT_EQ(show(-0.2, Fmt::Integer), "0");
}

TEST(FormatValue, DecimalFormatsUseTheirDecimals) {
  EXPECT_EQ(show(352.92412, Fmt::Coefficient), "352.924");
  EXPECT_EQ(show(352.92412, Fmt::Coefficient, 1), "352.9");
  EXPECT_EQ(show(352.92412, Fmt::Mean, 0), "353");
  EXPECT_EQ(show(-1.5, Fmt::GeneralStat), "-1.500");
  EXPECT_EQ(show(0.0, Fmt::Coefficient), "0.000");
  EXPECT_EQ(show(-0.0, Fmt::Coefficient), "0.000");
  EXPECT_EQ(show(94.364, Fmt::Mean, 4), "94.3640");
  EXPECT_EQ(show(1.5886094548377825, Fmt::StdDev, 5), "1.58861");
  EXPECT_EQ(show(17.25, Fmt::Value, 2), "17.25");
  // A value that would round to zero is shown in scientific notation rather than as 0.000.
  EXPECT_EQ(show(1.234e-13, Fmt::Coefficient), "1.234E-13");
  EXPECT_EQ(show(-0.0004, Fmt::Coefficient), "-4.000E-04");
  EXPECT_EQ(show(0.3, Fmt::Coefficient, 0), "0");
  // Magnitudes beyond what fixed notation can show honestly.
  EXPECT_EQ(show(2.5e20, Fmt::Coefficient), "2.500E+20");
  EXPECT_EQ(show(-DBL_MAX / 2, Fmt::GeneralStat), "-8.988E+307");
  EXPECT_EQ(show(123456789012.345, Fmt::Coefficient), "123456789012.345");
  // Absurd decimal counts are capped rather than printing hundreds of digits.
  EXPECT_LE(show(1.0 / 3.0, Fmt::Coefficient, 400).size(), 20u);
}

TEST(FormatValue, TextPercentAndStrings) {
  EXPECT_EQ(show(95, Fmt::Percent), "95");
  EXPECT_EQ(show(97.5, Fmt::Percent), "97.5");
  EXPECT_EQ(show(0.1, Fmt::Text), "0.1");
  EXPECT_EQ(formatValue(Value::str("North")), "North");
  EXPECT_EQ(formatValue(Value::str("")), "");
}

TEST(FormatValue, StringKeysShowTheirFullText) {
  EXPECT_EQ(formatValue(Value::str("CASES USED...")),
            "Statistics are based on all cases with valid data for all variables in the model.");
  EXPECT_EQ(formatValue(Value::str("Unknown key ...")), "Unknown key ...");
}

// Every number the procedures and renderers write goes through one formatter that takes the
// decimal character; the expected texts are the numbers rounded by hand.
TEST(NumberFormat, OneFormatterWithTheDecimalCharacter) {
  using namespace qv::out;
  const struct {
    std::string got, want;
  } cases[] = {
      {formatNumber(1234.5678, Fmt::Coefficient, -1, ','), "1234,568"},
      {formatNumber(0.0123, Fmt::Significance, -1, ','), ",012"},
      {formatNumber(2.5e20, Fmt::Coefficient, -1, ','), "2,500E+20"},
      {formatNumber(12, Fmt::Count, -1, ','), "12"},
      {formatProportion(0.71594), ".716"},
      {formatProportion(0.71594, ','), ",716"},
      {formatProportion(-0.0001), ".000"},  // no sign on a value that rounds to zero
      {formatProportion(-0.25), "-.250"},
      {formatProportion(qv::kSysmis), "."},
      {formatLevel(0.05), ".05"},
      {formatLevel(0.1, ','), ",1"},
      {formatLabelNumber(3), "3"},
      {formatLabelNumber(-2.5, ','), "-2,5"},
      {formatLabelNumber(1.0 / 3.0), "0.3333333333333333"},
      {formatFixed(-0.0001, 2), "0.00"},
      {formatFixed(2.345678, 3, ','), "2,346"},
      {formatSignificant(100.0 * (1.0 - 0.05), 10), "95"},
      {formatSignificant(97.5, 10, ','), "97,5"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(NumberFormat, RenderersWriteTheDocumentsDecimalCharacter) {
  using namespace qv::out;
  TableBuilder tb(1, "T", "T");
  const int row = tb.dimension("Source", Axis::Row);
  const int col = tb.dimension("Statistics", Axis::Column);
  tb.category(row, "Model");
  tb.cell(col, "Mean Square", Value::num(1.5, Fmt::Coefficient));
  Document doc;
  doc.decimal = ',';
  doc.commands.push_back(CommandOutput{"QUORVEST y.", false, {tb.finish()}});
  EXPECT_NE(renderText(doc).find("1,500"), std::string::npos);
  EXPECT_NE(renderHtml(doc).find(">1,500<"), std::string::npos);
  const std::string json = renderJson(doc);
  EXPECT_NE(json.find("\"value\": 1.5, \"text\": \"1,500\""), std::string::npos) << json;
}
