// Elements, ports and nodes: construction, joining, separating, the read rule of node
// potentials, the Kirchhoff rows and the lifetime of ports in node lists.
#include <climits>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "branches/line.hpp"
#include "core/element.hpp"
#include "core/nodal_elements.hpp"
#include "core/voltage_source.hpp"
#include "loads/power_load.hpp"
#include "taped_network.hpp"
#include "test_elements.hpp"

namespace {

// An element with nothing but Element's defaults.
class BareElement : public Element {
 public:
  using Element::Element;
  void eval_currents(bool) override {}
};

// The ports of `element` at the given indices, as a node lists them.
std::vector<Port*> ports_of(Element& element, std::initializer_list<int> indices) {
  std::vector<Port*> list;
  for (int i : indices) list.push_back(&element.ports[static_cast<std::size_t>(i)]);
  return list;
}

// ---------------------------------------------------------------------------------------------
// Construction

TEST(ElementConstruction, EveryPortStartsAloneOnANodeAtItsPotential) {
  const Complex potentials[] = {{1, 2}, {3, -4}, {0, 5}};
  BareElement element(3, potentials);

  ASSERT_EQ(element.ports.size(), 3u);
  EXPECT_EQ(element.ports.capacity(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const Port& port = element.ports[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(port.element, &element);
    EXPECT_EQ(port.connection->ports, std::vector<Port*>{&element.ports[i]});
    EXPECT_EQ(port.current, Complex());
    EXPECT_TRUE(is_constant_zero(port.current_ad));
    EXPECT_FALSE(port.connection->is_reference);
    EXPECT_FALSE(port.connection->potential.linked);
    EXPECT_EQ(element.get_port_potential(static_cast<int>(i)), potentials[i]);
    for (std::size_t j = 0; j < i; ++j) EXPECT_NE(port.connection, element.ports[j].connection);
  }
}

TEST(ElementConstruction, WithoutPotentialsEveryNodeStartsAtZero) {
  BareElement element(2);
  EXPECT_EQ(element.get_port_potential(0), Complex());
  EXPECT_EQ(element.get_port_potential(1), Complex());
  EXPECT_NE(element.ports[0].connection, element.ports[1].connection);
}

TEST(ElementConstruction, ZeroPortsGivesAnElementWithoutPorts) {
  BareElement element(0);
  EXPECT_TRUE(element.ports.empty());
}

struct InvalidCount {
  std::string name;
  std::function<void()> make;
};

class InvalidPortCount : public testing::TestWithParam<InvalidCount> {};

TEST_P(InvalidPortCount, ThrowsVectorReserve) { expect_vector_reserve_error(GetParam().make); }

const Complex no_values[1] = {};

// Counts derived from n (n − 1 records, n1 + n2 ports) must not overflow on the way to the
// refusal: the sanitizer build aborts on signed overflow.
const int below_half_int_min = INT_MIN / 2 - 1;

INSTANTIATE_TEST_SUITE_P(
    AllKinds, InvalidPortCount,
    testing::Values(InvalidCount{"ElementMinusOne", [] { BareElement e(-1); }},
                    InvalidCount{"ElementIntMin", [] { BareElement e(INT_MIN); }},
                    InvalidCount{"ElementWithPotentials", [] { BareElement e(-2, no_values); }},
                    InvalidCount{"Bus", [] { Bus e(-1); }},
                    InvalidCount{"BusWithPotentials", [] { Bus e(-3, no_values); }},
                    InvalidCount{"DeltaPotentialRef", [] { DeltaPotentialRef e(-1); }},
                    // A source carries n - 1 records, so a source without ports is refused too.
                    InvalidCount{"VoltageSourceNoPort", [] { VoltageSource e(0, no_values); }},
                    InvalidCount{"VoltageSourceNegative", [] { VoltageSource e(-1, no_values); }},
                    InvalidCount{"DeltaVoltageSourceNoPort", [] { DeltaVoltageSource e(0, no_values); }},
                    InvalidCount{"DeltaVoltageSourceNegative", [] { DeltaVoltageSource e(-4, no_values); }},
                    InvalidCount{"VoltageSourceIntMin", [] { VoltageSource e(INT_MIN, no_values); }},
                    InvalidCount{"DeltaVoltageSourceIntMin", [] { DeltaVoltageSource e(INT_MIN, no_values); }},
                    InvalidCount{"PowerLoadNoPort", [] { PowerLoad e(0, no_values); }},
                    InvalidCount{"PowerLoadIntMin", [] { PowerLoad e(INT_MIN, no_values); }},
                    InvalidCount{"DeltaPowerLoadIntMin", [] { DeltaPowerLoad e(INT_MIN, no_values); }},
                    InvalidCount{"SimplifiedLineMinusOne", [] { SimplifiedLine e(-1, no_values); }},
                    InvalidCount{"SimplifiedLineBelowHalfIntMin", [] { SimplifiedLine e(below_half_int_min, no_values); }},
                    InvalidCount{"SimplifiedLineIntMin", [] { SimplifiedLine e(INT_MIN, no_values); }},
                    // A negative side is refused even when the total is not negative: it would
                    // place the other side past the ports.
                    InvalidCount{"BranchNegativeSide1", [] { TestBranch e(-1, 3); }},
                    InvalidCount{"BranchNegativeSide2", [] { TestBranch e(3, -1); }},
                    InvalidCount{"BranchNegativeExtraPorts", [] { TestBranch e(2, 2, -1); }},
                    InvalidCount{"BranchBeyondInt", [] { TestBranch e(INT_MAX, 1); }}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// Defaults of Element and the dispatch of ElementImpl

TEST(ElementDefaults, DeclareLinkAndEquationsDoNothing) {
  BareElement element(2);
  std::vector<double> x0{1.0}, p0;
  element.declare_independent_variables(x0);
  element.declare_dynamic_variables(p0);
  EXPECT_EQ(x0, std::vector<double>{1.0});
  EXPECT_TRUE(p0.empty());

  VectorXAD x = VectorXAD::Zero(4);
  VectorXd xd = VectorXd::Zero(4);
  int idx = 1;
  element.link_independent_variables(x, xd, idx);
  element.link_dynamic_variables(x, xd, idx);
  element.add_internal_equations(x, idx);
  EXPECT_EQ(idx, 1);
}

TEST(ElementDefaults, BackwardWithoutSweepStepThrowsCategoryTwo) {
  BareElement element(1);
  try {
    element.backward();
    FAIL() << "expected std::runtime_error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "2 No backward-forward method has been defined for this element");
  }
}

TEST(ElementDefaults, ForwardChangesNothingAndReturnsZero) {
  const Complex potentials[] = {{2, 3}};
  BareElement element(1, potentials);
  EXPECT_EQ(element.forward(), 0.0);
  EXPECT_EQ(element.get_port_potential(0), potentials[0]);
}

TEST(ElementImplDispatch, EachArithmeticWritesOnlyItsOwnCurrents) {
  Bus bus(2);
  for (Port& port : bus.ports) {
    port.current = {5, 6};
    port.current_ad = {AD(7), AD(8)};
  }
  bus.eval_currents(true);
  for (const Port& port : bus.ports) {
    EXPECT_TRUE(is_constant_zero(port.current_ad));
    EXPECT_EQ(port.current, Complex(5, 6));
  }

  for (Port& port : bus.ports) port.current_ad = {AD(7), AD(8)};
  bus.eval_currents(false);
  for (const Port& port : bus.ports) {
    EXPECT_EQ(port.current, Complex());
    EXPECT_EQ(CppAD::Value(port.current_ad.real()), 7.0);
    EXPECT_EQ(CppAD::Value(port.current_ad.imag()), 8.0);
  }
}

// ---------------------------------------------------------------------------------------------
// Joining nodes

class Joining : public testing::Test {
 protected:
  const Complex a_potentials[2] = {{1, 1}, {2, 2}};
  const Complex b_potentials[2] = {{10, -1}, {20, -2}};
  Bus a{2, a_potentials};
  Bus b{2, b_potentials};
};

TEST_F(Joining, ConnectKeepsTheCallersNodes) {
  const std::shared_ptr<Connection> absorbed = b.ports[0].connection;
  a.connect(b, {{0, 0}});

  EXPECT_EQ(b.ports[0].connection, a.ports[0].connection);
  EXPECT_EQ(a.ports[0].connection->ports, (std::vector<Port*>{&a.ports[0], &b.ports[0]}));
  EXPECT_EQ(b.get_port_potential(0), a_potentials[0]);
  EXPECT_EQ(b.get_port_potential(1), b_potentials[1]);
  EXPECT_TRUE(absorbed->ports.empty()) << "a port is listed by one node only";
}

TEST_F(Joining, ConnectFromTheOtherElementKeepsItsNodes) {
  b.connect(a, {{0, 0}});
  EXPECT_EQ(a.get_port_potential(0), b_potentials[0]);
  EXPECT_EQ(b.get_port_potential(0), b_potentials[0]);
  EXPECT_EQ(b.ports[0].connection->ports, (std::vector<Port*>{&b.ports[0], &a.ports[0]}));
}

TEST_F(Joining, PairsAreMergedInListOrder) {
  a.connect(b, {{0, 1}, {1, 0}, {0, 0}});
  // Pair (0, 1), then (1, 0); the last pair joins a's node 0 with the node that now holds b's
  // port 0, i.e. a's node 1, whose ports follow in their list order.
  const auto& node = a.ports[0].connection;
  EXPECT_EQ(node->ports, (std::vector<Port*>{&a.ports[0], &b.ports[1], &a.ports[1], &b.ports[0]}));
  for (const Element* e : {static_cast<Element*>(&a), static_cast<Element*>(&b)})
    for (int i = 0; i < 2; ++i) EXPECT_EQ(e->get_port_potential(i), a_potentials[0]);
}

TEST_F(Joining, PairAlreadyOnOneNodeChangesNothing) {
  a.connect(b, {{0, 0}});
  const std::vector<Port*> before = a.ports[0].connection->ports;
  b.connect(a, {{0, 0}});
  a.connect(a, {{0, 0}});
  a.ports[0].connection->merge(a.ports[0].connection);
  EXPECT_EQ(a.ports[0].connection->ports, before);
  EXPECT_EQ(b.get_port_potential(0), a_potentials[0]);
}

TEST_F(Joining, SurvivorKeepsItsOwnPotentialRecord) {
  // The absorbed node is linked to a solver's vector; nothing of that moves to the survivor.
  VectorXAD x = VectorXAD::Zero(2);
  VectorXd xd = VectorXd::Constant(2, 99.0);
  int idx = 0;
  b.ports[0].connection->link_independent_variables(x, xd, idx);
  a.connect(b, {{0, 0}});
  EXPECT_FALSE(a.ports[0].connection->potential.linked);
  EXPECT_EQ(b.get_port_potential(0), a_potentials[0]);
}

// Which side holds the reference must not matter: the surviving node is a reference either way.
class ReferenceSpreading : public testing::TestWithParam<bool> {};

TEST_P(ReferenceSpreading, SurvivorBecomesAReference) {
  const bool reference_calls = GetParam();
  const Complex potentials[] = {{5, 6}};
  Bus bus(1, potentials);
  PotentialRef reference;
  const std::shared_ptr<Connection> bus_node = bus.ports[0].connection;
  if (reference_calls)
    reference.connect(bus, {{0, 0}});
  else
    bus.connect(reference, {{0, 0}});

  const auto& node = bus.ports[0].connection;
  EXPECT_EQ(node, reference.ports[0].connection);
  EXPECT_TRUE(node->is_reference);
  EXPECT_EQ(bus.get_port_potential(0), Complex());
  std::vector<double> x0;
  node->declare_independent_variables(x0);
  EXPECT_TRUE(x0.empty());
  if (reference_calls) {
    EXPECT_FALSE(bus_node->is_reference) << "the absorbed node keeps its own flag";
  }
}

INSTANTIATE_TEST_SUITE_P(EitherSide, ReferenceSpreading, testing::Bool(),
                         [](const auto& info) { return info.param ? "ReferenceCalls" : "BusCalls"; });

TEST(Merge, NodeThatNoSharedPointerOwnsThrowsBadWeakPtr) {
  Bus bus(1);
  Connection unowned(Complex(1, 0), nullptr);
  EXPECT_THROW(unowned.merge(bus.ports[0].connection), std::bad_weak_ptr);
  EXPECT_EQ(bus.ports[0].connection->ports, std::vector<Port*>{&bus.ports[0]});
}

struct PortJoin {
  std::string name;
  std::vector<int> indices;
  int count;
  std::vector<int> owner;      // for each port, the port whose initial potential it reads
  std::vector<int> survivors;  // the list of the node of indices[0], in order
};

class ConnectPorts : public testing::TestWithParam<PortJoin> {};

TEST_P(ConnectPorts, FirstListedPortKeepsItsNode) {
  const PortJoin& join = GetParam();
  const Complex potentials[] = {{10, 1}, {20, 2}, {30, 3}};
  Bus bus(3, potentials);
  bus.connect_ports(join.indices.data(), join.count);

  for (int i = 0; i < 3; ++i) EXPECT_EQ(bus.get_port_potential(i), potentials[join.owner[i]]) << "port " << i;
  std::vector<Port*> expected;
  for (int i : join.survivors) expected.push_back(&bus.ports[static_cast<std::size_t>(i)]);
  EXPECT_EQ(bus.ports[static_cast<std::size_t>(join.indices[0])].connection->ports, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, ConnectPorts,
    testing::Values(PortJoin{"CountZero", {0, 1, 2}, 0, {0, 1, 2}, {0}},
                    PortJoin{"CountOne", {1, 0, 2}, 1, {0, 1, 2}, {1}},
                    PortJoin{"NegativeCount", {0, 1, 2}, -1, {0, 1, 2}, {0}},
                    PortJoin{"TwoThenZeroThenOne", {2, 0, 1}, 3, {2, 2, 2}, {2, 0, 1}},
                    PortJoin{"CountShorterThanList", {1, 2, 0}, 2, {0, 1, 1}, {1, 2}},
                    PortJoin{"RepeatedIndex", {0, 0, 1}, 3, {0, 0, 2}, {0, 1}}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// Separating ports

TEST(Disconnect, PortKeepsItsNodeButLeavesItsList) {
  const Complex potentials[] = {{4, -4}};
  Bus a(1, potentials);
  Bus b(2);
  a.connect(b, {{0, 0}, {0, 1}});
  a.ports[0].current = {1, 2};
  b.ports[0].current = {10, 20};
  b.ports[1].current = {100, 200};
  const auto& node = a.ports[0].connection;
  ASSERT_EQ(node->sum_currents(), Complex(111, 222));

  b.disconnect();
  EXPECT_EQ(node->ports, std::vector<Port*>{&a.ports[0]});
  EXPECT_EQ(node->sum_currents(), Complex(1, 2));
  EXPECT_EQ(b.ports[0].connection, node);
  EXPECT_EQ(b.get_port_potential(1), potentials[0]);

  b.disconnect();  // a second time finds nothing to remove
  EXPECT_EQ(node->ports, std::vector<Port*>{&a.ports[0]});
}

TEST(Disconnect, NodeLeftWithoutPortsStillDeclaresAndWritesTwoZeroRows) {
  const Complex potentials[] = {{4, 5}};
  Bus bus(1, potentials);
  const std::shared_ptr<Connection> node = bus.ports[0].connection;
  bus.disconnect();
  ASSERT_TRUE(node->ports.empty());

  std::vector<double> x0;
  node->declare_independent_variables(x0);
  EXPECT_EQ(x0, (std::vector<double>{4, 5}));
  VectorXAD eqs = VectorXAD::Constant(2, AD(7));
  int idx = 0;
  node->add_kirchhoff_equation(eqs, idx);
  EXPECT_EQ(idx, 2);
  EXPECT_TRUE(is_constant_zero(eqs[0]));
  EXPECT_TRUE(is_constant_zero(eqs[1]));
}

// ---------------------------------------------------------------------------------------------
// Node potentials: declaration, link and read rule

TEST(NodePotential, ReadRuleTakesReferenceThenSlotThenStoredValue) {
  const Complex stored(7, -1);
  Bus bus(1, &stored);
  const auto& node = bus.ports[0].connection;
  EXPECT_EQ(bus.get_port_potential(0), stored);

  VectorXAD x = VectorXAD::Zero(2);
  VectorXd xd(2);
  xd << 9, 8;
  int idx = 0;
  node->link_independent_variables(x, xd, idx);
  EXPECT_EQ(bus.get_port_potential(0), Complex(9, 8));
  xd[0] = 11;
  EXPECT_EQ(bus.get_port_potential(0), Complex(11, 8));
  EXPECT_EQ(node->potential.value, stored) << "linking leaves the stored value";

  std::vector<double> x0;
  node->declare_independent_variables(x0);
  EXPECT_EQ(x0, (std::vector<double>{7, -1})) << "declarations take the stored value, not the slot";

  PotentialRef reference;
  bus.connect(reference, {{0, 0}});
  Complex out[1] = {{-5, -5}};
  bus.get_potentials(1, out);
  EXPECT_EQ(out[0], Complex());
  EXPECT_EQ(bus.get_port_potential(0), Complex());
  EXPECT_TRUE(is_constant_zero(node->potential_as<ComplexAD>()));
  EXPECT_EQ(node->potential.value, stored);
}

TEST(NodePotential, LinkBindsTheNodeToItsTwoUnknowns) {
  Bus bus(1);
  const auto& node = bus.ports[0].connection;
  VectorXd xd = VectorXd::Zero(5);
  int idx = 2;
  CppAD::ADFun<double> f;
  record_rows(f, 5, 2, [&](const VectorXAD& x, VectorXAD& y) {
    node->link_independent_variables(x, xd, idx);
    const ComplexAD v = node->potential_as<ComplexAD>();
    y << v.real(), v.imag();
  });
  EXPECT_EQ(idx, 4);
  EXPECT_TRUE(node->potential.linked);
  EXPECT_EQ(node->potential.value_ptr, xd.data() + 2);
  EXPECT_EQ(f.Forward(0, std::vector<double>{1, 2, 3, 4, 5}), (std::vector<double>{3, 4}));
}

TEST(NodePotential, ReferenceNodeDeclaresAndLinksNothing) {
  PotentialRef reference;
  const auto& node = reference.ports[0].connection;
  std::vector<double> x0;
  node->declare_independent_variables(x0);
  EXPECT_TRUE(x0.empty());
  VectorXAD x = VectorXAD::Zero(2);
  VectorXd xd = VectorXd::Zero(2);
  int idx = 0;
  node->link_independent_variables(x, xd, idx);
  EXPECT_EQ(idx, 0);
  EXPECT_FALSE(node->potential.linked);
}

TEST(Getters, CountsBelowOneWriteNothingAndCountsAreHonoured) {
  const Complex potentials[] = {{1, 0}, {2, 0}, {3, 0}};
  Bus bus(3, potentials);
  for (std::size_t i = 0; i < 3; ++i) bus.ports[i].current = {0, static_cast<double>(i + 1)};
  const Complex sentinel(-9, -9);

  for (int n : {0, -1}) {
    Complex out[3] = {sentinel, sentinel, sentinel};
    bus.get_potentials(n, out);
    bus.get_currents(n, out);
    for (const Complex& z : out) EXPECT_EQ(z, sentinel) << "count " << n;
  }
  Complex v[3] = {sentinel, sentinel, sentinel};
  Complex c[3] = {sentinel, sentinel, sentinel};
  bus.get_potentials(2, v);
  bus.get_currents(2, c);
  EXPECT_EQ(v[0], potentials[0]);
  EXPECT_EQ(v[1], potentials[1]);
  EXPECT_EQ(v[2], sentinel);
  EXPECT_EQ(c[0], Complex(0, 1));
  EXPECT_EQ(c[1], Complex(0, 2));
  EXPECT_EQ(c[2], sentinel);
  EXPECT_EQ(bus.get_port_current(2), Complex(0, 3));
}

// ---------------------------------------------------------------------------------------------
// Kirchhoff rows

TEST(KirchhoffEquation, SumsTheRecordedCurrentsOfTheListedPortsOnly) {
  Bus a(1), b(1), c(1);
  a.connect(b, {{0, 0}});
  a.connect(c, {{0, 0}});
  c.disconnect();
  const auto& node = a.ports[0].connection;
  CppAD::ADFun<double> f;
  record_rows(f, 6, 2, [&](const VectorXAD& x, VectorXAD& y) {
    a.ports[0].current_ad = {x[0], x[1]};
    b.ports[0].current_ad = {x[2], x[3]};
    c.ports[0].current_ad = {x[4], x[5]};
    int idx = 0;
    node->add_kirchhoff_equation(y, idx);
    EXPECT_EQ(idx, 2);
  });
  EXPECT_EQ(f.Forward(0, std::vector<double>{1, 2, 30, 40, 500, 600}), (std::vector<double>{31, 42}));
}

TEST(KirchhoffEquation, ReferenceNodeWritesNoRow) {
  PotentialRef reference;
  VectorXAD eqs = VectorXAD::Constant(2, AD(7));
  int idx = 0;
  reference.ports[0].connection->add_kirchhoff_equation(eqs, idx);
  EXPECT_EQ(idx, 0);
  EXPECT_EQ(CppAD::Value(eqs[0]), 7.0);
}

TEST(KirchhoffEquation, DependentVariableIsWrittenRealPartFirst) {
  VectorXAD eqs = VectorXAD::Zero(4);
  int idx = 1;
  Element::add_dependent_variable(eqs, idx, ComplexAD(AD(3), AD(-4)));
  EXPECT_EQ(idx, 3);
  EXPECT_EQ(CppAD::Value(eqs[1]), 3.0);
  EXPECT_EQ(CppAD::Value(eqs[2]), -4.0);
}

// ---------------------------------------------------------------------------------------------
// Lifetime: freeing an element takes its ports out of the nodes (checked under the sanitizer
// build: a stale address in a node list would be read by the sums below).

class ElementDestruction : public testing::TestWithParam<bool> {};

TEST_P(ElementDestruction, EitherOrderLeavesNoFreedPortInANodeList) {
  const bool free_caller_first = GetParam();
  auto caller = std::make_unique<Bus>(2);
  auto other = std::make_unique<Bus>(2);
  Bus witness(1);
  caller->connect(*other, {{0, 0}, {1, 1}});
  caller->connect(witness, {{0, 0}});
  for (Port& port : caller->ports) port.current = {1, 0};
  for (Port& port : other->ports) port.current = {10, 0};
  witness.ports[0].current = {100, 0};
  // Held as the network holds them, so both nodes outlive the elements.
  const std::shared_ptr<Connection> node0 = witness.ports[0].connection;
  const std::shared_ptr<Connection> node1 = caller->ports[1].connection;

  std::unique_ptr<Bus>& first = free_caller_first ? caller : other;
  std::unique_ptr<Bus>& second = free_caller_first ? other : caller;
  const Complex second_current = second->ports[0].current;
  first.reset();
  EXPECT_EQ(node0->ports, (std::vector<Port*>{&second->ports[0], &witness.ports[0]}));
  EXPECT_EQ(node0->sum_currents(), second_current + Complex(100, 0));
  EXPECT_EQ(node1->ports, ports_of(*second, {1}));

  second.reset();
  EXPECT_EQ(node0->ports, std::vector<Port*>{&witness.ports[0]});
  EXPECT_TRUE(node1->ports.empty());
  EXPECT_EQ(node0->sum_currents(), Complex(100, 0));
  VectorXAD eqs(4);
  int idx = 0;
  node0->add_kirchhoff_equation(eqs, idx);
  node1->add_kirchhoff_equation(eqs, idx);
  EXPECT_EQ(idx, 4);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, ElementDestruction, testing::Bool(),
                         [](const auto& info) { return info.param ? "CallerFirst" : "OtherFirst"; });

TEST(NodeLifetime, NodeHeldByADisconnectedPortForgetsPortsMovedAway) {
  Bus holder(1), mover_target(1), late(1);
  auto mover = std::make_unique<Bus>(1);
  holder.connect(*mover, {{0, 0}});
  holder.disconnect();  // holder's port alone keeps node A, which still lists mover's port
  const std::shared_ptr<Connection> node_a = holder.ports[0].connection;
  ASSERT_EQ(node_a->ports, std::vector<Port*>{&mover->ports[0]});

  mover_target.connect(*mover, {{0, 0}});  // A is absorbed but lives on through holder's port
  EXPECT_TRUE(node_a->ports.empty());
  holder.connect(late, {{0, 0}});  // joining A again must not bring mover's port back
  EXPECT_EQ(node_a->ports, std::vector<Port*>{&late.ports[0]});
  EXPECT_EQ(mover_target.ports[0].connection->ports, (std::vector<Port*>{&mover_target.ports[0], &mover->ports[0]}));

  mover->ports[0].current = {5, 5};
  mover.reset();
  late.ports[0].current = {0, 1};
  EXPECT_EQ(node_a->sum_currents(), Complex(0, 1));
  EXPECT_EQ(mover_target.ports[0].connection->ports, std::vector<Port*>{&mover_target.ports[0]});
}

}  // namespace
