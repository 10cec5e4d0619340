// The message catalogue: the full English text behind every key of the procedure, and the
// expansion of composite templates.
//
// Keys are short phrases ending in "..."; the procedure issues keys, and the host shows the
// full texts. A full text never ends in "..." itself, so translating a text twice is harmless.
// Texts use the template language described in messages.h. Where a text takes more than the
// current symbol, the comment above it says what each argument holds.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "host/output/messages.h"

namespace qv {

namespace {

struct CatalogueEntry {
  std::string_view key;
  std::string_view text;
};

// clang-format off
constexpr CatalogueEntry kCatalogue[] = {
    // ---- Numbered messages (by number). ^1 is the command symbol at which the problem was
    // found, when the key takes one.
    {"Insufficient memory ...",
     "There is not enough memory to complete this analysis. Reduce the size of the model (fewer "
     "factors, levels, covariates or effects) and run the command again."},
    {"QVT Unrecognized subcommand ^1 ...",
     "^1 is not a QUORVEST subcommand. The subcommands are RANDOM, REGWGT, METHOD, INTERCEPT, "
     "MISSING, CRITERIA, PRINT, PLOT, TEST, LMATRIX, CONTRAST, KMATRIX, POSTHOC, EMMEANS, SAVE, "
     "OUTFILE and DESIGN; check the spelling and the slash that starts the subcommand."},
    {"Unrecognized subcommand ^1 ...",
     "^1 is not a QUORVEST subcommand. Check the spelling and the slash that starts the "
     "subcommand."},
    {"Empty subcommand ^1 ...",
     "The ^1 subcommand is empty and has been ignored."},
    {"Last repeated subcommand used ^1 ...",
     "The ^1 subcommand is given more than once. Only the last ^1 subcommand is used; the "
     "earlier ones are ignored."},
    {"Repeated subcommand ^1 ...",
     "The ^1 subcommand is given more than once; the later one replaces the earlier one."},
    {"Incorrectly placed keyword ^1 ...",
     "^1 is out of place in the variable list. Name the dependent variables first, then BY and "
     "the factors, then WITH and the covariates; the list ends with a slash or the end of the "
     "command."},
    {"Unknown contrast ^1 ...",
     "^1 is not a valid contrast. Use DEVIATION, SIMPLE, DIFFERENCE, HELMERT, "
     "REPEATED, POLYNOMIAL or SPECIAL, with its optional argument in parentheses, and nothing "
     "after it in the same CONTRAST subcommand."},
    {"Indicator not valid ...",
     "INDICATOR contrasts are not available on CONTRAST. Use SIMPLE to compare each level with "
     "a reference level."},
    {"Same dependent and factor ...",
     "A variable is named both as a dependent variable and as a factor. Each variable can have "
     "only one role in the analysis."},
    {"Same dependent and covariate ...",
     "A variable is named both as a dependent variable and as a covariate. Each variable can "
     "have only one role in the analysis."},
    {"Same factor and covariate ...",
     "A variable is named both as a factor and as a covariate. Each variable can have only one "
     "role in the analysis."},
    {"Non-numeric value ^1 ...",
     "^1 is not a number. The list in parentheses may contain numbers only."},
    {"No right parenthesis after list of numbers ...",
     "The list of numbers is not closed with a right parenthesis before the end of the "
     "subcommand."},
    {"Invalid reference category ^1 ...",
     "^1 is not a valid reference category. Give the position of the reference level among the "
     "factor's levels in ascending order, as a whole number of 1 or more."},
    {"No right parenthesis after refcat ...",
     "A right parenthesis is missing after the reference category."},
    {"Incorrect number of values for POLYNOMIAL ...",
     "The number of metric values for the POLYNOMIAL contrast is wrong. Give one value per level "
     "of the factor."},
    {"No values for SPECIAL ...",
     "SPECIAL requires its contrast coefficients in parentheses: one row per contrast, with one "
     "value per level of the factor."},
    {"Duplicate effect in DESIGN ...",
     "An effect is named more than once on DESIGN (the intercept counts as named when it is in "
     "the model). The repeated effect has been removed from the design."},
    {"Unrecognized symbol in effect ^1 ...",
     "^1 is not a factor or a covariate of this analysis. Effects may use only the variables "
     "named after BY and WITH."},
    {"Repeated factor in effect ^1 ...",
     "The factor ^1 appears more than once in the same effect. A factor may appear only once in "
     "an interaction or nested effect."},
    {"Covariate after WITHIN in effect ^1 ...",
     "The covariate ^1 is used as a nesting variable. Only factors can follow WITHIN or stand in "
     "parentheses; write the covariate first, as in X WITHIN A or X(A)."},
    {"Syntax error in effect ^1 ...",
     "The effect is not valid at ^1. Write interactions with BY or *, and nesting with WITHIN or "
     "parentheses, for example A B A*B or B(A)."},
    {"Regression weight ^1 not numeric ...",
     "The REGWGT variable ^1 is a string variable. The regression weight must be numeric."},
    {"HOMOGENEITY ignored because no factors ...",
     "PRINT=HOMOGENEITY is ignored because the model has no factors: Levene's test compares the "
     "groups that the factors define."},
    {"RANDOM and no effects in design ...",
     "RANDOM cannot be used because the design has no effects."},
    {"Covariate in RANDOM ...",
     "A covariate is named on RANDOM. Only factors can be random."},
    {"Regression weight not found ^1 ...",
     "The REGWGT variable ^1 does not exist in the data."},
    {"Invalid REGWGT ^1 ...",
     "^1 is not valid on REGWGT. Name one numeric variable."},
    {"Invalid INTERCEPT ^1 ...",
     "^1 is not valid on INTERCEPT. Specify INCLUDE or EXCLUDE, and nothing else."},
    {"Invalid MISSING ^1 ...",
     "^1 is not valid on MISSING. Specify INCLUDE or EXCLUDE, and nothing else."},
    {"Unrecognized keyword ^1 in CRITERIA ...",
     "^1 is not a CRITERIA keyword. Use EPS(value) or ALPHA(value)."},
    {"Syntax error in CRITERIA ^1 ...",
     "CRITERIA expects a keyword followed by a number in parentheses, such as ALPHA(.05); the "
     "request is not valid at ^1."},
    {"Invalid EPS ^1 in CRITERIA ...",
     "^1 is not a valid EPS value. The tolerance for redundant parameters must be a positive "
     "number, such as EPS(1E-8)."},
    {"Effect in TEST not in DESIGN ^1 ...",
     "The effect to be tested on TEST is not in the design (at ^1). TEST can test only the "
     "effects of the design."},
    {"Invalid syntax in TEST ^1 ...",
     "TEST is not valid at ^1. Write TEST = effect VS error term, where the error term is an "
     "effect, a linear combination of effects, or a value followed by DF(df)."},
    {"No values found in LMATRIX ^1 ...",
     "A row of LMATRIX has no coefficients (at ^1). Give the coefficients after each effect name "
     "or after ALL."},
    {"Different number of values in LMATRIX ...",
     "The rows of LMATRIX do not all have the same number of values."},
    {"ALL was expected in LMATRIX ^1 ...",
     "ALL is expected after the semicolon on LMATRIX, but ^1 was found. When the first row of a "
     "matrix starts with ALL, every row of that matrix must start with ALL."},
    {"Invalid syntax in LMATRIX ^1 ...",
     "LMATRIX is not valid at ^1. Give an optional label in quotes, then effect names each "
     "followed by their coefficients, or ALL followed by one coefficient per parameter; separate "
     "the rows with semicolons."},
    {"Effect ^1 in LMATRIX not in DESIGN ...",
     "The effect ^1 named on LMATRIX is not in the design."},
    {"Left parenthesis not found in CONTRAST ^1 ...",
     "CONTRAST must be followed by a factor name in parentheses, as in CONTRAST(A)=SIMPLE; "
     "found ^1."},
    {"Factor name expected in CONTRAST ^1 ...",
     "^1 is not a factor of this analysis. CONTRAST needs a factor named after BY, in "
     "parentheses."},
    {"CONTRAST factor ^1 not main effect ...",
     "The factor ^1 is not a main effect of the design, so its contrast has been dropped."},
    {"Right parenthesis expected in CONTRAST ^1 ...",
     "A right parenthesis is expected after the factor name on CONTRAST; found ^1."},
    {"Invalid METHOD ^1 ...",
     "^1 is not valid on METHOD. The only form is SSTYPE(n), with n from 1 to 4."},
    {"In METHOD, SSTYPE not found ^1 ...",
     "METHOD expects SSTYPE(n); found ^1."},
    {"In METHOD, left parenthesis not found ^1 ...",
     "A left parenthesis is expected after SSTYPE on METHOD; found ^1."},
    {"In METHOD, right parenthesis not found ^1 ...",
     "A right parenthesis is expected after the sum-of-squares type on METHOD; found ^1."},
    {"In METHOD, SSTYPE is wrong ^1 ...",
     "^1 is not a valid sum-of-squares type. SSTYPE takes a whole number from 1 to 4."},
    {"Syntax error in POSTHOC ^1 ...",
     "POSTHOC is not valid at ^1. Name the factors, then the tests in parentheses, as in "
     "POSTHOC = A B (TUKEY SCHEFFE)."},
    {"No valid cases ...",
     "There are no valid cases for this analysis: every case has a missing value on a variable "
     "of the analysis, or a weight that is missing or not positive. Check the variables, their "
     "missing values and the weights."},
    {"No values for POLYNOMIAL ...",
     "The list of metric values for POLYNOMIAL is empty. Give one value per level, or leave out "
     "the parentheses to use equally spaced levels."},
    {"Redundant EMMEANS ...",
     "An EMMEANS TABLES request repeats an earlier one and has been ignored."},
    {"Invalid ALPHA ^1 in CRITERIA ...",
     "^1 is not a valid ALPHA. The significance level must be greater than 0 and less than 1, "
     "such as ALPHA(.05)."},
    {"Syntax error in PRINT ^1 ...",
     "^1 is not a PRINT keyword. The keywords are DESCRIPTIVE, HOMOGENEITY, PARAMETER, ETASQ, "
     "EFSIZE, GEF, OPOWER, LOF and TEST(LMATRIX)."},
    {"QVT Invalid specification for TEST in PRINT ^1 ...",
     "^1 is not valid in PRINT=TEST(...). Specify TEST(LMATRIX) or TEST(ESTIMABLE)."},
    {"OUTFILE too many files ...",
     "OUTFILE names more than one file for the same kind of matrix. Give at most one of COVB and "
     "CORB, one EFFECT file and one DESIGN file."},
    {"OUTFILE keyword not found ^1 ...",
     "OUTFILE expects COVB, CORB, EFFECT or DESIGN; found ^1."},
    {"OUTFILE left parenthesis not found ^1 ...",
     "A left parenthesis is expected after the OUTFILE keyword, followed by the file name; "
     "found ^1."},
    {"OUTFILE right parenthesis not found ^1 ...",
     "A right parenthesis is expected after the file name on OUTFILE; found ^1."},
    {"OUTFILE file reference not found ...",
     "OUTFILE needs a file name in the parentheses."},
    {"OUTFILE asterisk ...",
     "An asterisk cannot be used as a file on OUTFILE: the active data cannot be replaced by a "
     "matrix file. Give a file name."},
    {"Work file corrupted ...",
     "The temporary work file of the analysis could not be read back. The disk may be full, or "
     "the file was changed while the command ran; run the command again."},
    {"OUTFILE name conflict ...",
     "A variable name needed in the OUTFILE matrix file is already taken by another variable of "
     "the file. Rename the conflicting variable and run the command again."},
    {"Syntax error in PLOT ^1 ...",
     "PLOT is not valid at ^1. The keywords are PROFILE, SPREADLEVEL, RESIDUALS and WITH."},
    {"Unrecognized symbol in PLOT PROFILE ^1 ...",
     "^1 is not a factor of this analysis. PLOT PROFILE takes factors only, as in "
     "PROFILE(A A*B)."},
    {"Repeated factor in PLOT PROFILE ^1 ...",
     "The factor ^1 appears more than once in the same PROFILE plot."},
    {"No values in KMATRIX ...",
     "A row of KMATRIX has no values."},
    {"Different number of values in KMATRIX ...",
     "The rows of KMATRIX do not all have the same number of values."},
    {"Invalid row (2 stars) in KMATRIX ...",
     "A value of KMATRIX has two asterisks. Repeat a value by writing n*value, with a single "
     "asterisk."},
    {"Invalid row (wrong star) in KMATRIX ...",
     "An asterisk is out of place in KMATRIX. Repeat a value by writing n*value."},
    {"Invalid row (first star) in KMATRIX ...",
     "A row of KMATRIX starts with an asterisk. Repeat a value by writing n*value."},
    {"Unrecognized symbol in EMMEANS ^1 ...",
     "^1 is not valid on EMMEANS. The keywords are TABLES, WITH, COMPARE and ADJ."},
    {"Left parenthesis not found in EMMEANS ^1 ...",
     "A left parenthesis is expected on EMMEANS; found ^1."},
    {"No factor for COMPARE in EMMEANS ^1 ...",
     "^1 is not a factor. COMPARE on EMMEANS takes a factor of the table in parentheses."},
    {"No right parenthesis in EMMEANS ^1 ...",
     "A right parenthesis is expected on EMMEANS; found ^1."},
    {"Premature end in EMMEANS ...",
     "The EMMEANS subcommand ends inside a list in parentheses."},
    {"Unrecognized factor ^1 in EMMEANS ...",
     "^1 is not a factor of this analysis. EMMEANS TABLES takes OVERALL or factors joined by BY "
     "or *."},
    {"Unrecognized keyword ^1 in SAVE ...",
     "^1 is not a SAVE keyword. The keywords are PRED, WPRED, RESID, WRESID, DRESID, ZRESID, "
     "SRESID, SEPRED, COOK and LEVER."},
    {"Syntax error in SAVE ^1 ...",
     "SAVE is not valid at ^1. A keyword may be followed by new variable names in parentheses, "
     "one per dependent variable."},
    {"Invalid name in SAVE ^1 ...",
     "^1 is not a valid variable name for a saved variable."},
    {"Existing name in SAVE ^1 ...",
     "The variable ^1 already exists. Choose a new name for the saved variable."},
    {"POSTHOC and covariates ...",
     "Post hoc tests are not available when the model has covariates. The POSTHOC subcommand is "
     "ignored; use EMMEANS with COMPARE to compare adjusted means."},
    {"POSTHOC not factor found ^1 ...",
     "POSTHOC expects factor names; found ^1."},
    {"POSTHOC not a valid factor ^1 ...",
     "^1 is skipped on POSTHOC: post hoc tests need a fixed factor that is a main effect of the "
     "design."},
    {"Repeated VS in POSTHOC ...",
     "VS is given more than once on POSTHOC."},
    {"Premature end of subcommand in POSTHOC ...",
     "POSTHOC ends after a left parenthesis. Name the tests, as in (TUKEY SCHEFFE)."},
    {"Unrecognized test ^1 in POSTHOC ...",
     "^1 is not a post hoc test. DUNCAN and the DUNNETT tests must be spelled out in full."},
    {"Invalid parenthesized specification ^1 in POSTHOC ...",
     "^1 is not valid in parentheses after a post hoc test. WALLER takes a whole-number k-ratio "
     "above 1, and the DUNNETT tests take the position of the control category as a whole "
     "number of 1 or more."},
    {"No right parenthesis after tests in POSTHOC ...",
     "The list of tests on POSTHOC is not closed with a right parenthesis."},
    {"POSTHOC no valid factors ...",
     "POSTHOC names no valid factor, so no post hoc test can be run."},
    {"Duplicate factor in POSTHOC ...",
     "A factor is named more than once on POSTHOC; it is tested once."},
    {"RANDOM not allowed for multivariate model ...",
     "RANDOM can be used with one dependent variable only."},
    {"INTERCEPT not allowed ...",
     "INTERCEPT cannot be used here because the intercept is excluded from the model."},
    {"INTERCEPT in RANDOM ...",
     "The intercept cannot be random. Name factors on RANDOM."},
    {"Not positive denominator ^1 in fraction ...",
     "^1 is not a valid denominator. The denominator of a fraction must be a positive number."},
    {"TEST and not univariate model ...",
     "TEST can be used with one dependent variable only."},
    {"Too many EMMEANS factors ...",
     "An EMMEANS table has too many factors. Together with the split-file variables, a table may "
     "have at most 17 factors."},
    {"OUTFILE EFFECT and ws factors ...",
     "The EFFECT matrix file cannot be written for a model with within-subjects factors; it is "
     "not written."},
    {"Not unique dependent variables ...",
     "A dependent variable is named more than once; it is used once."},
    {"Not unique factors ...",
     "A factor is named more than once; it is used once."},
    {"Not unique covariates ...",
     "A covariate is named more than once; it is used once."},
    {"RANDOM and WS factors ...",
     "RANDOM cannot be used in a model with within-subjects factors."},
    {"Not factor in RANDOM ...",
     "An item on RANDOM is not a single factor. RANDOM takes factor names only, not "
     "interactions or nested effects."},
    {"This SAVE keyword ^1 requires regression weight ...",
     "SAVE keyword ^1 needs a regression weight (REGWGT) and has been dropped."},
    {"Unbalanced parentheses in effect ...",
     "The parentheses of an effect do not match."},
    {"KMATRIX and LMATRIX different number of rows ...",
     "KMATRIX and LMATRIX have different numbers of rows. The K matrix needs one row per row of "
     "the L matrix."},
    {"Invalid error term effect in POSTHOC ...",
     "The error term after VS on POSTHOC must be an effect of the design other than the "
     "intercept."},
    {"Non-unique values for POLYNOMIAL ...",
     "The metric values for POLYNOMIAL must all be different."},
    {"BY not found in EMMEANS ^1 ...",
     "Factors in EMMEANS TABLES must be joined by BY or *; found ^1."},
    {"KMATRIX and no L matrix ...",
     "KMATRIX is given without LMATRIX, and the default hypothesis (the intercept) is not "
     "available because the intercept is excluded. Give an LMATRIX."},
    {"QVT KMATRIX and default M matrix diff. N of columns ...",
     "KMATRIX needs one column per dependent variable."},
    {"KMATRIX and default L matrix diff. N of rows ...",
     "Without LMATRIX, KMATRIX must have exactly one row, for the default hypothesis on the "
     "intercept."},
    {"BY in wrong place in EMMEANS ^1 ...",
     "BY or * is out of place in EMMEANS TABLES (at ^1): it must stand between two factor names."},
    {"Zero degrees of freedom in the model ...",
     "The model has zero degrees of freedom, so no contrast can be tested."},
    {"Too many design columns ...",
     "The design has too many parameters to be analysed. Reduce the number of factors, levels or "
     "interactions."},
    {"Design size ^1 ^2 ^3 ...",
     "The design has ^1 parameters (design columns); its cross-product matrices need about ^2 GiB "
     "of memory, more than the ^3 GiB of this machine."},
    {"No factors, no covariates, no intercept ...",
     "The model has no factors, no covariates and no intercept, so there is nothing to analyse."},
    {"No cases remain in the analysis...",
     "There are no cases in the data, so the analysis cannot be run."},
    {"Unbalanced parentheses in PLOT PROFILE ...",
     "The parentheses of PLOT PROFILE do not match."},
    {"Empty parentheses in METHOD ...",
     "SSTYPE on METHOD needs a number from 1 to 4 in the parentheses."},
    {"Empty parentheses in PLOT PROFILE ...",
     "PLOT PROFILE needs at least one factor in the parentheses."},
    {"Repeated factor ^1 in EMMEANS ...",
     "The factor ^1 is named more than once in the same EMMEANS table."},
    {"Invalid COMPARE in EMMEANS ...",
     "COMPARE cannot be used with TABLES(OVERALL): there is only one mean."},
    {"End of subcommand after VS ...",
     "The subcommand ends after VS. Name the error term after VS."},
    {"End of subcommand where VS expected in TEST ...",
     "TEST ends after the effect to be tested. Give VS and the error term."},
    {"Wrong symbol ^1 where VS expected in TEST ...",
     "VS is expected after the effect to be tested on TEST; found ^1."},
    {"End of subcommand where left par. expected in TEST ...",
     "TEST ends after DF. Give the degrees of freedom in parentheses, as in DF(12)."},
    {"Wrong symbol ^1 where left par. expected in TEST ...",
     "A left parenthesis is expected after DF on TEST; found ^1."},
    {"Not positive df ^1 in TEST ...",
     "^1 is not valid degrees of freedom. DF on TEST must be a positive number."},
    {"End of subcommand where df expected in TEST ...",
     "TEST ends where the degrees of freedom are expected. Give them as in DF(12)."},
    {"Wrong symbol ^1 where df expected in TEST ...",
     "The degrees of freedom are expected in DF(...) on TEST; found ^1."},
    {"End of subcommand where right par. expected in TEST ...",
     "TEST ends before the right parenthesis of DF(...)."},
    {"Wrong symbol ^1 where right par. expected in TEST ...",
     "A right parenthesis is expected after the degrees of freedom on TEST; found ^1."},
    {"Not positive denominator ^1 in TEST ...",
     "^1 is not a valid denominator. The denominator of a fraction on TEST must be a positive "
     "number."},
    {"End of subcommand where star expected in TEST ...",
     "TEST ends after a coefficient. Write a coefficient as number*effect."},
    {"Wrong symbol ^1 where star expected in TEST ...",
     "An asterisk is expected after a coefficient on TEST, as in 2*A; found ^1."},
    {"End of subcommand after slash in TEST ...",
     "TEST ends after the slash of a fraction. Give the denominator."},
    {"Wrong symbol ^1 after slash in TEST ...",
     "The denominator of a fraction is expected after the slash on TEST; found ^1."},
    {"DF follows VS in TEST ...",
     "DF cannot follow VS directly on TEST. Give the error value first, as in VS 24.5 DF(12)."},
    {"Duplicate effect ^1 in LMATRIX ...",
     "The effect ^1 is named more than once in the same row of LMATRIX."},
    {"Bad number of repetitions in KMATRIX ^1 ...",
     "^1 is not a valid repetition count in KMATRIX. In n*value, n must be a whole number of 1 "
     "or more."},
    {"Unrecognized symbol in KMATRIX ^1 ...",
     "^1 is not valid in KMATRIX. Give numbers (n*value repeats a value, a/b is a fraction), with "
     "rows separated by semicolons."},
    {"SPREADLEVEL plot and no factors ...",
     "The spread-versus-level plot needs factors and is not produced."},
    {"Empty label in LMATRIX ...",
     "The label of an LMATRIX is empty. Give a label with text, or none."},
    {"Zero row in LMATRIX ...",
     "A row of LMATRIX has only zero coefficients and has been removed."},
    {"Zero LMATRIX ...",
     "Every row of LMATRIX has only zero coefficients, so there is no hypothesis to test."},
    {"POSTHOC error effect same as test effect ...",
     "The error term after VS on POSTHOC is the main effect of a factor being tested. Choose "
     "another error term."},
    {"Repeated list of tests in POSTHOC ...",
     "POSTHOC has more than one list of tests. Put all tests in one pair of parentheses."},
    {"VS before list of tests in POSTHOC ...",
     "VS must follow the list of tests on POSTHOC."},
    {"EMMEAN TABLES not allowed without factors ...",
     "EMMEANS TABLES can name factors only when the model has factors; use TABLES(OVERALL)."},
    {"EMMEAN WITH not allowed without covariates ...",
     "WITH on EMMEANS sets covariate values, but the model has no covariates."},
    {"EMMEAN WITH unrecognized symbol ^1 ...",
     "^1 is not a covariate of this analysis. WITH on EMMEANS takes covariates, each with a value "
     "or MEAN."},
    {"EMMEAN WITH invalid specification ^1 ...",
     "^1 is not a valid covariate value on EMMEANS WITH. Give a number or MEAN."},
    {"EMMEAN WITH contradict covariate spec ...",
     "A covariate is given two different values on EMMEANS WITH."},
    {"EMMEAN ADJ unrecognized symbol ^1 ...",
     "^1 is not an adjustment for multiple comparisons. ADJ takes LSD, NONE, BONFERRONI or "
     "SIDAK."},
    {"EMMEAN ADJ ignored without COMPARE ...",
     "ADJ on EMMEANS has no effect without COMPARE and is ignored."},
    {"EMMEAN COMPARE not TABLES factor ...",
     "The factor in COMPARE must be one of the factors of the EMMEANS table."},
    {"EMMEAN COMPARE cannot be omitted ...",
     "COMPARE must name a factor when the EMMEANS table has more than one factor."},
    {"No descriptive too many factors ...",
     "Descriptive statistics are not shown: there are too many factors (split-file variables "
     "included)."},
    {"No unequal var posthoc ^1 for multiple factors ...",
     "The post hoc test ^1, which does not assume equal variances, is available only when the "
     "design has a single factor. It is not performed."},
    {"PLOT WITH not allowed without covariates ...",
     "WITH on PLOT sets covariate values, but the model has no covariates."},
    {"Empty parentheses in PLOT WITH ...",
     "WITH on PLOT needs covariate values in the parentheses."},
    {"PLOT WITH unrecognized symbol ^1 ...",
     "^1 is not a covariate of this analysis. WITH on PLOT takes covariates, each with a value or "
     "MEAN."},
    {"PLOT WITH invalid specification ^1 ...",
     "^1 is not a valid covariate value on PLOT WITH. Give a number or MEAN."},
    {"PLOT WITH ignored when no PROFILE ...",
     "WITH on PLOT is ignored because no PROFILE plot is requested."},
    {"Undefined message ...",
     "An internal message with an unknown number was issued. Please report this problem."},

    // ---- Notes of the model fit. ^1 is the parameter label of a design column.
    {"Near-aliased parameter ^1 ...",
     "The parameter ^1 is nearly a linear combination of the parameters before it: its pivot is "
     "negligible against its sum of squares at the singularity tolerance (CRITERIA EPS), so it is "
     "treated as redundant and set to 0. Its data are not exactly collinear; a smaller EPS keeps it."},
    // ---- Notes on the case pass and the output.
    // List 1: the (name, value) pairs of the split group.
    {"[No valid cases in split :^1=^2:]1 ...",
     "There are no valid cases in the split group [%1=%2:, ^1=^2:]1. The group is skipped."},
    {"MISSING=EXCLUDE...",
     "MISSING=EXCLUDE: user-defined missing values are treated as missing."},
    {"MISSING=INCLUDE...",
     "MISSING=INCLUDE: user-defined missing values are treated as valid."},
    {"CASES USED...",
     "Statistics are based on all cases with valid data for all variables in the model."},
    // ^1: the regression-weight variable.
    {"Weighted Least Squares by ^1...",
     "Weighted Least Squares Regression - Weighted by ^1"},

    // Levene's test.
    {"Levene Test ...",
     "Levene's Test of Equality of Error Variances"},
    {"Levene tests the null ...",
     "Tests the null hypothesis that the error variance of the dependent variable is equal "
     "across groups."},
    {"Lev Not less than 2 nonempty...",
     "Levene's test is not computed because there are fewer than two non-empty groups."},
    // List 1: the (name, value) pairs of the split group.
    {"Lev Not less 2 nonempty [%1 = %2:, ^1 = ^2:]1",
     "Levene's test is not computed for the split group [%1=%2:, ^1=^2:]1 because it has fewer "
     "than two non-empty groups."},
    {"Test Not less than 2 nonempty some split...",
     "Levene's test is not computed for this split group because it has fewer than two "
     "non-empty groups."},

    // Between-subjects tests, estimable functions and L matrices.
    {"The Type IV testable ...",
     "The Type IV testable hypothesis is not unique."},
    {"Estimable not unique ...",
     "The default Type IV hypothesis for this effect is not unique."},
    {"Zero degrees of freedom ...",
     "Nothing is shown because there are zero degrees of freedom."},
    {"Contrast Coefficients ...",
     "Contrast Coefficients (L' Matrix)"},
    // List 1: the pieces of the effect's name.
    {"The estimable function for [:^1:]1 ...",
     "Estimable function of the hypothesis tested for [:^1:]1."},
    // ^1: the sum-of-squares type, written I, II, III or IV.
    {"This is the L transpose based on ^1 ...",
     "The default display of this matrix is the transpose of the corresponding L matrix, based "
     "on Type ^1 sums of squares."},
    {"This is the L transpose...",
     "The default display of this matrix is the transpose of the corresponding L matrix."},
    {"This sum of squares is missing ...",
     "This sum of squares is not shown because the combined error mean square is negative."},

    // Parameter estimates and contrasts.
    {"Redundant parameter ...",
     "This parameter is set to zero because it is redundant."},
    {"Cannot form L matrix ...",
     "The contrast cannot be computed: its coefficients cannot be expressed as estimable "
     "functions of the model parameters."},
    {"Reference category out of range ...",
     "The contrast cannot be computed: the reference category is greater than the number of "
     "levels of the factor."},
    {"Wrong number of values for SPECIAL ...",
     "The contrast cannot be computed: the number of SPECIAL coefficients is not a multiple of "
     "the number of levels of the factor."},
    {"Wrong number of values for POLYNOMIAL ...",
     "The contrast cannot be computed: the number of POLYNOMIAL metric values differs from the "
     "number of levels of the factor."},
    {"Wrong number of values for LMATRIX ALL ...",
     "The hypothesis cannot be tested: a row given with ALL does not have one coefficient per "
     "model parameter."},
    {"Wrong number of values for LMATRIX effect ...",
     "The hypothesis cannot be tested: the coefficients given for an effect do not match its "
     "number of parameters."},
    {"Cannot form L matrix for one level factor ...",
     "The contrast cannot be computed because the factor has only one level."},
    {"This L matrix not estimable ...",
     "The hypothesis is not testable: this L matrix is not estimable."},
    // ^1: the number of the L matrix.
    {"Based on L number ^1 ...",
     "Based on the user-specified contrast coefficients (L') matrix number ^1."},
    // ^1: the label of the L matrix.
    {"Based on L label ^1 ...",
     "Based on the user-specified contrast coefficients (L') matrix: ^1"},
    // ^1: the number of the L matrix.
    {"LMATRIX ALL ^1 wrong N ...",
     "LMATRIX number ^1: a row given with ALL does not have one coefficient per model parameter. "
     "The matrix is not tested."},
    // ^1: the number of the L matrix; list 2: the (name, value) pairs of the split group.
    {"LMATRIX ALL ^1 wrong N split [%1 = %2:, ^1 = ^2:]2 ...",
     "LMATRIX number ^1: a row given with ALL does not have one coefficient per model parameter "
     "in the split group [%1=%2:, ^1=^2:]2. The matrix is not tested for this group."},
    // ^1: the number of the L matrix; ^2: the effect.
    {"LMATRIX ^1 wrong N effect ^2 ...",
     "LMATRIX number ^1: the number of coefficients given for effect ^2 does not match its "
     "number of parameters. The matrix is not tested."},
    // ^1: the number of the L matrix; ^2: the effect; list 3: the split group's pairs.
    {"LMATRIX ^1 wrong N effect ^2 split [%1 = %2:, ^1 = ^2:]3 ...",
     "LMATRIX number ^1: the number of coefficients given for effect ^2 does not match its "
     "number of parameters in the split group [%1=%2:, ^1=^2:]3. The matrix is not tested for "
     "this group."},
    // ^1: the number of the L matrix.
    {"LMATRIX ^1 no tables ...",
     "No results are shown for LMATRIX number ^1 because of the problems reported above."},

    // Random effects.
    {"For each source...",
     "For each source, the expected mean square equals the sum of the coefficients in the cells "
     "times the variance components, plus a quadratic term involving effects in the Quadratic "
     "Term cell."},
    // ^1: the sum-of-squares type, written I, II, III or IV.
    {"Expected MS based on ^1 ...",
     "Expected Mean Squares are based on the Type ^1 Sums of Squares."},
    {"No Error Df...",
     "The F test cannot be computed: the error term has no degrees of freedom, or its mean "
     "square is negative."},
    {"No Error Term...",
     "The F test cannot be computed: no error term can be formed from the mean squares of this "
     "model."},

    // Post hoc tests and homogeneous subsets.
    // ^1: the factor; list 2: the (name, value) pairs of the split group.
    {"No POSTHOC for ^1 in [%1=%2:, ^1=^2:]2 ...",
     "Post hoc tests are not performed for ^1 in the split group [%1=%2:, ^1=^2:]2 because at "
     "least one group has fewer than two cases."},
    {"No POSTHOC for ^1 in [%1=%2:, ^1=^2:]2 zero error DF ...",
     "Post hoc tests are not performed for ^1 in the split group [%1=%2:, ^1=^2:]2 because the "
     "error term has zero degrees of freedom."},
    {"No POSTHOC for ^1 [%1=%2:, ^1=^2:]2 < 3 groups.",
     "Post hoc tests are not performed for ^1 in the split group [%1=%2:, ^1=^2:]2 because there "
     "are fewer than three groups."},
    // ^1: the factor.
    {"No POSTHOC for ^1 fewer than 3 groups.",
     "Post hoc tests are not performed for ^1 because there are fewer than three groups."},
    {"No POSTHOC for ^1 lack of cases.",
     "Post hoc tests are not performed for ^1 because at least one group has fewer than two "
     "cases."},
    {"No POSTHOC for ^1 zero error DF ...",
     "Post hoc tests are not performed for ^1 because the error term has zero degrees of "
     "freedom."},
    // ^1: the significance level.
    {"Mean difference is significant at ^1 ...",
     "The mean difference is significant at the ^1 level."},
    {"Dunnett has control group ...",
     "Dunnett t-tests treat one group as a control, and compare all other groups against it."},
    // List 1: the pieces of the error effect's name; ^2: the error mean square.
    {"Based on observed means. Error [:^1:]1 ...",
     "Based on observed means. The error term is Mean Square([:^1:]1) = ^2."},
    // ^1: the error mean square.
    {"Means are displayed2 ^1 ^2 ...",
     "Means for groups in homogeneous subsets are displayed. Based on observed means. The error "
     "term is Mean Square(Error) = ^1."},
    // List 1: the pieces of the error effect's name; ^2: the error mean square.
    {"Means are displayed1 ^1 [:^1:]2 ^3 ...",
     "Means for groups in homogeneous subsets are displayed. Based on observed means. The error "
     "term is Mean Square([:^1:]1) = ^2."},
    {"Critical range not monotonic ...",
     "Homogeneous subsets are not formed for this test because its critical ranges do not "
     "increase with the number of means spanned."},
    {"The group sizes are unequal ...",
     "The group sizes are unequal. The harmonic mean of the group sizes is used. Type I error "
     "levels are not guaranteed."},
    // ^1: the k-ratio.
    {"No Waller homogeneous subsets for alpha = ^1 ...",
     "The Waller-Duncan test forms no homogeneous subsets (Type 1/Type 2 Error Seriousness "
     "Ratio = ^1)."},
    // ^1: the significance level.
    {"No homogeneous subsets for alpha = ^1 ...",
     "No homogeneous subsets are formed at alpha = ^1."},
    // ^1: the error mean square of the model residual.
    {"Based on observed means.",
     "Based on observed means. The error term is Mean Square(Error) = ^1."},
    // ^1: the test's name; ^2: the factor.
    {"Posthoc test ^1 not computed for ^2 ...",
     "The ^1 test cannot be computed for ^2 with these data; it is left out of the tables."},
    // ^1: the control category requested; ^2: the number of levels; ^3: the factor; ^4: the test.
    {"Dunnett control ^1 beyond ^2 levels of ^3 ...",
     "^4: ^3 has ^2 levels, so there is no control category ^1; the last level is the control."},

    // Estimated marginal means.
    {"EMMEAN LSD ...",
     "Adjustment for multiple comparisons: Least Significant Difference (equivalent to no "
     "adjustments)."},
    {"EMMEAN Bonferroni ...",
     "Adjustment for multiple comparisons: Bonferroni."},
    {"EMMEAN Sidak ...",
     "Adjustment for multiple comparisons: Sidak."},
    {"Means modified ...",
     "Based on modified population marginal mean: only the observed cells are averaged."},
    {"Means nonestimable ...",
     "This mean is not estimable in this model."},
    {"BS level unobserved ...",
     "This level of the between-subjects factors is not observed, so its mean is not "
     "estimated."},
    {"Unobserved BS factor level not shown ...",
     "Columns for unobserved levels of the between-subjects factors are not shown."},
    {"Means (I) modified ...",
     "Mean (I) is a modified population marginal mean: only the observed cells are averaged."},
    {"Means (J) modified ...",
     "Mean (J) is a modified population marginal mean: only the observed cells are averaged."},
    {"Means (I) nonestim ...",
     "Mean (I) is not estimable in this model."},
    {"Means (J) nonestim ...",
     "Mean (J) is not estimable in this model."},
    {"Mean (I) not exist ...",
     "Mean (I) is not computed because its level is not observed."},
    {"Mean (J) not exist ...",
     "Mean (J) is not computed because its level is not observed."},
    {"Means (IJ) nonestim but ...",
     "Means (I) and (J) are not estimable, but their difference is."},
    {"Comparison nonestimable ...",
     "The difference of these means is not estimable, so the comparison is not computed."},
    // ^1: the COMPARE factor.
    {"Empty comparison table on ^1 ...",
     "Pairwise comparisons are not computed for ^1 because fewer than two of its levels can be "
     "compared."},
    {"Emmeans UNV annotation 1 for ^1 ...",
     "The F test of ^1 is not computed: the comparisons of its estimated marginal means are not "
     "estimable."},
    {"Emmeans UNV annotation 2 for ^1 ...",
     "The F test of ^1 is not computed where the comparisons of its estimated marginal means are "
     "not estimable."},
    {"Emmeans UNV annotation 3 for ^1 ...",
     "The F tests of ^1 are not computed for any dependent variable: the comparisons of its "
     "estimated marginal means are not estimable."},
    {"Emmeans UNV annotation 4 for ^1 ...",
     "The F tests of ^1 are not computed where the comparisons of its estimated marginal means "
     "are not estimable."},
    // The covariate values of the marginal means. List 1: (covariate, value) pairs.
    {"Evaluated at [%1 = %2:, ^1 = ^2:]1",
     "Covariates appearing in the model are evaluated at the following values: "
     "[%1 = %2:, ^1 = ^2:]1."},
    // ^1: the number of the EMMEANS request.
    {"Too many cells in emmean ^1",
     "The estimated marginal means of EMMEANS table ^1 are not computed: the table has too many "
     "cells."},
    // ^1: the number of the EMMEANS request; list 2: the (name, value) pairs of the split group.
    {"Too many cells in emmean ^1 split [%1 = %2:, ^1 = ^2]2",
     "The estimated marginal means of EMMEANS table ^1 are not computed for the split group "
     "[%1=%2:, ^1=^2]2: the table has too many cells."},
    // ---- Messages of the host and of the driver (unnumbered). Arguments as at the call.
    // ^1: the lexical problem; ^2, ^3: its line and column within the command.
    {"Lexical error ^1 at ^2 ^3 ...",
     "^1 at line ^2, column ^3 of the command."},
    {"No active data ...",
     "There is no active data: give a data file before running QUORVEST."},
    // ^1: the symbol that stands where the command name belongs ("an empty line" when none).
    {"Command not QUORVEST ^1 ...",
     "The command must begin with QUORVEST, not ^1."},
    // ^1: the routine; ^2: the condition that failed.
    {"Internal error in ^1 ^2 ...",
     "Internal error in ^1: the condition ^2 does not hold. The command was stopped; please "
     "report this with the command and data."},
    // ^1: what the run-time library reported.
    {"Internal error ^1 ...",
     "Internal error: ^1. The command was stopped; please report this with the command and "
     "data."},
    // ^1: the number of values.
    {"Non-finite data values ^1 ...",
     "^1 data values are not finite numbers (NaN or infinity); they are treated as "
     "system-missing."},
    // ^1: the split group, as name=value pairs.
    {"No valid cases in split group ^1 ...",
     "No valid cases in split group ^1."},
    // Saved variables. ^1: the number of new variables.
    {"Saved variables not written ^1 ...",
     "The ^1 new variables are not written anywhere: give --save-data FILE to write the data "
     "with them as a CSV file."},
    // ^1: the folder and why no scratch file can be made there.
    {"Work file failed ^1 ...",
     "The temporary work file of the analysis cannot be used: ^1."},
    {"Scratch file not created ^1 ...",
     "A scratch file for the saved values cannot be used (^1). Set TMPDIR to a folder with "
     "space."},
    // OUTFILE matrix files. ^1: the file and why it cannot be written.
    {"OUTFILE cannot write ^1 ...",
     "A matrix file cannot be written (^1). The command was stopped; no matrix file was "
     "written."},
    // ^1: the file.
    {"OUTFILE not written ^1 ...",
     "The matrix file ^1 was not written, because the command stopped with an error; a file of "
     "that name is left as it was."},
    // ^1: the subcommand or keyword that was read.
    {"Request not computed yet ^1 ...",
     "The ^1 request was read, but this version does not compute it yet: it produces no "
     "output."},
    // ^1: the dependent variable.
    {"Sums of squares out of range ^1 ...",
     "The sums of squares of ^1 exceed the range of the arithmetic; the tests for it are not "
     "computed. Rescale the variable (divide it by a power of ten)."},
    // Variable lists. ^1: the name; ^2: " Did you mean ...?" with the nearest names, or empty.
    {"Variable ^1 not in data ^2 ...",
     "Variable ^1 is not in the active data.^2"},
    // ^1: the first name of the range; ^2: the symbol after TO.
    {"No name after TO ^1 ^2 ...",
     "A variable name must follow TO in the range starting at ^1, not ^2."},
    // ^1, ^2: the two ends of the range.
    {"Range ^1 TO ^2 backwards ...",
     "In the range ^1 TO ^2, ^2 comes before ^1 in the active data; a range runs in the order "
     "of the variables in the data."},
    // ^1: the variable; ^2: its role in the list ("dependent variable" ...).
    {"String variable ^1 as ^2 ...",
     "^1 is a string variable, but the ^2 must be numeric."},
    {"TO not between names ...",
     "TO must come between two variable names."},
    // ^1: the role of the list; ^2: the symbol found.
    {"Variable list expected ^1 ^2 ...",
     "A list of ^1 was expected here, not ^2."},
    // ---- Custom hypothesis tables. List 1: the pieces of the hypothesis term's name.
    {"Estimable Function for [:^1:]1",
     "Estimable Function for [:^1:]1"},
    {"Post Hoc Tests #^1",
     "Post Hoc Tests #^1"},
    // ---- Post hoc footnotes, labels and notes shown as they stand.
    {"Alpha = ^1.",
     "Alpha = ^1."},
    {"Range values cannot be computed.",
     "Range values cannot be computed."},
    {"Significance",
     "Significance"},
    {"Subsets cannot be computed with alpha = ^1",
     "Subsets cannot be computed with alpha = ^1"},
    {"Type 1/Type 2 Error Seriousness Ratio = ^1.",
     "Type 1/Type 2 Error Seriousness Ratio = ^1."},
    {"Uses Harmonic Mean Sample Size = ^1.",
     "Uses Harmonic Mean Sample Size = ^1."},

    // ---- Profile plots ----
    // List 1: the plot's factors.
    {"PPLOTX [%1: * ^1:]1",
     "The profile plot of [%1: * ^1:]1 is not drawn: none of its means is estimable."},
    // List 1: the plot's factors; list 2: the (name, value) pairs of the split group.
    {"PPLOTX [%1: * ^1:]1 for [%1 = %2:, ^1 = ^2:]2",
     "The profile plot of [%1: * ^1:]1 for [%1 = %2:, ^1 = ^2:]2 is not drawn: none of its means "
     "is estimable."},
    // ^1: the dependent variable; list 2: the plot's factors.
    {"PPLOTX ^1 [%1: * ^1:]2",
     "The profile plot of ^1 by [%1: * ^1:]2 is not drawn: none of its means is estimable."},
    {"PPLOTX ^1 [%1: * ^1:]2 at ^3 = ^4",
     "The profile plot of ^1 by [%1: * ^1:]2 at ^3 = ^4 is not drawn: none of its means is "
     "estimable."},
    // As above; list 3 (list 5): the (name, value) pairs of the split group.
    {"PPLOTX ^1 [%1: * ^1:]2 for [%1 = %2:, ^1 = ^2:]3",
     "The profile plot of ^1 by [%1: * ^1:]2 for [%1 = %2:, ^1 = ^2:]3 is not drawn: none of its "
     "means is estimable."},
    {"PPLOTX ^1 [%1: * ^1:]2 at ^3 = ^4 for [%1 = %2:, ^1 = ^2:]5",
     "The profile plot of ^1 by [%1: * ^1:]2 at ^3 = ^4 for [%1 = %2:, ^1 = ^2:]5 is not drawn: "
     "none of its means is estimable."},
    // ---- Residual plots ----
    {"No residual plot zero rdf",
     "No residual plot is drawn: the residual has no degrees of freedom."},
    // List 1: the (name, value) pairs of the split group.
    {"No residual plot for [%1 = %2:, ^1 = ^2:]1 zero rdf",
     "No residual plot is drawn for [%1=%2:, ^1=^2:]1: the residual has no degrees of freedom."},
    // ^1: the dependent variable.
    {"No residual plot ^1 zero rsv",
     "No residual plot of ^1 is drawn: the residual variance is zero."},
    {"No residual plot ^1 no case",
     "No residual plot of ^1 is drawn: no case can be plotted."},
    // ^1: the dependent variable; list 2: the (name, value) pairs of the split group.
    {"No residual plot ^1 for [%1 = %2:, ^1 = ^2:]2 zero rsv",
     "No residual plot of ^1 is drawn for [%1=%2:, ^1=^2:]2: the residual variance is zero."},
    {"No residual plot ^1 for [%1 = %2:, ^1 = ^2:]2 no case",
     "No residual plot of ^1 is drawn for [%1=%2:, ^1=^2:]2: no case can be plotted."},

    // ---- Spread-versus-level plots ----
    {"No SPLEVEL plot",
     "No spread-versus-level plot is drawn: no cell has more than one case."},
    // List 1: the (name, value) pairs of the split group.
    {"No SPLEVEL plot for [%1 = %2:, ^1 = ^2:]1",
     "No spread-versus-level plot is drawn for [%1=%2:, ^1=^2:]1: no cell has more than one case."},
    // List 1: the plot's factors.
    {"PPLOTX too many cells [%1: * ^1:]1",
     "The profile plot of [%1: * ^1:]1 is not drawn: it has too many cells."},

    // ---- Hardening: overflowing covariates ----
    // ^1: the effect (a covariate, or a term holding one).
    {"Covariate sums of squares out of range ^1 ...",
     "The sums of squares of ^1 exceed the range of the arithmetic; it is left out of the model "
     "and its parameters are shown as redundant. Rescale the covariate (divide it by a power of "
     "ten)."},
};
// clang-format on

const CatalogueEntry* findEntry(std::string_view key) {
  for (const auto& e : kCatalogue)
    if (e.key == key) return &e;
  return nullptr;
}

bool endsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// ---- Composite templates --------------------------------------------------------------------

// One segment of a repeat group, parsed: literal text and element references.
struct Piece {
  std::string literal;  // used when element < 0
  int element = -1;     // 0-based tuple element
};

struct Segment {
  std::vector<Piece> pieces;
  bool hasReference = false;
};

Segment parseSegment(std::string_view s) {
  Segment seg;
  std::string lit;
  auto flush = [&] {
    if (!lit.empty()) seg.pieces.push_back(Piece{lit, -1});
    lit.clear();
  };
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '\\' && i + 1 < s.size()) {
      lit += s[++i];
    } else if ((c == '^' || c == '%' || c == '$') && i + 1 < s.size() && s[i + 1] >= '1' && s[i + 1] <= '9') {
      flush();
      seg.pieces.push_back(Piece{{}, s[i + 1] - '1'});
      seg.hasReference = true;
      ++i;
    } else {
      lit += c;
    }
  }
  flush();
  return seg;
}

