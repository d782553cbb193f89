#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "loads/flexible_parameter.hpp"

namespace {
// Laws of the examples below: voltages per unit, alpha = 1000, epsilon = 1e-5.
const Control kConstant("constant", 0.0, 0.0, 0.0, 0.0, 0.0, 0.0);
const Control kProduction("p_max_u_production", 0.0, 0.0, 0.96, 1.0, 1000.0, 1e-5);
const Control kConsumption("p_max_u_consumption", 0.84, 0.88, 0.0, 0.0, 1000.0, 1e-5);
const Control kVoltVar("q_u", 0.84, 0.88, 0.96, 1.0, 1000.0, 1e-5);
const Projection kEuclidean("euclidean", 1000.0, 1e-5);
const Projection kKeepP("keep_p", 1000.0, 1e-5);
const Projection kKeepQ("keep_q", 1000.0, 1e-5);

// A tape of compute_power with x and the setpoint as independent variables (x, Re s, Im s) and
// the three limits linked as its dynamic parameters.
struct TapedLaw {
  explicit TapedLaw(FlexibleParameter& parameter, double x, const Complex& s_th) {
    parameter.declare_dynamic_variables(p0);
    pd = Eigen::Map<const VectorXd>(p0.data(), 3);
    VectorXAD in(3);
    in << x, s_th.real(), s_th.imag();
    VectorXAD p = pd.cast<AD>();
    CppAD::Independent(in, 0, false, p);
    int idx = 0;
    parameter.link_dynamic_variables(p, pd, idx);
    const ComplexAD power = parameter.compute_power<ComplexAD>(in[0], ComplexAD(in[1], in[2]));
    VectorXAD out(2);
    out << power.real(), power.imag();
    tape.Dependent(in, out);
    tape.check_for_nan(false);
  }

  Complex evaluate(double x, const Complex& s_th) {
    tape.new_dynamic(std::vector<double>(pd.data(), pd.data() + 3));
    const std::vector<double> out = tape.Forward(0, std::vector<double>{x, s_th.real(), s_th.imag()});
    return {out[0], out[1]};
  }

