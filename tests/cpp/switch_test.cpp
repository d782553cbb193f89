#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

#include "branches/line.hpp"
#include "branches/switch.hpp"
#include "core/nodal_elements.hpp"
#include "core/voltage_source.hpp"
#include "loads/power_load.hpp"
#include "solvers/newton.hpp"
#include "taped_network.hpp"
#include "test_arrays.hpp"

namespace {
struct SolverKind {
  const char* name;
  std::function<std::unique_ptr<AbstractSolver>(ElectricalNetwork*)> make;
};

const SolverKind kSolvers[] = {
    {"Newton", [](ElectricalNetwork* network) { return std::make_unique<Newton>(network, false); }},
    {"BackwardForward", [](ElectricalNetwork* network) { return std::make_unique<BackwardForward>(network); }},
};

constexpr double kTolerance = 1e-10;

// source ── line ── bus 1 ── switch ── bus 2 ── load, on a phase and a neutral; the source's
// neutral is the reference.
template <class SwitchKind>
struct SwitchedFeeder {
  Complex voltage{230.0, 0.0};
  Complex power{3000.0, 1200.0};
  Complex start[2] = {{230.0, 0.0}, {0.0, 0.0}};
  std::vector<Complex> z = row_major((Eigen::MatrixXc(2, 2) << Complex(0.3, 0.4), Complex(0.05, 0.1),
                                      Complex(0.05, 0.1), Complex(0.3, 0.4))
                                         .finished());
  Bus source_bus{2, start};
  Bus bus1{2, start};
  Bus bus2{2, start};
  VoltageSource source{2, &voltage};
  PotentialRef reference;
  SimplifiedLine line{2, z.data()};
  SwitchKind element{2};
  PowerLoad load{2, &power};

  // Everything but the load and bus 2, which a test joins or feeds in its own way.
  void join_upstream() {
    source_bus.connect(source, same_ports(2));
    source_bus.connect(reference, {{1, 0}});
    line.connect_side(source_bus, same_ports(2), true);
    line.connect_side(bus1, same_ports(2), false);
    element.connect_side(bus1, same_ports(2), true);
    element.connect_side(bus2, same_ports(2), false);
  }
  std::vector<Element*> upstream() { return {&source, &reference, &source_bus, &line, &bus1, &element, &bus2}; }

  // The whole feeder with the load at `bus`.
  ElectricalNetwork& with_load_at(Bus& bus) {
    join_upstream();
    bus.connect(load, same_ports(2));
    std::vector<Element*> elements = upstream();
    elements.push_back(&load);
    return network.emplace(elements);
  }
  std::optional<ElectricalNetwork> network;
};

class ClosedSwitch : public testing::TestWithParam<SolverKind> {};

// The switch forces equal potentials and carries the load current, which meets its power at
// bus 2.
TEST_P(ClosedSwitch, ForcesEqualPotentialsAndCarriesTheDownstreamCurrent) {
  SwitchedFeeder<Switch> f;
  ElectricalNetwork& network = f.with_load_at(f.bus2);
  const auto solver = GetParam().make(&network);
  const auto [iterations, error] = solver->solve_load_flow(50, kTolerance);
  EXPECT_LT(iterations, 50);
  EXPECT_LE(error, kTolerance);

  for (int i = 0; i < 2; ++i) EXPECT_NEAR(std::abs(f.bus2.get_port_potential(i) - f.bus1.get_port_potential(i)), 0.0, 1e-9);
  const Complex u = f.bus2.get_port_potential(0) - f.bus2.get_port_potential(1);
  for (int i = 0; i < 2; ++i) {
    const Complex through = f.element.get_port_current(i);
    EXPECT_NEAR(std::abs(through - f.load.get_port_current(i)), 0.0, 1e-9);
    EXPECT_EQ(f.element.get_port_current(2 + i), -through);
  }
  EXPECT_NEAR(std::abs(u * std::conj(f.load.get_port_current(0)) - f.power), 0.0, 1e-6);
}

// After a Newton solve the side-1 currents are the switch's unknowns, the last reals of the
// solver's vector (the load declares none).
TEST(ClosedSwitch, NewtonCurrentsAreTheSolvedUnknowns) {
  SwitchedFeeder<Switch> f;
  ElectricalNetwork& network = f.with_load_at(f.bus2);
  Newton newton(&network, false);
  newton.solve_load_flow(50, kTolerance);
  const VectorXd& x = newton.variables;
  const Eigen::Index tail = x.size() - 4;
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(f.element.get_port_current(i), Complex(x(tail + 2 * i), x(tail + 2 * i + 1)));
}

INSTANTIATE_TEST_SUITE_P(Solvers, ClosedSwitch, testing::ValuesIn(kSolvers),
                         [](const auto& info) { return std::string(info.param.name); });

// An open switch leaves its downstream part to a source of its own: no current crosses, and each
// side keeps its own source's voltages.
class OpenSwitchIsolates : public testing::TestWithParam<SolverKind> {};

TEST_P(OpenSwitchIsolates, EachSideFollowsItsOwnSource) {
  SwitchedFeeder<OpenSwitch> f;
  f.join_upstream();
  const Complex other_voltage(0.0, 200.0);
  VoltageSource other_source(2, &other_voltage);
  PotentialRef other_reference;
  f.bus2.connect(other_source, same_ports(2));
  f.bus2.connect(other_reference, {{1, 0}});
  f.bus2.connect(f.load, same_ports(2));
  // A source's forward step reports no change, so the sweeps need bus 2 to start at its voltage.
  const Complex other_start[2] = {other_voltage, 0.0};
  f.bus2.initialize_potentials(other_start);
  ElectricalNetwork network({&f.source, &f.reference, &f.source_bus, &f.line, &f.bus1, &f.element, &other_source,
                             &other_reference, &f.bus2, &f.load});
  const auto solver = GetParam().make(&network);
  const auto [iterations, error] = solver->solve_load_flow(50, kTolerance);
  EXPECT_LE(error, kTolerance);

  // Nothing flows through the line: bus 1 sits at the source's voltage.
  EXPECT_NEAR(std::abs(f.bus1.get_port_potential(0) - f.voltage), 0.0, 1e-9);
  EXPECT_NEAR(std::abs(f.bus2.get_port_potential(0) - other_voltage), 0.0, 1e-9);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(f.element.get_port_current(i), Complex());
  EXPECT_NEAR(std::abs(other_voltage * std::conj(f.load.get_port_current(0)) - f.power), 0.0, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Solvers, OpenSwitchIsolates, testing::ValuesIn(kSolvers),
                         [](const auto& info) { return std::string(info.param.name); });

// Without a reference of its own the part behind an open switch has no equation that holds its
// potentials: once the load upstream calls for a Newton step, the solve reports a singular matrix.
TEST(OpenSwitch, AFloatingDownstreamPartIsReportedSingular) {
  SwitchedFeeder<OpenSwitch> f;
  ElectricalNetwork& network = f.with_load_at(f.bus1);
  Newton newton(&network, false);
  try {
    newton.solve_load_flow(10, kTolerance);
    FAIL() << "a floating node must not solve";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).substr(0, 2), "1 ") << error.what();
  }
}

