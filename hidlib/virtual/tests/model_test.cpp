// The device model on its own: commands, reply framing, boot-loader rules,
// bus changes, timing and faults.
#include "DeviceModel.h"
#include "HostSide.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace mxv;
using namespace mxv::hostside;

namespace {

std::vector<uint8_t> bytes(const TSettings& s) { return {s.begin(), s.end()}; }

// Puts the model into boot mode through its own protocol.
void enter_boot(TDeviceModel& model, uint64_t& now) {
  ASSERT_TRUE(send(model, cmd_boot_request, {}, now));
  now += 10000;
  model.poll(now);
  ASSERT_EQ(model.mode(), TMode::boot);
  ASSERT_TRUE(model.present());
  model.take_bus_events();
}

}  // namespace

TEST(VirtualModel, StartsPresentInNormalModeWithFactoryIdentity) {
  TDeviceModel model;
  EXPECT_TRUE(model.present());
  EXPECT_EQ(model.mode(), TMode::normal);
  const TIdentity id = model.identity();
  EXPECT_EQ(id.manufacturer_string, "VORNIX");
  EXPECT_EQ(id.product_string, "MX-540KTR");
  EXPECT_EQ(id.version, 0x0110);
  EXPECT_FALSE(id.serial_string.empty());
  EXPECT_EQ(model.settings(), default_settings());
  EXPECT_EQ(model.flash().size(), flash_size);
  EXPECT_EQ(model.eeprom().size(), eeprom_size);
}

TEST(VirtualModel, ReadRequestIsTheFiveByteFrameInOneReportAndGetsTheSettings) {
  TDeviceModel model;
  const auto reports = host_reports(cmd_read);
  ASSERT_EQ(reports.size(), 1u);
  const uint8_t expected[] = {0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0xC0, 0x71};
  EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), reports[0].begin()));

  ASSERT_TRUE(send(model, cmd_read));
  const auto input = model.take_input_reports();
  ASSERT_EQ(input.size(), 1u);
  EXPECT_EQ(input[0][0], 0x01);                                    // report ID
  EXPECT_EQ(get_be16(&input[0][1]), 0);                            // offset
  EXPECT_EQ(get_be16(&input[0][3]), 0);                            // end mark: one piece
  const auto replies = reassemble(input);
  ASSERT_EQ(replies.good.size(), 1u);
  EXPECT_EQ(replies.good[0].cmd, 0x00);
  EXPECT_EQ(replies.good[0].payload, bytes(default_settings()));
}

TEST(VirtualModel, WriteStoresTheRecordAndAnswersWithIt) {
  TDeviceModel model;
  TSettings record{};
  for (size_t i = 0; i < record.size(); ++i)
    record[i] = static_cast<uint8_t>(i * 3 + 1);
  ASSERT_TRUE(send(model, cmd_write, bytes(record)));
  auto replies = reassemble(model.take_input_reports());
  ASSERT_EQ(replies.good.size(), 1u);
  EXPECT_EQ(replies.good[0].cmd, 0x80);
  EXPECT_EQ(replies.good[0].payload, bytes(record));
  EXPECT_EQ(model.settings(), record);

  // The next read gives what was written.
  send(model, cmd_read);
  replies = reassemble(model.take_input_reports());
  ASSERT_EQ(replies.good.size(), 1u);
  EXPECT_EQ(replies.good[0].payload, bytes(record));
}

TEST(VirtualModel, CommandsOfTheOtherModeAreIgnoredWithoutReply) {
  struct Case {
    TMode mode;
    uint8_t cmd;
    std::vector<uint8_t> payload;
  };
  const std::vector<Case> cases = {
      {TMode::normal, cmd_erase, address_payload(0)},
      {TMode::normal, cmd_flash, block_payload(0, std::vector<uint8_t>(8, 1))},
      {TMode::normal, cmd_eeprom, block_payload(0, std::vector<uint8_t>(8, 1))},
      {TMode::normal, cmd_finish, {}},
      {TMode::normal, cmd_update_close, {}},
      {TMode::normal, cmd_reset, {}},
      {TMode::normal, 0x42, {}},
      {TMode::boot, cmd_read, {}},
      {TMode::boot, cmd_write, std::vector<uint8_t>(29, 0)},
      {TMode::boot, cmd_boot_request, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "cmd 0x" << std::hex << int(c.cmd));
    TDeviceModel model;
    uint64_t now = 0;
    if (c.mode == TMode::boot)
      enter_boot(model, now);
    const auto flash_before = model.flash();
    const auto settings_before = model.settings();
    ASSERT_TRUE(send(model, c.cmd, c.payload, now));
    model.poll(now + 10000);
    EXPECT_TRUE(model.take_input_reports().empty());
    EXPECT_TRUE(model.take_bus_events().empty());
    EXPECT_EQ(model.mode(), c.mode);
    EXPECT_EQ(model.flash(), flash_before);
    EXPECT_EQ(model.settings(), settings_before);
    ASSERT_FALSE(model.log().empty());
    EXPECT_EQ(model.log().back().status, TFrameStatus::ignored);
  }
}

