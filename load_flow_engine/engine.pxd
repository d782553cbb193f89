# Declarations of the C++ engine classes that the module wraps. Only what the binding calls or
# checks against is declared.
from libcpp cimport bool
from libcpp.memory cimport shared_ptr
from libcpp.pair cimport pair
from libcpp.string cimport string
from libcpp.vector cimport vector


cdef extern from "core/ad_variable.hpp":
    cdef cppclass ADVariable[T]:
        pass


cdef extern from "core/element.hpp":
    cdef cppclass Connection:
        pass

    cdef cppclass Port:
        shared_ptr[Connection] connection

    cdef cppclass Element:
        vector[Port] ports
        void connect(const Element& other, const vector[pair[int, int]]& pairs) except +
        void connect_ports(const int* indices, int n) except +
        void disconnect() except +
        void get_potentials(int n, double complex* out) except +
        void get_currents(int n, double complex* out) except +
        double complex get_port_potential(int i) except +
        double complex get_port_current(int i) except +


cdef extern from "core/branch.hpp":
    cdef cppclass Branch(Element):
        vector[Port*] side1_ports
        vector[Port*] side2_ports
        void connect_side(const Element& other, const vector[pair[int, int]]& pairs, bool beginning) except +
        void get_side_potentials(int n1, int n2, double complex* out1, double complex* out2) except +
        void get_side_currents(int n1, int n2, double complex* out1, double complex* out2) except +


cdef extern from "core/nodal_elements.hpp":
    cdef cppclass Bus(Element):
        Bus(int n, const double complex* potentials) except +
        void initialize_potentials(const double complex* v) except +

    cdef cppclass Ground(Element):
        Ground() except +

    cdef cppclass PotentialRef(Element):
        PotentialRef() except +
        double complex get_current() except +

    cdef cppclass DeltaPotentialRef(Element):
        DeltaPotentialRef(int n) except +
        double complex get_current() except +


cdef extern from "core/voltage_source.hpp":
    cdef cppclass VoltageSource(Element):
        VoltageSource(int n, const double complex* voltages) except +
        void update_voltages(const double complex* voltages) except +
        vector[ADVariable[double complex]] voltages

    cdef cppclass DeltaVoltageSource(Element):
        DeltaVoltageSource(int n, const double complex* voltages) except +
        void update_voltages(const double complex* voltages) except +
        vector[ADVariable[double complex]] voltages


cdef extern from "branches/switch.hpp":
    cdef cppclass Switch(Branch):
        Switch(int n) except +

    cdef cppclass OpenSwitch(Branch):
        OpenSwitch(int n) except +


cdef extern from "branches/line.hpp":
    cdef cppclass SimplifiedLine(Branch):
        SimplifiedLine(int n, const double complex* z_line) except +
        void update_line_parameters(const double complex* z_line) except +

    cdef cppclass ShuntLine(Branch):
        ShuntLine(int n, const double complex* y_shunt, const double complex* z_line) except +
        void update_line_parameters(const double complex* y_shunt, const double complex* z_line) except +


cdef extern from "branches/transformer.hpp":
    cdef cppclass TransformerBase(Branch):
        void update_transformer_parameters(const double complex& z2, const double complex& ym,
                                           double complex k) except +
        pair[double, double] compute_open_circuit_parameters(double uhv, double ulv, double sn) except +
        pair[double, double] compute_short_circuit_parameters(double uhv, double ulv, double sn) except +

    cdef cppclass ThreePhaseTransformer(TransformerBase):
        ThreePhaseTransformer(int n1, int n2, const string& whv, const string& wlv,
                              const double complex& z2, const double complex& ym, double k,
                              int clock) except +

    cdef cppclass SingleTransformer(TransformerBase):
        SingleTransformer(const double complex& z2, const double complex& ym, double complex k) except +

    cdef cppclass CenterTransformer(TransformerBase):
        CenterTransformer(const double complex& z2, const double complex& ym, double k) except +


cdef extern from "loads/load.hpp":
    cdef cppclass LoadBase(Element):
        void get_inner_currents(double complex* out) except +


