#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cmath>
#include <numbers>
#include <stdexcept>

#include "branches/line.hpp"
#include "core/nodal_elements.hpp"
#include "core/voltage_source.hpp"
#include "loads/flexible_load.hpp"
#include "loads/power_load.hpp"
#include "solvers/newton.hpp"
#include "solvers/solver.hpp"
#include "taped_network.hpp"
#include "test_arrays.hpp"
#include "test_checks.hpp"

namespace {
const Control kConstant("constant", 0.0, 0.0, 0.0, 0.0, 0.0, 0.0);
const Projection kEuclidean("euclidean", 1000.0, 1e-5);

// With two constant laws a flexible load is a constant-power load: same currents in both
// arithmetics, and its actual powers are its setpoints.
TEST(FlexibleLoad, ConstantLawsDrawTheSetpointsLikeAConstantPowerLoad) {
  const std::vector<Complex> potentials{{231.0, 4.0}, {-117.0, -199.0}, {-113.0, 198.0}, {-0.4, 0.9}};
  const std::vector<Complex> powers{{-1500.0, -400.0}, {9000.0, 700.0}, {300.0, -900.0}};
  FlexibleParameter constant(kConstant, kConstant, kEuclidean, 1.0, 0.0, 0.0);  // s_max far below
  const std::vector<FlexibleParameter*> laws(3, &constant);
  Bus bus(4, potentials.data());
  FlexibleLoad star(4, powers.data(), laws);
  PowerLoad star_reference(4, powers.data());
  DeltaFlexibleLoad delta(3, powers.data(), laws);
  DeltaPowerLoad delta_reference(3, powers.data());
  for (Element* load : std::vector<Element*>{&star, &star_reference}) bus.connect(*load, same_ports(4));
  for (Element* load : std::vector<Element*>{&delta, &delta_reference}) bus.connect(*load, same_ports(3));

  TapedNetwork taped({&star, &star_reference, &delta, &delta_reference});
  const auto recorded = taped.evaluate().currents;
  for (Element* load : taped.elements) load->eval_currents(false);
  for (std::size_t i = 0; i < 4; ++i) {
    expect_close(recorded[0][i], recorded[1][i]);
    expect_close(currents_of(star)[i], currents_of(star_reference)[i]);
  }
  for (std::size_t i = 0; i < 3; ++i) {
    expect_close(recorded[2][i], recorded[3][i]);
    expect_close(currents_of(delta)[i], currents_of(delta_reference)[i]);
  }

  std::vector<Complex> actual(3), inner(3), reference_inner(3);
  star.get_powers(actual.data());
  EXPECT_EQ(actual, powers);
  delta.get_powers(actual.data());
  EXPECT_EQ(actual, powers);
  delta.get_inner_currents(inner.data());
  delta_reference.get_inner_currents(reference_inner.data());
  for (std::size_t i = 0; i < 3; ++i) expect_close(inner[i], reference_inner[i]);
}

TEST(FlexibleLoad, SizesAndLawsOutsideTheConventionsAreRefused) {
  FlexibleParameter law(kConstant, kConstant, kEuclidean, 1.0, 0.0, 0.0);
  for (const int n : {INT_MIN, -(1 << 30) - 1, -1, 0})
    expect_vector_reserve_error([&] { FlexibleLoad(n, nullptr, {}); });
  for (const int n : {INT_MIN, -1}) expect_vector_reserve_error([&] { DeltaFlexibleLoad(n, nullptr, {}); });

  const FlexibleLoad neutral_only(1, nullptr, {});
  EXPECT_TRUE(neutral_only.powers.empty());
  const DeltaFlexibleLoad no_ports(0, nullptr, {});
  EXPECT_TRUE(no_ports.ports.empty());

  const std::vector<Complex> powers(3);
  EXPECT_THROW(FlexibleLoad(4, powers.data(), {&law, &law}), std::invalid_argument);
  EXPECT_THROW(DeltaFlexibleLoad(2, powers.data(), {&law, &law, &law}), std::invalid_argument);
  EXPECT_THROW(DeltaFlexibleLoad(3, powers.data(), {&law, nullptr, &law}), std::invalid_argument);
}

// A law that throws mid-evaluation: a star load keeps the phases it has written and its old
// neutral current; a delta load writes no port at all.
TEST(FlexibleLoad, AFailingLawLeavesTheUnfinishedPortsAsTheyWere) {
  const std::vector<Complex> potentials{{231.0, 4.0}, {-117.0, -199.0}, {-113.0, 198.0}, {-0.4, 0.9}};
  const std::vector<Complex> powers{{1500.0, 400.0}, {900.0, 70.0}, {300.0, -90.0}};
  FlexibleParameter good(kConstant, kConstant, kEuclidean, 1e4, 0.0, 0.0);
  FlexibleParameter bad(Control("q_u", 0.9, 0.95, 1.05, 1.1, 10.0, 1e-5), kConstant, kEuclidean, 1e4, 0.0, 0.0);
  Bus bus(4, potentials.data());
  FlexibleLoad star(4, powers.data(), {&good, &bad, &good});
  DeltaFlexibleLoad delta(3, powers.data(), {&good, &good, &bad});
  bus.connect(star, same_ports(4));
  bus.connect(delta, same_ports(3));

  EXPECT_THROW(star.backward(), std::runtime_error);
  const std::vector<Complex> star_currents = currents_of(star);
  expect_close(star_currents[0], std::conj(powers[0] / (potentials[0] - potentials[3])));
  EXPECT_EQ(std::vector<Complex>(star_currents.begin() + 1, star_currents.end()), std::vector<Complex>(3));

  EXPECT_THROW(delta.backward(), std::runtime_error);
  EXPECT_EQ(currents_of(delta), std::vector<Complex>(3));
}

// A law shared by phases and loads is declared and linked once, after every element's
// parameters, in the order of the laws' addresses.
TEST(FlexibleLoad, TheNetworkDeclaresEachSharedLawOnce) {
  FlexibleParameter laws[2] = {{kConstant, kConstant, kEuclidean, 10.0, -1.0, 1.0},
                               {kConstant, kConstant, kEuclidean, 20.0, -2.0, 2.0}};
  FlexibleParameter& a = laws[1];
  FlexibleParameter& b = laws[0];  // the lower address comes first
  const std::vector<Complex> powers{{1.0, 2.0}, {3.0, 4.0}, {5.0, 6.0}};
  FlexibleLoad star(4, powers.data(), {&a, &a, &a});
  DeltaFlexibleLoad delta(3, powers.data(), {&a, &b, &a});
  PowerLoad plain(2, powers.data());

  ElectricalNetwork network({&star, &plain, &delta});
  EXPECT_EQ(network.flexible_parameters, (std::set<FlexibleParameter*>{&a, &b}));
  const std::vector<double> p0 = network.declare_variables().second;
  ASSERT_EQ(p0.size(), 6u + 2u + 6u + 3u + 3u);
  EXPECT_EQ(std::vector<double>(p0.begin() + 14, p0.end()), (std::vector<double>{10.0, -1.0, 1.0, 20.0, -2.0, 2.0}));

  BackwardForward first(&network);
  EXPECT_EQ(b.s_max.value_ptr, first.dynamic_variables.data() + 14);
  EXPECT_EQ(a.q_max.value_ptr, first.dynamic_variables.data() + 19);

  // A second network over the same loads holds the same laws; its solver links them last.
  ElectricalNetwork second_network({&delta, &star});
  EXPECT_EQ(second_network.flexible_parameters, network.flexible_parameters);
  BackwardForward second(&second_network);
  EXPECT_EQ(b.s_max.value_ptr, second.dynamic_variables.data() + 12);
  a.update_parameters(30.0, -3.0, 3.0);
  EXPECT_EQ(second.dynamic_variables(15), 30.0);
  EXPECT_EQ(first.dynamic_variables(17), 20.0);
}

TEST(FlexibleLoad, TheNetworkRefusesANullLaw) {
  FlexibleParameter law(kConstant, kConstant, kEuclidean, 1.0, 0.0, 0.0);
  const Complex power(1.0, 0.0);
  FlexibleLoad load(2, &power, {&law});
  load.parameters[0] = nullptr;
  EXPECT_THROW(ElectricalNetwork({&load}), std::invalid_argument);
}

// A four-wire feeder with a generator under Volt-Watt control (star) and a delta load under
// Volt-VAR control, solved by Newton: at the solved voltages each phase and branch draws the
// power its law gives for its setpoint and voltage magnitude, before and after updates of the
// setpoints and of the limits on the same tape.
struct FlexibleFeeder {
  const Complex rotation = std::polar(1.0, -2.0 * std::numbers::pi / 3.0);
  const std::vector<Complex> voltages{240.0, 240.0 * rotation, 240.0 * rotation * rotation};
  const std::vector<Complex> start{voltages[0], voltages[1], voltages[2], 0.0};
  const std::vector<Complex> generation{{-9000.0, 0.0}, {-7000.0, 0.0}, {-8000.0, 0.0}};
  const std::vector<Complex> demand{{3000.0, 500.0}, {2000.0, 0.0}, {2500.0, 300.0}};
  FlexibleParameter volt_watt{Control("p_max_u_production", 0.0, 0.0, 240.0, 250.0, 1000.0, 1e-5), kConstant,
                              kEuclidean, 10000.0, 0.0, 0.0};
  FlexibleParameter volt_var{kConstant, Control("q_u", 380.0, 400.0, 410.0, 430.0, 1000.0, 1e-5), kEuclidean,
                             5000.0, -2000.0, 2000.0};
  Bus source_bus{4, start.data()};
  Bus bus{4, start.data()};
  VoltageSource source{4, voltages.data()};
  PotentialRef reference;
  SimplifiedLine line{4, row_major(impedance()).data()};
  FlexibleLoad generator{4, generation.data(), {&volt_watt, &volt_watt, &volt_watt}};
  DeltaFlexibleLoad load{3, demand.data(), {&volt_var, &volt_var, &volt_var}};
  ElectricalNetwork network{connected()};

