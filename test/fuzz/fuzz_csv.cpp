// Fuzz target: CSV data files, read and checked, then passed over case by case and analysed
// with the first column as the dependent variable.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  qv::DataOptions o;
  o.dataPath = "fuzz.csv";
  qv::InputError err;
  auto data = qv::DataSource::openText(std::string(reinterpret_cast<const char*>(bytes), size), o, err);
  if (!data) return 0;
  try {
    auto r = data->read();
    do {
      while (r->next()) {
        for (int v = 0; v < static_cast<int>(data->dictionary().vars.size()); ++v) {
          (void)r->number(v);
          (void)r->string(v);
        }
        (void)r->caseWeight();
      }
      (void)r->splitCaption();
    } while (r->nextGroup());
  } catch (const qv::DataChanged&) {
    return 0;  // cannot happen for text held in memory, but is no fault of the reader
  }
  const auto& vars = data->dictionary().vars;
  if (vars.size() >= 2) {
    std::string cmd = "QUORVEST " + vars[0].name + " BY " + vars[1].name;
    if (vars.size() >= 3) cmd += " WITH " + vars[2].name;
    qvfuzz::runAndRender(*data, cmd + " /PRINT=DESCRIPTIVE PARAMETER HOMOGENEITY");
  }
  return 0;
}
