// JACK streams through libjack itself: the capture routine runs in our own JACK client "tolm"
// with ports in_1..in_N (and out_1, out_2 for the monitor), connected to the chosen device's
// ports. A server that dies leaves a client that closes at once, so the device can be reopened
// when the server comes back. Main thread, except the process callback (JACK's thread).
#pragma once
#include <cstddef>

struct CaptureEngine;

constexpr int kMaxJackDevices = 16;

struct JackDeviceInfo {
  char client[64];   // JACK client whose ports form the device ("system")
  int inputs;        // its output ports: what we can record
  int outputs;       // its input ports: where the monitor can play
  double rate;       // the server's rate
};

// Lists the JACK clients that offer audio (not counting our own). Returns how many, 0 when no
// server runs.
int jack_list_devices(JackDeviceInfo* out, int cap);

struct JackStream;

// Opens our client with `inputs` ports fed from the device's first outputs and, when duplex, a
// stereo output to its first two inputs. rate must be the server's (0 takes it). On failure
// returns -1 with a reason in err.
int jack_stream_open(const char* device_client, int inputs, bool duplex, double rate, CaptureEngine* engine,
                     JackStream** out, char* err, size_t err_cap);
int jack_stream_start(JackStream* s, char* err, size_t err_cap);  // activate and connect
void jack_stream_close(JackStream* s);                            // stop and free; quick after a server death
double jack_stream_rate(const JackStream* s);
int jack_stream_period(const JackStream* s);  // the server's frames per period
// Keeps libjack's own messages off stderr (refusals are reported by the caller). Main thread.
void jack_quiet_messages();
// True once the server has shut down under the stream. Such a stream must be closed before any
// other JACK client of this process connects again (libjack shares state between them).
bool jack_stream_server_gone(const JackStream* s);
// The names of the device ports feeding our inputs, one per input (at most count): the port's
// pretty name when a client set one, else its short name ("capture_3"). The drivers' aliases are
// not used: they carry card numbers ("alsa_pcm:hw:1:out3") that change when the device is plugged
// in again. Main thread.
void jack_stream_input_names(const JackStream* s, char (*out)[64], int count);
// Round-trip latency in seconds as the server reports it (capture + our period, plus playback
// when duplex).
double jack_stream_latency(const JackStream* s);
