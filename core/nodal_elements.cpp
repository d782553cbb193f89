#include "core/nodal_elements.hpp"

#include <cmath>

namespace {
void zero_currents(std::vector<Port>& ports) {
  for (Port& port : ports) port.current = Complex();
}
}  // namespace

void Bus::initialize_potentials(const Complex* v) {
  for (std::size_t i = 0; i < ports.size(); ++i) ports[i].connection->set_potential(v[i]);
}

void Bus::backward() { zero_currents(ports); }

void Ground::backward() { zero_currents(ports); }

PotentialRef::PotentialRef() : ElementImpl(1) { ports[0].connection->is_reference = true; }

void PotentialRef::backward() { zero_currents(ports); }

double PotentialRef::forward() {
  ports[0].connection->set_potential(Complex());
  return 0.0;
}

void DeltaPotentialRef::add_internal_equations(VectorXAD& eqs, int& idx) const {
  ComplexAD sum;
  for (const Port& port : ports) sum += port.connection->potential_as<ComplexAD>();
  add_dependent_variable(eqs, idx, sum);
}

void DeltaPotentialRef::backward() { zero_currents(ports); }

double DeltaPotentialRef::forward() {
  Complex sum;
  for (const Port& port : ports) sum += port.connection->get_potential();
  const Complex mean(sum.real() / static_cast<double>(ports.size()), sum.imag() / static_cast<double>(ports.size()));
  // Read afresh for every port: a node shared by two ports is shifted twice.
  for (Port& port : ports) port.connection->set_potential(port.connection->get_potential() - mean);
  return std::abs(sum.imag()) > std::abs(sum.real()) ? std::abs(sum.imag()) : std::abs(sum.real());
}
