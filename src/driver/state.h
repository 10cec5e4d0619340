#pragma once
// The procedure state: everything the procedure knows about the current command. The parser
// writes the model specification and the requests; the data pass, design layout and
// estimation add the per-group fields, which are reset at the start of every split group.
// Vectors are 0-based; where a field holds a 1-based number (a level, a cell, a column) it
// says so.
#include <array>
#include <string>
#include <vector>

#include "host/sysmis.h"
#include "parse/requests.h"

namespace qv {

// One effect row: per factor a nesting code (-1 absent, 0 outermost, k nested k deep), then per
// covariate a power (below 1 absent). The intercept is the row of all -1.
using EffectRow = std::vector<int>;

// Per-group results of the data pass, the design layout and the estimation.
struct GroupState {
  // Data pass
  long nvalid = 0;
  double sumWeights = 0.0;
  std::vector<int> nlevls;                        // per factor
  std::vector<std::vector<double>> levelNumbers;  // per factor, sorted distinct numeric values
  std::vector<std::vector<std::string>> levelStrings;  // per factor, sorted distinct string values
  std::vector<std::vector<double>> levelWeights;  // per factor, weighted count per level
  std::vector<int> caseLevels;                    // nfactr x nvalid, case-major, 1-based levels
  std::vector<int> caseCell;                      // per case, 1-based cell (when cells are numbered)
  int nonEmptyCells = 0;
  std::vector<std::pair<std::string, std::string>> splitCaption;  // (name, value) of the group

  // Design layout
  int dmncol = 0;
  std::vector<int> effectFirstCol;  // per effect, 1-based first column
  std::vector<int> effectNcols;
  std::vector<long> colCell;        // per column, 1-based cell within its effect
  std::vector<std::string> paramLabels;  // per column

  // Estimation (filled by estimate/)
  int modldf = 0;
};

struct ProcedureState {
  // Model specification
  int ndepvr = 0, nfactr = 0, ncovar = 0;
  std::vector<int> depVars, factorVars, covVars;  // dictionary indexes
  std::vector<int> factorWidth;                   // per factor, value width in 8-byte cells
  int nameWidth = 8;
  int neffds = 0;
  std::vector<EffectRow> ptefds;   // effect rows in design order
  std::vector<int> ptecwf;         // per effect, 1 for a covariate nested within factors
  bool interceptIncluded = true;
  int designContent = 0;
  std::vector<bool> factorUsed, covariateUsed;
  int neffrn = 0;
  std::vector<int> randomEffect;   // per effect, 1 = random
  int regwgtVar = -1;              // dictionary index of the regression weight, -1 = none
  bool includeUserMissing = false;
  int sstype = 3;
  double alplev = 0.05;
  std::string alphaText;           // ALPHA as typed (decimal character of the locale); empty = none
  double rdneps = 1e-8;

  // Display and analysis requests
  bool printDescriptives = false, printHomogeneity = false, printParameters = false,
       printEtaSquared = false, printGef = false, printObservedPower = false,
       printLackOfFit = false, printLMatrix = false;
  bool plotSpreadLevel = false, plotResiduals = false;
  int profilePlotCount = 0;
  std::vector<ProfilePlotRequest> profileList;
  // PLOT WITH: per covariate the value to plot at, kSysmis = its mean; empty = no WITH.
  std::vector<double> plotCovValues;
  int ncontr = 0;
  std::vector<ContrastRequest> contrastSpecs;
  int nlmatr = 0;
  std::vector<LMatrixRequest> lmatrixList;
  std::vector<double> ptkmat;  // K matrix, kmnrow x kmncol in row order; empty = none
  int kmnrow = 0, kmncol = 0;
  int ntests = 0;
  std::vector<TestRequest> testList;
  int posthocCount = 0;
  std::vector<PosthocRequest> ptmpho;
  int emmeansCount = 0;
  std::vector<EmmeansRequest> emmeansList;
  int saveCount = 0;
  std::array<int, 10> saveKeywords{};  // SaveKeyword codes in the order given; 0 = unused
  // Per entry of saveKeywords, the new variables' names given for it, one per dependent
  // variable in order (fewer or none: the rest are generated).
  std::array<std::vector<std::string>, 10> saveNames{};
  // OUTFILE: file paths (empty = not requested)
  std::string outdpcPath, outdpdPath, effectOutPath;
  int matrixFileKind = 0;  // 1 COVB, 2 CORB

  // Parser bookkeeping
  std::array<bool, 17> subcommandSeen{};
  // Footnote text "Weighted Least Squares by <var>", empty when no regression weight.
  std::string weightingFootnote;

  // Driver bookkeeping
  int splitGroupCount = 0;

  GroupState group;
};

}  // namespace qv
