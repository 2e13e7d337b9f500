// The program installed as a user gets it: the tree `cmake --install` lays into a staging folder
// (DESTDIR), or, with TOLM_INSTALLED_PREFIX set (CI, after installing the .deb), the tree on this
// machine. Checked: every file in place, the desktop entry, the metadata and the manual page as
// their own tools read them, "Open with" offered for every file the reader takes, --version and
// --help answering alone, and the installed program started with a file that opens for chopping,
// its shipped fonts found in share/.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/chop/chop_view.h"
#include "app/foot/foot.h"
#include "kit/audio_file.h"
#include "platform/paths.h"
#include "tests/app/e2e_support.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string kAppId = "com.lumaro.TolmZepha";
const int kIconSizes[] = {16, 24, 32, 48, 64, 128, 256, 512};

// The installed prefix on disk: staged from this build below `stage`, or the machine's own.
std::string installed_prefix(const std::string& stage) {
  const char* prefix = getenv("TOLM_INSTALLED_PREFIX");
  if (prefix && prefix[0]) return prefix;
  std::string out;
  const int rc = run_command({"sh", "-c",
                              "DESTDIR='" + stage + "' '" TOLM_CMAKE "' --install '" TOLM_BUILD_DIR
                              "' --prefix /usr 2>&1"},
                             "", &out, 120000);
  EXPECT_EQ(rc, 0) << out;
  return stage + "/usr";
}

// A command's exit code, its standard output and error in *out.
int shell(const std::string& command, std::string* out) {
  return run_command({"sh", "-c", "{ " + command + "; } 2>&1"}, "", out, 60000);
}

// Width and height from a PNG's IHDR; false when the file is not a PNG.
bool png_size(const std::string& path, int* w, int* h) {
  const std::string b = read_text(path);
  if (b.size() < 24 || b.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || b.compare(12, 4, "IHDR") != 0) return false;
  auto be32 = [&](size_t at) {
    return int(uint32_t(uint8_t(b[at])) << 24 | uint32_t(uint8_t(b[at + 1])) << 16 | uint32_t(uint8_t(b[at + 2])) << 8 |
               uint32_t(uint8_t(b[at + 3])));
  };
  *w = be32(16), *h = be32(20);
  return true;
}

std::vector<std::string> split(const std::string& text, char at) {
  std::vector<std::string> out;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, at);)
    if (!item.empty()) out.push_back(item);
  return out;
}

class Installed : public ProgramTest {
 protected:
  void SetUp() override {
    prefix_ = installed_prefix(root_.path + "/stage");
    program_path_ = prefix_ + "/bin/tolm";
  }
  std::string prefix_, program_path_;
};

TEST_F(Installed, TreeHoldsEveryFileAndItsToolsAcceptThem) {
  const std::string share = prefix_ + "/share";
  EXPECT_TRUE(is_file(program_path_.c_str()));
  // Only the fonts of the data folder: none beside the program.
  EXPECT_FALSE(path_exists((prefix_ + "/bin/fonts").c_str()));
  std::vector<std::string> fonts = folder_entries(TOLM_FONT_DIR, ".woff2");
  for (const std::string& licence : folder_entries(TOLM_FONT_DIR, "-OFL.txt")) fonts.push_back(licence);
  std::sort(fonts.begin(), fonts.end());
  ASSERT_GE(fonts.size(), 4u) << "no fonts in " TOLM_FONT_DIR;
  EXPECT_EQ(folder_entries(share + "/tolm-zepha/fonts"), fonts);
  EXPECT_TRUE(is_file((share + "/doc/tolm-zepha/copyright").c_str()));
  EXPECT_TRUE(is_file((share + "/icons/hicolor/scalable/apps/" + kAppId + ".svg").c_str()));
  for (int size : kIconSizes) {
    const std::string png = share + "/icons/hicolor/" + std::to_string(size) + "x" + std::to_string(size) + "/apps/" +
                            kAppId + ".png";
    int w = 0, h = 0;
    ASSERT_TRUE(png_size(png, &w, &h)) << png;
    EXPECT_EQ(w, size) << png;
    EXPECT_EQ(h, size) << png;
  }

  const std::string desktop = share + "/applications/" + kAppId + ".desktop";
  std::string out;
  EXPECT_EQ(shell("desktop-file-validate '" + desktop + "'", &out), 0) << out;
  EXPECT_EQ(out, "");  // not even a hint
  const std::string metainfo = share + "/metainfo/" + kAppId + ".metainfo.xml";
  EXPECT_EQ(shell("appstreamcli validate --no-net '" + metainfo + "'", &out), 0) << out;
  EXPECT_NE(read_text(metainfo).find("<release version=\"" TOLM_VERSION "\""), std::string::npos);
  // The manual page renders without a warning from groff.
  const std::string man = share + "/man/man1/tolm.1.gz";
  ASSERT_TRUE(is_file(man.c_str()));
  EXPECT_EQ(shell("MANWIDTH=80 man --warnings -l '" + man + "' >/dev/null", &out), 0) << out;
  EXPECT_EQ(out, "");

  // "Open with": every audio type shared-mime-info gives a file the reader takes is in the entry,
  // and every type in the entry names files the reader takes. Aliases count as their type.
  std::string types;
  for (const std::string& line : split(read_text(desktop), '\n'))
    if (line.rfind("MimeType=", 0) == 0) types = line.substr(9);
  std::map<std::string, std::string> alias;  // alias -> type
  for (const std::string& line : split(read_text("/usr/share/mime/aliases"), '\n')) {
    const std::vector<std::string> pair = split(line, ' ');
    if (pair.size() == 2) alias[pair[0]] = pair[1];
  }
  std::set<std::string> offered;
  for (const std::string& t : split(types, ';')) offered.insert(alias.count(t) ? alias[t] : t);
  std::set<std::string> readable_types;
  for (const std::string& line : split(read_text("/usr/share/mime/globs2"), '\n')) {
    const std::vector<std::string> f = split(line, ':');  // weight:type:glob
    if (f.size() < 3 || f[1].rfind("audio/", 0) != 0 || f[2].rfind("*.", 0) != 0) continue;
    if (!is_audio_file(("a" + f[2].substr(1)).c_str())) continue;
    readable_types.insert(f[1]);
    EXPECT_TRUE(offered.count(f[1])) << f[1] << " (" << f[2] << ") is read but not offered";
  }
  ASSERT_FALSE(readable_types.empty()) << "no shared-mime-info globs";
  for (const std::string& t : offered) EXPECT_TRUE(readable_types.count(t)) << t << " is offered but not read";
}

