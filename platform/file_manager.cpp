// The file manager through its helper programs: gdbus, else dbus-send, for the FileManager1 call
// on the session bus; xdg-open for folders.
#include "platform/file_manager.h"

#include <cstdlib>
#include <cstring>

#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"

namespace {

constexpr size_t kUriCap = 3 * kPathCap + 16;
constexpr size_t kArgCap = kUriCap + 32;
constexpr const char* kBusName = "org.freedesktop.FileManager1";
constexpr const char* kObjectPath = "/org/freedesktop/FileManager1";
constexpr const char* kShowItems = "org.freedesktop.FileManager1.ShowItems";
constexpr const char* kReplySeconds = "10";

// A session bus to call: named in the environment, or the per-user socket where desktops keep it.
// Without one the call is not tried (gdbus would try to start a bus of its own).
bool session_bus_known() {
  const char* address = getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  char bus[kPathCap + 8];
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  return runtime && *runtime && text_format(bus, sizeof bus, "%s/bus", runtime) < sizeof bus - 1 && path_exists(bus);
}

// Runs one helper and waits for it: its exit status, or -2 when it is not installed, -1 when it
// could not be run.
int run_helper(const char* const argv[], std::atomic<int>* child) {
  ProcessResult pr{};
  const int rc = run_process(argv, nullptr, 0, &pr, child);
  if (rc == kProcessNotFound) return -2;
  if (rc != kProcessOk) return -1;
  return pr.exit_code;
}

// The ShowItems call, answered or not. A missing gdbus hands over to dbus-send.
bool call_show_items(const char* uri, std::atomic<int>* child) {
  char items[kArgCap];
  text_format(items, sizeof items, "['%s']", uri);  // a GVariant string array; the URI holds no quote
  const char* const gdbus[] = {"gdbus",        "call",    "--session",  "--dest", kBusName,
                               "--object-path", kObjectPath, "--method", kShowItems, "--timeout",
                               kReplySeconds,   items,     "''",         nullptr};
  const int answered = run_helper(gdbus, child);
  if (answered != -2) return answered == 0;
  char array[kArgCap];
  text_format(array, sizeof array, "array:string:%s", uri);  // the URI holds no comma
  const char* const dbus_send[] = {"dbus-send",  "--session",        "--print-reply", "--reply-timeout=10000",
                                   "--dest=org.freedesktop.FileManager1", kObjectPath, kShowItems,
                                   array,        "string:",          nullptr};
  return run_helper(dbus_send, child) == 0;
}

}  // namespace

bool file_uri_from_path(const char* path, char* out, size_t cap) {
  static const char kHex[] = "0123456789ABCDEF";
  if (cap) out[0] = 0;
  if (!path || path[0] != '/') return false;
  size_t n = text_copy(out, cap, "file://");
  if (n != 7) return false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(path); *p; ++p) {
    const unsigned char c = *p;
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '.' || c == '_' || c == '~' || c == '/';
    if (n + (plain ? 1 : 3) >= cap) {
      out[0] = 0;
      return false;
    }
    if (plain) {
      out[n++] = char(c);
    } else {
      out[n++] = '%';
      out[n++] = kHex[c >> 4];
      out[n++] = kHex[c & 15];
    }
  }
  out[n] = 0;
  return true;
}

int open_folder_in_file_manager(const char* folder, std::atomic<int>* child) {
  if (!folder || !folder[0]) return -1;
  const char* const argv[] = {"xdg-open", folder, nullptr};
  return run_helper(argv, child) == 0 ? 0 : -1;
}

int show_item_in_file_manager(const char* path, std::atomic<int>* child) {
  char uri[kUriCap];
  if (!file_uri_from_path(path, uri, sizeof uri)) return kShowFailed;
  if (session_bus_known() && call_show_items(uri, child)) return kShownSelected;
  char folder[kPathCap];
  if (strlen(path) >= sizeof folder) return kShowFailed;  // a cut path would open another folder
  text_copy(folder, sizeof folder, path);
  char* slash = strrchr(folder, '/');
  if (slash == folder) slash[1] = 0;  // a file at the root: the root itself
  else *slash = 0;
  return open_folder_in_file_manager(folder, child) == 0 ? kShownFolder : kShowFailed;
}
