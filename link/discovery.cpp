// Discovery: which unit the link talks to. It lists every VORNIX unit on the
// bus, binds one (the one it holds, or the first it may take), and shares
// units with other programs through their locks.
#include "link_state.h"
#include "unit_key.h"

#include <cstring>

using mx::link::L;
using mx::link::TUnitLocks;

namespace mx::link {
namespace {

bool is_maker(const THIDString& manufacturer) {
  const size_t n = sizeof maker_string - 1;
  return manufacturer.Length == n && std::memcmp(manufacturer.Text, maker_string, n) == 0;
}

// Boot loaders announce themselves with "(boot)" after the product name; a name
// that starts with it is not one.
bool is_boot_product(const std::string& product) {
  const auto at = product.find("(boot)");
  return at != std::string::npos && at >= 1;
}

// One discovery pass: every VORNIX unit on the bus, and what the link holds.
// Units and locks go by key (unit_key.h): the serial, or the path of a unit without one.
struct TDiscoveryPass {
  std::shared_ptr<TUnitLocks> locks;
  std::string chosen, chosen_path, held;
  bool held_returning = false;  // the held unit left on the link's own command
  bool held_present = false;
  std::vector<TUnitSeen> seen;
  std::vector<std::pair<uint8_t, THIDDeviceInfo>> candidates;  // beside `seen`
};

std::string key_of(const TUnitSeen& unit) { return unit_key(unit.identity.serial, unit.identity.path); }

bool is_chosen(const TDiscoveryPass& pass, const TUnitSeen& unit) {
  return (pass.chosen.empty() || unit.identity.serial == pass.chosen) &&
         (pass.chosen_path.empty() || unit.identity.path == pass.chosen_path);
}

TDiscoveryPass list_units(TLink& l, uint8_t count) {
  TDiscoveryPass pass;
  {
    std::lock_guard guard(l.lock);
    pass.locks = l.locks;
    pass.chosen = l.chosen_serial;
    pass.chosen_path = l.chosen_path;
    pass.held = l.held_serial;
    pass.held_returning =
        !pass.held.empty() && l.returning_until && std::chrono::steady_clock::now() < *l.returning_until;
  }
  const auto platform = l.current_platform();
  auto text = [&](const THIDString& field) { return platform ? platform->record_text(field) : hid_text(field); };
  for (unsigned index = 0; index < count; ++index) {
    const THIDDeviceInfo info = l.device.info(static_cast<uint8_t>(index));
    if (!is_maker(info.Manufacturer))
      continue;
    TUnitSeen unit;
    unit.identity.product = text(info.Product);
    unit.identity.serial = text(info.SerialNumber);
    unit.identity.version = version_text(info.VersionNumber);
    unit.identity.boot = is_boot_product(unit.identity.product);
    unit.identity.path = path_text(hid_text(info.DevicePath));
    pass.held_present = pass.held_present || (!pass.held.empty() && key_of(unit) == pass.held);
    pass.seen.push_back(unit);
    pass.candidates.emplace_back(static_cast<uint8_t>(index), info);
  }
  return pass;
}

// The unit to bind: the one whose lock the link holds, wherever the bus lists
// it; else the first one it may have (the chosen serial only, if one is
// chosen), once this process holds its lock. A unit another program holds is
// never opened. While the held unit is away on the link's own command (an
// update under way) no other unit is bound.
std::optional<size_t> choose_unit(TDiscoveryPass& pass) {
  if (pass.held_present)
    for (size_t i = 0; i < pass.seen.size(); ++i)
      if (key_of(pass.seen[i]) == pass.held && is_chosen(pass, pass.seen[i]))
        return i;
  if (pass.held_returning && !pass.held_present)
    return std::nullopt;
  for (size_t i = 0; i < pass.seen.size(); ++i) {
    if (!is_chosen(pass, pass.seen[i]))
      continue;
    const std::string key = key_of(pass.seen[i]);
    if (pass.locks && key != pass.held) {
      std::string holder;
      if (!pass.locks->take(key, holder)) {
        pass.seen[i].held_by = holder.empty() ? "another program" : holder;
        continue;
      }
      if (!pass.held.empty())
        pass.locks->give_back(pass.held);
      pass.held = key;
    }
    return i;
  }
  return std::nullopt;
}

// Keeps what the pass saw and the lock it holds; false when usb_stop came
// meanwhile (the lock just taken is given back, nothing is opened).
bool record_pass(TLink& l, const TDiscoveryPass& pass, std::optional<size_t> bound) {
  bool stopped_meanwhile = false;
  {
    std::lock_guard guard(l.lock);
    l.seen = pass.seen;
    stopped_meanwhile = l.device.sending_stopped();
    if (pass.locks && !stopped_meanwhile)
      l.held_serial = pass.held;
    if (bound && pass.held_present)
      l.returning_until.reset();  // it is back
  }
  if (stopped_meanwhile && pass.locks && bound)
    pass.locks->give_back(pass.held);
  return !stopped_meanwhile;
}

void bind_unit(TLink& l, const std::shared_ptr<LinkHost>& host, const TDeviceIdentity& unit,
               const std::pair<uint8_t, THIDDeviceInfo>& candidate) {
  l.device.set_identity(unit);
  if (host)
    host->show_unit(unit);
  const auto connection = l.device.open(candidate.first, candidate.second);
  if (!connection)
    return;
  // An edit waiting for this very unit goes out after its first read reply;
  // one made on another unit, or before a boot loader took over, is dropped.
  l.settings.connected(*connection, unit_key(unit.serial, unit.path), !unit.boot);
  if (unit.boot) {
    boot_mode = true;
    if (host)
      host->enable_update(true);
  } else {
    if (host)
      host->enable_update(false);
    boot_mode = false;
    if (host)
      host->enable_controls(true);
    // Show the device's settings now rather than at the next poll.
    post_request(cmd_read);
  }
}

}  // namespace
}  // namespace mx::link

void link_set_unit_locks(std::shared_ptr<mx::link::TUnitLocks> locks) {
  std::lock_guard guard(L().lock);
  L().locks = std::move(locks);
}

void link_choose_unit(const std::string& serial, const std::string& path) {
  std::lock_guard guard(L().lock);
  L().chosen_serial = serial;
  L().chosen_path = path;
}

std::vector<TUnitSeen> units_seen() {
  std::lock_guard guard(L().lock);
  return L().seen;
}

void rescan() {
  using namespace mx::link;
  auto& l = L();
  const THIDEntries e = l.device.entries();
  if (!e.HIDscanForDevices || !e.HIDGetDeviceInfo || !e.HIDopenDevice || !e.HIDcloseDevice)
    return;
  // After usb_stop the unit may belong to another program already.
  if (l.device.sending_stopped())
    return;

  // Update frames that meet the unit closed wait for the pass's end (link_state.h).
  {
    std::lock_guard guard(l.lock);
    ++l.rescans_started;
  }
  struct TEnded {
    TLink& l;
    ~TEnded() {
      {
        std::lock_guard guard(l.lock);
        ++l.rescans_ended;
      }
      l.rescanned.notify_all();
    }
  } ended{l};

  l.settings.disconnected();
  l.device.close();
  const uint8_t count = l.device.scan();
  const auto host = l.current_host();
  if (host)
    host->enable_controls(false);

  TDiscoveryPass pass = list_units(l, count);
  const auto bound = choose_unit(pass);
  if (!record_pass(l, pass, bound))
    return;
  if (!bound) {
    l.device.set_identity({});
    if (host)
      host->show_unit({});
    return;
  }
  bind_unit(l, host, pass.seen[*bound].identity, pass.candidates[*bound]);
}
