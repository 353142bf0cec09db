// Replacing a file in one step. POSIX rename replaces an existing target
// atomically; Windows needs MoveFileExW with MOVEFILE_REPLACE_EXISTING, and may
// refuse for a moment while a reader holds the target open.
#include "StateFolder.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdio>
#endif

namespace mxv {

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
