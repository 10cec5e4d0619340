#pragma once
// The procedure state: everything the procedure knows about the current command. The parser
// writes the model as the command states it and the requests; the data pass, design layout and
// estimation add the per-group fields, which are reset at the start of every split group.
// Vectors are 0-based; where a field holds a 1-based number (a level, a cell, a column) it
// says so.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "host/numeric/matrix.h"
#include "host/syntax/tokenizer.h"
#include "host/sysmis.h"
#include "model/effect.h"
#include "parse/requests.h"
#include "save/saved_variables.h"

namespace qv {

// The per-effect result of a hypothesis test of the model effects: its L matrix and what it gives.
struct HypothesisRecord {
  int df = 0;        // degrees of freedom: the rows of L kept
  num::Mat L;        // df x dmncol (0 rows without df)
  num::Packed sscp;  // hypothesis SSCP (L b)'(L G L')^-1 (L b), order ndepvr; n = 0 without df (pthscp)
  int unique = 1;    // Type IV only: 1 when the hypothesis is unique, 0 when not
};

// The state of one split group is filled in three stages, each by its own folder and reset at
// the start of every group; a routine that needs only one stage takes that stage.

// Stage 1, the data pass (src/data/case_pass.cpp): the valid cases and the levels of the factors.
struct GroupData {
  long nvalid = 0;  // valid cases of the group
  double sumWeights = 0.0;
  std::vector<int> nlevls;                             // per factor, its number of levels
  std::vector<std::vector<double>> levelNumbers;       // per factor, sorted distinct numeric values
  std::vector<std::vector<std::string>> levelStrings;  // per factor, sorted distinct string values
  std::vector<std::vector<double>> levelWeights;       // per factor, weighted count per level
  // The observed combinations of all factor levels ("design cells"), numbered from 0 in order
  // of first appearance: per design cell its nfactr 1-based levels (the case work file holds
  // each case's design cell). Every case of a design cell has the same design row up to its
  // covariate values. Without factors every case lies in design cell 0, which has no levels.
  std::vector<int> designCellLevels;
  // Number of design cells when the model has factors, else 0.
  int nonEmptyCells() const {
    return nlevls.empty() ? 0 : static_cast<int>(designCellLevels.size() / nlevls.size());
  }
  // The 1-based levels of the factors (nfactr of them) of design cell c.
  const int* cellLevels(int c) const {
    return designCellLevels.data() + static_cast<size_t>(c) * nlevls.size();
  }
  std::vector<std::pair<std::string, std::string>> splitCaption;  // (name, value) of the group
};

// Stage 2, the design layout (src/data/design.cpp): the design columns and the observed cells.
struct DesignLayout {
  int dmncol = 0;                   // number of design columns
  std::vector<int> effectFirstCol;  // per effect, 1-based first column
  std::vector<int> effectNcols;
  std::vector<long> colCell;                  // per column, 1-based cell within its effect
  std::vector<std::string> paramLabels;       // per column
  std::vector<std::vector<int>> effectOrder;  // per effect, its factors in cell order
  std::vector<long> effectPossibleCells;      // per effect, product of nlevls of its factors
  // Per design cell (GroupData::designCellLevels), the design column of each effect (neffds per
  // cell).
  std::vector<int> designCellColumns;
};

// Stage 3, the model fit (src/estimate/): estimates, generalised inverse, bases, the error and
// total SSCP, and per effect its hypothesis record.
struct ModelFit {
  // Cross-products of (design row, dependent values, [1]) weighted by case x regression weight,
  // unswept. With an intercept the dependent values are taken about a shift (the first valid
  // case's values) and a constant column is appended, so that data with a large constant
  // offset keep their digits; see estimation.cpp.
  num::Packed crossProducts;
  std::vector<double> depShift;         // per dependent; empty when no shift is applied
  int modldf = 0;                       // model rank: number of non-redundant columns
  std::vector<char> nonRedundant;       // per column, 1 when accepted as a pivot
  num::Mat paramEst;                    // dmncol x ndepvr; 0 for redundant columns
  num::Packed ginverse;                 // order dmncol; 0 rows/columns for redundant columns
  num::Mat estBasis;                    // modldf x dmncol
  num::Mat nullBasis;                   // (dmncol - modldf) x dmncol, one vector per redundant column
  std::vector<double> totalSS;          // per dependent: about the mean (intercept) or about zero
  std::vector<double> depMeans;         // per dependent: weighted mean (case x regression weight)
  num::Packed errorSSCP;                // order ndepvr
  num::Packed totalSSCP;                // order ndepvr, about zero
  std::vector<HypothesisRecord> hypotheses;  // per effect in design order
  std::vector<char> hypothesisColumns;  // per column, 1 when it carries a hypothesis row
  // Contrast bases of factor main effects (only when CONTRAST is given)
  std::vector<int> contrastDf, contrastUnique;
  std::vector<num::Mat> contrastL;

