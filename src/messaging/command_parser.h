// Turns an inbound bus message into a remote command. Loop thread only; no
// state between calls.
#pragma once

#include <cstddef>
#include <cstdint>

using RemoteCommandKind = uint32_t;
enum : RemoteCommandKind {
    REMOTE_COMMAND_NONE = 0,
    REMOTE_COMMAND_PLAY = 1,
    REMOTE_COMMAND_PAUSE = 2,
    REMOTE_COMMAND_STOP = 3,
    REMOTE_COMMAND_NEXT = 4,
    REMOTE_COMMAND_PREVIOUS = 5,
    REMOTE_COMMAND_SEEK = 6,
    REMOTE_COMMAND_DISCONNECT = 7,
};

struct RemoteCommand {
    RemoteCommandKind kind;
    // Target of a seek in milliseconds; 0 for every other kind and for a seek
    // without a usable position.
    uint64_t position_ms;
};

// True when the message (length bytes, not necessarily zero-terminated) holds
// a known command, either as a bare word or as JSON; the record is then
// filled. Logs why a message was not taken.
bool nats_parse_command(const char *message, size_t length, RemoteCommand *command);

// True when the whole zero-terminated word is a command word (any letter
// case, no trimming); sets only the kind, and changes nothing otherwise.
bool parse_command_word(const char *word, RemoteCommand *command);
