#include "save/matrix_files.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "data/case_pass.h"
#include "data/design.h"
#include "driver/state.h"
#include "host/cluster.h"
#include "host/context.h"
#include "host/numeric/distributions.h"
#include "host/output/message_numbers.h"
#include "hypotheses/parameter_estimates.h"
#include "report/shared_labels.h"
#include "save/atomic_file.h"
#include "save/save_data_file.h"
#include "save/scratch_file.h"
#include "tests/mixed_tests.h"
#include "tests/univariate.h"

namespace qv {

namespace {

using Json = nlohmann::ordered_json;

// A variable of a matrix file's dictionary.
struct FileVariable {
  std::string name;
  bool isString = false;
  int width = 0;
  std::string label;
  std::vector<std::pair<std::string, std::string>> valueLabels;
};

FileVariable stringVariable(const std::string& name, int width, const std::string& label) {
  return FileVariable{name, true, width, label, {}};
}

FileVariable numericVariable(const std::string& name, const std::string& label) {
  return FileVariable{name, false, 0, label, {}};
}

// A copy of a variable of the active data.
FileVariable copiedVariable(const Variable& v) {
  FileVariable f{v.name, v.isString(), v.isString() ? std::max(1, v.width) : 0, v.label, {}};
  for (const auto& [value, label] : v.valueLabels) f.valueLabels.emplace_back(value, label);
  std::sort(f.valueLabels.begin(), f.valueLabels.end());
  return f;
}

// Names compare without regard to case.
std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// A CSV field: quoted when it holds a comma, a quote, a line break or blanks at an end.
std::string csvField(const std::string& v) {
  const bool quote = v.find_first_of(",\"\r\n") != std::string::npos ||
                     (!v.empty() && (v.front() == ' ' || v.back() == ' '));
  if (!quote) return v;
  std::string q = "\"";
  for (char c : v) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

// A number in the shortest form that reads back to the same double; empty for the
// system-missing value and for anything that is not finite.
void appendNumber(std::string& s, double x) {
  if (isSysmis(x) || !std::isfinite(x)) return;
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, x);
  s.append(buf, res.ptr);
}

bool sameTarget(const std::string& a, const std::string& b) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::equivalent(a, b, ec) && !ec) return true;
  const fs::path ca = fs::weakly_canonical(a, ec);
  if (ec) return false;
  const fs::path cb = fs::weakly_canonical(b, ec);
  return !ec && ca == cb;
}

// Parameter columns shared by the groups of a file. Each group's design columns are matched by
// their parameter labels; a label first seen in a later group goes just before the next column
// of that group the file already has, so that the file's columns keep the design order.
struct ParameterColumns {
  std::vector<std::string> labels;  // by id
  std::vector<int> order;           // ids in file order
  std::unordered_map<std::string, int> byKey;

  std::vector<int> merge(const std::vector<std::string>& group) {
    std::vector<std::string> keys(group.size());
    std::unordered_map<std::string, int> seen;
    // A label met twice in one group (never in a well-formed design) stays two columns.
    for (size_t i = 0; i < group.size(); ++i) keys[i] = group[i] + '\x1f' + std::to_string(seen[group[i]]++);
    std::vector<int> ids(group.size());
    for (size_t i = 0; i < group.size(); ++i) {
      auto it = byKey.find(keys[i]);
      if (it != byKey.end()) {
        ids[i] = it->second;
        continue;
      }
      // A new column goes just before the next column of this group that the file has.
      auto at = order.end();
      for (size_t j = i + 1; j < group.size(); ++j) {
        auto next = byKey.find(keys[j]);
        if (next == byKey.end()) continue;
        at = std::find(order.begin(), order.end(), next->second);
        break;
      }
      const int id = static_cast<int>(labels.size());
      labels.push_back(group[i]);
      byKey.emplace(keys[i], id);
      order.insert(at, id);
      ids[i] = id;
    }
    return ids;
  }
};

