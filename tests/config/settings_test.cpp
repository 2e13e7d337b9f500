// Settings file: defaults, the reader's rules on good and hostile input, the writer's exact
// text, round trips, portable precedence and the failure to write.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "config/settings.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "tests/support/temp_dir.h"

namespace {

Settings read_text_settings(const std::string& text) {
  Settings s;
  settings_defaults(&s);
  read_settings_text(&s, text.data(), text.size());
  return s;
}

std::string format(const Settings& s) {
  static char buf[16384];
  size_t n = format_settings(s, buf, sizeof buf);
  return std::string(buf, n);
}

}  // namespace

TEST(Settings, DefaultsWithNoFile) {
  TempDir home;
  setenv("XDG_CONFIG_HOME", home.path.c_str(), 1);
  Settings s;
  memset(&s, 0x5a, sizeof s);
  load_settings(&s);
  EXPECT_FLOAT_EQ(s.threshold_db, -34);
  EXPECT_FLOAT_EQ(s.pre_roll_s, 0.5f);
  EXPECT_FLOAT_EQ(s.post_roll_s, 1);
  EXPECT_FLOAT_EQ(s.gain, 1);
  EXPECT_EQ(s.hpf_slope, 72);
  EXPECT_EQ(s.lpf_slope, 72);
  EXPECT_FLOAT_EQ(s.peak_q, 2);
  EXPECT_EQ(s.bit_depth, 16);
  EXPECT_EQ(s.buffer_frames, 256);
  EXPECT_EQ(s.rig_sel, -1);
  EXPECT_FLOAT_EQ(s.lib_gain, 1);
  // Everything else is zero or empty.
  Settings z;
  settings_defaults(&z);
  z.threshold_db = z.pre_roll_s = z.post_roll_s = z.gain = z.peak_q = z.lib_gain = 0;
  z.hpf_slope = z.lpf_slope = z.bit_depth = z.buffer_frames = z.rig_sel = 0;
  EXPECT_STREQ(z.cloud_environment, "production");
  memset(z.cloud_container, 0, sizeof z.cloud_container);
  memset(z.cloud_environment, 0, sizeof z.cloud_environment);
  Settings zero;
  memset(&zero, 0, sizeof zero);
  EXPECT_EQ(memcmp(&z, &zero, sizeof z), 0);
}

TEST(Settings, WriterOrderAndFormats) {
  Settings s;
  settings_defaults(&s);
  std::string text = format(s);
  EXPECT_EQ(text.rfind("; tolm trigger + device settings \xE2\x80\x94 written live, on change\n", 0), 0u);
  EXPECT_NE(text.find("\nthreshold_db = -34.00\nexit_db = 0.00\nhold_norm = 0.0000\npre_roll_s = 0.500\n"
                      "post_roll_s = 1.000\nlook_back_s = 0.000\ngain = 1.000\nscale_db = 0.00\nhpf_hz = 0.0\n"
                      "hpf_slope = 72\nlpf_hz = 0.0\nlpf_slope = 72\npeak_hz = 0.0\npeak_q = 2.00\n"),
            std::string::npos);
  EXPECT_NE(text.find("scope_fall_off = 0\nvis_color_0 = 0\n"), std::string::npos);
  EXPECT_NE(text.find("vis_color_17 = 0\nlink = 0\nbroadcast = 0\nsample_rate = 0\nwin_x = 0\n"), std::string::npos);
  EXPECT_NE(text.find("lib_w = 0\npopt_x = 0\npopt_y = 0\npopt_open = 0\npopt_det = 0\npopt_wx = 0\npopt_wy = 0\n"
                      "popt_ww = 0\npopt_wh = 0\npgui_x = 0\n"),
            std::string::npos);
  EXPECT_NE(text.find("plib_wh = 0\nbr_x = 0\n"), std::string::npos);
  EXPECT_NE(text.find("rig_open = 0\nhud_mode = 0\nside_hidden = 0\nfirst_done = 0\nrig_sel = -1\n"
                      "rig_scroll = 0.000\ntrain_done = 0\ntrain_seen = 0\n"),
            std::string::npos);
  // Empty text fields are left out, so they stay empty after a round trip.
  for (const char* key :
       {"\nlink_input", "\nfiles_state", "\nseen_version", "\ndevice", "\nlibrary_dir", "\ncloud_api_token"})
    EXPECT_EQ(text.find(key), std::string::npos) << key;
  EXPECT_EQ(text.back(), '\n');
  EXPECT_NE(text.find("train_seen = 0\ncloud_container = iCloud.com.lumaro.zephakit\ncloud_environment = production\n"),
            std::string::npos);

  text_copy(s.link_input, "studio left");
  text_copy(s.device, "system [JACK]");
  text_copy(s.library_dir, "/srv/audio");
  text_copy(s.seen_version, "1.3.10");
  std::string full = format(s);
  EXPECT_NE(full.find("broadcast = 0\nlink_input = studio left\nsample_rate = 0\n"), std::string::npos);
  EXPECT_NE(full.find("train_seen = 0\nseen_version = 1.3.10\ndevice = system [JACK]\nlibrary_dir = /srv/audio\n"),
            std::string::npos);
  EXPECT_NE(full.find("library_dir = /srv/audio\ncloud_container = "), std::string::npos);
}