TEST_F(Installed, VersionAndHelpAnswerWithoutStartingAnything) {
  // No display, no JACK server, a fresh home: anything that started would leave a log there.
  const std::string home = root_.path + "/home";
  ASSERT_EQ(make_dirs(home.c_str()), 0);
  const std::string run = "env -u DISPLAY -u WAYLAND_DISPLAY HOME='" + home + "' JACK_DEFAULT_SERVER=none '" +
                          program_path_ + "'";
  std::string out;
  EXPECT_EQ(shell(run + " --version", &out), 0);
  EXPECT_EQ(out, "tolm ZEPHA " TOLM_VERSION "\n");
  EXPECT_EQ(shell(run + " --help", &out), 0);
  EXPECT_EQ(out.rfind("Usage: tolm [FILE]\n", 0), 0u) << out;
  EXPECT_EQ(shell(run + " --version --frobnicate", &out), 0);  // the first one answers
  // A command line it does not take: 2, a reason, and nothing opened either.
  EXPECT_EQ(shell(run + " --frobnicate", &out), 2);
  EXPECT_EQ(out, "tolm: unknown option --frobnicate (tolm --help lists them)\n");
  EXPECT_EQ(shell(run + " a.wav b.wav", &out), 2);
  EXPECT_EQ(out, "tolm: one file at a time (a.wav and b.wav)\n");
  EXPECT_TRUE(folder_entries(home).empty()) << folder_entries(home)[0];
}

TEST_F(Installed, FileArgumentOpensForChoppingWithTheShippedFonts) {
  ASSERT_TRUE(display_.start(root_.path + "/xvfb.log")) << "Xvfb did not come up: " << read_text(display_.log);
  desk_.display = display_.name;
  // One burst of a 1 kHz tone in four seconds of silence, named relative to the working folder.
  ASSERT_EQ(make_dirs((root_.path + "/takes").c_str()), 0);
  TakeFileData t;
  t.channels = 2, t.rate = 48000, t.bits = 16;
  t.samples.assign(size_t(2 * 4 * 48000), 0);
  for (size_t i = 2 * 96000; i < 2 * 144000; ++i) t.samples[i] = int16_t((i / 2) % 48 < 24 ? 12000 : -12000);
  ASSERT_TRUE(write_take_file(root_.path + "/takes/one burst.wav", t));
  const std::string wav = root_.path + "/takes/one burst.wav";

  ASSERT_TRUE(jack_.start(2));
  ASSERT_TRUE(program_.start(program_path_, root_.path, display_.name, {}, {"takes/one burst.wav"}));
  ASSERT_TRUE(desk_.find("^tolm ZEPHA", 60000, [this] { return program_.ended(); }))
      << program_.log() << read_text(program_.output);
  ASSERT_TRUE(program_.wait_logged("chop: " + wav + " - 192000 frames at 48000 Hz, 2 channels", 20000))
      << program_.log();
  EXPECT_TRUE(program_.logged("text: Micro 5 is Micro 5 (Micro5-Regular.woff2")) << program_.log();
  EXPECT_TRUE(program_.logged("text: Finlandica is Finlandica (Finlandica-Regular.woff2")) << program_.log();

  // The chop view is on screen: the take's span shades the scope.
  MainLayout l;
  layout_main(960, 540, side_panel_width(960, 1.0f), &l);
  const uint32_t shade = ((kChopSpanShade & 0xFF) << 16) | (kChopSpanShade & 0xFF00) | ((kChopSpanShade >> 16) & 0xFF);
  int shaded = 0;
  Bitmap shot;
  ASSERT_TRUE(wait_until(
      [&] {
        if (!take_screenshot(program_, &shot)) return false;
        shaded = 0;
        for (int y = int(l.scope.y); y < int(l.scope.y + l.scope.h) && y < shot.height; ++y)
          for (int x = int(l.scope.x); x < int(l.scope.x + l.scope.w) && x < shot.width; ++x)
            shaded += (shot.at(x, y) & 0xFFFFFF) == shade;
        return shaded > 1000;
      },
      10000))
      << shaded << " shaded pixels\n" << program_.log();
}

}  // namespace
