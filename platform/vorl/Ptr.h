// Intrusive reference counting: Node is the counted base, Ptr<T> the owning handle.
//
// Thread-safety: counts change with atomic read-modify-write operations only when the
// process has switched thread-safe counting on (ThreadControl); otherwise with a
// plain load and store, which is cheaper and correct while one thread owns the
// objects. The switch is process-wide and should be set before objects are shared.
#pragma once

#include "platform/plugin/Export.h"

#include <atomic>
#include <cstdint>
#include <utility>

namespace Vorl {

class HWTABLES_API ThreadControl {
 public:
  static bool threadSafePointers() { return flag().load(std::memory_order_relaxed); }
  static void threadSafePointersIs(bool on) { flag().store(on, std::memory_order_relaxed); }

 private:
  // Out of line: one flag for the whole process, whichever library asks.
  static std::atomic<bool>& flag();
};

class HWTABLES_API Node {
 public:
  Node() = default;
  Node(Node const&) : references_(0) {}
  Node& operator=(Node const&) { return *this; }
  virtual ~Node() = default;

  std::uint32_t references() const { return references_.load(std::memory_order_relaxed); }

  void newReference() const {
    if (ThreadControl::threadSafePointers()) {
      references_.fetch_add(1, std::memory_order_relaxed);
    } else {
      references_.store(references_.load(std::memory_order_relaxed) + 1,
                        std::memory_order_relaxed);
    }
  }

  // Drops one reference; deletes the object when it was the last.
  void deleteReference() const {
    std::uint32_t remaining;
    if (ThreadControl::threadSafePointers()) {
      remaining = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    } else {
      remaining = references_.load(std::memory_order_relaxed) - 1;
      references_.store(remaining, std::memory_order_relaxed);
    }
    if (remaining == 0) {
      const_cast<Node*>(this)->lastUserGone();
      delete this;
    }
  }

 protected:
  // Called once, just before the object is deleted.
  virtual void lastUserGone() {}

 private:
  mutable std::atomic<std::uint32_t> references_{0};
};

template <class T>
class Ptr {
 public:
  Ptr() = default;
  Ptr(std::nullptr_t) {}
  Ptr(T* object) : object_(object) { acquire(); }
  Ptr(Ptr const& other) : object_(other.object_) { acquire(); }
  Ptr(Ptr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  template <class U>
  Ptr(Ptr<U> const& other) : object_(other.get()) {
    acquire();
  }
  ~Ptr() { release(); }

  Ptr& operator=(Ptr other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }
  bool operator==(Ptr const& other) const { return object_ == other.object_; }
  bool operator==(std::nullptr_t) const { return object_ == nullptr; }

 private:
  void acquire() {
    if (object_) object_->newReference();
  }
  void release() {
    if (object_) object_->deleteReference();
    object_ = nullptr;
  }

  T* object_ = nullptr;
};

template <class T, class... Args>
Ptr<T> makePtr(Args&&... args) {
  return Ptr<T>(new T(std::forward<Args>(args)...));
}

template <class T, class U>
Ptr<T> ptrCast(Ptr<U> const& from) {
  return Ptr<T>(dynamic_cast<T*>(from.get()));
}

}  // namespace Vorl