TEST(Settings, RoundTripAtPrintedPrecision) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-100, 100);
  std::uniform_int_distribution<int> n(-100000, 100000);
  for (int round = 0; round < 20; ++round) {
    Settings s;
    settings_defaults(&s);
    auto dec = [&](int places) {
      double scale = places == 1 ? 10 : places == 2 ? 100 : places == 3 ? 1000 : 10000;
      return float(std::lround(u(rng) * scale) / scale);
    };
    s.threshold_db = dec(2), s.exit_db = dec(2), s.hold_norm = dec(4), s.pre_roll_s = dec(3);
    s.post_roll_s = dec(3), s.look_back_s = dec(3), s.gain = dec(3), s.scale_db = dec(2);
    s.hpf_hz = dec(1), s.lpf_hz = dec(1), s.peak_hz = dec(1), s.peak_q = dec(2);
    s.lib_gain = dec(3), s.lib_zoom_s = dec(3), s.rig_scroll = dec(3);
    s.hpf_slope = n(rng), s.lpf_slope = n(rng), s.monitor = n(rng), s.normalize_monitor = n(rng);
    s.bit_depth = n(rng), s.buffer_frames = n(rng), s.sample_rate = n(rng), s.exclusive = n(rng);
    s.wall_source = round % 3, s.scope_fall_off = n(rng);
    for (int& c : s.vis_color) c = std::abs(n(rng)) % 11;
    s.link = n(rng), s.broadcast = n(rng), s.win_x = n(rng), s.win_y = n(rng), s.win_w = n(rng);
    s.win_h = n(rng), s.win_max = n(rng), s.lib_tab = round % 2, s.lib_w = n(rng);
    for (auto& p : s.panel)
      for (int& v : p) v = n(rng);
    s.br_x = n(rng), s.br_y = n(rng), s.br_w = n(rng), s.br_h = n(rng), s.br_open = n(rng);
    s.rig_open = n(rng), s.rig_sel = n(rng), s.hud_mode = round % 3, s.side_hidden = round % 2;
    s.first_done = (round + 1) % 2, s.train_done = n(rng), s.train_seen = n(rng);
    text_copy(s.link_input, "Link Ch \xC3\xA9 ");
    text_copy(s.files_state, "tab=2;fav=/home/x");
    text_copy(s.seen_version, "1.3.9");
    text_copy(s.library_dir, "/media/disk/My Recordings  ");
    text_copy(s.device, "USB Audio CODEC [ALSA]");

    Settings back = read_text_settings(format(s));
    auto near = [](float a, float b) { return std::fabs(a - b) <= std::fabs(b) * 1e-6f + 1e-5f; };
    EXPECT_TRUE(near(back.threshold_db, s.threshold_db));
    EXPECT_TRUE(near(back.hold_norm, s.hold_norm));
    EXPECT_TRUE(near(back.rig_scroll, s.rig_scroll));
    EXPECT_TRUE(near(back.lib_zoom_s, s.lib_zoom_s));
    // Floats are compared above; the rest must match byte for byte.
    Settings a = s, b = back;
    for (Settings* x : {&a, &b}) {
      x->threshold_db = x->exit_db = x->hold_norm = x->pre_roll_s = x->post_roll_s = x->look_back_s = 0;
      x->gain = x->scale_db = x->hpf_hz = x->lpf_hz = x->peak_hz = x->peak_q = 0;
      x->lib_gain = x->lib_zoom_s = x->rig_scroll = 0;
    }
    ASSERT_EQ(memcmp(&a, &b, sizeof a), 0) << "round " << round;
    EXPECT_TRUE(near(back.exit_db, s.exit_db) && near(back.pre_roll_s, s.pre_roll_s) &&
                near(back.post_roll_s, s.post_roll_s) && near(back.look_back_s, s.look_back_s) &&
                near(back.gain, s.gain) && near(back.scale_db, s.scale_db) && near(back.hpf_hz, s.hpf_hz) &&
                near(back.lpf_hz, s.lpf_hz) && near(back.peak_hz, s.peak_hz) && near(back.peak_q, s.peak_q) &&
                near(back.lib_gain, s.lib_gain));
  }
}

