/*
 * Control interface of the stand-in Zorva Connect SDK, for tests only.
 *
 * The stand-in (libzorva_connect built from standin/) implements the SDK's C
 * ABI (zorva_connect.h) and plays the service's part: it announces streams,
 * pushes generated PCM and drives the renderer through the playback
 * delegate. This header lets a test
 *   - read the record of every SDK operation the daemon called, in order;
 *   - make any operation fail with a chosen error code, N times or always;
 *   - regenerate the PCM of any track to compare it with what was played;
 *   - script the service: the queue, pacing, and every renderer command
 *     (play, pause, resume, stop, seek, next, previous, volume, mute, ...).
 *
 * A daemon run as a separate process is controlled through environment
 * variables instead (see standin/README.md): ZRV_STANDIN_RECORD=<file>
 * appends one line "operation(arguments)" per call, ZRV_STANDIN_INJECT=
 * "operation=code[xN],..." injects errors.
 *
 * Threading: the record and the injection table are process-wide and guarded
 * by a lock, so their functions may be called from any thread. The functions
 * taking a ZrvConnect handle run on the instance's loop thread, like the SDK
 * operations themselves; their effects on the renderer (delegate calls) are
 * made later from the loop, never from inside the call.
 *
 * This header is stable: other modules' tests are written against it.
 */
#ifndef ZORVA_STANDIN_H
#define ZORVA_STANDIN_H

#include "zorva_connect.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Call record ------------------------------------------------------- */

/* One recorded SDK call. `operation` is the function name, for example
 * "zrv_connect_set_volume"; `arguments` is the text of the arguments after the
 * handle, in declaration order, separated by ", ": integers in decimal,
 * booleans "true"/"false", strings as they are, a null pointer "(null)", an
 * AudioFormat as its three values, a SessionToken as endpoint, token, expiry.
 * Out parameters are not listed. Both strings stay valid until the record is
 * cleared. */
typedef struct ZrvStandinCall {
    const char *operation;
    const char *arguments;
} ZrvStandinCall;

/* Every SDK operation is recorded (also when an injected error makes it
 * fail), including zrv_connect_create, zrv_connect_free,
 * zrv_connect_set_log_delegate and zrv_connect_get_sdk_version. The pure
 * helpers (zrv_audio_sample_format_size and the *_to_string functions) are not
 * recorded.
 *
 * The record is kept in memory from the first call of one of the five
 * functions below or of zrv_standin_reset on (a test starts with
 * zrv_standin_reset); calls made before that are not in it. A process that
 * never asks, like the daemon, keeps no record, so its memory does not grow
 * with its calls; ZRV_STANDIN_RECORD writes the record to a file instead. */
ZRV_EXPORT size_t zrv_standin_call_count(void);
/* Fills `out` with call `index` (0 is the oldest); false when out of range. */
ZRV_EXPORT bool zrv_standin_call_at(size_t index, ZrvStandinCall *out);
/* Number of recorded calls of one operation. */
ZRV_EXPORT size_t zrv_standin_count_calls(const char *operation);
/* Index of the first call of `operation` at or after `from`, or (size_t)-1. */
ZRV_EXPORT size_t zrv_standin_find_call(const char *operation, size_t from);
ZRV_EXPORT void zrv_standin_clear_calls(void);

/* ---- Error injection --------------------------------------------------- */

/* Makes the next `times` calls of `operation` fail with `error` (times < 0:
 * always; times 0 removes the injection). A failing call is recorded, returns
 * the error and has no other effect; zrv_connect_create returns null and sets
 * its out error. Operations without an error result (zrv_connect_free,
 * zrv_connect_get_sdk_version) cannot be made to fail. */
ZRV_EXPORT void zrv_standin_inject_error(const char *operation, ZrvError error, int32_t times);
ZRV_EXPORT void zrv_standin_clear_errors(void);
/* Clears the record and every injection (also those read from the
 * environment), and keeps the record from now on. */
ZRV_EXPORT void zrv_standin_reset(void);

