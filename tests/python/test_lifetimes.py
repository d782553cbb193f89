"""Python objects keep alive what their engine objects point to, and a solver that goes unlinks
the nodes and records still pointing into it: no sequence of calls reads freed memory. Each case
here would read or write released storage without that (run under AddressSanitizer too). Nothing
points back from elements to solvers, so a dropped solver is freed at once, without the cyclic
collector."""
import gc

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from conftest import carr, three_phase
from feeders import Feeder, FlexibleFeeder, constant_parameter, object_array


def solved_feeder():
    feeder = Feeder()
    solver = cy.CyNewton(feeder.network(), False)
    solver.solve_load_flow(20, 1e-10)
    return feeder, solver


def test_a_network_keeps_its_elements():
    feeder = Feeder()
    network = feeder.network()
    bus2 = feeder.bus2
    del feeder
    gc.collect()
    cy.CyNewton(network, False).solve_load_flow(20, 1e-10)
    assert 200 < abs(bus2.get_port_potential(0)) < 230


def test_a_solver_keeps_its_network():
    feeder = Feeder()
    solver = cy.CyNewton(feeder.network(), False)
    gc.collect()
    assert solver.solve_load_flow(20, 1e-10)[1] <= 1e-10


def test_elements_keep_working_after_their_solver_is_dropped():
    feeder, solver = solved_feeder()
    expected = feeder.bus2.get_potentials(4)
    del solver
    gc.collect()
    np.testing.assert_array_equal(feeder.bus2.get_potentials(4), expected)
    feeder.star.update_powers(2 * feeder.star_powers)
    feeder.source.update_voltages(feeder.source.get_potentials(3))
    feeder.bus1.initialize_potentials(feeder.bus1.get_potentials(4))
    feeder.line1.update_line_parameters(feeder.z1.ravel())
    assert feeder.star.get_inner_currents(3).shape == (3,)


def test_a_newer_solver_takes_over_and_the_older_one_can_go():
    feeder, first = solved_feeder()
    start = feeder.bus2.get_potentials(4)  # solved values, read through the first solver
    second = cy.CyNewton(feeder.network(), False)
    del first
    gc.collect()
    # The second solver starts from the stored values (a Newton solve leaves them unchanged).
    np.testing.assert_array_equal(feeder.bus2.get_potentials(4), np.append(three_phase(), 0))
    second.solve_load_flow(20, 1e-10)
    np.testing.assert_allclose(feeder.bus2.get_potentials(4), start, rtol=1e-9)


def test_a_solver_on_part_of_the_network_leaves_the_rest_to_the_older_one():
    feeder, solver = solved_feeder()
    expected = feeder.star.get_potentials(4)
    part = [feeder.source_bus, feeder.source, feeder.reference]
    cy.CyNewton(cy.CyElectricalNetwork(object_array(part), 3), False).solve_load_flow(20, 1e-10)
    del solver
    gc.collect()
    # Bus 1 was linked only by the first solver, which the load still needs.
    np.testing.assert_array_equal(feeder.star.get_potentials(4), expected)


def count_solvers():
    return sum(isinstance(o, cy.CyAbstractSolver) for o in gc.get_objects())


def test_an_element_joined_to_the_network_but_not_in_it_keeps_its_nodes():
    gc.collect()
    before = count_solvers()
    feeder, solver = solved_feeder()
    outsider = cy.CyBus(4, carr(0, 0, 0, 0))
    feeder.bus2.connect(outsider, [(i, i) for i in range(4)])
    expected = feeder.bus2.get_potentials(4)
    del solver, feeder
    gc.collect()
    # The network and its solver are gone; the nodes kept the values they last read.
    assert count_solvers() == before
    np.testing.assert_array_equal(outsider.get_potentials(4), expected)
    outsider.initialize_potentials(carr(1, 2, 3, 4))
    np.testing.assert_array_equal(outsider.get_potentials(4), [1, 2, 3, 4])


def test_a_disconnected_element_keeps_reading_its_old_node():
    feeder, solver = solved_feeder()
    expected = feeder.star.get_potentials(4)
    feeder.star.disconnect()
    star = feeder.star
    del solver, feeder
    gc.collect()
    np.testing.assert_array_equal(star.get_potentials(4), expected)


def test_a_node_that_became_a_reference_keeps_no_slot_of_a_freed_solver():
    bus = cy.CyBus(1, carr(5))
    ref = cy.CyPotentialRef()
    network = cy.CyElectricalNetwork(object_array([bus, ref]), 2)
    first = cy.CyBackwardForward(network)  # links the bus's node
    bus.connect(ref, [(0, 0)])  # the bus's node survives and becomes the reference
    second = cy.CyBackwardForward(network)  # a reference gets no slot, so the node is not relinked
    del first
    gc.collect()
    # The reference's forward step and the bus write the node: into the stored value only.
    assert second.solve_load_flow(3, 1e-9) == (1, 0.0)
    bus.initialize_potentials(carr(7))
    assert bus.get_port_potential(0) == 0


