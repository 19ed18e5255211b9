// The process-wide pool of worker threads behind large batch fetches.
//
// Made on first use and never torn down; its size is read once from the
// environment: RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, each a positive
// unsigned decimal ("+" allowed) giving the number of workers; 0 or anything
// else means one worker per online processor. A child process made by fork()
// gets a fresh pool on its first use (the parent's threads do not survive the
// fork; the environment is read again).
//
// The calling thread hands a batch to the workers and waits. Each worker
// claims contiguous pieces of the index range with an atomic counter and runs
// the body on them; the body writes only its own slots, so results stay in
// input order without any lock per item.
#pragma once

#include <cstddef>
#include <functional>

namespace kelpa::core {

// Number of workers the environment asks for, as described above.
std::size_t pool_size_from_environment();

// Runs body(begin, end) over contiguous pieces covering [0, count) on the
// workers and returns when every piece ran. An exception thrown by the body
// is rethrown here after all workers finished.
void parallel_for(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body);

}  // namespace kelpa::core
