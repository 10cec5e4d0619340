#pragma once
// The active data: a CSV file (first row = variable names) with its dictionary, read in
// streaming passes. A pass walks the cases in file order, grouped into split groups: runs of
// consecutive cases with equal values of the split variables.
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "host/data/dictionary.h"

namespace qv {

struct DataOptions {
  std::string dataPath;
  std::string dictionaryPath;          // optional JSON dictionary
  std::string weightVar;               // optional case weight variable
  std::vector<std::string> splitVars;  // optional split-file variables
  bool splitSeparate = false;          // --split-layout separate
  // Threads that convert the data in byte ranges (0: the cores available). The output does not
  // depend on it.
  int threads = 0;
  // The smallest byte range worth a thread of its own (tests lower it to split small files).
  long long minRangeBytes = 1LL << 20;
};

// A problem with an input file, located for the user.
struct InputError {
  std::string file;
  long line = 0;    // 1-based; 0 when not tied to a line
  long column = 0;  // 1-based; 0 when not tied to a column
  std::string text;
  std::string describe() const;  // "file:line:column: text"
};

class CaseReader;

// The data file changed or vanished after it was opened: the user's situation, not a fault of
// a command. It ends the run rather than one command.
struct DataChanged : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class DataSource {
 public:
  // Opens and validates the data file (and dictionary file), infers variable types and converts
  // the cases once into a work store (in memory while small, else in the temporary folder).
  // A dataPath of "-", a named pipe or a device is read once as a stream.
  // Returns nullptr and fills `err` when a file is missing, unreadable or malformed.
  static std::unique_ptr<DataSource> open(const DataOptions& opts, InputError& err);
  // The same over CSV text held in memory (tests, generated data). `dictionaryJson` is the text
  // of a dictionary file ("" for none); opts.dataPath and opts.dictionaryPath only name the
  // inputs in messages.
  static std::unique_ptr<DataSource> openText(std::string csv, const DataOptions& opts, InputError& err,
                                              const std::string& dictionaryJson = "");
  virtual ~DataSource() = default;

  virtual const Dictionary& dictionary() const = 0;
  virtual int weightIndex() const = 0;                       // -1 when no case weight
  virtual const std::vector<int>& splitIndexes() const = 0;  // empty when split files are off
  virtual bool splitSeparate() const = 0;
  // Number of data values that were not finite (NaN, Inf) and are read as system-missing.
  virtual long nonFiniteCount() const = 0;
  // Number of cases in the data (all split groups); an upper bound for any one group.
  virtual long caseCount() const { return 0; }
  // Starts a fresh pass over the cases. The reader must not outlive the source. A reader
  // throws DataChanged when the file cannot be read any more or was changed after open().
  virtual std::unique_ptr<CaseReader> read() const = 0;
};

class CaseReader {
 public:
  virtual ~CaseReader() = default;
  // Advances to the next case of the current split group. Returns false at the end of the
  // group (or of the data); then call nextGroup().
  virtual bool next() = 0;
  // Moves on to the next split group. Returns false when the data are exhausted.
  // The first group starts without a call.
  virtual bool nextGroup() = 0;
  // True once every case of the data has been delivered by next() (at once for no cases).
  virtual bool endOfData() const = 0;

  // Values of the current case. Numbers are kSysmis when the field was empty.
  virtual double number(int var) const = 0;
  // The field's exact decimal value minus number(var), rounded to a double (0 when the number
  // is exact or the source keeps no more digits).
  virtual double numberRemainder(int var) const {
    (void)var;
    return 0.0;
  }
  // False when every numberRemainder of the current case is 0 (a cheap test that spares the
  // per-field queries on data whose numbers are exact as doubles).
  virtual bool anyRemainder() const { return true; }
  virtual const std::string& string(int var) const = 0;
  // The case weight: 1.0 when no weight variable; kSysmis when the weight value is missing.
  virtual double caseWeight() const = 0;
  // (name, value as shown) pairs of the split variables for the current group.
  virtual std::vector<std::pair<std::string, std::string>> splitCaption() const = 0;
  // The split variables' values of the current group in key form (numbers in shortest
  // round-trip form, "" for a missing number; strings without trailing blanks).
  virtual std::vector<std::string> splitKeys() const { return {}; }
};

// User- and system-missing tests under the current missing-value treatment.
bool isMissingNumber(const Variable& v, double x, bool includeUserMissing);
bool isMissingString(const Variable& v, const std::string& s, bool includeUserMissing);

}  // namespace qv
