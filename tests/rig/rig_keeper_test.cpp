// The rig keeper against a real store on a temporary folder and a hand-advanced clock: binding,
// loading and creating, the save schedule, scenes (fresh ones, copies, glyphs, the times of each
// choice), linked pairs, another program's changes merged under our pending edits, the fallback
// when the rig file cannot be read (a failing read injected through the platform layer), newer
// formats used read only, failed saves and their retries, parking, flushing at close, meters, the
// muted-input hint and a stream that does not match its rig.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "rig/rig_keeper.h"
#include "rig/rig_store.h"
#include "tests/rig/rig_keeper_fixture.h"

namespace {

constexpr char kKey[] = "jack:system";

float db(float gain) { return 20.0f * std::log10(gain); }

}  // namespace

TEST(RigKeeper, BindsCreatesTheRigAndSavesEditsOnceASecond) {
  KeeperRig t;
  t.open();
  RigStream s = KeeperRig::stream(kKey, 2, 8);
  t.bind(s);
  EXPECT_EQ(t.status().state, kRigLoading);
  EXPECT_EQ(rig_keeper_rig(t.k), nullptr);
  EXPECT_EQ(t.log.count("rig: bound jack:system (2 of 8 inputs, 48000 Hz)"), 1);
  ASSERT_TRUE(t.until([&] { return t.status().state == kRigBound; }));
  const RigNotice* in_use = t.last_notice(kRigNoticeInUse);
  ASSERT_NE(in_use, nullptr);
  EXPECT_EQ(in_use->value, 1);  // the file was created
  EXPECT_FALSE(in_use->flag);   // the defaults were not playing yet
  Doc disk = decode_file(t.path(kKey));
  EXPECT_STREQ(disk->key, kKey);
  EXPECT_EQ(disk->device.channels, 2);  // what the new rig was made with...
  EXPECT_STREQ(disk->device.channel_names[1], "capture_2");
  EXPECT_FALSE(disk->scenes[0].channels[0].link);  // separate mono inputs on JACK
  const RigKeeperStatus st = t.status();
  EXPECT_TRUE(st.bound);
  EXPECT_EQ(st.inputs, 2);
  EXPECT_EQ(st.device_inputs, 8);
  EXPECT_EQ(st.recorded_channels, 2);
  EXPECT_FALSE(st.all_muted);
  EXPECT_STREQ(rig_keeper_label(t.k, 1), "capture_2");
  EXPECT_STREQ(rig_keeper_label(t.k, 5), "");
  // The mixer plays the rig: both inputs in the middle.
  auto [l, r] = t.play({0.125f, 0.25f}, 2400);
  EXPECT_FLOAT_EQ(l, 0.375f);
  EXPECT_FLOAT_EQ(r, 0.375f);

  // ...and the device's real input count is saved soon after.
  ASSERT_TRUE(t.until([&] { return decode_file(t.path(kKey))->device.channels == 8; }, 5000, 0.2));
  const int64_t rev0 = decode_file(t.path(kKey))->rev;
  // Edits 0.1 s apart for 3 s are saved once a second, not after each.
  for (int e = 0; e < 30; ++e) {
    EXPECT_TRUE(rig_keeper_set_gain(t.k, 0, 0.5f + 0.01f * float(e)));
    t.settle(0.1);
  }
  for (int i = 0; i < 5; ++i) t.settle(0.2);
  Doc after = decode_file(t.path(kKey));
  EXPECT_GE(after->rev - rev0, 3);
  EXPECT_LE(after->rev - rev0, 4);
  EXPECT_EQ(after->scenes[0].channels[0].gain, 0.5f + 0.01f * 29.0f);
  EXPECT_STREQ(after->scenes[0].author, "tolm");
  EXPECT_EQ(rig_keeper_rig(t.k)->rev, after->rev);
  EXPECT_FALSE(rig_keeper_set_gain(t.k, 0, 0.5f + 0.01f * 29.0f));  // no change, nothing to save

  // What records: muting both inputs (the second through the first of a pair) leaves nothing.
  EXPECT_TRUE(rig_keeper_set_link(t.k, 0, true));
  EXPECT_EQ(t.status().recorded_channels, 2);  // a pair counts as two
  EXPECT_TRUE(rig_keeper_set_mute(t.k, 1, true));  // acts on input 1, the pair's first
  EXPECT_TRUE(rig_keeper_rig(t.k)->scenes[0].channels[0].muted);
  EXPECT_FALSE(rig_keeper_rig(t.k)->scenes[0].channels[1].muted);
  EXPECT_EQ(t.status().recorded_channels, 0);
  EXPECT_TRUE(t.status().all_muted);

  // The same device again with more inputs opened: the rig grows, and says so.
  s.inputs = 4;
  t.bind(s);
  t.tick();
  const RigNotice* more = t.last_notice(kRigNoticeMoreInputs);
  ASSERT_NE(more, nullptr);
  EXPECT_EQ(more->value, 4);
  EXPECT_EQ(rig_keeper_rig(t.k)->scenes[2].channel_count, 4);
  EXPECT_EQ(t.status().state, kRigBound);
  ASSERT_TRUE(t.until([&] { return decode_file(t.path(kKey))->scenes[3].channel_count == 4; }, 5000, 0.2));

  // Unbinding mutes the mixer.
  rig_keeper_unbind(t.k);
  t.tick();
  EXPECT_EQ(t.status().state, kRigUnbound);
  auto [l2, r2] = t.play({0.5f, 0.5f, 0.5f, 0.5f}, 2400);
  EXPECT_EQ(l2, 0.0f);
  EXPECT_EQ(r2, 0.0f);
}

