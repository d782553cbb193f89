#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "core/nodal_elements.hpp"
#include "loads/power_load.hpp"
#include "taped_network.hpp"
#include "test_arrays.hpp"
#include "test_checks.hpp"

namespace {
bool finite(const Complex& z) { return std::isfinite(z.real()) && std::isfinite(z.imag()); }

// |a − b| relative to the size of b.
struct StarCase {
  std::string name;
  std::vector<Complex> potentials;  // phases, then neutral
  std::vector<Complex> powers;
  bool neutral_on_reference = false;
};

// A star power load on a bus that carries the potentials of the case.
class StarPowerLoad : public testing::TestWithParam<StarCase> {
 protected:
  const StarCase& c = GetParam();
  int n = static_cast<int>(c.potentials.size());
  Bus bus{n, c.potentials.data()};
  PotentialRef reference;
  PowerLoad load{n, c.powers.data()};

  void SetUp() override {
    bus.connect(load, same_ports(n));
    if (c.neutral_on_reference) bus.connect(reference, {{n - 1, 0}});
  }

  Complex phase_voltage(int i) const {
    return c.potentials[static_cast<std::size_t>(i)] - (c.neutral_on_reference ? Complex() : c.potentials.back());
  }

  // Every phase takes its setpoint; the neutral carries minus the phase currents, in phase order.
  void expect_star_law(const std::vector<Complex>& currents) const {
    Complex neutral;
    for (int i = 0; i + 1 < n; ++i) {
      const Complex current = currents[static_cast<std::size_t>(i)];
      expect_close(phase_voltage(i) * std::conj(current), c.powers[static_cast<std::size_t>(i)]);
      neutral -= current;
    }
    expect_close(currents.back(), neutral);
  }
};

TEST_P(StarPowerLoad, PlainCurrentsDrawTheSetpoints) {
  load.eval_currents(false);
  std::vector<Complex> currents(static_cast<std::size_t>(n));
  load.get_currents(n, currents.data());
  expect_star_law(currents);
  EXPECT_EQ(currents.back(), -currents[0] - (n > 2 ? currents[1] : Complex()) - (n > 3 ? currents[2] : Complex()));

  std::vector<Complex> inner(static_cast<std::size_t>(n - 1));
  load.get_inner_currents(inner.data());
  for (int i = 0; i + 1 < n; ++i) EXPECT_EQ(inner[static_cast<std::size_t>(i)], currents[static_cast<std::size_t>(i)]);
}

TEST_P(StarPowerLoad, RecordedCurrentsDrawTheSetpoints) {
  TapedNetwork taped({&load});
  expect_star_law(taped.evaluate().currents[0]);
}

INSTANTIATE_TEST_SUITE_P(
    PowerLoad, StarPowerLoad,
    testing::Values(
        StarCase{"ThreePhasesFloatingNeutral",
                 {{230.0, 0.0}, {-118.0, -197.0}, {-112.0, 201.0}, {1.5, -0.7}},
                 {{1200.0, 300.0}, {800.0, -150.0}, {2000.0, 0.0}}},
        StarCase{"GenerationAndCapacitivePhases",
                 {{231.0, 4.0}, {-117.0, -199.0}, {-113.0, 198.0}, {-0.4, 0.9}},
                 {{-1500.0, -400.0}, {-10.0, 700.0}, {300.0, -900.0}}},
        StarCase{"NeutralOnReference",
                 {{230.0, 0.0}, {-115.0, -199.2}, {-115.0, 199.2}, {50.0, 50.0}},
                 {{1000.0, 200.0}, {1000.0, 200.0}, {500.0, 0.0}},
                 true},
        StarCase{"ZeroSetpointDrawsNothing", {{230.0, 0.0}, {1.0, 2.0}}, {{0.0, 0.0}}},
        StarCase{"OnePhaseNeutralCarriesMinusIt", {{120.0, 10.0}, {2.0, -1.0}}, {{600.0, 90.0}}}),
    [](const auto& info) { return info.param.name; });

struct DeltaCase {
  std::string name;
  std::vector<Complex> potentials;
  std::vector<Complex> powers;
};

class DeltaPowerLoadTest : public testing::TestWithParam<DeltaCase> {
 protected:
  const DeltaCase& c = GetParam();
  int n = static_cast<int>(c.potentials.size());
  Bus bus{n, c.potentials.data()};
  DeltaPowerLoad load{n, c.powers.data()};

