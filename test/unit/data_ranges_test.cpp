// The data converted in byte ranges by several threads: the values, the types, the located
// input errors and every table are the same whatever the number of threads; data from a pipe
// is read once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/qvtctl.h"
#include "host/context.h"
#include "host/data/case_stream.h"
#include "host/output/render.h"
#include "host/syntax/tokenizer.h"
#include "host/sysmis.h"
#include "program_runner.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

// Opens `csv` cut into ranges as small as possible, for `threads` threads.
std::unique_ptr<DataSource> openIn(const std::string& csv, int threads, InputError& err,
                                   const std::string& dictionary = "") {
  DataOptions o;
  o.dataPath = "d.csv";
  o.threads = threads;
  o.minRangeBytes = 1;
  return DataSource::openText(csv, o, err, dictionary);
}

// The variables' types and formats, and the counts of cases and of non-finite values.
std::string typesAndCounts(const DataSource& ds) {
  std::string s;
  for (const auto& v : ds.dictionary().vars)
    s += v.name + (v.isString() ? " A" : " F") + std::to_string(v.format.width) + "." +
         std::to_string(v.format.decimals) + "\n";
  return s + "cases " + std::to_string(ds.caseCount()) + ", non-finite " + std::to_string(ds.nonFiniteCount()) +
         "\n";
}

// Everything a pass delivers, as one text: types and formats, then every case of every split
// group with its numbers (round-trip form and remainder) and texts.
std::string everything(const DataSource& ds) {
  std::string s = typesAndCounts(ds);
  auto r = ds.read();
  const int n = static_cast<int>(ds.dictionary().vars.size());
  do {
    s += "group\n";
    while (r->next()) {
      for (int v = 0; v < n; ++v) {
        if (ds.dictionary().vars[v].isString()) {
          s += "[" + r->string(v) + "]";
        } else {
          double x = r->number(v);
          s += (isSysmis(x) ? std::string(".") : numberKey(x)) + "~" + numberKey(r->numberRemainder(v));
        }
        s += ",";
      }
      s += "\n";
    }
  } while (r->nextGroup());
  return s;
}

// Texts whose line breaks sit inside quoted fields, behind empty lines and CRLF, with a column
// that turns out to hold text late in the file, and decimals a double cannot hold.
const char* const kTexts[] = {
    "y,s,a\n1,\"one\ntwo\",1\n2,\"a,b\",2\n\n\n3,\"x\n\n\ny\",1\n4,plain,2\n5,\"\"\"q\"\"\n\",1\n",
    "y,s\r\n1,\"a\r\nb\"\r\n2,c\r\n\r\n3,\"\n1,2\n3,4\n5,6\n\"\r\n4,d\r\n",
    "y,a\n1,1\n2,2\n3,1\n4,2\n5,1\n6,2\n7,1\n8,2\n9,1\n10,2\n11,x\n",
    "y,a\n1000000000000.4,1\n-107.81500243,2\n0.1,1\n1e-5,2\n,1\nnan,2\n2.5e15,1\n",
    "y,q\n1,\"\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\"\n2,z",
    "y\n1\n",
    "y\n",
};

TEST(DataRanges, EveryThreadCountReadsTheSameCases) {
  for (const char* text : kTexts) {
    InputError err;
    auto one = openIn(text, 1, err);
    ASSERT_TRUE(one) << err.describe() << "\n" << text;
    const std::string want = everything(*one);
    for (int threads = 2; threads <= 9; ++threads) {
      auto ds = openIn(text, threads, err);
      ASSERT_TRUE(ds) << err.describe();
      EXPECT_EQ(everything(*ds), want) << threads << " threads:\n" << text;
    }
  }
  // One check against the text itself: the quoted line breaks stay in their fields.
  InputError err;
  auto ds = openIn(kTexts[0], 3, err);
  ASSERT_TRUE(ds);
  auto r = ds->read();
  ASSERT_TRUE(r->next());
  EXPECT_EQ(r->string(1), "one\ntwo");
  ASSERT_TRUE(r->next() && r->next());
  EXPECT_EQ(r->string(1), "x\n\n\ny");
  EXPECT_EQ(r->number(0), 3.0);
}

