// The CloudKit client: libcurl for the requests (verification always on, no redirects, https
// only), POSIX sockets for the sign-in callback on loopback, the kit's JSON reader and writer for
// every body. The worker publishes only while the sign-in generation it started under is still
// current, so a sign-out never finds itself undone by a reply that arrives after it.
#include "kit/cloud.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "config/log.h"
#include "kit/json.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/shared_file.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {

constexpr const char* kWorkerName = "tolm-cloud";
constexpr long kConnectTimeoutMs = 20000;  // 10 s to resolve and 10 s to connect
constexpr long kStallSeconds = 60;         // a reply that sends nothing for this long has timed out
constexpr size_t kSessionMaxBytes = 16u << 10;

// ---- Requests ----

struct Body {
  char* data = nullptr;
  size_t length = 0;
  size_t cap = 0;
  bool too_big = false;
  bool no_memory = false;
};

size_t on_data(char* ptr, size_t size, size_t count, void* user) {
  auto* b = static_cast<Body*>(user);
  const size_t bytes = size * count;
  if (bytes > kCloudBodyMax - b->length) {
    b->too_big = true;
    return 0;
  }
  if (b->length + bytes + 1 > b->cap) {
    size_t cap = b->cap ? b->cap : kCloudBodyStart;
    while (cap < b->length + bytes + 1) cap *= 2;
    cap = std::min(cap, kCloudBodyMax + 1);
    char* grown = static_cast<char*>(realloc(b->data, cap));
    if (!grown) {
      b->no_memory = true;
      return 0;
    }
    b->data = grown;
    b->cap = cap;
  }
  memcpy(b->data + b->length, ptr, bytes);
  b->length += bytes;
  return bytes;
}

int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* cancel = static_cast<const std::atomic<int32_t>*>(user);
  return cancel && cancel->load(std::memory_order_relaxed) ? 1 : 0;
}

void curl_once() {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)ready;
}

void message_for(CURLcode rc, char* out, size_t cap) {
  switch (rc) {
    case CURLE_COULDNT_CONNECT: text_copy(out, cap, "CANNOT CONNECT"); break;
    case CURLE_OPERATION_TIMEDOUT: text_copy(out, cap, "TIMED OUT"); break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: text_copy(out, cap, "NO DNS"); break;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE: text_format(out, cap, "NO RESPONSE (%lu)", static_cast<unsigned long>(rc)); break;
    case CURLE_OUT_OF_MEMORY: text_copy(out, cap, "OUT OF MEMORY"); break;
    case CURLE_ABORTED_BY_CALLBACK: text_copy(out, cap, "CANCELLED"); break;
    default: text_format(out, cap, "SEND FAILED (%lu)", static_cast<unsigned long>(rc)); break;
  }
}

// ---- JSON helpers ----

bool member(JsonValue object, const char* name, JsonValue* out) {
  JsonCursor c;
  JsonValue n, v;
  if (!json_object_begin(object, &c)) return false;
  while (json_object_next(&c, &n, &v))
    if (json_string_equals(n, name)) {
      *out = v;
      return true;
    }
  return false;
}

bool member_string(JsonValue object, const char* name, char* out, size_t cap) {
  JsonValue v;
  if (cap) out[0] = 0;
  return member(object, name, &v) && json_get_string(v, out, cap, nullptr);
}

// A string member that must fit whole: a cut token would be another token.
bool member_string_whole(JsonValue object, const char* name, char* out, size_t cap, bool* too_long) {
  JsonValue v;
  int flags = 0;
  if (cap) out[0] = 0;
  if (!member(object, name, &v) || !json_get_string(v, out, cap, &flags)) return false;
  if (flags & kJsonTextCut) {
    if (too_long) *too_long = true;
    out[0] = 0;
    return false;
  }
  return true;
}

// The display-name fields, earlier ones winning.
constexpr const char* kNameFields[] = {"name", "title", "label", "filename", "fileName", "displayName", "slug"};
constexpr int kNameFieldCount = int(sizeof kNameFields / sizeof kNameFields[0]);

int name_rank(const char* field) {
  for (int i = 0; i < kNameFieldCount; ++i)
    if (text_equal_nocase(field, kNameFields[i])) return i;
  return -1;
}

