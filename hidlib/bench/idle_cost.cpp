// Idle cost of the read thread: a host that opens one HID device through
// HID_Lib.dll, registers a report handler and then does nothing. Prints the
// process's own CPU time over the idle span; idle_cost.sh adds the Wine
// server's share.
//
//   hidlib_idle_cost.exe [library path = HID_Lib.dll] [seconds = 10]
#include "HIDinterface.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

uint64_t process_cpu_100ns() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ticks = [](const FILETIME& t) { return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return ticks(kernel) + ticks(user);
}

void HIDAPI_CALL on_report(THIDReport, uint8_t) {}

template <typename T>
T bind(HMODULE module, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "HID_Lib.dll";
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
  HMODULE module = LoadLibraryA(path);
  if (module == nullptr) {
    std::fprintf(stderr, "cannot load %s\n", path);
    return 2;
  }
  auto scan = bind<THIDscanForDevices>(module, "HIDscanForDevices");
  auto open = bind<THIDopenDevice>(module, "HIDopenDevice");
  auto set_handler = bind<THIDsetEventHandler>(module, "HIDsetEventHandler");
  // A freshly booted prefix lists its HID devices a moment later.
  uint8_t count = 0;
  for (int tries = 0; tries < 100 && (count = scan()) == 0; ++tries) Sleep(100);
  if (count == 0 || !open(0)) {
    std::fprintf(stderr, "no HID device to open (%d listed)\n", count);
    return 3;
  }
  set_handler(&on_report);
  Sleep(500);  // the read thread settles
  std::printf("ready\n");
  std::fflush(stdout);
  const uint64_t cpu_before = process_cpu_100ns();
  const DWORD start = GetTickCount();
  Sleep(static_cast<DWORD>(seconds) * 1000);
  const DWORD elapsed_ms = GetTickCount() - start;
  const uint64_t cpu = process_cpu_100ns() - cpu_before;
  std::printf("elapsed_ms=%lu process_cpu_ms=%.1f process_share=%.3f%%\n", static_cast<unsigned long>(elapsed_ms),
              cpu / 1e4, 100.0 * (cpu / 1e4) / elapsed_ms);
  std::fflush(stdout);
  return 0;
}
