// The 18 exports of HID_Lib.dll as functions of this build, working on the
// process's library (install_process_library). The DLL exports them through the
// .def file that CMake writes from the list (mx_hid_export_def); native hosts and
// tests call them directly.
#pragma once

#include "HIDinterface.h"

#include <type_traits>

// Declared from the list in HIDinterface.h, each with its pointer type's signature.
extern "C" {
#define HID_DECLARE_EXPORT(name, type, ordinal) std::remove_pointer_t<type> name;
HID_EXPORT_LIST(HID_DECLARE_EXPORT)
#undef HID_DECLARE_EXPORT
}

namespace hidlib {
// The export of that name, as GetProcAddress would give it; nullptr for others.
void* resolve_export(const char* name);
}  // namespace hidlib
