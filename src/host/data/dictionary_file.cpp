#include "host/data/dictionary_file.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <set>

#include "host/data/csv_scanner.h"
#include "host/output/messages.h"

namespace qv {

namespace {

using nlohmann::json;

std::string upperAscii(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

void lineColumnAt(const std::string& text, size_t offset, long& line, long& column) {
  line = 1;
  column = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
}

// Where `"key"` followed by a colon first occurs; nlohmann keeps no positions of values, so
// entries are located by their key.
void locateKey(const std::string& text, const std::string& key, long& line, long& column) {
  line = column = 0;
  const std::string quoted = json(key).dump();
  for (size_t at = text.find(quoted); at != std::string::npos; at = text.find(quoted, at + 1)) {
    size_t k = at + quoted.size();
    while (k < text.size() && std::isspace(static_cast<unsigned char>(text[k]))) ++k;
    if (k < text.size() && text[k] == ':') {
      lineColumnAt(text, at, line, column);
      return;
    }
  }
}

// A parse that builds nothing and records where the first failure is.
struct ErrorLocator : nlohmann::json_sax<json> {
  size_t byte = 0;
  std::string token;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t position, const std::string& last,
                   const nlohmann::detail::exception&) override {
    token = last.substr(0, 40);
    byte = position >= last.size() ? position - last.size() : 0;  // where the token starts
    return false;
  }
};

struct Fail {
  std::string text;
};

std::string typeName(const json& j) { return j.type_name(); }

PrintFormat parseFormatText(const std::string& s) {
  // TYPE WIDTH [. DECIMALS], e.g. F8.2, A12, E10.3.
  size_t i = 0;
  while (i < s.size() && std::isalpha(static_cast<unsigned char>(s[i]))) ++i;
  std::string type = upperAscii(s.substr(0, i));
  if (type.size() != 1) throw Fail{"format \"" + s + "\" is not of the form F8.2 (types F, E, N, A)"};
  PrintFormat f;
  f.type = type[0];
  const char* p = s.data() + i;
  const char* e = s.data() + s.size();
  auto r = std::from_chars(p, e, f.width);
  if (r.ec != std::errc() || r.ptr == p) throw Fail{"format \"" + s + "\" has no width"};
  p = r.ptr;
  f.decimals = 0;
  if (p < e && *p == '.') {
    ++p;
    auto r2 = std::from_chars(p, e, f.decimals);
    if (r2.ec != std::errc() || r2.ptr == p)
      throw Fail{"format \"" + s + "\" has no decimals after the period"};
    p = r2.ptr;
  }
  if (p != e) throw Fail{"format \"" + s + "\" is not of the form F8.2 (types F, E, N, A)"};
  return f;
}

PrintFormat parseFormat(const json& j) {
  PrintFormat f;
  if (j.is_string()) {
    f = parseFormatText(j.get<std::string>());
  } else if (j.is_object()) {
    for (auto it = j.begin(); it != j.end(); ++it) {
      if (it.key() == "type") {
        if (!it->is_string() || it->get<std::string>().size() != 1)
          throw Fail{"format \"type\" must be one letter (F, E, N or A)"};
        f.type = static_cast<char>(std::toupper(static_cast<unsigned char>(it->get<std::string>()[0])));
      } else if (it.key() == "width") {
        if (!it->is_number_integer()) throw Fail{"format \"width\" must be an integer"};
        f.width = it->get<int>();
      } else if (it.key() == "decimals") {
        if (!it->is_number_integer()) throw Fail{"format \"decimals\" must be an integer"};
        f.decimals = it->get<int>();
      } else {
        throw Fail{"format has an unknown key \"" + it.key() + "\" (known: type, width, decimals)"};
      }
    }
  } else {
    throw Fail{"\"format\" must be a text such as \"F8.2\" or an object {type, width, decimals}, not " +
               typeName(j)};
  }
  if (f.type == 'A') f.decimals = 0;
  if (f.type != 'F' && f.type != 'E' && f.type != 'N' && f.type != 'A')
    throw Fail{std::string("format type ") + f.type + " is not supported (F, E, N or A)"};
  if (f.width < 1 || f.width > 40) throw Fail{"format width must be between 1 and 40"};
  if (f.decimals < 0 || f.decimals > 16 || (f.type != 'A' && f.decimals >= f.width && f.width > 1))
    throw Fail{"format decimals must be between 0 and 16 and less than the width"};
  return f;
}

DeclaredValue declaredValue(const json& j, const char* what) {
  DeclaredValue v;
  if (j.is_number()) {
    v.isNumber = true;
    v.number = j.get<double>();
  } else if (j.is_string()) {
    v.text = j.get<std::string>();
  } else {
    throw Fail{std::string(what) + " must be numbers or texts, not " + typeName(j)};
  }
  return v;
}

double rangeEnd(const json& j, const char* name) {
  if (!j.is_number()) throw Fail{std::string("missing-value range \"") + name + "\" must be a number"};
  return j.get<double>();
}

void parseMissing(const json& j, DeclaredVariable& d) {
  auto list = [&](const json& arr) {
    if (!arr.is_array()) throw Fail{"missing values must be a list, e.g. [9, 99]"};
    for (const auto& x : arr) d.missingValues.push_back(declaredValue(x, "missing values"));
  };
  if (j.is_array()) {
    list(j);
    return;
  }
  if (!j.is_object())
    throw Fail{"\"missing\" must be a list of values or an object {values, range}, not " + typeName(j)};
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (it.key() == "values") {
      list(*it);
    } else if (it.key() == "range") {
      if (!it->is_object()) throw Fail{"missing-value \"range\" must be an object {low, high}"};
      double low = -HUGE_VAL, high = HUGE_VAL;
      bool any = false;
      for (auto r = it->begin(); r != it->end(); ++r) {
        if (r.key() == "low") {
          low = rangeEnd(*r, "low");
        } else if (r.key() == "high") {
          high = rangeEnd(*r, "high");
        } else {
          throw Fail{"missing-value range has an unknown key \"" + r.key() + "\" (known: low, high)"};
        }
        any = true;
      }
      if (!any) throw Fail{"missing-value range needs \"low\", \"high\" or both"};
      if (low > high) throw Fail{"missing-value range has low above high"};
      d.missingRange = std::make_pair(low, high);
    } else {
      throw Fail{"\"missing\" has an unknown key \"" + it.key() + "\" (known: values, range)"};
    }
  }
}

void parseVariable(const json& j, DeclaredVariable& d) {
  if (!j.is_object()) throw Fail{"the entry must be an object, not " + typeName(j)};
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string& k = it.key();
    const json& v = *it;
    if (k == "type") {
      std::string t = v.is_string() ? upperAscii(v.get<std::string>()) : "";
      if (t == "NUMERIC")
        d.type = VarType::Numeric;
      else if (t == "STRING")
        d.type = VarType::String;
      else
        throw Fail{"\"type\" must be \"numeric\" or \"string\""};
    } else if (k == "width") {
      if (!v.is_number_integer() || v.get<long long>() < 1 || v.get<long long>() > 32767)
        throw Fail{"\"width\" must be an integer from 1 to 32767"};
      d.width = v.get<int>();
    } else if (k == "label") {
      if (!v.is_string()) throw Fail{"\"label\" must be a text"};
      d.label = v.get<std::string>();
    } else if (k == "value_labels") {
      if (!v.is_object()) throw Fail{"\"value_labels\" must be an object {value: label}"};
      for (auto l = v.begin(); l != v.end(); ++l) {
        if (!l->is_string()) throw Fail{"the value label of " + l.key() + " must be a text"};
        d.valueLabels.emplace_back(l.key(), l->get<std::string>());
      }
    } else if (k == "missing") {
      parseMissing(v, d);
    } else if (k == "format") {
      d.format = parseFormat(v);
    } else if (k != "comment") {
      throw Fail{"unknown key \"" + k +
                 "\" (known: type, width, label, value_labels, missing, format, comment)"};
    }
  }
}

}  // namespace

