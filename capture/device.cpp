// Devices on Linux: JACK is preferred (it plays the part of a low-latency driver with every
// input open) and is driven through libjack directly, because PortAudio's JACK streams cannot
// be stopped once the server has died; ALSA's default device is the usual default input, other
// ALSA and OSS devices follow, through PortAudio. "Exclusive" means direct hardware access: an
// ALSA hw: device has it as it is; a plug-in device (default, pulse, pipewire, dmix...) refuses
// it and the stream opens shared.
#include "capture/device.h"

#include <pa_jack.h>
#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capture/jack_stream.h"
#include "config/log.h"
#include "config/status.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace {

constexpr uint32_t kWatchdogDownMs = 500;
constexpr uint32_t kWatchdogRetryMs = 3000;
constexpr double kFallbackRate = 48000;

std::atomic<const DeviceOpenRefusal*> g_refusal{nullptr};

// Blocks longer than the routine takes are handed over in pieces, as the JACK client does.
int stream_callback(const void* input, void* output, unsigned long frames, const PaStreamCallbackTimeInfo* time_info,
                    PaStreamCallbackFlags flags, void* engine) {
  auto* e = static_cast<CaptureEngine*>(engine);
  if (flags & (paInputOverflow | paInputUnderflow | paOutputUnderflow | paOutputOverflow))
    e->device_xruns.fetch_add(1, std::memory_order_relaxed);
  const float* in = static_cast<const float*>(input);
  float* out = static_cast<float*>(output);
  const int channels = e->input_channels;
  for (unsigned long at = 0; at < frames;) {
    const unsigned long count = std::min<unsigned long>(frames - at, kMaxBlockFrames);
    capture_callback(in ? in + at * unsigned(channels) : nullptr, out ? out + at * 2 : nullptr, count, time_info,
                     flags, engine);
    at += count;
  }
  return paContinue;
}

const char* host_name_of(int device) {
  const PaDeviceInfo* d = Pa_GetDeviceInfo(device);
  const PaHostApiInfo* h = d ? Pa_GetHostApiInfo(d->hostApi) : nullptr;
  return h && h->name ? h->name : "?";
}

// A short host label for names and logs: "JACK", "ALSA", "OSS", else PortAudio's own name.
const char* host_label(int type, const char* fallback) {
  switch (type) {
    case paJACK: return "JACK";
    case paALSA: return "ALSA";
    case paOSS: return "OSS";
    default: return fallback;
  }
}

bool hardware_device(const char* name) { return strstr(name, "(hw:") != nullptr; }

// A fingerprint of the list, so a list rebuilt while waiting for a device is logged only when
// it changed.
uint64_t list_signature(const EngineDevice* d) {
  uint64_t h = 1469598103934665603ull;
  for (int k = 0; k < d->count; ++k) {
    for (const char* p = d->list[k].name; *p; ++p) h = (h ^ uint8_t(*p)) * 1099511628211ull;
    h = (h ^ uint64_t(d->list[k].input_channels)) * 1099511628211ull;
  }
  return h ^ uint64_t(d->count);
}

