#pragma once
// The active data: a CSV file (first row = variable names) with its dictionary, read in
// streaming passes. A pass walks the cases in file order, grouped into split groups: runs of
// consecutive cases with equal values of the split variables.
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/data/dictionary.h"

namespace qv {

class Cluster;

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
  // The processes that share the conversion (null: this process converts every case). Each then
  // converts its own byte ranges of a data file (without split variables), plus the cases up to
  // the end of the last block of `shareBlockCases` cases that starts among its own (see
  // DataSource::sharedCases).
  Cluster* cluster = nullptr;
  long shareBlockCases = 65536;
  // Refuse a data path that names a pipe or device (every process of a cluster reads the file).
  bool regularFileOnly = false;
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

// The non-zero decimal remainder of one numeric field: its exact decimal value minus the double.
struct DecimalRemainder {
  uint32_t row;     // row of the CaseColumns (or of the converted block)
  uint32_t column;  // the variable
  double value;
};

// A run of converted cases held column by column, as DataSource::readRange hands them out: row k
// is case first + k of the data (all split groups counted), and the rows [begin, end) are the ones
// asked for. The pointers stay valid only during the call that receives the columns.
struct CaseColumns {
  long first = 0;
  uint32_t begin = 0, end = 0;
  // Per variable: its numbers, one a row (kSysmis when empty); null for a string variable.
  std::vector<const double*> numbers;
  // Per string variable: its bytes, row after row, and the offset of each row's text in them
  // (one more than the rows); null for a numeric variable.
  std::vector<const char*> text;
  std::vector<const uint32_t*> textAt;
  // The non-zero remainders, in row order.
  const DecimalRemainder* remainders = nullptr;
  size_t remainderCount = 0;

  std::string_view string(int var, uint32_t row) const {
    const uint32_t* at = textAt[static_cast<size_t>(var)];
    return at ? std::string_view(text[static_cast<size_t>(var)] + at[row], at[row + 1] - at[row])
              : std::string_view();
  }
};

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
  // When the conversion was shared among processes: the cases [begin, end) this process
  // converted of its own byte ranges (false when it converted every case). Of the data's blocks
  // of DataOptions::shareBlockCases cases, this process reads the ones that start among them,
  // whole; no other case can be read here.
  virtual bool sharedCases(long& begin, long& end) const {
    (void)begin, (void)end;
    return false;
  }
  // Reads the cases [begin, end) of the data (0-based, all split groups counted) without a
  // reader: hands `visit` the converted blocks that hold them, in case order. Several threads may
  // read ranges at once. Returns false when the source cannot (then read the cases through
  // read()); throws DataChanged like a reader.
  virtual bool readRange(long begin, long end, const std::function<void(const CaseColumns&)>& visit) const {
    (void)begin, (void)end, (void)visit;
    return false;
  }
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
  // The cases of the current split group that next() has not delivered yet, as the range
  // [begin, end) of the data's cases for DataSource::readRange, when the reader can find it
  // (false otherwise: read them by next()). Then skipGroup() moves past them.
  virtual bool groupRange(long& begin, long& end) const {
    (void)begin, (void)end;
    return false;
  }
  // Moves past the rest of the current group (after groupRange, once its cases were read through
  // readRange) as if next() had delivered them.
  virtual void skipGroup() {
    while (next()) {
    }
  }

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
bool isMissingString(const Variable& v, std::string_view s, bool includeUserMissing);

}  // namespace qv
