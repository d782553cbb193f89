"""The transformer types: construction and its refusals, the open-circuit and short-circuit tests,
parameter updates between solves, and solved networks."""
import cmath
import math

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from conftest import carr, three_phase
from feeders import NEWTONS, SOLVERS, object_array

FOUR = [(i, i) for i in range(4)]
TWO = [(0, 0), (1, 1)]


# -- Construction ------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "make, side1, side2",
    [(lambda: cy.CySingleTransformer(0.1 + 0.2j, 1e-4, 0.5j), 2, 2),
     (lambda: cy.CyCenterTransformer(0.1 + 0.2j, 1e-4, 0.5), 2, 3),
     (lambda: cy.CyThreePhaseTransformer(3, 4, "D", "y", 0.1, 0, 0.5, 11), 3, 4),
     (lambda: cy.CyThreePhaseTransformer(4, 3, b"Y", b"d", 0.1, 0, 0.5, 1), 4, 3),
     (lambda: cy.CyThreePhaseTransformer(n1=4, n2=4, whv="D", wlv="z", z2=0.1, ym=0, k=0.5, clock=0), 4, 4)],
    ids=["single", "center", "Dyn", "YNd bytes", "Dzn by name"],
)
def test_transformers_have_two_sides(make, side1, side2):
    transformer = make()
    assert isinstance(transformer, cy.CyTransformer)
    first, second = transformer.get_side_potentials(side1, side2)
    assert (len(first), len(second)) == (side1, side2)
    assert len(transformer.get_currents(side1 + side2)) == side1 + side2
    with pytest.raises(IndexError):
        transformer.get_port_current(side1 + side2)


def test_the_center_tapped_ratio_is_real_and_the_single_phase_one_complex():
    with pytest.raises(TypeError):
        cy.CyCenterTransformer(0.1, 0, 0.5j)
    cy.CySingleTransformer(0.1, 0, 0.5j)


@pytest.mark.parametrize(
    "whv, wlv, message",
    [("YN", "y", "^Bad HV winding: YN$"), ("d", "Z", "^Bad HV winding: d$"), ("D", "Z", "^Bad LV winding: Z$"),
     ("Y", "", "^Bad LV winding: $")],
)
def test_bad_winding_names_are_runtime_errors(whv, wlv, message):
    with pytest.raises(RuntimeError, match=message):
        cy.CyThreePhaseTransformer(4, 4, whv, wlv, 0.1, 0, 0.5, 0)


HV_DELTA = "The HV side of a three-phase transformer with winding D needs 3 or 4 ports, got "
LV_STAR = "The LV side of a three-phase transformer with winding y needs 4 ports (three phases and the neutral), got "


@pytest.mark.parametrize("n", [-3, -1, 0, 1, 2, 5, 2**31 - 1])
def test_port_counts_that_cannot_carry_the_windings_are_value_errors(n):
    with pytest.raises(ValueError) as hv:
        cy.CyThreePhaseTransformer(n, 4, "D", "y", 0.1, 0, 0.5, 11)
    assert str(hv.value) == HV_DELTA + str(n)
    with pytest.raises(ValueError) as lv:
        cy.CyThreePhaseTransformer(3, n, "D", "y", 0.1, 0, 0.5, 11)
    assert str(lv.value) == LV_STAR + str(n)


@pytest.mark.parametrize(
    "n1, n2, whv", [(-1, 0, "D"), (-5, 4, "D"), (4, -5, "Y"), (-2**31, -1, "D"), (-1, -1, "X")],
    ids=["HV", "HV beyond LV", "LV beyond HV", "sum beyond int", "before the winding names"],
)
def test_a_negative_total_port_count_is_refused_first(n1, n2, whv):
    with pytest.raises(RuntimeError, match="^vector::reserve$"):
        cy.CyThreePhaseTransformer(n1, n2, whv, "y", 0.1, 0, 0.5, 11)


def test_a_star_side_needs_its_neutral_port():
    with pytest.raises(ValueError, match=r"winding Y needs 4 ports \(three phases and the neutral\), got 3$"):
        cy.CyThreePhaseTransformer(3, 3, "Y", "d", 0.1, 0, 0.5, 1)


def test_counts_beyond_a_c_int_are_overflow_errors():
    with pytest.raises(OverflowError):
        cy.CyThreePhaseTransformer(2**31, 4, "D", "y", 0.1, 0, 0.5, 11)


