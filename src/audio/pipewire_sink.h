// PipeWireSink: the Player's audio output, a PipeWire playback stream fed
// from a ring buffer on PipeWire's realtime data thread.
// Every function here is called on the loop thread; the sink's callbacks are
// called on the loop thread too (PipeWire's threads only wake the loop).
#pragma once

#include <uv.h>

#include <cstddef>
#include <cstdint>

#include "zorva_connect.h"

struct PipeWireSink;

// Callbacks from the sink to its user, each called on the loop thread; a
// null one is skipped.
struct SinkCallbacks {
    void *user;
    // The ring buffer has room for at least two periods again.
    void (*need_data)(PipeWireSink *sink, void *user);
    // The stream's volume (0..65535, 65535 = unity) changed on the PipeWire side.
    void (*volume_changed)(PipeWireSink *sink, uint32_t volume, void *user);
    // The stream's mute state changed on the PipeWire side.
    void (*mute_changed)(PipeWireSink *sink, bool muted, void *user);
    // The open sink lost its stream (the server went away, failed it, or
    // its pinned output device went away); nothing plays until the sink
    // reconnects, or is closed and opened again. Each loss is reported,
    // also that of a stream made by a reconnect.
    void (*stream_lost)(PipeWireSink *sink, void *user);
};

// Never null, also when PipeWire could not be set up (every open then fails).
PipeWireSink *pipewire_sink_new(uv_loop_t *loop, const char *output_device);
void pipewire_sink_free(PipeWireSink *sink);
void pipewire_sink_set_callbacks(PipeWireSink *sink, const SinkCallbacks *callbacks);
// An SDK audio quality value (ZRV_AUDIO_QUALITY_*): always HIRES3.
uint32_t pipewire_sink_max_audio_quality(const PipeWireSink *sink);

// Silence played at the new rate before the first frame written after an
// open whose sample rate differs from the last successful open's, for DACs
// that mute while they lock onto a new rate. Counted in what is buffered.
// 0 (the default) plays none; the first open after creation none either.
void pipewire_sink_set_rate_change_silence(PipeWireSink *sink, uint32_t silence_ms);

bool pipewire_sink_open(PipeWireSink *sink, AudioFormat format);
bool pipewire_sink_is_open(const PipeWireSink *sink);
void pipewire_sink_close(PipeWireSink *sink);
// The stream of the last open was lost (the stream_lost callback's news);
// still true after close, until the next open.
bool pipewire_sink_stream_lost(const PipeWireSink *sink);
// After the loss of the open sink's stream: connects a new stream in the
// format of the open (on a new connection when the server closed the old
// one) and keeps everything else: what the ring buffer holds plays on from
// where the lost stream stopped, and a paused sink stays paused. The stored
// volume and mute are applied to the new stream. A reconnected stream that
// has not run within a moment is given up and made again on a new
// connection: one made to a server that was going down may never hear that
// it is gone. False, with the loss still standing, when the sink is not
// open, has neither lost its stream nor waited in vain for the last
// reconnect, or no server answers; a new stream that fails is reported as
// lost again.
bool pipewire_sink_reconnect(PipeWireSink *sink);
// The stream of the last open or reconnect has been linked to an output and
// has run, and has not been lost since.
bool pipewire_sink_stream_ready(PipeWireSink *sink);
// Milliseconds of audio in the buffer last handed to PipeWire: one graph
// period, about what a server that goes away takes with it per buffer it
// holds. 0 before the first cycle.
uint64_t pipewire_sink_period_ms(const PipeWireSink *sink);

// Bytes taken (at most the ring buffer's free space; 0 while paused). Whole
// frames go into the ring buffer; a trailing part of a frame is kept back
// until the rest of it comes. ok is false only when the sink is not open.
size_t pipewire_sink_write(PipeWireSink *sink, const void *data, size_t length, bool *ok);
// A mark of how much has been written so far, valid until the next flush
// or close; 0 when the sink is not open.
uint64_t pipewire_sink_write_mark(const PipeWireSink *sink);
// Takes what was written after `mark` back out of the ring buffer, as far as
// it has not been handed to PipeWire yet: none of it plays. Returns the
// bytes taken back. A frame kept back from the last write goes too.
size_t pipewire_sink_take_back(PipeWireSink *sink, uint64_t mark);
// Frames still to play: those in the ring buffer and what is left of the
// silence before them after a rate change; ok is false when the sink is not
// open.
uint64_t pipewire_sink_buffered_frames(PipeWireSink *sink, bool *ok);
bool pipewire_sink_pause(PipeWireSink *sink);
bool pipewire_sink_resume(PipeWireSink *sink);
bool pipewire_sink_flush(PipeWireSink *sink);
// Blocks until what was written has been played out, at most 5 s. A paused
// sink plays it out too and is paused again afterwards. False when it timed
// out or the stream was lost: then not everything played.
bool pipewire_sink_drain(PipeWireSink *sink);

void pipewire_sink_set_volume(PipeWireSink *sink, uint32_t volume);
uint32_t pipewire_sink_get_volume(const PipeWireSink *sink);
void pipewire_sink_set_mute(PipeWireSink *sink, bool muted);
bool pipewire_sink_get_mute(const PipeWireSink *sink);