TEST(VirtualModel, BootRequestLeavesTheBusAndComesBackAsBootLoader) {
  TDeviceModel model;
  model.timing.leave_ms = 10;
  model.timing.reboot_ms = 300;
  ASSERT_TRUE(send(model, cmd_boot_request, {}, 1000));
  EXPECT_TRUE(model.take_input_reports().empty());  // no reply
  model.poll(1009);
  EXPECT_TRUE(model.present());
  EXPECT_TRUE(model.take_bus_events().empty());
  model.poll(1010);
  EXPECT_FALSE(model.present());
  EXPECT_EQ(model.take_bus_events(), std::vector<TBusEvent>{TBusEvent::leave});

  // Off the bus nothing is taken in.
  const auto r = host_reports(cmd_read);
  EXPECT_FALSE(model.output_report(r[0].data(), r[0].size(), 1100).accepted);

  model.poll(1309);
  EXPECT_FALSE(model.present());
  model.poll(1310);
  EXPECT_TRUE(model.present());
  EXPECT_EQ(model.take_bus_events(), std::vector<TBusEvent>{TBusEvent::arrive});
  EXPECT_EQ(model.mode(), TMode::boot);
  EXPECT_EQ(model.identity().product_string, "MX-540KTR (boot)");
  EXPECT_NE(model.identity().product, product_id_normal);
  EXPECT_EQ(model.identity().version, 0x0110);
}

TEST(VirtualModel, RepeatedBootRequestsWhileRestartingChangeNothing) {
  TDeviceModel model;
  send(model, cmd_boot_request, {}, 0);
  send(model, cmd_boot_request, {}, 5);
  model.poll(100000);
  EXPECT_EQ(model.take_bus_events(), (std::vector<TBusEvent>{TBusEvent::leave, TBusEvent::arrive}));
  EXPECT_EQ(model.log().back().status, TFrameStatus::ignored);
}

TEST(VirtualModel, ReplyLongerThanOneReportComesInPiecesWithTheLastOffsetAsEndMark) {
  TDeviceModel model;
  uint64_t now = 0;
  enter_boot(model, now);
  ASSERT_TRUE(send(model, cmd_finish, {}, now));
  const auto input = model.take_input_reports();
  ASSERT_GE(input.size(), 2u);
  for (size_t i = 0; i < input.size(); ++i) {
    EXPECT_EQ(get_be16(&input[i][1]), i * 58);
    EXPECT_EQ(get_be16(&input[i][3]), (input.size() - 1) * 58);
  }
  const auto replies = reassemble(input);
  ASSERT_EQ(replies.good.size(), 1u);
  EXPECT_EQ(replies.good[0].cmd, 0xFA);
  EXPECT_EQ(replies.partial, static_cast<int>(input.size()) - 1);
}

