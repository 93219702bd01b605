// The stand-in's call record, error injection and log delegate, and the test
// control's functions that read them. Any thread: the record and the
// injections share one mutex, the log delegate has its own, and no two are held
// at once (the log delegate is called without its lock).
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "standin_internal.h"
#include "zorva_standin.h"

namespace {

struct RecordedCall {
    std::string operation;
    std::string arguments;
};

struct Injection {
    ZrvError error = ZRV_OK;
    int32_t remaining = 0;  // < 0: always
};

struct FileCloser {
    void operator()(FILE *file) const noexcept { std::fclose(file); }
};

struct Control {
    std::mutex mutex;
    // A deque keeps the strings of older entries in place when calls are
    // appended, so pointers handed out by zrv_standin_call_at stay valid.
    std::deque<RecordedCall> calls;  // guarded by mutex
    // Calls are kept in `calls` only once a test has asked for the record
    // (it reset, cleared or read it), so a process that never does, like the
    // daemon, does not grow with every call it makes.
    bool keep_calls = false;                        // guarded by mutex
    std::map<std::string, Injection> injections;    // guarded by mutex
    std::unique_ptr<FILE, FileCloser> record_file;  // guarded by mutex
    bool environment_read = false;                  // guarded by mutex
    // Problems with the environment, kept until a log delegate can take them.
    std::string pending_notes;  // guarded by mutex
};

Control &control() {
    static Control instance;
    return instance;
}

// "op=code" or "op=codexN", comma-separated; malformed entries are reported
// through the log and skipped.
void parse_injections(const char *text, std::map<std::string, Injection> &out, std::string &problems) {
    std::string all(text);
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(',', start);
        if (end == std::string::npos) end = all.size();
        std::string entry = all.substr(start, end - start);
        start = end + 1;
        if (entry.empty()) continue;
        size_t eq = entry.find('=');
        if (eq == std::string::npos || eq == 0) {
            problems += " '" + entry + "'";
            continue;
        }
        std::string name = entry.substr(0, eq);
        std::string value = entry.substr(eq + 1);
        char *rest = nullptr;
        long code = std::strtol(value.c_str(), &rest, 10);
        long times = -1;
        if (rest == value.c_str() || code <= 0 || code > INT32_MAX) {
            problems += " '" + entry + "'";
            continue;
        }
        if (*rest == 'x') {
            char *tail = nullptr;
            times = std::strtol(rest + 1, &tail, 10);
            if (tail == rest + 1 || *tail != '\0' || times <= 0 || times > INT32_MAX) {
                problems += " '" + entry + "'";
                continue;
            }
        } else if (*rest != '\0') {
            problems += " '" + entry + "'";
            continue;
        }
        out[name] = Injection{static_cast<ZrvError>(code), static_cast<int32_t>(times)};
    }
}

// Reads ZRV_STANDIN_RECORD and ZRV_STANDIN_INJECT once, at the first recorded
// call of the process. Called with the mutex held; returns what to log.
std::string read_environment_locked(Control &c) {
    std::string notes;
    if (c.environment_read) return notes;
    c.environment_read = true;
    if (const char *path = std::getenv("ZRV_STANDIN_RECORD"); path && *path) {
        c.record_file.reset(std::fopen(path, "a"));
        if (!c.record_file) notes += std::string("cannot open call record file '") + path + "'; ";
    }
    if (const char *inject = std::getenv("ZRV_STANDIN_INJECT"); inject && *inject) {
        std::string problems;
        parse_injections(inject, c.injections, problems);
        if (!problems.empty()) notes += "ignored malformed ZRV_STANDIN_INJECT entries:" + problems + "; ";
    }
    return notes;
}

// The record for a test that reads or clears it: from now on it is kept.
std::unique_lock<std::mutex> record_asked_for(Control &c) {
    std::unique_lock lock(c.mutex);
    c.keep_calls = true;
    return lock;
}

std::mutex log_mutex;
LogDelegate log_delegate{};  // guarded by log_mutex

}  // namespace

