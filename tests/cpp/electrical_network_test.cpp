#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>

#include "solvers/electrical_network.hpp"
#include "tests/cpp/test_networks.hpp"

namespace {
const double nan = std::numeric_limits<double>::quiet_NaN();

std::vector<const Connection*> nodes_of(const ElectricalNetwork& network) {
  std::vector<const Connection*> nodes;
  for (const auto& connection : network.connections) nodes.push_back(connection.get());
  return nodes;
}

// Two buses joined on one node, the second bus's other node on a reference.
struct JoinedBuses {
  Bus first{2};
  Bus second{2};
  PotentialRef reference;
  JoinedBuses() {
    second.connect(first, {{0, 1}});
    second.connect(reference, {{1, 0}});
  }
  const Connection* node(const Element& element, int port) const { return element.ports[port].connection.get(); }
};

TEST(NetworkNodes, MergedNodesAreListedOnceWhereFirstReached) {
  JoinedBuses buses;
  const Connection* a = buses.node(buses.first, 0);
  const Connection* shared = buses.node(buses.first, 1);
  const Connection* grounded = buses.node(buses.second, 1);

  EXPECT_EQ(nodes_of(ElectricalNetwork({&buses.first, &buses.second, &buses.reference})),
            (std::vector<const Connection*>{a, shared, grounded}));
  EXPECT_EQ(nodes_of(ElectricalNetwork({&buses.reference, &buses.second, &buses.first})),
            (std::vector<const Connection*>{grounded, shared, a}));
}

TEST(NetworkNodes, IsASnapshotOfTheNodesAtConstruction) {
  JoinedBuses buses;
  ElectricalNetwork network({&buses.first, &buses.second, &buses.reference});
  const auto before = nodes_of(network);
  Bus late(1);
  buses.first.connect(late, {{0, 0}});
  buses.first.disconnect();
  EXPECT_EQ(nodes_of(network), before);
}

TEST(NetworkNodes, RejectsANullElement) {
  Bus bus(1);
  EXPECT_THROW(ElectricalNetwork({&bus, nullptr}), std::invalid_argument);
}

TEST(NetworkNodes, ListsNoFlexibleParameterWithoutFlexibleLoads) {
  Feeder feeder;
  EXPECT_TRUE(feeder.network.flexible_parameters.empty());
}

// Start values: node potentials in node order (references none), then element unknowns; the
// parameters in element order.
TEST(NetworkLayout, DeclaresNodesThenElementsInListOrder) {
  Feeder feeder;
  const Complex moved[2] = {{1.0, 2.0}, {3.0, 4.0}};
  feeder.bus.initialize_potentials(moved);
  const auto [x0, p0] = feeder.network.declare_variables();
  EXPECT_EQ(x0, (std::vector<double>{1.0, 2.0, 3.0, 4.0, 0.0, 0.0}));
  const Complex y = feeder.admittance;
  EXPECT_EQ(p0, (std::vector<double>{feeder.voltage.real(), feeder.voltage.imag(), y.real(), y.imag(),
                                     feeder.power.real(), feeder.power.imag()}));
}

TEST(NetworkLayout, NetworkOfReferenceNodesDeclaresOnlyElementUnknowns) {
  const Complex voltage{1.0, 2.0};
  VoltageSource source(2, &voltage);
  PotentialRef first;
  PotentialRef second;
  source.connect(first, {{0, 0}});
  source.connect(second, {{1, 0}});
  const ElectricalNetwork network({&first, &source, &second});
  const auto [x0, p0] = network.declare_variables();
  EXPECT_EQ(x0, (std::vector<double>{0.0, 0.0}));

  VectorXd xd = VectorXd::Zero(2);
  VectorXd pd = Eigen::Map<const VectorXd>(p0.data(), 2);
  network.link_variables(xd.cast<AD>(), xd, pd.cast<AD>(), pd);
  VectorXAD y(2);
  network.add_equations(y);
  // The only rows are the source's: 0 − 0 − U, with the declared (recorded) voltage.
  EXPECT_EQ(CppAD::Value(y[0]), -voltage.real());
  EXPECT_EQ(CppAD::Value(y[1]), -voltage.imag());
}

// Links distinct values into the feeder's vectors: x = 0, 1, 2, ... and p = 100, 101, ...
struct LinkedFeeder : Feeder {
  VectorXd xd = VectorXd::LinSpaced(6, 0.0, 5.0);
  VectorXd pd = VectorXd::LinSpaced(6, 100.0, 105.0);
  LinkedFeeder() { network.link_variables(xd.cast<AD>(), xd, pd.cast<AD>(), pd); }
};

TEST(NetworkLayout, LinksEveryRecordToItsSlice) {
  LinkedFeeder feeder;
  EXPECT_EQ(feeder.bus.get_port_potential(0), Complex(0.0, 1.0));
  EXPECT_EQ(feeder.bus.get_port_potential(1), Complex(2.0, 3.0));
  EXPECT_EQ(feeder.source.currents[0].get_value(), Complex(4.0, 5.0));
  EXPECT_EQ(feeder.source.voltages[0].get_value(), Complex(100.0, 101.0));
  EXPECT_EQ(feeder.line.admittance.get_value(), Complex(102.0, 103.0));
  EXPECT_EQ(feeder.load.parameter.get_value(), Complex(104.0, 105.0));

  feeder.xd[2] = 7.0;
  EXPECT_EQ(feeder.bus.get_port_potential(1), Complex(7.0, 3.0));
}

TEST(NetworkEquations, KirchhoffRowsSeeEveryPortThenInternalRowsFollow) {
  LinkedFeeder feeder;
  VectorXAD y(6);
  feeder.network.add_equations(y);

  const Complex va(0.0, 1.0), vb(2.0, 3.0), source_current(4.0, 5.0);
  const Complex u(100.0, 101.0), admittance(102.0, 103.0), power(104.0, 105.0);
  const Complex line_current = admittance * (va - vb);
  const Complex load_current = std::conj(power / vb);
  // The load comes last in the list, but its current is in node B's sum.
  const Complex expected[3] = {source_current + line_current, -line_current + load_current, va - u};
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(CppAD::Value(y[2 * k]), expected[k].real(), 1e-9) << "row " << 2 * k;
    EXPECT_NEAR(CppAD::Value(y[2 * k + 1]), expected[k].imag(), 1e-9) << "row " << 2 * k + 1;
  }
}

