// Pixel buffers of large images kept for the next image of the same size
// instead of being handed back to the system: a fresh 72 MB image costs some
// 18,000 page faults (each a zero-filled page) before the decoder writes a
// byte, and a batch decodes images of the same size again and again.
//
// The recycling belongs to whoever holds the pool and reaches only the images
// made through its allocator (an image's `allocator` set before it is
// created): every other image of the process, on every other thread, is
// allocated as usual. Buffers below `kSmallest` bytes go the image library's
// usual way; at most `kKept` are kept at a time, so the memory held does not
// grow.
#pragma once

#include <cstddef>

#include <opencv2/core.hpp>

namespace vistereo {

class ImageBufferPool {
public:
    static constexpr size_t kSmallest = 16u << 20;
    static constexpr size_t kKept = 4;

    ImageBufferPool();
    // Gives every kept buffer back to the system. An image made through the
    // pool may outlive it: its buffer is then freed when the image is.
    ~ImageBufferPool();
    ImageBufferPool(const ImageBufferPool&) = delete;
    ImageBufferPool& operator=(const ImageBufferPool&) = delete;

    // To be set as an image's allocator before the image is created.
    cv::MatAllocator* allocator() const;
    // Buffers kept now, waiting for an image of their size.
    size_t kept() const;
    // Hands every kept buffer back to the system now, for a stage that needs
    // the memory more than the next image needs its page faults spared.
    void giveBack();

private:
    class Recycler;
    Recycler* recycler_;  // deletes itself once closed and no image of it is left
};

}  // namespace vistereo
