#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/ad_variable.hpp"

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();

// Records f over 2·count independent reals (taken as `count` complex numbers) and returns the tape.
template <class F>
CppAD::ADFun<double> record(const std::vector<Complex>& point, F&& f) {
  VectorXAD x(static_cast<Eigen::Index>(2 * point.size()));
  for (std::size_t k = 0; k < point.size(); ++k) {
    x(static_cast<Eigen::Index>(2 * k)) = point[k].real();
    x(static_cast<Eigen::Index>(2 * k + 1)) = point[k].imag();
  }
  CppAD::Independent(x);
  std::vector<ComplexAD> z;
  for (std::size_t k = 0; k < point.size(); ++k)
    z.emplace_back(x(static_cast<Eigen::Index>(2 * k)), x(static_cast<Eigen::Index>(2 * k + 1)));
  const std::vector<ComplexAD> result = f(z);
  VectorXAD y(static_cast<Eigen::Index>(2 * result.size()));
  for (std::size_t k = 0; k < result.size(); ++k) {
    y(static_cast<Eigen::Index>(2 * k)) = result[k].real();
    y(static_cast<Eigen::Index>(2 * k + 1)) = result[k].imag();
  }
  CppAD::ADFun<double> tape(x, y);
  tape.check_for_nan(false);  // non-finite results are what some cases check
  return tape;
}

std::vector<Complex> evaluate(CppAD::ADFun<double>& tape, const std::vector<Complex>& point) {
  VectorXd x(static_cast<Eigen::Index>(2 * point.size()));
  for (std::size_t k = 0; k < point.size(); ++k) {
    x(static_cast<Eigen::Index>(2 * k)) = point[k].real();
    x(static_cast<Eigen::Index>(2 * k + 1)) = point[k].imag();
  }
  const VectorXd y = tape.Forward(0, x);
  std::vector<Complex> out;
  for (Eigen::Index k = 0; k < y.size(); k += 2) out.emplace_back(y(k), y(k + 1));
  return out;
}

// Same value, with NaN parts in the same places.
void expect_same(const Complex& actual, const Complex& expected) {
  for (const auto& [a, e] : {std::pair{actual.real(), expected.real()}, std::pair{actual.imag(), expected.imag()}}) {
    if (std::isnan(e))
      EXPECT_TRUE(std::isnan(a)) << actual << " vs " << expected;
    else
      EXPECT_DOUBLE_EQ(a, e) << actual << " vs " << expected;
  }
}

TEST(RecordedComplex, ReciprocalAndQuotientAgreeWithThePlainOnes) {
  const std::vector<Complex> point{{3.0, -4.0}, {-0.5, 2.0}};
  CppAD::ADFun<double> tape = record(point, [](const std::vector<ComplexAD>& z) {
    return std::vector<ComplexAD>{reciprocal(z[0]), quotient(z[1], z[0])};
  });
  for (const auto& at : {point, std::vector<Complex>{{1e-3, 2e3}, {7.0, 0.0}}}) {
    const auto values = evaluate(tape, at);
    expect_same(values[0], reciprocal(at[0]));
    expect_same(values[1], quotient(at[1], at[0]));
  }
}

// The recorded rules neither scale nor recover: a squared modulus that overflows gives 0, a zero
// divisor gives NaN parts, where the plain division still finds the right or an infinite value.
TEST(RecordedComplex, ReciprocalIsUnscaledAndUnguarded) {
  CppAD::ADFun<double> tape = record({{1.0, 1.0}}, [](const std::vector<ComplexAD>& z) {
    return std::vector<ComplexAD>{reciprocal(z[0])};
  });
  const Complex huge(1e200, 1e200);
  EXPECT_EQ(evaluate(tape, {huge})[0], Complex(0.0, -0.0));
  EXPECT_NEAR(reciprocal(huge).real(), 5e-201, 1e-214);

  const Complex zero = evaluate(tape, {Complex()})[0];
  EXPECT_TRUE(std::isnan(zero.real()) && std::isnan(zero.imag()));
  EXPECT_TRUE(std::isinf(std::abs(reciprocal(Complex()))));
}

// An Eigen matrix-vector product of recorded complex values records what the entry-wise sum of the
// core's recorded products records: no scaling and no recovery is added, and a non-finite entry
// propagates the same way.
class RecordedMatrixProduct : public testing::TestWithParam<int> {};

TEST_P(RecordedMatrixProduct, RecordsOnlyTheCoreProducts) {
  const int n = GetParam();
  std::vector<Complex> point;
  for (int i = 0; i < n * n + n; ++i) point.emplace_back(0.5 + i, 1.0 - 0.25 * i);
  const auto split = [n](const std::vector<ComplexAD>& z) {
    MatrixOf<ComplexAD> a(n, n);
    VectorOf<ComplexAD> v(n);
    for (int i = 0; i < n; ++i) {
      v(i) = z[static_cast<std::size_t>(n * n + i)];
      for (int j = 0; j < n; ++j) a(i, j) = z[static_cast<std::size_t>(i * n + j)];
    }
    return std::pair{a, v};
  };
  CppAD::ADFun<double> eigen_tape = record(point, [&](const std::vector<ComplexAD>& z) {
    const auto [a, v] = split(z);
    const VectorOf<ComplexAD> product = a * v;
    return std::vector<ComplexAD>(product.data(), product.data() + n);
  });
  CppAD::ADFun<double> loop_tape = record(point, [&](const std::vector<ComplexAD>& z) {
    const auto [a, v] = split(z);
    std::vector<ComplexAD> product;
    for (int i = 0; i < n; ++i) {
      ComplexAD sum = CppAD::operator*(a(i, 0), v(0));
      for (int j = 1; j < n; ++j) sum += CppAD::operator*(a(i, j), v(j));
      product.push_back(sum);
    }
    return product;
  });
  // A single entry takes Eigen's inner-product path, which conjugates twice (two exact negations).
  EXPECT_EQ(eigen_tape.size_op(), loop_tape.size_op() + (n == 1 ? 2 : 0));

  std::vector<Complex> non_finite = point;
  non_finite[0] = Complex(kInf, kInf);
  non_finite[static_cast<std::size_t>(n * n)] = Complex(1.0, 0.0);
  const auto eigen_values = evaluate(eigen_tape, non_finite);
  const auto loop_values = evaluate(loop_tape, non_finite);
  for (int i = 0; i < n; ++i) expect_same(eigen_values[static_cast<std::size_t>(i)], loop_values[static_cast<std::size_t>(i)]);
  // (inf + inf i)·(1 + 0i) has both parts NaN without the plain product's recovery.
  EXPECT_TRUE(std::isnan(eigen_values[0].real()) && std::isnan(eigen_values[0].imag()));
}

INSTANTIATE_TEST_SUITE_P(RecordedComplex, RecordedMatrixProduct, testing::Values(1, 3, 4, 8),
                         [](const auto& info) { return "Size" + std::to_string(info.param); });
}  // namespace
