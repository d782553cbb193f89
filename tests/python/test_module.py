"""Module start-up, type registration, pickling, immutability and subclassing."""
import copy
import importlib
import pickle
import sys

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from conftest import carr

# Registration order and bases of the types this module has.
TYPES = [
    ("CyElement", object),
    ("CyBranch", "CyElement"),
    ("CySwitch", "CyBranch"),
    ("CyOpenSwitch", "CyBranch"),
    ("CySimplifiedLine", "CyBranch"),
    ("CyShuntLine", "CyBranch"),
    ("CyBus", "CyElement"),
    ("CyLoad", "CyElement"),
    ("CyPowerLoad", "CyLoad"),
    ("CyDeltaPowerLoad", "CyLoad"),
    ("CyAdmittanceLoad", "CyLoad"),
    ("CyDeltaAdmittanceLoad", "CyLoad"),
    ("CyCurrentLoad", "CyLoad"),
    ("CyDeltaCurrentLoad", "CyLoad"),
    ("CyLoadBalancer", "CyLoad"),
    ("CyControl", object),
    ("CyProjection", object),
    ("CyFlexibleParameter", object),
    ("CyFlexibleLoad", "CyLoad"),
    ("CyDeltaFlexibleLoad", "CyLoad"),
    ("CyGround", "CyElement"),
    ("CyPotentialRef", "CyElement"),
    ("CyDeltaPotentialRef", "CyElement"),
    ("CyVoltageSource", "CyElement"),
    ("CyDeltaVoltageSource", "CyElement"),
    ("CyTransformer", "CyBranch"),
    ("CyThreePhaseTransformer", "CyTransformer"),
    ("CySingleTransformer", "CyTransformer"),
    ("CyCenterTransformer", "CyTransformer"),
    ("CyElectricalNetwork", object),
    ("CyAbstractSolver", object),
    ("CyAbstractNewton", "CyAbstractSolver"),
    ("CyNewton", "CyAbstractNewton"),
    ("CyNewtonGoldstein", "CyAbstractNewton"),
    ("CyBackwardForward", "CyAbstractSolver"),
]
ABSTRACT = ["CyElement", "CyBranch", "CyLoad", "CyTransformer", "CyAbstractSolver", "CyAbstractNewton"]

def flexible_parameter():
    control = cy.CyControl("constant", 0, 0, 0, 0, 0, 0)
    return cy.CyFlexibleParameter(control, control, cy.CyProjection("euclidean", 0, 0), 1, 0, 0)


def flexible_parameters(n):
    array = np.empty(n, dtype=object)
    array[:] = [flexible_parameter()] * n
    return array


