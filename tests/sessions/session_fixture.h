// A recorder on a real capture engine fed by hand, with HOME (and so the music folder) in a fresh
// temporary folder, a clock the test sets and an end-of-session wait that feeds silence through
// the engine the way the audio thread would (or, with audio_runs off, nothing: a stopped device).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sessions/recorder.h"
#include "tests/capture/engine_fixture.h"
#include "tests/support/temp_dir.h"

struct RecorderRig {
  TempDir home;
  EnginePtr engine;
  std::unique_ptr<Recorder> rec;
  int64_t now = 0;         // the recorder's clock, seconds since 1970
  bool audio_runs = true;  // the wait in end_session lets the engine process blocks
  uint32_t noise = 1;      // deterministic noise for bursts

  explicit RecorderRig(double rate = 48000);
  std::string music() const { return home.path + "/Music"; }
  std::string write_folder() const { return music() + "/tolm"; }
  std::string session_folder() const { return rec->session.folder; }

  // One take: `frames` of noise at 0.5, then quiet until the gate has closed and the take sealed.
  // Returns the take as the engine sealed it (collected into the take list).
  TakeEntry record_take(int64_t frames = 4800);
  // Feeds quiet frames (the engine runs, nothing is recorded unless the gate is held).
  void quiet(int64_t frames);
  // The tape frames of a take, as they stand now.
  std::vector<float> tape(const TakeEntry& t) const;
};

// "tolm-%H%M%S.wav" of a local time: the name a take starting then gets.
std::string stamp_name(int64_t t);

// Seconds since 1970 of a local date and time.
int64_t local_seconds(int year, int month, int day, int hour, int minute, int second);

// The samples a take file holds for tape samples, read back as read_wav scales them.
std::vector<float> quantized16(const std::vector<float>& tape);

// Interleaved stereo samples of a WAV file through read_wav (empty when it does not read).
std::vector<float> wav_samples(const std::string& path, double* rate = nullptr);

// Whole-file bytes.
std::vector<uint8_t> file_bytes(const std::string& path);

// True when a log line of this run contains the text.
bool logged(const std::string& text);

// The status line's text.
std::string status_text();

// Names of the entries of a folder, sorted.
std::vector<std::string> folder_names(const std::string& path);

// Writes a PCM or float WAV from interleaved samples (format 1: 16/24/32-bit, 3: float).
void write_wav_file(const std::string& path, int format, int channels, int rate, int bits,
                    const std::vector<double>& samples);
