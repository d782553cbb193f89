#include "core/element.hpp"

#include <algorithm>
#include <stdexcept>

// ---------------------------------------------------------------------------------------------
// Port

Port::Port(const Complex& current, const Complex& potential, Element* element)
    : connection(std::make_shared<Connection>(potential, this)), element(element), current(current) {}

Port::Port(Port&& other) noexcept
    : connection(std::move(other.connection)),
      element(other.element),
      current_ad(std::move(other.current_ad)),
      current(other.current) {
  if (connection) std::replace(connection->ports.begin(), connection->ports.end(), &other, this);
}

Port::~Port() {
  if (connection) disconnect();
}

void Port::disconnect() {
  auto& list = connection->ports;
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

// ---------------------------------------------------------------------------------------------
// Connection

Connection::Connection(const Complex& potential, Port* port) : ports{port}, potential(potential) {}

void Connection::merge(const std::shared_ptr<Connection>& other) {
  if (other.get() == this) return;
  is_reference = is_reference || other->is_reference;
  const std::shared_ptr<Connection> self = shared_from_this();
  // Keep `other` alive while its ports move: the last port that leaves may hold its last share.
  const std::shared_ptr<Connection> absorbed = other;
  for (Port* port : absorbed->ports) {
    ports.push_back(port);
    port->connection = self;
  }
  // A port is listed by one node only. `other` may outlive the merge (a disconnected port or the
  // network can still hold it); a stale list there would keep the moved ports twice and keep
  // their addresses after their element is freed.
  absorbed->ports.clear();
}

Complex Connection::get_potential() const { return is_reference ? Complex() : potential.get_value(); }

void Connection::declare_independent_variables(std::vector<double>& x0) const {
  if (!is_reference) potential.declare(x0);
}

void Connection::link_independent_variables(const VectorXAD& x, VectorXd& xd, int& idx) {
  if (!is_reference) potential.link(x, xd, idx);
}

Complex Connection::sum_currents() const {
  Complex sum;
  for (const Port* port : ports) sum += port->current;
  return sum;
}

Complex Connection::sum_currents_except(const Port& port) const {
  Complex sum;
  for (const Port* other : ports)
    if (other != &port) sum += other->current;
  return sum;
}

void Connection::add_kirchhoff_equation(VectorXAD& eqs, int& idx) const {
  if (is_reference) return;
  ComplexAD sum;
  for (const Port* port : ports) sum += port->current_ad;
  Element::add_dependent_variable(eqs, idx, sum);
}

// ---------------------------------------------------------------------------------------------
// Element

namespace {
std::vector<Port> make_ports(int n, const Complex* potentials, Element* owner) {
  std::vector<Port> ports;
  ports.reserve(static_cast<std::size_t>(n));  // n < 0 throws std::length_error
  for (int i = 0; i < n; ++i) ports.emplace_back(Complex(), potentials ? potentials[i] : Complex(), owner);
  return ports;
}
}  // namespace

Element::Element(int n) : ports(make_ports(n, nullptr, this)) {}

Element::Element(int n, const Complex* potentials) : ports(make_ports(n, potentials, this)) {}

Element::~Element() = default;

void Element::declare_independent_variables(std::vector<double>&) const {}
void Element::declare_dynamic_variables(std::vector<double>&) const {}
void Element::link_independent_variables(const VectorXAD&, VectorXd&, int&) {}
void Element::link_dynamic_variables(const VectorXAD&, VectorXd&, int&) {}
void Element::add_internal_equations(VectorXAD&, int&) const {}

void Element::backward() {
  throw std::runtime_error("2 No backward-forward method has been defined for this element");
}

double Element::forward() { return 0.0; }

void Element::unlink_from(const SolverVectors&) {}

void Element::connect(const Element& other, const std::vector<std::pair<int, int>>& pairs) const {
  for (const auto& [i, j] : pairs) ports[i].connection->merge(other.ports[j].connection);
}

void Element::connect_ports(const int* indices, int n) const {
  for (int k = 1; k < n; ++k) ports[indices[0]].connection->merge(ports[indices[k]].connection);
}

void Element::disconnect() {
  for (Port& port : ports) port.disconnect();
}

void Element::get_potentials(int n, Complex* out) const {
  for (int i = 0; i < n; ++i) out[i] = ports[i].connection->get_potential();
}

void Element::get_currents(int n, Complex* out) const {
  for (int i = 0; i < n; ++i) out[i] = ports[i].current;
}

Complex Element::get_port_potential(int i) const { return ports[i].connection->get_potential(); }

Complex Element::get_port_current(int i) const { return ports[i].current; }

void Element::add_dependent_variable(VectorXAD& eqs, int& idx, const ComplexAD& r) {
  eqs[idx++] = r.real();
  eqs[idx++] = r.imag();
}