TEST(NetworkEquations, PlainCurrentsComeFromTheLinkedValues) {
  LinkedFeeder feeder;
  feeder.network.eval_currents();
  EXPECT_EQ(feeder.source.get_port_current(0), Complex(4.0, 5.0));
  EXPECT_EQ(feeder.source.get_port_current(1), -Complex(4.0, 5.0));
  const Complex line_current = Complex(102.0, 103.0) * (Complex(0.0, 1.0) - Complex(2.0, 3.0));
  EXPECT_EQ(feeder.line.get_port_current(0), line_current);
}

// Records its sweep steps and reports a fixed change.
class SweepProbe : public ElementImpl<SweepProbe> {
 public:
  using ElementImpl::eval_currents;
  SweepProbe(std::vector<int>& calls, int id, double change) : ElementImpl(0), calls(calls), id(id), change(change) {}
  template <class C>
  void eval_currents() {}
  void backward() override { calls.push_back(id); }
  double forward() override {
    calls.push_back(id);
    return change;
  }
  std::vector<int>& calls;
  int id;
  double change;
};

TEST(NetworkSweeps, BackwardRunsInReverseAndForwardInListOrder) {
  std::vector<int> calls;
  SweepProbe a(calls, 0, 1.0), b(calls, 1, 3.0), c(calls, 2, 2.0);
  const ElectricalNetwork network({&a, &b, &c});
  network.backward();
  EXPECT_EQ(network.forward(), 3.0);
  EXPECT_EQ(calls, (std::vector<int>{2, 1, 0, 0, 1, 2}));
}

struct ForwardCase {
  const char* name;
  std::vector<double> changes;
  double expected;
};

class NetworkForward : public testing::TestWithParam<ForwardCase> {};

TEST_P(NetworkForward, ReturnsTheLargestChangeIgnoringNaN) {
  std::vector<int> calls;
  std::vector<std::unique_ptr<SweepProbe>> probes;
  std::vector<Element*> elements;
  for (const double change : GetParam().changes) {
    probes.push_back(std::make_unique<SweepProbe>(calls, 0, change));
    elements.push_back(probes.back().get());
  }
  EXPECT_EQ(ElectricalNetwork(elements).forward(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, NetworkForward,
                         testing::Values(ForwardCase{"Empty", {}, 0.0}, ForwardCase{"OnlyNaN", {nan}, 0.0},
                                         ForwardCase{"NaNBetween", {1.0, nan, 3.0, 2.0}, 3.0},
                                         ForwardCase{"NaNAfterLargest", {4.0, nan}, 4.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NetworkSweeps, BackwardOverNoElementDoesNothing) { EXPECT_NO_THROW(ElectricalNetwork({}).backward()); }

// Feeder positions: bus 0, source 1, reference 2, line 3, load 4. Unknowns: node A 0-1, node B
// 2-3 (first port: the bus's), source current 4-5.
struct DetectCase {
  const char* name;
  std::vector<long> indices;
  bool nan_load_current;
  std::vector<int> expected;
};

class NetworkDetect : public testing::TestWithParam<DetectCase> {};

TEST_P(NetworkDetect, NamesTheOwnersOfIndices) {
  Feeder feeder;
  if (GetParam().nan_load_current) feeder.load.ports[0].current_ad = ComplexAD(0.0, nan);
  EXPECT_EQ(feeder.network.detect_elements(GetParam().indices), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NetworkDetect,
    testing::Values(DetectCase{"NoIndex", {}, false, {}},
                    DetectCase{"SourceCurrent", {4, 5}, false, {1}},
                    DetectCase{"NodeNamesElementOfFirstPort", {2, 3}, false, {0}},
                    DetectCase{"NodeNamesElementsWithNaNCurrent", {2, 3}, true, {4}},
                    DetectCase{"EachOwnerOnceAscending", {0, 1, 2, 3, 4, 5}, true, {0, 1, 4}},
                    DetectCase{"IndexBeyondUnknownsIsIgnored", {5, 6, 40}, false, {1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NetworkDetectNodes, NodeWithoutPortsNamesNoElement) {
  Bus bus(2);
  const ElectricalNetwork network({&bus});
  bus.ports[1].disconnect();
  EXPECT_EQ(network.detect_elements({0, 1, 2, 3}), (std::vector<int>{0}));
}

TEST(NetworkDetectNodes, SkipsElementsThatDeclareNothing) {
  const Complex voltage{1.0, 0.0};
  PotentialRef reference;
  Bus bus(1);
  VoltageSource source(2, &voltage);
  source.connect(reference, {{0, 0}, {1, 0}});
  const ElectricalNetwork network({&reference, &bus, &source});
  // Node of the bus: reals 0-1; then only the source declares (2-3).
  EXPECT_EQ(network.detect_elements({2}), (std::vector<int>{2}));
}
}  // namespace