// Row types of the parameter file (codes 1 to 6).
enum ParamRowType { kCov = 1, kCor, kEst, kSig, kDfe, kSe };
const char* paramRowTypeName(int code) {
  static const char* const kNames[] = {"COV", "COR", "EST", "SIG", "DFE", "SE"};
  return code >= 1 && code <= 6 ? kNames[code - 1] : "UNKNOWN";
}

struct ParamRow {
  int group = 0;
  int rowDep = 0, colDep = -1;  // dependent indexes; -1 = none
  int type = kCov;
  int param = -1;              // group-local design column of a COV or COR row
  std::vector<double> values;  // per group-local design column
};

struct EffectFileRow {
  int group = 0;
  int dep = 0;
  std::string source, rowType;
  double ss = kSysmis, df = kSysmis, ms = kSysmis, f = kSysmis, sig = kSysmis;
  double power = kSysmis, noncentrality = kSysmis, etaSquared = kSysmis;
};

struct GroupInfo {
  std::vector<std::string> splitKeys;
  std::vector<int> columnIds;  // per design column, its id in ParameterColumns
};

// One output file with its dictionary, both under temporary names until committed.
struct OutFile {
  std::string path, title;
  AtomicFile data, dictionary;
  bool open(const std::string& p, std::string& why) {
    path = p;
    return data.open(p, why) && dictionary.open(dictionaryPathFor(p), why);
  }
};

std::string effectFileLabel(bool random) {
  return random ? "Tests of between-subjects effects with random effects"
                : "Tests of between-subjects effects";
}

}  // namespace

struct MatrixFiles::Impl {
  bool covb = false, corb = false, design = false, effect = false;
  OutFile paramFile, designFile, effectFile;
  std::vector<int> split;  // dictionary indexes of the split variables
  ParameterColumns columns;
  std::vector<GroupInfo> groups;
  std::vector<ParamRow> paramRows;
  std::vector<EffectFileRow> effectRows;
  ScratchFile designRows;  // per valid case: position, group, entry count, (column id, value)...
  long designRecords = 0;  // cases written to designRows
  std::vector<std::string> depNames;
};

MatrixFiles::MatrixFiles() : impl_(std::make_unique<Impl>()) {}
MatrixFiles::~MatrixFiles() = default;

bool MatrixFiles::requested(const ProcedureState& st) {
  return !st.outdpcPath.empty() || !st.outdpdPath.empty() || !st.effectOutPath.empty();
}

bool MatrixFiles::needsCasePositions() const { return impl_->design; }

namespace {

// The fixed names of each file, checked against the split variables (message 92).
const std::vector<std::string>& paramFixedNames() {
  static const std::vector<std::string> k{"ROWVAR_", "COLVAR_", "ROWTYPE_", "VARNAME_"};
  return k;
}

std::vector<std::string> effectFixedNames(const ProcedureState& st) {
  std::vector<std::string> k{"DEPVAR_", "SOURCE_", "ROWTYPE_", "SS", "DF", "MS", "F", "SIG"};
  if (st.printObservedPower) k.insert(k.end(), {"POWER", "NNCNT"});
  if (st.printEtaSquared) k.push_back("ETASQ");
  return k;
}

// The variables the DESIGN file copies from the active data, in order.
std::vector<int> designCopiedVariables(const Context& ctx, const ProcedureState& st) {
  std::vector<int> v;
  for (int s : ctx.data->splitIndexes()) v.push_back(s);
  for (int f : st.factorVars) v.push_back(f);
  for (int c : st.covVars) v.push_back(c);
  if (st.regwgtVar >= 0) v.push_back(st.regwgtVar);
  if (ctx.data->weightIndex() >= 0) v.push_back(ctx.data->weightIndex());
  return v;
}

bool namesClash(std::vector<std::string> names) {
  for (auto& n : names) n = upper(n);
  std::sort(names.begin(), names.end());
  return std::adjacent_find(names.begin(), names.end()) != names.end();
}

}  // namespace

