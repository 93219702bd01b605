// libFuzzer target: the body of a "connect-to-zconnect" request, parsed and
// validated as the configuration server's worker thread does. Any crash,
// sanitizer report or broken invariant below is a finding.
#include <pthread.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "config_server/connect_request.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void check_parse(const uint8_t *data, size_t size) {
    const ConnectRequestParse parse = connect_request_parse(reinterpret_cast<const char *>(data), size);
    if (parse.status == ConnectRequestStatus::ok) {
        check(parse.error == nullptr);
        check(parse.document != nullptr);
        check(parse.session_id && parse.api_token.endpoint && parse.api_token.token);
        check(parse.zconnect_token.endpoint && parse.zconnect_token.token);
        // The strings are readable to their end.
        check(std::strlen(parse.session_id) < size);
        check(std::strlen(parse.api_token.token) < size);
    } else {
        check(parse.error != nullptr);
        check(std::strncmp(parse.error, "connect-to-zconnect: ", 21) == 0);
        check(parse.document == nullptr);
        check(parse.session_id == nullptr);
    }
    // The same bytes always give the same verdict.
    const ConnectRequestParse again = connect_request_parse(reinterpret_cast<const char *>(data), size);
    check(again.status == parse.status);
    check(again.error == parse.error);
}

void check_expiry(const uint8_t *data, size_t size) {
    if (size < sizeof(double)) return;
    double value;
    std::memcpy(&value, data, sizeof value);
    const uint64_t expiry = connect_request_expiry(value);
    if (std::isnan(value) || value <= 0.0) {
        check(expiry == 0);
    } else if (value >= 18446744073709551616.0) {
        check(expiry == UINT64_MAX);
    } else {
        check(static_cast<double>(expiry) <= value && value < static_cast<double>(expiry) + 1.0 + value * 1e-15);
    }
}

void *run(void *argument) {
    const auto *input = static_cast<const std::pair<const uint8_t *, size_t> *>(argument);
    check_parse(input->first, input->second);
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The server parses on a civetweb worker; parse on a thread with a small
    // stack of the same order (64 KiB overflowed at 900 levels before nesting
    // was bounded), so deep recursion is caught here too.
    std::pair<const uint8_t *, size_t> input{data, size};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 64 * 1024);
    pthread_t thread;
    check(pthread_create(&thread, &attributes, run, &input) == 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    check_expiry(data, size);
    return 0;
}
