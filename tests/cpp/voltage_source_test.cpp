// Star and delta voltage sources: records, current laws, internal rows, sweep steps and solves.
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "core/nodal_elements.hpp"
#include "core/voltage_source.hpp"
#include "taped_network.hpp"

namespace {

void expect_near(const Complex& actual, const Complex& expected, double tolerance = 1e-9) {
  EXPECT_LE(std::abs(actual - expected), tolerance) << "actual " << actual << ", expected " << expected;
}

std::vector<double> flat(std::initializer_list<Complex> values) {
  std::vector<double> out;
  for (const Complex& z : values) {
    out.push_back(z.real());
    out.push_back(z.imag());
  }
  return out;
}

// Σ V·conj(I) over every port of every element: with all port currents entering their element,
// the powers of a solved network sum to zero.
Complex total_power(const std::vector<Element*>& elements) {
  Complex total;
  for (const Element* element : elements)
    for (int i = 0; i < static_cast<int>(element->ports.size()); ++i)
      total += element->get_port_potential(i) * std::conj(element->get_port_current(i));
  return total;
}

const Complex three_phase[] = {{230, 0}, {-115, -199.186}, {-115, 199.186}};

// ---------------------------------------------------------------------------------------------
// Behaviour shared by both kinds

template <class Source>
class AnySource : public testing::Test {};

using SourceKinds = testing::Types<VoltageSource, DeltaVoltageSource>;

class SourceKindNames {
 public:
  template <class T>
  static std::string GetName(int) {
    return std::is_same_v<T, VoltageSource> ? "Star" : "Delta";
  }
};

TYPED_TEST_SUITE(AnySource, SourceKinds, SourceKindNames);

TYPED_TEST(AnySource, HoldsNMinusOneVoltagesAndZeroCurrents) {
  TypeParam source(4, three_phase);
  ASSERT_EQ(source.ports.size(), 4u);
  ASSERT_EQ(source.voltages.size(), 3u);
  ASSERT_EQ(source.currents.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(source.voltages[i].value, three_phase[i]);
    EXPECT_EQ(source.currents[i].value, Complex());
    EXPECT_FALSE(source.voltages[i].linked);
    EXPECT_FALSE(source.currents[i].linked);
  }
}

TYPED_TEST(AnySource, DeclaresCurrentsAsUnknownsAndVoltagesAsParametersInOrder) {
  const Complex u[] = {{1, 2}, {3, 4}};
  TypeParam source(3, u);
  source.currents[0].value = {5, 6};
  std::vector<double> x0{8}, p0;
  source.declare_independent_variables(x0);
  source.declare_dynamic_variables(p0);
  EXPECT_EQ(x0, (std::vector<double>{8, 5, 6, 0, 0}));
  EXPECT_EQ(p0, flat({u[0], u[1]}));

  VectorXAD x = VectorXAD::Zero(7);
  VectorXd xd = VectorXd::Zero(7), pd = VectorXd::Zero(7);
  int ix = 1, ip = 2;
  source.link_independent_variables(x, xd, ix);
  source.link_dynamic_variables(x, pd, ip);
  EXPECT_EQ(ix, 5);
  EXPECT_EQ(ip, 6);
  EXPECT_EQ(source.currents[0].value_ptr, xd.data() + 1);
  EXPECT_EQ(source.currents[1].value_ptr, xd.data() + 3);
  EXPECT_EQ(source.voltages[0].value_ptr, pd.data() + 2);
  EXPECT_EQ(source.voltages[1].value_ptr, pd.data() + 4);
}

TYPED_TEST(AnySource, OnePortSourceHasNoRecordsAndAZeroCurrent) {
  const Complex start(7, 7);
  TypeParam source(1, nullptr);
  source.ports[0].connection->potential.value = start;
  std::vector<double> x0, p0;
  source.declare_independent_variables(x0);
  source.declare_dynamic_variables(p0);
  EXPECT_TRUE(x0.empty());
  EXPECT_TRUE(p0.empty());
  VectorXAD eqs = VectorXAD::Zero(2);
  int idx = 0;
  source.add_internal_equations(eqs, idx);
  EXPECT_EQ(idx, 0);

  source.ports[0].current = {1, 1};
  source.eval_currents(false);
  EXPECT_EQ(source.get_port_current(0), Complex());
  EXPECT_FALSE(std::signbit(source.get_port_current(0).real()));
  EXPECT_FALSE(std::signbit(source.get_port_current(0).imag()));
  source.eval_currents(true);
  EXPECT_TRUE(is_constant_zero(source.ports[0].current_ad));

  // The backward step negates an empty sum: both parts are -0.0.
  source.backward();
  EXPECT_EQ(source.get_port_current(0), Complex());
  EXPECT_TRUE(std::signbit(source.get_port_current(0).real()));
  EXPECT_TRUE(std::signbit(source.get_port_current(0).imag()));

  EXPECT_EQ(source.forward(), 0.0);
  EXPECT_EQ(source.get_port_potential(0), start);
}

TYPED_TEST(AnySource, PlainCurrentsAreTheRecordsAndMinusTheirSum) {
  TypeParam source(4, three_phase);
  const Complex i[] = {{1, -1}, {2, 0.5}, {-4, 3}};
  for (std::size_t k = 0; k < 3; ++k) source.currents[k].value = i[k];
  source.eval_currents(false);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(source.get_port_current(k), i[k]);
  EXPECT_EQ(source.get_port_current(3), Complex() - i[0] - i[1] - i[2]);

  TapedNetwork network({&source});
  network.xd.tail(6) << 10, 0, 0, 20, -30, -30;
  source.eval_currents(false);
  EXPECT_EQ(source.get_port_current(1), Complex(0, 20)) << "linked, the solver's values";
  EXPECT_EQ(source.get_port_current(3), Complex(20, 10));
}

TYPED_TEST(AnySource, RecordedCurrentsAreTheUnknowns) {
  TypeParam source(3, three_phase);
  TapedNetwork network({&source});
  ASSERT_EQ(network.unknowns(), 10);  // three nodes, two currents
  const Complex i0(1, 2), i1(-3, 5);
  network.xd.tail(4) << i0.real(), i0.imag(), i1.real(), i1.imag();
  EXPECT_EQ(network.evaluate().currents[0], (std::vector<Complex>{i0, i1, -(i0 + i1)}));
}

TYPED_TEST(AnySource, UpdateVoltagesSetsEveryRecordInOrder) {
  TypeParam unlinked(3, three_phase);
  const Complex updated[] = {{100, 1}, {200, 2}};
  unlinked.update_voltages(updated);
  EXPECT_EQ(unlinked.voltages[0].value, updated[0]);
  EXPECT_EQ(unlinked.voltages[1].value, updated[1]);

  TypeParam linked(3, three_phase);
  TapedNetwork network({&linked});
  linked.update_voltages(updated);
  EXPECT_EQ(std::vector<double>(network.pd.data(), network.pd.data() + 4), flat({updated[0], updated[1]}));
  EXPECT_EQ(linked.voltages[1].value, updated[1]);
}

// ---------------------------------------------------------------------------------------------
// Internal rows

class StarSourceEquations : public testing::TestWithParam<bool> {};

TEST_P(StarSourceEquations, ImposePhaseToNeutralVoltages) {
  const bool neutral_on_reference = GetParam();
  VoltageSource source(3, three_phase);
  PotentialRef reference;
  std::vector<Element*> elements{&source};
  if (neutral_on_reference) {
    source.connect(reference, {{2, 0}});
    elements.push_back(&reference);
  }
  TapedNetwork network(elements);
  const Complex v0(10, 1), v1(-4, 7), neutral = neutral_on_reference ? Complex() : Complex(0.5, -2);
  // The parameters change after recording: the rows must follow them.
  const Complex u0(3, 3), u1(-1, 8);
  network.pd << u0.real(), u0.imag(), u1.real(), u1.imag();
  VectorXd& x = network.xd;
  x.head(4) << v0.real(), v0.imag(), v1.real(), v1.imag();
  if (!neutral_on_reference) x.segment(4, 2) << neutral.real(), neutral.imag();

  const std::vector<double> residuals = network.evaluate().residuals;
  const std::size_t first = neutral_on_reference ? 4 : 6;  // after the Kirchhoff rows
  const std::vector<double> rows(residuals.begin() + static_cast<long>(first), residuals.begin() + static_cast<long>(first) + 4);
  EXPECT_EQ(rows, flat({(v0 - neutral) - u0, (v1 - neutral) - u1}));
}

INSTANTIATE_TEST_SUITE_P(Neutral, StarSourceEquations, testing::Bool(),
                         [](const auto& info) { return info.param ? "OnReference" : "Floating"; });

TEST(DeltaSourceEquations, ImposeVoltagesBetweenConsecutivePortsWithoutWrap) {
  DeltaVoltageSource source(4, three_phase);
  TapedNetwork network({&source});
  const Complex v[] = {{1, 2}, {-3, 4}, {5, -6}, {0.5, 0.25}};
  for (int k = 0; k < 4; ++k) network.xd.segment(2 * k, 2) << v[k].real(), v[k].imag();
  const std::vector<double> residuals = network.evaluate().residuals;
  const std::vector<double> rows(residuals.begin() + 8, residuals.end());
  EXPECT_EQ(rows, flat({(v[0] - v[1]) - three_phase[0], (v[1] - v[2]) - three_phase[1], (v[2] - v[3]) - three_phase[2]}));
}

// ---------------------------------------------------------------------------------------------
// Backward step

// Loads with known currents on the source's nodes; the source's ports 0 and 1 share one node so
// that the second sees the current just set on the first.
class SourceBackward : public testing::Test {
 protected:
  const Complex l0{2, -1}, l1{0.5, 3}, l2{-7, 4}, stale{100, 100};
  Bus load{3};

