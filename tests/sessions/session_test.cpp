// Sessions on a real engine: the folder layout and session.json, arming and ending (with takes, in
// silence, with a take that never sealed), the cull path on disk, continuing a session, and every
// disk failure keeping the takes on the tape until they are written.
#include <gtest/gtest.h>

#include <filesystem>

#include "capture/takes.h"
#include "config/settings.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "sessions/library_scan.h"
#include "sessions/reference.h"
#include "sessions/session.h"
#include "sessions/take_writer.h"
#include "tests/sessions/session_fixture.h"

namespace fs = std::filesystem;

namespace {

std::string take_line(const std::string& file, const TakeEntry& t, bool first) {
  char s[200];
  snprintf(s, sizeof s, "%s\n    { \"file\": \"%s\", \"start\": %lld, \"end\": %lld, \"seconds\": %.3f }",
           first ? "" : ",", file.c_str(), (long long)t.start, (long long)t.end, double(t.end - t.start) / 48000.0);
  return s;
}

// "%H%M%S" of a local time.
std::string hms(int64_t t) { return stamp_name(t).substr(5, 6); }

const char* kIndexHead =
    "{\n  \"app\": \"tolm\",\n  \"platform\": \"linux\",\n  \"sample_rate\": 48000,\n  \"bit_depth\": %d,\n  \"takes\": [";

std::string index_head(int depth) {
  char s[200];
  snprintf(s, sizeof s, kIndexHead, depth);
  return s;
}

// A stand-in for the device engine's seat: the tape stays empty, the counters, take starts and
// write head describe the laid-out takes, and the release point sits at the end.
struct SeatDouble {
  CaptureEngine* engine = nullptr;
  int calls = 0;
  int fail = 0;
  int64_t length = 0;
  std::vector<int64_t> starts;
  int overview_values = 0;
  static int seat(void* ctx, int64_t a, const int64_t* starts, int count, const float*, int values) {
    auto* d = static_cast<SeatDouble*>(ctx);
    ++d->calls;
    if (d->fail) return -1;
    d->length = a;
    d->starts.assign(starts, starts + count);
    d->overview_values = values;
    CaptureEngine* e = d->engine;
    e->head = a;
    e->write_head = a;
    e->play_head = a;
    e->playhead = a;
    e->opened = e->closed = count;
    e->takes_opened = e->takes_closed = count;
    e->take_start_count = count;
    for (int i = 0; i < count; ++i) e->take_starts[i] = starts[i];
    e->tape.release_point = a;
    return 0;
  }
};

struct RateDouble {
  int calls = 0;
  double asked = 0;
  int refuse = 0;
  static int change(void* ctx, double rate) {
    auto* d = static_cast<RateDouble*>(ctx);
    ++d->calls;
    d->asked = rate;
    return d->refuse ? -1 : 0;
  }
};

}  // namespace

