// Small networks shared by the solver tests.
#pragma once

#include <vector>

#include "core/nodal_elements.hpp"
#include "core/voltage_source.hpp"
#include "solvers/electrical_network.hpp"
#include "tests/cpp/test_elements.hpp"

// A single-phase star source U between node A and a reference neutral; A starts at 0 V.
// Unknowns: V_A (reals 0, 1) and the source current (reals 2, 3). Linear.
struct SourceNetwork {
  Complex voltage{230.0, 40.0};
  Bus bus{1};
  VoltageSource source{2, &voltage};
  PotentialRef reference;
  ElectricalNetwork network{connected()};

  std::vector<Element*> connected() {
    bus.connect(source, {{0, 0}});
    source.connect(reference, {{1, 0}});
    return {&bus, &source, &reference};
  }
};

// The source feeds a constant-power load at node B through a series admittance; A and B start
// at the bus's potentials. Unknowns: V_A (0, 1), V_B (2, 3), the source current (4, 5).
struct Feeder {
  Complex voltage{230.0, 0.0};
  Complex admittance{1.0 / Complex(0.5, 0.2)};
  Complex power{2000.0, 1000.0};
  Complex start[2] = {{230.0, 0.0}, {230.0, 0.0}};
  Bus bus{2, start};
  VoltageSource source{2, &voltage};
  PotentialRef reference;
  SeriesAdmittance line{admittance};
  LawElement<ConstantPowerLaw> load{power};
  ElectricalNetwork network{connected()};

  std::vector<Element*> connected() {
    bus.connect(source, {{0, 0}});
    source.connect(reference, {{1, 0}});
    bus.connect(line, {{0, 0}, {1, 1}});
    bus.connect(load, {{1, 0}});
    return {&bus, &source, &reference, &line, &load};
  }
};

// One node holding a bus (for its start potential) and a law element: unknowns V (0, 1) only,
// residuals the two parts of the law's current.
template <class Law>
struct LawNode {
  LawNode(const Complex& start, const Complex& parameter) : start(start), element(parameter) {}

  Complex start;
  Bus bus{1, &start};
  LawElement<Law> element;
  ElectricalNetwork network{connected()};

  std::vector<Element*> connected() {
    bus.connect(element, {{0, 0}});
    return {&bus, &element};
  }
};
