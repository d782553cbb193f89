#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <numeric>

#include "branches/line.hpp"
#include "branches/switch.hpp"
#include "branches/transformer.hpp"
#include "loads/admittance_load.hpp"
#include "loads/current_load.hpp"
#include "loads/flexible_load.hpp"
#include "loads/load_balancer.hpp"
#include "loads/power_load.hpp"
#include "solvers/newton.hpp"
#include "tests/cpp/log_capture.hpp"
#include "tests/cpp/test_networks.hpp"

namespace {
// ---------------------------------------------------------------------------------------------
// What every solver kind shares

// A delta source over three nodes (starting at a bus's potentials) whose sum a delta reference
// holds at zero. The first forward sweep writes the chain V1 = V0 − U0, V2 = V1 − U1 from the
// start V0 and then shifts all three by their mean, reporting the larger part of the sum
// 3 V0 − 2 U0 − U1; the second sweep changes nothing (up to rounding). Linear, so the Newton
// solvers take it too. Unknowns: three nodes (0-5), the source currents (6-9), the reference
// current (10-11).
struct DeltaChain {
  Complex start[3] = {{5.0, 1.0}, {7.0, 0.0}, {0.0, -2.0}};
  Complex voltages[2] = {{100.0, 30.0}, {-40.0, 90.0}};
  Bus bus{3, start};
  DeltaVoltageSource source{3, voltages};
  DeltaPotentialRef reference{3};
  ElectricalNetwork network{connected()};

  std::vector<Element*> connected() {
    bus.connect(source, {{0, 0}, {1, 1}, {2, 2}});
    bus.connect(reference, {{0, 0}, {1, 1}, {2, 2}});
    return {&bus, &source, &reference};
  }
  double first_sweep_error() const {
    const Complex sum = 3.0 * start[0] - 2.0 * voltages[0] - voltages[1];
    return std::max(std::abs(sum.real()), std::abs(sum.imag()));
  }
  // How far the potentials are from satisfying the source and the reference.
  double violation() const {
    Complex v[3];
    bus.get_potentials(3, v);
    return std::max({std::abs(v[0] - v[1] - voltages[0]), std::abs(v[1] - v[2] - voltages[1]), std::abs(v[0] + v[1] + v[2])});
  }
};

struct SolverKind {
  const char* name;
  std::function<std::unique_ptr<AbstractSolver>(ElectricalNetwork*)> make;
};

class SolverBase : public testing::TestWithParam<SolverKind> {
 protected:
  DeltaChain chain;
  std::unique_ptr<AbstractSolver> solver = GetParam().make(&chain.network);

