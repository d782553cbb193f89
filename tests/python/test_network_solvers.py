"""The network and solver types: construction, results, queries, logging configuration."""
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from conftest import carr, three_phase
from feeders import FOUR, NEWTONS, SOLVERS, Feeder, object_array


def source_network():
    """A source on a bus, its neutral on the reference."""
    bus = cy.CyBus(4, np.append(three_phase(), 0).astype(np.complex128))
    source = cy.CyVoltageSource(4, three_phase())
    reference = cy.CyPotentialRef()
    bus.connect(source, [(i, i) for i in range(4)])
    bus.connect(reference, [(3, 0)])
    return [bus, source, reference]


# -- Network --------------------------------------------------------------------------------------

@pytest.mark.parametrize("name", sorted(NEWTONS))
@pytest.mark.parametrize("elements", [None, object_array([])], ids=["None", "empty"])
def test_an_empty_network_has_no_unknowns(name, elements):
    solver = NEWTONS[name](cy.CyElectricalNetwork(elements, 0))
    assert solver.get_variables().shape == (0,)
    assert solver.get_jacobian().shape == (0, 0)
    assert solver.analyse_jacobian() == ([], [])
    # A tolerance that cannot be met runs every step, each with nothing to factorise.
    assert solver.solve_load_flow(5, -1.0) == (5, 0.0)


def test_a_network_uses_only_the_first_nb_elements():
    elements = source_network()
    floating = cy.CyBus(1, carr(0))
    solver = cy.CyNewton(cy.CyElectricalNetwork(object_array(elements + [floating]), 3), False)
    assert len(solver.get_variables()) == 12  # three phase nodes and three source currents
    assert solver.analyse_jacobian() == ([], [])


@pytest.mark.parametrize(
    "elements, nb, error, message",
    [
        (object_array([]), -1, RuntimeError, "^vector::reserve$"),
        (np.zeros(2), 2, ValueError, "^Buffer dtype mismatch, expected 'CyElement' but got 'double'$"),
        (np.zeros(1), "x", ValueError, "^Buffer dtype mismatch, expected 'CyElement' but got 'double'$"),
        (object_array([]), "x", TypeError, "^an integer is required$"),
        (object_array([]), 2**31, OverflowError, "^value too large to convert to int$"),
        (object_array([cy.CyGround()]), 2, ValueError, "^Array 'elements' has 1 items, 2 are needed$"),
        (None, 1, ValueError, "^Array 'elements' has 0 items, 1 are needed$"),
        (object_array([cy.CyGround(), 3]), 2, TypeError, r"^elements\[1\] has incorrect type .*got int\)$"),
        (np.empty(1, dtype=object), 1, TypeError, r"^elements\[0\] has incorrect type .*got NoneType\)$"),
        (object_array([cy.CyElement()]), 1, TypeError, "^CyElement is abstract"),
    ],
    ids=["negative", "float64", "array before count", "count not an int", "count beyond int", "short", "None",
         "wrong item", "empty slot", "abstract item"],
)
def test_network_arguments_are_checked(elements, nb, error, message):
    with pytest.raises(error, match=message):
        cy.CyElectricalNetwork(elements, nb)


def test_an_element_listed_twice_is_refused():
    ground = cy.CyGround()
    with pytest.raises(ValueError, match=r"^elements\[1\] is listed twice$"):
        cy.CyElectricalNetwork(object_array([ground, ground]), 2)


@pytest.mark.parametrize("make", [lambda n: cy.CyNewton(n, False), lambda n: cy.CyNewtonGoldstein(n, False, 0.1, 0.9),
                                  lambda n: cy.CyBackwardForward(n)], ids=["Newton", "Goldstein", "backward-forward"])
@pytest.mark.parametrize("network, got", [(5, "int"), (None, "NoneType")], ids=["int", "None"])
def test_solvers_need_a_network(make, network, got):
    with pytest.raises(TypeError, match=rf"^Argument 'network' has incorrect type \(expected "
                                        rf"load_flow_engine.cy_engine.CyElectricalNetwork, got {got}\)$"):
        make(network)


# -- Solver results --------------------------------------------------------------------------------

@pytest.mark.parametrize("name", sorted(SOLVERS))
def test_solve_returns_iterations_and_error(name):
    solver = SOLVERS[name](Feeder().network())
    iterations, error = solver.solve_load_flow(50, 1e-9)
    assert type(iterations) is int and type(error) is float
    assert error <= 1e-9 and 1 <= iterations < 50


