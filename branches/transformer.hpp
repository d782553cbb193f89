// Transformers: two-sided elements whose side 1 is the high-voltage winding and side 2 the
// low-voltage winding.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "core/branch.hpp"

// What every transformer shares: the series impedance z2 (seen from side 2), the magnetising
// admittance ym (across side 1) and the ratio k, all dynamic parameters of the tape, so that new
// transformer data needs no new recording. A transformer has no unknowns and no internal
// equations: it only writes the currents of its ports.
class TransformerBase : public Branch {
 public:
  TransformerBase(int n1, int n2, const Complex& z2, const Complex& ym, Complex k);

  // Six reals: z2, ym, k, real part first, from the stored values.
  void declare_dynamic_variables(std::vector<double>& p0) const override;
  void link_dynamic_variables(const VectorXAD& p, VectorXd& pd, int& idx) override;
  void unlink_from(const SolverVectors& solver) override;

  // The set rule on z2, ym and k: when linked, the solver's parameter vector follows, so the next
  // Newton solve uses the new values on the same tape.
  void update_transformer_parameters(const Complex& z2, const Complex& ym, Complex k);

  // Both tests drive the element's own nodes (stored value and linked slot) to rated values,
  // evaluate the plain currents and leave both in place: they do not restore the previous state.
  // uhv, ulv: rated voltages of side 1 and side 2; sn: rated apparent power.
  // Returns (no-load losses, no-load current relative to the rated current).
  virtual std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv, double sn) = 0;
  // Returns (losses at rated current, relative short-circuit voltage).
  virtual std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv, double sn) = 0;

  ADVariable<Complex> z2;
  ADVariable<Complex> ym;
  ADVariable<Complex> k;

 protected:
  // Writes each potential into the node of its port, in list order, evaluates the plain currents
  // and returns the active power entering side 1, Σ Re(V·conj(I)).
  double drive_and_measure(const std::vector<std::pair<Port*, Complex>>& drives);
};

// The current law dispatch of the core for the transformer kinds. Only the single-phase kind has
// sweep steps; the others make the backward-forward solver fail before anything is changed.
template <class T>
class Transformer : public ElementImpl<T, TransformerBase> {
 public:
  using ElementImpl<T, TransformerBase>::ElementImpl;

  void backward() override {
    throw std::runtime_error("2 No backward-forward method has been defined for transformers yet.");
  }
};

// Single-phase: ports HV phase, HV return (side 1), LV phase, LV return (side 2). The series
// impedance z2 lies between the ideal winding, at k·U1, and the LV terminals.
class SingleTransformer : public Transformer<SingleTransformer> {
 public:
  using Transformer::eval_currents;

  SingleTransformer(const Complex& z2, const Complex& ym, Complex k) : Transformer(2, 2, z2, ym, k) {}

  // I2 = (U2 − k·U1)/z2 enters at the LV phase port; I1 = ym·U1 − conj(k)·I2 at the HV phase port;
  // each return port carries the opposite current.
  template <class C>
  void eval_currents() {
    const VectorOf<C> v1 = side_potentials<C>(1);
    const VectorOf<C> v2 = side_potentials<C>(2);
    const C y = reciprocal(z2.as<C>());
    const C ratio = k.as<C>();
    const C u1 = v1(0) - v1(1);
    const C u2 = v2(0) - v2(1);
    const C i2 = y * (u2 - ratio * u1);
    const C i1 = ym.as<C>() * u1 - std::conj(ratio) * i2;
    side1_ports[0]->current_as<C>() = i1;
    side1_ports[1]->current_as<C>() = -i1;
    side2_ports[0]->current_as<C>() = i2;
    side2_ports[1]->current_as<C>() = -i2;
  }

  // The LV phase port takes what the rest of its node draws; side 1 follows by the law.
  void backward() override;
  // Writes k·U1 + z2·I2 + V(LV return) into the LV phase node (stored value and linked slot) and
  // returns the larger of the absolute real and imaginary parts of the change; a change that is
  // not a number counts as infinite.
  double forward() override;

  // uhv, ulv: rated voltages across the windings.
  std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv, double sn) override;
  std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv, double sn) override;
};

// Single-phase with a split LV winding: ports HV phase, HV return (side 1), LV terminals a, b
// and the centre tap n (side 2). Each half-winding carries half the voltage and half of z2; only
// the real part of k enters the currents.
class CenterTransformer : public Transformer<CenterTransformer> {
 public:
  using Transformer::eval_currents;

  CenterTransformer(const Complex& z2, const Complex& ym, double k) : Transformer(2, 3, z2, ym, Complex(k, 0.0)) {}

  template <class C>
  void eval_currents() {
    using Real = typename C::value_type;
    const VectorOf<C> v1 = side_potentials<C>(1);
    const VectorOf<C> v2 = side_potentials<C>(2);
    const C u1 = v1(0) - v1(1);
    const Real h = k.as<C>().real() * 0.5;
    const C z = z2.as<C>() * Real(0.5);
    const C i2a = quotient(v2(0) - (u1 * h + v2(2)), z);
    const C i2b = quotient(v2(1) - (v2(2) - u1 * h), z);
    const C i1 = ym.as<C>() * u1 - (i2a - i2b) * h;
    side1_ports[0]->current_as<C>() = i1;
    side1_ports[1]->current_as<C>() = -i1;
    side2_ports[0]->current_as<C>() = i2a;
    side2_ports[1]->current_as<C>() = i2b;
    side2_ports[2]->current_as<C>() = (-i2a) - i2b;
  }

