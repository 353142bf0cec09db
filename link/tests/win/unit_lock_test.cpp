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
  // Serials with characters a kernel object name cannot carry are still locks of their own.
  for (const std::string serial : {"VX540K-LOCK01", "odd\\serial/1"}) {
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

TEST(WinUnitLocks, ALockHeldByAnotherProcessIsFreeOnceItEnds) {
  HANDLE held = CreateEventW(nullptr, TRUE, FALSE, held_event);
  ASSERT_NE(held, nullptr);
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(path) + L"\" --gtest_filter=WinUnitLocks.ChildHoldsUntilEnded";
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

// The other process of the test above; does nothing when run on its own.
TEST(WinUnitLocks, ChildHoldsUntilEnded) {
  wchar_t serial[64];
  const DWORD n = GetEnvironmentVariableW(child_variable, serial, 64);
  if (n == 0 || n >= 64)
    GTEST_SKIP() << "run by ALockHeldByAnotherProcessIsFreeOnceItEnds";
  auto locks = link_win32_unit_locks();
  std::string holder;
  ASSERT_TRUE(locks->take(std::string(serial, serial + n), holder));
  HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, held_event);
  ASSERT_NE(held, nullptr);
  SetEvent(held);
  Sleep(INFINITE);  // ended by the parent
}

}  // namespace
