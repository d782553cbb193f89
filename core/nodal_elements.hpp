// Elements that sit on nodes and draw no power: buses, grounds and potential references.
#pragma once

#include "core/element.hpp"

// A group of nodes with initial potentials.
class Bus : public ElementImpl<Bus> {
 public:
  using ElementImpl::eval_currents;

  explicit Bus(int n) : ElementImpl(n) {}
  Bus(int n, const Complex* potentials) : ElementImpl(n, potentials) {}

  // Sets the potential of each port's current node (stored value and linked slot); reads one
  // value per port, the last port wins on a shared node.
  void initialize_potentials(const Complex* v);

  template <class C>
  void eval_currents() {
    for (Port& port : ports) port.current_as<C>() = C();
  }
  void backward() override;
};

// A one-port node element. It fixes nothing by itself.
class Ground : public ElementImpl<Ground> {
 public:
  using ElementImpl::eval_currents;

  Ground() : ElementImpl(1) {}

  template <class C>
  void eval_currents() {
    ports[0].current_as<C>() = C();
  }
  void backward() override;
};

// Fixes the potential of its node at zero: the node becomes a reference, and so does every node
// merged with it.
class PotentialRef : public ElementImpl<PotentialRef> {
 public:
  using ElementImpl::eval_currents;

  PotentialRef();

  // The sum of the currents that the node's ports draw.
  Complex get_current() const { return ports[0].connection->sum_currents(); }

  template <class C>
  void eval_currents() {
    ports[0].current_as<C>() = C();
  }
  void backward() override;
  double forward() override;
};

// Fixes the sum of the potentials of its nodes at zero through one unknown current injected at
// port 0. Built without ports it injects nothing and reads a current of 0 (its unknown and its
// row stay, so the counts of unknowns and rows still agree).
class DeltaPotentialRef : public ElementImpl<DeltaPotentialRef> {
 public:
  using ElementImpl::eval_currents;

  explicit DeltaPotentialRef(int n) : ElementImpl(n) {}

  Complex get_current() const { return ports.empty() ? Complex() : ports[0].current; }

  void declare_independent_variables(std::vector<double>& x0) const override { current.declare(x0); }
  void link_independent_variables(const VectorXAD& x, VectorXd& xd, int& idx) override {
    current.link(x, xd, idx);
  }
  void unlink_from(const SolverVectors& solver) override { current.unlink_from(solver); }

  template <class C>
  void eval_currents() {
    for (Port& port : ports) port.current_as<C>() = C();
    if (!ports.empty()) ports[0].current_as<C>() = current.as<C>();
  }
  void add_internal_equations(VectorXAD& eqs, int& idx) const override;
  void backward() override;
  // Shifts every node by the mean potential; returns the larger part of the sum before the shift.
  double forward() override;

  ADVariable<Complex> current;
};
