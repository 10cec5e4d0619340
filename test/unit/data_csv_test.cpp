// The CSV data source: parsing, type inference, input errors, split groups and case weights.
#include <gtest/gtest.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "driver/qvtctl.h"
#include "host/context.h"
#include "host/data/case_stream.h"
#include "host/data/csv_scanner.h"
#include "host/sysmis.h"

namespace qv {
namespace {

std::unique_ptr<DataSource> openCsv(const std::string& csv, InputError& err, DataOptions o = {}) {
  if (o.dataPath.empty()) o.dataPath = "d.csv";
  return DataSource::openText(csv, o, err);
}

std::unique_ptr<DataSource> mustOpen(const std::string& csv, DataOptions o = {}) {
  InputError err;
  auto ds = openCsv(csv, err, std::move(o));
  if (!ds) throw std::runtime_error(err.describe());
  return ds;
}

// Every value of one pass, as text keys ("." for system-missing), group by group.
std::vector<std::vector<std::vector<std::string>>> readAll(const DataSource& ds) {
  std::vector<std::vector<std::vector<std::string>>> groups;
  auto r = ds.read();
  const auto& vars = ds.dictionary().vars;
  do {
    groups.emplace_back();
    while (r->next()) {
      std::vector<std::string> row;
      for (size_t v = 0; v < vars.size(); ++v) {
        if (vars[v].isString()) {
          row.push_back(r->string(static_cast<int>(v)));
        } else {
          double x = r->number(static_cast<int>(v));
          row.push_back(isSysmis(x) ? "." : numberKey(x));
        }
      }
      groups.back().push_back(row);
    }
  } while (r->nextGroup());
  EXPECT_TRUE(r->endOfData());
  return groups;
}

using Rows = std::vector<std::vector<std::string>>;

TEST(CsvReader, QuotedFieldsDoubledQuotesEmbeddedSeparatorsAndCrlf) {
  auto ds = mustOpen(
      "name,note,n\r\n"
      "\"Smith, J\",\"he said \"\"hi\"\"\",1\r\n"
      "\"two\r\nlines\",\"\",2\r\n"
      "  \"padded\"  ,plain text,3\r\n"
      "\"\"\"\",x,\"4\"");  // no line end after the last row
  const auto& vars = ds->dictionary().vars;
  ASSERT_EQ(vars.size(), 3u);
  EXPECT_TRUE(vars[0].isString());
  EXPECT_TRUE(vars[1].isString());
  EXPECT_FALSE(vars[2].isString());  // a quoted number is still a number
  auto g = readAll(*ds);
  ASSERT_EQ(g.size(), 1u);
  EXPECT_EQ(g[0], (Rows{{"Smith, J", "he said \"hi\"", "1"},
                        {"two\r\nlines", "", "2"},
                        {"padded", "plain text", "3"},
                        {"\"", "x", "4"}}));
  EXPECT_EQ(vars[0].width, 10);  // "two\r\nlines"
}

TEST(CsvReader, TypesWidthsMissingAndBlankLines) {
  auto ds = mustOpen(
      "\xEF\xBB\xBF"  // a byte-order mark is not part of the first name
      "x, id ,label,empty\n"
      "1.5,+7,a,\n"
      "\n"
      " -2 ,8,bb,\n"
      ",9,1,\n"
      "3e2,10,ccc,\n\n");
  const auto& v = ds->dictionary().vars;
  EXPECT_EQ(v[0].name, "x");
  EXPECT_EQ(v[1].name, "id");
  EXPECT_FALSE(v[0].isString());
  EXPECT_FALSE(v[1].isString());
  EXPECT_TRUE(v[2].isString());  // "a" is not a number, so "1" is a text here
  EXPECT_EQ(v[2].width, 3);
  EXPECT_FALSE(v[3].isString());  // all empty: numeric, all missing
  EXPECT_EQ(v[0].format.decimals, 1);
  EXPECT_EQ(v[1].format.decimals, 0);
  EXPECT_EQ(ds->nonFiniteCount(), 0);
  auto g = readAll(*ds);
  EXPECT_EQ(
      g[0],
      (Rows{
          {"1.5", "7", "a", "."}, {"-2", "8", "bb", "."}, {".", "9", "1", "."}, {"300", "10", "ccc", "."}}));
}

TEST(CsvReader, NonFiniteValuesAreMissingAndCounted) {
  auto ds = mustOpen("a,b\nnan,1\ninf,-Infinity\n1e999,-1e400\n1e-999,NaN\n5,6\n");
  EXPECT_FALSE(ds->dictionary().vars[0].isString());
  EXPECT_EQ(ds->nonFiniteCount(), 6);
  auto g = readAll(*ds);
  // An underflow is zero, not a missing value.
  EXPECT_EQ(g[0], (Rows{{".", "1"}, {".", "."}, {".", "."}, {"0", "."}, {"5", "6"}}));
  // In a string column "nan" is plain text and nothing is counted.
  auto s = mustOpen("a\nnan\nfoo\n");
  EXPECT_TRUE(s->dictionary().vars[0].isString());
  EXPECT_EQ(s->nonFiniteCount(), 0);
}

// Every number reads as the double std::from_chars gives (correctly rounded), whichever path
// the reader takes; texts that are not numbers are refused the same way.
TEST(CsvReader, NumbersReadExactlyAsTheStandardParser) {
  std::mt19937_64 rng(42);
  auto digits = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
    return s;
  };
  for (int k = 0; k < 200000; ++k) {
    std::string t = (rng() % 3 == 0 ? "-" : "") + digits(static_cast<int>(rng() % 12));
    if (rng() % 2) t += "." + digits(static_cast<int>(rng() % 12));
    if (rng() % 4 == 0)
      t += (rng() % 2 ? "e" : "E") + std::string(rng() % 2 ? "-" : "") + std::to_string(rng() % 40);
    if (t.empty()) continue;  // an empty field is a missing value, not a number
    double want = 0;
    auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), want);
    const bool isNumber = ec == std::errc() && p == t.data() + t.size();
    csv::ParsedNumber got = csv::parseNumber(t);
    if (!isNumber) {
      EXPECT_EQ(got.kind, csv::NumberKind::NotNumber) << t;
      continue;
    }
    ASSERT_EQ(got.kind, csv::NumberKind::Finite) << t;
    EXPECT_EQ(got.value, want == 0 ? 0.0 : want) << t;
  }
  for (const char* t : {"1e", "1e+", ".", "-", "+", "1.2.3", "0x10", "1,5", "1 2", "--1", "+-1", "e5"})
    EXPECT_EQ(csv::parseNumber(t).kind, csv::NumberKind::NotNumber) << t;
  EXPECT_EQ(csv::parseNumber(" +.5 ").value, 0.5);
  EXPECT_EQ(csv::parseNumber("5.").value, 5.0);
  EXPECT_EQ(csv::parseNumber("1.25e-1").decimals, 3);
  EXPECT_EQ(csv::parseNumber("12.50").decimals, 2);
}

