// A loaded library over a simulated bus, as the library's own tests use it.
#pragma once

#include "HidExports.h"
#include "LoadedLibrary.h"
#include "SimPlatform.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace hidlib::testing {

// A read-write device with report ID 1 and 65-byte input and output reports,
// each described by one value control of 64 bytes.
inline SimDeviceConfig vendor_device(const std::string& path, uint16_t product_id = 0x0540) {
  SimDeviceConfig config;
  config.path = path;
  config.vendor_id = 0x1FC9;
  config.product_id = product_id;
  config.version = 0x0110;
  config.manufacturer = "VORNIX";
  config.product = "MX-540KTR";
  config.serial = "000123";
  config.input_length = 65;
  config.output_length = 65;
  config.input_values = {HidValueCap{0x01, 1, 8, 64}};
  config.output_values = {HidValueCap{0x02, 1, 8, 64}};
  return config;
}

class SimLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { loaded = std::make_unique<LoadedLibrary>(bus); }
  void TearDown() override { loaded.reset(); }

  std::shared_ptr<SimDevice> plug(SimDeviceConfig config) {
    auto device = std::make_shared<SimDevice>(std::move(config));
    bus.plug(device);
    return device;
  }

  static THIDDeviceInfo info(uint8_t index) {
    THIDDeviceInfo record;
    HIDGetDeviceInfo(index, &record);
    return record;
  }

  SimPlatform bus;
  std::unique_ptr<LoadedLibrary> loaded;
};


}  // namespace hidlib::testing
