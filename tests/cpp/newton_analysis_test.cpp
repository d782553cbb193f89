#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "solvers/newton.hpp"
#include "tests/cpp/log_capture.hpp"
#include "tests/cpp/test_networks.hpp"

namespace {
using Positions = std::vector<int>;
const double nan = std::numeric_limits<double>::quiet_NaN();

TEST(JacobianAnalysis, SolvableNetworkHasNoDefect) {
  Feeder feeder;
  Newton solver(&feeder.network, true);
  EXPECT_EQ(solver.analyse_jacobian(), std::make_pair(Positions{}, Positions{}));
}

TEST(JacobianAnalysis, NamesEachOwnerOnceInOrder) {
  // Stored zeros only: d(V²)/dV at V = 0; owner the bus, the first port of the node.
  LawNode<SquareLaw> square({0.0, 0.0}, {1.0, 0.0});
  // No stored entry at all: a node that only a bus touches.
  Bus lone(1);
  // NaN everywhere in its columns, which are therefore not empty; its rows name the element
  // whose recorded current is NaN.
  LawNode<ConstantPowerLaw> power({0.0, 0.0}, {1.0, 1.0});
  ElectricalNetwork network({&square.bus, &square.element, &lone, &power.bus, &power.element});
  const LogCapture log(spdlog::level::off);
  Newton solver(&network, false);
  EXPECT_EQ(solver.analyse_jacobian(), std::make_pair(Positions{0, 2}, Positions{4}));
}

TEST(JacobianAnalysis, NamesEveryElementWithANonFiniteCurrentButNoneOutsideTheList) {
  // Node 1 lists an element outside the network first (its recorded current NaN from an earlier
  // recording, here set by hand), then a bus and two constant-power laws at 0 V.
  LawElement<InjectionLaw> outsider({0.0, 0.0});
  outsider.ports[0].current_ad = ComplexAD(AD(nan), AD(nan));
  Bus bus(1);
  LawElement<ConstantPowerLaw> first({1.0, 1.0}), second({2.0, 1.0});
  outsider.connect(bus, {{0, 0}});
  bus.connect(first, {{0, 0}});
  bus.connect(second, {{0, 0}});
  // Node 2: an empty column whose node's first port belongs to an element outside the network.
  Bus outside_bus(1), inside_bus(1);
  outside_bus.connect(inside_bus, {{0, 0}});
  ElectricalNetwork network({&bus, &first, &second, &inside_bus});
  const LogCapture log(spdlog::level::off);
  Newton solver(&network, false);
  EXPECT_EQ(solver.analyse_jacobian(), std::make_pair(Positions{}, Positions{1, 2}));
}

TEST(JacobianAnalysis, AnInfiniteDerivativeCountsAsNonFinite) {
  // d sqrt(Re V)/d Re V is infinite at 0, and nothing depends on Im V.
  LawNode<SqrtLaw> node({0.0, 0.0}, {1.0, 0.0});
  Newton solver(&node.network, false);
  EXPECT_EQ(solver.analyse_jacobian(), std::make_pair(Positions{0}, Positions{0}));
}

class MatrixExport : public testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(directory); }
  void TearDown() override { std::filesystem::remove_all(directory); }

  static std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() / ("matrix_export_" + std::to_string(::getpid()));
};

TEST_F(MatrixExport, WritesTheJacobianAndTheResiduals) {
  // At V = 4 + 1j with p = 1 + 0.5j: J has the single entry d sqrt(Re V)/d Re V = 0.25, and
  // the residuals are sqrt(4) − 1 = 1 and −0.5.
  LawNode<SqrtLaw> node({4.0, 1.0}, {1.0, 0.5});
  Newton solver(&node.network, false);
  solver.save_matrix((directory / "j").string());
  EXPECT_EQ(contents(directory / "j.mtx"),
            "%%MatrixMarket matrix coordinate  real general\n"
            "2 2 1\n"
            "1 1 2.50000000000000000e-01\n");
  EXPECT_EQ(contents(directory / "j_b.mtx"),
            "%%MatrixMarket matrix array real general\n"
            "2 1\n"
            "1.00000000000000000e+00\n"
            "-5.00000000000000000e-01\n");
}

TEST_F(MatrixExport, KeepsExplicitZerosInOneBasedColumnOrder) {
  LawNode<SquareLaw> node({0.0, 0.0}, {1.0, 0.0});
  Newton solver(&node.network, false);
  solver.save_matrix((directory / "zeros").string());
  const std::string zero = "0.00000000000000000e+00";
  EXPECT_EQ(contents(directory / "zeros.mtx"), "%%MatrixMarket matrix coordinate  real general\n2 2 4\n1 1 " + zero +
                                                   "\n2 1 " + zero + "\n1 2 " + zero + "\n2 2 " + zero + "\n");
}

TEST_F(MatrixExport, WritesTheResidualsWhenTheMatrixFileCannotBeOpened) {
  LawNode<SqrtLaw> node({4.0, 1.0}, {1.0, 0.5});
  Newton solver(&node.network, false);
  std::filesystem::create_directory(directory / "j.mtx");
  EXPECT_NO_THROW(solver.save_matrix((directory / "j").string()));
  EXPECT_TRUE(std::filesystem::is_directory(directory / "j.mtx"));
  EXPECT_EQ(contents(directory / "j_b.mtx"),
            "%%MatrixMarket matrix array real general\n"
            "2 1\n"
            "1.00000000000000000e+00\n"
            "-5.00000000000000000e-01\n");
}

TEST_F(MatrixExport, MissingDirectoryWritesNothing) {
  Feeder feeder;
  Newton solver(&feeder.network, false);
  const std::filesystem::path prefix = directory / "missing" / "j";
  EXPECT_NO_THROW(solver.save_matrix(prefix.string()));
  EXPECT_FALSE(std::filesystem::exists(directory / "missing"));
}
}  // namespace
