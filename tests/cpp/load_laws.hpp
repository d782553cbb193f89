// The load laws written out independently of the engine, for the tests to check it against.
#pragma once

#include <cmath>

#include "core/ad_variable.hpp"

// y·U, the product written out part by part.
inline Complex admittance_law(const Complex& u, const Complex& y) {
  return {y.real() * u.real() - y.imag() * u.imag(), y.real() * u.imag() + y.imag() * u.real()};
}

// A current of magnitude |I0| at the angle arg U + arg I0.
inline Complex current_law(const Complex& u, const Complex& i0) {
  return std::polar(std::abs(i0), std::arg(u) + std::arg(i0));
}

// The load balancer's impedance: z2 + (1 + 1/k²)/ym on the diagonal, −1/(k·ym) elsewhere.
inline Eigen::MatrixXc balancer_impedance(const Complex& z2, const Complex& ym, double k) {
  Eigen::MatrixXc m = Eigen::MatrixXc::Constant(3, 3, -1.0 / (k * ym));
  m.diagonal().setConstant(z2 + (1.0 + 1.0 / (k * k)) / ym);
  return m;
}