  std::vector<double> p0;
  VectorXd pd;
  CppAD::ADFun<double> tape;
};

struct LawCase {
  std::string name;
  Control control_p;
  Control control_q;
  Projection projection;
  double s_max, q_min, q_max;
  double x;
  Complex s_th;
  Complex expected;
  double tolerance;
};

class FlexibleLaw : public testing::TestWithParam<LawCase> {};

// Each example in plain arithmetic and on a tape at the same point: both agree, and both are
// close to what the law's shape gives there.
TEST_P(FlexibleLaw, PlainAndRecordedAgreeWithTheLawsShape) {
  const LawCase& c = GetParam();
  FlexibleParameter parameter(c.control_p, c.control_q, c.projection, c.s_max, c.q_min, c.q_max);
  const Complex unlinked = parameter.compute_power<Complex>(c.x, c.s_th);
  EXPECT_LE(std::abs(unlinked - c.expected), c.tolerance) << unlinked << " vs " << c.expected;

  TapedLaw taped(parameter, c.x, c.s_th);
  const Complex recorded = taped.evaluate(c.x, c.s_th);
  const Complex plain = parameter.compute_power<Complex>(c.x, c.s_th);
  EXPECT_EQ(plain, unlinked);
  EXPECT_LE(std::abs(recorded - plain), 1e-12 * std::max(1.0, std::abs(plain))) << recorded << " vs " << plain;
}

const double kAbout = 1e-6;

INSTANTIATE_TEST_SUITE_P(
    FlexibleParameter, FlexibleLaw,
    testing::Values(
        // Two constant laws return the setpoint exactly, even beyond s_max.
        LawCase{"ConstantAboveTheLimit", kConstant, kConstant, kEuclidean, 1.0, 0.0, 0.0, 1.3, {5.0, -2.0}, {5.0, -2.0}, 0.0},
        // Production keeps P_th up to u0·u_max = 0.968, halves it midway to u_max, 0 above.
        LawCase{"ProductionBelow", kProduction, kConstant, kEuclidean, 5.0, 0.0, 0.0, 0.92, -4.0, -4.0, kAbout},
        LawCase{"ProductionMidway", kProduction, kConstant, kEuclidean, 5.0, 0.0, 0.0, 0.984, -4.0, -2.0, kAbout},
        LawCase{"ProductionAbove", kProduction, kConstant, kEuclidean, 5.0, 0.0, 0.0, 1.04, -4.0, 0.0, kAbout},
        // Consumption gives 0 below u_min, rises to P_th at u0·u_min = 0.872.
        LawCase{"ConsumptionBelow", kConsumption, kConstant, kEuclidean, 5.0, 0.0, 0.0, 0.8, 4.0, 0.0, kAbout},
        LawCase{"ConsumptionRising", kConsumption, kConstant, kEuclidean, 5.0, 0.0, 0.0, 0.86, 4.0, 2.5, 1e-6},
        LawCase{"ConsumptionAbove", kConsumption, kConstant, kEuclidean, 5.0, 0.0, 0.0, 0.9, 4.0, 4.0, kAbout},
        // Volt-VAR: q_min, rising to Q_th, flat, rising to q_max.
        LawCase{"VoltVarLow", kConstant, kVoltVar, kEuclidean, 5.0, -3.0, 3.0, 0.8, {1.0, 0.5}, {1.0, -3.0}, kAbout},
        LawCase{"VoltVarRising", kConstant, kVoltVar, kEuclidean, 5.0, -3.0, 3.0, 0.86, {1.0, 0.5}, {1.0, -1.25}, kAbout},
        LawCase{"VoltVarFlat", kConstant, kVoltVar, kEuclidean, 5.0, -3.0, 3.0, 0.92, {1.0, 0.5}, {1.0, 0.5}, kAbout},
        LawCase{"VoltVarRisingHigh", kConstant, kVoltVar, kEuclidean, 5.0, -3.0, 3.0, 0.98, {1.0, 0.5}, {1.0, 1.75}, kAbout},
        LawCase{"VoltVarHigh", kConstant, kVoltVar, kEuclidean, 5.0, -3.0, 3.0, 1.04, {1.0, 0.5}, {1.0, 3.0}, kAbout},
        // The projections, where the production law keeps P_th.
        LawCase{"KeepPLimitsQ", kProduction, kConstant, kKeepP, 5.0, 0.0, 0.0, 0.9, {-4.0, 4.0}, {-4.0, 3.0}, kAbout},
        LawCase{"KeepQLimitsPWithTheSetpointsSign", kProduction, kConstant, kKeepQ, 5.0, 0.0, 0.0, 0.9, {-4.0, 4.0},
                {-3.0, 4.0}, kAbout},
        LawCase{"EuclideanScalesDown", kProduction, kConstant, kEuclidean, 5.0, 0.0, 0.0, 0.9, -6.0, -5.0, kAbout},
        // P driven to 0 keeps its floor −S·sqrt(epsilon) under keep_q.
        LawCase{"KeepQFloorsAZeroP", kProduction, kConstant, kKeepQ, 5.0, 0.0, 0.0, 1.04, {-4.0, 1.0},
                {-5.0 * std::sqrt(1e-5), 1.0}, 1e-9}),
    [](const auto& info) { return info.param.name; });

// A name of the table written otherwise is refused with the name in the message.
TEST(FlexibleParameter, BadNamesAreRefused) {
  for (const std::string name : {"Constant", "q-u", "p_max_u-production", "constant ", ""}) {
    try {
      Control(name, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0);
      ADD_FAILURE() << name;
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), name + " is a bad control type name");
    }
  }
  for (const std::string name : {"Euclidean", "keep-p", "keep_q_"}) {
    try {
      Projection(name, 0.0, 0.0);
      ADD_FAILURE() << name;
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), name + " is a bad projection type name");
    }
  }
}

