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


# Flexible loads: control laws, parameters and a feeder under control.

def constant():
    return cy.CyControl("constant", 0, 0, 0, 0, 0, 0)


def euclidean():
    return cy.CyProjection("euclidean", 1000, 1e-5)


def volt_watt(u_up=240.0, u_max=250.0):
    return cy.CyControl("p_max_u_production", 0, 0, u_up, u_max, 1000, 1e-5)


def volt_var():
    return cy.CyControl("q_u", 380, 400, 410, 430, 1000, 1e-5)


def constant_parameter(s_max=1.0, kind=cy.CyFlexibleParameter):
    return kind(constant(), constant(), euclidean(), s_max, 0, 0)


def parameters(*items):
    return object_array(list(items))


class FlexibleFeeder:
    """source bus -- line -- bus with a generator under Volt-Watt control (star) and a load under
    Volt-VAR control (delta); the source's neutral is the reference."""

    generation = carr(-9000, -7000, -8000)
    demand = carr(3000 + 500j, 2000, 2500 + 300j)

    def __init__(self):
        voltages = three_phase(240.0)
        start = np.append(voltages, 0).astype(np.complex128)
        z = np.full((4, 4), 0.02 + 0.08j, dtype=np.complex128)
        np.fill_diagonal(z, 0.12 + 0.1j)
        self.volt_watt = cy.CyFlexibleParameter(volt_watt(), constant(), euclidean(), 10000, 0, 0)
        self.volt_var = cy.CyFlexibleParameter(constant(), volt_var(), euclidean(), 5000, -2000, 2000)
        self.source_bus = cy.CyBus(4, start)
        self.bus = cy.CyBus(4, start.copy())
        self.source = cy.CyVoltageSource(4, voltages)
        self.reference = cy.CyPotentialRef()
        self.line = cy.CySimplifiedLine(4, z.ravel())
        self.generator = cy.CyFlexibleLoad(4, self.generation, parameters(*[self.volt_watt] * 3))
        self.load = cy.CyDeltaFlexibleLoad(3, self.demand, parameters(*[self.volt_var] * 3))
        self.source_bus.connect(self.source, FOUR)
        self.source_bus.connect(self.reference, [(3, 0)])
        self.line.connect_side(self.source_bus, FOUR, True)
        self.line.connect_side(self.bus, FOUR, False)
        self.bus.connect(self.generator, FOUR)
        self.bus.connect(self.load, FOUR[:3])
        self.elements = [self.source_bus, self.bus, self.source, self.reference, self.line,
                         self.generator, self.load]

    def network(self):
        return cy.CyElectricalNetwork(object_array(self.elements), len(self.elements))

    def expect_laws_hold(self, generation, demand):
        """Each phase and branch draws what its law gives at its voltage magnitude."""
        v = self.bus.get_potentials(4)
        u = v[:3] - v[3]
        law = [self.volt_watt.compute_power(abs(u[i]), generation[i]) for i in range(3)]
        np.testing.assert_allclose(self.generator.get_powers(4), law, rtol=1e-12)
        np.testing.assert_allclose(u * np.conj(self.generator.get_currents(3)), law, rtol=1e-8)
        assert max(abs(np.array(law) - generation)) > 100  # the law acts
        u = v[:3] - np.roll(v[:3], -1)
        law = [self.volt_var.compute_power(abs(u[i]), demand[i]) for i in range(3)]
        np.testing.assert_allclose(self.load.get_powers(3), law, rtol=1e-12)
        np.testing.assert_allclose(u * np.conj(self.load.get_inner_currents(3)), law, rtol=1e-8)
        return self.bus.get_potentials(4)
