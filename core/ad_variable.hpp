// Scalar and vector types of the engine, the records that bind a value to its slot in a
// solver's vectors, the flattening of complex values into reals, and the recorded complex
// products.
#pragma once

#include <algorithm>
#include <complex>
#include <cstddef>
#include <functional>
#include <type_traits>
#include <vector>

#include <Eigen/Dense>
#include <cppad/cppad.hpp>
#include <cppad/example/cppad_eigen.hpp>

namespace Eigen {
// The engine's complex dynamic matrix and vector types.
using MatrixXc = Matrix<std::complex<double>, Dynamic, Dynamic>;
using VectorXc = Matrix<std::complex<double>, Dynamic, 1>;
}  // namespace Eigen

using AD = CppAD::AD<double>;
using Complex = std::complex<double>;
using ComplexAD = std::complex<AD>;
using VectorXAD = Eigen::Matrix<AD, Eigen::Dynamic, 1>;
using VectorXd = Eigen::Matrix<double, Eigen::Dynamic, 1>;

template <class C>
using MatrixOf = Eigen::Matrix<C, Eigen::Dynamic, Eigen::Dynamic>;
template <class C>
using VectorOf = Eigen::Matrix<C, Eigen::Dynamic, 1>;

// The recorded products. They are plain overloads in CppAD's namespace so that argument-dependent
// lookup prefers them over std::complex's generic operators, also inside Eigen's expressions:
// every product of recorded complex values then costs exactly four multiplications and two sums
// on the tape, without the NaN recovery of the plain product.
namespace CppAD {
ComplexAD operator*(const ComplexAD& a, const ComplexAD& b);
ComplexAD operator*(const double& r, const ComplexAD& z);
}  // namespace CppAD

// Reciprocal and quotient in either arithmetic. Plain values use the platform's complex division
// (scaled, with its recovery from zero and non-finite operands). Recorded values are worked part
// by part without scaling or recovery: 1/b is conj(b) divided by Re b·Re b + Im b·Im b, then
// multiplied by 1.0, and a/b is a·(1/b), so a zero divisor records infinite or NaN parts.
inline Complex reciprocal(const Complex& b) { return 1.0 / b; }
ComplexAD reciprocal(const ComplexAD& b);
inline Complex quotient(const Complex& a, const Complex& b) { return a / b; }
inline ComplexAD quotient(const ComplexAD& a, const ComplexAD& b) { return a * reciprocal(b); }

// Flattening: a complex value takes two consecutive reals (real part first); a matrix is laid
// out row by row.
std::vector<double> to_vector(const Eigen::MatrixXc& m);
std::vector<double> to_vector(const Eigen::VectorXc& v);

// Rebuilds a complex matrix (or vector) with the shape of `shape` from 2·size reals at `data`.
template <class T>
MatrixOf<std::complex<T>> from_vector(const T* data, const Eigen::MatrixXc& shape) {
  MatrixOf<std::complex<T>> m(shape.rows(), shape.cols());
  for (Eigen::Index i = 0; i < shape.rows(); ++i)
    for (Eigen::Index j = 0; j < shape.cols(); ++j) {
      const Eigen::Index k = 2 * (i * shape.cols() + j);
      m(i, j) = std::complex<T>(data[k], data[k + 1]);
    }
  return m;
}

template <class T>
VectorOf<std::complex<T>> from_vector(const T* data, const Eigen::VectorXc& shape) {
  VectorOf<std::complex<T>> v(shape.size());
  for (Eigen::Index k = 0; k < shape.size(); ++k) v(k) = std::complex<T>(data[2 * k], data[2 * k + 1]);
  return v;
}

namespace detail {
// How each record type is laid out in reals and what its recorded form is.
template <class T>
struct RecordLayout;

template <>
struct RecordLayout<double> {
  using Recorded = AD;
  static int size(double) { return 1; }
  static void write(double value, double* out) { out[0] = value; }
  template <class S>
  static S read(const S* data, double) { return data[0]; }
};

template <>
struct RecordLayout<Complex> {
  using Recorded = ComplexAD;
  static int size(const Complex&) { return 2; }
  static void write(const Complex& value, double* out) {
    out[0] = value.real();
    out[1] = value.imag();
  }
  template <class S>
  static std::complex<S> read(const S* data, const Complex&) { return {data[0], data[1]}; }
};

template <class Dense>
struct DenseRecordLayout {
  using Recorded = Eigen::Matrix<ComplexAD, Dense::RowsAtCompileTime, Dense::ColsAtCompileTime>;
  static int size(const Dense& value) { return static_cast<int>(2 * value.size()); }
  static void write(const Dense& value, double* out) {
    const std::vector<double> flat = to_vector(value);
    std::copy(flat.begin(), flat.end(), out);
  }
  template <class S>
  static auto read(const S* data, const Dense& shape) { return from_vector<S>(data, shape); }
};

template <>
struct RecordLayout<Eigen::MatrixXc> : DenseRecordLayout<Eigen::MatrixXc> {};
template <>
struct RecordLayout<Eigen::VectorXc> : DenseRecordLayout<Eigen::VectorXc> {};
}  // namespace detail

