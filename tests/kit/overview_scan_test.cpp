// Overview scans on their worker threads, and loads on several threads at once. Built for the
// ThreadSanitizer run as well: owner and worker meet only through the job's atomics and lock.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "kit/audio_file.h"
#include "platform/clock.h"
#include "tests/kit/kit_fixtures.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int64_t kWaitLimitMs = 60000;

// Polls until the scan leaves state 0; the progress seen meanwhile goes to `seen`.
int wait_scan(OverviewJob* job, std::vector<float>* seen = nullptr) {
  const uint64_t until = tick64_ms() + kWaitLimitMs;
  int state = 0;
  while ((state = overview_scan_peaks(job, nullptr, 0, nullptr, nullptr)) == 0 && tick64_ms() < until) {
    float progress = -1.0f;
    if (overview_scan_peaks(job, nullptr, 0, &progress, nullptr) == 0 && seen) seen->push_back(progress);
    sleep_ms(1);
  }
  return state;
}

bool wait_all_released() {
  const uint64_t until = tick64_ms() + kWaitLimitMs;
  while (overview_scans_alive() != 0 && tick64_ms() < until) sleep_ms(2);
  return overview_scans_alive() == 0;
}

// 8 kHz mono 16-bit: `frames` of silence with a full-scale click at frame `click`.
std::string click_wav(int frames, int click) {
  std::string data;
  for (int i = 0; i < frames; i++) data += pcm16({int16_t(i == click ? 32767 : 0)});
  return riff(chunk("fmt ", fmt_payload(1, 1, 8000, 16)) + chunk("data", data));
}

}  // namespace

TEST(OverviewScan, PeaksProgressAndDurationOfAWav) {
  TempDir dir;
  // Ten seconds: the first half at a quarter of full scale, the second at full scale.
  std::string data;
  for (int i = 0; i < 80000; i++) data += pcm16({int16_t(i < 40000 ? (i % 2 ? 8192 : -8192) : (i % 2 ? 32767 : -32768))});
  write_text(dir.file("steps.wav"), riff(chunk("fmt ", fmt_payload(1, 1, 8000, 16)) + chunk("data", data)));
  OverviewJob* job = start_overview_scan(dir.file("steps.wav").c_str());
  ASSERT_NE(job, nullptr);
  ASSERT_EQ(wait_scan(job), 1);
  float bins[4] = {9, 9, 9, 9}, progress = 0;
  double seconds = 0;
  EXPECT_EQ(overview_scan_peaks(job, bins, 4, &progress, &seconds), 1);
  EXPECT_EQ(std::vector<float>(bins, bins + 4), (std::vector<float>{0.25f, 0.25f, 1.0f, 1.0f}));
  EXPECT_EQ(progress, 1.0f);
  EXPECT_EQ(seconds, 10.0);
  release_overview_scan(job);

  // A header that promises ten seconds over one second of data: the scan reports the second
  // that is there, drawn across the whole width.
  write_text(dir.file("cut.wav"), riff(chunk("fmt ", fmt_payload(1, 1, 8000, 16)) +
                                       chunk_sized("data", 160000, data.substr(data.size() - 16000))));
  job = start_overview_scan(dir.file("cut.wav").c_str());
  ASSERT_NE(job, nullptr);
  ASSERT_EQ(wait_scan(job), 1);
  EXPECT_EQ(overview_scan_peaks(job, bins, 4, &progress, &seconds), 1);
  EXPECT_EQ(std::vector<float>(bins, bins + 4), std::vector<float>(4, 1.0f));
  EXPECT_EQ(seconds, 1.0);
  release_overview_scan(job);

  // Nothing to scan: no job for a missing, unsupported or over-long path; a job that fails for a
  // file that is not there or not audio.
  EXPECT_EQ(start_overview_scan(nullptr), nullptr);
  EXPECT_EQ(start_overview_scan(""), nullptr);
  EXPECT_EQ(start_overview_scan(dir.file("notes.txt").c_str()), nullptr);
  EXPECT_EQ(start_overview_scan((std::string(kOverviewPathBytes, 'a') + ".wav").c_str()), nullptr);
  write_text(dir.file("fake.mp3"), "not a sound at all");
  for (const char* name : {"missing.wav", "fake.mp3"}) {
    OverviewJob* bad = start_overview_scan(dir.file(name).c_str());
    ASSERT_NE(bad, nullptr) << name;
    EXPECT_EQ(wait_scan(bad), -1) << name;
    bins[0] = 9;
    progress = 9;
    EXPECT_EQ(overview_scan_peaks(bad, bins, 4, &progress, &seconds), -1);
    EXPECT_EQ(bins[0], 0.0f);
    EXPECT_EQ(seconds, 0.0);
    release_overview_scan(bad);
  }
  // No job at all: -1 and zeroed outputs.
  bins[2] = 9;
  EXPECT_EQ(overview_scan_peaks(nullptr, bins, 4, &progress, &seconds), -1);
  EXPECT_EQ(bins[2], 0.0f);
  EXPECT_EQ(progress, 0.0f);
  release_overview_scan(nullptr);
  EXPECT_TRUE(wait_all_released());
}

