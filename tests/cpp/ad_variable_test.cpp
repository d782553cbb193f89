// Parameter records (declare, link, read and set rules), the flattening of complex values into
// reals and the recorded complex products.
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "core/ad_variable.hpp"
#include "taped_network.hpp"

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Two values of each record kind with their flat layouts written out by hand, and the recorded
// form taken apart in the same flat order.
template <class T>
struct Sample;

template <>
struct Sample<double> {
  static double first() { return 2.5; }
  static double second() { return -7.0; }
  static std::vector<double> flat_first() { return {2.5}; }
  static std::vector<double> flat_second() { return {-7.0}; }
  static std::vector<AD> parts(const AD& ad) { return {ad}; }
};

template <>
struct Sample<Complex> {
  static Complex first() { return {1, -2}; }
  static Complex second() { return {3, 4}; }
  static std::vector<double> flat_first() { return {1, -2}; }
  static std::vector<double> flat_second() { return {3, 4}; }
  static std::vector<AD> parts(const ComplexAD& ad) { return {ad.real(), ad.imag()}; }
};

template <>
struct Sample<Eigen::MatrixXc> {
  static Eigen::MatrixXc first() {
    Eigen::MatrixXc m(2, 3);
    m << Complex(1, 2), Complex(3, 4), Complex(5, 6), Complex(7, 8), Complex(9, 10), Complex(11, 12);
    return m;
  }
  static Eigen::MatrixXc second() { return -first(); }
  static std::vector<double> flat_first() { return {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}; }
  static std::vector<double> flat_second() { return {-1, -2, -3, -4, -5, -6, -7, -8, -9, -10, -11, -12}; }
  static std::vector<AD> parts(const MatrixOf<ComplexAD>& ad) {
    std::vector<AD> out;
    for (Eigen::Index i = 0; i < ad.rows(); ++i)
      for (Eigen::Index j = 0; j < ad.cols(); ++j) {
        out.push_back(ad(i, j).real());
        out.push_back(ad(i, j).imag());
      }
    return out;
  }
};

template <>
struct Sample<Eigen::VectorXc> {
  static Eigen::VectorXc first() {
    Eigen::VectorXc v(3);
    v << Complex(1, 2), Complex(3, 4), Complex(5, 6);
    return v;
  }
  static Eigen::VectorXc second() {
    Eigen::VectorXc v(3);
    v << Complex(0, -1), Complex(-2, 0), Complex(8, 9);
    return v;
  }
  static std::vector<double> flat_first() { return {1, 2, 3, 4, 5, 6}; }
  static std::vector<double> flat_second() { return {0, -1, -2, 0, 8, 9}; }
  static std::vector<AD> parts(const VectorOf<ComplexAD>& ad) {
    std::vector<AD> out;
    for (const ComplexAD& z : ad) {
      out.push_back(z.real());
      out.push_back(z.imag());
    }
    return out;
  }
};

template <class T>
bool same(const T& a, const T& b) {
  if constexpr (std::is_arithmetic_v<T> || std::is_same_v<T, Complex>)
    return a == b;
  else
    return a.rows() == b.rows() && a.cols() == b.cols() && a == b;
}

std::vector<double> slice(const VectorXd& v, int first, std::size_t count) {
  return {v.data() + first, v.data() + first + count};
}

template <class T>
class Record : public testing::Test {
 protected:
  using S = Sample<T>;
  const std::size_t m = S::flat_first().size();
  ADVariable<T> record{S::first()};
};

using RecordKinds = testing::Types<double, Complex, Eigen::MatrixXc, Eigen::VectorXc>;

class RecordKindNames {
 public:
  template <class T>
  static std::string GetName(int) {
    if constexpr (std::is_same_v<T, double>) return "Real";
    if constexpr (std::is_same_v<T, Complex>) return "Complex";
    if constexpr (std::is_same_v<T, Eigen::MatrixXc>) return "ComplexMatrix";
    return "ComplexVector";
  }
};

TYPED_TEST_SUITE(Record, RecordKinds, RecordKindNames);

TYPED_TEST(Record, StartsUnlinkedWithItsStoredValue) {
  EXPECT_FALSE(this->record.linked);
  EXPECT_EQ(this->record.value_ptr, nullptr);
  EXPECT_TRUE(same(this->record.get_value(), Sample<TypeParam>::first()));
  EXPECT_EQ(this->record.size(), static_cast<int>(this->m));
}

TYPED_TEST(Record, DeclareAppendsTheStoredValueInFlatOrder) {
  std::vector<double> out{42.0};
  this->record.declare(out);
  std::vector<double> expected{42.0};
  for (double v : Sample<TypeParam>::flat_first()) expected.push_back(v);
  EXPECT_EQ(out, expected);
}

