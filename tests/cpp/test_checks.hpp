// Checks and readings shared by the element suites.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/element.hpp"

// |actual − expected| within `tolerance` relative to |expected| (absolute below 1).
inline void expect_close(const Complex& actual, const Complex& expected, double tolerance = 1e-12,
                         const std::string& what = "") {
  EXPECT_LE(std::abs(actual - expected), tolerance * std::max(1.0, std::abs(expected)))
      << what << (what.empty() ? "" : ": ") << actual << " vs " << expected;
}

// Every port current of the element, in port order.
inline std::vector<Complex> currents_of(const Element& element) {
  std::vector<Complex> out(element.ports.size());
  element.get_currents(static_cast<int>(out.size()), out.data());
  return out;
}
