// The device record keeps handles in 32 bits. Kernel handles of 64-bit
// Windows carry only 32 significant bits (they are shared with 32-bit
// processes that way), so the low 32 bits, sign-extended back, are the handle;
// INVALID_HANDLE_VALUE becomes HID_NO_HANDLE and back.
#pragma once

#include "HIDinterface.h"

#include <windows.h>

#include <cstdint>

namespace hidlib {

inline HANDLE to_win_handle(uint32_t handle) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(static_cast<int32_t>(handle)));
}

inline uint32_t from_win_handle(HANDLE handle) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

}  // namespace hidlib