  // Random effects (GMXMDL; filled only when the model has random effects). Columns of the
  // per-effect rows: the random effects in model order, then the error variance.
  num::Mat emsCoef;                             // neffds x (neffrn + 1): expected-mean-square coefficients
  std::vector<std::vector<char>> emsQuadratic;  // neffds x neffds: 1 for a fixed effect in the quadratic term
  num::Mat ertcof;                              // neffds x (neffrn + 1): error-term coefficients of the MS
  std::vector<int> errorTermStatus;  // per effect, an ErrorTermStatus (tests/expected_mean_squares.h)

  // Extended precision of the fit (filled by estimate/): the low parts of crossProducts,
  // paramEst and ginverse in double-double (value = high part + low part, same layouts). The
  // high parts above keep their meaning; the L core uses the low parts when they are present
  // (same size as the high parts), so hypotheses on offset or collinear data keep their digits.
  std::vector<double> crossProductsLo;
  std::vector<double> paramEstLo;  // dmncol x ndepvr, row-major like paramEst.a
  std::vector<double> ginverseLo;  // packed like ginverse.a
  // Per design column, the weighted sum of squares of its covariate value about its mean
  // within the column's cell (0 for a column without a covariate): the scale against which
  // the sweep judges a covariate column, so that a large constant in a covariate is not
  // mistaken for aliasing (see SweepState).
  std::vector<double> columnCellSS;
  // Per design cell, the weighted count of its cases (case x regression weight) in double-double
  // (high and low parts): the cross-products of a model of factors alone are sums of these.
  std::vector<double> designCellWeight, designCellWeightLo;
  // The diagonal of the generalised inverse, per column, when ginverse is not formed (a large
  // design fitted from its cells' means, estimate/cell_means_fit.h); empty otherwise.
  std::vector<double> ginverseDiagonal;
  // Entry (j, j) of the generalised inverse, from whichever of the two the fit formed.
  double ginverseAt(size_t j) const { return ginverse.n > j ? ginverse(j, j) : ginverseDiagonal[j]; }
};

// Per-group results of the data pass, the design layout and the estimation.
struct GroupState : GroupData, DesignLayout, ModelFit {};

// The command as parsed: the model as the command states it and the requests. The parser and
// the post-parse checks write it; the analyses of the groups only read it.
struct ParsedCommand {
  // The model as the command states it
  std::vector<int> depVars, factorVars, covVars;  // dictionary indexes
  int ndepvr() const { return static_cast<int>(depVars.size()); }     // ndepvr: number of dependents
  int nfactr() const { return static_cast<int>(factorVars.size()); }  // nfactr: number of factors
  int ncovar() const { return static_cast<int>(covVars.size()); }     // ncovar: number of covariates
  std::vector<int> factorWidth;                   // per factor, value width in 8-byte cells
  int nameWidth = 8;
  std::vector<EffectRow> ptefds;  // effect rows in design order (read them through Effect)
  int effectCount() const { return static_cast<int>(ptefds.size()); }  // neffds: effects in the design
  std::vector<int> ptecwf;        // per effect, 1 for a covariate nested within factors
  bool interceptIncluded = true;
  // What the effects of the design use: 1 factors and covariates, 2 factors only, 3 covariates
  // only, 4 neither (set by the post-parse checks).
  int designContent = 0;
  std::vector<bool> factorUsed, covariateUsed;
  std::vector<int> randomEffect;  // per effect, 1 = random
  // neffrn: number of random effects (ones in randomEffect)
  int randomEffectCount() const {
    return static_cast<int>(std::count(randomEffect.begin(), randomEffect.end(), 1));
  }
  int regwgtVar = -1;             // dictionary index of the regression weight, -1 = none
  bool includeUserMissing = false;
  int sstype = 3;         // type of sums of squares, 1 to 4 (METHOD=SSTYPE)
  double alplev = 0.05;   // significance level (CRITERIA ALPHA)
  std::string alphaText;  // ALPHA as typed (decimal character of the locale); empty = none
  double rdneps = 1e-8;   // redundancy tolerance of the sweep (CRITERIA EPS)