TEST(Sessions, ArmingMakesDatedFoldersAndTwoTakesGiveTheIndexByteForByte) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  ASSERT_EQ(arm_session(r), 0);
  EXPECT_EQ(rig.session_folder(), rig.write_folder() + "/2026-10-05/124424");
  EXPECT_STREQ(r->session.relative, "2026-10-05/124424");
  EXPECT_EQ(status_text(), "LISTENING - SOUND OPENS THE GATE");
  EXPECT_EQ(rig.engine->armed.load(), 1);
  const std::string index = rig.session_folder() + "/session.json";
  EXPECT_EQ(read_text(index), index_head(16) + "\n  ]\n}\n");
  // The open session is listed even while empty.
  ASSERT_EQ(r->library.row_count, 1);
  EXPECT_STREQ(r->library.rows[0].relative_path, "2026-10-05/124424");

  rig.now += 5;
  TakeEntry a = rig.record_take(9600);
  rig.now += 7;
  TakeEntry b = rig.record_take(4800);
  ASSERT_EQ(write_pending_takes(r), 2);
  const std::string want = index_head(16) + take_line(stamp_name(a.started_at), a, true) +
                           take_line(stamp_name(b.started_at), b, false) + "\n  ]\n}\n";
  EXPECT_EQ(read_text(index), want);
  EXPECT_EQ(a.started_at, rig.now - 7 - int64_t(double(a.end - a.start) / 48000));
  // The library row follows the writes.
  EXPECT_EQ(r->library.rows[0].take_count, 2);
  EXPECT_NEAR(r->library.rows[0].total_seconds, double(b.end - a.start) / 48000, 1e-9);

  // A second arming in the same second while that session stays: 124424-2.
  ASSERT_EQ(end_session(r), 0);
  EXPECT_EQ(status_text(), "SESSION ENDED - 2 TAKES -> 2026-10-05/124424");
  EXPECT_TRUE(logged("session ended, 2 takes -> " + rig.write_folder() + "/2026-10-05/124424"));
  EXPECT_EQ(read_text(index), want);
  rig.now = local_seconds(2026, 10, 5, 12, 44, 24);
  rig.quiet(256);  // the engine serves the clear
  ASSERT_EQ(rig.engine->write_head.load(), 0);
  rig.engine->bit_depth = 24;
  ASSERT_EQ(arm_session(r), 0);
  EXPECT_STREQ(r->session.relative, "2026-10-05/124424-2");
  TakeEntry c = rig.record_take();
  ASSERT_EQ(end_session(r), 0);
  EXPECT_EQ(status_text(), "SESSION ENDED - 1 TAKE -> 2026-10-05/124424-2");
  EXPECT_EQ(read_text(rig.write_folder() + "/2026-10-05/124424-2/session.json"),
            index_head(24) + take_line(stamp_name(c.started_at), c, true) + "\n  ]\n}\n");
  EXPECT_EQ(file_bytes(rig.write_folder() + "/2026-10-05/124424-2/" + stamp_name(c.started_at)).size(),
            size_t(44 + 6 * (c.end - c.start)));
  EXPECT_EQ(r->library.row_count, 2);
}

TEST(Sessions, SilenceLeavesNoFolderAndAStrayFileKeepsIt) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  // Alone in its date folder: both go.
  ASSERT_EQ(arm_session(r), 0);
  rig.quiet(48000);
  ASSERT_EQ(end_session(r), 0);
  EXPECT_EQ(status_text(), "NOTHING HEARD - EMPTY SESSION REMOVED");
  EXPECT_TRUE(logged("empty session removed: " + rig.write_folder() + "/2026-10-05/124424"));
  EXPECT_EQ(folder_names(rig.write_folder()), std::vector<std::string>{});
  EXPECT_EQ(r->session.folder[0], 0);
  EXPECT_EQ(rig.engine->armed.load(), 0);

  // Beside another session the date folder stays.
  fs::create_directories(rig.write_folder() + "/2026-10-05/090000");
  write_text(rig.write_folder() + "/2026-10-05/090000/tolm-090001.wav", "x");
  ASSERT_EQ(arm_session(r), 0);
  ASSERT_EQ(end_session(r), 0);
  EXPECT_EQ(folder_names(rig.write_folder() + "/2026-10-05"), std::vector<std::string>{"090000"});

  // A temporary file left by a write that a crash interrupted does not keep it.
  ASSERT_EQ(arm_session(r), 0);
  write_text(rig.session_folder() + "/session.json.tmp-99999999", "half");
  write_text(rig.session_folder() + "/tolm-124425.wav.tmp-99999998", "half a take");
  ASSERT_EQ(end_session(r), 0);
  EXPECT_EQ(folder_names(rig.write_folder() + "/2026-10-05"), std::vector<std::string>{"090000"});

  // A file that is not a take keeps the folder (session.json goes); the log names the folder.
  ASSERT_EQ(arm_session(r), 0);
  const std::string folder = rig.session_folder();
  write_text(folder + "/notes.txt", "mine");
  ASSERT_EQ(end_session(r), 0);
  EXPECT_EQ(status_text(), "NOTHING HEARD - EMPTY SESSION REMOVED");
  EXPECT_TRUE(logged("empty session kept (folder not empty): " + folder));
  EXPECT_EQ(folder_names(folder), std::vector<std::string>{"notes.txt"});
  // A take file there: left alone entirely.
  ASSERT_EQ(arm_session(r), 0);
  write_text(rig.session_folder() + "/tolm-000000.wav", "x");
  EXPECT_EQ(remove_empty_session(r), -1);
  EXPECT_TRUE(is_file((rig.session_folder() + "/session.json").c_str()));
}

