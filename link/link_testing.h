// Seams for the link's own tests: they let a test start from a clean link, bind
// an in-process library table without loading anything, and look inside.
#pragma once

#include "USB.h"

// Stops and joins the worker, then returns every piece of link state to its
// start value (the binding may run again afterwards).
void link_reset_for_tests();
void link_start_worker();
void link_bind_entries(const THIDEntries& entries, size_t output_report_len, bool open);
size_t link_rx_size();
bool link_writes_held();
bool link_last_result();
bool link_worker_idle();
bool link_sends_stopped();  // usb_stop has been asked for  // the worker waits with nothing it could send
size_t link_output_report_len();  // the report buffer the frames go out in
