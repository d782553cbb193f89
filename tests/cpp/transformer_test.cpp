// The transformer parameters, the single-phase and the center-tapped transformer: their laws in
// both arithmetics (checked by the energy balance of the windings), their sweep steps and their
// open-circuit and short-circuit tests.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "branches/transformer.hpp"
#include "core/nodal_elements.hpp"
#include "taped_network.hpp"
#include "test_checks.hpp"

namespace {
// ---------------------------------------------------------------------------------------------
// Parameters shared by every kind

TEST(TransformerParameters, DeclaredAsSixRealsAndUpdatedWithTheirSlots) {
  SingleTransformer transformer({1.0, 2.0}, {3.0, 4.0}, {5.0, 6.0});
  std::vector<double> p0{-1.0};
  transformer.declare_dynamic_variables(p0);
  EXPECT_EQ(p0, (std::vector<double>{-1.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0}));

  transformer.update_transformer_parameters({7.0, 0.0}, {0.0, 8.0}, {9.0, -1.0});
  EXPECT_FALSE(transformer.z2.linked);
  EXPECT_EQ(transformer.k.value, Complex(9.0, -1.0));

  VectorXd pd = VectorXd::Zero(8);
  const VectorXAD p = pd.cast<AD>();
  int idx = 1;
  transformer.link_dynamic_variables(p, pd, idx);
  EXPECT_EQ(idx, 7);
  EXPECT_EQ(transformer.ym.value_ptr, pd.data() + 3);
  EXPECT_EQ(transformer.ym.get_value(), Complex());  // read from the (zeroed) slot once linked

  transformer.update_transformer_parameters({1.5, 0.5}, {0.0, -2.0}, {0.25, 0.0});
  EXPECT_EQ(pd, (VectorXd(8) << 0.0, 1.5, 0.5, 0.0, -2.0, 0.25, 0.0, 0.0).finished());
  EXPECT_EQ(transformer.z2.value, Complex(1.5, 0.5));
}

// ---------------------------------------------------------------------------------------------
// Single-phase transformer

const Complex kHv[2] = {{230.0, 15.0}, {3.0, -2.0}};
const Complex kLv[2] = {{118.0, 31.0}, {-1.0, 0.5}};

// A single-phase transformer between two buses carrying fixed potentials.
struct SingleBench {
  SingleBench(const Complex& z2, const Complex& ym, const Complex& k) : transformer(z2, ym, k) {
    transformer.connect_side(hv, {{0, 0}, {1, 1}}, true);
    transformer.connect_side(lv, {{0, 0}, {1, 1}}, false);
  }
  Complex u1() const { return kHv[0] - kHv[1]; }
  Complex u2() const { return kLv[0] - kLv[1]; }

