// A level that only rises, for threads that wait for it to reach a mark:
// how many rows of a picture are final while another thread is still
// rendering the rest, so that an encoder can take them as they come.
#pragma once

#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace vistereo {

// What a wait throws when the level will never rise further (its producer
// failed or was stopped).
struct WatermarkAbandoned : std::runtime_error {
    WatermarkAbandoned() : std::runtime_error("the work being waited for was abandoned") {}
};

class Watermark {
public:
    // Raises the level to `level` (a lower one leaves it as it is).
    void raise(int level);
    // The level will not rise again: every wait below it throws.
    void abandon();
    // Blocks until the level is at least `mark`; returns the level then.
    // Throws WatermarkAbandoned when it is abandoned below the mark.
    int waitFor(int mark);

private:
    std::mutex mutex_;
    std::condition_variable risen_;
    int level_ = 0;
    bool abandoned_ = false;
};

}  // namespace vistereo