void entry_from_record(JsonValue record, const char* zone, bool shared, CloudEntry* e) {
  *e = CloudEntry{};
  text_copy(e->zone, zone);
  e->shared = shared;
  member_string(record, "recordName", e->record_name, sizeof e->record_name);
  member_string(record, "recordType", e->record_type, sizeof e->record_type);
  JsonValue modified, stamp;
  if (member(record, "modified", &modified) && member(modified, "timestamp", &stamp)) json_get_int64(stamp, &e->modified_ms);
  JsonValue fields;
  int best_rank = kNameFieldCount;  // a ranked name beats the first string field
  bool have_name = false;
  if (member(record, "fields", &fields)) {
    JsonCursor c;
    JsonValue name, field;
    json_object_begin(fields, &c);
    while (json_object_next(&c, &name, &field)) {
      char type[16], field_name[64];
      JsonValue value;
      if (!member_string(field, "type", type, sizeof type) || !member(field, "value", &value)) continue;
      if (strcmp(type, "ASSETID") == 0) {
        JsonValue size;
        int64_t bytes = 0;
        if (member(value, "size", &size) && json_get_int64(size, &bytes) && bytes > 0) e->size_bytes += bytes;
        if (!e->download_url[0]) member_string(value, "downloadURL", e->download_url, sizeof e->download_url);
      } else if (strcmp(type, "STRING") == 0 && value.kind == JsonKind::kString) {
        json_get_string(name, field_name, sizeof field_name, nullptr);
        int rank = name_rank(field_name);
        if (rank < 0) rank = kNameFieldCount + (have_name ? 1 : 0);  // only the first plain string counts
        if (!have_name || rank < best_rank) {
          json_get_string(value, e->display_name, sizeof e->display_name, nullptr);
          best_rank = rank;
          have_name = true;
        }
      }
    }
  }
  if (!have_name) text_copy(e->display_name, e->record_name);
}

// ---- The sign-in callback ----

constexpr const char* kPage =
    "<!doctype html><html><head><meta charset=\"utf-8\"><title>SIGNED IN</title></head>"
    "<body style=\"background:#141414;color:#e9e5e2;font-family:sans-serif;text-align:center;padding-top:20vh\">"
    "<h1>SIGNED IN</h1><p>BACK TO THE APP</p>"
    "<script>if(location.hash.indexOf('ckWebAuthToken=')>=0&&location.search.indexOf('ckWebAuthToken=')<0)"
    "{fetch('/ck?'+location.hash.substring(1));}</script></body></html>";

bool is_page_request(const char* request, size_t length) {
  const std::string head(request, std::min(length, size_t(8)));
  return head.rfind("GET /ck", 0) == 0 || head.rfind("GET /?", 0) == 0 || head.rfind("GET / ", 0) == 0;
}

const char* header_value(const char* request, size_t length, const char* name, size_t* n) {
  const size_t name_len = strlen(name);
  const char* end = request + length;
  const char* line = static_cast<const char*>(memchr(request, '\n', length));
  while (line && line + 1 < end) {
    ++line;
    if (size_t(end - line) > name_len && strncasecmp(line, name, name_len) == 0 && line[name_len] == ':') {
      const char* v = line + name_len + 1;
      while (v < end && (*v == ' ' || *v == '\t')) ++v;
      const char* e = v;
      while (e < end && *e != '\r' && *e != '\n') ++e;
      while (e > v && (e[-1] == ' ' || e[-1] == '\t')) --e;
      *n = size_t(e - v);
      return v;
    }
    line = static_cast<const char*>(memchr(line, '\n', size_t(end - line)));
  }
  return nullptr;
}

bool host_is_callback(const char* request, size_t length, int port) {
  size_t n = 0;
  const char* v = header_value(request, length, "Host", &n);
  if (!v) return false;
  const std::string host(v, n);
  const std::string p = std::to_string(port);
  return text_equal_nocase(host.c_str(), ("127.0.0.1:" + p).c_str()) || text_equal_nocase(host.c_str(), ("localhost:" + p).c_str());
}

// Reads one request up to the end of its headers (or 4095 bytes), for at most kCallbackRequestMs,
// looking at the cancel flag every 250 ms. The bytes read.
size_t read_request(int fd, char* buf, size_t cap, const std::atomic<int32_t>& cancel) {
  size_t got = 0;
  const int64_t deadline = mono_ns() + int64_t(kCallbackRequestMs) * 1000000;
  while (got + 1 < cap && !cancel.load()) {
    const int64_t left_ms = (deadline - mono_ns()) / 1000000;
    if (left_ms <= 0) break;
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, int(std::min<int64_t>(left_ms, kCallbackWaitMs)));
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    const ssize_t n = recv(fd, buf + got, cap - 1 - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += size_t(n);
    buf[got] = 0;
    if (strstr(buf, "\r\n\r\n") || strstr(buf, "\n\n")) break;
  }
  buf[got] = 0;
  return got;
}

void send_all(int fd, const char* data, size_t n) {
  const int64_t deadline = mono_ns() + int64_t(kCallbackRequestMs) * 1000000;
  while (n > 0 && mono_ns() < deadline) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, kCallbackWaitMs) <= 0) continue;
    const ssize_t w = send(fd, data, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    data += w;
    n -= size_t(w);
  }
}

