#include "solvers/electrical_network.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_set>

#include "loads/flexible_load.hpp"

namespace {
bool holds_nan(const ComplexAD& current) {
  return std::isnan(CppAD::Value(current.real())) || std::isnan(CppAD::Value(current.imag()));
}

VectorXd to_eigen(const std::vector<double>& values) {
  return Eigen::Map<const VectorXd>(values.data(), static_cast<Eigen::Index>(values.size()));
}
}  // namespace

ElectricalNetwork::ElectricalNetwork(std::vector<Element*> elements) : elements(std::move(elements)) {
  std::set<const Connection*> seen;
  for (Element* element : this->elements) {
    if (element == nullptr) throw std::invalid_argument("The element list holds a null pointer.");
    for (const Port& port : element->ports)
      if (seen.insert(port.connection.get()).second) connections.push_back(port.connection);
    if (const auto* load = dynamic_cast<const FlexibleLoad*>(element))
      gather_flexible_parameters(load->parameters);
    else if (const auto* delta = dynamic_cast<const DeltaFlexibleLoad*>(element))
      gather_flexible_parameters(delta->parameters);
  }
}

void ElectricalNetwork::gather_flexible_parameters(const std::vector<FlexibleParameter*>& parameters) {
  for (FlexibleParameter* parameter : parameters) {
    if (parameter == nullptr) throw std::invalid_argument("A flexible load holds a null flexible parameter.");
    flexible_parameters.insert(parameter);
  }
}

std::pair<std::vector<double>, std::vector<double>> ElectricalNetwork::declare_variables() const {
  std::vector<double> x0;
  std::vector<double> p0;
  for (const auto& connection : connections) connection->declare_independent_variables(x0);
  for (const Element* element : elements) {
    element->declare_independent_variables(x0);
    element->declare_dynamic_variables(p0);
  }
  for (const FlexibleParameter* parameter : flexible_parameters) parameter->declare_dynamic_variables(p0);
  return {std::move(x0), std::move(p0)};
}

void ElectricalNetwork::declare_variables(VectorXd& x0, VectorXd& p0) const {
  const auto [x, p] = declare_variables();
  x0 = to_eigen(x);
  p0 = to_eigen(p);
}

void ElectricalNetwork::link_variables(const VectorXAD& x, VectorXd& xd, const VectorXAD& p, VectorXd& pd) const {
  int ix = 0;
  int ip = 0;
  for (const auto& connection : connections) connection->link_independent_variables(x, xd, ix);
  for (Element* element : elements) {
    element->link_independent_variables(x, xd, ix);
    element->link_dynamic_variables(p, pd, ip);
  }
  for (FlexibleParameter* parameter : flexible_parameters) parameter->link_dynamic_variables(p, pd, ip);
}

void ElectricalNetwork::link_constants(VectorXd& xd, VectorXd& pd) const {
  link_variables(xd.cast<AD>(), xd, pd.cast<AD>(), pd);
}

void ElectricalNetwork::add_equations(VectorXAD& y) const {
  int row = 0;
  for (Element* element : elements) element->eval_currents(true);
  for (const auto& connection : connections) connection->add_kirchhoff_equation(y, row);
  for (const Element* element : elements) element->add_internal_equations(y, row);
}

void ElectricalNetwork::eval_currents() const {
  for (Element* element : elements) element->eval_currents(false);
}

void ElectricalNetwork::backward() const {
  for (auto it = elements.rbegin(); it != elements.rend(); ++it) (*it)->backward();
}

double ElectricalNetwork::forward() const {
  double error = 0.0;
  for (Element* element : elements) {
    const double change = element->forward();
    if (change > error) error = change;
  }
  return error;
}

bool ElectricalNetwork::values_finite() const {
  const auto finite = [](const Complex& z) { return std::isfinite(z.real()) && std::isfinite(z.imag()); };
  for (const auto& connection : connections)
    if (!finite(connection->get_potential())) return false;
  for (const Element* element : elements)
    for (const Port& port : element->ports)
      if (!finite(port.current)) return false;
  return true;
}

int ElectricalNetwork::position_of(const Element* element) const {
  const auto it = std::find(elements.begin(), elements.end(), element);
  return it == elements.end() ? -1 : static_cast<int>(it - elements.begin());
}

std::vector<int> ElectricalNetwork::detect_elements(const std::vector<long>& indices) const {
  // Re-declaring into a scratch vector only counts reals: the owner of index l is the node or
  // element whose declaration makes the count exceed l.
  std::vector<double> scratch;
  std::size_t next_node = 0;
  std::size_t next_element = 0;
  std::set<int> positions;
  const auto add = [&positions](int position) {
    if (position >= 0) positions.insert(position);
  };
  const auto covers = [&scratch](long index) { return static_cast<long>(scratch.size()) > index; };

  for (const long index : indices) {
    while (!covers(index) && next_node < connections.size())
      connections[next_node++]->declare_independent_variables(scratch);

    if (covers(index) && next_element == 0) {
      const Connection& node = *connections[next_node - 1];
      bool found_nan = false;
      for (const Port* port : node.ports)
        if (holds_nan(port->current_ad)) {
          found_nan = true;
          add(position_of(port->element));
        }
      if (!found_nan && !node.ports.empty()) add(position_of(node.ports.front()->element));
      continue;
    }

    while (!covers(index) && next_element < elements.size()) elements[next_element++]->declare_independent_variables(scratch);
    if (covers(index)) add(static_cast<int>(next_element - 1));
  }
  return {positions.begin(), positions.end()};
}

void ElectricalNetwork::unlink_from(const SolverVectors& solver) const {
  for (const auto& connection : connections) connection->unlink_from(solver);
  for (Element* element : elements) element->unlink_from(solver);
  for (FlexibleParameter* parameter : flexible_parameters) parameter->unlink_from(solver);
}

PlainKirchhoffSums::PlainKirchhoffSums(const ElectricalNetwork& network) {
  const std::unordered_set<const Element*> listed(network.elements.begin(), network.elements.end());
  for (const auto& connection : network.connections) {
    if (connection->is_reference) continue;
    Complex fixed;
    for (const Port* port : connection->ports) {
      if (listed.count(port->element) != 0)
        ports.push_back(port);
      else
        fixed += Complex(CppAD::Value(port->current_ad.real()), CppAD::Value(port->current_ad.imag()));
    }
    nodes.push_back({connection.get(), ports.size(), fixed});
  }
}

bool PlainKirchhoffSums::nodes_read_from(const SolverVectors& solver) const {
  return std::all_of(nodes.begin(), nodes.end(), [&solver](const Node& node) {
    const ADVariable<Complex>& potential = node.connection->potential;
    return potential.linked && solver.holds(potential.value_ptr);
  });
}

double PlainKirchhoffSums::largest() const {
  double largest = 0.0;
  std::size_t port = 0;
  for (const Node& node : nodes) {
    Complex sum = node.fixed;
    for (; port < node.ports_end; ++port) sum += ports[port]->current;
    largest = std::max({largest, std::abs(sum.real()), std::abs(sum.imag())});
  }
  return largest;
}
