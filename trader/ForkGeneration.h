// The process's fork generation: how many times this process's lineage has
// forked since the module was loaded, counted in the child. A trader records
// the generation it was made in; a different one means the object is a
// child's copy of a parent's trader. Such a copy shares the parent's socket
// and event-loop descriptors but has none of its threads, so it must do
// nothing on the wire and never wait for its network thread.
//
// Thread safety: any thread. The count is raised by a pthread_atfork child
// handler, registered once, when the first trader is made.
#pragma once

#include <cstdint>

namespace hvr {

// Registers the fork handler (once per process) and returns the current
// generation.
uint64_t forkGenerationAtCreation();
// The current generation: one relaxed atomic load.
uint64_t currentForkGeneration();

}  // namespace hvr
