#include "branches/line.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
using RowMajorMatrixXc = Eigen::Matrix<Complex, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

Eigen::MatrixXc admittance_from_impedance(int n, const Complex* z_line) {
  const Eigen::MatrixXc impedance = Eigen::Map<const RowMajorMatrixXc>(z_line, n, n);
  return impedance.inverse();
}
}  // namespace

SimplifiedLine::SimplifiedLine(int n, const Complex* z_line)
    : Line(n, n), y_line(admittance_from_impedance(n, z_line)) {}

void SimplifiedLine::update_line_parameters(const Complex* z_line) {
  y_line.set_value(admittance_from_impedance(static_cast<int>(side1_ports.size()), z_line));
}

void SimplifiedLine::backward() {
  for (Port* port : side2_ports) port->current = -port->connection->sum_currents_except(*port);
  for (std::size_t i = 0; i < side1_ports.size(); ++i) side1_ports[i]->current = -side2_ports[i]->current;
}

double SimplifiedLine::forward() {
  Eigen::VectorXc side1_currents(static_cast<Eigen::Index>(side1_ports.size()));
  for (std::size_t i = 0; i < side1_ports.size(); ++i) side1_currents(static_cast<Eigen::Index>(i)) = side1_ports[i]->current;
  // Z is not kept: an update of Y through the solver's vector must be seen here.
  const Eigen::VectorXc new_potentials =
      side_potentials<Complex>(1) - y_line.get_value().inverse() * side1_currents;
  const Eigen::VectorXc old_potentials = side_potentials<Complex>(2);

  double error = 0.0;
  for (std::size_t i = 0; i < side2_ports.size(); ++i) {
    const auto k = static_cast<Eigen::Index>(i);
    const double change = std::abs(new_potentials(k) - old_potentials(k));
    // A change that is not a number must not read as convergence.
    error = std::max(error, std::isnan(change) ? std::numeric_limits<double>::infinity() : change);
    side2_ports[i]->connection->set_potential(new_potentials(k));
  }
  return error;
}