def test_whole_networks_are_collected():
    def alive():
        return sum(isinstance(o, (cy.CyElement, cy.CyElectricalNetwork, cy.CyAbstractSolver))
                   for o in gc.get_objects())

    gc.collect()
    before = alive()
    for _ in range(3):
        feeder, solver = solved_feeder()
        cy.CyBackwardForward(feeder.network())
        del feeder, solver
    gc.collect()
    assert alive() == before


@pytest.fixture
def no_collector():
    """The cyclic collector off, with nothing of earlier tests left for it."""
    gc.collect()
    gc.disable()
    yield
    gc.enable()


def module_objects():
    """The tracked objects of this module (elements without object fields are not tracked)."""
    return [o for o in gc.get_objects() if type(o).__module__ == cy.__name__]


def test_a_dropped_solver_is_freed_at_once_and_leaves_its_results(no_collector):
    feeder, solver = solved_feeder()
    potentials, currents = feeder.bus2.get_potentials(4), feeder.star.get_currents(4)
    variables = solver.get_variables()
    before = len(module_objects())
    del solver
    assert not any(isinstance(o, cy.CyAbstractSolver) for o in gc.get_objects())
    assert len(module_objects()) == before - 2  # the solver and the network it was built on
    np.testing.assert_array_equal(feeder.bus2.get_potentials(4), potentials)
    np.testing.assert_array_equal(feeder.star.get_currents(4), currents)
    # A new solver starts from the values the old one left, and sees the updates.
    feeder.star.update_powers(1.1 * feeder.star_powers)
    second = cy.CyNewton(feeder.network(), False)
    np.testing.assert_array_equal(second.get_variables(), variables)
    iterations, error = second.solve_load_flow(20, 1e-10)
    assert iterations > 0 and error <= 1e-10
    assert abs(feeder.bus2.get_potentials(4) - potentials).max() > 1e-3


@pytest.mark.parametrize("make", [lambda n: cy.CyNewton(n, True), lambda n: cy.CyNewtonGoldstein(n, False, 0.1, 0.9),
                                  cy.CyBackwardForward], ids=["Newton", "Goldstein", "backward-forward"])
def test_dropping_everything_leaves_nothing_for_the_collector(no_collector, make):
    before = len(module_objects())
    feeder = FlexibleFeeder()
    parameter = feeder.volt_var
    solver = make(feeder.network())
    solver.solve_load_flow(50, 1e-9)
    expected = parameter.compute_power(400, 1000 + 100j)
    del feeder, solver
    assert len(module_objects()) == before
    assert parameter.compute_power(400, 1000 + 100j) == expected
    parameter.update_parameters(4000, -1000, 1500)
    del parameter
    assert gc.collect() == 0


class KeeperBus(cy.CyBus):
    """A bus that holds a solver of its own network: a cycle through an object of the caller's."""


class KeeperLoad(cy.CyFlexibleLoad):
    """A flexible load that holds a solver of its own network."""


class KeeperDeltaLoad(cy.CyDeltaFlexibleLoad):
    """A delta flexible load that holds a solver of its own network."""


class KeeperParameter(cy.CyFlexibleParameter):
    """A flexible parameter that holds a solver of a network it is in."""


@pytest.mark.parametrize("kind", ["star", "delta"])
def test_cycles_made_by_the_caller_are_collected_without_reaching_freed_objects(no_collector, kind):
    # The collector clears the caller's objects in the order they were made: the parameter, then
    # the load (whose own references it must not clear: the parameter would go with them), and
    # only the bus frees the solver, which then unlinks the load's parameter.
    for _ in range(3):
        feeder = Feeder()
        parameter = constant_parameter(1e4, KeeperParameter)
        if kind == "star":
            load = KeeperLoad(2, carr(500), object_array([parameter]))
            feeder.bus1.connect(load, [(0, 0), (3, 1)])
        else:
            load = KeeperDeltaLoad(2, carr(500, 300), object_array([parameter, parameter]))
            feeder.bus1.connect(load, [(0, 0), (1, 1)])
        bus = KeeperBus(4, np.append(three_phase(), 0))
        feeder.bus2.connect(bus, [(i, i) for i in range(4)])
        elements = feeder.elements + [load, bus]
        solver = cy.CyNewton(cy.CyElectricalNetwork(object_array(elements), len(elements)), False)
        assert solver.solve_load_flow(20, 1e-9)[1] <= 1e-9
        parameter.solver = load.solver = bus.solver = solver
        del feeder, parameter, load, bus, elements, solver
    assert sum(isinstance(o, cy.CyAbstractSolver) for o in gc.get_objects()) == 3
    assert gc.collect() > 0
    assert not any(isinstance(o, cy.CyAbstractSolver) for o in gc.get_objects())
