// The electrical network: the distinct nodes behind a list of elements and the fixed orders in
// which their unknowns and parameters are declared and linked and their equations assembled.
#pragma once

#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "core/element.hpp"

class FlexibleParameter;

// A snapshot of the nodes reachable through the elements' ports, taken at construction: joining
// or separating ports later is not seen.
//
// Layout of a solver's vectors, which nothing else records:
//  - unknowns: 2 reals (real, imaginary part of the potential) per non-reference node in
//    `connections` order, then each element's own unknowns in list order;
//  - dynamic parameters: each element's parameters in list order, then each flexible parameter's
//    in set order (3 reals: s_max, q_min, q_max);
//  - residual rows: the Kirchhoff equations of the non-reference nodes (2 rows each), then each
//    element's internal rows, so that rows and unknowns share one layout.
//
// Elements and flexible parameters are not owned and must outlive the network; the network
// must outlive its solvers.
class ElectricalNetwork {
 public:
  // The list must hold distinct elements; a null entry throws std::invalid_argument, and so does
  // a flexible load holding a null flexible parameter. The distinct flexible parameters of the
  // flexible loads are gathered here, once each.
  explicit ElectricalNetwork(std::vector<Element*> elements);
  // Solvers and relinked records point into a network: it stays where it was built.
  ElectricalNetwork(const ElectricalNetwork&) = delete;
  ElectricalNetwork& operator=(const ElectricalNetwork&) = delete;

  // Start values of all unknowns (first) and current values of all dynamic parameters (second),
  // taken from the stored values of the records, never from an earlier solver's slots.
  std::pair<std::vector<double>, std::vector<double>> declare_variables() const;
  // The same values in plain vectors, resized to fit: this is where a solver sizes its vectors.
  void declare_variables(VectorXd& x0, VectorXd& p0) const;

  // Binds every record to its slice of x / xd (unknowns) and p / pd (dynamic parameters), which
  // are sized from declare_variables(). xd and pd must not be reallocated afterwards.
  void link_variables(const VectorXAD& x, VectorXd& xd, const VectorXAD& p, VectorXd& pd) const;
  // Links every record to xd and pd, its recorded form being a constant (on no tape) of the
  // value it finds there.
  void link_constants(VectorXd& xd, VectorXd& pd) const;

  // Writes the recorded residuals into y (sized to the number of unknowns): all recorded port
  // currents first, so that every Kirchhoff sum sees every port, then the Kirchhoff rows, then
  // the elements' internal rows.
  void add_equations(VectorXAD& y) const;

  // Plain port currents of every element from the solver's current values.
  void eval_currents() const;

  // Backward sweep step of every element, last element first. Element exceptions pass through.
  void backward() const;

  // Forward sweep step of every element in list order; returns the largest change reported
  // (0.0 for no element; a NaN report never wins).
  double forward() const;

  // Whether the potential of every node and the plain current of every listed element's port
  // are finite.
  bool values_finite() const;

  // Positions in `elements` of the owners of the given indices of unknowns (or residual rows),
  // ascending and each once. `indices` must be ascending; indices beyond the unknowns are
  // ignored. A node's index is attributed to the elements whose recorded currents at that node
  // are NaN, or else to the element of the node's first port; a node without ports names none.
  std::vector<int> detect_elements(const std::vector<long>& indices) const;

  // Unlinks every node, element record and flexible-parameter record that still points into
  // `solver`, a solver whose vectors are about to be released (also one that failed after
  // linking); each keeps the value it read last, and records that a newer solver has relinked
  // stay linked to it. Nothing then points into the solver, so the records stay usable however
  // long they outlive it: a node outlives the network through an element joined to it later or
  // a disconnected port, and elements and flexible parameters outlive their solvers.
  void unlink_from(const SolverVectors& solver) const;

  std::vector<Element*> elements;
  std::vector<std::shared_ptr<Connection>> connections;
  // The distinct control laws of the flexible loads in the list, ordered by address.
  std::set<FlexibleParameter*> flexible_parameters;

 private:
  void gather_flexible_parameters(const std::vector<FlexibleParameter*>& parameters);
  // The position of `element` in the list, or -1.
  int position_of(const Element* element) const;
};

// The Kirchhoff equations of a recording, summed again in plain arithmetic: the tape can
// disagree with the plain laws (a recorded modulus that overflows, a zero folded where plain
// arithmetic keeps a product, a branch of a law fixed at recording), and a result is only a
// solution if the plain port currents meet Kirchhoff's law too.
//
// Each node with an equation sums the ports its recorded equation summed: a port joined to it
// later does not count, and one disconnected later still does (a port moved onto another node
// by a later join reads that node's potential, and its plain current can then break the sum:
// the currents are no longer those of the tape). Ports of listed elements take their plain
// currents, which every solve refreshes; ports of elements outside the list entered the
// recording as constants and keep those (their elements may be gone by now).
class PlainKirchhoffSums {
 public:
  PlainKirchhoffSums() = default;
  // Takes the nodes and ports of `network` as they are, right after a recording.
  explicit PlainKirchhoffSums(const ElectricalNetwork& network);

  // Whether every node with an equation reads its potential from `solver`: the plain currents
  // are computed from what the nodes and records read, so they belong to the recording's
  // solver only while no newer solver has relinked the nodes and nothing has unlinked them.
  bool nodes_read_from(const SolverVectors& solver) const;

  // The largest absolute real or imaginary part of the sums at the present plain port currents
  // (0 for no node). Allocates nothing.
  double largest() const;

 private:
  struct Node {
    const Connection* connection;  // kept alive by the network
    std::size_t ports_end;         // its ports are ports[previous node's ports_end, ports_end)
    Complex fixed;                 // what ports outside the list add
  };
  std::vector<Node> nodes;
  std::vector<const Port*> ports;
};
