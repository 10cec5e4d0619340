#include "data/case_work_file.h"

#include <sys/uio.h>

#include <algorithm>
#include <cstring>
#include <utility>


namespace qv {

namespace {

// Appends cases [first, first + n) of `from` to `to`, column by column. A column that only one
// side carries (remainders, design cells) is filled with zeros on the other.
void appendCases(const CaseBlockColumns& from, long first, long n, int nd, int nc, CaseBlockColumns& to) {
  auto copy = [&](const auto& src, auto& dst, size_t width) {
    dst.insert(dst.end(), src.begin() + static_cast<long>(first * width),
               src.begin() + static_cast<long>((first + n) * width));
  };
  auto optional = [&](const auto& src, auto& dst, size_t width) {
    if (src.empty() && dst.empty()) return;
    if (dst.empty()) dst.assign(static_cast<size_t>(to.cases) * width, 0);
    if (src.empty()) {
      dst.resize(dst.size() + static_cast<size_t>(n) * width, 0);
      return;
    }
    copy(src, dst, width);
  };
  const size_t ndep = static_cast<size_t>(nd), ncov = static_cast<size_t>(nc);
  copy(from.dep, to.dep, ndep);
  copy(from.cov, to.cov, ncov);
  if (!from.w.empty()) copy(from.w, to.w, 1);
  if (!from.r.empty()) copy(from.r, to.r, 1);
  if (!from.record.empty()) copy(from.record, to.record, 1);
  optional(from.depRem, to.depRem, ndep);
  optional(from.covRem, to.covRem, ncov);
  optional(from.cell, to.cell, 1);
  to.cases += n;
}

size_t padded(size_t bytes) { return (bytes + 7) / 8 * 8; }

}  // namespace

void CaseBlockColumns::clear() {
  cases = 0;
  dep.clear();
  cov.clear();
  w.clear();
  r.clear();
  depRem.clear();
  covRem.clear();
  cell.clear();
  record.clear();
}

CaseWorkFile::ScratchLease::ScratchLease(ScratchPool& p) : pool(p) {
  std::lock_guard lock(pool.mu);
  if (!pool.free.empty()) {
    buffer = std::move(pool.free.back());
    pool.free.pop_back();
  }
}

CaseWorkFile::ScratchLease::~ScratchLease() {
  buffer.release();
  std::lock_guard lock(pool.mu);
  pool.free.push_back(std::move(buffer));
}

CaseWorkFile::CaseWorkFile() : scratch_(std::make_unique<ScratchPool>()) {}
CaseWorkFile::CaseWorkFile(CaseWorkFile&&) noexcept = default;
CaseWorkFile& CaseWorkFile::operator=(CaseWorkFile&&) noexcept = default;
CaseWorkFile::~CaseWorkFile() = default;

void CaseWorkFile::clear() {
  cases_ = 0;
  cluster_ = nullptr;
  caseOffset_ = 0;
  totalCases_ = 0;
  firstBlock_.clear();
  blocks_.clear();
  store_.reset();
  pending_.clear();
  std::lock_guard lock(scratch_->mu);
  scratch_->free.clear();
}

CaseRange CaseWorkFile::rangeOf(long b) const {
  const long size = std::max(1L, blockCases);
  return CaseRange{caseOffset_ + b * size, caseOffset_ + std::min(cases_, (b + 1) * size)};
}

// A stored block is its columns one after the other, each padded to 8 bytes: dependents,
// covariates, case weights, regression weights, dependent and covariate remainders, positions
// in the active data, design cells; a column the block does not carry takes no room.
void CaseWorkFile::store(const CaseBlockColumns& b) {
  const size_t n = static_cast<size_t>(b.cases);
  const size_t nd = static_cast<size_t>(ndepvr), nc = static_cast<size_t>(ncovar);
  QV_ASSERT(b.dep.size() == n * nd && b.cov.size() == n * nc && b.w.size() == (weighted ? n : 0) &&
                b.r.size() == (regWeighted ? n : 0) && b.record.size() == (keepRecords ? n : 0) &&
                (b.depRem.empty() || b.depRem.size() == n * nd) &&
                (b.covRem.empty() || b.covRem.size() == n * nc) && (b.cell.empty() || b.cell.size() == n),
            "case work file block");
  // The columns go to the store as they stand, with zeros to pad each.
  static const char zeros[8] = {};
  iovec pieces[16];
  int count = 0;
  auto put = [&](const auto& column) {
    const size_t bytes = column.size() * sizeof(column[0]);
    if (bytes == 0) return;
    pieces[count++] = iovec{const_cast<void*>(static_cast<const void*>(column.data())), bytes};
    if (padded(bytes) > bytes) pieces[count++] = iovec{const_cast<char*>(zeros), padded(bytes) - bytes};
  };
  put(b.dep);
  put(b.cov);
  put(b.w);
  put(b.r);
  put(b.depRem);
  put(b.covRem);
  put(b.record);
  put(b.cell);
  if (!store_) store_ = std::make_unique<WorkStore>(memoryBytes);
  store_->add(pieces, count);
  blocks_.push_back(StoredBlock{b.cases, !b.depRem.empty(), !b.covRem.empty(), !b.cell.empty()});
  cases_ += b.cases;
}

void CaseWorkFile::append(const CaseBlockColumns& b) {
  const long size = std::max(1L, blockCases);
  if (b.cases == 0) return;
  if (pending_.cases == 0 && b.cases == size) {
    store(b);
    return;
  }
  appendCases(b, 0, b.cases, ndepvr, ncovar, pending_);
  if (pending_.cases < size) return;
  // Whole blocks go to the store; what is left stays pending.
  long at = 0;
  CaseBlockColumns part;
  for (; pending_.cases - at >= size; at += size) {
    part.clear();
    appendCases(pending_, at, size, ndepvr, ncovar, part);
    store(part);
  }
  part.clear();
  appendCases(pending_, at, pending_.cases - at, ndepvr, ncovar, part);
  pending_ = std::move(part);
}

void CaseWorkFile::finish() {
  if (pending_.cases == 0) return;
  store(pending_);
  pending_.clear();
}

CaseBlock CaseWorkFile::view(CaseRange range, WorkStore::View& scratch) const {
  const long b = (range.begin - caseOffset_) / std::max(1L, blockCases);
  QV_ASSERT(b >= 0 && b < static_cast<long>(blocks_.size()) &&
                blocks_[static_cast<size_t>(b)].cases == range.size(),
            "case work file block");
  const StoredBlock& sb = blocks_[static_cast<size_t>(b)];
  size_t bytes = 0;
  const char* p = store_->view(static_cast<size_t>(b), scratch, bytes);
  const size_t n = static_cast<size_t>(sb.cases);
  const size_t nd = static_cast<size_t>(ndepvr), nc = static_cast<size_t>(ncovar);
  CaseBlock v;
  v.range = range;
  v.ndepvr = ndepvr;
  v.ncovar = ncovar;
  size_t at = 0;
  auto take = [&](auto*& column, bool present, size_t count) {
    using T = std::remove_const_t<std::remove_pointer_t<std::remove_reference_t<decltype(column)>>>;
    if (!present) return;
    column = reinterpret_cast<const T*>(p + at);
    at += padded(count * sizeof(T));
  };
  take(v.dep, true, n * nd);
  take(v.cov, true, n * nc);
  take(v.w, weighted, n);
  take(v.r, regWeighted, n);
  take(v.depRem, sb.depRem, n * nd);
  take(v.covRem, sb.covRem, n * nc);
  take(v.record, keepRecords, n);
  take(v.cell, sb.cell, n);
  QV_ASSERT(at == bytes, "case work file block");
  return v;
}

CaseBlock viewOf(const CaseBlockColumns& f, CaseRange range, int ndepvr, int ncovar) {
  CaseBlock v;
  v.range = range;
  v.ndepvr = ndepvr;
  v.ncovar = ncovar;
  auto column = [](const auto& c) { return c.empty() ? nullptr : c.data(); };
  v.dep = f.dep.data();
  v.cov = f.cov.data();
  v.w = column(f.w);
  v.r = column(f.r);
  v.depRem = column(f.depRem);
  v.covRem = column(f.covRem);
  v.cell = column(f.cell);
  v.record = column(f.record);
  return v;
}

CaseBlock CaseWorkFile::firstBlockView() const {
  return viewOf(firstBlock_, CaseRange{0, firstBlock_.cases}, ndepvr, ncovar);
}

void CaseWorkFile::distribute(Cluster& cluster, long firstBlock, long totalCases, CaseBlockColumns first) {
  QV_ASSERT(pending_.cases == 0 && firstBlock >= 0 && first.cases <= totalCases, "distribute the case work file");
  const long size = std::max(1L, blockCases);
  QV_ASSERT(firstBlock * size + cases_ <= totalCases, "distribute the case work file");
  cluster_ = &cluster;
  caseOffset_ = firstBlock * size;
  totalCases_ = totalCases;
  firstBlock_ = std::move(first);
}

}  // namespace qv