bool MatrixFiles::open(Context& ctx, const ProcedureState& st) {
  Impl& m = *impl_;
  const Dictionary& dict = ctx.data->dictionary();
  m.covb = st.matrixFileKind == 1 && !st.outdpcPath.empty();
  m.corb = st.matrixFileKind == 2 && !st.outdpcPath.empty();
  m.design = !st.outdpdPath.empty();
  m.effect = !st.effectOutPath.empty();
  m.split = ctx.data->splitIndexes();
  for (int d : st.depVars) m.depNames.push_back(dict.vars[d].name);

  // Names: a fixed name taken by a split variable (or a variable copied twice) is a conflict.
  std::vector<std::string> splitNames;
  for (int s : m.split) splitNames.push_back(dict.vars[s].name);
  auto clashes = [&](const std::vector<std::string>& fixed) {
    std::vector<std::string> all = splitNames;
    all.insert(all.end(), fixed.begin(), fixed.end());
    return namesClash(all);
  };
  std::vector<std::string> copied;
  for (int v : designCopiedVariables(ctx, st)) copied.push_back(dict.vars[v].name);
  if (((m.covb || m.corb) && clashes(paramFixedNames())) || (m.effect && clashes(effectFixedNames(st))) ||
      (m.design && namesClash(copied))) {
    ctx.message(msg::kOutfileNameConflict, out::Phase::Processing, out::Severity::Error);
    return false;
  }

  // Targets: never an input or another output, never two matrix files (or their dictionaries)
  // on one path.
  struct Target {
    OutFile* file;
    const std::string* path;
    const char* title;
  };
  std::vector<Target> targets;
  if (m.covb || m.corb)
    targets.push_back({&m.paramFile, &st.outdpcPath,
                       m.covb ? "Parameter Covariance Matrix" : "Parameter Correlation Matrix"});
  if (m.design) targets.push_back({&m.designFile, &st.outdpdPath, "Design Matrix"});
  if (m.effect) targets.push_back({&m.effectFile, &st.effectOutPath, "Between-subjects Effects"});
  auto refuse = [&](const std::string& why) {
    ctx.outputFileFailed = true;
    ctx.note("OUTFILE cannot write ^1 ...", out::Severity::Error, {why});
    return false;
  };
  // Only the process that writes files checks and opens them; the processes of a cluster take
  // its verdict, so that all go on, or stop, together.
  auto openTargets = [&]() -> std::string {
    std::vector<std::string> claimed;
    for (const Target& t : targets) {
      for (const std::string& p : {*t.path, dictionaryPathFor(*t.path)}) {
        for (const std::string& in : ctx.protectedFiles)
          if (!in.empty() && sameTarget(p, in)) return p + ": it is one of the run's input or output files";
        for (const std::string& c : claimed)
          if (sameTarget(p, c)) return p + ": two matrix files cannot share a file";
        claimed.push_back(p);
      }
    }
    for (const Target& t : targets) {
      std::string why;
      t.file->title = t.title;
      if (!t.file->open(*t.path, why)) return why;
    }
    // The design rows wait in a scratch file until the DESIGN file is written.
    std::string why;
    if (m.design && !m.designRows.open(why)) return why;
    return std::string();
  };
  std::string verdict = ctx.writesFiles ? openTargets() : std::string();
  if (ctx.cluster) verdict = ctx.cluster->allGather(ctx.cluster->rank() == 0 ? verdict : std::string()).at(0);
  if (!verdict.empty()) return refuse(verdict);
  if (!ctx.writesFiles)
    for (const Target& t : targets) t.file->path = *t.path;
  return true;
}

