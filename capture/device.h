// The audio device engine: PortAudio set up once per engine, the list of input devices and the
// choice among them, the stream (duplex, else input-only; all inputs, else the first pair) and
// the capture engine and tape created at its rate, changes of rate, buffer and device that fall
// back to what worked, reopening, and the watchdog that notices a device that stopped delivering.
// Main thread only; PortAudio runs the capture routine on its own thread.
#pragma once
#include <cstddef>
#include <cstdint>

#include "capture/engine.h"

// Creates the engine: PortAudio, the device list, the stream (falling back to other devices
// when allowed), the tape and the detector at the stream's rate. 0, or -1. The engine must be
// zeroed or destroyed.
int engine_create(CaptureEngine* e, int buffer_frames, int addressable_minutes, const char* wanted_device,
                  double requested_rate, int exclusive, bool allow_fallback);
// Prepares the tape ahead of the write head, starts the allocation thread and the stream. 0 or -1.
int engine_start(CaptureEngine* e);
// Stops everything, terminates PortAudio, frees the tape and the buffers and zeroes the engine.
void engine_destroy(CaptureEngine* e);

// Opens a stream on the selected device entry, choosing the best one when none is selected.
int open_selected_device(CaptureEngine* e);
// Lists the input devices again (the options panel does this when it opens): JACK clients as
// they are now, the other devices as PortAudio found them. The open stream is not touched; the
// selection follows its entry by name (-1 when it is no longer listed).
void engine_refresh_devices(CaptureEngine* e);

// Rate change: recreates engine and tape at the new rate (keeping the device, buffer, mode and
// plug-ins); refused (1) while the tape holds audio; -1 when the device refused and the old rate
// was restored; -2 when the old rate would not run either: the engine is down (no tape, nothing
// processed) until reopen_stream builds it again; 0 when changed or unchanged.
int change_rate(CaptureEngine* e, double rate);
// Buffer change (at least 32 frames): 0 changed or unchanged, -1 refused and the old size kept,
// -2 neither works and the audio is down, -3 the stream is on JACK, whose server sets the
// period: nothing was changed.
int change_buffer(CaptureEngine* e, int frames);
// Device change by list index: 0, or -1 when it would not open and the old device is back.
int change_device(CaptureEngine* e, int index);
// Closes and opens the selected device again (PortAudio is set up afresh, so a device or server
// that went away and came back is found): the same name, else the same name without the ALSA
// card number, else the best entry. An engine left without buffers by a failed rate change is
// built again instead. 0 or -1.
int reopen_stream(CaptureEngine* e);
// Seats a continued session: an empty tape whose counters, take starts and overview describe
// `count` takes laid end to end over tape_length frames. 0 when the stream runs again, else -1.
int resume_session(CaptureEngine* e, int64_t tape_length, const int64_t* take_starts, int count,
                   const float* overview, int value_count);

// What the inputs mixer learns of each stream that opens, before it starts.
constexpr int kInputNameBytes = 64;
struct MixerStream {
  int host_api_type;       // PortAudio host API type id (paJACK, paALSA, paOSS...)
  const char* host_api;    // its short label: "JACK", "ALSA", "OSS"
  // The device's name as it stays when the device comes back: an ALSA interface plugged in again
  // under another card number keeps it ("Scarlett 18i20 USB: Audio (hw)"); a JACK client's name.
  const char* device;
  int opened_channels;     // inputs the stream delivers (1..64)
  int device_channels;     // inputs the device has (at least opened_channels)
  double rate;
  // One name per opened input, empty when the device gives none: a JACK port's pretty name, else
  // its own short name ("capture_3").
  const char (*input_names)[kInputNameBytes];
};
// The inputs mixer binds to each stream that opens (set by the rig layer; nothing by default).
// The binding is a plug-in: it survives the engine being built again.
struct MixerBinding {
  void (*bind)(void* ctx, CaptureEngine* e, const MixerStream& stream);
  void* ctx;
};
void engine_set_mixer_binding(CaptureEngine* e, const MixerBinding* binding);

// The watchdog, run by the main loop on every pass with the tick in milliseconds.
struct Watchdog {
  int64_t last_frames;       // delivered-frame count last seen
  uint32_t last_change_ms;   // tick when it last moved
  int down;                  // audio marked down
  uint32_t last_attempt_ms;  // tick of the last reopen attempt
};
// kRebuilt: the engine was built afresh (trigger parameters back at their defaults, disarmed).
enum class WatchdogEvent { kNone, kWentDown, kCameBack, kReopened, kRebuilt, kReopenFailed };
void watchdog_start(Watchdog* w, const CaptureEngine* e, uint32_t now_ms);
// Compares the delivered-frame count with the last one; marks the audio down after 500 ms
// without frames, reopens every 3 s while down, and reports frames flowing again, with the
// status and log lines for each. armed adds " - LISTENING" to the return message.
WatchdogEvent watchdog_poll(Watchdog* w, CaptureEngine* e, uint32_t now_ms, int armed);

// A device name with its ALSA card and device numbers left out ("(hw:2,0)" becomes "(hw)"): an
// interface that comes back under another card number keeps this name.
void device_name_without_card(const char* name, char* out, size_t cap);

// Test seam: when set, an open of this many input channels (duplex or not) is refused as if
// the device had refused it, with the given error text.
struct DeviceOpenRefusal {
  bool (*refuse)(void* ctx, const char* device, int input_channels, bool duplex);
  void* ctx;
};
void device_set_open_refusal(const DeviceOpenRefusal* r);