  Bus hv{2, kHv};
  Bus lv{2, kLv};
  SingleTransformer transformer;
};

// The series impedance carries the difference between the LV terminals and the ideal winding,
// the HV side carries the magnetising current plus the winding's reflection, and the element
// absorbs exactly what z2 and ym dissipate and store (a complex ratio included).
void expect_single_law(const SingleBench& b, const Complex& z2, const Complex& ym, const Complex& k,
                       const std::vector<Complex>& currents) {
  const Complex i1 = currents[0], i2 = currents[2];
  expect_close(b.u2(), k * b.u1() + z2 * i2);
  expect_close(i1 + std::conj(k) * i2, ym * b.u1(), 1e-10);
  EXPECT_EQ(currents[1], -i1);
  EXPECT_EQ(currents[3], -i2);
  Complex absorbed;
  for (int i = 0; i < 2; ++i) absorbed += kHv[i] * std::conj(currents[static_cast<std::size_t>(i)]);
  for (int i = 0; i < 2; ++i) absorbed += kLv[i] * std::conj(currents[static_cast<std::size_t>(i + 2)]);
  expect_close(absorbed, std::conj(ym) * std::norm(b.u1()) + z2 * std::norm(i2), 1e-10);
}

TEST(SingleTransformer, BothArithmeticsFollowTheLawAndItsUpdates) {
  Complex z2(0.4, 1.2), ym(2e-4, -1e-3), k = std::polar(0.5, 0.3);
  SingleBench b(z2, ym, k);
  TapedNetwork taped({&b.transformer});
  const auto expect_both = [&] {
    b.transformer.eval_currents(false);
    expect_single_law(b, z2, ym, k, currents_of(b.transformer));
    const std::vector<Complex> recorded = taped.evaluate().currents[0];
    expect_single_law(b, z2, ym, k, recorded);
  };
  ASSERT_EQ(taped.pd.size(), 6);
  expect_both();

  z2 = {0.1, 0.3};
  ym = {0.0, -5e-4};
  k = {-0.25, 0.4};
  b.transformer.update_transformer_parameters(z2, ym, k);
  expect_both();
}

TEST(SingleTransformer, LosslessUnitRatioPassesTheCurrentThrough) {
  SingleBench b({0.2, 0.6}, {0.0, 0.0}, {1.0, 0.0});
  b.transformer.eval_currents(false);
  EXPECT_EQ(b.transformer.side1_ports[0]->current, -b.transformer.side2_ports[0]->current);
}

// Backward: the LV phase port takes what the rest of its node draws (the return port counts when
// it shares the node), and the HV side follows by the law at the present HV voltage.
TEST(SingleTransformer, BackwardTakesTheCurrentDrawnDownstream) {
  const Complex ym(1e-3, -2e-3), k(0.5, 0.1);
  SingleBench b({0.2, 0.6}, ym, k);
  b.lv.ports[0].current = Complex(3.0, -1.0);
  b.transformer.backward();
  EXPECT_EQ(b.transformer.side2_ports[0]->current, Complex(-3.0, 1.0));
  EXPECT_EQ(b.transformer.side2_ports[1]->current, Complex(3.0, -1.0));
  expect_close(b.transformer.side1_ports[0]->current, ym * b.u1() - std::conj(k) * Complex(-3.0, 1.0));
  EXPECT_EQ(b.transformer.side1_ports[1]->current, -b.transformer.side1_ports[0]->current);

  // Both LV ports on one node: the return port's current counts.
  SingleTransformer shorted({0.2, 0.6}, ym, k);
  const int both[2] = {2, 3};
  shorted.connect_ports(both, 2);
  shorted.side2_ports[1]->current = Complex(1.0, 2.0);
  shorted.backward();
  EXPECT_EQ(shorted.side2_ports[0]->current, Complex(-1.0, -2.0));
}

TEST(SingleTransformer, ForwardWritesTheLvPhaseNodeAndReportsTheLargerPart) {
  const Complex z2(0.2, 0.6), k(0.5, 0.1);
  SingleBench b(z2, {0.0, 0.0}, k);
  const TapedNetwork taped({&b.transformer});  // links the nodes to taped.xd
  const Complex i2(-4.0, 2.0);
  b.transformer.side2_ports[0]->current = i2;
  const Complex expected = k * b.u1() + z2 * i2 + kLv[1];

  const double change = b.transformer.forward();
  const Complex written = b.transformer.get_port_potential(2);
  expect_close(written, expected);
  const Complex difference = expected - kLv[0];
  EXPECT_NEAR(change, std::max(std::abs(difference.real()), std::abs(difference.imag())), 1e-12);
  const auto& potential = b.transformer.side2_ports[0]->connection->potential;
  EXPECT_EQ(Complex(potential.value_ptr[0], potential.value_ptr[1]), written);
  EXPECT_EQ(b.transformer.forward(), 0.0);
}

TEST(SingleTransformer, ForwardIntoAReferenceNodeReportsTheWrittenValue) {
  SingleTransformer transformer({1.0, 0.0}, {0.0, 0.0}, {1.0, 0.0});
  PotentialRef reference;
  transformer.connect(reference, {{2, 0}});
  transformer.side2_ports[0]->current = Complex(-3.0, 7.0);
  EXPECT_EQ(transformer.forward(), 7.0);
  EXPECT_EQ(transformer.side2_ports[0]->connection->potential.value, Complex(-3.0, 7.0));
  EXPECT_EQ(transformer.get_port_potential(2), Complex());

  // A change that is not a number does not read as convergence.
  transformer.side2_ports[0]->current = Complex(std::nan(""), 0.0);
  EXPECT_EQ(transformer.forward(), std::numeric_limits<double>::infinity());
}

// Open circuit: the secondary is driven at the rated voltage in phase with the ratio. With the
// ideal ratio nothing but the magnetising current flows, so the losses are Re(ym)·uhv².
TEST(SingleTransformer, OpenCircuitTestDrivesRatedVoltages) {
  const double uhv = 20000.0, ulv = 230.0, sn = 50000.0, phase = 0.4;
  const Complex ym(3e-7, -2e-6);
  SingleTransformer transformer({0.05, 0.1}, ym, std::polar(ulv / uhv, phase));
  const TapedNetwork taped({&transformer});
  const auto [p0, i0] = transformer.compute_open_circuit_parameters(uhv, ulv, sn);
  EXPECT_EQ(transformer.get_port_potential(0), Complex(uhv, 0.0));
  EXPECT_EQ(transformer.get_port_potential(1), Complex());
  expect_close(transformer.get_port_potential(2), std::polar(ulv, phase));
  EXPECT_EQ(transformer.ports[2].connection->potential.value_ptr[0], transformer.get_port_potential(2).real());
  EXPECT_NEAR(p0, ym.real() * uhv * uhv, 1e-9);
  EXPECT_NEAR(i0, std::abs(ym) * uhv / (sn / uhv), 1e-12);

  SingleTransformer ideal({0.05, 0.1}, {0.0, 0.0}, std::polar(ulv / uhv, phase));
  const auto [q0, j0] = ideal.compute_open_circuit_parameters(uhv, ulv, sn);
  EXPECT_NEAR(q0, 0.0, 1e-9);
  EXPECT_NEAR(j0, 0.0, 1e-12);
}

// Short circuit: vsc = sn·|z2|/ulv², independent of ym and k; the HV phase is driven at uhv·vsc
// with every other port at 0, so the losses are Re(ym)·(uhv·vsc)² + Re(z2)·|k·uhv·vsc/z2|².
TEST(SingleTransformer, ShortCircuitTestDrivesTheRatedCurrent) {
  const Complex z2(0.3, 0.4), ym(1e-3, -1e-2), k(0.5, -0.2);
  SingleTransformer transformer(z2, ym, k);
  const auto [psc, vsc] = transformer.compute_short_circuit_parameters(100.0, 1.0, 1.0);
  EXPECT_DOUBLE_EQ(vsc, 0.5);
  const double u = 100.0 * vsc;
  EXPECT_EQ(transformer.get_port_potential(0), Complex(u, 0.0));
  for (int i = 1; i < 4; ++i) EXPECT_EQ(transformer.get_port_potential(i), Complex());
  EXPECT_NEAR(psc, ym.real() * u * u + z2.real() * std::norm(k * u / z2), 1e-9);

  SingleTransformer other(z2, {0.0, 0.0}, {2.0, 0.0});
  EXPECT_DOUBLE_EQ(other.compute_short_circuit_parameters(100.0, 1.0, 2.0).second, 1.0);  // doubled sn
}

// ---------------------------------------------------------------------------------------------
// Center-tapped transformer

const Complex kSplit[3] = {{121.0, 4.0}, {-117.0, -6.0}, {1.5, 0.5}};  // a, b, centre tap

struct CenterBench {
  CenterBench(const Complex& z2, const Complex& ym, double k, const Complex* lv_potentials = kSplit)
      : lv(3, lv_potentials), transformer(z2, ym, k) {
    transformer.connect_side(hv, {{0, 0}, {1, 1}}, true);
    transformer.connect_side(lv, {{0, 0}, {1, 1}, {2, 2}}, false);
  }
  Complex u1() const { return kHv[0] - kHv[1]; }

