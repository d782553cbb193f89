#include <gtest/gtest.h>

#include "solvers/newton.hpp"
#include "tests/cpp/log_capture.hpp"
#include "tests/cpp/test_networks.hpp"

namespace {
Eigen::MatrixXd dense_jacobian(AbstractNewton& solver) {
  const int n = solver.independents_size();
  Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> jacobian(n, n);
  solver.get_jacobian(jacobian.data());
  return jacobian;
}

// Central differences of the residuals, column by column.
Eigen::MatrixXd finite_difference_jacobian(AbstractNewton& solver) {
  const int n = solver.independents_size();
  const VectorXd x = solver.variables;
  Eigen::MatrixXd jacobian(n, n);
  for (int j = 0; j < n; ++j) {
    const double h = 1e-6 * std::max(1.0, std::abs(x[j]));
    VectorXd shifted = x;
    shifted[j] = x[j] + h;
    solver.set_variables(shifted.data());
    const VectorXd above = solver.forward();
    shifted[j] = x[j] - h;
    solver.set_variables(shifted.data());
    jacobian.col(j) = (above - solver.forward()) / (2.0 * h);
  }
  solver.set_variables(x.data());
  return jacobian;
}

int count_lines(const LogCapture& log, const std::string& line) {
  const auto lines = log.lines();
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

TEST(NewtonJacobian, SparseDenseAndFiniteDifferencesAgree) {
  Feeder feeder;
  Newton solver(&feeder.network, true);
  const std::vector<double> moved{229.0, 3.0, 221.0, -4.0, -9.0, 4.0};
  solver.set_variables(moved.data());

  const Eigen::MatrixXd sparse = Eigen::MatrixXd(solver.compute_jacobian());
  const Eigen::MatrixXd dense = dense_jacobian(solver);
  EXPECT_LT((sparse - dense).cwiseAbs().maxCoeff(), 1e-12 * dense.cwiseAbs().maxCoeff());
  EXPECT_LT((finite_difference_jacobian(solver) - dense).cwiseAbs().maxCoeff(), 1e-6 * dense.cwiseAbs().maxCoeff());
  // The line's block at node A is the admittance as a real 2×2 matrix.
  const Complex y = feeder.admittance;
  EXPECT_NEAR(dense(0, 0), y.real(), 1e-12);
  EXPECT_NEAR(dense(0, 1), -y.imag(), 1e-12);
  EXPECT_NEAR(dense(1, 0), y.imag(), 1e-12);
}

TEST(NewtonJacobian, KeepsPatternEntriesWhoseDerivativeIsZero) {
  // d(V²)/dV vanishes at V = 0, but both parts of V² depend on both parts of V.
  LawNode<SquareLaw> node({0.0, 0.0}, {1.0, 0.0});
  Newton solver(&node.network, false);
  const SparseMatrixXd jacobian = solver.compute_jacobian();
  EXPECT_EQ(jacobian.nonZeros(), 4);
  EXPECT_EQ(Eigen::MatrixXd(jacobian), Eigen::MatrixXd::Zero(2, 2));
}

TEST(NewtonJacobian, EquationsAndUnknownsWithoutDependenceStayEmpty) {
  // I = sqrt(Re V) − p: the imaginary row is constant and nothing depends on Im V.
  LawNode<SqrtLaw> node({4.0, 1.0}, {1.0, 0.5});
  Newton solver(&node.network, false);
  const SparseMatrixXd jacobian = solver.compute_jacobian();
  ASSERT_EQ(jacobian.nonZeros(), 1);
  EXPECT_EQ(jacobian.coeff(0, 0), 0.25);
  Eigen::MatrixXd expected = Eigen::MatrixXd::Zero(2, 2);
  expected(0, 0) = 0.25;
  EXPECT_EQ(dense_jacobian(solver), expected);
}

TEST(NewtonJacobian, PatternIsRecomputedUntilTheFirstAnalysis) {
  Feeder feeder;
  Newton solver(&feeder.network, false);
  const LogCapture log;
  const std::string header = "debug ----- Sparse pattern initialisation -----";

  const SparseMatrixXd first = solver.compute_jacobian();
  solver.compute_jacobian();
  EXPECT_EQ(count_lines(log, header), 2);
  EXPECT_EQ(count_lines(log, "debug n: 6 nnz: " + std::to_string(first.nonZeros())), 2);

  // Already within the tolerance: no Jacobian, no analysis.
  solver.solve_load_flow(10, 1e9);
  EXPECT_FALSE(solver.pattern_analysed);
  EXPECT_EQ(count_lines(log, header), 2);

  solver.solve_load_flow(10, 1e-9);
  EXPECT_TRUE(solver.pattern_analysed);
  EXPECT_EQ(count_lines(log, header), 3);

  solver.reset_inputs();
  solver.solve_load_flow(10, 1e-9);
  const SparseMatrixXd later = solver.compute_jacobian();
  EXPECT_EQ(count_lines(log, header), 3);
  EXPECT_EQ(later.nonZeros(), first.nonZeros());
}

TEST(NewtonJacobian, ParameterUpdatesWaitForTheNextSolve) {
  Feeder feeder;
  Newton solver(&feeder.network, false);
  const Eigen::MatrixXd before = dense_jacobian(solver);
  const Complex updated{3.0, -2.0};
  feeder.line.admittance.set_value(updated);
  EXPECT_EQ(dense_jacobian(solver), before);
  EXPECT_EQ(Eigen::MatrixXd(solver.compute_jacobian()), before);

  solver.solve_load_flow(0, 1e-9);
  EXPECT_DOUBLE_EQ(dense_jacobian(solver)(0, 0), updated.real());
  EXPECT_DOUBLE_EQ(solver.compute_jacobian().coeff(1, 0), updated.imag());
}

TEST(NewtonJacobian, NetworkWithoutUnknownsHasAnEmptyJacobian) {
  ElectricalNetwork empty({});
  Newton solver(&empty, true);
  EXPECT_EQ(solver.compute_jacobian().size(), 0);
  double untouched = 1.0;
  solver.get_jacobian(&untouched);
  solver.get_residuals(&untouched);
  EXPECT_EQ(untouched, 1.0);
}
}  // namespace
