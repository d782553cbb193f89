// End to end with transformers: a medium-voltage source feeding unbalanced low-voltage star loads
// through a Dyn11 transformer, and a single-phase transformer feeder, solved by every solver that
// takes them and checked against Kirchhoff's current law, the energy balance and the
// transformer's own law written out here; then the transformer data change on the same tape.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <numbers>

#include "branches/line.hpp"
#include "branches/transformer.hpp"
#include "core/nodal_elements.hpp"
#include "core/voltage_source.hpp"
#include "loads/power_load.hpp"
#include "solvers/newton.hpp"
#include "solvers/solver.hpp"
#include "tests/cpp/test_arrays.hpp"

namespace {
void expect_close(const Complex& actual, const Complex& expected, double tolerance, const std::string& what) {
  EXPECT_LE(std::abs(actual - expected), tolerance) << what << ": " << actual << " vs " << expected;
}

// The sum of the port currents at every non-reference node of the network.
void expect_kirchhoff(const ElectricalNetwork& network, double tolerance) {
  std::map<const Connection*, Complex> sums;
  for (const Element* element : network.elements)
    for (std::size_t i = 0; i < element->ports.size(); ++i)
      if (!element->ports[i].connection->is_reference)
        sums[element->ports[i].connection.get()] += element->get_port_current(static_cast<int>(i));
  for (const auto& [node, sum] : sums) expect_close(sum, Complex(), tolerance, "Kirchhoff sum");
}

// What an element absorbs through its ports, Σ V·conj(I).
Complex absorbed(const Element& element) {
  Complex sum;
  for (int i = 0; i < static_cast<int>(element.ports.size()); ++i)
    sum += element.get_port_potential(i) * std::conj(element.get_port_current(i));
  return sum;
}

struct SolverKind {
  const char* name;
  std::function<std::unique_ptr<AbstractSolver>(ElectricalNetwork*)> make;
};

const SolverKind kNewton{"Newton", [](ElectricalNetwork* n) { return std::make_unique<Newton>(n, false); }};
const SolverKind kGoldstein{"NewtonGoldstein",
                            [](ElectricalNetwork* n) { return std::make_unique<NewtonGoldstein>(n, true, 0.1, 0.9); }};
const SolverKind kBackwardForward{"BackwardForward",
                                  [](ElectricalNetwork* n) { return std::make_unique<BackwardForward>(n); }};

// ---------------------------------------------------------------------------------------------
// Three-phase: 20 kV source ── 3-wire line ── Dyn11 ── 4-wire line ── unbalanced star loads

const Complex kA = std::polar(1.0, -2.0 * std::numbers::pi / 3.0);
const double kHvPhase = 20000.0 / std::sqrt(3.0);
const Complex kSourceVoltages[3] = {kHvPhase, kHvPhase * kA, kHvPhase * kA * kA};

Eigen::MatrixXc cable(int n, double r, double x) {
  Eigen::MatrixXc z(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) z(i, j) = i == j ? Complex(r, x) : Complex(0.05 * r, 0.4 * x + 0.01 * (i + j));
  return z;
}

struct TransformerData {
  Complex z2, ym;
  double k;
};
const TransformerData kNominal{{0.0064, 0.0256}, {4e-7, -3e-6}, 0.4 / 20.0 / std::sqrt(3.0)};
// A tap 5 % up, a warmer winding and a lighter core.
const TransformerData kTapped{{0.0080, 0.0256}, {2e-7, -2e-6}, 1.05 * kNominal.k};

struct DistributionFeeder {
  DistributionFeeder() {
    std::vector<Complex> mv_start{kSourceVoltages[0], kSourceVoltages[1], kSourceVoltages[2], 0.0};
    std::vector<Complex> lv_start(4);
    for (int i = 0; i < 3; ++i) lv_start[static_cast<std::size_t>(i)] = std::polar(0.02, std::numbers::pi / 6.0) * kSourceVoltages[i];
    source_bus = std::make_unique<Bus>(4, mv_start.data());
    mv_bus = std::make_unique<Bus>(3, mv_start.data());
    lv_bus = std::make_unique<Bus>(4, lv_start.data());
    load_bus = std::make_unique<Bus>(4, lv_start.data());
    source_bus->connect(source, same_ports(4));
    source_bus->connect(source_reference, {{3, 0}});
    mv_line.connect_side(*source_bus, same_ports(3), true);
    mv_line.connect_side(*mv_bus, same_ports(3), false);
    transformer.connect_side(*mv_bus, same_ports(3), true);
    transformer.connect_side(*lv_bus, same_ports(4), false);
    lv_bus->connect(lv_reference, {{3, 0}});
    lv_line.connect_side(*lv_bus, same_ports(4), true);
    lv_line.connect_side(*load_bus, same_ports(4), false);
    load_bus->connect(load, same_ports(4));
    network = std::make_unique<ElectricalNetwork>(std::vector<Element*>{
        &source, &source_reference, source_bus.get(), &mv_line, mv_bus.get(), &transformer, lv_bus.get(),
        &lv_reference, &lv_line, load_bus.get(), &load});
  }

