"""Flexible loads, their control laws and their shared flexible parameters from Python."""
import gc

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from conftest import carr, three_phase
from feeders import (FOUR, FlexibleFeeder, constant, constant_parameter, euclidean, object_array,
                     parameters, volt_var, volt_watt)


# ---------------------------------------------------------------------------------------------
# Control laws and flexible parameters


def test_two_constant_laws_return_the_setpoint_even_beyond_s_max():
    parameter = constant_parameter(s_max=1.0)
    for x in (0, 0.5, 1e9):
        assert parameter.compute_power(x, 5 - 2j) == 5 - 2j
    result = parameter.compute_power(1, 3.0)  # an int and a float convert
    assert type(result) is complex and result == 3


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: cy.CyControl("Constant", 0, 0, 0, 0, 0, 0), "^Constant is a bad control type name$"),
        (lambda: cy.CyControl("q-u", 0, 0, 0, 0, 0, 0), "^q-u is a bad control type name$"),
        (lambda: cy.CyProjection("Euclidean", 0, 0), "^Euclidean is a bad projection type name$"),
        (lambda: cy.CyProjection(b"keep-p", 0, 0), "^keep-p is a bad projection type name$"),
    ],
    ids=["capital", "hyphen", "projection capital", "projection bytes"],
)
def test_bad_law_names_are_refused(make, message):
    with pytest.raises(RuntimeError, match=message):
        make()


def test_law_names_may_be_bytes():
    cy.CyControl(b"q_u", 0, 0, 0, 0, 0, 0)
    cy.CyProjection(b"keep_q", 0, 0)


@pytest.mark.parametrize(
    "control_p, control_q, message",
    [
        (volt_var, constant, "^Bad control type for P$"),
        (volt_var, lambda: cy.CyControl("p_max_u_consumption", 1, 2, 0, 0, 1, 1), "^Bad control type for P$"),
        (volt_watt, volt_watt, "^Bad control type for Q$"),
    ],
    ids=["q_u for P", "checked first", "production for Q"],
)
def test_laws_of_the_wrong_component_fail_when_evaluated(control_p, control_q, message):
    parameter = cy.CyFlexibleParameter(control_p(), control_q(), euclidean(), 5, -1, 1)
    with pytest.raises(RuntimeError, match=message):
        parameter.compute_power(1.0, 1 + 0j)


def test_the_parameter_keeps_copies_of_its_laws():
    p, q, projection = volt_watt(0.96, 1.0), constant(), euclidean()
    parameter = cy.CyFlexibleParameter(p, q, projection, 5, 0, 0)
    expected = [parameter.compute_power(x, -4) for x in (0.92, 0.984, 1.04)]
    np.testing.assert_allclose(expected, [-4, -2, 0], atol=1e-6)
    del p, q, projection
    gc.collect()
    assert [parameter.compute_power(x, -4) for x in (0.92, 0.984, 1.04)] == expected


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((None, constant(), euclidean(), 1, 0, 0), TypeError, "control_p"),
        ((constant(), constant(), constant(), 1, 0, 0), TypeError, "projection"),
        ((None, None, None, "x", 0, 0), TypeError, "real number"),  # the reals convert first
    ],
    ids=["None", "wrong type", "reals first"],
)
def test_flexible_parameter_arguments_are_checked(args, error, message):
    with pytest.raises(error, match=message):
        cy.CyFlexibleParameter(*args)


# ---------------------------------------------------------------------------------------------
# Flexible loads


