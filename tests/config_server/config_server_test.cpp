// The configuration server over real HTTP on 127.0.0.1, with the stand-in
// SDK and a real Player, the loop run by the test thread.
#include "config_server/config_server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <uv.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "app/device_info.h"
#include "http_test_support.h"
#include "player/player.h"
#include "zorva_standin.h"

using namespace std::chrono_literals;

namespace {

const std::string valid_request =
    R"({"session_id":"sess-1","jwt_api":{"endpoint":"https://api.example","jwt":"aaa.bbb.ccc","exp":1700000000},)"
    R"("jwt_zconnect":{"endpoint":"wss://zc.example","jwt":"ddd.eee.fff","exp":1700000100},"become_active":true})";

void no_advertising_start(ZrvConnect *, const char *, const char *, void *) {}
void no_advertising_stop(ZrvConnect *, void *) {}

class ConfigServerTest : public ::testing::Test {
  protected:
    void SetUp() override { build("Living Room"); }

    void build(const char *name) {
        ASSERT_EQ(uv_loop_init(&loop), 0);
        zrv_standin_reset();
        device = device_info_new(name, ZRV_DEVICE_TYPE_STREAMER, "Jux", "J-1", "SN-42", "app-7", "secret");
        player = player_new(&loop, nullptr, nullptr, nullptr);
        server = config_server_new(&loop, 0, device, player);
        config_server_set_listen_address(server, "127.0.0.1");

        ZrvConnectConfig config{};
        config.version = ZRV_CONNECT_CONFIG_VERSION;
        config.device_name = name;
        config.device_type = ZRV_DEVICE_TYPE_STREAMER;
        config.manufacturer = "Jux";
        config.model = "J-1";
        config.serial_number = "SN-42";
        config.unique_device_id = "unique-1";
        config.app_id = "app-7";
        config.app_secret = "secret";
        // The configuration may fix a lower quality; display-info still
        // reports what the output can do.
        config.max_audio_quality = ZRV_AUDIO_QUALITY_CD;
        config.capabilities = ZRV_CAPABILITY_GAPLESS;
        config.advertising = {nullptr, no_advertising_start, no_advertising_stop};
        config.config_server = config_server_delegate(server);
        config.audio = player_audio_delegate(player);
        config.playback = player_playback_delegate(player);
        config.device = device_info_delegate(device);
        ZrvError error = ZRV_OK;
        sdk = zrv_connect_create(&loop, &config, &error);
        ASSERT_NE(sdk, nullptr) << zrv_error_to_string(error);
        config_server_set_sdk(server, sdk);
        player_set_sdk(player, sdk);
        // The SDK starts the server on its first loop iteration.
        uv_run(&loop, UV_RUN_NOWAIT);
        ASSERT_TRUE(config_server_is_running(server));
        port = config_server_port(server);
        ASSERT_NE(port, 0);
    }

    void TearDown() override { destroy(); }

    void destroy() {
        if (sdk) zrv_connect_free(sdk);
        sdk = nullptr;
        config_server_free(server);
        server = nullptr;
        player_free(player);
        device_info_free(device);
        uv_run(&loop, UV_RUN_DEFAULT);
        EXPECT_EQ(uv_loop_close(&loop), 0);
        zrv_standin_reset();
    }

    HttpResponse get(const std::string &path, const std::string &method = "GET") {
        HttpResponse response;
        run_loop_during(&loop, [&] { response = http_get(port, path, method); });
        return response;
    }
    HttpResponse post(const std::string &body, const std::string &path = "/connect-to-zconnect") {
        HttpResponse response;
        run_loop_during(&loop, [&] { response = http_post(port, path, body); });
        return response;
    }
    HttpResponse raw(const std::string &bytes, const RawRequestOptions &options = {}) {
        HttpResponse response;
        run_loop_during(&loop, [&] { response = http_raw(port, bytes, options); });
        return response;
    }