@pytest.mark.parametrize(
    "call",
    [lambda t: t.update_transformer_parameters(1, 0, 1), lambda t: t.compute_open_circuit_parameters(1, 1, 1),
     lambda t: t.compute_short_circuit_parameters(1, 1, 1)],
    ids=["update", "open circuit", "short circuit"],
)
def test_the_abstract_transformer_refuses_engine_calls(call):
    with pytest.raises(TypeError, match="is abstract and holds no engine element"):
        call(cy.CyTransformer())


# -- Open-circuit and short-circuit tests ------------------------------------------------------

def test_circuit_tests_take_integers_and_return_two_floats():
    ym = 2e-4 - 1e-3j
    transformer = cy.CySingleTransformer(1 + 2j, ym, 0.5)
    p0, i0 = result = transformer.compute_open_circuit_parameters(100, 50, 1000)
    assert type(result) is tuple and type(p0) is float and type(i0) is float
    # At the ideal ratio only the magnetising admittance takes power.
    assert p0 == pytest.approx(ym.real * 100**2)
    assert i0 == pytest.approx(abs(ym) * 100 / (1000 / 100))
    assert list(transformer.get_side_potentials(2, 2)[1]) == [50, 0]

    psc, vsc = transformer.compute_short_circuit_parameters(100, 1, 1)
    assert vsc == pytest.approx(abs(1 + 2j))
    assert list(transformer.get_side_potentials(2, 2)[0]) == [100 * vsc, 0]
    assert psc > 0


def test_the_three_phase_open_circuit_test_turns_the_secondary_by_the_clock():
    transformer = cy.CyThreePhaseTransformer(3, 4, "D", "y", 0.01 + 0.04j, 0, 0.4 / 20 / math.sqrt(3), 11)
    p0, i0 = transformer.compute_open_circuit_parameters(20000, 400, 250000)
    assert p0 == pytest.approx(0, abs=1e-6) and i0 == pytest.approx(0, abs=1e-12)
    lv = transformer.get_side_potentials(3, 4)[1]
    np.testing.assert_allclose(lv[:3], three_phase(400 / math.sqrt(3)) * cmath.rect(1, math.pi / 6), rtol=1e-14)
    assert lv[3] == 0


@pytest.mark.parametrize("clock", [-2**31, -1, 12, 2**31 - 1])
def test_any_clock_number_is_accepted_and_turns_the_open_circuit_secondary(clock):
    transformer = cy.CyThreePhaseTransformer(4, 4, "Y", "y", 0.01, 0, 1, clock)
    transformer.compute_open_circuit_parameters(1, 1, 1)
    lv = transformer.get_side_potentials(4, 4)[1]
    assert lv[0] == pytest.approx(cmath.rect(1 / math.sqrt(3), -clock * math.pi / 6), rel=1e-6)


def test_the_short_circuit_voltage_of_a_delta_secondary_takes_a_third_of_z2():
    z2 = 0.03 + 0.04j
    star = cy.CyThreePhaseTransformer(3, 4, "D", "y", z2, 0, 0.02, 11).compute_short_circuit_parameters(1, 1, 1)
    delta = cy.CyThreePhaseTransformer(4, 3, "Y", "d", z2, 0, 0.02, 11).compute_short_circuit_parameters(1, 1, 1)
    assert star[1] == pytest.approx(0.05)
    assert delta[1] == pytest.approx(0.05 / 3)


# -- Networks ----------------------------------------------------------------------------------

class SingleFeeder:
    """source (neutral on the reference) -- single-phase transformer -- constant-power load, the
    LV return on a second reference."""

    def __init__(self, k=0.5):
        self.source_bus = cy.CyBus(2, carr(230, 0))
        self.lv_bus = cy.CyBus(2, carr(115, 0))
        self.source = cy.CyVoltageSource(2, carr(230))
        self.references = [cy.CyPotentialRef(), cy.CyPotentialRef()]
        self.transformer = cy.CySingleTransformer(0.05 + 0.1j, 1e-4 - 5e-4j, k)
        self.load = cy.CyPowerLoad(2, carr(800 + 300j))
        self.source_bus.connect(self.source, TWO)
        self.source_bus.connect(self.references[0], [(1, 0)])
        self.transformer.connect_side(self.source_bus, TWO, True)
        self.transformer.connect_side(self.lv_bus, TWO, False)
        self.lv_bus.connect(self.references[1], [(1, 0)])
        self.lv_bus.connect(self.load, TWO)
        self.elements = [self.source, *self.references, self.source_bus, self.transformer, self.lv_bus, self.load]

    def network(self):
        return cy.CyElectricalNetwork(object_array(self.elements), len(self.elements))


