#pragma once
// The host context passed explicitly to every routine of the procedure: the active data,
// the output being recorded for the current command, the host error flag and the message
// routine. There is no global state.
#include <string>
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
  bool errorFlag = false;  // set by every error message; stops the command
  char decimalChar = '.';  // the locale's decimal character
  // Where the variables created by SAVE go (the run's new columns of the active data); null
  // when the run does not keep them.
  std::vector<SavedVariable>* savedVariables = nullptr;
  // Output files of the run (matrix files): the files an output must never replace (the
  // run's inputs and its other outputs), and whether an output file could not be written
  // (the run then ends with the usage-error status).
  std::vector<std::string> protectedFiles;
  bool outputFileFailed = false;

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

}  // namespace qv
