#include "solvers/logging.hpp"

#include <array>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <spdlog/spdlog.h>

void custom_handler(bool known, int line, const char* file, const char* exp, const char* msg) {
  std::ostringstream text;
  text << (known ? "Error from a known source:" : "Error from unknown source") << std::endl;
  if (msg[0] != '\0') text << msg << std::endl;
  text << "Error detected by false result for" << std::endl;
  text << "    " << exp << std::endl;
  text << "at line " << line << " in the file " << std::endl;
  text << "    " << file << std::endl;
  // Logged as it stands: the library's texts may hold braces, so they are no format string.
  spdlog::default_logger_raw()->log(spdlog::level::err, spdlog::string_view_t(text.str()));
}

void set_logging_config(const std::string& severity) {
  spdlog::set_pattern("%x %X %l %v", spdlog::pattern_time_type::local);
  static constexpr std::array<std::pair<const char*, spdlog::level::level_enum>, 7> levels{{
      {"trace", spdlog::level::trace},
      {"debug", spdlog::level::debug},
      {"info", spdlog::level::info},
      {"warning", spdlog::level::warn},
      {"error", spdlog::level::err},
      {"critical", spdlog::level::critical},
      {"off", spdlog::level::off},
  }};
  for (const auto& [name, level] : levels)
    if (severity == name) {
      spdlog::set_level(level);
      return;
    }
  throw std::runtime_error("Unknown severity string " + severity + ".");
}
