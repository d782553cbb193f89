// Line sections: two-sided elements whose conductor i runs from side-1 port i to side-2 port i.
#pragma once

#include "core/branch.hpp"

// Dispatches eval_currents(bool) to T's member template eval_currents<C>(), so that each line
// kind writes its current law once for both arithmetics.
template <class T>
class Line : public Branch {
 public:
  using Branch::Branch;

  void eval_currents(bool ad) override {
    if (ad)
      static_cast<T*>(this)->template eval_currents<ComplexAD>();
    else
      static_cast<T*>(this)->template eval_currents<Complex>();
  }
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