TEST(Sessions, AFrozenTakeStillBecomesATakeWhenTheSessionEnds) {
  // The device stops delivering while the gate is held: the take never seals. Ending the session
  // writes what reached the tape, with no take listed (the whole tape) and after listed takes.
  for (int listed = 0; listed < 2; ++listed) {
    RecorderRig rig;
    Recorder* r = rig.rec.get();
    arm_session(r);
    TakeEntry first{};
    if (listed) first = rig.record_take();
    rig.engine->gate_forced = 1;
    rig.quiet(48000);
    ASSERT_EQ(rig.engine->recording.load(), 1);
    const int64_t head = rig.engine->write_head.load();
    const std::vector<float> frozen = tape_frames(rig.engine.get(), first.end, head);
    rig.audio_runs = false;
    rig.engine->running = 0;
    ASSERT_EQ(end_session(r), 0);
    EXPECT_EQ(status_text(), listed ? "SESSION ENDED - 2 TAKES -> 2026-10-05/124424"
                                    : "SESSION ENDED - 1 TAKE -> 2026-10-05/124424");
    TakeFile files[4];
    ASSERT_EQ(list_take_files((rig.write_folder() + "/2026-10-05/124424").c_str(), files, 4), 1 + listed);
    EXPECT_EQ(wav_samples(rig.write_folder() + "/2026-10-05/124424/" + files[listed].name), quantized16(frozen));
    EXPECT_EQ(rig.engine->reset_request.load(), 1);
  }
}

TEST(Sessions, CullingWrittenTakesDeletesTheirFilesAndRewritesTheIndex) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  arm_session(r);
  TakeEntry a = rig.record_take();
  rig.now += 1;
  rig.record_take();
  rig.now += 1;
  rig.record_take();
  ASSERT_EQ(write_pending_takes(r), 3);
  ASSERT_EQ(folder_names(rig.session_folder()).size(), 4u);
  const std::string second = r->session.names[1], third = r->session.names[2];

  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(cull_last_take(rig.engine.get(), &r->takes, r->seated_takes, rig.now));
    EXPECT_EQ(status_text(), "LAST TAKE CULLED");
    rig.quiet(256);
    collect_sealed_takes(r);
    write_pending_takes(r);
  }
  EXPECT_EQ(r->takes.take_count, 1);
  EXPECT_EQ(r->takes.written_count, 1);
  EXPECT_EQ(r->session.count, 1);
  EXPECT_TRUE(logged("culled " + third + " from disk"));
  EXPECT_TRUE(logged("culled " + second + " from disk"));
  EXPECT_EQ(folder_names(rig.session_folder()), (std::vector<std::string>{"session.json", stamp_name(a.started_at)}));
  EXPECT_EQ(read_text(rig.session_folder() + "/session.json"),
            index_head(16) + take_line(stamp_name(a.started_at), a, true) + "\n  ]\n}\n");
  EXPECT_EQ(rig.engine->write_head.load(), a.end);
  // The next take follows the survivor on the tape and is written afresh.
  rig.now += 10;
  TakeEntry d = rig.record_take();
  EXPECT_EQ(d.start, a.end);
  EXPECT_EQ(write_pending_takes(r), 1);
  EXPECT_EQ(r->session.count, 2);
}

