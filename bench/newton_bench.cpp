// One benchmark case in a process of its own, printed as one JSON object: a radial chain feeder
// of N buses ("chain:N") or K copies of the European LV feeder on one busbar ("eulv:K", data
// directory from --data). Run it through bench/newton_bench.py, which compares builds.
//
// Measured: network build; recording without and with tape optimisation; the first solve and
// its phases; warm re-solves after a change of every load (per iteration: Jacobian, assembly,
// factorisation, solve, step); the floor of one iteration (one sparse Jacobian, factorisation,
// LU solve and residual evaluation, with memory held and pages touched); page faults; peak and
// held memory; the backward-forward solver on the same network; and digests of every result, so
// that two builds can be checked for identical iterations, errors and values.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <numbers>
#include <queue>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "branches/line.hpp"
#include "core/nodal_elements.hpp"
#include "core/voltage_source.hpp"
#include "loads/power_load.hpp"
#include "solvers/newton.hpp"

namespace {
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

template <class F>
double timed(F&& function) {
  const Clock::time_point start = Clock::now();
  function();
  return seconds_since(start);
}

double median(std::vector<double> values) {
  if (values.empty()) return std::nan("");
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : 0.5 * (values[middle - 1] + values[middle]);
}

long page_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt + usage.ru_majflt;
}

double peak_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

double resident_mib() {
  std::ifstream statm("/proc/self/statm");
  long size = 0;
  long resident = 0;
  statm >> size >> resident;
  return static_cast<double>(resident) * 4096.0 / (1024.0 * 1024.0);
}

// FNV-1a over the bytes of the doubles: equal digests mean bit-identical results.
struct Digest {
  std::uint64_t value = 1469598103934665603ULL;
  void add(const double* data, std::size_t count) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < count * sizeof(double); ++i) value = (value ^ bytes[i]) * 1099511628211ULL;
  }
  void add(double x) { add(&x, 1); }
  void add(const VectorXd& v) { add(v.data(), static_cast<std::size_t>(v.size())); }
  std::string hex() const {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
  }
};

// A network with the loads whose powers the warm re-solves scale.
struct Case {
  std::vector<std::unique_ptr<Element>> elements;
  struct ScaledLoad {
    PowerLoad* star = nullptr;
    DeltaPowerLoad* delta = nullptr;
    std::vector<Complex> powers;
  };
  std::vector<ScaledLoad> loads;
  std::vector<Bus*> buses;
  std::unique_ptr<ElectricalNetwork> network;

  template <class T, class... Args>
  T& add(Args&&... args) {
    elements.push_back(std::make_unique<T>(std::forward<Args>(args)...));
    return static_cast<T&>(*elements.back());
  }

  void scale_loads(double factor) {
    for (ScaledLoad& load : loads) {
      std::vector<Complex> scaled(load.powers);
      for (Complex& power : scaled) power *= factor;
      if (load.star != nullptr) load.star->update_powers(scaled.data());
      if (load.delta != nullptr) load.delta->update_powers(scaled.data());
    }
  }

  // Every bus potential, in bus order, as the linked solver sees them.
  std::vector<Complex> potentials() const {
    std::vector<Complex> out;
    for (const Bus* bus : buses) {
      const std::size_t first = out.size();
      out.resize(first + bus->ports.size());
      bus->get_potentials(static_cast<int>(bus->ports.size()), out.data() + first);
    }
    return out;
  }

  void finish() {
    std::vector<Element*> list;
    for (const auto& element : elements) list.push_back(element.get());
    network = std::make_unique<ElectricalNetwork>(list);
  }
};

std::vector<Complex> balanced(double u) {
  const Complex a = std::polar(1.0, -2.0 * std::numbers::pi / 3.0);
  return {u, u * a, u * a * a};
}

const std::vector<std::pair<int, int>> four_wires{{0, 0}, {1, 1}, {2, 2}, {3, 3}};
const std::vector<std::pair<int, int>> three_wires{{0, 0}, {1, 1}, {2, 2}};