# One way to build each concrete type.
CONCRETE = {
    "CySwitch": lambda: cy.CySwitch(3),
    "CyOpenSwitch": lambda: cy.CyOpenSwitch(3),
    "CySimplifiedLine": lambda: cy.CySimplifiedLine(1, carr(1)),
    "CyShuntLine": lambda: cy.CyShuntLine(1, carr(1j), carr(1)),
    "CyBus": lambda: cy.CyBus(2, carr(1, 2)),
    "CyPowerLoad": lambda: cy.CyPowerLoad(2, carr(1)),
    "CyDeltaPowerLoad": lambda: cy.CyDeltaPowerLoad(2, carr(1, 2)),
    "CyAdmittanceLoad": lambda: cy.CyAdmittanceLoad(2, carr(1)),
    "CyDeltaAdmittanceLoad": lambda: cy.CyDeltaAdmittanceLoad(2, carr(1, 2)),
    "CyCurrentLoad": lambda: cy.CyCurrentLoad(2, carr(1)),
    "CyDeltaCurrentLoad": lambda: cy.CyDeltaCurrentLoad(2, carr(1, 2)),
    "CyLoadBalancer": lambda: cy.CyLoadBalancer(1j, 0.1j, 2.0),
    "CyControl": lambda: cy.CyControl("constant", 0, 0, 0, 0, 0, 0),
    "CyProjection": lambda: cy.CyProjection("euclidean", 0, 0),
    "CyFlexibleParameter": lambda: flexible_parameter(),
    "CyFlexibleLoad": lambda: cy.CyFlexibleLoad(2, carr(1), flexible_parameters(1)),
    "CyDeltaFlexibleLoad": lambda: cy.CyDeltaFlexibleLoad(2, carr(1, 2), flexible_parameters(2)),
    "CyGround": lambda: cy.CyGround(),
    "CyPotentialRef": lambda: cy.CyPotentialRef(),
    "CyDeltaPotentialRef": lambda: cy.CyDeltaPotentialRef(3),
    "CyVoltageSource": lambda: cy.CyVoltageSource(4, carr(1, 2, 3)),
    "CyDeltaVoltageSource": lambda: cy.CyDeltaVoltageSource(3, carr(1, 2)),
    "CyThreePhaseTransformer": lambda: cy.CyThreePhaseTransformer(3, 4, "D", "y", 0.01, 0, 0.5, 11),
    "CySingleTransformer": lambda: cy.CySingleTransformer(0.01, 0, 0.5),
    "CyCenterTransformer": lambda: cy.CyCenterTransformer(0.01, 0, 0.5),
    "CyElectricalNetwork": lambda: cy.CyElectricalNetwork(None, 0),
    "CyNewton": lambda: cy.CyNewton(cy.CyElectricalNetwork(None, 0), False),
    "CyNewtonGoldstein": lambda: cy.CyNewtonGoldstein(cy.CyElectricalNetwork(None, 0), False, 0.1, 0.9),
    "CyBackwardForward": lambda: cy.CyBackwardForward(cy.CyElectricalNetwork(None, 0)),
}
ELEMENT_ABSTRACT = ["CyElement", "CyBranch", "CyLoad", "CyTransformer"]


def test_types_are_registered_in_order_with_their_bases():
    names = [name for name in vars(cy) if name.startswith("Cy")]
    assert names == [name for name, _ in TYPES]
    for name, base in TYPES:
        t = getattr(cy, name)
        assert t.__module__ == "load_flow_engine.cy_engine"
        assert t.__name__ == name
        assert t.__bases__ == ((base,) if base is object else (getattr(cy, base),))
        assert t.__doc__ is None


def test_module_binds_numpy_and_the_logging_function():
    assert cy.__doc__ is None
    assert cy.np is np
    assert cy.cy_set_logging_config.__doc__ == "cy_set_logging_config(str severity)"
    assert [name for name in vars(cy) if not name.startswith("__") and not name.startswith("Cy")] == [
        "np", "cy_set_logging_config"]