TEST(RigKeeper, ScenesFreshCopiesGlyphsPairsAndTheTimesOfEachChoice) {
  KeeperRig t;
  t.open();
  t.bind(KeeperRig::stream(kKey, 4));
  ASSERT_TRUE(t.until([&] { return t.status().state == kRigBound; }));
  ASSERT_TRUE(rig_keeper_set_gain(t.k, 0, 0.5f));
  ASSERT_TRUE(rig_keeper_set_mute(t.k, 2, false));
  // The rig in memory is replaced by every merge: read it afresh after each keeper call.
  const auto rig = [&] { return rig_keeper_rig(t.k); };
  ASSERT_TRUE(rig()->scenes[1].fresh);

  // A fresh scene takes the mix in use; the sound does not change.
  ASSERT_TRUE(rig_keeper_select_scene(t.k, 1));
  t.tick();
  EXPECT_EQ(t.status().scene, 1);
  EXPECT_FALSE(rig()->scenes[1].fresh);
  EXPECT_EQ(rig()->scenes[1].channels[0].gain, 0.5f);
  EXPECT_FALSE(rig()->scenes[1].channels[2].muted);
  const RigNotice* sc = t.last_notice(kRigNoticeScene);
  ASSERT_NE(sc, nullptr);
  EXPECT_EQ(sc->value, 1);
  EXPECT_TRUE(sc->flag);    // the user chose it here
  EXPECT_FALSE(sc->flag2);  // same mix
  // Choosing again within the same millisecond still moves the time on.
  const double at1 = rig()->app_scenes[0].at;
  EXPECT_NEAR(at1, t.wall, 0.05);
  ASSERT_TRUE(rig_keeper_select_scene(t.k, 1));
  const double at2 = rig()->app_scenes[0].at;
  EXPECT_GE(at2, at1 + 0.001 - 1e-9);
  ASSERT_TRUE(rig_keeper_select_scene(t.k, 0));
  ASSERT_TRUE(rig_keeper_select_scene(t.k, 1));
  EXPECT_GT(rig()->app_scenes[0].at, at2);
  // Edits touch the selected scene only.
  ASSERT_TRUE(rig_keeper_set_gain(t.k, 0, 2.0f));
  EXPECT_EQ(rig()->scenes[0].channels[0].gain, 0.5f);
  t.settle(0.2);
  t.settle();
  Doc disk = decode_file(t.path(kKey));
  EXPECT_EQ(disk->active_scene, 1);
  EXPECT_FALSE(disk->scenes[1].fresh);
  EXPECT_EQ(disk->scenes[1].channels[0].gain, 2.0f);
  EXPECT_EQ(disk->scenes[0].channels[0].gain, 0.5f);
  ASSERT_EQ(disk->app_scene_count, 1);
  EXPECT_STREQ(disk->app_scenes[0].app, "tolm");
  EXPECT_EQ(disk->app_scenes[0].scene, 1);
  EXPECT_EQ(disk->app_scenes[0].at, rig()->app_scenes[0].at);

  // Copying scene 2 onto scene 4 selects it; it is no longer fresh, so nothing comes back.
  EXPECT_FALSE(rig_keeper_copy_scene(t.k, 1));  // onto itself
  ASSERT_TRUE(rig_keeper_copy_scene(t.k, 3));
  EXPECT_EQ(t.status().scene, 3);
  EXPECT_EQ(rig()->scenes[3].channels[0].gain, 2.0f);
  EXPECT_FALSE(rig()->scenes[3].fresh);
  t.tick();
  EXPECT_EQ(t.last_notice(kRigNoticeScene)->value, 3);
  EXPECT_FALSE(t.last_notice(kRigNoticeScene)->flag2);
  ASSERT_TRUE(rig_keeper_select_scene(t.k, 0));  // a different mix: the notice says so
  t.tick();
  EXPECT_TRUE(t.last_notice(kRigNoticeScene)->flag2);

  // Glyphs: the first character of the text, never a control, a variation selector or U+FFFD;
  // a fresh scene stays fresh.
  EXPECT_TRUE(rig_keeper_set_glyph(t.k, 2, "\xE2\x98\x82x"));
  EXPECT_STREQ(rig()->scenes[2].glyph, "\xE2\x98\x82");
  EXPECT_TRUE(rig()->scenes[2].fresh);
  EXPECT_FALSE(rig_keeper_set_glyph(t.k, 2, "\x01"));
  EXPECT_FALSE(rig_keeper_set_glyph(t.k, 2, "\xEF\xB8\x8F"));
  EXPECT_FALSE(rig_keeper_set_glyph(t.k, 2, "\xEF\xBF\xBD"));
  EXPECT_FALSE(rig_keeper_set_glyph(t.k, 2, "\xFF"));
  EXPECT_FALSE(rig_keeper_set_glyph(t.k, 4, "x"));
  t.settle();  // saved at once, not after the usual wait
  t.settle();
  EXPECT_STREQ(decode_file(t.path(kKey))->scenes[2].glyph, "\xE2\x98\x82");
  EXPECT_STREQ(decode_file(t.path(kKey))->scenes[3].glyph, "\xE2\x98\xAF");

  // Linked pairs: only on the first input of a pair with both present; the second acts for it.
  EXPECT_TRUE(rig_keeper_set_link(t.k, 0, true));
  EXPECT_FALSE(rig_keeper_set_link(t.k, 3, true));  // an even-numbered input
  EXPECT_TRUE(rig_keeper_set_gain(t.k, 1, 0.25f));
  EXPECT_EQ(rig()->scenes[0].channels[0].gain, 0.25f);
  EXPECT_EQ(rig()->scenes[0].channels[1].gain, 1.0f);
  EXPECT_TRUE(rig_keeper_set_pan(t.k, 1, -1.0f));  // a balance: the right side goes
  EXPECT_TRUE(rig_keeper_set_link(t.k, 2, true));
  auto [l, r] = t.play({0.5f, 0.25f, 0.125f, 0.0625f}, 4800);
  // Input 1 left at 0.25, input 2 gone with the balance, inputs 3+4 a pair at unity.
  EXPECT_FLOAT_EQ(l, 0.5f * 0.25f + 0.125f);
  EXPECT_FLOAT_EQ(r, 0.0625f);
  EXPECT_TRUE(rig_keeper_set_link(t.k, 1, false));  // the second unlinks its pair
  EXPECT_FALSE(rig()->scenes[0].channels[0].link);
  EXPECT_TRUE(rig_keeper_set_pan(t.k, 0, 7.0f));
  EXPECT_EQ(rig()->scenes[0].channels[0].pan, 1.0f);
  EXPECT_FALSE(rig_keeper_set_pan(t.k, 0, NAN));
  EXPECT_FALSE(rig_keeper_set_gain(t.k, 9, 1.0f));
  EXPECT_TRUE(rig_keeper_set_master(t.k, 99.0f));
  EXPECT_EQ(rig()->scenes[0].master_gain, kRigMaxGain);
  EXPECT_TRUE(rig_keeper_nudge_master(t.k, -24.0f));  // unity is a stop on the way down
  EXPECT_EQ(rig()->scenes[0].master_gain, 1.0f);
  EXPECT_TRUE(rig_keeper_nudge_master(t.k, -12.0f));
  EXPECT_NEAR(db(rig()->scenes[0].master_gain), -12.0f, 1e-3);
}

