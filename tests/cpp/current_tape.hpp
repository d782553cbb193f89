// Test helper: records the port currents of a handful of elements on a CppAD tape, declaring and
// linking nodes and parameters the way a solver does, but without a network or equations.
#pragma once

#include <set>
#include <vector>

#include "core/element.hpp"

class CurrentTape {
 public:
  // Declares the unknowns of every distinct node and the dynamic parameters of every element,
  // links them to `variables` and `parameters`, then records every port's current.
  explicit CurrentTape(std::vector<Element*> elements) : elements_(std::move(elements)) {
    std::set<const Connection*> seen;
    for (Element* element : elements_)
      for (Port& port : element->ports)
        if (seen.insert(port.connection.get()).second) connections_.push_back(port.connection);

    std::vector<double> x0, p0;
    for (const auto& connection : connections_) connection->declare_independent_variables(x0);
    for (const Element* element : elements_) element->declare_dynamic_variables(p0);

    VectorXAD x_ad = Eigen::Map<const VectorXd>(x0.data(), static_cast<Eigen::Index>(x0.size())).cast<AD>();
    VectorXAD p_ad = Eigen::Map<const VectorXd>(p0.data(), static_cast<Eigen::Index>(p0.size())).cast<AD>();
    CppAD::Independent(x_ad, p_ad);
    variables = Eigen::Map<const VectorXd>(x0.data(), static_cast<Eigen::Index>(x0.size()));
    parameters = Eigen::Map<const VectorXd>(p0.data(), static_cast<Eigen::Index>(p0.size()));
    int ix = 0, ip = 0;
    for (const auto& connection : connections_) connection->link_independent_variables(x_ad, variables, ix);
    for (Element* element : elements_) element->link_dynamic_variables(p_ad, parameters, ip);

    std::vector<AD> y;
    for (Element* element : elements_) {
      element->eval_currents(true);
      for (const Port& port : element->ports) {
        y.push_back(port.current_ad.real());
        y.push_back(port.current_ad.imag());
      }
    }
    VectorXAD y_ad = Eigen::Map<const VectorXAD>(y.data(), static_cast<Eigen::Index>(y.size()));
    tape.Dependent(x_ad, y_ad);
    tape.check_for_nan(false);  // non-finite currents are results, not faults, for these tests
  }

  // The recorded port currents (element by element, port by port) at the present unknowns and
  // parameters: the tape sees the updates written into `parameters` without a new recording.
  std::vector<Complex> currents() {
    tape.new_dynamic(parameters);
    const VectorXd y = tape.Forward(0, variables);
    std::vector<Complex> out;
    for (Eigen::Index k = 0; k + 1 < y.size(); k += 2) out.emplace_back(y(k), y(k + 1));
    return out;
  }

  // The recorded currents of one element's ports.
  std::vector<Complex> currents_of(const Element& element) {
    const std::vector<Complex> all = currents();
    std::size_t first = 0;
    for (const Element* e : elements_) {
      if (e == &element) break;
      first += e->ports.size();
    }
    return {all.begin() + static_cast<long>(first), all.begin() + static_cast<long>(first + element.ports.size())};
  }

  VectorXd variables;   // node potentials, two reals each, in first-seen order
  VectorXd parameters;  // dynamic parameters, element by element
  CppAD::ADFun<double> tape;

 private:
  std::vector<Element*> elements_;
  std::vector<std::shared_ptr<Connection>> connections_;
};