def test_module_has_only_the_standard_dunder_attributes():
    # No test dictionary and no helper of the compiler's own.
    assert {name for name in vars(cy) if name.startswith("__")} == {
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"}


def test_import_again_returns_the_same_module_and_types():
    bus_type = cy.CyBus
    assert importlib.import_module("load_flow_engine.cy_engine") is cy
    del sys.modules["load_flow_engine.cy_engine"]
    again = importlib.import_module("load_flow_engine.cy_engine")
    assert again is cy
    assert again.CyBus is bus_type


def test_a_second_interpreter_cannot_load_the_module():
    interpreters = pytest.importorskip("_interpreters")
    # A legacy interpreter shares the main one's rules for extension modules, so the import
    # reaches the module's own check.
    iid = interpreters.create(interpreters.new_config("legacy"))
    try:
        failure = interpreters.exec(iid, "import load_flow_engine.cy_engine")
    finally:
        interpreters.destroy(iid)
    assert failure.type.__name__ == "ImportError"
    assert failure.msg == ("Interpreter change detected - this module can only be loaded into one "
                           "interpreter per process.")


@pytest.mark.parametrize("name", ABSTRACT)
def test_abstract_types_ignore_arguments(name):
    t = getattr(cy, name)
    t()
    t(1, 2, x=3)


@pytest.mark.parametrize("name", ELEMENT_ABSTRACT)
def test_abstract_instances_refuse_engine_calls(name):
    element = getattr(cy, name)()
    with pytest.raises(TypeError, match="abstract"):
        element.get_potentials(0)
    with pytest.raises(TypeError, match="abstract"):
        element.disconnect()
    with pytest.raises(TypeError, match="abstract"):
        cy.CyBus(1, carr(0)).connect(element, [])


def test_abstract_branch_and_load_refuse_their_own_calls():
    with pytest.raises(TypeError, match="abstract"):
        cy.CyBranch().get_side_potentials(0, 0)
    with pytest.raises(TypeError, match="abstract"):
        cy.CyBranch().connect_side(cy.CyGround(), [], True)
    with pytest.raises(TypeError, match="abstract"):
        cy.CyLoad().get_inner_currents(0)


@pytest.mark.parametrize("name", ABSTRACT)
def test_pickling_abstract_instances_names_the_pointer(name):
    obj = getattr(cy, name)()
    pointer = "element" if name in ELEMENT_ABSTRACT else "solver"
    for attempt in (pickle.dumps, copy.copy, lambda o: o.__reduce__()):
        with pytest.raises(TypeError, match=f"^self.{pointer} cannot be converted to a Python object for pickling$"):
            attempt(obj)


@pytest.mark.parametrize("name", sorted(CONCRETE))
def test_pickling_concrete_instances_is_refused(name):
    obj = CONCRETE[name]()
    for attempt in (pickle.dumps, copy.copy, lambda o: o.__reduce__(), lambda o: o.__setstate__(None)):
        with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
            attempt(obj)


@pytest.mark.parametrize("name", [name for name, _ in TYPES])
def test_types_are_immutable(name):
    t = getattr(cy, name)
    with pytest.raises(TypeError):
        t.extra = 1
    with pytest.raises(TypeError):
        del t.__reduce__


@pytest.mark.parametrize("name", sorted(CONCRETE))
def test_instances_have_no_attribute_dictionary(name):
    obj = CONCRETE[name]()
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        import weakref
        weakref.ref(obj)


def test_a_python_subclass_takes_the_constructor_arguments():
    class Bus(cy.CyBus):
        def total(self):
            return self.get_potentials(3).sum()

    bus = Bus(3, carr(1, 2, 3))
    assert bus.total() == 6
    with pytest.raises(TypeError, match=r"__cinit__\(\) takes exactly 2 positional arguments \(0 given\)"):
        Bus()


def test_a_failing_constructor_leaves_no_object():
    class Source(cy.CyVoltageSource):
        built = 0

        def __init__(self, *args):
            Source.built += 1

    with pytest.raises(RuntimeError, match="^vector::reserve$"):
        Source(0, None)
    assert Source.built == 0


def test_deallocation_keeps_a_propagating_exception():
    def fails():
        bus = cy.CyBus(2, carr(1, 2))
        raise KeyError("kept")

    with pytest.raises(KeyError, match="kept"):
        fails()


DOCSTRINGS = {
    "CyElement.connect": "CyElement.connect(self, CyElement cy_element, connections)",
    "CyElement.connect_ports": "CyElement.connect_ports(self, int[::1] ports)",
    "CyElement.disconnect": "CyElement.disconnect(self)",
    "CyElement.get_potentials": "CyElement.get_potentials(self, int n)",
    "CyElement.get_currents": "CyElement.get_currents(self, int n)",
    "CyElement.get_port_potential": "CyElement.get_port_potential(self, int index)",
    "CyElement.get_port_current": "CyElement.get_port_current(self, int index)",
    "CyBranch.connect_side": "CyBranch.connect_side(self, CyElement element, connections, bool beginning)",
    "CyBranch.get_side_potentials": "CyBranch.get_side_potentials(self, int n1, int n2)",
    "CyBranch.get_side_currents": "CyBranch.get_side_currents(self, int n1, int n2)",
    "CySimplifiedLine.update_line_parameters": "CySimplifiedLine.update_line_parameters(self, double complex[::1] z_line)",
    "CyShuntLine.update_line_parameters":
        "CyShuntLine.update_line_parameters(self, double complex[::1] y_shunt, double complex[::1] z_line)",
    "CyLoad.get_inner_currents": "CyLoad.get_inner_currents(self, int size)",
    "CyPowerLoad.update_powers": "CyPowerLoad.update_powers(self, double complex[::1] powers)",
    "CyDeltaPowerLoad.update_powers": "CyDeltaPowerLoad.update_powers(self, double complex[::1] powers)",
    "CyAdmittanceLoad.update_admittances":
        "CyAdmittanceLoad.update_admittances(self, double complex[::1] admittances)",
    "CyDeltaAdmittanceLoad.update_admittances":
        "CyDeltaAdmittanceLoad.update_admittances(self, double complex[::1] admittances)",
    "CyCurrentLoad.update_currents": "CyCurrentLoad.update_currents(self, double complex[::1] currents)",
    "CyDeltaCurrentLoad.update_currents": "CyDeltaCurrentLoad.update_currents(self, double complex[::1] currents)",
    "CyFlexibleParameter.update_parameters":
        "CyFlexibleParameter.update_parameters(self, double s_max, double q_min, double q_max)",
    "CyFlexibleParameter.compute_power": "CyFlexibleParameter.compute_power(self, double x, double complex s_th)",
    "CyFlexibleLoad.update_powers": "CyFlexibleLoad.update_powers(self, double complex[::1] powers)",
    "CyFlexibleLoad.get_powers": "CyFlexibleLoad.get_powers(self, int n)",
    "CyDeltaFlexibleLoad.update_powers": "CyDeltaFlexibleLoad.update_powers(self, double complex[::1] powers)",
    "CyDeltaFlexibleLoad.get_powers": "CyDeltaFlexibleLoad.get_powers(self, int n)",
    "CyBus.initialize_potentials": "CyBus.initialize_potentials(self, double complex[::1] potentials)",
    "CyPotentialRef.get_current": "CyPotentialRef.get_current(self)",
    "CyDeltaPotentialRef.get_current": "CyDeltaPotentialRef.get_current(self)",
    "CyVoltageSource.update_voltages": "CyVoltageSource.update_voltages(self, double complex[::1] voltages)",
    "CyDeltaVoltageSource.update_voltages": "CyDeltaVoltageSource.update_voltages(self, double complex[::1] voltages)",
    "CyTransformer.update_transformer_parameters":
        "CyTransformer.update_transformer_parameters(self, double complex z2, double complex ym, double complex k)",
    "CyTransformer.compute_open_circuit_parameters":
        "CyTransformer.compute_open_circuit_parameters(self, double uhv, double ulv, double sn)",
    "CyTransformer.compute_short_circuit_parameters":
        "CyTransformer.compute_short_circuit_parameters(self, double uhv, double ulv, double sn)",
    "CyAbstractSolver.solve_load_flow": "CyAbstractSolver.solve_load_flow(self, int max_iterations, double tolerance)",
    "CyAbstractSolver.reset_inputs": "CyAbstractSolver.reset_inputs(self)",
    "CyAbstractSolver.get_variables": "CyAbstractSolver.get_variables(self)",
    "CyAbstractSolver.set_variables": "CyAbstractSolver.set_variables(self, double[::1] variables)",
    "CyAbstractNewton.save_matrix": "CyAbstractNewton.save_matrix(self, string prefix)",
    "CyAbstractNewton.analyse_jacobian": "CyAbstractNewton.analyse_jacobian(self)",
    "CyAbstractNewton.get_jacobian": "CyAbstractNewton.get_jacobian(self)",
    "CyAbstractNewton.get_residuals": "CyAbstractNewton.get_residuals(self)",
    "CyNewtonGoldstein.update_params": "CyNewtonGoldstein.update_params(self, double m1, double m2)",
}


@pytest.mark.parametrize("method", sorted(DOCSTRINGS))
def test_docstring_is_the_signature_line(method):
    type_name, name = method.split(".")
    assert getattr(getattr(cy, type_name), name).__doc__ == DOCSTRINGS[method]


def test_types_do_not_expose_private_helpers():
    public = {name for name in dir(cy.CyBranch) if not name.startswith("__")}
    assert public == {"connect", "connect_ports", "disconnect", "get_potentials", "get_currents",
                      "get_port_potential", "get_port_current", "connect_side",
                      "get_side_potentials", "get_side_currents"}
