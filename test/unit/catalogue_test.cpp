#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "host/context.h"
#include "host/output/messages.h"

using qv::catalogueHas;
using qv::catalogueText;
using qv::expandComposite;
using qv::expandCompositeLists;
using qv::expandTemplate;
using qv::messageDef;
using qv::RepeatList;

namespace {

const std::string kUndefined = "Undefined message ...";

// The parameters a template uses: plain arguments "^n" outside repeat groups, and the argument
// positions of its repeat groups "[...]n".
struct Params {
  std::set<int> plain;
  std::set<int> groups;
};

Params paramsOf(const std::string& t) {
  Params p;
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '\\') {
      ++i;
    } else if (t[i] == '[') {
      size_t close = t.find(']', i);
      if (close != std::string::npos && close + 1 < t.size() && isdigit(t[close + 1])) {
        p.groups.insert(t[close + 1] - '0');
        i = close + 1;
      }
    } else if (t[i] == '^' && i + 1 < t.size() && isdigit(t[i + 1])) {
      p.plain.insert(t[i + 1] - '0');
    }
  }
  return p;
}

std::string bareKey(std::string k) {
  while (!k.empty() && (k.back() == '.' || k.back() == ' ')) k.pop_back();
  return k;
}

bool includes(const std::set<int>& big, const std::set<int>& small) {
  for (int x : small)
    if (!big.count(x)) return false;
  return true;
}

// Keys ending in "..." that the output of the procedure uses besides the numbered messages.
const std::vector<std::string> kOutputKeys = {
    "BS level unobserved ...",
    "Based on L label ^1 ...",
    "Based on L number ^1 ...",
    "Based on observed means. Error [:^1:]1 ...",
    "CASES USED...",
    "Cannot form L matrix ...",
    "Cannot form L matrix for one level factor ...",
    "Comparison nonestimable ...",
    "Contrast Coefficients ...",
    "Critical range not monotonic ...",
    "Dunnett has control group ...",
    "EMMEAN Bonferroni ...",
    "EMMEAN LSD ...",
    "EMMEAN Sidak ...",
    "Emmeans UNV annotation 1 for ^1 ...",
    "Emmeans UNV annotation 2 for ^1 ...",
    "Emmeans UNV annotation 3 for ^1 ...",
    "Emmeans UNV annotation 4 for ^1 ...",
    "Empty comparison table on ^1 ...",
    "Estimable not unique ...",
    "Expected MS based on ^1 ...",
    "For each source...",
    "LMATRIX ALL ^1 wrong N ...",
    "LMATRIX ALL ^1 wrong N split [%1 = %2:, ^1 = ^2:]2 ...",
    "LMATRIX ^1 no tables ...",
    "LMATRIX ^1 wrong N effect ^2 ...",
    "LMATRIX ^1 wrong N effect ^2 split [%1 = %2:, ^1 = ^2:]3 ...",
    "Lev Not less than 2 nonempty...",
    "Levene Test ...",
    "Levene tests the null ...",
    "MISSING=EXCLUDE...",
    "MISSING=INCLUDE...",
    "Mean (I) not exist ...",
    "Mean (J) not exist ...",
    "Mean difference is significant at ^1 ...",
    "Means (I) modified ...",
    "Means (I) nonestim ...",
    "Means (IJ) nonestim but ...",
    "Means (J) modified ...",
    "Means (J) nonestim ...",
    "Means are displayed1 ^1 [:^1:]2 ^3 ...",
    "Means are displayed2 ^1 ^2 ...",
    "Means modified ...",
    "Means nonestimable ...",
    "No Error Df...",
    "No Error Term...",
    "No POSTHOC for ^1 in [%1=%2:, ^1=^2:]2 ...",
    "No POSTHOC for ^1 in [%1=%2:, ^1=^2:]2 zero error DF ...",
    "No POSTHOC for ^1 zero error DF ...",
    "No Waller homogeneous subsets for alpha = ^1 ...",
    "No homogeneous subsets for alpha = ^1 ...",
    "Posthoc test ^1 not computed for ^2 ...",
    "Dunnett control ^1 beyond ^2 levels of ^3 ...",
    "Redundant parameter ...",
    "Reference category out of range ...",
    "Test Not less than 2 nonempty some split...",
    "The Type IV testable ...",
    "The estimable function for [:^1:]1 ...",
    "The group sizes are unequal ...",
    "This L matrix not estimable ...",
    "This is the L transpose based on ^1 ...",
    "This is the L transpose...",
    "This sum of squares is missing ...",
    "Unobserved BS factor level not shown ...",
    "Unrecognized subcommand ^1 ...",
    "Weighted Least Squares by ^1...",
    "Wrong number of values for LMATRIX ALL ...",
    "Wrong number of values for LMATRIX effect ...",
    "Wrong number of values for POLYNOMIAL ...",
    "Wrong number of values for SPECIAL ...",
    "Zero degrees of freedom ...",
    "[No valid cases in split :^1=^2:]1 ...",
};

