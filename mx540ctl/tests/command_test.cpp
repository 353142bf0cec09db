// The command line and its exit statuses, the progress output and the lines
// between `update --all` and its children.
#include "CommandLine.h"
#include "ExitStatus.h"
#include "Fleet.h"
#include "Progress.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace mx::ctl;

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

TEST(CommandLine, ExitStatusOfEachKindOfCommandLine) {
  struct Case {
    const char* line;
    int status;        // -1: runs
    Command command;
  } cases[] = {
      {"list", -1, Command::list},
      {"list --json", -1, Command::list},
      {"show --serial VX540K-000002", -1, Command::show},
      {"set gain=3 ref=-20", -1, Command::set},
      {"set --preset 2 lr=off", -1, Command::set},
      {"save backup.json", -1, Command::save},
      {"load backup.json --serial S", -1, Command::load},
      {"update fw.vnxu --all", -1, Command::update},
      {"reset", -1, Command::reset},
      {"--help", 0, Command::list},
      {"set --help", 0, Command::list},
      {"--version", 0, Command::list},
      {"", 1, Command::list},                          // no command
      {"frobnicate", 1, Command::list},
      {"list --serial", 1, Command::list},             // option without value
      {"set", 1, Command::set},                        // no pair
      {"set gain=99", 1, Command::set},                // a pair out of range
      {"set gain=3 bogus=1", 1, Command::set},         // one bad pair refuses all
      {"set --preset 5 gain=1", 1, Command::set},
      {"save", 1, Command::save},                      // no file
      {"update fw.vnxu --all --serial S", 1, Command::update},
      {"show extra", 1, Command::show},
  };
  for (const auto& c : cases) {
    const ParsedCommandLine parsed = parse_command_line(words(c.line));
    if (c.status < 0) {
      ASSERT_TRUE(parsed.options) << c.line << ": " << parsed.err;
      EXPECT_EQ(parsed.options->command, c.command) << c.line;
      continue;
    }
    EXPECT_FALSE(parsed.options) << c.line;
    EXPECT_EQ(parsed.exit_code, c.status) << c.line;
    // Errors go to the error stream, help and version to the output.
    EXPECT_EQ(parsed.err.empty(), c.status == 0) << c.line << ": " << parsed.err;
    EXPECT_EQ(parsed.out.empty(), c.status != 0) << c.line;
  }
  const auto set = parse_command_line(words("set --preset 3 active=2 src=Ch_3-4 delay=20"));
  ASSERT_TRUE(set.options);
  EXPECT_EQ(set.options->preset, 2);
  ASSERT_EQ(set.options->pairs.size(), 3u);
  EXPECT_EQ(set.options->pairs[1].key, Key::src);
  EXPECT_EQ(set.options->pairs[1].stored, 1);
  EXPECT_EQ(set.options->pairs[2].stored, 2);
  EXPECT_NE(parse_command_line(words("--version")).out.find(version_text()), std::string::npos);
  // A file named by a Unix path (under Wine) is the file on every platform.
  const std::pair<const char*, const char*> unix_paths[] = {
      {"update /mxshare/fw.vnxu --serial S", "/mxshare/fw.vnxu"}, {"save /tmp/b.json", "/tmp/b.json"}};
  for (const auto& [line, file] : unix_paths) {
    const auto parsed = parse_command_line(words(line));
    ASSERT_TRUE(parsed.options) << line << ": " << parsed.err;
    EXPECT_EQ(parsed.options->file, file) << line;
  }
}

TEST(ExitStatus, UpdateFileFaultsAndCombinedStatuses) {
  EXPECT_EQ(update_file_failure(UpdateFileFault::none, "f").status, Status::ok);
  for (auto fault : {UpdateFileFault::unreadable, UpdateFileFault::wrong_device, UpdateFileFault::record_past_end,
                     UpdateFileFault::image_too_large}) {
    const Failure f = update_file_failure(fault, "fw.vnxu");
    EXPECT_EQ(exit_code(f.status), 3);
    EXPECT_NE(f.message.find("fw.vnxu"), std::string::npos);
  }
  using S = Status;
  struct Case {
    std::vector<S> units;
    S combined;
  } cases[] = {
      {{}, S::ok},
      {{S::ok, S::ok}, S::ok},
      {{S::ok, S::timed_out, S::device_failed}, S::device_failed},   // a real failure before a timeout
      {{S::timed_out, S::ok}, S::timed_out},
      {{S::no_unit, S::file_rejected}, S::no_unit},
  };
  for (const auto& c : cases) EXPECT_EQ(combined_status(c.units), c.combined);
  EXPECT_EQ(status_from_code(3), S::file_rejected);
  EXPECT_EQ(status_from_code(99), S::device_failed);
  EXPECT_EQ(status_from_code(-1073741819), S::device_failed);   // a crash
}

TEST(Progress, BarOnAConsoleAndOneLinePerTenthOtherwise) {
  ProgressState p{34048, 68096, 2.0};
  EXPECT_EQ(progress_bar(p, 10), "[#####.....]  50 %  34048/68096 bytes  16.6 KiB/s");
  EXPECT_EQ(progress_bar({0, 68096, 0.0}, 4), "[....]   0 %  0/68096 bytes  -- KiB/s");

  ProgressLines lines;
  std::vector<std::string> printed;
  for (size_t done = 0; done <= 1000; done += 37)
    if (auto l = lines.next({done, 1000, 0})) printed.push_back(*l);
  if (auto l = lines.next({1000, 1000, 0})) printed.push_back(*l);
  ASSERT_EQ(printed.size(), 10u);
  EXPECT_EQ(printed.front(), "10 %  111/1000 bytes");
  EXPECT_EQ(printed.back(), "100 %  1000/1000 bytes");
  // A jump over several tenths gives one line, the highest.
  ProgressLines jump;
  EXPECT_EQ(jump.next({550, 1000, 0}), "50 %  550/1000 bytes");
  EXPECT_FALSE(jump.next({590, 1000, 0}));
}

TEST(Fleet, ChildLinesRoundTripAndSummaries) {
  const ChildLine progress = parse_child_line(child_progress_line(512, 4096));
  ASSERT_TRUE(progress.progress);
  EXPECT_EQ(progress.progress->done, 512u);
  EXPECT_EQ(progress.progress->total, 4096u);
  const ChildLine result = parse_child_line(child_result_line(Status::timed_out, "The unit\nwent quiet.") + "\r");
  ASSERT_TRUE(result.result);
  EXPECT_EQ(result.result->status, Status::timed_out);
  EXPECT_EQ(result.result->message, "The unit went quiet.");
  for (const char* junk : {"", "progress", "progress 9 4", "result x", "hello 1 2"}) {
    const ChildLine line = parse_child_line(junk);
    EXPECT_FALSE(line.progress || line.result) << junk;
  }

  std::vector<UnitRun> units(2);
  units[0] = {"A", {100, 400, 0}, Failure{Status::ok, "2.1"}, 3.04, {}, false};
  units[1] = {"B", {50, 400, 0}, Failure{Status::timed_out, "The unit B did not answer."}, 9.0, {}, false};
  const ProgressState sum = fleet_progress(units, 1.0);
  EXPECT_EQ(sum.done, 150u);
  EXPECT_EQ(sum.total, 800u);
  EXPECT_EQ(fleet_summary_line(units[0]), "A: updated to firmware 2.1 in 3.0 s");
  EXPECT_EQ(fleet_summary_line(units[1]), "B: failed (status 5): The unit B did not answer.");
}

}  // namespace