    uv_loop_t loop{};
    DeviceInfo *device = nullptr;
    Player *player = nullptr;
    ConfigServer *server = nullptr;
    ZrvConnect *sdk = nullptr;
    uint16_t port = 0;
};

TEST_F(ConfigServerTest, DisplayInfoIsCompactJsonInItsKeyOrder) {
    StdoutCapture log;
    const HttpResponse response = get("/get-display-info");
    ASSERT_EQ(response.status, 200) << response.head;
    EXPECT_EQ(header_value(response, "Content-Type"), "application/json");
    const std::string quality = zrv_audio_quality_to_string(player_max_audio_quality(player));
    // The SDK was configured with CD; the answer is what the output can do.
    EXPECT_NE(quality, "CD");
    EXPECT_EQ(response.body, R"({"friendly_name":"Living Room","serial_number":"SN-42","brand_display_name":"Jux",)"
                             R"("model_display_name":"J-1","max_audio_quality":")" +
                                 quality + R"(","type":"STREAMER"})");
    EXPECT_EQ(header_value(response, "Content-Length"), std::to_string(response.body.size()));
    EXPECT_EQ(log.count_line("INFO", "API endpoint invoked: get-display-info"), 1u);
    EXPECT_EQ(log.count_line("INFO", "Device name requested: Living Room"), 1u);
}

TEST_F(ConfigServerTest, ConnectInfoCarriesTheCurrentSession) {
    HttpResponse response = get("/get-connect-info");
    ASSERT_EQ(response.status, 200);
    EXPECT_EQ(header_value(response, "Content-Type"), "application/json");
    EXPECT_EQ(response.body, R"({"app_id":"app-7","current_session_id":""})");

    ASSERT_EQ(post(valid_request).status, 200);
    response = get("/get-connect-info");
    EXPECT_EQ(response.body, R"({"app_id":"app-7","current_session_id":"sess-1"})");
}

TEST_F(ConfigServerTest, ConnectHandsTheSessionToTheSdk) {
    StdoutCapture log;
    const HttpResponse response = post(valid_request);
    ASSERT_EQ(response.status, 200) << response.head;
    EXPECT_EQ(header_value(response, "Content-Type"), "application/json");
    EXPECT_EQ(header_value(response, "Content-Length"), "0");
    EXPECT_EQ(response.body, "");
    ASSERT_EQ(zrv_standin_count_calls("zrv_connect_connect"), 1u);
    ZrvStandinCall call{};
    ASSERT_TRUE(zrv_standin_call_at(zrv_standin_find_call("zrv_connect_connect", 0), &call));
    EXPECT_STREQ(
        call.arguments,
        "sess-1, https://api.example, aaa.bbb.ccc, 1700000000, wss://zc.example, ddd.eee.fff, 1700000100, true");
    // The tokens' lines keep their place, their values masked.
    size_t previous = 0;
    for (const char *line :
         {"Session ID: sess-1", "JWT API:", "    Endpoint: https://api.example", "    JWT: ***cc (11 characters)",
          "    Exp: 1700000000", "JWT ZConnect:", "    Endpoint: wss://zc.example", "    JWT: ***ff (11 characters)",
          "    Exp: 1700000100", "Become Active: true"}) {
        const size_t at = log.find_line("DEBUG", line);
        ASSERT_NE(at, std::string::npos) << line;
        EXPECT_GE(at, previous) << line;
        previous = at;
    }
    const std::string text = log.text();
    EXPECT_EQ(text.find("aaa.bbb"), std::string::npos) << text;
    EXPECT_EQ(text.find("ddd.eee"), std::string::npos) << text;
}

