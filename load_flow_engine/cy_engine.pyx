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
#   - a network keeps its elements, a solver its network, and a flexible load its flexible
#     parameters: what an engine object points to outlives it;
#   - nothing points back, so a solver that the caller drops is freed at once; it unlinks the
#     nodes and records still pointing into its vectors, which keep the values they last read.
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
    AbstractNewton, AbstractSolver, AdmittanceLoad, BackwardForward, Branch, Bus,
    CenterTransformer, Control, CurrentLoad, DeltaAdmittanceLoad, DeltaCurrentLoad,
    DeltaFlexibleLoad, DeltaPotentialRef, DeltaPowerLoad, DeltaVoltageSource, ElectricalNetwork,
    Element, FlexibleLoad, FlexibleParameter, Ground, LoadBalancer, LoadBase, Newton,
    NewtonGoldstein, OpenSwitch, PotentialRef, PowerLoad, Projection, ShuntLine, SimplifiedLine,
    SingleTransformer, Switch, ThreePhaseTransformer, TransformerBase, VoltageSource,
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


cdef object[::1] _object_items(object array, str item_type):
    """An array argument of Python objects (None stays None). Cython describes the items of
    every object array by one shared name, so a dtype mismatch is reported here with the item
    type that this argument expects."""
    cdef object[::1] items
    try:
        items = array
    except ValueError as error:
        message = str(error)
        prefix = "Buffer dtype mismatch, expected '"
        if not message.startswith(prefix):
            raise
        raise ValueError(prefix + item_type + "'" + message[len(prefix):].split("'", 1)[1]) from None
    return items


cdef list _typed_items(object[::1] array, Py_ssize_t count, str name, type item_type):
    """The first `count` items of an object array argument, each checked to be an `item_type`
    (None counts as an empty array)."""
    cdef Py_ssize_t given = 0 if array is None else array.shape[0]
    if count > given:
        raise ValueError(f"Array '{name}' has {given} items, {count} are needed")
    cdef list items = []
    cdef object item
    cdef Py_ssize_t i
    for i in range(count):
        item = array[i]
        if not isinstance(item, item_type):
            raise TypeError(f"{name}[{i}] has incorrect type (expected load_flow_engine.cy_engine."
                            f"{item_type.__name__}, got {type(item).__name__})")
        items.append(item)
    return items


cdef inline Py_ssize_t _square(int n):
    """Items of an n×n matrix argument (none for a count the engine refuses anyway)."""
    return <Py_ssize_t> n * n if n > 0 else 0


cdef cnp.ndarray _new_array(Py_ssize_t n, object dtype, int type_num):
    """A new one-dimensional array of n items for the engine to fill, made by np.empty. The
    checks guard against a module attribute `np` replaced by something else: another item type
    or dimension fails with the buffer errors of an array argument."""
    cdef cnp.ndarray array = np.empty(n, dtype=dtype)
    if array is None:  # passes the type test of an ndarray
        raise TypeError("Cannot convert NoneType to numpy.ndarray")
    if (cnp.PyArray_TYPE(array) == type_num and cnp.PyArray_NDIM(array) == 1
            and cnp.PyArray_DIM(array, 0) == n and cnp.PyArray_ISCARRAY(array)):
        return array
    cdef double complex[::1] complex_items
    cdef double[::1] real_items
    if type_num == cnp.NPY_CDOUBLE:
        complex_items = array
    else:
        real_items = array
    raise ValueError(f"np.empty did not return a writable aligned array of {n} items")


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


cdef class CySwitch(CyBranch):
    def __cinit__(self, int n):
        self.element = new Switch(n)


cdef class CyOpenSwitch(CyBranch):
    def __cinit__(self, int n):
        self.element = new OpenSwitch(n)


cdef class CySimplifiedLine(CyBranch):
    def __cinit__(self, int n, double complex[::1] z_line):
        self.element = new SimplifiedLine(n, _items(z_line, _square(n), "z_line"))

    def update_line_parameters(self, double complex[::1] z_line):
        cdef SimplifiedLine* this = <SimplifiedLine*> self._engine()
        cdef Py_ssize_t n = this.side1_ports.size()
        this.update_line_parameters(_items(z_line, n * n, "z_line"))


