// Writer side on the loop thread, reader side on the PipeWire thread; every
// operation holds the one mutex for its whole duration, copies included.
#include "audio/ring_buffer.h"

#include <algorithm>
#include <cstring>

namespace {

class RingLock {
  public:
    explicit RingLock(pthread_mutex_t *mutex) noexcept : mutex_(mutex) { pthread_mutex_lock(mutex_); }
    ~RingLock() { pthread_mutex_unlock(mutex_); }
    RingLock(const RingLock &) = delete;
    RingLock &operator=(const RingLock &) = delete;

  private:
    pthread_mutex_t *mutex_;
};

}  // namespace

bool ring_buffer_init(RingBuffer *ring, size_t capacity) {
    // calloc hands out untouched zero pages, and a size too large fails here
    // rather than in the middle of zeroing. One byte at least, so that a
    // zero capacity still yields storage.
    std::unique_ptr<uint8_t[], RingStorageFree> storage(
        static_cast<uint8_t *>(std::calloc(capacity ? capacity : 1, 1)));
    if (!storage) return false;
    if (pthread_mutex_init(&ring->mutex, nullptr) != 0) return false;
    ring->data = std::move(storage);
    ring->capacity = capacity;
    ring->read_pos = 0;
    ring->write_pos = 0;
    ring->fill = 0;
    return true;
}

void ring_buffer_release(RingBuffer *ring) {
    // A ring that was never initialised (or is already released) holds no
    // mutex to destroy.
    if (ring->data) pthread_mutex_destroy(&ring->mutex);
    ring->data.reset();
    ring->capacity = 0;
    ring->read_pos = 0;
    ring->write_pos = 0;
    ring->fill = 0;
}

size_t ring_buffer_write(RingBuffer *ring, const void *source, size_t length) {
    if (length == 0) return 0;
    RingLock lock(&ring->mutex);
    const size_t n = std::min(length, ring->capacity - ring->fill);
    if (n == 0) return 0;
    const auto *bytes = static_cast<const uint8_t *>(source);
    const size_t tail = ring->capacity - ring->write_pos;
    if (tail < n) {
        std::memcpy(ring->data.get() + ring->write_pos, bytes, tail);
        std::memcpy(ring->data.get(), bytes + tail, n - tail);
        ring->write_pos = n - tail;
    } else {
        std::memcpy(ring->data.get() + ring->write_pos, bytes, n);
        ring->write_pos += n;
        if (ring->write_pos == ring->capacity) ring->write_pos = 0;
    }
    ring->fill += n;
    return n;
}

size_t ring_buffer_read(RingBuffer *ring, void *destination, size_t length) {
    if (length == 0) return 0;
    RingLock lock(&ring->mutex);
    const size_t n = std::min(length, ring->fill);
    if (n == 0) return 0;
    auto *bytes = static_cast<uint8_t *>(destination);
    const size_t tail = ring->capacity - ring->read_pos;
    if (tail < n) {
        std::memcpy(bytes, ring->data.get() + ring->read_pos, tail);
        std::memcpy(bytes + tail, ring->data.get(), n - tail);
        ring->read_pos = n - tail;
    } else {
        std::memcpy(bytes, ring->data.get() + ring->read_pos, n);
        ring->read_pos += n;
        if (ring->read_pos == ring->capacity) ring->read_pos = 0;
    }
    ring->fill -= n;
    return n;
}

void ring_buffer_reset(RingBuffer *ring) {
    RingLock lock(&ring->mutex);
    ring->read_pos = 0;
    ring->write_pos = 0;
    ring->fill = 0;
}

size_t ring_buffer_fill_level(RingBuffer *ring) {
    RingLock lock(&ring->mutex);
    return ring->fill;
}

size_t ring_buffer_free_space(RingBuffer *ring) {
    RingLock lock(&ring->mutex);
    return ring->capacity - ring->fill;
}