void build_device_list(EngineDevice* d) {
  d->count = 0;
  JackDeviceInfo jack[kMaxJackDevices];
  const int jack_count = jack_list_devices(jack, kMaxJackDevices);
  for (int i = 0; i < jack_count && d->count < kMaxDevices; ++i) {
    DeviceEntry& e = d->list[d->count++];
    e = DeviceEntry{};
    e.input_device = -1;
    e.output_device = jack[i].outputs >= 2 ? 0 : -1;
    e.jack = 1;
    text_copy(e.jack_client, jack[i].client);
    e.input_channels = jack[i].inputs;
    e.default_rate = jack[i].rate;
    e.host_type = paJACK;
    text_format(e.name, sizeof e.name, "%s [JACK]", jack[i].client);
  }
  const int n = Pa_GetDeviceCount();
  for (int i = 0; i < n && d->count < kMaxDevices; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (!info || info->maxInputChannels < 1) continue;
    const PaHostApiInfo* host = Pa_GetHostApiInfo(info->hostApi);
    if (!host || host->type == paJACK) continue;  // JACK devices come from libjack above
    DeviceEntry& e = d->list[d->count++];
    e = DeviceEntry{};
    e.input_device = i;
    e.input_channels = info->maxInputChannels;
    e.default_rate = info->defaultSampleRate;
    e.host_type = host->type;
    e.host_default = host->defaultInputDevice == i;
    text_format(e.name, sizeof e.name, "%s [%s]", info->name, host_label(host->type, host->name));
    e.output_device = -1;
    if (host->defaultOutputDevice >= 0) {
      e.output_device = host->defaultOutputDevice;
    } else {
      for (int j = 0; j < n; ++j) {
        const PaDeviceInfo* o = Pa_GetDeviceInfo(j);
        if (o && o->hostApi == info->hostApi && o->maxOutputChannels > 1) {
          e.output_device = j;
          break;
        }
      }
    }
  }
  const uint64_t signature = list_signature(d);
  if (signature == d->list_signature) return;
  d->list_signature = signature;
  for (int k = 0; k < d->count; ++k) {
    const DeviceEntry& e = d->list[k];
    if (e.jack) {
      log_line("dev %2d: %-34s in %d ch @%.0f | out %s %d ch", k, e.name, e.input_channels, e.default_rate,
               e.output_device >= 0 ? e.jack_client : "(NONE)", e.output_device >= 0 ? 2 : 0);
      continue;
    }
    const PaDeviceInfo* out = e.output_device >= 0 ? Pa_GetDeviceInfo(e.output_device) : nullptr;
    log_line("dev %2d: %-34s in %d ch @%.0f | out %s %d ch", k, e.name, e.input_channels, e.default_rate,
             out ? out->name : "(NONE)", out ? out->maxOutputChannels : 0);
  }
}

int entry_score(const EngineDevice* d, const DeviceEntry& e) {
  if (d->wanted[0] && text_contains_nocase(e.name, d->wanted)) return 1000;
  if (e.jack) return 30;
  if (e.host_type == paALSA) return e.host_default ? 25 : 20;
  return 10;
}

// The best entry not yet tried; ties go to the earlier one. -1 when none is left.
int best_entry(const EngineDevice* d, int* score) {
  int best = -1, best_score = -1;
  for (int k = 0; k < d->count; ++k) {
    if (d->tried[k]) continue;
    const int s = entry_score(d, d->list[k]);
    if (s > best_score) best = k, best_score = s;
  }
  if (score) *score = best_score;
  return best;
}

bool refused_by_test(const char* device, int channels, bool duplex) {
  const DeviceOpenRefusal* r = g_refusal.load(std::memory_order_acquire);
  return r && r->refuse(r->ctx, device, channels, duplex);
}

// Opens a stream on the entry with n input channels. 0 or -1.
int open_jack_stream(CaptureEngine* e, const DeviceEntry& entry, int n) {
  EngineDevice* d = &e->dev;
  const bool duplex = entry.output_device >= 0;
  log_line("open: [%s] in='%s' %d ch  out='%s'  %.0f Hz  the server's period  JACK ports", d->host_api_name,
           entry.jack_client, n, duplex ? entry.jack_client : "(none)", d->stream_rate);
  char why[128];
  JackStream* s = nullptr;
  for (int attempt = duplex ? 0 : 1; attempt < 2; ++attempt) {
    const bool with_output = attempt == 0;
    if (refused_by_test(entry.jack_client, n, with_output)) text_copy(why, "refused by the device");
    else if (jack_stream_open(entry.jack_client, n, with_output, d->stream_rate, e, &s, why, sizeof why) == 0) {
      d->stream = s;
      d->stream_jack = 1;
      d->period_frames = jack_stream_period(s);
      d->duplex = with_output;
      d->exclusive_active = 0;
      e->input_channels = n;
      return 0;
    }
    log_line(with_output ? "duplex open failed: %s" : "Pa_OpenStream failed: %s", why);
  }
  return -1;
}

