#include "branches/switch.hpp"

Switch::Switch(int n) : ElementImpl(n, n), currents(static_cast<std::size_t>(n)) {}

void Switch::add_internal_equations(VectorXAD& eqs, int& idx) const {
  for (std::size_t i = 0; i < side1_ports.size(); ++i)
    add_dependent_variable(eqs, idx,
                           side1_ports[i]->connection->potential_as<ComplexAD>() -
                               side2_ports[i]->connection->potential_as<ComplexAD>());
}

double Switch::forward() {
  for (std::size_t i = 0; i < side1_ports.size(); ++i)
    side2_ports[i]->connection->set_potential(side1_ports[i]->connection->get_potential());
  return 0.0;
}

OpenSwitch::OpenSwitch(int n) : ElementImpl(n, n) {}

void OpenSwitch::backward() {
  for (Port& port : ports) port.current = Complex();
}