TEST(Sessions, ContinuingASessionRefusesUntilItCanAndThenSeatsTheTakes) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  Settings settings{};
  r->settings = &settings;
  SeatDouble seat;
  seat.engine = rig.engine.get();
  RateDouble rate;
  r->hooks.resume = ResumeHook{SeatDouble::seat, &seat};
  r->hooks.change_rate = RateHook{RateDouble::change, &rate};

  // An earlier session of two takes.
  arm_session(r);
  rig.record_take(9600);
  rig.now += 3;
  rig.record_take(4800);
  ASSERT_EQ(end_session(r), 0);
  rig.quiet(256);
  ASSERT_EQ(r->library.row_count, 1);
  TakeFile takes[kMaxSessionTakes];
  const int n = session_takes(r, 0, takes, kMaxSessionTakes);
  ASSERT_EQ(n, 2);
  float overview[kSessionOverviewValues];
  char folder[kPathCap];
  ASSERT_TRUE(session_folder_path(r, 0, folder, sizeof folder));
  ASSERT_EQ(session_overview(folder, overview, kSessionOverviewValues), 0);

  // Refusals, each leaving everything as it was.
  auto refused = [&](int row, const TakeFile* t, int count, const float* ov, const char* text) {
    EXPECT_EQ(continue_session(r, row, t, count, ov, kSessionOverviewValues), -1) << text;
    EXPECT_EQ(status_text(), text);
    EXPECT_EQ(seat.calls, 0) << text;
  };
  refused(-1, takes, n, overview, "PICK A SESSION");
  refused(5, takes, n, overview, "PICK A SESSION");
  refused(0, nullptr, 0, overview, "NO TAKES");
  refused(0, takes, 0, overview, "NO TAKES");
  refused(0, takes, n, nullptr, "READING...");
  refused(0, takes, 1, overview, "TOO MANY TAKES TO CONTINUE");  // the other take would leave session.json
  const int64_t starts[] = {0}, ends[] = {1000};
  char name[80];
  rig.now += 60;
  ASSERT_EQ(create_reference_session(r, "/music/source.flac", 48000, 5000, starts, ends, 1, name, sizeof name), 0);
  const int ref_row = find_library_row(r, name);
  ASSERT_GE(ref_row, 0);
  refused(ref_row, takes, n, overview, "A REFERENCE SESSION");
  ASSERT_GE(find_library_row(r, "2026-10-05/124424"), 0);
  rig.now += 60;
  arm_session(r);
  refused(find_library_row(r, "2026-10-05/124424"), takes, n, overview, "STOP RECORDING TO SWITCH SESSIONS");
  const int open_row = find_library_row(r, r->session.relative);
  ASSERT_GE(open_row, 0);
  refused(open_row, takes, n, overview, "SESSION ACTIVE");
  rig.engine->armed = 0;
  refused(find_library_row(r, "2026-10-05/124424"), takes, n, overview, "STOP THE SESSION FIRST");
  ASSERT_EQ(end_session(r), 0);
  rig.engine->armed = 1;  // frames on the tape without a session
  rig.engine->gate_forced = 1;
  rig.quiet(4800);
  rig.engine->gate_forced = 0;
  rig.engine->armed = 0;
  rig.quiet(48000);
  refused(find_library_row(r, "2026-10-05/124424"), takes, n, overview, "STOP THE SESSION FIRST");
  sealed_takes(rig.engine.get());
  rig.engine->reset_request = 1;
  rig.quiet(256);

  // Another rate: the device is asked first; when it refuses nothing else changes.
  TakeFile slow[2] = {takes[0], takes[1]};
  slow[0].rate = slow[1].rate = 44100;
  rate.refuse = 1;
  EXPECT_EQ(continue_session(r, find_library_row(r, "2026-10-05/124424"), slow, 2, overview, kSessionOverviewValues), -1);
  EXPECT_EQ(status_text(), "DEVICE WON'T RUN AT 44K - CAN'T CONTINUE");
  EXPECT_TRUE(logged("SWITCHING TO 44K FOR THIS SESSION..."));
  EXPECT_EQ(rate.asked, 44100.0);
  EXPECT_EQ(settings.sample_rate, 0);
  EXPECT_EQ(seat.calls, 0);
  EXPECT_EQ(r->session.folder[0], 0);
  // The seat fails: said so, nothing opened.
  seat.fail = 1;
  EXPECT_EQ(continue_session(r, find_library_row(r, "2026-10-05/124424"), takes, n, overview, kSessionOverviewValues), -1);
  EXPECT_EQ(status_text(), "COULDN'T SEAT THE SESSION - AUDIO DOWN?");
  EXPECT_EQ(r->session.folder[0], 0);
  EXPECT_EQ(r->takes.take_count, 0);
  seat.fail = 0;
  seat.calls = 0;

  // Seated: the takes lie end to end, the folder is the row's, everything counts as written.
  const int calls_before = rate.calls;
  ASSERT_EQ(continue_session(r, find_library_row(r, "2026-10-05/124424"), takes, n, overview, kSessionOverviewValues), 0);
  EXPECT_EQ(rate.calls, calls_before);  // same rate: no switch
  EXPECT_EQ(status_text(), "CONTINUING 2026-10-05 124424 - 2 TAKES - LISTENING");
  EXPECT_EQ(seat.calls, 1);
  const int64_t len0 = int64_t(48000 * takes[0].seconds + 0.5), len1 = int64_t(48000 * takes[1].seconds + 0.5);
  EXPECT_EQ(seat.length, len0 + len1);
  EXPECT_EQ(seat.starts, (std::vector<int64_t>{0, len0}));
  EXPECT_EQ(seat.overview_values, kSessionOverviewValues);
  EXPECT_EQ(rig.session_folder(), rig.write_folder() + "/2026-10-05/124424");
  EXPECT_EQ(r->seated_takes, 2);
  EXPECT_EQ(r->takes.written_count, 2);
  EXPECT_STREQ(r->session.names[1], takes[1].name);
  EXPECT_EQ(r->takes.takes[0].started_at, (takes[0].write_time - 116444736000000000ll) / 10000000 -
                                              int64_t(takes[0].seconds));
  EXPECT_EQ(rig.engine->armed.load(), 1);

  // Cull refuses below the seated takes; a new take gets frames after the old ones.
  EXPECT_FALSE(cull_last_take(rig.engine.get(), &r->takes, r->seated_takes, rig.now));
  EXPECT_EQ(status_text(), "NOTHING NEW TO CULL - SAVED TAKES ARE DELETED IN THE LIBRARY");
  rig.now += 100;
  TakeEntry fresh = rig.record_take();
  EXPECT_EQ(fresh.start, len0 + len1);
  ASSERT_EQ(write_pending_takes(r), 1);
  const std::string index = read_text(rig.session_folder() + "/session.json");
  EXPECT_EQ(index, index_head(16) + take_line(takes[0].name, r->takes.takes[0], true) +
                       take_line(takes[1].name, r->takes.takes[1], false) +
                       take_line(r->session.names[2], fresh, false) + "\n  ]\n}\n");
  // That take can be culled (its file goes), then no further.
  ASSERT_TRUE(cull_last_take(rig.engine.get(), &r->takes, r->seated_takes, rig.now));
  rig.quiet(256);
  collect_sealed_takes(r);
  write_pending_takes(r);
  EXPECT_EQ(folder_names(rig.session_folder()).size(), 3u);
  EXPECT_FALSE(cull_last_take(rig.engine.get(), &r->takes, r->seated_takes, rig.now));
  ASSERT_EQ(end_session(r), 0);
  EXPECT_EQ(status_text(), "SESSION ENDED - 2 TAKES -> 2026-10-05/124424");
  EXPECT_EQ(r->seated_takes, 0);

  // A session at another rate switches the stream first and remembers the rate.
  rig.quiet(256);
  rate.refuse = 0;
  ASSERT_EQ(continue_session(r, find_library_row(r, "2026-10-05/124424"), slow, 2, overview, kSessionOverviewValues), 0);
  EXPECT_EQ(rate.asked, 44100.0);
  EXPECT_EQ(settings.sample_rate, 44100);
}

