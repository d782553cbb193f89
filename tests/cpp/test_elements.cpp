#include "tests/cpp/test_elements.hpp"

bool report_armed = false;

namespace {
double report_zero(const double&) {
  if (report_armed) CppAD::ErrorHandler::Call(true, 7, "reporting_law.cpp", "report_armed", "reported by the test law");
  return 0.0;
}
}  // namespace

CPPAD_DISCRETE_FUNCTION(double, report_zero)

double reported_zero(const double& x) { return report_zero(x); }
AD reported_zero(const AD& x) { return report_zero(x); }