int open_stream(CaptureEngine* e, const DeviceEntry& entry, int n) {
  if (entry.jack) return open_jack_stream(e, entry, n);
  EngineDevice* d = &e->dev;
  const double rate = d->stream_rate;
  const PaDeviceInfo* in_info = Pa_GetDeviceInfo(entry.input_device);
  const PaDeviceInfo* out_info = entry.output_device >= 0 ? Pa_GetDeviceInfo(entry.output_device) : nullptr;
  if (!in_info) return -1;

  PaStreamParameters in{}, out{};
  in.device = entry.input_device;
  in.channelCount = n;
  in.sampleFormat = paFloat32;
  in.suggestedLatency = in_info->defaultLowInputLatency;
  if (out_info) {
    out.device = entry.output_device;
    out.channelCount = 2;
    out.sampleFormat = paFloat32;
    out.suggestedLatency = out_info->defaultLowOutputLatency;
  }
  bool exclusive = false;
  if (d->exclusive) {
    exclusive = true;
    in.suggestedLatency /= 2;
    out.suggestedLatency /= 2;
  }
  log_line("open: [%s] in='%s' %d ch  out='%s'  %.0f Hz  %d frames%s", d->host_api_name[0] ? d->host_api_name : "?",
           in_info->name, n, out_info ? out_info->name : "(none)", rate, d->buffer_frames,
           exclusive ? "  exclusive hw" : "");

  PaStream* stream = nullptr;
  if (out_info) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      PaError err = paNoError;
      const char* refusal = nullptr;
      if (exclusive && !hardware_device(in_info->name)) {
        refusal = "exclusive access needs a hardware (hw:) device";
      } else if (refused_by_test(in_info->name, n, true)) {
        refusal = "refused by the device";
      } else if (Pa_IsFormatSupported(&in, &out, rate) != paFormatIsSupported) {
        log_line("duplex format unsupported at %.0f Hz%s", rate, exclusive ? " in exclusive mode" : "");
      } else if ((err = Pa_OpenStream(&stream, &in, &out, rate, d->buffer_frames, paClipOff, stream_callback, e)) ==
                 paNoError) {
        d->stream = stream;
        d->stream_jack = 0;
        d->period_frames = d->buffer_frames;
        d->duplex = 1;
        d->exclusive_active = exclusive;
        e->input_channels = n;
        return 0;
      } else {
        refusal = Pa_GetErrorText(err);
      }
      if (refusal) log_line("duplex open failed: %s", refusal);
      if (!exclusive) break;
      log_line("exclusive refused - retrying shared");
      exclusive = false;
      in.suggestedLatency = in_info->defaultLowInputLatency;
      out.suggestedLatency = out_info->defaultLowOutputLatency;
    }
  }
  // Input only. An entry without an output comes here directly, still exclusive if asked.
  PaError err = paNoError;
  const char* refusal = nullptr;
  if (exclusive && !hardware_device(in_info->name)) refusal = "exclusive access needs a hardware (hw:) device";
  else if (refused_by_test(in_info->name, n, false)) refusal = "refused by the device";
  else if ((err = Pa_OpenStream(&stream, &in, nullptr, rate, d->buffer_frames, paClipOff, stream_callback, e)) !=
           paNoError)
    refusal = Pa_GetErrorText(err);
  if (refusal) {
    log_line("Pa_OpenStream failed: %s", refusal);
    return -1;
  }
  d->stream = stream;
  d->stream_jack = 0;
  d->period_frames = d->buffer_frames;
  d->duplex = 0;
  d->exclusive_active = exclusive;
  e->input_channels = n;
  return 0;
}

void close_stream(CaptureEngine* e) {
  e->running.store(0, std::memory_order_release);
  if (!e->dev.stream) return;
  if (e->dev.stream_jack) {
    jack_stream_close(static_cast<JackStream*>(e->dev.stream));
  } else {
    PaStream* s = static_cast<PaStream*>(e->dev.stream);
    Pa_StopStream(s);
    Pa_CloseStream(s);
  }
  e->dev.stream = nullptr;
}

int start_stream(CaptureEngine* e) {
  if (!e->dev.stream) return -1;
  e->running.store(1, std::memory_order_release);
  if (e->dev.stream_jack) {
    char why[128];
    if (jack_stream_start(static_cast<JackStream*>(e->dev.stream), why, sizeof why) == 0) return 0;
    e->running.store(0, std::memory_order_release);
    log_line("Pa_StartStream failed: %s", why);
    return -1;
  }
  PaError err = Pa_StartStream(static_cast<PaStream*>(e->dev.stream));
  if (err != paNoError) {
    e->running.store(0, std::memory_order_release);
    log_line("Pa_StartStream failed: %s", Pa_GetErrorText(err));
    return -1;
  }
  return 0;
}

