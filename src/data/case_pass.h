#pragma once
// The data pass of one split group: keeps the valid cases (listwise over every variable of the
// model, positive case and regression weights) in the case work file, numbers the levels of
// every factor and, when asked, the observed cells.
#include <cstdint>
#include <vector>

#include "data/case_blocks.h"
#include "driver/state.h"
#include "host/context.h"
#include "host/data/case_stream.h"

namespace qv {

// The case work file: the valid cases of the current group in file order, held column-wise.
// Factor levels live in GroupState: per case its design cell, per design cell its levels.
struct CaseWorkFile {
  int ndepvr = 0, ncovar = 0;
  std::vector<double> dep;  // ndepvr per case
  std::vector<double> cov;  // ncovar per case
  std::vector<double> w;    // case weight; empty when every case weighs 1
  std::vector<double> r;    // regression weight; empty without REGWGT
  // Remainders of decimal input (exact value minus the double), like dep and cov; empty while
  // every value so far is exact as a double (then all remainders are 0).
  std::vector<double> depRem, covRem;
  long cases = 0;
  // Per case, its 0-based position in the active data (kept only when keepRecords is set), and
  // the number of cases read so far over all groups of the pass.
  bool keepRecords = false;
  std::vector<long> record;
  long recordsRead = 0;
  // How the passes run over the cases: blocks of blockCases cases on `threads` threads
  // (see data/case_blocks.h). Neither changes a result.
  int threads = 1;
  long blockCases = kDefaultBlockCases;
  long size() const { return cases; }
  // Runs a pass over every case: map(CaseRange) -> partial result, merge(partial) in block order.
  template <class Map, class Merge>
  void reduce(Map&& map, Merge&& merge) const {
    reduceBlocks(cases, blockCases, threads, map, merge);
  }
  double weight(long k) const { return w.empty() ? 1.0 : w[k]; }
  double regWeight(long k) const { return r.empty() ? 1.0 : r[k]; }
  void clear() {
    dep.clear();
    cov.clear();
    w.clear();
    r.clear();
    record.clear();
    depRem.clear();
    covRem.clear();
    cases = 0;
  }
  const double* depOf(long k) const { return dep.data() + k * ndepvr; }
  const double* covOf(long k) const { return cov.data() + k * ncovar; }
  // Remainders of case k, or null when all are 0.
  const double* depRemOf(long k) const { return depRem.empty() ? nullptr : depRem.data() + k * ndepvr; }
  const double* covRemOf(long k) const { return covRem.empty() ? nullptr : covRem.data() + k * ncovar; }
};

// Result of the data pass.
enum class PassResult { Ok, NoData, EmptySplitGroup, Error };

// Reads the cases of the reader's current split group. Fills the group fields of `st`
// (nvalid, sumWeights, nlevls, level values and weights, the design cells) and `work`.
PassResult readGroupCases(Context& ctx, ProcedureState& st, CaseReader& reader, bool firstGroup,
                          CaseWorkFile& work);

// Rounds a case weight that lies within a tiny relative distance of an integer to that integer
// (FUZZYROUND), so that weights like 2.9999999999 written by other programs count as 3.
double fuzzyRound(double w);

// The printed form of a factor level (numbers in shortest round-trip form, strings as read).
std::string levelKey(const ProcedureState& st, int factor, int level);

}  // namespace qv
