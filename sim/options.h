// The simulator's command line.
#pragma once

#include "counter.h"

#include <cstdint>
#include <string>

namespace qzsim {

struct Options
{
    unsigned records = 36;
    std::uint64_t seed = 7310;
    bool fast = false;
    bool log = false;
    std::string link; // empty: no link
    Faults faults;
};

// Reads the command line. --help prints the usage and exits with 0; a usage error
// is told on standard error and exits with 2.
Options parseOptions(int argc, char **argv);

} // namespace qzsim