  std::vector<double> variables() const {
    std::vector<double> out(static_cast<std::size_t>(solver->independents_size()));
    solver->get_variables(out.data());
    return out;
  }
};

TEST_P(SolverBase, StartsFromTheDeclaredValues) {
  EXPECT_EQ(solver->independents_size(), 12);
  EXPECT_EQ(variables(), chain.network.declare_variables().first);
  EXPECT_EQ(solver->initial_variables, solver->variables);
}

TEST_P(SolverBase, SetVariablesIsSeenByTheElementsAndUndoneByReset) {
  std::vector<double> moved(12);
  std::iota(moved.begin(), moved.end(), 1.0);
  solver->set_variables(moved.data());
  EXPECT_EQ(variables(), moved);
  EXPECT_EQ(chain.bus.get_port_potential(1), Complex(3.0, 4.0));
  EXPECT_EQ(chain.source.currents[1].get_value(), Complex(9.0, 10.0));

  solver->reset_inputs();
  EXPECT_EQ(variables(), chain.network.declare_variables().first);
  EXPECT_EQ(chain.bus.get_port_potential(1), chain.start[1]);
}

TEST_P(SolverBase, KeepsTheStorageThatTheElementsPointInto) {
  const double* variables = solver->variables.data();
  const double* parameters = solver->dynamic_variables.data();
  const std::vector<double> moved(12, 1.0);
  solver->set_variables(moved.data());
  solver->solve_load_flow(20, 1e-9);
  EXPECT_LT(chain.violation(), 1e-9);
  solver->reset_inputs();
  solver->solve_load_flow(20, 1e-9);
  EXPECT_EQ(solver->variables.data(), variables);
  EXPECT_EQ(solver->dynamic_variables.data(), parameters);
  EXPECT_EQ(chain.bus.ports[0].connection->potential.value_ptr, variables);
  EXPECT_EQ(chain.source.voltages[0].value_ptr, parameters);
}

TEST_P(SolverBase, ANewerSolverRelinksTheElements) {
  const auto newer = GetParam().make(&chain.network);
  EXPECT_EQ(chain.bus.ports[0].connection->potential.value_ptr, newer->variables.data());
  const std::vector<double> moved(12, 7.0);
  solver->set_variables(moved.data());
  EXPECT_EQ(chain.bus.get_port_potential(0), chain.start[0]);
}

TEST_P(SolverBase, ADestroyedSolverLeavesItsNodesAtTheirLastPotentials) {
  solver->solve_load_flow(20, 1e-9);
  const Complex solved = chain.bus.get_port_potential(1);
  solver.reset();
  const ADVariable<Complex>& potential = chain.bus.ports[1].connection->potential;
  EXPECT_FALSE(potential.linked);
  EXPECT_EQ(potential.value_ptr, nullptr);
  EXPECT_EQ(chain.bus.get_port_potential(1), solved);
}

TEST_P(SolverBase, ADestroyedOlderSolverLeavesTheNewerOnesLinks) {
  const auto newer = GetParam().make(&chain.network);
  solver.reset();
  EXPECT_EQ(chain.bus.ports[0].connection->potential.value_ptr, newer->variables.data());
}

TEST_P(SolverBase, NetworkWithoutUnknownsCopiesNothing) {
  ElectricalNetwork empty({});
  const auto solver = GetParam().make(&empty);
  EXPECT_EQ(solver->independents_size(), 0);
  double untouched = 3.0;
  solver->get_variables(&untouched);
  solver->set_variables(&untouched);
  EXPECT_EQ(untouched, 3.0);
}

const auto solver_kinds =
    testing::Values(SolverKind{"BackwardForward",
                               [](ElectricalNetwork* n) -> std::unique_ptr<AbstractSolver> {
                                 return std::make_unique<BackwardForward>(n);
                               }},
                    SolverKind{"Newton",
                               [](ElectricalNetwork* n) -> std::unique_ptr<AbstractSolver> {
                                 return std::make_unique<Newton>(n, false);
                               }},
                    SolverKind{"NewtonGoldstein",
                               [](ElectricalNetwork* n) -> std::unique_ptr<AbstractSolver> {
                                 return std::make_unique<NewtonGoldstein>(n, true, 0.1, 0.9);
                               }});
const auto solver_kind_name = [](const auto& info) { return std::string(info.param.name); };

INSTANTIATE_TEST_SUITE_P(Kinds, SolverBase, solver_kinds, solver_kind_name);

// ---------------------------------------------------------------------------------------------
// Unlinking when a solver goes

// One element of every kind that links records of its own, each joined to one four-node bus
// (port i on node i mod 4), with a flexible parameter that the network links.
struct EveryRecordKind {
  Complex start[4] = {{230.0, 0.0}, {-115.0, -199.0}, {-115.0, 199.0}, {10.0, 5.0}};
  Complex three[3] = {{1000.0, 200.0}, {800.0, -100.0}, {500.0, 50.0}};
  Complex matrix[4] = {{0.2, 0.1}, {0.05, 0.0}, {0.05, 0.0}, {0.3, 0.1}};
  Control constant{"constant", 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  FlexibleParameter law{constant, constant, Projection("euclidean", 1000.0, 1e-5), 5000.0, -100.0, 100.0};
  Bus bus{4, start};
  VoltageSource source{4, three};
  DeltaVoltageSource delta_source{3, three};
  DeltaPotentialRef delta_reference{3};
  Switch closed{2};
  SimplifiedLine line{2, matrix};
  ShuntLine shunt_line{2, matrix, matrix};
  SingleTransformer single{{0.01, 0.02}, {0.0, -1e-4}, {0.5, 0.0}};
  CenterTransformer center{{0.01, 0.02}, {0.0, -1e-4}, 0.5};
  ThreePhaseTransformer three_phase{3, 4, "D", "y", {0.01, 0.02}, {0.0, -1e-4}, 0.5, 11};
  PowerLoad power{4, three};
  DeltaPowerLoad delta_power{3, three};
  CurrentLoad current{4, three};
  DeltaCurrentLoad delta_current{3, three};
  AdmittanceLoad admittance{4, three};
  DeltaAdmittanceLoad delta_admittance{3, three};
  FlexibleLoad flexible{2, three, {&law}};
  DeltaFlexibleLoad delta_flexible{3, three, {&law, &law, &law}};
  LoadBalancer balancer{{0.01, 0.02}, {0.0, -1e-4}, 0.5};
  ElectricalNetwork network{connected()};

  std::vector<Element*> connected() {
    std::vector<Element*> elements{&bus};
    for (Element* element : std::initializer_list<Element*>{
             &source, &delta_source, &delta_reference, &closed, &line, &shunt_line, &single, &center, &three_phase,
             &power, &delta_power, &current, &delta_current, &admittance, &delta_admittance, &flexible,
             &delta_flexible, &balancer}) {
      std::vector<std::pair<int, int>> pairs;
      for (int port = 0; port < static_cast<int>(element->ports.size()); ++port) pairs.emplace_back(port % 4, port);
      bus.connect(*element, pairs);
      elements.push_back(element);
    }
    return elements;
  }
};

// Values that no declaration gives: the solver's vectors filled with them show which records
// read them.
std::vector<double> marks(std::size_t size, double first) {
  std::vector<double> values(size);
  std::iota(values.begin(), values.end(), first);
  return values;
}

class DestroyedSolver : public testing::TestWithParam<SolverKind> {
 protected:
  // The recording meets singular and zero quantities of this network; only the linking matters.
  const LogCapture log{spdlog::level::off};
  EveryRecordKind all;