cdef class CyShuntLine(CyBranch):
    def __cinit__(self, int n, double complex[::1] y_shunt, double complex[::1] z_line):
        # Both arrays are checked before the engine reads either.
        cdef double complex* y = _items(y_shunt, _square(n), "y_shunt")
        self.element = new ShuntLine(n, y, _items(z_line, _square(n), "z_line"))

    def update_line_parameters(self, double complex[::1] y_shunt, double complex[::1] z_line):
        cdef ShuntLine* this = <ShuntLine*> self._engine()
        cdef Py_ssize_t n = this.side1_ports.size()
        cdef double complex* y = _items(y_shunt, n * n, "y_shunt")
        this.update_line_parameters(y, _items(z_line, n * n, "z_line"))


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


cdef class CyAdmittanceLoad(CyLoad):
    def __cinit__(self, int n, double complex[::1] admittances):
        self.element = new AdmittanceLoad(n, _items(admittances, <Py_ssize_t> n - 1, "admittances"))

    cdef Py_ssize_t _inner_count(self):
        return (<AdmittanceLoad*> self.element).admittances.size()

    def update_admittances(self, double complex[::1] admittances):
        cdef AdmittanceLoad* this = <AdmittanceLoad*> self._engine()
        this.update_admittances(_items(admittances, this.admittances.size(), "admittances"))


cdef class CyDeltaAdmittanceLoad(CyLoad):
    def __cinit__(self, int n, double complex[::1] admittances):
        self.element = new DeltaAdmittanceLoad(n, _items(admittances, n, "admittances"))

    cdef Py_ssize_t _inner_count(self):
        return (<DeltaAdmittanceLoad*> self.element).admittances.size()

    def update_admittances(self, double complex[::1] admittances):
        cdef DeltaAdmittanceLoad* this = <DeltaAdmittanceLoad*> self._engine()
        this.update_admittances(_items(admittances, this.admittances.size(), "admittances"))


cdef class CyCurrentLoad(CyLoad):
    def __cinit__(self, int n, double complex[::1] currents):
        self.element = new CurrentLoad(n, _items(currents, <Py_ssize_t> n - 1, "currents"))

    cdef Py_ssize_t _inner_count(self):
        return (<CurrentLoad*> self.element).currents.size()

    def update_currents(self, double complex[::1] currents):
        cdef CurrentLoad* this = <CurrentLoad*> self._engine()
        this.update_currents(_items(currents, this.currents.size(), "currents"))


cdef class CyDeltaCurrentLoad(CyLoad):
    def __cinit__(self, int n, double complex[::1] currents):
        self.element = new DeltaCurrentLoad(n, _items(currents, n, "currents"))

    cdef Py_ssize_t _inner_count(self):
        return (<DeltaCurrentLoad*> self.element).currents.size()

    def update_currents(self, double complex[::1] currents):
        cdef DeltaCurrentLoad* this = <DeltaCurrentLoad*> self._engine()
        this.update_currents(_items(currents, this.currents.size(), "currents"))


cdef class CyLoadBalancer(CyLoad):
    def __cinit__(self, double complex z2, double complex ym, double k):
        self.element = new LoadBalancer(z2, ym, k)

    cdef Py_ssize_t _inner_count(self):
        return 3


# ---------------------------------------------------------------------------------------------
# Flexible loads and their control laws

cdef class CyControl:
    cdef Control* control

    def __cinit__(self, string t, double u_min, double u_down, double u_up, double u_max,
                  double alpha, double epsilon):
        self.control = new Control(t, u_min, u_down, u_up, u_max, alpha, epsilon)

    def __dealloc__(self):
        del self.control


cdef class CyProjection:
    cdef Projection* projection

    def __cinit__(self, string t, double alpha, double epsilon):
        self.projection = new Projection(t, alpha, epsilon)

    def __dealloc__(self):
        del self.projection