// Four-wire radial feeder of fixed length and total load, cut into n sections with a load at
// every bus (each phase between half and one and a half times its share), and every tenth bus
// also carrying a delta load.
void build_chain(Case& net, int n) {
  const double u = 230.0;
  const std::vector<Complex> phases = balanced(u);
  const Complex start[4] = {phases[0], phases[1], phases[2], 0.0};
  Eigen::Matrix4cd z = Eigen::Matrix4cd::Constant(Complex(0.0, 0.02));
  z.diagonal().array() += Complex(0.1, 0.04);
  z /= static_cast<double>(n);
  std::vector<Complex> z_section(16);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) z_section[static_cast<std::size_t>(4 * i + j)] = z(i, j);
  const Complex total[3] = {{30e3, 10e3}, {20e3, 6e3}, {12e3, 4e3}};
  std::mt19937_64 random(1);
  std::uniform_real_distribution<double> share(0.5, 1.5);

  Bus& source_bus = net.add<Bus>(4, start);
  VoltageSource& source = net.add<VoltageSource>(4, phases.data());
  PotentialRef& reference = net.add<PotentialRef>();
  source_bus.connect(source, four_wires);
  source_bus.connect(reference, {{3, 0}});
  Bus* upstream = &source_bus;
  for (int k = 1; k <= n; ++k) {
    Bus& bus = net.add<Bus>(4, start);
    net.buses.push_back(&bus);
    SimplifiedLine& line = net.add<SimplifiedLine>(4, z_section.data());
    line.connect_side(*upstream, four_wires, true);
    line.connect_side(bus, four_wires, false);
    std::vector<Complex> powers(3);
    for (int p = 0; p < 3; ++p) powers[static_cast<std::size_t>(p)] = total[p] / static_cast<double>(n) * share(random);
    PowerLoad& load = net.add<PowerLoad>(4, powers.data());
    bus.connect(load, four_wires);
    net.loads.push_back({&load, nullptr, powers});
    if (k % 10 == 0) {
      std::vector<Complex> delta_powers(3);
      for (int p = 0; p < 3; ++p) delta_powers[static_cast<std::size_t>(p)] = total[p] / static_cast<double>(n) * 0.2;
      DeltaPowerLoad& delta = net.add<DeltaPowerLoad>(3, delta_powers.data());
      bus.connect(delta, three_wires);
      net.loads.push_back({nullptr, &delta, delta_powers});
    }
    upstream = &bus;
  }
}

std::vector<std::vector<std::string>> read_csv(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot read " + path);
  std::vector<std::vector<std::string>> rows;
  std::string line;
  std::getline(file, line);  // header
  while (std::getline(file, line)) {
    if (line.empty()) continue;
    std::vector<std::string> fields;
    std::stringstream stream(line);
    std::string field;
    while (std::getline(stream, field, ',')) fields.push_back(field);
    rows.push_back(fields);
  }
  return rows;
}

