#include "tests/kit/kit_fixtures.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "kit/audio_file.h"

std::string le16(uint32_t v) { return std::string{char(v & 0xFF), char((v >> 8) & 0xFF)}; }

std::string le32(uint32_t v) { return le16(v & 0xFFFF) + le16(v >> 16); }

std::string chunk_sized(const char* id, uint32_t size, const std::string& payload) {
  return std::string(id, 4) + le32(size) + payload;
}

std::string chunk(const char* id, const std::string& payload) {
  std::string c = chunk_sized(id, uint32_t(payload.size()), payload);
  if (payload.size() % 2) c += '\0';
  return c;
}

std::string riff(const std::string& chunks) { return "RIFF" + le32(uint32_t(chunks.size() + 4)) + "WAVE" + chunks; }

std::string fmt_payload(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
  const uint32_t align = channels * ((bits + 7) / 8);
  return le16(tag) + le16(channels) + le32(rate) + le32(rate * align) + le16(align) + le16(bits);
}

std::string extensible_payload(uint16_t guid_tag, uint16_t channels, uint32_t rate, uint16_t bits,
                               bool standard_guid) {
  std::string p = fmt_payload(0xFFFE, channels, rate, bits) + le16(22) + le16(bits) + le32(0);
  p += le16(guid_tag) + le16(0) + le16(0) + le16(0x10);
  p += std::string("\x80\x00\x00\xAA\x00\x38\x9B\x71", 8);
  if (!standard_guid) p[p.size() - 1] = 0x72;
  return p;
}

std::string pcm16(std::initializer_list<int16_t> values) {
  std::string s;
  for (int16_t v : values) s += le16(uint16_t(v));
  return s;
}

bool run_ffmpeg(const std::string& args) {
  std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y " + args + " </dev/null 2>/dev/null";  // stdout stays free for "pipe: > file"
  return std::system(cmd.c_str()) == 0;
}

bool make_stereo_sine(const std::string& path, const std::string& codec_args, int rate, double seconds) {
  char graph[256];
  snprintf(graph, sizeof graph,
           "sine=frequency=440:sample_rate=%d:duration=%g[a];sine=frequency=660:sample_rate=%d:duration=%g[b];"
           "[a][b]amerge=inputs=2",
           rate, seconds, rate, seconds);
  return run_ffmpeg(std::string("-filter_complex \"") + graph + "\" " + codec_args + " \"" + path + "\"");
}

double pitch_hz(const AudioBuffer& b, int channel) {
  // Upward passes through +h after the signal was below -h, so codec noise near zero cannot add
  // passes of its own; over the middle three quarters, away from codec start-up and fade-out.
  const float h = 0.25f * peak_of(b, channel);
  int64_t first = -1, last = -1, passes = 0;
  bool armed = false;
  for (int64_t f = b.frames / 8; f < b.frames * 7 / 8; f++) {
    const float v = b.samples[f * b.channels + channel];
    if (v < -h) armed = true;
    if (armed && v >= h) {
      armed = false;
      if (first < 0) first = f;
      last = f;
      passes++;
    }
  }
  if (passes < 2) return 0.0;
  return double(passes - 1) * b.sample_rate / double(last - first);
}

float peak_of(const AudioBuffer& b, int channel) {
  float m = 0.0f;
  for (int64_t f = 0; f < b.frames; f++) m = std::fmax(m, std::fabs(b.samples[f * b.channels + channel]));
  return m;
}

double rms_of_middle(const AudioBuffer& b, int channel) {
  double sum = 0.0;
  const int64_t from = b.frames / 4, to = b.frames * 3 / 4;
  for (int64_t f = from; f < to; f++) sum += double(b.samples[f * b.channels + channel]) * b.samples[f * b.channels + channel];
  return to > from ? std::sqrt(sum / double(to - from)) : 0.0;
}

Loaded::~Loaded() { free_audio_buffer(&b); }

int Loaded::load(const std::string& path) {
  free_audio_buffer(&b);
  return read_audio_file(path.c_str(), &b, nullptr, msg, sizeof msg);
}