def test_reaching_the_iteration_limit_is_no_error():
    solver = cy.CyNewton(Feeder().network(), False)
    iterations, error = solver.solve_load_flow(1, 1e-14)
    assert (type(iterations), type(error)) == (int, float)
    assert iterations == 1 and error > 1e-14


def test_backward_forward_reports_nan_until_a_sweep_leaves_finite_values():
    # No line: the first backward sweep meets the load at its start potential of 0 V, and the
    # forward sweep, in which no element reports a change, only then writes the source voltage.
    def source_and_load():
        elements = source_network()
        load = cy.CyPowerLoad(4, carr(1000 + 300j, 2000, 500j))
        elements[0].connect(load, [(i, i) for i in range(4)])
        elements[0].initialize_potentials(np.zeros(4, dtype=np.complex128))
        solver = cy.CyBackwardForward(cy.CyElectricalNetwork(object_array(elements + [load]), 4))
        return elements[1], load, solver

    _, load, solver = source_and_load()
    iterations, error = solver.solve_load_flow(1, 1e-9)
    assert iterations == 1 and np.isnan(error)
    assert not np.isfinite(load.get_currents(4)).all()

    source, load, solver = source_and_load()
    assert solver.solve_load_flow(10, 1e-9) == (2, 0.0)
    voltages = three_phase()
    np.testing.assert_allclose(voltages * np.conj(load.get_currents(3)), [1000 + 300j, 2000, 500j])
    np.testing.assert_array_equal(source.get_currents(3), -load.get_currents(3))


def load_on_the_reference():
    """A source, and a constant-power load between the reference and itself: infinite currents on
    a node that has no residual."""
    bus, source, reference = cy.CyBus(2, carr(230, 0)), cy.CyVoltageSource(2, carr(230)), cy.CyPotentialRef()
    load = cy.CyPowerLoad(2, carr(1000 + 100j))
    bus.connect(source, [(0, 0), (1, 1)])
    bus.connect(reference, [(1, 0)])
    reference.connect(load, [(0, 0), (0, 1)])
    return [bus, source, reference, load], load


def nan_start_alone():
    """A bus whose NaN start potential is alone on its node: its residual is zero."""
    bus = cy.CyBus(1, carr(complex("nan")))
    return [bus], bus


def volt_watt_without_smoothing():
    """A Volt-Watt law with epsilon 0 behind a line: the tape folds 0 times infinity to 0, the
    plain arithmetic gives NaN."""
    source_bus, load_bus = cy.CyBus(2, carr(230, 0)), cy.CyBus(2, carr(230, 0))
    source, reference = cy.CyVoltageSource(2, carr(230)), cy.CyPotentialRef()
    line = cy.CySimplifiedLine(2, carr(0.2 + 0.1j, 0, 0, 0.2 + 0.1j))
    law = cy.CyControl("p_max_u_production", 0, 0, 240, 253, 100, 0.0)
    constant = cy.CyControl("constant", 0, 0, 0, 0, 0, 0)
    parameter = cy.CyFlexibleParameter(law, constant, cy.CyProjection("euclidean", 100, 1e-5), 5000, 0, 0)
    load = cy.CyFlexibleLoad(2, carr(1000), object_array([parameter]))
    source_bus.connect(source, [(0, 0), (1, 1)])
    source_bus.connect(reference, [(1, 0)])
    line.connect_side(source_bus, [(0, 0), (1, 1)], True)
    line.connect_side(load_bus, [(0, 0), (1, 1)], False)
    load_bus.connect(load, [(0, 0), (1, 1)])
    return [source_bus, source, reference, line, load_bus, load], load


@pytest.mark.parametrize("name", sorted(NEWTONS))
@pytest.mark.parametrize("build", [load_on_the_reference, nan_start_alone, volt_watt_without_smoothing],
                         ids=["load on the reference", "NaN start alone", "Volt-Watt without smoothing"])
def test_newton_reports_nan_for_results_that_are_not_finite(name, build):
    elements, suspect = build()
    network = cy.CyElectricalNetwork(object_array(elements), len(elements))
    iterations, error = NEWTONS[name](network).solve_load_flow(20, 1e-8)
    # The residuals met the tolerance (the loop stopped early), but the values are unusable.
    assert iterations < 20 and np.isnan(error)
    ports = 1 if isinstance(suspect, cy.CyBus) else 2
    values = np.append(suspect.get_currents(ports), suspect.get_potentials(ports))
    assert not np.isfinite(values).all()


