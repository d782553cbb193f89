#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "solvers/logging.hpp"
#include "solvers/newton.hpp"
#include "tests/cpp/log_capture.hpp"
#include "tests/cpp/test_checks.hpp"
#include "tests/cpp/test_networks.hpp"

namespace {
std::vector<double> dense_jacobian(AbstractNewton& solver) {
  const auto n = static_cast<std::size_t>(solver.independents_size());
  std::vector<double> out(n * n);
  solver.get_jacobian(out.data());
  return out;
}

// The feeder's residuals computed by hand at unknowns x: Kirchhoff at A and B, then the source.
std::vector<double> feeder_residuals(const std::vector<double>& x, const Feeder& feeder, const Complex& power) {
  const Complex va(x[0], x[1]), vb(x[2], x[3]), source_current(x[4], x[5]);
  const Complex line_current = feeder.admittance * (va - vb);
  const Complex rows[3] = {source_current + line_current, -line_current + std::conj(power / vb), va - feeder.voltage};
  return {rows[0].real(), rows[0].imag(), rows[1].real(), rows[1].imag(), rows[2].real(), rows[2].imag()};
}

void expect_near(const std::vector<double>& actual, const std::vector<double>& expected, double tolerance) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t k = 0; k < actual.size(); ++k) EXPECT_NEAR(actual[k], expected[k], tolerance) << "entry " << k;
}

// ---------------------------------------------------------------------------------------------
// Residuals

class NewtonResiduals : public testing::TestWithParam<bool> {
 protected:
  Feeder feeder;
  Newton solver{&feeder.network, GetParam()};
  std::vector<double> start = feeder.network.declare_variables().first;
};

TEST_P(NewtonResiduals, AreTheEquationsAtTheCurrentUnknowns) {
  expect_near(residuals_of(solver), feeder_residuals(start, feeder, feeder.power), 1e-9);

  const std::vector<double> moved{231.0, 2.0, 225.0, -3.0, 8.0, 1.0};
  solver.set_variables(moved.data());
  expect_near(residuals_of(solver), feeder_residuals(moved, feeder, feeder.power), 1e-9);

  solver.reset_inputs();
  expect_near(residuals_of(solver), feeder_residuals(start, feeder, feeder.power), 1e-9);
}

TEST_P(NewtonResiduals, ParameterUpdatesWaitForTheNextSolve) {
  const Complex updated(5000.0, -500.0);
  feeder.load.parameter.set_value(updated);
  expect_near(residuals_of(solver), feeder_residuals(start, feeder, feeder.power), 1e-9);

  solver.solve_load_flow(0, 1e-9);
  expect_near(residuals_of(solver), feeder_residuals(start, feeder, updated), 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Tape, NewtonResiduals, testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Optimised" : "AsRecorded"); });

TEST(NewtonResidualsOfReferenceNodes, AreTheElementsInternalRows) {
  const Complex voltage{1.0, 2.0};
  VoltageSource source(2, &voltage);
  PotentialRef first, second;
  source.connect(first, {{0, 0}});
  source.connect(second, {{1, 0}});
  ElectricalNetwork network({&first, &source, &second});
  Newton solver(&network, false);
  EXPECT_EQ(residuals_of(solver), (std::vector<double>{-1.0, -2.0}));
}

// ---------------------------------------------------------------------------------------------
// Debug records of the recording

TEST(NewtonRecording, LogsTheTapeSizesAtDebugLevel) {
  Feeder feeder;
  std::size_t recorded_size = 0;
  {
    const LogCapture log;
    const Newton plain(&feeder.network, false);
    recorded_size = plain.tape.size_op();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"debug ----- Tape evaluation -----",
                                                     "debug Number of tape operators: " + std::to_string(recorded_size)}));
  }
  const LogCapture log;
  const NewtonGoldstein optimised(&feeder.network, true, 0.1, 0.9);
  EXPECT_LT(optimised.tape.size_op(), recorded_size);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"debug ----- Tape evaluation -----",
                                                   "debug Number of tape operators: " + std::to_string(recorded_size),
                                                   "debug ----- Tape optimization -----",
                                                   "debug Number of tape operators: " +
                                                       std::to_string(optimised.tape.size_op())}));
}

TEST(NewtonRecording, LogsNothingAboveDebugLevel) {
  Feeder feeder;
  const LogCapture log(spdlog::level::info);
  Newton solver(&feeder.network, true);
  solver.solve_load_flow(20, 1e-9);
  EXPECT_EQ(log.text(), "");
}

