#include "audio/ring_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

namespace {

std::vector<uint8_t> sequence(size_t length, uint8_t first) {
    std::vector<uint8_t> bytes(length);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

class RingBufferTest : public ::testing::Test {
  protected:
    void TearDown() override { ring_buffer_release(&ring); }
    RingBuffer ring;
};

TEST_F(RingBufferTest, ZeroLengthOperationsMoveNothing) {
    ASSERT_TRUE(ring_buffer_init(&ring, 16));
    uint8_t byte = 1;
    EXPECT_EQ(ring_buffer_write(&ring, &byte, 0), 0u);
    EXPECT_EQ(ring_buffer_read(&ring, &byte, 0), 0u);
    EXPECT_EQ(ring_buffer_fill_level(&ring), 0u);
}

TEST_F(RingBufferTest, FullAndEmptyBuffersMoveNothing) {
    ASSERT_TRUE(ring_buffer_init(&ring, 8));
    std::vector<uint8_t> out(8);
    EXPECT_EQ(ring_buffer_read(&ring, out.data(), out.size()), 0u);

    const auto in = sequence(12, 1);
    EXPECT_EQ(ring_buffer_write(&ring, in.data(), in.size()), 8u);  // only the free space
    EXPECT_EQ(ring_buffer_fill_level(&ring), 8u);
    EXPECT_EQ(ring_buffer_free_space(&ring), 0u);
    EXPECT_EQ(ring_buffer_write(&ring, in.data(), 1), 0u);

    EXPECT_EQ(ring_buffer_read(&ring, out.data(), 20), 8u);
    EXPECT_EQ(out, sequence(8, 1));
    EXPECT_EQ(ring_buffer_fill_level(&ring), 0u);

    // Both positions ended exactly at the end of the storage: the next
    // write and read start again at its beginning.
    ASSERT_EQ(ring_buffer_write(&ring, in.data() + 8, 4), 4u);
    EXPECT_EQ(ring.data[0], 9);
    EXPECT_EQ(ring_buffer_read(&ring, out.data(), 8), 4u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 4), sequence(4, 9));
}

TEST_F(RingBufferTest, WrappingWritesAndReadsKeepTheOrder) {
    ASSERT_TRUE(ring_buffer_init(&ring, 10));
    std::vector<uint8_t> out(10);
    const auto first = sequence(7, 1);
    ASSERT_EQ(ring_buffer_write(&ring, first.data(), first.size()), 7u);
    ASSERT_EQ(ring_buffer_read(&ring, out.data(), 5), 5u);

    const auto second = sequence(8, 100);  // 3 bytes to the end, 5 from the start
    ASSERT_EQ(ring_buffer_write(&ring, second.data(), second.size()), 8u);
    EXPECT_EQ(ring.data[4], 107);  // the last byte went to the start of the storage
    EXPECT_EQ(ring_buffer_fill_level(&ring) + ring_buffer_free_space(&ring), 10u);

    ASSERT_EQ(ring_buffer_read(&ring, out.data(), 10), 10u);  // also wraps
    const std::vector<uint8_t> expected = {6, 7, 100, 101, 102, 103, 104, 105, 106, 107};
    EXPECT_EQ(out, expected);
    EXPECT_EQ(ring_buffer_free_space(&ring), 10u);
}

TEST_F(RingBufferTest, ResetDiscardsTheContents) {
    ASSERT_TRUE(ring_buffer_init(&ring, 32));
    const auto in = sequence(20, 1);
    ring_buffer_write(&ring, in.data(), in.size());
    ring_buffer_reset(&ring);
    EXPECT_EQ(ring_buffer_fill_level(&ring), 0u);
    EXPECT_EQ(ring_buffer_free_space(&ring), 32u);
    uint8_t out[4];
    EXPECT_EQ(ring_buffer_read(&ring, out, sizeof out), 0u);
}

TEST_F(RingBufferTest, ZeroCapacityMovesNothing) {
    ASSERT_TRUE(ring_buffer_init(&ring, 0));
    uint8_t byte = 1;
    EXPECT_EQ(ring_buffer_write(&ring, &byte, 1), 0u);
    EXPECT_EQ(ring_buffer_read(&ring, &byte, 1), 0u);
    EXPECT_EQ(ring_buffer_free_space(&ring), 0u);
}

TEST_F(RingBufferTest, ReleaseZeroesEverything) {
    ASSERT_TRUE(ring_buffer_init(&ring, 16));
    const auto in = sequence(5, 1);
    ring_buffer_write(&ring, in.data(), in.size());
    ring_buffer_release(&ring);
    EXPECT_EQ(ring.data, nullptr);
    EXPECT_EQ(ring.capacity, 0u);
    EXPECT_EQ(ring_buffer_fill_level(&ring), 0u);
    EXPECT_EQ(ring_buffer_free_space(&ring), 0u);
    ASSERT_TRUE(ring_buffer_init(&ring, 16));  // and can be set up again
}

// Taking back what was written after a mark: only what the reader has not
// read yet goes, the positions wrap as before, and later writes follow the
// bytes kept.
TEST_F(RingBufferTest, TruncateTakesBackTheUnreadTailAfterAMark) {
    ASSERT_TRUE(ring_buffer_init(&ring, 10));
    std::vector<uint8_t> out(10);
    const auto kept = sequence(6, 1);
    ASSERT_EQ(ring_buffer_write(&ring, kept.data(), kept.size()), 6u);
    ASSERT_EQ(ring_buffer_read(&ring, out.data(), 4), 4u);
    const uint64_t mark = ring_buffer_write_mark(&ring);
    const auto withdrawn = sequence(7, 101);  // wraps at the end of the storage
    ASSERT_EQ(ring_buffer_write(&ring, withdrawn.data(), withdrawn.size()), 7u);
    EXPECT_EQ(ring_buffer_truncate(&ring, mark), 7u);
    EXPECT_EQ(ring_buffer_fill_level(&ring), 2u);
    EXPECT_EQ(ring_buffer_truncate(&ring, mark), 0u) << "nothing is left after the mark";

    const auto after = sequence(8, 201);
    ASSERT_EQ(ring_buffer_write(&ring, after.data(), after.size()), 8u);
    ASSERT_EQ(ring_buffer_read(&ring, out.data(), out.size()), 10u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 2), sequence(2, 5));
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 2, out.end()), after);

    // The reader has already taken part of what came after the mark: that
    // part has been read; only the rest goes.
    const uint64_t second_mark = ring_buffer_write_mark(&ring);
    ASSERT_EQ(ring_buffer_write(&ring, withdrawn.data(), withdrawn.size()), 7u);
    ASSERT_EQ(ring_buffer_read(&ring, out.data(), 3), 3u);
    EXPECT_EQ(ring_buffer_truncate(&ring, second_mark), 4u);
    EXPECT_EQ(ring_buffer_fill_level(&ring), 0u);
    EXPECT_EQ(ring_buffer_read(&ring, out.data(), out.size()), 0u);

    // A mark from before a reset lies past the write count: nothing goes.
    ASSERT_EQ(ring_buffer_write(&ring, kept.data(), 2), 2u);
    const uint64_t stale = ring_buffer_write_mark(&ring);
    ring_buffer_reset(&ring);
    ASSERT_EQ(ring_buffer_write(&ring, kept.data(), 3), 3u);
    EXPECT_EQ(ring_buffer_truncate(&ring, stale), 0u);
    EXPECT_EQ(ring_buffer_fill_level(&ring), 3u);
}

