#pragma once
// A fitted model with a dictionary and an output document, so that the tables of a group can
// be printed and read back without the command parser or the CSV data layer.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "driver/qvtctl.h"
#include "host/output/document.h"
#include "model_fixture.h"

namespace qvtest {

// A data source that only answers questions about its dictionary and split settings.
class DictionaryOnlyData : public qv::DataSource {
 public:
  qv::Dictionary dict;
  bool separate = false;
  std::vector<int> splits;

  const qv::Dictionary& dictionary() const override { return dict; }
  int weightIndex() const override { return -1; }
  const std::vector<int>& splitIndexes() const override { return splits; }
  bool splitSeparate() const override { return separate; }
  long nonFiniteCount() const override { return 0; }
  std::unique_ptr<qv::CaseReader> read() const override { return nullptr; }
};

struct TableFixture {
  ModelFixture m;
  DictionaryOnlyData data;
  qv::out::CommandOutput output;
  qv::Context ctx;

  // The CSV columns become the dictionary's variables, in file order.
  TableFixture(const Csv& csv, const std::string& dep, const std::vector<std::string>& factors,
               const std::vector<std::string>& covs, const std::vector<qv::EffectRow>& effects,
               const std::string& weight = "", const std::string& regwgt = "")
      : m(csv, dep, factors, covs, effects, weight, regwgt) {
    for (const auto& n : csv.names) {
      qv::Variable v;
      v.name = n;
      data.dict.vars.push_back(v);
    }
    m.st.depVars = {csv.col(dep)};
    m.st.factorVars.clear();
    m.st.covVars.clear();
    for (const auto& f : factors) m.st.factorVars.push_back(csv.col(f));
    for (const auto& c : covs) m.st.covVars.push_back(csv.col(c));
    m.st.factorWidth.assign(factors.size(), 1);
    if (!regwgt.empty()) {
      m.st.regwgtVar = csv.col(regwgt);
      m.st.weightingFootnote = "Weighted Least Squares Regression - Weighted by " + regwgt;
    }
    ctx.data = &data;
    ctx.output = &output;
  }

  qv::ProcedureState& st() { return m.st; }
  qv::GroupState& g() { return m.st.group; }
};

// Active data held in memory: the numeric columns of a CSV, an optional case weight column and
// split variables (a split group is a run of consecutive cases with equal split values).
class TableData : public qv::DataSource {
 public:
  TableData(Csv csv, const std::string& weight = "", const std::vector<std::string>& split = {},
            bool separate = false)
      : csv_(std::move(csv)), separate_(separate) {
    for (const auto& n : csv_.names) {
      qv::Variable v;
      v.name = n;
      dict.vars.push_back(v);
    }
    weight_ = weight.empty() ? -1 : csv_.col(weight);
    for (const auto& n : split) split_.push_back(csv_.col(n));
  }
  qv::Dictionary dict;

  const qv::Dictionary& dictionary() const override { return dict; }
  int weightIndex() const override { return weight_; }
  const std::vector<int>& splitIndexes() const override { return split_; }
  bool splitSeparate() const override { return separate_; }
  long nonFiniteCount() const override { return 0; }
  std::unique_ptr<qv::CaseReader> read() const override { return std::make_unique<Reader>(*this); }