  static Eigen::MatrixXc impedance() {
    Eigen::MatrixXc z = Eigen::MatrixXc::Constant(4, 4, Complex(0.02, 0.08));
    z.diagonal().setConstant(Complex(0.12, 0.1));
    return z;
  }

  std::vector<Element*> connected() {
    source_bus.connect(source, same_ports(4));
    source_bus.connect(reference, {{3, 0}});
    line.connect_side(source_bus, same_ports(4), true);
    line.connect_side(bus, same_ports(4), false);
    bus.connect(generator, same_ports(4));
    bus.connect(load, same_ports(3));
    return {&source_bus, &bus, &source, &reference, &line, &generator, &load};
  }

  // Checks every phase and branch; returns how far the laws moved the powers from the setpoints
  // (generator, load).
  std::pair<double, double> expect_laws_hold() const {
    std::pair<double, double> moved;
    std::vector<Complex> v(4), current(4), actual(3), branch(3);
    bus.get_potentials(4, v.data());
    generator.get_currents(4, current.data());
    generator.get_powers(actual.data());
    for (std::size_t i = 0; i < 3; ++i) {
      const Complex u = v[i] - v[3];
      const Complex law = volt_watt.compute_power<Complex>(std::abs(u), generator.powers[i].get_value());
      expect_close(actual[i], law);
      expect_close(u * std::conj(current[i]), law, 1e-8);
      moved.first = std::max(moved.first, std::abs(law - generator.powers[i].get_value()));
    }
    load.get_powers(actual.data());
    load.get_inner_currents(branch.data());
    for (std::size_t i = 0; i < 3; ++i) {
      const Complex u = v[i] - v[(i + 1) % 3];
      const Complex law = volt_var.compute_power<Complex>(std::abs(u), load.powers[i].get_value());
      expect_close(actual[i], law);
      expect_close(u * std::conj(branch[i]), law, 1e-8);
      moved.second = std::max(moved.second, std::abs(law - load.powers[i].get_value()));
    }
    return moved;
  }
};

TEST(FlexibleLoad, FeederSolvedByNewtonFollowsTheLaws) {
  FlexibleFeeder feeder;
  Newton solver(&feeder.network, false);
  auto [iterations, error] = solver.solve_load_flow(50, 1e-9);
  EXPECT_LT(iterations, 50);
  EXPECT_LE(error, 1e-9);
  const auto [generation_moved, load_moved] = feeder.expect_laws_hold();
  std::printf("%d iterations; the laws moved the powers by up to %.0f VA (generator), %.0f VA (load)\n",
              iterations, generation_moved, load_moved);
  EXPECT_GT(generation_moved, 100.0) << "Volt-Watt acts at the solved voltages";
  EXPECT_GT(load_moved, 100.0) << "Volt-VAR acts at the solved voltages";

  const std::vector<Complex> more{{-12000.0, 0.0}, {-4000.0, 0.0}, {-10000.0, 0.0}};
  feeder.generator.update_powers(more.data());
  feeder.volt_var.update_parameters(4000.0, -1000.0, 1500.0);
  std::tie(iterations, error) = solver.solve_load_flow(50, 1e-9);
  EXPECT_LT(iterations, 50);
  EXPECT_LE(error, 1e-9);
  feeder.expect_laws_hold();
}
}  // namespace