TEST(RigKeeper, AnotherProgramsChangeIsMergedUnderOurPendingEdits) {
  KeeperRig t;
  t.open("tolm", 50);
  t.bind(KeeperRig::stream(kKey, 4));
  ASSERT_TRUE(t.until([&] { return t.status().state == kRigBound; }));
  t.settle(0.2);
  RigStoreOptions o;
  o.folder = t.folder.c_str();
  o.app_name = "other";
  RigStore* other = rig_store_open(o);
  ASSERT_NE(other, nullptr);
  ASSERT_NE(rig_store_load(other, kKey, nullptr), 0u);
  Res theirs = next_result(other);
  ASSERT_EQ(theirs.type, kRigResultLoaded);

  // Ours: input 1's gain, not yet saved. Theirs: input 1's gain too, input 2's pan, the name.
  ASSERT_TRUE(rig_keeper_set_gain(t.k, 0, 0.25f));
  theirs.doc->scenes[0].channels[0].gain = 3.0f;
  theirs.doc->scenes[0].channels[1].pan = -0.5f;
  strcpy(theirs.doc->scenes[0].name, "stage");
  RigChanges m{};
  m.input[0][0] = kRigInputGain;
  m.input[0][1] = kRigInputPan;
  m.scene[0] = kRigSceneName;
  m.any = true;
  ASSERT_NE(rig_store_save(other, theirs.doc, m), 0u);
  ASSERT_EQ(next_result(other).type, kRigResultSaved);
  ASSERT_TRUE(t.until([&] { return t.count_notices(kRigNoticeChanged) > 0; }, 5000, 0.0));
  EXPECT_STREQ(t.last_notice(kRigNoticeChanged)->text, "other");
  EXPECT_STREQ(t.status().changed_by, "other");
  EXPECT_EQ(t.status().changed_at, t.now);
  const RigDoc* d = rig_keeper_rig(t.k);
  EXPECT_EQ(d->scenes[0].channels[0].gain, 0.25f);  // our pending edit stays
  EXPECT_EQ(d->scenes[0].channels[1].pan, -0.5f);   // theirs came in
  EXPECT_STREQ(d->scenes[0].name, "stage");
  // Our edit lands on top of theirs.
  t.settle(0.2);
  t.settle();
  Doc disk = decode_file(t.path(kKey));
  EXPECT_EQ(disk->scenes[0].channels[0].gain, 0.25f);
  EXPECT_EQ(disk->scenes[0].channels[1].pan, -0.5f);
  EXPECT_STREQ(disk->scenes[0].name, "stage");
  EXPECT_STREQ(disk->writer.app, "tolm");
  // The mixer follows the merged rig: input 2 panned left of centre.
  auto [l, r] = t.play({0.0f, 0.5f, 0.0f, 0.0f}, 12000);
  EXPECT_GT(l, r);

  // Another window of this application chose scene 3 later: this one follows it.
  RigStoreOptions o2 = o;
  o2.app_name = "tolm";
  RigStore* twin = rig_store_open(o2);
  ASSERT_NE(rig_store_load(twin, kKey, nullptr), 0u);
  Res mine = next_result(twin);
  ASSERT_EQ(mine.type, kRigResultLoaded);
  rig_set_app_scene(mine.doc, "tolm", 2, t.wall + 60);
  RigChanges sm{};
  sm.active_scene = true;
  sm.any = true;
  const int scene_notices = t.count_notices(kRigNoticeScene);
  ASSERT_NE(rig_store_save(twin, mine.doc, sm), 0u);
  ASSERT_EQ(next_result(twin).type, kRigResultSaved);
  ASSERT_TRUE(t.until([&] { return t.status().scene == 2; }, 5000, 0.0));
  EXPECT_EQ(t.count_notices(kRigNoticeScene), scene_notices + 1);
  EXPECT_FALSE(t.last_notice(kRigNoticeScene)->flag);  // not chosen here
  rig_store_close(twin, 2000);
  rig_store_close(other, 2000);
}