// K copies of the European LV feeder on one busbar fed by an ideal 416 V source. Sections are
// three-wire: self impedance (Z0 + 2 Z1)/3, mutual (Z0 − Z1)/3; each load phase sits between its
// phase and the earthed neutral. Elements are listed from the source outwards (lines in
// breadth-first order, loads last), the order the backward-forward sweeps need.
void build_european(Case& net, int copies, const std::string& data) {
  const auto lines = read_csv(data + "/lines.csv");
  const auto loads = read_csv(data + "/loads.csv");
  const double u = 416.0 / std::sqrt(3.0);
  const std::vector<Complex> phases = balanced(u);
  const Complex start[3] = {phases[0], phases[1], phases[2]};

  std::map<int, std::vector<std::size_t>> children;
  for (std::size_t i = 0; i < lines.size(); ++i) children[std::stoi(lines[i][0])].push_back(i);
  std::vector<std::size_t> order;
  std::queue<int> pending;
  pending.push(1);
  while (!pending.empty()) {
    const int bus = pending.front();
    pending.pop();
    for (const std::size_t i : children[bus]) {
      order.push_back(i);
      pending.push(std::stoi(lines[i][1]));
    }
  }
  if (order.size() != lines.size()) throw std::runtime_error("the feeder is not a tree rooted at bus 1");

  Bus& busbar = net.add<Bus>(3, start);
  VoltageSource& source = net.add<VoltageSource>(4, phases.data());
  PotentialRef& earth = net.add<PotentialRef>();
  busbar.connect(source, three_wires);
  source.connect(earth, {{3, 0}});
  for (int copy = 0; copy < copies; ++copy) {
    std::map<int, Bus*> buses{{1, &busbar}};
    for (const std::size_t i : order) {
      Bus& bus = net.add<Bus>(3, start);
      buses[std::stoi(lines[i][1])] = &bus;
      net.buses.push_back(&bus);
    }
    for (const std::size_t i : order) {
      const auto& row = lines[i];
      const double length = std::stod(row[2]);
      const Complex z1 = Complex(std::stod(row[3]), std::stod(row[4])) * length;
      const Complex z0 = Complex(std::stod(row[5]), std::stod(row[6])) * length;
      const Complex self = (z0 + 2.0 * z1) / 3.0;
      const Complex mutual = (z0 - z1) / 3.0;
      std::vector<Complex> z(9, mutual);
      z[0] = z[4] = z[8] = self;
      SimplifiedLine& line = net.add<SimplifiedLine>(3, z.data());
      line.connect_side(*buses.at(std::stoi(row[0])), three_wires, true);
      line.connect_side(*buses.at(std::stoi(row[1])), three_wires, false);
    }
    for (const auto& row : loads) {
      const int phase = row[1] == "a" ? 0 : row[1] == "b" ? 1 : 2;
      const Complex power(std::stod(row[2]) * 1e3, std::stod(row[3]) * 1e3);
      PowerLoad& load = net.add<PowerLoad>(2, &power);
      buses.at(std::stoi(row[0]))->connect(load, {{phase, 0}});
      load.connect(earth, {{1, 0}});
      net.loads.push_back({&load, nullptr, {power}});
    }
  }
}

struct Json {
  std::vector<std::string> fields;
  void put(const std::string& key, double value) {
    char text[64];
    if (std::isfinite(value))
      std::snprintf(text, sizeof text, "%.9g", value);
    else
      std::snprintf(text, sizeof text, "null");
    fields.push_back("\"" + key + "\": " + text);
  }
  void put(const std::string& key, const std::string& value) { fields.push_back("\"" + key + "\": \"" + value + "\""); }
  std::string text() const {
    std::string out = "{";
    for (std::size_t i = 0; i < fields.size(); ++i) out += (i ? ", " : "") + fields[i];
    return out + "}";
  }
};

std::string bits(double value) {
  std::uint64_t raw;
  std::memcpy(&raw, &value, sizeof raw);
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(raw));
  return text;
}

// Adds the phases the solver reports of its last solve (builds without the record skip them).
template <class Solver>
void put_profile(Json& json, const std::string& prefix, const Solver& solver, int iterations) {
  if constexpr (requires { solver.profile; }) {
    const auto& p = solver.profile;
    json.put(prefix + "pattern_s", p.pattern);
    json.put(prefix + "first_jacobian_s", p.first_jacobian);
    json.put(prefix + "analysis_s", p.analysis);
    const double per = iterations > 0 ? 1.0 / iterations : std::nan("");
    json.put(prefix + "jacobian_s", p.jacobians > 0 ? p.jacobian / p.jacobians : std::nan(""));
    json.put(prefix + "assembly_s", p.assembly * per);
    json.put(prefix + "factorize_s", p.factorize * per);
    json.put(prefix + "lu_solve_s", p.solve * per);
    json.put(prefix + "step_s", p.step * per);
    json.put("colours", p.colours);
  }
}

// Per-iteration phases of the warm re-solves, medians over the solves.
struct WarmPhases {
  std::vector<double> jacobian, assembly, factorize, lu_solve, step;

  template <class Solver>
  void add(const Solver& solver, int iterations) {
    if constexpr (requires { solver.profile; }) {
      const auto& p = solver.profile;
      const double per = 1.0 / std::max(1, iterations);
      if (p.jacobians > 0) jacobian.push_back(p.jacobian / p.jacobians);
      assembly.push_back(p.assembly * per);
      factorize.push_back(p.factorize * per);
      lu_solve.push_back(p.solve * per);
      step.push_back(p.step * per);
    }
  }
  void put(Json& json) const {
    if (assembly.empty()) return;
    json.put("warm_jacobian_s", median(jacobian));
    json.put("warm_assembly_s", median(assembly));
    json.put("warm_factorize_s", median(factorize));
    json.put("warm_lu_solve_s", median(lu_solve));
    json.put("warm_step_s", median(step));
  }
};

