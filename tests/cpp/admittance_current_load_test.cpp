// Constant-admittance and constant-current loads and the load balancer: each law against a
// computation written out here, the plain and recorded arithmetics against each other, and the
// physical properties that tell the laws apart (linearity, constant magnitude).
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <memory>
#include <numbers>
#include <string>

#include "core/nodal_elements.hpp"
#include "loads/admittance_load.hpp"
#include "loads/current_load.hpp"
#include "loads/load_balancer.hpp"
#include "load_laws.hpp"
#include "taped_network.hpp"
#include "test_arrays.hpp"
#include "test_checks.hpp"

namespace {
using Currents = std::vector<Complex>;

bool is_nan(const Complex& z) { return std::isnan(z.real()) && std::isnan(z.imag()); }

void expect_all_close(const Currents& actual, const Currents& expected, double tolerance = 1e-12) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) expect_close(actual[i], expected[i], tolerance);
}

// An unbalanced set of potentials with a floating neutral last.
const Currents kPotentials{{230.0, 5.0}, {-118.0, -197.0}, {-112.0, 201.0}, {3.0, -2.0}};
const Currents kAdmittances{{0.02, -0.01}, {0.035, 0.004}, {-0.01, 0.02}};
const Currents kCurrents{{12.0, -3.0}, {-4.0, 7.5}, {0.0, 9.0}};
const Complex kZ2(0.04, 0.12), kYm(0.002, -0.05);
constexpr double kRatio = 2.5;

struct Expected {
  Currents ports;
  Currents inner;
};

using Law = Complex (*)(const Complex&, const Complex&);

Expected star(const Currents& v, const Currents& parameters, Law law) {
  Expected e;
  Complex neutral;
  for (std::size_t i = 0; i + 1 < v.size(); ++i) {
    e.inner.push_back(law(v[i] - v.back(), parameters[i]));
    neutral -= e.inner.back();
  }
  e.ports = e.inner;
  e.ports.push_back(neutral);
  return e;
}

Expected delta(const Currents& v, const Currents& parameters, Law law) {
  Expected e;
  const std::size_t n = v.size();
  for (std::size_t i = 0; i < n; ++i) e.inner.push_back(law(v[i] - v[(i + 1) % n], parameters[i]));
  for (std::size_t i = 0; i < n; ++i) e.ports.push_back(e.inner[i] - e.inner[(i + n - 1) % n]);
  return e;
}

// The balancer's currents by a full-pivoting solve with its impedance.
Expected balancer(const Currents& v) {
  const Eigen::VectorXc u{{v[0] - v[3], v[1] - v[3], v[2] - v[3]}};
  const Eigen::VectorXc i = balancer_impedance(kZ2, kYm, kRatio).fullPivLu().solve(u);
  return star(v, {i(0), i(1), i(2)}, [](const Complex&, const Complex& current) { return current; });
}

// One kind: how to build it and what it should draw at given potentials.
struct Kind {
  std::string name;
  int ports;
  std::function<std::unique_ptr<LoadBase>()> make;
  std::function<Expected(const Currents&)> expected;
  bool linear;  // else the magnitude is constant and only the angle follows the voltage
};

void PrintTo(const Kind& kind, std::ostream* os) { *os << kind.name; }

