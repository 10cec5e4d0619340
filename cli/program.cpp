// The body of the quorvest programs (quorvest, and quorvest-mpi on the processes of an MPI job):
// runs QUORVEST command scripts over a CSV data file and writes the output document.
#include "program.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "data/case_blocks.h"
#include "driver/qvtctl.h"
#include "host/cluster.h"
#include "host/context.h"
#include "host/data/case_stream.h"
#include "host/output/render.h"
#include "host/syntax/tokenizer.h"
#include "parse/dispatcher.h"
#include "save/atomic_file.h"
#include "save/save_data_file.h"

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
  std::string split;  // comma-separated names
  std::string splitLayout = "layered";
  std::string format = "text";
  std::string output;
  std::string saveData;
  std::string chartsDir;                    // --charts: folder for one SVG file per chart; empty = none
  int threads = 0;                          // --threads: 0 = the cores available
  long caseBlock = qv::kDefaultBlockCases;  // --case-block (hidden): cases in one block of a pass
};

// One process of the run: the program's name in its messages, whether it speaks (prints
// messages and writes the output and every output file) and the processes it shares the passes
// over the cases with. Alone, or as the first process (rank 0) of a cluster, it speaks; the
// other processes of a cluster compute the same and stay silent.
class Run {
 public:
  explicit Run(qv::Cluster* cluster)
      : cluster_(cluster),
        first_(!cluster || cluster->rank() == 0),
        name_(cluster ? "quorvest-mpi" : "quorvest"),
        silent_(nullptr) {}

  qv::Cluster* cluster() const { return cluster_; }
  bool first() const { return first_; }
  const std::string& name() const { return name_; }
  // Standard output and standard error on the process that speaks; a stream that drops
  // everything on the others.
  std::ostream& out() { return first_ ? std::cout : silent_; }
  std::ostream& err() { return first_ ? std::cerr : silent_; }

  int usageError(const std::string& text) {
    err() << name_ << ": " << text << "\n";
    return kExitUsage;
  }

  // A step that the first process alone takes (reading the script, checking the files it alone
  // writes), its outcome handed to every process: true when it succeeded; otherwise `why` holds
  // the reason on every process. `text`, when given, carries the step's result with a success.
  bool onFirst(const std::function<bool(std::string& why)>& step, std::string& why,
               std::string* text = nullptr) {
    bool ok = first_ ? step(why) : false;
    if (!cluster_) return ok;
    const std::string mine = first_ ? (ok ? "1" + (text ? *text : std::string()) : "0" + why) : std::string();
    const std::string theFirst = cluster_->allGather(mine).at(0);
    if (theFirst.empty()) throw std::runtime_error("the first process handed in no outcome");
    ok = theFirst[0] == '1';
    if (!ok) why = theFirst.substr(1);
    if (ok && text && !first_) *text = theFirst.substr(1);
    return ok;
  }

  // A step that every process takes itself (opening the data file): true when it succeeded on
  // every process; otherwise `why` is the first failure, naming its process when that is not
  // the first.
  bool onEvery(bool ok, std::string& why) {
    if (!cluster_) return ok;
    const std::vector<std::string> all = cluster_->allGather(ok ? std::string() : "0" + why);
    for (size_t r = 0; r < all.size(); ++r) {
      if (all[r].empty()) continue;
      why = (r == 0 ? std::string() : "process " + std::to_string(r) + ": ") + all[r].substr(1);
      return false;
    }
    return true;
  }

  // The exit status of the run: the first process's, on every process.
  int shareStatus(int status) {
    if (!cluster_) return status;
    return std::stoi(cluster_->allGather(std::to_string(status)).at(0));
  }

 private:
  qv::Cluster* cluster_;
  bool first_;
  std::string name_;
  std::ostream silent_;  // no buffer: every write is dropped
};

// The largest script read; a bigger input (a device, a wrong file) is refused before it fills
// the memory.
constexpr size_t kMaxScriptBytes = size_t{16} << 20;

// Reads at most `limit` + 1 bytes of the stream, in pieces.
void readBounded(std::istream& in, size_t limit, std::string& text) {
  text.clear();
  std::vector<char> piece(size_t{1} << 16);
  while (text.size() <= limit) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    text.append(piece.data(), static_cast<size_t>(in.gcount()));
    if (!in) break;
  }
}

