// The entry point: per-command state, lexical errors, no data, and the error status.
#include "driver/qvtctl.h"
#include "parse_fixture.h"

namespace qv::testing {
namespace {

// Active data with a dictionary and no cases.
class EmptyData : public DataSource {
 public:
  EmptyData() : dict_(standardDictionary()) {}
  const Dictionary& dictionary() const override { return dict_; }
  int weightIndex() const override { return -1; }
  const std::vector<int>& splitIndexes() const override { return split_; }
  bool splitSeparate() const override { return false; }
  long nonFiniteCount() const override { return 0; }
  std::unique_ptr<CaseReader> read() const override { return std::make_unique<NoCases>(); }

 private:
  struct NoCases : CaseReader {
    bool next() override { return false; }
    bool nextGroup() override { return false; }
    bool endOfData() const override { return true; }
    double number(int) const override { return kSysmis; }
    const std::string& string(int) const override { return empty; }
    double caseWeight() const override { return 1.0; }
    std::vector<std::pair<std::string, std::string>> splitCaption() const override { return {}; }
    std::string empty;
  };
  Dictionary dict_;
  std::vector<int> split_;
};

struct CommandRun {
  EmptyData data;
  out::CommandOutput output;
  Context ctx;
  explicit CommandRun(bool withData = true) {
    ctx.output = &output;
    if (withData) ctx.data = &data;
  }
  CommandRun& exec(const std::string& command) {
    QVTCTL(ctx, command);
    return *this;
  }
  std::vector<out::Message> messages() const {
    std::vector<out::Message> m;
    collectMessages(output.items, m);
    return m;
  }
  int commandErrors() const {
    int n = 0;
    for (const auto& m : messages())
      n += m.severity == out::Severity::Error && m.phase == out::Phase::Command;
    return n;
  }
};

TEST(Qvtctl, NoActiveData) {
  CommandRun r(false);
  r.exec("QUORVEST y BY a");
  EXPECT_TRUE(r.ctx.errorFlag);
  EXPECT_TRUE(r.output.error);
  ASSERT_EQ(r.messages().size(), 1u);
  EXPECT_NE(r.messages()[0].text.find("no active data"), std::string::npos);
}

TEST(Qvtctl, EachCommandStartsAfresh) {
  CommandRun r;
  r.ctx.errorFlag = true;  // left over from an earlier command
  r.exec("QUORVEST y BY a a.");
  // The final period ends the command; the duplicate is only a warning, and the command
  // goes on to the analysis.
  EXPECT_EQ(r.commandErrors(), 0);
  bool warned = false;
  for (const auto& m : r.messages()) warned |= m.number == 133;
  EXPECT_TRUE(warned);
}

}  // namespace
}  // namespace qv::testing
