#include "HIDinterface.h"

#include <gtest/gtest.h>

#include <cstring>

// The record travels between library and host as raw bytes; fields must land at
// the byte positions a host written against the same layout reads them from.
TEST(DeviceInfoLayout, FieldsLandAtTheirByteOffsets) {
  THIDDeviceInfo info;
  std::memset(&info, 0, sizeof info);
  info.DeviceHandle = HID_NO_HANDLE;
  info.VersionNumber = 0x0110;
  info.ReadWrite = 1;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&info);
  EXPECT_EQ(bytes[412], 0xFF);
  EXPECT_EQ(bytes[415], 0xFF);
  EXPECT_EQ(bytes[420], 0x10);  // little-endian
  EXPECT_EQ(bytes[421], 0x01);
  EXPECT_EQ(bytes[1190], 1);
}
