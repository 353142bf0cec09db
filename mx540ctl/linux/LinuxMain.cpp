// mx540ctl on Linux: the portable commands over the HID library linked in on
// the hidraw platform. Units are shared with other mx540ctl processes through
// flock'ed lock files; `update --all` runs one child process per unit.
#include "Commands.h"
#include "CommandLine.h"
#include "LinuxTool.h"
#include "Session.h"
#include "USB.h"
#include "unit_lock_linux.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

void write_to(FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

std::string base_name(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace mx::ctl;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParsedCommandLine parsed = parse_command_line(args);
  write_to(stdout, parsed.out);
  write_to(stderr, parsed.err);
  if (!parsed.options) return parsed.exit_code;
  const Options& options = *parsed.options;
  if (options.command == Command::udev_rule) {
    write_to(stdout, udev_rule_text());
    return 0;
  }
  // A child of `update --all` ends with its parent; the parent ends its
  // children on Ctrl+C and says where each unit was left.
  if (options.child && !child_bound_to_parent()) return exit_code(Status::device_failed);
  if (options.command == Command::update && options.all) catch_interrupts();

  auto owned_sleeper = std::make_unique<PumpingSleeper>();
  PumpingSleeper& sleeper = *owned_sleeper;
  MainLoop loop(std::move(owned_sleeper));
  // Like a loaded library, the HID library stays for the life of the process:
  // a transfer left inside it (a unit that hangs) never finds it gone.
  auto* platform = new hidlib::HidrawPlatform(hidlib::udev_system());
  platform->set_node_change_handler([&sleeper](const hidlib::NodeChange& change) { sleeper.node_changed(change); });
  auto* library = new hidlib::LoadedLibrary(*platform);
  sleeper.attach(library->library(),
                 [library](const hidlib::NodeChange& change) { return change_concerns(change, library->library()); });

  Session session(loop);
  session.install([&](const std::string& text) { write_to(stderr, text + "\n"); });
  session.set_open_failure([platform](const std::string& serial) -> std::optional<Failure> {
    const auto refusal = platform->open_refusal(serial);
    if (refusal && refusal->permission()) return permission_failure(serial, refusal->path, installed_udev_rule());
    return std::nullopt;
  });
  const std::string program = own_program();
  link_set_platform(built_in_library());
  link_set_unit_locks(mx::link::flock_unit_locks(mx::link::unit_lock_folder(), base_name(program)));

  Status status;
  {
    Children children(loop, program);
    Io io;
    io.out = [](const std::string& text) { write_to(stdout, text); };
    io.err = [](const std::string& text) { write_to(stderr, text); };
    io.console = ::isatty(STDOUT_FILENO) == 1;
    io.udev_rule = udev_rule_text();
    io.start_children = [&](const std::vector<std::vector<std::string>>& child_args,
                            std::function<void(size_t, const std::string&)> line,
                            std::function<void(size_t, long)> ended, std::string& error) {
      return children.start(child_args, std::move(line), std::move(ended), error);
    };
    io.stop_children = [&] { children.stop(); };
    io.interrupted = [] { return interrupted(); };
    status = run_command(options, session, loop, io);
  }
  session.stop();
  // No device change may reach the sleeper once the loop is gone.
  platform->set_device_change_poster(nullptr);
  return exit_code(status);
}
