// mx540ctl's Linux parts: the built program's own answers that need no unit,
// and the children of `update --all` as processes.
#include "LinuxTool.h"
#include "fake_hidraw.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using namespace mx::ctl;
namespace fs = std::filesystem;

struct Ran {
  int status;
  std::string out;
};

Ran run(const std::string& args) {
  const std::string command = std::string(MX540CTL_PROGRAM) + " " + args + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  Ran r{-1, {}};
  if (!pipe) return r;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.out.append(buffer, n);
  const int status = ::pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(LinuxTool, TheProgramPrintsItsRuleAndSaysWhenNoUnitIsThere) {
  std::ifstream file(fs::path(MX540CTL_SOURCE_DIR) / "linux" / udev_rule_file);
  std::stringstream rule;
  rule << file.rdbuf();
  const Ran printed = run("udev-rule");
  EXPECT_EQ(printed.status, 0);
  EXPECT_EQ(printed.out, rule.str()) << "the rule printed is the file the package installs";
  EXPECT_NE(printed.out.find("ATTRS{manufacturer}==\"VORNIX\", TAG+=\"uaccess\""), std::string::npos);

  EXPECT_NE(run("--help").out.find("udev-rule"), std::string::npos);
  // This machine has no unit (and no hidraw node at all).
  const Ran list = run("list");
  EXPECT_EQ(list.status, 2);
  EXPECT_EQ(list.out, "No MX-540KTR is connected.\n");
  EXPECT_EQ(run("list --json").out, "[]\nNo MX-540KTR is connected.\n");

}

TEST(LinuxTool, APermissionRefusalNamesTheRuleAndWhatToDo) {
  const fs::path folders[] = {fs::temp_directory_path() / ("mx540-etc-" + std::to_string(::getpid())),
                              fs::temp_directory_path() / ("mx540-lib-" + std::to_string(::getpid()))};
  for (const auto& f : folders) fs::create_directories(f);
  const std::vector<std::string> searched = {folders[0].string(), folders[1].string()};

  EXPECT_EQ(installed_udev_rule(searched), "");
  const Failure missing = permission_failure("VX540K-000001", "/dev/hidraw3", installed_udev_rule(searched));
  EXPECT_EQ(missing.status, Status::no_unit);
  for (const char* part : {"VX540K-000001", "/dev/hidraw3", "permission denied", "70-mx540ktr.rules",
                           "mx540ctl udev-rule | sudo tee /etc/udev/rules.d/70-mx540ktr.rules"})
    EXPECT_NE(missing.message.find(part), std::string::npos) << part;

  // Installed, yet refused: the user is not at the seat; the way for SSH users.
  std::ofstream(folders[1] / udev_rule_file) << udev_rule_text();
  const std::string installed = installed_udev_rule(searched);
  EXPECT_EQ(installed, (folders[1] / udev_rule_file).string());
  const Failure not_at_seat = permission_failure("VX540K-000001", "/dev/hidraw3", installed);
  EXPECT_EQ(not_at_seat.status, Status::no_unit);
  for (const std::string& part : {installed, std::string("local seat"), std::string("SSH"), std::string("group")})
    EXPECT_NE(not_at_seat.message.find(part), std::string::npos) << part;
  EXPECT_EQ(not_at_seat.message.find("sudo tee"), std::string::npos);
  for (const auto& f : folders) fs::remove_all(f);
}

TEST(LinuxTool, ChildrenReportTheirLinesInOrderAndHowTheyEnded) {
  const fs::path script = fs::temp_directory_path() / ("mx540-child-" + std::to_string(::getpid()));
  {
    // Called as: update --serial S --child -- FILE
    std::ofstream out(script);
    out << "#!/bin/sh\n"
           "[ \"$1 $2 $4 $5 $6\" = \"update --serial --child -- fw 2.vnxu\" ] || exit 9\n"
           "echo \"progress 1 2\"\n"
           "case $3 in\n"
           "  A) echo \"result 0 2.1\"; exit 0 ;;\n"
           "  B) printf 'result 4 no'; exit 4 ;;\n"
           "  C) exec sleep 60 ;;\n"
           "esac\n";
  }
  fs::permissions(script, fs::perms::owner_all);

  MainLoop loop(portable_sleeper());
  std::vector<std::vector<std::string>> lines(3);
  std::vector<long> codes(3, -100);
  size_t ended = 0;
  {
    Children children(loop, script.string());
    std::vector<std::vector<std::string>> args;
    for (const char* unit : {"A", "B", "C"}) args.push_back({"update", "--serial", unit, "--child", "--", "fw 2.vnxu"});
    std::string error;
    ASSERT_EQ(children.start(
                  args, [&](size_t i, const std::string& l) { lines[i].push_back(l); },
                  [&](size_t i, long code) {
                    codes[i] = code;
                    ++ended;
                  },
                  error),
              3u)
        << error;
    ASSERT_TRUE(loop.run_until([&] { return ended == 2; }, Clock::now() + std::chrono::seconds(20)));
    children.stop();  // C still sleeps
    ASSERT_TRUE(loop.run_until([&] { return ended == 3; }, Clock::now() + std::chrono::seconds(20)));
  }
  fs::remove(script);
  EXPECT_EQ(lines[0], (std::vector<std::string>{"progress 1 2", "result 0 2.1"}));
  EXPECT_EQ(codes[0], 0);
  EXPECT_EQ(lines[1], (std::vector<std::string>{"progress 1 2"})) << "a line without its end is not a line";
  EXPECT_EQ(codes[1], 4);
  EXPECT_EQ(codes[2], 128 + SIGKILL);
}

// A node change becomes a device change (a rescan) only if it concerns the
// process when it is delivered: with its unit open, only that unit's node
// going away; with none open (closed just now included), every change. So neither another unit's
// re-enumeration nor its own unit's arrival announced late closes and reopens
// the unit in the middle of an update.
TEST(PumpingSleeper, DeliversOnlyTheChangesThatConcernTheProcessWhenDelivered) {
  auto state = std::make_shared<hidlib::testing::FakeState>();
  state->nodes = {{"/dev/hidraw0", hidlib::testing::usb_unit("VX540K-000001")},
                  {"/dev/hidraw1", hidlib::testing::usb_unit("VX540K-000002")}};
  hidlib::HidrawPlatform platform(std::make_unique<hidlib::testing::FakeSystem>(state));
  hidlib::HidLibrary library(platform);
  static int rescans;
  rescans = 0;
  library.set_usb_handler([] { ++rescans; });
  PumpingSleeper sleeper;
  sleeper.attach(library, [&](const hidlib::NodeChange& c) { return change_concerns(c, library); });
  ASSERT_EQ(library.scan_for_devices(), 2);

  sleeper.node_changed({false, "/dev/hidraw1"});  // another unit leaves...
  sleeper.node_changed({true, "/dev/hidraw1"});   // ...and comes back
  sleeper.node_changed({true, "/dev/hidraw0"});   // our unit's arrival...
  ASSERT_TRUE(library.open_device(0));            // ...found by an earlier rescan, opened before delivery
  const auto before = Clock::now();
  sleeper.sleep(std::chrono::seconds(10));
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(5)) << "changes wake the sleeper";
  EXPECT_EQ(rescans, 0);

  sleeper.node_changed({false, "/dev/hidraw0"});  // our unit leaves
  sleeper.sleep(std::chrono::seconds(10));
  EXPECT_EQ(rescans, 1);

  // Closed, while the read thread still has its read pending on the node:
  // it has just delivered a report and waits for the next.
  static std::atomic<int> reports;
  reports = 0;
  std::thread reader([&] { library.read_loop(); });
  library.set_report_handler([](THIDReport, uint8_t) { ++reports; });
  const uint8_t report[65] = {1};
  ASSERT_EQ(::send(state->nodes[0].device_end, report, sizeof report, 0), 65);
  for (auto until = Clock::now() + std::chrono::seconds(10); reports == 0 && Clock::now() < until;)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_GT(reports, 0);
  library.close_device();
  sleeper.node_changed({true, "/dev/hidraw1"});
  sleeper.sleep(std::chrono::seconds(10));
  EXPECT_EQ(rescans, 2) << "with no unit open, every change concerns it";
  library.stop_read_loop();
  reader.join();
}