int open_listener(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Waits for the browser's request with the token: 1 with it, 0 when cancelled, -1 when the token
// that came is refused (too long).
int wait_for_token(CloudClient* c, int listener, char* token, size_t cap) {
  char request[kCallbackReadBytes + 1];
  char reply[4096];
  while (!c->cancel.load()) {
    pollfd p{listener, POLLIN, 0};
    const int r = poll(&p, 1, kCallbackWaitMs);
    if (r <= 0 || !(p.revents & POLLIN)) {
      if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return 0;  // shut down by a sign-out
      continue;
    }
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const size_t n = read_request(fd, request, sizeof request, c->cancel);
    const size_t reply_len = callback_reply(request, n, c->callback_port, reply, sizeof reply);
    send_all(fd, reply, reply_len);
    shutdown(fd, SHUT_RDWR);
    close(fd);
    // Only the page's own requests carry the token; a stray request elsewhere is not a sign-in.
    if (!host_is_callback(request, n, c->callback_port) || !is_page_request(request, n)) continue;
    const int rc = callback_token(request, n, token, cap);
    if (rc != 0) return rc;
  }
  return 0;
}

int default_open_url(const char* url) {
  if (strncmp(url, "https://", 8) != 0) return -1;
  const char* const argv[] = {"xdg-open", url, nullptr};
  return spawn_detached(argv) == kProcessOk ? 0 : -1;
}

// ---- The worker ----

struct Job {
  CloudConfig config;
  CloudRoute route;
  uint32_t generation;
};

Job snapshot(CloudClient* c) {
  std::lock_guard<std::mutex> lk(c->lock);
  return Job{c->config, c->route, c->generation};
}

// Runs fn with the lock held when the job is still current; false otherwise.
template <typename Fn>
bool publish(CloudClient* c, const Job& job, Fn fn) {
  std::lock_guard<std::mutex> lk(c->lock);
  if (c->generation != job.generation) return false;
  fn();
  return true;
}

void set_status(CloudClient* c, const Job& job, const char* text) {
  publish(c, job, [&] { text_copy(c->status, text); });
  log_line("cloud: %s", text);
}

void set_progress(CloudClient* c, const Job& job, const char* text, float fraction) {
  publish(c, job, [&] {
    text_copy(c->progress, text);
    c->progress_fraction = fraction;
  });
}

void save_session(CloudClient* c) {
  // Called with the lock held.
  if (!c->session_path[0]) return;
  if (cloud_write_session(c->session_path, c->config.web_auth_token, c->user) != 0)
    log_line("cloud: couldn't write %s", c->session_path);
}

void forget_session_locked(CloudClient* c) {
  c->signed_in = false;
  c->config.web_auth_token[0] = 0;
  c->user[0] = 0;
  c->entries.clear();
  c->zone_count = 0;
  ++c->list_serial;
  save_session(c);
}

long get(const Job& job, CloudClient* c, const char* database, const char* operation, const char* body,
         CloudResponse* r) {
  char path[4096];
  if (!cloud_address(job.config, database, operation, path, sizeof path)) {
    r->status = 0;
    text_copy(r->message, "TOKEN TOO LONG");
    return 0;
  }
  return cloud_request(job.route, body ? "POST" : "GET", path, body, r, &c->cancel);
}

// The reply's own message ("HTTP %d  ..."), when its body says something.
bool reply_message(const CloudResponse& r, char* out, size_t cap) {
  if (r.status == 0) {
    text_copy(out, cap, r.message);
    return true;
  }
  char code[64] = "", reason[128] = "";
  JsonValue root;
  if (r.body && json_parse(r.body.get(), r.length, &root, nullptr, 0)) {
    member_string(root, "serverErrorCode", code, sizeof code);
    member_string(root, "reason", reason, sizeof reason);
  }
  if (!code[0] && !reason[0]) return false;
  cloud_error_text(r.status, r.body.get(), r.length, out, cap);
  return true;
}

bool user_from(const CloudResponse& r, char* user, size_t cap) {
  JsonValue root;
  return r.status == 200 && r.body && json_parse(r.body.get(), r.length, &root, nullptr, 0) &&
         member_string(root, "userRecordName", user, cap) && user[0];
}

// Lists zones and records of both databases. 0 on success, else -1 with the message.
int list_all(CloudClient* c, const Job& job, char* message, size_t cap) {
  publish(c, job, [&] {
    c->entries.clear();
    c->zone_count = 0;
    ++c->list_serial;
  });
  std::vector<CloudEntry> page;
  int total = 0;
  for (int db = 0; db < 2; ++db) {
    const bool shared = db == 1;
    const char* database = shared ? "shared" : "private";
    set_progress(c, job, shared ? "LISTING SHARED ZONES..." : "LISTING ZONES...", -1.0f);
    CloudResponse r;
    get(job, c, database, "zones/list", nullptr, &r);
    if (c->cancel.load()) return 0;
    if (r.status != 200) {
      if (!reply_message(r, message, cap)) cloud_error_text(r.status, r.body.get(), r.length, message, cap);
      return -1;
    }
    char names[kCloudMaxZones][kZoneNameBytes];
    char owners[kCloudMaxZones][kCloudUserBytes];
    int room = 0;
    publish(c, job, [&] { room = kCloudMaxZones - c->zone_count; });
    const int zones = cloud_parse_zones(r.body.get(), r.length, names, owners, room);
    publish(c, job, [&] {
      for (int z = 0; z < zones && c->zone_count < kCloudMaxZones; ++z) {
        text_copy(c->zones[c->zone_count], names[z]);
        text_copy(c->zone_owners[c->zone_count], owners[z]);
        c->zone_shared[c->zone_count++] = shared;
      }
    });
    for (int z = 0; z < zones; ++z) {
      char token[kSyncTokenBytes] = "";
      for (int pages = 0; pages < kCloudMaxPages; ++pages) {
        if (c->cancel.load()) return 0;
        char text[kCloudProgressBytes];
        text_format(text, sizeof text, "READING %s%s  %d", shared ? "SHARED " : "", names[z], total);
        set_progress(c, job, text, float(z) / float(std::max(zones, 1)));
        char body[kSyncTokenBytes + 512];
        const size_t len = cloud_changes_body(names[z], shared ? owners[z] : nullptr, pages ? token : nullptr, body, sizeof body);
        if (len >= sizeof body) break;
        CloudResponse pr;
        get(job, c, database, "changes/zone", body, &pr);
        if (c->cancel.load()) return 0;
        if (pr.status != 200) {
          if (!reply_message(pr, message, cap)) cloud_error_text(pr.status, pr.body.get(), pr.length, message, cap);
          return -1;
        }
        page.clear();
        bool more = false;
        char code[64] = "";
        const int rc = cloud_parse_changes(pr.body.get(), pr.length, names[z], shared, &page, &more, token, sizeof token,
                                           code, sizeof code);
        publish(c, job, [&] {
          for (const CloudEntry& e : page)
            if (int(c->entries.size()) < kCloudMaxEntries) c->entries.push_back(e);
          total = int(c->entries.size());
          ++c->list_serial;
        });
        if (rc == 1) {
          if (strcmp(code, "ZONE_NOT_FOUND") != 0) {
            text_format(message, cap, "%s: %s", names[z], code);
            log_line("cloud: %s", message);
          }
          break;
        }
        if (rc < 0) {
          text_format(message, cap, "%s: %s", names[z], "BAD REPLY");
          return -1;
        }
        if (!more || !token[0]) break;
      }
    }
  }
  set_progress(c, job, "", -1.0f);
  return 0;
}

void finish_listing(CloudClient* c, const Job& job, int rc, const char* message) {
  if (c->cancel.load()) return;
  if (rc == 0) {
    set_status(c, job, "SIGNED IN");
    return;
  }
  if (strstr(message, "AUTHENTICATION_REQUIRED") || strstr(message, "HTTP 421")) {
    publish(c, job, [&] {
      forget_session_locked(c);
      text_copy(c->status, "SESSION EXPIRED - SIGN IN");
    });
    log_line("cloud: session expired (%s)", message);
    return;
  }
  set_status(c, job, message);
}

void refresh_run(CloudClient* c, const Job& job) {
  char message[kCloudMessageBytes] = "";
  const int rc = list_all(c, job, message, sizeof message);
  finish_listing(c, job, rc, message);
}

void signed_in(CloudClient* c, const Job& job, const char* token, const char* user) {
  publish(c, job, [&] {
    text_copy(c->config.web_auth_token, token);
    text_copy(c->user, user);
    c->signed_in = true;
    text_copy(c->status, "SIGNED IN");
    save_session(c);
  });
  log_line("cloud: signed in");
}

void sign_in_run(CloudClient* c, Job job) {
  set_status(c, job, "ASKING APPLE...");
  CloudResponse r;
  get(job, c, "private", "users/current", nullptr, &r);
  if (c->cancel.load()) return;
  char user[kCloudUserBytes];
  if (user_from(r, user, sizeof user)) {
    signed_in(c, job, job.config.web_auth_token, user);
    refresh_run(c, snapshot(c));
    return;
  }
  char message[kCloudMessageBytes];
  if (r.status != 421) {
    if (!reply_message(r, message, sizeof message))
      text_copy(message, r.status == 401 || r.status == 403 ? "API TOKEN REFUSED" : "NO SIGN-IN URL");
    set_status(c, job, message);
    return;
  }
  char url[2048] = "";
  JsonValue root;
  bool too_long = false;
  if (!r.body || !json_parse(r.body.get(), r.length, &root, nullptr, 0) ||
      !member_string_whole(root, "redirectURL", url, sizeof url, &too_long) || strncmp(url, "https://", 8) != 0) {
    if (url[0]) log_line("cloud: the sign-in address is not https - not opened");
    set_status(c, job, "NO SIGN-IN URL");
    return;
  }
  const int listener = open_listener(c->callback_port);
  if (listener < 0) {
    char busy[64];
    text_format(busy, sizeof busy, "CALLBACK PORT %d BUSY", c->callback_port);
    set_status(c, job, busy);
    return;
  }
  c->listen_fd.store(listener);
  int (*open_url)(const char*) = c->open_url ? c->open_url : default_open_url;
  char token[kWebAuthTokenBytes];
  const bool opened = open_url(url) == 0;
  int got = 0;
  if (opened) {
    set_status(c, job, "SIGN IN IN THE BROWSER...");
    got = wait_for_token(c, listener, token, sizeof token);
  }
  c->listen_fd.store(-1);
  close(listener);
  if (!opened) {
    set_status(c, job, "BROWSER DIDN'T OPEN");
    return;
  }
  if (got < 0) {
    set_status(c, job, "SIGN-IN TOKEN TOO LONG");
    return;
  }
  if (got == 0) {
    if (!c->cancel.load()) set_status(c, job, "SIGN-IN CANCELLED");
    return;
  }
  text_copy(job.config.web_auth_token, token);
  set_status(c, job, "CHECKING THE SESSION...");
  CloudResponse check;
  get(job, c, "private", "users/current", nullptr, &check);
  if (c->cancel.load()) return;
  if (user_from(check, user, sizeof user)) {
    signed_in(c, job, token, user);
    refresh_run(c, snapshot(c));
    return;
  }
  if (!reply_message(check, message, sizeof message)) text_copy(message, "SESSION REFUSED");
  set_status(c, job, message);
}

// A stored session at start: kept when the service accepts it, forgotten when it refuses it,
// left alone when it cannot be asked.
void verify_run(CloudClient* c, Job job) {
  CloudResponse r;
  get(job, c, "private", "users/current", nullptr, &r);
  if (c->cancel.load()) return;
  char user[kCloudUserBytes];
  if (user_from(r, user, sizeof user)) {
    signed_in(c, job, job.config.web_auth_token, user);
    refresh_run(c, snapshot(c));
    return;
  }
  if (r.status == 0) {
    set_status(c, job, r.message);
    return;
  }
  publish(c, job, [&] {
    forget_session_locked(c);
    text_copy(c->status, "SIGN IN");
  });
  log_line("cloud: the stored session was refused (HTTP %ld)", r.status);
}

bool start_worker(CloudClient* c, void (*fn)(CloudClient*, Job)) {
  if (c->busy.exchange(1)) return false;
  if (c->worker.joinable()) c->worker.join();  // the last one has finished: busy was clear
  c->cancel.store(0);
  const Job job = snapshot(c);
  try {
    c->worker = std::thread([c, fn, job] {
      thread_set_own_name(kWorkerName);
      fn(c, job);
      c->busy.store(0);
    });
  } catch (const std::exception& e) {
    log_line("cloud: couldn't start the worker (%s)", e.what());
    c->busy.store(0);
    return false;
  }
  return true;
}

bool printable_token(const char* s, size_t cap) {
  const size_t n = strlen(s);
  if (n == 0 || n >= cap) return false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p)
    if (*p <= 0x20 || *p >= 0x7F) return false;
  return true;
}

}  // namespace