bool readDictionaryText(const std::string& text, const std::string& file, std::vector<DeclaredVariable>& out,
                        InputError& err) {
  err = InputError{file, 0, 0, {}};
  if (text.size() > kMaxDictionaryBytes) {
    err.text = "the dictionary is larger than " + std::to_string(kMaxDictionaryBytes >> 20) +
               " MiB; is it a dictionary file?";
    return false;
  }
  json doc;
  std::vector<std::string> variableKeys;  // every key of the "variables" object, duplicates included
  std::string topKey;                     // the top-level key whose value is being read
  try {
    doc = json::parse(text, [&](int depth, json::parse_event_t ev, json& parsed) {
      if (ev == json::parse_event_t::key && parsed.is_string()) {
        if (depth == 1)
          topKey = parsed.get<std::string>();
        else if (depth == 2 && topKey == "variables")
          variableKeys.push_back(parsed.get<std::string>());
      }
      return true;
    });
  } catch (const json::parse_error& e) {
    lineColumnAt(text, e.byte > 0 ? e.byte - 1 : 0, err.line, err.column);
    std::string what = e.what();
    size_t colon = what.find(": ");
    err.text = "malformed JSON: " + (colon == std::string::npos ? what : what.substr(colon + 2));
    return false;
  } catch (const json::exception&) {
    // A number beyond the double range: the exception has no place, so the text is read once
    // more by a parser that keeps the place of the first failure.
    ErrorLocator where;
    json::sax_parse(text, &where);
    lineColumnAt(text, where.byte, err.line, err.column);
    err.text = "malformed JSON: number overflow: " + where.token + " is beyond the range of numbers";
    return false;
  }
  if (!doc.is_object() || !doc.contains("variables")) {
    err.line = 1;
    err.column = 1;
    err.text = "a dictionary file is a JSON object with a \"variables\" object (see docs/dictionary.md)";
    return false;
  }
  for (auto it = doc.begin(); it != doc.end(); ++it) {
    // file_label: the label of a file written by the program (matrix files); not used here.
    if (it.key() != "variables" && it.key() != "comment" && it.key() != "file_label") {
      locateKey(text, it.key(), err.line, err.column);
      err.text = "unknown key \"" + it.key() + "\" (known: variables, comment, file_label)";
      return false;
    }
  }
  const json& vars = doc["variables"];
  if (!vars.is_object()) {
    locateKey(text, "variables", err.line, err.column);
    err.text = "\"variables\" must be an object {name: {...}}";
    return false;
  }
  std::set<std::string> seen;
  for (const auto& k : variableKeys) {
    if (!seen.insert(upperAscii(k)).second) {
      locateKey(text, k, err.line, err.column);
      err.text = "variable \"" + k + "\" is declared twice (names are compared without regard to case)";
      return false;
    }
  }
  out.clear();
  for (auto it = vars.begin(); it != vars.end(); ++it) {
    DeclaredVariable d;
    d.name = it.key();
    locateKey(text, d.name, d.line, d.column);
    try {
      parseVariable(*it, d);
    } catch (const Fail& f) {
      err.line = d.line;
      err.column = d.column;
      err.text = "variable \"" + d.name + "\": " + f.text;
      return false;
    }
    out.push_back(std::move(d));
  }
  return true;
}