// Request fields with line breaks (JSON escapes) stay inside their line.
TEST_F(ConfigServerTest, FieldsOfTheRequestCannotWriteLinesOfTheirOwn) {
    StdoutCapture log;
    const HttpResponse response = post(
        R"({"session_id":"s\n20261208 00:00:00.000 [1.1] ERROR JuxApp: forged","jwt_api":{"endpoint":"e\r\nx",)"
        R"("jwt":"t\u001b[2J","exp":1},"jwt_zconnect":{"endpoint":"e2","jwt":"t2","exp":2},"become_active":true})");
    ASSERT_EQ(response.status, 200) << response.head;
    const std::string text = log.text();
    EXPECT_TRUE(log.has_line("DEBUG", R"(Session ID: s\n20261208 00:00:00.000 [1.1] ERROR JuxApp: forged)")) << text;
    EXPECT_TRUE(log.has_line("DEBUG", R"(    Endpoint: e\r\nx)")) << text;
    EXPECT_TRUE(log.has_line("DEBUG", "    JWT: ***J (5 characters)")) << text;
    EXPECT_EQ(text.find("\n20261208 00:00:00.000"), std::string::npos) << text;
}

TEST_F(ConfigServerTest, KeysInAnyLetterCaseAndExpAsStringAreAccepted) {
    const HttpResponse response =
        post(R"({"Session_ID":"s2","JWT_API":{"EndPoint":"e1","JWT":"t1","EXP":"1700000000"},)"
             R"("Jwt_ZConnect":{"ENDPOINT":"e2","Jwt":"t2","exp":-3},"BECOME_ACTIVE":false})");
    ASSERT_EQ(response.status, 200) << response.head;
    ZrvStandinCall call{};
    ASSERT_TRUE(zrv_standin_call_at(zrv_standin_find_call("zrv_connect_connect", 0), &call));
    EXPECT_STREQ(call.arguments, "s2, e1, t1, 0, e2, t2, 0, false");
}

TEST_F(ConfigServerTest, WrongMethodsAnswer405AndLogTheMethod) {
    StdoutCapture log;
    EXPECT_EQ(get("/connect-to-zconnect").status, 405);
    EXPECT_TRUE(log.has_line("ERROR", "connect-to-zconnect: Method not allowed: 'GET'"));
    EXPECT_EQ(get("/get-display-info", "POST").status, 405);
    EXPECT_TRUE(log.has_line("ERROR", "get-display-info: Method not allowed: 'POST'"));
    EXPECT_EQ(get("/get-connect-info", "DELETE").status, 405);
    EXPECT_TRUE(log.has_line("ERROR", "get-connect-info: Method not allowed: 'DELETE'"));
    EXPECT_EQ(get("/get-display-info", "PUT").status, 405);
    EXPECT_TRUE(log.has_line("ERROR", "get-display-info: Method not allowed: 'PUT'"));
    EXPECT_EQ(zrv_standin_count_calls("zrv_connect_connect"), 0u);
}

// A web page may send requests to the device (also after its name was
// rebound to the device's address); its browser adds Origin to each. None is
// served, and no answer invites one.
TEST_F(ConfigServerTest, CrossSiteRequestsAreRefusedBeforeAnythingIsUsed) {
    StdoutCapture log;
    const HttpResponse preflight =
        raw("OPTIONS /connect-to-zconnect HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://evil.example\r\n"
            "Access-Control-Request-Method: POST\r\nAccess-Control-Request-Headers: content-type\r\n\r\n");
    EXPECT_EQ(preflight.status, 403) << preflight.head;
    EXPECT_EQ(preflight.head.find("Access-Control"), std::string::npos) << preflight.head;
    EXPECT_TRUE(
        log.has_line("ERROR", "connect-to-zconnect: Cross-site request refused (Origin 'http://evil.example')"));

    // A simple request, which a browser sends without asking first.
    const HttpResponse simple =
        raw("POST /connect-to-zconnect HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            "Origin: http://127.0.0.1:" +
            std::to_string(port) + "\r\nContent-Type: text/plain\r\nContent-Length: " +
            std::to_string(valid_request.size()) + "\r\n\r\n" + valid_request);
    EXPECT_EQ(simple.status, 403) << simple.head;
    EXPECT_EQ(simple.head.find("Access-Control"), std::string::npos) << simple.head;
    EXPECT_EQ(zrv_standin_count_calls("zrv_connect_connect"), 0u);
    EXPECT_FALSE(log.has_line("DEBUG", "Session ID: sess-1"));

    const HttpResponse read = raw("GET /get-connect-info HTTP/1.1\r\nHost: x\r\nOrigin: null\r\n\r\n");
    EXPECT_EQ(read.status, 403);
    EXPECT_TRUE(log.has_line("ERROR", "get-connect-info: Cross-site request refused (Origin 'null')"));

    // Without Origin, OPTIONS is a wrong method like any other.
    const HttpResponse options = get("/get-display-info", "OPTIONS");
    EXPECT_EQ(options.status, 405);
    EXPECT_EQ(options.head.find("Access-Control"), std::string::npos) << options.head;
    EXPECT_TRUE(log.has_line("ERROR", "get-display-info: Method not allowed: 'OPTIONS'"));
    const HttpResponse plain = get("/get-display-info");
    EXPECT_EQ(plain.status, 200);
    EXPECT_EQ(plain.head.find("Access-Control"), std::string::npos) << plain.head;
}

// A GET that announces a body is refused without reading it: the answer
// comes at once though the body never does.
TEST_F(ConfigServerTest, GetAnnouncingABodyIsRefusedUnread) {
    StdoutCapture log;
    RawRequestOptions options;
    options.receive_timeout = 2000ms;
    const auto started = std::chrono::steady_clock::now();
    const HttpResponse response =
        raw("GET /get-display-info HTTP/1.1\r\nHost: x\r\nContent-Length: 9223372036854775807\r\n\r\nab", options);
    EXPECT_EQ(response.status, 400);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms) << "the connection was not closed";
    EXPECT_TRUE(log.has_line("ERROR", "get-display-info: Request body not allowed on GET"));
    const HttpResponse chunked =
        raw("GET /get-connect-info HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n", options);
    EXPECT_EQ(chunked.status, 400);
    EXPECT_TRUE(log.has_line("ERROR", "get-connect-info: Request body not allowed on GET"));
    EXPECT_FALSE(log.has_line("INFO", "Device name requested: Living Room"));
}

