#include "branches/transformer.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>

// ---------------------------------------------------------------------------------------------
// TransformerBase

TransformerBase::TransformerBase(int n1, int n2, const Complex& z2, const Complex& ym, Complex k)
    : Branch(n1, n2), z2(z2), ym(ym), k(k) {}

void TransformerBase::declare_dynamic_variables(std::vector<double>& p0) const {
  declare_each(p0, z2, ym, k);
}

void TransformerBase::link_dynamic_variables(const VectorXAD& p, VectorXd& pd, int& idx) {
  link_each(p, pd, idx, z2, ym, k);
}

void TransformerBase::unlink_from(const SolverVectors& solver) { unlink_each(solver, z2, ym, k); }

void TransformerBase::update_transformer_parameters(const Complex& new_z2, const Complex& new_ym, Complex new_k) {
  z2.set_value(new_z2);
  ym.set_value(new_ym);
  k.set_value(new_k);
}

double TransformerBase::drive_and_measure(const std::vector<std::pair<Port*, Complex>>& drives) {
  for (const auto& [port, potential] : drives) port->connection->set_potential(potential);
  eval_currents(false);
  double power = 0.0;
  for (const Port* port : side1_ports) {
    const Complex v = port->connection->get_potential();
    power += port->current.real() * v.real() + port->current.imag() * v.imag();
  }
  return power;
}

// ---------------------------------------------------------------------------------------------
// SingleTransformer

void SingleTransformer::backward() {
  Port& lv_phase = *side2_ports[0];
  const Complex i2 = -lv_phase.connection->sum_currents_except(lv_phase);
  lv_phase.current = i2;
  side2_ports[1]->current = -i2;
  const Eigen::VectorXc v1 = side_potentials<Complex>(1);
  const Complex i1 = ym.get_value() * (v1(0) - v1(1)) - std::conj(k.get_value()) * i2;
  side1_ports[0]->current = i1;
  side1_ports[1]->current = -i1;
}

double SingleTransformer::forward() {
  const Eigen::VectorXc v1 = side_potentials<Complex>(1);
  const Complex i2 = side2_ports[0]->current;
  const Complex v =
      (k.get_value() * (v1(0) - v1(1)) + z2.get_value() * i2) + side2_ports[1]->connection->get_potential();
  Connection& node = *side2_ports[0]->connection;
  const Complex change = v - node.get_potential();
  node.set_potential(v);
  // A change that is not a number must not read as convergence.
  if (std::isnan(change.real()) || std::isnan(change.imag())) return std::numeric_limits<double>::infinity();
  return std::max(std::abs(change.real()), std::abs(change.imag()));
}

std::pair<double, double> SingleTransformer::compute_open_circuit_parameters(double uhv, double ulv, double sn) {
  const Complex ratio = k.get_value();
  const double theta = std::atan2(ratio.imag(), ratio.real());
  const double p0 = drive_and_measure({{side1_ports[0], Complex(uhv, 0.0 * uhv)},
                                       {side1_ports[1], Complex()},
                                       {side2_ports[0], Complex(ulv * std::cos(theta), ulv * std::sin(theta))},
                                       {side2_ports[1], Complex()}});
  return {p0, std::abs(side1_ports[0]->current) / (sn / uhv)};
}

std::pair<double, double> SingleTransformer::compute_short_circuit_parameters(double uhv, double ulv, double sn) {
  const double vsc = (sn * std::abs(z2.get_value())) / (ulv * ulv);
  const double psc = drive_and_measure(
      {{side1_ports[0], Complex(uhv * vsc, 0.0)}, {side1_ports[1], Complex()}, {side2_ports[0], Complex()}, {side2_ports[1], Complex()}});
  return {psc, vsc};
}

// ---------------------------------------------------------------------------------------------
// CenterTransformer

std::pair<double, double> CenterTransformer::compute_open_circuit_parameters(double uhv, double ulv, double sn) {
  const Complex ratio = k.get_value();
  const double theta = std::atan2(ratio.imag(), ratio.real());
  const Complex c(0.5 * uhv, 0.0 * (0.5 * uhv));
  const Complex d(std::cos(theta) * (0.5 * ulv), std::sin(theta) * (0.5 * ulv));
  const double p0 = drive_and_measure(
      {{side1_ports[0], c}, {side1_ports[1], -c}, {side2_ports[0], d}, {side2_ports[1], -d}, {side2_ports[2], Complex()}});
  return {p0, std::abs(side1_ports[0]->current) / (sn / uhv)};
}

std::pair<double, double> CenterTransformer::compute_short_circuit_parameters(double uhv, double ulv, double sn) {
  const double vsc = (sn * std::abs(z2.get_value())) / (ulv * ulv);
  const Complex f((uhv * vsc) * 0.5, 0.0);
  const double psc = drive_and_measure({{side1_ports[0], f},
                                        {side1_ports[1], -f},
                                        {side2_ports[0], Complex()},
                                        {side2_ports[1], Complex()},
                                        {side2_ports[2], Complex()}});
  return {psc, vsc};
}

// ---------------------------------------------------------------------------------------------
// ThreePhaseTransformer