bool applyDeclaration(const DeclaredVariable& d, Variable& v, const std::string& file, InputError& err) {
  auto fail = [&](const std::string& text) {
    err = InputError{file, d.line, d.column, "variable \"" + d.name + "\": " + text};
    return false;
  };
  if (d.label) v.label = userText(*d.label);

  // Value labels are keyed by the value's key form, so that "1", "1.0" and "01" are one value.
  for (const auto& [raw, label] : d.valueLabels) {
    if (v.isString()) {
      v.valueLabels[stringKey(raw)] = userText(label);
    } else {
      csv::ParsedNumber n = csv::parseNumber(raw);
      if (n.kind != csv::NumberKind::Finite)
        return fail("value label key \"" + raw + "\" is not a number, but the variable is numeric");
      v.valueLabels[numberKey(n.value)] = userText(label);
    }
  }

  for (const auto& m : d.missingValues) {
    if (v.isString()) {
      v.missing.strings.push_back(m.isNumber ? numberKey(m.number) : stringKey(m.text));
    } else if (m.isNumber) {
      v.missing.numbers.push_back(m.number);
    } else {
      csv::ParsedNumber n = csv::parseNumber(m.text);
      if (n.kind != csv::NumberKind::Finite)
        return fail("missing value \"" + m.text + "\" is not a number, but the variable is numeric");
      v.missing.numbers.push_back(n.value);
    }
  }
  if (d.missingRange) {
    if (v.isString()) return fail("a missing-value range needs a numeric variable");
    v.missing.range = d.missingRange;
  }

  if (d.format) {
    bool stringFormat = d.format->type == 'A';
    if (stringFormat != v.isString())
      return fail(std::string("format type ") + d.format->type + " does not fit a " +
                  (v.isString() ? "string" : "numeric") + " variable");
    v.format = *d.format;
  }
  return true;
}

}  // namespace qv