def island_of_current_loads():
    """An island behind an open switch that only a reference holds, with constant-current loads:
    no solution. Newton drives its phases to about 1e169 V, where the recorded modulus overflows
    and the recorded currents read zero while the plain ones keep their magnitudes."""
    source_side = source_network()
    switch = cy.CyOpenSwitch(4)
    bus = cy.CyBus(4, carr(223.58461485319728 - 4.479518026056447j, -115.497980662492 - 196.79851011521384j,
                           -112.75993240229917 + 201.3900929734437j, 0))
    switch.connect_side(source_side[0], FOUR, True)
    switch.connect_side(bus, FOUR, False)
    reference = cy.CyPotentialRef()
    bus.connect(reference, [(3, 0)])
    star = cy.CyCurrentLoad(4, carr(27.88910235859918 + 25.296173105099918j, 16.761194211901092 - 16.39260870013092j,
                                    24.092594773024608 - 4.8034428927603905j))
    delta = cy.CyDeltaCurrentLoad(3, carr(26.44787988947862 - 22.49989008970724j,
                                          10.127057778137704 - 26.022089668802707j,
                                          5.522567599076993 - 29.659647944871402j))
    bus.connect(star, FOUR)
    bus.connect(delta, [(0, 0), (1, 1), (2, 2)])
    elements = source_side + [switch, bus, reference, star, delta]
    return cy.CyElectricalNetwork(object_array(elements), len(elements)), star, delta


@pytest.mark.parametrize("name", sorted(NEWTONS))
def test_newton_reports_the_plain_kirchhoff_sums_when_the_recorded_ones_vanish(name):
    network, star, delta = island_of_current_loads()
    solver = NEWTONS[name](network)
    iterations, error = solver.solve_load_flow(20, 1e-9)
    # The recorded residuals met the tolerance before the limit ...
    assert iterations < 20 and np.abs(solver.get_residuals()).max() <= 1e-9
    # ... but the plain currents at the island's phase nodes sum to tens of amperes.
    sums = star.get_currents(4)[:3] + delta.get_currents(3)
    assert error == pytest.approx(np.abs(np.concatenate([sums.real, sums.imag])).max(), rel=1e-12)
    assert error > 10


@pytest.mark.parametrize("name", sorted(NEWTONS))
def test_a_converged_feeder_keeps_its_recorded_error(name):
    solver = NEWTONS[name](Feeder().network())
    iterations, error = solver.solve_load_flow(20, 1e-10)
    assert iterations > 0 and error <= 1e-10
    assert error == np.abs(solver.get_residuals()).max()


@pytest.mark.parametrize("name", sorted(SOLVERS))
def test_variables_round_trip_and_reset(name):
    solver = SOLVERS[name](Feeder().network())
    start = solver.get_variables()
    assert start.dtype == np.float64 and start.ndim == 1
    solver.solve_load_flow(50, 1e-9)
    solved = solver.get_variables()
    assert not np.array_equal(start, solved)
    solver.reset_inputs()
    np.testing.assert_array_equal(solver.get_variables(), start)
    solver.set_variables(solved)
    np.testing.assert_array_equal(solver.get_variables(), solved)
    iterations, _ = solver.solve_load_flow(50, 1e-9)
    assert iterations <= 1


def test_set_variables_moves_what_the_elements_read():
    feeder = Feeder()
    solver = cy.CyNewton(feeder.network(), False)
    variables = solver.get_variables()
    variables[0:2] = [1.5, -2.5]  # the first node: phase a of the source bus
    solver.set_variables(variables)
    assert feeder.source_bus.get_port_potential(0) == 1.5 - 2.5j


@pytest.mark.parametrize("variables", [None, np.zeros(3)], ids=["None", "short"])
def test_set_variables_refuses_short_arrays(variables):
    solver = cy.CyNewton(Feeder().network(), False)
    k = len(solver.get_variables())
    with pytest.raises(ValueError, match=f"has {0 if variables is None else 3} items, {k} are needed"):
        solver.set_variables(variables)


@pytest.mark.parametrize("name", sorted(NEWTONS))
def test_jacobian_and_residuals_have_the_size_of_the_unknowns(name):
    solver = NEWTONS[name](Feeder().network())
    k = len(solver.get_variables())
    jacobian = solver.get_jacobian()
    assert jacobian.dtype == np.float64 and jacobian.shape == (k, k)
    assert jacobian.base is not None and jacobian.base.shape == (k * k,)
    assert np.shares_memory(jacobian, jacobian.base)
    residuals = solver.get_residuals()
    assert residuals.dtype == np.float64 and residuals.shape == (k,)