void renderSegment(const Segment& seg, const std::vector<std::string>* tuple, std::string& out) {
  for (const auto& p : seg.pieces) {
    if (p.element < 0) {
      out += p.literal;
    } else if (tuple && static_cast<size_t>(p.element) < tuple->size()) {
      out += (*tuple)[static_cast<size_t>(p.element)];
    }
  }
}

// Renders the inside of one repeat group "[...]" over a list.
std::string renderGroup(std::string_view body, const RepeatList& list) {
  if (list.empty()) return {};
  // Split at unescaped colons: head, middle, tail. Extra colons stay in the tail.
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\\') {
      ++i;
    } else if (body[i] == ':' && parts.size() < 2) {
      parts.push_back(body.substr(start, i - start));
      start = i + 1;
    }
  }
  parts.push_back(body.substr(start));
  Segment head, middle, tail;
  if (parts.size() == 1) {
    middle = parseSegment(parts[0]);
  } else {
    head = parseSegment(parts[0]);
    middle = parseSegment(parts[1]);
    if (parts.size() == 3) tail = parseSegment(parts[2]);
  }
  size_t first = 0, last = list.size();  // tuples [first, last) go through the middle
  std::string out;
  if (head.hasReference) {
    renderSegment(head, &list[0], out);
    first = 1;
  } else {
    renderSegment(head, nullptr, out);
  }
  const bool tailTakesLast = tail.hasReference && last > first;
  if (tailTakesLast) --last;
  for (size_t i = first; i < last; ++i) renderSegment(middle, &list[i], out);
  if (tailTakesLast) {
    renderSegment(tail, &list.back(), out);
  } else if (!tail.hasReference) {
    renderSegment(tail, nullptr, out);
  }
  return out;
}

