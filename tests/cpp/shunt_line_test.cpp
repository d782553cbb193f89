#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <numbers>
#include <optional>

#include "branches/line.hpp"
#include "core/nodal_elements.hpp"
#include "core/voltage_source.hpp"
#include "loads/power_load.hpp"
#include "log_capture.hpp"
#include "solvers/newton.hpp"
#include "taped_network.hpp"
#include "test_arrays.hpp"

namespace {
// Total shunt admittance of a cable section: capacitive and symmetric, as physical data are, with
// unequal couplings.
Eigen::MatrixXc shunt(int n, double km = 1.0) {
  Eigen::MatrixXc y(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      y(i, j) = km * (i == j ? Complex(1e-5, 3e-4 + 1e-5 * i) : Complex(0.0, -5e-5 - 1e-5 * (i + j)));
  return y;
}

Eigen::VectorXc potentials(int n, double magnitude, double phase) {
  Eigen::VectorXc v(n);
  for (int i = 0; i < n; ++i) v(i) = std::polar(magnitude * (1.0 + 0.01 * i), phase - 2.0 * i);
  return v;
}

ShuntLine make_line(const Eigen::MatrixXc& y, const Eigen::MatrixXc& z) {
  return ShuntLine(static_cast<int>(z.rows()), row_major(y).data(), row_major(z).data());
}

// The textbook nodal pi model, computed here without the line: the series branch Z between the
// sides, half of Y at each end towards the ground port. Returns the 2n + 1 port currents. The
// ground port takes what the shunt branches carry, weighted by the row sums of Y: for a
// symmetric Y (physical data) the balance of the sides, so that the currents sum to zero.
Eigen::VectorXc pi_currents(const Eigen::MatrixXc& y, const Eigen::MatrixXc& z, const Eigen::VectorXc& v1,
                            const Eigen::VectorXc& v2, const Complex& vg) {
  const Eigen::Index n = z.rows();
  const Eigen::VectorXc series = z.fullPivLu().solve(v1 - v2);
  const Eigen::VectorXc ones = Eigen::VectorXc::Ones(n);
  const Eigen::VectorXc shunt1 = 0.5 * y * (v1 - vg * ones);
  const Eigen::VectorXc shunt2 = 0.5 * y * (v2 - vg * ones);
  const Eigen::VectorXc row_sums = y * ones;
  Eigen::VectorXc out(2 * n + 1);
  out << series + shunt1, -series + shunt2, -0.5 * row_sums.cwiseProduct(v1 + v2 - 2.0 * vg * ones).sum();
  return out;
}

Eigen::VectorXc port_currents(const Element& element) {
  Eigen::VectorXc out(static_cast<Eigen::Index>(element.ports.size()));
  for (std::size_t i = 0; i < element.ports.size(); ++i) out(static_cast<Eigen::Index>(i)) = element.ports[i].current;
  return out;
}

// A line between two buses and a ground bus, all carrying given potentials.
class LineAmongBuses : public testing::TestWithParam<int> {
 protected:
  int n = GetParam();
  Eigen::MatrixXc z = impedance(n);
  Eigen::MatrixXc y = shunt(n);
  Eigen::VectorXc v1 = potentials(n, 230.0, 0.1);
  Eigen::VectorXc v2 = potentials(n, 225.0, 0.08);
  Complex vg{3.0, -1.5};
  Bus bus1{n, v1.data()};
  Bus bus2{n, v2.data()};
  Bus ground_bus{1, &vg};
  ShuntLine line = make_line(y, z);

  void SetUp() override {
    line.connect_side(bus1, same_ports(n), true);
    line.connect_side(bus2, same_ports(n), false);
    ground_bus.connect(line, {{0, 2 * n}});
  }

  void expect_pi_model(const Eigen::VectorXc& currents, const Eigen::MatrixXc& yy, const Eigen::MatrixXc& zz) const {
    const Eigen::VectorXc expected = pi_currents(yy, zz, v1, v2, vg);
    EXPECT_LT((currents - expected).norm(), 1e-9 * expected.norm()) << currents.transpose();
    if (yy.isApprox(yy.transpose())) {
      EXPECT_LT(std::abs(currents.sum()), 1e-9 * expected.norm());
    }
  }
};

// Plain currents before any solver, then recorded and plain currents once linked.
TEST_P(LineAmongBuses, CurrentsFollowThePiModelInBothArithmetics) {
  line.eval_currents(false);
  expect_pi_model(port_currents(line), y, z);

  TapedNetwork taped({&line});
  EXPECT_EQ(taped.pd.size(), 8 * n * n + 6 * n);
  const std::vector<Complex> recorded = taped.evaluate().currents[0];
  expect_pi_model(Eigen::Map<const Eigen::VectorXc>(recorded.data(), 2 * n + 1), y, z);
  line.eval_currents(false);
  expect_pi_model(port_currents(line), y, z);
}

// New data reach the solver's parameter slots (laid out as a fresh line declares them) and the
// same tape; the sweeps' chain matrices follow at once.
TEST_P(LineAmongBuses, UpdatesReachTheSlotsAndTheSameTape) {
  TapedNetwork taped({&line});
  const Eigen::MatrixXc z_new = impedance(n, 2.5);
  const Eigen::MatrixXc y_new = shunt(n, 2.5);
  line.update_line_parameters(row_major(y_new).data(), row_major(z_new).data());

  std::vector<double> fresh;
  make_line(y_new, z_new).declare_dynamic_variables(fresh);
  EXPECT_EQ(std::vector<double>(taped.pd.data(), taped.pd.data() + taped.pd.size()), fresh);
  const std::vector<Complex> recorded = taped.evaluate().currents[0];
  expect_pi_model(Eigen::Map<const Eigen::VectorXc>(recorded.data(), 2 * n + 1), y_new, z_new);
  line.eval_currents(false);
  expect_pi_model(port_currents(line), y_new, z_new);
  EXPECT_EQ(line.B, z_new);
  EXPECT_EQ(line.A00, line.A(0, 0));
}

// A shunt admittance that is not symmetric is read row-major as given; the ground port then
// weighs the conductors by the row sums of Y, and the port currents no longer balance.
TEST_P(LineAmongBuses, ANonSymmetricShuntIsReadAsGiven) {
  Eigen::MatrixXc skewed = y;
  for (int i = 0; i < n; ++i) skewed(i, n - 1) += Complex(2e-5 * (i + 1), 4e-5);
  line.update_line_parameters(row_major(skewed).data(), row_major(z).data());
  line.eval_currents(false);
  expect_pi_model(port_currents(line), skewed, z);
}

INSTANTIATE_TEST_SUITE_P(ShuntLine, LineAmongBuses, testing::Values(1, 4),
                         [](const auto& info) { return std::to_string(info.param) + "Conductors"; });

// Backward on a side-2 node that the line shares with further ports: side 2 takes what they draw,
// side 1 the chain relation I1 = C·V2 − D·I2 (C and D written out here), the ground port the
// balance, so that the line's currents sum to zero. n = 1 runs the scalar form.
class Sweeps : public testing::TestWithParam<int> {};

TEST_P(Sweeps, BackwardFollowsTheChainRelation) {
  const int n = GetParam();
  const Eigen::MatrixXc z = impedance(n);
  const Eigen::MatrixXc y = shunt(n);
  const Eigen::VectorXc v2 = potentials(n, 225.0, 0.08);
  Bus downstream(n, v2.data());
  Bus extra(1);
  ShuntLine line = make_line(y, z);
  line.connect_side(downstream, same_ports(n), false);
  downstream.connect(extra, {{0, 0}});
  TapedNetwork taped({&line, &downstream, &extra});
  Eigen::VectorXc drawn = potentials(n, 10.0, -0.4);
  for (int i = 0; i < n; ++i) downstream.ports[static_cast<std::size_t>(i)].current = drawn(i);
  extra.ports[0].current = Complex(-2.0, 0.5);
  drawn(0) += Complex(-2.0, 0.5);

  line.backward();
  const Eigen::VectorXc i2 = line.side_currents(2);
  EXPECT_LT((i2 + drawn).norm(), 1e-12 * drawn.norm());
  const Eigen::MatrixXc identity = Eigen::MatrixXc::Identity(n, n);
  const Eigen::VectorXc expected_i1 = (y + 0.25 * y * z * y) * v2 - (identity + 0.5 * y * z) * i2;
  EXPECT_LT((line.side_currents(1) - expected_i1).norm(), 1e-12 * expected_i1.norm());
  EXPECT_LT(std::abs(port_currents(line).sum()), 1e-12 * expected_i1.norm());
}

INSTANTIATE_TEST_SUITE_P(ShuntLine, Sweeps, testing::Values(1, 3),
                         [](const auto& info) { return std::to_string(info.param) + "Conductors"; });

// A change of 3 + 4i at the side-2 node of conductor 0 (Z = I, Y = 0, V1 = 0, I1 = −(3 + 4i)):
// one conductor reports its larger absolute part and writes only the solver's slot; a matrix
// form reports the modulus and writes the stored value too. A change that is not a number counts
// as infinite in both.
struct ForwardCase {
  int n;
  double error;
  bool writes_stored_value;
};

class ForwardChange : public testing::TestWithParam<ForwardCase> {};

TEST_P(ForwardChange, MeasuresAndWritesTheNewPotentials) {
  const int n = GetParam().n;
  const Eigen::MatrixXc identity = Eigen::MatrixXc::Identity(n, n);
  ShuntLine line = make_line(Eigen::MatrixXc::Zero(n, n), identity);
  TapedNetwork taped({&line});
  line.side1_ports[0]->current = Complex(-3.0, -4.0);

  EXPECT_DOUBLE_EQ(line.forward(), GetParam().error);
  const ADVariable<Complex>& potential = line.side2_ports[0]->connection->potential;
  EXPECT_EQ(Complex(potential.value_ptr[0], potential.value_ptr[1]), Complex(3.0, 4.0));
  EXPECT_EQ(potential.value, GetParam().writes_stored_value ? Complex(3.0, 4.0) : Complex());
  EXPECT_EQ(line.forward(), 0.0);

  line.side1_ports[0]->current = Complex(std::nan(""), 0.0);
  EXPECT_EQ(line.forward(), std::numeric_limits<double>::infinity());

  // Only the imaginary part of the change is not a number.
  line.side1_ports[0]->current = Complex(-3.0, -4.0);
  potential.value_ptr[0] = 3.0;
  potential.value_ptr[1] = std::nan("");
  EXPECT_EQ(line.forward(), std::numeric_limits<double>::infinity());
}

INSTANTIATE_TEST_SUITE_P(ShuntLine, ForwardChange,
                         testing::Values(ForwardCase{1, 4.0, false}, ForwardCase{2, 5.0, true}),
                         [](const auto& info) { return std::to_string(info.param.n) + "Conductors"; });

// source ── line 1 ── bus 1 (load) ── line 2 ── bus 2 (load), n phase conductors, the source's
// neutral, the loads' neutrals and both lines' ground ports on one reference node.
const Complex kRotation = std::polar(1.0, -2.0 * std::numbers::pi / 3.0);

struct ShuntFeeder {
  explicit ShuntFeeder(int n) : n(n) {
    for (int i = 0; i < n; ++i) {
      voltages.push_back(230.0 * std::pow(kRotation, i));
      light.emplace_back(2000.0 + 500.0 * i, 700.0);
      heavy.emplace_back(4000.0, 1500.0 - 600.0 * i);
    }
    start = voltages;
    start.emplace_back();
    source_bus.emplace(n + 1, start.data());
    bus1.emplace(n + 1, start.data());
    bus2.emplace(n + 1, start.data());
    source.emplace(n + 1, voltages.data());
    line1.emplace(n, row_major(shunt(n, 0.4)).data(), row_major(impedance(n, 0.4)).data());
    line2.emplace(n, row_major(shunt(n, 0.3)).data(), row_major(impedance(n, 0.3)).data());
    load1.emplace(n + 1, light.data());
    load2.emplace(n + 1, heavy.data());

    source_bus->connect(*source, same_ports(n + 1));
    source_bus->connect(reference, {{n, 0}});
    line1->connect_side(*source_bus, same_ports(n), true);
    line1->connect_side(*bus1, same_ports(n), false);
    line2->connect_side(*bus1, same_ports(n), true);
    line2->connect_side(*bus2, same_ports(n), false);
    for (ShuntLine* line : {&*line1, &*line2}) source_bus->connect(*line, {{n, 2 * n}});
    for (Bus* bus : {&*bus1, &*bus2}) source_bus->connect(*bus, {{n, n}});
    bus1->connect(*load1, same_ports(n + 1));
    bus2->connect(*load2, same_ports(n + 1));
    network.emplace(std::vector<Element*>{&*source, &reference, &*source_bus, &*line1, &*bus1, &*load1, &*line2,
                                          &*bus2, &*load2});
  }

  Eigen::VectorXc solution() const {
    Eigen::VectorXc v(2 * n);
    bus1->get_potentials(n, v.data());
    bus2->get_potentials(n, v.data() + n);
    return v;
  }

  int n;
  std::vector<Complex> voltages, light, heavy, start;
  std::optional<Bus> source_bus, bus1, bus2;
  std::optional<VoltageSource> source;
  PotentialRef reference;
  std::optional<ShuntLine> line1, line2;
  std::optional<PowerLoad> load1, load2;
  std::optional<ElectricalNetwork> network;
};

// The same feeder built twice, solved by Newton and by sweeps, agrees; so it does after new data
// for line 2, which both solvers take without being built again.
class ShuntFeederSolve : public testing::TestWithParam<int> {};

TEST_P(ShuntFeederSolve, NewtonAndSweepsAgreeBeforeAndAfterAnUpdate) {
  const int n = GetParam();
  ShuntFeeder for_newton(n), for_sweeps(n);
  Newton newton(&*for_newton.network, false);
  BackwardForward sweeps(&*for_sweeps.network);
  const auto solve_both = [&] {
    const auto [newton_iterations, newton_error] = newton.solve_load_flow(20, 1e-10);
    const auto [sweep_iterations, sweep_error] = sweeps.solve_load_flow(200, 1e-10);
    EXPECT_LE(newton_error, 1e-10);
    EXPECT_LE(sweep_error, 1e-10);
    EXPECT_LT(sweep_iterations, 200);
    const Eigen::VectorXc v = for_newton.solution();
    EXPECT_LT((for_sweeps.solution() - v).norm(), 1e-8 * v.norm());
    // The phase voltages meet the loads' powers.
    for (int i = 0; i < n; ++i)
      EXPECT_NEAR(std::abs(v(n + i) * std::conj(for_newton.load2->get_port_current(i)) - for_newton.heavy[static_cast<std::size_t>(i)]),
                  0.0, 1e-6);
    return v;
  };
  const Eigen::VectorXc before = solve_both();

  const Eigen::MatrixXc z_new = impedance(n, 0.9);
  const Eigen::MatrixXc y_new = shunt(n, 0.9);
  for (ShuntFeeder* f : {&for_newton, &for_sweeps})
    f->line2->update_line_parameters(row_major(y_new).data(), row_major(z_new).data());
  const Eigen::VectorXc after = solve_both();
  EXPECT_GT((after - before).norm(), 1e-3 * before.norm());
}

INSTANTIATE_TEST_SUITE_P(ShuntLine, ShuntFeederSolve, testing::Values(1, 3),
                         [](const auto& info) { return std::to_string(info.param) + "Conductors"; });

// A singular impedance is accepted and gives non-finite blocks; the Newton solve then stops with
// a numerical-failure message instead of reporting a result.
TEST(ShuntLine, SingularImpedanceStopsTheNewtonSolve) {
  ShuntFeeder feeder(1);
  const std::vector<Complex> zero{{0.0, 0.0}};
  const std::vector<Complex> y{{0.0, 1e-4}};
  feeder.line2->update_line_parameters(y.data(), zero.data());
  EXPECT_FALSE(feeder.line2->y11.value.allFinite());
  const LogCapture log;
  Newton newton(&*feeder.network, false);
  try {
    newton.solve_load_flow(10, 1e-9);
    FAIL() << "a non-finite admittance must not solve";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).substr(0, 2), "1 ") << error.what();
  }
}
}  // namespace