TYPED_TEST(Record, LinkTakesTheTapesVariablesAndItsSlice) {
  const int n = static_cast<int>(this->m) + 2;
  VectorXd vd = VectorXd::Zero(n);
  int idx = 1;
  CppAD::ADFun<double> f;
  record_rows(f, n, static_cast<int>(this->m), [&](const VectorXAD& v, VectorXAD& y) {
    this->record.link(v, vd, idx);
    const std::vector<AD> parts = Sample<TypeParam>::parts(this->record.ad);
    for (std::size_t k = 0; k < parts.size(); ++k) y[static_cast<Eigen::Index>(k)] = parts[k];
  });
  EXPECT_EQ(idx, 1 + static_cast<int>(this->m));
  EXPECT_TRUE(this->record.linked);
  EXPECT_EQ(this->record.value_ptr, vd.data() + 1);
  EXPECT_TRUE(same(this->record.value, Sample<TypeParam>::first())) << "linking leaves the stored value";

  std::vector<double> probe(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) probe[static_cast<std::size_t>(k)] = 100.0 + k;
  const std::vector<double> expected(probe.begin() + 1, probe.begin() + 1 + static_cast<long>(this->m));
  EXPECT_EQ(f.Forward(0, probe), expected) << "the recorded form is the tape's own variables";
}

TYPED_TEST(Record, LinkedReadsFollowTheSolversVector) {
  const std::vector<double> second = Sample<TypeParam>::flat_second();
  VectorXAD v = VectorXAD::Zero(static_cast<Eigen::Index>(this->m));
  VectorXd vd = Eigen::Map<const VectorXd>(second.data(), static_cast<Eigen::Index>(second.size()));
  int idx = 0;
  this->record.link(v, vd, idx);
  EXPECT_TRUE(same(this->record.get_value(), Sample<TypeParam>::second()));
  EXPECT_TRUE(same(this->record.value, Sample<TypeParam>::first()));

  std::vector<double> out;
  this->record.declare(out);
  EXPECT_EQ(out, Sample<TypeParam>::flat_first()) << "declarations take the stored value, not the slot";
}

TYPED_TEST(Record, SetOnAnUnlinkedRecordChangesOnlyTheStoredValue) {
  this->record.set_value(Sample<TypeParam>::second());
  EXPECT_TRUE(same(this->record.value, Sample<TypeParam>::second()));
  EXPECT_TRUE(same(this->record.get_value(), Sample<TypeParam>::second()));
  EXPECT_FALSE(this->record.linked);
}

TYPED_TEST(Record, SetOnALinkedRecordWritesStoredValueAndExactlyItsSlice) {
  const int n = static_cast<int>(this->m) + 2;
  VectorXAD v = VectorXAD::Zero(n);
  VectorXd vd = VectorXd::Constant(n, 99.0);
  int idx = 1;
  this->record.link(v, vd, idx);
  this->record.set_value(Sample<TypeParam>::second());

  EXPECT_TRUE(same(this->record.value, Sample<TypeParam>::second()));
  EXPECT_TRUE(same(this->record.get_value(), Sample<TypeParam>::second()));
  EXPECT_EQ(slice(vd, 1, this->m), Sample<TypeParam>::flat_second());
  EXPECT_EQ(vd[0], 99.0);
  EXPECT_EQ(vd[n - 1], 99.0);
}

TYPED_TEST(Record, SetLeavesTheRecordedForm) {
  const int n = static_cast<int>(this->m);
  VectorXd vd = VectorXd::Zero(n);
  int idx = 0;
  CppAD::ADFun<double> f;
  record_rows(f, n, n, [&](const VectorXAD& v, VectorXAD& y) {
    this->record.link(v, vd, idx);
    this->record.set_value(Sample<TypeParam>::second());
    const std::vector<AD> parts = Sample<TypeParam>::parts(this->record.ad);
    for (std::size_t k = 0; k < parts.size(); ++k) y[static_cast<Eigen::Index>(k)] = parts[k];
  });
  const std::vector<double> probe = Sample<TypeParam>::flat_first();
  EXPECT_EQ(f.Forward(0, probe), probe) << "the tape still reads its variables, not the set value";
}

TYPED_TEST(Record, SecondLinkFollowsTheNewSolver) {
  const Eigen::Index n = static_cast<Eigen::Index>(this->m);
  VectorXAD v = VectorXAD::Zero(n);
  VectorXd old_vd = VectorXd::Zero(n);
  const std::vector<double> second = Sample<TypeParam>::flat_second();
  VectorXd new_vd = Eigen::Map<const VectorXd>(second.data(), n);
  int idx = 0;
  this->record.link(v, old_vd, idx);
  idx = 0;
  this->record.link(v, new_vd, idx);
  EXPECT_EQ(this->record.value_ptr, new_vd.data());
  EXPECT_TRUE(same(this->record.get_value(), Sample<TypeParam>::second()));

  this->record.set_value(Sample<TypeParam>::first());
  EXPECT_EQ(slice(new_vd, 0, this->m), Sample<TypeParam>::flat_first());
  EXPECT_EQ(old_vd, VectorXd::Zero(n)) << "the earlier solver's vector is no longer written";
}

