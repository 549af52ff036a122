#include "imagefile/image_buffers.h"

#include <mutex>
#include <utility>
#include <vector>

namespace vistereo {

// The image library's allocator interface with the usual bookkeeping, the
// buffers kept in a list of their own. It outlives its pool while images it
// made are alive, and goes with the last of them.
class ImageBufferPool::Recycler : public cv::MatAllocator {
public:
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data0, size_t* step, cv::AccessFlag flags,
                           cv::UMatUsageFlags usage) const override {
        if (data0) return cv::Mat::getStdAllocator()->allocate(dims, sizes, type, data0, step, flags, usage);
        size_t total = CV_ELEM_SIZE(type);
        for (int i = dims - 1; i >= 0; i--) {
            if (step) step[i] = total;
            total *= sizes[i];
        }
        if (total < kSmallest) return cv::Mat::getStdAllocator()->allocate(dims, sizes, type, data0, step, flags, usage);
        uchar* data = nullptr;
        {
            std::lock_guard lock(mutex_);
            for (auto it = kept_.begin(); it != kept_.end(); ++it)
                if (it->second == total) {
                    data = it->first;
                    kept_.erase(it);
                    break;
                }
        }
        if (!data) data = static_cast<uchar*>(cv::fastMalloc(total));  // throws when memory ran out
        auto* u = new cv::UMatData(this);
        u->data = u->origdata = data;
        u->size = total;
        std::lock_guard lock(mutex_);
        ++alive_;
        return u;
    }
    bool allocate(cv::UMatData* u, cv::AccessFlag, cv::UMatUsageFlags) const override { return u != nullptr; }
    void deallocate(cv::UMatData* u) const override {
        if (!u) return;
        CV_Assert(u->urefcount == 0 && u->refcount == 0);
        bool last = false;
        {
            std::lock_guard lock(mutex_);
            if (!(u->flags & cv::UMatData::USER_ALLOCATED)) {
                if (closed_) {
                    cv::fastFree(u->origdata);
                } else {
                    kept_.emplace_back(u->origdata, u->size);
                    if (kept_.size() > kKept) {
                        cv::fastFree(kept_.front().first);
                        kept_.erase(kept_.begin());
                    }
                }
                u->origdata = nullptr;
            }
            last = --alive_ == 0 && closed_;
        }
        delete u;
        if (last) delete this;
    }

    void giveBack() {
        std::lock_guard lock(mutex_);
        freeKept();
    }
    void close() {
        bool last = false;
        {
            // Freed and closed under one lock: an image released meanwhile
            // on another thread cannot slip a buffer into the list unfreed.
            std::lock_guard lock(mutex_);
            freeKept();
            closed_ = true;
            last = alive_ == 0;
        }
        if (last) delete this;
    }
    size_t kept() const {
        std::lock_guard lock(mutex_);
        return kept_.size();
    }

private:
    void freeKept() const {  // with mutex_ held
        for (const auto& [data, size] : kept_) cv::fastFree(data);
        kept_.clear();
    }
    mutable std::mutex mutex_;
    mutable std::vector<std::pair<uchar*, size_t>> kept_;
    mutable size_t alive_ = 0;  // images made here and not yet released
    bool closed_ = false;
};

ImageBufferPool::ImageBufferPool() : recycler_(new Recycler) {}
ImageBufferPool::~ImageBufferPool() { recycler_->close(); }
cv::MatAllocator* ImageBufferPool::allocator() const { return recycler_; }
size_t ImageBufferPool::kept() const { return recycler_->kept(); }
void ImageBufferPool::giveBack() { recycler_->giveBack(); }

}  // namespace vistereo
