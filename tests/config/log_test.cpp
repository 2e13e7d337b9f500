// The log: ring capacity and cutting, the file per run, concurrent writers, no home folder.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/log.h"
#include "platform/paths.h"
#include "tests/support/temp_dir.h"

namespace {

// A ring or file line: "%8.2f  " then the message. Returns the message, or "" when the stamp is malformed.
std::string after_stamp(const std::string& line) {
  if (line.size() < 10 || line[8] != ' ' || line[9] != ' ' || line[5] != '.') return "";
  for (int i = 0; i < 8; ++i) {
    char c = line[i];
    bool digit = c >= '0' && c <= '9';
    if (i == 5 ? c != '.' : (i > 5 ? !digit : !(digit || c == ' '))) return "";
  }
  return line.substr(10);
}

std::vector<std::string> file_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::stringstream ss(read_text(path));
  for (std::string line; std::getline(ss, line);) lines.push_back(line);
  return lines;
}

}  // namespace

TEST(Log, RingKeepsTheLast256Of300) {
  TempDir home;
  setenv("HOME", home.path.c_str(), 1);
  int base = log_line_count();
  for (int i = 0; i < 300; ++i) log_line("line %d", i);
  EXPECT_EQ(log_line_count(), base + 300);
  char buf[kLogLineBytes];
  strcpy(buf, "untouched");
  for (int i = 0; i < 44; ++i) EXPECT_FALSE(log_recent_line(base + i, buf, sizeof buf)) << i;
  EXPECT_STREQ(buf, "untouched");
  EXPECT_FALSE(log_recent_line(-1, buf, sizeof buf));
  EXPECT_FALSE(log_recent_line(base + 300, buf, sizeof buf));
  for (int i = 44; i < 300; ++i) {
    ASSERT_TRUE(log_recent_line(base + i, buf, sizeof buf)) << i;
    std::string line(buf);
    EXPECT_EQ(line.substr(10), "line " + std::to_string(i));
  }
  // "%8.2f  %s": the stamp right-aligned in eight characters, two decimals, two blanks.
  ASSERT_TRUE(log_recent_line(base + 299, buf, sizeof buf));
  EXPECT_EQ(after_stamp(buf), "line 299");
}

TEST(Log, LongMessageIsCutInFileAndRing) {
  TempDir home;
  setenv("HOME", home.path.c_str(), 1);
  std::string message(600, 'm');
  for (int i = 0; i < 600; ++i) message[i] = char('a' + i % 26);
  log_line("%s", message.c_str());
  char buf[256];
  ASSERT_TRUE(log_recent_line(log_line_count() - 1, buf, sizeof buf));
  EXPECT_EQ(strlen(buf), 119u);
  EXPECT_EQ(std::string(buf).substr(10), message.substr(0, 109));
  auto lines = file_lines(home.path + "/.lumaro/tolm.log");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(10), message.substr(0, 511));
}

TEST(Log, EightThreadsLoseAndTearNothing) {
  TempDir home;
  setenv("HOME", home.path.c_str(), 1);
  constexpr int kThreads = 8, kLines = 2000;
  int base = log_line_count();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) log_line("thread %d line %d %s", t, i, "payload-payload-payload-payload");
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(log_line_count(), base + kThreads * kLines);
  auto lines = file_lines(home.path + "/.lumaro/tolm.log");
  ASSERT_EQ(lines.size(), size_t(kThreads * kLines));
  std::set<std::pair<int, int>> seen;
  std::vector<int> next(kThreads, 0);
  auto parse = [](const std::string& line, int* t, int* i) {
    char tail[64] = {};
    return sscanf(after_stamp(line).c_str(), "thread %d line %d %63s", t, i, tail) == 3 &&
           std::string(tail) == "payload-payload-payload-payload";
  };
  for (const std::string& line : lines) {
    int t = -1, i = -1;
    ASSERT_TRUE(parse(line, &t, &i)) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(i, next[t]) << "thread " << t << " out of order";  // each thread's lines in its own order
    next[t] = i + 1;
    seen.insert({t, i});
  }
  EXPECT_EQ(seen.size(), size_t(kThreads * kLines));
  // The ring holds intact lines too.
  char buf[kLogLineBytes];
  for (int n = log_line_count() - kLogRingLines; n < log_line_count(); ++n) {
    ASSERT_TRUE(log_recent_line(n, buf, sizeof buf));
    int t, i;
    EXPECT_TRUE(parse(buf, &t, &i)) << buf;
  }
}

TEST(Log, EachRunStartsAFreshFile) {
  TempDir home;
  setenv("HOME", home.path.c_str(), 1);
  for (int run = 1; run <= 2; ++run) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      log_line("run %d first", run);
      log_line("run %d second", run);
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto lines = file_lines(home.path + "/.lumaro/tolm.log");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(10), "run 2 first");
  EXPECT_EQ(lines[1].substr(10), "run 2 second");
}

TEST(Log, NoHomeMeansNoFileButTheRingWorks) {
  // With HOME empty nothing is made or truncated, neither here nor in the home the password
  // database names (whose log may belong to a running session: it is only looked at).
  TempDir cwd;
  ASSERT_EQ(chdir(cwd.path.c_str()), 0);
  const passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  const std::string db_log = std::string(pw->pw_dir) + "/.lumaro/tolm.log";
  struct stat before {};
  const bool had_log = stat(db_log.c_str(), &before) == 0;
  const bool had_folder = path_exists((std::string(pw->pw_dir) + "/.lumaro").c_str());
  setenv("HOME", "", 1);
  log_line("no home %d", 1);
  char buf[kLogLineBytes];
  ASSERT_TRUE(log_recent_line(log_line_count() - 1, buf, sizeof buf));
  EXPECT_STREQ(buf + 10, "no home 1");
  EXPECT_FALSE(path_exists(".lumaro"));
  EXPECT_EQ(path_exists((std::string(pw->pw_dir) + "/.lumaro").c_str()), had_folder);
  struct stat after {};
  EXPECT_EQ(stat(db_log.c_str(), &after) == 0, had_log);
  if (had_log) {
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_ino, before.st_ino);
  }
}
