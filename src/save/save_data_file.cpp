#include "save/save_data_file.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "host/sysmis.h"
#include "save/atomic_file.h"

namespace qv {

namespace {

// Appends ",<value>" in the shortest form that reads back to the same double.
void appendValue(std::string& s, double x) {
  s += ',';
  if (isSysmis(x)) return;
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, x);
  s.append(buf, res.ptr);
}

// A CSV field for a name: quoted when it holds a comma, a quote or a line break.
std::string csvField(const std::string& v) {
  if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
  std::string q = "\"";
  for (char c : v) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

bool sameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec) && !ec;
}

}  // namespace

std::string dictionaryPathFor(const std::string& dataOut) {
  std::filesystem::path p(dataOut);
  if (p.extension() == ".csv" || p.extension() == ".CSV") p.replace_extension();
  return p.string() + ".dict.json";
}

bool checkSaveDataTarget(const std::string& out, const std::vector<std::string>& inputs, std::string& why) {
  if (out == "-") {
    why = "--save-data -: the saved data must go to a file";
    return false;
  }
  const std::string dict = dictionaryPathFor(out);
  for (const std::string& target : {out, dict}) {
    for (const std::string& in : inputs) {
      if (!in.empty() && in != "-" && sameFile(target, in)) {
        why = target + ": refusing to overwrite the input file " + in;
        return false;
      }
    }
    if (!checkWritable(target, why)) return false;
  }
  return true;
}

bool writeSaveData(const std::string& dataIn, const std::string& dictionaryIn, const std::string& out,
                   const std::vector<SavedVariable>& vars, std::string& why) {
  std::ifstream in(dataIn, std::ios::binary);
  if (!in) {
    why = dataIn + ": cannot read it again to write the saved data";
    return false;
  }
  AtomicFile data;
  if (!data.open(out, why)) return false;

  // Records are copied as read; a record may span lines inside quotes. Empty lines are copied
  // unchanged (the reader skips them).
  std::string line, record;
  bool inQuotes = false, header = true;
  size_t row = 0;
  // Each command's values come from its own store, read once front to back.
  std::vector<SavedValueStore*> stores;
  for (const auto& v : vars)
    if (std::find(stores.begin(), stores.end(), v.store.get()) == stores.end())
      stores.push_back(v.store.get());
  std::vector<std::vector<double>> caseValues(stores.size());
  for (size_t s = 0; s < stores.size(); ++s) caseValues[s].resize(stores[s]->width());
  std::vector<size_t> storeOf;
  for (const auto& v : vars)
    storeOf.push_back(
        static_cast<size_t>(std::find(stores.begin(), stores.end(), v.store.get()) - stores.begin()));
  const size_t rows = stores.empty() ? 0 : static_cast<size_t>(std::max(0L, stores.front()->cases()));
  bool ended = false;
  while (!ended) {
    ended = !std::getline(in, line);
    const bool newline = !ended && !in.eof();
    if (ended && record.empty()) break;
    if (!ended) {
      for (char c : line)
        if (c == '"') inQuotes = !inQuotes;
      record += line;
      if (inQuotes && newline) {
        record += '\n';
        continue;
      }
    }
    ended = ended || !newline;
    // The record, without its line end, and the line end.
    std::string end;
    if (!record.empty() && record.back() == '\r') {
      end = "\r";
      record.pop_back();
    }
    const bool empty = record.find_first_not_of('\r') == std::string::npos;
    if (!empty) {
      if (header) {
        for (const auto& v : vars) record += "," + csvField(v.name);
        header = false;
      } else {
        if (!vars.empty() && row >= rows) {
          why = dataIn + ": the data file holds more cases than were analysed; was it changed?";
          return false;
        }
        for (size_t s = 0; s < stores.size(); ++s) {
          if (!stores[s]->valuesAt(static_cast<int64_t>(row), caseValues[s].data())) {
            why = "the saved values cannot be read back from their scratch file";
            return false;
          }
        }
        for (size_t v = 0; v < vars.size(); ++v) appendValue(record, caseValues[storeOf[v]][vars[v].column]);
        ++row;
      }
    }
    data.write(record);
    data.write(end);
    if (newline) data.write("\n", 1);
    record.clear();
  }
  if (in.bad()) {
    why = dataIn + ": read error";
    return false;
  }
  if (!vars.empty() && row != rows) {
    why = dataIn + ": the data file holds fewer cases than were analysed; was it changed?";
    return false;
  }

  nlohmann::ordered_json dict = nlohmann::ordered_json::object();
  if (!dictionaryIn.empty()) {
    std::ifstream din(dictionaryIn, std::ios::binary);
    try {
      dict = nlohmann::ordered_json::parse(din);
    } catch (const std::exception&) {
      why = dictionaryIn + ": cannot read it again to write the saved dictionary";
      return false;
    }
  }
  if (!dict.contains("variables") || !dict["variables"].is_object())
    dict["variables"] = nlohmann::ordered_json::object();
  for (const auto& v : vars) dict["variables"][v.name] = {{"type", "numeric"}, {"label", v.label}};
  AtomicFile dictOut;
  if (!data.complete(why) || !dictOut.open(dictionaryPathFor(out), why)) return false;
  dictOut.write(dict.dump(2) + "\n");
  // Both files go into place only when both are complete.
  if (!dictOut.complete(why) || !dictOut.commit(why)) return false;
  return data.commit(why);
}

}  // namespace qv
