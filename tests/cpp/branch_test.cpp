#include <gtest/gtest.h>

#include "core/branch.hpp"
#include "core/nodal_elements.hpp"
#include "tests/cpp/test_elements.hpp"

namespace {
const Complex kBusPotentials[] = {{230.0, 1.0}, {-115.0, -199.0}, {-115.0, 199.0}};

TEST(Branch, SidesSplitThePortsAndExtraPortsBelongToNeither) {
  const TestBranch branch(2, 3, 1);
  ASSERT_EQ(branch.ports.size(), 6u);
  ASSERT_EQ(branch.side1_ports.size(), 2u);
  ASSERT_EQ(branch.side2_ports.size(), 3u);
  for (std::size_t i = 0; i < 2; ++i) EXPECT_EQ(branch.side1_ports[i], &branch.ports[i]);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(branch.side2_ports[i], &branch.ports[2 + i]);
}

// connect_side keeps the other element's node, so the bus's initial potentials survive on the
// joined side while the other side keeps nodes of its own.
class ConnectSide : public testing::TestWithParam<bool> {};

TEST_P(ConnectSide, KeepsTheOtherElementsNodes) {
  const bool beginning = GetParam();
  Bus bus(3, kBusPotentials);
  const TestBranch branch(3, 3);
  branch.connect_side(bus, {{0, 0}, {1, 1}, {2, 2}}, beginning);

  const auto& joined = beginning ? branch.side1_ports : branch.side2_ports;
  const auto& other = beginning ? branch.side2_ports : branch.side1_ports;
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(joined[i]->connection, bus.ports[i].connection);
    EXPECT_EQ(joined[i]->connection->get_potential(), kBusPotentials[i]);
    EXPECT_EQ(other[i]->connection->ports.size(), 1u);
    EXPECT_EQ(other[i]->connection->get_potential(), Complex());
  }
  EXPECT_EQ(bus.ports[0].connection->ports.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Branch, ConnectSide, testing::Bool(),
                         [](const auto& info) { return info.param ? "Side1" : "Side2"; });

TEST(Branch, ConnectSideTowardsAReferenceMakesTheSideReadZero) {
  PotentialRef reference;
  Bus bus(1, kBusPotentials);
  const TestBranch branch(1, 1);
  branch.connect_side(bus, {{0, 0}}, false);
  reference.connect(bus, {{0, 0}});
  EXPECT_TRUE(branch.side2_ports[0]->connection->is_reference);
  EXPECT_EQ(branch.side_potentials<Complex>(2)(0), Complex());
}

// side == 1 selects side 1; every other value selects side 2.
class SidePotentials : public testing::TestWithParam<int> {};

TEST_P(SidePotentials, SelectTheSide) {
  Bus side1(2, kBusPotentials);
  Bus side2(2, kBusPotentials + 1);
  const TestBranch branch(2, 2);
  branch.connect_side(side1, {{0, 0}, {1, 1}}, true);
  branch.connect_side(side2, {{0, 0}, {1, 1}}, false);

  const int side = GetParam();
  const Complex* expected = side == 1 ? kBusPotentials : kBusPotentials + 1;
  const Eigen::VectorXc potentials = branch.side_potentials<Complex>(side);
  ASSERT_EQ(potentials.size(), 2);
  EXPECT_EQ(potentials(0), expected[0]);
  EXPECT_EQ(potentials(1), expected[1]);
}

INSTANTIATE_TEST_SUITE_P(Branch, SidePotentials, testing::Values(1, 2, 0, -1), [](const auto& info) {
  return info.param < 0 ? std::string("Minus") + std::to_string(-info.param) : "Side" + std::to_string(info.param);
});

TEST(Branch, SideGettersWriteOnlyTheRequestedCounts) {
  Bus side2(3, kBusPotentials);
  TestBranch branch(3, 3);
  branch.connect_side(side2, {{0, 0}, {1, 1}, {2, 2}}, false);
  for (std::size_t i = 0; i < 3; ++i) {
    branch.side1_ports[i]->current = Complex(1.0 + i, 0.0);
    branch.side2_ports[i]->current = Complex(0.0, 1.0 + i);
  }

  const Complex untouched(-7.0, -7.0);
  Complex out1[3] = {untouched, untouched, untouched};
  Complex out2[3] = {untouched, untouched, untouched};
  branch.get_side_potentials(0, 2, out1, out2);
  EXPECT_EQ(out1[0], untouched);
  EXPECT_EQ(out2[0], kBusPotentials[0]);
  EXPECT_EQ(out2[1], kBusPotentials[1]);
  EXPECT_EQ(out2[2], untouched);

  branch.get_side_currents(3, -1, out1, out2);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(out1[i], Complex(1.0 + i, 0.0));
  EXPECT_EQ(out2[2], untouched);
}

// The recorded side potentials are the nodes' recorded unknowns, and a recorded constant 0 on a
// reference node whatever its stored value.
TEST(Branch, RecordedSidePotentialsAreTheNodesUnknowns) {
  Bus side1(2, kBusPotentials);
  PotentialRef reference;
  TestBranch branch(2, 1);
  branch.connect_side(side1, {{0, 0}, {1, 1}}, true);
  branch.connect_side(reference, {{0, 0}}, false);
  branch.side2_ports[0]->connection->potential.value = Complex(5.0, 5.0);

  std::vector<double> x0;
  std::vector<std::shared_ptr<Connection>> nodes{side1.ports[0].connection, side1.ports[1].connection,
                                                 reference.ports[0].connection};
  for (const auto& node : nodes) node->declare_independent_variables(x0);
  ASSERT_EQ(x0.size(), 4u);
  VectorXAD x = Eigen::Map<VectorXd>(x0.data(), 4).cast<AD>();
  CppAD::Independent(x);
  VectorXd xd = Eigen::Map<VectorXd>(x0.data(), 4);
  int idx = 0;
  for (const auto& node : nodes) node->link_independent_variables(x, xd, idx);
  const VectorOf<ComplexAD> v1 = branch.side_potentials<ComplexAD>(1);
  const VectorOf<ComplexAD> v2 = branch.side_potentials<ComplexAD>(2);
  ASSERT_EQ(v2.size(), 1);
  EXPECT_TRUE(CppAD::Constant(v2(0).real()) && CppAD::Constant(v2(0).imag()));
  VectorXAD y(6);
  y << v1(0).real(), v1(0).imag(), v1(1).real(), v1(1).imag(), v2(0).real(), v2(0).imag();
  CppAD::ADFun<double> tape(x, y);

  VectorXd elsewhere(4);
  elsewhere << 1.0, 2.0, 3.0, 4.0;
  const VectorXd values = tape.Forward(0, elsewhere);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(values(k), elsewhere(k));
  EXPECT_EQ(values(4), 0.0);
  EXPECT_EQ(values(5), 0.0);
}
}  // namespace