/* ---- Generated content ------------------------------------------------- */

/* One track of the service's queue. Track i of a queue given as endpoint text
 * or the demo queue has seed i + 1. */
typedef struct ZrvStandinTrack {
    uint32_t sample_rate;
    uint32_t channels;
    uint32_t sample_format; /* ZrvSampleFormat */
    uint32_t seed;          /* selects the content; different seeds never share a sample sequence */
    uint64_t duration_ms;
} ZrvStandinTrack;

/* Frames of a track of `duration_ms` at `sample_rate`: floor(rate * ms / 1000).
 * A stream that starts at `start_ms` begins at frame floor(rate * start_ms / 1000). */
ZRV_EXPORT uint64_t zrv_standin_frames_for_ms(uint32_t sample_rate, uint64_t ms);

/* Writes `frames` frames of the content of `seed` in `format`, starting at
 * frame `frame_offset` of the track, into `out` (interleaved little-endian,
 * exactly what the stand-in pushes). Returns the bytes written, or 0 when the
 * format is invalid (rate or channels 0, unknown sample format) or `out_size`
 * is too small. The content is a tone (frequency by seed and channel) plus a
 * low-level pseudo-random part keyed by seed, frame and channel; no sample is
 * exactly zero. S24_32 samples are sign-extended into the container. */
ZRV_EXPORT size_t zrv_standin_generate_pcm(uint32_t seed, AudioFormat format, uint64_t frame_offset, size_t frames,
                                           void *out, size_t out_size);

/* ---- Scripting the service --------------------------------------------- */

/* Replaces the queue used from the next start of playback on (connect with
 * become-active, zrv_connect_start_playback, zrv_standin_play). At most 64
 * tracks; each needs a rate, channels and a known sample format.
 * ZRV_ERROR_INVALID_STATE while a track is playing or paused. */
ZRV_EXPORT ZrvError zrv_standin_set_queue(ZrvConnect *sdk, const ZrvStandinTrack *tracks, size_t count);

/* Pacing of the data push: `chunk_ms` of audio per audio-data call (default
 * 20); at most `lead_ms` ahead of real time (default 1000; 0 pushes as fast as
 * the renderer takes it, a bounded burst per loop iteration); the next track is
 * announced when at most `announce_ahead_ms` of the current track's data is
 * left to push (default 2000). */
ZRV_EXPORT ZrvError zrv_standin_set_pacing(ZrvConnect *sdk, uint32_t chunk_ms, uint32_t lead_ms,
                                           uint32_t announce_ahead_ms);

/* How many streams the service keeps announced at once, the current one
 * included: 2 (the default) to 8. With more than 2 the track after the last
 * announced one is announced as soon as at most `announce_ahead_ms` of that
 * one's data is left to push, so a short next track can have a third one
 * announced behind it while current and next are both set. A seek disposes
 * of every stream but the current one. ZRV_ERROR_INVALID_ARGUMENT outside 2
 * to 8. */
ZRV_EXPORT ZrvError zrv_standin_set_lookahead(ZrvConnect *sdk, uint32_t streams);

/* With `on`, zrv_connect_notify_playback_finished disposes of streams from
 * inside the call, as an SDK is free to do: with something queued the
 * finished stream goes there (the next one is current before the renderer's
 * initiated notification, which then disposes of nothing), with nothing
 * queued every stream goes there. The one exception to "never from inside
 * an operation" besides audio data; off by default. */
ZRV_EXPORT ZrvError zrv_standin_set_reentrant_disposal(ZrvConnect *sdk, bool on);

/* The service's own actions, as if a controller app asked for them. Each
 * returns at once; the renderer sees the delegate calls on later loop
 * iterations. Not recorded as daemon calls. Errors: ZRV_ERROR_NOT_CONNECTED
 * without a session, ZRV_ERROR_NO_PLAYBACK when nothing is playing or paused
 * (where the action needs it), ZRV_ERROR_INVALID_ARGUMENT for a value out of
 * range. */

