// Any thread: pure parsing, no shared state.
#include "config_server/connect_request.h"

#include <cmath>
#include <cstring>
#include <string>

uint64_t connect_request_expiry(double value) {
    if (std::isnan(value) || value <= 0.0) return 0;
    // 2^64 is exact in a double; everything from there up saturates.
    if (value >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(value);
}

namespace {

struct TokenMessages {
    const char *missing;
    const char *not_object;
    const char *no_endpoint;
    const char *endpoint_not_string;
    const char *no_jwt;
    const char *jwt_not_string;
    const char *no_exp;
};

constexpr TokenMessages api_messages{
    "connect-to-zconnect: Request does not contain \"jwt_api\"",
    "connect-to-zconnect: jwt_api is not an object",
    "connect-to-zconnect: jwt_api does not have \"endpoint\" field",
    "connect-to-zconnect: jwt_api's \"endpoint\" field is not a string",
    "connect-to-zconnect: jwt_api does not have \"jwt\" field",
    "connect-to-zconnect: jwt_api's \"jwt\" field is not a string",
    "connect-to-zconnect: jwt_api does not have \"exp\" field",
};

constexpr TokenMessages zconnect_messages{
    "connect-to-zconnect: Request does not contain \"jwt_zconnect\"",
    "connect-to-zconnect: jwt_zconnect is not an object",
    "connect-to-zconnect: jwt_zconnect does not have \"endpoint\" field",
    "connect-to-zconnect: jwt_zconnect's \"endpoint\" field is not a string",
    "connect-to-zconnect: jwt_zconnect does not have \"jwt\" field",
    "connect-to-zconnect: jwt_zconnect's \"jwt\" field is not a string",
    "connect-to-zconnect: jwt_zconnect does not have \"exp\" field",
};

// Returns the failed check's message, or null when the token is complete.
const char *read_token(const cJSON *root, const char *key, const TokenMessages &messages, SessionToken &token) {
    const cJSON *object = cJSON_GetObjectItem(root, key);
    if (!object) return messages.missing;
    if (!cJSON_IsObject(object)) return messages.not_object;
    const cJSON *endpoint = cJSON_GetObjectItem(object, "endpoint");
    if (!endpoint) return messages.no_endpoint;
    if (!cJSON_IsString(endpoint)) return messages.endpoint_not_string;
    const cJSON *jwt = cJSON_GetObjectItem(object, "jwt");
    if (!jwt) return messages.no_jwt;
    if (!cJSON_IsString(jwt)) return messages.jwt_not_string;
    const cJSON *exp = cJSON_GetObjectItem(object, "exp");
    if (!exp) return messages.no_exp;
    token.endpoint = cJSON_GetStringValue(endpoint);
    token.token = cJSON_GetStringValue(jwt);
    token.expiry = connect_request_expiry(cJSON_GetNumberValue(exp));
    return nullptr;
}

const char *validate(const cJSON *root, ConnectRequestParse &parse) {
    const cJSON *session = cJSON_GetObjectItem(root, "session_id");
    if (!session) return "connect-to-zconnect: Request does not contain \"session_id\"";
    if (!cJSON_IsString(session)) return "connect-to-zconnect: session_id is not a string";
    if (std::strlen(cJSON_GetStringValue(session)) > connect_request_max_session_id_size)
        return "connect-to-zconnect: session_id is longer than 1024 bytes";
    if (const char *error = read_token(root, "jwt_api", api_messages, parse.api_token)) return error;
    if (const char *error = read_token(root, "jwt_zconnect", zconnect_messages, parse.zconnect_token)) return error;
    const cJSON *become_active = cJSON_GetObjectItem(root, "become_active");
    if (!become_active) return "connect-to-zconnect: Request does not contain \"become_active\"";
    if (!cJSON_IsBool(become_active)) return "connect-to-zconnect: become_active is not a boolean value";
    parse.session_id = cJSON_GetStringValue(session);
    parse.become_active = cJSON_IsTrue(become_active);
    return nullptr;
}

// cJSON recurses once per nesting level, up to a thousand levels, which
// overflows the small stack of civetweb's worker thread. A request is two
// levels deep; anything deeper than this is refused before parsing.
constexpr int max_nesting = 16;

bool nesting_within_limit(const char *body, size_t size) {
    int depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < size; ++i) {
        const char c = body[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            if (++depth > max_nesting) return false;
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return true;
}

}  // namespace

ConnectRequestParse connect_request_parse(const char *body, size_t size) {
    ConnectRequestParse parse;
    if (nesting_within_limit(body, size)) parse.document.reset(cJSON_ParseWithLength(body, size));
    if (!parse.document) {
        parse.status = ConnectRequestStatus::invalid_json;
        parse.error = "connect-to-zconnect: Invalid JSON";
        return parse;
    }
    if (const char *error = validate(parse.document.get(), parse)) {
        parse.status = ConnectRequestStatus::invalid_request;
        parse.error = error;
        parse.session_id = nullptr;
        parse.api_token = {};
        parse.zconnect_token = {};
        parse.document.reset();
        return parse;
    }
    parse.status = ConnectRequestStatus::ok;
    return parse;
}
