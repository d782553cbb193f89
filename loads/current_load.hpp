// Constant-current loads: every phase (star) or branch (delta) draws I0·U/|U|, a current of fixed
// magnitude |I0| that keeps the angle of I0 to the present voltage U.
#pragma once

#include "loads/load.hpp"

// Holds the currents I0, one per phase or branch, as dynamic parameters.
template <class T>
class AbstractCurrentLoad : public Load<T> {
 public:
  // n ports and `count` currents read from `currents`; a negative count throws std::length_error
  // (after the ports are built).
  AbstractCurrentLoad(int n, const Complex* currents, int count)
      : Load<T>(n), currents(make_records(currents, count)) {}

  void declare_dynamic_variables(std::vector<double>& p0) const override { declare_records(currents, p0); }
  void link_dynamic_variables(const VectorXAD& p, VectorXd& pd, int& idx) override {
    link_records(currents, p, pd, idx);
  }
  void unlink_from(const SolverVectors& solver) override { unlink_records(currents, solver); }

  // Reads one value per current. When linked, the solver's parameter vector follows, so the next
  // solve uses the new currents without a new recording.
  void update_currents(const Complex* new_currents) { set_records(currents, new_currents); }

  template <class C>
  static C law(const C& voltage, const C& current) {
    return constant_current(voltage, current);
  }

  // One per phase or branch, in phase or branch order.
  ComplexRecords currents;

 protected:
  const ComplexRecords& parameters() const { return currents; }
};

// Star load: current i flows from phase port i to the neutral (the last port).
class CurrentLoad : public StarLoad<CurrentLoad, AbstractCurrentLoad> {
 public:
  using StarLoad::StarLoad;
};

// Delta load: current i flows from port i to port (i+1) mod n.
class DeltaCurrentLoad : public DeltaLoad<DeltaCurrentLoad, AbstractCurrentLoad> {
 public:
  using DeltaLoad::DeltaLoad;
};
