// Elements, their ports and the nodes (connections) that ports share.
#pragma once

#include <complex>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/ad_variable.hpp"

class Connection;
class Element;

// One terminal of an element. `current` (and its recorded twin) is the current entering the
// element from the node. A port is owned by its element and listed by address in its node.
class Port {
 public:
  Port(const Complex& current, const Complex& potential, Element* element);
  // Moving re-registers the port under its new address in its node's list.
  Port(Port&& other) noexcept;
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;
  Port& operator=(Port&&) = delete;
  ~Port();

  // Takes every occurrence of this port out of its node's list. The port keeps reading that
  // node's potential, but its current no longer counts there.
  void disconnect();

  // The port current in the arithmetic C.
  template <class C>
  C& current_as() {
    if constexpr (std::is_same_v<C, Complex>)
      return current;
    else
      return current_ad;
  }

  std::shared_ptr<Connection> connection;
  Element* element;
  ComplexAD current_ad;
  Complex current;
};

// An electrical node: the ports joined to it and its potential, which is a solver unknown unless
// the node is a reference (potential fixed at zero, no unknown, no Kirchhoff equation).
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(const Complex& potential, Port* port);

  // Moves every port of `other` onto this node, leaving `other` without ports; this node keeps
  // its potential record and takes the reference flag if either node has it. Throws
  // std::bad_weak_ptr if no shared_ptr owns this node.
  void merge(const std::shared_ptr<Connection>& other);

  // Read rule: 0 on a reference node, the solver's value when linked, else the stored value.
  Complex get_potential() const;
  // Set rule: stored value and, when linked, the solver's slot.
  void set_potential(const Complex& value) { potential.set_value(value); }

  // The potential in the arithmetic C (a recorded constant 0 on a reference node).
  template <class C>
  C potential_as() const {
    if constexpr (std::is_same_v<C, Complex>)
      return get_potential();
    else
      return is_reference ? ComplexAD() : potential.ad;
  }

  void declare_independent_variables(std::vector<double>& x0) const;
  void link_independent_variables(const VectorXAD& x, VectorXd& xd, int& idx);
  // Unlinks the potential if it points into `solver` (it keeps its last value).
  void unlink_from(const SolverVectors& solver) { potential.unlink_from(solver); }
  Complex sum_currents() const;
  // The sum over the node's ports other than `port` (skipped by identity): what the rest of the
  // node draws, from which the backward sweep steps take their currents.
  Complex sum_currents_except(const Port& port) const;
  void add_kirchhoff_equation(VectorXAD& eqs, int& idx) const;

  std::vector<Port*> ports;
  ADVariable<Complex> potential;
  bool is_reference = false;
};

// Base of every network element; owns its ports, whose number is fixed at construction.
//
// The network drives an element through the virtual operations below, in a fixed order:
// declare and link its own unknowns and dynamic parameters, evaluate its port currents in plain
// or recorded arithmetic, write its internal equations (exactly as many rows as it declared reals
// of unknowns), and take backward and forward sweep steps. A solver that goes unlinks the
// records that still point into it.
class Element {
 public:
  // n ports, each on a node of its own at potential 0 (or potentials[i]). n < 0 throws
  // std::length_error.
  explicit Element(int n);
  Element(int n, const Complex* potentials);
  Element(const Element&) = delete;
  Element& operator=(const Element&) = delete;
  // Takes the ports out of their nodes, so that no node keeps the address of a freed port.
  virtual ~Element();

  virtual void declare_independent_variables(std::vector<double>& x0) const;
  virtual void declare_dynamic_variables(std::vector<double>& p0) const;
  virtual void link_independent_variables(const VectorXAD& x, VectorXd& xd, int& idx);
  virtual void link_dynamic_variables(const VectorXAD& p, VectorXd& pd, int& idx);
  // Writes Port::current_ad of every port (ad true) or Port::current (ad false).
  virtual void eval_currents(bool ad) = 0;
  virtual void add_internal_equations(VectorXAD& eqs, int& idx) const;
  // Sets the port currents from the currents the rest of each node draws and the element's law.
  virtual void backward();
  // Writes node potentials; returns the largest change made (0.0 by default).
  virtual double forward();
  // Unlinks the element's records that point into `solver`, whose vectors are about to be
  // released; each keeps the value it read last, and records of another solver stay linked.
  // An element that links records overrides this with the same records.
  virtual void unlink_from(const SolverVectors& solver);

  // For each pair (i, j), this element's port i node absorbs `other`'s port j node.
  void connect(const Element& other, const std::vector<std::pair<int, int>>& pairs) const;
  // The node of port indices[0] absorbs the nodes of the other listed ports.
  void connect_ports(const int* indices, int n) const;
  void disconnect();

  // Indices and counts are not checked against the number of ports.
  void get_potentials(int n, Complex* out) const;
  void get_currents(int n, Complex* out) const;
  Complex get_port_potential(int i) const;
  Complex get_port_current(int i) const;

  // Writes the complex equation r as two rows, real part first.
  static void add_dependent_variable(VectorXAD& eqs, int& idx, const ComplexAD& r);

  std::vector<Port> ports;
};

// Dispatches eval_currents(bool) to T's member template eval_currents<C>(), so that each kind
// writes its current law once for both arithmetics. Base is the family's base class (Element,
// Branch, LoadBase, ...), which the family's own dispatch template passes on.
template <class T, class Base = Element>
class ElementImpl : public Base {
 public:
  using Base::Base;

  void eval_currents(bool ad) override {
    if (ad)
      static_cast<T*>(this)->template eval_currents<ComplexAD>();
    else
      static_cast<T*>(this)->template eval_currents<Complex>();
  }
};
