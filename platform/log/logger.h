#pragma once

#include <memory>
#include <string_view>

#include <spdlog/logger.h>
#include <spdlog/sinks/sink.h>

namespace fenwright::log {

inline constexpr std::string_view kSubsystem = "com.quenfield.app.fenwright";

// Category "main": the process, the service and the sentinel reader.
// Default-level lines go to info(), failures to error().
spdlog::logger& helperLogger();

// Category "buffer": the frame buffer and its renders.
spdlog::logger& bufferLogger();

// Every line of both categories also goes to these sinks; used by tests to
// assert on exact lines.
void addSink(std::shared_ptr<spdlog::sinks::sink> sink);
void removeSink(const std::shared_ptr<spdlog::sinks::sink>& sink);

void flush();

}  // namespace fenwright::log
