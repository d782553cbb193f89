// The control laws of flexible loads: how the power actually drawn by a phase or branch follows
// the voltage magnitude across it, and how it is brought back within the apparent-power limit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/ad_variable.hpp"

// One voltage-dependent law for the active or the reactive power. The four voltages are
// thresholds in the unit of the voltage magnitude, in the order u_min, u_down, u_up, u_max;
// nothing checks their order or sign.
class Control {
 public:
  enum Type : std::int32_t { constant = 0, q_u = 1, p_max_u_production = 2, p_max_u_consumption = 3 };

  // `t` names the law exactly ("constant", "q_u", "p_max_u_production", "p_max_u_consumption");
  // any other name throws std::runtime_error "<t> is a bad control type name".
  Control(const std::string& t, double u_min, double u_down, double u_up, double u_max, double alpha,
          double epsilon);

  std::int32_t type;
  double u_min;
  double u_down;
  double u_up;
  double u_max;
  double alpha;    // steepness of the smooth approximations
  double epsilon;  // size of the smoothing floor
};

// How the per-unit power is drawn back towards the disc of radius 1.
class Projection {
 public:
  enum Type : std::int32_t { euclidean = 0, keep_p = 1, keep_q = 2 };

  // `t` is "euclidean", "keep_p" or "keep_q"; any other name throws std::runtime_error
  // "<t> is a bad projection type name".
  Projection(const std::string& t, double alpha, double epsilon);

  std::int32_t type;
  double alpha;
  double epsilon;
};

// The control of one or more phases or branches of flexible loads: an active-power law, a
// reactive-power law and a projection (copies, fixed for the object's life), and the limits
// s_max, q_min and q_max, which are dynamic parameters of the solvers (one real each, in that
// order). Flexible loads and networks refer to it by raw pointer; it must outlive them.
class FlexibleParameter {
 public:
  // Nothing is checked: a law applied to the wrong power component fails at the first evaluation.
  FlexibleParameter(const Control& control_p, const Control& control_q, const Projection& projection, double s_max,
                    double q_min, double q_max);

  // Appends the stored s_max, q_min and q_max.
  void declare_dynamic_variables(std::vector<double>& p) const;
  // Binds the three limits to p / pd at idx, idx+1, idx+2 and advances idx by 3.
  void link_dynamic_variables(const VectorXAD& p, VectorXd& pd, int& idx);
  // Unlinks the limits that point into `solver` (they keep their last values).
  void unlink_from(const SolverVectors& solver);
  // The set rule on each limit: when linked, the solver's parameter vector follows, so the next
  // solve and every plain evaluation use the new limits without a new recording.
  void update_parameters(double s_max, double q_min, double q_max);

  // The power P + jQ drawn in place of the setpoint s_th at the voltage magnitude x, in either
  // arithmetic (C = Complex or ComplexAD). Two "constant" laws return s_th unchanged. Throws
  // std::runtime_error "Bad control type for P" for a "q_u" active law and "Bad control type for
  // Q" for a reactive law of the active kinds. Zero limits or coefficients give infinite or NaN
  // results, not errors. In recorded arithmetic the laws taken are fixed in the tape; the limits,
  // x and s_th stay live, and so does the sign of Re s_th that keep_q keeps.
  template <class C>
  C compute_power(typename C::value_type x, C s_th) const;

  Control control_p;
  Control control_q;
  Projection projection;
  ADVariable<double> s_max;
  ADVariable<double> q_min;
  ADVariable<double> q_max;
};