// Correct rounding where it is hard: each text against its exact nearest double (worked out
// independently with arbitrary-precision arithmetic), which std::strtod must give as well.
// kind Finite with value 0 for an underflow; NonFinite for an overflow, nan and inf.
TEST(CsvNumbers, HardCasesRoundCorrectly) {
  const std::string longHalfwayUp = "9007199254740993." + std::string(600, '0') + "1";
  const std::string tinyLong = "0." + std::string(1000, '0') + "1";
  const std::string hugeLong = "1" + std::string(400, '7');
  const std::string e300 = "1" + std::string(300, '0');
  struct Case {
    std::string text;
    csv::NumberKind kind;
    double truth;
  };
  using K = csv::NumberKind;
  const Case cases[] = {
      {"0.1", K::Finite, 0x1.999999999999ap-4},
      {"-49.87", K::Finite, -0x1.8ef5c28f5c28fp+5},
      {"+0.30000000000000004", K::Finite, 0x1.3333333333334p-2},  // 17 digits
      {"1.448997445238699", K::Finite, 0x1.72f17f1f49aadp+0},
      {"9007199254740993", K::Finite, 0x1p+53},                // halfway: to even, down
      {"9007199254740995", K::Finite, 0x1.0000000000002p+53},  // halfway: to even, up
      {"9007199254740993.0000000001", K::Finite, 0x1.0000000000001p+53},
      {longHalfwayUp, K::Finite, 0x1.0000000000001p+53},  // the deciding digit 600 places on
      {"1.00000000000000011102230246251565404236316680908203125", K::Finite, 1.0},  // exactly halfway
      {"1.00000000000000011102230246251565404236316680908203126", K::Finite, 0x1.0000000000001p+0},
      {"123456789012345678901234567890", K::Finite, 0x1.8ee90ff6c373ep+96},
      {"1e23", K::Finite, 0x1.52d02c7e14af6p+76},
      {"999999999999999e22", K::Finite, 0x1.e17b843576913p+122},
      {"123456789012345e-22", K::Finite, 0x1.a831bd731a26p-27},
      {"7.2057594037927933E+16", K::Finite, 0x1p+56},
      {"4.35679104e-300", K::Finite, 0x1.757795b21c30dp-995},
      {"2.2250738585072011e-308", K::Finite, 0x0.fffffffffffffp-1022},  // largest subnormal
      {"2.2250738585072012e-308", K::Finite, 0x1p-1022},
      {"-1.5e-310", K::Finite, -0x0.01b9cd1295941p-1022},
      {"1e-320", K::Finite, 0x0.00000000007e8p-1022},
      {"4.9406564584124654e-324", K::Finite, 0x0.0000000000001p-1022},  // smallest subnormal
      {"2.4703282292062328e-324", K::Finite, 0x0.0000000000001p-1022},  // just above half of it
      {"2.4703282292062327e-324", K::Finite, 0.0},                      // just below: zero
      {tinyLong, K::Finite, 0.0},
      {"-0.0e-5", K::Finite, 0.0},
      {"1.7976931348623157e308", K::Finite, 0x1.fffffffffffffp+1023},
      {e300, K::Finite, 0x1.7e43c8800759cp+996},
      {"1.7976931348623159e308", K::NonFinite, 0.0},  // rounds beyond the largest double
      {hugeLong, K::NonFinite, 0.0},
      {"-inf", K::NonFinite, 0.0},
      {"NaN", K::NonFinite, 0.0},
      {"1e", K::NotNumber, 0.0},
      {"1e+", K::NotNumber, 0.0},
      {"0x1p3", K::NotNumber, 0.0},
      {"1.2.3", K::NotNumber, 0.0},
      {"+-1", K::NotNumber, 0.0},
      {"1 000", K::NotNumber, 0.0},
      {"1d5", K::NotNumber, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    const csv::ParsedNumber got = csv::parseNumber(c.text);
    ASSERT_EQ(got.kind, c.kind);
    if (c.kind != K::Finite) continue;
    EXPECT_EQ(got.value, c.truth);
    EXPECT_FALSE(std::signbit(got.value) && got.value == 0.0);
    const double reference = std::strtod(c.text.c_str(), nullptr);
    EXPECT_EQ(reference, c.truth);
  }
}

// What one pass over the text reports beside the value; the remainder only from a given length.
TEST(CsvNumbers, DecimalsDigitsAndRemainderThreshold) {
  struct Case {
    const char* text;
    int decimals, digits;
    size_t length;
  };
  for (const Case& c : {Case{" 0.00120 ", 5, 3, 7}, Case{"-12.5e2", 0, 3, 7}, Case{"1e-3", 3, 1, 4},
                        Case{"+100", 0, 3, 4}, Case{"1.23456789012345678", 16, 18, 19}}) {
    SCOPED_TRACE(c.text);
    const csv::ParsedNumber n = csv::parseNumber(c.text);
    EXPECT_EQ(n.decimals, c.decimals);
    EXPECT_EQ(n.digits, c.digits);
    EXPECT_EQ(n.length, c.length);
  }
  EXPECT_NE(csv::parseNumber("49.87").remainder, 0.0);
  EXPECT_EQ(csv::parseNumber("49.87", 7).remainder, 0.0);
  EXPECT_EQ(csv::parseNumber("49.87", 4).remainder, csv::parseNumber("49.87").remainder);
}

// Converted blocks store a column of short decimals as 32-bit multiples of 10^-d when that gives
// back every value bit for bit, and as doubles otherwise: each column (one block) must read
// back exactly what the standard parser makes of its texts.
TEST(CsvReader, StoredColumnsGiveBackEveryValueBitForBit) {
  std::mt19937_64 rng(7);
  std::vector<std::string> randomDecimals;
  for (int k = 0; k < 3000; ++k) {
    std::string t = (rng() % 3 == 0 ? "-" : "") + std::to_string(rng() % 1000);
    const int places = static_cast<int>(rng() % 7);  // every value within 32 bits of 10^-6
    if (places > 0) {
      t += ".";
      for (int i = 0; i < places; ++i) t += static_cast<char>('0' + rng() % 10);
    }
    randomDecimals.push_back(k % 97 == 0 ? "" : t);
  }
  const std::vector<std::vector<std::string>> columns = {
      {"1.5", "-2.25", "0.001", "12345.678", "", "0"},
      {"0.1", "0.30000000000000004"},             // 17 places: doubles
      {"0.1", "214748.3648"},                      // 2147483648 ten-thousandths: beyond 32 bits
      {"2147.483647", "-2147.483647", "0.000001"},  // the 32-bit limits
      {"2147.483648", "0.000001"},
      {"1.5", "-0.0", "2.5"},
      {"1e-9", "123456789e-9", "2.5E3", "0.123456789"},
      {"9007199254740993.5", "1.25"},
      randomDecimals,
  };
  for (const auto& texts : columns) {
    std::string csv = "i,y\n";
    for (const std::string& t : texts) csv += "1," + t + "\n";
    auto ds = mustOpen(csv);
    auto r = ds->read();
    for (const std::string& t : texts) {
      ASSERT_TRUE(r->next()) << t;
      const double got = r->number(1);
      if (t.empty()) {
        EXPECT_TRUE(isSysmis(got));
        continue;
      }
      double want = 0;
      std::from_chars(t.data(), t.data() + t.size(), want);
      if (want == 0) want = 0.0;  // -0 reads as 0
      EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << t << " read back as " << got;
    }
  }
}

TEST(CsvReader, MinusZeroIsZero) {
  // Levels and split groups compare values bit for bit; -0 and 0 must be one value.
  auto ds = mustOpen("s,y\n0,1\n-0,2\n-0.0,3\n", [] {
    DataOptions o;
    o.splitVars = {"s"};
    return o;
  }());
  auto g = readAll(*ds);
  ASSERT_EQ(g.size(), 1u);
  EXPECT_EQ(g[0].size(), 3u);
}

// Malformed files are refused at open with the place of the problem.
TEST(CsvReader, MalformedInputIsLocated) {
  struct Case {
    std::string csv;
    long line, column;
    std::string needle;
  };
  const Case cases[] = {
      {"", 1, 1, "empty"},
      {"\n\n", 1, 1, "empty"},
      {"a,b\n1,2\n3,\"4\n5,6\n", 3, 3, "unbalanced quote"},
      {"a,b\n1,2\n3,4,5\n", 3, 5, "3 fields, but the first row names 2 variables"},
      {"a,b,c\n1,2,3\r\n4,5\r\n", 3, 4, "2 fields"},
      {"a,b\n\"x\"y,1\n", 2, 4, "after the closing quote"},
      {"a,b\n1,\"two\nlines\"\n\"p\nq\",3,4\n", 5, 6, "3 fields"},
      {"a,b\r\n\"p\r\nq\", \"r\"\"\",9\r\n", 3, 11, "3 fields"},
      {"a,,c\n", 1, 3, "empty"},
      {"a,A\n", 1, 3, "repeats \"a\" of column 1"},
      {"a,1x\n", 1, 3, "must start with a letter"},
      {"a,b c\n", 1, 3, "contains ' '"},
      {"a,by\n", 1, 3, "reserved word"},
      {"a,b.\n", 1, 3, "must not end with a period"},
  };
  for (const auto& c : cases) {
    InputError err;
    EXPECT_FALSE(openCsv(c.csv, err)) << c.csv;
    EXPECT_EQ(err.file, "d.csv");
    EXPECT_EQ(err.line, c.line) << c.csv << " -> " << err.describe();
    EXPECT_EQ(err.column, c.column) << c.csv << " -> " << err.describe();
    EXPECT_NE(err.text.find(c.needle), std::string::npos) << err.describe();
  }
  InputError e{"f.csv", 3, 7, "bad"};
  EXPECT_EQ(e.describe(), "f.csv:3:7: bad");
}

TEST(CsvReader, WeightAndSplitMustNameSuitableVariables) {
  auto opt = [](std::string w, std::vector<std::string> s) {
    DataOptions o;
    o.weightVar = std::move(w);
    o.splitVars = std::move(s);
    return o;
  };
  InputError err;
  EXPECT_FALSE(openCsv("y,wt,g\n1,1,a\n", err, opt("wgt", {})));
  EXPECT_NE(err.text.find("--weight: there is no variable \"wgt\""), std::string::npos) << err.text;
  EXPECT_NE(err.text.find("did you mean wt"), std::string::npos) << err.text;
  EXPECT_FALSE(openCsv("y,wt,g\n1,1,a\n", err, opt("g", {})));
  EXPECT_NE(err.text.find("must be numeric"), std::string::npos) << err.text;
  EXPECT_FALSE(openCsv("y,wt,g\n1,1,a\n", err, opt("", {"g", "h"})));
  EXPECT_NE(err.text.find("--split: there is no variable \"h\""), std::string::npos) << err.text;
  EXPECT_FALSE(openCsv("y,wt,g\n1,1,a\n", err, opt("", {"g", "G"})));
  EXPECT_NE(err.text.find("named twice"), std::string::npos) << err.text;
  auto ds = openCsv("y,wt,g\n1,1,a\n", err, opt("WT", {"G", "y"}));
  ASSERT_TRUE(ds) << err.describe();
  EXPECT_EQ(ds->weightIndex(), 1);
  EXPECT_EQ(ds->splitIndexes(), (std::vector<int>{2, 0}));
}

TEST(CaseReader, SplitGroupsAreRunsOfEqualValues) {
  DataOptions o;
  o.splitVars = {"s", "t"};
  const std::string dict = R"({"variables": {"s": {"value_labels": {"1": "First"}}}})";
  InputError err;
  auto ds = DataSource::openText("s,t,y\n1,a,1\n1,a,2\n2,a,3\n2,b,4\n2,b,5\n1,a,6\n,a,7\n", o, err, dict);
  ASSERT_TRUE(ds) << err.describe();
  auto r = ds->read();
  std::vector<std::vector<double>> groups;
  std::vector<std::vector<std::pair<std::string, std::string>>> captions;
  do {
    groups.emplace_back();
    captions.push_back(r->splitCaption());
    while (r->next()) groups.back().push_back(r->number(2));
  } while (r->nextGroup());
  // A value that comes back later starts a new group; the groups are not sorted.
  EXPECT_EQ(groups, (std::vector<std::vector<double>>{{1, 2}, {3}, {4, 5}, {6}, {7}}));
  using Cap = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(captions[0], (Cap{{"s", "First"}, {"t", "a"}}));
  EXPECT_EQ(captions[2], (Cap{{"s", "2"}, {"t", "b"}}));
  EXPECT_EQ(captions[4], (Cap{{"s", "."}, {"t", "a"}}));
}

TEST(CaseReader, NextGroupSkipsTheRestOfAnAbandonedGroup) {
  DataOptions o;
  o.splitVars = {"s"};
  auto ds = mustOpen("s,y\n1,1\n1,2\n1,3\n2,4\n", o);
  auto r = ds->read();
  ASSERT_TRUE(r->next());
  EXPECT_EQ(r->number(1), 1);
  EXPECT_FALSE(r->endOfData());
  ASSERT_TRUE(r->nextGroup());
  ASSERT_TRUE(r->next());
  EXPECT_EQ(r->number(1), 4);
  EXPECT_TRUE(r->endOfData());
  EXPECT_FALSE(r->next());
  EXPECT_FALSE(r->nextGroup());

  // No cases at all: one empty group, at the end at once.
  auto none = mustOpen("s,y\n", o);
  auto r2 = none->read();
  EXPECT_TRUE(r2->endOfData());
  EXPECT_FALSE(r2->next());
  EXPECT_FALSE(r2->nextGroup());
}

TEST(CaseReader, CaseWeights) {
  auto plain = mustOpen("y\n1\n");
  auto r0 = plain->read();
  ASSERT_TRUE(r0->next());
  EXPECT_EQ(r0->caseWeight(), 1.0);

  DataOptions o;
  o.weightVar = "w";
  InputError err;
  auto ds = DataSource::openText("y,w\n1,2.5\n2,\n3,-1\n4,99\n5,0\n", o, err,
                                 R"({"variables": {"w": {"missing": [99]}}})");
  ASSERT_TRUE(ds) << err.describe();
  auto r = ds->read();
  std::vector<double> w;
  while (r->next()) w.push_back(r->caseWeight());
  // Missing (system or user) weights read as system-missing; others as they are.
  EXPECT_EQ(w, (std::vector<double>{2.5, kSysmis, -1, kSysmis, 0}));
}

TEST(MissingValues, NumericAndStringTests) {
  Variable num;
  num.missing.numbers = {-9};
  num.missing.range = std::make_pair(100.0, 200.0);
  EXPECT_TRUE(isMissingNumber(num, -9, false));
  EXPECT_TRUE(isMissingNumber(num, 150, false));
  EXPECT_FALSE(isMissingNumber(num, 99.99, false));
  EXPECT_FALSE(isMissingNumber(num, 150, true));
  EXPECT_TRUE(isMissingNumber(num, kSysmis, true));
  Variable plain;
  EXPECT_FALSE(isMissingNumber(plain, 0, false));

  Variable str;
  str.type = VarType::String;
  str.width = 4;
  str.missing.strings = {"x "};
  EXPECT_TRUE(isMissingString(str, "x", false));
  EXPECT_TRUE(isMissingString(str, "x   ", false));
  EXPECT_FALSE(isMissingString(str, " x", false));
  EXPECT_FALSE(isMissingString(str, "x", true));
  EXPECT_FALSE(isMissingString(str, "", false));
}

// Records that straddle the read buffer, a field longer than the buffer, and several passes.
TEST(CaseReader, LargeInputAcrossBufferBoundaries) {
  std::string csv = "id,txt,v\n";
  const int n = 150000;
  double expect = 0;
  for (int i = 0; i < n; ++i) {
    double v = i * 0.25 - 7;
    expect += v;
    csv += std::to_string(i) + (i % 97 == 0 ? ",\"q,\"\"\nx\"," : ",plain,") + numberKey(v) +
           (i % 2 ? "\r\n" : "\n");
  }
  const std::string huge(3u << 20, 'z');
  csv += std::to_string(n) + ",\"" + huge + "\",1\n";
  expect += 1;
  auto ds = mustOpen(csv);
  EXPECT_EQ(ds->dictionary().vars[1].width, static_cast<int>(huge.size()));
  for (int pass = 0; pass < 2; ++pass) {
    auto r = ds->read();
    double sum = 0;
    long count = 0;
    bool idsInOrder = true;
    while (r->next()) {
      idsInOrder = idsInOrder && r->number(0) == count;
      if (count % 97 == 0 && count < n) {
        EXPECT_EQ(r->string(1), "q,\"\nx");
      }
      sum += r->number(2);
      ++count;
    }
    EXPECT_EQ(count, n + 1);
    EXPECT_TRUE(idsInOrder);
    EXPECT_EQ(sum, expect);
  }
}

TEST(CsvReader, ARecordBeyondTheLimitIsRefusedWhereItStarts) {
  const std::string text = "a,b\n1,2\n3,\"" + std::string(5000, 'x') + "\n";
  csv::Scanner sc(std::make_unique<csv::TextSource>(std::make_shared<const std::string>(text)), 64, 1000);
  ASSERT_TRUE(sc.next());
  ASSERT_TRUE(sc.next());
  try {
    sc.next();
    ADD_FAILURE() << "no error";
  } catch (const csv::ScanError& e) {
    EXPECT_EQ(e.line, 3);
    EXPECT_EQ(e.column, 1);
    EXPECT_NE(e.text.find("longer than 1000 bytes"), std::string::npos) << e.text;
  }
}

TEST(CsvReader, RepeatedNamesAreFoundAmongManyColumns) {
  // 100 000 distinct names and then one that repeats the fifth in another case.
  std::string header;
  for (int i = 1; i <= 100000; ++i) header += "c" + std::to_string(i) + ",";
  header += "C5\n";
  InputError err;
  EXPECT_FALSE(openCsv(header, err));
  EXPECT_EQ(err.line, 1);
  EXPECT_NE(err.text.find("repeats \"c5\" of column 5"), std::string::npos) << err.text;
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("qv_data_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& text) {
    auto p = dir_ / name;
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }
  std::filesystem::path dir_;
};

TEST_F(TempDir, FilesAreReadAndAChangedFileIsRefused) {
  DataOptions o;
  o.dataPath = write("d.csv", "a,b\n1,x\n2,y\n");
  o.dictionaryPath = write("d.json", R"({"variables": {"a": {"label": "Alpha"}}})");
  InputError err;
  auto ds = DataSource::open(o, err);
  ASSERT_TRUE(ds) << err.describe();
  EXPECT_EQ(ds->dictionary().vars[0].label, "Alpha");
  auto r = ds->read();
  ASSERT_TRUE(r->next());
  EXPECT_EQ(r->string(1), "x");

  write("d.csv", "a,b\n1,x\n2,y\n3,z\n");
  EXPECT_THROW(ds->read(), DataChanged);
  // A command over the changed file ends the run with that message, not as a fault of its own.
  out::CommandOutput co;
  Context ctx;
  ctx.data = ds.get();
  ctx.output = &co;
  EXPECT_THROW(QVTCTL(ctx, "QUORVEST a BY b."), DataChanged);

  o.dataPath = (dir_ / "absent.csv").string();
  EXPECT_FALSE(DataSource::open(o, err));
  EXPECT_EQ(err.file, o.dataPath);
  EXPECT_NE(err.text.find("No such file"), std::string::npos) << err.text;

  o.dataPath = write("d2.csv", "a\n1\n");
  o.dictionaryPath = (dir_ / "absent.json").string();
  EXPECT_FALSE(DataSource::open(o, err));
  EXPECT_EQ(err.file, o.dictionaryPath);

  o.dictionaryPath.clear();
  o.dataPath = dir_.string();
  EXPECT_FALSE(DataSource::open(o, err));
  EXPECT_NE(err.text.find("directory"), std::string::npos) << err.text;
}

}  // namespace
}  // namespace qv

// Decimal texts a double cannot hold keep their exact value as value + remainder: checked
// against the long double reading of the text (64-bit mantissa, so to about 19 digits).
TEST(CsvNumbers, RemainderCarriesTheDigitsADoubleDrops) {
  for (const char* text :
       {"0.1", "1000000000000.4", "-107.81500243", "1e-5", "2.5e15", "1000000.3", "0.5", "3", "-0"}) {
    SCOPED_TRACE(text);
    const qv::csv::ParsedNumber n = qv::csv::parseNumber(text);
    ASSERT_EQ(n.kind, qv::csv::NumberKind::Finite);
    const long double exact = std::strtold(text, nullptr);
    const long double got = static_cast<long double>(n.value) + static_cast<long double>(n.remainder);
    EXPECT_LE(std::fabs(static_cast<double>(got - exact)), 4e-19 * std::fabs(static_cast<double>(exact)));
    if (static_cast<long double>(n.value) == exact) {
      EXPECT_EQ(n.remainder, 0.0);
    }
    EXPECT_LE(std::fabs(n.remainder), 0.5001 * std::fabs(std::nextafter(n.value, 1e300) - n.value));
  }
}
