// The commands of the kelpa program. Each takes the arguments after its
// name and returns the exit status; everything it says goes to standard
// error through report.hpp, its records to the output.
#pragma once

#include <string>
#include <vector>

namespace kelpa::cli {

int run_index(const std::vector<std::string>& args);
int run_faidx(const std::vector<std::string>& args);
int run_getfasta(const std::vector<std::string>& args);

}  // namespace kelpa::cli
