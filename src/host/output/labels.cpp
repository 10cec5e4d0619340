#include "host/output/labels.h"

#include "host/output/messages.h"

namespace qv::out {

namespace {

// The caption lists the pairs as name=value. The pairs are joined with ", " so that two split
// variables read "sex=1, region=North" rather than running together as "sex=1region=North";
// with one split variable this is the plain "name=value".
constexpr const char* kSplitCaptionTemplate = "[%1=%2:, ^1=^2:]1";

// "L" followed by the column number.
constexpr const char* kLColumnTemplate = "^1^2";

}  // namespace

std::string splitGroupCaption(const std::vector<std::pair<std::string, std::string>>& pairs) {
  RepeatList list;
  list.reserve(pairs.size());
  for (const auto& [name, value] : pairs) list.push_back({name, value});
  return expandComposite(kSplitCaptionTemplate, {}, list);
}

std::string lColumnLabel(long column) {
  return expandTemplate(kLColumnTemplate, {"L", std::to_string(column)});
}

}  // namespace qv::out
