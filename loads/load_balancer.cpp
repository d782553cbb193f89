#include "loads/load_balancer.hpp"

namespace {
Eigen::MatrixXc balancer_admittance(const Complex& z2, const Complex& ym, double k) {
  const double q = 1.0 / (k * k) + 1.0;
  const Complex self = Complex(q, 0.0) / ym + z2;
  const Complex mutual = Complex(-1.0, 0.0) / Complex(k * ym.real(), k * ym.imag());
  Eigen::MatrixXc impedance = Eigen::MatrixXc::Constant(3, 3, mutual);
  impedance.diagonal().setConstant(self);
  // No singularity test: a singular impedance gives non-finite entries.
  return impedance.partialPivLu().inverse();
}
}  // namespace

LoadBalancer::LoadBalancer(const Complex& z2, const Complex& ym, double k)
    : Load(4), admittance(balancer_admittance(z2, ym, k)) {}
