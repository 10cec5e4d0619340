#pragma once
// The data dictionary: variables with their types, widths, labels, value labels,
// user-missing values and print formats.
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qv {

enum class VarType { Numeric, String };

struct PrintFormat {
  char type = 'F';  // 'F' fixed, 'A' string, ...
  int width = 8;
  int decimals = 2;
};

struct MissingValues {
  std::vector<double> numbers;                     // discrete user-missing numeric values
  std::optional<std::pair<double, double>> range;  // low..high (inclusive), numeric only
  std::vector<std::string> strings;  // discrete user-missing string values (trailing blanks ignored)
  bool empty() const { return numbers.empty() && !range && strings.empty(); }
};

struct Variable {
  std::string name;
  VarType type = VarType::Numeric;
  int width = 0;  // string width in characters; 0 for numeric
  std::string label;
  // Value labels keyed by the value as written in the data (numbers in shortest round-trip
  // form, strings without trailing blanks).
  std::unordered_map<std::string, std::string> valueLabels;
  MissingValues missing;
  PrintFormat format;

  bool isString() const { return type == VarType::String; }
};

struct Dictionary {
  std::vector<Variable> vars;  // in file order; a variable's index is its position here

  // Index of a variable by name (names compare case-insensitively), -1 when absent.
  int find(const std::string& name) const;
  // Names nearest to `name`, for "did you mean" hints.
  std::vector<std::string> nearest(const std::string& name, size_t count = 3) const;
};

// Key form of a numeric value: shortest round-trip text ("1", "2.5", "1e+20"); integers carry
// no ".0", -0 reads "0" and the system-missing value gives the empty string.
std::string numberKey(double x);
// Key form of a string value: trailing blanks removed.
std::string stringKey(std::string_view s);

}  // namespace qv