// One sparse Jacobian, factorisation, LU solve and residual evaluation, each timed on its own
// after a first round has touched every page, with the tape's memory held.
void put_floor(Json& json, Newton& solver, int rounds) {
  CppAD::thread_alloc::hold_memory(true);
  const SparseMatrixXd jacobian = solver.compute_jacobian();
  const VectorXd y = solver.forward();
  // CppAD's own vectors, so that the driver's work vectors come from the held memory too.
  CppAD::sparse_rcv<std::vector<int>, CppAD::vector<double>> values(solver.jacobian_pattern);
  CppAD::vector<double> point(static_cast<std::size_t>(solver.variables.size()));
  std::copy(solver.variables.begin(), solver.variables.end(), point.data());
  std::vector<double> jac, factorize, lu_solve, forward;
  VectorXd dx;
  for (int round = 0; round <= rounds; ++round) {
    const double t_jac = timed([&] {
      solver.tape.sparse_jac_for(30, point, values, solver.jacobian_pattern, "cppad", solver.jacobian_work);
    });
    const double t_factorize = timed([&] { solver.sparse_lu.factorize(jacobian); });
    const double t_solve = timed([&] { dx = solver.sparse_lu.solve(y); });
    const double t_forward = timed([&] { solver.tape.Forward(0, solver.variables); });
    if (round == 0) continue;
    jac.push_back(t_jac);
    factorize.push_back(t_factorize);
    lu_solve.push_back(t_solve);
    forward.push_back(t_forward);
  }
  CppAD::thread_alloc::hold_memory(false);
  json.put("floor_jacobian_s", median(jac));
  json.put("floor_factorize_s", median(factorize));
  json.put("floor_lu_solve_s", median(lu_solve));
  json.put("floor_forward_s", median(forward));
  json.put("floor_s", median(jac) + median(factorize) + median(lu_solve) + median(forward));
}

