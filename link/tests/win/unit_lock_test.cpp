// The Windows per-unit lock: a second holder (another set of locks, another
// process) is refused and told the holder's program; the lock is free again
// after give_back, and after the holding process ends, also without a word.
#include "USB.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>

namespace {

const wchar_t child_variable[] = L"MX540_LOCK_TEST_CHILD";
const wchar_t held_event[] = L"Local\\mx540-lock-test-held";

// The other process of ALockHeldByAnotherProcessIsFreeOnceItEnds: this
// program started with the variable set holds the lock it names until it is
// ended, and runs no test.
[[maybe_unused]] const bool child_holds_a_lock = [] {
  wchar_t serial[64];
  const DWORD n = GetEnvironmentVariableW(child_variable, serial, 64);
  if (n == 0 || n >= 64)
    return false;
  auto locks = link_win32_unit_locks();
  std::string holder;
  if (!locks->take(std::string(serial, serial + n), holder))
    ExitProcess(2);
  HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, held_event);
  if (!held)
    ExitProcess(3);
  SetEvent(held);
  Sleep(INFINITE);  // ended by the parent
  return true;
}();

std::string own_file_name() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring full(path, n);
  full = full.substr(full.find_last_of(L"\\/") + 1);
  return std::string(full.begin(), full.end());  // the test's name is ASCII
}

TEST(WinUnitLocks, ASecondHolderIsRefusedWithTheHoldersName) {
  auto first = link_win32_unit_locks();
  auto second = link_win32_unit_locks();
  std::string holder;
  // Serials with characters a kernel object name cannot carry are still locks
  // of their own, and so are device paths (units without a serial), also one
  // too long to be spelled out in a kernel object name.
  const std::string long_path = "\\\\?\\hid#vid_1209&pid_540a#" + std::string(400, 'y') + "#{4d1e55b2}";
  for (const std::string serial : {std::string("VX540K-LOCK01"), std::string("odd\\serial/1"), long_path}) {
    ASSERT_TRUE(first->take(serial, holder)) << serial;
    EXPECT_TRUE(first->take(serial, holder)) << serial;  // already ours
    holder.clear();
    EXPECT_FALSE(second->take(serial, holder)) << serial;
    EXPECT_EQ(holder, own_file_name()) << serial;
    // Asked without taking: the other set names the holder, the holder itself nobody.
    EXPECT_EQ(second->holder(serial), own_file_name()) << serial;
    EXPECT_EQ(first->holder(serial), "") << serial;
    first->give_back(serial);
    EXPECT_EQ(second->holder(serial), "") << serial;
    EXPECT_TRUE(second->take(serial, holder)) << serial;
    second->give_back(serial);
  }
  // Taken on one thread, given back on another: free for the next holder.
  std::thread([&] { ASSERT_TRUE(first->take("VX540K-LOCK02", holder)); }).join();
  std::thread([&] { first->give_back("VX540K-LOCK02"); }).join();
  EXPECT_TRUE(second->take("VX540K-LOCK02", holder));
}

// Keys that differ only where a careless spelling would merge them are locks
// of their own: one holder has every first key, another still gets every second.
TEST(WinUnitLocks, KeysThatDifferAreNeverOneLock) {
  const std::string long_path = "\\\\?\\hid#vid_1209&pid_540a#" + std::string(400, 'x') + "#{4d1e55b2}";
  const std::pair<std::string, std::string> pairs[] = {
      {"A B", "A_B"},
      {"C_D", "C_5FD"},                 // the escape character itself
      {"\xC3\x84X1", "\xC3\x96X1"},     // two non-ASCII serials of one length
      {"", "_"},
      {"ab", "AB"},
      {long_path + "1", long_path + "2"},   // too long for a kernel object name when spelled out
      {"\\\\?\\hid#vid_1209&pid_540a#7&2f1c9a3b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
       "\\\\?\\hid#vid_1209&pid_540a#7&2f1c9a3b&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030}"},
  };
  auto first = link_win32_unit_locks();
  auto second = link_win32_unit_locks();
  std::string holder;
  for (const auto& [a, b] : pairs)
    ASSERT_TRUE(first->take(a, holder)) << a;
  for (const auto& [a, b] : pairs) {
    EXPECT_TRUE(second->take(b, holder)) << a << " and " << b << " share a lock";
    EXPECT_FALSE(second->take(a, holder)) << a;   // and each is still a lock
    EXPECT_EQ(holder, own_file_name()) << a;
  }
}

TEST(WinUnitLocks, ALockHeldByAnotherProcessIsFreeOnceItEnds) {
  HANDLE held = CreateEventW(nullptr, TRUE, FALSE, held_event);
  ASSERT_NE(held, nullptr);
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(path) + L"\"";
  SetEnvironmentVariableW(child_variable, L"VX540K-LOCK03");
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  SetEnvironmentVariableW(child_variable, nullptr);
  ASSERT_TRUE(started);
  ASSERT_EQ(WaitForSingleObject(held, 30000), WAIT_OBJECT_0) << "the child never took the lock";

  auto locks = link_win32_unit_locks();
  std::string holder;
  EXPECT_FALSE(locks->take("VX540K-LOCK03", holder));
  EXPECT_EQ(holder, own_file_name());
  // The holder ends without giving the lock back (as a crash would).
  TerminateProcess(pi.hProcess, 3);
  WaitForSingleObject(pi.hProcess, 10000);
  EXPECT_TRUE(locks->take("VX540K-LOCK03", holder));
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  CloseHandle(held);
}

}  // namespace
