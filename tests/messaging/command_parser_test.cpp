// The command parser over its accepted forms and its edge cases, log lines
// included.
#include "messaging/command_parser.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

struct ParseCase {
    std::string message;
    bool accepted;
    RemoteCommandKind kind;
    uint64_t position_ms;
    const char *level;        // of the one line the parser logs
    std::string log_message;  // the whole message of that line
};

void PrintTo(const ParseCase &parse_case, std::ostream *out) { *out << "message '" << parse_case.message << "'"; }

class ParseCommand : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseCommand, GivesTheCommandAndItsOneLogLine) {
    const ParseCase &expected = GetParam();
    RemoteCommand command{REMOTE_COMMAND_DISCONNECT, 99};
    LogCapture log;
    bool accepted = nats_parse_command(expected.message.data(), expected.message.size(), &command);
    EXPECT_EQ(accepted, expected.accepted);
    EXPECT_EQ(command.kind, expected.kind);
    EXPECT_EQ(command.position_ms, expected.position_ms);
    EXPECT_TRUE(log.has_line(expected.level, expected.log_message)) << log.text();
    EXPECT_EQ(log.line_count(), 1u) << log.text();
}

const char *const plain = "DEBUG";
std::string typed(RemoteCommandKind kind) { return "Parsed Nats command type: " + std::to_string(kind); }
std::string word(const char *text) { return std::string("Parsed Nats plain-text command: ") + text; }

INSTANTIATE_TEST_SUITE_P(
    Words, ParseCommand,
    ::testing::Values(ParseCase{"play", true, REMOTE_COMMAND_PLAY, 0, plain, word("play")},
                      ParseCase{"PLAY", true, REMOTE_COMMAND_PLAY, 0, plain, word("PLAY")},
                      ParseCase{"Play", true, REMOTE_COMMAND_PLAY, 0, plain, word("Play")},
                      ParseCase{"pause", true, REMOTE_COMMAND_PAUSE, 0, plain, word("pause")},
                      ParseCase{"sToP", true, REMOTE_COMMAND_STOP, 0, plain, word("sToP")},
                      ParseCase{"next", true, REMOTE_COMMAND_NEXT, 0, plain, word("next")},
                      ParseCase{"prev", true, REMOTE_COMMAND_PREVIOUS, 0, plain, word("prev")},
                      ParseCase{"previous", true, REMOTE_COMMAND_PREVIOUS, 0, plain, word("previous")},
                      ParseCase{"seek", true, REMOTE_COMMAND_SEEK, 0, plain, word("seek")},
                      ParseCase{"DISCONNECT", true, REMOTE_COMMAND_DISCONNECT, 0, plain, word("DISCONNECT")},
                      ParseCase{"\"seek\"", true, REMOTE_COMMAND_SEEK, 0, plain, typed(REMOTE_COMMAND_SEEK)},
                      ParseCase{"\"Next\"", true, REMOTE_COMMAND_NEXT, 0, plain, typed(REMOTE_COMMAND_NEXT)}));

INSTANTIATE_TEST_SUITE_P(
    Objects, ParseCommand,
    ::testing::Values(
        ParseCase{R"({"command":"seek","positionMs":5000})", true, REMOTE_COMMAND_SEEK, 5000, plain, typed(6)},
        ParseCase{R"({"action":"seek","position_ms":"5000","positionMs":7})", true, REMOTE_COMMAND_SEEK, 0, plain,
                  typed(6)},
        ParseCase{R"({"type":"seek","position":-5,"position_ms":null})", true, REMOTE_COMMAND_SEEK, 0, plain, typed(6)},
        ParseCase{R"({"event":"seek","position":12.5})", true, REMOTE_COMMAND_SEEK, 0, plain, typed(6)},
        ParseCase{R"({"command":"seek","position":0})", true, REMOTE_COMMAND_SEEK, 0, plain, typed(6)},
        ParseCase{R"({"command":"seek","position_ms":9223372036854775807})", true, REMOTE_COMMAND_SEEK,
                  9223372036854775807ULL, plain, typed(6)},
        ParseCase{R"({"payload":{"action":"seek"},"position":1200})", true, REMOTE_COMMAND_SEEK, 1200, plain, typed(6)},
        ParseCase{R"({"payload":{"action":"seek","position":1200}})", true, REMOTE_COMMAND_SEEK, 0, plain, typed(6)},
        ParseCase{R"({"command":5,"action":"next"})", true, REMOTE_COMMAND_NEXT, 0, plain, typed(4)},
        ParseCase{R"({"event":"pause","type":"play"})", true, REMOTE_COMMAND_PLAY, 0, plain, typed(1)},
        ParseCase{R"({"payload":"play","data":{"type":"stop"}})", true, REMOTE_COMMAND_STOP, 0, plain, typed(3)},
        ParseCase{R"({"message":{"event":"disconnect"}})", true, REMOTE_COMMAND_DISCONNECT, 0, plain, typed(7)},
        ParseCase{R"({"payload":{"position":1},"data":{"type":"stop"}})", false, REMOTE_COMMAND_NONE, 0, plain,
                  "No command-like field found in message"},
        ParseCase{R"({"event_type":"seek","stream_id":7})", false, REMOTE_COMMAND_NONE, 0, plain,
                  "No command-like field found in message"},
        ParseCase{R"({"payload":{"data":{"command":"play"}}})", false, REMOTE_COMMAND_NONE, 0, plain,
                  "No command-like field found in message"},
        ParseCase{"{}", false, REMOTE_COMMAND_NONE, 0, plain, "No command-like field found in message"},
        ParseCase{R"({"command":"rewind","action":"play"})", false, REMOTE_COMMAND_NONE, 0, "WARNING",
                  "Unknown command: rewind"},
        ParseCase{R"({"command":"play "})", false, REMOTE_COMMAND_NONE, 0, "WARNING", "Unknown command: play "}));

