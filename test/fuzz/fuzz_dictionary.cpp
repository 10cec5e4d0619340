// Fuzz target: dictionary files applied to a fixed small data set.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  qv::DataOptions o;
  o.dataPath = "fuzz.csv";
  o.dictionaryPath = "fuzz.json";
  qv::InputError err;
  const std::string dict(reinterpret_cast<const char*>(bytes), size);
  if (dict.empty()) return 0;
  auto data = qv::DataSource::openText(qvfuzz::kData, o, err, dict);
  if (data) qvfuzz::runAndRender(*data, "QUORVEST y BY a b WITH x /PRINT=DESCRIPTIVE PARAMETER");
  return 0;
}