// Names from disk in a continued session: kept whole up to what the take listing takes, escaped
// in session.json; a name too long for the listing is neither counted nor seated; and the
// count, the index, the folder and the list agree.
TEST(Sessions, ContinuedNamesStayWholeEscapedAndCountedAlike) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  SeatDouble seat;
  seat.engine = rig.engine.get();
  r->hooks.resume = ResumeHook{SeatDouble::seat, &seat};
  arm_session(r);
  rig.record_take(4800);
  ASSERT_EQ(end_session(r), 0);
  rig.quiet(256);
  const std::string folder = rig.write_folder() + "/2026-10-05/124424";
  const std::string first = folder_names(folder)[0] == "session.json" ? folder_names(folder)[1] : folder_names(folder)[0];
  const std::string quoted = "odd \"name\" \\ take.wav";
  const std::string long_name = "a take renamed by hand with a rather long name.wav";  // 51 bytes
  const std::string too_long = std::string(70, 'x') + ".wav";
  fs::copy_file(folder + "/" + first, folder + "/" + quoted);
  fs::copy_file(folder + "/" + first, folder + "/" + long_name);
  fs::copy_file(folder + "/" + first, folder + "/" + too_long);
  scan_library(r);
  const int row = find_library_row(r, "2026-10-05/124424");
  ASSERT_GE(row, 0);
  EXPECT_EQ(r->library.rows[row].take_count, 3);
  TakeFile takes[kMaxSessionTakes];
  const int n = session_takes(r, row, takes, kMaxSessionTakes);
  ASSERT_EQ(n, 3);
  float overview[kSessionOverviewValues] = {};
  ASSERT_EQ(continue_session(r, row, takes, n, overview, kSessionOverviewValues), 0);
  std::vector<std::string> seated;
  for (int i = 0; i < r->session.count; ++i) seated.push_back(r->session.names[i]);
  std::sort(seated.begin(), seated.end());
  std::vector<std::string> want{first, quoted, long_name};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(seated, want);

  rig.now += 100;
  rig.record_take();
  ASSERT_EQ(write_pending_takes(r), 1);
  const std::string index = read_text(folder + "/session.json");
  EXPECT_NE(index.find("\"file\": \"odd \\\"name\\\" \\\\ take.wav\""), std::string::npos) << index;
  EXPECT_NE(index.find("\"file\": \"" + long_name + "\""), std::string::npos) << index;
  // The new take is culled: its file goes, and only its file.
  ASSERT_TRUE(cull_last_take(rig.engine.get(), &r->takes, r->seated_takes, rig.now));
  rig.quiet(256);
  collect_sealed_takes(r);
  write_pending_takes(r);
  ASSERT_EQ(end_session(r), 0);
  EXPECT_EQ(status_text(), "SESSION ENDED - 3 TAKES -> 2026-10-05/124424");
  EXPECT_TRUE(fs::exists(folder + "/" + long_name));
  EXPECT_TRUE(fs::exists(folder + "/" + quoted));
}