const Kind kKinds[] = {
    {"AdmittanceLoad", 4, [] { return std::make_unique<AdmittanceLoad>(4, kAdmittances.data()); },
     [](const Currents& v) { return star(v, kAdmittances, admittance_law); }, true},
    {"DeltaAdmittanceLoad", 3, [] { return std::make_unique<DeltaAdmittanceLoad>(3, kAdmittances.data()); },
     [](const Currents& v) { return delta(v, kAdmittances, admittance_law); }, true},
    {"CurrentLoad", 4, [] { return std::make_unique<CurrentLoad>(4, kCurrents.data()); },
     [](const Currents& v) { return star(v, kCurrents, current_law); }, false},
    {"CurrentLoadOnePhase", 2, [] { return std::make_unique<CurrentLoad>(2, kCurrents.data()); },
     [](const Currents& v) { return star(v, kCurrents, current_law); }, false},
    {"DeltaCurrentLoad", 3, [] { return std::make_unique<DeltaCurrentLoad>(3, kCurrents.data()); },
     [](const Currents& v) { return delta(v, kCurrents, current_law); }, false},
    {"DeltaCurrentLoadTwoPorts", 2, [] { return std::make_unique<DeltaCurrentLoad>(2, kCurrents.data()); },
     [](const Currents& v) { return delta(v, kCurrents, current_law); }, false},
    {"LoadBalancer", 4, [] { return std::make_unique<LoadBalancer>(kZ2, kYm, kRatio); }, balancer, true},
};

const Kind& kind_named(const std::string& name) {
  return *std::find_if(std::begin(kKinds), std::end(kKinds), [&](const Kind& kind) { return kind.name == name; });
}

// A load of the kind on a bus that holds the given potentials.
struct OnBus {
  OnBus(const Kind& kind, const Currents& potentials)
      : v(potentials.begin(), potentials.begin() + kind.ports), bus(kind.ports, v.data()), load(kind.make()) {
    bus.connect(*load, same_ports(kind.ports));
  }

  Currents plain() {
    load->eval_currents(false);
    return port_currents();
  }
  Currents port_currents() const {
    Currents out(load->ports.size());
    load->get_currents(static_cast<int>(out.size()), out.data());
    return out;
  }
  Currents inner(std::size_t count) const {
    Currents out(count);
    load->get_inner_currents(out.data());
    return out;
  }

  Currents v;
  Bus bus;
  std::unique_ptr<LoadBase> load;
};

class LoadKind : public testing::TestWithParam<Kind> {};

TEST_P(LoadKind, PlainCurrentsFollowTheLawAndSumToZero) {
  OnBus on(GetParam(), kPotentials);
  const Expected expected = GetParam().expected(on.v);
  const Currents currents = on.plain();
  expect_all_close(currents, expected.ports);
  expect_all_close(on.inner(expected.inner.size()), expected.inner);
  Complex sum;
  for (const Complex& current : currents) sum += current;
  EXPECT_LE(std::abs(sum), 1e-12 * std::abs(currents[0]));
}

TEST_P(LoadKind, RecordedCurrentsEqualThePlainOnes) {
  OnBus on(GetParam(), kPotentials);
  TapedNetwork taped({on.load.get()});
  expect_all_close(taped.evaluate().currents[0], on.plain(), 1e-13);
}

// Scaling every potential by a complex factor f multiplies an admittance's (or the balancer's)
// currents by f, and a constant-current load's by f/|f|: the magnitude stays, the angle turns.
TEST_P(LoadKind, ScaledPotentialsScaleOrTurnTheCurrents) {
  const Kind& kind = GetParam();
  const Currents before = OnBus(kind, kPotentials).plain();
  for (const Complex factor : {Complex(2.0, 0.0), Complex(0.3, 0.0), std::polar(1.0, 0.7), std::polar(4.0, -2.5)}) {
    Currents scaled;
    for (const Complex& v : kPotentials) scaled.push_back(factor * v);
    const Complex expected_factor = kind.linear ? factor : factor / std::abs(factor);
    Currents expected;
    for (const Complex& current : before) expected.push_back(expected_factor * current);
    SCOPED_TRACE(testing::Message() << "factor " << factor);
    expect_all_close(OnBus(kind, scaled).plain(), expected, 1e-12);
  }
}

