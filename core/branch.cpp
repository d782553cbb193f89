#include "core/branch.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace {
std::vector<Port*> port_range(std::vector<Port>& ports, int first, int count) {
  std::vector<Port*> side;
  for (int i = first; i < first + std::max(count, 0); ++i) side.push_back(&ports[static_cast<std::size_t>(i)]);
  return side;
}
}  // namespace

Branch::Branch(int n1, int n2, int n3)
    : Element(n1 + n2 + n3), side1_ports(port_range(ports, 0, n1)), side2_ports(port_range(ports, std::max(n1, 0), n2)) {}

void Branch::connect_side(const Element& other, const std::vector<std::pair<int, int>>& pairs, bool beginning) const {
  const std::vector<Port*>& side = beginning ? side1_ports : side2_ports;
  for (const auto& [i, j] : pairs) other.ports[j].connection->merge(side[i]->connection);
}

void Branch::get_side_potentials(int n1, int n2, Complex* out1, Complex* out2) const {
  for (int i = 0; i < n1; ++i) out1[i] = side1_ports[i]->connection->get_potential();
  for (int i = 0; i < n2; ++i) out2[i] = side2_ports[i]->connection->get_potential();
}

void Branch::get_side_currents(int n1, int n2, Complex* out1, Complex* out2) const {
  for (int i = 0; i < n1; ++i) out1[i] = side1_ports[i]->current;
  for (int i = 0; i < n2; ++i) out2[i] = side2_ports[i]->current;
}

int Branch::conductors(int n, int extra) {
  if (n < 0) throw std::length_error("vector::reserve");
  if (n > (std::numeric_limits<int>::max() - extra) / 2) throw std::length_error("too many ports for one element");
  return n;
}

Eigen::VectorXc Branch::side_currents(int side) const {
  const std::vector<Port*>& list = side == 1 ? side1_ports : side2_ports;
  Eigen::VectorXc currents(static_cast<Eigen::Index>(list.size()));
  for (std::size_t i = 0; i < list.size(); ++i) currents(static_cast<Eigen::Index>(i)) = list[i]->current;
  return currents;
}

void Branch::draw_side2_currents() {
  for (Port* port : side2_ports) port->current = -port->connection->sum_currents_except(*port);
}

void Branch::pass_downstream_currents() {
  draw_side2_currents();
  for (std::size_t i = 0; i < side1_ports.size(); ++i) side1_ports[i]->current = -side2_ports[i]->current;
}
