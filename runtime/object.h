// The root of every framework object and the handle that shares it.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>

namespace kelpora {

// Strings are sequences of 16-bit code units; see runtime/text.h for conversions.
using String = std::u16string;

class TObject;

// Raises TNullObjectError; kept out of line so Ref stays small.
[[noreturn]] void RaiseNullObjectError();

// A shared handle on a framework object. The empty handle is the absent object
// ("none"): reaching through it raises the null-object error instead of crashing.
template <class T>
class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  explicit Ref(T* object) noexcept : object_(object) { Hold(); }
  Ref(const Ref& other) noexcept : object_(other.object_) { Hold(); }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ref(const Ref<U>& other) noexcept : object_(other.get()) {
    Hold();
  }
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ref(Ref<U>&& other) noexcept : object_(other.release()) {}
  ~Ref() { Drop(); }

  Ref& operator=(const Ref& other) noexcept {
    Ref(other).swap(*this);
    return *this;
  }
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  Ref& operator=(std::nullptr_t) noexcept {
    Ref().swap(*this);
    return *this;
  }

  T* operator->() const {
    if (!object_) RaiseNullObjectError();
    return object_;
  }
  T& operator*() const {
    if (!object_) RaiseNullObjectError();
    return *object_;
  }
  T* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Gives up this handle's hold without releasing it; the caller takes it over.
  T* release() noexcept { return std::exchange(object_, nullptr); }
  void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

  template <class U>
  bool operator==(const Ref<U>& other) const noexcept {
    return object_ == other.get();
  }
  bool operator==(std::nullptr_t) const noexcept { return object_ == nullptr; }

 private:
  void Hold() noexcept {
    if (object_) object_->Retain();
  }
  void Drop() noexcept {
    if (object_) object_->Release();
    object_ = nullptr;
  }
  T* object_ = nullptr;
};

template <class T, class... Args>
Ref<T> MakeRef(Args&&... args) {
  return Ref<T>(new T(std::forward<Args>(args)...));
}

// The handle as another type of the same object, or none when it is not one.
template <class T, class U>
Ref<T> RefCast(const Ref<U>& from) noexcept {
  return Ref<T>(dynamic_cast<T*>(from.get()));
}

// Root of the framework's types. Objects are counted intrusively (atomically,
// since the audio thread shares some) and delete themselves when the last
// Ref lets go. Copying an object never copies its count.
class TObject {
 public:
  TObject() noexcept = default;
  TObject(const TObject&) noexcept {}
  TObject& operator=(const TObject&) noexcept { return *this; }
  virtual ~TObject() = default;

  // Default: the object's address as text.
  virtual String ToString() const;
  // Negative, 0 or positive as this sorts before, with or after `other`.
  // Default: identity (ordered by address; none sorts first).
  virtual int Compare(const Ref<TObject>& other) const;
  // Default: does nothing and answers none.
  virtual Ref<TObject> SendMessage(const Ref<TObject>& message, const Ref<TObject>& context);
  // Reserved slots: calling one raises "Illegal call to reserved method".
  virtual void Reserved1();
  virtual void Reserved2();
  virtual void Reserved3();

  void Retain() const noexcept { refCount_.fetch_add(1, std::memory_order_relaxed); }
  void Release() const noexcept {
    if (refCount_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  int RefCount() const noexcept { return refCount_.load(std::memory_order_relaxed); }

 private:
  mutable std::atomic<int> refCount_{0};
};

// Compares two possibly absent objects with the first one's own compare:
// none equals none and sorts before everything else.
int CompareObjects(const Ref<TObject>& a, const Ref<TObject>& b);

}  // namespace kelpora
