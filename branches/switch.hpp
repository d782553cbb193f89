// Switches: two-sided elements with n ports on each side, conductor i joining side-1 port i and
// side-2 port i.
#pragma once

#include "core/branch.hpp"

// A closed switch. Its two sides keep separate nodes; the n conductor currents are unknowns of
// the Newton system and n complex equations force equal potentials on both sides.
class Switch : public ElementImpl<Switch, Branch> {
 public:
  using ElementImpl::eval_currents;

  // n < 0 throws std::length_error "vector::reserve".
  explicit Switch(int n);

  void declare_independent_variables(std::vector<double>& x0) const override { declare_records(currents, x0); }
  void link_independent_variables(const VectorXAD& x, VectorXd& xd, int& idx) override {
    link_records(currents, x, xd, idx);
  }
  void unlink_from(const SolverVectors& solver) override { unlink_records(currents, solver); }

  // Conductor current i enters at side-1 port i and leaves at side-2 port i.
  template <class C>
  void eval_currents() {
    for (std::size_t i = 0; i < currents.size(); ++i) {
      const C current = currents[i].as<C>();
      side1_ports[i]->current_as<C>() = current;
      side2_ports[i]->current_as<C>() = -current;
    }
  }

  // V1(i) − V2(i) = 0 for every conductor: 2n rows, as many as the reals of its unknowns.
  void add_internal_equations(VectorXAD& eqs, int& idx) const override;
  // Takes the currents drawn downstream; the unknowns are left alone.
  void backward() override { pass_downstream_currents(); }
  // Copies the side-1 potentials to the side-2 nodes (stored value and linked slot). A closed
  // switch never counts as a change: returns 0.0.
  double forward() override;

  // Conductor currents, entering at side 1; start at 0.
  ComplexRecords currents;
};

// An open switch: no current flows, no unknown, parameter or equation; the potentials of its
// two sides stay independent.
class OpenSwitch : public ElementImpl<OpenSwitch, Branch> {
 public:
  using ElementImpl::eval_currents;

  // n < 0 throws std::length_error "vector::reserve".
  explicit OpenSwitch(int n);

  template <class C>
  void eval_currents() {
    for (Port& port : ports) port.current_as<C>() = C();
  }

  void backward() override;
};
