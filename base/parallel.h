// The one parallel loop of the program: work items 0 .. count-1 handed out in
// chunks from a shared counter to a few threads, the caller's thread among
// them. A thread that finishes early takes the next chunk, so uneven items
// balance out. Which thread handles a chunk must not matter to the result;
// callers write each item's output to its own place.
#pragma once

#include <functional>

namespace vistereo {

// Number of threads a request stands for: the request itself when positive,
// otherwise one per hardware thread (at least 1).
int resolveThreadCount(int requested);

// A worker's body: handles items [begin, end).
using ChunkBody = std::function<void(int begin, int end)>;

// Runs chunks of `chunk` items on up to `threads` threads (0: one per
// hardware thread). `makeWorker` is called once per thread, on that thread,
// before its first chunk, so that each thread can own its scratch memory.
// When threads cannot be started the remaining ones share the chunks. The
// first exception thrown by a worker stops the chunks not yet started and is
// rethrown here after every thread has ended.
void parallelChunks(int count, int chunk, int threads, const std::function<ChunkBody()>& makeWorker);

// Runs two pieces of work at the same time when `threads` allows two (0: as
// many as the hardware has), one after the other on the caller's thread
// otherwise: the same loop over two items. The first exception is rethrown
// once both have ended (the other piece may then not have started).
void runBoth(int threads, const std::function<void()>& first, const std::function<void()>& second);

}  // namespace vistereo
