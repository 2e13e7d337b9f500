// The chop: the cut's edges (hold, merging, clamping, the take limit), files read through the
// worker (shortest, too short, bad, failing and compressed), the memo, a whole run into a reference
// session, cancelling and replacing a read (a stalled one too), the envelope's memory, the view's
// texts and columns, and the open dialog through fake dialog programs on PATH.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "config/status.h"
#include "library/chop.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/system.h"
#include "sessions/library_scan.h"
#include "tests/kit/kit_fixtures.h"
#include "tests/sessions/session_fixture.h"

namespace {

// Threshold -40 dB (0.01), exit line on it, unit gain; hold, pre-roll and post-roll as given.
TriggerPositions positions(float hold = 0.0f, float pre = 0.0f, float post = 0.0f) {
  TriggerPositions p{};
  p.threshold = 0.5f;
  p.exit = 0.5f;
  p.gain = 0.5f;
  p.hold = hold;
  p.pre_roll = pre;
  p.post_roll = post;
  return p;
}

ChopCut plain_cut(int hold, int pre, int post) { return ChopCut{0.5f, 0.5f, 1.0f, hold, pre, post}; }

std::vector<ChopTake> cut(const std::vector<float>& env, const ChopCut& c, int cap = kChopMaxTakes) {
  std::vector<ChopTake> t(size_t(cap) + 1);
  t.resize(size_t(cut_envelope(env.data(), int(env.size()), c, t.data(), cap)));
  return t;
}

// Waits for the worker's result, polling the way the main loop does.
ChopState settle(ChopJob* job) {
  for (int i = 0; i < 3000 && chop_state(job) == kChopReading; ++i) {
    chop_poll(job);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  chop_poll(job);
  return chop_state(job);
}

// Heap bytes in use, as the sanitizer runtime counts them (0 without one).
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));
size_t allocated_bytes() { return __sanitizer_get_current_allocated_bytes ? __sanitizer_get_current_allocated_bytes() : 0; }

void make_executable(const std::string& path, const std::string& text) {
  write_text(path, text);
  chmod(path.c_str(), 0755);
}

// Stereo 48 kHz float WAV, silent but for 1 kHz bursts of 0.5 (right channel only) over the given
// frame ranges.
void write_bursts(const std::string& path, int64_t frames, const std::vector<std::pair<int64_t, int64_t>>& bursts) {
  std::vector<double> s(size_t(frames) * 2, 0.0);
  for (auto [a, b] : bursts)
    for (int64_t i = a; i < b; ++i) s[size_t(2 * i + 1)] = 0.5 * std::sin(2 * M_PI * double(i) / 48.0 + 0.3);
  write_wav_file(path, 3, 2, 48000, 32, s);
}

}  // namespace

