// The benchmark's report: the table on standard output and the JSON file.
#pragma once

#include "figures.hpp"
#include "workloads.hpp"

namespace bench {

// Prints the heading (date, machine, commands, sizes), the table of `r` and
// its checks on standard output, and writes the same as JSON to
// `s.json_path` when that is set. Exits the benchmark if it cannot open it.
void report(const settings& s, const results& r);

} // namespace bench
