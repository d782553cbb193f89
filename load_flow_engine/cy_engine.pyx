# cython: language_level=3, embedsignature=True, binding=False, freethreading_compatible=True
# cython: c_string_encoding=utf8, autotestdict=False
# distutils: language = c++
#
# The Python face of the engine: one extension type per engine class, each owning one engine
# object. Arrays come in as contiguous buffers read in place; results are new NumPy arrays that
# the engine fills.
#
# The engine trusts its callers with counts, indices and lifetimes; this module does not trust
# Python callers, so every array length, port index and count is checked here before the engine
# sees it, and no engine object is left pointing into freed storage:
#   - a network keeps its elements, a solver its network;
#   - an element keeps the solver that linked it last, whose vectors its records point into;
#   - a node can outlive the elements of every network that holds it (an element joined to it
#     later, or a port disconnected from it, still reads it), so a solver that goes unlinks the
#     nodes still pointing into its unknowns, and they keep the value they last read.
# Results and updates thus keep working after the Python caller has dropped its references to
# the solver or the network.

cimport cython
from cython.operator cimport dereference as deref
from libc.limits cimport INT_MAX
from libcpp cimport bool
from libcpp.pair cimport pair
from libcpp.string cimport string
from libcpp.unordered_set cimport unordered_set
from libcpp.vector cimport vector

cimport numpy as cnp

from load_flow_engine.engine cimport (
    AbstractNewton, AbstractSolver, BackwardForward, Branch, Bus, DeltaPotentialRef,
    DeltaPowerLoad, DeltaVoltageSource, Element, ElectricalNetwork, Ground, LoadBase,
    Newton, NewtonGoldstein, PotentialRef, PowerLoad, SimplifiedLine, VoltageSource,
    set_logging_config,
)

import numpy as np

cnp.import_array()


# ---------------------------------------------------------------------------------------------
# Conversions

ctypedef fused number:
    double
    double complex


cdef number* _items(number[::1] values, Py_ssize_t needed, str name) except? NULL:
    """Pointer to the first of at least `needed` items of an array argument (NULL when it is
    empty; None counts as empty)."""
    cdef Py_ssize_t given = 0 if values is None else values.shape[0]
    if given < needed:
        raise ValueError(f"Array '{name}' has {given} items, {needed} are needed")
    if given == 0:
        return NULL
    return &values[0]


cdef cnp.ndarray _new_array(Py_ssize_t n, object dtype, int type_num):
    """A new one-dimensional array of n items for the engine to fill, made by np.empty. The
    checks guard against a module attribute `np` replaced by something else."""
    cdef cnp.ndarray array = np.empty(n, dtype=dtype)
    if (cnp.PyArray_TYPE(array) != type_num or cnp.PyArray_NDIM(array) != 1
            or cnp.PyArray_DIM(array, 0) != n or not cnp.PyArray_ISCARRAY(array)):
        raise TypeError("np.empty did not return a writable contiguous array of the requested type")
    return array


cdef inline cnp.ndarray _complex_array(Py_ssize_t n):
    return _new_array(n, np.complex128, cnp.NPY_CDOUBLE)


cdef inline cnp.ndarray _real_array(Py_ssize_t n):
    return _new_array(n, np.double, cnp.NPY_DOUBLE)


cdef inline double complex* _complex_ptr(cnp.ndarray array):
    return <double complex*> cnp.PyArray_DATA(array)


cdef inline double* _real_ptr(cnp.ndarray array):
    return <double*> cnp.PyArray_DATA(array)


cdef int _check_count(int n, size_t available, str name, str what) except -1:
    """A count of results may not exceed what the element holds (negative counts are left to
    np.empty, which refuses them)."""
    if n > <Py_ssize_t> available:
        raise IndexError(f"{name} = {n} exceeds the {available} {what}")
    return 0


cdef int _check_port(int index, size_t ports, str owner) except -1:
    if index < 0 or index >= <Py_ssize_t> ports:
        raise IndexError(f"port index {index} is out of range for {owner} with {ports} ports")
    return 0


cdef int _check_pairs(vector[pair[int, int]]& pairs, size_t own_ports, str own,
                      size_t other_ports, str other) except -1:
    cdef size_t k
    for k in range(pairs.size()):
        _check_port(pairs[k].first, own_ports, own)
        _check_port(pairs[k].second, other_ports, other)
    return 0


# ---------------------------------------------------------------------------------------------
# Elements

