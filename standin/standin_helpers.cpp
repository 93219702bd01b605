// The SDK's instance-free helpers (sample sizes, texts), the device UUID and
// the PCM generator. Pure functions; any thread.
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "standin_internal.h"
#include "zorva_standin.h"

namespace {

constexpr uint64_t splitmix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint64_t hash_text(std::string_view text, uint64_t seed) {
    uint64_t h = splitmix64(seed);
    for (unsigned char ch : text) h = splitmix64(h ^ ch);
    return splitmix64(h ^ text.size());
}

// One sample of a track at full 32-bit scale: a triangle tone at a quarter of
// full scale plus noise at about -48 dB. Integer arithmetic only, so any build
// regenerates exactly the same values.
int32_t sample_at(uint32_t seed, uint32_t rate, uint64_t frame, uint32_t channel) {
    const uint64_t frequency = 180 + 37 * ((uint64_t{seed} * 7 + channel * 3) % 29);
    const uint64_t step = (frequency << 32) / rate;
    const uint64_t phase0 = splitmix64(uint64_t{seed} << 8 | channel) & 0xFFFFFFFFu;
    const uint32_t phase = static_cast<uint32_t>(frame * step + phase0);
    const uint32_t rising = phase < 0x80000000u ? phase : ~phase;
    const int64_t tone = (int64_t{rising} * 2 - 0x80000000ll) >> 2;
    const uint64_t h = splitmix64((uint64_t{seed} * 0x100000001B3ull) ^ (frame << 8) ^ channel);
    const int64_t noise = static_cast<int64_t>(h >> 41) - (int64_t{1} << 22);
    return static_cast<int32_t>(tone + noise);
}

void put_le(uint8_t *out, uint32_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

namespace standin {

std::string device_uuid_for(std::string_view unique_device_id) {
    uint64_t high = hash_text(unique_device_id, 0x5A6F7276u);
    uint64_t low = hash_text(unique_device_id, 0x436F6E6Eu);
    // A version 8 (implementation-defined) UUID with the RFC variant bits.
    high = (high & ~0xF000ull) | 0x8000ull;
    low = (low & ~(0xC0ull << 56)) | (0x80ull << 56);
    char text[37];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(high >> 32),
                  static_cast<unsigned>((high >> 16) & 0xFFFF), static_cast<unsigned>(high & 0xFFFF),
                  static_cast<unsigned>(low >> 48), static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
    return text;
}

}  // namespace standin

extern "C" {

ZRV_EXPORT size_t zrv_audio_sample_format_size(uint32_t sample_format) {
    switch (sample_format) {
        case ZRV_SAMPLE_FORMAT_S16:
            return 2;
        case ZRV_SAMPLE_FORMAT_S24_32:
        case ZRV_SAMPLE_FORMAT_S32:
            return 4;
        default:
            return 0;
    }
}

ZRV_EXPORT const char *zrv_audio_quality_to_string(uint32_t quality) {
    static constexpr std::array<const char *, 4> texts{"CD", "HIRES1", "HIRES2", "HIRES3"};
    return quality < texts.size() ? texts[quality] : "UNKNOWN";
}

ZRV_EXPORT const char *zrv_device_type_to_string(int32_t device_type) {
    static constexpr std::array<const char *, 6> texts{"SPEAKER",     "STREAMER", "AMPLIFIER",
                                                       "AV_RECEIVER", "TV",       "HEADPHONES"};
    return device_type >= 0 && static_cast<size_t>(device_type) < texts.size() ? texts[device_type] : "UNKNOWN";
}

ZRV_EXPORT const char *zrv_playback_state_to_string(uint32_t state) {
    static constexpr std::array<const char *, 4> texts{"STOPPED", "PLAYING", "PAUSED", "BUFFERING"};
    return state < texts.size() ? texts[state] : "UNKNOWN";
}

ZRV_EXPORT const char *zrv_loop_mode_to_string(uint32_t loop_mode) {
    static constexpr std::array<const char *, 3> texts{"OFF", "TRACK", "QUEUE"};
    return loop_mode < texts.size() ? texts[loop_mode] : "UNKNOWN";
}

ZRV_EXPORT const char *zrv_error_to_string(ZrvError error) {
    static constexpr std::array<const char *, 11> texts{"OK",
                                                        "Invalid argument",
                                                        "Invalid state",
                                                        "Not connected",
                                                        "No playback",
                                                        "Unknown stream",
                                                        "Out of memory",
                                                        "Network error",
                                                        "Authentication failed",
                                                        "Not supported",
                                                        "Internal error"};
    return error >= 0 && static_cast<size_t>(error) < texts.size() ? texts[error] : "Unknown error";
}

ZRV_EXPORT uint64_t zrv_standin_frames_for_ms(uint32_t sample_rate, uint64_t ms) {
    return uint64_t{sample_rate} * ms / 1000;
}

ZRV_EXPORT size_t zrv_standin_generate_pcm(uint32_t seed, AudioFormat format, uint64_t frame_offset, size_t frames,
                                           void *out, size_t out_size) {
    const size_t sample_size = zrv_audio_sample_format_size(format.sample_format);
    if (format.sample_rate == 0 || format.channels == 0 || sample_size == 0 || (!out && frames > 0)) return 0;
    const size_t frame_size = sample_size * format.channels;
    if (frames > out_size / frame_size) return 0;
    auto *bytes = static_cast<uint8_t *>(out);
    for (size_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < format.channels; ++c) {
            const int32_t full = sample_at(seed, format.sample_rate, frame_offset + f, c);
            uint32_t value;
            // The lowest bit of every sample is set, so no sample is ever zero.
            switch (format.sample_format) {
                case ZRV_SAMPLE_FORMAT_S16:
                    value = static_cast<uint32_t>((full >> 16) | 1);
                    break;
                case ZRV_SAMPLE_FORMAT_S24_32:
                    value = static_cast<uint32_t>((full >> 8) | 1);
                    break;
                default:
                    value = static_cast<uint32_t>(full | 1);
                    break;
            }
            put_le(bytes, value, sample_size);
            bytes += sample_size;
        }
    }
    return frames * frame_size;
}

}  // extern "C"
