// Arrays in the forms the elements take them: pairs of ports to join and row-major matrices.
#pragma once

#include <utility>
#include <vector>

#include "core/ad_variable.hpp"

// The pairs (0, 0) .. (n-1, n-1): port i joined to port i.
inline std::vector<std::pair<int, int>> same_ports(int n) {
  std::vector<std::pair<int, int>> pairs;
  for (int i = 0; i < n; ++i) pairs.emplace_back(i, i);
  return pairs;
}

// The n·n entries of m row by row, as a line reads its impedances.
inline std::vector<Complex> row_major(const Eigen::MatrixXc& m) {
  using RowMajorMatrixXc = Eigen::Matrix<Complex, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  std::vector<Complex> out(static_cast<std::size_t>(m.size()));
  Eigen::Map<RowMajorMatrixXc>(out.data(), m.rows(), m.cols()) = m;
  return out;
}

// A full series impedance matrix that is not symmetric, so that a transposed reading shows
// (`scale` as a section length in km).
inline Eigen::MatrixXc impedance(int n, double scale = 1.0) {
  Eigen::MatrixXc z(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      z(i, j) = scale * (i == j ? Complex(0.25 + 0.02 * i, 0.45) : Complex(0.05 + 0.01 * i, 0.15 + 0.02 * j));
  return z;
}
