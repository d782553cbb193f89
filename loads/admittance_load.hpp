// Constant-admittance loads: every phase (star) or branch (delta) draws y·U, the current of a fixed
// admittance y at the present voltage U.
#pragma once

#include "loads/load.hpp"

// Holds the admittances, one per phase or branch, as dynamic parameters.
template <class T>
class AbstractAdmittanceLoad : public Load<T> {
 public:
  // n ports and `count` admittances read from `admittances`; a negative count throws
  // std::length_error (after the ports are built).
  AbstractAdmittanceLoad(int n, const Complex* admittances, int count)
      : Load<T>(n), admittances(make_records(admittances, count)) {}

  void declare_dynamic_variables(std::vector<double>& p0) const override { declare_records(admittances, p0); }
  void link_dynamic_variables(const VectorXAD& p, VectorXd& pd, int& idx) override {
    link_records(admittances, p, pd, idx);
  }

  // Reads one value per admittance. When linked, the solver's parameter vector follows, so the
  // next solve uses the new admittances without a new recording.
  void update_admittances(const Complex* new_admittances) { set_records(admittances, new_admittances); }

  // One per phase or branch, in phase or branch order.
  ComplexRecords admittances;
};

// Star load: phases 0 .. n-2, neutral n-1; admittance i joins port i and the neutral.
class AdmittanceLoad : public AbstractAdmittanceLoad<AdmittanceLoad> {
 public:
  using AbstractAdmittanceLoad::eval_currents;

  // Reads n-1 admittances. n < 1 throws std::length_error; n = 1 is a lone neutral port.
  AdmittanceLoad(int n, const Complex* admittances) : AbstractAdmittanceLoad(n, admittances, phase_count(n)) {}

  template <class C>
  void eval_currents() { eval_star_law<C>(admittances, admittance_current<C>); }

  void get_inner_currents(Complex* out) const override { copy_phase_currents(out); }
};

// Delta load: n branches, branch i joining port i and port (i+1) mod n, admittance i across it.
class DeltaAdmittanceLoad : public AbstractAdmittanceLoad<DeltaAdmittanceLoad> {
 public:
  using AbstractAdmittanceLoad::eval_currents;

  // Reads n admittances. n < 0 throws std::length_error; n = 0 is a load without ports.
  DeltaAdmittanceLoad(int n, const Complex* admittances) : AbstractAdmittanceLoad(n, admittances, n) {}

  // The current of branch i, entering at port i; i < n.
  template <class C>
  C compute_current(unsigned long i) const {
    return admittance_current(branch_voltage<C>(i), admittances[i].as<C>());
  }

  template <class C>
  void eval_currents() { eval_branch_currents<C>(); }

  void get_inner_currents(Complex* out) const override { copy_branch_currents(out); }
};