// ---- Requests ----

void CloudBodyFree::operator()(char* p) const { free(p); }

long cloud_request(const CloudRoute& route, const char* method, const char* path_query, const char* body,
                   CloudResponse* out, const std::atomic<int32_t>* cancel) {
  out->status = 0;
  out->body.reset();
  out->length = 0;
  out->message[0] = 0;
  curl_once();
  CURL* curl = curl_easy_init();
  if (!curl) {
    text_format(out->message, sizeof out->message, "CURL OPEN FAILED (%lu)", 0ul);
    return 0;
  }
  const char* host = route.host[0] ? route.host : kCloudHost;
  const int port = route.port > 0 ? route.port : kCloudPort;
  char url[8192];
  if (port == 443) text_format(url, sizeof url, "https://%s%s", host, path_query);
  else text_format(url, sizeof url, "https://%s:%d%s", host, port, path_query);
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  headers = curl_slist_append(headers, "Accept: application/json");
  curl_slist* resolve = route.resolve[0] ? curl_slist_append(nullptr, route.resolve) : nullptr;
  Body b;
  curl_easy_setopt(curl, CURLOPT_URL, url);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kCloudUserAgent);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);  // never turned off
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (route.ca_file[0]) curl_easy_setopt(curl, CURLOPT_CAINFO, route.ca_file);
  if (resolve) curl_easy_setopt(curl, CURLOPT_RESOLVE, resolve);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_data);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &b);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, const_cast<std::atomic<int32_t>*>(cancel));
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  if (strcmp(method, "POST") == 0) {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body ? body : "");
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body ? strlen(body) : 0));
  } else if (strcmp(method, "GET") == 0) {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
    if (body) curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
  }
  const CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  if (rc == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  curl_slist_free_all(resolve);
  if (b.too_big) text_copy(out->message, "RESPONSE TOO BIG");
  else if (b.no_memory) text_copy(out->message, "OUT OF MEMORY");
  else if (rc != CURLE_OK) message_for(rc, out->message, sizeof out->message);
  if (rc != CURLE_OK || b.too_big || b.no_memory) {
    free(b.data);
    return 0;
  }
  if (!b.data) {
    b.data = static_cast<char*>(malloc(1));
    if (!b.data) {
      text_copy(out->message, "OUT OF MEMORY");
      return 0;
    }
  }
  b.data[b.length] = 0;
  out->body.reset(b.data);
  out->length = b.length;
  out->status = status;
  return status;
}

