// Fuzz target: command scripts over a fixed small data set.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "host/syntax/tokenizer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const std::unique_ptr<qv::DataSource> data = [] {
    qv::DataOptions o;
    o.dataPath = "fuzz.csv";
    qv::InputError err;
    return qv::DataSource::openText(qvfuzz::kData, o, err);
  }();
  const std::string script(reinterpret_cast<const char*>(bytes), size);
  for (const auto& cmd : qv::syntax::splitCommands(script)) qvfuzz::runAndRender(*data, cmd.text);
  return 0;
}