cdef class CyFlexibleParameter:
    cdef FlexibleParameter* parameter

    def __cinit__(self, CyControl control_p not None, CyControl control_q not None,
                  CyProjection projection not None, double s_max, double q_min, double q_max):
        # The engine copies the laws and the projection.
        self.parameter = new FlexibleParameter(deref(control_p.control), deref(control_q.control),
                                               deref(projection.projection), s_max, q_min, q_max)

    def __dealloc__(self):
        del self.parameter

    def update_parameters(self, double s_max, double q_min, double q_max):
        self.parameter.update_parameters(s_max, q_min, q_max)

    def compute_power(self, double x, double complex s_th):
        return self.parameter.compute_power(x, s_th)


cdef tuple _flexible_parameters(object[::1] array, Py_ssize_t count, vector[FlexibleParameter*]& pointers):
    """Appends the engine objects of the first `count` items of the array argument `parameters`
    to `pointers` and returns those items, which the load keeps alive."""
    cdef list items = _typed_items(array, count, "parameters", CyFlexibleParameter)
    cdef CyFlexibleParameter item
    for item in items:
        pointers.push_back(item.parameter)
    return tuple(items)


cdef cnp.ndarray _powers_array(int n, Py_ssize_t size, Py_ssize_t written):
    """The result array of `size` items that get_powers(n) returns, refused when it cannot hold
    the `written` powers of the load (a negative size is left to np.empty)."""
    if 0 <= size < written:
        raise IndexError(f"n = {n} gives room for {size} of the {written} powers of this load")
    return _complex_array(size)


# A solver's engine object reaches the flexible parameters through the load when it goes: the
# garbage collector never clears the load's reference to them (see CyElectricalNetwork).
@cython.no_gc_clear
cdef class CyFlexibleLoad(CyLoad):
    cdef tuple _parameters

    def __cinit__(self, int n, double complex[::1] powers, parameters):
        # Every argument is converted before any count is checked.
        cdef object[::1] laws = _object_items(parameters, "CyFlexibleParameter")
        cdef Py_ssize_t phases = <Py_ssize_t> n - 1 if n >= 1 else 0
        cdef const double complex* values = _items(powers, phases, "powers")
        cdef vector[FlexibleParameter*] pointers
        items = _flexible_parameters(laws, phases, pointers)
        self.element = new FlexibleLoad(n, values, pointers)
        self._parameters = items

    cdef Py_ssize_t _inner_count(self):
        return (<FlexibleLoad*> self.element).powers.size()

    def update_powers(self, double complex[::1] powers):
        cdef FlexibleLoad* this = <FlexibleLoad*> self._engine()
        this.update_powers(_items(powers, this.powers.size(), "powers"))

    def get_powers(self, int n):
        cdef FlexibleLoad* this = <FlexibleLoad*> self._engine()
        cdef cnp.ndarray result = _powers_array(n, <Py_ssize_t> n - 1, this.powers.size())
        this.get_powers(_complex_ptr(result))
        return result


@cython.no_gc_clear
cdef class CyDeltaFlexibleLoad(CyLoad):
    cdef tuple _parameters

    def __cinit__(self, int n, double complex[::1] powers, parameters):
        # Every argument is converted before any count is checked.
        cdef object[::1] laws = _object_items(parameters, "CyFlexibleParameter")
        cdef Py_ssize_t branches = n if n >= 0 else 0
        cdef const double complex* values = _items(powers, branches, "powers")
        cdef vector[FlexibleParameter*] pointers
        items = _flexible_parameters(laws, branches, pointers)
        self.element = new DeltaFlexibleLoad(n, values, pointers)
        self._parameters = items

    cdef Py_ssize_t _inner_count(self):
        return (<DeltaFlexibleLoad*> self.element).powers.size()

    def update_powers(self, double complex[::1] powers):
        cdef DeltaFlexibleLoad* this = <DeltaFlexibleLoad*> self._engine()
        this.update_powers(_items(powers, this.powers.size(), "powers"))

    def get_powers(self, int n):
        cdef DeltaFlexibleLoad* this = <DeltaFlexibleLoad*> self._engine()
        cdef cnp.ndarray result = _powers_array(n, n, this.powers.size())
        this.get_powers(_complex_ptr(result))
        return result


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


