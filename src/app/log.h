// The daemon's log: one plain-text line per message on standard output.
// Callable from any thread: each line is one printf on the line-buffered
// stdout, which the C library serialises, so lines never interleave. Control
// characters in tags and messages are written as escapes (\n, \r, \t, \xNN),
// so text from a peer can never start a line of its own.
#pragma once

#include <cstdint>
#include <string>

using LogLevel = uint32_t;
enum : LogLevel {
    LOG_TRACE = 0,
    LOG_DEBUG = 1,
    LOG_INFO = 2,
    LOG_WARNING = 3,
    LOG_ERROR = 4,
    LOG_FATAL = 5,  // and every value above
};

struct mg_connection;

// A secret (application secret, token, password) as it may be logged: its
// length and at most its last four characters, never more than a quarter of
// it, e.g. "***wxyz (32 characters)"; "(none)" for null.
std::string log_masked(const char *secret);

// Name printed for a level: "TRACE" ... "FATAL" (5 and above).
const char *log_level_name(LogLevel level);

// When standard output is the journal's stream (JOURNAL_STREAM names its
// device and inode), each line starts with the syslog priority of its level
// ("<7>" for TRACE and DEBUG, "<6>" INFO, "<4>" WARNING, "<3>" ERROR, "<2>"
// FATAL), which the journal takes off and keeps as the line's priority.
// Decided once at start-up, before other threads log; returns the decision.
bool log_detect_journal() noexcept;
// True when the descriptor is the journal's stream named by JOURNAL_STREAM.
bool log_fd_is_journal(int fd) noexcept;
// Sets the decision directly (tests).
void log_set_journal_prefix(bool on) noexcept;
// The syslog priority the journal gets for a level.
int log_journal_priority(LogLevel level);

// printf-style message tagged "JuxApp"; cut to 2047 characters.
void app_log(LogLevel level, const char *format, ...) noexcept __attribute__((format(printf, 2, 3)));

// Writes one line: date, time with milliseconds, [pid.tid], level, tag, message.
// An escaped message is cut at 8191 characters (app_log's never is).
void log_write_line(const char *tag, LogLevel level, const char *message) noexcept;

// The SDK's log delegate callback: filters the chatty SDK components below
// INFO and writes the rest under the component's name.
int sdk_log_sink(uint32_t level, const char *component, const char *message, void *user) noexcept;

// civetweb's log_message callback: logs "[Civetweb] ..." at ERROR, returns 1.
int civetweb_log_hook(const struct mg_connection *connection, const char *message) noexcept;
