// The load family: shunt elements that draw port currents from their port potentials by a law of
// their own, with per-phase (star) or per-branch (delta) parameters held as dynamic parameters.
#pragma once

#include <cstddef>
#include <vector>

#include "core/element.hpp"

// Base of every load, so that any load gives its inner currents without its kind being known.
class LoadBase : public Element {
 public:
  using Element::Element;

  // Star kinds: the phase currents of ports 0 .. n-2 as the last plain evaluation left them (0
  // before any). Delta kinds: the n branch currents recomputed from the present potentials and
  // parameters. `out` has room for n-1 (star) or n (delta) values.
  virtual void get_inner_currents(Complex* out) const = 0;
};

// The current I drawn by the power S at the voltage U, so that U·conj(I) = S: conj(S/U), the
// quotient taken by the rules of the arithmetic (recorded: S·(1/U), unscaled). A zero voltage gives
// infinite or NaN parts, not an error.
template <class C>
C power_current(const C& voltage, const C& power) {
  return std::conj(quotient(power, voltage));
}

// The current y·U drawn by the admittance y at the voltage U.
template <class C>
C admittance_current(const C& voltage, const C& admittance) {
  return admittance * voltage;
}

// |z| in either arithmetic: plain values guard against overflow and underflow (hypot); recorded
// values take the square root of Re z·Re z + Im z·Im z, unscaled.
inline double modulus(const Complex& z) { return std::abs(z); }
inline AD modulus(const ComplexAD& z) { return CppAD::sqrt(z.real() * z.real() + z.imag() * z.imag()); }

// The current of magnitude |I0| at the angle arg U + arg I0: I0·U/|U|, each part of the product
// divided by the real modulus. A zero voltage gives 0/0, a NaN current, not an error.
template <class C>
C constant_current(const C& voltage, const C& current) {
  const auto magnitude = modulus(voltage);
  const C product = current * voltage;
  return C(product.real() / magnitude, product.imag() / magnitude);
}

// How many phases a star load of n ports has: n-1. Without its neutral (n < 1) the count is
// negative, which the reservation of the records refuses; no arithmetic that could overflow.
inline int phase_count(int n) { return n > 0 ? n - 1 : -1; }

// Base of the load kinds: the current law dispatch of the core, and the star and
// delta conventions that turn per-phase or per-branch currents into port currents.
//
// A load has no unknowns and no internal equations. Its backward sweep step is its plain
// evaluation at the present potentials; its forward step changes nothing.
template <class T>
class Load : public ElementImpl<T, LoadBase> {
 public:
  using ElementImpl<T, LoadBase>::ElementImpl;

  void backward() override { static_cast<T*>(this)->template eval_currents<Complex>(); }

 protected:
  // The potential of port k's node in the arithmetic C.
  template <class C>
  C potential(std::size_t k) const {
    return this->ports[k].connection->template potential_as<C>();
  }

  // Star convention, the last port being the neutral: port i (i < n-1) carries
  // phase_current(U_i, i) with U_i = V_i − V_neutral, and the neutral 0 − I_0 − … − I_(n-2).
  template <class C, class PhaseCurrent>
  void eval_star_currents(PhaseCurrent&& phase_current) {
    const std::size_t neutral = this->ports.size() - 1;
    const C neutral_potential = potential<C>(neutral);
    C neutral_current{};
    for (std::size_t i = 0; i < neutral; ++i) {
      const C current = phase_current(potential<C>(i) - neutral_potential, i);
      this->ports[i].template current_as<C>() = current;
      neutral_current -= current;
    }
    this->ports[neutral].template current_as<C>() = neutral_current;
  }

  // Star kinds' inner currents: the phase-port currents of the last plain evaluation.
  void copy_phase_currents(Complex* out) const {
    for (std::size_t i = 0; i + 1 < this->ports.size(); ++i) out[i] = this->ports[i].current;
  }

  // Branch i joins port i and port (i+1) mod n; its voltage is V_i − V_((i+1) mod n).
  template <class C>
  C branch_voltage(std::size_t i) const {
    return potential<C>(i) - potential<C>((i + 1) % this->ports.size());
  }

  // Delta convention: with J_i = branch_current(i), computed in branch order, port i carries
  // J_i − J_((i+n-1) mod n). Every branch current is known before the first port is written, so
  // a branch law that throws leaves all port currents as they were.
  template <class C, class BranchCurrent>
  void eval_delta_currents(BranchCurrent&& branch_current) {
    auto& ports = this->ports;
    const std::size_t n = ports.size();
    std::vector<C> currents;
    currents.reserve(n);
    for (std::size_t i = 0; i < n; ++i) currents.push_back(branch_current(i));
    for (std::size_t i = 0; i < n; ++i) ports[i].template current_as<C>() = currents[i] - currents[(i + n - 1) % n];
  }
};

// The star kind of a parameter family (power, admittance, current): n ports, the last one the
// neutral, and n-1 parameters; phase i draws Family::law(U_i, p_i) between port i and the neutral.
template <class T, template <class> class Family>
class StarLoad : public Family<T> {
 public:
  using Family<T>::eval_currents;

  // Reads n-1 parameters. n < 1 throws std::length_error; n = 1 is a lone neutral port.
  StarLoad(int n, const Complex* values) : Family<T>(n, values, phase_count(n)) {}

  template <class C>
  void eval_currents() {
    const ComplexRecords& parameters = this->parameters();
    this->template eval_star_currents<C>([&parameters](const C& voltage, std::size_t i) {
      return Family<T>::law(voltage, parameters[i].template as<C>());
    });
  }

  void get_inner_currents(Complex* out) const override { this->copy_phase_currents(out); }
};

// The delta kind of a parameter family: n ports and n branches, branch i joining port i and port
// (i+1) mod n and drawing Family::law(U_i, p_i).
template <class T, template <class> class Family>
class DeltaLoad : public Family<T> {
 public:
  using Family<T>::eval_currents;

  // Reads n parameters. n < 0 throws std::length_error; n = 0 is a load without ports.
  DeltaLoad(int n, const Complex* values) : Family<T>(n, values, n) {}

  // The current of branch i, entering at port i; i < n.
  template <class C>
  C compute_current(unsigned long i) const {
    return Family<T>::law(this->template branch_voltage<C>(i), this->parameters()[i].template as<C>());
  }

  template <class C>
  void eval_currents() {
    this->template eval_delta_currents<C>([this](std::size_t i) { return compute_current<C>(i); });
  }

  // The branch currents, recomputed in plain arithmetic.
  void get_inner_currents(Complex* out) const override {
    for (std::size_t i = 0; i < this->ports.size(); ++i) out[i] = compute_current<Complex>(i);
  }
};