// Holds the stream without closing it (its callback stops being called), and lets it go again.
void pause_stream(CaptureEngine* e) {
  e->running.store(0, std::memory_order_release);
  if (!e->dev.stream) return;
  if (e->dev.stream_jack) jack_stream_close(static_cast<JackStream*>(e->dev.stream)), e->dev.stream = nullptr;
  else Pa_StopStream(static_cast<PaStream*>(e->dev.stream));
}

int resume_stream(CaptureEngine* e) {
  if (e->dev.stream_jack || !e->dev.stream) {
    // A JACK client is made afresh: open the selected device again.
    if (!e->dev.stream && open_selected_device(e) != 0) return -1;
    return start_stream(e);
  }
  return start_stream(e);
}

// 64 characters: one more than JACK takes for a client name.
constexpr const char* kNoJackClientName = "tolm-portaudio-stays-out-of-jack-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx";
static_assert(std::char_traits<char>::length(kNoJackClientName) == 64);

int pa_up(CaptureEngine* e) {
  if (e->dev.pa_ready) return 0;
  // PortAudio must not connect to JACK at all: its JACK client cannot be closed once the server
  // has died (terminating it aborts the process). JACK devices are ours, through libjack. A
  // client name JACK refuses makes PortAudio's JACK host find no server and stay empty, without
  // touching the environment other threads read.
  jack_quiet_messages();
  PaJack_SetClientName(kNoJackClientName);
  PaError err = Pa_Initialize();
  if (err != paNoError) {
    log_line("Pa_Initialize failed: %s", Pa_GetErrorText(err));
    return -1;
  }
  e->dev.pa_ready = 1;
  return 0;
}

void pa_down(CaptureEngine* e) {
  if (!e->dev.pa_ready) return;
  Pa_Terminate();
  e->dev.pa_ready = 0;
}

// Everything of the engine that is not a plug-in goes back to its zero state.
void zero_engine(CaptureEngine* e) {
  tape_thread_stop(&e->tape);
  tape_destroy(&e->tape);
  capture_engine_free(e);
  const MixerBinding* mixer = e->dev.mixer;  // a plug-in, like the hooks
  e->dev = EngineDevice{};
  e->dev.mixer = mixer;
  e->dev.selected = -1;
  e->sample_rate = 0;
  e->input_channels = 0;
  e->running = 0;
}

int open_with_fallback(CaptureEngine* e, bool allow_fallback) {
  EngineDevice* d = &e->dev;
  if (open_selected_device(e) == 0) return 0;
  if (!allow_fallback) return -1;
  char first_failed[128] = "";
  for (;;) {
    if (d->selected >= 0 && d->selected < d->count) {
      d->tried[d->selected] = 1;
      if (!first_failed[0]) text_copy(first_failed, d->list[d->selected].name);
    }
    const int next = best_entry(d, nullptr);
    if (next < 0) return -1;
    d->selected = next;
    d->stream_rate = 0;  // chosen afresh for this device
    if (open_selected_device(e) == 0) break;
  }
  text_copy(d->failed_device, first_failed);
  log_line("'%s' would not open - listening on '%s' instead", first_failed, d->list[d->selected].name);
  return 0;
}

// Tells the inputs mixer about the stream just opened: its device under a name that survives a
// replug, and the names of its inputs where the host has them.
void bind_mixer(CaptureEngine* e, const DeviceEntry& entry, int device_channels) {
  EngineDevice* d = &e->dev;
  char stable[128];
  device_name_without_card(d->device_name, stable, sizeof stable);
  char names[kMaxInputChannels][kInputNameBytes] = {};
  if (d->stream_jack) jack_stream_input_names(static_cast<const JackStream*>(d->stream), names, kMaxInputChannels);
  MixerStream s{};
  s.host_api_type = entry.host_type;
  s.host_api = d->host_api_name;
  s.device = stable;
  s.opened_channels = e->input_channels;
  s.device_channels = std::max(device_channels, e->input_channels);
  s.rate = d->stream_rate;
  s.input_names = names;
  d->mixer->bind(d->mixer->ctx, e, s);
}