bool MatrixFiles::addGroup(Context& ctx, const ProcedureState& st, const CaseWorkFile& work,
                           const std::vector<std::string>& splitKeys) {
  Impl& m = *impl_;
  const GroupState& g = st.group;
  const int groupIndex = static_cast<int>(m.groups.size());
  GroupInfo info;
  info.splitKeys = splitKeys;
  info.splitKeys.resize(m.split.size());
  if (m.covb || m.corb || m.design) {
    std::vector<std::string> labels;
    buildParamLabels(st, ctx.data->dictionary(), labels);
    info.columnIds = m.columns.merge(labels);
  }
  m.groups.push_back(std::move(info));
  const size_t k = static_cast<size_t>(g.dmncol);
  const int nd = st.ndepvr();
  const double dfe = g.sumWeights - g.modldf;

  if (m.covb || m.corb) {
    // Covariance of parameters c1 (dependent i) and c2 (dependent j): G(c1,c2) E(i,j) / dfe;
    // without error degrees of freedom nothing is known about it.
    auto cov = [&](size_t c1, size_t c2, int i, int j) {
      return dfe > 0 ? g.ginverse(c1, c2) * g.errorSSCP(static_cast<size_t>(i), static_cast<size_t>(j)) / dfe
                     : kSysmis;
    };
    for (int i = 0; i < nd; ++i) {
      for (int j = 0; j <= i; ++j) {
        for (size_t c1 = 0; c1 < k; ++c1) {
          ParamRow row{
              groupIndex, i, j, m.covb ? kCov : kCor, static_cast<int>(c1), std::vector<double>(k, kSysmis)};
          for (size_t c2 = 0; c2 < k; ++c2) {
            const double v = cov(c1, c2, i, j);
            if (m.covb || isSysmis(v)) {
              row.values[c2] = v;
              continue;
            }
            const double s = cov(c1, c1, i, i) * cov(c2, c2, j, j);
            if (s > 0 && std::isfinite(s)) row.values[c2] = std::clamp(v / std::sqrt(s), -1.0, 1.0);
          }
          m.paramRows.push_back(std::move(row));
        }
        if (j != i) continue;
        const double mse = errorMeanSquare(g, i, dfe);
        ParamRow est{groupIndex, i, -1, kEst, -1, std::vector<double>(k, kSysmis)};
        ParamRow se = est, sig = est, df = est;
        se.type = kSe;
        sig.type = kSig;
        df.type = kDfe;
        for (size_t c = 0; c < k; ++c) {
          const ParameterRow p = parameterStatistics(g.paramEst(c, static_cast<size_t>(i)), g.ginverse(c, c),
                                                     mse, dfe, kSysmis, g.nonRedundant[c] == 0, false);
          est.values[c] = p.b;
          se.values[c] = p.stdError;
          if (!isSysmis(p.t) && dfe > 0) sig.values[c] = num::DSIGT(p.t, dfe);
          df.values[c] = dfe;
        }
        for (ParamRow* r : {&est, &se, &sig, &df}) m.paramRows.push_back(std::move(*r));
      }
    }
  }

  if (m.design) {
    // The pass: per block, its cases' design rows as the scratch file holds them; written in
    // block order.
    const std::vector<int>& ids = m.groups.back().columnIds;
    struct Rows {
      std::string bytes;
      long count = 0;
      auto fields() { return std::tie(bytes, count); }
      auto fields() const { return std::tie(bytes, count); }
    };
    work.reduce(
        [&](const CaseBlock& cases) {
          const CaseRange range = cases.range;
          Rows part;
          std::vector<std::pair<int, double>> x;
          auto put = [&](const void* p, size_t n) { part.bytes.append(static_cast<const char*>(p), n); };
          for (long c = range.begin; c < range.end; ++c) {
            designRow(st, cases.designCell(c), cases.covOf(c), x);
            const int64_t pos = cases.recordOf(c);
            const int32_t grp = groupIndex, n = static_cast<int32_t>(x.size());
            put(&pos, sizeof pos);
            put(&grp, sizeof grp);
            put(&n, sizeof n);
            ++part.count;
            for (const auto& [col, v] : x) {
              const int32_t id = ids[static_cast<size_t>(col)];
              put(&id, sizeof id);
              put(&v, sizeof v);
            }
          }
          return part;
        },
        [&](const Rows& part) {
          if (!ctx.writesFiles) return;  // the rows of every block reach the writing process too
          m.designRows.write(part.bytes.data(), part.bytes.size());
          m.designRecords += part.count;
        });
  }

  if (m.effect) {
    const std::string ssRow = "SS" + std::to_string(st.sstype);
    const double n = g.sumWeights;
    const double dfeClipped = std::max(n - g.modldf, 0.0);
    for (int d = 0; d < nd; ++d) {
      auto add = [&](const std::string& source, const std::string& rowType, double ss, double df) {
        EffectFileRow r;
        r.group = groupIndex;
        r.dep = d;
        r.source = source;
        r.rowType = rowType;
        r.ss = ss;
        r.df = df;
        m.effectRows.push_back(r);
        return &m.effectRows.back();
      };
      auto tested = [&](EffectFileRow* r, const UnivariateTest& t) {
        r->ms = t.msh;
        r->f = t.f;
        r->sig = t.sig;
        r->power = t.power;
        r->noncentrality = t.noncentrality;
        r->etaSquared = t.etaSquared;
      };
      const double sse = g.errorSSCP(static_cast<size_t>(d), static_cast<size_t>(d));
      if (st.randomEffectCount() > 0) {
        for (int e = 0; e < st.effectCount(); ++e) {
          const MixedTest t = GMTMIX(st, e);
          EffectFileRow* h = add("S" + std::to_string(e + 1), ssRow, t.ssh, t.dfh);
          tested(h, t.test);
          EffectFileRow* er = add("E" + std::to_string(e + 1), "ERROR", t.ssErr, t.dfErr);
          er->ms = t.msErr;
        }
        continue;
      }
      const double sst = g.totalSS[static_cast<size_t>(d)];
      const double dfm = std::max(st.interceptIncluded ? n - 1 - dfeClipped : n - dfeClipped, 0.0);
      const double ssm = dfm > 0 ? std::max(sst - sse, 0.0) : 0.0;
      tested(add(st.interceptIncluded ? "CorModel" : "Model", "MODEL", ssm, dfm),
             GMTUNV(st.alplev, dfm, dfeClipped, ssm, sse));
      for (int e = 0; e < st.effectCount(); ++e) {
        const double dfh = g.hypotheses[static_cast<size_t>(e)].df;
        const double ssh =
            dfh > 0 ? g.hypotheses[static_cast<size_t>(e)].sscp(static_cast<size_t>(d), static_cast<size_t>(d)) : 0.0;
        tested(add("S" + std::to_string(e + 1), ssRow, ssh, dfh),
               GMTUNV(st.alplev, dfh, dfeClipped, ssh, sse));
      }
      add("Error", "ERROR", sse, dfeClipped)->ms = dfeClipped > 0 ? sse / dfeClipped : kSysmis;
      add("Total", "TOTAL", g.totalSSCP(static_cast<size_t>(d), static_cast<size_t>(d)), n);
      if (st.interceptIncluded) add("CorTotal", "TOTAL", sst, n > 1 ? n - 1 : 0.0);
    }
  }
  return !ctx.failed();
}

