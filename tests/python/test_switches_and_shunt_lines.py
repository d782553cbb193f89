"""Switches and shunt lines from Python: their ports, their laws checked against models written
out here, both solvers on feeders built of them, and new line data between solves."""
import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from conftest import carr
from feeders import SOLVERS, object_array


def same(n):
    return [(i, i) for i in range(n)]


def cable(n, km):
    """Series impedance (not symmetric) and total shunt admittance (capacitive, symmetric) of a
    cable section of n conductors."""
    i, j = np.indices((n, n))
    z = np.where(i == j, 0.25 + 0.02 * i + 0.45j, 0.05 + 0.01 * i + (0.15 + 0.02 * j) * 1j)
    y = np.where(i == j, 1e-5 + (3e-4 + 1e-5 * i) * 1j, (-5e-5 - 1e-5 * (i + j)) * 1j)
    return km * z.astype(np.complex128), km * y.astype(np.complex128)


class ShuntFeeder:
    """source -- line 1 -- bus 1 (load) -- line 2 -- bus 2 (load) on n phase conductors; the
    source's neutral, the loads' neutrals and the lines' ground ports share the reference node."""

    def __init__(self, n):
        self.n = n
        self.voltages = (230 * np.exp(-2j * np.pi / 3 * np.arange(n))).astype(np.complex128)
        self.light = carr(*[2000 + 500 * i + 700j for i in range(n)])
        self.heavy = carr(*[4000 + (1500 - 600 * i) * 1j for i in range(n)])
        start = np.append(self.voltages, 0).astype(np.complex128)
        self.z1, self.y1 = cable(n, 0.4)
        self.z2, self.y2 = cable(n, 0.3)
        self.source_bus, self.bus1, self.bus2 = (cy.CyBus(n + 1, start.copy()) for _ in range(3))
        self.source = cy.CyVoltageSource(n + 1, self.voltages)
        self.reference = cy.CyPotentialRef()
        self.line1 = cy.CyShuntLine(n, self.y1.ravel(), self.z1.ravel())
        self.line2 = cy.CyShuntLine(n, self.y2.ravel(), self.z2.ravel())
        self.load1 = cy.CyPowerLoad(n + 1, self.light)
        self.load2 = cy.CyPowerLoad(n + 1, self.heavy)
        self.source_bus.connect(self.source, same(n + 1))
        self.source_bus.connect(self.reference, [(n, 0)])
        for line, upstream, downstream in ((self.line1, self.source_bus, self.bus1), (self.line2, self.bus1, self.bus2)):
            line.connect_side(upstream, same(n), True)
            line.connect_side(downstream, same(n), False)
            self.source_bus.connect(line, [(n, 2 * n)])
        for bus, load in ((self.bus1, self.load1), (self.bus2, self.load2)):
            self.source_bus.connect(bus, [(n, n)])
            bus.connect(load, same(n + 1))
        # Source outward, as the sweeps need.
        self.elements = [self.source, self.reference, self.source_bus, self.line1, self.bus1, self.load1,
                         self.line2, self.bus2, self.load2]

    def network(self):
        return cy.CyElectricalNetwork(object_array(self.elements), len(self.elements))

    def solution(self):
        return np.concatenate([self.bus1.get_potentials(self.n), self.bus2.get_potentials(self.n)])


def pi_currents(y, z, v1, v2, vg):
    """The textbook nodal pi model: Z between the sides, Y/2 at each end towards the ground port."""
    series = np.linalg.solve(z, v1 - v2)
    shunt1, shunt2 = 0.5 * y @ (v1 - vg), 0.5 * y @ (v2 - vg)
    return series + shunt1, -series + shunt2, -(shunt1.sum() + shunt2.sum())


# -- Ports and arguments ----------------------------------------------------------------------

@pytest.mark.parametrize(
    "make, ports, side",
    [(lambda: cy.CySwitch(3), 6, 3), (lambda: cy.CyOpenSwitch(2), 4, 2),
     (lambda: cy.CyShuntLine(1, carr(1j), carr(1)), 3, 1), (lambda: cy.CyShuntLine(2, carr(1, 0, 0, 1), carr(1, 0, 0, 1)), 5, 2)],
    ids=["switch", "open switch", "one-conductor line", "two-conductor line"],
)
def test_two_sided_types_have_their_ports(make, ports, side):
    element = make()
    assert element.get_currents(ports).shape == (ports,)
    side1, side2 = element.get_side_potentials(side, side)
    assert side1.shape == side2.shape == (side,)
    with pytest.raises(IndexError):
        element.get_side_currents(side + 1, 0)


