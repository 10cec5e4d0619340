// The quorvest program: runs QUORVEST command scripts over a CSV data file and writes the
// output document as text or JSON.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "driver/qvtctl.h"
#include "host/context.h"
#include "host/data/case_stream.h"
#include "host/output/render.h"
#include "host/syntax/tokenizer.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitCommandError = 1;
constexpr int kExitUsage = 2;

struct Options {
  std::string script;
  std::string command;
  std::string data;
  std::string dictionary;
  std::string weight;
  std::vector<std::string> split;
  std::string splitLayout = "layered";
  std::string format = "text";
  std::string output;
  std::string saveData;
};

int usageError(const std::string& text) {
  std::cerr << "quorvest: " << text << "\n";
  return kExitUsage;
}

// Reads a script file ("-" for standard input). A file that is not text is refused with the
// place of the first bad byte.
bool readScript(const std::string& path, std::string& text, std::string& why) {
  if (path == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
      why = path + ": cannot open: it is a directory";
      return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      why = path + ": cannot open: " + std::strerror(errno);
      return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) {
      why = path + ": read error";
      return false;
    }
    text = ss.str();
  }
  long line = 1, column = 1;
  for (char c : text) {
    if (c == '\0') {
      why = (path == "-" ? std::string("<stdin>") : path) + ":" + std::to_string(line) + ":" +
            std::to_string(column) + ": the script holds a NUL byte; is it a text file?";
      return false;
    }
    if (c == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return true;
}

// Writes the file through a temporary file in the same directory and a rename, so that a
// reader never sees half a document and a failure leaves nothing behind.
bool writeAtomically(const std::string& path, const std::string& text, std::string& why) {
  namespace fs = std::filesystem;
  fs::path target(path);
  fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  std::string tmp = (dir / ("." + target.filename().string() + ".tmpXXXXXX")).string();
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) {
    why = path + ": cannot write: " + std::strerror(errno);
    return false;
  }
  // mkstemp makes the file private; give it the mode an ordinary new file would get.
  mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  size_t done = 0;
  bool ok = true;
  while (ok && done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      done += static_cast<size_t>(n);
  }
  if (!ok) why = path + ": cannot write: " + std::strerror(errno);
  if (::close(fd) != 0 && ok) {
    ok = false;
    why = path + ": cannot write: " + std::strerror(errno);
  }
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    why = path + ": cannot write: " + std::strerror(errno);
  }
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

qv::out::Message stoppedMessage(const std::string& key, const std::string& text) {
  qv::out::Message m;
  m.severity = qv::out::Severity::Error;
  m.phase = qv::out::Phase::Processing;
  m.key = key;
  m.text = text;
  return m;
}

// Runs one command with a fresh context; no failure of the procedure escapes.
qv::out::CommandOutput runCommand(const std::string& text, const qv::DataSource* data) {
  qv::out::CommandOutput co;
  co.command = text;
  qv::Context ctx;
  ctx.data = data;
  ctx.output = &co;
  bool stopped = false;
  try {
    qv::QVTCTL(ctx, text);
  } catch (const qv::InternalError& e) {
    stopped = true;
    co.items.push_back(
        stoppedMessage("Internal error ...",
                       "Internal error: the check \"" + e.condition + "\" failed in " + e.routine +
                           ". The command was stopped; this is a fault of the program, please report it."));
  } catch (const std::bad_alloc&) {
    stopped = true;
    co.items.push_back(stoppedMessage("Insufficient memory ...",
                                      "There is not enough memory to run the command. It was stopped."));
  } catch (const std::exception& e) {
    stopped = true;
    co.items.push_back(
        stoppedMessage("Command stopped ...", std::string("The command was stopped: ") + e.what()));
  }
  co.error = ctx.errorFlag || stopped;
  return co;
}

const char* kFooter =
    R"(A script holds one or more QUORVEST commands; a command ends with a period at the end of
a line or with the end of the file. Each command starts afresh.

Examples:
  quorvest examples/yield.qv --data examples/yield.csv --dictionary examples/dictionary.json
  quorvest -e "QUORVEST yield BY fert irrig WITH nitrogen /PRINT=PARAMETER." \
           --data examples/yield.csv --format json -o yield.json

Data: CSV with the variable names in the first row; an empty field is a missing value; a
column with any text that is not a number is a string variable. The dictionary file (JSON)
adds types, labels, value labels, user-missing values and print formats (docs/dictionary.md).