// Finds the end of a repeat group starting at tmpl[open] == '[': the index of its "]" when it
// is followed by a digit 1..9, else npos.
size_t groupEnd(const std::string& tmpl, size_t open) {
  for (size_t i = open + 1; i < tmpl.size(); ++i) {
    if (tmpl[i] == '\\') {
      ++i;
    } else if (tmpl[i] == ']') {
      if (i + 1 < tmpl.size() && tmpl[i + 1] >= '1' && tmpl[i + 1] <= '9') return i;
      return std::string::npos;
    }
  }
  return std::string::npos;
}

template <typename ListFor>
std::string expand(const std::string& tmpl, const std::vector<std::string>& args, ListFor listFor) {
  std::string out;
  out.reserve(tmpl.size() + 16);
  for (size_t i = 0; i < tmpl.size(); ++i) {
    char c = tmpl[i];
    if (c == '\\' && i + 1 < tmpl.size()) {
      out += tmpl[++i];
    } else if (c == '^' && i + 1 < tmpl.size() && tmpl[i + 1] >= '1' && tmpl[i + 1] <= '9') {
      size_t n = static_cast<size_t>(tmpl[i + 1] - '1');
      if (n < args.size()) out += args[n];
      ++i;
    } else if (c == '[') {
      size_t close = groupEnd(tmpl, i);
      if (close == std::string::npos) {
        out += c;
        continue;
      }
      int position = tmpl[close + 1] - '0';
      std::string_view body(tmpl.data() + i + 1, close - i - 1);
      out += renderGroup(body, listFor(position));
      i = close + 1;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

bool isCatalogueKey(const std::string& text) { return endsWith(text, "..."); }

bool catalogueHas(const std::string& key) { return findEntry(key) != nullptr; }

std::string catalogueText(const std::string& key) {
  if (const CatalogueEntry* e = findEntry(key)) return std::string(e->text);
  std::string k = key;
  if (endsWith(k, " ...")) {
    k.resize(k.size() - 4);
  } else if (endsWith(k, "...")) {
    k.resize(k.size() - 3);
  }
  if (k.rfind("QVT ", 0) == 0) k = k.substr(4);
  return k;
}

std::string expandTemplate(const std::string& tmpl, const std::vector<std::string>& args) {
  static const RepeatList kNoList;
  return expand(tmpl, args, [](int) -> const RepeatList& { return kNoList; });
}

std::string expandComposite(const std::string& tmpl, const std::vector<std::string>& args,
                            const RepeatList& repeatList) {
  return expand(tmpl, args, [&](int) -> const RepeatList& { return repeatList; });
}

std::string expandCompositeLists(const std::string& tmpl, const std::vector<std::string>& args,
                                 const std::map<int, RepeatList>& lists) {
  static const RepeatList kNoList;
  return expand(tmpl, args, [&](int position) -> const RepeatList& {
    auto it = lists.find(position);
    return it == lists.end() ? kNoList : it->second;
  });
}

}  // namespace qv
