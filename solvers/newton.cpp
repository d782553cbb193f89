#include "solvers/newton.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <stdexcept>

#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <unsupported/Eigen/SparseExtra>

#include "solvers/logging.hpp"

namespace {
// The largest absolute residual, NaN if a residual is NaN, 0 for no residual.
double largest_residual(const VectorXd& y) {
  double largest = 0.0;
  for (const double value : y) {
    if (std::isnan(value)) return std::numeric_limits<double>::quiet_NaN();
    largest = std::max(largest, std::abs(value));
  }
  return largest;
}

bool is_finite(double value) { return std::abs(value) <= std::numeric_limits<double>::max(); }

bool all_stored_values_finite(const SparseMatrixXd& jacobian) {
  const double* values = jacobian.valuePtr();
  return std::all_of(values, values + jacobian.nonZeros(), is_finite);
}

double half_squared_norm(const VectorXd& y) { return 0.5 * y.squaredNorm(); }

std::runtime_error singular_matrix(int iterations) {
  return std::runtime_error(fmt::format("1 Decomposition failed, singular matrix at iteration {}. ", iterations));
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Whether the tape's allocator keeps released memory for reuse. Without it, every switch of the
// tape between one and many forward directions gives hundreds of MiB back to the system and
// takes them again, page by page. The library offers no way to read the setting, so it is
// mirrored here; only the scopes below change it.
bool holding_tape_memory = false;

class TapeMemoryHold {
 public:
  // Changes the setting only if it differs from the mirrored one, and then back on destruction.
  explicit TapeMemoryHold(bool hold) : changed(hold != holding_tape_memory) {
    if (changed) set(hold);
  }
  TapeMemoryHold(const TapeMemoryHold&) = delete;
  TapeMemoryHold& operator=(const TapeMemoryHold&) = delete;
  ~TapeMemoryHold() {
    if (changed) set(!holding_tape_memory);
  }

 private:
  static void set(bool hold) {
    holding_tape_memory = hold;
    CppAD::thread_alloc::hold_memory(hold);
  }
  bool changed;
};
}  // namespace

// ---------------------------------------------------------------------------------------------
// Recording

AbstractNewton::AbstractNewton(ElectricalNetwork* network, bool optimize_tape) : AbstractSolver(network) {
  const CppAD::ErrorHandler handler(custom_handler);
  network->declare_variables(variables, dynamic_variables);
  VectorXAD x = variables.cast<AD>();
  VectorXAD p = dynamic_variables.cast<AD>();
  // The library cannot record a function of no variable: without unknowns the tape stays empty
  // (and is never evaluated), but the records are still linked to this solver.
  if (has_unknowns()) CppAD::Independent(x, p);
  try {
    network->link_variables(x, variables, p, dynamic_variables);
    if (has_unknowns()) {
      VectorXAD y = VectorXAD::Zero(variables.size());
      network->add_equations(y);
      CppAD::ADFun<double> recorded(x, y);
      tape.swap(recorded);
      kirchhoff_sums = PlainKirchhoffSums(*network);
    }
    spdlog::debug("----- Tape evaluation -----");
    spdlog::debug("Number of tape operators: {0:d}", static_cast<std::uint64_t>(tape.size_op()));
    if (optimize_tape) {
      if (has_unknowns()) tape.optimize("");
      spdlog::debug("----- Tape optimization -----");
      spdlog::debug("Number of tape operators: {0:d}", static_cast<std::uint64_t>(tape.size_op()));
    }
    initial_variables = variables;
  } catch (...) {
    // The next recording in the process must not meet this one still open (aborting is a no-op
    // once the function is built). The base destructor then unlinks the records.
    AD::abort_recording();
    throw;
  }
}

AbstractNewton::~AbstractNewton() {
  CppAD::thread_alloc::free_available(CppAD::thread_alloc::thread_num());
}

VectorXd AbstractNewton::forward() { return has_unknowns() ? tape.Forward(0, variables) : VectorXd(); }

void AbstractNewton::get_residuals(double* out) {
  const CppAD::ErrorHandler handler(custom_handler);
  const VectorXd y = forward();
  std::copy(y.begin(), y.end(), out);
}

// ---------------------------------------------------------------------------------------------
// Jacobian

SparseMatrixXd AbstractNewton::compute_jacobian() { return evaluate_jacobian(); }

const SparseMatrixXd& AbstractNewton::evaluate_jacobian() {
  const int n = independents_size();
  if (!has_unknowns()) {
    jacobian.resize(0, 0);
    return jacobian;
  }
  // The pattern, the colouring and their temporaries are computed once: memory they release is
  // not worth keeping.
  const TapeMemoryHold hold(holding_tape_memory && pattern_analysed);
  if (!pattern_analysed) {
    const Clock::time_point start = Clock::now();
    CppAD::sparse_rc<std::vector<int>> identity(n, n, n);
    for (int k = 0; k < n; ++k) identity.set(k, k, k);
    tape.for_jac_sparsity(identity, false, false, false, jacobian_pattern);
    jacobian_subset = CppAD::sparse_rcv<std::vector<int>, VectorXd>(jacobian_pattern);
    build_jacobian_structure();
    profile.pattern += seconds_since(start);
    spdlog::debug("----- Sparse pattern initialisation -----");
    spdlog::debug("n: {0:d} nnz: {1:d}", static_cast<std::int64_t>(n), static_cast<std::uint64_t>(jacobian_subset.nnz()));
  }
  Clock::time_point start = Clock::now();
  const bool first = jacobian_work.color.size() == 0;
  profile.colours = static_cast<int>(
      tape.sparse_jac_for(30, variables, jacobian_subset, jacobian_pattern, "cppad", jacobian_work));
  if (first) {
    profile.first_jacobian += seconds_since(start);
  } else {
    profile.jacobian += seconds_since(start);
    ++profile.jacobians;
  }
  start = Clock::now();
  fill_jacobian();
  profile.assembly += seconds_since(start);
  return jacobian;
}

void AbstractNewton::build_jacobian_structure() {
  const std::vector<int>& rows = jacobian_subset.row();
  const std::vector<int>& cols = jacobian_subset.col();
  const std::size_t nnz = jacobian_subset.nnz();
  // Each pair carries its own index as value, exact in a double, to find where it lands.
  std::vector<Eigen::Triplet<double, int>> triplets;
  triplets.reserve(nnz);
  for (std::size_t k = 0; k < nnz; ++k) triplets.emplace_back(rows[k], cols[k], static_cast<double>(k));
  const int n = independents_size();
  jacobian = SparseMatrixXd(n, n);
  jacobian.setFromTriplets(triplets.begin(), triplets.end());
  value_positions.clear();
  if (static_cast<std::size_t>(jacobian.nonZeros()) != nnz) return;
  value_positions.resize(nnz);
  const double* indices = jacobian.valuePtr();
  for (int position = 0; position < jacobian.nonZeros(); ++position)
    value_positions[static_cast<std::size_t>(indices[position])] = position;
}

void AbstractNewton::fill_jacobian() {
  const VectorXd& values = jacobian_subset.val();
  const std::size_t nnz = jacobian_subset.nnz();
  if (value_positions.size() == nnz) {
    double* target = jacobian.valuePtr();
    for (std::size_t k = 0; k < nnz; ++k) target[value_positions[k]] = values[static_cast<Eigen::Index>(k)];
    return;
  }
  const std::vector<int>& rows = jacobian_subset.row();
  const std::vector<int>& cols = jacobian_subset.col();
  std::vector<Eigen::Triplet<double, int>> triplets;
  triplets.reserve(nnz);
  for (std::size_t k = 0; k < nnz; ++k) triplets.emplace_back(rows[k], cols[k], values[static_cast<Eigen::Index>(k)]);
  jacobian.setFromTriplets(triplets.begin(), triplets.end());
}

void AbstractNewton::get_jacobian(double* out) {
  const CppAD::ErrorHandler handler(custom_handler);
  if (!has_unknowns()) return;
  const VectorXd jacobian = tape.Jacobian(variables);
  std::copy(jacobian.begin(), jacobian.end(), out);
}

// ---------------------------------------------------------------------------------------------
// Iteration

std::pair<int, double> AbstractNewton::solve_load_flow(int max_iterations, double tolerance) {
  const CppAD::ErrorHandler handler(custom_handler);
  const TapeMemoryHold hold(true);
  profile = NewtonProfile();
  if (has_unknowns()) tape.new_dynamic(dynamic_variables);
  VectorXd y = forward();
  int iterations = 0;
  // A NaN residual keeps the loop going; a NaN tolerance is never exceeded.
  for (double error = largest_residual(y); (std::isnan(error) || error > tolerance) && iterations < max_iterations;
       error = largest_residual(y)) {
    // Nothing to solve without unknowns, and Eigen's sparse LU divides by the size of the system.
    if (!has_unknowns()) {
      ++iterations;
      continue;
    }
    evaluate_jacobian();
    if (!all_stored_values_finite(jacobian))
      throw std::runtime_error(fmt::format("1 NaN value encountered at iteration {}. ", iterations));
    // Fewer stored entries than unknowns make a singular matrix, on which the factorisation
    // (sizing its work space from the entries per column) would never end.
    if (jacobian.nonZeros() < jacobian.rows()) throw singular_matrix(iterations);
    Clock::time_point start = Clock::now();
    if (!pattern_analysed) {
      sparse_lu.analyzePattern(jacobian);
      pattern_analysed = true;
      profile.analysis += seconds_since(start);
      start = Clock::now();
    }
    sparse_lu.factorize(jacobian);
    if (sparse_lu.info() != Eigen::Success) throw singular_matrix(iterations);
    profile.factorize += seconds_since(start);
    start = Clock::now();
    correction = sparse_lu.solve(y);
    profile.solve += seconds_since(start);
    start = Clock::now();
    step(correction, y);
    profile.step += seconds_since(start);
    ++iterations;
  }
  network->eval_currents();
  // Nodes on a reference have no residual, and the tape folds 0·x to 0 where plain arithmetic
  // gives 0·inf = NaN: converged residuals can still leave infinite or NaN potentials or
  // currents, which must not read as a solution.
  if (!network->values_finite()) return {iterations, std::numeric_limits<double>::quiet_NaN()};
  const double error = largest_residual(y);
  // Residuals within the tolerance are a solution only if the plain currents agree with them,
  // when they are this solver's currents.
  if (error <= tolerance && kirchhoff_sums.nodes_read_from(SolverVectors(variables, dynamic_variables))) {
    const double plain_error = kirchhoff_sums.largest();
    if (plain_error > tolerance) return {iterations, plain_error};
  }
  return {iterations, error};
}

void Newton::step(const VectorXd& dx, VectorXd& y) {
  variables -= dx;
  y = forward();
}

NewtonGoldstein::NewtonGoldstein(ElectricalNetwork* network, bool optimize_tape, double m1, double m2)
    : AbstractNewton(network, optimize_tape), m1(m1), m2(m2) {}

void NewtonGoldstein::update_params(double m1, double m2) {
  this->m1 = m1;
  this->m2 = m2;
}

void NewtonGoldstein::step(const VectorXd& dx, VectorXd& y) {
  const double squared_norm = y.squaredNorm();
  const double f0 = 0.5 * squared_norm;
  const double slope = -squared_norm;
  const VectorXd x0 = variables;
  double alpha = 1.0;
  double too_short = 0.0;
  double too_long = 0.0;
  for (int trial = 0; trial < 10; ++trial) {
    variables.noalias() = x0 - alpha * dx;
    y = forward();
    const double ratio = (half_squared_norm(y) - f0) / alpha;
    if (m2 * slope <= ratio && ratio <= m1 * slope) return;
    // A NaN ratio counts as too short.
    if (ratio > m1 * slope)
      too_long = alpha;
    else
      too_short = alpha;
    alpha = too_long != 0.0 ? 0.5 * (too_short + too_long) : 2.0 * alpha;
  }
}

// ---------------------------------------------------------------------------------------------
// Diagnostics

std::pair<std::vector<int>, std::vector<int>> AbstractNewton::analyse_jacobian() {
  const CppAD::ErrorHandler handler(custom_handler);
  evaluate_jacobian();
  std::vector<long> empty_columns;
  std::set<long> non_finite_rows;
  for (int column = 0; column < jacobian.outerSize(); ++column) {
    bool empty = true;
    for (SparseMatrixXd::InnerIterator entry(jacobian, column); entry; ++entry) {
      if (entry.value() != 0.0) empty = false;
      if (!is_finite(entry.value())) non_finite_rows.insert(entry.row());
    }
    if (empty) empty_columns.push_back(column);
  }
  return {network->detect_elements(empty_columns),
          network->detect_elements(std::vector<long>(non_finite_rows.begin(), non_finite_rows.end()))};
}

void AbstractNewton::save_matrix(const std::string& prefix) {
  // The file system would cut the path at the NUL, and both files would land on one name.
  if (prefix.find('\0') != std::string::npos) throw std::invalid_argument("embedded null character");
  // The library's default handler would end the process (on a NaN residual in a checked build,
  // for instance); an export must not take the caller down with it.
  const CppAD::ErrorHandler handler(custom_handler);
  const VectorXd residuals = forward();
  Eigen::saveMarket(evaluate_jacobian(), prefix + ".mtx");
  Eigen::saveMarketVector(residuals, prefix + "_b.mtx");
}
