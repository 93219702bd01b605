// Benchmark helper for bench/run-audio.sh; single-threaded apart from the
// sink's own PipeWire thread.
//
//   audio_bench gen <rate> <format> <seconds> <file.wav>
//       writes <seconds> of stereo test PCM (format 0 = S16, 1 = S24 in 32-bit
//       containers, written as 32-bit PCM) with no zero sample, followed by a
//       quantum of silence
//   audio_bench play <rate> <format> <file.wav>
//       plays the file's PCM through the PipeWireSink, fed on need-data in
//       64 KiB chunks read from the file as the Player is fed by the SDK, then
//       drains and closes
//   audio_bench measure <command...>
//       runs the command and prints its CPU seconds (user, system) and peak
//       RSS in kB, from wait4's rusage
//   audio_bench gaps <rate> <bytes per frame> <expected frames> <capture.raw>
//       counts, in a capture of test_sink's monitor, the silent frames inside
//       the played audio and the frames missing from it
//   audio_bench silences <rate> <bytes per frame> <min ms> <capture.raw>
//       prints, in order, the length in ms of every run of silent frames
//       inside the played audio that lasts at least <min ms>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <uv.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio/pipewire_sink.h"

namespace {

constexpr uint32_t channels = 2;
constexpr size_t wav_header_size = 44;
constexpr size_t silence_frames = 8192;

void put16(std::vector<uint8_t> &out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t> &out, uint32_t v) {
    put16(out, static_cast<uint16_t>(v));
    put16(out, static_cast<uint16_t>(v >> 16));
}

int generate(uint32_t rate, uint32_t format, uint32_t seconds, const char *path) {
    const uint32_t bytes_per_sample = format == 0 ? 2 : 4;
    const uint64_t frames = uint64_t{rate} * seconds;
    const uint64_t data_size = (frames + silence_frames) * channels * bytes_per_sample;
    std::vector<uint8_t> header;
    header.insert(header.end(), {'R', 'I', 'F', 'F'});
    put32(header, static_cast<uint32_t>(36 + data_size));
    header.insert(header.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(header, 16);
    put16(header, 1);  // integer PCM
    put16(header, channels);
    put32(header, rate);
    put32(header, rate * channels * bytes_per_sample);
    put16(header, static_cast<uint16_t>(channels * bytes_per_sample));
    put16(header, static_cast<uint16_t>(bytes_per_sample * 8));
    header.insert(header.end(), {'d', 'a', 't', 'a'});
    put32(header, static_cast<uint32_t>(data_size));

    FILE *file = std::fopen(path, "wb");
    if (!file) {
        std::perror(path);
        return 1;
    }
    std::fwrite(header.data(), 1, header.size(), file);
    std::vector<uint8_t> block;
    uint32_t state = rate;
    for (uint64_t i = 0; i < frames * channels; ++i) {
        state = state * 1664525u + 1013904223u;
        if (format == 0) {
            auto sample = static_cast<int16_t>(state >> 16);
            if (sample == 0) sample = 1;
            put16(block, static_cast<uint16_t>(sample));
        } else {
            int32_t sample = static_cast<int32_t>(state) >> 8;
            if (sample == 0) sample = 1;
            put32(block, static_cast<uint32_t>(sample));
        }
        if (block.size() >= 1 << 16) {
            std::fwrite(block.data(), 1, block.size(), file);
            block.clear();
        }
    }
    block.resize(block.size() + silence_frames * channels * bytes_per_sample, 0);
    std::fwrite(block.data(), 1, block.size(), file);
    return std::fclose(file) == 0 ? 0 : 1;
}

struct Player {
    PipeWireSink *sink = nullptr;
    FILE *file = nullptr;
    std::vector<uint8_t> chunk = std::vector<uint8_t>(64 * 1024);
    size_t chunk_offset = 0;
    size_t chunk_length = 0;
    bool at_end = false;
    uv_loop_t *loop = nullptr;

    void feed() {
        while (!at_end) {
            if (chunk_offset == chunk_length) {
                chunk_length = std::fread(chunk.data(), 1, chunk.size(), file);
                chunk_offset = 0;
                if (chunk_length == 0) {
                    at_end = true;
                    uv_stop(loop);
                    return;
                }
            }
            bool ok = false;
            const size_t want = chunk_length - chunk_offset;
            const size_t n = pipewire_sink_write(sink, chunk.data() + chunk_offset, want, &ok);
            chunk_offset += n;
            if (!ok || n < want) return;
        }
    }
};

void on_need_data(PipeWireSink * /*sink*/, void *user) { static_cast<Player *>(user)->feed(); }

int play(uint32_t rate, uint32_t format, const char *path) {
    Player player;
    player.file = std::fopen(path, "rb");
    if (!player.file || std::fseek(player.file, wav_header_size, SEEK_SET) != 0) {
        std::perror(path);
        return 1;
    }
    uv_loop_t *loop = uv_default_loop();
    player.loop = loop;
    player.sink = pipewire_sink_new(loop, "default");
    SinkCallbacks callbacks{&player, on_need_data, nullptr, nullptr, nullptr};
    pipewire_sink_set_callbacks(player.sink, &callbacks);
    if (!pipewire_sink_open(player.sink, AudioFormat{rate, channels, format})) return 1;
    player.feed();
    if (!player.at_end) uv_run(loop, UV_RUN_DEFAULT);
    pipewire_sink_drain(player.sink);
    pipewire_sink_close(player.sink);
    pipewire_sink_free(player.sink);
    uv_run(loop, UV_RUN_DEFAULT);
    std::fclose(player.file);
    return uv_loop_close(loop) == 0 ? 0 : 1;
}

// The frames of a capture that are not all zero, and the lengths of the runs
// of silent frames between them (the silence before the first and after the
// last sound is not inside the audio). False when the file cannot be read.
bool scan_capture(const char *path, size_t stride, uint64_t *sound, std::vector<uint64_t> *silent_runs) {
    FILE *file = std::fopen(path, "rb");
    if (!file) {
        std::perror(path);
        return false;
    }
    std::vector<uint8_t> frame(stride);
    uint64_t run = 0;
    *sound = 0;
    while (std::fread(frame.data(), 1, stride, file) == stride) {
        bool silent = true;
        for (uint8_t byte : frame) silent = silent && byte == 0;
        if (silent) {
            run += *sound > 0 ? 1 : 0;
            continue;
        }
        if (run > 0) silent_runs->push_back(run);
        run = 0;
        ++*sound;
    }
    std::fclose(file);
    return true;
}

int gaps(uint32_t rate, size_t stride, uint64_t expected, const char *path) {
    uint64_t sound = 0;
    std::vector<uint64_t> runs;
    if (!scan_capture(path, stride, &sound, &runs)) return 1;
    uint64_t silent_inside = 0;
    for (uint64_t run : runs) silent_inside += run;
    const uint64_t missing = sound < expected ? expected - sound : 0;
    std::printf("sound_frames=%llu expected_frames=%llu silent_inside=%llu missing=%llu underrun_ms=%.1f\n",
                static_cast<unsigned long long>(sound), static_cast<unsigned long long>(expected),
                static_cast<unsigned long long>(silent_inside), static_cast<unsigned long long>(missing),
                1000.0 * static_cast<double>(silent_inside) / rate);
    return 0;
}

int silences(uint32_t rate, size_t stride, double min_ms, const char *path) {
    uint64_t sound = 0;
    std::vector<uint64_t> runs;
    if (!scan_capture(path, stride, &sound, &runs)) return 1;
    for (uint64_t run : runs) {
        const double ms = 1000.0 * static_cast<double>(run) / rate;
        if (ms >= min_ms) std::printf("%.1f\n", ms);
    }
    return 0;
}

int measure(char **command) {
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 1;
    }
    if (child == 0) {
        execvp(command[0], command);
        std::perror(command[0]);
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (wait4(child, &status, 0, &usage) < 0) {
        std::perror("wait4");
        return 1;
    }
    std::fprintf(stderr, "%.6f %.6f %ld\n",
                 static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) / 1e6,
                 static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) / 1e6,
                 usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "gen" && argc == 6)
        return generate(std::strtoul(argv[2], nullptr, 10), std::strtoul(argv[3], nullptr, 10),
                        std::strtoul(argv[4], nullptr, 10), argv[5]);
    if (mode == "play" && argc == 5)
        return play(std::strtoul(argv[2], nullptr, 10), std::strtoul(argv[3], nullptr, 10), argv[4]);
    if (mode == "gaps" && argc == 6)
        return gaps(std::strtoul(argv[2], nullptr, 10), std::strtoul(argv[3], nullptr, 10),
                    std::strtoull(argv[4], nullptr, 10), argv[5]);
    if (mode == "silences" && argc == 6)
        return silences(std::strtoul(argv[2], nullptr, 10), std::strtoul(argv[3], nullptr, 10),
                        std::strtod(argv[4], nullptr), argv[5]);
    if (mode == "measure" && argc > 2) return measure(argv + 2);
    std::fprintf(stderr,
                 "usage: %s gen <rate> <format> <seconds> <file.wav>\n"
                 "       %s play <rate> <format> <file.wav>\n"
                 "       %s gaps <rate> <bytes per frame> <expected frames> <capture.raw>\n"
                 "       %s silences <rate> <bytes per frame> <min ms> <capture.raw>\n"
                 "       %s measure <command...>\n",
                 argv[0], argv[0], argv[0], argv[0], argv[0]);
    return 2;
}
