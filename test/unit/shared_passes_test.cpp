// Passes shared among processes: the processes are threads of this test, joined by a cluster
// that gathers in memory, so that every pass of every reference case runs as a run of several
// processes would, without an MPI launcher. Every process must print exactly what one process
// alone prints.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <new>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "data/case_work_file.h"
#include "driver/qvtctl.h"
#include "host/cluster.h"
#include "host/context.h"
#include "host/output/render.h"
#include "host/rank_ordered_rounds.h"
#include "host/syntax/tokenizer.h"
#include "program_runner.h"

namespace {

namespace fs = std::filesystem;
using namespace qv;

// `size` processes in threads of one program; allGather waits for all of them.
class ThreadCluster {
 public:
  explicit ThreadCluster(int size) : slots_(static_cast<size_t>(size)) {
    for (int r = 0; r < size; ++r) members_.push_back(Member(*this, r));
  }
  Cluster& member(int rank) { return members_[static_cast<size_t>(rank)]; }

 private:
  struct Member : Cluster {
    ThreadCluster* all;
    int me;
    Member(ThreadCluster& c, int r) : all(&c), me(r) {}
    int rank() const override { return me; }
    int size() const override { return static_cast<int>(all->slots_.size()); }
    std::vector<std::string> allGather(const std::string& mine) override { return all->gather(me, mine); }
  };
  std::vector<std::string> gather(int rank, const std::string& mine) {
    std::unique_lock lock(mu_);
    const long round = round_;
    slots_[static_cast<size_t>(rank)] = mine;
    if (++arrived_ == static_cast<int>(slots_.size())) {
      gathered_ = slots_;
      arrived_ = 0;
      ++round_;
      changed_.notify_all();
    } else if (!changed_.wait_for(lock, std::chrono::seconds(60), [&] { return round_ != round; })) {
      throw std::runtime_error("a process did not take part in a gathering");
    }
    return gathered_;
  }
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<std::string> slots_, gathered_;
  int arrived_ = 0;
  long round_ = 0;
  std::vector<Member> members_;
};

struct Case {
  std::string script, csv, weight, split, layout;
  std::string oddCsv;  // when not empty, the data that processes of odd rank find instead
};

Case readCase(const fs::path& dir) {
  Case c;
  c.script = qvtest::slurp(dir / "command.qv");
  c.csv = qvtest::slurp(dir / "data.csv");
  auto firstWord = [](std::string s) {
    s.erase(std::remove_if(s.begin(), s.end(), [](unsigned char ch) { return std::isspace(ch); }), s.end());
    return s;
  };
  if (fs::exists(dir / "weight.txt")) c.weight = firstWord(qvtest::slurp(dir / "weight.txt"));
  if (fs::exists(dir / "split.txt")) {
    std::istringstream lines(qvtest::slurp(dir / "split.txt"));
    std::getline(lines, c.split);
    std::getline(lines, c.layout);
    c.split = firstWord(c.split);
    c.layout = firstWord(c.layout);
  }
  return c;
}

// The JSON output of every process of a run of `processes` (0: one process, no cluster), each
// process's passes in blocks of `block` cases on `threads` threads, one more on odd ranks (the
// processes of a job need not have as many cores).
// `memoryBytes`: bytes of cases and held partial results each process keeps in memory.
std::vector<std::string> run(const Case& c, int processes, int threads, long block,
                             size_t memoryBytes = Context{}.workMemoryBytes) {
  ThreadCluster cluster(std::max(1, processes));
  std::vector<std::string> outputs(static_cast<size_t>(std::max(1, processes)));
  auto runOne = [&](int rank) {
    // Each process opens the data; with several, they convert it in shares of small ranges.
    DataOptions o;
    o.dataPath = "data.csv";
    o.weightVar = c.weight;
    if (!c.split.empty()) o.splitVars = {c.split};
    o.splitSeparate = c.layout == "separate";
    o.threads = threads + rank % 2;
    o.minRangeBytes = 1;
    o.shareBlockCases = block;
    if (processes > 0) o.cluster = &cluster.member(rank);
    InputError err;
    std::unique_ptr<DataSource> ds;
    try {
      ds = DataSource::openText(rank % 2 && !c.oddCsv.empty() ? c.oddCsv : c.csv, o, err);
    } catch (const std::exception& e) {
      outputs[static_cast<size_t>(rank)] = std::string("open stopped: ") + e.what();
      return;
    }
    if (!ds) {
      outputs[static_cast<size_t>(rank)] = "open failed: " + err.describe();
      return;
    }
    out::Document doc;
    for (const auto& cmd : syntax::splitCommands(c.script)) {
      out::CommandOutput co;
      co.command = cmd.text;
      Context ctx;
      ctx.data = ds.get();
      ctx.output = &co;
      ctx.threads = threads + rank % 2;
      ctx.caseBlock = block;
      ctx.workMemoryBytes = memoryBytes;
      if (processes > 0) ctx.cluster = &cluster.member(rank);
      try {
        QVTCTL(ctx, cmd.text);
      } catch (const std::exception& e) {
        outputs[static_cast<size_t>(rank)] = std::string("stopped: ") + e.what();
        return;
      }
      co.error = ctx.errorFlag;
      doc.commands.push_back(std::move(co));
    }
    outputs[static_cast<size_t>(rank)] = out::renderJson(doc);
  };
  std::vector<std::thread> ranks;
  for (int r = 0; r < std::max(1, processes); ++r) ranks.emplace_back(runOne, r);
  for (std::thread& t : ranks) t.join();
  return outputs;
}

// Every reference case, in blocks of 3 cases (so that blocks straddle the processes' shares
// and split groups), as 2 processes of 2 threads and 3 processes of 1, each converting its own
// byte ranges of the data (of a byte or more: many ranges, some without a record). The 3
// processes keep 1 byte in memory: their cases and the partial results they hold for the
// processes after the first go to files.
TEST(SharedPasses, EveryReferenceCasePrintsAsOneProcessDoes) {
  const fs::path root = fs::path(QV_SOURCE_DIR) / "test" / "reference";
  int compared = 0;
  for (const auto& entry : fs::directory_iterator(root)) {
    if (!fs::exists(entry.path() / "command.qv")) continue;
    const std::string name = entry.path().filename().string();
    const Case c = readCase(entry.path());
    const std::string alone = run(c, 0, 1, 3).front();
    ASSERT_EQ(alone.find("open failed"), std::string::npos) << name << ": " << alone;
    for (auto [processes, threads, memory] :
         {std::tuple{2, 2, Context{}.workMemoryBytes}, {3, 1, size_t{1}}}) {
      const std::vector<std::string> outs = run(c, processes, threads, 3, memory);
      for (size_t r = 0; r < outs.size(); ++r) {
        EXPECT_TRUE(outs[r] == alone) << name << ": process " << r << " of " << processes << " prints\n"
                                      << outs[r].substr(0, 600) << "\ninstead of\n"
                                      << alone.substr(0, 600);
      }
    }
    ++compared;
  }
  EXPECT_GE(compared, 80);
}

// Malformed records are reported by every process as one process reports them: the first in
// the file, wherever the processes' byte ranges fall. Processes that find different files under
// one name refuse them alike.
TEST(SharedPasses, DataFaultsAreReportedAsOneProcessReportsThem) {
  std::string good;
  for (int i = 0; i < 30; ++i) good += std::to_string(1 + i % 3) + "," + std::to_string(i) + "\n";
  const std::string head = "a,y\n", wide = "2,3,4\n", open = "2,\"3\n";
  const std::string files[] = {
      head + wide + good,
      head + good.substr(0, 40) + wide + good.substr(40) + open,
      head + good + good.substr(0, 40) + open,
  };
  for (const std::string& csv : files) {
    const Case c{"QUORVEST y BY a.", csv, "", "", "", ""};
    const std::string alone = run(c, 0, 1, 3).front();
    ASSERT_EQ(alone.rfind("open failed", 0), 0u) << alone;
    for (int processes : {2, 3})
      EXPECT_EQ(run(c, processes, 1, 3), std::vector<std::string>(static_cast<size_t>(processes), alone));
  }
  const std::vector<std::string> differ = run(Case{"QUORVEST y BY a.", head + good, "", "", "", head + wide}, 2, 1, 3);
  EXPECT_EQ(differ[0], differ[1]);
  EXPECT_NE(differ[0].find("files of different sizes"), std::string::npos) << differ[0];
}

// A pass that fails on one process (its temporary folder full) fails alike on every process,
// after the gathering, instead of leaving the others waiting.
TEST(SharedPasses, AFailureOnOneProcessIsThrownOnEvery) {
  ThreadCluster cluster(3);
  std::vector<std::string> caught(3);
  std::vector<std::thread> ranks;
  for (int r = 0; r < 3; ++r)
    ranks.emplace_back([&, r] {
      try {
        gatherAll(cluster.member(r), [&](wire::Writer& out) {
          if (r == 1) throw WorkFileError("No space left on device");
          wire::put(out, r);
        });
        caught[static_cast<size_t>(r)] = "nothing";
      } catch (const WorkFileError& e) {
        caught[static_cast<size_t>(r)] = e.what();
      }
    });
  for (std::thread& t : ranks) t.join();
  EXPECT_EQ(caught, std::vector<std::string>(3, "No space left on device"));
}

// Rounds in which every process writes its next chunk at once: every process consumes every
// chunk in rank order, each process's in round order, whatever the processes' numbers of
// chunks, and whether the chunks of processes whose turn has not come are held in memory or in
// a file (a 1-byte limit); a file that cannot be made (TMPDIR names no folder) fails every
// process alike.
TEST(SharedPasses, RoundsAreConsumedInRankOrder) {
  struct Row {
    std::vector<int> chunks;  // per process, its number of chunks
    size_t memoryBytes;
    bool noTemporaryFolder;
  };
  const std::vector<Row> rows = {{{3, 0, 2, 5}, size_t{1} << 20, false},
                                 {{3, 0, 2, 5}, 1, false},
                                 {{0, 4, 1}, 1, false},
                                 {{1, 1}, 1, false},
                                 {{0, 0}, 1, false},
                                 {{2, 3}, 1, true}};
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  for (const Row& row : rows) {
    const int processes = static_cast<int>(row.chunks.size());
    std::string expected;
    for (int p = 0; p < processes; ++p)
      for (int k = 0; k < row.chunks[static_cast<size_t>(p)]; ++k)
        expected += std::to_string(p) + "." + std::to_string(k) + " ";
    if (row.noTemporaryFolder) {
      setenv("TMPDIR", "/nonexistent-quorvest-folder", 1);
      expected = "cannot create a work file";
    }
    ThreadCluster cluster(processes);
    std::vector<std::string> consumed(static_cast<size_t>(processes));
    std::vector<std::thread> ranks;
    for (int r = 0; r < processes; ++r)
      ranks.emplace_back([&, r] {
        std::string& seen = consumed[static_cast<size_t>(r)];
        try {
          RankOrderedRounds rounds(cluster.member(r), row.memoryBytes, [&](int p, wire::Reader& in) {
            int chunk = 0;
            wire::get(in, chunk);
            seen += std::to_string(p) + "." + std::to_string(chunk) + " ";
          });
          const int mine = row.chunks[static_cast<size_t>(r)];
          for (int round = 0;; ++round) {
            const bool more = rounds.round([&](wire::Writer& out) {
              if (round < mine) wire::put(out, round);
              return round + 1 < mine;
            });
            if (!more) break;
          }
          rounds.finish();
        } catch (const WorkFileError& e) {
          seen = std::string(e.what()).substr(0, expected.size());
        }
      });
    for (std::thread& t : ranks) t.join();
    EXPECT_EQ(consumed, std::vector<std::string>(static_cast<size_t>(processes), expected))
        << row.memoryBytes << " bytes in memory";
    if (old)
      setenv("TMPDIR", saved.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
}

// A data source that fails as told when a pass over its cases starts.
class FailingSource : public DataSource {
 public:
  FailingSource(const DataSource& real, std::function<void()> fail) : real_(real), fail_(std::move(fail)) {}
  const Dictionary& dictionary() const override { return real_.dictionary(); }
  int weightIndex() const override { return real_.weightIndex(); }
  const std::vector<int>& splitIndexes() const override { return real_.splitIndexes(); }
  bool splitSeparate() const override { return real_.splitSeparate(); }
  long nonFiniteCount() const override { return real_.nonFiniteCount(); }
  std::unique_ptr<CaseReader> read() const override {
    fail_();
    return real_.read();
  }

 private:
  const DataSource& real_;
  std::function<void()> fail_;
};

// Two processes that do the same: every gathering hands back this process's bytes twice.
struct TwinCluster : Cluster {
  int rank() const override { return 0; }
  int size() const override { return 2; }
  std::vector<std::string> allGather(const std::string& mine) override { return {mine, mine}; }
};

// A failure every process shares (thrown by gatherAll) is reported as the command's error, and
// the run goes on; one that may have struck this process alone leaves QVTCTL on a cluster of
// several processes (to end the job), and is reported when the process runs alone.
TEST(SharedPasses, AFailureOfOneProcessAloneLeavesTheCommand) {
  TwinCluster twin;
  const std::function<void()> workFile = [] { throw WorkFileError("No space left on device"); };
  const std::function<void()> internal = [] { throw InternalError{"n > 0", "a pass"}; };
  const std::function<void()> memory = [] { throw std::bad_alloc(); };
  auto everywhere = [&](const std::function<void()>& fail) {
    return std::function<void()>([&twin, fail] { gatherAll(twin, [&](wire::Writer&) { fail(); }); });
  };
  const struct {
    std::function<void()> fail;
    bool cluster;
    bool leaves;
    std::string says;
  } cases[] = {
      {workFile, true, true, ""},
      {internal, true, true, ""},
      {memory, true, true, ""},
      {workFile, false, false, "No space left on device"},
      {internal, false, false, "n > 0"},
      {everywhere(workFile), true, false, "No space left on device"},
      {everywhere(internal), true, false, "n > 0"},
      {everywhere(memory), true, false, "memory"},
  };
  InputError err;
  const std::unique_ptr<DataSource> real =
      DataSource::openText("a,y\n1,2\n2,3\n1,4\n2,6\n", DataOptions{}, err);
  ASSERT_TRUE(real) << err.describe();
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    const FailingSource data(*real, c.fail);
    out::CommandOutput co;
    Context ctx;
    ctx.data = &data;
    ctx.output = &co;
    if (c.cluster) ctx.cluster = &twin;
    bool left = false;
    try {
      QVTCTL(ctx, "QUORVEST y BY a.");
    } catch (...) {
      left = true;
    }
    EXPECT_EQ(left, c.leaves) << "case " << i;
    if (c.leaves) continue;
    EXPECT_TRUE(ctx.failed()) << "case " << i;
    std::string texts;
    for (const out::Item& item : co.items)
      if (const auto* m = std::get_if<out::Message>(&item)) texts += m->text + "\n";
    EXPECT_NE(texts.find(c.says), std::string::npos) << "case " << i << ":\n" << texts;
  }
}

}  // namespace
