// End to end: an unbalanced three-phase four-wire radial feeder with star and delta
// constant-power, constant-admittance and constant-current loads and a load balancer, solved by
// every solver, checked against the element laws and Kirchhoff's
// current law written out here, then solved again on the same tape after parameter updates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <numbers>
#include <optional>

#include "branches/line.hpp"
#include "core/nodal_elements.hpp"
#include "core/voltage_source.hpp"
#include "loads/admittance_load.hpp"
#include "loads/current_load.hpp"
#include "loads/load_balancer.hpp"
#include "loads/power_load.hpp"
#include "solvers/newton.hpp"
#include "solvers/solver.hpp"
#include "tests/cpp/load_laws.hpp"
#include "tests/cpp/test_arrays.hpp"

namespace {
const Complex kRotation = std::polar(1.0, -2.0 * std::numbers::pi / 3.0);
const std::vector<Complex> kSourceVoltages{230.0, 230.0 * kRotation, 230.0 * kRotation * kRotation};
const std::vector<Complex> kFlatStart{kSourceVoltages[0], kSourceVoltages[1], kSourceVoltages[2], 0.0};

// Series impedance (ohm) of a four-conductor cable of the given length (km): every conductor pair
// couples, and no two couplings are equal.
Eigen::MatrixXc cable_impedance(double km) {
  Eigen::MatrixXc z(4, 4);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      z(i, j) = i == j ? Complex(0.32 + 0.01 * i, 0.39) : Complex(0.049, 0.29 - 0.015 * std::abs(i - j) + 0.004 * (i + j));
  return km * z;
}

// The parameters of one feeder state.
struct FeederData {
  std::vector<Eigen::MatrixXc> impedances;  // line 1, 2, 3
  std::vector<Complex> light_star;          // at bus 1: phase c idle
  std::vector<Complex> heavy_star;          // at bus 2: phase c capacitive
  std::vector<Complex> delta;               // at bus 3: ab, bc, ca
  std::vector<Complex> star_admittances;    // at bus 1
  std::vector<Complex> star_currents;       // at bus 1
  std::vector<Complex> delta_admittances;   // at bus 3
  std::vector<Complex> delta_currents;      // at bus 3
};

// The load balancer at bus 2 (no parameter changes it).
const Complex kBalancerZ2(20.0, 5.0), kBalancerYm(0.001, -0.04);
constexpr double kBalancerRatio = 2.0;

const FeederData kBefore{{cable_impedance(0.30), cable_impedance(0.20), cable_impedance(0.15)},
                         {{3000.0, 1000.0}, {1500.0, 500.0}, {0.0, 0.0}},
                         {{2000.0, 600.0}, {4000.0, 1500.0}, {2500.0, -300.0}},
                         {{5000.0, 2000.0}, {1000.0, 200.0}, {3000.0, 1000.0}},
                         {{0.04, -0.01}, {0.02, -0.005}, {0.03, 0.0}},
                         {{8.0, -2.0}, {4.0, -1.0}, {12.0, -3.0}},
                         {{0.01, -0.003}, {0.005, 0.0}, {0.008, -0.002}},
                         {{5.0, -1.0}, {3.0, -0.5}, {6.0, -2.0}}};
// Bus 2 moves further away and its load shifts phase; the delta load partly feeds back.
const FeederData kAfter{{cable_impedance(0.30), cable_impedance(0.45), cable_impedance(0.15)},
                        kBefore.light_star,
                        {{5000.0, 2000.0}, {500.0, 100.0}, {3500.0, 400.0}},
                        {{-2000.0, 500.0}, {6000.0, 2500.0}, {3000.0, 1000.0}},
                        {{0.01, 0.0}, {0.06, -0.02}, {0.0, 0.01}},
                        {{-6.0, 1.0}, {4.0, -1.0}, {15.0, 0.0}},
                        {{0.02, -0.01}, {0.0, 0.0}, {0.004, 0.001}},
                        {{2.0, -1.5}, {9.0, -1.0}, {-3.0, 0.5}}};

//   source ── line 1 ── bus 1 ── line 2 ── bus 2 (star power load, load balancer)
//                        │  └ star power, admittance and current loads
//                        └──── line 3 ── bus 3 (delta power, admittance and current loads)
// The source's neutral is the reference; the neutral conductor floats everywhere else.
struct Feeder {
  Bus source_bus{4, kFlatStart.data()};
  Bus bus1{4, kFlatStart.data()};
  Bus bus2{4, kFlatStart.data()};
  Bus bus3{4, kFlatStart.data()};
  VoltageSource source{4, kSourceVoltages.data()};
  PotentialRef reference;
  SimplifiedLine line1{4, row_major(kBefore.impedances[0]).data()};
  SimplifiedLine line2{4, row_major(kBefore.impedances[1]).data()};
  SimplifiedLine line3{4, row_major(kBefore.impedances[2]).data()};
  PowerLoad light_star{4, kBefore.light_star.data()};
  PowerLoad heavy_star{4, kBefore.heavy_star.data()};
  DeltaPowerLoad delta{3, kBefore.delta.data()};
  AdmittanceLoad star_admittance{4, kBefore.star_admittances.data()};
  CurrentLoad star_current{4, kBefore.star_currents.data()};
  DeltaAdmittanceLoad delta_admittance{3, kBefore.delta_admittances.data()};
  DeltaCurrentLoad delta_current{3, kBefore.delta_currents.data()};
  LoadBalancer balancer{kBalancerZ2, kBalancerYm, kBalancerRatio};
  std::optional<ElectricalNetwork> network;

