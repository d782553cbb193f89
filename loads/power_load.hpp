// Constant-power loads: every phase (star) or branch (delta) draws the current for which the power
// taken from the network, U·conj(I), equals its setpoint S at the present voltage.
#pragma once

#include "loads/load.hpp"

// Holds the power setpoints, one per phase or branch, as dynamic parameters.
template <class T>
class AbstractPowerLoad : public Load<T> {
 public:
  // n ports and `count` setpoints read from `powers`; a negative count throws std::length_error
  // (after the ports are built).
  AbstractPowerLoad(int n, const Complex* powers, std::ptrdiff_t count)
      : Load<T>(n), powers(make_records(powers, count)) {}

  void declare_dynamic_variables(std::vector<double>& p0) const override { declare_records(powers, p0); }
  void link_dynamic_variables(const VectorXAD& p, VectorXd& pd, int& idx) override {
    link_records(powers, p, pd, idx);
  }
  void unlink_from(const SolverVectors& solver) override { unlink_records(powers, solver); }

  // Reads one value per setpoint. When linked, the solver's parameter vector follows, so the next
  // solve uses the new setpoints without a new recording.
  void update_powers(const Complex* new_powers) { set_records(powers, new_powers); }

  template <class C>
  static C law(const C& voltage, const C& power) {
    return power_current(voltage, power);
  }

  // One per phase or branch, in phase or branch order.
  ComplexRecords powers;

 protected:
  const ComplexRecords& parameters() const { return powers; }
};

// Star load: setpoint i is taken between phase port i and the neutral (the last port).
class PowerLoad : public StarLoad<PowerLoad, AbstractPowerLoad> {
 public:
  using StarLoad::StarLoad;
};

// Delta load: setpoint i is taken between port i and port (i+1) mod n.
class DeltaPowerLoad : public DeltaLoad<DeltaPowerLoad, AbstractPowerLoad> {
 public:
  using DeltaLoad::DeltaLoad;
};
