// Parsing and validation of the connect request body.
#include "config_server/connect_request.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

ConnectRequestParse parse(const std::string &body) { return connect_request_parse(body.data(), body.size()); }

const std::string valid =
    R"({"session_id":"s-1","jwt_api":{"endpoint":"https://api","jwt":"A.B.C","exp":1700000000},)"
    R"("jwt_zconnect":{"endpoint":"wss://zc","jwt":"D.E.F","exp":1700000100},"become_active":true})";

TEST(ConnectRequest, ValidRequestGivesEveryField) {
    const ConnectRequestParse request = parse(valid);
    ASSERT_EQ(request.status, ConnectRequestStatus::ok);
    EXPECT_EQ(request.error, nullptr);
    EXPECT_STREQ(request.session_id, "s-1");
    EXPECT_STREQ(request.api_token.endpoint, "https://api");
    EXPECT_STREQ(request.api_token.token, "A.B.C");
    EXPECT_EQ(request.api_token.expiry, 1700000000u);
    EXPECT_STREQ(request.zconnect_token.endpoint, "wss://zc");
    EXPECT_STREQ(request.zconnect_token.token, "D.E.F");
    EXPECT_EQ(request.zconnect_token.expiry, 1700000100u);
    EXPECT_TRUE(request.become_active);
    EXPECT_NE(request.document, nullptr);
}

TEST(ConnectRequest, KeysMatchWhateverTheirLetterCase) {
    const ConnectRequestParse request =
        parse(R"({"SESSION_ID":"s","Jwt_Api":{"ENDPOINT":"e","JWT":"j","Exp":5},)"
              R"("jwt_ZCONNECT":{"Endpoint":"e2","jWt":"j2","EXP":6},"Become_Active":false})");
    ASSERT_EQ(request.status, ConnectRequestStatus::ok) << request.error;
    EXPECT_STREQ(request.session_id, "s");
    EXPECT_EQ(request.api_token.expiry, 5u);
    EXPECT_STREQ(request.zconnect_token.token, "j2");
    EXPECT_FALSE(request.become_active);
}

TEST(ConnectRequest, NotJsonIsInvalidJson) {
    for (const std::string body : {"", "{", "not json", "{\"session_id\":}", "\x01\x02"}) {
        const ConnectRequestParse request = parse(body);
        EXPECT_EQ(request.status, ConnectRequestStatus::invalid_json) << body;
        EXPECT_STREQ(request.error, "connect-to-zconnect: Invalid JSON");
        EXPECT_EQ(request.document, nullptr);
    }
}

// Each step breaks the next check in order, so every message is reached by
// a body that passes all the checks before it.
TEST(ConnectRequest, ChecksRunInOrderAndTheFirstFailureIsReported) {
    const std::string token = R"({"endpoint":"e","jwt":"j","exp":1})";
    struct Case {
        std::string body;
        const char *message;
    };
    const std::vector<Case> cases = {
        {"{}", "connect-to-zconnect: Request does not contain \"session_id\""},
        {"[]", "connect-to-zconnect: Request does not contain \"session_id\""},
        {R"({"session_id":1})", "connect-to-zconnect: session_id is not a string"},
        {R"({"session_id":"s"})", "connect-to-zconnect: Request does not contain \"jwt_api\""},
        {R"({"session_id":"s","jwt_api":"x"})", "connect-to-zconnect: jwt_api is not an object"},
        {R"({"session_id":"s","jwt_api":[1]})", "connect-to-zconnect: jwt_api is not an object"},
        {R"({"session_id":"s","jwt_api":{}})", "connect-to-zconnect: jwt_api does not have \"endpoint\" field"},
        {R"({"session_id":"s","jwt_api":{"endpoint":null}})",
         "connect-to-zconnect: jwt_api's \"endpoint\" field is not a string"},
        {R"({"session_id":"s","jwt_api":{"endpoint":"e"}})",
         "connect-to-zconnect: jwt_api does not have \"jwt\" field"},
        {R"({"session_id":"s","jwt_api":{"endpoint":"e","jwt":{}}})",
         "connect-to-zconnect: jwt_api's \"jwt\" field is not a string"},
        {R"({"session_id":"s","jwt_api":{"endpoint":"e","jwt":"j"}})",
         "connect-to-zconnect: jwt_api does not have \"exp\" field"},
        {R"({"session_id":"s","jwt_api":)" + token + "}",
         "connect-to-zconnect: Request does not contain \"jwt_zconnect\""},
        {R"({"session_id":"s","jwt_api":)" + token + R"(,"jwt_zconnect":true})",
         "connect-to-zconnect: jwt_zconnect is not an object"},
        {R"({"session_id":"s","jwt_api":)" + token + R"(,"jwt_zconnect":{"jwt":"j","exp":1}})",
         "connect-to-zconnect: jwt_zconnect does not have \"endpoint\" field"},
        {R"({"session_id":"s","jwt_api":)" + token + R"(,"jwt_zconnect":{"endpoint":2}})",
         "connect-to-zconnect: jwt_zconnect's \"endpoint\" field is not a string"},
        {R"({"session_id":"s","jwt_api":)" + token + R"(,"jwt_zconnect":{"endpoint":"e","exp":1}})",
         "connect-to-zconnect: jwt_zconnect does not have \"jwt\" field"},
        {R"({"session_id":"s","jwt_api":)" + token + R"(,"jwt_zconnect":{"endpoint":"e","jwt":false}})",
         "connect-to-zconnect: jwt_zconnect's \"jwt\" field is not a string"},
        {R"({"session_id":"s","jwt_api":)" + token + R"(,"jwt_zconnect":{"endpoint":"e","jwt":"j"}})",
         "connect-to-zconnect: jwt_zconnect does not have \"exp\" field"},
        {R"({"session_id":"s","jwt_api":)" + token + R"(,"jwt_zconnect":)" + token + "}",
         "connect-to-zconnect: Request does not contain \"become_active\""},
        {R"({"session_id":"s","jwt_api":)" + token + R"(,"jwt_zconnect":)" + token + R"(,"become_active":1})",
         "connect-to-zconnect: become_active is not a boolean value"},
        {R"({"session_id":"s","jwt_api":)" + token + R"(,"jwt_zconnect":)" + token + R"(,"become_active":"true"})",
         "connect-to-zconnect: become_active is not a boolean value"},
    };
    for (const Case &c : cases) {
        const ConnectRequestParse request = parse(c.body);
        EXPECT_EQ(request.status, ConnectRequestStatus::invalid_request) << c.body;
        EXPECT_STREQ(request.error, c.message) << c.body;
        EXPECT_EQ(request.session_id, nullptr);
        EXPECT_EQ(request.document, nullptr);
    }
}