namespace {

Json dictionaryJson(const std::string& fileLabel, const std::vector<FileVariable>& vars) {
  Json d = Json::object();
  d["comment"] = "Dictionary of a matrix file written by quorvest (OUTFILE).";
  d["file_label"] = fileLabel;
  Json vs = Json::object();
  for (const FileVariable& v : vars) {
    Json e = Json::object();
    e["type"] = v.isString ? "string" : "numeric";
    if (v.isString) e["width"] = std::max(1, v.width);
    if (!v.label.empty()) e["label"] = v.label;
    if (!v.valueLabels.empty()) {
      Json l = Json::object();
      for (const auto& [value, label] : v.valueLabels) l[value] = label;
      e["value_labels"] = l;
    }
    vs[v.name] = e;
  }
  d["variables"] = vs;
  return d;
}

void writeHeader(AtomicFile& f, const std::vector<FileVariable>& vars) {
  std::string line;
  for (size_t i = 0; i < vars.size(); ++i) {
    if (i) line += ',';
    line += csvField(vars[i].name);
  }
  line += '\n';
  f.write(line);
}

// "P1" ... "Pk" in file order, each made unique against the names before it with trailing "_".
std::vector<std::string> parameterNames(const std::vector<FileVariable>& before, size_t k) {
  std::vector<std::string> taken;
  for (const auto& v : before) taken.push_back(upper(v.name));
  std::vector<std::string> names;
  for (size_t c = 0; c < k; ++c) {
    std::string n = "P" + std::to_string(c + 1);
    while (std::find(taken.begin(), taken.end(), upper(n)) != taken.end()) n += '_';
    taken.push_back(upper(n));
    names.push_back(n);
  }
  return names;
}

}  // namespace

