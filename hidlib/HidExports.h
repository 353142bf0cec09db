// The 18 exports of HID_Lib.dll as functions of this build, working on the
// process's library (install_process_library). The DLL exports them through
// HID_Library.def; native hosts and tests call them directly.
#pragma once

#include "HIDinterface.h"

extern "C" {
uint8_t HIDAPI_CALL HIDscanForDevices();
void HIDAPI_CALL HIDGetDeviceInfo(uint8_t Index, THIDDeviceInfo* Info);
uint8_t HIDAPI_CALL HIDopenDevice(uint8_t Index);
uint8_t HIDAPI_CALL HIDcloseDevice();
uint8_t HIDAPI_CALL HIDwriteDevice(THIDReport Report);
uint8_t HIDAPI_CALL HIDreadDevice(THIDReport* Report);
uint8_t HIDAPI_CALL HIDOutputReportSize();
uint8_t HIDAPI_CALL HIDInputReportSize();
uint8_t HIDAPI_CALL HIDFeatureReportSize();
uint8_t HIDAPI_CALL HIDOutputReportCount(uint8_t ReportID);
uint8_t HIDAPI_CALL HIDInputReportCount(uint8_t ReportID);
uint8_t HIDAPI_CALL HIDFeatureReportCount(uint8_t ReportID);
uint8_t HIDAPI_CALL HIDSetOutputReport(void* Buffer);
uint8_t HIDAPI_CALL HIDGetInputReport(void* Buffer);
uint8_t HIDAPI_CALL HIDSetFeatureReport(void* Buffer);
uint8_t HIDAPI_CALL HIDGetFeatureReport(void* Buffer);
void HIDAPI_CALL HIDsetEventHandler(THIDReportHandler Handler);
void HIDAPI_CALL USBsetEventHandler(TUSBEventHandler Handler);
}

namespace hidlib {
// The export of that name, as GetProcAddress would give it; nullptr for others.
void* resolve_export(const char* name);
}  // namespace hidlib
