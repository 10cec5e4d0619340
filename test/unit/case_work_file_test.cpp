// The case work file: blocks read back as written, in memory and from the temporary file, in
// whatever runs the cases were appended; a pass over a work file on disk gives the same results
// as over one in memory; a temporary folder that cannot take it is an error, not a crash.
#include "data/case_work_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "emmeans/marginal_l.h"
#include "model_fixture.h"
#include "tests/levene.h"

using namespace qvtest;

namespace {

// 23 cases of two dependents and one covariate, with weights, regression weights, positions and
// design cells; the remainders are not 0 only from case 9 on.
qv::CaseBlockColumns sampleCases() {
  qv::CaseBlockColumns c;
  for (long k = 0; k < 23; ++k) {
    c.dep.push_back(k + 0.5);
    c.dep.push_back(-k * 1.25);
    c.cov.push_back(k * k);
    c.w.push_back(1.0 + k % 3);
    c.r.push_back(0.5 + k % 2);
    c.record.push_back(3 * k + 1);
    c.cell.push_back(static_cast<int32_t>(k % 5));
    c.depRem.push_back(k >= 9 ? 1e-17 * k : 0.0);
    c.depRem.push_back(0.0);
    c.covRem.push_back(k >= 9 ? -1e-18 * k : 0.0);
    ++c.cases;
  }
  return c;
}

// Cases [first, first + n) of `all` as a run of their own (remainders left out when all 0).
qv::CaseBlockColumns run(const qv::CaseBlockColumns& all, long first, long n) {
  qv::CaseBlockColumns c;
  auto take = [&](const auto& from, auto& to, long width) {
    to.assign(from.begin() + first * width, from.begin() + (first + n) * width);
  };
  take(all.dep, c.dep, 2);
  take(all.cov, c.cov, 1);
  take(all.w, c.w, 1);
  take(all.r, c.r, 1);
  take(all.record, c.record, 1);
  take(all.cell, c.cell, 1);
  if (first + n > 9) {
    take(all.depRem, c.depRem, 2);
    take(all.covRem, c.covRem, 1);
  }
  c.cases = n;
  return c;
}

qv::CaseWorkFile emptyWorkFile(long blockCases, size_t memoryBytes, int threads) {
  qv::CaseWorkFile work;
  work.ndepvr = 2;
  work.ncovar = 1;
  work.weighted = work.regWeighted = work.keepRecords = true;
  work.blockCases = blockCases;
  work.memoryBytes = memoryBytes;
  work.threads = threads;
  return work;
}

TEST(CaseWorkFile, BlocksReadBackAsWrittenInMemoryAndOnDisk) {
  const qv::CaseBlockColumns all = sampleCases();
  // (memory limit in bytes, lengths of the runs appended); 0 bytes puts every block on disk.
  struct Layout {
    size_t memoryBytes;
    std::vector<long> runs;
  };
  for (const Layout& layout : {Layout{size_t{1} << 20, {23}}, Layout{0, {23}}, Layout{0, {4, 4, 4, 4, 4, 3}},
                               Layout{300, {5, 7, 1, 10}}, Layout{size_t{1} << 20, {1, 1, 2, 19}}}) {
    for (int threads : {1, 3}) {
      SCOPED_TRACE(std::to_string(layout.memoryBytes) + " bytes, " + std::to_string(layout.runs.size()) +
                   " runs, " + std::to_string(threads) + " threads");
      qv::CaseWorkFile work = emptyWorkFile(4, layout.memoryBytes, threads);
      long at = 0;
      for (long n : layout.runs) {
        work.append(run(all, at, n));
        at += n;
      }
      work.finish();
      ASSERT_EQ(work.size(), 23);
      // Every value comes back where it was, through a pass on `threads` threads.
      std::vector<double> seen;
      std::vector<long> blockStarts;
      work.reduce(
          [&](const qv::CaseBlock& b) {
            std::vector<double> v;
            for (long k = b.range.begin; k < b.range.end; ++k) {
              v.insert(v.end(), {static_cast<double>(k), b.depOf(k)[0], b.depOf(k)[1], b.covOf(k)[0],
                                 b.weight(k), b.regWeight(k), static_cast<double>(b.recordOf(k)),
                                 static_cast<double>(b.designCell(k)), b.depRemOf(k) ? b.depRemOf(k)[0] : 0.0,
                                 b.covRemOf(k) ? b.covRemOf(k)[0] : 0.0});
            }
            return std::pair{b.range.begin, v};
          },
          [&](const std::pair<long, std::vector<double>>& part) {
            blockStarts.push_back(part.first);
            seen.insert(seen.end(), part.second.begin(), part.second.end());
          });
      EXPECT_EQ(blockStarts, (std::vector<long>{0, 4, 8, 12, 16, 20}));
      std::vector<double> want;
      for (long k = 0; k < 23; ++k)
        want.insert(want.end(), {static_cast<double>(k), all.dep[2 * k], all.dep[2 * k + 1], all.cov[k],
                                 all.w[k], all.r[k], static_cast<double>(all.record[k]),
                                 static_cast<double>(all.cell[k]), all.depRem[2 * k], all.covRem[k]});
      EXPECT_EQ(seen, want);
    }
  }
}

TEST(CaseWorkFile, APassOverAWorkFileOnDiskGivesTheSameResults) {
  // An ANCOVA with case and regression weights: the fit, Levene's sums and the covariate means
  // over the same blocks of 3 cases, held in memory and read back from the temporary file.
  Csv csv = readCsv(referenceDir() + "ancova_mean/data.csv");
  csv.names.push_back("f");
  csv.names.push_back("v");
  for (size_t i = 0; i < csv.rows.size(); ++i) {
    csv.rows[i].push_back(1.0 + i % 3);
    csv.rows[i].push_back(i % 4 == 0 ? 2.0 : 1.0);
  }
  struct Results {
    std::vector<double> crossProducts, paramEst, errorSSCP, leveneSsb, leveneSsw, covMeans;
  };
  auto results = [&](size_t memoryBytes, int threads) {
    ModelFixture m(csv, "y", {"a"}, {"x"}, {{-1, -1}, {0, -1}, {-1, 1}}, "f", "v");
    m.storeCases(3, memoryBytes);
    m.work.threads = threads;
    EXPECT_TRUE(m.fit(3));
    const qv::LeveneSums lev = qv::leveneSums(m.st, m.work);
    return Results{
        m.st.group.crossProducts.a,      m.st.group.paramEst.a, m.st.group.errorSSCP.a, lev.ssb, lev.ssw,
        qv::covariateMeans(m.st, m.work)};
  };
  const Results inMemory = results(size_t{1} << 20, 1);
  for (int threads : {1, 2}) {
    const Results onDisk = results(0, threads);
    EXPECT_EQ(onDisk.crossProducts, inMemory.crossProducts);
    EXPECT_EQ(onDisk.paramEst, inMemory.paramEst);
    EXPECT_EQ(onDisk.errorSSCP, inMemory.errorSSCP);
    EXPECT_EQ(onDisk.leveneSsb, inMemory.leveneSsb);
    EXPECT_EQ(onDisk.leveneSsw, inMemory.leveneSsw);
    EXPECT_EQ(onDisk.covMeans, inMemory.covMeans);
  }
  EXPECT_FALSE(inMemory.errorSSCP.empty());
}

TEST(CaseWorkFile, ATemporaryFolderThatCannotTakeItIsAWorkFileError) {
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", "/nonexistent-quorvest-folder", 1);
  qv::CaseWorkFile work = emptyWorkFile(4, 0, 1);
  EXPECT_THROW(work.append(run(sampleCases(), 0, 4)), qv::WorkFileError);
  if (old)
    setenv("TMPDIR", saved.c_str(), 1);
  else
    unsetenv("TMPDIR");
}

}  // namespace
