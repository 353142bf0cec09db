// Reading a state file, and replacing one in one step. POSIX rename replaces
// an existing target atomically; Windows needs MoveFileExW with
// MOVEFILE_REPLACE_EXISTING, and refuses while a reader holds the target open
// without sharing it for deletion (this file's readers share it).
#include "StateFolder.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdio>
#include <fstream>
#include <iterator>
#include <unistd.h>
#endif

namespace mxv {

unsigned long current_process_id() {
#if defined(_WIN32)
  return GetCurrentProcessId();
#else
  return static_cast<unsigned long>(getpid());
#endif
}

bool read_whole_file(const std::filesystem::path& path, std::string& out) {
#if defined(_WIN32)
  // Shared for deletion too: a reader never stops another process replacing
  // the file (the state files and owner.txt are read all the time).
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  out.clear();
  char buffer[65536];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != 0) && got > 0)
    out.append(buffer, got);
  CloseHandle(file);
  return ok;
#else
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
#endif
}

bool replace_file(const std::filesystem::path& temp, const std::filesystem::path& target) {
#if defined(_WIN32)
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
      return true;
    Sleep(2);
  }
  DeleteFileW(temp.c_str());
  return false;
#else
  if (std::rename(temp.c_str(), target.c_str()) == 0)
    return true;
  std::remove(temp.c_str());
  return false;
#endif
}

}  // namespace mxv
