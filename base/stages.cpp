#include "base/stages.h"

#include <pthread.h>

#include <utility>

namespace vistereo {

StageGroup::StageGroup(std::function<void()> whenFailed) : whenFailed_(std::move(whenFailed)) {}

StageGroup::~StageGroup() {
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
}

void StageGroup::start(const std::string& name, std::function<void()> body) {
    threads_.emplace_back([this, name = name.substr(0, 15), body = std::move(body)] {
        pthread_setname_np(pthread_self(), name.c_str());
        try {
            body();
        } catch (...) {
            bool first = false;
            {
                std::lock_guard lock(mutex_);
                first = !failure_;
                if (first) failure_ = std::current_exception();
            }
            if (first && whenFailed_) {
                try {
                    whenFailed_();
                } catch (...) {
                }
            }
        }
    });
}

void StageGroup::join() {
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
    std::exception_ptr failure;
    {
        std::lock_guard lock(mutex_);
        failure = std::exchange(failure_, nullptr);
    }
    if (failure) std::rethrow_exception(failure);
}

}  // namespace vistereo