void log_input(const CaptureEngine* e) {
  const EngineDevice* d = &e->dev;
  log_line("input: [%s] %s  %.0f Hz  %d ch  %d frames  %s", d->host_api_name[0] ? d->host_api_name : "?",
           d->device_name, e->sample_rate, e->input_channels, d->period_frames > 0 ? d->period_frames : d->buffer_frames,
           d->duplex ? "duplex" : "input-only (no output)");
}

}  // namespace

// A name with its ALSA card and device numbers left out: "(hw:2,0)" becomes "(hw)", so an
// interface that comes back under another card number is still the same device.
void device_name_without_card(const char* name, char* out, size_t cap) {
  size_t n = 0;
  for (const char* p = name; *p && n + 1 < cap;) {
    if (strncmp(p, "(hw:", 4) == 0) {
      const char* q = p + 4;
      while (*q && *q != ')' && (isdigit(static_cast<unsigned char>(*q)) || *q == ',')) ++q;
      if (*q == ')') {
        for (const char* r = "(hw)"; *r && n + 1 < cap; ++r) out[n++] = *r;
        p = q + 1;
        continue;
      }
    }
    out[n++] = *p++;
  }
  out[n] = 0;
}

void device_set_open_refusal(const DeviceOpenRefusal* r) { g_refusal.store(r, std::memory_order_release); }

void engine_set_mixer_binding(CaptureEngine* e, const MixerBinding* binding) { e->dev.mixer = binding; }

int open_selected_device(CaptureEngine* e) {
  EngineDevice* d = &e->dev;
  if (d->count == 0) build_device_list(d);
  if (d->selected < 0 || d->selected >= d->count) {
    int score = -1;
    const int best = best_entry(d, &score);
    if (d->wanted[0] && score < 1000) log_line("device '%s' not found - falling back", d->wanted);
    if (best < 0) {
      log_line("no input device - nothing to listen to");
      return -1;
    }
    d->selected = best;
  }
  const DeviceEntry& entry = d->list[d->selected];
  const PaDeviceInfo* info = entry.jack ? nullptr : Pa_GetDeviceInfo(entry.input_device);
  if (!entry.jack && !info) {
    log_line("no input device - nothing to listen to");
    return -1;
  }
  text_copy(d->host_api_name, entry.jack ? "JACK" : host_label(entry.host_type, host_name_of(entry.input_device)));
  text_copy(d->device_name, entry.jack ? entry.jack_client : info->name);
  if (!(d->stream_rate > 0))
    d->stream_rate = d->requested_rate > 0 ? d->requested_rate : entry.default_rate > 0 ? entry.default_rate
                                                                                        : kFallbackRate;
  const int device_channels = entry.jack ? entry.input_channels : info->maxInputChannels;
  const int n = std::clamp(device_channels, 0, kMaxInputChannels);
  if (open_stream(e, entry, n) != 0) {
    if (n < 3) return -1;
    log_line("%d inputs refused - opening the first pair", n);
    if (open_stream(e, entry, 2) != 0) return -1;
  }
  if (d->mixer && d->mixer->bind) bind_mixer(e, entry, device_channels);
  text_copy(d->chosen, entry.name);
  if (d->stream_jack) {
    d->latency_ms = 1000.0 * jack_stream_latency(static_cast<const JackStream*>(d->stream));
  } else {
    const PaStreamInfo* si = Pa_GetStreamInfo(static_cast<PaStream*>(d->stream));
    d->latency_ms = si ? 1000.0 * (si->inputLatency + (d->duplex ? si->outputLatency : 0.0))
                       : 2000.0 * d->buffer_frames / d->stream_rate;
  }
  return 0;
}

void engine_refresh_devices(CaptureEngine* e) {
  EngineDevice* d = &e->dev;
  if (!d->pa_ready) return;
  char current[128] = "";
  if (d->selected >= 0 && d->selected < d->count) text_copy(current, d->list[d->selected].name);
  d->count = 0;
  build_device_list(d);
  d->selected = -1;
  for (int k = 0; k < d->count; ++k)
    if (current[0] && strcmp(d->list[k].name, current) == 0) d->selected = k;
  for (int& t : d->tried) t = 0;
}