TEST(RigKeeper, FallsBackToDefaultsWhileTheRigFileCannotBeRead) {
  KeeperRig t;
  Doc file = new_rig(kKey, "jack", 4, "other");
  strcpy(file->scenes[0].name, "stage");
  file->scenes[0].channels[3].muted = false;
  ASSERT_EQ(make_dirs(t.folder.c_str()), 0);
  write_rig(t.path(kKey), file.get());
  file_fault_set(FileFault::kRead, 0, -1);  // a disk that fails every read
  t.open();
  t.bind(KeeperRig::stream(kKey, 4));
  t.settle();
  EXPECT_EQ(t.status().state, kRigLoading);
  EXPECT_EQ(t.log.count("rig: can't read the rig file (can't read the rig file: error 5) - retrying every 2 s"), 1);
  char name[96];
  rig_file_name(kKey, name, sizeof name);
  const std::string couldnt = std::string("rig: couldn't load ") + name;
  // Retried every 2 s; after 5 s the fresh defaults play.
  for (int i = 0; i < 9; ++i) t.settle(0.5);  // 4.5 s
  EXPECT_EQ(t.status().state, kRigLoading);
  EXPECT_EQ(t.log.count(couldnt), 3);  // at 0, 2 and 4 s
  EXPECT_EQ(t.log.count("retrying every"), 1);
  t.settle(0.5);
  RigKeeperStatus st = t.status();
  EXPECT_EQ(st.state, kRigBound);
  EXPECT_TRUE(st.fallback);
  EXPECT_EQ(t.log.count("rig: can't read the rig file for 5 s - running on the fresh defaults; changes stay in this "
                        "session until it can be read"),
            1);
  ASSERT_NE(t.last_notice(kRigNoticeInUse), nullptr);
  EXPECT_EQ(t.last_notice(kRigNoticeInUse)->value, 0);
  auto [l, r] = t.play({0.25f, 0.125f, 0.5f, 0.5f}, 4800);
  EXPECT_FLOAT_EQ(l, 0.375f);  // inputs 3 and 4 muted, as on a new rig
  // Edits go on in the session; saving them fails while the disk does.
  ASSERT_TRUE(rig_keeper_set_gain(t.k, 1, 0.5f));
  for (int i = 0; i < 3; ++i) t.settle(0.2);
  EXPECT_TRUE(t.status().save_error);
  EXPECT_STREQ(t.status().error, "CAN'T READ THE RIG FILE: ERROR 5");
  EXPECT_EQ(t.count_notices(kRigNoticeSaveFailed), 1);

  // The disk recovers: the file's rig comes back with our edit on it.
  file_fault_clear();
  ASSERT_TRUE(t.until([&] { return !t.status().fallback && !t.status().save_error; }, 8000, 0.5));
  EXPECT_EQ(t.log.count("rig: the rig file can be read again - merged it in") +
                t.log.count("rig: the rig file can be read again - our edits landed on it"),
            1);
  const RigDoc* d = rig_keeper_rig(t.k);
  EXPECT_STREQ(d->scenes[0].name, "stage");
  EXPECT_FALSE(d->scenes[0].channels[3].muted);
  EXPECT_EQ(d->scenes[0].channels[1].gain, 0.5f);
  ASSERT_TRUE(t.until([&] { return decode_file(t.path(kKey))->scenes[0].channels[1].gain == 0.5f; }, 5000, 0.5));
  Doc disk = decode_file(t.path(kKey));
  EXPECT_STREQ(disk->scenes[0].name, "stage");
  EXPECT_FALSE(disk->scenes[0].channels[3].muted);
}