namespace {
const Eigen::Matrix3d kIdentity = Eigen::Matrix3d::Identity();
// (P·x)_i = x_(i+1 mod 3).
const Eigen::Matrix3d kCycle = (Eigen::Matrix3d() << 0, 1, 0, 0, 0, 1, 1, 0, 0).finished();
// Phase-to-neutral voltages of three phases and a neutral.
const Eigen::MatrixXd kStar = (Eigen::MatrixXd(3, 4) << 1, 0, 0, -1, 0, 1, 0, -1, 0, 0, 1, -1).finished();

// Constants of the circuit tests, kept as these double-precision literals.
constexpr double kSqrt3 = 1.7320508075688772;
constexpr double kPi = 3.141592653589793;
const Complex kA(-0.4999999999999998, -0.8660254037844387);   // e^(−j2π/3)
const Complex kA2(-0.5000000000000004, 0.8660254037844384);   // e^(−j4π/3), not the rounded a·a

bool is_one_of(int clock, std::initializer_list<int> clocks) {
  return std::find(clocks.begin(), clocks.end(), clock) != clocks.end();
}

// How many ports a side needs for its winding; throws std::invalid_argument if it has another
// count, so that the currents are never read from or written to ports that do not exist.
void check_side_ports(const char* side, const std::string& winding, bool delta, int ports) {
  const bool fits = delta ? (ports == 3 || ports == 4) : ports == 4;
  if (fits) return;
  throw std::invalid_argument(std::string("The ") + side + " side of a three-phase transformer with winding " +
                              winding + (delta ? " needs 3 or 4 ports" : " needs 4 ports (three phases and the neutral)") +
                              ", got " + std::to_string(ports));
}

// Checks the total port count, the winding names (the HV one first) and the port counts that
// they need, and returns n1: it runs before the ports are built, so that a refused transformer
// builds nothing and negative counts never reach the port arithmetic. A negative total is
// refused as reserving that many ports would be, whatever the windings.
int checked_hv_ports(int n1, int n2, const std::string& whv, const std::string& wlv) {
  if (std::int64_t{n1} + n2 < 0) throw std::length_error("vector::reserve");
  if (whv != "D" && whv != "Y") throw std::runtime_error("Bad HV winding: " + whv);
  if (wlv != "d" && wlv != "y" && wlv != "z") throw std::runtime_error("Bad LV winding: " + wlv);
  check_side_ports("HV", whv, whv == "D", n1);
  check_side_ports("LV", wlv, wlv == "d", n2);
  return n1;
}
}  // namespace

ThreePhaseTransformer::ThreePhaseTransformer(int n1, int n2, const std::string& whv, const std::string& wlv,
                                             const Complex& z2, const Complex& ym, double k, int clock)
    : Transformer(checked_hv_ports(n1, n2, whv, wlv), n2, z2, ym, Complex(k, 0.0)),
      A1(kIdentity),
      W1(kStar),
      A2(kIdentity),
      B(kIdentity),
      W2(kStar),
      K(-kIdentity),
      orientation(4 <= clock && clock <= 8 ? -1.0 : 1.0),
      clock(clock),
      whv(whv),
      wlv(wlv) {
  const Eigen::Matrix3d cycle_t = kCycle.transpose();
  if (whv == "D") {
    const bool ab = is_one_of(clock, {0, 4, 5, 6, 10, 11});
    W1 = ab ? kIdentity - kCycle : kIdentity - cycle_t;
    A1 = ab ? kIdentity - cycle_t : kIdentity - kCycle;
  }
  const bool c6 = is_one_of(clock, {0, 1, 2, 6, 7, 8});
  if (wlv == "d") {
    W2 = c6 ? kIdentity - kCycle : kIdentity - cycle_t;
    A2 = c6 ? kIdentity - cycle_t : kIdentity - kCycle;
  } else if (wlv == "z") {
    K = c6 ? kCycle - kIdentity : cycle_t - kIdentity;
    B = c6 ? kIdentity - cycle_t : kIdentity - kCycle;
  }
  A2 *= orientation;
  B *= orientation;
}

std::pair<double, double> ThreePhaseTransformer::compute_open_circuit_parameters(double uhv, double ulv, double sn) {
  // In double: negating the int itself would overflow for the smallest clock.
  const Complex e = std::exp(Complex(0.0, (-static_cast<double>(clock) * kPi) / 6));
  const double g = uhv / kSqrt3;
  const double h = ulv / kSqrt3;
  std::vector<std::pair<Port*, Complex>> drives{{side1_ports[0], Complex(g, 0.0 * g)},
                                                {side2_ports[0], Complex(h, 0.0 * h) * e},
                                                {side1_ports[1], Complex(g * kA.real(), g * kA.imag())},
                                                {side2_ports[1], Complex(h * kA.real(), h * kA.imag()) * e},
                                                {side1_ports[2], Complex(g * kA2.real(), g * kA2.imag())},
                                                {side2_ports[2], Complex(h * kA2.real(), h * kA2.imag()) * e}};
  add_neutral_drives(drives);
  const double p0 = drive_and_measure(drives);
  return {p0, std::abs(side1_ports[0]->current) / (sn / (kSqrt3 * uhv))};
}

std::pair<double, double> ThreePhaseTransformer::compute_short_circuit_parameters(double uhv, double ulv, double sn) {
  double d = std::abs(z2.get_value());
  if (wlv == "d") d /= 3;
  const double vsc = (d * sn) / (ulv * ulv);
  const double g = (uhv * vsc) / kSqrt3;
  std::vector<std::pair<Port*, Complex>> drives{{side1_ports[0], Complex(g, 0.0 * g)},
                                                {side2_ports[0], Complex()},
                                                {side1_ports[1], Complex(g * kA.real(), g * kA.imag())},
                                                {side2_ports[1], Complex()},
                                                {side1_ports[2], Complex(g * kA2.real(), g * kA2.imag())},
                                                {side2_ports[2], Complex()}};
  add_neutral_drives(drives);
  return {drive_and_measure(drives), vsc};
}

void ThreePhaseTransformer::add_neutral_drives(std::vector<std::pair<Port*, Complex>>& drives) const {
  if (side1_ports.size() == 4) drives.emplace_back(side1_ports[3], Complex());
  if (side2_ports.size() == 4) drives.emplace_back(side2_ports[3], Complex());
}
