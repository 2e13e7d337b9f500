// Test fixtures for the audio file reader: WAV files spelled out byte by byte, compressed files
// made by the ffmpeg command line at test time, and measurements of decoded audio.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>

#include "kit/audio_buffer.h"

// Little-endian fields and RIFF chunks (odd payloads get their pad byte).
std::string le16(uint32_t v);
std::string le32(uint32_t v);
std::string chunk(const char* id, const std::string& payload);
std::string chunk_sized(const char* id, uint32_t size, const std::string& payload);  // size field as given
std::string riff(const std::string& chunks);
// A 16-byte "fmt " payload.
std::string fmt_payload(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits);
// A 40-byte extensible "fmt " payload; guid_tag is the sub-format's first field, standard tail.
std::string extensible_payload(uint16_t guid_tag, uint16_t channels, uint32_t rate, uint16_t bits,
                               bool standard_guid = true);
std::string pcm16(std::initializer_list<int16_t> values);

// Runs the ffmpeg command line with the given arguments (quiet, overwriting); true on success.
bool run_ffmpeg(const std::string& args);
// A two-channel file of sines (440 Hz left, 660 Hz right, amplitude 1/8) made with the codec
// arguments given, e.g. "-c:a libmp3lame -b:a 128k".
bool make_stereo_sine(const std::string& path, const std::string& codec_args, int rate = 48000,
                      double seconds = 1.0);

// Frequency of one channel from its zero crossings (with hysteresis) in the middle of the buffer.
double pitch_hz(const AudioBuffer& b, int channel);
// Largest absolute sample of one channel, and the RMS of its middle half (away from codec
// start-up and padding).
float peak_of(const AudioBuffer& b, int channel);
double rms_of_middle(const AudioBuffer& b, int channel);

// A buffer that frees itself.
struct Loaded {
  AudioBuffer b{};
  char msg[96] = "";
  ~Loaded();
  int load(const std::string& path);
};
