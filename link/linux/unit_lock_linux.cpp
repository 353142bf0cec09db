#include "unit_lock_linux.h"

#include "lock_name.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>

namespace mx::link {

namespace {

// The holder's name is a courtesy to other programs: failing to write or
// clear it changes nothing about who holds the unit.
void best_effort(ssize_t) {}

bool writable_folder(const char* path) { return path && *path && ::access(path, W_OK | X_OK) == 0; }

// Opens (creating it for everyone when missing) the lock file. Read and write
// when allowed; read only is enough for flock when another user made the
// file. No O_CREAT on an existing file: in a sticky folder the kernel may
// refuse that for another user's file (fs.protected_regular).
int open_lock_file(const std::string& path, bool& writable) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    writable = fd >= 0;
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) {
      ::fchmod(fd, 0666);  // whatever the umask: every user's programs share the unit
      writable = true;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

std::string read_holder(int fd) {
  char text[256];
  const ssize_t n = ::pread(fd, text, sizeof text, 0);
  std::string holder(text, n > 0 ? static_cast<size_t>(n) : 0);
  while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0')) holder.pop_back();
  return holder;
}

class FlockUnitLocks final : public TUnitLocks {
 public:
  FlockUnitLocks(std::string folder, std::string program) : folder_(std::move(folder)), program_(std::move(program)) {}
  ~FlockUnitLocks() override {
    for (auto& [key, held] : held_) release(held);
  }

  bool take(const std::string& key, std::string& holder) override {
    std::lock_guard lock(mutex_);
    if (held_.count(key)) return true;
    Held held;
    held.fd = open_lock_file(unit_lock_path(folder_, key), held.writable);
    if (held.fd < 0) {
      holder.clear();  // cannot even be asked: held by someone unknown
      return false;
    }
    if (::flock(held.fd, LOCK_EX | LOCK_NB) != 0) {
      holder = read_holder(held.fd);
      ::close(held.fd);
      return false;
    }
    if (held.writable) {
      // Written before it is cut to length: a reader never finds it empty while held.
      const std::string text = program_ + "\n";
      if (::pwrite(held.fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()))
        best_effort(::ftruncate(held.fd, static_cast<off_t>(text.size())));
    }
    held_[key] = held;
    return true;
  }

  void give_back(const std::string& key) override {
    std::lock_guard lock(mutex_);
    auto it = held_.find(key);
    if (it == held_.end()) return;
    release(it->second);
    held_.erase(it);
  }

 private:
  struct Held {
    int fd = -1;
    bool writable = false;
  };
  static void release(const Held& held) {
    // Emptied while still held: nobody reads a name that no longer holds it.
    if (held.writable) best_effort(::ftruncate(held.fd, 0));
    ::close(held.fd);
  }

  const std::string folder_, program_;
  std::mutex mutex_;
  std::map<std::string, Held> held_;
};

}  // namespace

std::string unit_lock_folder() {
  if (writable_folder("/run/lock")) return "/run/lock";
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); writable_folder(runtime)) return runtime;
  return "/tmp";
}

std::string unit_lock_path(const std::string& folder, const std::string& key) {
  return folder + "/VORNIX.MX-540KTR." + lock_name_for(key) + ".lock";
}

std::shared_ptr<TUnitLocks> flock_unit_locks(const std::string& folder, const std::string& program) {
  return std::make_shared<FlockUnitLocks>(folder, program);
}

}  // namespace mx::link
