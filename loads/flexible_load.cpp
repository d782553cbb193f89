#include "loads/flexible_load.hpp"

void FlexibleLoad::get_powers(Complex* out) const {
  const std::size_t neutral = ports.size() - 1;
  for (std::size_t i = 0; i < neutral; ++i)
    out[i] = actual_power<Complex>(potential<Complex>(i) - potential<Complex>(neutral), i);
}

void DeltaFlexibleLoad::get_powers(Complex* out) const {
  for (std::size_t i = 0; i < ports.size(); ++i) out[i] = compute_power<Complex>(i).second;
}

void DeltaFlexibleLoad::get_inner_currents(Complex* out) const {
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const auto [voltage, power] = compute_power<Complex>(i);
    out[i] = power_current(voltage, power);
  }
}