  Eigen::MatrixXc mv_z = cable(3, 0.2, 0.35);
  Eigen::MatrixXc lv_z = cable(4, 0.03, 0.02);
  Complex powers[3] = {{40000.0, 12000.0}, {15000.0, 3000.0}, {28000.0, -4000.0}};
  VoltageSource source{4, kSourceVoltages};
  PotentialRef source_reference, lv_reference;
  std::unique_ptr<Bus> source_bus, mv_bus, lv_bus, load_bus;
  SimplifiedLine mv_line{3, row_major(mv_z).data()};
  ThreePhaseTransformer transformer{3, 4, "D", "y", kNominal.z2, kNominal.ym, kNominal.k, 11};
  SimplifiedLine lv_line{4, row_major(lv_z).data()};
  PowerLoad load{4, powers};
  std::unique_ptr<ElectricalNetwork> network;
};

// Dyn11 written out: LV winding i (phase i to the LV neutral) holds k·(V_i − V_i+1) of the HV side
// behind z2 and carries the LV phase current J_i; the HV winding from phase i to i+1 carries
// ym·U1_i − k·J_i, and HV phase i joins winding i and winding i−1.
void expect_dyn11_law(const ThreePhaseTransformer& t, const TransformerData& data) {
  Complex v1[3], v2[4], i1[3], j[4];
  t.get_side_potentials(3, 4, v1, v2);
  t.get_side_currents(3, 4, i1, j);
  Complex winding[3];
  for (int i = 0; i < 3; ++i) {
    const Complex u1 = v1[i] - v1[(i + 1) % 3];
    expect_close(v2[i] - v2[3], data.k * u1 + data.z2 * j[i], 1e-8, "LV winding " + std::to_string(i));
    winding[i] = data.ym * u1 - data.k * j[i];
  }
  for (int i = 0; i < 3; ++i) expect_close(i1[i], winding[i] - winding[(i + 2) % 3], 1e-9, "HV phase " + std::to_string(i));
  expect_close(j[3], -(j[0] + j[1] + j[2]), 1e-9, "LV neutral");
}

// The source delivers what the loads take plus what the lines and the transformer absorb, and
// the loads take their setpoints.
void expect_energy_balance(const DistributionFeeder& f) {
  Complex delivered;
  for (int i = 0; i < 3; ++i) delivered -= kSourceVoltages[i] * std::conj(f.source.get_port_current(i));
  const Complex taken = absorbed(f.load) + absorbed(f.mv_line) + absorbed(f.lv_line) + absorbed(f.transformer);
  expect_close(delivered, taken, 1e-6, "energy balance");
  Complex v[4], current[4];
  f.load.get_potentials(4, v);
  f.load.get_currents(4, current);
  for (int i = 0; i < 3; ++i) expect_close((v[i] - v[3]) * std::conj(current[i]), f.powers[i], 1e-6, "load phase");
  EXPECT_GT(absorbed(f.transformer).real(), 100.0) << "the transformer is loaded";
}

class DistributionFeederSolve : public testing::TestWithParam<SolverKind> {};

TEST_P(DistributionFeederSolve, SolvesThenFollowsTransformerUpdatesOnTheSameTape) {
  DistributionFeeder feeder;
  const std::unique_ptr<AbstractSolver> solver = GetParam().make(feeder.network.get());
  for (const TransformerData* data : {&kNominal, &kTapped}) {
    feeder.transformer.update_transformer_parameters(data->z2, data->ym, data->k);
    const auto [iterations, error] = solver->solve_load_flow(30, 1e-8);
    EXPECT_LT(iterations, 30);
    EXPECT_LE(error, 1e-8);
    expect_kirchhoff(*feeder.network, 1e-8);
    expect_dyn11_law(feeder.transformer, *data);
    expect_energy_balance(feeder);
  }
  // The tap raised the LV voltage.
  const Complex van = feeder.load_bus->get_port_potential(0) - feeder.load_bus->get_port_potential(3);
  EXPECT_GT(std::abs(van), 225.0);
}

INSTANTIATE_TEST_SUITE_P(Transformer, DistributionFeederSolve, testing::Values(kNewton, kGoldstein),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Single-phase: source ── single-phase transformer ── line ── constant-power load

struct SingleFeeder {
  // Upstream first: the forward sweep runs in this order, the backward sweep in reverse.
  std::vector<Element*> connected() {
    source_bus.connect(source, same_ports(2));
    source_bus.connect(source_reference, {{1, 0}});
    transformer.connect_side(source_bus, same_ports(2), true);
    transformer.connect_side(lv_bus, same_ports(2), false);
    lv_bus.connect(lv_reference, {{1, 0}});
    line.connect_side(lv_bus, same_ports(2), true);
    line.connect_side(load_bus, same_ports(2), false);
    load_bus.connect(load, same_ports(2));
    return {&source, &source_reference, &source_bus, &transformer, &lv_bus, &lv_reference, &line, &load_bus, &load};
  }

  Complex voltage{11000.0, 0.0};
  Complex start[2] = {{11000.0, 0.0}, {0.0, 0.0}};
  Complex lv_start[2] = {{230.0, 0.0}, {0.0, 0.0}};
  Complex power{9000.0, 2500.0};
  Complex z2{0.02, 0.05}, ym{1e-6, -8e-6}, k = std::polar(230.0 / 11000.0, 0.05);
  Eigen::MatrixXc line_z = cable(2, 0.1, 0.05);
  Bus source_bus{2, start}, lv_bus{2, lv_start}, load_bus{2, lv_start};
  VoltageSource source{2, &voltage};
  PotentialRef source_reference, lv_reference;
  SingleTransformer transformer{z2, ym, k};
  SimplifiedLine line{2, row_major(line_z).data()};
  PowerLoad load{2, &power};
  ElectricalNetwork network{connected()};
};

class SingleFeederSolve : public testing::TestWithParam<SolverKind> {};

TEST_P(SingleFeederSolve, SatisfiesTheLawsAndTheEnergyBalance) {
  SingleFeeder f;
  const std::unique_ptr<AbstractSolver> solver = GetParam().make(&f.network);
  const auto [iterations, error] = solver->solve_load_flow(100, 1e-9);
  EXPECT_LT(iterations, 100);
  EXPECT_LE(error, 1e-9);
  expect_kirchhoff(f.network, 1e-6);

  const Complex u1 = f.transformer.get_port_potential(0) - f.transformer.get_port_potential(1);
  const Complex u2 = f.transformer.get_port_potential(2) - f.transformer.get_port_potential(3);
  const Complex i1 = f.transformer.get_port_current(0), i2 = f.transformer.get_port_current(2);
  expect_close(u2, f.k * u1 + f.z2 * i2, 1e-9, "LV winding");
  expect_close(i1, f.ym * u1 - std::conj(f.k) * i2, 1e-9, "HV winding");
  const Complex delivered = -f.voltage * std::conj(f.source.get_port_current(0));
  expect_close(delivered, absorbed(f.load) + absorbed(f.line) + absorbed(f.transformer), 1e-5, "energy balance");
  const Complex load_voltage = f.load_bus.get_port_potential(0) - f.load_bus.get_port_potential(1);
  expect_close(load_voltage * std::conj(f.load.get_port_current(0)), f.power, 1e-5, "load");
}

// The three solvers reach the same potentials.
TEST(SingleFeeder, SolversAgree) {
  std::vector<Complex> reference;
  for (const SolverKind& kind : {kNewton, kGoldstein, kBackwardForward}) {
    SingleFeeder f;
    kind.make(&f.network)->solve_load_flow(100, 1e-10);
    const Complex v = f.load_bus.get_port_potential(0);
    if (reference.empty()) reference.push_back(v);
    expect_close(v, reference[0], 1e-8, kind.name);
    EXPECT_LT(std::abs(v), 229.0) << "the voltage sagged";
  }
}

INSTANTIATE_TEST_SUITE_P(Transformer, SingleFeederSolve, testing::Values(kNewton, kGoldstein, kBackwardForward),
                         [](const auto& info) { return std::string(info.param.name); });
}  // namespace