void MatrixFiles::finish(Context& ctx, const ProcedureState& st) {
  Impl& m = *impl_;
  std::vector<OutFile*> files;
  if (m.covb || m.corb) files.push_back(&m.paramFile);
  if (m.design) files.push_back(&m.designFile);
  if (m.effect) files.push_back(&m.effectFile);
  if (files.empty()) return;
  if (ctx.failed()) {
    for (OutFile* f : files)
      ctx.note("OUTFILE not written ^1 ...", out::Severity::Note, {f->path}, out::Phase::None);
    return;
  }
  if (!ctx.writesFiles) return;
  const Dictionary& dict = ctx.data->dictionary();
  std::vector<FileVariable> splitVars;
  for (int s : m.split) splitVars.push_back(copiedVariable(dict.vars[s]));
  // Columns in file order and their position by id.
  const size_t k = m.columns.order.size();
  std::vector<size_t> positionOfId(m.columns.labels.size());
  for (size_t p = 0; p < k; ++p) positionOfId[static_cast<size_t>(m.columns.order[p])] = p;
  auto paramVariables = [&](std::vector<FileVariable>& vars) {
    const std::vector<std::string> names = parameterNames(vars, k);
    for (size_t p = 0; p < k; ++p)
      vars.push_back(numericVariable(names[p], m.columns.labels[static_cast<size_t>(m.columns.order[p])]));
    return names;
  };
  auto splitFields = [&](std::string& line, int group) {
    for (const std::string& key : m.groups[static_cast<size_t>(group)].splitKeys) line += csvField(key) + ',';
  };
  int nameWidth = 8;
  for (const std::string& n : m.depNames) nameWidth = std::max(nameWidth, static_cast<int>(n.size()));

  if (m.covb || m.corb) {
    std::vector<FileVariable> vars = splitVars;
    vars.push_back(stringVariable("ROWVAR_", nameWidth, "Dependent variable of the row"));
    vars.push_back(stringVariable("COLVAR_", nameWidth, "Dependent variable of the column block"));
    FileVariable rowType = stringVariable("ROWTYPE_", 8, "Row type");
    rowType.valueLabels = {{m.covb ? "COV" : "COR", m.covb ? "Covariance" : "Correlation"},
                           {"EST", "Estimate"},
                           {"SE", "Standard error"},
                           {"SIG", "Significance"},
                           {"DFE", "Error degrees of freedom"}};
    vars.push_back(rowType);
    vars.push_back(stringVariable("VARNAME_", 64, "Parameter of the row"));
    const std::vector<std::string> pNames = paramVariables(vars);
    OutFile& f = m.paramFile;
    writeHeader(f.data, vars);
    std::string line;
    std::vector<double> wide(k);
    for (const ParamRow& r : m.paramRows) {
      const std::vector<int>& ids = m.groups[static_cast<size_t>(r.group)].columnIds;
      line.clear();
      splitFields(line, r.group);
      line += csvField(m.depNames[static_cast<size_t>(r.rowDep)]) + ',';
      if (r.colDep >= 0) line += csvField(m.depNames[static_cast<size_t>(r.colDep)]);
      line += ',';
      line += paramRowTypeName(r.type);
      line += ',';
      if (r.param >= 0) line += pNames[positionOfId[static_cast<size_t>(ids[static_cast<size_t>(r.param)])]];
      std::fill(wide.begin(), wide.end(), kSysmis);
      for (size_t c = 0; c < r.values.size(); ++c)
        wide[positionOfId[static_cast<size_t>(ids[c])]] = r.values[c];
      for (double v : wide) {
        line += ',';
        appendNumber(line, v);
      }
      line += '\n';
      f.data.write(line);
    }
    f.dictionary.write(dictionaryJson(m.covb ? "Parameter estimates and their covariances"
                                             : "Parameter estimates and their correlations",
                                      vars)
                           .dump(2) +
                       "\n");
  }

  if (m.design) {
    std::vector<FileVariable> vars;
    const std::vector<int> copied = designCopiedVariables(ctx, st);
    for (int v : copied) vars.push_back(copiedVariable(dict.vars[static_cast<size_t>(v)]));
    paramVariables(vars);
    OutFile& f = m.designFile;
    writeHeader(f.data, vars);
    std::string why;
    if (!m.designRows.rewind(why)) {
      ctx.outputFileFailed = true;
      ctx.note("OUTFILE cannot write ^1 ...", out::Severity::Error, {why});
      return;
    }
    // The final pass: every case of the active data gets a row; a valid case carries its design
    // row, the others leave the parameter columns empty.
    bool haveNext = true;
    long designRead = 0;
    int64_t nextPos = -1;
    int32_t nextGroup = 0, nextCount = 0;
    auto readHead = [&]() {
      haveNext = designRead < m.designRecords && m.designRows.read(&nextPos, sizeof nextPos) &&
                 m.designRows.read(&nextGroup, sizeof nextGroup) &&
                 m.designRows.read(&nextCount, sizeof nextCount);
      if (haveNext) ++designRead;
    };
    readHead();
    std::unique_ptr<CaseReader> reader = ctx.data->read();
    std::vector<double> wide(k);
    std::string line;
    int64_t pos = 0;
    for (;;) {
      while (reader->next()) {
        line.clear();
        for (size_t i = 0; i < copied.size(); ++i) {
          if (i) line += ',';
          const Variable& v = dict.vars[static_cast<size_t>(copied[i])];
          if (v.isString())
            line += csvField(stringKey(reader->string(copied[i])));
          else
            appendNumber(line, reader->number(copied[i]));
        }
        std::fill(wide.begin(), wide.end(), kSysmis);
        if (haveNext && nextPos == pos) {
          if (nextGroup < 0 || static_cast<size_t>(nextGroup) >= m.groups.size()) {
            ctx.message(msg::kWorkFileCorrupted, out::Phase::Processing, out::Severity::Error);
            return;
          }
          for (int id : m.groups[static_cast<size_t>(nextGroup)].columnIds)
            wide[positionOfId[static_cast<size_t>(id)]] = 0.0;
          for (int32_t e = 0; e < nextCount; ++e) {
            int32_t id = 0;
            double v = 0;
            if (!m.designRows.read(&id, sizeof id) || !m.designRows.read(&v, sizeof v) || id < 0 ||
                static_cast<size_t>(id) >= positionOfId.size()) {
              ctx.message(msg::kWorkFileCorrupted, out::Phase::Processing, out::Severity::Error);
              return;
            }
            wide[positionOfId[static_cast<size_t>(id)]] = v;
          }
          readHead();
        }
        for (double v : wide) {
          line += ',';
          appendNumber(line, v);
        }
        line += '\n';
        f.data.write(line);
        ++pos;
      }
      if (!reader->nextGroup()) break;
    }
    // Every valid case must have found its row: a case beyond the data or one left unread means
    // the data changed or the scratch file is damaged.
    if (haveNext || designRead != m.designRecords) {
      ctx.message(msg::kWorkFileCorrupted, out::Phase::Processing, out::Severity::Error);
      return;
    }
    f.dictionary.write(dictionaryJson("Design matrix", vars).dump(2) + "\n");
  }

  if (m.effect) {
    std::vector<FileVariable> vars = splitVars;
    vars.push_back(stringVariable("DEPVAR_", 64, "Dependent variable"));
    FileVariable source = stringVariable("SOURCE_", 8, "Source of variation");
    FileVariable rowType = stringVariable("ROWTYPE_", 8, "Kind of sum of squares");
    const std::string ssRow = "SS" + std::to_string(st.sstype);
    const std::string ssLabel = ssTypeTitle(st.sstype);
    if (st.randomEffectCount() == 0) {
      source.valueLabels = {{"CorModel", "Corrected Model"},
                            {"Model", "Model"},
                            {"Error", "Error"},
                            {"Total", "Total"},
                            {"CorTotal", "Corrected Total"}};
      rowType.valueLabels = {{"MODEL", "Model"}, {ssRow, ssLabel}, {"ERROR", "Error"}, {"TOTAL", "Total"}};
    } else {
      rowType.valueLabels = {{ssRow, ssLabel}, {"ERROR", "Error"}};
    }
    for (int e = 0; e < st.effectCount(); ++e) {
      const std::string name = effectName(st, dict, e);
      source.valueLabels.emplace_back("S" + std::to_string(e + 1), name);
      if (st.randomEffectCount() > 0)
        source.valueLabels.emplace_back("E" + std::to_string(e + 1), "Error term of " + name);
    }
    vars.push_back(source);
    vars.push_back(rowType);
    vars.push_back(numericVariable("SS", "Sum of squares"));
    vars.push_back(numericVariable("DF", "Degrees of freedom"));
    vars.push_back(numericVariable("MS", "Mean square"));
    vars.push_back(numericVariable("F", "F statistic"));
    vars.push_back(numericVariable("SIG", "Significance of F"));
    if (st.printObservedPower) {
      vars.push_back(numericVariable("POWER", "Observed power"));
      vars.push_back(numericVariable("NNCNT", "Noncentrality parameter"));
    }
    if (st.printEtaSquared) vars.push_back(numericVariable("ETASQ", "Partial eta squared"));
    OutFile& f = m.effectFile;
    writeHeader(f.data, vars);
    std::string line;
    for (const EffectFileRow& r : m.effectRows) {
      line.clear();
      splitFields(line, r.group);
      line += csvField(m.depNames[static_cast<size_t>(r.dep)]) + ',' + r.source + ',' + r.rowType;
      std::vector<double> values{r.ss, r.df, r.ms, r.f, r.sig};
      if (st.printObservedPower) values.insert(values.end(), {r.power, r.noncentrality});
      if (st.printEtaSquared) values.push_back(r.etaSquared);
      for (double v : values) {
        line += ',';
        appendNumber(line, v);
      }
      line += '\n';
      f.data.write(line);
    }
    f.dictionary.write(dictionaryJson(effectFileLabel(st.randomEffectCount() > 0), vars).dump(2) + "\n");
  }

  // Every file complete before any is renamed into place.
  for (OutFile* f : files) {
    std::string why;
    if (!f->data.complete(why) || !f->dictionary.complete(why)) {
      ctx.outputFileFailed = true;
      ctx.note("OUTFILE cannot write ^1 ...", out::Severity::Error, {why});
      return;
    }
  }
  out::TableBuilder tb(0, "Files Saved", "Files Saved");
  const int rowDim = tb.dimension("Contents", out::Axis::Row);
  const int colDim = tb.dimension("Files", out::Axis::Column);
  for (OutFile* f : files) {
    std::string why;
    if (!f->dictionary.commit(why) || !f->data.commit(why)) {
      ctx.outputFileFailed = true;
      ctx.note("OUTFILE cannot write ^1 ...", out::Severity::Error, {why});
      return;
    }
    tb.category(rowDim, f->title);
    tb.cell(colDim, "File", out::Value::str(f->path));
    tb.cell(colDim, "Dictionary", out::Value::str(dictionaryPathFor(f->path)));
  }
  ctx.emitTable(tb);
}

}  // namespace qv
