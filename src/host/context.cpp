#include "host/context.h"

#include "host/output/messages.h"

namespace qv {

void Context::message(int number, out::Phase phase, out::Severity severity, const std::string& param) {
  const MessageDef& def = messageDef(number);
  out::Message m;
  m.severity = severity;
  m.phase = phase;
  m.number = number;
  m.key = def.key;
  std::vector<std::string> args;
  if (def.hasParam) args.push_back(param);
  m.text = expandTemplate(catalogueText(def.key), args);
  if (severity == out::Severity::Error) errorFlag = true;
  emit(std::move(m));
}

void Context::note(const std::string& key, out::Severity severity, const std::vector<std::string>& args,
                   out::Phase phase) {
  out::Message m;
  m.severity = severity;
  m.phase = phase;
  m.key = key;
  m.text = expandTemplate(catalogueText(key), args);
  if (severity == out::Severity::Error) errorFlag = true;
  emit(std::move(m));
}

void Context::emit(out::Item item) {
  if (!headingStack.empty()) {
    headingStack.back()->items.push_back(std::move(item));
  } else if (output) {
    output->items.push_back(std::move(item));
  }
}

void Context::beginHeading(const std::string& text) {
  auto h = std::make_shared<out::Heading>();
  h->text = text;
  out::Heading* raw = h.get();
  emit(std::move(h));
  headingStack.push_back(raw);
}

void Context::emitTable(out::TableBuilder& tb) {
  if (!splitCaption.empty()) tb.setSplit(splitCaption);
  emit(tb.finish());
}

void Context::endHeading() {
  if (!headingStack.empty()) headingStack.pop_back();
}

}  // namespace qv