TEST(ConnectRequest, ExpIsNotTypeChecked) {
    const std::string body = R"({"session_id":"s","jwt_api":{"endpoint":"e","jwt":"j","exp":"1700000000"},)"
                             R"("jwt_zconnect":{"endpoint":"e","jwt":"j","exp":null},"become_active":true})";
    const ConnectRequestParse request = parse(body);
    ASSERT_EQ(request.status, ConnectRequestStatus::ok) << request.error;
    EXPECT_EQ(request.api_token.expiry, 0u);
    EXPECT_EQ(request.zconnect_token.expiry, 0u);
}

TEST(ConnectRequest, ExpConversionTruncatesAndSaturates) {
    EXPECT_EQ(connect_request_expiry(std::nan("")), 0u);
    EXPECT_EQ(connect_request_expiry(-1.0), 0u);
    EXPECT_EQ(connect_request_expiry(-std::numeric_limits<double>::infinity()), 0u);
    EXPECT_EQ(connect_request_expiry(-0.5), 0u);
    EXPECT_EQ(connect_request_expiry(0.99), 0u);
    EXPECT_EQ(connect_request_expiry(1.99), 1u);
    EXPECT_EQ(connect_request_expiry(1700000000.7), 1700000000u);
    // The largest double below 2^64 converts exactly.
    EXPECT_EQ(connect_request_expiry(18446744073709549568.0), 18446744073709549568u);
    EXPECT_EQ(connect_request_expiry(18446744073709551616.0), UINT64_MAX);
    EXPECT_EQ(connect_request_expiry(1e300), UINT64_MAX);
    EXPECT_EQ(connect_request_expiry(std::numeric_limits<double>::infinity()), UINT64_MAX);

    const ConnectRequestParse request =
        parse(R"({"session_id":"s","jwt_api":{"endpoint":"e","jwt":"j","exp":-5},)"
              R"("jwt_zconnect":{"endpoint":"e","jwt":"j","exp":1e30},"become_active":true})");
    ASSERT_EQ(request.status, ConnectRequestStatus::ok);
    EXPECT_EQ(request.api_token.expiry, 0u);
    EXPECT_EQ(request.zconnect_token.expiry, UINT64_MAX);
}

TEST(ConnectRequest, BodyIsReadOnlyUpToItsSize) {
    // The caller's buffer is not terminated after the given size.
    std::string padded = valid + "garbage";
    const ConnectRequestParse request = connect_request_parse(padded.data(), valid.size());
    EXPECT_EQ(request.status, ConnectRequestStatus::ok);
    const ConnectRequestParse cut = connect_request_parse(valid.data(), valid.size() - 1);
    EXPECT_EQ(cut.status, ConnectRequestStatus::invalid_json);
}

// The parser recurses per level; civetweb's worker has a small stack.
TEST(ConnectRequest, DeepNestingIsRefusedBeforeParsing) {
    for (const std::string &deep :
         {std::string(800, '[') + std::string(800, ']'), "{\"a\":" + std::string(17, '[') + std::string(17, ']') + "}",
          // NUL counts as white space to the parser, so it must not hide the rest.
          std::string("{\0\"a\":", 7) + std::string(900, '[')}) {
        const ConnectRequestParse request = parse(deep);
        EXPECT_EQ(request.status, ConnectRequestStatus::invalid_json) << deep.substr(0, 20);
    }
    // Brackets inside strings do not count.
    std::string quoted = valid;
    quoted.replace(quoted.find("s-1"), 3, std::string(500, '[') + "\\\"" + std::string(500, '{'));
    EXPECT_EQ(parse(quoted).status, ConnectRequestStatus::ok);
    // Sixteen levels are still parsed.
    EXPECT_EQ(parse(std::string(16, '[') + std::string(16, ']')).status, ConnectRequestStatus::invalid_request);
}

}  // namespace
