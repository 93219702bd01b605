// The stand-in's PCM generator: deterministic, seekable, distinct per track,
// never an exact zero, valid samples for every sample format. Any thread.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "zorva_standin.h"

namespace {

std::vector<uint8_t> generate(uint32_t seed, AudioFormat format, uint64_t offset, size_t frames) {
    std::vector<uint8_t> out(frames * format.channels * zrv_audio_sample_format_size(format.sample_format));
    EXPECT_EQ(zrv_standin_generate_pcm(seed, format, offset, frames, out.data(), out.size()), out.size());
    return out;
}

int32_t sample(const std::vector<uint8_t> &pcm, size_t index, size_t size) {
    uint32_t raw = 0;
    std::memcpy(&raw, pcm.data() + index * size, size);
    if (size == 2) return static_cast<int16_t>(raw);
    return static_cast<int32_t>(raw);
}

TEST(StandinPcm, IsDeterministicAndContinuesAcrossAnyOffset) {
    const AudioFormat format{44100, 2, ZRV_SAMPLE_FORMAT_S16};
    const auto whole = generate(3, format, 1000, 4410);
    EXPECT_EQ(generate(3, format, 1000, 4410), whole);
    const auto tail = generate(3, format, 1000 + 1234, 4410 - 1234);
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), whole.begin() + 1234 * 4));
}

TEST(StandinPcm, DiffersBetweenTracksAndChannels) {
    const AudioFormat format{48000, 2, ZRV_SAMPLE_FORMAT_S24_32};
    const auto one = generate(1, format, 0, 256);
    const auto two = generate(2, format, 0, 256);
    EXPECT_NE(one, two);
    size_t equal_channels = 0;
    for (size_t f = 0; f < 256; ++f) equal_channels += sample(one, 2 * f, 4) == sample(one, 2 * f + 1, 4);
    EXPECT_LT(equal_channels, 8u);
}

TEST(StandinPcm, NoZeroSamplesAndValuesFitTheirFormat) {
    for (uint32_t sample_format : {ZRV_SAMPLE_FORMAT_S16, ZRV_SAMPLE_FORMAT_S24_32, ZRV_SAMPLE_FORMAT_S32}) {
        for (uint32_t channels : {1u, 2u, 6u}) {
            const AudioFormat format{96000, channels, sample_format};
            const size_t size = zrv_audio_sample_format_size(sample_format);
            const auto pcm = generate(7, format, 123456, 9600);
            int32_t lowest = INT32_MAX, highest = INT32_MIN;
            for (size_t i = 0; i < pcm.size() / size; ++i) {
                const int32_t v = sample(pcm, i, size);
                ASSERT_NE(v, 0) << "format " << sample_format << " sample " << i;
                lowest = std::min(lowest, v);
                highest = std::max(highest, v);
                if (sample_format == ZRV_SAMPLE_FORMAT_S24_32) {
                    ASSERT_GE(v, -(1 << 23));
                    ASSERT_LT(v, 1 << 23);
                }
            }
            // A tone at a quarter of full scale reaches both signs.
            const double full = sample_format == ZRV_SAMPLE_FORMAT_S16      ? 32768.0
                                : sample_format == ZRV_SAMPLE_FORMAT_S24_32 ? 8388608.0
                                                                            : 2147483648.0;
            EXPECT_GT(highest / full, 0.2);
            EXPECT_LT(lowest / full, -0.2);
            EXPECT_LT(highest / full, 0.3);
        }
    }
}

TEST(StandinPcm, RejectsInvalidFormatsAndSmallBuffers) {
    std::vector<uint8_t> out(64);
    EXPECT_EQ(zrv_standin_generate_pcm(1, AudioFormat{0, 2, 0}, 0, 4, out.data(), out.size()), 0u);
    EXPECT_EQ(zrv_standin_generate_pcm(1, AudioFormat{44100, 0, 0}, 0, 4, out.data(), out.size()), 0u);
    EXPECT_EQ(zrv_standin_generate_pcm(1, AudioFormat{44100, 2, 3}, 0, 4, out.data(), out.size()), 0u);
    EXPECT_EQ(zrv_standin_generate_pcm(1, AudioFormat{44100, 2, 0}, 0, 17, out.data(), out.size()), 0u);
    EXPECT_EQ(zrv_standin_generate_pcm(1, AudioFormat{44100, 2, 0}, 0, 16, out.data(), out.size()), 64u);
    EXPECT_EQ(zrv_standin_frames_for_ms(44100, 90000), 3969000u);
    EXPECT_EQ(zrv_standin_frames_for_ms(44100, 1), 44u);
}

}  // namespace
