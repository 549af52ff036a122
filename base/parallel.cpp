#include "base/parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace vistereo {

int resolveThreadCount(int requested) {
    if (requested > 0) return requested;
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

void parallelChunks(int count, int chunk, int threads, const std::function<ChunkBody()>& makeWorker) {
    if (count <= 0) return;
    chunk = std::max(1, chunk);
    const int chunks = (count + chunk - 1) / chunk;
    const int workers = std::min(resolveThreadCount(threads), chunks);

    std::atomic<int> next{0};
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::exception_ptr failure;

    auto run = [&] {
        try {
            const ChunkBody body = makeWorker();
            while (!stop.load(std::memory_order_relaxed)) {
                const int index = next.fetch_add(1);
                if (index >= chunks) break;
                const int begin = index * chunk;
                body(begin, std::min(count, begin + chunk));
            }
        } catch (...) {
            std::lock_guard<std::mutex> guard(lock);
            if (!failure) failure = std::current_exception();
            stop = true;
        }
    };

    std::vector<std::thread> pool;
    for (int t = 1; t < workers; ++t) {
        try {
            pool.emplace_back(run);
        } catch (const std::system_error&) {
            break;  // fewer threads than asked for: the chunks get shared out all the same
        }
    }
    run();
    for (std::thread& t : pool) t.join();
    if (failure) std::rethrow_exception(failure);
}

void runBoth(int threads, const std::function<void()>& first, const std::function<void()>& second) {
    parallelChunks(2, 1, threads, [&]() -> ChunkBody {
        return [&](int begin, int) { (begin == 0 ? first : second)(); };
    });
}

}  // namespace vistereo