// Enough cases for many blocks, and (on one thread) for the work file in the temporary folder:
// every value comes back exactly, whatever width it is stored in.
TEST(DataRanges, ManyBlocksGiveBackEveryValueExactly) {
  const int n = 300000;
  std::string csv = "i,k,d,s\n";
  for (int r = 0; r < n; ++r)
    csv += std::to_string(r) + "," + (r % 97 == 0 ? std::string() : std::to_string(r % 5 - 2)) + "," +
           (r % 1000 == 0 ? std::string("1000000000000.4") : std::to_string(r) + ".25") + ",t" +
           std::to_string(r % 13) + "\n";
  for (int threads : {1, 2}) {
    InputError err;
    auto ds = openIn(csv, threads, err);
    ASSERT_TRUE(ds) << err.describe();
    auto rd = ds->read();
    int r = 0, wrong = 0;
    for (; rd->next(); ++r) {
      const bool ok = rd->number(0) == r &&
                      (r % 97 == 0 ? isSysmis(rd->number(1)) : rd->number(1) == r % 5 - 2) &&
                      (r % 1000 == 0 ? rd->number(2) == 1000000000000.4 && rd->numberRemainder(2) != 0.0
                                     : rd->number(2) == r + 0.25 && rd->numberRemainder(2) == 0.0) &&
                      rd->string(3) == "t" + std::to_string(r % 13);
      if (!ok && ++wrong < 5) ADD_FAILURE() << "case " << r << " on " << threads << " threads";
    }
    EXPECT_EQ(r, n);
    EXPECT_EQ(wrong, 0);
  }
}

TEST(DataRanges, InputErrorsNameTheSameLineWhateverTheThreadCount) {
  struct Case {
    std::string csv, dictionary, want;
  };
  const std::vector<Case> cases = {
      {"y,a\n1,1\n2,2\n3,\"a\nb\"\n4,4\n5\n6,6\n", "",
       "d.csv:7:2: this row has 1 field, but the first row names 2 variables"},
      {"y,a\n1,1\n2,2\n3,3\n4,4\n5,\"never closed\n6,6\n", "",
       "d.csv:6:3: unbalanced quote: the quoted field that starts here is never closed"},
      {"y,a\n1,1\n2,2\n3,3\n4,\"x\"y\n", "",
       "d.csv:5:6: unexpected text after the closing quote of a quoted field"},
      {"y,a\n1,1\n2,2\n3,3\n\n4,4\n5,five\n6,six\n", R"({"variables": {"a": {"type": "numeric"}}})",
       "<dictionary>:1:16: variable \"a\" is declared numeric, but d.csv:7:3 holds \"five\", which is not a "
       "number"},
  };
  for (const auto& c : cases) {
    for (int threads = 1; threads <= 6; ++threads) {
      InputError err;
      EXPECT_FALSE(openIn(c.csv, threads, err, c.dictionary)) << c.csv;
      EXPECT_EQ(err.describe(), c.want) << threads << " threads";
    }
  }
}

// Runs a script over the data opened for `threads` threads; returns the JSON output.
std::string runScript(const std::string& script, const std::string& csv, const std::string& weight,
                      int threads) {
  DataOptions o;
  o.dataPath = "data.csv";
  o.weightVar = weight;
  o.threads = threads;
  o.minRangeBytes = 1;
  InputError err;
  auto ds = DataSource::openText(csv, o, err);
  if (!ds) return "open failed: " + err.describe();
  out::Document doc;
  for (const auto& cmd : syntax::splitCommands(script)) {
    out::CommandOutput co;
    co.command = cmd.text;
    Context ctx;
    ctx.data = ds.get();
    ctx.output = &co;
    QVTCTL(ctx, cmd.text);
    co.error = ctx.errorFlag;
    doc.commands.push_back(std::move(co));
  }
  return out::renderJson(doc);
}