int engine_create(CaptureEngine* e, int buffer_frames, int addressable_minutes, const char* wanted_device,
                  double requested_rate, int exclusive, bool allow_fallback) {
  zero_engine(e);
  EngineDevice* d = &e->dev;
  text_copy(d->wanted, wanted_device ? wanted_device : "");
  d->addressable_minutes = addressable_minutes;
  d->requested_rate = requested_rate > 0 ? requested_rate : 0;
  d->exclusive = exclusive;
  d->buffer_frames = std::max(buffer_frames, kMinBufferFrames);
  if (pa_up(e) != 0) return -1;
  if (open_with_fallback(e, allow_fallback) != 0) return -1;
  const double rate = d->stream_rate;
  if (tape_create(&e->tape, kTapeChunkSeconds, addressable_minutes, kTapeSpareTarget, rate) != 0) return -1;
  log_line("tape: %.0f h addressable, %d chunks resident cap", double(addressable_minutes) / 60.0,
           e->tape.resident_cap);
  const int channels = e->input_channels;
  if (capture_engine_init(e, rate) != 0) return -1;
  e->input_channels = channels;
  log_input(e);
  return 0;
}

int engine_start(CaptureEngine* e) {
  tape_maintain(&e->tape, e->write_head.load(), kTapeAhead);
  tape_thread_start(&e->tape, &e->write_head, e->sample_rate);
  if (start_stream(e) != 0) return -1;
  log_line("engine started");
  return 0;
}

void engine_destroy(CaptureEngine* e) {
  e->running.store(0, std::memory_order_release);
  tape_thread_stop(&e->tape);
  close_stream(e);
  pa_down(e);
  zero_engine(e);
}

int change_rate(CaptureEngine* e, double rate) {
  if (!(rate > 0) || rate == e->sample_rate) return 0;
  if (e->write_head.load() > 0 || e->takes_opened.load() > 0) return 1;
  EngineDevice keep = e->dev;
  char wanted[128];
  text_copy(wanted, keep.selected >= 0 && keep.selected < keep.count ? keep.list[keep.selected].name : keep.wanted);
  const InputHook* hook = e->input_hook.load();
  const OutputTap* tap = e->output_tap.load();
  const InputsMixer* mixer = e->inputs_mixer.load();
  const double old_rate = e->sample_rate;
  auto restore_plugins = [&] {
    e->input_hook = hook, e->output_tap = tap, e->inputs_mixer = mixer;
    e->dev.mixer = keep.mixer;
  };
  engine_destroy(e);
  e->dev.mixer = keep.mixer;
  if (engine_create(e, keep.buffer_frames, keep.addressable_minutes, wanted, rate, keep.exclusive, false) == 0) {
    restore_plugins();
    if (engine_start(e) == 0) {
      log_line("rate -> %.0f Hz", e->sample_rate);
      return 0;
    }
  }
  log_line("rate %.0f Hz refused - restoring %.0f Hz", rate, old_rate);
  engine_destroy(e);
  e->dev.mixer = keep.mixer;
  if (engine_create(e, keep.buffer_frames, keep.addressable_minutes, wanted, old_rate, keep.exclusive, true) == 0) {
    restore_plugins();
    if (engine_start(e) == 0) return -1;
  } else {
    restore_plugins();
  }
  // Neither rate runs: the engine is down and the watchdog builds it again when it can.
  close_stream(e);
  e->dev.requested_rate = old_rate;
  text_copy(e->dev.chosen, wanted);
  log_line("stream reopen FAILED - audio is DOWN");
  return -2;
}

int change_buffer(CaptureEngine* e, int frames) {
  frames = std::max(frames, kMinBufferFrames);
  EngineDevice* d = &e->dev;
  if (d->stream && d->stream_jack) {
    log_line("buffer: the JACK server sets the period (%d frames) - nothing changed", d->period_frames);
    return -3;
  }
  if (frames == d->buffer_frames) return 0;
  const int old = d->buffer_frames;
  close_stream(e);
  d->buffer_frames = frames;
  if (open_selected_device(e) == 0 && start_stream(e) == 0) {
    log_line("buffer %d frames (%.1f ms)", frames, frames * 1000.0 / e->sample_rate);
    return 0;
  }
  close_stream(e);
  d->buffer_frames = old;
  if (open_selected_device(e) == 0 && start_stream(e) == 0) {
    log_line("buffer %d refused - staying at %d frames", frames, old);
    return -1;
  }
  close_stream(e);
  log_line("stream reopen FAILED - audio is DOWN");
  return -2;
}

