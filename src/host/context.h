#pragma once
// The host context passed explicitly to every routine of the procedure: the active data,
// the output being recorded for the current command, the host error flag and the message
// routine. There is no global state.
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "host/assert.h"  // QV_ASSERT and InternalError, for the routines that take a context
#include "host/data/case_stream.h"
#include "host/output/document.h"
#include "host/syntax/tokenizer.h"

namespace qv {

struct SavedVariable;

struct Context {
  const DataSource* data = nullptr;  // may be null when no data file was given
  out::CommandOutput* output = nullptr;
  bool errorFlag = false;  // set by every error message; stops the command (see Steps)
  char decimalChar = '.';  // the locale's decimal character
  // Where the variables created by SAVE go (the run's new columns of the active data); null
  // when the run does not keep them.
  std::vector<SavedVariable>* savedVariables = nullptr;

  // True once the command has reported an error: every later step of the command is skipped.
  bool failed() const { return errorFlag; }

  // Issues a numbered message of the procedure (the key comes from the catalogue).
  // `param` replaces ^1 when the key takes a parameter.
  void message(int number, out::Phase phase, out::Severity severity, const std::string& param = "");
  // Issues an unnumbered message with a key or template (expanded with args).
  void note(const std::string& key, out::Severity severity, const std::vector<std::string>& args = {},
            out::Phase phase = out::Phase::Processing);

  // Appends an item to the current output position (inside the innermost open heading).
  void emit(out::Item item);
  void beginHeading(const std::string& text);
  void endHeading();
  // Finishes a table, stamps it with the split-group caption when split files are on, and
  // emits it.
  void emitTable(out::TableBuilder& tb);

  // (name, value) pairs of the current split group; empty when split files are off.
  std::vector<std::pair<std::string, std::string>> splitCaption;

  std::vector<out::Heading*> headingStack;

  // The symbols of the command being parsed (null outside parsing): a command-phase message is
  // located at the current one.
  const syntax::Tokenizer* commandTokens = nullptr;

 private:
  void locate(out::Message& m) const;
};

// A sequence of steps of a command that the error flag stops: each step runs only while no
// error has been reported, so the first error ends the sequence cleanly without a hand check
// after every call.
//   Steps steps(ctx);
//   steps.then([&] { return layoutDesign(ctx, st); })  // a bool step: false stops the sequence
//       .when(st.printDescriptives, [&] { printDescriptives(ctx, st, work); })
//       .then([&] { fitModel(ctx, st, work); });
//   if (!steps.ok()) break;
class Steps {
 public:
  explicit Steps(Context& ctx) : ctx_(ctx) {}

  // Runs `step` unless the sequence has stopped. A step that returns bool stops the sequence by
  // returning false (it could not be done, though it may not have reported an error).
  template <class Step>
  Steps& then(Step&& step) {
    if (!ok()) return *this;
    if constexpr (std::is_same_v<std::invoke_result_t<Step&>, bool>) {
      if (!step()) stopped_ = true;
    } else {
      step();
    }
    return *this;
  }
  // Runs `step` when it is wanted (a requested analysis) and the sequence has not stopped.
  template <class Step>
  Steps& when(bool wanted, Step&& step) {
    return wanted ? then(std::forward<Step>(step)) : *this;
  }
  // True while no step has failed and no error has been reported.
  bool ok() const { return !stopped_ && !ctx_.failed(); }

 private:
  Context& ctx_;
  bool stopped_ = false;
};

}  // namespace qv
