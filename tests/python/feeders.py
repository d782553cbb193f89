"""Small networks shared by the solver tests, built from the Python types."""
import numpy as np

import load_flow_engine.cy_engine as cy
from conftest import carr, three_phase

FOUR = [(i, i) for i in range(4)]


def object_array(elements):
    array = np.empty(len(elements), dtype=object)
    array[:] = elements
    return array


def line_impedance(scale=1.0):
    z = np.full((4, 4), 0.05j, dtype=np.complex128)
    np.fill_diagonal(z, 0.2 + 0.1j)
    return z * scale


class Feeder:
    """source bus -- line 1 -- bus 1 (star load) -- line 2 -- bus 2 (delta load), neutral of the
    source on the reference."""

    star_powers = carr(9000 + 3000j, 5000 + 1500j, 2000 + 500j)
    delta_powers = carr(6000 + 2000j, 1000, 3000 + 1000j)

    def __init__(self):
        start = np.append(three_phase(), 0).astype(np.complex128)
        self.z1, self.z2 = line_impedance(1.0), line_impedance(0.5)
        self.source_bus = cy.CyBus(4, start)
        self.bus1 = cy.CyBus(4, start.copy())
        self.bus2 = cy.CyBus(4, start.copy())
        self.source = cy.CyVoltageSource(4, three_phase())
        self.reference = cy.CyPotentialRef()
        self.line1 = cy.CySimplifiedLine(4, self.z1.ravel())
        self.line2 = cy.CySimplifiedLine(4, self.z2.ravel())
        self.star = cy.CyPowerLoad(4, self.star_powers)
        self.delta = cy.CyDeltaPowerLoad(3, self.delta_powers)
        self.source_bus.connect(self.source, FOUR)
        self.source_bus.connect(self.reference, [(3, 0)])
        self.line1.connect_side(self.source_bus, FOUR, True)
        self.line1.connect_side(self.bus1, FOUR, False)
        self.line2.connect_side(self.bus1, FOUR, True)
        self.line2.connect_side(self.bus2, FOUR, False)
        self.bus1.connect(self.star, FOUR)
        self.bus2.connect(self.delta, [(0, 0), (1, 1), (2, 2)])
        self.elements = [self.source_bus, self.bus1, self.bus2, self.source, self.reference,
                         self.line1, self.line2, self.star, self.delta]

    def network(self):
        return cy.CyElectricalNetwork(object_array(self.elements), len(self.elements))


# One of each solver kind (and the Newton solver on an optimised tape), by readable name.
SOLVERS = {
    "Newton": lambda network: cy.CyNewton(network, False),
    "Newton optimized": lambda network: cy.CyNewton(network, True),
    "Goldstein": lambda network: cy.CyNewtonGoldstein(network, True, 0.1, 0.9),
    "backward-forward": lambda network: cy.CyBackwardForward(network),
}
NEWTONS = {name: make for name, make in SOLVERS.items() if name != "backward-forward"}
