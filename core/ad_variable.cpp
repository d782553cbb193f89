#include "core/ad_variable.hpp"

namespace CppAD {
ComplexAD operator*(const ComplexAD& a, const ComplexAD& b) {
  return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

ComplexAD operator*(const double& r, const ComplexAD& z) {
  const AD recorded_r(r);
  return {recorded_r * z.real(), recorded_r * z.imag()};
}
}  // namespace CppAD

ComplexAD reciprocal(const ComplexAD& b) {
  const AD squared_modulus = b.real() * b.real() + b.imag() * b.imag();
  const ComplexAD conjugate(b.real() / squared_modulus, -b.imag() / squared_modulus);
  return 1.0 * conjugate;
}

std::vector<double> to_vector(const Eigen::MatrixXc& m) {
  std::vector<double> out;
  out.reserve(static_cast<std::size_t>(2 * m.size()));
  for (Eigen::Index i = 0; i < m.rows(); ++i)
    for (Eigen::Index j = 0; j < m.cols(); ++j) {
      out.push_back(m(i, j).real());
      out.push_back(m(i, j).imag());
    }
  return out;
}

std::vector<double> to_vector(const Eigen::VectorXc& v) {
  std::vector<double> out;
  out.reserve(static_cast<std::size_t>(2 * v.size()));
  for (const Complex& z : v) {
    out.push_back(z.real());
    out.push_back(z.imag());
  }
  return out;
}

ComplexRecords make_records(const Complex* values, std::ptrdiff_t count) {
  ComplexRecords records;
  records.reserve(static_cast<std::size_t>(count));  // a negative count throws std::length_error
  for (std::ptrdiff_t i = 0; i < count; ++i) records.emplace_back(values[i]);
  return records;
}

void declare_records(const ComplexRecords& records, std::vector<double>& out) {
  for (const auto& record : records) record.declare(out);
}

void link_records(ComplexRecords& records, const VectorXAD& v, VectorXd& vd, int& idx) {
  for (auto& record : records) record.link(v, vd, idx);
}

void unlink_records(ComplexRecords& records, const SolverVectors& solver) {
  for (auto& record : records) record.unlink_from(solver);
}

void set_records(ComplexRecords& records, const Complex* values) {
  for (std::size_t i = 0; i < records.size(); ++i) records[i].set_value(values[i]);
}