TEST(Sessions, SpillOpenFailureHoldsTakesOnTheTapeUntilTheFolderCanBeMade) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  // A plain file stands where the date folder must go.
  write_text(rig.write_folder() + "/2026-10-05", "in the way");
  EXPECT_EQ(arm_session(r), -1);
  EXPECT_EQ(status_text(), "COULDN'T CREATE THE SESSION FOLDER - HOLDING IN RAM");
  EXPECT_TRUE(logged("session open FAILED: " + rig.write_folder() + "/2026-10-05"));
  EXPECT_EQ(rig.engine->armed.load(), 1);  // recording goes ahead on the tape
  TakeEntry a = rig.record_take();
  TakeEntry b = rig.record_take();
  const auto tape_a = rig.tape(a), tape_b = rig.tape(b);
  EXPECT_EQ(write_pending_takes(r), 0);
  EXPECT_EQ(status_text(), "SPILL OPEN FAILED - HOLDING IN RAM");
  EXPECT_EQ(r->holding, 1);
  EXPECT_EQ(rig.engine->tape.release_point.load(), 0);
  // While holding no further attempt is made, even once the way is clear.
  fs::remove(rig.write_folder() + "/2026-10-05");
  EXPECT_EQ(write_pending_takes(r), 0);
  EXPECT_FALSE(path_exists((rig.write_folder() + "/2026-10-05").c_str()));

  // Now the write folder itself is blocked: ending keeps session and tape.
  fs::remove_all(rig.write_folder());
  write_text(rig.write_folder(), "in the way");
  EXPECT_EQ(end_session(r), -1);
  EXPECT_EQ(status_text(), "DISK WRITE FAILED - TAPE KEPT. FIX IT, THEN SPACE TO FINISH");
  EXPECT_EQ(r->takes.take_count, 2);
  EXPECT_EQ(rig.engine->reset_request.load(), 0);
  EXPECT_EQ(rig.tape(a), tape_a);

  // Cleared: the session folder is named after the first take and both takes are written.
  fs::remove(rig.write_folder());
  ASSERT_EQ(end_session(r), 0);
  const std::string rel = "2026-10-05/" + hms(a.started_at);
  EXPECT_EQ(status_text(), "SESSION ENDED - 2 TAKES -> " + rel);
  const std::string folder = rig.write_folder() + "/" + rel + "/";
  TakeFile files[4];
  ASSERT_EQ(list_take_files(folder.c_str(), files, 4), 2);
  EXPECT_EQ(wav_samples(folder + files[0].name), quantized16(tape_a));
  EXPECT_EQ(wav_samples(folder + files[1].name), quantized16(tape_b));
  EXPECT_EQ(r->library.row_count, 1);
}