/* Activates the renderer if needed and plays track `track_index` of the queue
 * from `start_ms`: an old playback is stopped and its streams disposed of, the
 * new stream is announced with its metadata, then initiate(1 playing or 2
 * paused). */
ZRV_EXPORT ZrvError zrv_standin_play(ZrvConnect *sdk, size_t track_index, uint64_t start_ms, bool paused);
ZRV_EXPORT ZrvError zrv_standin_pause(ZrvConnect *sdk);  /* playback.pause */
ZRV_EXPORT ZrvError zrv_standin_resume(ZrvConnect *sdk); /* playback.resume */
/* playback.stop, then every stream is disposed of. */
ZRV_EXPORT ZrvError zrv_standin_stop(ZrvConnect *sdk);
/* playback.seek_started; a next stream already announced is disposed of; then,
 * on a later iteration, the current stream is repositioned and seeked is
 * reported on it. ZRV_ERROR_INVALID_ARGUMENT beyond the track's duration. */
ZRV_EXPORT ZrvError zrv_standin_seek(ZrvConnect *sdk, uint64_t position_ms);
/* Plays the next track of the queue from 0 (stop, dispose, announce,
 * initiate), keeping a paused playback paused; ZRV_ERROR_INVALID_STATE at the
 * last track. */
ZRV_EXPORT ZrvError zrv_standin_next(ZrvConnect *sdk);
/* The user removes the track of the announced next stream from the queue:
 * on a later iteration that stream is disposed of (also when the renderer
 * already lets it flow) and its track leaves the queue; the track after it
 * is announced by the usual rule. ZRV_ERROR_INVALID_STATE without a next
 * stream, or once the renderer has reported the current track finished and
 * the service waits for its initiated notification. */
ZRV_EXPORT ZrvError zrv_standin_withdraw_next(ZrvConnect *sdk);
/* Restarts the current track when the renderer reports more than 3 s played
 * (or it is the first track), else plays the previous one. */
ZRV_EXPORT ZrvError zrv_standin_previous(ZrvConnect *sdk);
ZRV_EXPORT ZrvError zrv_standin_set_service_volume(ZrvConnect *sdk, uint32_t volume); /* 0..65535 */
ZRV_EXPORT ZrvError zrv_standin_set_service_mute(ZrvConnect *sdk, bool muted);
ZRV_EXPORT ZrvError zrv_standin_set_max_quality(ZrvConnect *sdk, uint32_t quality);
ZRV_EXPORT ZrvError zrv_standin_set_controls(ZrvConnect *sdk, uint32_t loop_mode, bool shuffle);
ZRV_EXPORT ZrvError zrv_standin_set_next_available(ZrvConnect *sdk, bool next_available);
/* Starts or stops the DNS-SD advertising or the configuration server through
 * their delegates (both are started at create and stopped at free). */
ZRV_EXPORT ZrvError zrv_standin_set_advertising(ZrvConnect *sdk, bool on);
ZRV_EXPORT ZrvError zrv_standin_set_config_server(ZrvConnect *sdk, bool on);

/* What the service currently knows. Stream ids are 0 when absent. */
typedef struct ZrvStandinStatus {
    bool connected; /* a session exists */
    bool renderer_active;
    bool advertising;
    bool config_server_running;
    uint32_t state;  /* ZrvPlaybackState */
    uint32_t volume; /* last volume the renderer reported (zrv_connect_set_volume) */
    bool muted;      /* last mute state the renderer reported */
    size_t queue_length;
    size_t track_index; /* queue index of the current track */
    uint64_t current_stream;
    uint64_t next_stream;
    uint64_t streams_announced; /* since create */
    uint64_t streams_disposed;
    uint64_t bytes_taken; /* audio bytes the renderer accepted, all streams, since create */
} ZrvStandinStatus;

ZRV_EXPORT ZrvError zrv_standin_get_status(ZrvConnect *sdk, ZrvStandinStatus *out);

#ifdef __cplusplus
}
#endif

#endif /* ZORVA_STANDIN_H */
