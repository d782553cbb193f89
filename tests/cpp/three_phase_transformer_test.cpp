// The three-phase transformer: its winding matrices for every winding pair and clock number, the
// phase shift and ratio of every usual vector group in a solved network, its energy balance under
// load, its open-circuit and short-circuit tests, and the constructions it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <stdexcept>
#include <string>

#include "branches/transformer.hpp"
#include "core/nodal_elements.hpp"
#include "core/voltage_source.hpp"
#include "loads/power_load.hpp"
#include "solvers/newton.hpp"
#include "solvers/solver.hpp"
#include "taped_network.hpp"
#include "test_arrays.hpp"
#include "test_checks.hpp"

namespace {
const Complex kA = std::polar(1.0, -2.0 * std::numbers::pi / 3.0);

// ---------------------------------------------------------------------------------------------
// Winding matrices

struct Windings {
  std::string whv, wlv;
  int clock;
};

std::string name_of(const Windings& w) {
  return w.whv + w.wlv + (w.clock < 0 ? "Minus" + std::to_string(-w.clock) : std::to_string(w.clock));
}

bool listed(int clock, std::initializer_list<int> clocks) { return std::find(clocks.begin(), clocks.end(), clock) != clocks.end(); }

// The cyclic shift (P·x)_i = x_(i+1 mod 3), and the phase-to-neutral map [I | −1].
Eigen::Matrix3d cycle() {
  Eigen::Matrix3d p = Eigen::Matrix3d::Zero();
  for (int i = 0; i < 3; ++i) p(i, (i + 1) % 3) = 1.0;
  return p;
}
Eigen::MatrixXd star() {
  Eigen::MatrixXd s(3, 4);
  s << Eigen::Matrix3d::Identity(), -Eigen::Vector3d::Ones();
  return s;
}

class WindingMatrices : public testing::TestWithParam<Windings> {};

// The delta HV winding runs a→b for the clocks 0, 4, 5, 6, 10, 11 and a→c otherwise; the delta
// and zigzag LV windings one way for 0, 1, 2, 6, 7, 8 and the other way otherwise; the LV side is
// reversed for the clocks 4 to 8. Clocks outside 0 .. 11 take the rows of the non-listed ones.
TEST_P(WindingMatrices, FollowTheWindingsAndTheClock) {
  const Windings& w = GetParam();
  const Eigen::Matrix3d I = Eigen::Matrix3d::Identity(), P = cycle(), Pt = P.transpose();
  const ThreePhaseTransformer t(4, 4, w.whv, w.wlv, {0.01, 0.03}, {1e-4, -1e-3}, 0.5, w.clock);

  const bool hv_ab = listed(w.clock, {0, 4, 5, 6, 10, 11});
  const bool lv_ab = listed(w.clock, {0, 1, 2, 6, 7, 8});
  const double orientation = 4 <= w.clock && w.clock <= 8 ? -1.0 : 1.0;
  EXPECT_EQ(t.orientation, orientation);
  EXPECT_EQ(t.clock, w.clock);
  if (w.whv == "D") {
    EXPECT_EQ(t.W1, hv_ab ? I - P : I - Pt);
    EXPECT_EQ(t.A1, hv_ab ? I - Pt : I - P);
  } else {
    EXPECT_EQ(t.W1, star());
    EXPECT_EQ(t.A1, I);
  }
  if (w.wlv == "d") {
    EXPECT_EQ(t.W2, lv_ab ? I - P : I - Pt);
    EXPECT_EQ(t.A2, orientation * (lv_ab ? I - Pt : I - P));
  } else {
    EXPECT_EQ(t.W2, star());
    EXPECT_EQ(t.A2, orientation * I);
  }
  if (w.wlv == "z") {
    EXPECT_EQ(t.K, lv_ab ? P - I : Pt - I);
    EXPECT_EQ(t.B, orientation * (lv_ab ? I - Pt : I - P));
  } else {
    EXPECT_EQ(t.K, -I);
    EXPECT_EQ(t.B, orientation * I);
  }
}

// At arbitrary port potentials the recorded law gives the plain currents, a fourth port carries
// minus the sum of its side's phase currents, and a delta HV winding's fourth port carries none.
TEST_P(WindingMatrices, RecordedAndPlainCurrentsAgree) {
  const Windings& w = GetParam();
  const Complex hv[4] = {{11000.0, 300.0}, {-5200.0, -9800.0}, {-5700.0, 9300.0}, {40.0, -25.0}};
  const Complex lv[4] = {{231.0, 5.0}, {-118.0, -201.0}, {-114.0, 197.0}, {1.5, 2.0}};
  Bus hv_bus(4, hv), lv_bus(4, lv);
  ThreePhaseTransformer t(4, 4, w.whv, w.wlv, {0.01, 0.03}, {1e-5, -4e-5}, 0.02, w.clock);
  t.connect_side(hv_bus, same_ports(4), true);
  t.connect_side(lv_bus, same_ports(4), false);
  TapedNetwork taped({&t});
  const std::vector<Complex> recorded = taped.evaluate().currents[0];
  t.eval_currents(false);
  const std::vector<Complex> plain = currents_of(t);
  double scale = 0.0;
  for (const Complex& current : plain) scale = std::max(scale, std::abs(current));
  for (std::size_t i = 0; i < 8; ++i)
    EXPECT_LE(std::abs(recorded[i] - plain[i]), 1e-12 * scale) << "port " << i << ": " << recorded[i] << " vs " << plain[i];
  for (std::size_t side : {0u, 4u})
    EXPECT_LE(std::abs(plain[side + 3] + plain[side] + plain[side + 1] + plain[side + 2]), 1e-12 * scale) << "side at " << side;
  if (w.whv == "D") {
    EXPECT_LE(std::abs(plain[3]), 1e-12 * scale);
  }
}

std::vector<Windings> every_clock() {
  std::vector<Windings> all;
  for (const char* whv : {"D", "Y"})
    for (const char* wlv : {"d", "y", "z"})
      for (int clock = -1; clock <= 13; ++clock) all.push_back({whv, wlv, clock});
  return all;
}

INSTANTIATE_TEST_SUITE_P(ThreePhaseTransformer, WindingMatrices, testing::ValuesIn(every_clock()),
                         [](const auto& info) { return name_of(info.param); });

// ---------------------------------------------------------------------------------------------
// Vector groups in a solved network

// The line-to-line voltage of a side over the voltage across one of its windings.
double hv_factor(const std::string& whv) { return whv == "D" ? 1.0 : std::sqrt(3.0); }
double lv_factor(const std::string& wlv) { return wlv == "d" ? 1.0 : wlv == "y" ? std::sqrt(3.0) : 3.0; }

constexpr double kHvLine = 20000.0;
constexpr double kLvLine = 400.0;

// A balanced source (neutral on the reference) feeds the transformer, whose LV side is held by a
// reference on its neutral (star, zigzag) or on the sum of its potentials (delta), with or
// without an unbalanced load. The HV side always has four ports: a delta winding ignores its
// fourth, which sits on the source's neutral.
struct GroupBench {
  explicit GroupBench(const Windings& w, const Complex& z2, const Complex& ym, bool loaded)
      : delta_lv(w.wlv == "d"),
        k(kLvLine / kHvLine * hv_factor(w.whv) / lv_factor(w.wlv)),
        shift(std::polar(kLvLine / kHvLine, -w.clock * std::numbers::pi / 6.0)) {
    std::vector<Complex> hv_start(4), lv_start(delta_lv ? 3 : 4);
    for (int i = 0; i < 3; ++i) {
      voltages[i] = kHvLine / std::sqrt(3.0) * std::pow(kA, i);
      hv_start[static_cast<std::size_t>(i)] = voltages[i];
      lv_start[static_cast<std::size_t>(i)] = shift * voltages[i];
    }
    const int n2 = delta_lv ? 3 : 4;
    hv = std::make_unique<Bus>(4, hv_start.data());
    lv = std::make_unique<Bus>(n2, lv_start.data());
    source = std::make_unique<VoltageSource>(4, voltages);
    transformer = std::make_unique<ThreePhaseTransformer>(4, n2, w.whv, w.wlv, z2, ym, k, w.clock);
    hv->connect(*source, same_ports(4));
    hv->connect(hv_reference, {{3, 0}});
    transformer->connect_side(*hv, same_ports(4), true);
    transformer->connect_side(*lv, same_ports(n2), false);
    std::vector<Element*> elements{source.get(), &hv_reference, hv.get(), transformer.get(), lv.get()};
    if (delta_lv) {
      lv_reference = std::make_unique<DeltaPotentialRef>(3);
      if (loaded) load = std::make_unique<DeltaPowerLoad>(3, powers);
    } else {
      lv_reference = std::make_unique<PotentialRef>();
      if (loaded) load = std::make_unique<PowerLoad>(4, powers);
    }
    lv->connect(*lv_reference, delta_lv ? same_ports(3) : std::vector<std::pair<int, int>>{{3, 0}});
    elements.push_back(lv_reference.get());
    if (load) {
      lv->connect(*load, same_ports(n2));
      elements.push_back(load.get());
    }
    network = std::make_unique<ElectricalNetwork>(elements);
  }

