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
 * recorded. */
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
 * environment). */
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

#ifdef __cplusplus
}
#endif

#endif /* ZORVA_STANDIN_H */