  // Display and analysis requests
  bool printDescriptives = false, printHomogeneity = false, printParameters = false, printEtaSquared = false,
       printGef = false, printObservedPower = false, printLackOfFit = false, printLMatrix = false;
  bool plotSpreadLevel = false, plotResiduals = false;
  std::vector<ProfilePlotRequest> profileList;
  int profilePlotCount() const { return static_cast<int>(profileList.size()); }
  // PLOT WITH: per covariate the value to plot at, kSysmis = its mean; empty = no WITH.
  std::vector<double> plotCovValues;
  std::vector<ContrastRequest> contrastSpecs;
  int contrastCount() const { return static_cast<int>(contrastSpecs.size()); }  // ncontr
  std::vector<LMatrixRequest> lmatrixList;
  int lmatrixCount() const { return static_cast<int>(lmatrixList.size()); }  // nlmatr
  std::vector<double> ptkmat;  // K matrix, kmnrow x kmncol in row order; empty = none
  int kmnrow = 0, kmncol = 0;
  std::vector<TestRequest> testList;
  int testCount() const { return static_cast<int>(testList.size()); }  // ntests
  std::vector<PosthocRequest> ptmpho;  // the POSTHOC requests, in command order
  int posthocCount() const { return static_cast<int>(ptmpho.size()); }
  std::vector<EmmeansRequest> emmeansList;
  int emmeansCount() const { return static_cast<int>(emmeansList.size()); }
  std::array<int, 10> saveKeywords{};  // SaveKeyword codes in the order given; 0 = unused
  // Number of SAVE keywords given: the used entries of saveKeywords.
  int saveCount() const {
    return static_cast<int>(std::find(saveKeywords.begin(), saveKeywords.end(), 0) - saveKeywords.begin());
  }
  // Per entry of saveKeywords, the new variables' names given for it, one per dependent
  // variable in order (fewer or none: the rest are generated).
  std::array<std::vector<std::string>, 10> saveNames{};
  // OUTFILE: file paths (empty = not requested)
  // outdpcPath: COVB or CORB file, outdpdPath: DESIGN file, effectOutPath: EFFECT file.
  std::string outdpcPath, outdpdPath, effectOutPath;
  int matrixFileKind = 0;  // 1 COVB, 2 CORB
  // Footnote text "Weighted Least Squares by <var>", empty when no regression weight.
  std::string weightingFootnote;

  // Places in the command of the symbols that messages issued after parsing are about (line 0
  // = unknown), so that such a message points at its symbol, not at the end of the command.
  // The parsers fill them in step with the request lists.
  struct RequestPlaces {
    syntax::SourcePlace kmatrix;                 // the KMATRIX keyword in force
    std::vector<syntax::SourcePlace> contrasts;  // per contrastSpecs entry: its factor
    std::vector<syntax::SourcePlace> lmatrices;  // per lmatrixList entry: the LMATRIX keyword
    std::vector<syntax::SourcePlace> emmeans;    // per emmeansList entry: the EMMEANS keyword
    // Entry i of one of the lists; unknown when it has none.
    static syntax::SourcePlace at(const std::vector<syntax::SourcePlace>& list, int i) {
      return i >= 0 && static_cast<size_t>(i) < list.size() ? list[static_cast<size_t>(i)]
                                                            : syntax::SourcePlace{};
    }
  } places;

  // Case record layout, set by the post-parse checks: the factor values take
  // factorValueWidth 8-byte cells (the sum of factorWidth); a record holds them, the
  // covariates, the dependents and two more cells.
  int factorValueWidth = 0;
  int caseRecordLength = 0;
};

// Everything the procedure knows about the current command: the parsed command, the state of
// the split group being analysed and what the command builds up over the groups.
struct ProcedureState : ParsedCommand {
  GroupState group;
  // SAVE: the new variables of this command while the groups are analysed (names, labels and
  // one value per case of the active data); handed to the run when the command succeeds.
  std::vector<SavedVariable> savedVariables;
  int splitGroupCount = 0;  // split groups analysed so far
};

}  // namespace qv