// A full text must be a real sentence, not the key again, must not itself look like a key
// (so translating twice changes nothing), and must use every parameter the key announces.
void expectFullText(const std::string& key) {
  SCOPED_TRACE(key);
  ASSERT_TRUE(catalogueHas(key));
  const std::string text = catalogueText(key);
  EXPECT_GE(text.size(), 10u);
  EXPECT_NE(text, key);
  EXPECT_NE(text, bareKey(key));
  EXPECT_FALSE(qv::isCatalogueKey(text));
  EXPECT_EQ(catalogueText(text), text);
  Params k = paramsOf(key), t = paramsOf(text);
  // The two homogeneous-subsets footnotes number their arguments by what the procedure passes
  // (the error effect's name as list 1, the error mean square after it), not as the key does.
  if (key.rfind("Means are displayed", 0) == 0) return;
  EXPECT_TRUE(includes(t.plain, k.plain)) << text;
  EXPECT_EQ(t.groups, k.groups) << text;
}

}  // namespace

TEST(Catalogue, EveryMessageNumberHasAFullText) {
  int defined = 0;
  for (int n = -5; n <= 300; ++n) {
    const auto& def = messageDef(n);
    if (def.key == kUndefined) continue;
    ++defined;
    EXPECT_EQ(def.number, n);
    expectFullText(def.key);
    // A key that takes the current symbol shows it; one that does not has nothing to show.
    EXPECT_EQ(catalogueText(def.key).find("^1") != std::string::npos, def.hasParam) << def.key;
  }
  EXPECT_EQ(defined, 165);
  expectFullText(kUndefined);
}

TEST(Catalogue, UndefinedNumbersGiveTheUndefinedKey) {
  for (int n : {0, 7, 208, -1, 100000}) {
    EXPECT_EQ(std::string(messageDef(n).key), kUndefined) << n;
    EXPECT_FALSE(messageDef(n).hasParam);
  }
  EXPECT_EQ(std::string(messageDef(206).key), "PLOT WITH ignored when no PROFILE ...");
}

TEST(Catalogue, OutputKeysHaveFullTexts) {
  for (const auto& key : kOutputKeys) expectFullText(key);
}

TEST(Catalogue, UnknownKeysComeBackWithoutTheEllipsis) {
  EXPECT_FALSE(catalogueHas("Some new note ..."));
  EXPECT_EQ(catalogueText("Some new note ..."), "Some new note");
  EXPECT_EQ(catalogueText("Some new note..."), "Some new note");
  EXPECT_EQ(catalogueText("QVT Other thing ^1 ..."), "Other thing ^1");
  // Texts that are not keys are shown as they stand.
  EXPECT_EQ(catalogueText("Computed using alpha = ^1"), "Computed using alpha = ^1");
  EXPECT_EQ(catalogueText(""), "");
}

TEST(Catalogue, MessagesThroughTheContextCarryKeyAndExpandedText) {
  qv::out::CommandOutput output;
  qv::Context ctx;
  ctx.output = &output;
  ctx.message(3, qv::out::Phase::Command, qv::out::Severity::Warning, "PRINT");
  ctx.message(208, qv::out::Phase::Processing, qv::out::Severity::Error, "ignored");
  ASSERT_EQ(output.items.size(), 2u);
  const auto& empty = std::get<qv::out::Message>(output.items[0]);
  EXPECT_EQ(empty.key, "Empty subcommand ^1 ...");
  EXPECT_EQ(empty.text, "The PRINT subcommand is empty and has been ignored.");
  EXPECT_FALSE(std::get<qv::out::Message>(output.items[0]).text.empty());
  const auto& undefined = std::get<qv::out::Message>(output.items[1]);
  EXPECT_EQ(undefined.key, kUndefined);
  EXPECT_EQ(undefined.text, catalogueText(kUndefined));
  EXPECT_TRUE(ctx.errorFlag);
}

