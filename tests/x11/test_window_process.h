#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace fenwright::testing {

// One running fenwright_test_window on a display.
class TestWindowProcess {
 public:
  // nullptr when it did not show its window within a few seconds.
  static std::unique_ptr<TestWindowProcess> start(const std::string& display,
                                                  std::vector<std::string> arguments = {});

  std::uint32_t id() const { return id_; }
  // Sends one command and waits until the program says it is done.
  bool command(const std::string& line);
  ChildProcess& process() { return *process_; }

 private:
  TestWindowProcess() = default;
  std::unique_ptr<ChildProcess> process_;
  std::uint32_t id_ = 0;
};

}  // namespace fenwright::testing
