// Platform of the echo test library: HID_Lib.dll's own exports, window and
// read thread over a simulated bus with one device that sends every output
// report straight back as an input report. An output report whose first data
// byte is 0xEE makes the device leave the bus and come back instead.
#include "SimPlatform.h"

#include <memory>

namespace {

using namespace hidlib;

class EchoDevice : public SimDevice {
 public:
  EchoDevice(SimDeviceConfig config, SimPlatform& bus) : SimDevice(std::move(config)), bus_(bus) {}

  bool on_output_report(const uint8_t* data, size_t length, OutputPath path) override {
    if (length > 1 && data[1] == 0xEE) {
      bus_.unplug(shared_from_this());
      bus_.plug(shared_from_this());
      return true;
    }
    queue_input_report(data, length);
    return true;
  }

 private:
  SimPlatform& bus_;
};

}  // namespace

HidPlatform& hidlib::dll_platform() {
  static SimPlatform bus;
  static const bool plugged = [] {
    SimDeviceConfig config;
    config.path = "\\\\?\\hid#vid_1fc9&pid_e540#echo#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    config.vendor_id = 0x1FC9;
    config.product_id = 0xE540;
    config.version = 0x0102;
    config.manufacturer = "VORNIX";
    config.product = "Echo";
    config.input_length = 65;
    config.output_length = 65;
    config.input_values = {HidValueCap{0x01, 1, 8, 64}};
    config.output_values = {HidValueCap{0x02, 1, 8, 64}};
    bus.set_notifications_per_change(3);
    bus.plug(std::make_shared<EchoDevice>(config, bus));
    return true;
  }();
  (void)plugged;
  return bus;
}
