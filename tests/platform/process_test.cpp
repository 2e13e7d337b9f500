// Detached programs: the argument list arrives as given, the program runs in a session of its
// own with /dev/null for its standard streams and none of our other descriptors, it is nobody's
// zombie, and a missing or unrunnable program is told apart from one that started.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
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

// Fields of /proc/<pid>/stat after the command name: state, ppid, pgrp, session.
std::vector<long> stat_fields(pid_t pid) {
  const std::string text = read_text("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream in(text.substr(text.rfind(')') + 2));
  std::string state;
  long ppid = 0, pgrp = 0, session = 0;
  in >> state >> ppid >> pgrp >> session;
  return {ppid, pgrp, session};
}

std::string link_of(const std::string& path) {
  char buf[512];
  const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n < 0 ? "" : std::string(buf, size_t(n));
}

}  // namespace

TEST(Process, DetachedProgramsRunOnTheirOwn) {
  TempDir dir;
  const std::string out = dir.file("out");
  // Writes its arguments and pid, then waits for the test to look at it.
  make_executable(dir.file("prog"), "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.args\"\necho $$ > \"$0.pid.tmp\"\n"
                                    "mv \"$0.pid.tmp\" \"$0.pid\"\n"
                                    "while [ ! -e \"$0.go\" ]; do sleep 0.02; done\n");
  // A descriptor of ours without close-on-exec must not reach the program.
  const int leaky = open(dir.file("ours").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(leaky, 0);
  const std::string prog = dir.file("prog");
  const char* const argv[] = {prog.c_str(), "--root", "/music/my tolm", "--select", "a \"quoted\" 'name'.wav", "", nullptr};
  ASSERT_EQ(spawn_detached(argv), kProcessOk);
  close(leaky);
  ASSERT_TRUE(wait_for_file(prog + ".pid", 5000));
  const pid_t pid = pid_t(std::stol(read_text(prog + ".pid")));
  EXPECT_EQ(read_text(prog + ".args"), "--root\n/music/my tolm\n--select\na \"quoted\" 'name'.wav\n\n");

  const std::vector<long> f = stat_fields(pid);
  EXPECT_NE(f[0], long(getpid()));    // not our child: handed on when its parent ended at once
  EXPECT_NE(f[2], long(getsid(0)));   // a session of its own
  for (int fd = 0; fd <= 2; ++fd) EXPECT_EQ(link_of("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)), "/dev/null");
  std::vector<std::string> links;
  for (int fd = 3; fd < 64; ++fd) links.push_back(link_of("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)));
  for (const std::string& l : links) EXPECT_NE(l, dir.file("ours"));
  // Nothing is left for us to reap.
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  write_text(prog + ".go", "");

  // Missing, not executable, and found on PATH by name.
  const char* const missing[] = {"/no/such/ondel", nullptr};
  EXPECT_EQ(spawn_detached(missing), kProcessNotFound);
  write_text(dir.file("plain"), "#!/bin/sh\n");
  const std::string plain = dir.file("plain");
  const char* const not_executable[] = {plain.c_str(), nullptr};
  EXPECT_EQ(spawn_detached(not_executable), kProcessNotFound);
  const char* const nothing[] = {nullptr};
  EXPECT_EQ(spawn_detached(nothing), kProcessNotFound);
  make_executable(dir.file("byname"), "#!/bin/sh\ntouch \"$1\"\n");
  const std::string path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (dir.path + ":" + path).c_str(), 1);
  const std::string touched = dir.file("touched");
  const char* const byname[] = {"byname", touched.c_str(), nullptr};
  EXPECT_EQ(spawn_detached(byname), kProcessOk);
  EXPECT_TRUE(wait_for_file(touched, 5000));
  setenv("PATH", path.c_str(), 1);
}
