// Counts the heap allocations of the benchmark program, so that every
// measurement can say how many it made per iteration.
#pragma once

#include <cstddef>

namespace bench {

// Allocations through operator new since the program started.
std::size_t Allocations();

}  // namespace bench