// The current session id must always fit the answer of get-connect-info.
TEST_F(ConfigServerTest, SessionIdLongerThan1024BytesIsRefused) {
    StdoutCapture log;
    auto with_session = [](const std::string &id) {
        std::string request = valid_request;
        request.replace(request.find("sess-1"), 6, id);
        return request;
    };
    EXPECT_EQ(post(with_session(std::string(1025, 's'))).status, 400);
    EXPECT_TRUE(log.has_line("ERROR", "connect-to-zconnect: session_id is longer than 1024 bytes"));
    EXPECT_EQ(zrv_standin_count_calls("zrv_connect_connect"), 0u);
    EXPECT_EQ(post(with_session(std::string(1024, 's'))).status, 200);
    const HttpResponse info = get("/get-connect-info");
    EXPECT_EQ(info.status, 200);
    EXPECT_NE(info.body.find(std::string(1024, 's')), std::string::npos);
    // Every byte a control character: printed six times as long.
    std::string escaped;
    for (int i = 0; i < 1024; ++i) escaped += "\\u0001";
    EXPECT_EQ(post(with_session(escaped)).status, 200);
    const HttpResponse control = get("/get-connect-info");
    EXPECT_EQ(control.status, 200);
    EXPECT_NE(control.body.find(escaped), std::string::npos);
}

TEST_F(ConfigServerTest, ChunkedBodyWithoutContentLengthAnswers411) {
    StdoutCapture log;
    const HttpResponse response =
        raw("POST /connect-to-zconnect HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
            "2\r\n{}\r\n0\r\n\r\n");
    EXPECT_EQ(response.status, 411) << response.head;
    EXPECT_TRUE(log.has_line("ERROR", "connect-to-zconnect: Missing content length"));
}

TEST_F(ConfigServerTest, BadBodiesAnswer400WithTheirLine) {
    StdoutCapture log;
    EXPECT_EQ(post("{}").status, 400);
    EXPECT_TRUE(log.has_line("ERROR", "connect-to-zconnect: Request does not contain \"session_id\""));
    EXPECT_EQ(post("{not json").status, 400);
    EXPECT_TRUE(log.has_line("ERROR", "connect-to-zconnect: Invalid JSON"));
    EXPECT_EQ(post("").status, 400);
    std::string one = valid_request;
    one.replace(one.find("true}"), 4, "1");
    EXPECT_EQ(post(one).status, 400);
    EXPECT_TRUE(log.has_line("ERROR", "connect-to-zconnect: become_active is not a boolean value"));
    EXPECT_EQ(zrv_standin_count_calls("zrv_connect_connect"), 0u);
}

