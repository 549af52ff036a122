// The rising level's waits, and the one place a wait is given up by throwing.
#include "base/watermark.h"

namespace vistereo {

void Watermark::raise(int level) {
    std::lock_guard guard(mutex_);
    if (level > level_) level_ = level;
    risen_.notify_all();
}

void Watermark::abandon() {
    std::lock_guard guard(mutex_);
    abandoned_ = true;
    risen_.notify_all();
}

int Watermark::waitFor(int mark) {
    std::unique_lock guard(mutex_);
    risen_.wait(guard, [&] { return level_ >= mark || abandoned_; });
    if (level_ < mark) throw WatermarkAbandoned();
    return level_;
}

}  // namespace vistereo
