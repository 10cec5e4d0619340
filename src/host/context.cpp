#include "host/context.h"

#include "host/output/labels.h"
#include "host/output/messages.h"

namespace qv {

namespace {

// A user's text quoted in a message: cut to a sensible length, and characters that cannot be
// seen (NUL, byte-order mark, no-break and zero-width spaces) named.
std::string quotedUserText(const std::string& s) {
  constexpr size_t kMaxBytes = 80;
  std::string out;
  size_t i = 0;
  for (; i < s.size() && out.size() < kMaxBytes; ++i) {
    const std::string_view rest(s.data() + i, s.size() - i);
    if (s[i] == '\0') {
      out += "<U+0000>";
    } else if (rest.starts_with("\xEF\xBB\xBF")) {
      out += "<U+FEFF>";
      i += 2;
    } else if (rest.starts_with("\xC2\xA0")) {
      out += "<U+00A0>";
      i += 1;
    } else if (rest.starts_with("\xE2\x80\x8B")) {
      out += "<U+200B>";
      i += 2;
    } else {
      out += s[i];
    }
  }
  if (i < s.size()) {
    // Do not end inside a multi-byte character.
    while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
    if (!out.empty() && static_cast<unsigned char>(out.back()) >= 0xC0) out.pop_back();
    out += "\u2026";
  }
  return out;
}

}  // namespace

void Context::locate(out::Message& m) const {
  if (messagePlace.known()) {
    m.line = messagePlace.line;
    m.column = messagePlace.column;
    return;
  }
  if (m.phase != out::Phase::Command || !commandTokens) return;
  const syntax::Token& t = commandTokens->current();
  m.line = t.line;
  m.column = t.column;
}

void Context::message(int number, out::Phase phase, out::Severity severity, const std::string& param) {
  const MessageDef& def = messageDef(number);
  out::Message m;
  m.severity = severity;
  m.phase = phase;
  m.number = number;
  m.key = def.key;
  std::vector<std::string> args;
  if (def.hasParam) args.push_back(quotedUserText(param));
  m.text = expandTemplate(catalogueText(def.key), args);
  locate(m);
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
  locate(m);
  if (severity == out::Severity::Error) errorFlag = true;
  emit(std::move(m));
}

void Context::message(int number, out::Phase phase, out::Severity severity, const std::string& param,
                      syntax::SourcePlace at) {
  MessagePlace here(*this, at);
  message(number, phase, severity, param);
}

void Context::note(const std::string& key, out::Severity severity, const std::vector<std::string>& args,
                   out::Phase phase, syntax::SourcePlace at) {
  MessagePlace here(*this, at);
  note(key, severity, args, phase);
}

void Context::splitGroupNote(const std::string& key, const std::string& splitKey, out::Severity severity,
                             const std::vector<std::string>& args) {
  if (splitCaption.empty()) {
    note(key, severity, args);
    return;
  }
  out::Message m;
  m.severity = severity;
  m.phase = out::Phase::Processing;
  m.key = splitKey;
  m.text = expandComposite(catalogueText(splitKey), args, splitGroupList());
  locate(m);
  if (severity == out::Severity::Error) errorFlag = true;
  emit(std::move(m));
}

RepeatList Context::splitGroupList() const {
  RepeatList list;
  for (const auto& [name, value] : splitCaption) list.push_back({name, value});
  return list;
}

void Context::emit(out::Item item) {
  // A message built by hand (with a repeat list, say) is placed like one issued above.
  if (auto* m = std::get_if<out::Message>(&item); m && m->line == 0 && messagePlace.known()) {
    m->line = messagePlace.line;
    m->column = messagePlace.column;
  }
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

void Context::emitTableTitledBySplitGroup(out::TableBuilder& tb) {
  if (!splitCaption.empty()) tb.setSplit(splitCaption);
  out::Table t = tb.finish();
  if (separateSplitOutput()) t.title = out::splitGroupCaption(splitCaption);
  emit(std::move(t));
}

bool Context::separateSplitOutput() const { return !splitCaption.empty() && data && data->splitSeparate(); }

void Context::endHeading() {
  if (!headingStack.empty()) headingStack.pop_back();
}

}  // namespace qv
