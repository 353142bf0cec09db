// The Linux unit locks: flock'ed files in a folder, one per unit key.
#include "unit_lock_linux.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using namespace mx::link;
namespace fs = std::filesystem;

struct Folder {
  fs::path path = fs::temp_directory_path() / ("mx540-locks-" + std::to_string(::getpid()));
  Folder() { fs::create_directories(path); }
  ~Folder() { fs::remove_all(path); }
  std::string text(const std::string& key) const {
    std::ifstream in(unit_lock_path(path.string(), key));
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
};

TEST(LinuxUnitLocks, OneHolderPerUnitWhoseNameOthersRead) {
  Folder folder;
  auto a = flock_unit_locks(folder.path.string(), "mx540ctl");
  auto b = flock_unit_locks(folder.path.string(), "panel-script");
  std::string holder;

  EXPECT_EQ(unit_lock_path("/run/lock", "VX540K-000001"), "/run/lock/VORNIX.MX-540KTR.VX540K-000001.lock");
  ASSERT_TRUE(a->take("VX540K-000001", holder));
  EXPECT_TRUE(a->take("VX540K-000001", holder)) << "held already";
  EXPECT_EQ(folder.text("VX540K-000001"), "mx540ctl\n");
  EXPECT_FALSE(b->take("VX540K-000001", holder));
  EXPECT_EQ(holder, "mx540ctl");
  EXPECT_TRUE(b->take("VX540K-000002", holder));

  // Keys whose plain spellings would meet are two locks.
  EXPECT_TRUE(a->take("a/b", holder));
  EXPECT_TRUE(b->take("a_2Fb", holder));
  EXPECT_TRUE(b->take("", holder));

  a->give_back("VX540K-000001");
  EXPECT_EQ(folder.text("VX540K-000001"), "") << "no name left behind";
  EXPECT_TRUE(b->take("VX540K-000001", holder));
  EXPECT_EQ(folder.text("VX540K-000001"), "panel-script\n");
  b.reset();  // ending gives everything back
  EXPECT_TRUE(a->take("VX540K-000001", holder));
}

TEST(LinuxUnitLocks, AHolderThatIsKilledFreesItsUnit) {
  Folder folder;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto locks = flock_unit_locks(folder.path.string(), "doomed");
    std::string holder;
    const char ok = locks->take("VX540K-000003", holder) ? '1' : '0';
    if (::write(ready[1], &ok, 1) != 1) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, '1');
  auto locks = flock_unit_locks(folder.path.string(), "survivor");
  std::string holder;
  EXPECT_FALSE(locks->take("VX540K-000003", holder));
  EXPECT_EQ(holder, "doomed");
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(locks->take("VX540K-000003", holder));
  ::close(ready[0]);
  ::close(ready[1]);
}

}  // namespace