// Reads a script file ("-" for standard input). A file that is not text is refused with the
// place of the first bad byte.
bool readScript(const std::string& path, std::string& text, std::string& why) {
  const std::string name = path == "-" ? std::string("<stdin>") : path;
  if (path == "-") {
    readBounded(std::cin, kMaxScriptBytes, text);
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
    readBounded(in, kMaxScriptBytes, text);
    if (in.bad()) {
      why = path + ": read error";
      return false;
    }
  }
  if (text.size() > kMaxScriptBytes) {
    why = name + ": the script is larger than " + std::to_string(kMaxScriptBytes >> 20) +
          " MiB; is it a script file?";
    return false;
  }
  long line = 1, column = 1;
  for (char c : text) {
    if (c == '\0') {
      why = name + ":" + std::to_string(line) + ":" + std::to_string(column) +
            ": the script holds a NUL byte; is it a text file?";
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

// Writes the output file through a temporary file renamed into place (see AtomicFile: links
// followed, permissions kept, devices and pipes written as they are, nothing left on failure).
bool writeOutputFile(const std::string& path, const std::string& text, std::string& why) {
  qv::AtomicFile out;
  if (!out.open(path, why)) return false;
  out.write(text);
  return out.commit(why);
}

// True when `output` names the same file as `input` (after following links).
bool sameFile(const std::string& output, const std::string& input) {
  struct stat a {
  }, b{};
  return !input.empty() && input != "-" && ::stat(output.c_str(), &a) == 0 &&
         ::stat(input.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

qv::out::Message stoppedMessage(const std::string& key, const std::string& text) {
  qv::out::Message m;
  m.severity = qv::out::Severity::Error;
  m.phase = qv::out::Phase::Processing;
  m.key = key;
  m.text = text;
  return m;
}

// Moves the places of messages from command lines to script lines, and finds the first error.
void placeMessages(std::vector<qv::out::Item>& items, int firstLine, const qv::out::Message*& firstError) {
  for (auto& item : items) {
    if (auto* m = std::get_if<qv::out::Message>(&item)) {
      if (m->line > 0) m->line += firstLine - 1;
      if (!firstError && m->severity == qv::out::Severity::Error) firstError = m;
    } else if (auto* h = std::get_if<std::shared_ptr<qv::out::Heading>>(&item)) {
      if (*h) placeMessages((*h)->items, firstLine, firstError);
    }
  }
}

// Runs one command with a fresh context; no failure of the procedure escapes, except on a
// cluster of several processes: there a failure may have struck one process alone (memory, the
// transport, its own temporary files), which could not go on in step with the others, so it
// ends the job (see quorvest-mpi's main) instead of leaving the others waiting for it.
// `protectedFiles` are the run's inputs and outputs, which no matrix file may replace;
// `outputFailed` is set when a matrix file could not be written.
qv::out::CommandOutput runCommand(const std::string& text, const qv::DataSource* data,
                                  std::vector<qv::SavedVariable>* saved,
                                  const std::vector<std::string>& protectedFiles, bool& outputFailed,
                                  const Options& o, qv::Cluster* cluster) {
  qv::out::CommandOutput co;
  co.command = text;
  qv::Context ctx;
  ctx.data = data;
  ctx.threads = qv::passThreads(o.threads);
  ctx.caseBlock = o.caseBlock;
  ctx.cluster = cluster;
  ctx.writesFiles = !cluster || cluster->rank() == 0;
  ctx.savedVariables = saved;
  ctx.protectedFiles = protectedFiles;
  ctx.output = &co;
  bool stopped = false;
  try {
    qv::QVTCTL(ctx, text);
  } catch (const qv::DataChanged&) {
    throw;
  } catch (const qv::InternalError& e) {
    if (cluster && cluster->size() > 1)
      throw std::runtime_error("internal error: the check \"" + e.condition + "\" failed in " + e.routine);
    stopped = true;
    co.items.push_back(
        stoppedMessage("Internal error ...",
                       "Internal error: the check \"" + e.condition + "\" failed in " + e.routine +
                           ". The command was stopped; this is a fault of the program, please report it."));
  } catch (const std::bad_alloc&) {
    if (cluster && cluster->size() > 1)
      throw std::runtime_error("there is not enough memory to run the command");
    stopped = true;
    co.items.push_back(stoppedMessage("Insufficient memory ...",
                                      "There is not enough memory to run the command. It was stopped."));
  } catch (const std::exception& e) {
    if (cluster && cluster->size() > 1) throw;
    stopped = true;
    co.items.push_back(
        stoppedMessage("Command stopped ...", std::string("The command was stopped: ") + e.what()));
  }
  co.error = ctx.errorFlag || stopped;
  if (ctx.outputFileFailed) outputFailed = true;
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

const char* kClusterFooter = R"(

quorvest-mpi runs under mpirun, on one or many machines:
  mpirun -np K quorvest-mpi [OPTIONS] [SCRIPT]
The K processes share every pass over the cases: each reads its own blocks of cases from the
data file, which every process must be able to read under the same path (a shared folder; not
standard input or a pipe), and their partial results are merged in case order on every process,
so the output is the same, to the last digit, as one process's. The first process (rank 0) alone
reads the script, prints messages and writes the output, --save-data, --charts and OUTFILE files.
Every process ends with the same exit status; 3 when one process could not go on (an MPI
failure, no memory left on its machine, an internal error) and every process was stopped.)";

// Checks the --charts folder before anything runs: it is created when missing and must be a
// folder this process can write into.
bool prepareChartsDir(const std::string& dir, std::string& why) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir, ec) || ::access(dir.c_str(), W_OK | X_OK) != 0) {
    why = dir + ": cannot write charts into this folder" + (ec ? ": " + ec.message() : std::string());
    return false;
  }
  return true;
}

// Writes every chart of the document as DIR/chart-NNN.svg, in output order, and records the
// file in the chart so that the text and JSON outputs name it. When one file cannot be written,
// the files written so far are removed: the folder holds all the charts or none of this run's.
bool writeCharts(const std::string& dir, qv::out::Document& doc, std::string& why) {
  std::vector<qv::out::Chart*> charts;
  std::function<void(std::vector<qv::out::Item>&)> collect = [&](std::vector<qv::out::Item>& items) {
    for (qv::out::Item& item : items) {
      if (auto* h = std::get_if<std::shared_ptr<qv::out::Heading>>(&item)) {
        if (*h) collect((*h)->items);
      } else if (auto* c = std::get_if<qv::out::Chart>(&item)) {
        charts.push_back(c);
      }
    }
  };
  for (qv::out::CommandOutput& co : doc.commands) collect(co.items);
  std::vector<std::string> written;
  for (size_t i = 0; i < charts.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "chart-%03zu.svg", i + 1);
    const std::string path = (std::filesystem::path(dir) / name).string();
    if (!writeOutputFile(path, charts[i]->svg(), why)) {
      for (const std::string& w : written) std::remove(w.c_str());
      return false;
    }
    written.push_back(path);
    charts[i]->file = path;
  }
  return true;
}

}  // namespace

