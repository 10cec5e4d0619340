#pragma once
// The JSON dictionary file (--dictionary): what it declares about each variable, before the data
// are seen. docs/dictionary.md describes the format.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/data/case_stream.h"
#include "host/data/dictionary.h"

namespace qv {

// A value written in the file: a JSON number or a JSON string.
struct DeclaredValue {
  bool isNumber = false;
  double number = 0.0;
  std::string text;
};

struct DeclaredVariable {
  std::string name;
  std::optional<VarType> type;
  std::optional<int> width;
  std::optional<std::string> label;
  std::vector<std::pair<std::string, std::string>> valueLabels;  // (value as written, label)
  std::vector<DeclaredValue> missingValues;
  std::optional<std::pair<double, double>> missingRange;
  std::optional<PrintFormat> format;
  long line = 0, column = 0;  // where the variable's entry is in the file
  int index = -1;             // its column in the data file, once the header is read
};

// The largest dictionary file read; anything bigger is refused before it is parsed.
constexpr size_t kMaxDictionaryBytes = size_t{64} << 20;

// Parses the text of a dictionary file. On failure fills `err` (file, line, column, text) and
// returns false.
bool readDictionaryText(const std::string& text, const std::string& file, std::vector<DeclaredVariable>& out,
                        InputError& err);

// Copies the labels, user-missing values and print format of a declaration into a variable whose
// type is settled. Fails when a value does not fit the type (a string missing value for a numeric
// variable, a format of the other type, ...).
bool applyDeclaration(const DeclaredVariable& d, Variable& v, const std::string& file, InputError& err);

}  // namespace qv