TEST(Sessions, DiskWriteFailureKeepsTheTakeAndTheReleasePointBehindIt) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  arm_session(r);
  // An eleven-second take held open by hand, written; it fills chunk 0 and reaches into chunk 1.
  rig.engine->gate_forced = 1;
  rig.quiet(11 * 48000);
  rig.engine->gate_forced = 0;
  rig.quiet(3 * 48000);
  collect_sealed_takes(r);
  ASSERT_EQ(r->takes.take_count, 1);
  TakeEntry a = r->takes.takes[0];
  ASSERT_GT(a.end, 480000);
  ASSERT_EQ(write_pending_takes(r), 1);
  rig.now += 2;
  TakeEntry b = rig.record_take();
  const auto tape_b = rig.tape(b);

  // The take file's data write comes up short: the half file is deleted, the take stays unlisted.
  file_fault_set(FileFault::kShortWrite, 1, 1);
  EXPECT_EQ(write_pending_takes(r), 0);
  file_fault_clear();
  EXPECT_EQ(status_text(), "DISK WRITE FAILED - HOLDING IN RAM");
  EXPECT_TRUE(logged("spill FAILED: " + rig.session_folder() + "/" + stamp_name(b.started_at)));
  EXPECT_EQ(r->holding, 1);
  EXPECT_EQ(r->takes.written_count, 1);
  EXPECT_EQ(folder_names(rig.session_folder()), (std::vector<std::string>{"session.json", stamp_name(a.started_at)}));

  // Twelve seconds more of recording: the tape may give back what lies on disk, never take b.
  rig.engine->gate_forced = 1;
  rig.quiet(12 * 48000);
  rig.engine->gate_forced = 0;
  rig.quiet(3 * 48000);
  collect_sealed_takes(r);
  ASSERT_EQ(r->takes.take_count, 3);
  TakeEntry c = r->takes.takes[2];
  const auto tape_c = rig.tape(c);
  EXPECT_EQ(write_pending_takes(r), 0);
  EXPECT_EQ(rig.engine->tape.release_point.load(), a.end);
  rig.quiet(256);  // an allocator step gives back chunk 0, which holds only take a
  EXPECT_EQ(rig.engine->tape.released_frontier.load(), 480000);
  EXPECT_EQ(tape_frame(&rig.engine->tape, 0), nullptr);
  EXPECT_EQ(rig.tape(b), tape_b);

  // A full disk at the end: the session stays open and the tape whole.
  file_fault_set(FileFault::kDiskFull, 0, -1);
  EXPECT_EQ(end_session(r), -1);
  file_fault_clear();
  EXPECT_EQ(status_text(), "DISK WRITE FAILED - TAPE KEPT. FIX IT, THEN SPACE TO FINISH");
  EXPECT_NE(r->session.folder[0], 0);
  EXPECT_EQ(r->takes.take_count, 3);
  EXPECT_EQ(rig.engine->reset_request.load(), 0);
  EXPECT_EQ(rig.tape(b), tape_b);
  EXPECT_EQ(rig.tape(c), tape_c);
  EXPECT_EQ(folder_names(rig.session_folder()).size(), 2u);

  // Fixed: the next stop writes both under fresh names and seals the session.
  ASSERT_EQ(end_session(r), 0);
  EXPECT_EQ(status_text(), "SESSION ENDED - 3 TAKES -> 2026-10-05/124424");
  const std::string folder = rig.write_folder() + "/2026-10-05/124424/";
  EXPECT_EQ(wav_samples(folder + stamp_name(b.started_at)), quantized16(tape_b));
  TakeFile files[4];
  ASSERT_EQ(list_take_files(folder.c_str(), files, 4), 3);
  EXPECT_EQ(wav_samples(folder + files[2].name), quantized16(tape_c));
}