TEST(Template, PlainArgumentsAndEscapes) {
  EXPECT_EQ(expandTemplate("^1% Confidence Interval", {"95"}), "95% Confidence Interval");
  EXPECT_EQ(expandTemplate("R Squared = ^1 (Adjusted R Squared = ^2)", {".716", ".654"}),
            "R Squared = .716 (Adjusted R Squared = .654)");
  EXPECT_EQ(expandTemplate("^2 before ^1", {"a", "b"}), "b before a");
  EXPECT_EQ(expandTemplate("missing ^3.", {"a"}), "missing .");
  EXPECT_EQ(expandTemplate("^10", {"x"}), "x0");
  EXPECT_EQ(expandTemplate("Design\\: \\^1 ^", {"x"}), "Design: ^1 ^");
  // A repeat group without a list is empty; a lone bracket is text.
  EXPECT_EQ(expandTemplate("Effect [:^1:]1.", {"x"}), "Effect .");
  EXPECT_EQ(expandTemplate("[a] b", {}), "[a] b");
  EXPECT_EQ(expandTemplate("^^1", {"x"}), "^x");
}

TEST(Template, RepeatLists) {
  const RepeatList abc = {{"a"}, {"b"}, {"c"}};
  EXPECT_EQ(expandComposite("Design does not use [%1:, ^1:]1", {}, abc), "Design does not use a, b, c");
  EXPECT_EQ(expandComposite("Design does not use [%1:, ^1:]1", {}, {{"a"}}), "Design does not use a");
  EXPECT_EQ(expandComposite("[%1:, ^1:]1", {}, {}), "");
  // An effect name is built from pieces written one after the other.
  EXPECT_EQ(expandComposite("[:^1:]1", {}, {{"a"}, {" * "}, {"b"}}), "a * b");
  EXPECT_EQ(expandComposite("Design\\: [:^1:]1", {}, {{"Intercept"}, {" + "}, {"a"}}),
            "Design: Intercept + a");
  // A tail that names elements takes the last tuple.
  EXPECT_EQ(expandComposite("[:^1 * :$1]1", {}, abc), "a * b * c");
  EXPECT_EQ(expandComposite("[:^1 * :$1]1", {}, {{"a"}}), "a");
  EXPECT_EQ(expandComposite("[:^1 :$1]1", {}, abc), "a b c");
  // Split lists: pairs; a head without references is plain text written once.
  const RepeatList split = {{"sex", "1"}, {"region", "North"}};
  EXPECT_EQ(expandComposite("Evaluated at [%1 = %2:, ^1 = ^2:]1", {}, split),
            "Evaluated at sex = 1, region = North");
  EXPECT_EQ(expandComposite("[:^1=^2:]1", {}, {{"sex", "1"}}), "sex=1");
  EXPECT_EQ(expandComposite("[No valid cases in split :^1=^2:]1 ...", {}, {{"g", "2"}}),
            "No valid cases in split g=2 ...");
  // The list takes its argument position; other arguments keep their numbers.
  EXPECT_EQ(expandComposite("No POSTHOC for ^1 [%1=%2:, ^1=^2:]2 < 3 groups.", {"a", "unused"}, split),
            "No POSTHOC for a sex=1, region=North < 3 groups.");
  EXPECT_EQ(expandComposite("Means ^1 [:^1:]2 ^3", {"x", "", "z"}, {{"a"}, {" * "}, {"b"}}),
            "Means x a * b z");
  // Two segments only (no closing colon) still work.
  EXPECT_EQ(expandComposite("split [%1 = %2:, ^1 = ^2]2", {}, split), "split sex = 1, region = North");
  // Elements a tuple lacks expand to nothing.
  EXPECT_EQ(expandComposite("[%1=%2:, ^1=^2:]1", {}, {{"lonely"}}), "lonely=");
}

TEST(Template, SeveralRepeatLists) {
  const std::string tmpl = "PPLOTX ^1 [%1: * ^1:]2 at ^3 = ^4 for [%1 = %2:, ^1 = ^2:]5";
  std::map<int, RepeatList> lists = {{2, {{"a"}, {"b"}}}, {5, {{"g", "1"}}}};
  EXPECT_EQ(expandCompositeLists(tmpl, {"y", "", "x", "10.5"}, lists),
            "PPLOTX y a * b at x = 10.5 for g = 1");
  lists.erase(5);
  EXPECT_EQ(expandCompositeLists(tmpl, {"y", "", "x", "10.5"}, lists), "PPLOTX y a * b at x = 10.5 for ");
}

TEST(Template, CatalogueTextsExpand) {
  EXPECT_EQ(expandComposite(catalogueText("[No valid cases in split :^1=^2:]1 ..."), {},
                            {{"sex", "1"}, {"region", "North"}}),
            "There are no valid cases in the split group sex=1, region=North. The group is skipped.");
  EXPECT_EQ(expandTemplate(catalogueText("Weighted Least Squares by ^1..."), {"w"}),
            "Weighted Least Squares Regression - Weighted by w");
  EXPECT_EQ(
      expandComposite(catalogueText("The estimable function for [:^1:]1 ..."), {}, {{"a"}, {" * "}, {"b"}}),
      "Estimable function of the hypothesis tested for a * b.");
}