TEST(ChopCut, HoldMergingClampingAndTheTakeLimit) {
  // Positions map as live recording does; look-back and scale play no part.
  TriggerPositions p = positions(0.5f, 0.25f, 0.25f);
  ChopCut c = chop_cut_from_positions(p);
  EXPECT_FLOAT_EQ(c.threshold, 0.01f);
  EXPECT_FLOAT_EQ(c.exit_level, 0.01f);
  EXPECT_FLOAT_EQ(c.gain, 1.0f);
  EXPECT_EQ(c.hold_ms, 125);
  EXPECT_EQ(c.pre_roll_ms, 125);
  EXPECT_EQ(c.post_roll_ms, 250);
  p.exit = 1.0f;
  EXPECT_FLOAT_EQ(chop_cut_from_positions(p).exit_level, 0.01f * std::pow(10.0f, 1.2f));

  // Over the line for exactly H blocks: nothing; for H + 1: a take of exactly the loud blocks.
  std::vector<float> env(100, 0.0f);
  for (int j = 40; j < 45; ++j) env[size_t(j)] = 1.0f;
  EXPECT_TRUE(cut(env, plain_cut(5, 0, 0)).empty());
  env[45] = 1.0f;
  auto t = cut(env, plain_cut(5, 0, 0));
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].start, 40);
  EXPECT_EQ(t[0].end, 46);
  // A one-block click with no hold and no rolls is a one-block take, not lost.
  std::vector<float> click(20, 0.0f);
  click[7] = 0.6f;
  t = cut(click, plain_cut(0, 0, 0));
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].start, 7);
  EXPECT_EQ(t[0].end, 8);
  // A dip under the line that stays over the exit line keeps the gate open.
  std::vector<float> dip(60, 0.0f);
  for (int j = 10; j < 30; ++j) dip[size_t(j)] = j >= 15 && j < 20 ? 0.3f : 1.0f;
  ChopCut low_exit = plain_cut(0, 0, 0);
  low_exit.exit_level = 0.25f;
  t = cut(dip, low_exit);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].end, 30);
  EXPECT_EQ(cut(dip, plain_cut(0, 0, 0)).size(), 2u);

  // Neighbours closer than pre-roll + post-roll merge; further apart they stay two.
  std::vector<float> two(400, 0.0f);
  two[100] = two[130] = 1.0f;
  t = cut(two, plain_cut(0, 10, 20));
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].start, 90);
  EXPECT_EQ(t[0].end, 151);
  two[130] = 0.0f;
  two[132] = 1.0f;
  EXPECT_EQ(cut(two, plain_cut(0, 10, 20)).size(), 2u);

  // Pre-roll before the start clamps to 0; post-roll past the end clamps to the last block.
  std::vector<float> edges(50, 0.0f);
  edges[2] = edges[48] = 1.0f;
  t = cut(edges, plain_cut(0, 10, 10));
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].start, 0);
  EXPECT_EQ(t[0].end, 13);
  EXPECT_EQ(t[1].start, 38);
  EXPECT_EQ(t[1].end, 50);
  // Still loud at the last block: the open gate closes there.
  edges[49] = 1.0f;
  EXPECT_EQ(cut(edges, plain_cut(0, 0, 0)).back().end, 50);

  // 513 clicks: the first 512 are takes, the 513th is dropped.
  std::vector<float> many(513 * 4, 0.0f);
  for (int i = 0; i < 513; ++i) many[size_t(i) * 4 + 1] = 1.0f;
  t = cut(many, plain_cut(0, 0, 0));
  ASSERT_EQ(t.size(), size_t(kChopMaxTakes));
  EXPECT_EQ(t[511].start, 511 * 4 + 1);
}

TEST(Chop, ShortestFileChopsAndShorterIsTooShort) {
  RecorderRig rig;
  auto job = std::make_unique<ChopJob>();
  // 440 frames at 44.1 kHz: ten blocks of 44; each block's peak over both channels and signs.
  std::vector<double> s(880, 0.0);
  for (int b = 0; b < 10; ++b) s[size_t((b * 44 + 7) * 2 + (b & 1))] = (b & 2 ? -1 : 1) * (b + 1) / 16.0;
  const std::string path = rig.home.file("short.wav");
  write_wav_file(path, 3, 2, 44100, 32, s);
  Settings settings{};
  settings.hud_mode = 2;
  ASSERT_EQ(open_for_chop(job.get(), &settings, path.c_str()), 0);
  EXPECT_EQ(job->mode, 1);
  EXPECT_EQ(settings.hud_mode, 0);
  ASSERT_EQ(settle(job.get()), kChopReady);
  EXPECT_FALSE(job->thread.joinable());  // the poll has waited for the finished worker
  EXPECT_EQ(job->block_frames, 44);
  EXPECT_EQ(job->block_count, 10);
  EXPECT_EQ(job->sample_rate, 44100);
  EXPECT_EQ(job->total_frames, 440);
  for (int b = 0; b < 10; ++b) EXPECT_FLOAT_EQ(job->envelope[b], (b + 1) / 16.0f) << b;

  // The view's columns: wider than the envelope, every column shows at least one block; narrower,
  // each the peak of its share. Cached until the width changes.
  const float* col = chop_columns(job.get(), 20);
  ASSERT_NE(col, nullptr);
  EXPECT_FLOAT_EQ(col[0], 1 / 16.0f);
  EXPECT_FLOAT_EQ(col[19], 10 / 16.0f);
  col = chop_columns(job.get(), 4);  // blocks [0,2) [2,5) [5,7) [7,10)
  EXPECT_FLOAT_EQ(col[0], 2 / 16.0f);
  EXPECT_FLOAT_EQ(col[1], 5 / 16.0f);
  EXPECT_FLOAT_EQ(col[2], 7 / 16.0f);
  EXPECT_FLOAT_EQ(col[3], 10 / 16.0f);
  job->columns[0] = -1.0f;
  EXPECT_FLOAT_EQ(chop_columns(job.get(), 4)[0], -1.0f);
  EXPECT_FLOAT_EQ(chop_columns(job.get(), 5)[0], 2 / 16.0f);

  // Forty frames hold no whole block.
  const std::string tiny = rig.home.file("tiny.wav");
  write_wav_file(tiny, 3, 2, 44100, 32, std::vector<double>(80, 0.5));
  ASSERT_EQ(open_for_chop(job.get(), nullptr, tiny.c_str()), 0);
  ASSERT_EQ(settle(job.get()), kChopFailed);
  EXPECT_STREQ(job->message, "TOO SHORT TO CHOP");
  EXPECT_EQ(status_text(), "TOO SHORT TO CHOP");
  EXPECT_EQ(job->envelope, nullptr);
  EXPECT_EQ(chop_columns(job.get(), 10), nullptr);
  char text[kChopTextBytes];
  EXPECT_FALSE(chop_make_button(job.get(), text, sizeof text));
  EXPECT_STREQ(text, "NOTHING OVER THE LINE");
  leave_chop(job.get());
  EXPECT_EQ(job->mode, 0);
}

