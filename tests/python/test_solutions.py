"""End-to-end solves from Python, checked against the physics: every node satisfies Kirchhoff's
current law, every element its own law (computed here independently), and the power balances."""
import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from conftest import carr, three_phase
from feeders import FOUR, SOLVERS, Feeder, line_impedance, object_array


def assert_feeder_solution(f, tol=1e-6):
    """Checks every law of the feeder at the potentials and currents read from its elements."""
    close = lambda a, b: np.testing.assert_allclose(a, b, rtol=tol, atol=tol)
    v0, v1, v2 = f.source_bus.get_potentials(4), f.bus1.get_potentials(4), f.bus2.get_potentials(4)
    # Source: phase-to-neutral voltages imposed, neutral on the reference.
    assert v0[3] == 0
    close(v0[:3] - v0[3], f.source_voltages)
    # Lines: I1 = Z^-1 (V1 - V2) entering side 1, the same current leaving side 2.
    for line, z, upstream, downstream in ((f.line1, f.z1, v0, v1), (f.line2, f.z2, v1, v2)):
        side1, side2 = line.get_side_currents(4, 4)
        close(side1, np.linalg.solve(z, upstream - downstream))
        close(side2, -side1)
    # Star load: U conj(I) = S per phase, the neutral takes the rest.
    star = f.star.get_currents(4)
    close((v1[:3] - v1[3]) * np.conj(star[:3]), f.star_powers)
    close(star[3], -star[:3].sum())
    close(f.star.get_inner_currents(3), star[:3])
    # Delta load: U conj(J) = S per branch, port current i = J_i - J_(i-1).
    branch = f.delta.get_inner_currents(3)
    close((v2[:3] - np.roll(v2[:3], -1)) * np.conj(branch), f.delta_powers)
    close(f.delta.get_currents(3), branch - np.roll(branch, 1))
    # Kirchhoff at every node that is not the reference.
    source = f.source.get_currents(4)
    line1_1, line1_2 = f.line1.get_side_currents(4, 4)
    line2_1, line2_2 = f.line2.get_side_currents(4, 4)
    close(source[:3] + line1_1[:3], 0)
    close(line1_2 + line2_1 + star, 0)
    close(line2_2 + np.append(f.delta.get_currents(3), 0), 0)
    # Nothing flows to the reference: the network has no other path to it.
    close(f.reference.get_current(), 0)
    # Power balance: what the source delivers is what the loads take plus the line losses.
    delivered = -np.sum(v0 * np.conj(source))
    losses = sum(np.sum((a - b) * np.conj(i)) for a, b, i in ((v0, v1, line1_1), (v1, v2, line2_1)))
    close(delivered, f.star_powers.sum() + f.delta_powers.sum() + losses)


class SolvedFeeder(Feeder):
    source_voltages = three_phase()


@pytest.mark.parametrize("name", sorted(SOLVERS))
def test_the_feeder_satisfies_every_law(name):
    f = SolvedFeeder()
    solver = SOLVERS[name](f.network())
    iterations, error = solver.solve_load_flow(100, 1e-10)
    assert error <= 1e-10
    assert_feeder_solution(f)


@pytest.mark.parametrize("name", sorted(SOLVERS))
def test_updates_after_linking_reach_the_next_solve(name):
    f = SolvedFeeder()
    solver = SOLVERS[name](f.network())
    solver.solve_load_flow(100, 1e-10)
    f.star_powers = 1.5 * f.star_powers
    f.delta_powers = carr(0, 2000 + 500j, 4000)
    f.source_voltages = 1.02 * three_phase()
    f.z2 = 0.5 * f.z2
    f.star.update_powers(f.star_powers)
    f.delta.update_powers(f.delta_powers)
    f.source.update_voltages(f.source_voltages)
    f.line2.update_line_parameters(f.z2.ravel())
    assert solver.solve_load_flow(100, 1e-10)[1] <= 1e-10
    assert_feeder_solution(f)


