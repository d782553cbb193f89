// Checks and readings shared by the suites.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/element.hpp"
#include "solvers/newton.hpp"

// |actual − expected| within `tolerance` relative to |expected| (absolute below 1).
inline void expect_close(const Complex& actual, const Complex& expected, double tolerance = 1e-12,
                         const std::string& what = "") {
  EXPECT_LE(std::abs(actual - expected), tolerance * std::max(1.0, std::abs(expected)))
      << what << (what.empty() ? "" : ": ") << actual << " vs " << expected;
}

// The residuals at the solver's current unknowns, in row order.
inline std::vector<double> residuals_of(AbstractNewton& solver) {
  std::vector<double> out(static_cast<std::size_t>(solver.independents_size()));
  solver.get_residuals(out.data());
  return out;
}

// Every port current of the element, in port order.
inline std::vector<Complex> currents_of(const Element& element) {
  std::vector<Complex> out(element.ports.size());
  element.get_currents(static_cast<int>(out.size()), out.data());
  return out;
}