cdef class CyElement:
    cdef Element* element
    # The solver that linked this element last: its records point into that solver's vectors.
    cdef object _solver

    def __dealloc__(self):
        if self.element != NULL:
            del self.element

    cdef Element* _engine(self) except NULL:
        if self.element == NULL:
            raise TypeError(f"{type(self).__name__} is abstract and holds no engine element")
        return self.element

    def connect(self, CyElement cy_element not None, connections):
        cdef vector[pair[int, int]] pairs = connections
        cdef Element* this = self._engine()
        cdef Element* other = cy_element._engine()
        _check_pairs(pairs, this.ports.size(), "this element", other.ports.size(), "cy_element")
        this.connect(deref(other), pairs)

    def connect_ports(self, int[::1] ports):
        cdef Element* this = self._engine()
        cdef Py_ssize_t count = 0 if ports is None else ports.shape[0]
        if count > INT_MAX:
            raise OverflowError(f"Array 'ports' has {count} items, more than the engine counts")
        cdef Py_ssize_t k
        for k in range(count):
            _check_port(ports[k], this.ports.size(), "this element")
        if count >= 2:
            this.connect_ports(&ports[0], <int> count)

    def disconnect(self):
        self._engine().disconnect()

    def get_potentials(self, int n):
        cdef Element* this = self._engine()
        _check_count(n, this.ports.size(), "n", "ports of this element")
        cdef cnp.ndarray result = _complex_array(n)
        this.get_potentials(n, _complex_ptr(result))
        return result

    def get_currents(self, int n):
        cdef Element* this = self._engine()
        _check_count(n, this.ports.size(), "n", "ports of this element")
        cdef cnp.ndarray result = _complex_array(n)
        this.get_currents(n, _complex_ptr(result))
        return result

    def get_port_potential(self, int index):
        cdef Element* this = self._engine()
        _check_port(index, this.ports.size(), "this element")
        return this.get_port_potential(index)

    def get_port_current(self, int index):
        cdef Element* this = self._engine()
        _check_port(index, this.ports.size(), "this element")
        return this.get_port_current(index)


cdef class CyBranch(CyElement):
    cdef Branch* _branch(self) except NULL:
        return <Branch*> self._engine()

    def connect_side(self, CyElement element not None, connections, bool beginning):
        cdef vector[pair[int, int]] pairs = connections
        cdef Branch* this = self._branch()
        cdef Element* other = element._engine()
        cdef size_t side_ports = this.side1_ports.size() if beginning else this.side2_ports.size()
        _check_pairs(pairs, side_ports, "side 1" if beginning else "side 2",
                     other.ports.size(), "element")
        this.connect_side(deref(other), pairs, beginning)

    def get_side_potentials(self, int n1, int n2):
        cdef Branch* this = self._branch()
        _check_count(n1, this.side1_ports.size(), "n1", "ports of side 1")
        _check_count(n2, this.side2_ports.size(), "n2", "ports of side 2")
        cdef cnp.ndarray side1 = _complex_array(n1)
        cdef cnp.ndarray side2 = _complex_array(n2)
        this.get_side_potentials(n1, n2, _complex_ptr(side1), _complex_ptr(side2))
        return side1, side2

    def get_side_currents(self, int n1, int n2):
        cdef Branch* this = self._branch()
        _check_count(n1, this.side1_ports.size(), "n1", "ports of side 1")
        _check_count(n2, this.side2_ports.size(), "n2", "ports of side 2")
        cdef cnp.ndarray side1 = _complex_array(n1)
        cdef cnp.ndarray side2 = _complex_array(n2)
        this.get_side_currents(n1, n2, _complex_ptr(side1), _complex_ptr(side2))
        return side1, side2


cdef class CySimplifiedLine(CyBranch):
    def __cinit__(self, int n, double complex[::1] z_line):
        cdef Py_ssize_t needed = <Py_ssize_t> n * n if n > 0 else 0
        self.element = new SimplifiedLine(n, _items(z_line, needed, "z_line"))

    def update_line_parameters(self, double complex[::1] z_line):
        cdef SimplifiedLine* this = <SimplifiedLine*> self._engine()
        cdef Py_ssize_t n = this.side1_ports.size()
        this.update_line_parameters(_items(z_line, n * n, "z_line"))


