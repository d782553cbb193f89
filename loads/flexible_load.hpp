// Flexible loads: constant-power loads whose power follows the voltage. In every phase (star) or
// branch (delta) a FlexibleParameter turns the setpoint and the present voltage magnitude into
// the power actually drawn; the load then draws the current of that power at that voltage.
#pragma once

#include <stdexcept>
#include <utility>
#include <vector>

#include "loads/flexible_parameter.hpp"
#include "loads/load.hpp"

// Holds the control laws (not owned; one per phase or branch, possibly shared) and the setpoints,
// which are dynamic parameters. The limits of the control laws are declared and linked by the
// network, once per distinct FlexibleParameter.
template <class T>
class AbstractFlexibleLoad : public Load<T> {
 public:
  // n ports, `count` setpoints read from `powers` and exactly `count` non-null control laws. A
  // negative count throws std::length_error (after the ports are built); other laws throw
  // std::invalid_argument.
  AbstractFlexibleLoad(int n, const Complex* powers, int count, std::vector<FlexibleParameter*> laws)
      : Load<T>(n), parameters(std::move(laws)), powers(make_records(powers, count)) {
    if (parameters.size() != this->powers.size())
      throw std::invalid_argument("A flexible load needs one flexible parameter per setpoint.");
    for (const FlexibleParameter* parameter : parameters)
      if (parameter == nullptr) throw std::invalid_argument("A flexible load holds a null flexible parameter.");
  }

  void declare_dynamic_variables(std::vector<double>& p0) const override { declare_records(powers, p0); }
  void link_dynamic_variables(const VectorXAD& p, VectorXd& pd, int& idx) override {
    link_records(powers, p, pd, idx);
  }
  void unlink_from(const SolverVectors& solver) override { unlink_records(powers, solver); }

  // Reads one value per setpoint; the control laws are not touched.
  void update_powers(const Complex* new_powers) { set_records(powers, new_powers); }

  // The powers actually drawn at the present potentials and parameters, in plain arithmetic:
  // one per phase (star) or branch (delta). Throws what the control laws throw.
  virtual void get_powers(Complex* out) const = 0;

  // Entry i controls phase or branch i. Fixed for the load's life.
  std::vector<FlexibleParameter*> parameters;
  // Setpoint i of phase or branch i.
  ComplexRecords powers;

 protected:
  // The power drawn by phase or branch i at the voltage U, in the arithmetic C.
  template <class C>
  C actual_power(const C& voltage, std::size_t i) const {
    return parameters[i]->template compute_power<C>(modulus(voltage), powers[i].template as<C>());
  }
};

// Star flexible load: phases 0 .. n-2, neutral n-1.
class FlexibleLoad : public AbstractFlexibleLoad<FlexibleLoad> {
 public:
  using AbstractFlexibleLoad::eval_currents;

  // Reads n-1 setpoints and takes n-1 control laws. n < 1 throws std::length_error.
  FlexibleLoad(int n, const Complex* powers, std::vector<FlexibleParameter*> parameters)
      : AbstractFlexibleLoad(n, powers, phase_count(n), std::move(parameters)) {}

  // A failing law leaves the phases before it with their new currents and the neutral unchanged.
  template <class C>
  void eval_currents() {
    eval_star_currents<C>(
        [this](const C& voltage, std::size_t i) { return power_current(voltage, actual_power(voltage, i)); });
  }

  void get_powers(Complex* out) const override;
  void get_inner_currents(Complex* out) const override { copy_phase_currents(out); }
};

// Delta flexible load: n branches, branch i joining port i and port (i+1) mod n.
class DeltaFlexibleLoad : public AbstractFlexibleLoad<DeltaFlexibleLoad> {
 public:
  using AbstractFlexibleLoad::eval_currents;

  // Reads n setpoints and takes n control laws. n < 0 throws std::length_error.
  DeltaFlexibleLoad(int n, const Complex* powers, std::vector<FlexibleParameter*> parameters)
      : AbstractFlexibleLoad(n, powers, n, std::move(parameters)) {}

  // The voltage of branch i (first) and the power it draws (second); i < n.
  template <class C>
  std::pair<C, C> compute_power(unsigned long i) const {
    const C voltage = branch_voltage<C>(i);
    return {voltage, actual_power(voltage, i)};
  }

  template <class C>
  void eval_currents() {
    eval_delta_currents<C>([this](std::size_t i) {
      const auto [voltage, power] = compute_power<C>(i);
      return power_current(voltage, power);
    });
  }

  void get_powers(Complex* out) const override;
  void get_inner_currents(Complex* out) const override;
};
