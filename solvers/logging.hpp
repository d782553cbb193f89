// Reporting of automatic-differentiation errors and the process-wide logging configuration.
#pragma once

#include <string>

// Error handler for CppAD (the signature CppAD::ErrorHandler expects). Logs one record at error
// level on spdlog's default logger, naming the failed check, and returns: the library then goes
// on after the check with whatever values it produced. `msg` may be empty, never null.
//
// The solvers install it through a scoped CppAD::ErrorHandler only around their own recording,
// evaluations and derivatives; elsewhere the library's default handler (message to standard
// error, then the process ends) stays in force.
void custom_handler(bool known, int line, const char* file, const char* exp, const char* msg);

// Sets the pattern "%x %X %l %v" (local time) and then, if `severity` is one of "trace",
// "debug", "info", "warning", "error", "critical" or "off" (exact match), the level of every
// logger. Any other name throws std::runtime_error, after the pattern has been set and with the
// level unchanged.
void set_logging_config(const std::string& severity);