  template <class Source>
  void attach(Source& source) {
    load.ports[0].current = l0;
    load.ports[1].current = l1;
    load.ports[2].current = l2;
    load.connect(source, {{0, 0}, {1, 2}, {2, 3}});
    const int joined[] = {0, 1};
    source.connect_ports(joined, 2);  // node 0 lists: load 0, source 0, source 1
    for (Port& port : source.ports) port.current = stale;
  }
};

TEST_F(SourceBackward, StarTakesWhatEachNodeDrawsAndTheNeutralTheNegatedSum) {
  VoltageSource source(4, three_phase);
  attach(source);
  source.backward();
  const Complex i0 = -(l0 + stale);  // source port 1 still holds its old current
  const Complex i1 = -(l0 + i0);
  const Complex i2 = -l1;
  EXPECT_EQ(source.get_port_current(0), i0);
  EXPECT_EQ(source.get_port_current(1), i1);
  EXPECT_EQ(source.get_port_current(2), i2);
  EXPECT_EQ(source.get_port_current(3), -(i0 + i1 + i2));
}

TEST_F(SourceBackward, DeltaWalksPortsOneOnwardsAndGivesPortZeroTheNegatedSum) {
  DeltaVoltageSource source(4, three_phase);
  attach(source);
  source.backward();
  const Complex i1 = -(l0 + stale);  // source port 0 still holds its old current
  const Complex i2 = -l1;
  const Complex i3 = -l2;
  EXPECT_EQ(source.get_port_current(1), i1);
  EXPECT_EQ(source.get_port_current(2), i2);
  EXPECT_EQ(source.get_port_current(3), i3);
  EXPECT_EQ(source.get_port_current(0), -(i1 + i2 + i3));
}

TEST(SourceBackwardDisconnected, PortOutOfItsListTakesMinusWhatRemains) {
  VoltageSource source(2, three_phase);
  Bus load(1);
  load.ports[0].current = {3, -2};
  load.connect(source, {{0, 0}});
  source.ports[0].disconnect();
  source.backward();
  EXPECT_EQ(source.get_port_current(0), Complex(-3, 2));

  load.disconnect();
  source.backward();
  EXPECT_EQ(source.get_port_current(0), Complex());
  EXPECT_TRUE(std::signbit(source.get_port_current(0).real()));
  EXPECT_TRUE(std::signbit(source.get_port_current(0).imag()));
}

// ---------------------------------------------------------------------------------------------
// Forward step

TEST(StarSourceForward, WritesExactlyTheVoltagesWhenTheNeutralIsAReference) {
  VoltageSource source(4, three_phase);
  PotentialRef reference;
  source.connect(reference, {{3, 0}});
  EXPECT_EQ(source.forward(), 0.0);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(source.get_port_potential(k), three_phase[k]);
}

TEST(StarSourceForward, AddsTheVoltagesToTheNeutralAndLeavesTheNeutral) {
  VoltageSource source(3, three_phase);
  const Complex neutral(1, -1);
  source.ports[2].connection->potential.value = neutral;
  source.forward();
  EXPECT_EQ(source.get_port_potential(0), neutral + three_phase[0]);
  EXPECT_EQ(source.get_port_potential(1), neutral + three_phase[1]);
  EXPECT_EQ(source.get_port_potential(2), neutral);
}

// The neutral is read again for every phase: a phase port on the neutral's node moves it, and the
// later phases follow.
TEST(StarSourceForward, ReadsTheNeutralAgainForEachPhase) {
  const Complex voltages[2] = {{10.0, 0.0}, {0.0, 100.0}};
  VoltageSource source(3, voltages);
  const int neutral_and_phase0[] = {2, 0};
  source.connect_ports(neutral_and_phase0, 2);
  source.forward();
  EXPECT_EQ(source.get_port_potential(2), voltages[0]);
  EXPECT_EQ(source.get_port_potential(1), voltages[0] + voltages[1]);
}

TEST(StarSourceForward, LinkedReadsAndWritesTheSolversVectors) {
  VoltageSource source(3, three_phase);
  TapedNetwork network({&source});
  const Complex neutral(2, 2), u0(10, 0), u1(0, 10);
  network.xd.segment(4, 2) << neutral.real(), neutral.imag();
  network.pd << u0.real(), u0.imag(), u1.real(), u1.imag();  // as a solver's parameter vector
  source.forward();
  EXPECT_EQ(network.xd.head(4), (VectorXd(4) << 12, 2, 2, 12).finished());
  EXPECT_EQ(source.ports[0].connection->potential.value, neutral + u0) << "stored value written too";
}

TEST(DeltaSourceForward, RunsTheChainFromPortZero) {
  DeltaVoltageSource source(4, three_phase);
  const Complex start(50, -5);
  source.ports[0].connection->potential.value = start;
  EXPECT_EQ(source.forward(), 0.0);
  const Complex v1 = start - three_phase[0];
  const Complex v2 = v1 - three_phase[1];
  const Complex v3 = v2 - three_phase[2];
  EXPECT_EQ(source.get_port_potential(0), start);
  EXPECT_EQ(source.get_port_potential(1), v1);
  EXPECT_EQ(source.get_port_potential(2), v2);
  EXPECT_EQ(source.get_port_potential(3), v3);
}

TEST(DeltaSourceForward, PortZeroOnAReferenceStartsTheChainAtZero) {
  DeltaVoltageSource source(3, three_phase);
  PotentialRef reference;
  source.connect(reference, {{0, 0}});
  source.forward();
  EXPECT_EQ(source.get_port_potential(1), Complex() - three_phase[0]);
  EXPECT_EQ(source.get_port_potential(2), Complex() - three_phase[0] - three_phase[1]);
}

// ---------------------------------------------------------------------------------------------
// Solves on the recorded system

TEST(StarSourceSolve, ImposesItsVoltagesAndFeedsItsLoadsAgainAfterAnUpdate) {
  // Phase 0 feeds a load to the neutral, phase 1 a load to a second, separate reference.
  const Complex u[] = {{230, 0}, {-115, -199.186}};
  const Complex y0(0.1, -0.05), y1(0.02, 0.04);
  VoltageSource source(3, u);
  PotentialRef neutral_reference, earth;
  SeriesAdmittance load0(y0), load1(y1);
  source.connect(neutral_reference, {{2, 0}});
  source.connect(load0, {{0, 0}, {2, 1}});
  source.connect(load1, {{1, 0}});
  load1.connect(earth, {{1, 0}});
  const std::vector<Element*> elements{&source, &neutral_reference, &load0, &load1, &earth};
  TapedNetwork network(elements);

  for (const auto& voltages : {std::vector<Complex>(u, u + 2), std::vector<Complex>{{240, 10}, {-100, -210}}}) {
    source.update_voltages(voltages.data());
    ASSERT_LE(network.solve(), 1e-9);
    const Complex v0 = voltages[0], v1 = voltages[1];
    expect_near(source.get_port_potential(0), v0);
    expect_near(source.get_port_potential(1), v1);
    const Complex i0 = -y0 * v0, i1 = -y1 * v1;
    expect_near(source.get_port_current(0), i0);
    expect_near(source.get_port_current(1), i1);
    expect_near(source.get_port_current(2), -(i0 + i1));
    // The neutral node: the source draws y0·v0 + y1·v1 there and load 0 returns y0·v0.
    expect_near(neutral_reference.get_current(), y1 * v1);
    expect_near(earth.get_current(), -y1 * v1);
    expect_near(total_power(elements), Complex(), 1e-6);
  }
}

TEST(DeltaSourceSolve, FixesConsecutiveVoltagesAndTheirClosingSum) {
  const Complex u[] = {{400, 0}, {-200, -346.41}};
  const Complex y01(0.05, -0.02), y12(0.01, 0.03);
  DeltaVoltageSource source(3, u);
  PotentialRef reference;
  SeriesAdmittance load01(y01), load12(y12);
  source.connect(reference, {{2, 0}});
  source.connect(load01, {{0, 0}, {1, 1}});
  source.connect(load12, {{1, 0}, {2, 1}});
  const std::vector<Element*> elements{&source, &reference, &load01, &load12};
  TapedNetwork network(elements);
  ASSERT_LE(network.solve(), 1e-9);

  const Complex v0 = source.get_port_potential(0), v1 = source.get_port_potential(1),
                v2 = source.get_port_potential(2);
  expect_near(v0 - v1, u[0]);
  expect_near(v1 - v2, u[1]);
  expect_near(v2 - v0, -(u[0] + u[1]));
  const Complex i01 = y01 * u[0], i12 = y12 * u[1];
  expect_near(source.get_port_current(0), -i01);
  expect_near(source.get_port_current(1), i01 - i12);
  expect_near(source.get_port_current(2), i12);
  expect_near(total_power(elements), Complex(), 1e-6);
}

}  // namespace