def test_residuals_and_jacobian_agree_with_finite_differences():
    solver = cy.CyNewton(Feeder().network(), False)
    solver.solve_load_flow(2, 1e-9)
    x = solver.get_variables()
    jacobian = solver.get_jacobian()
    step = 1e-6
    for j in (0, 5, len(x) - 1):
        shifted = x.copy()
        shifted[j] += step
        solver.set_variables(shifted)
        plus = solver.get_residuals()
        shifted[j] -= 2 * step
        solver.set_variables(shifted)
        minus = solver.get_residuals()
        np.testing.assert_allclose((plus - minus) / (2 * step), jacobian[:, j], rtol=1e-5, atol=1e-6)
    solver.set_variables(x)


@pytest.mark.parametrize("name", sorted(NEWTONS))
def test_a_well_posed_network_has_nothing_to_analyse(name):
    solver = NEWTONS[name](Feeder().network())
    assert solver.analyse_jacobian() == ([], [])


def test_analysis_names_the_element_of_a_floating_node():
    feeder = Feeder()
    elements = feeder.elements + [cy.CyBus(1, carr(0))]
    solver = cy.CyNewton(cy.CyElectricalNetwork(object_array(elements), len(elements)), False)
    assert solver.analyse_jacobian() == ([len(elements) - 1], [])


def test_analysis_names_the_element_behind_nan_rows():
    feeder = Feeder()
    feeder.bus2.initialize_potentials(carr(0, 0, 0, 0))  # the delta load divides by zero
    cy.cy_set_logging_config("off")
    solver = cy.CyNewton(feeder.network(), False)
    empty, nan = solver.analyse_jacobian()
    assert empty == [] and nan == [feeder.elements.index(feeder.delta)]


def read_matrix_market(path):
    lines = path.read_text().splitlines()
    return lines[0], [int(v) for v in lines[1].split()], [line.split() for line in lines[2:]]


@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
def test_save_matrix_writes_the_jacobian_and_the_residuals(tmp_path, as_bytes):
    solver = cy.CyNewton(Feeder().network(), False)
    solver.solve_load_flow(1, 1e-9)
    prefix = str(tmp_path / "j")
    assert solver.save_matrix(prefix.encode() if as_bytes else prefix) is None
    header, size, entries = read_matrix_market(tmp_path / "j.mtx")
    k = len(solver.get_variables())
    assert header == "%%MatrixMarket matrix coordinate  real general"
    assert size == [k, k, len(entries)]
    dense = np.zeros((k, k))
    for row, column, value in entries:
        dense[int(row) - 1, int(column) - 1] = float(value)
    np.testing.assert_array_equal(dense, solver.get_jacobian())
    header, size, values = read_matrix_market(tmp_path / "j_b.mtx")
    assert header == "%%MatrixMarket matrix array real general" and size == [k, 1]
    np.testing.assert_array_equal([float(v[0]) for v in values], solver.get_residuals())


def test_save_matrix_into_a_missing_directory_writes_nothing(tmp_path):
    cy.CyNewton(Feeder().network(), False).save_matrix(str(tmp_path / "missing" / "j"))
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("prefix", ["j\x00x", b"j\x00x", "\x00"], ids=["str", "bytes", "only NUL"])
def test_save_matrix_refuses_a_prefix_with_a_nul_before_writing(tmp_path, prefix):
    # The file system would cut both paths at the NUL: the residuals would replace the Jacobian.
    full = (str(tmp_path) + "/").encode() + prefix if isinstance(prefix, bytes) else str(tmp_path / prefix)
    with pytest.raises(ValueError, match="^embedded null character$"):
        cy.CyNewton(Feeder().network(), False).save_matrix(full)
    assert list(tmp_path.iterdir()) == []