cdef extern from "loads/power_load.hpp":
    cdef cppclass PowerLoad(LoadBase):
        PowerLoad(int n, const double complex* powers) except +
        void update_powers(const double complex* powers) except +
        vector[ADVariable[double complex]] powers

    cdef cppclass DeltaPowerLoad(LoadBase):
        DeltaPowerLoad(int n, const double complex* powers) except +
        void update_powers(const double complex* powers) except +
        vector[ADVariable[double complex]] powers


cdef extern from "loads/admittance_load.hpp":
    cdef cppclass AdmittanceLoad(LoadBase):
        AdmittanceLoad(int n, const double complex* admittances) except +
        void update_admittances(const double complex* admittances) except +
        vector[ADVariable[double complex]] admittances

    cdef cppclass DeltaAdmittanceLoad(LoadBase):
        DeltaAdmittanceLoad(int n, const double complex* admittances) except +
        void update_admittances(const double complex* admittances) except +
        vector[ADVariable[double complex]] admittances


cdef extern from "loads/current_load.hpp":
    cdef cppclass CurrentLoad(LoadBase):
        CurrentLoad(int n, const double complex* currents) except +
        void update_currents(const double complex* currents) except +
        vector[ADVariable[double complex]] currents

    cdef cppclass DeltaCurrentLoad(LoadBase):
        DeltaCurrentLoad(int n, const double complex* currents) except +
        void update_currents(const double complex* currents) except +
        vector[ADVariable[double complex]] currents


cdef extern from "loads/load_balancer.hpp":
    cdef cppclass LoadBalancer(LoadBase):
        LoadBalancer(const double complex& z2, const double complex& ym, double k) except +


cdef extern from "loads/flexible_parameter.hpp":
    cdef cppclass Control:
        Control(const string& t, double u_min, double u_down, double u_up, double u_max, double alpha,
                double epsilon) except +

    cdef cppclass Projection:
        Projection(const string& t, double alpha, double epsilon) except +

    cdef cppclass FlexibleParameter:
        FlexibleParameter(const Control& control_p, const Control& control_q, const Projection& projection,
                          double s_max, double q_min, double q_max) except +
        void update_parameters(double s_max, double q_min, double q_max) except +
        double complex compute_power "compute_power<std::complex<double>>"(double x, double complex s_th) except +


cdef extern from "loads/flexible_load.hpp":
    cdef cppclass FlexibleLoad(LoadBase):
        FlexibleLoad(int n, const double complex* powers, vector[FlexibleParameter*] parameters) except +
        void update_powers(const double complex* powers) except +
        void get_powers(double complex* out) except +
        vector[ADVariable[double complex]] powers

    cdef cppclass DeltaFlexibleLoad(LoadBase):
        DeltaFlexibleLoad(int n, const double complex* powers, vector[FlexibleParameter*] parameters) except +
        void update_powers(const double complex* powers) except +
        void get_powers(double complex* out) except +
        vector[ADVariable[double complex]] powers


cdef extern from "solvers/electrical_network.hpp":
    cdef cppclass ElectricalNetwork:
        ElectricalNetwork(vector[Element*] elements) except +
        vector[Element*] elements
        vector[shared_ptr[Connection]] connections


cdef extern from "solvers/solver.hpp":
    cdef cppclass AbstractSolver:
        ElectricalNetwork* network
        pair[int, double] solve_load_flow(int max_iterations, double tolerance) except +
        void reset_inputs() except +
        void get_variables(double* out) except +
        void set_variables(const double* values) except +
        int independents_size()

    cdef cppclass BackwardForward(AbstractSolver):
        BackwardForward(ElectricalNetwork* network) except +


cdef extern from "solvers/newton.hpp":
    cdef cppclass AbstractNewton(AbstractSolver):
        void save_matrix(const string& prefix) except +
        pair[vector[int], vector[int]] analyse_jacobian() except +
        void get_jacobian(double* out) except +
        void get_residuals(double* out) except +

    cdef cppclass Newton(AbstractNewton):
        Newton(ElectricalNetwork* network, bool optimize_tape) except +

    cdef cppclass NewtonGoldstein(AbstractNewton):
        NewtonGoldstein(ElectricalNetwork* network, bool optimize_tape, double m1, double m2) except +
        void update_params(double m1, double m2) except +


cdef extern from "solvers/logging.hpp":
    void set_logging_config(const string& severity) except +
