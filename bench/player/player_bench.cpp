// Benchmark helper for bench/run-player.sh; the loop thread runs everything
// apart from the sink's PipeWire thread.
//
//   player_bench play <zconnect endpoint>
//       plays the stand-in's queue through the Player into the default
//       PipeWire sink until the queue has ended, then prints the loop's
//       wake-ups per second
//   player_bench wav <rate> <format> <tracks> <track ms> <file.wav>
//       writes the stand-in's PCM of tracks 1..n (seeds 1..n) back to back, as
//       the Player receives it, plus a quantum of silence (format 1 as 32-bit)
//   player_bench gencost <rate> <format> <seconds>
//       CPU seconds the stand-in spends generating that much PCM in 20 ms chunks
//   player_bench compare <rate> <format> <tracks> <track ms> <capture bytes per sample> <capture.raw>
//       compares a capture of test_sink's monitor (s16, or s24 packed for
//       format 1) with the tracks' PCM: frames inserted and dropped, and where
//   player_bench pieces <track ms> <before.raw> <after.raw>
//       what two s16 captures of one 44100 Hz S16 track (seed 1) heard before
//       and after an interruption: the frames of sound in each, where the
//       second one's sound starts in the track, the frames between the two
//       (negative: heard twice), the frames missing inside the two, whether
//       both were found (the first from the track's start), and whether the
//       second runs to the track's end
#include <uv.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "player/player.h"
#include "zorva_connect.h"
#include "zorva_standin.h"

