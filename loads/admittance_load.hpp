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
  void unlink_from(const SolverVectors& solver) override { unlink_records(admittances, solver); }

  // Reads one value per admittance. When linked, the solver's parameter vector follows, so the
  // next solve uses the new admittances without a new recording.
  void update_admittances(const Complex* new_admittances) { set_records(admittances, new_admittances); }

  template <class C>
  static C law(const C& voltage, const C& admittance) {
    return admittance_current(voltage, admittance);
  }

  // One per phase or branch, in phase or branch order.
  ComplexRecords admittances;

 protected:
  const ComplexRecords& parameters() const { return admittances; }
};

// Star load: admittance i joins phase port i and the neutral (the last port).
class AdmittanceLoad : public StarLoad<AdmittanceLoad, AbstractAdmittanceLoad> {
 public:
  using StarLoad::StarLoad;
};

// Delta load: admittance i joins port i and port (i+1) mod n.
class DeltaAdmittanceLoad : public DeltaLoad<DeltaAdmittanceLoad, AbstractAdmittanceLoad> {
 public:
  using DeltaLoad::DeltaLoad;
};
