#pragma once
// The tables that describe the data of a split group before the model output: the
// Between-Subjects Factors table and, with PRINT=DESCRIPTIVE, the Descriptive Statistics table
// (mean, standard deviation and N of each dependent variable in every cell of the factors and
// every marginal of those cells).
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "data/case_pass.h"
#include "driver/state.h"
#include "host/context.h"

namespace qv {

// The shown form of a factor level: its value label when the variable has one for the value,
// otherwise the value as written.
std::string levelLabel(const ProcedureState& st, const Dictionary& dict, int factor, int level);

// The Between-Subjects Factors table: per factor its levels with value labels and weighted N.
void printBetweenSubjectsFactors(Context& ctx, const ProcedureState& st);

// Accumulated statistics of one entry of the descriptive table (a cell, or a marginal of cells).
struct DescriptiveCell {
  double n = 0.0;                // sum of case weights
  double wsum = 0.0;             // sum of accumulation weights, case x regression weight
  std::vector<double> mean, m2;  // per dependent: weighted mean and sum of squared deviations
  auto fields() { return std::tie(n, wsum, mean, m2); }
  auto fields() const { return std::tie(n, wsum, mean, m2); }

  // Adds one case of weight wr (case x regression weight) and case weight w.
  void add(const double* y, double w, double wr);
  // Merges another entry into this one (the pairwise update of means and squared deviations).
  void merge(const DescriptiveCell& other);
  // Standard deviation of dependent d: the weighted variance about the weighted mean, scaled by
  // n / (n - 1); kSysmis when n <= 1. With regression weights all 1 it is the usual sample
  // standard deviation, and a constant regression weight leaves it unchanged.
  double stdDev(int d) const;
};

// Descriptive accumulation (gmdstb): one entry per observed cell and per marginal of it. A key
// holds one level number per factor, 0 standing for all levels of the factor (the total).
struct DescriptiveTable {
  int nfactr = 0;
  std::vector<std::vector<int>> keys;
  std::vector<DescriptiveCell> cells;
};
DescriptiveTable accumulateDescriptives(const ProcedureState& st, const CaseWorkFile& work);

// The Descriptive Statistics table (gmdsot).
void printDescriptives(Context& ctx, const ProcedureState& st, const CaseWorkFile& work);

}  // namespace qv