TEST(Sessions, AFailedFolderSyncKeepsTheTakeAndIsTriedAgain) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  arm_session(r);
  TakeEntry a = rig.record_take();
  rig.now += 5;
  TakeEntry b = rig.record_take(11 * 48000);  // the head moves far enough for a to be given back
  const auto tape_a = rig.tape(a);
  file_fault_set(FileFault::kDirSync, 0, 1);
  EXPECT_EQ(write_pending_takes(r), 2);
  file_fault_clear();
  EXPECT_EQ(r->takes.written_count, 2);
  EXPECT_EQ(wav_samples(rig.session_folder() + "/" + stamp_name(a.started_at)), quantized16(tape_a));
  EXPECT_TRUE(logged("session folder sync FAILED (" + stamp_name(a.started_at) + " kept, synced again next pass)"));
  EXPECT_EQ(rig.engine->tape.release_point.load(), 0);  // the tape keeps the audio meanwhile
  EXPECT_EQ(write_pending_takes(r), 0);
  EXPECT_TRUE(logged("session folder synced: " + rig.session_folder()));
  EXPECT_EQ(rig.engine->tape.release_point.load(), b.end - 10 * 48000);
  ASSERT_EQ(end_session(r), 0);
  EXPECT_EQ(status_text(), "SESSION ENDED - 2 TAKES -> 2026-10-05/124424");
}

TEST(Sessions, AWriteFolderThatWentAwayIsNotMadeAgainTheTakesWait) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  arm_session(r);
  TakeEntry a = rig.record_take();
  const auto tape_a = rig.tape(a);
  // The drive holding the write folder is unplugged: its mount point stays, empty.
  fs::remove_all(rig.write_folder());
  EXPECT_EQ(write_pending_takes(r), 0);
  EXPECT_EQ(status_text(), "DISK WRITE FAILED - HOLDING IN RAM");
  EXPECT_FALSE(fs::exists(rig.write_folder()));
  EXPECT_EQ(end_session(r), -1);
  EXPECT_FALSE(fs::exists(rig.write_folder()));
  // Plugged in again: only the session's date and time folders are made, and the take lands.
  fs::create_directories(rig.write_folder());
  ASSERT_EQ(end_session(r), 0);
  EXPECT_EQ(wav_samples(rig.write_folder() + "/2026-10-05/124424/" + stamp_name(a.started_at)), quantized16(tape_a));
}

TEST(Sessions, AVanishedSessionFolderIsMadeAgainOnceTheObstacleGoes) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  arm_session(r);
  const std::string folder = rig.session_folder();
  fs::remove_all(folder);
  write_text(folder, "in the way");
  TakeEntry a = rig.record_take();
  const auto tape_a = rig.tape(a);
  EXPECT_EQ(write_pending_takes(r), 0);
  EXPECT_EQ(status_text(), "DISK WRITE FAILED - HOLDING IN RAM");
  EXPECT_EQ(end_session(r), -1);
  EXPECT_EQ(status_text(), "DISK WRITE FAILED - TAPE KEPT. FIX IT, THEN SPACE TO FINISH");
  fs::remove(folder);
  // A failing create once more, then the real write.
  file_fault_set(FileFault::kCreate, 0, 1);
  EXPECT_EQ(end_session(r), -1);
  file_fault_clear();
  ASSERT_EQ(end_session(r), 0);
  EXPECT_EQ(wav_samples(folder + "/" + stamp_name(a.started_at)), quantized16(tape_a));
  EXPECT_EQ(read_text(folder + "/session.json"), index_head(16) + take_line(stamp_name(a.started_at), a, true) + "\n  ]\n}\n");
}

TEST(Sessions, AnEmptyTakeDoesNotHoldBackTheOthers) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  arm_session(r);
  TakeEntry a = rig.record_take();
  // A take that began while the tape was full holds no frames.
  r->takes.takes[r->takes.take_count++] = TakeEntry{a.end, a.end, rig.now};
  rig.engine->closed = 2;
  rig.engine->takes_closed = 2;
  TakeEntry b = rig.record_take();
  ASSERT_EQ(r->takes.take_count, 3);
  EXPECT_EQ(write_pending_takes(r), 3);
  EXPECT_EQ(r->holding, 0);
  EXPECT_EQ(folder_names(rig.session_folder()).size(), 3u);
  EXPECT_EQ(read_text(rig.session_folder() + "/session.json"),
            index_head(16) + take_line(r->session.names[0], a, true) + take_line(r->session.names[2], b, false) +
                "\n  ]\n}\n");
  EXPECT_EQ(r->session.names[1][0], 0);
  // The foot counts what the folder holds.
  ASSERT_EQ(end_session(r), 0);
  EXPECT_EQ(status_text(), "SESSION ENDED - 2 TAKES -> 2026-10-05/124424");
}