bool cloud_address(const CloudConfig& config, const char* database, const char* operation, char* out, size_t cap) {
  char container[kContainerBytes * 3], environment[kEnvironmentBytes * 3], api[kApiTokenBytes * 3],
      web[kWebAuthTokenBytes * 3];
  if (text_percent_encode(container, sizeof container, config.container) == size_t(-1) ||
      text_percent_encode(environment, sizeof environment, config.environment) == size_t(-1) ||
      text_percent_encode(api, sizeof api, config.api_token) == size_t(-1) ||
      text_percent_encode(web, sizeof web, config.web_auth_token) == size_t(-1))
    return false;
  const bool signed_in = config.web_auth_token[0] != 0;
  const size_t n = text_format(out, cap, "/database/1/%s/%s/%s/%s?ckAPIToken=%s%s%s", container, environment, database,
                               operation, api, signed_in ? "&ckWebAuthToken=" : "", signed_in ? web : "");
  return n + 1 < cap;
}

// ---- JSON replies ----

void cloud_error_text(long status, const char* body, size_t length, char* out, size_t cap) {
  char code[64] = "", reason[128] = "";
  JsonValue root;
  if (body && json_parse(body, length, &root, nullptr, 0)) {
    member_string(root, "serverErrorCode", code, sizeof code);
    member_string(root, "reason", reason, sizeof reason);
  }
  if (!code[0] && !reason[0]) text_format(out, cap, "HTTP %d", int(status));
  else text_format(out, cap, "HTTP %d  %s%s%s", int(status), code, code[0] && reason[0] ? " - " : "", reason);
}

