// Runs on any thread: the loop thread, the PipeWire thread, civetweb's
// threads, the bus clients' threads and the SDK's.
#include "app/log.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

namespace {

constexpr size_t message_buffer_size = 2048;
// Room for a message of app_log's buffer with every character escaped.
constexpr size_t escaped_buffer_size = 4 * message_buffer_size;
constexpr size_t escaped_tag_size = 256;

struct ComponentFilter {
    std::string_view component;
    LogLevel lowest_written;
};

// The SDK components that are chatty below INFO.
constexpr ComponentFilter component_filters[] = {
    {"NetworkManager", LOG_INFO}, {"HttpClient", LOG_INFO},     {"CloudClient", LOG_INFO},
    {"CurlWS", LOG_INFO},         {"HttpDownloader", LOG_INFO}, {"AudioStreamManager", LOG_INFO},
    {"UrlAudioSource", LOG_INFO}, {"AudioDecoder", LOG_INFO},   {"ContentFetcher", LOG_INFO},
};

// Read on every line, from any thread; set at start-up.
std::atomic<bool> journal_prefix{false};

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

// Text from peers (bus messages, HTTP fields, REST answers, the SDK's
// strings) reaches the log inside messages and tags. A line break in it
// would let a peer write a line that reads like one of the daemon's own, so
// every control character is written as an escape: \n, \r, \t or \xNN.
// Returns the text itself when there is nothing to escape; otherwise the
// escaped copy in out, cut (never inside an escape) to fit.
const char *escape_controls(const char *text, char *out, size_t size) {
    const char *scan = text;
    while (*scan && !is_control(static_cast<unsigned char>(*scan))) ++scan;
    if (!*scan) return text;

    static constexpr char hex[] = "0123456789abcdef";
    size_t used = 0;
    for (const char *at = text; *at; ++at) {
        const auto c = static_cast<unsigned char>(*at);
        char piece[4] = {*at};
        size_t length = 1;
        if (c == '\n' || c == '\r' || c == '\t') {
            piece[0] = '\\';
            piece[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
            length = 2;
        } else if (is_control(c)) {
            piece[0] = '\\';
            piece[1] = 'x';
            piece[2] = hex[c >> 4];
            piece[3] = hex[c & 0xf];
            length = 4;
        }
        if (used + length >= size) break;
        std::memcpy(out + used, piece, length);
        used += length;
    }
    out[used] = '\0';
    return out;
}

}  // namespace

const char *log_level_name(LogLevel level) {
    static constexpr const char *names[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "FATAL"};
    return names[std::min<LogLevel>(level, LOG_FATAL)];
}

bool log_fd_is_journal(int fd) noexcept {
    // "<device>:<inode>" of the stream the service manager connected to
    // stdout and stderr; either may have been redirected since.
    const char *stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    char rest = 0;
    struct stat info {};
    if (!stream || std::sscanf(stream, "%llu:%llu%c", &device, &inode, &rest) != 2 || fstat(fd, &info) != 0)
        return false;
    return static_cast<unsigned long long>(info.st_dev) == device &&
           static_cast<unsigned long long>(info.st_ino) == inode;
}

bool log_detect_journal() noexcept {
    const bool journal = log_fd_is_journal(STDOUT_FILENO);
    journal_prefix.store(journal);
    return journal;
}

void log_set_journal_prefix(bool on) noexcept { journal_prefix.store(on); }

int log_journal_priority(LogLevel level) {
    // syslog's LOG_DEBUG, LOG_INFO, LOG_WARNING, LOG_ERR and LOG_CRIT.
    static constexpr int priorities[] = {7, 7, 6, 4, 3, 2};
    return priorities[std::min<LogLevel>(level, LOG_FATAL)];
}

void log_write_line(const char *tag, LogLevel level, const char *message) noexcept {
    char escaped_tag[escaped_tag_size];
    char escaped_message[escaped_buffer_size];
    tag = escape_controls(tag ? tag : "", escaped_tag, sizeof escaped_tag);
    message = escape_controls(message ? message : "", escaped_message, sizeof escaped_message);
    struct timeval now {};
    gettimeofday(&now, nullptr);
    struct tm local {};
    localtime_r(&now.tv_sec, &local);
    char priority[4] = "";
    if (journal_prefix.load(std::memory_order_relaxed)) {
        priority[0] = '<';
        priority[1] = static_cast<char>('0' + log_journal_priority(level));
        priority[2] = '>';
    }
    std::printf("%s%d%02d%02d %02d:%02d:%02d.%03d [%d.%d] %s %s: %s\n", priority, local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(now.tv_usec / 1000), static_cast<int>(getpid()), static_cast<int>(syscall(SYS_gettid)),
                log_level_name(level), tag, message);
}

void app_log(LogLevel level, const char *format, ...) noexcept {
    char message[message_buffer_size];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    log_write_line("JuxApp", level, message);
}

int sdk_log_sink(uint32_t level, const char *component, const char *message, void * /*user*/) noexcept {
    if (component) {
        for (const auto &filter : component_filters) {
            if (filter.component == component) {
                if (level < filter.lowest_written) return 0;
                break;
            }
        }
    }
    log_write_line(component, level > LOG_FATAL ? LOG_FATAL : level, message);
    return 0;
}

std::string log_masked(const char *secret) {
    if (!secret) return "(none)";
    const size_t length = std::strlen(secret);
    const size_t shown = std::min<size_t>(4, length / 4);
    return "***" + std::string(secret + length - shown) + " (" + std::to_string(length) + " characters)";
}

int civetweb_log_hook(const struct mg_connection * /*connection*/, const char *message) noexcept {
    app_log(LOG_ERROR, "[Civetweb] %s", message ? message : "");
    return 1;
}