TEST(OverviewScan, UnknownLengthUsesWideBinsAndFullProgress) {
  TempDir dir;
  // 10,240 frames with a click at frame 1500. Written through a pipe the FLAC header cannot say
  // how long the stream is; written to a file it can.
  write_text(dir.file("click.wav"), click_wav(10240, 1500));
  const std::string src = "-i \"" + dir.file("click.wav") + "\" -c:a flac ";
  ASSERT_TRUE(run_ffmpeg(src + "-f flac pipe: > \"" + dir.file("piped.flac") + "\""));
  ASSERT_TRUE(run_ffmpeg(src + "\"" + dir.file("known.flac") + "\""));

  std::vector<float> seen;
  OverviewJob* job = start_overview_scan(dir.file("piped.flac").c_str());
  ASSERT_NE(job, nullptr);
  ASSERT_EQ(wait_scan(job, &seen), 1);
  for (float p : seen) EXPECT_TRUE(p == 0.0f || p == 1.0f) << p;  // 0 only before the format is known
  // 1024-frame bins: 11 peaks, the click in peak 1, which 22 output bins show twice (bins 2, 3).
  float bins[22];
  float progress = 0;
  double seconds = 0;
  overview_scan_peaks(job, bins, 22, &progress, &seconds);
  for (int i = 0; i < 22; i++) EXPECT_EQ(bins[i], (i == 2 || i == 3) ? 1.0f : 0.0f) << i;
  EXPECT_EQ(progress, 1.0f);
  EXPECT_EQ(seconds, 10240 / 8000.0);
  release_overview_scan(job);

  // Known length: 256-frame bins, 41 peaks, the click in peak 5 lands in output bin 3 alone.
  job = start_overview_scan(dir.file("known.flac").c_str());
  ASSERT_NE(job, nullptr);
  ASSERT_EQ(wait_scan(job), 1);
  overview_scan_peaks(job, bins, 22, &progress, &seconds);
  for (int i = 0; i < 22; i++) EXPECT_EQ(bins[i], i == 3 ? 1.0f : 0.0f) << i;
  EXPECT_EQ(seconds, 10240 / 8000.0);
  release_overview_scan(job);
  EXPECT_TRUE(wait_all_released());
}

TEST(OverviewScan, ReleasedWhileDecodingFreesOnceAndStops) {
  TempDir dir;
  ASSERT_TRUE(make_stereo_sine(dir.file("long.flac"), "-c:a flac", 48000, 120.0));
  ASSERT_TRUE(make_stereo_sine(dir.file("long.wav"), "-c:a pcm_s16le", 48000, 120.0));
  // Released at once, after a few blocks, while reading peaks, and after finishing; the owner
  // never waits and every job is freed exactly once by whichever side lets go last.
  for (const char* name : {"long.flac", "long.wav"}) {
    const std::string path = dir.file(name);
    for (int delay_ms : {0, 1, 5, 20}) {
      OverviewJob* job = start_overview_scan(path.c_str());
      ASSERT_NE(job, nullptr);
      float bins[64];
      const uint64_t until = tick64_ms() + uint64_t(delay_ms);
      while (tick64_ms() < until) overview_scan_peaks(job, bins, 64, nullptr, nullptr);
      release_overview_scan(job);
    }
  }
  OverviewJob* done = start_overview_scan(dir.file("long.wav").c_str());
  ASSERT_NE(done, nullptr);
  ASSERT_EQ(wait_scan(done), 1);
  release_overview_scan(done);
  // A released job's worker notices at its next block: two minutes of audio are far from read
  // when every job is already gone (the wait limit is the hang guard, not a timing claim).
  EXPECT_TRUE(wait_all_released());
}

TEST(ConcurrentLoads, AreIndependentAcrossThreads) {
  TempDir dir;
  const char* names[] = {"a.mp3", "a.flac", "a.ogg", "a.wav"};
  ASSERT_TRUE(make_stereo_sine(dir.file("a.mp3"), "-c:a libmp3lame"));
  ASSERT_TRUE(make_stereo_sine(dir.file("a.flac"), "-c:a flac"));
  ASSERT_TRUE(make_stereo_sine(dir.file("a.ogg"), "-c:a libvorbis"));
  ASSERT_TRUE(make_stereo_sine(dir.file("a.wav"), "-c:a pcm_s16le"));
  std::vector<std::vector<float>> alone(4);
  for (int i = 0; i < 4; i++) {
    Loaded l;
    ASSERT_EQ(l.load(dir.file(names[i])), kReadOk);
    alone[i].assign(l.b.samples, l.b.samples + l.b.frames * l.b.channels);
  }
  std::vector<int> same(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++)
    threads.emplace_back([&, t] {
      Loaded l;
      const int i = t % 4;
      if (l.load(dir.file(names[i])) == kReadOk)
        same[t] = std::vector<float>(l.b.samples, l.b.samples + l.b.frames * l.b.channels) == alone[i];
    });
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(same, std::vector<int>(8, 1));
}