namespace {

constexpr uint32_t channels = 2;

uint32_t sample_bytes(uint32_t format) { return format == ZRV_SAMPLE_FORMAT_S16 ? 2 : 4; }

std::vector<uint8_t> tracks_pcm(uint32_t rate, uint32_t format, uint32_t tracks, uint64_t track_ms) {
    const AudioFormat audio{rate, channels, format};
    const uint64_t frames = zrv_standin_frames_for_ms(rate, track_ms);
    const size_t stride = channels * sample_bytes(format);
    std::vector<uint8_t> pcm(tracks * frames * stride);
    for (uint32_t t = 0; t < tracks; ++t)
        zrv_standin_generate_pcm(t + 1, audio, 0, frames, pcm.data() + t * frames * stride, frames * stride);
    return pcm;
}

void put(std::vector<uint8_t> &out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

int write_wav(uint32_t rate, uint32_t format, uint32_t tracks, uint64_t track_ms, const char *path) {
    std::vector<uint8_t> pcm = tracks_pcm(rate, format, tracks, track_ms);
    const uint32_t bytes = sample_bytes(format);
    pcm.resize(pcm.size() + 8192 * channels * bytes, 0);
    std::vector<uint8_t> header = {'R', 'I', 'F', 'F'};
    put(header, static_cast<uint32_t>(36 + pcm.size()), 4);
    for (char c : std::string("WAVEfmt ")) header.push_back(static_cast<uint8_t>(c));
    put(header, 16, 4);
    put(header, 1, 2);
    put(header, channels, 2);
    put(header, rate, 4);
    put(header, rate * channels * bytes, 4);
    put(header, channels * bytes, 2);
    put(header, bytes * 8, 2);
    for (char c : std::string("data")) header.push_back(static_cast<uint8_t>(c));
    put(header, static_cast<uint32_t>(pcm.size()), 4);
    FILE *file = std::fopen(path, "wb");
    if (!file) {
        std::perror(path);
        return 1;
    }
    std::fwrite(header.data(), 1, header.size(), file);
    std::fwrite(pcm.data(), 1, pcm.size(), file);
    return std::fclose(file) == 0 ? 0 : 1;
}

double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int generation_cost(uint32_t rate, uint32_t format, uint32_t seconds) {
    const AudioFormat audio{rate, channels, format};
    const size_t chunk = zrv_standin_frames_for_ms(rate, 20);
    std::vector<uint8_t> out(chunk * channels * sample_bytes(format));
    const double start = cpu_seconds();
    for (uint64_t frame = 0; frame < uint64_t{rate} * seconds; frame += chunk)
        zrv_standin_generate_pcm(1, audio, frame, chunk, out.data(), out.size());
    std::printf("%.6f\n", cpu_seconds() - start);
    return 0;
}

void no_advertising(ZrvConnect *, const char *, const char *, void *) {}
void no_op(ZrvConnect *, void *) {}
void no_active(ZrvConnect *, bool, void *) {}

struct Run {
    ZrvConnect *sdk = nullptr;
    uint64_t wakeups = 0;
    bool started = false;
    uv_loop_t *loop = nullptr;
};

void count_wakeup(uv_prepare_t *handle) noexcept { ++static_cast<Run *>(handle->data)->wakeups; }

void check_end(uv_timer_t *handle) noexcept {
    auto *run = static_cast<Run *>(handle->data);
    ZrvStandinStatus status{};
    zrv_standin_get_status(run->sdk, &status);
    if (status.streams_announced > 0) run->started = true;
    if (run->started && status.state == ZRV_PLAYBACK_STATE_STOPPED) uv_stop(run->loop);
}

int play(const char *endpoint) {
    uv_loop_t *loop = uv_default_loop();
    Player *player = player_new(loop, "", "", "");
    ZrvConnectConfig config{};
    config.version = ZRV_CONNECT_CONFIG_VERSION;
    config.device_name = "Bench";
    config.manufacturer = "Bench";
    config.model = "Bench";
    config.serial_number = "1";
    config.unique_device_id = "bench";
    config.app_id = "bench";
    config.app_secret = "";
    config.max_audio_quality = ZRV_AUDIO_QUALITY_HIRES3;
    config.capabilities = ZRV_CAPABILITY_GAPLESS;
    config.advertising = AdvertisingDelegate{nullptr, no_advertising, no_op};
    config.config_server = ConfigServerDelegate{nullptr, no_op, no_op};
    config.audio = player_audio_delegate(player);
    config.playback = player_playback_delegate(player);
    config.device = DeviceDelegate{nullptr, no_active};
    ZrvError error = ZRV_OK;
    Run run;
    run.loop = loop;
    run.sdk = zrv_connect_create(loop, &config, &error);
    if (!run.sdk) {
        std::fprintf(stderr, "zrv_connect_create: %s\n", zrv_error_to_string(error));
        return 1;
    }
    player_set_sdk(player, run.sdk);
    SessionToken api{"https://api.invalid", "t", 0};
    SessionToken zconnect{endpoint, "t", 0};
    if ((error = zrv_connect_connect(run.sdk, "bench", &api, &zconnect, true)) != ZRV_OK) {
        std::fprintf(stderr, "zrv_connect_connect: %s\n", zrv_error_to_string(error));
        return 1;
    }
    uv_prepare_t prepare;
    uv_prepare_init(loop, &prepare);
    prepare.data = &run;
    uv_prepare_start(&prepare, count_wakeup);
    uv_timer_t poll;
    uv_timer_init(loop, &poll);
    poll.data = &run;
    uv_timer_start(&poll, check_end, 250, 250);
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    uv_run(loop, UV_RUN_DEFAULT);
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double seconds =
        static_cast<double>(end.tv_sec - start.tv_sec) + static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
    uv_close(reinterpret_cast<uv_handle_t *>(&prepare), nullptr);
    uv_close(reinterpret_cast<uv_handle_t *>(&poll), nullptr);
    zrv_connect_free(run.sdk);
    player_free(player);
    uv_run(loop, UV_RUN_DEFAULT);
    // The bench's own 4 Hz end check is not counted.
    std::fprintf(stderr, "wakeups_per_s %.1f\n", (static_cast<double>(run.wakeups) - seconds * 4) / seconds);
    return uv_loop_close(loop) == 0 ? 0 : 1;
}

// The capture's representation of one sample of the reference.
void to_capture(const uint8_t *sample, uint32_t format, uint32_t capture_bytes, uint8_t *out) {
    if (format == ZRV_SAMPLE_FORMAT_S16 || capture_bytes == 4)
        std::memcpy(out, sample, capture_bytes);
    else
        std::memcpy(out, sample, 3);  // the low 24 bits of the container
}

int compare(uint32_t rate, uint32_t format, uint32_t tracks, uint64_t track_ms, uint32_t capture_bytes,
            const char *path) {
    FILE *file = std::fopen(path, "rb");
    if (!file) {
        std::perror(path);
        return 1;
    }
    std::vector<uint8_t> captured;
    uint8_t block[65536];
    for (size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;)
        captured.insert(captured.end(), block, block + n);
    std::fclose(file);

    const std::vector<uint8_t> source = tracks_pcm(rate, format, tracks, track_ms);
    const size_t source_stride = channels * sample_bytes(format);
    const size_t stride = channels * capture_bytes;
    std::vector<uint8_t> reference(source.size() / source_stride * stride);
    for (size_t s = 0; s < source.size() / sample_bytes(format); ++s)
        to_capture(source.data() + s * sample_bytes(format), format, capture_bytes,
                   reference.data() + s * capture_bytes);
    const size_t frames = reference.size() / stride;
    const size_t track_frames = frames / tracks;

    auto frame_equal = [&](size_t c, size_t r) {
        return std::memcmp(captured.data() + c * stride, reference.data() + r * stride, stride) == 0;
    };
    const size_t captured_frames = captured.size() / stride;
    size_t c = 0;
    while (c < captured_frames && !frame_equal(c, 0)) ++c;
    if (c == captured_frames) {
        std::printf("inserted=0 dropped=%zu first_frame_never_played\n", frames);
        return 0;
    }
    size_t r = 0, inserted = 0, dropped = 0, replaced = 0;
    std::string where;
    while (r < frames && c < captured_frames) {
        if (frame_equal(c, r)) {
            ++c;
            ++r;
            continue;
        }
        // Realign on 256 frames: audio inserted into the capture (silence of
        // an underrun), or reference frames that never played.
        auto matches = [&](size_t cc, size_t rr) {
            for (size_t k = 0; k < 256 && rr + k < frames; ++k)
                if (cc + k >= captured_frames || !frame_equal(cc + k, rr + k)) return false;
            return true;
        };
        bool aligned = false;
        for (size_t d = 1; d < (size_t{1} << 20) && !aligned; ++d) {
            if (c + d < captured_frames && frame_equal(c + d, r) && matches(c + d, r)) {
                inserted += d;
                where += " +" + std::to_string(d) + "@" + std::to_string(r) + "(track " +
                         std::to_string(r / track_frames + 1) + ")";
                c += d;
                aligned = true;
            } else if (c + d < captured_frames && r + d < frames && frame_equal(c + d, r + d) &&
                       matches(c + d, r + d)) {
                // A period of audio replaced (by silence, mostly).
                replaced += d;
                where += " ~" + std::to_string(d) + "@" + std::to_string(r) + "(track " +
                         std::to_string(r / track_frames + 1) + ")";
                c += d;
                r += d;
                aligned = true;
            } else if (r + d < frames && frame_equal(c, r + d) && matches(c, r + d)) {
                dropped += d;
                where += " -" + std::to_string(d) + "@" + std::to_string(r) + "(track " +
                         std::to_string(r / track_frames + 1) + ")";
                r += d;
                aligned = true;
            }
        }
        if (!aligned) {
            where += " unaligned@" + std::to_string(r);
            break;
        }
    }
    if (r < frames) dropped += frames - r;
    std::printf("inserted=%zu dropped=%zu replaced=%zu frames=%zu (track boundaries every %zu frames)%s\n", inserted,
                dropped, replaced, frames, track_frames, where.c_str());
    return 0;
}

std::vector<uint8_t> read_file(const char *path) {
    std::vector<uint8_t> bytes;
    FILE *file = std::fopen(path, "rb");
    if (!file) return bytes;
    uint8_t block[65536];
    for (size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;) bytes.insert(bytes.end(), block, block + n);
    std::fclose(file);
    return bytes;
}

// The frames that are not all zero (the stand-in's PCM has no zero sample).
std::vector<uint8_t> sound_of(const std::vector<uint8_t> &captured, size_t stride) {
    std::vector<uint8_t> sound;
    for (size_t at = 0; at + stride <= captured.size(); at += stride)
        for (size_t i = 0; i < stride; ++i)
            if (captured[at + i] != 0) {
                sound.insert(sound.end(), captured.begin() + static_cast<long>(at),
                             captured.begin() + static_cast<long>(at + stride));
                break;
            }
    return sound;
}

// Where the 1024 frames at `probe` lie in `track`, from `from` on, or npos.
size_t find_in(const std::vector<uint8_t> &track, const uint8_t *probe, size_t stride, size_t from = 0) {
    const size_t probe_bytes = 1024 * stride;
    for (size_t at = from; at + probe_bytes <= track.size(); at += stride)
        if (std::memcmp(track.data() + at, probe, probe_bytes) == 0) return at;
    return std::string::npos;
}

int pieces(uint64_t track_ms, const char *before_path, const char *after_path) {
    const size_t stride = channels * 2;
    const size_t probe = 1024 * stride;
    const std::vector<uint8_t> track = tracks_pcm(44100, ZRV_SAMPLE_FORMAT_S16, 1, track_ms);
    const std::vector<uint8_t> before = sound_of(read_file(before_path), stride);
    const std::vector<uint8_t> after = sound_of(read_file(after_path), stride);
    const size_t npos = std::string::npos;
    // Each piece is found by its first and its last 1024 frames; frames
    // missing inside a piece (a period the null sink dropped) are counted
    // apart from those missing between the two.
    const size_t before_start = before.size() >= probe ? find_in(track, before.data(), stride) : npos;
    const size_t before_end = before_start == 0 ? find_in(track, before.data() + before.size() - probe, stride) : npos;
    const size_t after_start = after.size() >= probe ? find_in(track, after.data(), stride) : npos;
    const size_t after_end =
        after_start != npos ? find_in(track, after.data() + after.size() - probe, stride, after_start) : npos;
    const bool found = before_end != npos && after_end != npos;
    const long missing =
        found ? (static_cast<long>(after_start) - static_cast<long>(before_end + probe)) / static_cast<long>(stride)
              : 0;
    const long inside = found ? (static_cast<long>(before_end + probe - before.size()) +
                                 static_cast<long>(after_end + probe - after_start - after.size())) /
                                    static_cast<long>(stride)
                              : 0;
    std::printf("heard_before=%zu start_after=%ld heard_after=%zu missing=%ld missing_inside=%ld found=%d to_end=%d\n",
                before.size() / stride, after_start != npos ? static_cast<long>(after_start / stride) : -1L,
                after.size() / stride, missing, inside, found ? 1 : 0,
                found && after_end + probe == track.size() ? 1 : 0);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    auto u = [&](int i) { return static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10)); };
    if (mode == "play" && argc == 3) return play(argv[2]);
    if (mode == "wav" && argc == 7) return write_wav(u(2), u(3), u(4), std::strtoull(argv[5], nullptr, 10), argv[6]);
    if (mode == "pieces" && argc == 5) return pieces(std::strtoull(argv[2], nullptr, 10), argv[3], argv[4]);
    if (mode == "gencost" && argc == 5) return generation_cost(u(2), u(3), u(4));
    if (mode == "compare" && argc == 8)
        return compare(u(2), u(3), u(4), std::strtoull(argv[5], nullptr, 10), u(6), argv[7]);
    std::fprintf(stderr,
                 "usage: %s play <endpoint> | wav <rate> <format> <tracks> <track ms> <file> |\n"
                 "       gencost <rate> <format> <seconds> | pieces <track ms> <before.raw> <after.raw> |\n"
                 "       compare <rate> <format> <tracks> <track ms> <capture bytes per sample> <capture.raw>\n",
                 argv[0]);
    return 2;
}
