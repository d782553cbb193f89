// Test scaffolding for the element core: a stand-in for the network (declare, link and record
// elements in the network's orders), a dense Newton solve on its tape, and small helpers to
// record and inspect tapes.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/element.hpp"
#include "test_elements.hpp"

// Records fill(x, y) on a fresh tape with n independent variables (at 0) and m dependent rows.
// NaN results are allowed: some tests evaluate exactly those.
template <class Fill>
void record_rows(CppAD::ADFun<double>& f, int n, int m, Fill&& fill) {
  VectorXAD x = VectorXAD::Zero(n);
  CppAD::Independent(x);
  VectorXAD y = VectorXAD::Zero(m);
  fill(x, y);
  f.Dependent(x, y);
  f.check_for_nan(false);
}

// How many operations of the given kind the tape holds.
inline int count_operations(CppAD::ADFun<double>& f, CppAD::graph::graph_op_enum op) {
  CppAD::cpp_graph graph;
  f.to_graph(graph);
  int count = 0;
  for (std::size_t i = 0; i < graph.operator_vec_size(); ++i)
    if (graph.operator_vec_get(i) == op) ++count;
  return count;
}

inline bool is_constant_zero(const AD& a) { return CppAD::Constant(a) && CppAD::Value(a) == 0.0; }
inline bool is_constant_zero(const ComplexAD& z) { return is_constant_zero(z.real()) && is_constant_zero(z.imag()); }

// Does for a list of elements what the network does: the distinct nodes of their ports in
// first-seen order, start values (nodes, then elements), links into xd and pd, and a tape whose
// rows are the residuals (Kirchhoff rows of the non-reference nodes, then the elements' internal
// rows) followed by the recorded current of every port (element by element, real part first).
// The records point into xd and pd, so the object is neither copied nor moved.
class TapedNetwork {
 public:
  struct Evaluation {
    std::vector<double> residuals;
    std::vector<std::vector<Complex>> currents;  // [element][port]
  };

  explicit TapedNetwork(std::vector<Element*> list) : elements(std::move(list)) {
    std::set<const Connection*> seen;
    for (Element* element : elements)
      for (Port& port : element->ports)
        if (seen.insert(port.connection.get()).second) nodes.push_back(port.connection);

    for (const auto& node : nodes) node->declare_independent_variables(x0);
    for (Element* element : elements) {
      element->declare_independent_variables(x0);
      element->declare_dynamic_variables(p0);
    }
    xd = Eigen::Map<const VectorXd>(x0.data(), static_cast<Eigen::Index>(x0.size()));
    pd = Eigen::Map<const VectorXd>(p0.data(), static_cast<Eigen::Index>(p0.size()));
    VectorXAD x = xd.cast<AD>();
    VectorXAD p = pd.cast<AD>();
    CppAD::Independent(x, 0, false, p);

    int ix = 0, ip = 0;
    for (const auto& node : nodes) node->link_independent_variables(x, xd, ix);
    for (Element* element : elements) {
      element->link_independent_variables(x, xd, ix);
      element->link_dynamic_variables(p, pd, ip);
    }
    EXPECT_EQ(ix, unknowns());
    EXPECT_EQ(ip, static_cast<int>(p0.size()));

    int port_count = 0;
    for (Element* element : elements) port_count += static_cast<int>(element->ports.size());
    VectorXAD y = VectorXAD::Zero(unknowns() + 2 * port_count);
    for (Element* element : elements) element->eval_currents(true);
    int row = 0;
    for (const auto& node : nodes) node->add_kirchhoff_equation(y, row);
    for (Element* element : elements) element->add_internal_equations(y, row);
    EXPECT_EQ(row, unknowns()) << "every element writes as many rows as it declares unknowns";
    row = unknowns();
    for (Element* element : elements)
      for (const Port& port : element->ports) Element::add_dependent_variable(y, row, port.current_ad);
    tape.Dependent(x, y);
    tape.check_for_nan(false);
  }
  TapedNetwork(const TapedNetwork&) = delete;
  TapedNetwork& operator=(const TapedNetwork&) = delete;

  int unknowns() const { return static_cast<int>(x0.size()); }

  // The tape at the solver's current unknowns xd and parameters pd.
  Evaluation evaluate() {
    load_parameters();
    const std::vector<double> y = tape.Forward(0, std::vector<double>(xd.data(), xd.data() + xd.size()));
    Evaluation result;
    result.residuals.assign(y.begin(), y.begin() + unknowns());
    std::size_t k = static_cast<std::size_t>(unknowns());
    for (Element* element : elements) {
      auto& currents = result.currents.emplace_back();
      for (std::size_t i = 0; i < element->ports.size(); ++i, k += 2) currents.emplace_back(y[k], y[k + 1]);
    }
    return result;
  }

  // Newton steps on the residual rows (dense LU of the tape's Jacobian), then the plain currents
  // of every element, as a solve does. Returns the largest residual left.
  double solve(int max_iterations = 20, double tolerance = 1e-10) {
    const int n = unknowns();
    double error = largest(evaluate().residuals);
    for (int iteration = 0; iteration < max_iterations && error > tolerance; ++iteration) {
      const std::vector<double> at(xd.data(), xd.data() + n);
      const std::vector<double> jacobian = tape.Jacobian(at);  // row-major, residuals first
      Eigen::MatrixXd j(n, n);
      for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) j(r, c) = jacobian[static_cast<std::size_t>(r * n + c)];
      const std::vector<double> residuals = evaluate().residuals;
      const VectorXd f = Eigen::Map<const VectorXd>(residuals.data(), n);
      xd -= j.fullPivLu().solve(f);
      error = largest(evaluate().residuals);
    }
    for (Element* element : elements) element->eval_currents(false);
    return error;
  }

  std::vector<Element*> elements;
  std::vector<std::shared_ptr<Connection>> nodes;
  std::vector<double> x0, p0;
  VectorXd xd, pd;
  CppAD::ADFun<double> tape;

 private:
  void load_parameters() {
    if (pd.size() > 0) tape.new_dynamic(std::vector<double>(pd.data(), pd.data() + pd.size()));
  }
  static double largest(const std::vector<double>& v) {
    double m = 0.0;
    for (double e : v) m = std::isnan(e) ? std::numeric_limits<double>::infinity() : std::max(m, std::abs(e));
    return m;
  }
};

// Runs make() and expects the standard library's refusal of a negative reservation.
template <class Make>
void expect_vector_reserve_error(Make&& make) {
  try {
    make();
    ADD_FAILURE() << "expected std::length_error";
  } catch (const std::length_error& error) {
    EXPECT_STREQ(error.what(), "vector::reserve");
  }
}
