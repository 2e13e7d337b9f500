// The device fields of the capture engine: the list of input devices, the choice, the stream
// and its settings. Main thread only.
#pragma once
#include <cstdint>

constexpr int kMaxDevices = 32;
constexpr int kMaxInputChannels = 64;
constexpr int kMinBufferFrames = 32;

struct DeviceEntry {
  char name[128];        // "%s [JACK]" or "%s [<host API>]"
  int input_device;      // PortAudio index (-1 for a JACK device)
  int output_device;     // PortAudio index, -1 = none
  int jack;              // a JACK client's ports: all inputs, the server's period
  char jack_client[64];  // that client's name
  int input_channels;
  double default_rate;
  int host_default;      // its host API's default input device
  int host_type;         // PortAudio host API type id
};

struct MixerBinding;

struct EngineDevice {
  DeviceEntry list[kMaxDevices];
  int count;
  int selected;            // -1 = none chosen yet
  int tried[kMaxDevices];  // entries that would not open during start-up fallback
  char wanted[128];        // the `device` setting
  char device_name[128];   // name of the input in use
  char chosen[128];        // list name of the entry last opened, kept across failed reopens
  char host_api_name[32];
  char failed_device[128]; // the device that would not open at start-up
  int buffer_frames;       // asked for (the setting); JACK ignores it
  int period_frames;       // frames per callback of the open stream: the JACK server's period on JACK
  double requested_rate;   // 0 = the device's own
  double stream_rate;      // rate of the open stream; 0 = none chosen yet
  int exclusive;           // direct hardware access asked for
  int exclusive_active;    // the open stream has it
  int duplex;              // the open stream has an output
  double latency_ms;
  int addressable_minutes;
  int pa_ready;            // PortAudio initialised by this engine
  void* stream;            // PaStream*, or JackStream* when stream_jack
  int stream_jack;
  const MixerBinding* mixer;
  uint64_t list_signature;    // the device list last logged
  int reopen_fallback_logged; // "not found - falling back" said once while the device is away
  int rebuilds;               // times the engine was built again after losing its buffers
};