size_t cloud_changes_body(const char* zone, const char* owner, const char* sync_token, char* out, size_t cap) {
  JsonWriter w;
  json_writer_start(&w, out, cap);
  json_write_raw(&w, "{\"zones\":[{\"zoneID\":{\"zoneName\":", 32);
  json_write_string(&w, zone);
  if (owner) {
    json_write_raw(&w, ",\"ownerRecordName\":", 19);
    json_write_string(&w, owner);
  }
  json_write_raw(&w, "},\"resultsLimit\":", 17);
  json_write_int(&w, kCloudPageRecords);
  if (sync_token && sync_token[0]) {
    json_write_raw(&w, ",\"syncToken\":", 13);
    json_write_string(&w, sync_token);
  }
  json_write_raw(&w, "}]}", 3);
  return json_writer_finish(&w);
}

int cloud_parse_changes(const char* body, size_t length, const char* zone, bool shared, std::vector<CloudEntry>* out,
                        bool* more, char* sync_token, size_t token_cap, char* error_code, size_t error_cap) {
  *more = false;
  if (token_cap) sync_token[0] = 0;
  if (error_cap) error_code[0] = 0;
  JsonValue root, zones, first;
  JsonCursor c;
  if (!body || !json_parse(body, length, &root, nullptr, 0) || !member(root, "zones", &zones) ||
      !json_array_begin(zones, &c))
    return -1;
  while (json_array_next(&c, &first)) {
    if (member_string(first, "serverErrorCode", error_code, error_cap)) return 1;
    JsonValue records, record, deleted;
    JsonCursor rc;
    if (member(first, "records", &records) && json_array_begin(records, &rc)) {
      while (json_array_next(&rc, &record)) {
        bool gone = false;
        if (member(record, "deleted", &deleted) && json_get_bool(deleted, &gone) && gone) continue;
        if (int(out->size()) >= kCloudMaxEntries) continue;  // the rest is read, not kept
        CloudEntry e;
        entry_from_record(record, zone, shared, &e);
        out->push_back(e);
      }
    }
    JsonValue m;
    json_get_bool(member(first, "moreComing", &m) ? m : JsonValue{}, more);
    bool too_long = false;
    member_string_whole(first, "syncToken", sync_token, token_cap, &too_long);
    if (too_long) {
      text_copy(error_code, error_cap, "SYNC TOKEN TOO LONG");
      *more = false;
      return 1;
    }
    return 0;  // one zone was asked for: its element is the first
  }
  return -1;
}

int cloud_parse_zones(const char* body, size_t length, char names[][kZoneNameBytes], char owners[][kCloudUserBytes],
                      int room) {
  JsonValue root, zones, z, id;
  JsonCursor c;
  if (!body || !json_parse(body, length, &root, nullptr, 0) || !member(root, "zones", &zones) ||
      !json_array_begin(zones, &c))
    return 0;
  int n = 0;
  while (n < room && json_array_next(&c, &z)) {
    char name[kZoneNameBytes], owner[kCloudUserBytes] = "";
    bool too_long = false;
    if (!member(z, "zoneID", &id) || !member_string_whole(id, "zoneName", name, sizeof name, &too_long) || !name[0]) continue;
    if (strcmp(name, "_defaultZone") == 0) continue;
    member_string_whole(id, "ownerRecordName", owner, sizeof owner, &too_long);
    text_copy(names[n], kZoneNameBytes, name);
    text_copy(owners[n], kCloudUserBytes, owner);
    ++n;
  }
  return n;
}

// ---- The callback ----