TEST(Settings, ReaderRangeRules) {
  Settings s = read_text_settings(
      "vis_color_18 = 3\nvis_color_2 = 11\nvis_color_3 = 10\nvis_color_4 = -1\n"
      "wall_source = 3\nhud_mode = -1\nlib_tab = 2\nfirst_done = 5\nside_hidden = -2\n"
      "hpf_slope = 13.9\nrig_sel = -3.7\nexit_db = 99\n");
  EXPECT_EQ(s.vis_color[2], 0);
  EXPECT_EQ(s.vis_color[3], 10);
  EXPECT_EQ(s.vis_color[4], 0);
  EXPECT_EQ(s.wall_source, 0);
  EXPECT_EQ(s.hud_mode, 0);
  EXPECT_EQ(s.lib_tab, 0);
  EXPECT_EQ(s.first_done, 1);
  EXPECT_EQ(s.side_hidden, 1);
  EXPECT_EQ(s.hpf_slope, 13);   // truncated toward zero
  EXPECT_EQ(s.rig_sel, -3);
  EXPECT_FLOAT_EQ(s.exit_db, 99);  // out-of-slider values stay in force
  EXPECT_EQ(read_text_settings("lib_tab = 1\nwall_source = 2\nhud_mode = 2\n").lib_tab, 1);
}

TEST(Settings, TextFieldsEmptyValuesTrailingBlanksAndLongValues) {
  Settings s;
  settings_defaults(&s);
  text_copy(s.library_dir, "/keep");
  std::string text = "library_dir =   \ndevice=  Mic One  \r\n";
  read_settings_text(&s, text.data(), text.size());
  EXPECT_STREQ(s.library_dir, "/keep");  // an empty value leaves the field alone
  EXPECT_STREQ(s.device, "Mic One  ");   // trailing blanks kept, CR dropped

  std::string state(1399, 'q');
  state[0] = 'a';
  state[1398] = 'z';
  settings_defaults(&s);
  text_copy(s.files_state, state.c_str());
  Settings back = read_text_settings(format(s));
  EXPECT_EQ(std::string(back.files_state), state);

  // A value longer than its field is cut at the capacity.
  back = read_text_settings("device = " + std::string(300, 'd') + "\nseen_version = 12345678901234567890\n");
  EXPECT_EQ(strlen(back.device), 127u);
  EXPECT_STREQ(back.seen_version, "123456789012345");
}

TEST(Settings, HostileInputLoadsWithDefaults) {
  std::string text;
  text += std::string(10000, 'x') + "\n";
  text += "threshold_db = -20\r\n";
  text += std::string("gain = \0\x01\xff 3\n", 14);
  text += "\x01\x02\x03\xfe\xff binary = 9\n";
  text += "hold_norm = nan\npost_roll_s = inf\nwin_w = 1e30\nwin_h = -1e30\n";
  text += "threshold_db = -12.5\n";  // the later line wins
  text += "unknown_key = 4\nbit_depth =\n= 5\nmonitor 1\n";
  text += "buffer_frames = " + std::string(5000, '9') + "\n";
  text += "popt_det = 1\npgui_x = 33\nplib_ww = 640\npopt_zz = 3\n";
  Settings s = read_text_settings(text);
  EXPECT_FLOAT_EQ(s.threshold_db, -12.5f);
  EXPECT_FLOAT_EQ(s.gain, 1);
  EXPECT_FLOAT_EQ(s.hold_norm, 0);
  EXPECT_FLOAT_EQ(s.post_roll_s, 1);
  EXPECT_EQ(s.win_w, 2147483647);
  EXPECT_EQ(s.win_h, -2147483647 - 1);
  EXPECT_EQ(s.bit_depth, 16);
  EXPECT_EQ(s.monitor, 0);
  EXPECT_EQ(s.buffer_frames, 256);  // overflows a float: not a finite number, ignored
  EXPECT_EQ(s.panel[kPanelOptions][kPanelDetached], 1);
  EXPECT_EQ(s.panel[kPanelTolm][kPanelX], 33);
  EXPECT_EQ(s.panel[kPanelLibrary][kPanelWinW], 640);
}

