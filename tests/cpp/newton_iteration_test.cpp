#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "solvers/logging.hpp"
#include "solvers/newton.hpp"
#include "tests/cpp/log_capture.hpp"
#include "tests/cpp/test_checks.hpp"
#include "tests/cpp/test_networks.hpp"

namespace {
const double nan = std::numeric_limits<double>::quiet_NaN();

struct NewtonKind {
  const char* name;
  std::function<std::unique_ptr<AbstractNewton>(ElectricalNetwork*)> make;
};

const auto newton_kinds = testing::Values(
    NewtonKind{"Newton", [](ElectricalNetwork* n) -> std::unique_ptr<AbstractNewton> { return std::make_unique<Newton>(n, false); }},
    NewtonKind{"NewtonGoldstein", [](ElectricalNetwork* n) -> std::unique_ptr<AbstractNewton> {
                 return std::make_unique<NewtonGoldstein>(n, true, 0.1, 0.9);
               }});

const auto kind_name = [](const auto& info) { return std::string(info.param.name); };

// ---------------------------------------------------------------------------------------------
// Solving

class NewtonSolve : public testing::TestWithParam<NewtonKind> {
 protected:
  // Kirchhoff at both nodes, the source voltage, the line's law and the load's power.
  void expect_feeder_solved(const Complex& power, const Complex& voltage) const {
    const Complex va = feeder.bus.get_port_potential(0), vb = feeder.bus.get_port_potential(1);
    const Complex line_current = feeder.line.get_port_current(0);
    const Complex load_current = feeder.load.get_port_current(0);
    EXPECT_LT(std::abs(va - voltage), 1e-9);
    EXPECT_LT(std::abs(line_current - feeder.admittance * (va - vb)), 1e-9);
    EXPECT_LT(std::abs(feeder.source.get_port_current(0) + line_current), 1e-9);
    EXPECT_LT(std::abs(feeder.line.get_port_current(1) + load_current), 1e-9);
    EXPECT_LT(std::abs(vb * std::conj(load_current) - power), 1e-6);
  }

