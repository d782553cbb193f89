"""Element types: construction, joining nodes, reading potentials and currents, and the checks
that keep out-of-range indices and counts away from the engine."""
import gc

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from conftest import carr
from feeders import object_array


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


def test_a_delta_reference_without_ports_injects_nothing():
    # Its unknown current would sit on port 0: without one, solving or reading it must not reach
    # past the ports.
    reference = cy.CyDeltaPotentialRef(0)
    assert reference.get_current() == 0
    assert reference.get_currents(0).shape == (0,)
    network = cy.CyElectricalNetwork(object_array([reference]), 1)
    assert cy.CyBackwardForward(network).solve_load_flow(2, 1e-9) == (1, 0.0)
    with pytest.raises(RuntimeError, match="^1 Decomposition failed"):
        cy.CyNewton(network, False).solve_load_flow(2, -1.0)
    assert reference.get_current() == 0


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

@pytest.mark.parametrize("freed", ["caller", "other"])
def test_a_joined_element_survives_the_loss_of_its_partner(freed):
    elements = {"caller": cy.CyBus(2, carr(1, 2)), "other": cy.CyBus(2, carr(3, 4))}
    elements["caller"].connect(elements["other"], [(0, 0), (1, 1)])
    del elements[freed]
    gc.collect()
    (survivor,) = elements.values()
    assert list(survivor.get_potentials(2)) == [1, 2]
    # The freed ports left the nodes: moving the nodes again touches only live ports.
    fresh = cy.CyBus(2, carr(5, 6))
    fresh.connect(survivor, [(0, 0), (1, 1)])
    assert list(survivor.get_potentials(2)) == [5, 6]


def test_disconnect_keeps_reading_the_node():
    a = cy.CyBus(1, carr(1))
    b = cy.CyBus(1, carr(2))
    a.connect(b, [(0, 0)])
    b.disconnect()
    assert b.get_port_potential(0) == 1


# -- Simplified line -----------------------------------------------------------------------------

def test_a_line_has_two_sides_of_n_ports():
    line = cy.CySimplifiedLine(2, carr(1, 0, 0, 1))
    first, second = line.get_side_potentials(2, 1)
    assert first.shape == (2,) and second.shape == (1,)
    assert len(line.get_potentials(4)) == 4
    with pytest.raises(IndexError, match="n1 = 3 exceeds the 2 ports of side 1"):
        line.get_side_potentials(3, 0)
    with pytest.raises(IndexError, match="n2 = 3 exceeds the 2 ports of side 2"):
        line.get_side_currents(0, 3)


def test_connect_side_keeps_the_node_of_the_other_element():
    line = cy.CySimplifiedLine(2, carr(1, 0, 0, 1))
    upstream = cy.CyBus(2, carr(10, 20))
    downstream = cy.CyBus(2, carr(30, 40))
    line.connect_side(upstream, [(0, 1), (1, 0)], True)
    line.connect_side(downstream, [(0, 0), (1, 1)], beginning=False)
    side1, side2 = line.get_side_potentials(2, 2)
    assert list(side1) == [20, 10] and list(side2) == [30, 40]
    assert list(upstream.get_potentials(2)) == [10, 20]


@pytest.mark.parametrize(
    "pairs, beginning, message",
    [([(2, 0)], True, "out of range for side 1"), ([(0, 0), (2, 0)], False, "out of range for side 2"),
     ([(0, 2)], True, "out of range for element")],
    ids=["side 1", "side 2", "element"],
)
def test_connect_side_refuses_ports_outside_the_side_or_element(pairs, beginning, message):
    line = cy.CySimplifiedLine(2, carr(1, 0, 0, 1))
    bus = cy.CyBus(2, carr(10, 20))
    with pytest.raises(IndexError, match=message):
        line.connect_side(bus, pairs, beginning)
    assert list(line.get_potentials(4)) == [0, 0, 0, 0]


def test_connect_side_refuses_none():
    with pytest.raises(TypeError, match="got NoneType"):
        cy.CySimplifiedLine(1, carr(1)).connect_side(None, [(0, 0)], True)


# -- Loads ---------------------------------------------------------------------------------------

# Each load type with its update method and whether it is a star (the last port its neutral).
LOADS = {
    "power": (cy.CyPowerLoad, "update_powers", True),
    "delta power": (cy.CyDeltaPowerLoad, "update_powers", False),
    "admittance": (cy.CyAdmittanceLoad, "update_admittances", True),
    "delta admittance": (cy.CyDeltaAdmittanceLoad, "update_admittances", False),
    "current": (cy.CyCurrentLoad, "update_currents", True),
    "delta current": (cy.CyDeltaCurrentLoad, "update_currents", False),
}


@pytest.mark.parametrize("kind, n", [(kind, n) for kind in sorted(LOADS) for n in (0, 1, 2, 4)
                                     if n > 0 or not LOADS[kind][2]])
def test_loads_read_and_write_one_value_per_phase_or_branch(kind, n):
    make, update, star = LOADS[kind]
    count = n - 1 if star else n
    load = make(n, carr(*range(1, count + 1)) if count else None)
    assert len(load.get_currents(n)) == n
    # Star inner currents are the phase currents of the last solve: zeros before any.
    inner = load.get_inner_currents(count)
    assert inner.shape == (count,)
    if star:
        assert list(inner) == [0] * count
    assert getattr(load, update)(carr(*range(count)) if count else None) is None
    if count:
        with pytest.raises(ValueError, match=f"has {count - 1} items, {count} are needed$"):
            getattr(load, update)(carr(*range(count - 1)))
        with pytest.raises(IndexError, match=f"size = {count - 1} is below the {count} inner currents"):
            load.get_inner_currents(count - 1)


@pytest.mark.parametrize("n", [-2**31, -2**30 - 1, -1, 0, 1])
@pytest.mark.parametrize("kind", sorted(LOADS))
def test_load_constructors_refuse_negative_counts_in_the_engine(kind, n):
    make, _, star = LOADS[kind]
    if n < (1 if star else 0):
        with pytest.raises(RuntimeError, match="^vector::reserve$"):
            make(n, None)
    else:
        assert len(make(n, carr(1)).get_currents(n)) == n


def test_the_load_balancer_has_four_ports_and_three_inner_currents():
    balancer = cy.CyLoadBalancer(z2=0.1 + 0.3j, ym=0.01 - 0.2j, k=2.0)
    assert len(balancer.get_currents(4)) == 4
    assert list(balancer.get_inner_currents(3)) == [0, 0, 0]
    with pytest.raises(IndexError, match="size = 2 is below the 3 inner currents"):
        balancer.get_inner_currents(2)
    with pytest.raises(TypeError):
        cy.CyLoadBalancer(0.1, 0.01j, "2")


@pytest.mark.parametrize(
    "make, law",
    [(cy.CyDeltaPowerLoad, lambda u, s: np.conj(s / u)), (cy.CyDeltaAdmittanceLoad, lambda u, y: y * u),
     (cy.CyDeltaCurrentLoad, lambda u, i0: i0 * u / abs(u))],
    ids=["power", "admittance", "current"],
)
def test_delta_inner_currents_follow_the_present_potentials(make, law):
    # Before any solve the branch currents come from the stored potentials.
    values = carr(0.5 - 0.1j, -2 + 3j, 4j)
    potentials = carr(230, -115 - 199j, -115 + 199j)
    load = make(3, values)
    cy.CyBus(3, potentials).connect(load, [(0, 0), (1, 1), (2, 2)])
    np.testing.assert_allclose(load.get_inner_currents(3), law(potentials - np.roll(potentials, -1), values),
                               rtol=1e-13)