  void SetUp() override { bus.connect(load, same_ports(n)); }

  // Branch i (port i to port i+1 mod n) takes its setpoint, and port i carries J_i − J_(i−1).
  void expect_delta_law(const std::vector<Complex>& currents) const {
    std::vector<Complex> branch(static_cast<std::size_t>(n));
    load.get_inner_currents(branch.data());
    for (int i = 0; i < n; ++i) {
      const auto k = static_cast<std::size_t>(i);
      const Complex voltage = c.potentials[k] - c.potentials[static_cast<std::size_t>((i + 1) % n)];
      expect_close(voltage * std::conj(branch[k]), c.powers[k]);
      expect_close(currents[k], branch[k] - branch[static_cast<std::size_t>((i + n - 1) % n)]);
    }
  }
};

TEST_P(DeltaPowerLoadTest, PlainCurrentsAreBranchDifferences) {
  load.eval_currents(false);
  std::vector<Complex> currents(static_cast<std::size_t>(n));
  load.get_currents(n, currents.data());
  expect_delta_law(currents);
}

TEST_P(DeltaPowerLoadTest, RecordedCurrentsAreBranchDifferences) {
  TapedNetwork taped({&load});
  expect_delta_law(taped.evaluate().currents[0]);
}

INSTANTIATE_TEST_SUITE_P(
    PowerLoad, DeltaPowerLoadTest,
    testing::Values(DeltaCase{"ThreeBranches",
                              {{230.0, 0.0}, {-118.0, -197.0}, {-112.0, 201.0}},
                              {{1200.0, 300.0}, {-800.0, 150.0}, {2000.0, -40.0}}},
                    DeltaCase{"TwoPortsBothWays", {{115.0, 3.0}, {-115.0, -1.0}}, {{900.0, 100.0}, {-300.0, 20.0}}}),
    [](const auto& info) { return info.param.name; });

// With every node at potential 0 every voltage is 0: the currents are not finite, in both
// arithmetics, and nothing throws.
TEST(PowerLoad, ZeroVoltageGivesNonFiniteCurrentsWithoutAnException) {
  const std::vector<Complex> powers{{1000.0, 100.0}, {500.0, 0.0}, {0.0, -200.0}};
  PowerLoad star(4, powers.data());
  DeltaPowerLoad delta(3, powers.data());

  std::vector<Complex> inner(3);
  EXPECT_NO_THROW(delta.get_inner_currents(inner.data()));
  for (const Complex& current : inner) EXPECT_FALSE(finite(current));

  EXPECT_NO_THROW(star.eval_currents(false));
  EXPECT_NO_THROW(delta.eval_currents(false));
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(finite(star.get_port_current(i)));
    EXPECT_FALSE(finite(delta.get_port_current(i)));
  }
  TapedNetwork taped({&star, &delta});
  for (const auto& currents : taped.evaluate().currents)
    for (const Complex& current : currents) EXPECT_FALSE(finite(current));
}

TEST(PowerLoad, DeltaWithOnePortDividesByAZeroVoltage) {
  const Complex power(100.0, 0.0), potential(230.0, 0.0);
  DeltaPowerLoad load(1, &power);
  Bus bus(1, &potential);
  bus.connect(load, {{0, 0}});
  load.eval_currents(false);
  EXPECT_FALSE(finite(load.get_port_current(0)));
}

TEST(PowerLoad, StarWithOnlyItsNeutralHasNoParameterAndCarriesNothing) {
  const Complex potential(230.0, 0.0);
  PowerLoad load(1, nullptr);
  Bus bus(1, &potential);
  bus.connect(load, {{0, 0}});
  std::vector<double> p0;
  load.declare_dynamic_variables(p0);
  EXPECT_TRUE(p0.empty());
  load.ports[0].current = Complex(7.0, 7.0);
  load.eval_currents(false);
  EXPECT_EQ(load.get_port_current(0), Complex());
  load.update_powers(nullptr);  // reads nothing
}

