// The exports over a simulated bus: scan, device records, open and close,
// report sizes and counts, the ordinary and control report paths.
#include "SimFixture.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

using namespace hidlib;
using namespace hidlib::testing;
using Clock = std::chrono::steady_clock;

namespace {

bool is_reset(const THIDDeviceInfo& record) {
  THIDDeviceInfo expected = reset_entry();
  // Bytes past a string's length carry no meaning; compare the meaningful parts.
  return record.DevicePath.Length == 0 && record.Manufacturer.Length == 0 && record.Product.Length == 0 &&
         record.SerialNumber.Length == 0 && record.OutputReportByteLength == 0 &&
         record.InputReportByteLength == 0 && record.FeatureReportByteLength == 0 &&
         std::memcmp(record.OutputItems, expected.OutputItems, 150) == 0 &&
         record.DeviceHandle == HID_NO_HANDLE && record.VendorID == 0 && record.ProductID == 0 &&
         record.VersionNumber == 0;
}

// A handle the table let go of is closed once the read thread, which may hold
// it until it next wakes, has let go of it too: waited for with a bound.
bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

using Scan = SimLibraryTest;

TEST_F(Scan, WithNoDevicesListsNothingAndResetsEveryEntry) {
  EXPECT_EQ(HIDscanForDevices(), 0);
  for (int i = 0; i < HID_MAX_DEVICES; ++i) EXPECT_TRUE(is_reset(info(i))) << i;
}

TEST_F(Scan, WithoutAnyDeviceListFindsNothing) {
  plug(vendor_device("\\\\?\\hid#a"));
  bus.set_enumeration_available(false);
  EXPECT_EQ(HIDscanForDevices(), 0);
  EXPECT_TRUE(is_reset(info(0)));
}

TEST_F(Scan, KeepsTheFirst32InEnumerationOrder) {
  for (int i = 0; i < 40; ++i) plug(vendor_device("\\\\?\\hid#dev" + std::to_string(i), 0x100 + i));
  EXPECT_EQ(HIDscanForDevices(), 32);
  for (int i = 0; i < 32; ++i) {
    EXPECT_EQ(+info(i).ProductID, 0x100 + i) << i;
  }
  // Index 31 is the 32nd device; 32 is outside the table and leaves the record alone.
  EXPECT_EQ(hid_text(info(31).DevicePath), std::string("\\\\?\\hid#dev31") + '\0');
  THIDDeviceInfo untouched;
  std::memset(&untouched, 0xA5, sizeof untouched);
  HIDGetDeviceInfo(32, &untouched);
  HIDGetDeviceInfo(255, &untouched);
  for (size_t b = 0; b < sizeof untouched; ++b)
    ASSERT_EQ(reinterpret_cast<const uint8_t*>(&untouched)[b], 0xA5) << b;
  // The scan holds nothing open afterwards.
  EXPECT_EQ(bus.open_handle_count(), 0u);
}

TEST_F(Scan, RescanAfterDevicesWentAwayResetsEveryEntryFromTheNewCountUp) {
  std::vector<std::shared_ptr<SimDevice>> devices;
  for (int i = 0; i < 4; ++i) devices.push_back(plug(vendor_device("dev" + std::to_string(i), 0x200 + i)));
  ASSERT_EQ(HIDscanForDevices(), 4);
  bus.unplug(devices[0]);
  bus.unplug(devices[2]);
  ASSERT_EQ(HIDscanForDevices(), 2);
  EXPECT_EQ(+info(0).ProductID, 0x201);
  EXPECT_EQ(+info(1).ProductID, 0x203);
  for (int i = 2; i < HID_MAX_DEVICES; ++i) EXPECT_TRUE(is_reset(info(i))) << i;
}

TEST_F(Scan, SkipsInterfacesWithoutIdentityOrAccessAndGoesOn) {
  SimDeviceConfig no_vendor = vendor_device("p0");
  no_vendor.vendor_id = 0;
  SimDeviceConfig no_product = vendor_device("p1");
  no_product.product_id = 0;
  SimDeviceConfig closed = vendor_device("p2");
  closed.access = SimAccess::None;
  SimDeviceConfig no_attributes = vendor_device("p3");
  no_attributes.attributes_readable = false;
  for (const auto& c : {no_vendor, no_product, closed, no_attributes}) plug(c);
  plug(vendor_device("good", 0x0777));
  EXPECT_EQ(HIDscanForDevices(), 1);
  EXPECT_EQ(+info(0).ProductID, 0x0777);
  EXPECT_TRUE(is_reset(info(1)));
}

TEST_F(Scan, FillsTheRecordFromTheDevice) {
  SimDeviceConfig c = vendor_device("\\\\?\\hid#vid_1fc9&pid_0540#7&1&0000#{4d1e55b2}");
  c.feature_length = 9;
  plug(c);
  ASSERT_EQ(HIDscanForDevices(), 1);
  const THIDDeviceInfo r = info(0);
  EXPECT_EQ(hid_text(r.DevicePath), c.path + '\0');
  EXPECT_EQ(+r.VendorID, 0x1FC9);
  EXPECT_EQ(+r.ProductID, 0x0540);
  EXPECT_EQ(+r.VersionNumber, 0x0110);
  EXPECT_EQ(hid_text(r.Manufacturer), "VORNIX");
  EXPECT_EQ(hid_text(r.Product), "MX-540KTR");
  EXPECT_EQ(hid_text(r.SerialNumber), "000123");
  EXPECT_EQ(+r.InputReportByteLength, 65);
  EXPECT_EQ(+r.OutputReportByteLength, 65);
  EXPECT_EQ(+r.FeatureReportByteLength, 9);
  EXPECT_EQ(r.InputItems[0].ReportID, 1);
  EXPECT_EQ(r.InputItems[0].ReportCount, 64);
  EXPECT_EQ(r.FeatureItems[0].ReportCount, 8);
  EXPECT_EQ(+r.DeviceHandle, HID_NO_HANDLE);
  EXPECT_EQ(r.ReadWrite, 1);
}

TEST_F(Scan, FillsMissingStringsAndMissingCapabilities) {
  SimDeviceConfig no_strings = vendor_device("a");
  no_strings.manufacturer.reset();
  no_strings.product.reset();
  no_strings.serial.reset();
  SimDeviceConfig no_caps = vendor_device("b");
  no_caps.has_preparsed_data = false;
  SimDeviceConfig keyboard = vendor_device("c");
  keyboard.access = SimAccess::QueryOnly;
  keyboard.manufacturer = "The Wine Project";
  keyboard.output_length = 0;
  keyboard.output_values.clear();
  plug(no_strings);
  plug(no_caps);
  plug(keyboard);
  ASSERT_EQ(HIDscanForDevices(), 3);

  const THIDDeviceInfo a = info(0);
  EXPECT_EQ(a.Manufacturer.Length, 0);
  EXPECT_EQ(a.Product.Length, 0);
  EXPECT_EQ(hid_text(a.SerialNumber), "---");

  const THIDDeviceInfo b = info(1);
  EXPECT_EQ(+b.InputReportByteLength, 0);
  EXPECT_EQ(+b.OutputReportByteLength, 0);
  const THIDReportItem zero[HID_ITEMS_PER_TABLE] = {};
  EXPECT_EQ(std::memcmp(b.InputItems, zero, sizeof zero), 0);
  EXPECT_EQ(std::memcmp(b.OutputItems, zero, sizeof zero), 0);

  // Keyboards and mice open only for queries: listed, strings and lengths filled.
  const THIDDeviceInfo c = info(2);
  EXPECT_EQ(c.ReadWrite, 0);
  EXPECT_EQ(hid_text(c.Manufacturer), "The Wine Project");
  EXPECT_EQ(+c.InputReportByteLength, 65);
  EXPECT_EQ(c.OutputItems[0].BitSize, 8);
  EXPECT_EQ(c.OutputItems[0].ReportCount, 0);

  // A device whose capabilities could not be read reports zero sizes.
  ASSERT_TRUE(HIDopenDevice(1));
  EXPECT_EQ(HIDInputReportSize(), 0);
  EXPECT_EQ(HIDOutputReportSize(), 0);
  EXPECT_EQ(HIDOutputReportCount(1), 0);
}

TEST_F(Scan, CutsLongPathsAndStrings) {
  SimDeviceConfig c = vendor_device(std::string(254, 'p'));
  c.product = std::string(400, 'n');
  plug(c);
  SimDeviceConfig d = vendor_device(std::string(300, 'q'));
  plug(d);
  ASSERT_EQ(HIDscanForDevices(), 2);
  // 254 characters and the NUL fill 255; a longer path is cut and has no NUL.
  EXPECT_EQ(hid_text(info(0).DevicePath), std::string(254, 'p') + '\0');
  EXPECT_EQ(hid_text(info(0).Product), std::string(255, 'n'));
  EXPECT_EQ(hid_text(info(1).DevicePath), std::string(255, 'q'));
}

using OpenClose = SimLibraryTest;

TEST_F(OpenClose, OpenMakesCurrentAndCloseEndsIt) {
  plug(vendor_device("a"));
  plug(vendor_device("b"));
  ASSERT_EQ(HIDscanForDevices(), 2);
  EXPECT_EQ(HIDOutputReportSize(), 0) << "no device current yet";
  ASSERT_EQ(HIDopenDevice(1), 1);
  EXPECT_EQ(loaded->library().current_device(), 1);
  EXPECT_NE(+info(1).DeviceHandle, HID_NO_HANDLE);
  EXPECT_EQ(HIDOutputReportSize(), 65);
  EXPECT_EQ(HIDcloseDevice(), 1);
  EXPECT_EQ(HIDcloseDevice(), 0);
  EXPECT_EQ(loaded->library().current_device(), -1);
  EXPECT_EQ(+info(1).DeviceHandle, HID_NO_HANDLE);
  EXPECT_TRUE(wait_for([this] { return bus.open_handle_count() == 0; }, std::chrono::seconds(5)));
}

TEST_F(OpenClose, TheDriverIsAskedFor64InputBuffersOnEveryProbeAndOpen) {
  plug(vendor_device("a"));
  SimDeviceConfig keyboard = vendor_device("b");
  keyboard.access = SimAccess::QueryOnly;
  plug(keyboard);
  ASSERT_EQ(HIDscanForDevices(), 2);
  auto asked = bus.input_buffer_requests();
  ASSERT_EQ(asked.size(), 2u) << "one request per probed device";
  EXPECT_NE(asked[0].first, asked[1].first);
  for (const auto& [handle, count] : asked) EXPECT_EQ(count, 64u);

  for (uint8_t index : {0, 1}) {
    ASSERT_EQ(HIDopenDevice(index), 1);
    asked = bus.input_buffer_requests();
    ASSERT_EQ(asked.size(), 3u + index);
    EXPECT_EQ(asked.back().first, info(index).DeviceHandle) << "asked on the open handle";
    EXPECT_EQ(asked.back().second, 64u);
    ASSERT_EQ(HIDcloseDevice(), 1);
  }
}

TEST_F(OpenClose, OpeningAnOpenEntryAgainReusesItsHandle) {
  plug(vendor_device("a"));
  ASSERT_EQ(HIDscanForDevices(), 1);
  ASSERT_EQ(HIDopenDevice(0), 1);
  const uint32_t handle = info(0).DeviceHandle;
  const uint64_t opens = bus.open_calls();
  EXPECT_EQ(HIDopenDevice(0), 1);
  EXPECT_EQ(bus.open_calls(), opens);
  EXPECT_EQ(+info(0).DeviceHandle, handle);
  EXPECT_EQ(bus.open_handle_count(), 1u);
}

TEST_F(OpenClose, FailedOpensLeaveNoDeviceCurrent) {
  plug(vendor_device("a"));
  ASSERT_EQ(HIDscanForDevices(), 1);
  struct Case {
    uint8_t index;
    const char* why;
  } cases[] = {{1, "entry without a device"}, {31, "last entry, empty"}, {32, "outside the table"},
               {255, "far outside the table"}};
  for (const Case& c : cases) {
    ASSERT_EQ(HIDopenDevice(0), 1);
    EXPECT_EQ(HIDopenDevice(c.index), 0) << c.why;
    EXPECT_EQ(loaded->library().current_device(), -1) << c.why;
    if (c.index < HID_MAX_DEVICES) {
      EXPECT_EQ(+info(c.index).DeviceHandle, HID_NO_HANDLE) << c.why;
    }
  }
}

TEST_F(OpenClose, DeviceGoneBeforeOpenFails) {
  auto device = plug(vendor_device("a"));
  ASSERT_EQ(HIDscanForDevices(), 1);
  bus.unplug(device);
  EXPECT_EQ(HIDopenDevice(0), 0);
  EXPECT_EQ(loaded->library().current_device(), -1);
}

TEST_F(OpenClose, RescanWhileOpenResetsTheEntryAndReleasesItsHandle) {
  plug(vendor_device("a"));
  ASSERT_EQ(HIDscanForDevices(), 1);
  ASSERT_EQ(HIDopenDevice(0), 1);
  ASSERT_EQ(HIDscanForDevices(), 1);
  EXPECT_EQ(+info(0).DeviceHandle, HID_NO_HANDLE);
  EXPECT_TRUE(wait_for([this] { return bus.open_handle_count() == 0; }, std::chrono::seconds(5)));
  EXPECT_EQ(loaded->library().current_device(), 0) << "a scan leaves CurrentDevice alone";
  uint8_t buffer[65] = {1};
  EXPECT_EQ(HIDSetOutputReport(buffer), 0);
  THIDReport report{};
  EXPECT_EQ(HIDwriteDevice(report), 0);
  EXPECT_EQ(HIDreadDevice(&report), 0);
  EXPECT_EQ(HIDcloseDevice(), 1);
  EXPECT_EQ(loaded->library().current_device(), -1);
  EXPECT_EQ(bus.stale_handle_uses(), 0u);
}

using Reports = SimLibraryTest;

TEST_F(Reports, CallsWithoutACurrentDeviceFail) {
  plug(vendor_device("a"));
  ASSERT_EQ(HIDscanForDevices(), 1);
  uint8_t buffer[65] = {1};
  THIDReport report{};
  report.ReportID = 1;
  EXPECT_EQ(HIDwriteDevice(report), 0);
  EXPECT_EQ(HIDreadDevice(&report), 0);
  EXPECT_EQ(HIDSetOutputReport(buffer), 0);
  EXPECT_EQ(HIDGetInputReport(buffer), 0);
  EXPECT_EQ(HIDSetFeatureReport(buffer), 0);
  EXPECT_EQ(HIDGetFeatureReport(buffer), 0);
  EXPECT_EQ(HIDOutputReportSize() | HIDInputReportSize() | HIDFeatureReportSize(), 0);
  EXPECT_EQ(HIDOutputReportCount(1) | HIDInputReportCount(1) | HIDFeatureReportCount(0), 0);
}

TEST_F(Reports, SizesAndCountsOfTheCurrentDevice) {
  SimDeviceConfig c = vendor_device("a");
  c.input_values = {HidValueCap{0x10, 1, 8, 30}, HidValueCap{0x11, 1, 8, 33}};
  c.output_values = {HidValueCap{0x12, 1, 8, 1}};
  c.feature_length = 300;
  plug(c);
  ASSERT_EQ(HIDscanForDevices(), 1);
  ASSERT_EQ(HIDopenDevice(0), 1);
  EXPECT_EQ(HIDInputReportSize(), 65);
  EXPECT_EQ(HIDFeatureReportSize(), 300 & 0xFF);
  EXPECT_EQ(HIDInputReportCount(1), 63);
  EXPECT_EQ(HIDInputReportCount(5), 64);
  EXPECT_EQ(HIDOutputReportCount(1), 64) << "a single one-item control is the whole report";
  EXPECT_EQ(info(0).OutputItems[0].ReportCount, 64);
}

TEST_F(Reports, OrdinaryWriteSendsTheReportLengthAndCountsItsItems) {
  SimDeviceConfig c = vendor_device("a");
  c.output_length = 9;
  c.output_values = {HidValueCap{0x12, 2, 8, 8}};
  auto device = plug(c);
  ASSERT_EQ(HIDscanForDevices(), 1);
  ASSERT_EQ(HIDopenDevice(0), 1);
  THIDReport report{};
  report.ReportID = 2;
  for (int i = 0; i < 64; ++i) report.Data[i] = static_cast<uint8_t>(i + 1);
  EXPECT_EQ(HIDwriteDevice(report), 8);
  const auto sent = device->output_reports();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].path, OutputPath::Write);
  EXPECT_EQ(sent[0].bytes, (std::vector<uint8_t>{2, 1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(Reports, WriteToAQueryOnlyDeviceFailsWithoutWriting) {
  SimDeviceConfig c = vendor_device("a");
  c.access = SimAccess::QueryOnly;
  auto device = plug(c);
  ASSERT_EQ(HIDscanForDevices(), 1);
  ASSERT_EQ(HIDopenDevice(0), 1);
  THIDReport report{};
  report.ReportID = 1;
  EXPECT_EQ(HIDwriteDevice(report), 0);
  EXPECT_TRUE(device->output_reports().empty());
}

TEST_F(Reports, WriteThatNeverCompletesGivesUpAfter200ms) {
  class Stalled : public SimDevice {
   public:
    using SimDevice::SimDevice;
    bool on_output_report(const uint8_t*, size_t, OutputPath) override { return false; }
  };
  bus.plug(std::make_shared<Stalled>(vendor_device("a")));
  ASSERT_EQ(HIDscanForDevices(), 1);
  ASSERT_EQ(HIDopenDevice(0), 1);
  THIDReport report{};
  report.ReportID = 1;
  const auto start = Clock::now();
  EXPECT_EQ(HIDwriteDevice(report), 0);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(190));
  EXPECT_LT(waited, std::chrono::milliseconds(1000));
}

TEST_F(Reports, ReadTakesOneBufferedReportOrLeavesTheBufferAlone) {
  auto device = plug(vendor_device("a"));
  ASSERT_EQ(HIDscanForDevices(), 1);
  ASSERT_EQ(HIDopenDevice(0), 1);
  THIDReport report;
  std::memset(&report, 0x5A, sizeof report);
  const auto start = Clock::now();
  EXPECT_EQ(HIDreadDevice(&report), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50)) << "a read never waits";
  for (size_t b = 0; b < sizeof report; ++b)
    ASSERT_EQ(reinterpret_cast<const uint8_t*>(&report)[b], 0x5A) << b;

  device->queue_input_report(std::vector<uint8_t>{1, 0xAA, 0xBB});
  EXPECT_EQ(HIDreadDevice(&report), 64);
  EXPECT_EQ(report.ReportID, 1);
  EXPECT_EQ(report.Data[0], 0xAA);
  EXPECT_EQ(report.Data[1], 0xBB);
  EXPECT_EQ(report.Data[2], 0) << "bytes past the report are zero";
  EXPECT_EQ(report.Data[63], 0);
  EXPECT_EQ(HIDreadDevice(&report), 0);
}

TEST_F(Reports, ShortInputReportsLeaveTheRestOfTheBufferZero) {
  SimDeviceConfig c = vendor_device("a");
  c.input_length = 4;
  c.input_values.clear();
  auto device = plug(c);
  ASSERT_EQ(HIDscanForDevices(), 1);
  ASSERT_EQ(HIDopenDevice(0), 1);
  device->queue_input_report(std::vector<uint8_t>(65, 0x11));
  THIDReport report;
  std::memset(&report, 0x5A, sizeof report);
  EXPECT_EQ(HIDreadDevice(&report), 3);
  EXPECT_EQ(report.Data[2], 0x11);
  EXPECT_EQ(report.Data[3], 0);
  EXPECT_EQ(report.Data[63], 0);
}

TEST_F(Reports, LongReportsAreCutToTheRecord) {
  SimDeviceConfig c = vendor_device("a");
  c.input_length = 129;
  c.output_length = 129;
  c.input_values.clear();
  c.output_values.clear();
  auto device = plug(c);
  ASSERT_EQ(HIDscanForDevices(), 1);
  ASSERT_EQ(HIDopenDevice(0), 1);
  std::vector<uint8_t> long_report(129, 0x22);
  long_report[0] = 3;
  device->queue_input_report(long_report);
  THIDReport report{};
  EXPECT_EQ(HIDreadDevice(&report), 128);
  EXPECT_EQ(report.Data[63], 0x22);
  THIDReport out;
  std::memset(&out, 0x33, sizeof out);
  EXPECT_EQ(HIDwriteDevice(out), 128);
  const auto sent = device->output_reports();
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].bytes.size(), 129u);
  EXPECT_EQ(sent[0].bytes[64], 0x33);
  EXPECT_EQ(sent[0].bytes[65], 0) << "past the caller's 65 bytes the report is zero";
}