@pytest.mark.parametrize(
    "make, count",
    [
        (lambda law: cy.CyFlexibleLoad(4, carr(1, 2j, 3), parameters(law, law, law, "ignored")), 3),
        (lambda law: cy.CyDeltaFlexibleLoad(3, carr(1, 2j, 3, 4), parameters(law, law, law, None)), 3),
        (lambda law: cy.CyFlexibleLoad(1, None, None), 0),
        (lambda law: cy.CyDeltaFlexibleLoad(0, None, None), 0),
    ],
    ids=["star", "delta", "star neutral only", "delta without ports"],
)
def test_loads_read_as_many_items_as_phases_or_branches(make, count):
    load = make(constant_parameter())
    np.testing.assert_array_equal(load.get_powers(count + 1 if isinstance(load, cy.CyFlexibleLoad) else count),
                                  carr(1, 2j, 3)[:count])
    assert load.get_inner_currents(count).shape == (count,)
    load.update_powers(carr(7, 8, 9)[:count] if count else None)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda law: cy.CyFlexibleLoad(4, carr(1, 2, 3), parameters(law, law)), ValueError,
         "^Array 'parameters' has 2 items, 3 are needed$"),
        (lambda law: cy.CyDeltaFlexibleLoad(3, carr(1, 2, 3), None), ValueError,
         "^Array 'parameters' has 0 items, 3 are needed$"),
        (lambda law: cy.CyFlexibleLoad(4, carr(1, 2), parameters(law, law, law)), ValueError,
         "^Array 'powers' has 2 items, 3 are needed$"),
        (lambda law: cy.CyFlexibleLoad(3, carr(1, 2), parameters(law, None)), TypeError,
         r"^parameters\[1\] has incorrect type \(expected load_flow_engine.cy_engine.CyFlexibleParameter, "
         r"got NoneType\)$"),
        (lambda law: cy.CyDeltaFlexibleLoad(2, carr(1, 2), parameters(constant(), law)), TypeError,
         r"^parameters\[0\] has incorrect type .* got CyControl\)$"),
        (lambda law: cy.CyFlexibleLoad(2, carr(1), np.zeros(1)), ValueError,
         "^Buffer dtype mismatch, expected 'CyFlexibleParameter' but got 'double'$"),
        (lambda law: cy.CyDeltaFlexibleLoad(3, None, np.zeros(3)), ValueError,
         "^Buffer dtype mismatch, expected 'CyFlexibleParameter' but got 'double'$"),
        (lambda law: cy.CyFlexibleLoad(4, carr(1, 2, 3), parameters(law, law, law)).update_powers(carr(1)),
         ValueError, "^Array 'powers' has 1 items, 3 are needed$"),
        (lambda law: cy.CyFlexibleLoad(4, carr(1, 2, 3), parameters(law, law, law)).get_powers(3), IndexError,
         "^n = 3 gives room for 2 of the 3 powers of this load$"),
        (lambda law: cy.CyDeltaFlexibleLoad(3, carr(1, 2, 3), parameters(law, law, law)).get_powers(2),
         IndexError, "^n = 2 gives room for 2 of the 3 powers of this load$"),
        (lambda law: cy.CyDeltaFlexibleLoad(3, carr(1, 2, 3), parameters(law, law, law)).get_powers(-1),
         ValueError, "negative dimensions"),
    ],
    ids=["short parameters", "None parameters", "short powers", "None item", "other item type", "float64",
         "float64 converted before the counts are checked",
         "short update", "star result too short", "delta result too short", "negative result"],
)
def test_counts_and_items_are_checked_before_the_engine_reads(call, error, message):
    with pytest.raises(error, match=message):
        call(constant_parameter())


@pytest.mark.parametrize("n", [-2**31, -2**30 - 1, -1, 0])
def test_sizes_below_the_conventions_fail_in_the_engine(n):
    with pytest.raises(RuntimeError, match="^vector::reserve$"):
        cy.CyFlexibleLoad(n, None, None)
    if n < 0:
        with pytest.raises(RuntimeError, match="^vector::reserve$"):
            cy.CyDeltaFlexibleLoad(n, None, None)


# ---------------------------------------------------------------------------------------------
# In a network


