// The solver base and the backward-forward solver.
#pragma once

#include <utility>

#include "solvers/electrical_network.hpp"

// Base of every solver: the network it works on, the vector of unknowns that the linked nodes
// and elements read and write through raw pointers, a copy of its start values, and the vector
// of dynamic parameters that the elements' updates write into.
//
// `variables` and `dynamic_variables` are sized once, during construction, before the network
// links to them, and never reallocated afterwards: every operation writes into their existing
// storage. Destroying a solver (or failing to construct one) unlinks every node and record of
// the network that still points into it; they keep their last values, so results and updates
// keep working once the solver is gone.
class AbstractSolver {
 public:
  explicit AbstractSolver(ElectricalNetwork* network) : network(network) {}
  AbstractSolver(const AbstractSolver&) = delete;
  AbstractSolver& operator=(const AbstractSolver&) = delete;
  // The network, its elements and their flexible parameters must still be alive.
  virtual ~AbstractSolver() { network->unlink_from(SolverVectors(variables, dynamic_variables)); }

  // Solves from the current contents of `variables` (warm start) and leaves the result there.
  // Returns (iterations, final error); reaching max_iterations is no error.
  virtual std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) = 0;

  // Brings `variables` back to the start values declared at construction.
  void reset_inputs();
  // Copy independents_size() doubles out of / into `variables`. The buffer is not checked: the
  // caller passes at least independents_size() doubles.
  void get_variables(double* out) const;
  void set_variables(const double* in);
  // The number of unknowns (and, for the Newton solvers, of residuals).
  int independents_size() const { return static_cast<int>(variables.size()); }

  ElectricalNetwork* network;
  VectorXd variables;
  VectorXd initial_variables;
  VectorXd dynamic_variables;
};

// Derivative-free solver: repeats a backward sweep (element port currents, last element first)
// and a forward sweep (node potentials, in element order) at least once, and while the largest
// change of the forward sweep is above the tolerance and the iteration limit is not reached.
// Records no tape and installs no automatic-differentiation error handler.
class BackwardForward : public AbstractSolver {
 public:
  // Declares the network's variables and links every record to this solver, as constants.
  explicit BackwardForward(ElectricalNetwork* network);

  // Throws what the elements' sweep steps throw ("2 ..." for an element without a backward
  // step); the values written until then stay. A sweep that leaves a non-finite node potential
  // or port current gives the error NaN, and the sweeps go on while it does (as the Newton
  // solvers do on a NaN residual), so a NaN error tells that the result is unusable.
  std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) override;
};
