#include "core/branch.hpp"

#include <cstdint>
#include <limits>
#include <stdexcept>

namespace {
// n1 + n2 + n3. A negative side count is refused as any negative count is, by the reservation
// of the ports, and before the sum, which could overflow; a side would otherwise reach past the
// ports. A sum beyond an int is refused as a reservation beyond the vector's reach.
int port_count(int n1, int n2, int n3) {
  if (n1 < 0 || n2 < 0 || n3 < 0) return -1;
  const std::int64_t total = std::int64_t{n1} + n2 + n3;
  if (total > std::numeric_limits<int>::max()) throw std::length_error("vector::reserve");
  return static_cast<int>(total);
}

std::vector<Port*> port_range(std::vector<Port>& ports, int first, int count) {
  std::vector<Port*> side;
  for (int i = first; i < first + count; ++i) side.push_back(&ports[static_cast<std::size_t>(i)]);
  return side;
}
}  // namespace

Branch::Branch(int n1, int n2, int n3)
    : Element(port_count(n1, n2, n3)), side1_ports(port_range(ports, 0, n1)), side2_ports(port_range(ports, n1, n2)) {}

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