def test_a_feeder_follows_its_laws_and_their_updates_on_the_same_tape():
    feeder = FlexibleFeeder()
    solver = cy.CyNewton(feeder.network(), False)
    assert solver.solve_load_flow(50, 1e-9)[1] <= 1e-9
    feeder.expect_laws_hold(feeder.generation, feeder.demand)

    more = carr(-12000, -4000, -10000)
    feeder.generator.update_powers(more)
    feeder.volt_var.update_parameters(4000, -1000, 1500)
    assert solver.solve_load_flow(50, 1e-9)[1] <= 1e-9
    feeder.expect_laws_hold(more, feeder.demand)


class KeepQFeeder:
    """source bus -- line -- bus with a flexible load (star: one phase, delta: three branches)
    whose setpoints lie beyond s_max, so that the keep_q projection sets the sign of P."""

    def __init__(self, kind, setpoint):
        self.star = kind == "star"
        self.branches = 1 if self.star else 3
        voltages = carr(230) if self.star else three_phase(230.0)
        self.ports = len(voltages) + 1  # of the buses and the line, the neutral last
        nominal = 230.0 if self.star else 230.0 * np.sqrt(3)
        law = cy.CyControl("p_max_u_production", 0, 0, 1.04 * nominal, 1.1 * nominal, 0.1, 1e-5)
        parameter = cy.CyFlexibleParameter(law, constant(), cy.CyProjection("keep_q", 1.0, 1e-5), 2000, -3000, 3000)
        start = np.append(voltages, 0).astype(np.complex128)
        z = np.diag(np.full(self.ports, 0.2 + 0.1j)).astype(np.complex128)
        source_bus, self.bus = cy.CyBus(self.ports, start), cy.CyBus(self.ports, start.copy())
        source, reference = cy.CyVoltageSource(self.ports, voltages), cy.CyPotentialRef()
        self.line = cy.CySimplifiedLine(self.ports, z.ravel())
        setpoints = carr(*[setpoint] * self.branches)
        laws = parameters(*[parameter] * self.branches)
        if self.star:
            self.load = cy.CyFlexibleLoad(self.ports, setpoints, laws)
        else:
            self.load = cy.CyDeltaFlexibleLoad(self.branches, setpoints, laws)
        self.load_ports = self.ports if self.star else self.branches
        joined = [(i, i) for i in range(self.ports)]
        source_bus.connect(source, joined)
        source_bus.connect(reference, [(self.ports - 1, 0)])
        self.line.connect_side(source_bus, joined, True)
        self.line.connect_side(self.bus, joined, False)
        self.bus.connect(self.load, joined[:self.load_ports])
        elements = [source_bus, source, reference, self.line, self.bus, self.load]
        self.network = cy.CyElectricalNetwork(object_array(elements), len(elements))

    def load_voltages(self):
        """The voltage of each phase (to the neutral) or branch (port i to port i + 1)."""
        v = self.bus.get_potentials(self.ports)
        return v[:1] - v[1] if self.star else v[:3] - np.roll(v[:3], -1)


@pytest.mark.parametrize("kind", ["star", "delta"])
@pytest.mark.parametrize("first, second", [(-3000 + 1000j, 3000 + 1000j), (3000 + 1000j, -3000 + 1000j)],
                         ids=["production to consumption", "consumption to production"])
def test_keep_q_follows_a_setpoint_update_across_zero_on_the_same_tape(kind, first, second):
    f = KeepQFeeder(kind, first)
    solver = cy.CyNewton(f.network, False)
    for setpoint in (first, second):
        f.load.update_powers(carr(*[setpoint] * f.branches))
        iterations, error = solver.solve_load_flow(20, 1e-8)
        assert error <= 1e-8
        # Kirchhoff at the load bus (the delta load has no neutral port), and the load draws the
        # powers it reports.
        _, line_side2 = f.line.get_side_currents(f.ports, f.ports)
        load_currents = np.zeros(f.ports, dtype=np.complex128)
        load_currents[:f.load_ports] = f.load.get_currents(f.load_ports)
        np.testing.assert_allclose(line_side2 + load_currents, 0, atol=1e-7)  # the residual tolerance
        powers = f.load.get_powers(f.load_ports)
        np.testing.assert_allclose(f.load_voltages() * np.conj(f.load.get_inner_currents(f.branches)), powers,
                                   rtol=1e-9)
        assert (np.sign(powers.real) == np.sign(setpoint.real)).all()


