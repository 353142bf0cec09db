// Seams for the link's own tests: they let a test start from a clean link, bind
// an in-process library table without loading anything, and look inside; and
// the link's host and platform made of functions.
#pragma once

#include "USB.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Stops and joins the worker, then returns every piece of link state to its
// start value (the binding may run again afterwards).
void link_reset_for_tests();
void link_start_worker();
void link_bind_entries(const THIDEntries& entries, size_t output_report_len, bool open);
size_t link_rx_size();
bool link_writes_held();
bool link_last_result();
bool link_worker_idle();
bool link_worker_sending();  // the worker is in a send (it may wait for the device's lock)
bool link_sends_stopped();  // usb_stop has been asked for  // the worker waits with nothing it could send
size_t link_output_report_len();  // the report buffer the frames go out in
size_t link_workers_left_behind();  // workers left in a report call that hung, not yet returned
bool link_device_closing();         // a close waits for the frame going out
size_t link_frames_waiting_for_discovery();  // update frames that met the unit closed by a discovery pass

// The link's seams filled with one function per member, for tests and tools.
// An empty function is skipped: the member does nothing (or finds nothing).
struct TLinkHostFunctions final : LinkHost {
  std::function<void()> refresh;
  std::function<void(std::function<void()>)> post_to_main;
  std::function<void(const std::string&)> show_error;
  std::function<void(bool)> cont;
  std::function<void(const TDeviceIdentity&)> show_device;
  std::function<void(bool)> enable_update_buttons;
  std::function<void()> update_finished;
  std::function<void()> settings_reset;

  // The link posts only refreshes: without one to run, nothing is posted.
  bool run_on_main(std::function<void()> routine) override {
    if (!post_to_main || !refresh)
      return false;
    post_to_main(std::move(routine));
    return true;
  }
  void show_settings() override { call(refresh); }
  void report_error(const std::string& text) override { call(show_error, text); }
  void enable_controls(bool en) override { call(cont, en); }
  void show_unit(const TDeviceIdentity& unit) override { call(show_device, unit); }
  void enable_update(bool en) override { call(enable_update_buttons, en); }
  void on_update_finished() override { call(update_finished); }
  void on_settings_reset() override { call(settings_reset); }

 private:
  template <class F, class... A>
  static void call(const F& f, const A&... a) {
    if (f)
      f(a...);
  }
};

struct TLinkPlatformFunctions final : TLinkPlatform {
  std::function<bool(const std::string& name)> file_exists;
  std::function<bool(std::vector<uint8_t>& bytes)> read_own_resource;
  std::function<void(const std::string& name, const std::vector<uint8_t>& bytes)> write_file;
  std::function<std::string(const std::string& name)> full_path;
  std::function<void*(const std::string& path)> load_library;
  std::function<void*(void* library, const char* name)> resolve;
  std::function<std::string(const THIDString& field)> text;  // empty: the record's bytes as they are

  bool has_file(const std::string& name) const override { return file_exists && file_exists(name); }
  // Without a way to write the file, the resource is not read.
  bool read_resource(std::vector<uint8_t>& bytes) const override {
    return read_own_resource && write_file && read_own_resource(bytes);
  }
  void create_file(const std::string& name, const std::vector<uint8_t>& bytes) const override {
    if (write_file)
      write_file(name, bytes);
  }
  // Without all three loading steps there is no path to load from.
  std::string path_of(const std::string& name) const override {
    return full_path && load_library && resolve ? full_path(name) : std::string();
  }
  void* load(const std::string& path) const override { return load_library ? load_library(path) : nullptr; }
  void* entry(void* library, const char* name) const override { return resolve ? resolve(library, name) : nullptr; }
  std::string record_text(const THIDString& field) const override { return text ? text(field) : hid_text(field); }
};

// The link keeps its own copy.
inline void link_set_host(const TLinkHostFunctions& host) { link_set_host(std::make_shared<TLinkHostFunctions>(host)); }
inline void link_set_platform(const TLinkPlatformFunctions& platform) {
  link_set_platform(std::make_shared<TLinkPlatformFunctions>(platform));
}