 private:
  struct Reader : qv::CaseReader {
    explicit Reader(const TableData& d) : d(d) {}
    const TableData& d;
    size_t groupStart = 0, pos = 0, cur = 0;
    std::string none;
    bool sameGroup(size_t row) const {
      for (int s : d.split_)
        if (d.csv_.rows[row][s] != d.csv_.rows[groupStart][s]) return false;
      return true;
    }
    bool next() override {
      if (pos >= d.csv_.rows.size() || !sameGroup(pos)) return false;
      cur = pos++;
      return true;
    }
    bool nextGroup() override {
      if (pos >= d.csv_.rows.size()) return false;
      groupStart = pos;
      return true;
    }
    bool endOfData() const override { return pos >= d.csv_.rows.size(); }
    double number(int var) const override { return d.csv_.rows[cur][var]; }
    const std::string& string(int) const override { return none; }
    double caseWeight() const override { return d.weight_ < 0 ? 1.0 : d.csv_.rows[cur][d.weight_]; }
    std::vector<std::pair<std::string, std::string>> splitCaption() const override {
      std::vector<std::pair<std::string, std::string>> c;
      for (int s : d.split_) c.emplace_back(d.csv_.names[s], qv::numberKey(d.csv_.rows[groupStart][s]));
      return c;
    }
  };
  Csv csv_;
  bool separate_;
  int weight_ = -1;
  std::vector<int> split_;
};

// Runs one command over in-memory data and keeps its output.
struct CommandRun {
  TableData data;
  qv::out::CommandOutput output;
  qv::Context ctx;
  explicit CommandRun(TableData d) : data(std::move(d)) {
    ctx.data = &data;
    ctx.output = &output;
  }
  CommandRun& exec(const std::string& command) {
    qv::QVTCTL(ctx, command);
    return *this;
  }
};

inline void collectMessages(const std::vector<qv::out::Item>& items, std::vector<qv::out::Message>& out) {
  for (const auto& item : items) {
    if (auto* m = std::get_if<qv::out::Message>(&item)) out.push_back(*m);
    if (auto* h = std::get_if<std::shared_ptr<qv::out::Heading>>(&item)) collectMessages((*h)->items, out);
  }
}

// Every table of the output, headings searched depth first.
inline void collectTables(const std::vector<qv::out::Item>& items, std::vector<const qv::out::Table*>& out) {
  for (const auto& item : items) {
    if (auto* t = std::get_if<qv::out::Table>(&item)) out.push_back(t);
    if (auto* h = std::get_if<std::shared_ptr<qv::out::Heading>>(&item)) collectTables((*h)->items, out);
  }
}

inline const qv::out::Table* findTable(const qv::out::CommandOutput& o, const std::string& title,
                                       int nth = 0) {
  std::vector<const qv::out::Table*> all;
  collectTables(o.items, all);
  for (auto* t : all)
    if (t->title == title && nth-- == 0) return t;
  return nullptr;
}

// The cell whose leaf categories match `at` (dimension name -> leaf key); dimensions not named
// must have a single category. Null when absent.
inline const qv::out::Cell* findCell(const qv::out::Table& t, const std::map<std::string, std::string>& at) {
  for (const auto& c : t.cells) {
    bool ok = true;
    for (size_t d = 0; d < t.dimensions.size() && ok; ++d) {
      auto it = at.find(t.dimensions[d].name);
      if (it != at.end()) ok = !c.path[d].empty() && c.path[d].back() == it->second;
    }
    if (ok) return &c;
  }
  return nullptr;
}

// The value of a cell; kSysmis when the cell is empty, NaN when it does not exist.
inline double cellValue(const qv::out::Table& t, const std::map<std::string, std::string>& at) {
  const qv::out::Cell* c = findCell(t, at);
  return c ? c->value.number : std::nan("");
}

// Texts of the footnotes attached to the whole table.
inline std::vector<std::string> tableFootnotes(const qv::out::Table& t) {
  std::vector<std::string> texts;
  for (int f : t.tableFootnotes) texts.push_back(t.footnotes[f].text);
  return texts;
}

// Leaf keys of a dimension in order (groups flattened).
inline void leafKeys(const std::vector<qv::out::Category>& cats, std::vector<std::string>& out) {
  for (const auto& c : cats) {
    if (c.isGroup)
      leafKeys(c.children, out);
    else
      out.push_back(c.key);
  }
}
inline std::vector<std::string> leafKeys(const qv::out::Table& t, const std::string& dim) {
  std::vector<std::string> keys;
  for (const auto& d : t.dimensions)
    if (d.name == dim) leafKeys(d.categories, keys);
  return keys;
}

// Relative closeness with a floor, as the reference harness compares.
inline void expectClose(double got, double want, double rel, const std::string& what) {
  EXPECT_NEAR(got, want, want == 0.0 ? 1e-13 : rel * std::fabs(want)) << what;
}

}  // namespace qvtest