cdef class CyTransformer(CyBranch):
    cdef TransformerBase* _transformer(self) except NULL:
        return <TransformerBase*> self._engine()

    def update_transformer_parameters(self, double complex z2, double complex ym, double complex k):
        self._transformer().update_transformer_parameters(z2, ym, k)

    def compute_open_circuit_parameters(self, double uhv, double ulv, double sn):
        return self._transformer().compute_open_circuit_parameters(uhv, ulv, sn)

    def compute_short_circuit_parameters(self, double uhv, double ulv, double sn):
        return self._transformer().compute_short_circuit_parameters(uhv, ulv, sn)


cdef class CyThreePhaseTransformer(CyTransformer):
    # The engine refuses port counts that cannot carry the windings (ValueError).
    def __cinit__(self, int n1, int n2, string whv, string wlv, double complex z2, double complex ym,
                  double k, int clock):
        self.element = new ThreePhaseTransformer(n1, n2, whv, wlv, z2, ym, k, clock)


cdef class CySingleTransformer(CyTransformer):
    def __cinit__(self, double complex z2, double complex ym, double complex k):
        self.element = new SingleTransformer(z2, ym, k)


cdef class CyCenterTransformer(CyTransformer):
    def __cinit__(self, double complex z2, double complex ym, double k):
        self.element = new CenterTransformer(z2, ym, k)


# ---------------------------------------------------------------------------------------------
# Network and solvers

# The objects of this module make no reference cycle among themselves, but a caller can (a
# subclass instance holding its own solver, say). A solver's engine object reaches its network,
# the network's elements and their flexible parameters when it goes, so the collector never
# clears the references along solver -> network -> elements -> flexible parameters: it breaks
# such a cycle at the caller's own objects, and a solver is always freed before what it reaches.
@cython.no_gc_clear
cdef class CyElectricalNetwork:
    cdef ElectricalNetwork* network
    cdef tuple _elements

    def __cinit__(self, elements, nb_elements):
        # The object array is converted before the count.
        cdef object[::1] element_items = _object_items(elements, "CyElement")
        cdef int count = nb_elements
        if count < 0:
            # What reserving a negative count of elements reports.
            raise RuntimeError("vector::reserve")
        cdef list items = _typed_items(element_items, count, "elements", CyElement)
        cdef vector[Element*] pointers
        pointers.reserve(count)
        cdef unordered_set[Element*] seen
        cdef Element* pointer
        cdef Py_ssize_t i
        for i in range(count):
            pointer = (<CyElement> items[i])._engine()
            if not seen.insert(pointer).second:
                raise ValueError(f"elements[{i}] is listed twice")
            pointers.push_back(pointer)
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
        self._network = network
        self.solver = new Newton(network.network, optimize_tape)


@cython.no_gc_clear
cdef class CyNewtonGoldstein(CyAbstractNewton):
    def __cinit__(self, CyElectricalNetwork network not None, bool optimize_tape, double m1, double m2):
        self._network = network
        self.solver = new NewtonGoldstein(network.network, optimize_tape, m1, m2)

    def update_params(self, double m1, double m2):
        (<NewtonGoldstein*> self._engine()).update_params(m1, m2)


@cython.no_gc_clear
cdef class CyBackwardForward(CyAbstractSolver):
    def __cinit__(self, CyElectricalNetwork network not None):
        self._network = network
        self.solver = new BackwardForward(network.network)


def cy_set_logging_config(str severity not None):
    set_logging_config(severity.encode("utf-8"))


# Cython's memoryview support registers the unpickling helper of its internal enumeration in the
# module namespace. Those enumeration objects are never handed to Python, so the helper goes: the
# module's own attributes are its types, `np` and `cy_set_logging_config`.
globals().pop("__pyx_unpickle_Enum", None)
