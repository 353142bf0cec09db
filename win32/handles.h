// Owners of Win32 resources: each releases what it holds when it ends, so an
// early return cannot leak one. Movable, not copyable.
//   THandle     kernel handles (CloseHandle); both null and INVALID_HANDLE_VALUE
//               mean "none", as the calls that make handles fail with either
//   TModule     LoadLibrary modules (FreeLibrary)
//   TMemoryDC   CreateCompatibleDC (DeleteDC)
//   TGdiObject  fonts, brushes, bitmaps... (DeleteObject)
//   TWindowDC   GetDC (ReleaseDC to the same window)
//   TSelection  an object selected into a DC; the DC's previous one is
//               selected back when it ends
// TOwner<Traits> makes an owner of any other kind (Traits: type, none(),
// valid(value), free(value)).
#pragma once

#include <windows.h>

#include <utility>

namespace win32 {

template <class Traits>
class TOwner {
 public:
  using value_type = typename Traits::type;

  TOwner() = default;
  explicit TOwner(value_type value) : value_(value) {}
  ~TOwner() { reset(); }
  TOwner(TOwner&& other) noexcept : value_(other.release()) {}
  TOwner& operator=(TOwner&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  TOwner(const TOwner&) = delete;
  TOwner& operator=(const TOwner&) = delete;

  value_type get() const { return value_; }
  explicit operator bool() const { return Traits::valid(value_); }
  // Gives the value up without releasing it.
  value_type release() { return std::exchange(value_, Traits::none()); }
  // Releases the value held, if any, and holds `value` instead.
  void reset(value_type value = Traits::none()) {
    const value_type old = std::exchange(value_, value);
    if (Traits::valid(old)) Traits::free(old);
  }

 private:
  value_type value_ = Traits::none();
};

struct THandleTraits {
  using type = HANDLE;
  static HANDLE none() { return nullptr; }
  static bool valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void free(HANDLE h) { CloseHandle(h); }
};
using THandle = TOwner<THandleTraits>;

struct TModuleTraits {
  using type = HMODULE;
  static HMODULE none() { return nullptr; }
  static bool valid(HMODULE m) { return m != nullptr; }
  static void free(HMODULE m) { FreeLibrary(m); }
};
using TModule = TOwner<TModuleTraits>;

struct TMemoryDCTraits {
  using type = HDC;
  static HDC none() { return nullptr; }
  static bool valid(HDC dc) { return dc != nullptr; }
  static void free(HDC dc) { DeleteDC(dc); }
};
using TMemoryDC = TOwner<TMemoryDCTraits>;

template <class T>
struct TGdiObjectTraits {
  using type = T;
  static T none() { return nullptr; }
  static bool valid(T object) { return object != nullptr; }
  static void free(T object) { DeleteObject(object); }
};
template <class T>
using TGdiObject = TOwner<TGdiObjectTraits<T>>;

// A window's DC (or the screen's, for a null window) from GetDC.
class TWindowDC {
 public:
  explicit TWindowDC(HWND window) : window_(window), dc_(GetDC(window)) {}
  ~TWindowDC() {
    if (dc_) ReleaseDC(window_, dc_);
  }
  TWindowDC(const TWindowDC&) = delete;
  TWindowDC& operator=(const TWindowDC&) = delete;

  HDC get() const { return dc_; }
  explicit operator bool() const { return dc_ != nullptr; }

 private:
  HWND window_;
  HDC dc_;
};

// `object` selected into `dc` for the life of this selection. The object must
// outlive it (declare its owner first).
class TSelection {
 public:
  TSelection() = default;
  TSelection(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {
    if (previous_ == nullptr || previous_ == HGDI_ERROR) dc_ = nullptr;  // nothing was selected
  }
  ~TSelection() { restore(); }
  TSelection(TSelection&& other) noexcept
      : dc_(std::exchange(other.dc_, nullptr)), previous_(std::exchange(other.previous_, nullptr)) {}
  TSelection& operator=(TSelection&& other) noexcept {
    if (this != &other) {
      restore();
      dc_ = std::exchange(other.dc_, nullptr);
      previous_ = std::exchange(other.previous_, nullptr);
    }
    return *this;
  }
  TSelection(const TSelection&) = delete;
  TSelection& operator=(const TSelection&) = delete;

  explicit operator bool() const { return dc_ != nullptr; }
  // Selects the DC's previous object back now.
  void restore() {
    if (dc_) SelectObject(dc_, previous_);
    dc_ = nullptr;
    previous_ = nullptr;
  }

 private:
  HDC dc_ = nullptr;
  HGDIOBJ previous_ = nullptr;
};

}  // namespace win32
