"""Argument binding, conversions, array arguments, result arrays and exception translation."""
import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from conftest import carr


class Index:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class BadIndex:
    def __int__(self):
        return "3"


@pytest.mark.parametrize("n, ports", [(3.9, 3), (True, 1), (Index(2), 2)], ids=["float", "bool", "__int__"])
def test_int_parameters_accept_what_converts(n, ports):
    assert len(cy.CyDeltaPotentialRef(n).get_potentials(ports)) == ports


@pytest.mark.parametrize(
    "n, error, message",
    [
        ("3", TypeError, "^an integer is required$"),
        (None, TypeError, "^an integer is required$"),
        (2**31, OverflowError, "^value too large to convert to int$"),
        (-2**31 - 1, OverflowError, "^value too large to convert to int$"),
        (BadIndex(), TypeError, r"^__int__ returned non-int \(type str\)$"),
    ],
    ids=["str", "None", "above", "below", "bad __int__"],
)
def test_int_parameters_refuse_what_does_not(n, error, message):
    with pytest.raises(error, match=message):
        cy.CyDeltaPotentialRef(n)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: cy.CyBus(), r"^__cinit__\(\) takes exactly 2 positional arguments \(0 given\)$"),
        (lambda: cy.CyBus(1), r"^__cinit__\(\) takes exactly 2 positional arguments \(1 given\)$"),
        (lambda: cy.CyBus(1, None, 3), r"^__cinit__\(\) takes exactly 2 positional arguments \(3 given\)$"),
        (lambda: cy.CyDeltaPotentialRef(), r"^__cinit__\(\) takes exactly 1 positional argument \(0 given\)$"),
        (lambda: cy.CyBus(1, n=1), r"^__cinit__\(\) got multiple values for keyword argument 'n'$"),
        (lambda: cy.CyBus(1, None, x=1), r"^__cinit__\(\) got an unexpected keyword argument 'x'$"),
        (lambda: cy.CyBus(potentials=None), r"^__cinit__\(\) takes exactly 2 positional arguments \(0 given\)$"),
        (lambda: cy.CyBus(2, carr(1, 2)).connect(1, 2, 3),
         r"^connect\(\) takes exactly 2 positional arguments \(3 given\)$"),
        (lambda: cy.CyBus(2, carr(1, 2)).disconnect(1),
         r"^disconnect\(\) takes exactly 0 positional arguments \(1 given\)$"),
        (lambda: cy.CyBus(2, carr(1, 2)).disconnect(x=1),
         r"^disconnect\(\) got an unexpected keyword argument 'x'$"),
        (lambda: cy.CyBus(2, carr(1, 2)).get_potentials(2, n=2),
         r"^get_potentials\(\) got multiple values for keyword argument 'n'$"),
    ],
    ids=["none", "one", "three", "singular", "duplicate", "unexpected", "missing first",
         "method count", "no parameters", "no parameters keyword", "method duplicate"],
)
def test_argument_binding_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_parameters_can_be_given_by_name_in_any_order():
    bus = cy.CyBus(potentials=carr(1, 2), n=2)
    assert list(bus.get_potentials(n=2)) == [1, 2]
    other = cy.CyBus(2, carr(0, 0))
    bus.connect(connections=[(0, 1)], cy_element=other)
    assert other.get_port_potential(index=1) == 1


@pytest.mark.parametrize(
    "connections",
    [[(0, 0), (1, 1)], ((0, 0), [1, 1]), (pair for pair in [(0, 0), (1, 1)]), [iter((0, 0)), iter([1, 1])]],
    ids=["list of tuples", "tuple of tuple and list", "generator", "iterators"],
)
def test_connections_accept_any_iterable_of_pairs(connections):
    bus = cy.CyBus(2, carr(5, 6))
    other = cy.CyBus(2, carr(0, 0))
    bus.connect(other, connections)
    assert list(other.get_potentials(2)) == [5, 6]


@pytest.mark.parametrize(
    "connections, error, message",
    [
        ([(0, 0, 0)], ValueError, r"^too many values to unpack \(expected 2\)$"),
        ([(0,)], ValueError, "^need more than 1 value to unpack$"),
        ([()], ValueError, "^need more than 0 values to unpack$"),
        ([iter((0, 0, 0))], ValueError, r"^too many values to unpack \(expected 2\)$"),
        (5, TypeError, "not iterable"),
        ([("a", 0)], TypeError, "an integer is required"),
    ],
    ids=["three", "one", "none", "long iterator", "not iterable", "not an int"],
)
def test_connections_refuse_malformed_pairs(connections, error, message):
    with pytest.raises(error, match=message):
        cy.CyBus(1, carr(0)).connect(cy.CyBus(1, carr(0)), connections)


def test_the_element_type_is_checked_before_the_connections():
    with pytest.raises(TypeError, match=r"^Argument 'cy_element' has incorrect type \(expected "
                                        r"load_flow_engine.cy_engine.CyElement, got int\)$"):
        cy.CyBus(1, carr(0)).connect(1, 5)


