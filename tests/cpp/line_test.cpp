#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "branches/line.hpp"
#include "core/nodal_elements.hpp"
#include "core/voltage_source.hpp"
#include "log_capture.hpp"
#include "solvers/newton.hpp"
#include "taped_network.hpp"
#include "test_arrays.hpp"

namespace {
Eigen::VectorXc potentials(int n, double magnitude, double phase) {
  Eigen::VectorXc v(n);
  for (int i = 0; i < n; ++i) v(i) = std::polar(magnitude * (1.0 + 0.01 * i), phase - 2.0 * i);
  return v;
}

Eigen::VectorXc side_currents(const std::vector<Port*>& side) {
  Eigen::VectorXc out(static_cast<Eigen::Index>(side.size()));
  for (std::size_t i = 0; i < side.size(); ++i) out(static_cast<Eigen::Index>(i)) = side[i]->current;
  return out;
}

// A line between two buses carrying given potentials.
class LineBetweenBuses : public testing::TestWithParam<int> {
 protected:
  int n = GetParam();
  Eigen::MatrixXc z = impedance(n);
  Eigen::VectorXc v1 = potentials(n, 230.0, 0.1);
  Eigen::VectorXc v2 = potentials(n, 225.0, 0.08);
  Bus bus1{n, v1.data()};
  Bus bus2{n, v2.data()};
  SimplifiedLine line{n, row_major(z).data()};

  void SetUp() override {
    line.connect_side(bus1, same_ports(n), true);
    line.connect_side(bus2, same_ports(n), false);
  }
};

// Checked through Z·I1 = V1 − V2, which needs no inverse.
TEST_P(LineBetweenBuses, PlainCurrentsCarryTheVoltageDrop) {
  line.eval_currents(false);
  const Eigen::VectorXc i1 = side_currents(line.side1_ports);
  EXPECT_LT((z * i1 - (v1 - v2)).norm(), 1e-9 * (v1 - v2).norm());
  EXPECT_EQ(side_currents(line.side2_ports), -i1);
}

TEST_P(LineBetweenBuses, RecordedCurrentsFollowLineUpdatesOnTheSameTape) {
  TapedNetwork taped({&line});
  const auto expect_drop_through = [&](const Eigen::MatrixXc& zz) {
    const std::vector<Complex> recorded = taped.evaluate().currents[0];
    const Eigen::VectorXc i1 = Eigen::Map<const Eigen::VectorXc>(recorded.data(), n);
    const Eigen::VectorXc i2 = Eigen::Map<const Eigen::VectorXc>(recorded.data() + n, n);
    EXPECT_LT((zz * i1 - (v1 - v2)).norm(), 1e-9 * (v1 - v2).norm());
    EXPECT_LT((i1 + i2).norm(), 1e-12 * i1.norm());
    line.eval_currents(false);
    EXPECT_LT((side_currents(line.side1_ports) - i1).norm(), 1e-12 * i1.norm());
  };

  // The admittance is declared row by row, real part first.
  const Eigen::MatrixXc y = z.inverse();
  ASSERT_EQ(taped.pd.size(), 2 * n * n);
  EXPECT_EQ(taped.pd(1), y(0, 0).imag());
  EXPECT_EQ(taped.pd(2 * n - 2), y(0, n - 1).real());
  expect_drop_through(z);

  const Eigen::MatrixXc z_new = impedance(n, 2.5);
  line.update_line_parameters(row_major(z_new).data());
  const std::vector<double> flat = to_vector(Eigen::MatrixXc(z_new.inverse()));
  EXPECT_EQ(std::vector<double>(taped.pd.data(), taped.pd.data() + taped.pd.size()), flat);
  expect_drop_through(z_new);
}

INSTANTIATE_TEST_SUITE_P(Line, LineBetweenBuses, testing::Values(1, 3, 4),
                         [](const auto& info) { return std::to_string(info.param) + "Conductors"; });

TEST(Line, UpdateBeforeLinkingChangesOnlyTheStoredAdmittance) {
  const std::vector<Complex> z{{0.0, 2.0}};
  const std::vector<Complex> z_new{{4.0, 0.0}};
  SimplifiedLine line(1, z.data());
  EXPECT_EQ(line.y_line.get_value()(0, 0), Complex(0.0, -0.5));
  line.update_line_parameters(z_new.data());
  EXPECT_FALSE(line.y_line.linked);
  EXPECT_EQ(line.y_line.value(0, 0), Complex(0.25, 0.0));
}

TEST(Line, SingularImpedanceIsAcceptedAndGivesNonFiniteAdmittances) {
  const std::vector<Complex> z{{1.0, 1.0}, {1.0, 1.0}, {1.0, 1.0}, {1.0, 1.0}};
  const SimplifiedLine line(2, z.data());
  EXPECT_FALSE(line.y_line.value.allFinite());
}

// A singular impedance is not caught by the line; the Newton solve stops at the non-finite
// Jacobian with its own numerical-failure message.
TEST(Line, SingularImpedanceStopsTheNewtonSolve) {
  const std::vector<Complex> z{{1.0, 1.0}, {1.0, 1.0}, {1.0, 1.0}, {1.0, 1.0}};
  const Complex voltage(230.0, 0.0);
  const std::vector<Complex> start{voltage, 0.0};
  Bus upstream(2, start.data()), downstream(2, start.data());
  VoltageSource source(2, &voltage);
  PotentialRef reference;
  SimplifiedLine line(2, z.data());
  upstream.connect(source, same_ports(2));
  upstream.connect(reference, {{1, 0}});
  line.connect_side(upstream, same_ports(2), true);
  line.connect_side(downstream, same_ports(2), false);
  ElectricalNetwork network({&source, &reference, &upstream, &line, &downstream});
  const LogCapture log;  // the recording of NaN currents is logged, not thrown
  Newton newton(&network, false);
  try {
    newton.solve_load_flow(10, 1e-9);
    FAIL() << "a non-finite admittance must not solve";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).substr(0, 2), "1 ") << error.what();
  }
}

