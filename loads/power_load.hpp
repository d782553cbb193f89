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

  // Reads one value per setpoint. When linked, the solver's parameter vector follows, so the next
  // solve uses the new setpoints without a new recording.
  void update_powers(const Complex* new_powers) { set_records(powers, new_powers); }

  // One per phase or branch, in phase or branch order.
  ComplexRecords powers;
};

// Star load: phases 0 .. n-2, neutral n-1; setpoint i is taken between port i and the neutral.
class PowerLoad : public AbstractPowerLoad<PowerLoad> {
 public:
  using AbstractPowerLoad::eval_currents;

  // Reads n-1 setpoints. n < 1 throws std::length_error; n = 1 is a lone neutral port.
  PowerLoad(int n, const Complex* powers) : AbstractPowerLoad(n, powers, std::ptrdiff_t{n} - 1) {}

  template <class C>
  void eval_currents() {
    eval_star_currents<C>([this](const C& voltage, std::size_t i) {
      return power_current(voltage, powers[i].as<C>());
    });
  }

  void get_inner_currents(Complex* out) const override { copy_phase_currents(out); }
};

// Delta load: n branches, branch i joining port i and port (i+1) mod n, setpoint i across it.
class DeltaPowerLoad : public AbstractPowerLoad<DeltaPowerLoad> {
 public:
  using AbstractPowerLoad::eval_currents;

  // Reads n setpoints. n < 0 throws std::length_error; n = 0 is a load without ports.
  DeltaPowerLoad(int n, const Complex* powers) : AbstractPowerLoad(n, powers, n) {}

  // The current of branch i, entering at port i; i < n.
  template <class C>
  C compute_current(unsigned long i) const {
    return power_current(branch_voltage<C>(i), powers[i].as<C>());
  }

  template <class C>
  void eval_currents() {
    eval_delta_currents<C>([this](std::size_t i) { return compute_current<C>(i); });
  }

  void get_inner_currents(Complex* out) const override {
    for (std::size_t i = 0; i < ports.size(); ++i) out[i] = compute_current<Complex>(i);
  }
};
