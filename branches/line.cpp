#include "branches/line.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace {
using RowMajorMatrixXc = Eigen::Matrix<Complex, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

Eigen::MatrixXc admittance_from_impedance(int n, const Complex* z_line) {
  const Eigen::MatrixXc impedance = Eigen::Map<const RowMajorMatrixXc>(z_line, n, n);
  return impedance.inverse();
}

// A change that is not a number must not read as convergence.
double counted_change(double change) { return std::isnan(change) ? std::numeric_limits<double>::infinity() : change; }

// Forward step of the matrix forms: writes the new side-2 potentials (stored value and linked
// slot, a later port's value winning on a shared node) and returns the largest complex modulus
// of the change from the potentials read before any write.
double write_side2_potentials(Branch& line, const Eigen::VectorXc& new_potentials) {
  const Eigen::VectorXc old_potentials = line.side_potentials<Complex>(2);
  double error = 0.0;
  for (std::size_t i = 0; i < line.side2_ports.size(); ++i) {
    const auto k = static_cast<Eigen::Index>(i);
    error = std::max(error, counted_change(std::abs(new_potentials(k) - old_potentials(k))));
    line.side2_ports[i]->connection->set_potential(new_potentials(k));
  }
  return error;
}
}  // namespace

SimplifiedLine::SimplifiedLine(int n, const Complex* z_line)
    : Line(n, n), y_line(admittance_from_impedance(n, z_line)) {}

void SimplifiedLine::update_line_parameters(const Complex* z_line) {
  y_line.set_value(admittance_from_impedance(static_cast<int>(side1_ports.size()), z_line));
}

void SimplifiedLine::backward() { pass_downstream_currents(); }

double SimplifiedLine::forward() {
  // Z is not kept: an update of Y through the solver's vector must be seen here.
  return write_side2_potentials(*this, side_potentials<Complex>(1) - y_line.get_value().inverse() * side_currents(1));
}

// ---------------------------------------------------------------------------------------------
// ShuntLine

namespace {
// The number of conductors of a shunt line: at least one, since the sweeps read port 0 of each
// side. A negative count is left to Branch, which refuses it as it refuses any.
int shunt_line_conductors(int n) {
  if (n == 0) throw std::invalid_argument("A shunt line needs at least one conductor.");
  return n;
}
}  // namespace

ShuntLine::ShuntLine(int n, const Complex* y_shunt, const Complex* z_line)
    : Line(shunt_line_conductors(n), n, 1), ground_port(&ports.back()), n(n) {
  set_blocks(n, y_shunt, z_line);
}

std::tuple<Eigen::MatrixXc, Eigen::MatrixXc, Eigen::MatrixXc, Eigen::MatrixXc, Eigen::MatrixXc, Eigen::MatrixXc,
           Eigen::MatrixXc>
ShuntLine::compute_matrix(int n, const Complex* y_shunt, const Complex* z_line) {
  const Eigen::MatrixXc y = Eigen::Map<const RowMajorMatrixXc>(y_shunt, n, n);
  const Eigen::MatrixXc z = Eigen::Map<const RowMajorMatrixXc>(z_line, n, n);
  const Eigen::MatrixXc identity = Eigen::MatrixXc::Identity(n, n);
  A = identity + (0.5 * z) * y;
  B = z;
  C = y + ((0.25 * y) * z) * y;
  D = identity + (0.5 * y) * z;
  A00 = A(0, 0);
  B00 = B(0, 0);
  C00 = C(0, 0);
  D00 = D(0, 0);

  // Row sums of Y, halved and negated: the ground weights.
  const Eigen::VectorXc v = -0.5 * y.rowwise().sum();
  const Eigen::VectorXc w = z * v;
  const Eigen::VectorXc c = (v + v) + ((0.5 * y) * z) * v;
  const Eigen::MatrixXc b_inverse = Eigen::PartialPivLU<Eigen::MatrixXc>(B).inverse();
  const Eigen::MatrixXc d_b_inverse = D * b_inverse;
  return {d_b_inverse, C - d_b_inverse * A, -b_inverse, b_inverse * A, v, c - d_b_inverse * w, b_inverse * w};
}

void ShuntLine::set_blocks(int conductors, const Complex* y_shunt, const Complex* z_line) {
  const auto [b11, b12, b21, b22, bg, b2g, b1g] = compute_matrix(conductors, y_shunt, z_line);
  y11.set_value(b11);
  y12.set_value(b12);
  y21.set_value(b21);
  y22.set_value(b22);
  yg.set_value(bg.col(0));
  y2g.set_value(b2g);
  y1g.set_value(b1g);
}

void ShuntLine::update_line_parameters(const Complex* y_shunt, const Complex* z_line) {
  set_blocks(static_cast<int>(ports.size() / 2), y_shunt, z_line);
}

void ShuntLine::declare_dynamic_variables(std::vector<double>& p0) const {
  declare_each(p0, y11, y12, y21, y22, yg, y2g, y1g);
}

void ShuntLine::link_dynamic_variables(const VectorXAD& p, VectorXd& pd, int& idx) {
  link_each(p, pd, idx, y11, y12, y21, y22, yg, y2g, y1g);
}

void ShuntLine::unlink_from(const SolverVectors& solver) { unlink_each(solver, y11, y12, y21, y22, yg, y2g, y1g); }

void ShuntLine::backward() {
  draw_side2_currents();
  if (n == 1) {
    const Complex i2 = side2_ports[0]->current;
    const Complex i1 = C00 * side2_ports[0]->connection->get_potential() - D00 * i2;
    side1_ports[0]->current = i1;
    ground_port->current = -i1 - i2;
    return;
  }
  const Eigen::VectorXc i2 = side_currents(2);
  const Eigen::VectorXc i1 = C * side_potentials<Complex>(2) - D * i2;
  for (std::size_t i = 0; i < side1_ports.size(); ++i) side1_ports[i]->current = i1(static_cast<Eigen::Index>(i));
  ground_port->current = -i1.sum() - i2.sum();
}

double ShuntLine::forward() {
  if (n == 1) {
    // Only the solver's slot is written: the stored value keeps the start of the next solver.
    ADVariable<Complex>& potential = side2_ports[0]->connection->potential;
    double* slot = potential.linked ? potential.value_ptr : nullptr;
    const Complex v1 = side1_ports[0]->connection->get_potential();
    const Complex new_potential = A00 * v1 - B00 * side1_ports[0]->current;
    const Complex old_potential = slot ? Complex(slot[0], slot[1]) : Complex();
    if (slot) {
      slot[0] = new_potential.real();
      slot[1] = new_potential.imag();
    }
    const Complex change = new_potential - old_potential;
    return std::max(counted_change(std::abs(change.real())), counted_change(std::abs(change.imag())));
  }
  return write_side2_potentials(*this, A * side_potentials<Complex>(1) - B * side_currents(1));
}