TEST(DataRanges, ReferenceCasesGiveTheSameOutputBytesOnOneTwoAndThreeThreads) {
  const fs::path root = fs::path(QV_SOURCE_DIR) / "test" / "reference";
  int compared = 0;
  for (const char* name : {"unbal_type3", "ancova_at10", "posthoc_oneway", "emmeans_sidak", "levene_twoway",
                           "freqweight", "regwgt", "acc_ancova_off9", "accuracy_longley", "mixed_b_random",
                           "contrast_polynomial", "lof_two_covariates"}) {
    const fs::path dir = root / name;
    if (!fs::exists(dir / "command.qv")) continue;
    std::string weight;
    if (fs::exists(dir / "weight.txt")) {
      weight = qvtest::slurp(dir / "weight.txt");
      weight.erase(
          std::remove_if(weight.begin(), weight.end(), [](unsigned char ch) { return std::isspace(ch); }),
          weight.end());
    }
    const std::string script = qvtest::slurp(dir / "command.qv");
    const std::string csv = qvtest::slurp(dir / "data.csv");
    const std::string one = runScript(script, csv, weight, 1);
    EXPECT_NE(one.find("\"type\": \"table\""), std::string::npos) << name << "\n" << one.substr(0, 400);
    EXPECT_EQ(runScript(script, csv, weight, 2), one) << name;
    EXPECT_EQ(runScript(script, csv, weight, 3), one) << name;
    ++compared;
  }
  EXPECT_GE(compared, 10);

  // Factor levels that hold quoted line breaks and commas.
  std::string csv = "y,g,x\n";
  for (int k = 0; k < 60; ++k)
    csv += std::to_string(k % 7 + 0.25 * k) + ",\"" +
           (k % 3 == 0   ? "first\nlevel"
            : k % 3 == 1 ? "se,cond"
                         : "th\"\"ird") +
           "\"," + std::to_string(k % 5) + "\n";
  const std::string script = "QUORVEST y BY g WITH x /PRINT=DESCRIPTIVE PARAMETER /EMMEANS=TABLES(g).";
  const std::string one = runScript(script, csv, "", 1);
  EXPECT_NE(one.find("first\\nlevel"), std::string::npos);
  EXPECT_EQ(runScript(script, csv, "", 2), one);
  EXPECT_EQ(runScript(script, csv, "", 3), one);
}