def test_updates_before_any_solver_are_declared_by_the_next_one():
    f = SolvedFeeder()
    f.star_powers = 0.5 * f.star_powers
    f.star.update_powers(f.star_powers)
    f.source_voltages = 0.98 * three_phase()
    f.source.update_voltages(f.source_voltages)
    solver = cy.CyNewton(f.network(), False)
    solver.solve_load_flow(20, 1e-10)
    assert_feeder_solution(f)


def test_parameter_updates_are_seen_by_the_tape_only_at_the_next_solve():
    f = SolvedFeeder()
    solver = cy.CyNewton(f.network(), False)
    solver.solve_load_flow(20, 1e-10)
    before = solver.get_residuals()
    f.star.update_powers(2 * f.star_powers)
    np.testing.assert_array_equal(solver.get_residuals(), before)
    solver.solve_load_flow(0, 1e-10)
    assert np.abs(solver.get_residuals()).max() > 1


def test_initialize_potentials_moves_the_start_of_a_linked_solver():
    f = SolvedFeeder()
    solver = cy.CyNewton(f.network(), False)
    start = solver.get_variables()
    f.bus2.initialize_potentials(carr(200, -100 - 173j, -100 + 173j, 1))
    assert list(f.bus2.get_potentials(4)) == [200, -100 - 173j, -100 + 173j, 1]
    assert not np.array_equal(solver.get_variables(), start)
    solver.solve_load_flow(20, 1e-10)
    assert_feeder_solution(f)


def test_solvers_agree():
    results = []
    for name in sorted(SOLVERS):
        f = SolvedFeeder()
        SOLVERS[name](f.network()).solve_load_flow(200, 1e-11)
        results.append(np.concatenate([f.bus1.get_potentials(4), f.bus2.get_potentials(4)]))
    for other in results[1:]:
        np.testing.assert_allclose(other, results[0], rtol=1e-7, atol=1e-7)


@pytest.mark.parametrize("name", ["Newton", "backward-forward"])
def test_a_delta_source_with_a_delta_reference(name):
    # A three-wire network: the sum of the potentials is fixed at zero instead of a neutral.
    u_ab, u_bc = 400.0 + 0j, 400.0 * np.exp(-2j * np.pi / 3)
    bus0, bus1 = cy.CyBus(3, carr(0, 0, 0)), cy.CyBus(3, carr(0, 0, 0))
    source = cy.CyDeltaVoltageSource(3, carr(u_ab, u_bc))
    reference = cy.CyDeltaPotentialRef(3)
    z = np.diag([0.3 + 0.1j] * 3).astype(np.complex128)
    line = cy.CySimplifiedLine(3, z.ravel())
    powers = carr(3000 + 1000j, 2000, 1000 + 500j)
    load = cy.CyDeltaPowerLoad(3, powers)
    three = [(i, i) for i in range(3)]
    bus0.connect(source, three)
    bus0.connect(reference, three)
    line.connect_side(bus0, three, True)
    line.connect_side(bus1, three, False)
    bus1.connect(load, three)
    bus0.initialize_potentials(carr(230, 230 * np.exp(-2j * np.pi / 3), 230 * np.exp(2j * np.pi / 3)))
    bus1.initialize_potentials(carr(230, 230 * np.exp(-2j * np.pi / 3), 230 * np.exp(2j * np.pi / 3)))
    elements = [bus0, bus1, source, reference, line, load]
    solver = SOLVERS[name](cy.CyElectricalNetwork(object_array(elements), len(elements)))
    assert solver.solve_load_flow(200, 1e-9)[1] <= 1e-9
    v0, v1 = bus0.get_potentials(3), bus1.get_potentials(3)
    np.testing.assert_allclose([v0[0] - v0[1], v0[1] - v0[2]], [u_ab, u_bc], rtol=1e-9)
    assert abs(v0.sum()) < 1e-6
    branch = load.get_inner_currents(3)
    np.testing.assert_allclose((v1 - np.roll(v1, -1)) * np.conj(branch), powers, rtol=1e-6)
    np.testing.assert_allclose(line.get_side_currents(3, 3)[0], np.linalg.solve(z, v0 - v1), rtol=1e-6, atol=1e-9)
    assert abs(reference.get_current()) < 1e-6


