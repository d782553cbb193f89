// Builds a star source on a bus with its neutral on a potential reference and lets the source
// impose its voltages (one forward sweep step), then prints the bus potentials.
#include <cstdio>
#include <numbers>

#include "core/nodal_elements.hpp"
#include "core/voltage_source.hpp"

int main() {
  const double u = 230.0;
  const Complex a = std::polar(1.0, -2.0 * std::numbers::pi / 3.0);
  const Complex voltages[] = {u, u * a, u * a * a};

  Bus bus(4);
  VoltageSource source(4, voltages);
  PotentialRef reference;
  bus.connect(source, {{0, 0}, {1, 1}, {2, 2}, {3, 3}});
  bus.connect(reference, {{3, 0}});

  source.forward();

  Complex potentials[4];
  bus.get_potentials(4, potentials);
  const char* names[] = {"a", "b", "c", "n"};
  std::printf("%-6s %12s %12s %10s %9s\n", "port", "re (V)", "im (V)", "|V| (V)", "arg (deg)");
  for (int i = 0; i < 4; ++i)
    std::printf("%-6s %12.4f %12.4f %10.4f %9.3f\n", names[i], potentials[i].real(), potentials[i].imag(),
                std::abs(potentials[i]), std::arg(potentials[i]) * 180.0 / std::numbers::pi);
}