int callback_token(const char* request, size_t length, char* out, size_t cap) {
  if (cap) out[0] = 0;
  const char* eol = static_cast<const char*>(memchr(request, '\n', length));
  const size_t line = eol ? size_t(eol - request) : length;
  const std::string first(request, line);
  const size_t at = first.find("ckWebAuthToken=");
  if (at == std::string::npos) return 0;
  const size_t from = at + strlen("ckWebAuthToken=");
  size_t to = from;
  while (to < first.size() && !strchr("& \r\n#", first[to])) ++to;
  if (to == from) return 0;
  if (to - from >= kCallbackTokenBytes) return -1;
  char decoded[kCallbackTokenBytes];
  const size_t n = text_percent_decode(decoded, sizeof decoded, first.data() + from, to - from, true);
  if (n == size_t(-1) || n >= cap) return -1;  // longer than the field: refused, not cut
  for (size_t i = 0; i < n; ++i)
    if (static_cast<unsigned char>(decoded[i]) < 0x20 || decoded[i] == 0x7F) return -1;
  if (n == 0) return 0;
  memcpy(out, decoded, n + 1);
  return 1;
}

size_t callback_reply(const char* request, size_t length, int port, char* out, size_t cap) {
  const bool page = is_page_request(request, length);
  if (!host_is_callback(request, length, port))
    return text_copy(out, cap, "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
  if (!page) return text_copy(out, cap, "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
  return text_format(out, cap,
                     "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\n"
                     "Content-Length: %zu\r\n\r\n%s",
                     strlen(kPage), kPage);
}

// ---- Assets ----

namespace {

struct Sink {
  FileWriter file;
  int64_t written = 0;
  bool too_big = false;
  bool failed = false;
};

size_t on_asset(char* ptr, size_t size, size_t count, void* user) {
  auto* s = static_cast<Sink*>(user);
  const size_t bytes = size * count;
  if (s->written + int64_t(bytes) > kCloudDownloadMaxBytes) {
    s->too_big = true;
    return 0;
  }
  if (file_write(&s->file, ptr, bytes) != 0) {
    s->failed = true;
    return 0;
  }
  s->written += int64_t(bytes);
  return bytes;
}

}  // namespace

int cloud_download(const CloudRoute& route, const char* url, const char* file_name, const char* path,
                   const std::atomic<int32_t>* cancel, char* msg, size_t msg_cap) {
  if (msg_cap) msg[0] = 0;
  if (!url || strncmp(url, "https://", 8) != 0) {
    text_copy(msg, msg_cap, "NO DOWNLOAD ADDRESS");
    return -1;
  }
  // The service leaves the file's name to the client: "${f}" in the address.
  std::string address = url;
  char encoded[512];
  if (text_percent_encode(encoded, sizeof encoded, file_name && file_name[0] ? file_name : "asset") == size_t(-1))
    text_copy(encoded, "asset");
  for (size_t at; (at = address.find("${f}")) != std::string::npos;) address.replace(at, 4, encoded);
  char tmp[4200];
  Sink sink;
  if (temporary_path(tmp, sizeof tmp, path) != 0 || file_create(&sink.file, tmp) != 0) {
    text_copy(msg, msg_cap, "CAN'T WRITE THE DOWNLOAD");
    return -1;
  }
  curl_once();
  CURL* curl = curl_easy_init();
  if (!curl) {
    file_close(&sink.file);
    remove_file(tmp);
    text_format(msg, msg_cap, "CURL OPEN FAILED (%lu)", 0ul);
    return -1;
  }
  curl_slist* resolve = route.resolve[0] ? curl_slist_append(nullptr, route.resolve) : nullptr;
  curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kCloudUserAgent);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (route.ca_file[0]) curl_easy_setopt(curl, CURLOPT_CAINFO, route.ca_file);
  if (resolve) curl_easy_setopt(curl, CURLOPT_RESOLVE, resolve);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_asset);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, const_cast<std::atomic<int32_t>*>(cancel));
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  const CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  if (rc == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  curl_slist_free_all(resolve);
  bool ok = rc == CURLE_OK && status == 200 && !sink.too_big && !sink.failed;
  if (sink.too_big) text_copy(msg, msg_cap, "ASSET TOO BIG");
  else if (sink.failed) text_copy(msg, msg_cap, "CAN'T WRITE THE DOWNLOAD");
  else if (rc != CURLE_OK) message_for(rc, msg, msg_cap);
  else if (status != 200) text_format(msg, msg_cap, "HTTP %d", int(status));
  ok = file_sync(&sink.file) == 0 && ok;
  ok = file_close(&sink.file) == 0 && ok;
  if (ok && file_rename(tmp, path) != 0) {
    text_copy(msg, msg_cap, "CAN'T WRITE THE DOWNLOAD");
    ok = false;
  }
  if (!ok) {
    remove_file(tmp);
    if (msg_cap && !msg[0]) text_copy(msg, msg_cap, "CAN'T WRITE THE DOWNLOAD");
    return -1;
  }
  return 0;
}

// ---- Session file ----

bool cloud_session_path(char* out, size_t cap) {
  char config[kPathCap];
  if (!config_dir(config, sizeof config)) return false;
  char folder[kPathCap + 16];
  if (text_format(folder, sizeof folder, "%s/Lumaro", config) + 1 >= sizeof folder || make_dirs(folder) != 0) return false;
  return text_format(out, cap, "%s/%s", folder, kCloudSessionFile) + 1 < cap;
}