TEST_F(Reports, ControlPathWorksOnTheCallersBuffer) {
  class Answering : public SimDevice {
   public:
    using SimDevice::SimDevice;
    bool on_get_input_report(uint8_t* buffer, size_t length) override {
      buffer[1] = 0x42;
      last_length = length;
      return true;
    }
    bool on_get_feature(uint8_t* buffer, size_t length) override {
      buffer[0] = 4;  // the device may answer with another ID
      last_length = length;
      return true;
    }
    bool on_set_feature(const uint8_t*, size_t length) override {
      last_length = length;
      return true;
    }
    size_t last_length = 0;
  };
  SimDeviceConfig c = vendor_device("a");
  c.feature_length = 17;
  c.feature_values = {HidValueCap{0x1, 4, 8, 5}};
  auto device = std::make_shared<Answering>(c);
  bus.plug(device);
  ASSERT_EQ(HIDscanForDevices(), 1);
  ASSERT_EQ(HIDopenDevice(0), 1);

  uint8_t buffer[65] = {1, 9, 8, 7};
  EXPECT_EQ(HIDSetOutputReport(buffer), 64);
  const auto sent = device->output_reports();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].path, OutputPath::Control);
  EXPECT_EQ(sent[0].bytes.size(), 65u);
  EXPECT_EQ(sent[0].bytes[3], 7);

  EXPECT_EQ(HIDGetInputReport(buffer), 64);
  EXPECT_EQ(buffer[1], 0x42);
  EXPECT_EQ(device->last_length, 65u);

  buffer[0] = 4;
  EXPECT_EQ(HIDSetFeatureReport(buffer), 5);
  EXPECT_EQ(device->last_length, 17u);
  buffer[0] = 0;
  EXPECT_EQ(HIDGetFeatureReport(buffer), 5) << "counted for the ID the device put in byte 0";
}