def test_none_is_refused_for_an_element_argument():
    with pytest.raises(TypeError, match=r"^Argument 'cy_element' has incorrect type \(expected "
                                        r"load_flow_engine.cy_engine.CyElement, got NoneType\)$"):
        cy.CyBus(1, carr(0)).connect(None, [(0, 0)])


class Refusal(Exception):
    pass


class NoTruth:
    def __bool__(self):
        raise Refusal


def empty_network():
    return cy.CyElectricalNetwork(None, 0)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: cy.CyNewton(empty_network(), False).solve_load_flow(1, "x"), TypeError, "real number"),
        (lambda: cy.CyNewtonGoldstein(empty_network(), False, 0.1, None), TypeError, "real number"),
        (lambda: cy.CyNewton(empty_network(), NoTruth()), Refusal, None),
        # The truth value is taken before the network's type is checked.
        (lambda: cy.CyNewton(None, NoTruth()), Refusal, None),
        (lambda: cy.CyNewton(empty_network(), False).save_matrix(5), TypeError, "bytes"),
        (lambda: cy.CyNewton(empty_network(), False).save_matrix("\udc80"), UnicodeEncodeError, "utf-8"),
    ],
    ids=["double", "double None", "bool", "bool before type check", "string", "string not encodable"],
)
def test_scalar_conversions_raise_the_interpreters_errors(call, error, message):
    with pytest.raises(error, match=message):
        call()


strided = np.zeros(6, dtype=np.complex128)[::2]
readonly = np.zeros(3, dtype=np.complex128)
readonly.flags.writeable = False