  Feeder feeder;
  std::unique_ptr<AbstractNewton> solver = GetParam().make(&feeder.network);
};

TEST_P(NewtonSolve, SolvesTheFeederAndWarmStarts) {
  const auto [iterations, error] = solver->solve_load_flow(20, 1e-9);
  EXPECT_GT(iterations, 1);
  EXPECT_LE(error, 1e-9);
  expect_feeder_solved(feeder.power, feeder.voltage);

  const auto again = solver->solve_load_flow(20, 1e-9);
  EXPECT_EQ(again.first, 0);
  EXPECT_LE(again.second, 1e-9);
}

TEST_P(NewtonSolve, ParameterUpdatesNeedNoNewRecording) {
  solver->solve_load_flow(20, 1e-9);
  const LogCapture log;
  const Complex power{4000.0, -1500.0}, voltage{0.0, 231.0};
  feeder.load.parameter.set_value(power);
  feeder.source.update_voltages(&voltage);
  const auto [iterations, error] = solver->solve_load_flow(20, 1e-9);
  EXPECT_GT(iterations, 0);
  EXPECT_LE(error, 1e-9);
  expect_feeder_solved(power, voltage);
  EXPECT_EQ(log.text().find("Tape evaluation"), std::string::npos);
}

TEST_P(NewtonSolve, RefreshesPortCurrentsEvenWithoutAStep) {
  SourceNetwork network;
  const auto solver = GetParam().make(&network.network);
  const double moved[4] = {0.0, 0.0, 5.0, 6.0};
  solver->set_variables(moved);
  solver->solve_load_flow(0, 1e-9);
  EXPECT_EQ(network.source.get_port_current(0), Complex(5.0, 6.0));
}

TEST_P(NewtonSolve, NetworkWithoutUnknownsIsSolvedAtOnce) {
  ElectricalNetwork empty({});
  const auto solver = GetParam().make(&empty);
  EXPECT_EQ(solver->solve_load_flow(10, 0.0), std::make_pair(0, 0.0));
  // A tolerance that can never be met takes every step, each of which has nothing to solve.
  EXPECT_EQ(solver->solve_load_flow(3, -1.0), std::make_pair(3, 0.0));
}

// Nodes on a reference have no residual and a node without currents has a zero one, so residuals
// within the tolerance can still leave infinite or NaN values; the steps taken stay counted.
TEST_P(NewtonSolve, NonFiniteResultsGiveANaNError) {
  SourceNetwork source;
  LawElement<ConstantPowerLaw> on_reference({1000.0, 100.0});
  source.reference.connect(on_reference, {{0, 0}});
  ElectricalNetwork infinite_load({&source.bus, &source.source, &source.reference, &on_reference});
  const auto first = GetParam().make(&infinite_load)->solve_load_flow(20, 1e-8);
  EXPECT_EQ(first.first, 1);
  EXPECT_TRUE(std::isnan(first.second));
  EXPECT_FALSE(std::isfinite(on_reference.get_port_current(0).real()));

  const Complex nan_start{nan, 0.0};
  Bus lone(1, &nan_start);
  ElectricalNetwork nan_potential({&lone});
  const auto second = GetParam().make(&nan_potential)->solve_load_flow(20, 1e-8);
  EXPECT_EQ(second.first, 0);
  EXPECT_TRUE(std::isnan(second.second));
}

double largest_residual(AbstractNewton& solver) {
  double largest = 0.0;
  for (const double residual : residuals_of(solver)) largest = std::max(largest, std::abs(residual));
  return largest;
}

// The tape records no current for the law element, so its residual is 0 from the start while
// the plain current p = 3 − 4j leaves Kirchhoff's law at its node off by that much.
TEST_P(NewtonSolve, ResidualsWithinTheToleranceMustHoldInPlainArithmetic) {
  LawNode<UnrecordedInjectionLaw> node({230.0, 0.0}, {3.0, -4.0});
  const auto solver = GetParam().make(&node.network);
  EXPECT_EQ(solver->solve_load_flow(20, 1e-9), std::make_pair(0, 4.0));
  // Within a tolerance that the plain sum meets too, the recorded error stands.
  EXPECT_EQ(solver->solve_load_flow(20, 4.0), std::make_pair(0, 0.0));

  // A reference node has no equation, so nothing is summed there.
  SourceNetwork source;
  LawElement<UnrecordedInjectionLaw> on_reference({3.0, -4.0});
  source.reference.connect(on_reference, {{0, 0}});
  ElectricalNetwork grounded({&source.bus, &source.source, &source.reference, &on_reference});
  const auto grounded_solver = GetParam().make(&grounded);
  const auto [iterations, error] = grounded_solver->solve_load_flow(20, 1e-9);
  EXPECT_EQ(on_reference.get_port_current(0), Complex(3.0, -4.0));
  EXPECT_EQ(error, largest_residual(*grounded_solver));
  EXPECT_GT(iterations, 0);
}

// The sums are those of the recorded equations: an element outside the list counts with what
// the recording took for it, not with a plain current that the solves never refresh, and a
// port disconnected after the recording still counts.
TEST_P(NewtonSolve, PlainKirchhoffSumsTakeThePortsOfTheRecording) {
  Feeder outsider_feeder;
  LawElement<InjectionLaw> outsider({5.0, 1.0});
  outsider_feeder.bus.connect(outsider, {{1, 0}});
  outsider.ports[0].current_ad = ComplexAD(1.0, -2.0);
  outsider.eval_currents(false);
  const auto solver = GetParam().make(&outsider_feeder.network);
  const auto [iterations, error] = solver->solve_load_flow(20, 1e-9);
  EXPECT_GT(iterations, 1);
  EXPECT_LE(error, 1e-9);
  EXPECT_EQ(error, largest_residual(*solver));
  EXPECT_LT(std::abs(outsider_feeder.line.get_port_current(1) + outsider_feeder.load.get_port_current(0) + Complex(1.0, -2.0)), 1e-9);

  outsider_feeder.load.disconnect();
  const auto again = solver->solve_load_flow(20, 1e-9);
  EXPECT_EQ(again.first, 0);
  EXPECT_EQ(again.second, largest_residual(*solver));
}

// The elements read the solver that linked them last, so the plain currents that an older
// solver's solve refreshes are not its own: its residuals are not checked against them, neither
// while a newer solver holds the nodes nor once that one has unlinked them.
TEST_P(NewtonSolve, OnlyTheSolverTheNodesReadChecksThePlainSums) {
  auto newer = GetParam().make(&feeder.network);
  const auto [iterations, error] = solver->solve_load_flow(20, 1e-9);
  EXPECT_GT(iterations, 1);
  EXPECT_LE(error, 1e-9);
  EXPECT_EQ(error, largest_residual(*solver));

  newer.reset();
  solver->reset_inputs();
  const auto again = solver->solve_load_flow(20, 1e-9);
  EXPECT_LE(again.second, 1e-9);
  EXPECT_EQ(again.second, largest_residual(*solver));
}

// Memory CppAD's allocator keeps for this thread instead of giving it back.
std::size_t held_tape_memory() { return CppAD::thread_alloc::available(CppAD::thread_alloc::thread_num()); }

// Whether memory released now would be kept.
bool allocator_holds() {
  const std::size_t before = held_tape_memory();
  { CppAD::vector<double> released(4096); }
  return held_tape_memory() > before;
}

TEST_P(NewtonSolve, HoldsTapeMemoryOnlyDuringSolvesUntilDestroyed) {
  solver->solve_load_flow(20, 1e-9);
  // Kept from the iterations for the next solve, and the setting is back to the default.
  EXPECT_GT(held_tape_memory(), 0u);
  EXPECT_FALSE(allocator_holds());

  LawNode<SquareLaw> singular({0.0, 0.0}, {1.0, 0.0});
  const std::unique_ptr<AbstractNewton> failing = GetParam().make(&singular.network);
  EXPECT_THROW(failing->solve_load_flow(5, 1e-9), std::runtime_error);
  EXPECT_FALSE(allocator_holds());

  solver.reset();
  EXPECT_EQ(held_tape_memory(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, NewtonSolve, newton_kinds, kind_name);

// ---------------------------------------------------------------------------------------------
// Loop boundaries, on the linear source network: at the start only the source's equation is
// off, by −U, so the starting error is the larger part of U; one full step solves it.

struct LoopCase {
  const char* name;
  int max_iterations;
  double tolerance;  // multiple of the starting error
  int expected_iterations;
  bool at_start;  // else solved
};

class NewtonLoop : public testing::TestWithParam<LoopCase> {};

TEST_P(NewtonLoop, StepsWhileTheErrorIsAboveTheToleranceAndBelowTheLimit) {
  SourceNetwork network;
  Newton solver(&network.network, false);
  const double start_error = std::max(std::abs(network.voltage.real()), std::abs(network.voltage.imag()));
  const auto [iterations, error] = solver.solve_load_flow(GetParam().max_iterations, GetParam().tolerance * start_error);
  EXPECT_EQ(iterations, GetParam().expected_iterations);
  if (GetParam().at_start) {
    EXPECT_EQ(error, start_error);
    EXPECT_FALSE(solver.pattern_analysed);
  } else {
    EXPECT_LT(error, 1e-12 * start_error);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, NewtonLoop,
                         testing::Values(LoopCase{"Converges", 10, 1e-12, 1, false},
                                         LoopCase{"ErrorEqualToToleranceStops", 10, 1.0, 0, true},
                                         LoopCase{"ZeroIterations", 0, 1e-12, 0, true},
                                         LoopCase{"NegativeIterations", -2, 1e-12, 0, true},
                                         LoopCase{"NegativeToleranceRunsEveryStep", 3, -1.0, 3, false},
                                         LoopCase{"NaNToleranceStops", 10, nan, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NewtonLoopNaN, NaNResidualKeepsTheLoopGoingAndIsReported) {
  SourceNetwork network;
  LawElement<InjectionLaw> injection({nan, 0.0});
  network.bus.connect(injection, {{0, 0}});
  ElectricalNetwork with_injection({&network.bus, &network.source, &network.reference, &injection});
  // Debug builds of the library report every NaN residual through the handler.
  const LogCapture log(spdlog::level::off);
  Newton solver(&with_injection, false);
  const auto [iterations, error] = solver.solve_load_flow(4, 1e-9);
  EXPECT_EQ(iterations, 4);
  EXPECT_TRUE(std::isnan(error));
}

// ---------------------------------------------------------------------------------------------
// Numerical failures

template <class Law>
std::string first_failure(const Complex& start, const Complex& parameter) {
  LawNode<Law> node(start, parameter);
  const LogCapture log(spdlog::level::off);
  Newton solver(&node.network, false);
  try {
    solver.solve_load_flow(10, 1e-9);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "no exception";
}

// A floating bus of 24 nodes: no equation depends on any unknown, and the negative tolerance asks
// for a step all the same.
std::string floating_bus_failure() {
  Bus bus(24);
  ElectricalNetwork network({&bus});
  Newton solver(&network, false);
  try {
    solver.solve_load_flow(1, -1.0);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "no exception";
}

struct FailureCase {
  const char* name;
  std::function<std::string()> solve;
  const char* expected;
};

class NewtonFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(NewtonFailure, ThrowsTheCategoryOneMessage) { EXPECT_EQ(GetParam().solve(), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Cases, NewtonFailure,
    testing::Values(
        // conj(p / V) at V = 0
        FailureCase{"NaNJacobian", [] { return first_failure<ConstantPowerLaw>({0.0, 0.0}, {1.0, 1.0}); },
                    "1 NaN value encountered at iteration 0. "},
        // d sqrt(x)/dx at x = 0
        FailureCase{"InfiniteJacobian", [] { return first_failure<SqrtLaw>({0.0, 0.0}, {1.0, 0.0}); },
                    "1 NaN value encountered at iteration 0. "},
        // d(V²)/dV at V = 0
        FailureCase{"SingularAtStart", [] { return first_failure<SquareLaw>({0.0, 0.0}, {1.0, 0.0}); },
                    "1 Decomposition failed, singular matrix at iteration 0. "},
        // V² = −1 from V = 1: the first step lands on V = 1 − (1 + 1)/2 = 0
        FailureCase{"SingularAfterOneStep", [] { return first_failure<SquareLaw>({1.0, 0.0}, {-1.0, 0.0}); },
                    "1 Decomposition failed, singular matrix at iteration 1. "},
        // Fewer Jacobian entries than unknowns: refused before the factorisation
        FailureCase{"NoJacobianEntries", floating_bus_failure, "1 Decomposition failed, singular matrix at iteration 0. "}),
    [](const auto& info) { return std::string(info.param.name); });

int outer_reports = 0;
void count_report(bool, int, const char*, const char*, const char*) { ++outer_reports; }

TEST(NewtonFailureState, KeepsTheLastStepAndStaysUsable) {
  const CppAD::ErrorHandler outer(count_report);
  LawNode<SquareLaw> node({1.0, 0.0}, {-1.0, 0.0});
  Newton solver(&node.network, false);
  EXPECT_THROW(solver.solve_load_flow(10, 1e-9), std::runtime_error);
  EXPECT_EQ(solver.variables, VectorXd::Zero(2));
  // The currents were not refreshed at the failing point (where V² − p = 1).
  EXPECT_EQ(node.element.get_port_current(0), Complex());
  CppAD::ErrorHandler::Call(true, 1, "probe", "probe", "");
  EXPECT_EQ(outer_reports, 1);

  node.element.parameter.set_value({4.0, 0.0});
  solver.reset_inputs();
  const auto [iterations, error] = solver.solve_load_flow(20, 1e-12);
  EXPECT_LE(error, 1e-12);
  EXPECT_NEAR(node.bus.get_port_potential(0).real(), 2.0, 1e-12);
}

// A solve that throws leaves every port current as the last refresh (the previous solve) left it,
// whatever the failure.
struct SpoilCase {
  const char* name;
  std::function<void(Feeder&, AbstractNewton&)> spoil;
  const char* expected;
};

class NewtonFailureCurrents : public testing::TestWithParam<SpoilCase> {};

TEST_P(NewtonFailureCurrents, AreThoseOfThePreviousRefresh) {
  Feeder feeder;
  Newton solver(&feeder.network, false);
  solver.solve_load_flow(20, 1e-9);
  const auto port_currents = [&feeder] {
    std::vector<Complex> currents;
    for (const Element* element : feeder.network.elements)
      for (const Port& port : element->ports) currents.push_back(port.current);
    return currents;
  };
  const std::vector<Complex> solved = port_currents();

  GetParam().spoil(feeder, solver);
  const LogCapture log(spdlog::level::off);
  try {
    solver.solve_load_flow(20, 1e-9);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), GetParam().expected);
  }
  EXPECT_EQ(port_currents(), solved);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NewtonFailureCurrents,
    testing::Values(
        // Every node at 0 V: the load's current is NaN.
        SpoilCase{"NaNJacobian",
                  [](Feeder&, AbstractNewton& solver) {
                    const std::vector<double> zeros(static_cast<std::size_t>(solver.independents_size()), 0.0);
                    solver.set_variables(zeros.data());
                  },
                  "1 NaN value encountered at iteration 0. "},
        // Nothing depends on the load's node any more, while the source still feeds the line.
        SpoilCase{"SingularJacobian",
                  [](Feeder& feeder, AbstractNewton&) {
                    feeder.line.admittance.set_value({});
                    feeder.load.parameter.set_value({});
                  },
                  "1 Decomposition failed, singular matrix at iteration 0. "}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Goldstein line search, on the linear source network. Stepping along c times the Newton
// correction, F(α) = (1 − α c) F(0), so the test ratio over the slope is t(α) = c (1 − α c / 2):
// α is accepted when m1 ≤ t ≤ m2, too long when t < m1 and too short otherwise.

struct SearchCase {
  const char* name;
  double scale;  // c
  double m1, m2;
  double expected_alpha;
};

class GoldsteinStep : public testing::TestWithParam<SearchCase> {};

TEST_P(GoldsteinStep, FindsTheExpectedLength) {
  SourceNetwork network;
  NewtonGoldstein solver(&network.network, false, GetParam().m1, GetParam().m2);
  const VectorXd x0 = solver.variables;
  const VectorXd y0 = solver.forward();
  Eigen::Matrix<double, 4, 4, Eigen::RowMajor> jacobian;
  solver.get_jacobian(jacobian.data());
  const VectorXd dx = GetParam().scale * jacobian.fullPivLu().solve(y0);

  VectorXd y = y0;
  solver.step(dx, y);
  const double alpha = GetParam().expected_alpha;
  EXPECT_LT((solver.variables - (x0 - alpha * dx)).norm(), 1e-12 * x0.norm() + 1e-9);
  EXPECT_LT((y - (1.0 - alpha * GetParam().scale) * y0).norm(), 1e-9 * y0.norm());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GoldsteinStep,
    testing::Values(
        // t(1) = 0.5
        SearchCase{"AcceptsTheFullStep", 1.0, 0.1, 0.9, 1.0},
        // Both bounds are inclusive: the full step makes F(1) = 0 exactly, so t(1) = 0.5 exactly
        SearchCase{"AcceptsTheFullStepAtM1", 1.0, 0.5, 0.9, 1.0},
        SearchCase{"AcceptsTheFullStepAtM2", 1.0, 0.1, 0.5, 1.0},
        // t(1) ≈ 0.117 and t(2) ≈ 0.109 are too short, t(4) ≈ 0.094 is accepted
        SearchCase{"DoublesWhileTooShort", 0.125, 0.05, 0.1, 4.0},
        // t = −4, 0, 2 for α = 1, 1/2, 1/4 (too long), t(1/8) = 3 (too short), t(3/16) = 2.5
        SearchCase{"BisectsOnceBracketed", 4.0, 2.4, 2.9, 0.1875},
        // m1 = 0, m2 = 1: the full step, which increases ½‖F‖², is retried at α = 1/2
        SearchCase{"RetriesAnIncreasingFullStepAtHalf", 3.0, 0.0, 1.0, 0.5},
        // Nothing is accepted when m1 > m2: ten halvings (t < m1) or ten doublings
        SearchCase{"KeepsTheTenthTrialWhenAllTooLong", 1.0, 1.0, 0.0, 1.0 / 512.0},
        SearchCase{"KeepsTheTenthTrialWhenAllTooShort", 1.0, -1e6, -2e6, 512.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GoldsteinSearch, TreatsANaNTrialAsTooShort) {
  // sqrt(Re V) is NaN for every trial Re V = 1 − 2α: the length doubles up to 512.
  LawNode<SqrtLaw> node({1.0, 0.0}, {0.5, 0.0});
  NewtonGoldstein solver(&node.network, false, 0.1, 0.9);
  // As inside a solve: the library's reports of NaN residuals are only logged.
  const CppAD::ErrorHandler handler(custom_handler);
  const LogCapture log(spdlog::level::off);
  VectorXd y = solver.forward();
  solver.step(VectorXd::Unit(2, 0) * 2.0, y);
  EXPECT_EQ(solver.variables[0], 1.0 - 512.0 * 2.0);
  EXPECT_TRUE(std::isnan(y[0]));
}

TEST(GoldsteinSearch, UpdatedFactorsApplyToTheNextSolve) {
  SourceNetwork network;
  const double start_error = std::max(std::abs(network.voltage.real()), std::abs(network.voltage.imag()));
  NewtonGoldstein solver(&network.network, false, 1.0, 0.0);
  // Every trial too long: the step ends at 2⁻⁹ of the Newton correction.
  EXPECT_DOUBLE_EQ(solver.solve_load_flow(1, 0.0).second, (1.0 - 1.0 / 512.0) * start_error);

  solver.update_params(0.1, 0.9);
  const auto [iterations, error] = solver.solve_load_flow(1, 0.0);
  EXPECT_EQ(iterations, 1);
  EXPECT_LT(error, 1e-12 * start_error);
}
}  // namespace
