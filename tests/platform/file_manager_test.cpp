// Showing a file in the file manager: the FileManager1 call through gdbus and through dbus-send,
// answered by a stand-in file manager on a private session bus, with names that would break the
// call's argument syntax; the folder opened instead when no file manager answers or no bus is
// known; nothing to show it with; the URI encoding.
#include <gtest/gtest.h>

#include <dbus/dbus.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_manager.h"
#include "platform/paths.h"
#include "tests/support/temp_dir.h"

namespace {

void make_executable(const std::string& path, const std::string& text) {
  write_text(path, text);
  chmod(path.c_str(), 0755);
}

// A private session bus (dbus-daemon) for this test.
struct SessionBus {
  pid_t pid = -1;
  std::string address;
  explicit SessionBus(const std::string& dir) {
    const std::string socket = dir + "/bus";
    address = "unix:path=" + socket;
    pid = fork();
    if (pid == 0) {
      execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", ("--address=" + address).c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int t = 0; t < 5000 && !up(); t += 10) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  bool up() const { return access(address.substr(10).c_str(), F_OK) == 0; }
  ~SessionBus() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

// A stand-in file manager: owns org.freedesktop.FileManager1 and records each ShowItems call.
struct StandInFileManager {
  DBusConnection* connection = nullptr;
  std::thread thread;
  std::atomic<int> run{1};
  std::mutex lock;
  std::vector<std::vector<std::string>> calls;  // the URIs, then the start-up id

  bool start(const std::string& address) {
    DBusError err;
    dbus_error_init(&err);
    // The socket can be there a moment before the daemon takes connections.
    for (int t = 0; t < 5000 && !connection; t += 20) {
      connection = dbus_connection_open_private(address.c_str(), &err);
      if (connection && dbus_bus_register(connection, &err)) break;
      if (connection) {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
        connection = nullptr;
      }
      dbus_error_free(&err);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!connection) return false;
    if (dbus_bus_request_name(connection, "org.freedesktop.FileManager1", DBUS_NAME_FLAG_DO_NOT_QUEUE, &err) !=
        DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER)
      return false;
    thread = std::thread([this] { serve(); });
    return true;
  }
  void serve() {
    while (run.load()) {
      dbus_connection_read_write(connection, 20);
      while (DBusMessage* m = dbus_connection_pop_message(connection)) {
        if (dbus_message_is_method_call(m, "org.freedesktop.FileManager1", "ShowItems")) {
          std::vector<std::string> call;
          DBusMessageIter it, items;
          if (dbus_message_iter_init(m, &it) && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_ARRAY) {
            dbus_message_iter_recurse(&it, &items);
            while (dbus_message_iter_get_arg_type(&items) == DBUS_TYPE_STRING) {
              const char* s = nullptr;
              dbus_message_iter_get_basic(&items, &s);
              call.push_back(s);
              dbus_message_iter_next(&items);
            }
            dbus_message_iter_next(&it);
            if (dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_STRING) {
              const char* s = nullptr;
              dbus_message_iter_get_basic(&it, &s);
              call.push_back(std::string("startup:") + s);
            }
          }
          {
            std::lock_guard<std::mutex> lk(lock);
            calls.push_back(call);
          }
          DBusMessage* reply = dbus_message_new_method_return(m);
          dbus_connection_send(connection, reply, nullptr);
          dbus_message_unref(reply);
        } else if (dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL) {
          DBusMessage* reply = dbus_message_new_error(m, DBUS_ERROR_UNKNOWN_METHOD, "not here");
          dbus_connection_send(connection, reply, nullptr);
          dbus_message_unref(reply);
        }
        dbus_message_unref(m);
      }
    }
  }
  std::vector<std::vector<std::string>> taken() {
    std::lock_guard<std::mutex> lk(lock);
    auto c = calls;
    calls.clear();
    return c;
  }
  ~StandInFileManager() {
    run.store(0);
    if (thread.joinable()) thread.join();
    if (connection) {
      dbus_connection_close(connection);
      dbus_connection_unref(connection);
    }
  }
};

struct PathGuard {
  std::string saved = getenv("PATH") ? getenv("PATH") : "";
  ~PathGuard() { setenv("PATH", saved.c_str(), 1); }
};

}  // namespace

TEST(FileManager, ShowsTheItemThroughTheSessionBusWhateverItsName) {
  TempDir dir;
  SessionBus bus(dir.path);
  ASSERT_TRUE(bus.up());
  setenv("DBUS_SESSION_BUS_ADDRESS", bus.address.c_str(), 1);
  StandInFileManager fm;
  ASSERT_TRUE(fm.start(bus.address));
  // A blank, a comma (dbus-send's list separator), quotes (GVariant's) and a non-ASCII letter.
  const std::string file = dir.path + "/a b,c'd\"\xC3\xB6.wav";
  write_text(file, "x");
  const std::string uri = "file://" + dir.path + "/a%20b%2Cc%27d%22%C3%B6.wav";
  ASSERT_EQ(show_item_in_file_manager(file.c_str()), kShownSelected);
  EXPECT_EQ(fm.taken(), (std::vector<std::vector<std::string>>{{uri, "startup:"}}));

  // The same through dbus-send when gdbus is not installed.
  PathGuard guard;
  const std::string only = dir.path + "/only";
  ASSERT_EQ(make_dir(only.c_str()), 0);
  ASSERT_EQ(symlink("/usr/bin/dbus-send", (only + "/dbus-send").c_str()), 0);
  setenv("PATH", only.c_str(), 1);
  ASSERT_EQ(show_item_in_file_manager(file.c_str()), kShownSelected);
  EXPECT_EQ(fm.taken(), (std::vector<std::vector<std::string>>{{uri, "startup:"}}));
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

TEST(FileManager, OpensTheFolderWhenNoFileManagerAnswers) {
  TempDir dir;
  SessionBus bus(dir.path);
  ASSERT_TRUE(bus.up());
  PathGuard guard;
  const std::string bin = dir.path + "/bin";
  ASSERT_EQ(make_dir(bin.c_str()), 0);
  make_executable(bin + "/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"" + dir.path + "/opened\"\n");
  ASSERT_EQ(symlink("/usr/bin/gdbus", (bin + "/gdbus").c_str()), 0);
  setenv("PATH", bin.c_str(), 1);
  const std::string file = dir.path + "/take.wav";

  // A bus, but nobody owns the file manager's name.
  setenv("DBUS_SESSION_BUS_ADDRESS", bus.address.c_str(), 1);
  EXPECT_EQ(show_item_in_file_manager(file.c_str()), kShownFolder);
  EXPECT_EQ(read_text(dir.path + "/opened"), dir.path + "\n");

  // No bus known at all: gdbus is not even asked (it would try to start a bus of its own).
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string runtime = dir.path + "/runtime";
  ASSERT_EQ(make_dir(runtime.c_str()), 0);
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  unlink((bin + "/gdbus").c_str());
  make_executable(bin + "/gdbus", "#!/bin/sh\ntouch \"" + dir.path + "/asked\"\nexit 0\n");
  EXPECT_EQ(show_item_in_file_manager("/music/tolm/2026-10-05/124424/tolm-124425.wav"), kShownFolder);
  EXPECT_NE(access((dir.path + "/asked").c_str(), F_OK), 0);
  EXPECT_EQ(read_text(dir.path + "/opened"), dir.path + "\n/music/tolm/2026-10-05/124424\n");
  EXPECT_EQ(open_folder_in_file_manager("/music/tolm"), 0);
  EXPECT_EQ(read_text(dir.path + "/opened"), dir.path + "\n/music/tolm/2026-10-05/124424\n/music/tolm\n");

  // Nothing that could show it; a relative path is never shown.
  unlink((bin + "/xdg-open").c_str());
  EXPECT_EQ(show_item_in_file_manager(file.c_str()), kShowFailed);
  EXPECT_EQ(open_folder_in_file_manager(dir.path.c_str()), -1);
  EXPECT_EQ(show_item_in_file_manager("take.wav"), kShowFailed);
}

TEST(FileManager, FileUrisEncodeEverythingButPlainCharacters) {
  char uri[64];
  ASSERT_TRUE(file_uri_from_path("/a-b_c.d~e/F9 %#?", uri, sizeof uri));
  EXPECT_STREQ(uri, "file:///a-b_c.d~e/F9%20%25%23%3F");
  EXPECT_FALSE(file_uri_from_path("relative/x", uri, sizeof uri));
  EXPECT_STREQ(uri, "");
  // Exactly full, and one byte over.
  ASSERT_TRUE(file_uri_from_path("/abcdefgh", uri, 17));
  EXPECT_STREQ(uri, "file:///abcdefgh");
  EXPECT_FALSE(file_uri_from_path("/abcdefghi", uri, 17));
  EXPECT_FALSE(file_uri_from_path("/abcdefg ", uri, 18));
}