// Backward: each side-2 port takes what the rest of its node draws, side 1 the same current; a
// side-2 node on which only the line sits gives 0.
TEST(Line, BackwardTakesTheCurrentsDrawnDownstream) {
  const Eigen::MatrixXc z = impedance(2);
  SimplifiedLine line(2, row_major(z).data());
  Bus downstream(1);
  line.connect_side(downstream, {{0, 0}}, false);
  downstream.ports[0].current = Complex(3.0, -1.0);
  line.side2_ports[1]->current = Complex(9.0, 9.0);

  line.backward();
  EXPECT_EQ(line.side2_ports[0]->current, Complex(-3.0, 1.0));
  EXPECT_EQ(line.side1_ports[0]->current, Complex(3.0, -1.0));
  EXPECT_EQ(line.side2_ports[1]->current, Complex());
  EXPECT_EQ(line.side1_ports[1]->current, Complex());
}

TEST(Line, ForwardWritesTheDownstreamPotentialsIntoStoreAndSlot) {
  const int n = 3;
  const Eigen::MatrixXc z = impedance(n);
  const Eigen::VectorXc v1 = potentials(n, 230.0, 0.0);
  Bus upstream(n, v1.data());
  SimplifiedLine line(n, row_major(z).data());
  line.connect_side(upstream, same_ports(n), true);
  const TapedNetwork taped({&line});  // links the side-2 nodes to taped.xd
  const Eigen::VectorXc i1 = potentials(n, 10.0, -0.5);
  for (int i = 0; i < n; ++i) line.side1_ports[static_cast<std::size_t>(i)]->current = i1(i);

  const double error = line.forward();
  const Eigen::VectorXc v2 = line.side_potentials<Complex>(2);
  EXPECT_LT((z * i1 - (v1 - v2)).norm(), 1e-9 * v1.norm());
  EXPECT_DOUBLE_EQ(error, v2.cwiseAbs().maxCoeff());  // from potential 0
  for (int i = 0; i < n; ++i) {
    const auto& potential = line.side2_ports[static_cast<std::size_t>(i)]->connection->potential;
    EXPECT_EQ(potential.value, v2(i));
    EXPECT_EQ(Complex(potential.value_ptr[0], potential.value_ptr[1]), v2(i));
  }
  EXPECT_EQ(line.forward(), 0.0);  // nothing changed since
}

// The change is measured as a complex modulus: 3 + 4i counts 5, not its larger part 4; a change
// that is not a number counts as infinite rather than as no change.
TEST(Line, ForwardMeasuresTheChangeByItsModulus) {
  const std::vector<Complex> z{{1.0, 0.0}};
  SimplifiedLine line(1, z.data());
  line.side1_ports[0]->current = Complex(-3.0, -4.0);
  EXPECT_DOUBLE_EQ(line.forward(), 5.0);
  EXPECT_EQ(line.side_potentials<Complex>(2)(0), Complex(3.0, 4.0));

  line.side1_ports[0]->current = Complex(std::nan(""), 0.0);
  EXPECT_EQ(line.forward(), std::numeric_limits<double>::infinity());
}

// The change is measured against the side-2 potentials as they were before the step: with both
// side-2 ports on one node (a bonded neutral), the second write must not be measured from the
// first one.
TEST(Line, ForwardMeasuresTheChangeFromThePotentialsBeforeAnyWrite) {
  const std::vector<Complex> z{{1.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {1.0, 0.0}};
  SimplifiedLine line(2, z.data());
  const int side2[] = {2, 3};
  line.connect_ports(side2, 2);
  line.side1_ports[0]->current = Complex(-5.0, 0.0);
  line.side1_ports[1]->current = Complex(-6.0, 0.0);
  EXPECT_DOUBLE_EQ(line.forward(), 6.0);  // from 0 to 6, not from 5 to 6
  EXPECT_EQ(line.get_port_potential(2), Complex(6.0, 0.0));
}

TEST(Line, ForwardIntoAReferenceNodeChangesOnlyItsStoredValue) {
  const std::vector<Complex> z{{1.0, 0.0}};
  const Complex v1(100.0, 0.0);
  Bus upstream(1, &v1);
  PotentialRef reference;
  SimplifiedLine line(1, z.data());
  line.connect_side(upstream, {{0, 0}}, true);
  line.connect_side(reference, {{0, 0}}, false);
  line.side1_ports[0]->current = Complex(1.0, 0.0);

  line.forward();
  EXPECT_EQ(line.side2_ports[0]->connection->potential.value, Complex(99.0, 0.0));
  EXPECT_EQ(line.get_port_potential(1), Complex());
  line.eval_currents(false);
  EXPECT_EQ(line.side1_ports[0]->current, Complex(100.0, 0.0));
}
}  // namespace
