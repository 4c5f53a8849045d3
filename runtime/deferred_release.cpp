#include "runtime/deferred_release.h"

#include <vector>

namespace kelpora {

namespace {
std::vector<Ref<TObject>>& Pending() {
  static auto* pending = new std::vector<Ref<TObject>>();
  return *pending;
}
}  // namespace

void DeferRelease(Ref<TObject> object) {
  if (object) Pending().push_back(std::move(object));
}

size_t DeferredReleaseMark() { return Pending().size(); }

void FlushDeferredReleases(size_t mark) {
  auto& pending = Pending();
  // A destructor may defer further objects; keep going until down to the mark.
  while (pending.size() > mark) {
    Ref<TObject> last = std::move(pending.back());
    pending.pop_back();
  }
}

}  // namespace kelpora