int change_device(CaptureEngine* e, int index) {
  EngineDevice* d = &e->dev;
  if (index < 0 || index >= d->count || index == d->selected) return 0;
  const int old = d->selected;
  close_stream(e);
  d->selected = index;
  if (open_selected_device(e) == 0 && start_stream(e) == 0) {
    log_line("device -> %s", d->list[index].name);
    return 0;
  }
  log_line("device '%s' failed to open - reverting", d->list[index].name);
  close_stream(e);
  d->selected = old;
  // The device to come back to is the old one, also when it will not open now: the watchdog
  // retries by this name.
  if (old >= 0 && old < d->count) text_copy(d->chosen, d->list[old].name);
  if (open_selected_device(e) != 0 || start_stream(e) != 0) {
    close_stream(e);
    log_line("stream reopen FAILED - audio is DOWN");
  }
  return -1;
}

namespace {

// An engine whose rate change and revert both failed has no tape and no buffers: it is built
// again at the rate it last ran, on the device it last had, with its plug-ins kept.
int rebuild_engine(CaptureEngine* e) {
  const EngineDevice keep = e->dev;
  char name[128];
  text_copy(name, keep.chosen[0] ? keep.chosen : keep.wanted);
  engine_destroy(e);
  e->dev.mixer = keep.mixer;
  const bool built = engine_create(e, keep.buffer_frames, keep.addressable_minutes, name, keep.requested_rate,
                                   keep.exclusive, true) == 0;
  e->dev.mixer = keep.mixer;
  e->dev.list_signature = keep.list_signature;
  if (!built || engine_start(e) != 0) {
    // Stays down, and remembers what to try again in three seconds.
    engine_destroy(e);
    e->dev = keep;
    e->dev.stream = nullptr;
    e->dev.pa_ready = 0;
    return -1;
  }
  e->dev.rebuilds = keep.rebuilds + 1;
  log_line("audio engine built again at %.0f Hz on %s", e->sample_rate, e->dev.device_name);
  return 0;
}

}  // namespace

int reopen_stream(CaptureEngine* e) {
  EngineDevice* d = &e->dev;
  if (!e->delay || !e->tape.chunks) return rebuild_engine(e);
  close_stream(e);
  // PortAudio lists devices once, when it starts: set it up afresh so a device or server that
  // went away and came back is seen, and find the chosen entry again by its name, by its name
  // without the ALSA card number (a replugged interface gets another), or else the best one.
  char name[128], bare[128], other[128];
  text_copy(name, d->chosen[0] ? d->chosen : d->wanted);
  device_name_without_card(name, bare, sizeof bare);
  pa_down(e);
  if (pa_up(e) != 0) return -1;
  d->count = 0;
  build_device_list(d);
  for (int& t : d->tried) t = 0;
  d->selected = -1;
  for (int k = 0; k < d->count && d->selected < 0; ++k)
    if (strcmp(d->list[k].name, name) == 0) d->selected = k;
  for (int k = 0; k < d->count && d->selected < 0; ++k) {
    device_name_without_card(d->list[k].name, other, sizeof other);
    if (strcmp(other, bare) == 0) d->selected = k;
  }
  if (d->selected < 0 && d->count > 0 && !d->reopen_fallback_logged) {
    log_line("device '%s' not found - falling back", name);
    d->reopen_fallback_logged = 1;
  }
  if (d->selected < 0) {
    int score = -1;
    d->selected = best_entry(d, &score);
    if (d->selected < 0) return -1;
  }
  // The stream rate stays: the tape holds audio at that rate.
  if (open_selected_device(e) != 0 || start_stream(e) != 0) {
    close_stream(e);
    return -1;
  }
  d->reopen_fallback_logged = 0;
  log_line("stream reopened on %s", d->device_name);
  return 0;
}