  Feeder() {
    source_bus.connect(source, same_ports(4));
    source_bus.connect(reference, {{3, 0}});
    line1.connect_side(source_bus, same_ports(4), true);
    line1.connect_side(bus1, same_ports(4), false);
    line2.connect_side(bus1, same_ports(4), true);
    line2.connect_side(bus2, same_ports(4), false);
    line3.connect_side(bus1, same_ports(4), true);
    line3.connect_side(bus3, same_ports(4), false);
    bus1.connect(light_star, same_ports(4));
    bus2.connect(heavy_star, same_ports(4));
    bus3.connect(delta, same_ports(3));
    bus1.connect(star_admittance, same_ports(4));
    bus1.connect(star_current, same_ports(4));
    bus2.connect(balancer, same_ports(4));
    bus3.connect(delta_admittance, same_ports(3));
    bus3.connect(delta_current, same_ports(3));
    // Upstream first: the forward sweep runs in this order, the backward sweep in reverse.
    network.emplace(std::vector<Element*>{&source, &reference, &source_bus, &line1, &bus1, &light_star,
                                          &star_admittance, &star_current, &line2, &bus2, &heavy_star, &balancer,
                                          &line3, &bus3, &delta, &delta_admittance, &delta_current});
  }

  void update(const FeederData& data) {
    line2.update_line_parameters(row_major(data.impedances[1]).data());
    heavy_star.update_powers(data.heavy_star.data());
    delta.update_powers(data.delta.data());
    star_admittance.update_admittances(data.star_admittances.data());
    star_current.update_currents(data.star_currents.data());
    delta_admittance.update_admittances(data.delta_admittances.data());
    delta_current.update_currents(data.delta_currents.data());
  }

