// Writer side on the loop thread, reader side on PipeWire's realtime data
// thread; the two sides meet only in the two atomic byte counts.
#include "audio/ring_buffer.h"

#include <algorithm>
#include <cstring>

namespace {

// The copies into and out of the storage, from `offset` on, wrapping at the
// end of the storage.
void copy_in(RingBuffer *ring, size_t offset, const uint8_t *source, size_t length) {
    const size_t first = std::min(length, ring->capacity - offset);
    std::memcpy(ring->data.get() + offset, source, first);
    std::memcpy(ring->data.get(), source + first, length - first);
}

void copy_out(const RingBuffer *ring, size_t offset, uint8_t *destination, size_t length) {
    const size_t first = std::min(length, ring->capacity - offset);
    std::memcpy(destination, ring->data.get() + offset, first);
    std::memcpy(destination + first, ring->data.get(), length - first);
}

}  // namespace

bool ring_buffer_init(RingBuffer *ring, size_t capacity) {
    // calloc hands out untouched zero pages, and a size too large fails here
    // rather than in the middle of zeroing. One byte at least, so that a
    // zero capacity still yields storage.
    std::unique_ptr<uint8_t[], RingStorageFree> storage(
        static_cast<uint8_t *>(std::calloc(capacity ? capacity : 1, 1)));
    if (!storage) return false;
    ring->data = std::move(storage);
    ring->capacity = capacity;
    ring_buffer_reset(ring);
    return true;
}

void ring_buffer_release(RingBuffer *ring) {
    ring->data.reset();
    ring->capacity = 0;
    ring_buffer_reset(ring);
}

size_t ring_buffer_write(RingBuffer *ring, const void *source, size_t length) {
    if (length == 0 || ring->capacity == 0) return 0;
    const uint64_t written = ring->write_count.load(std::memory_order_relaxed);
    const uint64_t read = ring->read_count.load(std::memory_order_acquire);
    const size_t n = std::min(length, ring->capacity - static_cast<size_t>(written - read));
    if (n == 0) return 0;
    copy_in(ring, written % ring->capacity, static_cast<const uint8_t *>(source), n);
    ring->write_count.store(written + n, std::memory_order_release);
    return n;
}

size_t ring_buffer_read(RingBuffer *ring, void *destination, size_t length) {
    if (length == 0 || ring->capacity == 0) return 0;
    const uint64_t read = ring->read_count.load(std::memory_order_relaxed);
    const uint64_t written = ring->write_count.load(std::memory_order_acquire);
    const size_t n = std::min(length, static_cast<size_t>(written - read));
    if (n == 0) return 0;
    copy_out(ring, read % ring->capacity, static_cast<uint8_t *>(destination), n);
    ring->read_count.store(read + n, std::memory_order_release);
    return n;
}

uint64_t ring_buffer_write_mark(const RingBuffer *ring) { return ring->write_count.load(std::memory_order_relaxed); }

size_t ring_buffer_truncate(RingBuffer *ring, uint64_t mark) {
    const uint64_t written = ring->write_count.load(std::memory_order_relaxed);
    const uint64_t read = ring->read_count.load(std::memory_order_relaxed);
    const uint64_t end = std::max(mark, read);
    if (end >= written) return 0;
    ring->write_count.store(end, std::memory_order_release);
    return static_cast<size_t>(written - end);
}

void ring_buffer_reset(RingBuffer *ring) {
    ring->write_count.store(0, std::memory_order_relaxed);
    ring->read_count.store(0, std::memory_order_relaxed);
}

size_t ring_buffer_fill_level(const RingBuffer *ring) {
    // The read count first: it never passes the write count, so the
    // difference is never negative; a write between the two loads can only
    // make it look fuller than the capacity allows, which the cap hides.
    const uint64_t read = ring->read_count.load(std::memory_order_acquire);
    const uint64_t written = ring->write_count.load(std::memory_order_acquire);
    return std::min(static_cast<size_t>(written - read), ring->capacity);
}

size_t ring_buffer_free_space(const RingBuffer *ring) { return ring->capacity - ring_buffer_fill_level(ring); }