TEST_F(Reports, RemovedDeviceFailsEveryTransferUntilClosed) {
  auto device = plug(vendor_device("a"));
  ASSERT_EQ(HIDscanForDevices(), 1);
  ASSERT_EQ(HIDopenDevice(0), 1);
  device->queue_input_report(std::vector<uint8_t>{1, 2});
  bus.unplug(device);
  THIDReport report{};
  report.ReportID = 1;
  EXPECT_EQ(HIDreadDevice(&report), 0);
  uint8_t buffer[65] = {1};
  EXPECT_EQ(HIDSetOutputReport(buffer), 0);
  const auto start = Clock::now();
  EXPECT_EQ(HIDwriteDevice(report), 0);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(190));
  EXPECT_EQ(loaded->library().current_device(), 0) << "the device stays current until the host closes it";
  EXPECT_EQ(HIDcloseDevice(), 1);
}

TEST(Exports, ResolveByNameAndFailWithoutALibrary) {
  for (const char* name : HID_EXPORT_NAMES) EXPECT_NE(resolve_export(name), nullptr) << name;
  EXPECT_EQ(resolve_export("HIDScanForDevices"), nullptr) << "names are case-sensitive";
  ASSERT_EQ(process_library(), nullptr);
  EXPECT_EQ(HIDscanForDevices(), 0);
  EXPECT_EQ(HIDcloseDevice(), 0);
  THIDDeviceInfo record;
  std::memset(&record, 0x77, sizeof record);
  HIDGetDeviceInfo(0, &record);
  EXPECT_EQ(record.ReadWrite, 0x77);
}