  bool delta_lv;
  double k;
  Complex shift;  // LV over HV, phase to neutral, of the ideal transformer
  Complex voltages[3];
  Complex powers[3] = {{60000.0, 20000.0}, {25000.0, 5000.0}, {40000.0, -10000.0}};
  PotentialRef hv_reference;
  std::unique_ptr<Bus> hv, lv;
  std::unique_ptr<VoltageSource> source;
  std::unique_ptr<ThreePhaseTransformer> transformer;
  std::unique_ptr<Element> lv_reference, load;
  std::unique_ptr<ElectricalNetwork> network;
};

// The groups that the two directions of each winding can make: a delta and a star winding, or a
// star and a zigzag one, shift by 30° one way or the other, possibly reversed; a delta and a
// zigzag winding, or two deltas, by 0° or ±60°, possibly reversed; two stars by 0° or 180°.
std::vector<Windings> vector_groups() {
  const std::vector<int> odd{1, 5, 7, 11}, even{0, 2, 4, 6, 8, 10};
  const std::pair<const char*, const std::vector<int>*> pairs[] = {{"Dd", &even}, {"Dy", &odd}, {"Dz", &even},
                                                                   {"Yd", &odd},  {"Yz", &odd}};
  std::vector<Windings> groups;
  for (const auto& [windings, clocks] : pairs)
    for (int clock : *clocks) groups.push_back({std::string(1, windings[0]), std::string(1, windings[1]), clock});
  for (int clock : {0, 6}) groups.push_back({"Y", "y", clock});
  return groups;
}

class VectorGroup : public testing::TestWithParam<Windings> {};

// Without load, the LV potentials (against the LV neutral, or the mean of a delta side) are the
// source's phase voltages scaled by the line voltage ratio and turned by −clock·30°; the delta
// HV winding's fourth port carries nothing.
TEST_P(VectorGroup, NoLoadSecondaryIsTheTurnedAndScaledPrimary) {
  const Windings& w = GetParam();
  GroupBench bench(w, {1e-3, 2e-3}, {0.0, 0.0}, false);
  Newton newton(bench.network.get(), false);
  const double error = newton.solve_load_flow(20, 1e-9).second;
  EXPECT_LE(error, 1e-9);
  const Complex neutral = bench.delta_lv ? Complex() : bench.lv->get_port_potential(3);
  for (int i = 0; i < 3; ++i)
    expect_close(bench.lv->get_port_potential(i) - neutral, bench.shift * bench.voltages[i], 1e-9,
                 "phase " + std::to_string(i));
  EXPECT_LE(std::abs(bench.transformer->get_port_current(3)), 1e-9);
}

// Under an unbalanced load the transformer absorbs exactly what its impedances take:
// Σ V·conj(I) over its ports = conj(ym)·Σ|U1|² + z2·Σ|I2|², U1 the HV winding voltages and I2
// the LV winding currents. Star and zigzag LV windings carry the LV phase currents; a delta one,
// whose windings see no zero-sequence voltage here, carries currents of a third of their squares.
TEST_P(VectorGroup, LoadedTransformerAbsorbsWhatItsImpedancesTake) {
  const Windings& w = GetParam();
  const Complex z2(0.004, 0.016), ym(2e-7, -1.5e-6);
  GroupBench bench(w, z2, ym, true);
  NewtonGoldstein newton(bench.network.get(), false, 0.1, 0.9);
  const double error = newton.solve_load_flow(30, 1e-8).second;
  EXPECT_LE(error, 1e-8);

  const ThreePhaseTransformer& t = *bench.transformer;
  Complex absorbed;
  for (int i = 0; i < static_cast<int>(t.ports.size()); ++i)
    absorbed += t.get_port_potential(i) * std::conj(t.get_port_current(i));
  double hv_windings = 0.0, lv_windings = 0.0;
  for (int i = 0; i < 3; ++i) {
    const Complex v = t.get_port_potential(i);
    hv_windings += std::norm(w.whv == "D" ? v - t.get_port_potential((i + 1) % 3) : v - t.get_port_potential(3));
    lv_windings += std::norm(t.side2_ports[static_cast<std::size_t>(i)]->current);
  }
  if (w.wlv == "d") lv_windings /= 3.0;
  expect_close(absorbed, std::conj(ym) * hv_windings + z2 * lv_windings, 1e-8, "absorbed power");
  EXPECT_GT(z2.real() * lv_windings, 100.0) << "the load draws a real current";
}

// Open circuit at the ideal ratio: no LV winding current flows, so only the magnetising admittance
// takes power; i0 is the HV phase current over the rated current sn/(√3·uhv).
TEST_P(VectorGroup, OpenCircuitTestAtTheIdealRatio) {
  const Windings& w = GetParam();
  const Complex ym(3e-7, -2e-6);
  const double sn = 250000.0;
  const double k = kLvLine / kHvLine * hv_factor(w.whv) / lv_factor(w.wlv);
  const int n1 = w.whv == "D" ? 3 : 4;
  ThreePhaseTransformer t(n1, 4, w.whv, w.wlv, {0.004, 0.016}, ym, k, w.clock);
  const auto [p0, i0] = t.compute_open_circuit_parameters(kHvLine, kLvLine, sn);

  const Complex turn = std::polar(1.0, -w.clock * std::numbers::pi / 6.0);
  for (int i = 0; i < 3; ++i) {
    expect_close(t.side_potentials<Complex>(1)(i), kHvLine / std::sqrt(3.0) * std::pow(kA, i), 1e-14);
    expect_close(t.side_potentials<Complex>(2)(i), kLvLine / std::sqrt(3.0) * std::pow(kA, i) * turn, 1e-14);
  }
  EXPECT_EQ(t.side_potentials<Complex>(2)(3), Complex());
  const double winding = kHvLine / hv_factor(w.whv);
  EXPECT_NEAR(p0, 3.0 * ym.real() * winding * winding, 1e-6);
  // A delta phase port joins two windings 120° apart: √3 times one winding's current.
  const double phase_current = std::abs(ym) * winding * (w.whv == "D" ? std::sqrt(3.0) : 1.0);
  EXPECT_NEAR(i0, phase_current / (sn / (std::sqrt(3.0) * kHvLine)), 1e-9);
}

// Short circuit: vsc from |z2| (a third of it for a delta LV winding) and the rated values; the
// HV side is driven at uhv·vsc, the LV ports at 0, so each LV winding short-circuits its share
// of k·U1 through z2 (a zigzag winding √3 times one HV winding's voltage).
TEST_P(VectorGroup, ShortCircuitTestAtTheRatedCurrent) {
  const Windings& w = GetParam();
  const Complex z2(0.004, 0.016), ym(3e-7, -2e-6);
  const double sn = 250000.0, k = 0.03;
  ThreePhaseTransformer t(4, 4, w.whv, w.wlv, z2, ym, k, w.clock);
  const auto [psc, vsc] = t.compute_short_circuit_parameters(kHvLine, kLvLine, sn);
  EXPECT_DOUBLE_EQ(vsc, std::abs(z2) / (w.wlv == "d" ? 3.0 : 1.0) * sn / (kLvLine * kLvLine));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(t.side_potentials<Complex>(2)(i), Complex());
  EXPECT_EQ(t.side_potentials<Complex>(1)(3), Complex());
  expect_close(t.side_potentials<Complex>(1)(1), kHvLine * vsc / std::sqrt(3.0) * kA, 1e-14);

  const double winding = kHvLine * vsc / hv_factor(w.whv);
  const double hv_windings = 3.0 * winding * winding;
  const double lv_windings = k * k * hv_windings * (w.wlv == "z" ? 3.0 : 1.0) / std::norm(z2);
  EXPECT_NEAR(psc, ym.real() * hv_windings + z2.real() * lv_windings, 1e-9 * psc);
}

INSTANTIATE_TEST_SUITE_P(ThreePhaseTransformer, VectorGroup, testing::ValuesIn(vector_groups()),
                         [](const auto& info) { return name_of(info.param); });

// ---------------------------------------------------------------------------------------------
// What the constructor refuses

struct Refusal {
  std::string name;
  int n1, n2;
  std::string whv, wlv;
  std::string message;
};

class RefusedConstruction : public testing::TestWithParam<Refusal> {};

// A negative total port count first, as reserving the ports would refuse it. Then the winding
// names: the HV one first, case and length matter. Then the port counts: every side needs its
// three phases, star and zigzag sides their neutral too, and no side more than four ports; negative
// counts are refused before they reach any arithmetic.
TEST_P(RefusedConstruction, ThrowsItsMessage) {
  const Refusal& r = GetParam();
  try {
    ThreePhaseTransformer(r.n1, r.n2, r.whv, r.wlv, {0.01, 0.03}, {0.0, 0.0}, 0.5, 11);
    FAIL() << "expected an exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_EQ(error.what(), r.message);
    EXPECT_EQ(r.message.rfind("The ", 0), 0u) << "a port count, not a winding, was refused";
  } catch (const std::exception& error) {
    EXPECT_EQ(error.what(), r.message);
  }
}

const std::string kDeltaHv = "The HV side of a three-phase transformer with winding D needs 3 or 4 ports, got ";
const std::string kStarHv = "The HV side of a three-phase transformer with winding Y needs 4 ports (three phases and the neutral), got ";
const std::string kStarLv = "The LV side of a three-phase transformer with winding y needs 4 ports (three phases and the neutral), got ";

INSTANTIATE_TEST_SUITE_P(
    ThreePhaseTransformer, RefusedConstruction,
    testing::Values(Refusal{"TwoLetterHv", 4, 4, "YN", "y", "Bad HV winding: YN"},
                    Refusal{"EmptyHv", 4, 4, "", "y", "Bad HV winding: "},
                    Refusal{"HvCheckedFirst", 4, 4, "d", "Z", "Bad HV winding: d"},
                    Refusal{"UpperCaseLv", 4, 4, "D", "Z", "Bad LV winding: Z"},
                    Refusal{"TwoLetterLv", 4, 4, "D", "yn", "Bad LV winding: yn"},
                    Refusal{"NegativeTotalBeforeWinding", -1, -1, "X", "y", "vector::reserve"},
                    Refusal{"WindingBeforeCount", 5, -1, "X", "y", "Bad HV winding: X"},
                    Refusal{"StarHvWithoutNeutral", 3, 4, "Y", "y", kStarHv + "3"},
                    Refusal{"StarLvWithoutNeutral", 3, 3, "D", "y", kStarLv + "3"},
                    Refusal{"ZigzagLvWithoutNeutral", 4, 3, "Y", "z",
                            "The LV side of a three-phase transformer with winding z needs 4 ports (three phases and the neutral), got 3"},
                    Refusal{"DeltaLvWithTwoPorts", 3, 2, "D", "d",
                            "The LV side of a three-phase transformer with winding d needs 3 or 4 ports, got 2"},
                    Refusal{"DeltaHvWithFivePorts", 5, 4, "D", "y", kDeltaHv + "5"},
                    Refusal{"StarLvWithFivePorts", 4, 5, "Y", "y", kStarLv + "5"},
                    Refusal{"NoPorts", 0, 0, "D", "d", kDeltaHv + "0"},
                    Refusal{"NegativeHv", -1, 4, "D", "y", kDeltaHv + "-1"},
                    Refusal{"NegativeLv", 3, -1, "D", "y", kStarLv + "-1"},
                    Refusal{"SmallestIntTotal", std::numeric_limits<int>::min(), -1, "D", "y", "vector::reserve"},
                    Refusal{"LargestIntBesideNegative", std::numeric_limits<int>::max(), -1, "D", "y",
                            kDeltaHv + std::to_string(std::numeric_limits<int>::max())}),
    [](const auto& info) { return info.param.name; });

// A delta side may keep a fourth port, on either side.
TEST(ThreePhaseTransformer, DeltaSidesAcceptAFourthPort) {
  const ThreePhaseTransformer t(4, 4, "D", "d", {0.01, 0.03}, {0.0, 0.0}, 0.5, 0);
  EXPECT_EQ(t.side1_ports.size(), 4u);
  EXPECT_EQ(t.side2_ports.size(), 4u);
  const ThreePhaseTransformer u(3, 3, "D", "d", {0.01, 0.03}, {0.0, 0.0}, 0.5, 0);
  EXPECT_EQ(u.ports.size(), 6u);
}

// Only the single-phase kind has sweep steps: a backward-forward solve over another kind fails
// with the transformers' own message before any sweep has changed a potential.
TEST(Transformer, BackwardForwardFailsForTheCenterTappedAndThreePhaseKinds) {
  const Complex start[4] = {{100.0, 0.0}, {-50.0, -86.6}, {-50.0, 86.6}, {0.0, 0.0}};
  std::vector<std::unique_ptr<TransformerBase>> kinds;
  kinds.push_back(std::make_unique<CenterTransformer>(Complex(0.01, 0.02), Complex(), 0.5));
  kinds.push_back(std::make_unique<ThreePhaseTransformer>(3, 4, "D", "y", Complex(0.01, 0.02), Complex(), 0.5, 11));
  for (const auto& transformer : kinds) {
    Bus bus(4, start);
    transformer->connect_side(bus, same_ports(static_cast<int>(transformer->side2_ports.size())), false);
    ElectricalNetwork network({&bus, transformer.get()});
    BackwardForward solver(&network);
    try {
      solver.solve_load_flow(10, 1e-8);
      ADD_FAILURE() << "expected the transformers' backward-forward error";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "2 No backward-forward method has been defined for transformers yet.");
    }
    EXPECT_EQ(bus.get_port_potential(1), start[1]);
  }
}
}  // namespace
