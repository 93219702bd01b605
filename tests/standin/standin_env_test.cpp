// Recording and error injection through the environment, as a daemon run as
// its own process uses them: ZRV_STANDIN_RECORD and ZRV_STANDIN_INJECT are set
// by ctest for this executable, and, as in the daemon, nothing asks for the
// in-memory record at first. Loop thread only.
#include <gtest/gtest.h>
#include <uv.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "standin_test_support.h"

namespace {

TEST(StandinEnvironment, RecordsToTheFileAndInjectsTheListedErrors) {
    std::remove(STANDIN_RECORD_FILE);
    uv_loop_t loop;
    ASSERT_EQ(uv_loop_init(&loop), 0);
    TestIdentity identity;
    DelegateEvents events;
    collect_log(&events);
    ZrvConnectConfig config = make_config(identity, &events);

    ZrvError error = ZRV_OK;
    EXPECT_EQ(zrv_connect_create(&loop, &config, &error), nullptr) << "zrv_connect_create=9x1 fails once";
    EXPECT_EQ(error, ZRV_ERROR_NOT_SUPPORTED);
    ZrvConnect *sdk = zrv_connect_create(&loop, &config, &error);
    ASSERT_NE(sdk, nullptr);
    EXPECT_EQ(zrv_connect_set_volume(sdk, 5), 7) << "zrv_connect_set_volume=7 fails always";
    EXPECT_EQ(zrv_connect_set_volume(sdk, 6), 7);
    EXPECT_EQ(zrv_connect_set_mute_state(sdk, false), ZRV_OK);

    // ZRV_STANDIN_CONNECT joins a session with that endpoint on the first
    // loop iteration, and its queue plays.
    uv_run(&loop, UV_RUN_NOWAIT);
    const char *session = nullptr;
    ZrvStandinStatus status{};
    ASSERT_EQ(zrv_standin_get_status(sdk, &status), ZRV_OK);
    EXPECT_TRUE(status.connected);
    EXPECT_TRUE(status.renderer_active);
    EXPECT_EQ(status.queue_length, 1u);
    EXPECT_EQ(status.current_stream, 1u);
    EXPECT_TRUE(events.has("active"));
    // Nothing has asked for the record yet, as in a daemon: the calls went to
    // the file alone. Asking keeps the calls from then on.
    EXPECT_EQ(zrv_standin_call_count(), 0u);
    EXPECT_EQ(zrv_connect_get_session_id(sdk, &session), ZRV_OK);
    EXPECT_STREQ(session, "standin-session");
    EXPECT_EQ(zrv_standin_find_call("zrv_connect_get_session_id", 0), 0u);
    EXPECT_EQ(zrv_standin_call_count(), 1u);
    zrv_connect_free(sdk);
    drop_log();
    uv_run(&loop, UV_RUN_DEFAULT);
    EXPECT_EQ(uv_loop_close(&loop), 0);

    std::ifstream file(STANDIN_RECORD_FILE);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0], "zrv_connect_set_log_delegate(set)");
    EXPECT_EQ(lines[1].rfind("zrv_connect_create(1, Test Renderer, ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[3], "zrv_connect_set_volume(5)");
    EXPECT_EQ(lines[4], "zrv_connect_set_volume(6)");
    EXPECT_EQ(lines[5], "zrv_connect_set_mute_state(false)");
    EXPECT_EQ(lines[6], "zrv_connect_get_session_id()");
    EXPECT_EQ(lines[7], "zrv_connect_free()");
    EXPECT_EQ(lines[8], "zrv_connect_set_log_delegate((null))");

    bool warned = false;
    for (const auto &line : events.log_lines) warned |= line.find("'bogus'") != std::string::npos;
    EXPECT_TRUE(warned) << "a malformed entry is reported through the log";
}

}  // namespace
