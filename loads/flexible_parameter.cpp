#include "loads/flexible_parameter.hpp"

#include <cmath>
#include <stdexcept>
#include <string_view>

namespace {
// The code of `name` in a table of names indexed by code, or -1.
template <std::size_t N>
std::int32_t code_of(const std::string& name, const std::string_view (&names)[N]) {
  for (std::size_t code = 0; code < N; ++code)
    if (name == names[code]) return static_cast<std::int32_t>(code);
  return -1;
}

// Smoothing floor of the square roots: sqrt(v + epsilon·exp(−v/epsilon)) stays away from 0.
template <class R>
R floored_sqrt(const R& v, double epsilon) {
  using std::exp;
  using std::sqrt;
  return sqrt(v + epsilon * exp(-v / epsilon));
}

// A smooth minimum of a and b, weighted by exp(c·a) and exp(c·b) with c = −0.15·alpha.
template <class R>
R smooth_min(const R& a, const R& b, double alpha) {
  using std::exp;
  const double c = -(0.15 * alpha);
  return (a * exp(c * a) + b * exp(c * b)) / (exp(c * a) + exp(c * b));
}
}  // namespace

Control::Control(const std::string& t, double u_min, double u_down, double u_up, double u_max, double alpha,
                 double epsilon)
    : u_min(u_min), u_down(u_down), u_up(u_up), u_max(u_max), alpha(alpha), epsilon(epsilon) {
  static constexpr std::string_view names[] = {"constant", "q_u", "p_max_u_production", "p_max_u_consumption"};
  type = code_of(t, names);
  if (type < 0) throw std::runtime_error(t + " is a bad control type name");
}

Projection::Projection(const std::string& t, double alpha, double epsilon) : alpha(alpha), epsilon(epsilon) {
  static constexpr std::string_view names[] = {"euclidean", "keep_p", "keep_q"};
  type = code_of(t, names);
  if (type < 0) throw std::runtime_error(t + " is a bad projection type name");
}

FlexibleParameter::FlexibleParameter(const Control& control_p, const Control& control_q, const Projection& projection,
                                     double s_max, double q_min, double q_max)
    : control_p(control_p), control_q(control_q), projection(projection), s_max(s_max), q_min(q_min), q_max(q_max) {}

void FlexibleParameter::declare_dynamic_variables(std::vector<double>& p) const {
  declare_each(p, s_max, q_min, q_max);
}

void FlexibleParameter::link_dynamic_variables(const VectorXAD& p, VectorXd& pd, int& idx) {
  link_each(p, pd, idx, s_max, q_min, q_max);
}

void FlexibleParameter::unlink_from(const SolverVectors& solver) { unlink_each(solver, s_max, q_min, q_max); }

void FlexibleParameter::update_parameters(double new_s_max, double new_q_min, double new_q_max) {
  s_max.set_value(new_s_max);
  q_min.set_value(new_q_min);
  q_max.set_value(new_q_max);
}

template <class C>
C FlexibleParameter::compute_power(typename C::value_type x, C s_th) const {
  using R = typename C::value_type;
  using std::exp;
  using std::log;
  using std::log1p;
  using std::tanh;

  if (control_p.type == Control::q_u) throw std::runtime_error("Bad control type for P");
  if (control_p.type == Control::constant && control_q.type == Control::constant) return s_th;

  const R p_th = s_th.real();
  const R q_th = s_th.imag();
  const R s = s_max.as<C>();

  // Active power. Production lowers P (negative) towards 0 from u0·u_max up to u_max;
  // consumption raises it from 0 at u_min to P_th at u0·u_min.
  R p_power = p_th;
  if (control_p.type == Control::p_max_u_production) {
    const Control& c = control_p;
    const R r = x / c.u_max;
    const R u0 = ((p_th / s + 1.0) * (c.u_max - c.u_up) + c.u_up) / c.u_max;
    const R e1 = exp(-(1.0 - u0) / c.epsilon);
    const R l = log((exp(c.alpha * (r - 1.0)) + 1.0) / (exp(c.alpha * (r - u0)) + 1.0));
    p_power = (l / (c.alpha * (c.epsilon * e1 + 1.0 - u0)) + 1.0) * p_th;
  } else if (control_p.type == Control::p_max_u_consumption) {
    const Control& c = control_p;
    const R r = x / c.u_min;
    const R u0 = (c.u_down - (1.0 - p_th / s) * (c.u_down - c.u_min)) / c.u_min;
    const R e1 = exp(-(u0 - 1.0) / c.epsilon);
    const R l = log((exp(c.alpha * (r - u0)) + 1.0) / (exp(c.alpha * (r - 1.0)) + 1.0));
    p_power = l * p_th / (-c.alpha * (c.epsilon * e1 + u0 - 1.0));
  }

  // Reactive power: q_min below u_min, Q_th between u_down and u_up, q_max above u_max.
  R q_power = q_th;
  if (control_q.type == Control::q_u) {
    const Control& c = control_q;
    const R r = x / c.u_max;
    const double a1 = c.u_min / c.u_max;
    const double a2 = c.u_down / c.u_max;
    const double a3 = c.u_up / c.u_max;
    const R l1 = log((exp(c.alpha * (r - a2)) + 1.0) / (exp(c.alpha * (r - a1)) + 1.0));
    const R k1 = l1 / (c.alpha * (a1 - a2)) - 1.0;
    const R l2 = log((exp(c.alpha * (r - a3)) + 1.0) / (exp(c.alpha * (r - 1.0)) + 1.0));
    const R k2 = l2 / (c.alpha * (1.0 - a3));
    q_power = ((q_th - q_min.as<C>()) * k1 + q_th) + (q_max.as<C>() - q_th) * k2;
  } else if (control_q.type != Control::constant) {
    throw std::runtime_error("Bad control type for Q");
  }

  R p = p_power / s;
  R q = q_power / s;
  const Projection& j = projection;
  if (j.type == Projection::euclidean) {
    const R n = p * p + q * q;
    const R m = floored_sqrt(n, j.epsilon);
    const R d = (1.0 / j.alpha) * log1p(exp(j.alpha * (m - 1.0))) + 1.0;
    p = p / d;
    q = q / d;
  } else if (j.type == Projection::keep_p) {
    q = tanh(j.alpha * q) * floored_sqrt(smooth_min(R(q * q), R(1.0 - p * p), j.alpha), j.epsilon);
  } else {
    // The sign follows the setpoint, not the controlled P (a NaN setpoint counts as negative).
    // A conditional expression, so that a tape follows setpoint updates across zero as the
    // plain arithmetic does.
    const R sign = CppAD::CondExpGe(p_th, R(0.0), R(1.0), R(-1.0));
    p = sign * floored_sqrt(smooth_min(R(p * p), R(1.0 - q * q), j.alpha), j.epsilon);
  }
  return C(p * s, q * s);
}

template Complex FlexibleParameter::compute_power<Complex>(double, Complex) const;
template ComplexAD FlexibleParameter::compute_power<ComplexAD>(AD, ComplexAD) const;
