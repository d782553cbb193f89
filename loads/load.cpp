#include "loads/load.hpp"

ParameterRecords make_parameter_records(const Complex* values, int count) {
  ParameterRecords records;
  records.reserve(static_cast<std::size_t>(count));  // a negative count throws std::length_error
  for (int i = 0; i < count; ++i) records.emplace_back(values[i]);
  return records;
}

void declare_parameter_records(const ParameterRecords& records, std::vector<double>& p0) {
  for (const auto& record : records) record.declare(p0);
}

void link_parameter_records(ParameterRecords& records, const VectorXAD& p, VectorXd& pd, int& idx) {
  for (auto& record : records) record.link(p, pd, idx);
}

void update_parameter_records(ParameterRecords& records, const Complex* values) {
  for (std::size_t i = 0; i < records.size(); ++i) records[i].set_value(values[i]);
}
