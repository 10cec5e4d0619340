#include "host/cluster.h"

#include <new>
#include <stdexcept>
#include <utility>

#include "host/assert.h"
#include "host/data/case_stream.h"
#include "host/data/work_store.h"

namespace qv {

namespace {

// How a failure travels to the other processes: its kind and texts.
enum class FailureKind : char { None, WorkFile, DataChanged, Internal, Memory, Other };

// A failure of kind E thrown on every process alike.
template <class E>
struct Agreed final : E, AgreedFailure {
  explicit Agreed(E failure) : E(std::move(failure)) {}
};

}  // namespace

bool failureIsAgreed() {
  try {
    throw;
  } catch (const AgreedFailure&) {
    return true;
  } catch (...) {
    return false;
  }
}

std::vector<std::string> gatherAll(Cluster& cluster, const std::function<void(wire::Writer&)>& produce) {
  wire::Writer out;
  FailureKind kind = FailureKind::None;
  std::string text, where;
  try {
    produce(out);
  } catch (const WorkFileError& e) {
    kind = FailureKind::WorkFile, text = e.what();
  } catch (const DataChanged& e) {
    kind = FailureKind::DataChanged, text = e.what();
  } catch (const InternalError& e) {
    kind = FailureKind::Internal, text = e.condition, where = e.routine;
  } catch (const std::bad_alloc&) {
    kind = FailureKind::Memory;
  } catch (const std::exception& e) {
    kind = FailureKind::Other, text = e.what();
  }
  // A process's bytes: its failure (kind and texts), then what `produce` wrote.
  wire::Writer head;
  wire::put(head, kind);
  if (kind != FailureKind::None) {
    wire::put(head, text);
    wire::put(head, where);
    out.bytes.clear();
  }
  head.bytes += out.bytes;
  out.bytes = std::string();
  std::vector<std::string> all = cluster.allGather(head.bytes);
  head.bytes = std::string();
  QV_ASSERT(static_cast<int>(all.size()) == cluster.size(), "gather among processes");
  // The first process that failed speaks for all.
  for (std::string& bytes : all) {
    wire::Reader in(bytes);
    FailureKind theirs = FailureKind::None;
    wire::get(in, theirs);
    if (theirs != FailureKind::None) {
      std::string t, w;
      wire::get(in, t);
      wire::get(in, w);
      switch (theirs) {
        case FailureKind::WorkFile:
          throw Agreed<WorkFileError>(WorkFileError(t));
        case FailureKind::DataChanged:
          throw Agreed<DataChanged>(DataChanged(t));
        case FailureKind::Internal:
          throw Agreed<InternalError>(InternalError{t, w});
        case FailureKind::Memory:
          throw Agreed<std::bad_alloc>(std::bad_alloc());
        default:
          throw Agreed<std::runtime_error>(std::runtime_error(t));
      }
    }
    bytes.erase(0, static_cast<size_t>(in.at - bytes.data()));
  }
  return all;
}

}  // namespace qv