TEST_F(ConfigServerTest, OversizedBodyIsRefusedUnread) {
    StdoutCapture log;
    // Announces 1 GiB and sends none of it: the answer comes at once.
    const auto started = std::chrono::steady_clock::now();
    const HttpResponse response =
        raw("POST /connect-to-zconnect HTTP/1.1\r\nHost: x\r\nContent-Length: 1073741824\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(response.status, 413) << response.head;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    EXPECT_TRUE(log.has_line("ERROR", "connect-to-zconnect: Request body too large: 1073741824 bytes (at most 65536)"));
    // The largest allowed body is read and judged on its content.
    std::string padded = valid_request;
    padded.insert(padded.size() - 1, std::string(","));
    padded.insert(padded.size() - 1, "\"pad\":\"" + std::string(65536 - padded.size() - 8, 'x') + "\"");
    ASSERT_EQ(padded.size(), 65536u);
    EXPECT_EQ(post(padded).status, 200);
}

// A client that ends its stream before the announced length is a read
// error: no answer, and the server goes on serving.
TEST_F(ConfigServerTest, BodyCutShortByTheClientGetsNoAnswer) {
    StdoutCapture log;
    RawRequestOptions options;
    options.shut_write = true;
    const HttpResponse response =
        raw("POST /connect-to-zconnect HTTP/1.1\r\nHost: x\r\nContent-Length: 500\r\n\r\n" + valid_request, options);
    EXPECT_EQ(response.status, 0) << response.head;
    EXPECT_TRUE(log.has_line("ERROR", "connect-to-zconnect: Failed to read data"));
    EXPECT_EQ(zrv_standin_count_calls("zrv_connect_connect"), 0u);
    EXPECT_EQ(post(valid_request).status, 200);
}

TEST_F(ConfigServerTest, RefusedConnectAnswers500AfterTheDebugLines) {
    zrv_standin_inject_error("zrv_connect_connect", ZRV_ERROR_AUTHENTICATION, 1);
    StdoutCapture log;
    const HttpResponse response = post(valid_request);
    EXPECT_EQ(response.status, 500);
    EXPECT_EQ(zrv_standin_count_calls("zrv_connect_connect"), 1u);
    const size_t last_debug = log.find_line("DEBUG", "Become Active: true");
    const size_t error = log.find_line("ERROR", "connect-to-zconnect: Unable to connect: Authentication failed");
    ASSERT_NE(last_debug, std::string::npos);
    ASSERT_NE(error, std::string::npos);
    EXPECT_LT(last_debug, error);
    // The next one goes through.
    EXPECT_EQ(post(valid_request).status, 200);
}

TEST_F(ConfigServerTest, SessionIdFailureAnswers500) {
    zrv_standin_inject_error("zrv_connect_get_session_id", ZRV_ERROR_INTERNAL, 1);
    StdoutCapture log;
    EXPECT_EQ(get("/get-connect-info").status, 500);
    EXPECT_TRUE(log.has_line("ERROR", "get-connect-info: Unable to retrieve current session ID"));
    EXPECT_EQ(get("/get-connect-info").status, 200);
}

TEST_F(ConfigServerTest, StartAndStopTwiceOnlyLog) {
    StdoutCapture log;
    config_server_start(sdk, server);
    EXPECT_TRUE(log.has_line("TRACE", "Local configuration server is already running"));
    EXPECT_EQ(config_server_port(server), port);
    EXPECT_EQ(get("/get-display-info").status, 200);

    config_server_stop(sdk, server);
    EXPECT_TRUE(log.has_line("INFO", "Stopping Local configuration server"));
    EXPECT_FALSE(config_server_is_running(server));
    config_server_stop(sdk, server);
    EXPECT_TRUE(log.has_line("TRACE", "Local configuration server is already stopped"));
    EXPECT_EQ(get("/get-display-info").status, 0);  // nobody listens

    config_server_start(sdk, server);
    EXPECT_EQ(log.count_line("INFO", "Starting Local configuration server"), 1u);
    port = config_server_port(server);
    EXPECT_EQ(get("/get-display-info").status, 200);
    EXPECT_STREQ(config_server_path_prefix(server), "/");
}

// The loop thread is the one that stops the server; a request waiting for
// that thread must be released, not waited for.
TEST_F(ConfigServerTest, StopReleasesARequestWaitingForTheLoop) {
    StdoutCapture log;
    auto answer = std::async(std::launch::async, [&] { return http_get(port, "/get-display-info"); });
    // The loop is not run, so the request waits in the hand-off.
    ASSERT_TRUE(log.wait_for_line("INFO", "API endpoint invoked: get-display-info"));
    std::this_thread::sleep_for(50ms);
    const auto started = std::chrono::steady_clock::now();
    config_server_stop(sdk, server);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(answer.get().status, 500);
    // The wake-up the request sent finds nothing left to do.
    uv_run(&loop, UV_RUN_NOWAIT);
    EXPECT_FALSE(log.has_line("INFO", "Device name requested: Living Room"));
}

TEST_F(ConfigServerTest, FreeAtShutdownReleasesAWaitingConnect) {
    StdoutCapture log;
    auto answer =
        std::async(std::launch::async, [&] { return http_post(port, "/connect-to-zconnect", valid_request); });
    ASSERT_TRUE(log.wait_for_line("DEBUG", "Become Active: true"));
    std::this_thread::sleep_for(50ms);
    zrv_connect_free(sdk);  // stops the server through the delegate, as shutdown does
    sdk = nullptr;
    config_server_free(server);
    server = nullptr;
    ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(answer.get().status, 500);
    EXPECT_EQ(zrv_standin_count_calls("zrv_connect_connect"), 0u);
}

// Stops the server when the SDK logs that it joined a session: from inside
// zrv_connect_connect, so from inside the loop side of a request.
struct StopOnJoin {
    ZrvConnect *sdk;
    ConfigServer *server;
};

int stop_on_join(uint32_t /*level*/, const char * /*component*/, const char *message, void *user) {
    auto &target = *static_cast<StopOnJoin *>(user);
    if (std::strstr(message, "Joined session")) config_server_stop(target.sdk, target.server);
    return 0;
}

// The SDK may stop the server from inside a call made for a request: the
// request is released with 500 while the call still runs, and nothing of it
// is touched after; the server then starts again as before.
TEST_F(ConfigServerTest, StopFromInsideTheLoopSideReleasesTheRequest) {
    StdoutCapture log;
    StopOnJoin target{sdk, server};
    const LogDelegate stopper{&target, stop_on_join};
    ASSERT_EQ(zrv_connect_set_log_delegate(&stopper), ZRV_OK);
    const HttpResponse response = post(valid_request);
    const LogDelegate none{};
    zrv_connect_set_log_delegate(&none);
    EXPECT_EQ(response.status, 500);
    EXPECT_EQ(zrv_standin_count_calls("zrv_connect_connect"), 1u);
    EXPECT_TRUE(log.has_line("INFO", "Stopping Local configuration server"));
    EXPECT_FALSE(config_server_is_running(server));

    config_server_start(sdk, server);
    port = config_server_port(server);
    EXPECT_EQ(get("/get-connect-info").body, R"({"app_id":"app-7","current_session_id":"sess-1"})");
}

// A client stalled in the middle of its body holds the worker in a read;
// stopping must not wait for the read timeout. civetweb looks at its stop
// flag between two-second polls, so it takes up to that long.
TEST_F(ConfigServerTest, StopDoesNotWaitForAStalledClient) {
    StdoutCapture log;
    auto answer = std::async(std::launch::async, [&] {
        return http_raw(port, "POST /connect-to-zconnect HTTP/1.1\r\nHost: x\r\nContent-Length: 300\r\n\r\n{\"se");
    });
    ASSERT_TRUE(log.wait_for_line("INFO", "API endpoint invoked: connect-to-zconnect"));
    const auto started = std::chrono::steady_clock::now();
    config_server_stop(sdk, server);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
    EXPECT_NE(answer.get().status, 200);
}

class LongNameTest : public ConfigServerTest {
  protected:
    void SetUp() override {
        name_ = std::string(3000, 'n');
        build(name_.c_str());
    }
    std::string name_;
};

TEST_F(LongNameTest, ResponseThatDoesNotFitAnswers500NotAPart) {
    const HttpResponse response = get("/get-display-info");
    EXPECT_EQ(response.status, 500);
    EXPECT_EQ(response.body.find("friendly_name"), std::string::npos);
    EXPECT_EQ(get("/get-connect-info").status, 200);
}

// Debian's civetweb is built without IPv6: the test is false there and the
// server then listens on IPv4 alone.
TEST_F(ConfigServerTest, WithoutIpv6TheServerListensOnIpv4Only) {
    if (config_server_ipv6_available()) GTEST_SKIP() << "civetweb here has IPv6";
    config_server_stop(sdk, server);
    config_server_set_listen_address(server, nullptr);
    config_server_start(sdk, server);
    ASSERT_TRUE(config_server_is_running(server));
    port = config_server_port(server);
    EXPECT_EQ(get("/get-display-info").status, 200);
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    EXPECT_NE(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(fd);
}

}  // namespace