int runProgram(int argc, char** argv, qv::Cluster* cluster) {
  Run run(cluster);
  Options o;
  CLI::App app{cluster ? "Runs QUORVEST commands (univariate general linear model) over a CSV data file, "
                         "on the processes of an MPI job."
                       : "Runs QUORVEST commands (univariate general linear model) over a CSV data file.",
               run.name()};
  app.set_version_flag("--version", run.name() + " 0.1");
  auto* scriptOpt =
      app.add_option("SCRIPT", o.script, "command script file (\"-\" reads standard input)")->type_name("");
  auto* commandOpt =
      app.add_option("-e,--command", o.command, "command text instead of a script file")->type_name("TEXT");
  scriptOpt->excludes(commandOpt);
  app.add_option("--data", o.data,
                 cluster ? "active data: CSV file, first row = variable names; every process reads it"
                         : "active data: CSV file, first row = variable names (\"-\" reads standard input)")
      ->type_name("FILE");
  app.add_option("--dictionary", o.dictionary,
                 "JSON dictionary: types, widths, labels, value labels, user-missing values, formats")
      ->type_name("FILE");
  app.add_option("--weight", o.weight, "case (frequency) weight variable")->type_name("VAR");
  app.add_option("--split", o.split,
                 "split-file variables; a group is a run of consecutive cases with equal values")
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
  app.add_option(
         "--charts", o.chartsDir,
         "also write each chart as an SVG file into DIR (created when missing; text and json formats)")
      ->type_name("DIR");
  app.add_option("--save-data", o.saveData,
                 "write the active data with the variables created by SAVE, as CSV (+ .dict.json)")
      ->type_name("FILE");
  app.add_option("--threads", o.threads,
                 cluster ? "threads of each process that read the data and run the passes over the cases "
                           "(default: the cores available)"
                         : "threads that read the data and run the passes over the cases (default: the cores "
                           "available)")
      ->check(CLI::Range(1, 1024))
      ->type_name("N");
  // Cases in one block of a pass over the cases: results do not depend on it; tests make it
  // small so that the merging of many blocks runs on small data.
  app.add_option("--case-block", o.caseBlock, "cases in one block of a pass")
      ->check(CLI::Range(1L, 1L << 30))
      ->group("");
  app.footer(cluster ? std::string(kFooter) + kClusterFooter : std::string(kFooter));

  // Every process parses the same arguments and reaches the same verdict; the first prints it.
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e, run.out(), run.err());
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e, run.out(), run.err());
  } catch (const CLI::ParseError& e) {
    return run.usageError(std::string(e.what()) + "\nRun '" + run.name() + " --help' for the options.");
  }

  if (o.script.empty() && commandOpt->count() == 0)
    return run.usageError("no commands: give a SCRIPT file or -e TEXT (see '" + run.name() + " --help')");
  if (o.script == "-" && o.data == "-")
    return run.usageError("the script and the data cannot both come from standard input");
  if (o.data.empty() &&
      (!o.dictionary.empty() || !o.weight.empty() || !o.split.empty() || !o.saveData.empty()))
    return run.usageError("--dictionary, --weight, --split and --save-data need a data file (--data FILE)");
  if (cluster && o.data == "-")
    return run.usageError(
        "--data -: every process reads the data file itself, and standard input reaches only the first; "
        "give a file every process can read");
  if (!o.saveData.empty() && o.data == "-")
    return run.usageError("--save-data needs a data file that can be read again, not standard input");

  // Checks of the files that only the first process writes, made by the first process.
  std::string why;
  if (!o.saveData.empty() &&
      !run.onFirst(
          [&](std::string& w) {
            struct stat st {};
            if (::stat(o.data.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
              w = "--save-data needs a data file that can be read again, not a pipe or device";
              return false;
            }
            return qv::checkSaveDataTarget(o.saveData, {o.data, o.dictionary, o.script, o.output}, w);
          },
          why))
    return run.usageError(why);
  // Interruptions remove temporary output files; a file-size limit or a closed pipe fails a
  // write (and leaves no partial file) instead of ending the program.
  qv::installOutputFileSignalHandlers();

  if (!o.chartsDir.empty() &&
      !run.onFirst([&](std::string& w) { return prepareChartsDir(o.chartsDir, w); }, why))
    return run.usageError(why);

  // Every input is read and checked before any command runs or any output is written.
  if (!o.output.empty() && !run.onFirst(
                               [&](std::string& w) {
                                 for (const std::string* in : {&o.data, &o.script, &o.dictionary})
                                   if (sameFile(o.output, *in)) {
                                     w = o.output + ": the output file is the input file " + *in +
                                         "; give another name with -o";
                                     return false;
                                   }
                                 return true;
                               },
                               why))
    return run.usageError(why);
  auto outOfMemory = [](std::string& w) {
    w = "there is not enough memory to read the inputs";
    return false;
  };
  // The script is read by the first process and handed to the others (standard input reaches
  // only the first process of an MPI job).
  std::string script = o.command;
  if (!o.script.empty() && !run.onFirst(
                               [&](std::string& w) {
                                 try {
                                   return readScript(o.script, script, w);
                                 } catch (const std::bad_alloc&) {
                                   return outOfMemory(w);
                                 }
                               },
                               why, &script))
    return run.usageError(why);

  const auto commands = qv::syntax::splitCommands(script);

  // Every process opens the data itself.
  std::unique_ptr<qv::DataSource> data;
  bool dataOpened = true;
  if (!o.data.empty()) {
    try {
        qv::DataOptions dopt;
        dopt.dataPath = o.data;
        dopt.dictionaryPath = o.dictionary;
        dopt.weightVar = o.weight;
        if (!o.split.empty()) {
          for (size_t at = 0;;) {
            size_t comma = o.split.find(',', at);
            dopt.splitVars.push_back(o.split.substr(at, comma - at));
            if (comma == std::string::npos) break;
            at = comma + 1;
          }
        }
        dopt.splitSeparate = o.splitLayout == "separate";
        dopt.threads = o.threads;
        // The processes convert the data in shares, each the byte ranges whose blocks of cases
        // it then reads, unless the first process must write a row for every case of the data
        // (--save-data, the design matrix of OUTFILE): then each converts every case.
        bool everyCase = !o.saveData.empty();
        for (const auto& cmd : commands) everyCase = everyCase || qv::mayRequestDesignFile(cmd.text);
        if (!everyCase) dopt.cluster = cluster;
        dopt.shareBlockCases = o.caseBlock;
        dopt.regularFileOnly = cluster != nullptr;
        qv::InputError err;
        data = qv::DataSource::open(dopt, err);
        if (!data) {
          why = err.describe();
          dataOpened = false;
        }
    } catch (const std::bad_alloc&) {
      data.reset();
      dataOpened = outOfMemory(why);
    }
  }
  if (!run.onEvery(dataOpened, why)) return run.usageError(why);

  if (commands.empty())
    return run.usageError((o.script.empty() ? std::string("-e") : o.script) + ": there is no command to run");

  qv::out::Document doc;
  int failed = 0;
  const std::string source = o.script.empty() ? std::string("-e") : o.script == "-" ? "<stdin>" : o.script;
  std::string firstErrorAt;  // "script:line:column" of the first located error
  std::vector<qv::SavedVariable> saved;
  std::vector<std::string> protectedFiles;
  for (const std::string& f : {o.data, o.dictionary, o.script, o.output, o.saveData})
    if (!f.empty() && f != "-") protectedFiles.push_back(f);
  if (!o.saveData.empty()) protectedFiles.push_back(qv::dictionaryPathFor(o.saveData));
  bool matrixFileFailed = false;
  bool dataChanged = false;
  try {
    for (const auto& cmd : commands) {
      doc.commands.push_back(runCommand(cmd.text, data.get(), o.saveData.empty() ? nullptr : &saved,
                                        protectedFiles, matrixFileFailed, o, cluster));
      qv::out::CommandOutput& co = doc.commands.back();
      co.source = source;
      const qv::out::Message* firstError = nullptr;
      placeMessages(co.items, cmd.firstLine, firstError);
      if (co.error) ++failed;
      if (firstErrorAt.empty() && firstError && firstError->line > 0)
        firstErrorAt =
            source + ":" + std::to_string(firstError->line) + ":" + std::to_string(firstError->column);
    }
  } catch (const qv::DataChanged& e) {
    // The user's situation, not a fault: one message, and no output from a data set that
    // is no longer the one read. Several processes may notice it at different places, so
    // there it ends the job.
    if (cluster && cluster->size() > 1) throw;
    dataChanged = true;
    why = e.what();
  }
  if (!run.onEvery(!dataChanged, why)) return run.usageError(why);

  // The first process writes the results; the others take its exit status.
  auto writeResults = [&]() -> int {
    bool saveFailed = false;
    if (!o.saveData.empty()) {
      if (failed > 0) {
        run.err() << run.name() << ": " << o.saveData
                  << ": not written, because a command reported an error\n";
      } else if (!qv::writeSaveData(o.data, o.dictionary, o.saveData, saved, why)) {
        run.err() << run.name() << ": " << why << "\n";
        saveFailed = true;
      }
    }

    if (!o.chartsDir.empty() && o.format != "html") {
      if (!writeCharts(o.chartsDir, doc, why)) return run.usageError(why);
    }

    std::string rendered;
    try {
      rendered = o.format == "json"   ? qv::out::renderJson(doc)
                 : o.format == "html" ? qv::out::renderHtml(doc)
                                      : qv::out::renderText(doc);
    } catch (const std::exception& e) {
      run.err() << run.name() << ": the output could not be rendered: " << e.what() << "\n";
      return kExitCommandError;
    }
    if (o.output.empty()) {
      std::cout << rendered << std::flush;
      if (!std::cout) return run.usageError("cannot write to standard output");
    } else {
      if (!writeOutputFile(o.output, rendered, why)) return run.usageError(why);
    }
    if (saveFailed) return kExitUsage;
    if (matrixFileFailed) {
      run.err() << run.name() << ": a matrix file (OUTFILE) could not be written; see the output\n";
      return kExitUsage;
    }
    if (failed > 0) {
      run.err() << run.name() << ": " << failed << " of " << doc.commands.size()
                << (doc.commands.size() == 1 ? " command" : " commands") << " reported an error"
                << (firstErrorAt.empty() ? std::string() : "; the first is at " + firstErrorAt) << "\n";
      return kExitCommandError;
    }
    return kExitOk;
  };
  return run.shareStatus(run.first() ? writeResults() : kExitOk);
}