  // Fills the solver's vectors with marks and returns them (unknowns, parameters).
  static std::pair<std::vector<double>, std::vector<double>> mark(AbstractSolver& solver, double first) {
    const auto x = marks(static_cast<std::size_t>(solver.variables.size()), first);
    const auto p = marks(static_cast<std::size_t>(solver.dynamic_variables.size()), first + 1e4);
    solver.set_variables(x.data());
    std::copy(p.begin(), p.end(), solver.dynamic_variables.begin());
    return {x, p};
  }
};

// Every node, element record and flexible-parameter record keeps the value it last read from
// the solver's vectors and points into them no more: declaring again gives those values.
TEST_P(DestroyedSolver, LeavesEveryRecordUnlinkedAtItsLastValue) {
  auto solver = GetParam().make(&all.network);
  const auto last = mark(*solver, 1.0);
  solver.reset();
  EXPECT_EQ(all.network.declare_variables(), last);
  EXPECT_FALSE(all.law.s_max.linked);
  EXPECT_FALSE(all.three_phase.z2.linked);
  EXPECT_FALSE(all.bus.ports[0].connection->potential.linked);
}

// Records that a newer solver relinked stay linked to it when the older one goes.
TEST_P(DestroyedSolver, LeavesTheLinksOfANewerSolver) {
  auto older = GetParam().make(&all.network);
  auto newer = GetParam().make(&all.network);
  older.reset();
  const auto last = mark(*newer, 3.0);
  newer.reset();
  EXPECT_EQ(all.network.declare_variables(), last);
}

// A construction that fails after linking leaves no record pointing into the released vectors.
TEST(FailedSolverConstruction, UnlinksWhatItLinked) {
  EveryRecordKind all;
  const Control reactive_law("q_u", 0.9, 0.95, 1.05, 1.1, 10.0, 1e-5);
  FlexibleParameter wrong(reactive_law, all.constant, Projection("euclidean", 1000.0, 1e-5), 5000.0, 0.0, 0.0);
  FlexibleLoad failing(2, all.three, {&wrong});
  all.bus.connect(failing, {{0, 0}, {3, 1}});
  std::vector<Element*> elements = all.network.elements;
  elements.push_back(&failing);
  ElectricalNetwork network(elements);
  const auto declared = network.declare_variables();
  const LogCapture log(spdlog::level::off);
  EXPECT_THROW({ Newton failed(&network, false); }, std::runtime_error);
  EXPECT_EQ(network.declare_variables(), declared);
  EXPECT_FALSE(all.bus.ports[0].connection->potential.linked);
  EXPECT_FALSE(all.power.powers[0].linked);
  EXPECT_FALSE(wrong.s_max.linked);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DestroyedSolver, solver_kinds, solver_kind_name);

// ---------------------------------------------------------------------------------------------
// Backward-forward sweeps

struct SweepCase {
  const char* name;
  int max_iterations;
  double tolerance;  // multiple of the first sweep's error
  int expected_iterations;
  bool expect_first_error;  // else converged
};

class BackwardForwardLoop : public testing::TestWithParam<SweepCase> {};

TEST_P(BackwardForwardLoop, SweepsAtLeastOnceWhileTheErrorIsAboveTheTolerance) {
  DeltaChain chain;
  BackwardForward solver(&chain.network);
  const double first_error = chain.first_sweep_error();
  const auto [iterations, error] = solver.solve_load_flow(GetParam().max_iterations, GetParam().tolerance * first_error);
  EXPECT_EQ(iterations, GetParam().expected_iterations);
  if (GetParam().expect_first_error)
    EXPECT_EQ(error, first_error);
  else
    EXPECT_LT(error, 1e-12 * first_error);
}

INSTANTIATE_TEST_SUITE_P(Cases, BackwardForwardLoop,
                         testing::Values(SweepCase{"Converges", 10, 1e-12, 2, false},
                                         SweepCase{"ZeroIterationsStillSweepOnce", 0, 1e-12, 1, true},
                                         SweepCase{"NegativeIterationsStillSweepOnce", -3, 1e-12, 1, true},
                                         SweepCase{"ErrorEqualToToleranceStops", 10, 1.0, 1, true},
                                         SweepCase{"NegativeToleranceRunsEverySweep", 5, -1.0, 5, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BackwardForward, WarmStartsAndSeesParameterUpdates) {
  DeltaChain chain;
  BackwardForward solver(&chain.network);
  solver.solve_load_flow(10, 1e-9);
  EXPECT_LT(chain.violation(), 1e-9);
  const auto [iterations, error] = solver.solve_load_flow(10, 1e-9);
  EXPECT_EQ(iterations, 1);
  EXPECT_LT(error, 1e-9);

  chain.voltages[0] = {10.0, 0.0};
  chain.voltages[1] = {20.0, 0.0};
  chain.source.update_voltages(chain.voltages);
  solver.solve_load_flow(10, 1e-9);
  EXPECT_LT(chain.violation(), 1e-9);
}

TEST(BackwardForward, ElementsThatReportNoChangeNeedOneSweep) {
  SourceNetwork network;
  BackwardForward solver(&network.network);
  EXPECT_EQ(solver.solve_load_flow(10, 0.0), std::make_pair(1, 0.0));
  EXPECT_EQ(network.bus.get_port_potential(0), network.voltage);
}

// A source feeding a constant-power load directly, the node starting at 0 V: the first backward
// sweep computes the load's current at 0 V (infinite or NaN) and the forward sweep, in which
// nothing reports a change, writes the source voltage. The sweep is not converged; the next one
// is, unless the load's power is itself not a number.
struct LoadAtTheSource {
  Complex voltage{230.0, 0.0};
  Complex power{1000.0, 400.0};
  Bus bus{1};
  VoltageSource source{2, &voltage};
  PotentialRef reference;
  PowerLoad load{2, &power};
  ElectricalNetwork network{connected()};

  std::vector<Element*> connected() {
    bus.connect(source, {{0, 0}});
    source.connect(reference, {{1, 0}});
    bus.connect(load, {{0, 0}});
    source.connect(load, {{1, 1}});
    return {&bus, &source, &reference, &load};
  }
};

struct NonFiniteCase {
  const char* name;
  double power_scale;  // NaN keeps the load's current NaN at any voltage
  int max_iterations;
  int expected_iterations;
  bool expect_nan;  // else converged, with the load drawing its power
};

class BackwardForwardNonFinite : public testing::TestWithParam<NonFiniteCase> {};

TEST_P(BackwardForwardNonFinite, ReportsNaNWhileASweepLeavesNonFiniteValues) {
  LoadAtTheSource network;
  network.power *= GetParam().power_scale;
  network.load.update_powers(&network.power);
  BackwardForward solver(&network.network);
  const auto [iterations, error] = solver.solve_load_flow(GetParam().max_iterations, 1e-9);
  EXPECT_EQ(iterations, GetParam().expected_iterations);
  if (GetParam().expect_nan) {
    EXPECT_TRUE(std::isnan(error)) << error;
  } else {
    EXPECT_EQ(error, 0.0);
    const Complex current = network.load.get_port_current(0);
    EXPECT_LT(std::abs(network.voltage * std::conj(current) - network.power), 1e-9 * std::abs(network.power));
    EXPECT_EQ(network.source.get_port_current(0), -current);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BackwardForwardNonFinite,
    testing::Values(NonFiniteCase{"OneSweepLeavesTheLoadCurrentInfinite", 1.0, 1, 1, true},
                    NonFiniteCase{"TheNextSweepConverges", 1.0, 10, 2, false},
                    NonFiniteCase{"NaNToTheLastSweep", std::numeric_limits<double>::quiet_NaN(), 5, 5, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BackwardForward, ElementWithoutSweepStepThrowsAndStaysUsable) {
  LawNode<InjectionLaw> node({1.0, 0.0}, {2.0, 0.0});
  BackwardForward solver(&node.network);
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      solver.solve_load_flow(10, 1e-9);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "2 No backward-forward method has been defined for this element");
    }
  }
}
}  // namespace