TEST(NewtonRecording, GoldsteinKeepsItsFactorsAsGiven) {
  Feeder feeder;
  NewtonGoldstein solver(&feeder.network, false, -3.0, 1e9);
  EXPECT_EQ(solver.m1, -3.0);
  EXPECT_EQ(solver.m2, 1e9);
  solver.update_params(0.25, 0.75);
  EXPECT_EQ(solver.m1, 0.25);
  EXPECT_EQ(solver.m2, 0.75);
}

// ---------------------------------------------------------------------------------------------
// Automatic-differentiation errors

// Counts the reports that reach the handler in force outside the solvers' scopes.
int outer_reports = 0;
void count_report(bool, int, const char*, const char*, const char*) { ++outer_reports; }

class ErrorHandlerScope : public testing::Test {
 protected:
  void SetUp() override { outer_reports = 0; }
  void TearDown() override { report_armed = false; }

  // The handler in force now, as seen by one report.
  static bool outer_handler_in_force() {
    const int before = outer_reports;
    CppAD::ErrorHandler::Call(true, 1, "scope_test", "probe", "");
    return outer_reports == before + 1;
  }

  const CppAD::ErrorHandler outer{count_report};
  LawNode<ReportingLaw> node{{1.0, 0.0}, {3.0, 0.0}};
};

TEST_F(ErrorHandlerScope, RecordingReportsAreLogged) {
  const LogCapture log(spdlog::level::err, "%v");
  report_armed = true;
  const Newton solver(&node.network, true);
  EXPECT_EQ(outer_reports, 0);
  EXPECT_NE(log.text().find("Error from a known source:\nreported by the test law\n"), std::string::npos);
  EXPECT_TRUE(outer_handler_in_force());
}

struct ScopedOperation {
  const char* name;
  std::function<void(AbstractNewton&)> run;
};

class ErrorHandlerOperation : public ErrorHandlerScope, public testing::WithParamInterface<ScopedOperation> {};

TEST_P(ErrorHandlerOperation, LogsReportsAndRestoresTheOuterHandler) {
  Newton solver(&node.network, false);
  const LogCapture log(spdlog::level::err, "%v");
  report_armed = true;
  GetParam().run(solver);
  EXPECT_EQ(outer_reports, 0);
  EXPECT_NE(log.text().find("reported by the test law"), std::string::npos);
  EXPECT_TRUE(outer_handler_in_force());
}

INSTANTIATE_TEST_SUITE_P(
    Operations, ErrorHandlerOperation,
    testing::Values(ScopedOperation{"GetResiduals", [](AbstractNewton& s) { residuals_of(s); }},
                    ScopedOperation{"GetJacobian", [](AbstractNewton& s) { dense_jacobian(s); }},
                    ScopedOperation{"SolveLoadFlow", [](AbstractNewton& s) { s.solve_load_flow(5, 1e-9); }},
                    ScopedOperation{"AnalyseJacobian", [](AbstractNewton& s) { s.analyse_jacobian(); }},
                    ScopedOperation{"SaveMatrix",
                                    [](AbstractNewton& s) {
                                      s.save_matrix((std::filesystem::temp_directory_path() / "missing_directory" / "j").string());
                                    }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ErrorHandlerScope, EvaluationsOutsideTheScopedOperationsReachTheOuterHandler) {
  Newton solver(&node.network, false);
  report_armed = true;
  solver.forward();
  EXPECT_GT(outer_reports, 0);
}

// ---------------------------------------------------------------------------------------------
// Failures while recording

TEST(NewtonRecordingFailure, LeavesNoRecordingOpenAndNoDanglingLink) {
  const Complex start{3.0, 4.0};
  Bus bus(1, &start);
  LawElement<ThrowingLaw> failing({1.0, 0.0});
  bus.connect(failing, {{0, 0}});
  ElectricalNetwork failing_network({&bus, &failing});
  const LogCapture log(spdlog::level::err);
  try {
    Newton solver(&failing_network, true);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "law not recordable");
  }
  // The records must not point into the released vectors of the failed solver.
  EXPECT_EQ(bus.get_port_potential(0), start);
  failing.parameter.set_value({2.0, 0.0});
  EXPECT_EQ(failing.parameter.get_value(), Complex(2.0, 0.0));

  // The next solver in the process records and solves normally.
  Feeder feeder;
  Newton solver(&feeder.network, true);
  const auto [iterations, error] = solver.solve_load_flow(20, 1e-9);
  EXPECT_LE(error, 1e-9);
  EXPECT_GT(iterations, 0);
  EXPECT_EQ(log.text(), "");
}
}  // namespace
