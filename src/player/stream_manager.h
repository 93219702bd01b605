// StreamManager: the SDK's audio streams, one AudioStream per announced
// track, in announcement order, with two of them marked current and next.
// It is the user side of the SDK's AudioDelegate, applies the back-pressure
// rule (a stream takes data only while it is delivering) and forwards what
// concerns playback to the Player through per-stream hooks.
// Loop thread only, inside SDK callbacks or Player calls; no locks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zorva_connect.h"

struct StreamManager;
struct AudioStream;
struct EventPublisher;

using StreamState = uint32_t;
enum : StreamState {
    STREAM_STATE_ACTIVE = 0,    // the SDK may still deliver data
    STREAM_STATE_FINISHED = 1,  // the SDK reported that all data was delivered
};

// The Player's callbacks for one stream; each takes the stream first and
// the user pointer last. A null one is skipped.
struct StreamHooks {
    void *user;
    // Returns the bytes taken, 0 to size.
    size_t (*on_data)(AudioStream *stream, const void *data, size_t size, void *user);
    void (*on_state_changed)(AudioStream *stream, StreamState new_state, StreamState old_state, void *user);
    void (*on_seeked)(AudioStream *stream, void *user);
    // Called while current and next still have their old values.
    void (*on_disposed)(AudioStream *stream, void *user);
};

using StreamManagerNewStreamHook = void (*)(StreamManager *manager, AudioStream *stream, void *user);
// Called with the manager's user pointer after a disposal has moved the
// current and next marks and freed the stream (on_disposed runs before).
using StreamManagerRolesHook = void (*)(StreamManager *manager, void *user);

StreamManager *stream_manager_new(void *user, StreamManagerNewStreamHook new_stream_hook);
void stream_manager_set_roles_hook(StreamManager *manager, StreamManagerRolesHook roles_hook);
// Frees every stream without calling any hook. A null manager is accepted.
void stream_manager_free(StreamManager *manager);
void stream_manager_set_sdk(StreamManager *manager, ZrvConnect *sdk);
void stream_manager_set_publisher(StreamManager *manager, EventPublisher *publisher);
// The AudioDelegate table with this manager as its user pointer.
AudioDelegate stream_manager_audio_delegate(StreamManager *manager);

AudioStream *stream_manager_current(const StreamManager *manager);
AudioStream *stream_manager_next(const StreamManager *manager);
bool stream_manager_is_current(const StreamManager *manager, const AudioStream *stream);
bool stream_manager_is_next(const StreamManager *manager, const AudioStream *stream);
// Every live stream, in announcement order.
size_t stream_manager_stream_count(const StreamManager *manager);
AudioStream *stream_manager_find(const StreamManager *manager, uint64_t stream_id);

// Lets the SDK deliver data for the stream again; the SDK may push data
// from inside this call. Nothing when the stream is already delivering.
void stream_manager_resume_delivery(AudioStream *stream);
// Refuses the stream's data from now on; no SDK call.
void stream_manager_stop_delivery(AudioStream *stream);

void audio_stream_install_hooks(AudioStream *stream, const StreamHooks *hooks);
uint64_t audio_stream_id(const AudioStream *stream);
StreamInfo audio_stream_info(const AudioStream *stream);
AudioFormat audio_stream_format(const AudioStream *stream);
StreamState audio_stream_state(const AudioStream *stream);
bool audio_stream_is_delivering(const AudioStream *stream);
// Offset in the track of the next byte to be accepted.
uint64_t audio_stream_position_bytes(const AudioStream *stream);
// Channels times bytes per sample; 0 for a sample format the SDK does not know.
uint32_t audio_stream_frame_size(const AudioStream *stream);

// True when sample rate, sample format and channel count are all equal.
bool audio_format_equal(const AudioFormat &a, const AudioFormat &b);