@pytest.mark.parametrize(
    "call, message",
    [(lambda: cy.CyShuntLine(2, carr(1, 2, 3), carr(1, 2, 3, 4)), "^Array 'y_shunt' has 3 items, 4 are needed$"),
     (lambda: cy.CyShuntLine(2, carr(1, 2, 3, 4), None), "^Array 'z_line' has 0 items, 4 are needed$"),
     (lambda: cy.CyShuntLine(1, carr(1), carr(1)).update_line_parameters(None, carr(1)),
      "^Array 'y_shunt' has 0 items, 1 are needed$"),
     (lambda: cy.CyShuntLine(2, carr(1, 0, 0, 1), carr(1, 0, 0, 1)).update_line_parameters(carr(1, 0, 0, 1), carr(1)),
      "^Array 'z_line' has 1 items, 4 are needed$"),
     (lambda: cy.CyShuntLine(0, None, None), "^A shunt line needs at least one conductor.$")],
    ids=["y_shunt", "z_line", "update y_shunt", "update z_line", "no conductor"],
)
def test_shunt_line_arguments_are_checked_before_the_engine_reads_them(call, message):
    with pytest.raises(ValueError, match=message):
        call()


@pytest.mark.parametrize("n", [-1, -2**30 - 1, -2**31])
@pytest.mark.parametrize(
    "make", [cy.CySwitch, cy.CyOpenSwitch, lambda n: cy.CyShuntLine(n, None, None)],
    ids=["switch", "open switch", "shunt line"],
)
def test_negative_counts_are_refused(make, n):
    with pytest.raises(RuntimeError, match="^vector::reserve$"):
        make(n)


def test_switches_without_conductors_have_no_ports():
    assert cy.CySwitch(0).get_currents(0).shape == (0,)
    assert cy.CyOpenSwitch(0).get_side_potentials(0, 0)[1].shape == (0,)


# -- Shunt lines ------------------------------------------------------------------------------

@pytest.mark.parametrize("n", [1, 4])
def test_newton_currents_follow_the_pi_model(n):
    f = ShuntFeeder(n)
    assert cy.CyNewton(f.network(), False).solve_load_flow(20, 1e-10)[1] <= 1e-10
    for line, y, z in ((f.line1, f.y1, f.z1), (f.line2, f.y2, f.z2)):
        v1, v2 = line.get_side_potentials(n, n)
        i1, i2 = line.get_side_currents(n, n)
        ground = line.get_port_current(2 * n)
        e1, e2, eg = pi_currents(y, z, v1, v2, line.get_port_potential(2 * n))
        np.testing.assert_allclose(np.append(np.append(i1, i2), ground), np.append(np.append(e1, e2), eg),
                                   rtol=1e-9, atol=1e-9)
        assert abs(line.get_currents(2 * n + 1).sum()) < 1e-9


@pytest.mark.parametrize("n", [1, 3])
def test_newton_and_sweeps_agree_before_and_after_new_line_data(n):
    feeders = {name: ShuntFeeder(n) for name in ("Newton", "backward-forward")}
    solvers = {name: SOLVERS[name](f.network()) for name, f in feeders.items()}

    def solve_both():
        for name, solver in solvers.items():
            iterations, error = solver.solve_load_flow(200, 1e-10)
            assert error <= 1e-10 and iterations < 200, name
        newton = feeders["Newton"].solution()
        np.testing.assert_allclose(feeders["backward-forward"].solution(), newton, rtol=1e-8)
        return newton

    before = solve_both()
    z, y = cable(n, 0.9)
    for f in feeders.values():
        f.line2.update_line_parameters(y.ravel(), z.ravel())
    after = solve_both()
    assert np.linalg.norm(after - before) > 1e-3 * np.linalg.norm(before)
    # The Newton solution follows the new data: the load at the end still gets its power.
    f = feeders["Newton"]
    np.testing.assert_allclose(after[n:] * np.conj(f.load2.get_currents(n)), f.heavy, rtol=1e-8)


@pytest.mark.parametrize("name", ["Newton", "backward-forward"])
def test_a_singular_impedance_never_reports_a_converged_garbage_result(name):
    f = ShuntFeeder(2)
    f.line2.update_line_parameters(f.y2.ravel(), np.ones(4, dtype=np.complex128))
    solver = SOLVERS[name](f.network())
    try:
        iterations, error = solver.solve_load_flow(50, 1e-10)
    except RuntimeError as failure:
        assert str(failure).startswith("1 ")
    else:
        # The sweeps need no inverse of Z: what they report is a solution of the chain relations.
        assert error <= 1e-10 and np.all(np.isfinite(f.solution()))


