// Dictionary look-ups, value keys and the JSON dictionary file.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>

#include "host/data/case_stream.h"
#include "host/data/dictionary.h"
#include "host/sysmis.h"

namespace qv {
namespace {

TEST(NumberKey, ShortestRoundTripWithoutTrailingZero) {
  EXPECT_EQ(numberKey(1.0), "1");
  EXPECT_EQ(numberKey(-3.0), "-3");
  EXPECT_EQ(numberKey(2.5), "2.5");
  EXPECT_EQ(numberKey(0.1), "0.1");
  EXPECT_EQ(numberKey(-0.0), "0");
  EXPECT_EQ(numberKey(1e20), "1e+20");
  EXPECT_EQ(numberKey(123456.0), "123456");
  EXPECT_EQ(numberKey(kSysmis), "");
  // Every double comes back exactly from its key.
  for (double x : {1.0 / 3.0, 0.1 + 0.2, 6.02214076e23, -1.5e-300, 4.9e-324}) {
    std::string k = numberKey(x);
    double back = 0;
    std::from_chars(k.data(), k.data() + k.size(), back);
    EXPECT_EQ(back, x) << k;
  }
}

TEST(StringKey, DropsTrailingBlanksOnly) {
  EXPECT_EQ(stringKey("  ab  "), "  ab");
  EXPECT_EQ(stringKey("   "), "");
  EXPECT_EQ(stringKey("a\t"), "a\t");
}

TEST(Dictionary, FindIgnoresCaseAndNearestOffersCloseNames) {
  Dictionary d;
  for (const char* n : {"yield", "fert", "irrig", "nitrogen", "plot"}) {
    Variable v;
    v.name = n;
    d.vars.push_back(v);
  }
  EXPECT_EQ(d.find("YIELD"), 0);
  EXPECT_EQ(d.find("Nitrogen"), 3);
  EXPECT_EQ(d.find("yiel"), -1);
  auto near = d.nearest("yeild");
  ASSERT_FALSE(near.empty());
  EXPECT_EQ(near[0], "yield");
  EXPECT_EQ(d.nearest("nitrogn")[0], "nitrogen");
  EXPECT_TRUE(d.nearest("completelyunrelated").empty());
}

std::unique_ptr<DataSource> openWith(const std::string& csv, const std::string& dict, InputError& err) {
  DataOptions o;
  o.dataPath = "d.csv";
  o.dictionaryPath = "d.json";
  return DataSource::openText(csv, o, err, dict);
}

TEST(DictionaryFile, LabelsMissingValuesAndFormats) {
  const std::string dict = R"({
    "comment": "test",
    "variables": {
      "Fert": {"label": "Fertiliser", "value_labels": {"1.0": "None", "2": "Low"}, "missing": [9],
               "format": "F4.0"},
      "y": {"missing": {"values": ["-1"], "range": {"low": 900, "high": 999}},
            "format": {"type": "F", "width": 10, "decimals": 3}},
      "site": {"type": "string", "width": 12, "missing": ["NA", 0], "value_labels": {"N ": "North"}},
      "code": {"type": "string"}
    }})";
  InputError err;
  auto ds = openWith("fert,y,site,code\n1,2.5,N,7\n9,950,NA,8\n", dict, err);
  ASSERT_TRUE(ds) << err.describe();
  const Dictionary& d = ds->dictionary();
  const Variable& fert = d.vars[0];
  EXPECT_EQ(fert.label, "Fertiliser");
  EXPECT_EQ(fert.valueLabels.at("1"), "None");  // "1.0" keyed as the value 1
  EXPECT_EQ(fert.valueLabels.at("2"), "Low");
  EXPECT_EQ(fert.format.width, 4);
  EXPECT_EQ(fert.format.decimals, 0);
  EXPECT_TRUE(isMissingNumber(fert, 9, false));
  EXPECT_FALSE(isMissingNumber(fert, 9, true));