class DataStream : public qvtest::ProgramTest {
 protected:
  DataStream() : ProgramTest("qv_stream_") {}
  // Runs a shell line in the test folder with the program as $Q; returns its exit status.
  int shell(const std::string& line, std::string& out) {
    const std::string cmd = "cd " + qvtest::shellQuote(dir_.string()) +
                            " && Q=" + qvtest::shellQuote(QV_BINARY) + " sh -c " + qvtest::shellQuote(line) +
                            " > out.txt 2>&1";
    const int st = std::system(cmd.c_str());
    out = qvtest::slurp(dir_ / "out.txt");
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
};

TEST_F(DataStream, StandardInputAndANamedPipeAreReadOnceInTheTemporaryFolder) {
  file("d.csv", "y,a\n1,1\n2,1\n4,2\n3,2\n5,1\n7,2\n");
  fs::create_directories(dir_ / "tmp");
  const std::string cmd = "-e 'QUORVEST y BY a /PRINT=DESCRIPTIVE.' --format json";
  std::string fromFile, fromStdin, fromFifo, why;
  ASSERT_EQ(shell("\"$Q\" " + cmd + " --data d.csv", fromFile), 0) << fromFile;
  EXPECT_NE(fromFile.find("Tests of Between-Subjects Effects"), std::string::npos);
  ASSERT_EQ(shell("TMPDIR=tmp \"$Q\" " + cmd + " --data - < d.csv", fromStdin), 0) << fromStdin;
  EXPECT_EQ(fromStdin, fromFile);
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(shell("(cat d.csv > fifo &) ; TMPDIR=tmp \"$Q\" " + cmd + " --data fifo", fromFifo), 0)
      << fromFifo;
  EXPECT_EQ(fromFifo, fromFile);
  // Nothing is left behind in the temporary folder ...
  EXPECT_TRUE(fs::is_empty(dir_ / "tmp"));
  // ... which is the one TMPDIR names.
  EXPECT_EQ(shell("TMPDIR=absent \"$Q\" " + cmd + " --data - < d.csv", why), 2);
  EXPECT_NE(why.find("<stdin>: cannot create a work file in the temporary folder absent"), std::string::npos)
      << why;
  // SAVE writes the data read again: a pipe cannot be read twice.
  EXPECT_EQ(shell("\"$Q\" " + cmd + " --data fifo --save-data saved.csv", why), 2);
  EXPECT_NE(why.find("--save-data needs a data file that can be read again, not a pipe"), std::string::npos)
      << why;
  EXPECT_FALSE(fs::exists(dir_ / "saved.csv"));
  EXPECT_EQ(shell("\"$Q\" - --data - < d.csv", why), 2);
  EXPECT_NE(why.find("cannot both come from standard input"), std::string::npos) << why;
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

// The cases of every split group as the reader finds their extent and readRange hands them out:
// the same text as everything() makes from the cases delivered one by one.
std::string everythingByRanges(const DataSource& ds) {
  std::string s = typesAndCounts(ds);
  auto r = ds.read();
  const int n = static_cast<int>(ds.dictionary().vars.size());
  do {
    s += "group\n";
    long begin = 0, end = 0;
    EXPECT_TRUE(r->groupRange(begin, end));
    EXPECT_TRUE(ds.readRange(begin, end, [&](const CaseColumns& c) {
      const DecimalRemainder* rem = c.remainders;
      for (uint32_t row = c.begin; row < c.end; ++row) {
        for (int v = 0; v < n; ++v) {
          if (ds.dictionary().vars[v].isString()) {
            s += "[" + std::string(c.string(v, row)) + "]";
          } else {
            const double x = c.numbers[v][row];
            double remainder = 0.0;
            for (const DecimalRemainder* q = rem; q != c.remainders + c.remainderCount; ++q)
              if (q->row == row && static_cast<int>(q->column) == v) remainder = q->value;
            s += (isSysmis(x) ? std::string(".") : numberKey(x)) + "~" + numberKey(remainder);
          }
          s += ",";
        }
        s += "\n";
      }
    }));
    r->skipGroup();
  } while (r->nextGroup());
  return s;
}

std::unique_ptr<DataSource> openSplit(const std::string& csv, int threads, const std::string& split) {
  DataOptions o;
  o.dataPath = "d.csv";
  o.threads = threads;
  o.minRangeBytes = 1;
  o.splitVars = {split};
  InputError err;
  auto ds = DataSource::openText(csv, o, err);
  EXPECT_TRUE(ds) << err.describe();
  return ds;
}

// Split groups of one case, groups across the converted ranges and blocks, a numeric and a
// string split variable (the string compared with its blanks), remainders and texts.
TEST(DataRanges, SplitGroupsReadAsRangesHoldTheCasesReadOneByOne) {
  std::string many = "g,y,s\n";
  for (int k = 0; k < 70000; ++k)
    many += std::to_string(k < 30000   ? 1
                           : k < 30001 ? 2
                           : k < 69999 ? 3
                                       : 4) +
            "," + std::to_string(k) + (k % 5000 == 7 ? ".1234567" : "") + ",t" + std::to_string(k % 3) +
            (k % 2 ? " " : "") + "\n";
  const std::string texts[] = {
      "g,y\n1,1\n1,2\n2,3\n1,4\n,5\n,6\n2,7\n",
      "y,s\n1,a\n2,a \n3,a \n4,b\n5,\"b\"\n6,\n",
      many,
  };
  for (const std::string& text : texts) {
    const std::string split = text[0] == 'g' ? "g" : "s";
    for (int threads : {1, 3}) {
      auto ds = openSplit(text, threads, split);
      ASSERT_TRUE(ds);
      EXPECT_EQ(everythingByRanges(*ds), everything(*ds)) << threads << " threads:\n" << text.substr(0, 200);
    }
  }
}

}  // namespace
}  // namespace qv