  Bus hv{2, kHv};
  Bus lv;
  CenterTransformer transformer;
};

// Each half-winding holds ±(k/2)·U1 behind z2/2; the element absorbs what z2/2 and ym take, the
// three LV currents sum to zero and the HV currents are opposite.
void expect_center_law(const CenterBench& b, const Complex& z2, const Complex& ym, double k,
                       const std::vector<Complex>& currents) {
  const Complex h = 0.5 * k * b.u1();
  const Complex va = b.lv.get_port_potential(0), vb = b.lv.get_port_potential(1), vn = b.lv.get_port_potential(2);
  expect_close(va - vn, h + 0.5 * z2 * currents[2], 1e-10);
  expect_close(vb - vn, -h + 0.5 * z2 * currents[3], 1e-10);
  EXPECT_LE(std::abs(currents[2] + currents[3] + currents[4]), 1e-12);
  EXPECT_EQ(currents[1], -currents[0]);
  Complex absorbed;
  for (int i = 0; i < 2; ++i) absorbed += kHv[i] * std::conj(currents[static_cast<std::size_t>(i)]);
  for (int i = 0; i < 3; ++i) absorbed += b.lv.get_port_potential(i) * std::conj(currents[static_cast<std::size_t>(i + 2)]);
  expect_close(absorbed, std::conj(ym) * std::norm(b.u1()) + 0.5 * z2 * (std::norm(currents[2]) + std::norm(currents[3])),
               1e-10);
}

TEST(CenterTransformer, BothArithmeticsFollowTheLawAndItsUpdates) {
  Complex z2(0.02, 0.05), ym(1e-4, -4e-4);
  double k = 1.05;
  CenterBench b(z2, ym, k);
  TapedNetwork taped({&b.transformer});
  const auto expect_both = [&] {
    b.transformer.eval_currents(false);
    expect_center_law(b, z2, ym, k, currents_of(b.transformer));
    expect_center_law(b, z2, ym, k, taped.evaluate().currents[0]);
  };
  expect_both();

  z2 = {0.04, 0.02};
  ym = {0.0, 0.0};
  k = 0.95;
  // Only the real part of a complex ratio enters the currents.
  b.transformer.update_transformer_parameters(z2, ym, {k, 0.7});
  expect_both();
}

TEST(CenterTransformer, IdealSecondaryDrawsOnlyTheMagnetisingCurrent) {
  const double k = 0.5;
  const Complex u1 = kHv[0] - kHv[1], tap(2.0, -1.0);
  const Complex ideal[3] = {0.5 * k * u1 + tap, tap - 0.5 * k * u1, tap};
  const Complex ym(1e-4, -4e-4);
  CenterBench b({0.02, 0.05}, ym, k, ideal);
  b.transformer.eval_currents(false);
  const std::vector<Complex> currents = currents_of(b.transformer);
  EXPECT_LE(std::abs(currents[2]), 1e-12);
  EXPECT_LE(std::abs(currents[3]), 1e-12);
  expect_close(currents[0], ym * u1);
}

// Open circuit: ±uhv/2 on the HV ports, ±ulv/2 on the LV terminals turned by the ratio's
// argument; at the ideal ratio only the magnetising current flows.
TEST(CenterTransformer, OpenCircuitTestDrivesRatedVoltages) {
  const double uhv = 20000.0, ulv = 240.0, sn = 25000.0;
  const Complex ym(2e-7, -1e-6);
  CenterTransformer transformer({0.01, 0.02}, ym, ulv / uhv);
  const auto [p0, i0] = transformer.compute_open_circuit_parameters(uhv, ulv, sn);
  const Complex driven[5] = {0.5 * uhv, -0.5 * uhv, 0.5 * ulv, -0.5 * ulv, 0.0};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(transformer.get_port_potential(i), driven[i]) << i;
  EXPECT_NEAR(p0, ym.real() * uhv * uhv, 1e-9);
  EXPECT_NEAR(i0, std::abs(ym) * uhv / (sn / uhv), 1e-12);

  // A negative ratio turns the secondary by π.
  CenterTransformer reversed({0.01, 0.02}, ym, -ulv / uhv);
  const auto [q0, j0] = reversed.compute_open_circuit_parameters(uhv, ulv, sn);
  expect_close(reversed.get_port_potential(2), -0.5 * ulv);
  EXPECT_NEAR(q0, p0, 1e-9);
  EXPECT_NEAR(j0, i0, 1e-12);
}

TEST(CenterTransformer, ShortCircuitTestDrivesTheRatedCurrent) {
  const Complex z2(0.3, 0.4), ym(1e-3, -1e-2);
  const double k = 0.5, uhv = 100.0;
  CenterTransformer transformer(z2, ym, k);
  const auto [psc, vsc] = transformer.compute_short_circuit_parameters(uhv, 2.0, 4.0);
  EXPECT_DOUBLE_EQ(vsc, 0.5);
  const double f = uhv * vsc * 0.5;
  EXPECT_EQ(transformer.get_port_potential(0), Complex(f, 0.0));
  EXPECT_EQ(transformer.get_port_potential(1), Complex(-f, 0.0));
  for (int i = 2; i < 5; ++i) EXPECT_EQ(transformer.get_port_potential(i), Complex());
  // Each half-winding short-circuits (k/2)·U1 through z2/2.
  const double u1 = 2.0 * f;
  EXPECT_NEAR(psc, ym.real() * u1 * u1 + 2.0 * 0.5 * z2.real() * std::norm(0.5 * k * u1 / (0.5 * z2)), 1e-9);
}
}  // namespace
