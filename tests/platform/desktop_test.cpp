// The desktop's animation setting read through gsettings, and web links handed to xdg-open: both
// through stand-ins on PATH that record how they were called.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/desktop.h"
#include "tests/support/temp_dir.h"

namespace {

void make_executable(const std::string& path, const std::string& text) {
  write_text(path, text);
  chmod(path.c_str(), 0755);
}

bool wait_for_file(const std::string& path, int timeout_ms) {
  for (int t = 0; t < timeout_ms; t += 10) {
    if (access(path.c_str(), F_OK) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// PATH holding only the stand-ins' folder while it lives.
struct OnlyPath {
  std::string saved;
  explicit OnlyPath(const std::string& dir) : saved(getenv("PATH") ? getenv("PATH") : "") {
    setenv("PATH", dir.c_str(), 1);
  }
  ~OnlyPath() { setenv("PATH", saved.c_str(), 1); }
};

}  // namespace

TEST(Desktop, ReducedMotionFollowsTheAnimationSettingWhereItCanBeRead) {
  TempDir dir;
  OnlyPath path(dir.path);
  const std::string args = dir.file("gsettings.args");
  auto answer = [&](const std::string& body) {
    make_executable(dir.file("gsettings"), "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + args + "'\n" + body);
  };
  answer("echo false\n");
  EXPECT_TRUE(desktop_reduce_motion());
  EXPECT_EQ(read_text(args), "get\norg.gnome.desktop.interface\nenable-animations\n");
  answer("echo true\n");
  EXPECT_FALSE(desktop_reduce_motion());
  // No such schema (not GNOME): an error and a failing status. Off.
  answer("echo 'No such schema' >&2\nexit 1\n");
  EXPECT_FALSE(desktop_reduce_motion());
  // "false" with a failing status is not an answer either, nor is anything else it prints.
  answer("echo false\nexit 2\n");
  EXPECT_FALSE(desktop_reduce_motion());
  answer("echo 'falsehood'\n");
  EXPECT_FALSE(desktop_reduce_motion());
  answer("kill -9 $$\n");
  EXPECT_FALSE(desktop_reduce_motion());
  unlink(dir.file("gsettings").c_str());
  EXPECT_FALSE(desktop_reduce_motion());  // no gsettings at all
}

TEST(Desktop, WebLinksGoToTheBrowserOnlyAsHttpsAddressesInOneArgument) {
  TempDir dir;
  OnlyPath path(dir.path);
  make_executable(dir.file("xdg-open"), "#!/bin/sh\nprintf '[%s]' \"$@\" > \"$0.tmp\"\n/bin/mv \"$0.tmp\" \"$0.args\"\n");
  const std::string args = dir.file("xdg-open.args");
  auto opened_with = [&](const char* url) {
    unlink(args.c_str());
    if (open_web_link(url) != kLinkOpened) return std::string("(refused)");
    return wait_for_file(args, 5000) ? read_text(args) : std::string("(never ran)");
  };
  EXPECT_EQ(opened_with("https://lumaro.com/tolm-zepha/notes/1.3.10"), "[https://lumaro.com/tolm-zepha/notes/1.3.10]");
  EXPECT_EQ(opened_with("HTTPS://EXAMPLE.ORG/a?b=c&d=$(e)"), "[HTTPS://EXAMPLE.ORG/a?b=c&d=$(e)]");
  for (const char* bad : {"http://example.org/", "file:///etc/passwd", "javascript:alert(1)", "https://", "",
                          "https://example.org/a b", "https://example.org/\n--help", "https://example.org/\x7f",
                          "https://exämple.org/", " https://example.org/", "--version https://example.org/"})
    EXPECT_EQ(open_web_link(bad), kLinkRefused) << bad;
  EXPECT_EQ(open_web_link(nullptr), kLinkRefused);
  EXPECT_EQ(open_web_link(("https://example.org/" + std::string(3000, 'a')).c_str()), kLinkRefused);
  unlink(dir.file("xdg-open").c_str());
  EXPECT_EQ(open_web_link("https://example.org/"), kLinkNoBrowser);
}