cdef class CyBus(CyElement):
    def __cinit__(self, int n, double complex[::1] potentials):
        self.element = new Bus(n, _items(potentials, n, "potentials"))

    def initialize_potentials(self, double complex[::1] potentials):
        cdef Bus* this = <Bus*> self._engine()
        this.initialize_potentials(_items(potentials, this.ports.size(), "potentials"))


cdef class CyLoad(CyElement):
    cdef Py_ssize_t _inner_count(self):
        """How many inner currents the engine writes: one per phase of a star load (its ports
        but the neutral), one per branch of a delta load (its ports)."""
        return self.element.ports.size()

    def get_inner_currents(self, int size):
        cdef LoadBase* this = <LoadBase*> self._engine()
        cdef Py_ssize_t written = self._inner_count()
        if 0 <= size < written:
            raise IndexError(f"size = {size} is below the {written} inner currents of this load")
        cdef cnp.ndarray result = _complex_array(size)
        this.get_inner_currents(_complex_ptr(result))
        return result


cdef class CyPowerLoad(CyLoad):
    def __cinit__(self, int n, double complex[::1] powers):
        self.element = new PowerLoad(n, _items(powers, <Py_ssize_t> n - 1, "powers"))

    cdef Py_ssize_t _inner_count(self):
        return (<PowerLoad*> self.element).powers.size()

    def update_powers(self, double complex[::1] powers):
        cdef PowerLoad* this = <PowerLoad*> self._engine()
        this.update_powers(_items(powers, this.powers.size(), "powers"))


cdef class CyDeltaPowerLoad(CyLoad):
    def __cinit__(self, int n, double complex[::1] powers):
        self.element = new DeltaPowerLoad(n, _items(powers, n, "powers"))

    cdef Py_ssize_t _inner_count(self):
        return (<DeltaPowerLoad*> self.element).powers.size()

    def update_powers(self, double complex[::1] powers):
        cdef DeltaPowerLoad* this = <DeltaPowerLoad*> self._engine()
        this.update_powers(_items(powers, this.powers.size(), "powers"))


cdef class CyGround(CyElement):
    def __cinit__(self, *args, **kwargs):
        self.element = new Ground()


cdef class CyPotentialRef(CyElement):
    def __cinit__(self, *args, **kwargs):
        self.element = new PotentialRef()

    def get_current(self):
        return (<PotentialRef*> self._engine()).get_current()


cdef class CyDeltaPotentialRef(CyElement):
    def __cinit__(self, int n):
        self.element = new DeltaPotentialRef(n)

    def get_current(self):
        return (<DeltaPotentialRef*> self._engine()).get_current()


cdef class CyVoltageSource(CyElement):
    def __cinit__(self, int n, double complex[::1] voltages):
        self.element = new VoltageSource(n, _items(voltages, <Py_ssize_t> n - 1, "voltages"))

    def update_voltages(self, double complex[::1] voltages):
        cdef VoltageSource* this = <VoltageSource*> self._engine()
        this.update_voltages(_items(voltages, this.voltages.size(), "voltages"))


cdef class CyDeltaVoltageSource(CyElement):
    def __cinit__(self, int n, double complex[::1] voltages):
        self.element = new DeltaVoltageSource(n, _items(voltages, <Py_ssize_t> n - 1, "voltages"))

    def update_voltages(self, double complex[::1] voltages):
        cdef DeltaVoltageSource* this = <DeltaVoltageSource*> self._engine()
        this.update_voltages(_items(voltages, this.voltages.size(), "voltages"))


# ---------------------------------------------------------------------------------------------
# Network and solvers

# The network and the solvers clear nothing when the garbage collector breaks a cycle: every
# cycle runs through an element, and clearing only the elements' references guarantees that a
# solver is freed before its network (whose nodes it unlinks) and a network before its elements.
@cython.no_gc_clear
cdef class CyElectricalNetwork:
    cdef ElectricalNetwork* network
    cdef tuple _elements

    def __cinit__(self, CyElement[::1] elements, int nb_elements):
        if nb_elements < 0:
            # What reserving a negative count of elements reports.
            raise RuntimeError("vector::reserve")
        cdef Py_ssize_t given = 0 if elements is None else elements.shape[0]
        if nb_elements > given:
            raise ValueError(f"Array 'elements' has {given} items, {nb_elements} are needed")
        cdef vector[Element*] pointers
        pointers.reserve(nb_elements)
        cdef unordered_set[Element*] seen
        cdef list items = []
        cdef object item
        cdef Element* pointer
        cdef Py_ssize_t i
        for i in range(nb_elements):
            item = elements[i]
            if not isinstance(item, CyElement):
                raise TypeError(f"elements[{i}] has incorrect type (expected "
                                f"load_flow_engine.cy_engine.CyElement, got {type(item).__name__})")
            pointer = (<CyElement> item)._engine()
            if not seen.insert(pointer).second:
                raise ValueError(f"elements[{i}] is listed twice")
            pointers.push_back(pointer)
            items.append(item)
        self.network = new ElectricalNetwork(pointers)
        self._elements = tuple(items)

    def __dealloc__(self):
        if self.network != NULL:
            del self.network


