// Objects whose release is put off to a known point, such as the end of a
// frame: DeferRelease keeps an object alive until a flush down to a mark taken
// earlier lets go of it. Objects nobody deferred are released by their last
// handle as usual, so a flush only ever meets what was deferred since the mark.
#pragma once

#include <cstddef>

#include "runtime/object.h"

namespace kelpora {

void DeferRelease(Ref<TObject> object);
// The number of objects waiting now; pass it to FlushDeferredReleases later.
size_t DeferredReleaseMark();
// Releases, newest first, every object deferred after `mark` was taken.
void FlushDeferredReleases(size_t mark);

}  // namespace kelpora