TEST(VirtualModel, FlashGoesOnlyIntoErasedPages) {
  TDeviceModel model;
  uint64_t now = 0;
  enter_boot(model, now);
  const std::vector<uint8_t> block(512, 0xA5);

  // Not erased since power-up: refused, nothing written, a fault recorded.
  const auto before = model.flash();
  send(model, cmd_flash, block_payload(0x0400, block), now);
  EXPECT_EQ(model.log().back().status, TFrameStatus::rejected);
  EXPECT_EQ(model.flash(), before);
  ASSERT_EQ(model.device_faults().size(), 1u);
  EXPECT_NE(model.device_faults()[0].find("0x0400"), std::string::npos);

  send(model, cmd_erase, address_payload(0x0400), now);
  EXPECT_TRUE(std::all_of(model.flash().begin() + 0x400, model.flash().begin() + 0x600,
                          [](uint8_t b) { return b == 0xFF; }));
  send(model, cmd_flash, block_payload(0x0400, block), now);
  EXPECT_EQ(model.log().back().status, TFrameStatus::handled);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), model.flash().begin() + 0x400));
  EXPECT_EQ(model.device_faults().size(), 1u);

  // Written once since the erase: a second block there is refused.
  send(model, cmd_flash, block_payload(0x0400, std::vector<uint8_t>(512, 0x11)), now);
  EXPECT_EQ(model.log().back().status, TFrameStatus::rejected);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), model.flash().begin() + 0x400));
  EXPECT_EQ(model.device_faults().size(), 2u);

  // Two half blocks into one erased page are fine, as on real flash.
  send(model, cmd_erase, address_payload(0x0600), now);
  send(model, cmd_flash, block_payload(0x0600, std::vector<uint8_t>(256, 1)), now);
  send(model, cmd_flash, block_payload(0x0700, std::vector<uint8_t>(256, 2)), now);
  EXPECT_EQ(model.device_faults().size(), 2u);
  EXPECT_EQ(model.flash()[0x6FF], 1);
  EXPECT_EQ(model.flash()[0x700], 2);
}