int cloud_write_session(const char* path, const char* token, const char* user) {
  std::string text = std::string("token=") + token + "\nuser=" + user + "\n";
  char tmp[4200];
  if (temporary_path(tmp, sizeof tmp, path) != 0) return -1;
  FileWriter f;
  if (file_create_private(&f, tmp) != 0) return -1;
  bool ok = file_write(&f, text.data(), text.size()) == 0 && file_sync(&f) == 0;
  ok = file_close(&f) == 0 && ok;
  if (!ok || file_rename(tmp, path) != 0) {
    remove_file(tmp);
    return -1;
  }
  return 0;
}

int cloud_read_session(const char* path, char* token, size_t token_cap, char* user, size_t user_cap) {
  if (token_cap) token[0] = 0;
  if (user_cap) user[0] = 0;
  char* data = nullptr;
  size_t bytes = 0;
  if (shared_file_read(path, kSessionMaxBytes, &data, &bytes, nullptr, nullptr) != kSharedReadOk) return -1;
  for (char* line = data; line && *line;) {
    char* nl = strchr(line, '\n');
    if (nl) *nl = 0;
    size_t n = strlen(line);
    while (n > 0 && line[n - 1] == '\r') line[--n] = 0;
    if (strncmp(line, "token=", 6) == 0) {
      if (n - 6 < token_cap) text_copy(token, token_cap, line + 6);
      else log_line("cloud: the stored token is longer than its field - not used");
    } else if (strncmp(line, "user=", 5) == 0 && n - 5 < user_cap) {
      text_copy(user, user_cap, line + 5);
    }
    line = nl ? nl + 1 : nullptr;
  }
  free_file_data(data);
  return 0;
}

// ---- Life ----

CloudClient::~CloudClient() { cloud_shutdown(this); }

void cloud_start(CloudClient* c, const CloudConfig& config, const char* session_path) {
  bool verify = false;
  {
    std::lock_guard<std::mutex> lk(c->lock);
    c->config = config;
    c->config.container[sizeof c->config.container - 1] = 0;
    c->config.environment[sizeof c->config.environment - 1] = 0;
    c->config.api_token[sizeof c->config.api_token - 1] = 0;
    c->config.web_auth_token[sizeof c->config.web_auth_token - 1] = 0;
    if (session_path) text_copy(c->session_path, session_path);
    else if (!cloud_session_path(c->session_path, sizeof c->session_path)) c->session_path[0] = 0;
    if (!c->config.web_auth_token[0] && c->session_path[0])
      cloud_read_session(c->session_path, c->config.web_auth_token, sizeof c->config.web_auth_token, c->user,
                         sizeof c->user);
    c->available = c->config.api_token[0] != 0;
    verify = c->available && c->config.web_auth_token[0];
    text_copy(c->status, !c->available ? "NO API TOKEN" : verify ? "SIGNING IN..." : "SIGN IN");
  }
  if (verify && !start_worker(c, verify_run)) {
    std::lock_guard<std::mutex> lk(c->lock);
    text_copy(c->status, "SIGN IN");
  }
}

void cloud_shutdown(CloudClient* c) {
  c->cancel.store(1);
  const int fd = c->listen_fd.load();
  if (fd >= 0) shutdown(fd, SHUT_RDWR);  // the waiting worker wakes and closes it
  if (c->worker.joinable()) c->worker.join();
}

bool cloud_set_api_token(CloudClient* c, const char* token) {
  if (!token || !printable_token(token, kApiTokenBytes)) return false;
  std::lock_guard<std::mutex> lk(c->lock);
  text_copy(c->config.api_token, token);
  c->available = true;
  if (!c->signed_in) text_copy(c->status, "SIGN IN");
  return true;
}

bool cloud_sign_in(CloudClient* c) {
  {
    std::lock_guard<std::mutex> lk(c->lock);
    if (!c->available) return false;
  }
  return start_worker(c, sign_in_run);
}

bool cloud_refresh(CloudClient* c) {
  {
    std::lock_guard<std::mutex> lk(c->lock);
    if (!c->signed_in) return false;
  }
  return start_worker(c, [](CloudClient* cc, Job job) { refresh_run(cc, job); });
}

void cloud_sign_out(CloudClient* c) {
  c->cancel.store(1);
  const int fd = c->listen_fd.load();
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
  std::lock_guard<std::mutex> lk(c->lock);
  ++c->generation;  // whatever the worker still says is about the old session
  forget_session_locked(c);
  text_copy(c->progress, "");
  c->progress_fraction = -1.0f;
  text_copy(c->status, c->available ? "SIGN IN" : "NO API TOKEN");
  log_line("cloud: signed out");
}

void cloud_view(CloudClient* c, CloudView* out) {
  std::lock_guard<std::mutex> lk(c->lock);
  out->signed_in = c->signed_in;
  out->available = c->available;
  out->busy = c->busy.load() != 0;
  text_copy(out->status, c->status);
  text_copy(out->progress, c->progress);
  out->progress_fraction = c->progress_fraction;
  out->list_serial = c->list_serial;
}

bool cloud_take_entries(CloudClient* c, uint32_t* seen, std::vector<CloudEntry>* out) {
  std::lock_guard<std::mutex> lk(c->lock);
  if (c->list_serial == *seen) return false;
  *seen = c->list_serial;
  *out = c->entries;
  return true;
}
