// The owner of one system resource (a POSIX descriptor, a Windows handle),
// written once for both systems: it closes what it holds when it goes, and
// moves but never copies. `Traits` says, for the system's raw type `Raw`,
// what stands for nothing (Invalid, Valid), how a raw value is taken over
// (Adopt: another spelling of nothing becomes Invalid) and how it is closed.
#pragma once

namespace carob::platform {

template <class Traits>
class UniqueNative {
 public:
  using Raw = typename Traits::Raw;

  UniqueNative() = default;
  explicit UniqueNative(Raw raw) : raw_(Traits::Adopt(raw)) {}
  ~UniqueNative() { Reset(); }
  UniqueNative(UniqueNative&& other) noexcept : raw_(other.Release()) {}
  UniqueNative& operator=(UniqueNative&& other) noexcept {
    if (this != &other) {
      Reset();
      raw_ = other.Release();
    }
    return *this;
  }
  UniqueNative(const UniqueNative&) = delete;
  UniqueNative& operator=(const UniqueNative&) = delete;

  Raw get() const { return raw_; }
  bool valid() const { return Traits::Valid(raw_); }
  // Gives up what it holds without closing it.
  Raw Release() {
    Raw raw = raw_;
    raw_ = Traits::Invalid();
    return raw;
  }
  void Reset() {
    if (valid()) Traits::Close(raw_);
    raw_ = Traits::Invalid();
  }

 private:
  Raw raw_ = Traits::Invalid();
};

}  // namespace carob::platform
