// Base of the two-sided elements (lines, switches, transformers).
#pragma once

#include "core/element.hpp"

// Ports 0 .. n1-1 form side 1, ports n1 .. n1+n2-1 side 2; any further ports belong to neither
// side (a shunt line's ground port, for example).
class Branch : public Element {
 public:
  // A negative count, or more ports in all than an int counts, throws std::length_error.
  Branch(int n1, int n2) : Branch(n1, n2, 0) {}
  Branch(int n1, int n2, int n3);

  // For each pair (i, j), `other`'s port j node absorbs the node of this side's port i: the other
  // element's node survives (the opposite of Element::connect). Side 1 when `beginning`.
  void connect_side(const Element& other, const std::vector<std::pair<int, int>>& pairs, bool beginning) const;

  // Counts are not checked against the sides' sizes; a count <= 0 writes nothing for that side.
  void get_side_potentials(int n1, int n2, Complex* out1, Complex* out2) const;
  void get_side_currents(int n1, int n2, Complex* out1, Complex* out2) const;

  // The potentials of side 1 (side == 1) or side 2 (any other value) in the arithmetic C.
  template <class C>
  VectorOf<C> side_potentials(int side) const {
    const std::vector<Port*>& list = side == 1 ? side1_ports : side2_ports;
    VectorOf<C> potentials(static_cast<Eigen::Index>(list.size()));
    for (std::size_t i = 0; i < list.size(); ++i) potentials(static_cast<Eigen::Index>(i)) = list[i]->connection->potential_as<C>();
    return potentials;
  }

  // The plain port currents of side 1 (side == 1) or side 2 (any other value).
  Eigen::VectorXc side_currents(int side) const;

  // First half of a backward step: each side-2 port takes minus what the rest of its node draws
  // (0 on a node of its own), the node's ports taken as they are now.
  void draw_side2_currents();
  // Backward step of a series element: draw_side2_currents(), then side-1 port i carries the
  // current of side-2 port i.
  void pass_downstream_currents();

  std::vector<Port*> side1_ports;
  std::vector<Port*> side2_ports;
};