TEST(Chop, BadFilesEndInTheReadersMessage) {
  RecorderRig rig;
  auto job = std::make_unique<ChopJob>();
  struct Case {
    std::string name, bytes, view, foot;
  };
  std::string binary;
  for (int i = 0; i < 4000; ++i) binary += char((i * 7919) >> 3);
  const std::string fmt = chunk("fmt ", fmt_payload(1, 2, 48000, 16));
  const std::vector<Case> cases = {
      {"empty.wav", "", "TOLM CAN'T READ THAT KIND OF FILE", "COULDN'T READ THAT FILE"},
      {"cut.wav", riff(fmt + chunk_sized("data", 48000, "\x01")), "COULDN'T READ IT", "TRUNCATED"},
      {"binary.mp3", binary, "TOLM CAN'T READ THAT KIND OF FILE", "COULDN'T READ THAT FILE"},
      {"binary.flac", "fLaC" + binary, "TOLM CAN'T READ THAT KIND OF FILE", "COULDN'T READ THAT FILE"},
      // A header claiming four billion frames a second: read, but no rate a session can name.
      {"rate.wav", riff(chunk("fmt ", fmt_payload(1, 1, 0xFFFFFFFFu, 16)) + chunk("data", pcm16({1000, -1000}))),
       "COULDN'T READ IT", "COULDN'T READ IT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_text(rig.home.file(c.name), c.bytes);
    status_clear();
    ASSERT_EQ(open_for_chop(job.get(), nullptr, rig.home.file(c.name).c_str()), 0);
    ASSERT_EQ(settle(job.get()), kChopFailed);
    EXPECT_EQ(job->message, c.view);
    EXPECT_EQ(status_text(), c.foot);
    EXPECT_EQ(job->envelope, nullptr);
  }
  // The log names the rate the header claimed.
  EXPECT_TRUE(logged("chop: " + rig.home.file("rate.wav") + " has a sample rate of 4294967295"));
  ASSERT_EQ(open_for_chop(job.get(), nullptr, rig.home.file("gone.wav").c_str()), 0);
  ASSERT_EQ(settle(job.get()), kChopFailed);
  EXPECT_EQ(job->read_result, -1);
  EXPECT_EQ(status_text(), "FILE NOT FOUND");
  // A read that fails half-way through (a failing stick) is no shorter file to chop.
  const std::string walk = rig.home.file("walk.wav");
  write_bursts(walk, 480000, {{48000, 72000}});
  file_fault_set(FileFault::kRead, 20, -1);
  ASSERT_EQ(open_for_chop(job.get(), nullptr, walk.c_str()), 0);
  EXPECT_EQ(settle(job.get()), kChopFailed);
  file_fault_clear();
  EXPECT_STREQ(job->message, "COULDN'T READ IT");
  EXPECT_EQ(status_text(), "COULDN'T READ THAT FILE");

  // A cut-off MP3 ends one way or the other, never hangs or crashes.
  const std::string mp3 = rig.home.file("whole.mp3");
  ASSERT_TRUE(make_stereo_sine(mp3, "-c:a libmp3lame -b:a 128k"));
  std::string bytes = read_text(mp3);
  write_text(rig.home.file("half.mp3"), bytes.substr(0, 700));
  ASSERT_EQ(open_for_chop(job.get(), nullptr, rig.home.file("half.mp3").c_str()), 0);
  EXPECT_NE(settle(job.get()), kChopReading);

  // Refused before anything starts: no path, a kind the reader does not take, a path too long.
  leave_chop(job.get());
  status_clear();
  EXPECT_EQ(open_for_chop(job.get(), nullptr, ""), -1);
  EXPECT_EQ(status_text(), "");
  write_text(rig.home.file("notes.txt"), "RIFF");
  EXPECT_EQ(open_for_chop(job.get(), nullptr, rig.home.file("notes.txt").c_str()), -1);
  EXPECT_EQ(status_text(), "TOLM CAN'T READ THAT KIND OF FILE");
  EXPECT_EQ(open_for_chop(job.get(), nullptr, ("/" + std::string(300, 'a') + ".wav").c_str()), -1);
  EXPECT_EQ(status_text(), "THAT PATH IS TOO LONG");
  EXPECT_EQ(job->mode, 0);
  EXPECT_FALSE(job->thread.joinable());
}

TEST(Chop, CompressedFilesChopWhereTheToneIs) {
  RecorderRig rig;
  auto job = std::make_unique<ChopJob>();
  // 3 s at 44.1 kHz: silence, a tone from 1.0 to 2.0 s, silence.
  const char* graph =
      "-f lavfi -i \"sine=frequency=440:sample_rate=44100:duration=3,volume='between(t,1,2)':eval=frame\" -ac 2 ";
  const std::pair<const char*, const char*> codecs[] = {{"tone.flac", "-c:a flac"},
                                                        {"tone.mp3", "-c:a libmp3lame -b:a 192k"}};
  for (auto [name, codec] : codecs) {
    SCOPED_TRACE(name);
    const std::string file = rig.home.file(name);
    ASSERT_TRUE(run_ffmpeg(std::string(graph) + codec + " \"" + file + "\""));
    ASSERT_EQ(open_for_chop(job.get(), nullptr, file.c_str()), 0);
    ASSERT_EQ(settle(job.get()), kChopReady);
    EXPECT_EQ(job->sample_rate, 44100);
    EXPECT_EQ(job->block_frames, 44);
    cut_takes(job.get(), positions());
    ASSERT_EQ(job->take_count, 1);
    // Blocks of 44 frames: 1.0 s is block 1002; codecs may shift the tone by some milliseconds.
    EXPECT_NEAR(job->takes[0].start, 1002, 60);
    EXPECT_NEAR(job->takes[0].end, 2004, 60);
  }
}

TEST(Chop, CutFollowsTheLineAndIgnoresLookBack) {
  RecorderRig rig;
  auto job = std::make_unique<ChopJob>();
  const std::string path = rig.home.file("two.wav");
  std::vector<double> s(48000 * 2, 0.0);
  for (int i = 4800; i < 9600; ++i) s[size_t(2 * i)] = 0.5;    // loud
  for (int i = 24000; i < 28800; ++i) s[size_t(2 * i)] = 0.05; // soft
  write_wav_file(path, 3, 2, 48000, 32, s);
  ASSERT_EQ(open_for_chop(job.get(), nullptr, path.c_str()), 0);
  ASSERT_EQ(settle(job.get()), kChopReady);

  TriggerPositions p = positions();
  cut_takes(job.get(), p);
  ASSERT_EQ(job->take_count, 2);
  const int serial = job->cut_serial;
  cut_takes(job.get(), p);
  p.look_back = 1.0f;
  p.scale = 0.9f;
  cut_takes(job.get(), p);
  EXPECT_EQ(job->cut_serial, serial);  // nothing the cut depends on changed
  EXPECT_EQ(job->take_count, 2);
  p.threshold = 0.75f;  // -20 dB: only the loud burst
  cut_takes(job.get(), p);
  EXPECT_EQ(job->cut_serial, serial + 1);
  ASSERT_EQ(job->take_count, 1);
  EXPECT_EQ(job->takes[0].start, 100);
  EXPECT_EQ(job->takes[0].end, 200);
  EXPECT_DOUBLE_EQ(job->kept_seconds, 0.1);
  leave_chop(job.get());
  cut_takes(job.get(), p);  // nothing to cut once closed
  EXPECT_EQ(job->take_count, 0);
}

TEST(Chop, FullRunMakesReferenceSessionsOfTheBursts) {
  RecorderRig rig;
  auto job = std::make_unique<ChopJob>();
  const std::string path = rig.home.file("walk.wav");
  write_bursts(path, 480000, {{48000, 72000}, {192000, 201600}, {360000, 408000}});
  ASSERT_EQ(open_for_chop(job.get(), nullptr, path.c_str()), 0);
  char text[kChopTextBytes];
  ASSERT_EQ(settle(job.get()), kChopReady);

  // Over 0 dB nothing is cut: the session is refused and chop mode stays.
  TriggerPositions p = positions(0.0f, 0.25f, 0.25f);  // pre-roll 125 ms, post-roll 250 ms
  TriggerPositions deaf = p;
  deaf.threshold = 1.0f;
  char name[kRelativeNameBytes] = "x";
  EXPECT_EQ(make_session(job.get(), rig.rec.get(), deaf, name, sizeof name), -1);
  EXPECT_EQ(status_text(), "NOTHING OVER THE LINE");
  EXPECT_STREQ(name, "");
  EXPECT_FALSE(chop_make_button(job.get(), text, sizeof text));
  EXPECT_EQ(job->mode, 1);

  cut_takes(job.get(), p);
  EXPECT_TRUE(chop_make_button(job.get(), text, sizeof text));
  EXPECT_STREQ(text, "MAKE SESSION - 3 TAKES");
  chop_header_text(job.get(), text, sizeof text);
  EXPECT_STREQ(text, "3 TAKES   KEPT 2.8S OF 10.0S");  // 0.5 + 0.2 + 1.0 s of sound, 0.375 s of rolls each

  // A session that cannot be written: refused, nothing left behind, chop still ready.
  file_fault_set(FileFault::kCreate, 0, -1);
  EXPECT_EQ(make_session(job.get(), rig.rec.get(), p, name, sizeof name), -1);
  file_fault_clear();
  EXPECT_EQ(status_text(), "COULDN'T MAKE THE SESSION");
  EXPECT_EQ(chop_state(job.get()), kChopReady);
  EXPECT_TRUE(folder_names(rig.write_folder()).empty());

  ASSERT_EQ(make_session(job.get(), rig.rec.get(), p, name, sizeof name), 0);
  EXPECT_STREQ(name, "2026-10-05/124424");
  EXPECT_EQ(status_text(), "SESSION MADE - 3 TAKES");
  EXPECT_EQ(job->mode, 0);
  EXPECT_EQ(job->envelope, nullptr);
  EXPECT_EQ(read_text(rig.write_folder() + "/2026-10-05/124424/source.ref"),
            "tolm-ref 1\nsource=" + path +
                "\nrate=48000\nframes=480000\n"
                "take=42000 84000\ntake=186000 213600\ntake=354000 420000\n");
  const int row = find_library_row(rig.rec.get(), name);
  ASSERT_GE(row, 0);
  EXPECT_EQ(rig.rec->library.rows[row].take_count, 3);
  EXPECT_EQ(rig.rec->library.rows[row].reference, 1);

  // A second chop within the same second gets its own folder.
  ASSERT_EQ(open_for_chop(job.get(), nullptr, path.c_str()), 0);
  ASSERT_EQ(settle(job.get()), kChopReady);
  ASSERT_EQ(make_session(job.get(), rig.rec.get(), positions(), name, sizeof name), 0);
  EXPECT_STREQ(name, "2026-10-05/124424-2");
  const std::string second = read_text(rig.write_folder() + "/2026-10-05/124424-2/source.ref");
  EXPECT_EQ(second.substr(second.find("take=")), "take=48000 72000\ntake=192000 201600\ntake=360000 408000\n");
  EXPECT_EQ(make_session(job.get(), rig.rec.get(), p, name, sizeof name), -1);  // closed: nothing more
  EXPECT_EQ(status_text(), "SESSION MADE - 3 TAKES");
}

TEST(Chop, CancelWhileReadingAndReplacingARead) {
  RecorderRig rig;
  auto job = std::make_unique<ChopJob>();
  const std::string big = rig.home.file("big.wav");
  write_bursts(big, 48000 * 60, {{0, 480000}});
  const std::string small = rig.home.file("small.wav");
  write_bursts(small, 4800, {{0, 480}});

  status_clear();
  ASSERT_EQ(open_for_chop(job.get(), nullptr, big.c_str()), 0);
  leave_chop(job.get());
  EXPECT_EQ(job->mode, 0);
  EXPECT_EQ(job->running.load(), 0);
  EXPECT_FALSE(job->thread.joinable());
  EXPECT_TRUE(logged("chop: cancelled " + big));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  chop_poll(job.get());
  EXPECT_NE(chop_state(job.get()), kChopReady);  // no result lands after the cancel
  EXPECT_EQ(job->envelope, nullptr);
  EXPECT_EQ(status_text(), "");

  // A new open drops the read in progress; only the new file's result arrives.
  ASSERT_EQ(open_for_chop(job.get(), nullptr, big.c_str()), 0);
  ASSERT_EQ(open_for_chop(job.get(), nullptr, small.c_str()), 0);
  ASSERT_EQ(settle(job.get()), kChopReady);
  EXPECT_EQ(std::string(job->source_path), small);
  EXPECT_EQ(job->total_frames, 4800);
  EXPECT_EQ(job->block_count, 100);
}

TEST(Chop, AStalledSourceCancelsAndAHeaderCannotReserveMemory) {
  RecorderRig rig;
  auto job = std::make_unique<ChopJob>();
  // A FIFO whose writer has gone quiet stands for a stalled mount: Esc still ends the read.
  const std::string fifo = rig.home.file("stall.mp3");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, "ID3\x04\x00\x00\x00\x00\x00\x00", 10), 10);
  ASSERT_EQ(open_for_chop(job.get(), nullptr, fifo.c_str()), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(chop_state(job.get()), kChopReading);
  std::atomic<bool> left{false};
  std::thread unstick([&] {  // only a reader that ignores the cancel needs this
    for (int i = 0; i < 1000 && !left; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    close(writer);
  });
  leave_chop(job.get());
  left = true;
  unstick.join();
  EXPECT_TRUE(logged("chop: cancelled " + fifo));

  // A FLAC whose header claims 2^36 frames: the envelope is not reserved for that.
  const std::string flac = rig.home.file("claims.flac");
  ASSERT_TRUE(make_stereo_sine(flac, "-c:a flac"));
  std::string bytes = read_text(flac);
  bytes[8 + 13] = char(bytes[8 + 13] | 0x0F);
  for (int i = 14; i < 18; i++) bytes[8 + i] = char(0xFF);
  write_text(flac, bytes);
  const size_t before = allocated_bytes();
  ASSERT_EQ(open_for_chop(job.get(), nullptr, flac.c_str()), 0);
  ASSERT_EQ(settle(job.get()), kChopReady);
  EXPECT_EQ(job->block_count, 1000);
  EXPECT_LT(allocated_bytes(), before + (64u << 20));  // not the 5.7 GB the header asks for
  leave_chop(job.get());

  // Ten minutes of silence in a small file, with 128 KB to spare: the envelope outgrows it.
  const std::string ten = rig.home.file("ten.flac");
  ASSERT_TRUE(run_ffmpeg("-f lavfi -i anullsrc=r=48000:cl=stereo -t 600 -c:a flac \"" + ten + "\""));
  available_memory_fake(128u << 10);
  ASSERT_EQ(open_for_chop(job.get(), nullptr, ten.c_str()), 0);
  EXPECT_EQ(settle(job.get()), kChopFailed);
  available_memory_fake(0);
  EXPECT_STREQ(job->message, "TOO SHORT TO CHOP");
  EXPECT_EQ(status_text(), "OUT OF MEMORY");
  EXPECT_EQ(job->envelope, nullptr);
}

TEST(ChopView, LengthsNamesAndTheReadingBar) {
  char t[32];
  const std::pair<double, const char*> lengths[] = {{0, "-"},         {12.34, "12.3S"},  {59.94, "59.9S"},
                                                    {61.4, "1M01S"},   {3599.4, "59M59S"}, {3661, "1H01M"},
                                                    {7230.6, "2H00M"}, {36000, "10H00M"}};
  for (auto [s, want] : lengths) {
    format_chop_length(s, t, sizeof t);
    EXPECT_STREQ(t, want) << s;
  }
  EXPECT_STREQ(chop_file_name("C:\\rec\\walk.wav"), "walk.wav");
  EXPECT_STREQ(chop_file_name("/home/a/b.c/take.mp3"), "take.mp3");

  ChopJob job;
  job.opened_ms = 0xFFFFFF00u;  // the bar runs on across the tick's wrap
  EXPECT_NEAR(chop_reading_phase(&job, 0xFFFFFF00u + 625), 0.5f, 1e-6);
  EXPECT_NEAR(chop_reading_phase(&job, 0xFFFFFF00u + 1875), 0.5f, 1e-6);
  char b[kChopTextBytes];
  EXPECT_FALSE(chop_make_button(&job, b, sizeof b));
  EXPECT_STREQ(b, "READING");
}

// ---- The open dialog, through fake dialog programs on PATH ----

namespace {

struct FakeDesktop {
  TempDir bin;
  std::string args() const { return read_text(bin.file("args")); }
  explicit FakeDesktop() { setenv("PATH", bin.path.c_str(), 1); }
  // A dialog program that records its arguments, prints `out`, says `err` on standard error and
  // exits with `status` (or, with a status of "ABRT", aborts).
  void program(const char* name, const std::string& out, int status, const std::string& err = "") {
    program_ending(name, out, "exit " + std::to_string(status), err);
  }
  void program_ending(const char* name, const std::string& out, const std::string& ending,
                      const std::string& err = "") {
    make_executable(bin.file(name), "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" +
                                        bin.file("args") + "\"\nprintf '%s' '" + out + "'\nprintf '%s\\n' '" +
                                        err + "' >&2\n" + ending + "\n");
  }
};

}  // namespace

TEST(ChopDialog, ChosenCancelledTooLongAndNoDialog) {
  RecorderRig rig;
  auto job = std::make_unique<ChopJob>();
  const std::string wav = rig.home.file("picked.wav");
  write_bursts(wav, 4800, {{0, 480}});
  FakeDesktop desk;

  desk.program("zenity", wav + "\n", 0);
  ASSERT_EQ(open_file_dialog(job.get(), nullptr), 0);
  EXPECT_EQ(desk.args(),
            "--file-selection\n--title=Open a file to chop\n"
            "--file-filter=Audio | *.wav *.mp3 *.m4a *.aac *.flac *.wma *.ogg *.opus\n"
            "--file-filter=Everything | *\n");
  EXPECT_STREQ(job->source_path, wav.c_str());
  EXPECT_EQ(settle(job.get()), kChopReady);
  leave_chop(job.get());

  status_clear();
  desk.program("zenity", "", 1);
  EXPECT_EQ(open_file_dialog(job.get(), nullptr), 1);
  EXPECT_EQ(status_text(), "");
  EXPECT_EQ(job->mode, 0);

  // 259 bytes is a path; 260 is too long.
  std::string p259 = "/" + std::string(254, 'p') + ".wav";
  desk.program("zenity", p259 + "\n", 0);
  EXPECT_EQ(open_file_dialog(job.get(), nullptr), 0);
  EXPECT_EQ(std::string(job->source_path), p259);
  EXPECT_EQ(settle(job.get()), kChopFailed);
  leave_chop(job.get());
  desk.program("zenity", "/" + p259 + "\n", 0);
  EXPECT_EQ(open_file_dialog(job.get(), nullptr), -1);
  EXPECT_EQ(status_text(), "THAT PATH IS TOO LONG");
  desk.program("zenity", std::string(3000, 'q'), 0);
  EXPECT_EQ(open_file_dialog(job.get(), nullptr), -1);
  EXPECT_EQ(status_text(), "THAT PATH IS TOO LONG");
  EXPECT_EQ(job->mode, 0);

  // zenity that cannot show itself (no display): kdialog is next, with its own arguments.
  desk.program("zenity", "", 255);
  desk.program("kdialog", wav + "\n", 0);
  ASSERT_EQ(open_file_dialog(job.get(), nullptr), 0);
  EXPECT_EQ(desk.args(), "--title\nOpen a file to chop\n--getopenfilename\n" + rig.home.path +
                             "\n*.wav *.mp3 *.m4a *.aac *.flac *.wma *.ogg *.opus|Audio\n*|Everything\n");
  leave_chop(job.get());

  // zenity exits with the status of a cancel when it cannot reach a display; what it says on
  // standard error tells the two apart (the words of GTK and Qt, as they print them).
  desk.program("zenity", "", 1, "(zenity:4242): Gtk-WARNING **: 19:30:00.917: cannot open display: :77");
  desk.program("kdialog", wav + "\n", 0);
  status_clear();
  ASSERT_EQ(open_file_dialog(job.get(), nullptr), 0);
  EXPECT_STREQ(job->source_path, wav.c_str());
  EXPECT_TRUE(logged("chop: zenity could not show itself (status 1, signal 0)"));
  leave_chop(job.get());
  // A real cancel, with the chatter GTK prints anyway: kdialog is not asked.
  desk.program("zenity", "", 1, "Gtk-Message: 19:30:02.101: GtkDialog mapped without a transient parent.");
  std::filesystem::remove(desk.bin.file("args"));
  EXPECT_EQ(open_file_dialog(job.get(), nullptr), 1);
  EXPECT_EQ(desk.args().substr(0, 17), "--file-selection\n");
  EXPECT_EQ(status_text(), "");
  EXPECT_EQ(job->mode, 0);
  // Neither can show itself: Qt aborts for want of a display.
  desk.program("zenity", "", 1, "(zenity:4243): Gtk-WARNING **: 19:30:03.000: cannot open display: ");
  desk.program_ending("kdialog", "", "kill -ABRT $$",
                      "qt.qpa.xcb: could not connect to display \nThis application failed to start because no "
                      "Qt platform plugin could be initialized.");
  EXPECT_EQ(open_file_dialog(job.get(), nullptr), -1);
  EXPECT_EQ(status_text(), "NO FILE DIALOG - DROP A FILE ON THE WINDOW");
  EXPECT_EQ(job->mode, 0);

  // Neither works, or neither is installed: the foot says how else to open a file.
  desk.program("kdialog", "", 3);
  status_clear();
  EXPECT_EQ(open_file_dialog(job.get(), nullptr), -1);
  EXPECT_EQ(status_text(), "NO FILE DIALOG - DROP A FILE ON THE WINDOW");
  std::filesystem::remove(desk.bin.file("zenity"));
  std::filesystem::remove(desk.bin.file("kdialog"));
  status_clear();
  EXPECT_EQ(open_file_dialog(job.get(), nullptr), -1);
  EXPECT_EQ(status_text(), "NO FILE DIALOG - DROP A FILE ON THE WINDOW");
  EXPECT_EQ(job->mode, 0);
}

TEST(ChopDialog, ChildProcessOutputStatusAndMissingPrograms) {
  setenv("PATH", "/usr/bin:/bin", 1);
  char out[16];
  ProcessResult r{};
  const char* const big[] = {"/bin/sh", "-c", "head -c 100000 /dev/zero | tr '\\0' x; exit 3", nullptr};
  ASSERT_EQ(run_process(big, out, sizeof out, &r), kProcessOk);
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.output_bytes, 100000u);  // read whole, kept what fits
  EXPECT_STREQ(out, "xxxxxxxxxxxxxxx");
  // Arguments reach the program as they are, with no shell between.
  const char* const echo[] = {"/bin/echo", "a b", "$HOME;", nullptr};
  ASSERT_EQ(run_process(echo, out, sizeof out, &r), kProcessOk);
  EXPECT_STREQ(out, "a b $HOME;\n");
  const char* const killed[] = {"/bin/sh", "-c", "kill -9 $$", nullptr};
  ASSERT_EQ(run_process(killed, out, sizeof out, &r), kProcessOk);
  EXPECT_EQ(r.exit_code, -1);
  EXPECT_EQ(r.signal, 9);
  // Standard error on request, read alongside a standard output far larger than a pipe holds.
  char err[8];
  const char* const both[] = {"/bin/sh", "-c", "echo oops >&2; head -c 300000 /dev/zero; echo more >&2; exit 1",
                              nullptr};
  ASSERT_EQ(run_process(both, out, sizeof out, &r, nullptr, err, sizeof err), kProcessOk);
  EXPECT_EQ(r.output_bytes, 300000u);
  EXPECT_STREQ(err, "oops\nmo");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.signal, 0);
  const char* const missing[] = {"tolm-no-such-program", nullptr};
  EXPECT_EQ(run_process(missing, out, sizeof out, &r), kProcessNotFound);
  EXPECT_STREQ(out, "");
  // Without an output buffer the program writes to /dev/null and only its end is waited for, even
  // when something it started keeps running (as a file manager started by xdg-open does).
  const char* const starter[] = {"/bin/sh", "-c", "sleep 30 & echo started; exit 4", nullptr};
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(run_process(starter, nullptr, 0, &r), kProcessOk);
  EXPECT_EQ(r.exit_code, 4);
  EXPECT_EQ(r.output_bytes, 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
}

TEST(ChopDialog, AProgramStillUpCanBeStoppedFromAnotherThread) {
  std::atomic<int> child{0};
  stop_process(&child);  // nothing runs: nothing happens
  ProcessResult r{};
  int rc = -9;
  const char* const dialog[] = {"sleep", "30", nullptr};
  std::thread waiter([&] { rc = run_process(dialog, nullptr, 0, &r, &child); });
  const auto t0 = std::chrono::steady_clock::now();
  while (child.load() <= 0 && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10))
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_GT(child.load(), 0);
  stop_process(&child);
  waiter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  EXPECT_EQ(rc, kProcessOk);
  EXPECT_EQ(r.exit_code, -1);  // ended by the signal
  EXPECT_EQ(child.load(), 0);  // reaped: nothing left to signal
}
