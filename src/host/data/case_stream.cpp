#include "host/data/case_stream.h"

namespace qv {

// Provisional: the CSV data source replaces this.
std::unique_ptr<DataSource> DataSource::open(const DataOptions& opts, InputError& err) {
  err.file = opts.dataPath;
  err.text = "data files are not supported yet";
  return nullptr;
}

std::string InputError::describe() const {
  std::string s = file;
  if (line > 0) s += ":" + std::to_string(line);
  if (column > 0) s += ":" + std::to_string(column);
  return s + ": " + text;
}

}  // namespace qv
