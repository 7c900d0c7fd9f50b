// A document gets a fixed budget of CPU time and a budget of memory that grows
// with its size. One that needs more is hostile in practice: past either, its
// read fails within seconds rather than holding the caller for ever.
#pragma once

#include <cstdint>

namespace vantrel::extractor {

// Lowers this process's limits to the budget of a document of `fileSize`
// bytes; a limit inherited lower stays, none is ever raised. Past the CPU
// budget, SIGXCPU arrives (never the outright kill of the hard limit); on
// Linux, past the memory budget, allocations fail.
void applyReadBudget(std::uint64_t fileSize);

} // namespace vantrel::extractor