namespace standin {

ArgText &ArgText::add_raw(std::string_view value) {
    if (!text_.empty()) text_ += ", ";
    text_ += value;
    return *this;
}

ArgText &ArgText::add(const SessionToken *token) {
    if (!token) return add_raw("(null)");
    return add(token->endpoint).add(token->token).add(token->expiry);
}

ZrvError record_call(const char *operation, const std::string &arguments) {
    Control &c = control();
    ZrvError result = ZRV_OK;
    std::string notes;
    {
        std::lock_guard lock(c.mutex);
        c.pending_notes += read_environment_locked(c);
        notes = std::exchange(c.pending_notes, std::string());
        if (c.keep_calls) c.calls.push_back(RecordedCall{operation, arguments});
        if (c.record_file) {
            std::fprintf(c.record_file.get(), "%s(%s)\n", operation, arguments.c_str());
            std::fflush(c.record_file.get());
        }
        auto it = c.injections.find(operation);
        if (it != c.injections.end()) {
            result = it->second.error;
            if (it->second.remaining > 0 && --it->second.remaining == 0) c.injections.erase(it);
        }
    }
    if (!notes.empty() && !log(ZRV_LOG_WARNING, kLogComponent, "Stand-in control: %s", notes.c_str())) {
        std::lock_guard lock(c.mutex);
        c.pending_notes = notes + c.pending_notes;
    }
    if (result != ZRV_OK)
        log(ZRV_LOG_DEBUG, kLogComponent, "Injected error %d (%s) for %s", result, zrv_error_to_string(result),
            operation);
    return result;
}

bool log(uint32_t level, const char *component, const char *format, ...) {
    LogDelegate delegate;
    {
        std::lock_guard lock(log_mutex);
        delegate = log_delegate;
    }
    if (!delegate.log) return false;
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    delegate.log(level, component, message, delegate.user);
    return true;
}

}  // namespace standin

extern "C" {

ZRV_EXPORT ZrvError zrv_connect_set_log_delegate(const LogDelegate *delegate) {
    try {
        if (ZrvError injected =
                standin::record_call("zrv_connect_set_log_delegate",
                                     standin::ArgText().add(delegate && delegate->log ? "set" : "(null)").text()))
            return injected;
    } catch (const std::bad_alloc &) {
        return ZRV_ERROR_OUT_OF_MEMORY;
    }
    if (!delegate) return ZRV_ERROR_INVALID_ARGUMENT;
    std::lock_guard lock(log_mutex);
    log_delegate = *delegate;
    return ZRV_OK;
}

ZRV_EXPORT size_t zrv_standin_call_count(void) {
    Control &c = control();
    auto lock = record_asked_for(c);
    return c.calls.size();
}

ZRV_EXPORT bool zrv_standin_call_at(size_t index, ZrvStandinCall *out) {
    Control &c = control();
    auto lock = record_asked_for(c);
    if (!out || index >= c.calls.size()) return false;
    out->operation = c.calls[index].operation.c_str();
    out->arguments = c.calls[index].arguments.c_str();
    return true;
}

ZRV_EXPORT size_t zrv_standin_count_calls(const char *operation) {
    Control &c = control();
    auto lock = record_asked_for(c);
    size_t count = 0;
    if (!operation) return 0;
    for (const RecordedCall &call : c.calls) count += call.operation == operation;
    return count;
}

ZRV_EXPORT size_t zrv_standin_find_call(const char *operation, size_t from) {
    Control &c = control();
    auto lock = record_asked_for(c);
    if (!operation) return static_cast<size_t>(-1);
    for (size_t i = from; i < c.calls.size(); ++i)
        if (c.calls[i].operation == operation) return i;
    return static_cast<size_t>(-1);
}

ZRV_EXPORT void zrv_standin_clear_calls(void) {
    Control &c = control();
    auto lock = record_asked_for(c);
    c.calls.clear();
}

ZRV_EXPORT void zrv_standin_inject_error(const char *operation, ZrvError error, int32_t times) {
    if (!operation) return;
    Control &c = control();
    std::lock_guard lock(c.mutex);
    try {
        if (times == 0 || error == ZRV_OK)
            c.injections.erase(operation);
        else
            c.injections[operation] = Injection{error, times < 0 ? -1 : times};
    } catch (const std::bad_alloc &) {
        // Out of memory: the injection is not installed.
    }
}

ZRV_EXPORT void zrv_standin_clear_errors(void) {
    Control &c = control();
    std::lock_guard lock(c.mutex);
    c.injections.clear();
}

ZRV_EXPORT void zrv_standin_reset(void) {
    Control &c = control();
    auto lock = record_asked_for(c);
    // The environment is read first (the record file stays open), so its
    // injections do not come back later.
    c.pending_notes += read_environment_locked(c);
    c.calls.clear();
    c.injections.clear();
}

}  // extern "C"