// ---------------------------------------------------------------------------------------------
// Flattening

TEST(Flattening, MatrixIsLaidOutRowByRow) {
  const Complex a(1, 2), b(3, 4), c(5, 6), d(7, 8);
  Eigen::MatrixXc m(2, 2);
  m << a, b, c, d;
  const std::vector<double> flat = to_vector(m);
  EXPECT_EQ(flat, (std::vector<double>{a.real(), a.imag(), b.real(), b.imag(), c.real(), c.imag(), d.real(), d.imag()}));
  EXPECT_EQ(from_vector<double>(flat.data(), Eigen::MatrixXc(2, 2)), m);
}

struct Shape {
  Eigen::Index rows, cols;
};

class FlatteningShapes : public testing::TestWithParam<Shape> {};

TEST_P(FlatteningShapes, EntryIJSitsAtTwiceIColsPlusJAndComesBack) {
  const auto [rows, cols] = GetParam();
  Eigen::MatrixXc m(rows, cols);
  for (Eigen::Index i = 0; i < rows; ++i)
    for (Eigen::Index j = 0; j < cols; ++j) m(i, j) = Complex(10.0 * i + j, -0.5 - j - 10.0 * i);

  const std::vector<double> flat = to_vector(m);
  ASSERT_EQ(flat.size(), static_cast<std::size_t>(2 * rows * cols));
  for (Eigen::Index i = 0; i < rows; ++i)
    for (Eigen::Index j = 0; j < cols; ++j) {
      const std::size_t k = static_cast<std::size_t>(2 * (i * cols + j));
      EXPECT_EQ(Complex(flat[k], flat[k + 1]), m(i, j));
    }

  // The shape's values are never read: only its dimensions count.
  const Eigen::MatrixXc shape = Eigen::MatrixXc::Constant(rows, cols, Complex(nan, nan));
  EXPECT_EQ(from_vector<double>(flat.data(), shape), m);

  const std::vector<AD> recorded(flat.begin(), flat.end());
  const MatrixOf<ComplexAD> back = from_vector<AD>(recorded.data(), shape);
  ASSERT_EQ(back.rows(), rows);
  ASSERT_EQ(back.cols(), cols);
  for (Eigen::Index i = 0; i < rows; ++i)
    for (Eigen::Index j = 0; j < cols; ++j)
      EXPECT_EQ(Complex(CppAD::Value(back(i, j).real()), CppAD::Value(back(i, j).imag())), m(i, j));
}

INSTANTIATE_TEST_SUITE_P(Shapes, FlatteningShapes,
                         testing::Values(Shape{1, 1}, Shape{2, 2}, Shape{2, 3}, Shape{3, 2}, Shape{1, 4}),
                         [](const auto& info) {
                           return std::to_string(info.param.rows) + "x" + std::to_string(info.param.cols);
                         });

TEST(Flattening, VectorRoundTrip) {
  Eigen::VectorXc v(3);
  v << Complex(1, -1), Complex(0, 2), Complex(-3, 0);
  const std::vector<double> flat = to_vector(v);
  EXPECT_EQ(flat, (std::vector<double>{1, -1, 0, 2, -3, 0}));
  EXPECT_EQ(from_vector<double>(flat.data(), Eigen::VectorXc(3)), v);
}

TEST(Flattening, EmptyShapesGiveEmptyResultsAndReadNothing) {
  const double* nothing = nullptr;
  for (const auto& [rows, cols] : {Shape{0, 0}, Shape{0, 3}, Shape{2, 0}}) {
    const Eigen::MatrixXc shape(rows, cols);
    EXPECT_TRUE(to_vector(shape).empty());
    const Eigen::MatrixXc m = from_vector<double>(nothing, shape);
    EXPECT_EQ(m.rows(), rows);
    EXPECT_EQ(m.cols(), cols);
  }
  EXPECT_EQ(from_vector<double>(nothing, Eigen::VectorXc()).size(), 0);
  EXPECT_EQ(from_vector<AD>(static_cast<const AD*>(nullptr), Eigen::VectorXc()).size(), 0);
  EXPECT_TRUE(to_vector(Eigen::VectorXc()).empty());
}

// ---------------------------------------------------------------------------------------------
// Recorded products

// Compares part by part, NaN matching NaN.
void expect_same_parts(double actual, double expected) {
  if (std::isnan(expected))
    EXPECT_TRUE(std::isnan(actual)) << actual;
  else
    EXPECT_EQ(actual, expected);
}