Exit status: 0 when every command ran without an error; 1 when a command reported an error;
2 for a usage error or an unreadable script, data or dictionary file.)";

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"Runs QUORVEST commands (univariate general linear model) over a CSV data file.", "quorvest"};
  app.set_version_flag("--version", "quorvest 0.1");
  auto* scriptOpt =
      app.add_option("SCRIPT", o.script, "command script file (\"-\" reads standard input)")->type_name("");
  auto* commandOpt =
      app.add_option("-e,--command", o.command, "command text instead of a script file")->type_name("TEXT");
  scriptOpt->excludes(commandOpt);
  app.add_option("--data", o.data, "active data: CSV file, first row = variable names")->type_name("FILE");
  app.add_option("--dictionary", o.dictionary,
                 "JSON dictionary: types, widths, labels, value labels, user-missing values, formats")
      ->type_name("FILE");
  app.add_option("--weight", o.weight, "case (frequency) weight variable")->type_name("VAR");
  app.add_option("--split", o.split,
                 "split-file variables; a group is a run of consecutive cases with equal values")
      ->delimiter(',')
      ->type_name("VAR[,VAR...]");
  app.add_option("--split-layout", o.splitLayout, "split groups in one layered table or separate tables")
      ->check(CLI::IsMember({"layered", "separate"}))
      ->type_name("LAYOUT")
      ->capture_default_str();
  app.add_option("--format", o.format, "output format")
      ->check(CLI::IsMember({"text", "json", "html"}))
      ->type_name("FORMAT")
      ->capture_default_str();
  app.add_option("-o,--output", o.output, "output file (default: standard output)")->type_name("FILE");
  app.add_option("--save-data", o.saveData,
                 "write the active data with the variables created by SAVE, as CSV (+ .dict.json)")
      ->type_name("FILE");
  app.footer(kFooter);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return usageError(std::string(e.what()) + "\nRun 'quorvest --help' for the options.");
  }

  if (!o.saveData.empty()) return usageError("--save-data is not supported yet");
  if (o.script.empty() && commandOpt->count() == 0)
    return usageError("no commands: give a SCRIPT file or -e TEXT (see 'quorvest --help')");
  if (o.data.empty() && (!o.dictionary.empty() || !o.weight.empty() || !o.split.empty()))
    return usageError("--dictionary, --weight and --split need a data file (--data FILE)");

  // Every input is read and checked before any command runs or any output is written.
  std::string script = o.command;
  if (!o.script.empty()) {
    std::string why;
    if (!readScript(o.script, script, why)) return usageError(why);
  }

  std::unique_ptr<qv::DataSource> data;
  if (!o.data.empty()) {
    qv::DataOptions dopt;
    dopt.dataPath = o.data;
    dopt.dictionaryPath = o.dictionary;
    dopt.weightVar = o.weight;
    dopt.splitVars = o.split;
    dopt.splitSeparate = o.splitLayout == "separate";
    qv::InputError err;
    data = qv::DataSource::open(dopt, err);
    if (!data) return usageError(err.describe());
  }

  const auto commands = qv::syntax::splitCommands(script);
  if (commands.empty())
    return usageError((o.script.empty() ? std::string("-e") : o.script) + ": there is no command to run");

  qv::out::Document doc;
  int failed = 0;
  for (const auto& cmd : commands) {
    doc.commands.push_back(runCommand(cmd.text, data.get()));
    if (doc.commands.back().error) ++failed;
  }

  std::string rendered;
  try {
    rendered = o.format == "json"   ? qv::out::renderJson(doc)
               : o.format == "html" ? qv::out::renderHtml(doc)
                                    : qv::out::renderText(doc);
  } catch (const std::exception& e) {
    std::cerr << "quorvest: the output could not be rendered: " << e.what() << "\n";
    return kExitCommandError;
  }
  if (o.output.empty()) {
    std::cout << rendered << std::flush;
    if (!std::cout) return usageError("cannot write to standard output");
  } else {
    std::string why;
    if (!writeAtomically(o.output, rendered, why)) return usageError(why);
  }
  if (failed > 0) {
    std::cerr << "quorvest: " << failed << " of " << doc.commands.size()
              << (doc.commands.size() == 1 ? " command" : " commands") << " reported an error\n";
    return kExitCommandError;
  }
  return kExitOk;
}
