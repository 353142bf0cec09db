// The per-unit lock on Windows: a named mutex in the session namespace,
// "Local\VORNIX.MX-540KTR.<lock name>", and beside it a small named file
// mapping "...<lock name>.holder" in which the holder publishes its program's
// file name, so that a program refused the unit can say which program has it.
// The lock name is the unit's key (its serial, or its device path when it has
// none) spelled by lock_name_for, which never gives two keys one name.
//
// A mutex belongs to the thread that acquired it, and is abandoned when that
// thread ends. The link takes and gives back locks from different threads
// (discovery runs on the device-change window's thread, usb_stop on the main
// thread), so one thread of this object's own does every wait and release.
#include "USB.h"
#include "lock_name.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>

namespace {

constexpr size_t holder_bytes = 512;  // the mapping: the holder's file name, UTF-16, zero-ended
constexpr wchar_t object_prefix[] = L"Local\\VORNIX.MX-540KTR.";
constexpr wchar_t holder_suffix[] = L".holder";

// SHA-256 of the key in hex; empty when the system cannot hash.
std::wstring sha256_hex(const std::string& key) {
  std::wstring hex;
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
    return hex;
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char digest[32];
  if (BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
    if (BCRYPT_SUCCESS(BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(key.data())),
                                      static_cast<ULONG>(key.size()), 0)) &&
        BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0))) {
      static constexpr wchar_t digits[] = L"0123456789abcdef";
      for (unsigned char b : digest) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
      }
    }
    BCryptDestroyHash(hash);
  }
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return hex;
}

// Kernel object names are limited to MAX_PATH characters. A key whose lock
// name would not fit with the mapping's suffix (a long device path) is named
// by its SHA-256 instead, after a '.', which lock names never hold: such a
// name cannot meet a spelled-out one. Empty when no name can be made.
std::wstring object_name(const std::string& key) {
  const std::string spelled = mx::link::lock_name_for(key);  // ASCII only
  std::wstring name = object_prefix;
  if (name.size() + spelled.size() + std::size(holder_suffix) - 1 <= MAX_PATH)
    return name + std::wstring(spelled.begin(), spelled.end());
  const std::wstring digest = sha256_hex(key);
  return digest.empty() ? std::wstring() : name + L"." + digest;
}

std::wstring own_program_name() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH)
    return {};
  std::wstring full(path, n);
  const size_t slash = full.find_last_of(L"\\/");
  return slash == std::wstring::npos ? full : full.substr(slash + 1);
}

std::string narrow(const std::wstring& s) {
  if (s.empty())
    return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// The name the holder published; empty when it cannot be read (no mapping, or
// the holder has not written it yet).
std::string read_holder(const std::wstring& mapping_name) {
  HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, mapping_name.c_str());
  if (!mapping)
    return {};
  std::string holder;
  if (const auto* view = static_cast<const wchar_t*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, holder_bytes))) {
    const size_t chars = holder_bytes / sizeof(wchar_t);
    size_t n = 0;
    while (n < chars && view[n])
      ++n;
    if (n < chars)
      holder = narrow(std::wstring(view, n));
    UnmapViewOfFile(view);
  }
  CloseHandle(mapping);
  return holder;
}

class TWin32UnitLocks final : public mx::link::TUnitLocks {
 public:
  TWin32UnitLocks() : program_(own_program_name()), owner_([this] { run(); }) {}

  ~TWin32UnitLocks() override {
    on_owner([this] {
      for (auto& [key, held] : held_)
        release(held);
      held_.clear();
    });
    {
      std::lock_guard guard(lock_);
      stop_ = true;
    }
    wake_.notify_all();
    owner_.join();
  }

  bool take(const std::string& key, std::string& holder) override {
    bool taken = false;
    on_owner([&] { taken = take_on_owner(key, holder); });
    return taken;
  }

  std::string holder(const std::string& key) override {
    std::string name;
    on_owner([&] {
      if (held_.count(key))
        return;
      const std::wstring object = object_name(key);
      if (!object.empty())
        name = read_holder(object + holder_suffix);
    });
    return name;
  }

  void give_back(const std::string& key) override {
    on_owner([&] {
      auto it = held_.find(key);
      if (it == held_.end())
        return;
      release(it->second);
      held_.erase(it);
    });
  }

 private:
  struct THeld {
    HANDLE mutex = nullptr;
    HANDLE mapping = nullptr;
    wchar_t* view = nullptr;
  };

  bool take_on_owner(const std::string& key, std::string& holder) {
    if (held_.count(key))
      return true;
    const std::wstring name = object_name(key);
    HANDLE mutex = name.empty() ? nullptr : CreateMutexW(nullptr, FALSE, name.c_str());
    if (!mutex) {
      holder.clear();  // cannot even be asked: treat as held by someone unknown
      return false;
    }
    const DWORD waited = WaitForSingleObject(mutex, 0);
    // WAIT_ABANDONED: the holder ended without giving the unit back (it
    // crashed); the unit is ours now.
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
      CloseHandle(mutex);
      holder = read_holder(name + holder_suffix);
      return false;
    }
    THeld held;
    held.mutex = mutex;
    held.mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, holder_bytes,
                                      (name + holder_suffix).c_str());
    if (held.mapping)
      held.view = static_cast<wchar_t*>(MapViewOfFile(held.mapping, FILE_MAP_WRITE, 0, 0, holder_bytes));
    if (held.view) {
      const size_t chars = holder_bytes / sizeof(wchar_t) - 1;
      const size_t n = std::min(program_.size(), chars);
      std::copy(program_.begin(), program_.begin() + static_cast<std::ptrdiff_t>(n), held.view);
      held.view[n] = L'\0';
    }
    held_[key] = held;
    return true;
  }

  static void release(THeld& held) {
    if (held.view) {
      held.view[0] = L'\0';  // a reader that still has the mapping open finds no name
      UnmapViewOfFile(held.view);
    }
    if (held.mapping)
      CloseHandle(held.mapping);
    ReleaseMutex(held.mutex);
    CloseHandle(held.mutex);
  }

  // Runs `job` on the owner thread and waits for it.
  void on_owner(std::function<void()> job) {
    std::packaged_task<void()> task(std::move(job));
    auto done = task.get_future();
    {
      std::lock_guard guard(lock_);
      jobs_.push_back(std::move(task));
    }
    wake_.notify_all();
    done.get();
  }

  void run() {
    std::unique_lock guard(lock_);
    for (;;) {
      wake_.wait(guard, [this] { return stop_ || !jobs_.empty(); });
      if (jobs_.empty())
        return;  // stop_, and every job has run
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      guard.unlock();
      job();
      guard.lock();
    }
  }

  const std::wstring program_;
  std::map<std::string, THeld> held_;  // by key; owner thread only
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::packaged_task<void()>> jobs_;
  bool stop_ = false;
  std::thread owner_;  // last: started once everything above exists
};

}  // namespace

std::shared_ptr<mx::link::TUnitLocks> link_win32_unit_locks() { return std::make_shared<TWin32UnitLocks>(); }
