// The child processes of `update --all` on Windows: one process of this
// program per unit, all in one job object that ends them when this process
// ends for any reason (closed, killed, crashed), and each child's output read
// by a thread of its own and handed to the main loop line by line.
#pragma once

#include "MainLoop.h"

#include <windows.h>

#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace mx::ctl {

class Children {
 public:
  explicit Children(MainLoop& loop) : loop_(loop) {}
  // Ends the children still running and waits for the reading threads: none
  // of them posts to the loop afterwards.
  ~Children();
  Children(const Children&) = delete;
  Children& operator=(const Children&) = delete;

  // Starts one child per argument list, in order; gives how many started.
  // Fewer than all: `error` says why the next did not.
  size_t start(const std::vector<std::vector<std::string>>& children,
               std::function<void(size_t, const std::string&)> line, std::function<void(size_t, long)> ended,
               std::string& error);
  // Ends every child still running; once it returns their last lines and
  // ends are in the loop.
  void stop();

 private:
  bool make_job(std::string& error);

  MainLoop& loop_;
  HANDLE job_ = nullptr;
  std::vector<HANDLE> processes_;
  std::vector<std::thread> readers_;
};

}  // namespace mx::ctl
