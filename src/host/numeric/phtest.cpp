// The post hoc critical-value engine: argument checks, then one routine per family of tests.
#include "host/numeric/phtest.h"

namespace qv::num {

struct PostHocCache::Impl {};

PostHocCache::PostHocCache() : impl_(std::make_unique<Impl>()) {}
PostHocCache::~PostHocCache() = default;

PostHocResult phtest(const PostHocInput& /*input*/, PostHocCache* /*cache*/) {
  PostHocResult result;
  result.status = PostHocStatus::Failed;  // not computed yet
  return result;
}

}  // namespace qv::num
