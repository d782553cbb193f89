// Test-only elements whose current laws show what the linear core elements cannot: nonlinear
// convergence, NaN and infinite values, singular Jacobians, failures while recording, and calls
// into the automatic-differentiation library's error handler.
#pragma once

#include <cmath>
#include <stdexcept>
#include <type_traits>

#include "core/branch.hpp"
#include "core/element.hpp"

// A one-port element drawing I = Law::current(V, p) from its node, p being one complex dynamic
// parameter.
template <class Law>
class LawElement : public ElementImpl<LawElement<Law>> {
 public:
  using ElementImpl<LawElement<Law>>::eval_currents;

  explicit LawElement(const Complex& parameter) : ElementImpl<LawElement<Law>>(1), parameter(parameter) {}

  void declare_dynamic_variables(std::vector<double>& p0) const override { parameter.declare(p0); }
  void link_dynamic_variables(const VectorXAD& p, VectorXd& pd, int& idx) override { parameter.link(p, pd, idx); }
  void unlink_from(const SolverVectors& solver) override { parameter.unlink_from(solver); }

  template <class C>
  void eval_currents() {
    Port& port = this->ports[0];
    port.template current_as<C>() = Law::current(port.connection->template potential_as<C>(), parameter.template as<C>());
  }

  ADVariable<Complex> parameter;
};

// I = V² − p: the node settles at a square root of p; the Jacobian vanishes at V = 0.
struct SquareLaw {
  template <class C>
  static C current(const C& v, const C& p) {
    return v * v - p;
  }
};

// I = conj(p / V): a constant power p; NaN at V = 0.
struct ConstantPowerLaw {
  template <class C>
  static C current(const C& v, const C& p) {
    const auto norm = v.real() * v.real() + v.imag() * v.imag();
    return std::conj(p) * C(v.real() / norm, v.imag() / norm);
  }
};

// I = sqrt(Re V) − p: an infinite derivative at Re V = 0 and NaN below.
struct SqrtLaw {
  template <class C>
  static C current(const C& v, const C& p) {
    using std::sqrt;
    return C(sqrt(v.real()), 0.0 * v.imag()) - p;
  }
};

// I = p: a fixed current injection.
struct InjectionLaw {
  template <class C>
  static C current(const C&, const C& p) {
    return p;
  }
};

// I = p in plain arithmetic and nothing on the tape: a recorded law that disagrees with its plain
// form, as a recorded modulus that overflows does.
struct UnrecordedInjectionLaw {
  template <class C>
  static C current(const C&, const C& p) {
    if constexpr (std::is_same_v<C, ComplexAD>) return C();
    return p;
  }
};

// Fails while the equations are recorded; plain evaluations give I = 0.
struct ThrowingLaw {
  template <class C>
  static C current(const C&, const C&) {
    if constexpr (std::is_same_v<C, ComplexAD>) throw std::runtime_error("law not recordable");
    return C();
  }
};

// While armed, every evaluation of reported_zero (plain or replayed from a tape) reports an
// error through CppAD's current error handler.
extern bool report_armed;
double reported_zero(const double& x);
AD reported_zero(const AD& x);

// I = V − p, plus a term of value and derivative zero that reports through the error handler
// whenever the law or the tape is evaluated.
struct ReportingLaw {
  template <class C>
  static C current(const C& v, const C& p) {
    return v - p + C(reported_zero(v.real()), 0.0 * v.imag());
  }
};

// A two-port series admittance: I0 = y (V0 − V1) enters at port 0 and leaves at port 1.
class SeriesAdmittance : public ElementImpl<SeriesAdmittance> {
 public:
  using ElementImpl::eval_currents;

  explicit SeriesAdmittance(const Complex& y) : ElementImpl(2), admittance(y) {}

  void declare_dynamic_variables(std::vector<double>& p0) const override { admittance.declare(p0); }
  void link_dynamic_variables(const VectorXAD& p, VectorXd& pd, int& idx) override { admittance.link(p, pd, idx); }
  void unlink_from(const SolverVectors& solver) override { admittance.unlink_from(solver); }

  template <class C>
  void eval_currents() {
    const C current = admittance.as<C>() * (ports[0].connection->potential_as<C>() - ports[1].connection->potential_as<C>());
    ports[0].current_as<C>() = current;
    ports[1].current_as<C>() = -current;
  }

  ADVariable<Complex> admittance;
};

// The smallest concrete two-sided element: no current law of its own.
class TestBranch : public Branch {
 public:
  using Branch::Branch;
  void eval_currents(bool) override {}
};