TEST(RigKeeper, ANewerFormatIsUsedReadOnly) {
  KeeperRig t;
  ASSERT_EQ(make_dirs(t.folder.c_str()), 0);
  const std::string newer =
      "{\"format\":\"lumaro.rig\",\"version\":2,\"key\":\"jack:system\",\"device\":{\"api\":\"jack\",\"name\":"
      "\"system\",\"channels\":2},\"scenes\":[{\"channels\":[{\"kind\":{\"input\":{\"channel\":0}},\"gain\":0.5},"
      "{\"kind\":{\"input\":{\"channel\":1}},\"muted\":true}]},{},{},{}],\"x\":1}";
  write_text(t.path(kKey), newer);
  t.open("tolm", 50);
  t.bind(KeeperRig::stream(kKey, 2));
  ASSERT_TRUE(t.until([&] { return t.status().state == kRigReadOnly; }));
  EXPECT_EQ(t.count_notices(kRigNoticeReadOnly), 1);
  EXPECT_EQ(t.log.count("rig: jack:system was made by a newer app - read only"), 1);
  EXPECT_TRUE(t.status().bound);
  // Shown and played as it is, never edited or written.
  auto [l, r] = t.play({0.25f, 0.5f}, 2400);
  EXPECT_FLOAT_EQ(l, 0.125f);
  EXPECT_FLOAT_EQ(r, 0.125f);
  EXPECT_FALSE(rig_keeper_set_gain(t.k, 0, 1.0f));
  EXPECT_FALSE(rig_keeper_select_scene(t.k, 1));
  EXPECT_FALSE(rig_keeper_set_glyph(t.k, 1, "x"));
  for (int i = 0; i < 5; ++i) t.settle(0.5);
  EXPECT_EQ(read_text(t.path(kKey)), newer);

  // Someone writes it in our format again: it becomes ours to edit.
  Doc again = new_rig(kKey, "jack", 2, "other");
  again->scenes[0].channels[0].gain = 0.75f;
  strcpy(again->writer.app, "other");
  strcpy(again->writer.instance, "0123456789abcdef");
  again->rev = 5;
  write_rig(t.path(kKey), again.get());
  ASSERT_TRUE(t.until([&] { return t.status().state == kRigBound; }));
  EXPECT_STREQ(t.last_notice(kRigNoticeChanged)->text, "other");
  EXPECT_EQ(rig_keeper_rig(t.k)->scenes[0].channels[0].gain, 0.75f);
  EXPECT_TRUE(rig_keeper_set_gain(t.k, 0, 1.0f));
}

