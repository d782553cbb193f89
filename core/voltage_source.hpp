// Ideal voltage sources. A source with n ports carries n-1 voltages (dynamic parameters) and
// n-1 currents (unknowns) at ports 0 .. n-2; the last port takes minus their sum.
#pragma once

#include "core/element.hpp"

template <class T>
class AbstractVoltageSource : public ElementImpl<T> {
 public:
  using ElementImpl<T>::eval_currents;

  // Reads n-1 voltages. n < 1 throws std::length_error.
  AbstractVoltageSource(int n, const Complex* voltages)
      : ElementImpl<T>(n),
        voltages(make_records(voltages, std::ptrdiff_t{n} - 1)),
        currents(this->voltages.size()) {}

  // Reads n-1 values.
  void update_voltages(const Complex* new_voltages) { set_records(voltages, new_voltages); }

  void declare_independent_variables(std::vector<double>& x0) const override { declare_records(currents, x0); }
  void declare_dynamic_variables(std::vector<double>& p0) const override { declare_records(voltages, p0); }
  void link_independent_variables(const VectorXAD& x, VectorXd& xd, int& idx) override {
    link_records(currents, x, xd, idx);
  }
  void link_dynamic_variables(const VectorXAD& p, VectorXd& pd, int& idx) override {
    link_records(voltages, p, pd, idx);
  }
  void unlink_from(const SolverVectors& solver) override {
    unlink_records(currents, solver);
    unlink_records(voltages, solver);
  }

  template <class C>
  void eval_currents() {
    C last{};
    for (std::size_t i = 0; i < currents.size(); ++i) {
      const C current = currents[i].template as<C>();
      this->ports[i].template current_as<C>() = current;
      last -= current;
    }
    this->ports.back().template current_as<C>() = last;
  }

  ComplexRecords voltages;
  ComplexRecords currents;

 protected:
  // Backward step shared by both leaves: each of the ports [first, first + n-1) takes minus the
  // current the rest of its node draws, and port `last` minus the sum of those (-0.0 parts for a
  // one-port source).
  void backward_from_nodes(std::size_t first, std::size_t last);
};

// Star source: voltage i is imposed between port i and the neutral (the last port).
class VoltageSource : public AbstractVoltageSource<VoltageSource> {
 public:
  using AbstractVoltageSource::AbstractVoltageSource;

  void add_internal_equations(VectorXAD& eqs, int& idx) const override;
  void backward() override;
  // Writes neutral + U_i into each phase node; the neutral is not written.
  double forward() override;
};

// Delta source: voltage i is imposed between ports i and i+1 (no wrap-around).
class DeltaVoltageSource : public AbstractVoltageSource<DeltaVoltageSource> {
 public:
  using AbstractVoltageSource::AbstractVoltageSource;

  void add_internal_equations(VectorXAD& eqs, int& idx) const override;
  void backward() override;
  // Writes the chain V_{i+1} = V_i - U_i starting from port 0, which is not written.
  double forward() override;
};
