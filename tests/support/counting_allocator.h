// Counts every heap allocation of the test process: a test binary that compiles
// counting_allocator.cpp has global operator new replaced by a counting one.
#pragma once

namespace skiff::testing {

// Allocations made by operator new in any thread since the process started.
long AllocationCount();

}  // namespace skiff::testing
