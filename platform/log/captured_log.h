#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace fenwright::log {

struct CapturedLine {
  std::string category;  // "main" or "buffer"
  bool isError = false;
  std::string text;
};

// Collects every log line written while it lives. Tests use it to assert on
// the exact lines a user would read.
class CapturedLog {
 public:
  CapturedLog();
  ~CapturedLog();
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  std::vector<CapturedLine> lines() const;
  std::vector<std::string> texts() const;
  std::size_t count(std::string_view text) const;
  bool contains(std::string_view text) const { return count(text) > 0; }
  bool containsError(std::string_view text) const;
  // Waits until `text` has been logged at least `times` times.
  bool waitFor(std::string_view text, std::chrono::milliseconds timeout,
               std::size_t times = 1) const;
  void clear();

 private:
  class Sink;
  std::shared_ptr<Sink> sink_;
};

}  // namespace fenwright::log
