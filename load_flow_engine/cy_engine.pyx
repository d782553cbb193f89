# cython: language_level=3, embedsignature=True, binding=False, freethreading_compatible=True
# cython: c_string_encoding=utf8
# distutils: language = c++
#
# The Python face of the engine: one extension type per engine class, each owning one engine
# object. Arrays come in as contiguous buffers read in place; results are new NumPy arrays that
# the engine fills.
#
# The engine trusts its callers with counts, indices and lifetimes; this module does not trust
# Python callers, so every array length, port index and count is checked here before the engine
# sees it, and the Python objects keep alive what their engine objects point to:
#   - a network keeps its elements, a solver its network;
#   - elements joined through nodes keep each other (a node may be linked to the solver of any
#     of them);
#   - an element keeps the solver that linked it last, and a solver keeps the older solvers
#     whose vectors still back nodes or elements it did not relink,
# so results and updates keep working on storage that is still owned after the Python caller
# has dropped its references to the solver or the network.

cimport cython
from cython.operator cimport dereference as deref
from libcpp cimport bool
from libcpp.pair cimport pair
from libcpp.string cimport string
from libcpp.vector cimport vector

cimport numpy as cnp

from load_flow_engine.engine cimport (
    Branch, Bus, DeltaPotentialRef, DeltaPowerLoad, DeltaVoltageSource, Element, Ground,
    LoadBase, PotentialRef, PowerLoad, SimplifiedLine, VoltageSource,
)

import numpy as np

cnp.import_array()


# ---------------------------------------------------------------------------------------------
# Conversions

cdef inline Py_ssize_t _length(object values):
    """The number of items of an array argument; None counts as empty."""
    return 0 if values is None else len(values)


cdef double complex* _complex_data(double complex[::1] values, Py_ssize_t needed, str name) except? NULL:
    """Pointer to the first of at least `needed` items (NULL when the array is empty)."""
    cdef Py_ssize_t given = 0 if values is None else values.shape[0]
    if given < needed:
        raise ValueError(f"Array '{name}' has {given} items, {needed} are needed")
    if given == 0:
        return NULL
    return &values[0]


cdef double* _real_data(double[::1] values, Py_ssize_t needed, str name) except? NULL:
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
    # Elements whose ports were joined to this one's, and the solver that linked this element
    # last: what this element's nodes and records may point into (see the module comment).
    cdef set _joined
    cdef object _solver

    def __dealloc__(self):
        if self.element != NULL:
            del self.element

    cdef Element* _engine(self) except NULL:
        if self.element == NULL:
            raise TypeError(f"{type(self).__name__} is abstract and holds no engine element")
        return self.element

    cdef int _join(self, CyElement other) except -1:
        if other is self:
            return 0
        if self._joined is None:
            self._joined = set()
        if other._joined is None:
            other._joined = set()
        self._joined.add(other)
        other._joined.add(self)
        return 0

    def connect(self, CyElement cy_element not None, connections):
        cdef vector[pair[int, int]] pairs = connections
        cdef Element* this = self._engine()
        cdef Element* other = cy_element._engine()
        _check_pairs(pairs, this.ports.size(), "this element", other.ports.size(), "cy_element")
        this.connect(deref(other), pairs)
        self._join(cy_element)

    def connect_ports(self, int[::1] ports):
        cdef Element* this = self._engine()
        cdef Py_ssize_t count = 0 if ports is None else ports.shape[0]
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
        self._join(element)

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
        self.element = new SimplifiedLine(n, _complex_data(z_line, needed, "z_line"))

    def update_line_parameters(self, double complex[::1] z_line):
        cdef SimplifiedLine* this = <SimplifiedLine*> self._engine()
        cdef Py_ssize_t n = this.side1_ports.size()
        this.update_line_parameters(_complex_data(z_line, n * n, "z_line"))


cdef class CyBus(CyElement):
    def __cinit__(self, int n, double complex[::1] potentials):
        self.element = new Bus(n, _complex_data(potentials, n, "potentials"))

    def initialize_potentials(self, double complex[::1] potentials):
        cdef Bus* this = <Bus*> self._engine()
        this.initialize_potentials(_complex_data(potentials, this.ports.size(), "potentials"))


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
        self.element = new PowerLoad(n, _complex_data(powers, n - 1, "powers"))

    cdef Py_ssize_t _inner_count(self):
        return (<PowerLoad*> self.element).powers.size()

    def update_powers(self, double complex[::1] powers):
        cdef PowerLoad* this = <PowerLoad*> self._engine()
        this.update_powers(_complex_data(powers, this.powers.size(), "powers"))


cdef class CyDeltaPowerLoad(CyLoad):
    def __cinit__(self, int n, double complex[::1] powers):
        self.element = new DeltaPowerLoad(n, _complex_data(powers, n, "powers"))

    cdef Py_ssize_t _inner_count(self):
        return (<DeltaPowerLoad*> self.element).powers.size()

    def update_powers(self, double complex[::1] powers):
        cdef DeltaPowerLoad* this = <DeltaPowerLoad*> self._engine()
        this.update_powers(_complex_data(powers, this.powers.size(), "powers"))


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
        # Its unknown current sits on port 0, so it needs one; negative counts fail in the engine.
        if n == 0:
            raise ValueError("A delta potential reference needs at least one port")
        self.element = new DeltaPotentialRef(n)

    def get_current(self):
        return (<DeltaPotentialRef*> self._engine()).get_current()


cdef class CyVoltageSource(CyElement):
    def __cinit__(self, int n, double complex[::1] voltages):
        self.element = new VoltageSource(n, _complex_data(voltages, n - 1, "voltages"))

    def update_voltages(self, double complex[::1] voltages):
        cdef VoltageSource* this = <VoltageSource*> self._engine()
        this.update_voltages(_complex_data(voltages, this.voltages.size(), "voltages"))


cdef class CyDeltaVoltageSource(CyElement):
    def __cinit__(self, int n, double complex[::1] voltages):
        self.element = new DeltaVoltageSource(n, _complex_data(voltages, n - 1, "voltages"))

    def update_voltages(self, double complex[::1] voltages):
        cdef DeltaVoltageSource* this = <DeltaVoltageSource*> self._engine()
        this.update_voltages(_complex_data(voltages, this.voltages.size(), "voltages"))
