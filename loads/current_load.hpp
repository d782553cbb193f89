// Constant-current loads: every phase (star) or branch (delta) draws I0·U/|U|, a current of fixed
// magnitude |I0| that keeps the angle of I0 to the present voltage U.
#pragma once

#include "loads/load.hpp"

// Holds the currents I0, one per phase or branch, as dynamic parameters.
template <class T>
class AbstractCurrentLoad : public Load<T> {
 public:
  // n ports and `count` currents read from `currents`; a negative count throws
  // std::length_error (after the ports are built).
  AbstractCurrentLoad(int n, const Complex* currents, int count)
      : Load<T>(n), currents(make_records(currents, count)) {}

  void declare_dynamic_variables(std::vector<double>& p0) const override { declare_records(currents, p0); }
  void link_dynamic_variables(const VectorXAD& p, VectorXd& pd, int& idx) override {
    link_records(currents, p, pd, idx);
  }

  // Reads one value per current. When linked, the solver's parameter vector follows, so the
  // next solve uses the new currents without a new recording.
  void update_currents(const Complex* new_currents) { set_records(currents, new_currents); }

  // One per phase or branch, in phase or branch order.
  ComplexRecords currents;
};

// Star load: phases 0 .. n-2, neutral n-1; current i joins port i and the neutral.
class CurrentLoad : public AbstractCurrentLoad<CurrentLoad> {
 public:
  using AbstractCurrentLoad::eval_currents;

  // Reads n-1 currents. n < 1 throws std::length_error; n = 1 is a lone neutral port.
  CurrentLoad(int n, const Complex* currents) : AbstractCurrentLoad(n, currents, phase_count(n)) {}

  template <class C>
  void eval_currents() { eval_star_law<C>(currents, constant_current<C>); }

  void get_inner_currents(Complex* out) const override { copy_phase_currents(out); }
};

// Delta load: n branches, branch i joining port i and port (i+1) mod n, current i across it.
class DeltaCurrentLoad : public AbstractCurrentLoad<DeltaCurrentLoad> {
 public:
  using AbstractCurrentLoad::eval_currents;

  // Reads n currents. n < 0 throws std::length_error; n = 0 is a load without ports.
  DeltaCurrentLoad(int n, const Complex* currents) : AbstractCurrentLoad(n, currents, n) {}

  // The current of branch i, entering at port i; i < n.
  template <class C>
  C compute_current(unsigned long i) const {
    return constant_current(branch_voltage<C>(i), currents[i].as<C>());
  }

  template <class C>
  void eval_currents() { eval_branch_currents<C>(); }

  void get_inner_currents(Complex* out) const override { copy_branch_currents(out); }
};
