#include "solvers/solver.hpp"

#include <algorithm>

namespace {
VectorXd to_eigen(const std::vector<double>& values) {
  return Eigen::Map<const VectorXd>(values.data(), static_cast<Eigen::Index>(values.size()));
}
}  // namespace

void AbstractSolver::declare_variables() {
  const auto [x0, p0] = network->declare_variables();
  variables = to_eigen(x0);
  dynamic_variables = to_eigen(p0);
}

void AbstractSolver::reset_inputs() { std::copy(initial_variables.begin(), initial_variables.end(), variables.begin()); }

void AbstractSolver::get_variables(double* out) const { std::copy(variables.begin(), variables.end(), out); }

void AbstractSolver::set_variables(const double* in) { std::copy_n(in, variables.size(), variables.begin()); }

BackwardForward::BackwardForward(ElectricalNetwork* network) : AbstractSolver(network) {
  declare_variables();
  try {
    network->link_variables(variables.cast<AD>(), variables, dynamic_variables.cast<AD>(), dynamic_variables);
  } catch (...) {
    network->link_to_stored_values();
    throw;
  }
  initial_variables = variables;
}

std::pair<int, double> BackwardForward::solve_load_flow(int max_iterations, double tolerance) {
  int iterations = 0;
  double error;
  do {
    network->backward();
    ++iterations;
    error = network->forward();
  } while (error > tolerance && iterations < max_iterations);
  return {iterations, error};
}