// The plain vectors of one solver, its unknowns and its dynamic parameters, for finding the
// records that still point into them before they are released.
class SolverVectors {
 public:
  SolverVectors(const VectorXd& unknowns, const VectorXd& parameters) : unknowns(unknowns), parameters(parameters) {}

  // Whether `slot` points into one of the two vectors.
  bool holds(const double* slot) const { return within(unknowns, slot) || within(parameters, slot); }

 private:
  // std::less orders pointers into different arrays too.
  static bool within(const VectorXd& vector, const double* slot) {
    const std::less<const double*> before;
    return !before(slot, vector.data()) && before(slot, vector.data() + vector.size());
  }

  const VectorXd& unknowns;
  const VectorXd& parameters;
};

// A value that the solvers treat as an unknown or a dynamic parameter.
//
// Unlinked, the record is just its stored `value`. Once a solver links it, `ad` holds the tape's
// own recorded variables and `value_ptr` the record's first real in the solver's plain vector:
// reads then come from that vector, and writes go to both the stored value and the vector. The
// solver that linked the record last must outlive every read or write through `value_ptr`.
template <class T>
class ADVariable {
  using Layout = detail::RecordLayout<T>;

 public:
  using Recorded = typename Layout::Recorded;

  ADVariable() = default;
  explicit ADVariable(const T& initial) : value(initial) {}

  // Number of reals the record occupies in a solver's vector.
  int size() const { return Layout::size(value); }

  // Appends the stored value (never the linked slot) in flat order.
  void declare(std::vector<double>& out) const {
    const auto first = out.size();
    out.resize(first + static_cast<std::size_t>(size()));
    Layout::write(value, out.data() + first);
  }

  // Binds the record to v[idx ..] (recorded) and vd[idx ..] (plain) and advances idx.
  void link(const VectorXAD& v, VectorXd& vd, int& idx) {
    ad = Layout::read(v.data() + idx, value);
    value_ptr = vd.data() + idx;
    idx += size();
    linked = true;
  }

  // The solver's current value when linked, the stored value otherwise.
  T get_value() const { return linked ? T(Layout::read(static_cast<const double*>(value_ptr), value)) : value; }

  // Stores a new value and, when linked, writes it into the solver's vector too. The recorded
  // form is left alone: the tape holds the value as a dynamic parameter.
  void set_value(const T& new_value) {
    value = new_value;
    if (linked) Layout::write(value, value_ptr);
  }

  // Keeps the value read last as the stored value and forgets the slot, for a solver whose
  // vectors are about to be released.
  void unlink() {
    value = get_value();
    value_ptr = nullptr;
    linked = false;
  }
  // The same, only if the record points into `solver`: a record that a newer solver has
  // relinked stays linked to that one.
  void unlink_from(const SolverVectors& solver) {
    if (linked && solver.holds(value_ptr)) unlink();
  }

  // The value in the arithmetic C: the read rule for plain values, the recorded form otherwise.
  template <class C>
  auto as() const {
    if constexpr (std::is_same_v<C, Complex>)
      return get_value();
    else
      return ad;
  }

  double* value_ptr = nullptr;
  Recorded ad{};
  T value{};
  bool linked = false;
};

// Declares, then links, several records of one element in the order given: one list per element
// keeps the two orders the same.
template <class... Records>
void declare_each(std::vector<double>& out, const Records&... records) {
  (records.declare(out), ...);
}
template <class... Records>
void link_each(const VectorXAD& v, VectorXd& vd, int& idx, Records&... records) {
  (records.link(v, vd, idx), ...);
}
template <class... Records>
void unlink_each(const SolverVectors& solver, Records&... records) {
  (records.unlink_from(solver), ...);
}

// A fixed sequence of complex records (one per phase, branch or source voltage), declared, linked
// and set record by record in order.
using ComplexRecords = std::vector<ADVariable<Complex>>;

// `count` records holding values[0 .. count-1]. A negative count throws std::length_error. The
// count is wide so that callers can derive it from an int (n − 1 records for n ports) without
// overflow.
ComplexRecords make_records(const Complex* values, std::ptrdiff_t count);
void declare_records(const ComplexRecords& records, std::vector<double>& out);
void link_records(ComplexRecords& records, const VectorXAD& v, VectorXd& vd, int& idx);
void unlink_records(ComplexRecords& records, const SolverVectors& solver);
// The set rule on each record, reading one value per record.
void set_records(ComplexRecords& records, const Complex* values);