@pytest.mark.parametrize("n", [1, 3])
def test_the_sweeps_take_the_ports_on_a_node_as_they_are_now(n):
    # Ports taken off the line's side-2 node after linking (and elements freed since) no longer
    # count there.
    f = ShuntFeeder(n)
    outsider = cy.CyPowerLoad(n + 1, f.light)
    f.bus2.connect(outsider, same(n + 1))
    f.elements.append(outsider)
    solver = cy.CyBackwardForward(f.network())
    assert solver.solve_load_flow(200, 1e-10)[1] <= 1e-10
    outsider.disconnect()
    assert solver.solve_load_flow(200, 1e-10)[1] <= 1e-10
    side2 = f.line2.get_side_currents(n, n)[1]
    np.testing.assert_allclose(side2, -f.load2.get_currents(n), rtol=1e-9)


# -- Switches ---------------------------------------------------------------------------------

class SwitchedFeeder:
    """source -- line -- bus 1 -- switch -- bus 2 (load) on a phase and a neutral; the source's
    neutral is the reference."""

    power = carr(3000 + 1200j)

    def __init__(self, switch_type, load_at_bus1=False):
        start = carr(230, 0)
        self.source_bus, self.bus1, self.bus2 = (cy.CyBus(2, start.copy()) for _ in range(3))
        self.source = cy.CyVoltageSource(2, carr(230))
        self.reference = cy.CyPotentialRef()
        self.line = cy.CySimplifiedLine(2, carr(0.3 + 0.4j, 0.05 + 0.1j, 0.05 + 0.1j, 0.3 + 0.4j))
        self.switch = switch_type(2)
        self.load = cy.CyPowerLoad(2, self.power)
        self.source_bus.connect(self.source, same(2))
        self.source_bus.connect(self.reference, [(1, 0)])
        self.line.connect_side(self.source_bus, same(2), True)
        self.line.connect_side(self.bus1, same(2), False)
        self.switch.connect_side(self.bus1, same(2), True)
        self.switch.connect_side(self.bus2, same(2), False)
        (self.bus1 if load_at_bus1 else self.bus2).connect(self.load, same(2))
        self.elements = [self.source, self.reference, self.source_bus, self.line, self.bus1, self.switch,
                         self.bus2, self.load]

    def network(self):
        return cy.CyElectricalNetwork(object_array(self.elements), len(self.elements))


@pytest.mark.parametrize("name", ["Newton", "backward-forward"])
def test_a_closed_switch_joins_the_potentials_and_carries_the_load(name):
    f = SwitchedFeeder(cy.CySwitch)
    assert SOLVERS[name](f.network()).solve_load_flow(50, 1e-10)[1] <= 1e-10
    np.testing.assert_allclose(f.bus2.get_potentials(2), f.bus1.get_potentials(2), atol=1e-9)
    side1, side2 = f.switch.get_side_currents(2, 2)
    np.testing.assert_allclose(side1, f.load.get_currents(2), atol=1e-9)
    np.testing.assert_array_equal(side2, -side1)
    u = f.bus2.get_port_potential(0) - f.bus2.get_port_potential(1)
    np.testing.assert_allclose(u * np.conj(side1[0]), f.power[0], rtol=1e-9)


def test_an_open_switch_carries_nothing_and_leaves_its_downstream_part_floating():
    f = SwitchedFeeder(cy.CyOpenSwitch, load_at_bus1=True)
    solver = cy.CyNewton(f.network(), False)
    with pytest.raises(RuntimeError, match="^1 Decomposition failed, singular matrix at iteration 0. $"):
        solver.solve_load_flow(10, 1e-9)
    # With a source of its own the downstream part solves, and nothing crosses the switch.
    other_source, other_reference = cy.CyVoltageSource(2, carr(200j)), cy.CyPotentialRef()
    f.bus2.connect(other_source, same(2))
    f.bus2.connect(other_reference, [(1, 0)])
    f.elements += [other_source, other_reference]
    assert cy.CyNewton(f.network(), False).solve_load_flow(10, 1e-9)[1] <= 1e-9
    np.testing.assert_array_equal(f.switch.get_currents(4), 0)
    np.testing.assert_allclose(f.bus2.get_potentials(2), [200j, 0], atol=1e-9)
    u = f.bus1.get_port_potential(0) - f.bus1.get_port_potential(1)
    np.testing.assert_allclose(u * np.conj(f.load.get_port_current(0)), f.power[0], rtol=1e-9)
