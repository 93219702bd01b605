// Shared pieces of the stand-in SDK: the process-wide call record, error
// injection and log delegate, and the guard of every exported function. Any
// thread; the record and the injection table share one lock, the log delegate
// has its own.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "zorva_connect.h"

namespace standin {

// Argument text of one recorded call: values joined with ", ".
class ArgText {
  public:
    ArgText &add(const char *value) { return add_raw(value ? std::string_view(value) : std::string_view("(null)")); }
    ArgText &add(const std::string &value) { return add_raw(value); }
    ArgText &add(bool value) { return add_raw(value ? "true" : "false"); }
    ArgText &add(uint64_t value) { return add_raw(std::to_string(value)); }
    ArgText &add(uint32_t value) { return add_raw(std::to_string(value)); }
    ArgText &add(int32_t value) { return add_raw(std::to_string(value)); }
    ArgText &add(const AudioFormat &format) {
        return add(format.sample_rate).add(format.channels).add(format.sample_format);
    }
    ArgText &add(const SessionToken *token);
    const std::string &text() const { return text_; }

  private:
    ArgText &add_raw(std::string_view value);
    std::string text_;
};

// Records one call of `operation` (also to the ZRV_STANDIN_RECORD file) and
// returns the injected error for it, or ZRV_OK when the call is to go ahead.
ZrvError record_call(const char *operation, const std::string &arguments);

// Writes one line through the installed log delegate; false when none is set.
bool log(uint32_t level, const char *component, const char *format, ...) __attribute__((format(printf, 3, 4)));

// Component names of the stand-in's own log lines.
inline constexpr const char *kLogComponent = "ZorvaConnect";
inline constexpr const char *kHttpComponent = "HttpClient";
inline constexpr const char *kStreamComponent = "AudioStreamManager";

// Runs the body of an exported function: no exception leaves the C ABI.
template <class Body>
ZrvError guarded(Body &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return ZRV_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return ZRV_ERROR_INTERNAL;
    }
}

// Device UUID text (8-4-4-4-12 lowercase hex) derived from the unique device id.
std::string device_uuid_for(std::string_view unique_device_id);

}  // namespace standin