int resume_session(CaptureEngine* e, int64_t a, const int64_t* take_starts, int count, const float* overview,
                   int value_count) {
  if (e->armed.load() || e->write_head.load() > 0 || a < 1 || count < 1) return -1;
  pause_stream(e);
  // The audio thread is stopped: its private state may be set from here.
  SealedTake dropped;
  while (engine_next_sealed_take(e, &dropped)) {
  }
  const int n = std::min(count, kMaxTakeStarts);
  for (int i = 0; i < n; ++i) e->take_starts[i] = take_starts[i];
  e->take_start_count = n;
  e->opened = e->closed = n;
  e->head = e->playhead = a;
  e->record_gain = 0;
  e->rec = 0;
  e->gate = 0;
  e->take_start = 0;
  e->crossing_count = 0;
  e->extra_frames = 0;
  e->above_line = 0;
  e->quiet_count = kQuietForever;
  e->above_count = 0;
  int64_t bucket = kOverviewStartBucket;
  if (a >= int64_t(kOverviewBuckets) * kOverviewStartBucket)
    while (a / bucket > kOverviewBuckets - 1) bucket *= 2;
  e->overview_bucket.store(bucket);
  const int64_t used = std::min<int64_t>(a / bucket + 1, kOverviewBuckets);
  for (int64_t j = 0; j < kOverviewBuckets; ++j) {
    float v = 0.0f;
    if (j < used && overview && value_count > 0)
      v = overview[std::min<int64_t>(j * value_count / used, value_count - 1)];
    e->overview[j].store(v);
  }
  e->write_head.store(a, std::memory_order_release);
  e->play_head.store(a);
  e->takes_opened.store(n);
  e->takes_closed.store(n);
  e->recording.store(0);
  e->gate_open.store(0);
  e->tape.release_point.store(a, std::memory_order_release);
  // The allocation thread runs on while the stream is paused; only it maintains the tape.
  tape_maintain_now(&e->tape, a);
  const int result = resume_stream(e);
  log_line("resumed session: %d takes, %.1f s", n, double(a) / e->sample_rate);
  return result;
}

void watchdog_start(Watchdog* w, const CaptureEngine* e, uint32_t now_ms) {
  *w = Watchdog{};
  w->last_frames = engine_frames_delivered(e);
  w->last_change_ms = now_ms;
}

WatchdogEvent watchdog_poll(Watchdog* w, CaptureEngine* e, uint32_t now_ms, int armed) {
  // A JACK stream whose server went away is let go at once: closing it later, after a new
  // server has started, would touch state libjack has already reused.
  if (e->dev.stream && e->dev.stream_jack && jack_stream_server_gone(static_cast<const JackStream*>(e->dev.stream)))
    close_stream(e);
  const int64_t frames = engine_frames_delivered(e);
  if (frames != w->last_frames) {
    w->last_frames = frames;
    w->last_change_ms = now_ms;
    if (w->down) {
      w->down = 0;
      status_message("AUDIO BACK - %s%s", e->dev.device_name, armed ? " - LISTENING" : "");
      log_line("audio back on %s", e->dev.device_name);
      return WatchdogEvent::kCameBack;
    }
    return WatchdogEvent::kNone;
  }
  if (!w->down) {
    if (uint32_t(now_ms - w->last_change_ms) > kWatchdogDownMs) {
      w->down = 1;
      w->last_attempt_ms = now_ms;
      status_flash("AUDIO DOWN - CHECK INPUT DEVICE");
      log_line("audio down: no frames for 500 ms on %s", e->dev.device_name);
      return WatchdogEvent::kWentDown;
    }
    return WatchdogEvent::kNone;
  }
  if (uint32_t(now_ms - w->last_attempt_ms) > kWatchdogRetryMs) {
    w->last_attempt_ms = now_ms;
    const int rebuilds = e->dev.rebuilds;
    if (reopen_stream(e) != 0) return WatchdogEvent::kReopenFailed;
    if (e->dev.rebuilds == rebuilds) return WatchdogEvent::kReopened;
    w->last_frames = -1;  // a new engine counts from 0: any count is a change
    return WatchdogEvent::kRebuilt;
  }
  return WatchdogEvent::kNone;
}