  std::vector<Complex> potentials() const {
    std::vector<Complex> out;
    for (const Bus* bus : {&source_bus, &bus1, &bus2, &bus3})
      for (int i = 0; i < 4; ++i) out.push_back(bus->get_port_potential(i));
    return out;
  }
};

enum class SolverKind { newton, newton_goldstein, backward_forward };

std::unique_ptr<AbstractSolver> make_solver(SolverKind kind, ElectricalNetwork& network) {
  switch (kind) {
    case SolverKind::newton:
      return std::make_unique<Newton>(&network, false);
    case SolverKind::newton_goldstein:
      return std::make_unique<NewtonGoldstein>(&network, true, 0.1, 0.9);
    case SolverKind::backward_forward:
      return std::make_unique<BackwardForward>(&network);
  }
  return nullptr;
}

const char* name_of(SolverKind kind) {
  switch (kind) {
    case SolverKind::newton:
      return "Newton";
    case SolverKind::newton_goldstein:
      return "NewtonGoldstein";
    case SolverKind::backward_forward:
      return "BackwardForward";
  }
  return "";
}

constexpr int kMaxIterations = 100;
constexpr double kTolerance = 1e-10;

void expect_close(const Complex& actual, const Complex& expected, double tolerance, const std::string& what) {
  EXPECT_LE(std::abs(actual - expected), tolerance) << what << ": " << actual << " vs " << expected;
}

// The current of phase or branch i at the voltage u by the load's own law.
using LoadLaw = std::function<Complex(const Complex& u, std::size_t i)>;

// Phase i of a four-port star load draws law(V_i − V_3, i), and the neutral minus their sum.
void expect_star_law(const LoadBase& load, const LoadLaw& law, const std::string& what) {
  Complex v[4], current[4], inner[3];
  load.get_potentials(4, v);
  load.get_currents(4, current);
  load.get_inner_currents(inner);
  for (std::size_t i = 0; i < 3; ++i) {
    expect_close(current[i], law(v[i] - v[3], i), 1e-8, what);
    EXPECT_EQ(inner[i], current[i]) << what;
  }
  expect_close(current[3], -(current[0] + current[1] + current[2]), 1e-9, what + " neutral");
}

// Branch i of a three-port delta load draws J_i = law(V_i − V_(i+1), i), port i carries
// J_i − J_(i−1).
void expect_delta_law(const LoadBase& load, const LoadLaw& law, const std::string& what) {
  Complex v[3], current[3], branch[3];
  load.get_potentials(3, v);
  load.get_currents(3, current);
  load.get_inner_currents(branch);
  for (std::size_t i = 0; i < 3; ++i) {
    expect_close(branch[i], law(v[i] - v[(i + 1) % 3], i), 1e-8, what);
    expect_close(current[i], branch[i] - branch[(i + 2) % 3], 1e-9, what + " port current");
  }
}

// The solution satisfies, independently of the solvers: Kirchhoff's current law at every
// non-reference node (summed here from the port currents), the source voltages, the line law
// Z·I1 = V1 − V2 with I2 = −I1, and every load's own law in each of its phases and branches.
void expect_physical(const Feeder& f, const FeederData& data) {
  std::vector<const Element*> elements(f.network->elements.begin(), f.network->elements.end());
  std::map<const Connection*, Complex> node_sums;
  for (const Element* element : elements)
    for (std::size_t i = 0; i < element->ports.size(); ++i)
      if (!element->ports[i].connection->is_reference)
        node_sums[element->ports[i].connection.get()] += element->get_port_current(static_cast<int>(i));
  EXPECT_EQ(node_sums.size(), 15u);
  for (const auto& [node, sum] : node_sums) expect_close(sum, Complex(), 1e-8, "Kirchhoff sum");

  for (int i = 0; i < 3; ++i)
    expect_close(f.source_bus.get_port_potential(i) - f.source_bus.get_port_potential(3), kSourceVoltages[i], 1e-9,
                 "source voltage");

  const SimplifiedLine* lines[] = {&f.line1, &f.line2, &f.line3};
  for (int k = 0; k < 3; ++k) {
    Eigen::VectorXc v1(4), v2(4), i1(4), i2(4);
    lines[k]->get_side_potentials(4, 4, v1.data(), v2.data());
    lines[k]->get_side_currents(4, 4, i1.data(), i2.data());
    EXPECT_LE((data.impedances[static_cast<std::size_t>(k)] * i1 - (v1 - v2)).norm(), 1e-8) << "line " << k + 1;
    EXPECT_LE((i1 + i2).norm(), 1e-12) << "line " << k + 1;
  }

  const auto power = [](const std::vector<Complex>& powers) {
    return [&powers](const Complex& u, std::size_t i) { return std::conj(powers[i] / u); };
  };
  const auto admittance = [](const std::vector<Complex>& admittances) {
    return [&admittances](const Complex& u, std::size_t i) { return admittance_law(u, admittances[i]); };
  };
  const auto current = [](const std::vector<Complex>& currents) {
    return [&currents](const Complex& u, std::size_t i) { return current_law(u, currents[i]); };
  };
  expect_star_law(f.light_star, power(data.light_star), "light star power");
  expect_star_law(f.heavy_star, power(data.heavy_star), "heavy star power");
  expect_star_law(f.star_admittance, admittance(data.star_admittances), "star admittance");
  expect_star_law(f.star_current, current(data.star_currents), "star current");
  expect_delta_law(f.delta, power(data.delta), "delta power");
  expect_delta_law(f.delta_admittance, admittance(data.delta_admittances), "delta admittance");
  expect_delta_law(f.delta_current, current(data.delta_currents), "delta current");

  // The balancer draws Z⁻¹·U, Z built here from its z2, ym and k.
  Eigen::VectorXc v(4), i(4);
  f.balancer.get_potentials(4, v.data());
  f.balancer.get_currents(4, i.data());
  const Eigen::VectorXc u = v.head(3) - Eigen::VectorXc::Constant(3, v(3));
  EXPECT_LE((balancer_impedance(kBalancerZ2, kBalancerYm, kBalancerRatio) * i.head(3) - u).norm(), 1e-8);
  expect_close(i(3), -i.head(3).sum(), 1e-9, "balancer neutral");
}

class FeederSolve : public testing::TestWithParam<SolverKind> {};

TEST_P(FeederSolve, SolvesThenFollowsUpdatesOnTheSameTape) {
  Feeder feeder;
  const std::unique_ptr<AbstractSolver> solver = make_solver(GetParam(), *feeder.network);

  const auto [iterations, error] = solver->solve_load_flow(kMaxIterations, kTolerance);
  std::printf("%s: %d iterations, final error %.3g\n", name_of(GetParam()), iterations, error);
  EXPECT_LT(iterations, kMaxIterations);
  EXPECT_LE(error, kTolerance);
  expect_physical(feeder, kBefore);

  feeder.update(kAfter);
  const auto [iterations_after, error_after] = solver->solve_load_flow(kMaxIterations, kTolerance);
  std::printf("%s after the updates: %d iterations, final error %.3g\n", name_of(GetParam()), iterations_after,
              error_after);
  EXPECT_LT(iterations_after, kMaxIterations);
  EXPECT_LE(error_after, kTolerance);
  expect_physical(feeder, kAfter);
}

INSTANTIATE_TEST_SUITE_P(Feeder, FeederSolve,
                         testing::Values(SolverKind::newton, SolverKind::newton_goldstein, SolverKind::backward_forward),
                         [](const auto& info) { return name_of(info.param); });

// The three solvers reach the same potentials, before and after the updates.
TEST(Feeder, SolversAgree) {
  std::vector<std::unique_ptr<Feeder>> feeders;
  std::vector<std::unique_ptr<AbstractSolver>> solvers;
  for (const SolverKind kind : {SolverKind::newton, SolverKind::newton_goldstein, SolverKind::backward_forward}) {
    feeders.push_back(std::make_unique<Feeder>());
    solvers.push_back(make_solver(kind, *feeders.back()->network));
  }
  for (const FeederData* data : {&kBefore, &kAfter}) {
    for (std::size_t k = 0; k < feeders.size(); ++k) {
      feeders[k]->update(*data);
      solvers[k]->solve_load_flow(kMaxIterations, kTolerance);
    }
    const std::vector<Complex> reference = feeders[0]->potentials();
    for (std::size_t k = 1; k < feeders.size(); ++k) {
      const std::vector<Complex> potentials = feeders[k]->potentials();
      for (std::size_t i = 0; i < reference.size(); ++i)
        expect_close(potentials[i], reference[i], 1e-8, "potential " + std::to_string(i));
    }
  }
  // The voltages did sag and unbalance: the comparison is not between flat starts.
  EXPECT_GT(std::abs(feeders[0]->bus2.get_port_potential(3)), 1.0);
}

// The Jacobian as Eigen builds it from the pattern's triplets, with the values last computed.
SparseMatrixXd assembled_from_triplets(const AbstractNewton& solver) {
  const auto& subset = solver.jacobian_subset;
  std::vector<Eigen::Triplet<double, int>> triplets;
  for (std::size_t k = 0; k < subset.nnz(); ++k)
    triplets.emplace_back(subset.row()[k], subset.col()[k], subset.val()[static_cast<Eigen::Index>(k)]);
  SparseMatrixXd jacobian(solver.independents_size(), solver.independents_size());
  jacobian.setFromTriplets(triplets.begin(), triplets.end());
  return jacobian;
}

// Bit for bit, for finite values: equal, and of one sign (which tells +0 from −0).
bool same_bits(double x, double y) { return x == y && std::signbit(x) == std::signbit(y); }

void expect_same_storage(const SparseMatrixXd& reused, const SparseMatrixXd& fresh, const std::string& when) {
  SCOPED_TRACE(when);
  ASSERT_TRUE(reused.isCompressed());
  ASSERT_EQ(reused.nonZeros(), fresh.nonZeros());
  const auto columns = static_cast<std::size_t>(fresh.outerSize()) + 1;
  const auto entries = static_cast<std::size_t>(fresh.nonZeros());
  EXPECT_TRUE(std::equal(fresh.outerIndexPtr(), fresh.outerIndexPtr() + columns, reused.outerIndexPtr()));
  EXPECT_TRUE(std::equal(fresh.innerIndexPtr(), fresh.innerIndexPtr() + entries, reused.innerIndexPtr()));
  // Bit for bit: the factorisation must see exactly the matrix a fresh assembly would give.
  EXPECT_TRUE(std::equal(fresh.valuePtr(), fresh.valuePtr() + entries, reused.valuePtr(), same_bits));
}

// The solver keeps one matrix and overwrites its values; after every step of two solves, with
// parameter updates between them, it must equal a fresh assembly entry for entry.
TEST(Feeder, ReusedJacobianEqualsAFreshAssembly) {
  Feeder feeder;
  Newton solver(&*feeder.network, false);
  for (const FeederData* data : {&kBefore, &kAfter}) {
    feeder.update(*data);
    for (int step = 0; step < 4; ++step) {
      solver.solve_load_flow(1, kTolerance);
      const SparseMatrixXd& reused = solver.evaluate_jacobian();
      expect_same_storage(reused, assembled_from_triplets(solver), "step " + std::to_string(step));
    }
  }
  // The values did change from step to step: the comparison is not between constant matrices.
  const SparseMatrixXd last = solver.evaluate_jacobian();
  solver.reset_inputs();
  const double* first = solver.evaluate_jacobian().valuePtr();
  EXPECT_FALSE(std::equal(last.valuePtr(), last.valuePtr() + last.nonZeros(), first, same_bits));
}
}  // namespace
