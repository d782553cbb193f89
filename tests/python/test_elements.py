"""Element types: construction, joining nodes, reading potentials and currents, and the checks
that keep out-of-range indices and counts away from the engine."""
import gc

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from conftest import carr


def test_a_bus_reads_its_initial_potentials_and_no_current():
    bus = cy.CyBus(3, carr(1 + 1j, 2, -3j))
    assert list(bus.get_potentials(3)) == [1 + 1j, 2, -3j]
    assert [bus.get_port_potential(i) for i in range(3)] == [1 + 1j, 2, -3j]
    assert list(bus.get_currents(3)) == [0, 0, 0]
    assert bus.get_port_current(2) == 0j
    assert isinstance(bus.get_port_potential(0), complex)


def test_initialize_potentials_sets_the_nodes_of_the_ports():
    bus = cy.CyBus(2, carr(1, 2))
    other = cy.CyBus(1, carr(0))
    bus.connect(other, [(1, 0)])
    bus.initialize_potentials(carr(7, 8))
    assert list(bus.get_potentials(2)) == [7, 8]
    assert other.get_port_potential(0) == 8


def test_connect_keeps_the_node_of_the_calling_element():
    a = cy.CyBus(2, carr(1, 2))
    b = cy.CyBus(2, carr(3, 4))
    a.connect(b, [(0, 1), (1, 0)])
    assert list(b.get_potentials(2)) == [2, 1]
    assert list(a.get_potentials(2)) == [1, 2]


def test_connect_ports_keeps_the_node_of_the_first_listed_port():
    bus = cy.CyBus(3, carr(1, 2, 3))
    bus.connect_ports(np.array([2, 0], dtype=np.int32))
    assert list(bus.get_potentials(3)) == [3, 2, 3]


@pytest.mark.parametrize("ports", [None, np.array([], dtype=np.int32), np.array([1], dtype=np.int32)],
                         ids=["None", "empty", "one"])
def test_connect_ports_with_fewer_than_two_ports_changes_nothing(ports):
    bus = cy.CyBus(2, carr(1, 2))
    bus.connect_ports(ports)
    assert list(bus.get_potentials(2)) == [1, 2]


def test_a_port_on_a_reference_node_reads_zero():
    bus = cy.CyBus(2, carr(5, 6))
    ref = cy.CyPotentialRef(1, 2, 3)
    bus.connect(ref, [(1, 0)])
    assert list(bus.get_potentials(2)) == [5, 0]
    assert ref.get_port_potential(0) == 0
    assert ref.get_current() == 0


def test_ground_has_one_port():
    ground = cy.CyGround("ignored", x=1)
    assert list(ground.get_potentials(1)) == [0]
    with pytest.raises(IndexError):
        ground.get_potentials(2)


def test_a_delta_reference_starts_with_no_current():
    assert cy.CyDeltaPotentialRef(3).get_current() == 0


def test_a_delta_reference_needs_a_port():
    # Its unknown current sits on port 0: without one, solving or reading it would reach past
    # the ports.
    with pytest.raises(ValueError, match="at least one port"):
        cy.CyDeltaPotentialRef(0)


@pytest.mark.parametrize(
    "make, ports",
    [(lambda: cy.CyVoltageSource(4, carr(1, 2, 3)), 4), (lambda: cy.CyVoltageSource(1, None), 1),
     (lambda: cy.CyDeltaVoltageSource(3, carr(1, 2)), 3)],
    ids=["star", "neutral only", "delta"],
)
def test_sources_have_their_ports_and_no_current_before_a_solve(make, ports):
    source = make()
    assert list(source.get_currents(ports)) == [0] * ports
    with pytest.raises(IndexError):
        source.get_currents(ports + 1)


# -- Port indices and counts beyond the element ------------------------------------------------

@pytest.mark.parametrize("index", [-1, 3, 2**31 - 1])
@pytest.mark.parametrize("getter", ["get_port_potential", "get_port_current"])
def test_port_getters_refuse_indices_outside_the_ports(getter, index):
    with pytest.raises(IndexError, match=f"port index {index} is out of range"):
        getattr(cy.CyBus(3, carr(1, 2, 3)), getter)(index)


@pytest.mark.parametrize("getter", ["get_potentials", "get_currents"])
def test_array_getters_refuse_counts_beyond_the_ports(getter):
    with pytest.raises(IndexError, match="n = 4 exceeds the 3 ports"):
        getattr(cy.CyBus(3, carr(1, 2, 3)), getter)(4)


@pytest.mark.parametrize(
    "pairs, message",
    [([(2, 0)], "out of range for this element"), ([(-1, 0)], "out of range for this element"),
     ([(0, 1)], "out of range for cy_element"), ([(0, 0), (0, 5)], "out of range for cy_element")],
    ids=["own above", "own negative", "other above", "second pair"],
)
def test_connect_refuses_ports_outside_either_element_and_changes_nothing(pairs, message):
    a = cy.CyBus(2, carr(1, 2))
    b = cy.CyBus(1, carr(3))
    with pytest.raises(IndexError, match=message):
        a.connect(b, pairs)
    assert b.get_port_potential(0) == 3


@pytest.mark.parametrize("ports", [[0, 3], [-1, 0], [0, 1, 2, 7]])
def test_connect_ports_refuses_ports_outside_the_element(ports):
    bus = cy.CyBus(3, carr(1, 2, 3))
    with pytest.raises(IndexError):
        bus.connect_ports(np.array(ports, dtype=np.int32))
    assert list(bus.get_potentials(3)) == [1, 2, 3]


# -- Lifetimes ---------------------------------------------------------------------------------

def test_a_joined_element_survives_the_loss_of_its_partner():
    a = cy.CyBus(2, carr(1, 2))
    b = cy.CyBus(2, carr(3, 4))
    a.connect(b, [(0, 0), (1, 1)])
    del a
    gc.collect()
    assert list(b.get_potentials(2)) == [1, 2]


def test_joined_elements_are_collected_together():
    for _ in range(3):
        a = cy.CyBus(2, carr(1, 2))
        b = cy.CyVoltageSource(2, carr(1))
        a.connect(b, [(0, 0)])
        b.connect(a, [(1, 1)])
        a.disconnect()
        del a, b
        gc.collect()


def test_disconnect_keeps_reading_the_node():
    a = cy.CyBus(1, carr(1))
    b = cy.CyBus(1, carr(2))
    a.connect(b, [(0, 0)])
    b.disconnect()
    assert b.get_port_potential(0) == 1
