// Line sections: two-sided elements whose conductor i runs from side-1 port i to side-2 port i.
#pragma once

#include <tuple>

#include "core/branch.hpp"

// Base of the line kinds: a two-side element with the current law dispatch of the core.
template <class T>
class Line : public ElementImpl<T, Branch> {
 public:
  using ElementImpl<T, Branch>::ElementImpl;
};

// A line section without shunt admittance: n conductors with the series impedance matrix Z
// between n side-1 and n side-2 ports. What enters at side 1 leaves at side 2.
//
// The series admittance Y = Z⁻¹ is a dynamic parameter of the tape, so new line data needs no
// new recording. A singular Z is not detected: it gives non-finite admittances.
class SimplifiedLine : public Line<SimplifiedLine> {
 public:
  using Line::eval_currents;

  // Reads n·n impedances, row-major: Z(i, j) = z_line[i·n + j].
  SimplifiedLine(int n, const Complex* z_line);

  // Reads n·n impedances as the constructor does, n being the element's own size. When linked,
  // the new admittances go to the solver's parameter vector too.
  void update_line_parameters(const Complex* z_line);

  void declare_dynamic_variables(std::vector<double>& p0) const override { y_line.declare(p0); }
  void link_dynamic_variables(const VectorXAD& p, VectorXd& pd, int& idx) override { y_line.link(p, pd, idx); }
  void unlink_from(const SolverVectors& solver) override { y_line.unlink_from(solver); }

  // Side-1 currents Y·(V1 − V2), side-2 currents their negation. The recorded form needs the
  // line to be linked.
  template <class C>
  void eval_currents() {
    const VectorOf<C> current = y_line.as<C>() * (side_potentials<C>(1) - side_potentials<C>(2));
    for (std::size_t i = 0; i < side1_ports.size(); ++i) {
      const auto k = static_cast<Eigen::Index>(i);
      side1_ports[i]->current_as<C>() = current(k);
      side2_ports[i]->current_as<C>() = -current(k);
    }
  }

  // Each side-2 port takes what the rest of its node draws; side 1 carries the same currents.
  void backward() override;
  // Writes V2 = V1 − Z·I1 into the side-2 nodes (stored value and linked slot) and returns the
  // largest complex modulus of the change; a change that is not a number counts as infinite.
  double forward() override;

  ADVariable<Eigen::MatrixXc> y_line;
};

// A line section with shunt admittance, modelled as a pi section: n conductors with the series
// impedance matrix Z and the total shunt admittance matrix Y, half of Y at each end between the
// conductors and a ground port. Ports 0 .. n-1 form side 1, n .. 2n-1 side 2, port 2n is the
// ground port (on no side).
//
// For the Newton solvers the port currents are linear in the port potentials through seven
// admittance blocks, dynamic parameters of the tape (8n² + 6n reals, in member order), so new
// line data needs no new recording. The sweeps use the chain matrices instead, with the ground
// port at zero potential: V2 = A·V1 − B·I1 and I1 = C·V2 − D·I2. A singular Z is not detected:
// it gives non-finite blocks (the chain matrices need no inverse).
class ShuntLine : public Line<ShuntLine> {
 public:
  using Line::eval_currents;

  // Reads n·n entries of each array, row-major: Y(i, j) = y_shunt[i·n + j], Z likewise. n < 0
  // throws std::length_error "vector::reserve", n = 0 std::invalid_argument: a line needs a
  // conductor.
  ShuntLine(int n, const Complex* y_shunt, const Complex* z_line);

  // Sets the chain matrices A to D and their (0, 0) entries from the line data and returns the
  // blocks y11, y12, y21, y22, yg (n×1), y2g, y1g, in this order.
  std::tuple<Eigen::MatrixXc, Eigen::MatrixXc, Eigen::MatrixXc, Eigen::MatrixXc, Eigen::MatrixXc, Eigen::MatrixXc,
             Eigen::MatrixXc>
  compute_matrix(int n, const Complex* y_shunt, const Complex* z_line);

  // Reads n·n entries of each array as the constructor does, n being the element's own size.
  // When linked, the new blocks go to the solver's parameter vector too; the sweeps see the new
  // chain matrices at once.
  void update_line_parameters(const Complex* y_shunt, const Complex* z_line);

  void declare_dynamic_variables(std::vector<double>& p0) const override;
  void link_dynamic_variables(const VectorXAD& p, VectorXd& pd, int& idx) override;
  void unlink_from(const SolverVectors& solver) override;

  // In the arithmetic Scalar (the chain matrix C takes the usual name):
  // I1 = y11·V1 + y12·V2 + y1g·Vg, I2 = y21·V1 + y22·V2 + y2g·Vg and the ground current
  // Σ yg(i)·(V1(i) + V2(i) − 2·Vg). The recorded form needs the line to be linked.
  template <class Scalar>
  void eval_currents() {
    const VectorOf<Scalar> v1 = side_potentials<Scalar>(1);
    const VectorOf<Scalar> v2 = side_potentials<Scalar>(2);
    const Scalar vg = ground_port->connection->potential_as<Scalar>();
    const VectorOf<Scalar> i1 = (y11.as<Scalar>() * v1 + y12.as<Scalar>() * v2) + y1g.as<Scalar>() * vg;
    const VectorOf<Scalar> i2 = (y21.as<Scalar>() * v1 + y22.as<Scalar>() * v2) + y2g.as<Scalar>() * vg;
    const VectorOf<Scalar> weights = yg.as<Scalar>();
    const auto ground_term = [&](Eigen::Index i) { return weights(i) * ((v1(i) + v2(i)) - 2.0 * vg); };
    Scalar ground = ground_term(0);  // a line has at least one conductor
    for (Eigen::Index i = 1; i < weights.size(); ++i) ground += ground_term(i);
    for (std::size_t i = 0; i < side1_ports.size(); ++i) side1_ports[i]->current_as<Scalar>() = i1(static_cast<Eigen::Index>(i));
    for (std::size_t i = 0; i < side2_ports.size(); ++i) side2_ports[i]->current_as<Scalar>() = i2(static_cast<Eigen::Index>(i));
    ground_port->current_as<Scalar>() = ground;
  }

  // Each side-2 port takes what the rest of its node draws; side 1 gets I1 = C·V2 − D·I2 and the
  // ground port the balance of the element.
  void backward() override;
  // Writes V2 = A·V1 − B·I1 into the side-2 nodes and returns the size of the change: for n ≥ 2
  // the largest complex modulus, stored value and linked slot written; for one conductor the
  // larger absolute part, only a linked slot written (an unlinked node reads as 0 and keeps its
  // value). A change that is not a number counts as infinite.
  double forward() override;

  Port* ground_port;
  ADVariable<Eigen::MatrixXc> y11, y12, y21, y22;
  ADVariable<Eigen::VectorXc> yg;
  ADVariable<Eigen::MatrixXc> y2g, y1g;
  Eigen::MatrixXc A, B, C, D;
  int n;
  // A(0, 0) .. D(0, 0): the one-conductor sweeps work on scalars.
  Complex A00, B00, C00, D00;

 private:
  void set_blocks(int conductors, const Complex* y_shunt, const Complex* z_line);
};