@pytest.mark.parametrize("name", sorted(SOLVERS))
def test_a_single_phase_feeder_solves_with_every_solver(name):
    feeder = SingleFeeder()
    iterations, error = SOLVERS[name](feeder.network()).solve_load_flow(50, 1e-9)
    assert error <= 1e-9
    u = feeder.lv_bus.get_port_potential(0)
    assert u * np.conj(feeder.load.get_port_current(0)) == pytest.approx(800 + 300j)
    i2 = feeder.transformer.get_port_current(2)
    assert u == pytest.approx(0.5 * 230 + (0.05 + 0.1j) * i2)


@pytest.mark.parametrize("name", sorted(NEWTONS))
def test_transformer_updates_reach_the_next_solve(name):
    feeder = SingleFeeder()
    solver = NEWTONS[name](feeder.network())
    solver.solve_load_flow(50, 1e-9)
    assert feeder.transformer.update_transformer_parameters(0.02 + 0.05j, 0, 0.45j) is None
    solver.solve_load_flow(50, 1e-9)
    updated = feeder.lv_bus.get_port_potential(0)

    fresh = SingleFeeder(0.45j)
    fresh.transformer.update_transformer_parameters(0.02 + 0.05j, 0, 0.45j)
    NEWTONS[name](fresh.network()).solve_load_flow(50, 1e-9)
    assert updated == pytest.approx(fresh.lv_bus.get_port_potential(0), rel=1e-12)
    assert abs(cmath.phase(updated) - math.pi / 2) < 0.1


@pytest.mark.parametrize("whv, wlv, clock", [("D", "y", 11), ("D", "y", 5), ("Y", "z", 1), ("D", "d", 6)])
def test_a_no_load_three_phase_secondary_turns_by_the_clock(whv, wlv, clock):
    hv_bus = cy.CyBus(4, np.append(three_phase(), 0).astype(np.complex128))
    source = cy.CyVoltageSource(4, three_phase())
    hv_reference = cy.CyPotentialRef()
    hv_bus.connect(source, FOUR)
    hv_bus.connect(hv_reference, [(3, 0)])
    n2 = 3 if wlv == "d" else 4
    lv_bus = cy.CyBus(n2, np.zeros(n2, dtype=np.complex128))
    lv_reference = cy.CyDeltaPotentialRef(3) if wlv == "d" else cy.CyPotentialRef()
    lv_bus.connect(lv_reference, [(i, i) for i in range(3)] if wlv == "d" else [(3, 0)])
    transformer = cy.CyThreePhaseTransformer(4, n2, whv, wlv, 0.01 + 0.02j, 0, 0.5, clock)
    transformer.connect_side(hv_bus, FOUR, True)
    transformer.connect_side(lv_bus, [(i, i) for i in range(n2)], False)
    elements = [source, hv_reference, hv_bus, transformer, lv_bus, lv_reference]
    network = cy.CyElectricalNetwork(object_array(elements), len(elements))
    cy.CyNewton(network, False).solve_load_flow(10, 1e-9)
    # The line voltage ratio: k times the LV line over LV winding voltage, over the HV one.
    ratio = 0.5 * {"d": 1, "y": math.sqrt(3), "z": 3}[wlv] / (math.sqrt(3) if whv == "Y" else 1)
    np.testing.assert_allclose(lv_bus.get_potentials(3), ratio * cmath.rect(1, -clock * math.pi / 6) * three_phase(),
                               rtol=1e-9)


@pytest.mark.parametrize("make", [lambda: cy.CyCenterTransformer(0.01, 0, 0.5),
                                  lambda: cy.CyThreePhaseTransformer(3, 4, "D", "y", 0.01, 0, 0.5, 11)],
                         ids=["center", "three-phase"])
def test_backward_forward_refuses_the_other_transformers(make):
    transformer = make()
    network = cy.CyElectricalNetwork(object_array([transformer]), 1)
    with pytest.raises(RuntimeError, match=r"^2 No backward-forward method has been defined for transformers yet\.$"):
        cy.CyBackwardForward(network).solve_load_flow(10, 1e-9)
