// RingBuffer: the bounded byte FIFO between the loop thread (writer) and
// PipeWire's realtime data thread (reader). Wait-free for one writer and one
// reader running at the same time: no lock, no system call, no allocation
// after init. init, release and reset must not overlap a read or a write.
#pragma once

#include <atomic>
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
    // Bytes written and bytes read since init or reset; their difference is
    // the fill level and each one modulo the capacity is its position in the
    // storage. Each count is stored only by its own side, with release after
    // its copy, and loaded by the other side with acquire before its copy, so
    // a side never touches bytes the other one has not finished with. 64 bits
    // never wrap in practice.
    std::atomic<uint64_t> write_count{0};
    std::atomic<uint64_t> read_count{0};
};

// False when the storage cannot be allocated; nothing is held then.
bool ring_buffer_init(RingBuffer *ring, size_t capacity);
// Frees the storage and zeroes every field.
void ring_buffer_release(RingBuffer *ring);
// Writer side. Bytes stored: min(length, free space), possibly 0.
size_t ring_buffer_write(RingBuffer *ring, const void *source, size_t length);
// Reader side. Bytes copied out: min(length, fill level), possibly 0.
size_t ring_buffer_read(RingBuffer *ring, void *destination, size_t length);
// Writer side: the write count so far, a mark for ring_buffer_truncate.
uint64_t ring_buffer_write_mark(const RingBuffer *ring);
// Takes back the bytes written after `mark` that have not been read yet;
// returns their number (0 for a mark at or past the write count, as after a
// reset). What the reader has read stays read: the contents end at the mark
// or at the read position, whichever is later. On the reader's side, while
// the writer waits: a read must not run at the same time.
size_t ring_buffer_truncate(RingBuffer *ring, uint64_t mark);
// Discards the contents; only while neither side runs.
void ring_buffer_reset(RingBuffer *ring);
// Either side. Exact for the side that calls it as far as its own count goes;
// the other side may have moved on by the time the answer is used.
size_t ring_buffer_fill_level(const RingBuffer *ring);
size_t ring_buffer_free_space(const RingBuffer *ring);