TEST(PowerLoad, SizesOutsideTheConventionsFailAtTheReservation) {
  try {
    PowerLoad load(0, nullptr);
    FAIL() << "a star load needs its neutral";
  } catch (const std::length_error& error) {
    EXPECT_STREQ(error.what(), "vector::reserve");
  }
  EXPECT_THROW(DeltaPowerLoad(-1, nullptr), std::length_error);

  DeltaPowerLoad empty(0, nullptr);
  EXPECT_TRUE(empty.ports.empty());
  EXPECT_NO_THROW(empty.eval_currents(false));
}

// Two reals per setpoint, real part first, and linking advances the index by as many.
TEST(PowerLoad, DeclaresAndLinksTwoRealsPerSetpoint) {
  const std::vector<Complex> powers{{1.0, 2.0}, {3.0, 4.0}, {5.0, 6.0}};
  const DeltaPowerLoad delta(3, powers.data());
  PowerLoad star(4, powers.data());
  std::vector<double> p0{-1.0};
  delta.declare_dynamic_variables(p0);
  EXPECT_EQ(p0, (std::vector<double>{-1.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0}));

  VectorXd pd = VectorXd::Zero(8);
  const VectorXAD p = pd.cast<AD>();
  int idx = 1;
  star.link_dynamic_variables(p, pd, idx);
  EXPECT_EQ(idx, 7);
  EXPECT_EQ(star.powers[2].value_ptr, pd.data() + 5);
  EXPECT_EQ(star.powers[0].get_value(), Complex());  // reads the slot once linked
}

// The backward step is the plain evaluation at the present potentials; forward changes nothing.
TEST(PowerLoad, SweepStepsEvaluateAtThePresentPotentials) {
  const std::vector<Complex> potentials{{230.0, 0.0}, {-115.0, -199.0}, {0.0, 0.0}};
  const std::vector<Complex> powers{{1000.0, 100.0}, {500.0, 0.0}};
  PowerLoad load(3, powers.data());
  Bus bus(3, potentials.data());
  bus.connect(load, same_ports(3));
  load.backward();
  expect_close(potentials[1] * std::conj(load.get_port_current(1)), powers[1]);
  EXPECT_EQ(load.forward(), 0.0);
  EXPECT_EQ(bus.get_port_potential(1), potentials[1]);
}

TEST(PowerLoad, InnerCurrentsOfAStarAreZeroBeforeAnyEvaluation) {
  const std::vector<Complex> powers{{1000.0, 100.0}, {500.0, 0.0}};
  const PowerLoad load(3, powers.data());
  std::vector<Complex> inner(2, Complex(9.0, 9.0));
  load.get_inner_currents(inner.data());
  EXPECT_EQ(inner, std::vector<Complex>(2));
}

// Updates: unlinked, only the stored values change; linked, the solver's parameter vector too, so
// the same tape and the plain evaluation both draw the new setpoints.
TEST(PowerLoad, UpdatesReachTheStoredValuesAndTheLinkedSlots) {
  const std::vector<Complex> potentials{{230.0, 0.0}, {-115.0, -199.0}, {-115.0, 199.0}};
  const std::vector<Complex> powers{{1000.0, 100.0}, {500.0, 0.0}, {-200.0, 300.0}};
  const std::vector<Complex> new_powers{{-50.0, 10.0}, {2500.0, -700.0}, {0.0, 1.0}};
  DeltaPowerLoad load(3, powers.data());
  Bus bus(3, potentials.data());
  bus.connect(load, same_ports(3));

  load.update_powers(new_powers.data());
  EXPECT_EQ(load.powers[1].value, new_powers[1]);
  load.update_powers(powers.data());

  TapedNetwork taped({&load});
  load.update_powers(new_powers.data());
  EXPECT_EQ(taped.pd(2), new_powers[1].real());
  EXPECT_EQ(taped.pd(3), new_powers[1].imag());

  const std::vector<Complex> recorded = taped.evaluate().currents[0];
  load.eval_currents(false);
  std::vector<Complex> branch(3);
  load.get_inner_currents(branch.data());
  for (std::size_t i = 0; i < 3; ++i) {
    expect_close((potentials[i] - potentials[(i + 1) % 3]) * std::conj(branch[i]), new_powers[i]);
    expect_close(recorded[i], load.get_port_current(static_cast<int>(i)));
  }
}
}  // namespace