def test_update_parameters_reaches_the_law_before_and_after_linking():
    parameter = cy.CyFlexibleParameter(constant(), volt_var(), euclidean(), 5000, -2000, 2000)
    parameter.update_parameters(5000, -1000, 2000)
    assert parameter.compute_power(300, 100 + 50j) == pytest.approx(100 - 1000j, abs=1e-3)
    load = cy.CyFlexibleLoad(2, carr(100 + 50j), parameters(parameter))
    bus = cy.CyBus(2, carr(230, 0))
    bus.connect(load, [(0, 0), (1, 1)])
    cy.CyBackwardForward(cy.CyElectricalNetwork(object_array([bus, load]), 2))
    assert parameter.compute_power(300, 100 + 50j) == pytest.approx(100 - 1000j, abs=1e-3)
    parameter.update_parameters(5000, -1500, 2000)
    assert parameter.compute_power(300, 100 + 50j) == pytest.approx(100 - 1500j, abs=1e-3)


def test_a_bad_law_fails_the_newton_solver_and_leaves_the_network_usable():
    bad = cy.CyFlexibleParameter(volt_var(), constant(), euclidean(), 5, 0, 0)
    load = cy.CyFlexibleLoad(2, carr(1), parameters(bad))
    bus = cy.CyBus(2, carr(230, 0))
    bus.connect(load, [(0, 0), (1, 1)])
    network = cy.CyElectricalNetwork(object_array([bus, load]), 2)
    with pytest.raises(RuntimeError, match="^Bad control type for P$"):
        cy.CyNewton(network, False)
    with pytest.raises(RuntimeError, match="^Bad control type for P$"):
        load.get_powers(2)
    del network
    gc.collect()
    bad.update_parameters(6, 0, 0)


# ---------------------------------------------------------------------------------------------
# Lifetimes (each case would read freed memory without the references the objects keep; run
# under AddressSanitizer too)


def test_a_load_keeps_its_parameters_alive():
    expected = FlexibleFeeder()
    cy.CyNewton(expected.network(), False).solve_load_flow(50, 1e-9)

    feeder = FlexibleFeeder()
    network = feeder.network()
    del feeder.volt_watt, feeder.volt_var, feeder.elements
    gc.collect()
    solver = cy.CyNewton(network, False)
    solver.solve_load_flow(50, 1e-9)
    np.testing.assert_allclose(feeder.bus.get_potentials(4), expected.bus.get_potentials(4), rtol=1e-12)
    np.testing.assert_allclose(feeder.generator.get_powers(4), expected.generator.get_powers(4), rtol=1e-12)


def test_a_parameter_keeps_its_limits_once_its_solver_is_gone():
    feeder = FlexibleFeeder()
    cy.CyNewton(feeder.network(), False).solve_load_flow(50, 1e-9)
    parameter = feeder.volt_var
    expected = parameter.compute_power(400, 1000 + 100j)
    del feeder
    gc.collect()
    assert parameter.compute_power(400, 1000 + 100j) == expected
    parameter.update_parameters(1, 2, 3)


def test_whole_flexible_networks_are_collected():
    def alive():
        return sum(isinstance(o, (cy.CyElement, cy.CyFlexibleParameter, cy.CyAbstractSolver))
                   for o in gc.get_objects())

    gc.collect()
    before = alive()
    for _ in range(3):
        feeder = FlexibleFeeder()
        cy.CyNewton(feeder.network(), False).solve_load_flow(50, 1e-9)
        del feeder
    gc.collect()
    assert alive() == before
