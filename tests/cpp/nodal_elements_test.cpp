// Buses, grounds, potential references and delta potential references.
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/nodal_elements.hpp"
#include "core/voltage_source.hpp"
#include "taped_network.hpp"

namespace {

void expect_near(const Complex& actual, const Complex& expected, double tolerance = 1e-9) {
  EXPECT_LE(std::abs(actual - expected), tolerance) << "actual " << actual << ", expected " << expected;
}

// ---------------------------------------------------------------------------------------------
// Kinds that draw no current

struct Passive {
  std::string name;
  std::function<std::unique_ptr<Element>()> make;
};

class PassiveNodalElement : public testing::TestWithParam<Passive> {};

TEST_P(PassiveNodalElement, DrawsNoCurrentAndOwnsNoUnknown) {
  const std::unique_ptr<Element> element = GetParam().make();
  const auto scribble = [&] {
    for (Port& port : element->ports) {
      port.current = {3, -3};
      port.current_ad = {AD(3), AD(-3)};
    }
  };
  scribble();
  element->eval_currents(false);
  for (const Port& port : element->ports) EXPECT_EQ(port.current, Complex());
  element->eval_currents(true);
  for (const Port& port : element->ports) EXPECT_TRUE(is_constant_zero(port.current_ad));
  scribble();
  element->backward();
  for (const Port& port : element->ports) EXPECT_EQ(port.current, Complex());

  std::vector<double> x0, p0;
  element->declare_independent_variables(x0);
  element->declare_dynamic_variables(p0);
  EXPECT_TRUE(x0.empty());
  EXPECT_TRUE(p0.empty());
  VectorXAD eqs = VectorXAD::Zero(2);
  int idx = 0;
  element->add_internal_equations(eqs, idx);
  EXPECT_EQ(idx, 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, PassiveNodalElement,
                         testing::Values(Passive{"Bus", [] { return std::make_unique<Bus>(3); }},
                                         Passive{"BusWithoutPorts", [] { return std::make_unique<Bus>(0); }},
                                         Passive{"Ground", [] { return std::make_unique<Ground>(); }},
                                         Passive{"PotentialRef", [] { return std::make_unique<PotentialRef>(); }}),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// Bus

TEST(Bus, ForwardLeavesItsPotentials) {
  const Complex potentials[] = {{1, 2}, {3, 4}};
  Bus bus(2, potentials);
  EXPECT_EQ(bus.forward(), 0.0);
  EXPECT_EQ(bus.get_port_potential(0), potentials[0]);
  EXPECT_EQ(bus.get_port_potential(1), potentials[1]);
}

TEST(BusInitializePotentials, BeforeAnySolverSetsTheStartValues) {
  Bus bus(2);
  const Complex v[] = {{230, 0}, {-115, -199}};
  bus.initialize_potentials(v);
  EXPECT_EQ(bus.get_port_potential(1), v[1]);
  TapedNetwork network({&bus});
  EXPECT_EQ(network.x0, (std::vector<double>{230, 0, -115, -199}));
}

TEST(BusInitializePotentials, AfterLinkingChangesTheSolversUnknownsAtOnce) {
  Bus bus(2);
  TapedNetwork network({&bus});
  const Complex v[] = {{1, -1}, {2, -2}};
  bus.initialize_potentials(v);
  EXPECT_EQ(network.xd, (VectorXd(4) << 1, -1, 2, -2).finished());
  EXPECT_EQ(bus.ports[0].connection->potential.value, v[0]);
  EXPECT_EQ(bus.ports[1].connection->potential.value, v[1]);
}

TEST(BusInitializePotentials, ASharedNodeTakesTheHighestPortsValue) {
  Bus bus(3);
  const int joined[] = {2, 0};
  bus.connect_ports(joined, 2);
  const Complex v[] = {{1, 0}, {2, 0}, {3, 0}};
  bus.initialize_potentials(v);
  EXPECT_EQ(bus.get_port_potential(0), v[2]);
  EXPECT_EQ(bus.get_port_potential(1), v[1]);
}

TEST(BusInitializePotentials, WritesTheNodeThePortHoldsNow) {
  Bus bus(1);
  const Complex other_start(9, 9);
  Bus other(1, &other_start);
  const std::shared_ptr<Connection> original = bus.ports[0].connection;
  other.connect(bus, {{0, 0}});
  const Complex v[] = {{4, 5}};
  bus.initialize_potentials(v);
  EXPECT_EQ(other.get_port_potential(0), v[0]);
  EXPECT_EQ(original->potential.value, Complex());
}

TEST(BusInitializePotentials, AReferenceNodeTakesTheValueButReadsZero) {
  Bus bus(1);
  PotentialRef reference;
  bus.connect(reference, {{0, 0}});
  const Complex v[] = {{4, 5}};
  bus.initialize_potentials(v);
  EXPECT_EQ(bus.ports[0].connection->potential.value, v[0]);
  EXPECT_EQ(bus.get_port_potential(0), Complex());
}

// ---------------------------------------------------------------------------------------------
// Ground and PotentialRef

TEST(Ground, FixesNothingByItself) {
  Ground ground;
  ASSERT_EQ(ground.ports.size(), 1u);
  EXPECT_FALSE(ground.ports[0].connection->is_reference);
  TapedNetwork network({&ground});
  EXPECT_EQ(network.unknowns(), 2) << "its node keeps both unknowns";
}

TEST(PotentialRef, MakesItsNodeAReference) {
  PotentialRef reference;
  ASSERT_EQ(reference.ports.size(), 1u);
  EXPECT_TRUE(reference.ports[0].connection->is_reference);
}

TEST(PotentialRef, CurrentIsTheSumOverItsNode) {
  PotentialRef reference;
  Bus bus(2);
  reference.connect(bus, {{0, 0}, {0, 1}});
  bus.ports[0].current = {1, 2};
  bus.ports[1].current = {3, -1};
  EXPECT_EQ(reference.get_current(), Complex(4, 1));
  bus.disconnect();
  EXPECT_EQ(reference.get_current(), Complex());
}

TEST(PotentialRef, ForwardStoresZeroAndReturnsZero) {
  PotentialRef reference;
  reference.ports[0].connection->potential.value = {5, 5};
  EXPECT_EQ(reference.forward(), 0.0);
  EXPECT_EQ(reference.ports[0].connection->potential.value, Complex());
}

// ---------------------------------------------------------------------------------------------
// DeltaPotentialRef

TEST(DeltaPotentialRef, DeclaresAndLinksItsCurrent) {
  DeltaPotentialRef reference(3);
  reference.current.value = {1, 2};
  std::vector<double> x0{7};
  reference.declare_independent_variables(x0);
  EXPECT_EQ(x0, (std::vector<double>{7, 1, 2}));

  VectorXAD x = VectorXAD::Zero(5);
  VectorXd xd = VectorXd::Zero(5);
  int idx = 3;
  reference.link_independent_variables(x, xd, idx);
  EXPECT_EQ(idx, 5);
  EXPECT_EQ(reference.current.value_ptr, xd.data() + 3);
  std::vector<double> p0;
  reference.declare_dynamic_variables(p0);
  EXPECT_TRUE(p0.empty());
}

TEST(DeltaPotentialRef, PlainCurrentIsItsRecordAtPortZeroByTheReadRule) {
  DeltaPotentialRef reference(3);
  for (Port& port : reference.ports) port.current = {8, 8};
  reference.current.value = {1, 2};
  reference.eval_currents(false);
  EXPECT_EQ(reference.get_port_current(0), Complex(1, 2));
  EXPECT_EQ(reference.get_port_current(1), Complex());
  EXPECT_EQ(reference.get_port_current(2), Complex());
  EXPECT_EQ(reference.get_current(), Complex(1, 2));

  TapedNetwork network({&reference});
  network.xd.tail(2) << -3, 4;
  reference.eval_currents(false);
  EXPECT_EQ(reference.get_current(), Complex(-3, 4)) << "linked, the solver's value";
}

TEST(DeltaPotentialRef, RecordsItsCurrentAndTheSumOfItsPotentials) {
  DeltaPotentialRef reference(3);
  PotentialRef ground;
  reference.connect(ground, {{2, 0}});
  TapedNetwork network({&reference, &ground});
  // Unknowns: V0, V1 (node 2 is a reference), then the current.
  ASSERT_EQ(network.unknowns(), 6);
  const Complex v0(1, 2), v1(3, 4), current(5, 6);
  network.xd << v0.real(), v0.imag(), v1.real(), v1.imag(), current.real(), current.imag();

  const TapedNetwork::Evaluation at = network.evaluate();
  EXPECT_EQ(at.currents[0], (std::vector<Complex>{current, {}, {}}));
  const Complex sum = v0 + v1;  // the reference node contributes 0
  EXPECT_EQ(at.residuals, (std::vector<double>{current.real(), current.imag(), 0, 0, sum.real(), sum.imag()}));
}

TEST(DeltaPotentialRef, ForwardMovesOneTwoThreeToMinusOneZeroOne) {
  const Complex potentials[] = {{1, 0}, {2, 0}, {3, 0}};
  Bus bus(3, potentials);
  DeltaPotentialRef reference(3);
  bus.connect(reference, {{0, 0}, {1, 1}, {2, 2}});
  EXPECT_EQ(reference.forward(), 6.0);
  EXPECT_EQ(bus.get_port_potential(0), Complex(-1, 0));
  EXPECT_EQ(bus.get_port_potential(1), Complex(0, 0));
  EXPECT_EQ(bus.get_port_potential(2), Complex(1, 0));
}

class DeltaPotentialRefForward : public testing::TestWithParam<std::vector<Complex>> {};

TEST_P(DeltaPotentialRefForward, ShiftsByTheMeanAndReturnsTheLargerPartOfTheSum) {
  const std::vector<Complex>& potentials = GetParam();
  const int n = static_cast<int>(potentials.size());
  Bus bus(n, potentials.data());
  DeltaPotentialRef reference(n);
  for (int i = 0; i < n; ++i) bus.connect(reference, {{i, i}});

  Complex sum;
  for (const Complex& v : potentials) sum += v;
  const Complex mean = sum / static_cast<double>(n);
  EXPECT_EQ(reference.forward(), std::max(std::abs(sum.real()), std::abs(sum.imag())));
  Complex shifted_sum;
  for (int i = 0; i < n; ++i) {
    expect_near(bus.get_port_potential(i), potentials[static_cast<std::size_t>(i)] - mean, 1e-12);
    shifted_sum += bus.get_port_potential(i);
  }
  expect_near(shifted_sum, Complex(), 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Potentials, DeltaPotentialRefForward,
                         testing::Values(std::vector<Complex>{{0, 3}, {0, -1}, {1, 1}},
                                         std::vector<Complex>{{-2, 1}, {0.5, -0.5}},
                                         std::vector<Complex>{{-230, 0}, {115, 199}, {115, -199}},
                                         std::vector<Complex>{{4, -4}}),
                         [](const auto& info) {
                           return std::string(info.index == 0   ? "ImaginaryPartLarger"
                                              : info.index == 1 ? "RealPartLarger"
                                              : info.index == 2 ? "Balanced"
                                                                : "SinglePort");
                         });

TEST(DeltaPotentialRef, ForwardShiftsANodeSharedByTwoPortsTwice) {
  const Complex potentials[] = {{1, 0}, {1, 0}, {4, 0}};
  Bus bus(3, potentials);
  DeltaPotentialRef reference(3);
  const int joined[] = {0, 1};
  reference.connect_ports(joined, 2);
  bus.connect(reference, {{0, 0}, {2, 2}});
  // Sum 1 + 1 + 4 = 6 read port by port, mean 2; the shared node moves by 2 twice.
  EXPECT_EQ(reference.forward(), 6.0);
  EXPECT_EQ(bus.get_port_potential(0), Complex(-3, 0));
  EXPECT_EQ(bus.get_port_potential(2), Complex(2, 0));
}

TEST(DeltaPotentialRef, ForwardStoresMinusTheMeanOnAReferenceNode) {
  const Complex potentials[] = {{3, 0}, {6, 3}};
  Bus bus(2, potentials);
  DeltaPotentialRef reference(3);
  PotentialRef ground;
  bus.connect(reference, {{0, 0}, {1, 1}});
  reference.connect(ground, {{2, 0}});
  const Complex mean = (potentials[0] + potentials[1]) / 3.0;
  EXPECT_EQ(reference.forward(), 9.0);
  const auto& node = reference.ports[2].connection;
  expect_near(node->potential.value, -mean, 1e-12);
  EXPECT_EQ(reference.get_port_potential(2), Complex()) << "a reference still reads 0";
  expect_near(bus.get_port_potential(0), potentials[0] - mean, 1e-12);
}

TEST(DeltaPotentialRef, ForwardWritesLinkedSlotsAndStoredValues) {
  DeltaPotentialRef reference(2);
  TapedNetwork network({&reference});
  network.xd.head(4) << 1, 1, 3, -1;  // V0 = 1 + i, V1 = 3 - i: mean 2
  EXPECT_EQ(reference.forward(), 4.0);
  EXPECT_EQ(network.xd.head(4), (VectorXd(4) << -1, 1, 1, -1).finished());
  EXPECT_EQ(reference.ports[0].connection->potential.value, Complex(-1, 1));
  EXPECT_EQ(reference.ports[1].connection->potential.value, Complex(1, -1));
}

TEST(DeltaPotentialRef, BackwardZeroesEveryPortIncludingTheFirst) {
  DeltaPotentialRef reference(2);
  reference.current.value = {1, 1};
  for (Port& port : reference.ports) port.current = {5, 5};
  reference.backward();
  EXPECT_EQ(reference.get_port_current(0), Complex());
  EXPECT_EQ(reference.get_port_current(1), Complex());
}

TEST(DeltaPotentialRef, WithoutPortsInjectsNothingButKeepsItsUnknownAndRow) {
  DeltaPotentialRef reference(0);
  reference.current.value = {1, 2};
  reference.eval_currents(false);
  reference.eval_currents(true);
  EXPECT_EQ(reference.get_current(), Complex());
  reference.backward();
  EXPECT_EQ(reference.forward(), 0.0);

  std::vector<double> x0;
  reference.declare_independent_variables(x0);
  EXPECT_EQ(x0.size(), 2u);
  VectorXAD eqs = VectorXAD::Constant(2, AD(7));
  int idx = 0;
  reference.add_internal_equations(eqs, idx);
  EXPECT_EQ(idx, 2);
  EXPECT_TRUE(is_constant_zero(eqs[0]));
  EXPECT_TRUE(is_constant_zero(eqs[1]));
}

TEST(DeltaPotentialRef, AsTheOnlyReferenceHoldsThePotentialsAtZeroSum) {
  // A delta source fixes V0 - V1 and V1 - V2; the delta reference fixes their sum, and a load
  // between nodes 0 and 1 makes the source drive a current, none of which flows to the reference.
  const Complex u[] = {{400, 0}, {-200, -346.41}};
  const Complex y(0.02, -0.01);
  DeltaVoltageSource source(3, u);
  DeltaPotentialRef reference(3);
  SeriesAdmittance load(y);
  source.connect(reference, {{0, 0}, {1, 1}, {2, 2}});
  source.connect(load, {{0, 0}, {1, 1}});
  TapedNetwork network({&source, &reference, &load});
  ASSERT_LE(network.solve(), 1e-9);

  const Complex v0 = source.get_port_potential(0), v1 = source.get_port_potential(1),
                v2 = source.get_port_potential(2);
  expect_near(v0 + v1 + v2, Complex());
  expect_near(v0, (2.0 * u[0] + u[1]) / 3.0);
  expect_near(v1, (u[1] - u[0]) / 3.0);
  expect_near(v2, -(u[0] + 2.0 * u[1]) / 3.0);
  expect_near(reference.get_current(), Complex());
  expect_near(load.get_port_current(0), y * u[0]);
}

}  // namespace