@cython.no_gc_clear
cdef class CyAbstractSolver:
    cdef AbstractSolver* solver
    cdef CyElectricalNetwork _network

    def __dealloc__(self):
        if self.solver != NULL:
            del self.solver

    cdef AbstractSolver* _engine(self) except NULL:
        if self.solver == NULL:
            raise TypeError(f"{type(self).__name__} is abstract and holds no engine solver")
        return self.solver

    cdef int _adopt(self, CyElectricalNetwork network) except -1:
        """Records that the nodes and elements of `network` now point into this solver."""
        self._network = network
        cdef CyElement element
        for element in network._elements:
            element._solver = self
        return 0

    cdef int _take_over_after_failure(self, CyElectricalNetwork network) except -1:
        """After a failed construction: the engine has relinked the network to storage of its own;
        a backward-forward solver takes it over so that the usual ownership rules hold."""
        CyBackwardForward(network)
        return 0

    def solve_load_flow(self, int max_iterations, double tolerance):
        return self._engine().solve_load_flow(max_iterations, tolerance)

    def reset_inputs(self):
        self._engine().reset_inputs()

    def get_variables(self):
        cdef AbstractSolver* this = self._engine()
        cdef cnp.ndarray result = _real_array(this.independents_size())
        this.get_variables(_real_ptr(result))
        return result

    def set_variables(self, double[::1] variables):
        cdef AbstractSolver* this = self._engine()
        this.set_variables(_items(variables, this.independents_size(), "variables"))


cdef class CyAbstractNewton(CyAbstractSolver):
    cdef AbstractNewton* _newton(self) except NULL:
        return <AbstractNewton*> self._engine()

    def save_matrix(self, string prefix):
        self._newton().save_matrix(prefix)

    def get_jacobian(self):
        cdef AbstractNewton* this = self._newton()
        cdef Py_ssize_t k = this.independents_size()
        cdef cnp.ndarray result = _real_array(k * k)
        this.get_jacobian(_real_ptr(result))
        return result.reshape(k, k)

    def get_residuals(self):
        cdef AbstractNewton* this = self._newton()
        cdef cnp.ndarray result = _real_array(this.independents_size())
        this.get_residuals(_real_ptr(result))
        return result

    def analyse_jacobian(self):
        return self._newton().analyse_jacobian()


@cython.no_gc_clear
cdef class CyNewton(CyAbstractNewton):
    def __cinit__(self, CyElectricalNetwork network not None, bool optimize_tape):
        try:
            self.solver = new Newton(network.network, optimize_tape)
        except BaseException:
            self._take_over_after_failure(network)
            raise
        self._adopt(network)


@cython.no_gc_clear
cdef class CyNewtonGoldstein(CyAbstractNewton):
    def __cinit__(self, CyElectricalNetwork network not None, bool optimize_tape, double m1, double m2):
        try:
            self.solver = new NewtonGoldstein(network.network, optimize_tape, m1, m2)
        except BaseException:
            self._take_over_after_failure(network)
            raise
        self._adopt(network)

    def update_params(self, double m1, double m2):
        (<NewtonGoldstein*> self._engine()).update_params(m1, m2)


@cython.no_gc_clear
cdef class CyBackwardForward(CyAbstractSolver):
    def __cinit__(self, CyElectricalNetwork network not None):
        self.solver = new BackwardForward(network.network)
        self._adopt(network)


def cy_set_logging_config(str severity not None):
    set_logging_config(severity.encode("utf-8"))


# Cython's memoryview support registers the unpickling helper of its internal enumeration in the
# module namespace. Those enumeration objects are never handed to Python, so the helper goes: the
# module's own attributes are its types, `np` and `cy_set_logging_config`.
globals().pop("__pyx_unpickle_Enum", None)
