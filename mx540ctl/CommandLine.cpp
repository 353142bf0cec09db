#include "CommandLine.h"

#include "ExitStatus.h"

#include <CLI/CLI.hpp>

#include <sstream>

#ifndef MX_VERSION
#define MX_VERSION "0.0.0"
#endif

namespace mx::ctl {

std::string version_text() { return "mx540ctl " MX_VERSION; }

ParsedCommandLine parse_command_line(const std::vector<std::string>& args) {
  CLI::App app{"Command-line companion of the MX-540KTR control panel: list units, show, change, back up\n"
               "and restore their settings, update their firmware.",
               "mx540ctl"};
  app.set_version_flag("--version", version_text());
  // Options are "--name" only, on Windows too: a file named by a Unix path
  // under Wine ("/home/op/fw.vnxu") is a file, not a "/option". Subcommands
  // take this setting when they are made.
  app.allow_windows_style_options(false);
  app.require_subcommand(1, 1);
  app.footer(
      "Exit status: 0 success, 1 usage error, 2 no unit (or not the one asked for, or held by another\n"
      "program), 3 file rejected, 4 the device failed or stopped answering, 5 a bounded wait ran out.\n"
      "--serial (or --path) is needed whenever more than one unit is connected; a unit without a serial\n"
      "number, or two units with one serial, are chosen by --path as `list` shows it.");

  Options o;
  int preset = 0;
  std::vector<std::string> pairs;

  // --serial or --path picks the unit; a unit is known by its path when it
  // has no serial number or shares its serial with another unit.
  auto serial_option = [&](CLI::App* sub) {
    CLI::Option* serial = sub->add_option("--serial", o.serial, "Serial number of the unit (as `list` shows it)");
    sub->add_option("--path", o.path, "Device path of the unit (as `list` shows it)")->excludes(serial);
    return serial;
  };

  CLI::App* list = app.add_subcommand("list", "Every connected unit: serial, product, mode, firmware");
  list->add_flag("--json", o.json, "JSON output");

  CLI::App* show = app.add_subcommand("show", "The active preset and every preset's settings");
  serial_option(show);
  show->add_flag("--json", o.json, "JSON output (the settings file's format)");

  CLI::App* set = app.add_subcommand(
      "set",
      "Change settings: KEY=VALUE pairs, keys active (1-4), lr (off, L, R, LR), src (Ch_1-2 .. Ch_15-16),\n"
      "gain (-15..15 dB), ref (0 dBFS .. -31 dBFS), delay and gpi (0..170 ms, 10 ms steps), scale\n"
      "(dB, dBFS, dB-18..+10). List values by item text (any case) or the item's index from 0.\n"
      "All pairs are checked first; the record is written once and read back.");
  serial_option(set);
  set->add_option("--preset", preset, "Preset 1-4 the value keys change (default: the active one, after active=N)")
      ->check(CLI::Range(1, 4));
  set->add_option("pairs", pairs, "KEY=VALUE")->required();

  CLI::App* save = app.add_subcommand("save", "Write the unit's settings to a JSON file");
  save->add_option("FILE", o.file, "Settings file")->required();
  serial_option(save);

  CLI::App* load = app.add_subcommand("load", "Write the settings of a JSON file (from `save`) to the unit");
  load->add_option("FILE", o.file, "Settings file")->required();
  serial_option(load);

  CLI::App* update = app.add_subcommand("update", "Update the firmware from a .vnxu file");
  update->add_option("FILE", o.file, "Update file (.vnxu)")->required();
  CLI::Option* update_serial = serial_option(update);
  update->add_flag("--all", o.all, "Every connected unit, in parallel")
      ->excludes(update_serial)
      ->excludes(update->get_option("--path"));
  update->add_flag("--child", o.child, "")->group("");   // output for a parent `update --all`

  CLI::App* reset = app.add_subcommand("reset", "Reset the unit's settings to the factory values");
  serial_option(reset);

#if defined(__linux__)
  CLI::App* udev_rule = app.add_subcommand(
      "udev-rule", "Print the udev rule that lets the user at the local seat use the units without root");
#endif

  ParsedCommandLine result;
  std::ostringstream out, err;
  try {
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, err);
    result.exit_code = code == 0 ? 0 : exit_code(Status::usage);
    result.out = out.str();
    result.err = err.str();
    return result;
  }

  const std::pair<CLI::App*, Command> commands[] = {{list, Command::list},     {show, Command::show},
                                                    {set, Command::set},       {save, Command::save},
                                                    {load, Command::load},     {update, Command::update},
                                                    {reset, Command::reset}};
  for (const auto& [sub, command] : commands)
    if (sub->parsed()) o.command = command;
#if defined(__linux__)
  if (udev_rule->parsed()) o.command = Command::udev_rule;
#endif
  if (o.command == Command::set) {
    if (preset) o.preset = preset - 1;
    for (const std::string& text : pairs) {
      PairError error;
      const auto pair = parse_pair(text, error);
      if (!pair) {
        result.exit_code = exit_code(Status::usage);
        result.err = error.text + ". Nothing was changed.\n";
        return result;
      }
      o.pairs.push_back(*pair);
    }
  }
  result.options = o;
  return result;
}

}  // namespace mx::ctl
