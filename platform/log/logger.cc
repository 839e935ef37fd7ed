#include "platform/log/logger.h"

#include <spdlog/details/log_msg.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "platform/dispatch/queue_executor.h"

namespace fenwright::log {
namespace {

// Shows the level as the unified log names it: "default" or "error".
class LevelFlag final : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm&,
              spdlog::memory_buf_t& dest) override {
    std::string_view text = msg.level >= spdlog::level::err ? "error" : "default";
    dest.append(text.data(), text.data() + text.size());
  }
  std::unique_ptr<custom_flag_formatter> clone() const override {
    return std::make_unique<LevelFlag>();
  }
};

// Names the queue a line was logged from: every queue is a strand of the
// same few threads, so the thread says nothing. "-" off any queue.
class QueueFlag final : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg&, const std::tm&,
              spdlog::memory_buf_t& dest) override {
    const QueueIdentity* running = CurrentQueue::get();
    std::string_view text = running ? running->label : "-";
    dest.append(text.data(), text.data() + text.size());
  }
  std::unique_ptr<custom_flag_formatter> clone() const override {
    return std::make_unique<QueueFlag>();
  }
};

struct Loggers {
  std::shared_ptr<spdlog::sinks::dist_sink_mt> sinks;
  spdlog::logger main;
  spdlog::logger buffer;

  Loggers()
      : sinks(std::make_shared<spdlog::sinks::dist_sink_mt>()),
        main(std::string(kSubsystem) + ":main", sinks),
        buffer(std::string(kSubsystem) + ":buffer", sinks) {
    auto stderrSink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    formatter->add_flag<LevelFlag>('*').add_flag<QueueFlag>('q').set_pattern(
        "%Y-%m-%d %H:%M:%S.%e fenwright[%P:%q] <%*> [%n] %v");
    stderrSink->set_formatter(std::move(formatter));
    sinks->add_sink(stderrSink);
    for (spdlog::logger* logger : {&main, &buffer}) {
      logger->set_level(spdlog::level::info);
      // A line is written as it happens: the process may end with _exit.
      logger->flush_on(spdlog::level::info);
    }
  }
};

Loggers& loggers() {
  static Loggers instance;
  return instance;
}

}  // namespace

spdlog::logger& helperLogger() { return loggers().main; }
spdlog::logger& bufferLogger() { return loggers().buffer; }

void addSink(std::shared_ptr<spdlog::sinks::sink> sink) {
  loggers().sinks->add_sink(std::move(sink));
}

void removeSink(const std::shared_ptr<spdlog::sinks::sink>& sink) {
  loggers().sinks->remove_sink(sink);
}

void flush() {
  loggers().main.flush();
  loggers().buffer.flush();
}

}  // namespace fenwright::log
