// The load balancer: a three-phase shunt that draws the currents of a fixed 3×3 admittance
// applied to the phase-to-neutral voltages.
#pragma once

#include "loads/load.hpp"

// Four ports: phases a, b, c, then the neutral. The admittance is the inverse of the impedance
// matrix whose diagonal is z2 + (1 + 1/k²)/ym and whose other entries are −1/(k·ym), built once
// at construction and held as one dynamic parameter of 18 reals (row by row); nothing changes it
// afterwards.
//
// Nothing is validated: k = 0, ym = 0 or a singular impedance give non-finite admittances, and
// the currents follow. The recorded form of the admittance exists only once a solver has linked
// the balancer.
class LoadBalancer : public Load<LoadBalancer> {
 public:
  using Load::eval_currents;

  LoadBalancer(const Complex& z2, const Complex& ym, double k);

  void declare_dynamic_variables(std::vector<double>& p0) const override { admittance.declare(p0); }
  void link_dynamic_variables(const VectorXAD& p, VectorXd& pd, int& idx) override { admittance.link(p, pd, idx); }
  void unlink_from(const SolverVectors& solver) override { admittance.unlink_from(solver); }

  // Phase i carries row i of Y·U, U_i = V_i − V_neutral; the neutral 0 − I_a − I_b − I_c.
  template <class C>
  void eval_currents() {
    VectorOf<C> voltages(3);
    for (Eigen::Index i = 0; i < 3; ++i) voltages(i) = potential<C>(static_cast<std::size_t>(i)) - potential<C>(3);
    const VectorOf<C> currents = admittance.as<C>() * voltages;
    C neutral{};
    for (Eigen::Index i = 0; i < 3; ++i) {
      ports[static_cast<std::size_t>(i)].current_as<C>() = currents(i);
      neutral -= currents(i);
    }
    ports[3].current_as<C>() = neutral;
  }

  // The currents of ports a, b and c as the last plain evaluation left them (0 before any).
  void get_inner_currents(Complex* out) const override { copy_phase_currents(out); }

  // The 3×3 admittance Y.
  ADVariable<Eigen::MatrixXc> admittance;
};