@pytest.mark.parametrize(
    "array, error, message",
    [
        (np.zeros(3), ValueError, "^Buffer dtype mismatch, expected 'double complex' but got 'double'$"),
        (np.zeros(3, dtype=np.complex64), ValueError,
         "^Buffer dtype mismatch, expected 'double complex' but got 'complex float'$"),
        (np.zeros((1, 3), dtype=np.complex128), ValueError,
         r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"),
        ([1, 2, 3], TypeError, None),
        (strided, ValueError, None),
        (readonly, ValueError, None),
    ],
    ids=["float64", "complex64", "2-d", "list", "strided", "read-only"],
)
def test_complex_array_parameters_refuse_other_buffers(array, error, message):
    with pytest.raises(error, match=message):
        cy.CyBus(3, array)


def test_int_array_parameters_refuse_int64():
    with pytest.raises(ValueError, match="^Buffer dtype mismatch, expected 'int' but got 'long'$"):
        cy.CyBus(2, carr(0, 0)).connect_ports(np.array([0, 1], dtype=np.int64))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: cy.CyBus(3, carr(1, 2)), "^Array 'potentials' has 2 items, 3 are needed$"),
        (lambda: cy.CyBus(1, None), "^Array 'potentials' has 0 items, 1 are needed$"),
        (lambda: cy.CyVoltageSource(4, carr(1, 2)), "^Array 'voltages' has 2 items, 3 are needed$"),
        (lambda: cy.CyDeltaVoltageSource(3, None), "^Array 'voltages' has 0 items, 2 are needed$"),
        (lambda: cy.CyBus(2, carr(1, 2)).initialize_potentials(carr(1)),
         "^Array 'potentials' has 1 items, 2 are needed$"),
        (lambda: cy.CyVoltageSource(3, carr(1, 2)).update_voltages(None),
         "^Array 'voltages' has 0 items, 2 are needed$"),
        (lambda: cy.CyDeltaVoltageSource(3, carr(1, 2)).update_voltages(carr(1)),
         "^Array 'voltages' has 1 items, 2 are needed$"),
        (lambda: cy.CySimplifiedLine(2, carr(1, 0, 0)), "^Array 'z_line' has 3 items, 4 are needed$"),
        (lambda: cy.CySimplifiedLine(1, carr(1)).update_line_parameters(None),
         "^Array 'z_line' has 0 items, 1 are needed$"),
        (lambda: cy.CyPowerLoad(4, carr(1, 2)), "^Array 'powers' has 2 items, 3 are needed$"),
        (lambda: cy.CyDeltaPowerLoad(3, carr(1, 2)), "^Array 'powers' has 2 items, 3 are needed$"),
        (lambda: cy.CyPowerLoad(3, carr(1, 2)).update_powers(carr(1)), "^Array 'powers' has 1 items, 2 are needed$"),
        (lambda: cy.CyDeltaPowerLoad(2, carr(1, 2)).update_powers(None),
         "^Array 'powers' has 0 items, 2 are needed$"),
        (lambda: cy.CyAdmittanceLoad(4, carr(1, 2)), "^Array 'admittances' has 2 items, 3 are needed$"),
        (lambda: cy.CyDeltaAdmittanceLoad(2, None), "^Array 'admittances' has 0 items, 2 are needed$"),
        (lambda: cy.CyCurrentLoad(2, None), "^Array 'currents' has 0 items, 1 are needed$"),
        (lambda: cy.CyDeltaCurrentLoad(3, carr(1, 2)), "^Array 'currents' has 2 items, 3 are needed$"),
        (lambda: cy.CyAdmittanceLoad(3, carr(1, 2)).update_admittances(carr(1)),
         "^Array 'admittances' has 1 items, 2 are needed$"),
        (lambda: cy.CyDeltaAdmittanceLoad(1, carr(1)).update_admittances(None),
         "^Array 'admittances' has 0 items, 1 are needed$"),
        (lambda: cy.CyCurrentLoad(4, carr(1, 2, 3)).update_currents(carr(1, 2)),
         "^Array 'currents' has 2 items, 3 are needed$"),
        (lambda: cy.CyDeltaCurrentLoad(2, carr(1, 2)).update_currents(carr(1)),
         "^Array 'currents' has 1 items, 2 are needed$"),
    ],
    ids=["bus", "bus None", "source", "delta source None", "initialize", "update None", "delta update",
         "line", "line update", "star load", "delta load", "star update", "delta update None",
         "admittance load", "delta admittance load None", "current load None", "delta current load",
         "admittance update", "delta admittance update None", "current update", "delta current update"],
)
def test_short_arrays_are_refused_before_the_engine_reads_them(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_longer_arrays_are_read_up_to_what_the_engine_needs():
    assert list(cy.CyBus(2, carr(1, 2, 3)).get_potentials(2)) == [1, 2]


def test_none_is_an_empty_array():
    assert cy.CyBus(0, None).get_potentials(0).shape == (0,)
    cy.CyVoltageSource(1, None).update_voltages(None)
    cy.CyBus(2, carr(0, 0)).connect_ports(None)


@pytest.mark.parametrize("n", [0, 1, 3])
def test_result_arrays_are_new_complex_arrays(n):
    bus = cy.CyBus(3, carr(1, 2, 3))
    first, second = bus.get_potentials(n), bus.get_potentials(n)
    assert first.dtype == np.complex128 and first.shape == (n,)
    assert first is not second and not np.shares_memory(first, second)


def test_a_negative_result_count_is_refused_by_numpy():
    with pytest.raises(ValueError, match="negative"):
        cy.CyBus(3, carr(1, 2, 3)).get_potentials(-1)


def fake_numpy(make):
    """A stand-in for the module attribute `np` whose empty(n, dtype) returns make(n, dtype)."""
    return type("FakeNumpy", (), {"complex128": np.complex128, "double": np.double, "empty": staticmethod(make)})


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda n, dtype: np.empty(n, dtype=np.float32), ValueError,
         "^Buffer dtype mismatch, expected 'double complex' but got 'float'$"),
        (lambda n, dtype: np.empty((n, 1), dtype=dtype), ValueError,
         r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"),
        (lambda n, dtype: np.empty(2 * n, dtype=dtype)[::2], ValueError, "contiguous"),
        (lambda n, dtype: np.empty(n - 1, dtype=dtype), ValueError, "^np.empty did not return .* of 3 items$"),
        (lambda n, dtype: [0j] * n, TypeError, "^Cannot convert list to numpy.ndarray$"),
        (lambda n, dtype: None, TypeError, "^Cannot convert NoneType to numpy.ndarray$"),
    ],
    ids=["item type", "dimension", "strided", "length", "not an array", "None"],
)
def test_result_arrays_come_from_the_module_np(monkeypatch, make, error, message):
    bus = cy.CyBus(3, carr(1, 2, 3))
    monkeypatch.setattr(cy, "np", fake_numpy(make))
    with pytest.raises(error, match=message):
        bus.get_potentials(3)


def test_result_arrays_need_the_module_np(monkeypatch):
    bus = cy.CyBus(3, carr(1, 2, 3))
    monkeypatch.setattr(cy, "np", fake_numpy(lambda n, dtype: np.empty(n, dtype=dtype)))
    assert bus.get_potentials(3).tolist() == [1, 2, 3]
    monkeypatch.setattr(cy, "np", None)
    with pytest.raises(AttributeError):
        bus.get_potentials(3)


@pytest.mark.parametrize(
    "call",
    [lambda: cy.CyVoltageSource(0, None), lambda: cy.CyDeltaVoltageSource(0, None),
     lambda: cy.CyBus(-1, None), lambda: cy.CyDeltaPotentialRef(-2), lambda: cy.CySimplifiedLine(-1, None),
     lambda: cy.CyPowerLoad(0, None), lambda: cy.CyDeltaPowerLoad(-1, None),
     lambda: cy.CyAdmittanceLoad(0, None), lambda: cy.CyDeltaAdmittanceLoad(-1, None),
     lambda: cy.CyCurrentLoad(0, None), lambda: cy.CyDeltaCurrentLoad(-1, None)],
    ids=["source", "delta source", "bus", "delta reference", "line", "star load", "delta load",
         "admittance load", "delta admittance load", "current load", "delta current load"],
)
def test_engine_length_errors_reach_python_as_runtime_errors(call):
    with pytest.raises(RuntimeError, match="^vector::reserve$"):
        call()