  // uhv: rated HV winding voltage; ulv: rated voltage between the LV terminals a and b.
  std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv, double sn) override;
  std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv, double sn) override;
};

// Three-phase two-winding transformer of any usual vector group: HV winding "D" or "Y", LV
// winding "d", "y" or "z", and a clock number giving the phase shift in steps of 30 degrees.
// Ports: n1 HV ports (phases a, b, c, then the HV neutral if n1 = 4), then n2 LV ports likewise.
// The windings are turned once into constant real matrices; only the real part of k enters the
// currents.
class ThreePhaseTransformer : public Transformer<ThreePhaseTransformer> {
 public:
  using Transformer::eval_currents;

  // Throws std::length_error "vector::reserve" when n1 + n2 is negative, then
  // std::runtime_error "Bad HV winding: <whv>", then "Bad LV winding: <wlv>", for a winding
  // name other than those above (case matters), and std::invalid_argument for a side whose ports
  // cannot carry its winding: every side needs its three phase ports plus, for a star or zigzag
  // winding, the neutral (a delta side may have a fourth port, whose potential is not used and
  // which carries minus the sum of the phase currents). Nothing is built when it throws. The
  // clock number is not checked: values outside 0 .. 11 take the rows of the non-listed clocks.
  ThreePhaseTransformer(int n1, int n2, const std::string& whv, const std::string& wlv, const Complex& z2,
                        const Complex& ym, double k, int clock);

  template <class C>
  void eval_currents() {
    using Real = typename C::value_type;
    using RealMatrix3 = Eigen::Matrix<Real, 3, 3>;
    const Real ratio = k.as<C>().real();
    const RealMatrix3 kB = B.cast<Real>() * ratio;
    const RealMatrix3 kK = K.cast<Real>() * ratio;
    const VectorOf<C> u1 = apply(W1, side_potentials<C>(1));
    const VectorOf<C> u2 = apply(W2, side_potentials<C>(2));
    const C oy = reciprocal(z2.as<C>()) * Real(orientation);
    const VectorOf<C> shifted = apply(kB, u1);
    VectorOf<C> i2(3);
    for (Eigen::Index i = 0; i < 3; ++i) i2(i) = oy * (u2(i) - shifted(i));
    const C magnetising = ym.as<C>();
    VectorOf<C> hv_windings = apply(kK, i2);
    for (Eigen::Index i = 0; i < 3; ++i) hv_windings(i) = magnetising * u1(i) + hv_windings(i);
    write_phase_currents<C>(side1_ports, apply(A1, hv_windings));
    write_phase_currents<C>(side2_ports, apply(A2, i2));
  }

  // uhv, ulv: rated phase-to-phase voltages; sn: rated three-phase apparent power.
  std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv, double sn) override;
  std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv, double sn) override;

  // A1: HV winding currents → HV phase currents. W1: HV port potentials → HV winding voltages
  // (3×3 for delta, 3×4 for star). A2 and B carry the orientation: LV winding currents → LV phase
  // currents, and HV winding voltages → LV windings. W2: LV port potentials → LV winding voltages.
  // K: LV winding currents → HV windings.
  Eigen::Matrix3d A1;
  Eigen::MatrixXd W1;
  Eigen::Matrix3d A2;
  Eigen::Matrix3d B;
  Eigen::MatrixXd W2;
  Eigen::Matrix3d K;
  double orientation;
  int clock;
  std::string whv;
  std::string wlv;

 private:
  // The circuit tests put 0 on the fourth port of each side that has one.
  void add_neutral_drives(std::vector<std::pair<Port*, Complex>>& drives) const;

  // A real matrix times a complex vector in the arithmetic C: each complex entry is multiplied by
  // its real coefficient and the products are summed.
  template <class M, class C>
  static VectorOf<C> apply(const M& m, const VectorOf<C>& v) {
    VectorOf<C> out(m.rows());
    for (Eigen::Index i = 0; i < m.rows(); ++i) {
      C sum{};
      for (Eigen::Index j = 0; j < m.cols(); ++j) sum += m(i, j) * v(j);
      out(i) = sum;
    }
    return out;
  }

  // The three phase currents to ports 0 .. 2 of a side; a fourth port takes minus their sum.
  template <class C>
  static void write_phase_currents(const std::vector<Port*>& side, const VectorOf<C>& phases) {
    C neutral{};
    for (std::size_t i = 0; i < 3; ++i) {
      side[i]->current_as<C>() = phases(static_cast<Eigen::Index>(i));
      neutral -= phases(static_cast<Eigen::Index>(i));
    }
    if (side.size() > 3) side.back()->current_as<C>() = neutral;
  }
};