// One writer and one reader at full speed through a small buffer, with odd
// chunk sizes so the positions wrap everywhere: every byte arrives, in order.
TEST_F(RingBufferTest, TwoThreadsMoveManyMegabytesIntact) {
    ASSERT_TRUE(ring_buffer_init(&ring, 4093));
    constexpr size_t total = 64u << 20;
    auto byte_at = [](size_t i) { return static_cast<uint8_t>((i * 2654435761u) >> 13); };

    std::thread writer([&] {
        std::vector<uint8_t> chunk(1777);
        size_t sent = 0;
        size_t round = 0;
        while (sent < total) {
            const size_t want = std::min(total - sent, 1 + (round++ * 37) % chunk.size());
            for (size_t i = 0; i < want; ++i) chunk[i] = byte_at(sent + i);
            size_t done = 0;
            while (done < want) {
                const size_t n = ring_buffer_write(&ring, chunk.data() + done, want - done);
                if (n == 0) std::this_thread::yield();
                done += n;
            }
            sent += want;
        }
    });

    std::vector<uint8_t> chunk(2311);
    size_t received = 0;
    size_t mismatches = 0;
    size_t round = 0;
    while (received < total) {
        const size_t n = ring_buffer_read(&ring, chunk.data(), 1 + (round++ * 53) % chunk.size());
        if (n == 0) std::this_thread::yield();
        for (size_t i = 0; i < n; ++i)
            if (chunk[i] != byte_at(received + i)) ++mismatches;
        received += n;
        const size_t fill = ring_buffer_fill_level(&ring);
        ASSERT_LE(fill, ring.capacity);
    }
    writer.join();
    EXPECT_EQ(received, total);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(ring_buffer_fill_level(&ring), 0u);
}

}  // namespace
