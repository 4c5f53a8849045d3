// Typed fixed-length arrays, zero-filled at creation: numbers start at 0,
// strings empty and object slots as none.
#pragma once

#include <cstddef>
#include <vector>

#include "runtime/errors.h"
#include "runtime/object.h"

namespace kelpora {

template <class T>
class TArray : public TObject {
 public:
  explicit TArray(size_t length = 0) : items_(length) {}

  size_t Length() const noexcept { return items_.size(); }
  // Checked access: an index outside the array raises TArrayBoundsError.
  T& operator[](size_t index) {
    if (index >= items_.size()) throw TArrayBoundsError();
    return items_[index];
  }
  const T& operator[](size_t index) const {
    if (index >= items_.size()) throw TArrayBoundsError();
    return items_[index];
  }
  T* Data() noexcept { return items_.data(); }
  const T* Data() const noexcept { return items_.data(); }
  auto begin() noexcept { return items_.begin(); }
  auto end() noexcept { return items_.end(); }
  auto begin() const noexcept { return items_.begin(); }
  auto end() const noexcept { return items_.end(); }

 private:
  std::vector<T> items_;
};

template <class T>
Ref<TArray<T>> MakeArray(size_t length) {
  return MakeRef<TArray<T>>(length);
}

}  // namespace kelpora