struct ProductCase {
  std::string name;
  Complex a, b;
};

class RecordedProductValues : public testing::TestWithParam<ProductCase> {};

// The textbook formula without the plain product's recovery from infinite or NaN parts.
TEST_P(RecordedProductValues, IsTheTextbookFormulaPartByPart) {
  const auto& [name, a, b] = GetParam();
  CppAD::ADFun<double> f;
  record_rows(f, 4, 2, [](const VectorXAD& x, VectorXAD& y) {
    const ComplexAD product = ComplexAD(x[0], x[1]) * ComplexAD(x[2], x[3]);
    y << product.real(), product.imag();
  });
  const std::vector<double> y = f.Forward(0, std::vector<double>{a.real(), a.imag(), b.real(), b.imag()});
  expect_same_parts(y[0], a.real() * b.real() - a.imag() * b.imag());
  expect_same_parts(y[1], a.real() * b.imag() + a.imag() * b.real());
}

INSTANTIATE_TEST_SUITE_P(Operands, RecordedProductValues,
                         testing::Values(ProductCase{"Finite", {1.5, -2}, {0.25, 3}},
                                         ProductCase{"PureImaginary", {0, 1}, {0, 1}},
                                         ProductCase{"InfiniteBothPartsTimesOne", {inf, inf}, {1, 0}},
                                         ProductCase{"InfiniteTimesZero", {inf, 0}, {0, 0}},
                                         ProductCase{"NaNPart", {nan, 1}, {2, 0}}),
                         [](const auto& info) { return info.param.name; });

TEST(RecordedProduct, TakesFourMultiplicationsOneSubtractionAndOneAddition) {
  CppAD::ADFun<double> f;
  record_rows(f, 4, 2, [](const VectorXAD& x, VectorXAD& y) {
    const ComplexAD product = ComplexAD(x[0], x[1]) * ComplexAD(x[2], x[3]);
    y << product.real(), product.imag();
  });
  EXPECT_EQ(count_operations(f, CppAD::graph::mul_graph_op), 4);
  EXPECT_EQ(count_operations(f, CppAD::graph::sub_graph_op), 1);
  EXPECT_EQ(count_operations(f, CppAD::graph::add_graph_op), 1);
}

TEST(RecordedProduct, RealTimesComplexTakesTwoMultiplications) {
  const double r = 2.5;
  CppAD::ADFun<double> f;
  record_rows(f, 2, 2, [&](const VectorXAD& x, VectorXAD& y) {
    const ComplexAD product = r * ComplexAD(x[0], x[1]);
    y << product.real(), product.imag();
  });
  EXPECT_EQ(count_operations(f, CppAD::graph::mul_graph_op), 2);
  const std::vector<double> y = f.Forward(0, std::vector<double>{nan, -4});
  EXPECT_TRUE(std::isnan(y[0]));
  EXPECT_EQ(y[1], r * -4);
}

TEST(RecordedProduct, DenseMatrixExpressionsUseTheSameProduct) {
  // y = A z for a 2 x 2 recorded matrix A and a recorded 2-vector z: four complex products.
  CppAD::ADFun<double> f;
  record_rows(f, 12, 4, [](const VectorXAD& x, VectorXAD& y) {
    MatrixOf<ComplexAD> a(2, 2);
    a << ComplexAD(x[0], x[1]), ComplexAD(x[2], x[3]), ComplexAD(x[4], x[5]), ComplexAD(x[6], x[7]);
    VectorOf<ComplexAD> z(2);
    z << ComplexAD(x[8], x[9]), ComplexAD(x[10], x[11]);
    const VectorOf<ComplexAD> product = a * z;
    y << product(0).real(), product(0).imag(), product(1).real(), product(1).imag();
  });
  EXPECT_EQ(count_operations(f, CppAD::graph::mul_graph_op), 16);

  const Complex a00(inf, inf), a01(1, 2), a10(3, -1), a11(0.5, 0.5), z0(1, 0), z1(-2, 1);
  const std::vector<double> y = f.Forward(0, std::vector<double>{a00.real(), a00.imag(), a01.real(), a01.imag(),
                                                                 a10.real(), a10.imag(), a11.real(), a11.imag(),
                                                                 z0.real(), z0.imag(), z1.real(), z1.imag()});
  const auto textbook = [](const Complex& p, const Complex& q) {
    return Complex(p.real() * q.real() - p.imag() * q.imag(), p.real() * q.imag() + p.imag() * q.real());
  };
  const Complex row0 = textbook(a00, z0) + textbook(a01, z1);
  const Complex row1 = textbook(a10, z0) + textbook(a11, z1);
  expect_same_parts(y[0], row0.real());
  expect_same_parts(y[1], row0.imag());
  expect_same_parts(y[2], row1.real());
  expect_same_parts(y[3], row1.imag());
}

}  // namespace