def test_save_matrix_with_nan_residuals_does_not_end_the_process(tmp_path):
    # The export's evaluation meets NaN residuals; the library's default handler would end the
    # interpreter in a checked build.
    code = f'''
import numpy as np
import load_flow_engine.cy_engine as cy
from feeders import Feeder
cy.cy_set_logging_config("off")
feeder = Feeder()
feeder.bus2.initialize_potentials(np.zeros(4, dtype=np.complex128))
cy.CyNewton(feeder.network(), False).save_matrix({str(tmp_path / "nan")!r})
print("alive")
'''
    package_root = os.path.dirname(os.path.dirname(cy.__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([package_root, os.path.dirname(__file__)]))
    run = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.strip().endswith("alive")
    assert (tmp_path / "nan.mtx").exists()


def test_goldstein_parameters_change_the_next_solve():
    def first_step(solver):
        solver.solve_load_flow(1, 1e-9)
        return solver.get_variables()

    # m1 = 1, m2 = 0 accept no step length: the search ends on its tenth trial, far from the full
    # step that (0.1, 0.9) accepts.
    updated = cy.CyNewtonGoldstein(Feeder().network(), False, 0.1, 0.9)
    assert updated.update_params(1.0, 0.0) is None
    built_so = first_step(cy.CyNewtonGoldstein(Feeder().network(), False, 1.0, 0.0))
    np.testing.assert_array_equal(first_step(updated), built_so)
    assert not np.allclose(first_step(cy.CyNewtonGoldstein(Feeder().network(), False, 0.1, 0.9)), built_so)
    assert not hasattr(cy.CyNewton, "update_params")


# -- Abstract solvers --------------------------------------------------------------------------

@pytest.mark.parametrize(
    "call",
    [lambda: cy.CyAbstractSolver().solve_load_flow(1, 1.0), lambda: cy.CyAbstractSolver().get_variables(),
     lambda: cy.CyAbstractSolver().set_variables(None), lambda: cy.CyAbstractSolver().reset_inputs(),
     lambda: cy.CyAbstractNewton().get_jacobian(), lambda: cy.CyAbstractNewton().get_residuals(),
     lambda: cy.CyAbstractNewton().analyse_jacobian(), lambda: cy.CyAbstractNewton().save_matrix("x")],
    ids=["solve", "get", "set", "reset", "jacobian", "residuals", "analyse", "save"],
)
def test_abstract_solvers_refuse_engine_calls(call):
    with pytest.raises(TypeError, match="is abstract and holds no engine solver"):
        call()


def test_newton_methods_do_not_apply_to_other_solvers():
    solver = cy.CyBackwardForward(Feeder().network())
    with pytest.raises(TypeError):
        cy.CyAbstractNewton.get_jacobian(solver)


# -- Logging configuration -------------------------------------------------------------------

@pytest.mark.parametrize("severity", ["trace", "debug", "info", "warning", "error", "critical", "off"])
def test_logging_accepts_the_severity_names(severity):
    assert cy.cy_set_logging_config(severity) is None
    cy.cy_set_logging_config("off")


@pytest.mark.parametrize("severity", ["INFO", "warn", " info", ""])
def test_logging_refuses_other_names(severity):
    with pytest.raises(RuntimeError) as failure:
        cy.cy_set_logging_config(severity)
    assert str(failure.value) == f"Unknown severity string {severity}."


def test_debug_level_shows_the_tape_statistics(capfd):
    cy.cy_set_logging_config("debug")
    try:
        cy.CyNewton(Feeder().network(), True)
    finally:
        cy.cy_set_logging_config("off")
    out = capfd.readouterr().out
    assert re.search(r"^\S+ \S+ debug ----- Tape evaluation -----$", out, re.M)
    assert out.count("Number of tape operators:") == 2
    cy.CyNewton(Feeder().network(), True)
    assert capfd.readouterr().out == ""


class Text(str):
    pass


@pytest.mark.parametrize("severity, got", [(b"info", "bytes"), (None, "NoneType"), (Text("info"), "Text")])
def test_logging_needs_exactly_a_str(severity, got):
    with pytest.raises(TypeError, match=rf"^Argument 'severity' has incorrect type \(expected str, got {got}\)$"):
        cy.cy_set_logging_config(severity)


# -- Failed solves ----------------------------------------------------------------------------

def test_a_floating_node_makes_the_newton_solve_fail_with_a_numerical_error():
    feeder = Feeder()
    elements = feeder.elements + [cy.CyBus(1, carr(0))]
    solver = cy.CyNewton(cy.CyElectricalNetwork(object_array(elements), len(elements)), False)
    with pytest.raises(RuntimeError, match="^1 Decomposition failed, singular matrix at iteration 0. $"):
        solver.solve_load_flow(10, 1e-9)


def test_a_zero_load_voltage_fails_with_nan_and_the_solver_stays_usable():
    feeder = Feeder()
    start = feeder.bus2.get_potentials(4)
    feeder.bus2.initialize_potentials(carr(0, 0, 0, 0))
    solver = cy.CyNewton(feeder.network(), False)
    with pytest.raises(RuntimeError, match="^1 NaN value encountered at iteration 0. $"):
        solver.solve_load_flow(10, 1e-9)
    feeder.bus2.initialize_potentials(start)
    assert solver.solve_load_flow(10, 1e-9)[1] <= 1e-9


@pytest.mark.parametrize("flag", [[], 0, "", None, [1], "yes"])
def test_optimize_tape_takes_the_truth_value(flag):
    assert cy.CyNewton(Feeder().network(), flag).solve_load_flow(10, 1e-9)[1] <= 1e-9