TEST(RigKeeper, FailedSavesKeepTheEditAndRetryEveryTwoSeconds) {
  KeeperRig t;
  t.open();
  t.bind(KeeperRig::stream(kKey, 2));
  ASSERT_TRUE(t.until([&] { return t.status().state == kRigBound; }));
  t.settle(0.2);
  file_fault_set(FileFault::kCreate, 0, 2);  // the next two writes cannot make their file
  ASSERT_TRUE(rig_keeper_set_gain(t.k, 0, 0.5f));
  t.settle(0.2);
  t.settle();
  EXPECT_TRUE(t.status().save_error);
  EXPECT_STREQ(t.status().error, "CAN'T WRITE THE RIG FILE: ACCESS DENIED");
  ASSERT_EQ(t.count_notices(kRigNoticeSaveFailed), 1);
  EXPECT_STREQ(t.last_notice(kRigNoticeSaveFailed)->text, "can't write the rig file: access denied");
  t.settle(1.5);  // not before 2 s
  EXPECT_EQ(t.log.count("rig: couldn't save"), 1);
  t.settle(0.6);
  t.settle();
  EXPECT_EQ(t.log.count("rig: couldn't save"), 2);
  EXPECT_EQ(t.count_notices(kRigNoticeSaveFailed), 1);  // said once for the run
  EXPECT_NE(decode_file(t.path(kKey))->scenes[0].channels[0].gain, 0.5f);
  t.settle(2.1);
  t.settle();
  EXPECT_FALSE(t.status().save_error);
  EXPECT_STREQ(t.status().error, "");
  EXPECT_EQ(t.count_notices(kRigNoticeSavedAgain), 1);
  EXPECT_EQ(t.log.count("rig: saved jack:system again"), 1);
  EXPECT_EQ(decode_file(t.path(kKey))->scenes[0].channels[0].gain, 0.5f);
}

TEST(RigKeeper, ParksTheOldRigForItsSavesAndFlushesAtClose) {
  KeeperRig t;
  t.open();
  t.bind(KeeperRig::stream(kKey, 2));
  ASSERT_TRUE(t.until([&] { return t.status().state == kRigBound; }));
  // An edit not yet saved when another device comes along: it is saved in the background.
  ASSERT_TRUE(rig_keeper_set_gain(t.k, 0, 0.5f));
  RigStream usb = KeeperRig::stream("", 2, 2, "alsa");
  strcpy(usb.device, "  USB Audio CODEC: Audio (hw)\n");
  t.bind(usb);
  EXPECT_STREQ(t.status().key, "alsa:USB Audio CODEC: Audio (hw)");
  EXPECT_STREQ(t.status().device, "USB Audio CODEC: Audio (hw)");
  EXPECT_EQ(t.status().state, kRigLoading);
  ASSERT_TRUE(t.until([&] {
    return t.status().state == kRigBound && decode_file(t.path(kKey))->scenes[0].channels[0].gain == 0.5f;
  }));
  EXPECT_TRUE(rig_keeper_rig(t.k)->scenes[0].channels[0].link);  // an ALSA device's first pair
  EXPECT_EQ(t.log.count("dropped the unsaved changes"), 0);
  // An edit left when the program closes is flushed then.
  ASSERT_TRUE(rig_keeper_set_mute(t.k, 0, true));
  t.close();
  EXPECT_TRUE(decode_file(t.path("alsa:USB Audio CODEC: Audio (hw)"))->scenes[0].channels[0].muted);

  // A parked rig whose saves cannot land is dropped, said so, when a third device comes.
  t.open();
  t.bind(KeeperRig::stream(kKey, 2));
  ASSERT_TRUE(t.until([&] { return t.status().state == kRigBound; }));
  file_fault_set(FileFault::kCreate, 0, -1);
  ASSERT_TRUE(rig_keeper_set_gain(t.k, 0, 2.0f));
  t.settle(0.2);
  t.settle();
  t.bind(usb);  // the first rig is parked, its saves failing
  ASSERT_TRUE(t.until([&] { return t.status().state == kRigBound; }));
  ASSERT_TRUE(rig_keeper_set_gain(t.k, 1, 0.25f));  // the pair's second: acts on input 1
  EXPECT_EQ(t.log.count("dropped the unsaved changes"), 0);
  t.bind(KeeperRig::stream("jack:other", 2));
  EXPECT_EQ(t.log.count("rig: dropped the unsaved changes of jack:system (another device came along first)"), 1);
  file_fault_clear();
  // A flush says whether anything is left unsaved.
  ASSERT_TRUE(t.until([&] { return t.status().state == kRigBound; }, 8000, 0.5));
  ASSERT_TRUE(rig_keeper_set_gain(t.k, 1, 0.125f));
  EXPECT_TRUE(rig_keeper_flush(t.k, 2000));
  EXPECT_EQ(decode_file(t.path("jack:other"))->scenes[0].channels[1].gain, 0.125f);
  EXPECT_EQ(decode_file(t.path("alsa:USB Audio CODEC: Audio (hw)"))->scenes[0].channels[0].gain, 0.25f);  // parked
}

