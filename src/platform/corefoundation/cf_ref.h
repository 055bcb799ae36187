#pragma once

#include <utility>

#include <CoreFoundation/CoreFoundation.h>

// Owns one CoreFoundation reference obtained under the Create or Copy rule and
// releases it once. May hold null (a failed Create); CFRelease never sees null.
template <typename T>
class CFRef {
 public:
  CFRef() = default;
  explicit CFRef(T ref) noexcept : ref_(ref) {}
  ~CFRef() { reset(); }

  CFRef(CFRef&& other) noexcept : ref_(other.release()) {}
  CFRef& operator=(CFRef&& other) noexcept {
    if (this != &other) {
      reset();
      ref_ = other.release();
    }
    return *this;
  }
  CFRef(const CFRef&) = delete;
  CFRef& operator=(const CFRef&) = delete;

  T get() const noexcept { return ref_; }
  explicit operator bool() const noexcept { return ref_ != nullptr; }

  // Hands the reference, and the duty to release it, to the caller.
  T release() noexcept { return std::exchange(ref_, nullptr); }

 private:
  void reset() noexcept {
    if (ref_ != nullptr) CFRelease(ref_);
    ref_ = nullptr;
  }

  T ref_ = nullptr;
};
