#include "core/branch.hpp"

#include <algorithm>

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