int run(const std::string& name, const std::string& data, int warm_solves, int max_iterations) {
  Json json;
  json.put("case", name);
  Case net;
  const auto colon = name.find(':');
  const std::string kind = name.substr(0, colon);
  const int size = std::stoi(name.substr(colon + 1));
  json.put("network_s", timed([&] {
             if (kind == "chain")
               build_chain(net, size);
             else if (kind == "eulv")
               build_european(net, size, data);
             else
               throw std::runtime_error("unknown case " + name);
             net.finish();
           }));
  const double rss_before = resident_mib();
  // A chain section's admittance grows with N, and with it the residual that rounding leaves:
  // about ulp(230 V)·|Y| ≈ 2.6e-8 A at 50 000 buses, where a fixed 1e-8 A would never be met.
  const double tolerance = kind == "chain" ? 1e-8 * std::max(1.0, size / 1e4) : 1e-8;
  json.put("tolerance", tolerance);
  {
    std::unique_ptr<Newton> plain;
    json.put("record_s", timed([&] { plain = std::make_unique<Newton>(net.network.get(), false); }));
    json.put("tape_ops", static_cast<double>(plain->tape.size_op()));
  }
  std::unique_ptr<Newton> solver;
  json.put("record_opt_s", timed([&] { solver = std::make_unique<Newton>(net.network.get(), true); }));
  json.put("unknowns", solver->independents_size());
  json.put("tape_ops_opt", static_cast<double>(solver->tape.size_op()));
  json.put("tape_vars_opt", static_cast<double>(solver->tape.size_var()));

  Digest digest;
  std::pair<int, double> result;
  long faults = page_faults();
  json.put("first_solve_s", timed([&] { result = solver->solve_load_flow(max_iterations, tolerance); }));
  json.put("first_faults", static_cast<double>(page_faults() - faults));
  json.put("iterations", result.first);
  json.put("error", result.second);
  put_profile(json, "first_", *solver, result.first);
  json.put("nnz", static_cast<double>(solver->jacobian_subset.nnz()));
  digest.add(static_cast<double>(result.first));
  digest.add(result.second);
  digest.add(solver->variables);

  // Warm re-solves: the loads alternate between 110 % and 100 % of their powers.
  std::vector<double> warm_s, per_iteration_s, warm_faults;
  WarmPhases warm_phases;
  int warm_iterations = 0;
  double warm_error = 0.0;
  for (int k = 0; k < warm_solves; ++k) {
    net.scale_loads(k % 2 == 0 ? 1.1 : 1.0);
    faults = page_faults();
    const double seconds = timed([&] { result = solver->solve_load_flow(max_iterations, tolerance); });
    const long new_faults = page_faults() - faults;
    digest.add(static_cast<double>(result.first));
    digest.add(result.second);
    digest.add(solver->variables);
    if (k == 0) {
      warm_iterations = result.first;
      warm_error = result.second;
    }
    // The first re-solve brings the memory kept between solves into use: it is left out.
    if (k == 0 && warm_solves > 1) continue;
    warm_s.push_back(seconds);
    warm_faults.push_back(static_cast<double>(new_faults));
    if (result.first > 0) per_iteration_s.push_back(seconds / result.first);
    warm_phases.add(*solver, result.first);
  }
  json.put("warm_solve_s", median(warm_s));
  json.put("warm_iterations", warm_iterations);
  json.put("warm_error", warm_error);
  json.put("warm_iteration_s", median(per_iteration_s));
  json.put("warm_faults", median(warm_faults));
  warm_phases.put(json);
  json.put("digest", digest.hex());
  json.put("last_error_bits", bits(result.second));
  json.put("held_mib", resident_mib() - rss_before);
  json.put("cppad_held_mib", static_cast<double>(CppAD::thread_alloc::available(0)) / (1024.0 * 1024.0));
  // The floor below holds memory of its own: the peak is that of the solves.
  json.put("peak_mib", peak_mib());
  put_floor(json, *solver, 5);

  // The backward-forward solver, once the Newton solver is gone.
  const std::vector<Complex> newton_potentials = net.potentials();
  solver.reset();
  net.scale_loads(1.0);
  try {
    BackwardForward sweeps(net.network.get());
    json.put("bf_first_s", timed([&] { result = sweeps.solve_load_flow(1000, tolerance); }));
    json.put("bf_iterations", result.first);
    net.scale_loads(1.1);
    json.put("bf_warm_s", timed([&] { result = sweeps.solve_load_flow(1000, tolerance); }));
    json.put("bf_warm_iterations", result.first);
    std::vector<double> bf_warm;
    // The same sequence of loads as the Newton re-solves, so both end at the same point.
    for (int k = 0; k < warm_solves; ++k) {
      net.scale_loads(k % 2 == 0 ? 1.1 : 1.0);
      bf_warm.push_back(timed([&] { result = sweeps.solve_load_flow(1000, tolerance); }));
    }
    json.put("bf_warm_median_s", median(bf_warm));
    const std::vector<Complex> potentials = net.potentials();
    double gap = 0.0;
    for (std::size_t i = 0; i < potentials.size(); ++i) gap = std::max(gap, std::abs(potentials[i] - newton_potentials[i]));
    json.put("bf_newton_gap_v", gap);
  } catch (const std::exception& error) {
    json.put("bf_failure", error.what());
  }
  std::printf("%s\n", json.text().c_str());
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  std::string name;
  std::string data = "data";
  int warm_solves = 6;
  int max_iterations = 50;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--data" && i + 1 < argc)
      data = argv[++i];
    else if (arg == "--warm" && i + 1 < argc)
      warm_solves = std::stoi(argv[++i]);
    else if (arg == "--iterations" && i + 1 < argc)
      max_iterations = std::stoi(argv[++i]);
    else
      name = arg;
  }
  if (name.empty()) {
    std::fprintf(stderr, "usage: newton_bench chain:N|eulv:K [--data DIR] [--warm SOLVES] [--iterations MAX]\n");
    return 2;
  }
  try {
    return run(name, data, warm_solves, max_iterations);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "newton_bench: %s\n", error.what());
    return 1;
  }
}
