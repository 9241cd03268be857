// The benchmark's report: the table on standard output and the JSON file.
#pragma once

#include "figures.hpp"
#include "workloads.hpp"

#include <string>

namespace bench {

// "CPU model, N cores, Linux release machine" of the machine running this.
std::string machine_text();

// The current time as "YYYY-MM-DD HH:MM UTC".
std::string date_text();

// Prints the heading (`date`, `machine`, the commands, the sizes), the table
// of `r` and its checks on standard output.
void print_table(const settings& s, const results& r, const std::string& date,
                 const std::string& machine);

// Writes the heading and the figures of `r` as JSON to `s.json_path`. Exits
// the benchmark if it cannot open the file.
void write_json(const settings& s, const results& r, const std::string& date,
                const std::string& machine);

} // namespace bench
