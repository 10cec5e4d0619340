#include "driver/qvtctl.h"

#include <exception>
#include <memory>
#include <new>

#include "driver/analyses.h"
#include "driver/group_loop.h"
#include "driver/state.h"
#include "host/cluster.h"
#include "host/data/work_store.h"
#include "host/output/message_numbers.h"
#include "parse/dispatcher.h"

namespace qv {

namespace {

// Puts the context back as the command found it, on every way out: open output headings are
// closed and the split-group caption is cleared.
class ContextRestorer {
 public:
  explicit ContextRestorer(Context& ctx) : ctx_(ctx), depth_(ctx.headingStack.size()) {}
  ~ContextRestorer() {
    if (ctx_.headingStack.size() > depth_) ctx_.headingStack.resize(depth_);
    ctx_.splitCaption.clear();
  }
  ContextRestorer(const ContextRestorer&) = delete;
  ContextRestorer& operator=(const ContextRestorer&) = delete;

 private:
  Context& ctx_;
  size_t depth_;
};

// The command text without the period that may end it.
std::string withoutTerminator(const std::string& text) {
  size_t end = text.find_last_not_of(" \t\r\n");
  if (end == std::string::npos) return std::string();
  if (text[end] == '.') return text.substr(0, end);
  return text.substr(0, end + 1);
}

void runCommand(Context& ctx, const std::string& commandText) {
  syntax::Tokenizer tok(withoutTerminator(commandText));
  if (const auto& lex = tok.error()) {
    ctx.note("Lexical error ^1 at ^2 ^3 ...", out::Severity::Error,
             {lex->text, std::to_string(lex->line), std::to_string(lex->column)}, out::Phase::Command);
    if (ctx.output && !ctx.output->items.empty())
      if (auto* m = std::get_if<out::Message>(&ctx.output->items.back())) {
        m->line = lex->line;
        m->column = lex->column;
      }
    return;
  }
  // Command-phase messages point at the current symbol while this command is parsed.
  struct Located {
    Context& ctx;
    ~Located() { ctx.commandTokens = nullptr; }
  } located{ctx};
  ctx.commandTokens = &tok;
  if (!ctx.data) {
    ctx.note("No active data ...", out::Severity::Error, {}, out::Phase::Command);
    return;
  }
  // A fresh state for every command: nothing (ALPHA, EPS, requests) survives from the last one.
  auto st = std::make_unique<ProcedureState>();
  ParseContext pc{ctx, tok, ctx.data->dictionary(), *st};
  parseCommand(pc);
  if (ctx.failed()) return;
  noteRequestsNotComputed(ctx, *st);
  ctx.commandTokens = nullptr;
  analyseGroups(ctx, *st);
}

// Whether the failure being handled is reported as this command's error, the run going on
// with the next command: always with one process; with several only when every process failed
// alike (a failure gatherAll threw), since a process that failed alone would go on while the
// others wait for it in a gathering. Otherwise the failure leaves QVTCTL and ends the job.
bool reportable(const Context& ctx) { return !ctx.cluster || ctx.cluster->size() <= 1 || failureIsAgreed(); }

}  // namespace

// Runs one QUORVEST command (QVTCTL). The error flag starts clear, so on return it tells
// whether this command reported an error.
void QVTCTL(Context& ctx, const std::string& commandText) {
  ctx.errorFlag = false;
  {
    ContextRestorer restore(ctx);
    try {
      runCommand(ctx, commandText);
    } catch (const DataChanged&) {
      throw;  // ends the run, not only this command
    } catch (const InternalError& e) {
      if (!reportable(ctx)) throw;
      ctx.note("Internal error in ^1 ^2 ...", out::Severity::Error, {e.routine, e.condition},
               out::Phase::Processing);
    } catch (const std::bad_alloc&) {
      if (!reportable(ctx)) throw;
      ctx.message(msg::kInsufficientMemory, out::Phase::Processing, out::Severity::Error);
    } catch (const WorkFileError& e) {
      if (!reportable(ctx)) throw;
      // The temporary folder cannot take the case work file (missing, full, not writable).
      ctx.note("Work file failed ^1 ...", out::Severity::Error, {e.what()}, out::Phase::Processing);
    } catch (const std::exception& e) {
      if (!reportable(ctx)) throw;
      ctx.note("Internal error ^1 ...", out::Severity::Error, {e.what()}, out::Phase::Processing);
    }
  }
  if (ctx.output) ctx.output->error = ctx.failed();
}

}  // namespace qv