// A law given for the wrong power component is accepted and fails at the first evaluation, in
// either arithmetic; the active law is checked first.
TEST(FlexibleParameter, LawsOfTheWrongComponentFailWhenEvaluated) {
  const struct {
    Control p, q;
    const char* message;
  } cases[] = {{kVoltVar, kConstant, "Bad control type for P"},
               {kVoltVar, kConsumption, "Bad control type for P"},
               {kProduction, kConsumption, "Bad control type for Q"},
               {kConstant, kProduction, "Bad control type for Q"}};
  for (const auto& c : cases) {
    FlexibleParameter parameter(c.p, c.q, kEuclidean, 5.0, -1.0, 1.0);
    try {
      parameter.compute_power<Complex>(1.0, {1.0, 0.0});
      ADD_FAILURE() << c.message;
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), c.message);
    }
    VectorXAD in = VectorXAD::Zero(1);
    CppAD::Independent(in);
    EXPECT_THROW(parameter.compute_power<ComplexAD>(in[0], ComplexAD(1.0, 0.0)), std::runtime_error);
    CppAD::AD<double>::abort_recording();
  }
}

TEST(FlexibleParameter, DeclaresAndLinksItsThreeLimits) {
  FlexibleParameter parameter(kConstant, kVoltVar, kEuclidean, 5.0, -3.0, 3.0);
  std::vector<double> p0{9.0};
  parameter.declare_dynamic_variables(p0);
  EXPECT_EQ(p0, (std::vector<double>{9.0, 5.0, -3.0, 3.0}));

  // Unlinked, an update changes the stored values only.
  parameter.update_parameters(4.0, -2.0, 2.0);
  EXPECT_EQ(parameter.q_min.value, -2.0);
  EXPECT_FALSE(parameter.q_min.linked);

  VectorXd pd = VectorXd::Zero(5);
  int idx = 1;
  parameter.link_dynamic_variables(pd.cast<AD>(), pd, idx);
  EXPECT_EQ(idx, 4);
  EXPECT_EQ(parameter.s_max.value_ptr, pd.data() + 1);
  EXPECT_EQ(parameter.q_max.value_ptr, pd.data() + 3);

  // Linked, the slots follow and the plain law reads them at once.
  parameter.update_parameters(5.0, -3.0, 3.0);
  EXPECT_EQ(pd, (VectorXd(5) << 0.0, 5.0, -3.0, 3.0, 0.0).finished());
  EXPECT_NEAR(parameter.compute_power<Complex>(0.8, {1.0, 0.5}).imag(), -3.0, 1e-6);
  pd(2) = -1.0;
  EXPECT_NEAR(parameter.compute_power<Complex>(0.8, {1.0, 0.5}).imag(), -1.0, 1e-6);
}

// The limits stay live in the tape, and so does the sign that keep_q takes from the setpoint: a
// tape recorded on one side of P_th = 0 and evaluated on the other agrees with plain arithmetic.
TEST(FlexibleParameter, TapeFollowsTheLimitsAndTheSetpointSign) {
  FlexibleParameter volt_var(kConstant, kVoltVar, kEuclidean, 5.0, -3.0, 3.0);
  TapedLaw taped(volt_var, 0.8, {1.0, 0.5});
  volt_var.update_parameters(5.0, -2.0, 3.0);
  EXPECT_NEAR(taped.evaluate(0.8, {1.0, 0.5}).imag(), -2.0, 1e-6);

  FlexibleParameter keep_q(kProduction, kConstant, kKeepQ, 5.0, 0.0, 0.0);
  for (const double recorded : {-4.0, 4.0}) {
    TapedLaw sign(keep_q, 0.9, {recorded, 4.0});
    for (const Complex s_th : {Complex(-4.0, 4.0), Complex(4.0, 4.0), Complex(0.0, 4.0)}) {
      const Complex plain = keep_q.compute_power<Complex>(0.9, s_th);
      EXPECT_NEAR(plain.real(), s_th.real() == 0.0 ? 5.0 * std::sqrt(1e-5) : 0.75 * s_th.real(), 1e-6) << s_th;
      EXPECT_LT(std::abs(sign.evaluate(0.9, s_th) - plain), 1e-12) << "recorded at " << recorded << ", at " << s_th;
    }
  }
}
}  // namespace