// All potentials 0: a linear kind draws nothing, a constant-current kind 0/0 = NaN in every port;
// neither arithmetic throws.
TEST_P(LoadKind, ZeroVoltageGivesZeroOrNaNWithoutAnException) {
  const Kind& kind = GetParam();
  OnBus on(kind, Currents(4));
  TapedNetwork taped({on.load.get()});
  Currents plain;
  ASSERT_NO_THROW(plain = on.plain());
  for (const Currents& currents : {plain, taped.evaluate().currents[0]})
    for (const Complex& current : currents) {
      if (kind.linear)
        EXPECT_EQ(std::abs(current), 0.0);
      else
        EXPECT_TRUE(is_nan(current)) << current;
    }
}

INSTANTIATE_TEST_SUITE_P(Loads, LoadKind, testing::ValuesIn(kKinds), [](const auto& info) { return info.param.name; });

// A neutral on a reference node reads 0 whatever its stored potential: U_i = V_i.
TEST(StarLoads, NeutralOnAReferenceTakesThePhasePotentials) {
  Currents v = kPotentials;
  Bus bus(4, v.data());
  PotentialRef reference;
  AdmittanceLoad admittance(4, kAdmittances.data());
  CurrentLoad current(4, kCurrents.data());
  bus.connect(admittance, same_ports(4));
  bus.connect(current, same_ports(4));
  bus.connect(reference, {{3, 0}});
  v.back() = 0.0;
  admittance.eval_currents(false);
  current.eval_currents(false);
  for (int i = 0; i < 3; ++i) {
    const auto k = static_cast<std::size_t>(i);
    expect_close(admittance.get_port_current(i), admittance_law(v[k], kAdmittances[k]));
    expect_close(current.get_port_current(i), current_law(v[k], kCurrents[k]));
  }
}

// A delta load of one port joins the port to itself: a zero voltage on its only branch.
TEST(DeltaLoads, OnePortGivesZeroAdmittanceCurrentAndNaNConstantCurrent) {
  const Complex potential(230.0, 10.0);
  Bus bus(1, &potential);
  DeltaAdmittanceLoad admittance(1, kAdmittances.data());
  DeltaCurrentLoad current(1, kCurrents.data());
  bus.connect(admittance, {{0, 0}});
  bus.connect(current, {{0, 0}});
  admittance.eval_currents(false);
  current.eval_currents(false);
  EXPECT_EQ(admittance.get_port_current(0), Complex());
  EXPECT_TRUE(is_nan(current.get_port_current(0)));
}

// Star kinds need their neutral (n >= 1), delta kinds n >= 0; a star of one port is its neutral
// alone, without parameters.
TEST(AdmittanceAndCurrentLoads, PortCountsOutsideTheConventionsFailAtTheReservation) {
  for (const int n : {0, -1, INT_MIN}) {
    expect_vector_reserve_error([n] { AdmittanceLoad load(n, nullptr); });
    expect_vector_reserve_error([n] { CurrentLoad load(n, nullptr); });
  }
  for (const int n : {-1, INT_MIN}) {
    expect_vector_reserve_error([n] { DeltaAdmittanceLoad load(n, nullptr); });
    expect_vector_reserve_error([n] { DeltaCurrentLoad load(n, nullptr); });
  }
  DeltaCurrentLoad empty(0, nullptr);
  EXPECT_TRUE(empty.ports.empty());
  EXPECT_NO_THROW(empty.eval_currents(false));
  EXPECT_TRUE(CurrentLoad(1, nullptr).currents.empty());
}

