// The player: the loader's queue (play requests first, a full ring, paths too long for the
// field, a play result never dropped), landing silently and playing, stale and failed reads,
// regions and their width rules, zoom and follow, the pane's texts, and destroying the player
// while it decodes a long file.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "config/status.h"
#include "kit/audio_file.h"
#include "library/player.h"
#include "tests/kit/kit_fixtures.h"
#include "tests/library/library_fixture.h"
#include "tests/sessions/session_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

// A player started with the given settings; destroyed (and checked by the sanitizers) at the end.
struct PlayerRig {
  TempDir dir;
  std::unique_ptr<Player> p = std::make_unique<Player>();
  explicit PlayerRig(float gain = 1.0f, double zoom_seconds = 0.0) {
    EXPECT_EQ(player_start(p.get(), gain, zoom_seconds), 0);
  }
  std::string take(const std::string& name, double seconds, double hz = 440.0) {
    const std::string path = dir.file(name);
    write_sine_take(path, 48000, seconds, hz);
    return path;
  }
  bool arrived() {
    return pump_until(p.get(), [this] { return !p->loading; });
  }
};

int waiting_requests(Player* p) {
  std::lock_guard<std::mutex> lk(p->lock);
  return p->ring_count;
}

void wait_for_reader_to_take(Player* p) {
  for (int i = 0; i < 5000 && waiting_requests(p) > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

struct InfoLog {
  Player* p;
  std::vector<std::string> paths;
  int before_audio = 0;  // results handed over while the play result was not yet installed
  static void note(void* ctx, const char* path, bool, const float*, double) {
    auto* log = static_cast<InfoLog*>(ctx);
    log->paths.push_back(path);
    if (!player_has_audio(log->p)) ++log->before_audio;
  }
};

}  // namespace

TEST(Player, PlayRequestsGoFirstAndAFullRingDropsOnlyInformation) {
  PlayerRig rig;
  Player* p = rig.p.get();
  InfoLog log{p, {}, 0};
  p->info_sink = PlayerInfoSink{InfoLog::note, &log};
  const std::string small = rig.take("small.wav", 0.1);
  // Two minutes of FLAC keep the reader busy while the queue is filled (far quicker than that).
  const std::string slow = rig.dir.file("slow.flac");
  ASSERT_TRUE(make_stereo_sine(slow, "-c:a flac", 48000, 120.0));
  ASSERT_EQ(loader_request(p, kLoadInfo, slow.c_str(), nullptr, false), kLoaderQueued);
  wait_for_reader_to_take(p);
  int queued = 0, full = 0;
  for (int i = 0; i < kLoaderRingSize + 20; ++i) {
    const std::string missing = rig.dir.file("missing-" + std::to_string(i) + ".wav");
    const int rc = loader_request(p, kLoadInfo, missing.c_str(), nullptr, false);
    (rc == kLoaderQueued ? queued : full) += 1;
  }
  EXPECT_EQ(queued, kLoaderRingSize);
  EXPECT_EQ(full, 20);
  char text[kPaneTextBytes];
  player_pane_text(p, true, true, text, sizeof text);
  EXPECT_STREQ(text, "READING 1 / 513");
  // A click finds room: the newest information request gives way to it.
  ASSERT_TRUE(player_play_item(p, small.c_str(), "small"));
  EXPECT_EQ(p->info_requested, kLoaderRingSize);  // the one given up counts as never asked
  EXPECT_EQ(status_text(), "PLAYING small");
  player_pane_text(p, false, true, text, sizeof text);
  EXPECT_STREQ(text, "READING THE TAKE...");
  // Nothing is taken in until the reader has answered every information request, so the list
  // overflows however slowly the machine reads.
  for (int i = 0; i < 60000; ++i) {
    {
      std::lock_guard<std::mutex> lk(p->lock);
      int info = p->info_dropped;
      for (int r = 0; r < p->result_count; ++r) info += p->results[r].kind == kLoadInfo;
      if (info == p->info_requested) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(pump_until(p, [p] { return p->info_answered == p->info_requested; }, 20000));
  // The slow file came first (it was being read), then the play request before every other.
  ASSERT_FALSE(log.paths.empty());
  EXPECT_EQ(log.paths[0], slow);
  EXPECT_EQ(log.before_audio, 1);
  EXPECT_TRUE(player_is_current(p, small.c_str()));
  EXPECT_TRUE(player_is_playing(p));
  // More results than the list holds were dropped, yet every request counts as answered.
  EXPECT_LT(int(log.paths.size()), p->info_requested);
  player_pane_text(p, false, true, text, sizeof text);
  EXPECT_NE(std::string(text).rfind("READING", 0), 0u) << text;

  // A path too long for the field is refused, never cut; an empty one too.
  const std::string long_path = "/" + std::string(kLoaderPathBytes, 'x') + ".wav";
  EXPECT_EQ(loader_request(p, kLoadPlay, long_path.c_str(), nullptr, true), kLoaderRefused);
  EXPECT_EQ(loader_request(p, kLoadInfo, small.c_str(), long_path.c_str(), false), kLoaderRefused);
  EXPECT_EQ(loader_request(p, kLoadInfo, "", nullptr, false), kLoaderRefused);
  EXPECT_FALSE(player_open(p, long_path.c_str(), true));
  EXPECT_TRUE(player_is_current(p, small.c_str()));
  const std::string longest = "/" + std::string(kLoaderPathBytes - 2, 'y');
  EXPECT_EQ(loader_request(p, kLoadInfo, longest.c_str(), nullptr, false), kLoaderQueued);  // 599 bytes fit
}

TEST(Player, APlayResultWaitsForRoomInsteadOfBeingDropped) {
  PlayerRig rig;
  Player* p = rig.p.get();
  const std::string take = rig.take("take.wav", 0.5);
  const std::string info = rig.take("info.wav", 0.01);
  for (int i = 0; i < kLoaderMaxResults + 10; ++i) loader_request(p, kLoadInfo, info.c_str(), nullptr, false);
  wait_for_reader_to_take(p);
  for (int i = 0; i < 5000; ++i) {  // every information result is in (or dropped): the list is full
    {
      std::lock_guard<std::mutex> lk(p->lock);
      if (p->result_count + p->info_dropped == kLoaderMaxResults + 10) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // No update runs while the play result comes in: it must wait, not go.
  ASSERT_TRUE(player_open(p, take.c_str(), true));
  wait_for_reader_to_take(p);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  {
    std::lock_guard<std::mutex> lk(p->lock);
    EXPECT_EQ(p->result_count, kLoaderMaxResults);
  }
  ASSERT_TRUE(rig.arrived());
  EXPECT_TRUE(player_has_audio(p));
  EXPECT_TRUE(player_is_playing(p));
  EXPECT_EQ(p->info_answered, p->info_requested);
  char text[kPaneTextBytes];
  player_pane_text(p, false, true, text, sizeof text);
  EXPECT_STRNE(text, "READING THE TAKE...");
}

TEST(Player, LandingWaitsSilentlyAtTheStartAndPlayingTogglesOrLoads) {
  PlayerRig rig(0.8f);
  Player* p = rig.p.get();
  const std::string a = rig.take("a.wav", 4.0), b = rig.take("b.wav", 2.0), c = rig.take("c.wav", 1.0);
  char text[kPaneTextBytes];
  player_pane_text(p, false, true, text, sizeof text);
  EXPECT_STREQ(text, "NOTHING PLAYING");
  player_pane_text(p, false, false, text, sizeof text);
  EXPECT_STREQ(text, "INPUT-ONLY DEVICE - NOTHING CAN PLAY");

  // Landing: silent while it loads, then waiting at its start with the gain back.
  player_land(p, a.c_str());
  EXPECT_TRUE(p->hold);
  EXPECT_EQ(p->engine.gain.load(), 0.0f);
  float kept = -1;
  EXPECT_FALSE(player_gain_setting(p, &kept));  // not mirrored into the settings during a hold
  ASSERT_TRUE(rig.arrived());
  EXPECT_FALSE(p->hold);
  EXPECT_FALSE(player_is_playing(p));
  EXPECT_EQ(p->engine.gain.load(), 0.8f);
  EXPECT_EQ(player_playhead(p), 0.0);
  EXPECT_DOUBLE_EQ(p->zoom, kDefaultZoom);  // no zoom setting: 54 % shows
  EXPECT_TRUE(p->follow);
  ASSERT_TRUE(pump_until(p, [p] { return !p->decoding; }));  // read to its end: waveform and tempo
  EXPECT_FLOAT_EQ(*std::max_element(p->wave, p->wave + kWavePeaks), 1.0f);
  ASSERT_TRUE(player_gain_setting(p, &kept));
  EXPECT_EQ(kept, 0.8f);
  player_pane_text(p, false, true, text, sizeof text);
  EXPECT_STREQ(text, "FINDING TEMPO...");
  // Once found, a tempo is shown as the tempo (a 20 s file at 120 BPM is no grid "TOO SHORT").
  const TempoKeyResult found = p->tempo.result;
  p->tempo.result.done = 1, p->tempo.result.bpm = 120.0f, p->tempo.result.key = -1;
  player_pane_text(p, true, true, text, sizeof text);
  EXPECT_STREQ(text, "120.0 BPM  ");
  p->tempo.result.bpm = 0.0f;
  player_pane_text(p, false, true, text, sizeof text);
  EXPECT_STREQ(text, "NO STEADY PULSE");
  p->tempo.result = found;

  // Playing the landed item toggles it; playing another loads it and says so.
  EXPECT_TRUE(player_play_item(p, a.c_str(), "a"));
  EXPECT_TRUE(player_is_playing(p));
  player_play_item(p, a.c_str(), "a");
  EXPECT_FALSE(player_is_playing(p));
  status_clear();
  EXPECT_TRUE(player_play_item(p, b.c_str(), "tolm-124425.wav"));
  EXPECT_EQ(status_text(), "PLAYING tolm-124425.wav");
  ASSERT_TRUE(rig.arrived());
  EXPECT_TRUE(player_is_playing(p));
  EXPECT_DOUBLE_EQ(player_seconds(p), 2.0);

  // Play asked for while a landing still loads: the hold goes, it plays on arrival.
  player_land(p, c.c_str());
  player_play_item(p, c.c_str(), "c");
  EXPECT_FALSE(p->hold);
  EXPECT_EQ(p->engine.gain.load(), 0.8f);
  ASSERT_TRUE(rig.arrived());
  EXPECT_TRUE(player_is_playing(p));

  // A file replaced by another before it arrived is thrown away; the newer one installs.
  player_open(p, a.c_str(), true);
  player_open(p, b.c_str(), true);
  ASSERT_TRUE(rig.arrived());
  EXPECT_TRUE(player_is_current(p, b.c_str()));
  EXPECT_DOUBLE_EQ(player_seconds(p), 2.0);

  // A file that does not read: said so, and nothing is current any more.
  status_clear();
  player_play_item(p, rig.dir.file("gone.wav").c_str(), "gone");
  ASSERT_TRUE(pump_until(p, [p] { return !p->loading; }));
  EXPECT_EQ(status_text(), "READ FAILED");
  EXPECT_EQ(p->current_path[0], 0);

  // The recorder's stop hook stops and rewinds.
  player_open(p, a.c_str(), true);
  ASSERT_TRUE(rig.arrived());
  player_stop_hook(p);
  EXPECT_FALSE(player_is_playing(p));
}

TEST(Player, RegionsZoomAndFollowKeepTheirRules) {
  PlayerRig rig(1.0f, 10.0);
  Player* p = rig.p.get();
  const std::string a = rig.take("a.wav", 4.0), b = rig.take("b.wav", 40.0);
  player_open(p, a.c_str(), false);
  ASSERT_TRUE(rig.arrived());
  EXPECT_DOUBLE_EQ(p->zoom, 1.0);  // 10 s shown of a 4 s file: all of it
  double s = 0, e = 0;

  // Loop start at 0.9995 gives 0.998 to 1; a region over the whole file is no region.
  player_seek(p, 0.9995);
  player_loop_in(p, false);
  ASSERT_TRUE(player_region(p, a.c_str(), &s, &e));
  EXPECT_DOUBLE_EQ(s, kMaxRegionStart);
  EXPECT_DOUBLE_EQ(e, 1.0);
  EXPECT_TRUE(playback_region_active(&p->engine));
  player_loop_in(p, true);  // Shift or Ctrl: to the start
  EXPECT_FALSE(player_region(p, a.c_str(), &s, &e));
  EXPECT_FALSE(p->engine.region_on.load());
  // I and O at the playhead, each keeping the other end; never narrower than 0.002.
  player_seek(p, 0.25);
  player_loop_in(p, false);
  player_seek(p, 0.5);
  player_loop_out(p, false);
  ASSERT_TRUE(player_region(p, a.c_str(), &s, &e));
  EXPECT_DOUBLE_EQ(s, 0.25);
  EXPECT_DOUBLE_EQ(e, 0.5);
  player_move_marker(p, true, 0.2501);
  ASSERT_TRUE(player_region(p, a.c_str(), &s, &e));
  EXPECT_DOUBLE_EQ(e, 0.25 + kMinRegionWidth);
  player_reset_marker(p, true);
  ASSERT_TRUE(player_region(p, a.c_str(), &s, &e));
  EXPECT_DOUBLE_EQ(e, 1.0);

  // LOOP from outside the region jumps into it and repeats there.
  player_move_marker(p, true, 0.5);
  player_seek(p, 0.8);
  player_toggle_loop(p);
  EXPECT_TRUE(p->loop);
  EXPECT_EQ(p->engine.repeat.load(), 1);
  EXPECT_DOUBLE_EQ(player_playhead(p), 0.25);
  player_toggle_loop(p);
  EXPECT_EQ(p->engine.repeat.load(), 0);

  // Another file and back: the region is remembered, set again and seeked to.
  player_open(p, b.c_str(), false);
  ASSERT_TRUE(rig.arrived());
  EXPECT_DOUBLE_EQ(p->zoom, 0.25);  // 10 s of 40
  EXPECT_FALSE(p->engine.region_on.load());
  player_open(p, a.c_str(), false);
  ASSERT_TRUE(rig.arrived());
  EXPECT_TRUE(playback_region_active(&p->engine));
  EXPECT_EQ(p->engine.region_start.load(), 48000);
  EXPECT_DOUBLE_EQ(player_playhead(p), 0.25);

  // Skips are clamped and need a buffer; the gain wheel is clamped.
  player_skip(p, -60);
  EXPECT_DOUBLE_EQ(player_playhead(p), 0.0);
  player_skip(p, 60);
  EXPECT_DOUBLE_EQ(player_playhead(p), 1.0);
  player_wheel_gain(p, 3);
  EXPECT_FLOAT_EQ(p->gain, 1.0f);
  player_wheel_gain(p, -4);
  EXPECT_FLOAT_EQ(p->gain, 0.8f);
  EXPECT_FLOAT_EQ(p->engine.gain.load(), 0.8f);

  // The zoom bar: follow off, the zoom in seconds kept; the view stays within the file.
  player_open(p, b.c_str(), false);
  ASSERT_TRUE(rig.arrived());
  player_set_view(p, 0.9, 1.4);
  EXPECT_FALSE(p->follow);
  EXPECT_DOUBLE_EQ(p->zoom, 0.1);
  EXPECT_NEAR(p->zoom_seconds, 4.0, 1e-9);
  EXPECT_DOUBLE_EQ(p->view_start, 0.9);
  player_seek_in_view(p, 0.5);
  EXPECT_NEAR(player_playhead(p), 0.95, 1e-6);
  // Playing out of the view turns follow back on and keeps the playhead at 35 % of it.
  player_seek(p, 0.2);
  player_toggle(p);
  player_update(p);
  EXPECT_TRUE(p->follow);
  EXPECT_NEAR(p->view_start, 0.2 - kFollowLead * 0.1, 1e-6);
  player_seek(p, 0.0);
  player_update(p);
  EXPECT_EQ(p->view_start, 0.0);
}

TEST(Player, ALongWavSoundsWhileItIsStillBeingRead) {
  PlayerRig rig;
  Player* p = rig.p.get();
  const std::string a = rig.take("long.wav", 180.0), b = rig.take("other.wav", 20.0);
  player_open(p, a.c_str(), true);
  ASSERT_TRUE(rig.arrived());
  EXPECT_TRUE(player_has_audio(p));
  EXPECT_DOUBLE_EQ(player_seconds(p), 180.0);  // announced by the header
  // It sounds from its start, however far the reading has come.
  std::vector<float> l(256), r(256);
  engine_render(&p->engine, l.data(), r.data(), 256, 48000);
  EXPECT_NE(*std::max_element(l.begin(), l.end()), 0.0f);
  EXPECT_EQ(l[0], 0.0f);  // the sine starts at 0
  // Another file before this one is read: the first is given up and freed once its reader lets go.
  player_open(p, b.c_str(), true);
  ASSERT_TRUE(rig.arrived());
  ASSERT_TRUE(pump_until(p, [p] { return !p->decoding; }, 30000));
  EXPECT_DOUBLE_EQ(player_seconds(p), 20.0);
  EXPECT_FLOAT_EQ(*std::max_element(p->wave, p->wave + kWavePeaks), 1.0f);
  EXPECT_TRUE(p->tempo.running || p->tempo.result.done);
  playback_release_all(&p->engine);
  EXPECT_EQ(p->engine.released_count, 0);
  // The waveform of a buffer read while it played equals the one of the whole file.
  std::vector<float> whole(kWavePeaks);
  AudioBuffer buf{};
  char msg[96];
  ASSERT_EQ(read_audio_file(b.c_str(), &buf, nullptr, msg, sizeof msg), kReadOk);
  float wave[kWavePeaks];
  std::copy(p->wave, p->wave + kWavePeaks, wave);
  float top = 0;
  std::vector<float> cols(kWavePeaks, 0.0f);
  for (int64_t i = 0; i < buf.frames; ++i) {
    float& c = cols[size_t(i * kWavePeaks / buf.frames)];
    c = std::max({c, std::fabs(buf.samples[2 * i]), std::fabs(buf.samples[2 * i + 1])});
  }
  for (float c : cols) top = std::max(top, c);
  for (int c = 0; c < kWavePeaks; ++c) ASSERT_FLOAT_EQ(wave[c], cols[size_t(c)] / top) << c;
  free_audio_buffer(&buf);
}

TEST(Player, DestroyDuringALongDecodeWaitsForTheReaderAndFreesEverything) {
  TempDir dir;
  // Ten minutes of FLAC: long enough that the read is still going when the player goes.
  const std::string flac = dir.file("long.flac");
  ASSERT_TRUE(make_stereo_sine(flac, "-c:a flac", 48000, 600.0));
  const std::string small = dir.file("small.wav");
  write_sine_take(small, 48000, 0.2, 440);
  auto p = std::make_unique<Player>();
  ASSERT_EQ(player_start(p.get(), 1.0f, 0.0), 0);
  player_open(p.get(), flac.c_str(), true);
  wait_for_reader_to_take(p.get());
  for (int i = 0; i < 5; ++i) loader_request(p.get(), kLoadInfo, small.c_str(), nullptr, false);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  {
    std::lock_guard<std::mutex> lk(p->lock);
    EXPECT_EQ(p->ring_count, 5);  // waiting behind the long read
    EXPECT_EQ(p->result_count, 0);
  }
  EXPECT_TRUE(p->loading);  // the long file is being read
  player_destroy(p.get());
  EXPECT_FALSE(p->started);
  EXPECT_EQ(p->result_count, 0);
  EXPECT_FALSE(p->loader.joinable());
  player_destroy(p.get());  // a second time changes nothing
  // A never-started player is destroyed without fuss; results left over are freed (LeakSanitizer).
  Player never;
  player_destroy(&never);
}