# Each load kind whose values an update changes: its type, update method, star or delta, its law
# I(U, value) per phase or branch, and two sets of values.
UPDATABLE_LOADS = {
    "admittance": (cy.CyAdmittanceLoad, "update_admittances", True, lambda u, y: y * u,
                   carr(0.04 - 0.01j, 0.02, 0.03 + 0.01j), carr(0.01, 0.05 - 0.02j, 0)),
    "delta admittance": (cy.CyDeltaAdmittanceLoad, "update_admittances", False, lambda u, y: y * u,
                         carr(0.01 - 0.003j, 0.005, 0.008), carr(0.02, 0, 0.004 + 0.001j)),
    "current": (cy.CyCurrentLoad, "update_currents", True, lambda u, i0: i0 * u / abs(u),
                carr(8 - 2j, 4, 12 - 3j), carr(-6 + 1j, 4 - 1j, 15)),
    "delta current": (cy.CyDeltaCurrentLoad, "update_currents", False, lambda u, i0: i0 * u / abs(u),
                      carr(5 - 1j, 3, 6 - 2j), carr(2 - 1.5j, 9, -3 + 0.5j)),
}


def load_at_the_end_of_a_line(load, ports):
    """source -- line -- bus with the load; returns the network and the load's bus and line."""
    start = np.append(three_phase(), 0).astype(np.complex128)
    source_bus, bus = cy.CyBus(4, start), cy.CyBus(4, start.copy())
    source, reference = cy.CyVoltageSource(4, three_phase()), cy.CyPotentialRef()
    line = cy.CySimplifiedLine(4, line_impedance().ravel())
    source_bus.connect(source, FOUR)
    source_bus.connect(reference, [(3, 0)])
    line.connect_side(source_bus, FOUR, True)
    line.connect_side(bus, FOUR, False)
    bus.connect(load, FOUR[:ports])
    elements = [source_bus, bus, source, reference, line, load]
    return cy.CyElectricalNetwork(object_array(elements), len(elements)), bus, line


@pytest.mark.parametrize("solver", sorted(SOLVERS))
@pytest.mark.parametrize("kind", sorted(UPDATABLE_LOADS))
def test_load_updates_before_and_after_linking_reach_the_next_solve(kind, solver):
    make, update, star, law, first, second = UPDATABLE_LOADS[kind]
    ports = 4 if star else 3
    load = make(ports, 3 * first)
    network, bus, line = load_at_the_end_of_a_line(load, ports)
    getattr(load, update)(first)  # before any solver: only the stored values
    solve = SOLVERS[solver](network)
    for values in (first, second):
        assert solve.solve_load_flow(100, 1e-10)[1] <= 1e-10
        v, currents = bus.get_potentials(4), load.get_currents(ports)
        u = v[:3] - v[3] if star else v[:3] - np.roll(v[:3], -1)
        np.testing.assert_allclose(load.get_inner_currents(3), law(u, values), rtol=1e-9)
        # Kirchhoff at the load's bus: what the line delivers, the load draws.
        np.testing.assert_allclose(line.get_side_currents(4, 4)[1][:ports] + currents, 0, atol=1e-8)
        getattr(load, update)(second)


@pytest.mark.parametrize("solver", sorted(SOLVERS))
def test_the_load_balancer_draws_its_admittance_times_the_phase_voltages(solver):
    z2, ym, k = 20 + 5j, 0.001 - 0.04j, 2.0
    balancer = cy.CyLoadBalancer(z2, ym, k)
    network, bus, line = load_at_the_end_of_a_line(balancer, 4)
    assert SOLVERS[solver](network).solve_load_flow(100, 1e-10)[1] <= 1e-10
    impedance = np.full((3, 3), -1 / (k * ym))
    np.fill_diagonal(impedance, z2 + (1 + 1 / k**2) / ym)
    v, currents = bus.get_potentials(4), balancer.get_currents(4)
    np.testing.assert_allclose(currents[:3], np.linalg.solve(impedance, v[:3] - v[3]), rtol=1e-9)
    assert abs(currents.sum()) < 1e-9
    np.testing.assert_array_equal(balancer.get_inner_currents(3), currents[:3])