// Updates on a linked load reach the solver's slots, and the same tape draws the new values.
TEST(AdmittanceAndCurrentLoads, UpdatesReachTheLinkedSlotsAndTheSameTape) {
  const Currents new_admittances{{-0.05, 0.01}, {0.0, 0.0}, {0.1, 0.2}};
  const Currents new_currents{{-3.0, 0.5}, {25.0, -1.0}, {1.0, 1.0}};
  Currents v = kPotentials;
  Bus bus(4, v.data());
  DeltaAdmittanceLoad admittance(3, kAdmittances.data());
  CurrentLoad current(4, kCurrents.data());
  bus.connect(admittance, same_ports(3));
  bus.connect(current, same_ports(4));
  TapedNetwork taped({&admittance, &current});
  admittance.update_admittances(new_admittances.data());
  current.update_currents(new_currents.data());
  EXPECT_EQ(taped.pd(2), new_admittances[1].real());
  EXPECT_EQ(taped.pd(7), new_currents[0].imag());

  const auto recorded = taped.evaluate().currents;
  expect_all_close(recorded[0], delta(Currents(v.begin(), v.end() - 1), new_admittances, admittance_law).ports);
  expect_all_close(recorded[1], star(v, new_currents, current_law).ports);
  admittance.eval_currents(false);
  current.eval_currents(false);
  for (int i = 0; i < 3; ++i) expect_close(admittance.get_port_current(i), recorded[0][static_cast<std::size_t>(i)]);
  for (int i = 0; i < 4; ++i) expect_close(current.get_port_current(i), recorded[1][static_cast<std::size_t>(i)]);
}

// Y is the inverse of the impedance built from z2, ym and k; it is symmetric with equal diagonal
// and equal off-diagonal entries.
TEST(LoadBalancer, AdmittanceIsTheInverseOfTheBalancerImpedance) {
  const LoadBalancer balancer(kZ2, kYm, kRatio);
  const Eigen::MatrixXc& y = balancer.admittance.value;
  ASSERT_EQ(y.rows(), 3);
  ASSERT_EQ(y.cols(), 3);
  EXPECT_LE((y * balancer_impedance(kZ2, kYm, kRatio) - Eigen::MatrixXc::Identity(3, 3)).norm(), 1e-12);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      expect_close(y(i, j), y(j, i));
      expect_close(y(i, j), i == j ? y(0, 0) : y(0, 1));
    }
}

// Balanced phase-to-neutral voltages draw balanced currents and nothing in the neutral.
TEST(LoadBalancer, BalancedVoltagesDrawBalancedCurrents) {
  const Complex a = std::polar(1.0, -2.0 * std::numbers::pi / 3.0);
  const Complex neutral(4.0, -1.5);
  Currents v{Complex(231.0, 12.0) + neutral, Complex(231.0, 12.0) * a + neutral, Complex(231.0, 12.0) * a * a + neutral,
             neutral};
  OnBus on(kind_named("LoadBalancer"), v);
  const Currents currents = on.plain();
  expect_close(currents[1], a * currents[0]);
  expect_close(currents[2], a * a * currents[0]);
  EXPECT_LE(std::abs(currents[3]), 1e-12 * std::abs(currents[0]));
  EXPECT_EQ(on.inner(3), Currents(currents.begin(), currents.end() - 1));
}

// 18 reals, row by row, real part first; linking advances the index by as many.
TEST(LoadBalancer, DeclaresAndLinksTheAdmittanceRowByRow) {
  LoadBalancer balancer(kZ2, kYm, kRatio);
  std::vector<double> p0{-1.0};
  balancer.declare_dynamic_variables(p0);
  ASSERT_EQ(p0.size(), 19u);
  const Eigen::MatrixXc& y = balancer.admittance.value;
  EXPECT_EQ(p0[1 + 2 * (3 * 1 + 2)], y(1, 2).real());
  EXPECT_EQ(p0[2 + 2 * (3 * 2 + 0)], y(2, 0).imag());

  const VectorXd start = Eigen::Map<const VectorXd>(p0.data(), 19);
  VectorXd pd = start;
  const VectorXAD p = pd.cast<AD>();
  int idx = 1;
  balancer.link_dynamic_variables(p, pd, idx);
  EXPECT_EQ(idx, 19);
  EXPECT_EQ(balancer.admittance.value_ptr, pd.data() + 1);
  EXPECT_EQ(balancer.admittance.ad.rows(), 3);
  EXPECT_EQ(balancer.admittance.get_value(), y);
}
}  // namespace