TEST(RigKeeper, FaderLawAndNudges) {
  EXPECT_EQ(rig_gain_from_fader(0.0199f), 0.0f);
  EXPECT_NEAR(db(rig_gain_from_fader(0.02f)), -72.0f, 1e-3);
  EXPECT_NEAR(db(rig_gain_from_fader(0.375f)), -21.0f, 1e-3);  // linear in dB between corners
  EXPECT_EQ(rig_gain_from_fader(0.75f), 1.0f);
  EXPECT_EQ(rig_gain_from_fader(7.0f), kRigMaxGain);
  EXPECT_EQ(rig_gain_from_fader(NAN), 0.0f);
  EXPECT_EQ(rig_fader_from_db(-72.5f), 0.0f);
  // Meters and faders share the law: positions go through gain and back unchanged.
  for (float p = 0.02f; p <= 1.0f; p += 0.01f) EXPECT_NEAR(rig_fader_from_gain(rig_gain_from_fader(p)), p, 1e-4) << p;

  EXPECT_NEAR(db(rig_nudge_gain(0.0f, 0.5f)), -72.0f, 1e-3);  // up from off starts at the bottom
  EXPECT_EQ(rig_nudge_gain(0.0f, -0.5f), 0.0f);
  EXPECT_NEAR(db(rig_nudge_gain(1e-6f, 0.1f)), -72.0f, 1e-3);
  EXPECT_EQ(rig_nudge_gain(std::pow(10.0f, -0.3f / 20), 0.5f), 1.0f);  // unity is a stop
  EXPECT_EQ(rig_nudge_gain(std::pow(10.0f, 0.3f / 20), -0.5f), 1.0f);
  EXPECT_NEAR(db(rig_nudge_gain(1.0f, 0.5f)), 0.5f, 1e-4);               // and left again
  EXPECT_NEAR(db(rig_nudge_gain(1.0f, -3.0f)), -3.0f, 1e-4);
  EXPECT_EQ(rig_nudge_gain(std::pow(10.0f, 11.8f / 20), 0.5f), kRigMaxGain);
  EXPECT_EQ(rig_nudge_gain(std::pow(10.0f, -71.9f / 20), -0.5f), 0.0f);
  EXPECT_NEAR(db(rig_nudge_gain(std::pow(10.0f, -71.9f / 20), -0.1f)), -72.0f, 1e-3);

  char out[16];
  rig_sanitize_text(out, sizeof out, " \t caf\xE9 \r\n");  // not UTF-8: read as ISO-8859-1
  EXPECT_STREQ(out, "caf\xC3\xA9");
  rig_sanitize_text(out, sizeof out, "\xE2\x99\x97\xE2\x99\x97\xE2\x99\x97\xE2\x99\x97\xE2\x99\x97\xE2\x99\x97");
  EXPECT_STREQ(out, "\xE2\x99\x97\xE2\x99\x97\xE2\x99\x97\xE2\x99\x97\xE2\x99\x97");  // cut between characters
}

