// The Newton solvers: the residual equations recorded once on a CppAD tape, with the element
// parameters as dynamic parameters, solved with a sparse Jacobian and a sparse LU decomposition.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/SparseCore>
#include <Eigen/SparseLU>
#include <cppad/cppad.hpp>

#include "solvers/solver.hpp"

using SparseMatrixXd = Eigen::SparseMatrix<double, Eigen::ColMajor, int>;

// Where the last solve_load_flow spent its time, in seconds, for benchmarks. The first Jacobian
// of a solver's life (its pattern and colouring) is counted apart from the per-iteration sums.
struct NewtonProfile {
  double pattern = 0.0;         // sparsity pattern of the tape
  double first_jacobian = 0.0;  // colouring and the first values
  double analysis = 0.0;        // symbolic LU analysis
  double jacobian = 0.0;        // values of the later Jacobians
  double assembly = 0.0;        // values into the sparse matrix
  double factorize = 0.0;
  double solve = 0.0;
  double step = 0.0;
  int jacobians = 0;            // Jacobians counted in `jacobian`
  int colours = 0;              // forward directions of one Jacobian
};

// Base of the Newton solvers. The tape F(x; p) has the unknowns x = `variables` as independent
// variables and p = `dynamic_variables` as dynamic parameters. Parameter updates go into
// `dynamic_variables` only: every query (residuals, Jacobians, analysis, export) uses the
// values the tape holds, which are those declared at construction until the first
// solve_load_flow loads the current ones.
//
// Automatic-differentiation errors raised during construction, solve_load_flow, get_residuals,
// get_jacobian, analyse_jacobian and save_matrix are logged by custom_handler and the
// computation goes on; forward and compute_jacobian leave the handler to their caller.
class AbstractNewton : public AbstractSolver {
 public:
  // Declares and links the network's variables and records its residuals; with optimize_tape
  // the tape is optimised once. Exceptions from the elements leave the constructor after the
  // recording has been aborted and the records unlinked from this solver.
  AbstractNewton(ElectricalNetwork* network, bool optimize_tape);
  // Gives back the tape memory that solves keep for reuse (see solve_load_flow).
  ~AbstractNewton() override;

  // Loads `dynamic_variables` into the tape, then Newton steps from the current `variables`
  // while the largest absolute residual is above the tolerance (or a residual is NaN) and
  // fewer than max_iterations steps have been taken; then refreshes every port current.
  // Returns (steps, largest absolute residual), the error being NaN if a residual is NaN or if
  // a node potential or a refreshed port current is not finite, and the largest plain
  // Kirchhoff sum (see PlainKirchhoffSums) if that is above the tolerance while the residuals
  // are within it and the nodes read this solver's unknowns.
  // Throws std::runtime_error "1 ..." on a non-finite Jacobian entry or a singular Jacobian.
  std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) override;

  // On entry `variables` holds x, y holds F(x) and dx solves J dx = y; on return `variables`
  // holds the new point and y the residuals there.
  virtual void step(const VectorXd& dx, VectorXd& y) = 0;

  // The residuals at the current `variables`. Installs no error handler of its own.
  VectorXd forward();
  // Writes the independents_size() residuals at the current `variables`; `out` is not checked.
  void get_residuals(double* out);

  // The sparse Jacobian at the current `variables`: one stored entry per pair of the tape's
  // sparsity pattern, explicit zeros included. Installs no error handler of its own. The
  // pattern is recomputed until the first solve has analysed it.
  SparseMatrixXd compute_jacobian();
  // The same Jacobian, written into a matrix the solver keeps: its structure is built when the
  // pattern is, and later calls only overwrite its values. Valid until the next call.
  const SparseMatrixXd& evaluate_jacobian();
  // Writes the dense Jacobian, row-major (entry i·n + j is dF_i/dx_j); `out` holds n·n doubles
  // and is not checked.
  void get_jacobian(double* out);

  // Diagnoses an unusable Jacobian at the current `variables`: the positions (in the network's
  // element list) of the owners of empty columns (no stored value other than ±0: an unknown no
  // equation depends on) first, and of rows holding a NaN or infinite value second, each list
  // ascending and naming an element once.
  std::pair<std::vector<int>, std::vector<int>> analyse_jacobian();
  // Writes the Jacobian to prefix + ".mtx" and the residuals to prefix + "_b.mtx", both as
  // MatrixMarket text. A file that cannot be written is skipped and nothing is reported. A
  // prefix holding a NUL character throws std::invalid_argument before anything is written.
  void save_matrix(const std::string& prefix);

  CppAD::ADFun<double> tape;
  CppAD::sparse_rc<std::vector<int>> jacobian_pattern;
  CppAD::sparse_rcv<std::vector<int>, VectorXd> jacobian_subset;
  CppAD::sparse_jac_work jacobian_work;
  Eigen::SparseLU<SparseMatrixXd, Eigen::COLAMDOrdering<int>> sparse_lu;
  bool pattern_analysed = false;
  NewtonProfile profile;

 private:
  // Builds `jacobian` with one stored entry per pattern pair and records where each pair's
  // value goes.
  void build_jacobian_structure();
  // Writes the values of `jacobian_subset` into `jacobian`, entry for entry.
  void fill_jacobian();

  // A network without unknowns records no tape; every query then returns empty results.
  bool has_unknowns() const { return variables.size() > 0; }

  PlainKirchhoffSums kirchhoff_sums;
  SparseMatrixXd jacobian;
  // Position in jacobian.valuePtr() of pattern pair k; empty when the pattern holds repeated
  // pairs, whose values Eigen sums, and the matrix is then rebuilt from triplets every time.
  std::vector<int> value_positions;
  VectorXd correction;
};

// Takes the full Newton step.
class Newton : public AbstractNewton {
 public:
  using AbstractNewton::AbstractNewton;

  void step(const VectorXd& dx, VectorXd& y) override;
};

// Shortens or lengthens the Newton step by a Goldstein line search on f = ½‖F‖²: a length
// alpha is accepted when m2·slope ≤ (f(alpha) − f(0))/alpha ≤ m1·slope, slope = −‖F‖². At most
// ten lengths are tried; the last one is kept if none is accepted. m1 and m2 are not checked.
class NewtonGoldstein : public AbstractNewton {
 public:
  NewtonGoldstein(ElectricalNetwork* network, bool optimize_tape, double m1, double m2);

  void step(const VectorXd& dx, VectorXd& y) override;
  // The new factors apply from the next step.
  void update_params(double m1, double m2);

  double m1;
  double m2;
};