TEST(VirtualModel, EraseClearsThePageHoldingAnUnalignedAddress) {
  TDeviceModel model;
  uint64_t now = 0;
  enter_boot(model, now);
  send(model, cmd_erase, address_payload(0x0000), now);
  send(model, cmd_flash, block_payload(0x0000, std::vector<uint8_t>(512, 0)), now);
  send(model, cmd_erase, address_payload(0x0123), now);
  EXPECT_TRUE(std::all_of(model.flash().begin(), model.flash().begin() + 512, [](uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ(model.flash()[512], 0xFF);
}

TEST(VirtualModel, MalformedBlocksAreRejectedAndRecorded) {
  struct Case {
    const char* name;
    uint8_t cmd;
    std::vector<uint8_t> payload;
  };
  std::vector<uint8_t> length_mismatch = block_payload(0, std::vector<uint8_t>(16, 1));
  put_be16(&length_mismatch[2], 20);
  const std::vector<Case> cases = {
      {"erase without address", cmd_erase, {0x01}},
      {"flash header only", cmd_flash, {0x00, 0x00}},
      {"flash length mismatch", cmd_flash, length_mismatch},
      {"eeprom past the end", cmd_eeprom, block_payload(0x0F00, std::vector<uint8_t>(512, 1))},
      {"eeprom far past the end", cmd_eeprom, block_payload(0x8000, std::vector<uint8_t>(4, 1))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TDeviceModel model;
    uint64_t now = 0;
    enter_boot(model, now);
    const auto eeprom = model.eeprom();
    send(model, c.cmd, c.payload, now);
    EXPECT_EQ(model.log().back().status, TFrameStatus::rejected);
    EXPECT_EQ(model.device_faults().size(), 1u);
    EXPECT_EQ(model.eeprom(), eeprom);
  }
}

TEST(VirtualModel, EepromWritesAnywhereInRangeWithoutErase) {
  TDeviceModel model;
  uint64_t now = 0;
  enter_boot(model, now);
  std::vector<uint8_t> block(512);
  for (size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<uint8_t>(i);
  send(model, cmd_eeprom, block_payload(0x0E00, block), now);
  send(model, cmd_eeprom, block_payload(0x0E00, block), now);  // rewriting is fine
  EXPECT_TRUE(model.device_faults().empty());
  EXPECT_TRUE(std::equal(block.begin(), block.end(), model.eeprom().begin() + 0x0E00));
}

TEST(VirtualModel, FinishAnswersThenRestartsWithTheVersionTheNewFirmwareCarries) {
  struct Case {
    const char* name;
    std::string marker;  // written at flash address 0 ("" = no block written)
    uint16_t version;
  };
  const std::vector<Case> cases = {
      {"marker 2.3", "firmware VERSION=2.3 built", 0x0203},
      {"marker 1.17", "VERSION=1.17", 0x0111},
      {"marker with no digits", "VERSION=x.y", 0x0110},  // factory banner is gone with page 0
      {"untouched flash keeps the factory banner", "", 0x0110},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TDeviceModel model;
    model.timing.finish_leave_ms = 100;
    model.timing.reboot_ms = 300;
    uint64_t now = 0;
    enter_boot(model, now);
    if (!c.marker.empty()) {
      std::vector<uint8_t> block(512, 0xFF);
      std::copy(c.marker.begin(), c.marker.end(), block.begin());
      send(model, cmd_erase, address_payload(0), now);
      send(model, cmd_flash, block_payload(0, block), now);
    }
    send(model, cmd_finish, {}, now);
    const auto replies = reassemble(model.take_input_reports());
    ASSERT_EQ(replies.good.size(), 1u);
    EXPECT_EQ(replies.good[0].cmd, 0xFA);
    model.poll(now + 99);
    EXPECT_TRUE(model.present());  // time for the host to take the answer
    model.poll(now + 100);
    EXPECT_FALSE(model.present());
    model.poll(now + 400);
    EXPECT_TRUE(model.present());
    EXPECT_EQ(model.mode(), TMode::normal);
    EXPECT_EQ(model.version(), c.version);
    EXPECT_EQ(model.identity().version, c.version);
    EXPECT_EQ(model.identity().product_string, "MX-540KTR");
  }
}

TEST(VirtualModel, UpdateCloseReturnsToNormalModeWithTheOldVersion) {
  TDeviceModel model;
  uint64_t now = 0;
  enter_boot(model, now);
  std::vector<uint8_t> block(512, 0xFF);
  const std::string marker = "VERSION=4.4";
  std::copy(marker.begin(), marker.end(), block.begin());
  send(model, cmd_erase, address_payload(0), now);
  send(model, cmd_flash, block_payload(0, block), now);
  send(model, cmd_update_close, {}, now);
  EXPECT_TRUE(model.take_input_reports().empty());
  model.poll(now + 10000);
  EXPECT_EQ(model.mode(), TMode::normal);
  EXPECT_EQ(model.version(), 0x0110);
  EXPECT_EQ(model.take_bus_events(), (std::vector<TBusEvent>{TBusEvent::leave, TBusEvent::arrive}));
}

TEST(VirtualModel, ResetRestoresDefaultSettingsAndAnswersFD) {
  TDeviceModel model;
  send(model, cmd_write, std::vector<uint8_t>(29, 2));
  model.take_input_reports();
  uint64_t now = 0;
  enter_boot(model, now);
  send(model, cmd_reset, {}, now);
  const auto replies = reassemble(model.take_input_reports());
  ASSERT_EQ(replies.good.size(), 1u);
  EXPECT_EQ(replies.good[0].cmd, 0xFD);
  EXPECT_EQ(model.settings(), default_settings());
}

TEST(VirtualModel, EachReportCostsTheTransferTimeAndAnEraseItsOwnTime) {
  TDeviceModel model;
  model.timing.report_us = 1000;
  model.timing.erase_us = 25000;
  uint64_t now = 0;
  enter_boot(model, now);
  uint32_t cost = 0;
  send(model, cmd_flash, block_payload(0, std::vector<uint8_t>(512, 0)), now, &cost);
  EXPECT_EQ(cost, 9u * 1000);  // a 521-byte frame is 9 reports
  cost = 0;
  send(model, cmd_erase, address_payload(0), now, &cost);
  EXPECT_EQ(cost, 1000u + 25000);
  // A stall holds one report for its time; the next one costs the transfer time again.
  ASSERT_EQ(model.control("stall 20000", now), "ok");
  cost = 0;
  send(model, cmd_erase, address_payload(512), now, &cost);
  EXPECT_EQ(cost, 20000u * 1000 + 25000);
  cost = 0;
  send(model, cmd_erase, address_payload(1024), now, &cost);
  EXPECT_EQ(cost, 1000u + 25000);
}

TEST(VirtualModel, FramesThatFailTheirChecksAreLoggedAsBadAndNotActedOn) {
  TDeviceModel model;
  auto reports = host_reports(cmd_write, std::vector<uint8_t>(29, 9));
  reports[0][5 + 10] ^= 0x01;  // one payload bit flipped
  model.output_report(reports[0].data(), reports[0].size(), 0);
  EXPECT_TRUE(model.take_input_reports().empty());
  EXPECT_EQ(model.settings(), default_settings());
  ASSERT_EQ(model.log().size(), 1u);
  EXPECT_EQ(model.log()[0].status, TFrameStatus::bad);
  EXPECT_EQ(model.log()[0].cmd, cmd_write);

  // The next good frame is taken as usual.
  send(model, cmd_read);
  EXPECT_EQ(reassemble(model.take_input_reports()).good.size(), 1u);
}

TEST(VirtualModel, LogKeepsEveryFrameWithCommandAndPayload) {
  TDeviceModel model;
  send(model, cmd_read, {}, 5);
  send(model, cmd_write, std::vector<uint8_t>(29, 7), 6);
  ASSERT_EQ(model.log().size(), 2u);
  EXPECT_EQ(model.log()[0].seq, 1u);
  EXPECT_EQ(model.log()[0].cmd, cmd_read);
  EXPECT_TRUE(model.log()[0].payload.empty());
  EXPECT_EQ(model.log()[1].seq, 2u);
  EXPECT_EQ(model.log()[1].time_ms, 6u);
  EXPECT_EQ(model.log()[1].payload, std::vector<uint8_t>(29, 7));
  EXPECT_EQ(model.frames_received(), 2u);
}

// --- faults ---

TEST(VirtualModelFaults, RefuseOutputReportsFromTheNthOn) {
  TDeviceModel model;
  EXPECT_EQ(model.control("refuse-from 3", 0), "ok");
  std::vector<bool> accepted;
  for (int i = 0; i < 5; ++i) {
    const auto r = host_reports(cmd_read);
    accepted.push_back(model.output_report(r[0].data(), r[0].size(), 0).accepted);
  }
  EXPECT_EQ(accepted, (std::vector<bool>{true, true, false, false, false}));
  EXPECT_EQ(model.frames_received(), 2u);  // refused reports never reach the device
  EXPECT_EQ(model.control("clear", 0), "ok");
  EXPECT_TRUE(send(model, cmd_read));
}

TEST(VirtualModelFaults, CorruptCrcSpoilsTheNextRepliesOnly) {
  TDeviceModel model;
  model.control("corrupt-crc 2", 0);
  for (int i = 0; i < 3; ++i)
    send(model, cmd_read);
  const auto replies = reassemble(model.take_input_reports());
  EXPECT_EQ(replies.bad, 2);
  EXPECT_EQ(replies.good.size(), 1u);
}

TEST(VirtualModelFaults, DropPieceLosesThatPieceOfTheNextReplyThatHasIt) {
  TDeviceModel model;
  uint64_t now = 0;
  model.control("drop-piece 1", now);
  send(model, cmd_read);  // one piece only: unaffected, the fault waits
  EXPECT_EQ(reassemble(model.take_input_reports()).good.size(), 1u);
  enter_boot(model, now);
  send(model, cmd_finish, {}, now);
  const auto input = model.take_input_reports();
  ASSERT_EQ(input.size(), 1u);  // the 0xFA answer lost its last piece
  const auto replies = reassemble(input);
  EXPECT_TRUE(replies.good.empty());
  EXPECT_EQ(replies.partial, 1);

  TDeviceModel other;
  other.control("drop-piece 0", 0);
  send(other, cmd_read);
  EXPECT_TRUE(other.take_input_reports().empty());  // a one-piece reply is lost whole
}

TEST(VirtualModelFaults, NoFinishReplyKeepsTheBootLoaderSilentUntilClose) {
  TDeviceModel model;
  uint64_t now = 0;
  enter_boot(model, now);
  model.control("no-finish-reply", now);
  send(model, cmd_finish, {}, now);
  model.poll(now + 10000);
  EXPECT_TRUE(model.take_input_reports().empty());
  EXPECT_EQ(model.mode(), TMode::boot);
  EXPECT_TRUE(model.take_bus_events().empty());
  send(model, cmd_update_close, {}, now + 10000);
  model.poll(now + 20000);
  EXPECT_EQ(model.mode(), TMode::normal);
  EXPECT_EQ(model.version(), 0x0110);
}

TEST(VirtualModelFaults, BadSettingsSendValuesOutsideEveryRangeWithoutStoringThem) {
  TDeviceModel model;
  model.control("bad-settings", 0);
  send(model, cmd_read);
  send(model, cmd_read);
  const auto replies = reassemble(model.take_input_reports());
  ASSERT_EQ(replies.good.size(), 2u);
  const auto& bad = replies.good[0].payload;
  ASSERT_EQ(bad.size(), 29u);
  EXPECT_GE(bad[0], 4);            // preset beyond the four presets
  EXPECT_GT(bad[5], 15);           // src beyond 4 bits
  EXPECT_EQ(bad[9], 0x80);         // gain -128
  EXPECT_GT(bad[13], 31);          // ref beyond 5 bits
  EXPECT_GE(bad[17], 3);           // scale
  EXPECT_GE(bad[21], 35);          // delay
  EXPECT_GE(bad[25], 18);          // GPI delay
  EXPECT_EQ(replies.good[1].payload, bytes(default_settings()));
  EXPECT_EQ(model.settings(), default_settings());
}

TEST(VirtualModelFaults, ShortSettingsReplyCarriesFewerBytes) {
  TDeviceModel model;
  model.control("short-settings 12", 0);
  send(model, cmd_write, std::vector<uint8_t>(29, 3));
  const auto replies = reassemble(model.take_input_reports());
  ASSERT_EQ(replies.good.size(), 1u);
  EXPECT_EQ(replies.good[0].cmd, 0x80);
  EXPECT_EQ(replies.good[0].payload, std::vector<uint8_t>(12, 3));
  EXPECT_EQ(model.settings(), (TSettings{3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3,
                                         3, 3, 3, 3, 3, 3, 3, 3, 3}));
  EXPECT_NE(model.control("short-settings 29", 0), "ok");
}

TEST(VirtualModelFaults, UnplugPlugAndReplug) {
  TDeviceModel model;
  model.control("unplug", 0);
  EXPECT_FALSE(model.present());
  EXPECT_FALSE(send(model, cmd_read));
  model.control("plug", 0);
  EXPECT_TRUE(model.present());
  EXPECT_EQ(model.take_bus_events(), (std::vector<TBusEvent>{TBusEvent::leave, TBusEvent::arrive}));

  model.control("replug 250", 1000);
  EXPECT_FALSE(model.present());
  model.poll(1249);
  EXPECT_FALSE(model.present());
  model.poll(1250);
  EXPECT_TRUE(model.present());
  EXPECT_EQ(model.mode(), TMode::normal);
  EXPECT_EQ(model.take_bus_events(), (std::vector<TBusEvent>{TBusEvent::leave, TBusEvent::arrive}));
}

TEST(VirtualModelControl, CommandsAnswerOkOrSayWhatIsWrong) {
  struct Case {
    const char* line;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"", true},
      {"# a comment", true},
      {"transfer-us 250", true},
      {"transfer-us", false},
      {"transfer-us fast", false},
      {"erase-us 0x10", true},
      {"reboot-ms 50", true},
      {"finish-leave-ms 1500", true},
      {"finish-leave-ms", false},
      {"refuse-from 2 3", false},
      {"drop-piece", false},
      {"stall", false},
      {"stall 20000", true},
      {"version 2.5", true},
      {"version 2", false},
      {"version 256.1", false},
      {"settings 00", false},
      {"settings 0001020304050607080900010203040506070809000102030405060708", true},
      {"settings 0001020304050607080900010203040506070809000102030405060zz8", false},
      {"frobnicate", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    TDeviceModel model;
    const std::string result = model.control(c.line, 0);
    EXPECT_EQ(result == "ok", c.ok) << result;
  }
  TDeviceModel model;
  model.control("transfer-us 250", 0);
  model.control("erase-us 0x10", 0);
  model.control("version 2.5", 0);
  model.control("finish-leave-ms 1500", 0);
  EXPECT_EQ(model.timing.finish_leave_ms, 1500u);
  EXPECT_EQ(model.timing.report_us, 250u);
  EXPECT_EQ(model.timing.erase_us, 16u);
  EXPECT_EQ(model.version(), 0x0205);
  model.control("settings 0001020304050607080900010203040506070809000102030405060708", 0);
  EXPECT_EQ(model.settings()[28], 8);
}

TEST(VirtualModelVersion, ReadingAndWritingVersionText) {
  EXPECT_EQ(parse_version("1.16"), 0x0110);
  EXPECT_EQ(parse_version("0.0"), 0x0000);
  EXPECT_EQ(parse_version("2.3 trailing"), 0x0203);
  EXPECT_EQ(parse_version(".3"), std::nullopt);
  EXPECT_EQ(parse_version("3."), std::nullopt);
  EXPECT_EQ(version_text(0x0110), "1.16");
  EXPECT_EQ(version_text(0x0203), "2.3");

  auto image = [](const std::string& text) {
    std::vector<uint8_t> v(100, 0xFF);
    std::copy(text.begin(), text.end(), v.begin() + 40);
    return v;
  };
  EXPECT_EQ(find_version(image("VERSION=3.7")), 0x0307);
  EXPECT_EQ(find_version(image("VERSION=?.? then VERSION=5.1")), 0x0501);
  EXPECT_EQ(find_version(image("VERSION")), std::nullopt);
  EXPECT_EQ(find_version(factory_flash()), factory_version);
}