TEST(RigKeeper, MetersFallHoldLatchAndHintAtAForgottenMute) {
  KeeperRig t;
  t.open();
  t.bind(KeeperRig::stream(kKey, 4));
  ASSERT_TRUE(t.until([&] { return t.status().state == kRigBound; }));
  t.play({0, 0, 0, 0}, 4800);
  t.tick();
  // Input 1 heard at -6 dB; inputs 3 (-20 dB) and 4 (clipping) muted.
  t.play({0.5f, 0.0f, 0.1f, 0.9995f}, 256);
  t.tick(0.1);
  const RigKeeperMeters* m = rig_keeper_meters(t.k);
  EXPECT_EQ(m->inputs, 4);
  EXPECT_NEAR(m->input[0].in.db, db(0.5f), 1e-3);
  EXPECT_FLOAT_EQ(m->input[0].in.position, rig_fader_from_db(db(0.5f)));
  EXPECT_NEAR(m->input[0].post.db, db(0.5f), 1e-3);  // unity fader
  EXPECT_NEAR(m->input[2].in.db, -20.0f, 1e-3);
  EXPECT_EQ(m->input[2].post.db, kRigMeterFloorDb);  // muted: nothing after the fader
  EXPECT_EQ(m->input[1].in.db, kRigMeterFloorDb);
  EXPECT_TRUE(m->input[3].clip);
  EXPECT_FALSE(m->input[0].clip);
  EXPECT_NEAR(m->out_left.db, db(0.5f), 1e-3);
  // Silence: the level falls 24 dB a second, the hold stays for 1.5 s, the clip stays latched.
  t.play({0, 0, 0, 0}, 256);
  t.tick(0.5);
  EXPECT_NEAR(m->input[0].in.db, db(0.5f) - 12.0f, 1e-3);
  EXPECT_NEAR(m->input[0].in.hold_db, db(0.5f), 1e-3);
  EXPECT_TRUE(m->input[3].clip);
  t.play({0, 0, 0, 0}, 256);
  t.tick(1.1);  // at most a second's fall per step
  EXPECT_NEAR(m->input[0].in.db, db(0.5f) - 36.0f, 1e-3);
  EXPECT_NEAR(m->input[0].in.hold_db, m->input[0].in.db, 1e-6);
  rig_keeper_clear_clip(t.k, 3);
  EXPECT_FALSE(m->input[3].clip);

  for (int i = 0; i < 10; ++i) {  // everything down to the floor
    t.play({0, 0, 0, 0}, 256);
    t.tick(1.0);
  }
  EXPECT_EQ(m->input[3].in.db, kRigMeterFloorDb);

  // A muted input with signal while nothing heard has any: after 1.5 s it is hinted, and the hint
  // goes 0.5 s after the condition does.
  for (int i = 0; i <= 12; ++i) {
    t.play({0, 0, 0.1f, 0}, 256);
    t.tick(0.125);
    EXPECT_EQ(t.status().hinted_input, i < 12 ? -1 : 2) << i;
  }
  // Something heard (input 1 at -40 dB) ends the condition.
  for (int i = 0; i < 3; ++i) {
    t.play({0.01f, 0, 0.1f, 0}, 256);
    t.tick(0.25);
    EXPECT_EQ(t.status().hinted_input, i < 2 ? 2 : -1) << i;
  }
  // Unmuted, it is heard: no hint at all.
  ASSERT_TRUE(rig_keeper_set_mute(t.k, 2, false));
  for (int i = 0; i < 20; ++i) {
    t.play({0, 0, 0.1f, 0}, 256);
    t.tick(0.125);
  }
  EXPECT_EQ(t.status().hinted_input, -1);

  // A stream that is not the one the rig was bound for: reported, once in the log.
  rig_mixer_start(rig_keeper_mixer(t.k), 48000, 4, rig_stream_tag("jack:other"), nullptr);
  t.tick();
  t.tick();
  EXPECT_TRUE(t.status().mismatch);
  char line[200];
  snprintf(line, sizeof line,
           "rig: the stream (tag %08x, 4 in) doesn't match the rig bound for it (jack:system: tag %08x, 4 in)",
           rig_stream_tag("jack:other"), rig_stream_tag(kKey));
  EXPECT_EQ(t.log.count(line), 1);
  rig_mixer_start(rig_keeper_mixer(t.k), 48000, 4, rig_stream_tag(kKey), nullptr);
  t.tick();
  EXPECT_FALSE(t.status().mismatch);
}
