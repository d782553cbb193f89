// Redirects spdlog's default logger into a string for the lifetime of the object.
#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

class LogCapture {
 public:
  explicit LogCapture(spdlog::level::level_enum level = spdlog::level::debug, const std::string& pattern = "%l %v")
      : previous_(spdlog::default_logger()) {
    auto logger = std::make_shared<spdlog::logger>(name, std::make_shared<spdlog::sinks::ostream_sink_st>(stream_));
    logger->set_pattern(pattern);
    logger->set_level(level);
    spdlog::set_default_logger(logger);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture() {
    spdlog::set_default_logger(previous_);
    spdlog::drop(name);
  }

  std::string text() const { return stream_.str(); }

  // The lines written so far, without their line ends.
  std::vector<std::string> lines() const {
    std::vector<std::string> result;
    std::istringstream in(stream_.str());
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
  }

  static constexpr const char* name = "capture";

 private:
  std::shared_ptr<spdlog::logger> previous_;
  std::ostringstream stream_;
};