TEST(Settings, FullStopWhateverTheLocale) {
  ASSERT_NE(setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "the de_DE.UTF-8 locale is not installed";
  char probe[16];
  snprintf(probe, sizeof probe, "%.1f", 1.5);
  ASSERT_STREQ(probe, "1,5");  // the locale really uses a comma
  Settings s;
  settings_defaults(&s);
  s.threshold_db = -12.25f;
  s.gain = 1.5f;
  std::string text = format(s);
  EXPECT_NE(text.find("threshold_db = -12.25\n"), std::string::npos);
  EXPECT_NE(text.find("gain = 1.500\n"), std::string::npos);
  Settings back = read_text_settings(text);
  EXPECT_FLOAT_EQ(back.threshold_db, -12.25f);
  EXPECT_FLOAT_EQ(back.gain, 1.5f);
  setlocale(LC_ALL, "C");
}

TEST(Settings, PortableFileWinsAndConfigFolderIsLeftAlone) {
  TempDir program, config;
  setenv("XDG_CONFIG_HOME", config.path.c_str(), 1);
  char path[260];
  settings_path_in(program.path.c_str(), path, sizeof path);
  EXPECT_EQ(std::string(path), config.path + "/Lumaro/tolm.ini");
  EXPECT_TRUE(is_dir((config.path + "/Lumaro").c_str()));

  TempDir config2;
  setenv("XDG_CONFIG_HOME", config2.path.c_str(), 1);
  write_text(program.file("tolm.ini"), "gain = 2\n");
  settings_path_in(program.path.c_str(), path, sizeof path);
  EXPECT_EQ(std::string(path), program.file("tolm.ini"));
  EXPECT_FALSE(path_exists((config2.path + "/Lumaro").c_str()));

  // Without XDG_CONFIG_HOME the folder is ~/.config, created when missing.
  TempDir home;
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", home.path.c_str(), 1);
  settings_path_in(config2.path.c_str(), path, sizeof path);
  EXPECT_EQ(std::string(path), home.path + "/.config/Lumaro/tolm.ini");
  EXPECT_TRUE(is_dir((home.path + "/.config/Lumaro").c_str()));
}

TEST(Settings, SaveLoadAndFailedWriteKeepsOldFile) {
  TempDir config;
  setenv("XDG_CONFIG_HOME", config.path.c_str(), 1);
  Settings s;
  settings_defaults(&s);
  s.threshold_db = -40;
  ASSERT_TRUE(save_settings(s));
  Settings back;
  load_settings(&back);
  EXPECT_FLOAT_EQ(back.threshold_db, -40);
  std::string before = read_text(config.path + "/Lumaro/tolm.ini");

  s.threshold_db = -10;
  for (FileFault fault : {FileFault::kCreate, FileFault::kWrite, FileFault::kShortWrite, FileFault::kDiskFull}) {
    file_fault_set(fault, 0, -1);
    EXPECT_FALSE(save_settings(s));
    file_fault_clear();
    EXPECT_EQ(read_text(config.path + "/Lumaro/tolm.ini"), before);
  }
  // No temporary file is left next to it.
  int entries = 0;
  list_dir((config.path + "/Lumaro").c_str(), [](const DirEntry&, void* n) { ++*static_cast<int*>(n); return true; },
           &entries);
  EXPECT_EQ(entries, 1);
  // A folder that cannot hold the file.
  EXPECT_FALSE(write_settings_file((config.path + "/missing/tolm.ini").c_str(), s));

  // A settings file kept elsewhere behind a link, private to its owner: saving replaces what the
  // link points at, keeps the link and keeps the file's permissions.
  TempDir dotfiles;
  const std::string real = dotfiles.path + "/tolm.ini";
  write_text(real, before);
  ASSERT_EQ(chmod(real.c_str(), 0600), 0);
  const std::string link = config.path + "/Lumaro/tolm.ini";
  ASSERT_EQ(unlink(link.c_str()), 0);
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  ASSERT_TRUE(save_settings(s));
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  load_settings(&back);
  EXPECT_FLOAT_EQ(back.threshold_db, -10);
}
