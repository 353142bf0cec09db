// Placeholder so that the contract links; the link follows.
#include "USB.h"

std::atomic<bool> dev_open{false}, boot_mode{false}, send_pending{false}, sending{false}, refresh_pending{false};

TSettings settings_get() { return {}; }
void settings_edit(const std::function<void(TSettings&)>&) {}
void sanitize_settings(TSettings&) {}
void link_set_host(LinkHost) {}
void link_run_main_tasks() {}
void link_set_platform(TLinkPlatform) {}
TLoadOutcome load_hid_library(const TLinkPlatform&, THIDEntries&, std::string*) { return TLoadOutcome::not_loadable; }
bool usb_init() { return false; }
void rescan() {}
void usb_stop() {}
void HIDAPI_CALL on_report(THIDReport, uint8_t) {}
bool send_msg(uint8_t, const uint8_t*, size_t) { return false; }
void save() {}
void post_request(uint8_t) {}
bool post_and_wait(uint8_t) { return false; }
bool set_erase(uint16_t) { return false; }
bool write_flash(uint16_t, const uint8_t*, size_t) { return false; }
bool write_eep(uint16_t, const uint8_t*, size_t) { return false; }
std::vector<uint8_t> erase_payload(uint16_t) { return {}; }
std::vector<uint8_t> block_payload(uint16_t, const uint8_t*, size_t) { return {}; }
