#include "core/voltage_source.hpp"

template <class T>
void AbstractVoltageSource<T>::backward_from_nodes(std::size_t first, std::size_t last) {
  auto& ports = this->ports;
  Complex sum;
  for (std::size_t i = first; i < first + currents.size(); ++i) {
    ports[i].current = -ports[i].connection->sum_currents_except(ports[i]);
    sum += ports[i].current;
  }
  ports[last].current = -sum;
}

template class AbstractVoltageSource<VoltageSource>;
template class AbstractVoltageSource<DeltaVoltageSource>;

void VoltageSource::add_internal_equations(VectorXAD& eqs, int& idx) const {
  const ComplexAD neutral = ports.back().connection->potential_as<ComplexAD>();
  for (std::size_t i = 0; i < voltages.size(); ++i) {
    const ComplexAD difference = ports[i].connection->potential_as<ComplexAD>() - neutral;
    add_dependent_variable(eqs, idx, difference - voltages[i].ad);
  }
}

void VoltageSource::backward() { backward_from_nodes(0, ports.size() - 1); }

double VoltageSource::forward() {
  for (std::size_t i = 0; i < voltages.size(); ++i) {
    const Complex neutral = ports.back().connection->get_potential();
    ports[i].connection->set_potential(neutral + voltages[i].get_value());
  }
  return 0.0;
}

void DeltaVoltageSource::add_internal_equations(VectorXAD& eqs, int& idx) const {
  for (std::size_t i = 0; i < voltages.size(); ++i) {
    const ComplexAD difference =
        ports[i].connection->potential_as<ComplexAD>() - ports[i + 1].connection->potential_as<ComplexAD>();
    add_dependent_variable(eqs, idx, difference - voltages[i].ad);
  }
}

void DeltaVoltageSource::backward() { backward_from_nodes(1, 0); }

double DeltaVoltageSource::forward() {
  for (std::size_t i = 0; i < voltages.size(); ++i) {
    const Complex previous = ports[i].connection->get_potential();
    ports[i + 1].connection->set_potential(previous - voltages[i].get_value());
  }
  return 0.0;
}
