#include "platform/log/captured_log.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include <spdlog/sinks/base_sink.h>

#include "platform/log/logger.h"

namespace fenwright::log {

class CapturedLog::Sink final : public spdlog::sinks::sink {
 public:
  void log(const spdlog::details::log_msg& msg) override {
    std::string_view name(msg.logger_name.data(), msg.logger_name.size());
    CapturedLine line;
    line.category = std::string(name.substr(name.rfind(':') + 1));
    line.isError = msg.level >= spdlog::level::err;
    line.text.assign(msg.payload.data(), msg.payload.size());
    {
      std::lock_guard lock(mutex_);
      lines_.push_back(std::move(line));
    }
    changed_.notify_all();
  }
  void flush() override {}
  void set_pattern(const std::string&) override {}
  void set_formatter(std::unique_ptr<spdlog::formatter>) override {}

  std::vector<CapturedLine> snapshot() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }
  bool waitUntil(std::chrono::milliseconds timeout,
                 const std::function<bool(const std::vector<CapturedLine>&)>& done) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(lines_); });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<CapturedLine> lines_;
};

CapturedLog::CapturedLog() : sink_(std::make_shared<Sink>()) { addSink(sink_); }

CapturedLog::~CapturedLog() { removeSink(sink_); }

std::vector<CapturedLine> CapturedLog::lines() const { return sink_->snapshot(); }

std::vector<std::string> CapturedLog::texts() const {
  std::vector<std::string> out;
  for (auto& line : sink_->snapshot()) out.push_back(line.text);
  return out;
}

namespace {
std::size_t countIn(const std::vector<CapturedLine>& lines, std::string_view text) {
  return static_cast<std::size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const CapturedLine& l) { return l.text == text; }));
}
}  // namespace

std::size_t CapturedLog::count(std::string_view text) const {
  return countIn(sink_->snapshot(), text);
}

bool CapturedLog::containsError(std::string_view text) const {
  auto lines = sink_->snapshot();
  return std::any_of(lines.begin(), lines.end(), [&](const CapturedLine& l) {
    return l.isError && l.text == text;
  });
}

bool CapturedLog::waitFor(std::string_view text, std::chrono::milliseconds timeout,
                          std::size_t times) const {
  return sink_->waitUntil(timeout, [&](const std::vector<CapturedLine>& lines) {
    return countIn(lines, text) >= times;
  });
}

void CapturedLog::clear() { sink_->clear(); }

}  // namespace fenwright::log
