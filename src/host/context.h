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
#include "host/output/messages.h"
#include "host/syntax/tokenizer.h"

namespace qv {

struct SavedVariable;
class Cluster;

struct Context {
  const DataSource* data = nullptr;  // may be null when no data file was given
  out::CommandOutput* output = nullptr;
  bool errorFlag = false;  // set by every error message; stops the command (see Steps)
  char decimalChar = '.';  // the locale's decimal character
  // Threads of the passes over the cases (at least 1), and the cases in one block of a pass
  // (results do not depend on either; a small block serves tests of the block merges).
  int threads = 1;
  long caseBlock = 65536;  // kDefaultBlockCases
  // Bytes of a group's cases, and of the partial results held for other processes, kept in memory
  // before they go to the temporary folder (a small value serves tests of the files).
  size_t workMemoryBytes = size_t{32} << 20;  // CaseWorkFile::kMemoryBytes
  // The processes that share the passes over the cases (host/cluster.h); null for one process.
  Cluster* cluster = nullptr;
  // Whether this process writes the run's output files (OUTFILE matrix files). False on every
  // process of a cluster but the first, which compute the same and leave the files to it.
  bool writesFiles = true;
  // Where the variables created by SAVE go (the run's new columns of the active data); null
  // when the run does not keep them.
  std::vector<SavedVariable>* savedVariables = nullptr;
  // Output files of the run (matrix files): the files an output must never replace (the
  // run's inputs and its other outputs), and whether an output file could not be written
  // (the run then ends with the usage-error status).
  std::vector<std::string> protectedFiles;
  bool outputFileFailed = false;

  // True once the command has reported an error: every later step of the command is skipped.
  bool failed() const { return errorFlag; }

  // Issues a numbered message of the procedure (the key comes from the catalogue).
  // `param` replaces ^1 when the key takes a parameter.
  void message(int number, out::Phase phase, out::Severity severity, const std::string& param = "");
  // Issues an unnumbered message with a key or template (expanded with args).
  void note(const std::string& key, out::Severity severity, const std::vector<std::string>& args = {},
            out::Phase phase = out::Phase::Processing);
  // The same, located at a symbol of the command (a known place wins over every other rule
  // below), for messages issued after the parser has moved on from the symbol they concern.
  void message(int number, out::Phase phase, out::Severity severity, const std::string& param,
               syntax::SourcePlace at);
  void note(const std::string& key, out::Severity severity, const std::vector<std::string>& args,
            out::Phase phase, syntax::SourcePlace at);
  // Issues a note in its plain form `key`, or, when split files are in force, in the form
  // `splitKey`, whose repeat list names the split group's (variable, value) pairs.
  void splitGroupNote(const std::string& key, const std::string& splitKey, out::Severity severity,
                      const std::vector<std::string>& args = {});
  // The split group's (variable, value) pairs as a repeat list of a message template.
  RepeatList splitGroupList() const;

  // Appends an item to the current output position (inside the innermost open heading).
  void emit(out::Item item);
  void beginHeading(const std::string& text);
  void endHeading();
  // Finishes a table, stamps it with the split-group caption when split files are on, and
  // emits it.
  void emitTable(out::TableBuilder& tb);
  // The same for a table that, when split groups are printed separately, takes the group's
  // caption ("g=1") as its title; the outline headings around it then say what it is.
  void emitTableTitledBySplitGroup(out::TableBuilder& tb);
  // Whether a split group is being analysed and the groups are printed separately
  // (--split-layout separate) rather than as layers of shared tables.
  bool separateSplitOutput() const;

  // (name, value) pairs of the current split group; empty when split files are off.
  std::vector<std::pair<std::string, std::string>> splitCaption;

  std::vector<out::Heading*> headingStack;

  // The symbols of the command being parsed (null outside parsing): a command-phase message is
  // located at the current one.
  const syntax::Tokenizer* commandTokens = nullptr;
  // Where the messages issued now belong when they do not say (see MessagePlace); unknown
  // outside such a scope.
  syntax::SourcePlace messagePlace;

 private:
  void locate(out::Message& m) const;
};

// Locates the messages issued during its lifetime that carry no place of their own at one
// symbol of the command (the request a step of the analysis works on), and restores the
// previous place on every way out. An unknown place leaves the enclosing one in force.
class MessagePlace {
 public:
  MessagePlace(Context& ctx, syntax::SourcePlace at) : ctx_(ctx), saved_(ctx.messagePlace) {
    if (at.known()) ctx.messagePlace = at;
  }
  ~MessagePlace() { ctx_.messagePlace = saved_; }
  MessagePlace(const MessagePlace&) = delete;
  MessagePlace& operator=(const MessagePlace&) = delete;

 private:
  Context& ctx_;
  syntax::SourcePlace saved_;
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