  const Variable& y = d.vars[1];
  EXPECT_TRUE(isMissingNumber(y, -1, false));
  EXPECT_TRUE(isMissingNumber(y, 900, false));
  EXPECT_TRUE(isMissingNumber(y, 999, false));
  EXPECT_FALSE(isMissingNumber(y, 999.5, false));
  EXPECT_FALSE(isMissingNumber(y, 2.5, false));
  EXPECT_TRUE(isMissingNumber(y, kSysmis, true));  // system-missing is always missing
  EXPECT_EQ(y.format.decimals, 3);

  const Variable& site = d.vars[2];
  EXPECT_TRUE(site.isString());
  EXPECT_EQ(site.width, 12);  // declared width wins over the longest value (2)
  EXPECT_EQ(site.valueLabels.at("N"), "North");
  EXPECT_TRUE(isMissingString(site, "NA", false));
  EXPECT_TRUE(isMissingString(site, "NA   ", false));
  EXPECT_TRUE(isMissingString(site, "0", false));
  EXPECT_FALSE(isMissingString(site, "NA", true));
  EXPECT_FALSE(isMissingString(site, "N", false));

  const Variable& code = d.vars[3];
  EXPECT_TRUE(code.isString());  // numbers in the data, but declared a string
  EXPECT_EQ(code.width, 1);
}

// A broken dictionary names the dictionary file, the entry's line and a readable reason.
TEST(DictionaryFile, ErrorsNameFileEntryAndPlace) {
  struct Case {
    std::string dict;
    long line;
    std::string needle;
  };
  const std::string csv = "a,b,s\n1,2,x\n";
  const Case cases[] = {
      {"{\"variables\": {\n  \"zz\": {}\n}}", 2, "\"zz\" is not in the data file d.csv"},
      {"{\"variables\": {\n \"aa\": {}}}", 2, "did you mean a"},
      {"{\"variables\": {\n\n  \"s\": {\"type\": \"numeric\"}}}", 3, "d.csv:2:5 holds \"x\""},
      {"{\"variables\": {\n  \"a\": {\"type\": \"numeric\",}\n}}", 2, "malformed JSON"},
      {"{\"variables\": {\"a\": {}, \n\"A\": {}}}", 2, "declared twice"},
      {"{\"variables\": {\n\"a\": {\"lable\": \"x\"}}}", 2, "unknown key \"lable\""},
      {"{\"variables\": {\n\"a\": {\"missing\": [\"none\"]}}}", 2, "\"none\" is not a number"},
      {"{\"variables\": {\n\"a\": {\"format\": \"F8x\"}}}", 2, "F8.2"},
      {"{\"variables\": {\n\"s\": {\"format\": \"F8.2\"}}}", 2, "does not fit a string variable"},
      {"{\"variables\": {\n\"a\": {\"missing\": {\"range\": {\"low\": 5, \"high\": 1}}}}}", 2,
       "low above high"},
      {"{\"variables\": {\n\"a\": {\"value_labels\": {\"one\": \"x\"}}}}", 2, "\"one\" is not a number"},
      {"[1, 2]", 1, "\"variables\" object"},
      // Numbers beyond the double range, anywhere in the file.
      {"{\"comment\":\n 1e400, \"variables\": {}}", 2, "number overflow"},
      {"{\"variables\": {\n\"a\": {\"missing\": [-1e999]}}}", 2, "number overflow"},
  };
  for (const auto& c : cases) {
    InputError err;
    EXPECT_FALSE(openWith(csv, c.dict, err)) << c.dict;
    EXPECT_EQ(err.file, "d.json") << c.dict;
    EXPECT_EQ(err.line, c.line) << c.dict << "\n" << err.describe();
    EXPECT_NE(err.text.find(c.needle), std::string::npos) << err.describe();
  }
}

TEST(DictionaryFile, OnlyTheKeysOfVariablesNameVariables) {
  InputError err;
  auto ds =
      openWith("a,b\n1,2\n",
               R"({"comment": {"a": 1, "b": {"a": 2}}, "variables": {"a": {"comment": {"a": 3}}}})", err);
  EXPECT_TRUE(ds) << err.describe();
}

}  // namespace
}  // namespace qv