TEST(OpenSwitch, DeclaresNothingAndCarriesNothingInEitherArithmetic) {
  OpenSwitch open(2);
  for (Port& port : open.ports) port.current = Complex(1.0, 1.0);
  TapedNetwork taped({&open});
  EXPECT_EQ(taped.unknowns(), 8);  // the four nodes only
  EXPECT_TRUE(taped.p0.empty());
  for (const Port& port : open.ports) EXPECT_TRUE(is_constant_zero(port.current_ad));
  const std::vector<Complex> recorded = taped.evaluate().currents[0];
  for (const Complex& current : recorded) EXPECT_EQ(current, Complex());

  open.eval_currents(false);
  for (const Port& port : open.ports) EXPECT_EQ(port.current, Complex());
  for (Port& port : open.ports) port.current = Complex(1.0, 1.0);
  open.backward();
  for (const Port& port : open.ports) EXPECT_EQ(port.current, Complex());
  EXPECT_EQ(open.forward(), 0.0);
}

// Backward: side 2 takes what its node draws and side 1 passes it on; the unknowns stay.
// Forward: the side-2 nodes take the side-1 potentials exactly (stored value and slot) and the
// step reports no change.
TEST(ClosedSwitch, SweepStepsPassCurrentsUpAndPotentialsDown) {
  const Complex upstream_potentials[2] = {{229.0, -3.0}, {1.5, 0.5}};
  Bus upstream(2, upstream_potentials);
  Bus downstream(2);
  Switch closed(2);
  closed.connect_side(upstream, same_ports(2), true);
  closed.connect_side(downstream, same_ports(2), false);
  TapedNetwork taped({&closed});  // links the nodes and the switch's currents
  downstream.ports[0].current = Complex(4.0, -2.0);

  closed.backward();
  EXPECT_EQ(closed.side2_ports[0]->current, Complex(-4.0, 2.0));
  EXPECT_EQ(closed.side1_ports[0]->current, Complex(4.0, -2.0));
  EXPECT_EQ(closed.side2_ports[1]->current, Complex());
  EXPECT_EQ(closed.currents[0].get_value(), Complex());

  EXPECT_EQ(closed.forward(), 0.0);
  for (int i = 0; i < 2; ++i) {
    const auto& potential = closed.side2_ports[static_cast<std::size_t>(i)]->connection->potential;
    EXPECT_EQ(potential.value, upstream_potentials[i]);
    EXPECT_EQ(Complex(potential.value_ptr[0], potential.value_ptr[1]), upstream_potentials[i]);
  }
}

// Every two-sided kind of this family refuses a negative count before adding up its ports (an
// overflowing sum would ask for a huge or a negative number of ports); a count beyond what an int
// can hold in ports is refused too.
struct CountCase {
  std::string name;
  std::function<void(int)> make;
};

class TwoSidedCounts : public testing::TestWithParam<CountCase> {};

TEST_P(TwoSidedCounts, NegativeCountsThrowVectorReserve) {
  for (const int n : {-1, -(1 << 30) - 1, INT_MIN}) expect_vector_reserve_error([&] { GetParam().make(n); });
  EXPECT_THROW(GetParam().make(INT_MAX), std::length_error);
}

const Complex kOneEntry[1] = {{1.0, 0.0}};

INSTANTIATE_TEST_SUITE_P(
    Kinds, TwoSidedCounts,
    testing::Values(CountCase{"Switch", [](int n) { Switch s(n); }}, CountCase{"OpenSwitch", [](int n) { OpenSwitch s(n); }},
                    CountCase{"ShuntLine", [](int n) { ShuntLine s(n, kOneEntry, kOneEntry); }}),
    [](const auto& info) { return info.param.name; });

TEST(TwoSidedCounts, SwitchesWithoutConductorsHaveNoPortsButAShuntLineNeedsOne) {
  EXPECT_TRUE(Switch(0).ports.empty());
  EXPECT_TRUE(OpenSwitch(0).ports.empty());
  EXPECT_THROW(ShuntLine(0, kOneEntry, kOneEntry), std::invalid_argument);
}
}  // namespace
