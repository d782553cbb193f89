#include <gtest/gtest.h>

#include <cctype>
#include <stdexcept>

#include "solvers/logging.hpp"
#include "tests/cpp/log_capture.hpp"

namespace {
// Whether `text` is the date and the time ("12/31/26 23:59:59 ") followed by `rest`.
bool is_dated_record(const std::string& text, const std::string& rest) {
  const std::string shape = "00/00/00 00:00:00 ";
  if (text.size() != shape.size() + rest.size() || text.compare(shape.size(), rest.size(), rest) != 0) return false;
  for (std::size_t k = 0; k < shape.size(); ++k)
    if (shape[k] == '0' ? !std::isdigit(static_cast<unsigned char>(text[k])) : text[k] != shape[k]) return false;
  return true;
}

// Leaves the process-wide pattern and level as the logging library starts them.
class Logging : public testing::Test {
 protected:
  void TearDown() override {
    spdlog::set_pattern("%+");
    spdlog::set_level(spdlog::level::info);
  }
};

struct HandlerCase {
  const char* name;
  bool known;
  const char* msg;
  std::string expected;
};

class HandlerText : public Logging, public testing::WithParamInterface<HandlerCase> {};

TEST_P(HandlerText, LogsTheFailedCheckAtErrorLevel) {
  const LogCapture log(spdlog::level::trace, "[%l] %v");
  custom_handler(GetParam().known, 12, "/usr/include/cppad/x.hpp", "n > 0", GetParam().msg);
  EXPECT_EQ(log.text(), "[error] " + GetParam().expected + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HandlerText,
    testing::Values(HandlerCase{"KnownWithMessage", true, "x has {} size",
                                "Error from a known source:\nx has {} size\nError detected by false result for\n    n > 0\n"
                                "at line 12 in the file \n    /usr/include/cppad/x.hpp\n"},
                    HandlerCase{"UnknownWithoutMessage", false, "",
                                "Error from unknown source\nError detected by false result for\n    n > 0\n"
                                "at line 12 in the file \n    /usr/include/cppad/x.hpp\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Logging, HandlerRecordsAreDroppedAboveErrorLevel) {
  const LogCapture log(spdlog::level::critical);
  custom_handler(true, 1, "f", "e", "m");
  EXPECT_EQ(log.text(), "");
}

struct SeverityCase {
  const char* name;
  spdlog::level::level_enum level;
};

class Severity : public Logging, public testing::WithParamInterface<SeverityCase> {};

// The level field of a record reads as the name that enables it, after the date and the time.
TEST_P(Severity, SetsTheLevelAndThePattern) {
  const LogCapture log(spdlog::level::trace, "%v");
  set_logging_config(GetParam().name);
  EXPECT_EQ(spdlog::default_logger()->level(), GetParam().level);

  if (GetParam().level == spdlog::level::off) {
    spdlog::critical("message");
    EXPECT_EQ(log.text(), "");
  } else {
    spdlog::log(GetParam().level, "message");
    spdlog::log(static_cast<spdlog::level::level_enum>(GetParam().level - 1), "below");
    EXPECT_TRUE(is_dated_record(log.text(), std::string(GetParam().name) + " message\n")) << log.text();
  }
}

INSTANTIATE_TEST_SUITE_P(Names, Severity,
                         testing::Values(SeverityCase{"trace", spdlog::level::trace},
                                         SeverityCase{"debug", spdlog::level::debug},
                                         SeverityCase{"info", spdlog::level::info},
                                         SeverityCase{"warning", spdlog::level::warn},
                                         SeverityCase{"error", spdlog::level::err},
                                         SeverityCase{"critical", spdlog::level::critical},
                                         SeverityCase{"off", spdlog::level::off}),
                         [](const auto& info) { return std::string(info.param.name); });

class RejectedSeverity : public Logging, public testing::WithParamInterface<std::string> {};

TEST_P(RejectedSeverity, ThrowsAfterSettingThePatternAndKeepsTheLevel) {
  const LogCapture log(spdlog::level::trace, "%v");
  set_logging_config("debug");
  spdlog::set_pattern("%v");
  try {
    set_logging_config(GetParam());
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), ("Unknown severity string " + GetParam() + ".").c_str());
  }
  EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::debug);
  spdlog::debug("kept");
  EXPECT_TRUE(is_dated_record(log.text(), "debug kept\n")) << log.text();
}

INSTANTIATE_TEST_SUITE_P(Names, RejectedSeverity,
                         testing::Values("WARNING", "Info", "warn", "err", " info", "info ", ""),
                         [](const auto& info) {
                           std::string name = "Case" + std::to_string(info.index);
                           for (const char c : info.param)
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           return name;
                         });
}  // namespace
