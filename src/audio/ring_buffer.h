// RingBuffer: the bounded byte FIFO between the loop thread (writer) and the
// PipeWire thread (reader). Thread-safe for one writer and one reader at a
// time; init and release must not overlap any other operation.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

struct RingStorageFree {
    void operator()(uint8_t *data) const noexcept { std::free(data); }
};

// Knows nothing of frames or formats: every size is in bytes. A write stores
// only what fits, a read returns only what is stored; nothing is overwritten,
// padded or converted. The storage is allocated once, at init.
struct RingBuffer {
    std::unique_ptr<uint8_t[], RingStorageFree> data;
    size_t capacity = 0;
    size_t read_pos = 0;   // guarded by mutex
    size_t write_pos = 0;  // guarded by mutex
    size_t fill = 0;       // guarded by mutex
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};

// False when the storage or the mutex cannot be set up; nothing is held then.
bool ring_buffer_init(RingBuffer *ring, size_t capacity);
// Frees the storage, destroys the mutex and zeroes every field.
void ring_buffer_release(RingBuffer *ring);
// Bytes stored: min(length, free space), possibly 0.
size_t ring_buffer_write(RingBuffer *ring, const void *source, size_t length);
// Bytes copied out: min(length, fill level), possibly 0.
size_t ring_buffer_read(RingBuffer *ring, void *destination, size_t length);
// Discards the contents.
void ring_buffer_reset(RingBuffer *ring);
size_t ring_buffer_fill_level(RingBuffer *ring);
size_t ring_buffer_free_space(RingBuffer *ring);