INSTANTIATE_TEST_SUITE_P(
    Rejected, ParseCommand,
    ::testing::Values(
        ParseCase{"play\n", false, REMOTE_COMMAND_NONE, 0, "WARNING",
                  "Failed to parse JSON message: invalid token near 'play' (line: 1)"},
        ParseCase{" play", false, REMOTE_COMMAND_NONE, 0, "WARNING",
                  "Failed to parse JSON message: invalid token near 'play' (line: 1)"},
        ParseCase{"", false, REMOTE_COMMAND_NONE, 0, "WARNING",
                  "Failed to parse JSON message: unexpected token near end of file (line: 1)"},
        ParseCase{"{\"command\":", false, REMOTE_COMMAND_NONE, 0, "WARNING",
                  "Failed to parse JSON message: unexpected token near end of file (line: 1)"},
        ParseCase{"\"rewind\"", false, REMOTE_COMMAND_NONE, 0, "WARNING", "Unknown command: rewind"},
        ParseCase{"[\"play\"]", false, REMOTE_COMMAND_NONE, 0, "WARNING", "JSON message is neither object nor string"},
        ParseCase{"42", false, REMOTE_COMMAND_NONE, 0, "WARNING", "JSON message is neither object nor string"},
        ParseCase{"true", false, REMOTE_COMMAND_NONE, 0, "WARNING", "JSON message is neither object nor string"},
        ParseCase{"null", false, REMOTE_COMMAND_NONE, 0, "WARNING", "JSON message is neither object nor string"},
        // 64 bytes that read as a word are parsed as JSON only.
        ParseCase{std::string(60, ' ') + "play", false, REMOTE_COMMAND_NONE, 0, "WARNING",
                  "Failed to parse JSON message: invalid token near 'play' (line: 1)"},
        ParseCase{std::string(59, ' ') + "play", false, REMOTE_COMMAND_NONE, 0, "WARNING",
                  "Failed to parse JSON message: invalid token near 'play' (line: 1)"},
        ParseCase{std::string(58, ' ') + "\"play\"", true, REMOTE_COMMAND_PLAY, 0, plain, typed(1)}));

TEST(ParseCommand, ReadsNoFurtherThanTheLength) {
    const char message[] = "stopgap";
    RemoteCommand command{};
    EXPECT_TRUE(nats_parse_command(message, 4, &command));
    EXPECT_EQ(command.kind, REMOTE_COMMAND_STOP);
    const char json[] = "{\"command\":\"next\"}trailing";
    EXPECT_TRUE(nats_parse_command(json, 18, &command));
    EXPECT_EQ(command.kind, REMOTE_COMMAND_NEXT);
}

TEST(ParseCommand, NullArgumentsAreRefused) {
    RemoteCommand command{};
    LogCapture log;
    EXPECT_FALSE(nats_parse_command(nullptr, 4, &command));
    EXPECT_FALSE(nats_parse_command("play", 4, nullptr));
    EXPECT_TRUE(log.has_line("ERROR", "Invalid arguments to nats_parse_command"));
}

TEST(ParseCommandWord, MatchesWholeWordsOnlyAndOtherwiseChangesNothing) {
    RemoteCommand command{REMOTE_COMMAND_PAUSE, 5};
    EXPECT_FALSE(parse_command_word("play ", &command));
    EXPECT_FALSE(parse_command_word("pla", &command));
    EXPECT_FALSE(parse_command_word("", &command));
    EXPECT_FALSE(parse_command_word(nullptr, &command));
    EXPECT_EQ(command.kind, REMOTE_COMMAND_PAUSE);
    EXPECT_EQ(command.position_ms, 5u);
    EXPECT_TRUE(parse_command_word("PREV", &command));
    EXPECT_EQ(command.kind, REMOTE_COMMAND_PREVIOUS);
    EXPECT_EQ(command.position_ms, 5u) << "only the kind is set";
}

}  // namespace
