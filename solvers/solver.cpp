#include "solvers/solver.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

void AbstractSolver::reset_inputs() { std::copy(initial_variables.begin(), initial_variables.end(), variables.begin()); }

void AbstractSolver::get_variables(double* out) const { std::copy(variables.begin(), variables.end(), out); }

void AbstractSolver::set_variables(const double* in) { std::copy_n(in, variables.size(), variables.begin()); }

BackwardForward::BackwardForward(ElectricalNetwork* network) : AbstractSolver(network) {
  network->declare_variables(variables, dynamic_variables);
  network->link_constants(variables, dynamic_variables);
  initial_variables = variables;
}

std::pair<int, double> BackwardForward::solve_load_flow(int max_iterations, double tolerance) {
  int iterations = 0;
  double error;
  do {
    network->backward();
    ++iterations;
    error = network->forward();
    // The elements report only the changes they make: a sweep that changes nothing can still leave
    // infinite or NaN values, and must not read as converged.
    if (!network->values_finite()) error = std::numeric_limits<double>::quiet_NaN();
  } while ((std::isnan(error) || error > tolerance) && iterations < max_iterations);
  return {iterations, error};
}