// Waiting on a unit costs nothing: a wait with a deadline sleeps until a
// post, a notify or the deadline, never in slices; one without a deadline
// (bounded in its own condition) looks every 100 ms.
TEST(MainLoop, AWaitWithADeadlineSleepsUntilWokenOrTheDeadline) {
  struct Counting : Sleeper {
    std::vector<std::chrono::milliseconds>* asked;
    std::unique_ptr<Sleeper> real = portable_sleeper();
    void sleep(std::chrono::milliseconds at_most) override {
      asked->push_back(at_most);
      real->sleep(at_most);
    }
    void wake() override { real->wake(); }
  };
  std::vector<std::chrono::milliseconds> asked;
  auto sleeper = std::make_unique<Counting>();
  sleeper->asked = &asked;
  MainLoop loop(std::move(sleeper));

  EXPECT_FALSE(loop.run_until([] { return false; }, Clock::now() + std::chrono::milliseconds(400)));
  ASSERT_FALSE(asked.empty());
  EXPECT_GE(asked.front(), std::chrono::milliseconds(300)) << "one sleep to the deadline, not slices";

  asked.clear();
  bool done = false;
  std::thread poster([&] { loop.post([&] { done = true; }); });
  EXPECT_TRUE(loop.run_until([&] { return done; }, Clock::now() + std::chrono::seconds(20)));
  poster.join();

  asked.clear();
  const auto until = Clock::now() + std::chrono::milliseconds(250);
  EXPECT_TRUE(loop.run_until([&] { return Clock::now() >= until; }, Clock::time_point::max()));
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked.front(), std::chrono::milliseconds(100));
}

}  // namespace
