// A stand-in HID_Lib.dll with the library's 18 exports and no devices: a known,
// loadable file that the loader test carries as its RCDATA "HID".
#include "HIDinterface.h"

extern "C" {
void HIDAPI_CALL USBsetEventHandler(TUSBEventHandler) {}
void HIDAPI_CALL HIDsetEventHandler(THIDReportHandler) {}
uint8_t HIDAPI_CALL HIDscanForDevices() { return 0; }
void HIDAPI_CALL HIDGetDeviceInfo(uint8_t, THIDDeviceInfo*) {}
uint8_t HIDAPI_CALL HIDopenDevice(uint8_t) { return 0; }
uint8_t HIDAPI_CALL HIDcloseDevice() { return 0; }
uint8_t HIDAPI_CALL HIDwriteDevice(THIDReport) { return 0; }
uint8_t HIDAPI_CALL HIDreadDevice(THIDReport*) { return 0; }
uint8_t HIDAPI_CALL HIDOutputReportSize() { return 0; }
uint8_t HIDAPI_CALL HIDInputReportSize() { return 0; }
uint8_t HIDAPI_CALL HIDFeatureReportSize() { return 0; }
uint8_t HIDAPI_CALL HIDOutputReportCount(uint8_t) { return 0; }
uint8_t HIDAPI_CALL HIDInputReportCount(uint8_t) { return 0; }
uint8_t HIDAPI_CALL HIDFeatureReportCount(uint8_t) { return 0; }
uint8_t HIDAPI_CALL HIDSetOutputReport(void*) { return 0; }
uint8_t HIDAPI_CALL HIDGetInputReport(void*) { return 0; }
uint8_t HIDAPI_CALL HIDSetFeatureReport(void*) { return 0; }
uint8_t HIDAPI_CALL HIDGetFeatureReport(void*) { return 0; }
}
