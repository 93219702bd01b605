// Parsing and validation of the body of a "connect-to-zconnect" request. A
// pure function of the body text, callable from any thread; the
// configuration server runs it on civetweb's worker thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config_server/cjson_ptr.h"
#include "zorva_connect.h"

// A longer session id is refused: the current session id must always fit the
// answer of "get-connect-info".
inline constexpr size_t connect_request_max_session_id_size = 1024;

enum class ConnectRequestStatus {
    ok,
    invalid_json,
    invalid_request,
};

// The strings of the request point into the document, which must outlive
// every use of them.
struct ConnectRequestParse {
    ConnectRequestStatus status = ConnectRequestStatus::invalid_json;
    // The log line of the first failed check (static text), or null.
    const char *error = nullptr;
    const char *session_id = nullptr;
    SessionToken api_token{};
    SessionToken zconnect_token{};
    bool become_active = false;
    CJsonPtr document;
};

// Parses size bytes of body (no terminator needed) and checks them in a
// fixed order; the first failure decides the error line.
ConnectRequestParse connect_request_parse(const char *body, size_t size);

// "exp" as sent: a non-number counts as not-a-number; not-a-number and
// negative values give 0, values of 2^64 and above the largest value, the
// rest are truncated toward zero.
uint64_t connect_request_expiry(double value);
