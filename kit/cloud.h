// The kit's CloudKit Web Services client: HTTPS requests through libcurl (the system's
// certificate store, always verified; the environment's proxy), sign-in through the browser with
// a callback server on 127.0.0.1:47555, the zones of the private and shared databases read page by
// page into a flat list of entries, sign-out, and the session file that keeps the web-auth token.
// Threads: the caller's thread (the files tab's, the main thread) owns the client; sign-in and
// listing run on one worker thread at a time ("tolm-cloud"); everything both touch is guarded by
// `lock`, except the busy and cancel flags, which are atomics.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

constexpr const char* kCloudHost = "api.apple-cloudkit.com";
constexpr int kCloudPort = 443;
constexpr int kCallbackPort = 47555;
constexpr const char* kCloudUserAgent = "Lumaro ZephaKit/1.0";
constexpr const char* kCloudSessionFile = "cloud-session.ini";

constexpr size_t kContainerBytes = 128;
constexpr size_t kEnvironmentBytes = 32;
constexpr size_t kApiTokenBytes = 400;       // at most 399 characters
constexpr size_t kWebAuthTokenBytes = 1024;  // at most 1023 characters
constexpr size_t kCallbackTokenBytes = 1400; // what the callback reads before the length is judged
constexpr size_t kCloudStatusBytes = 160;
constexpr size_t kCloudProgressBytes = 96;
constexpr size_t kCloudUserBytes = 128;
constexpr int kCloudMaxZones = 32;
constexpr size_t kZoneNameBytes = 40;
constexpr int kCloudMaxEntries = 4096;
constexpr int kCloudMaxPages = 200;
constexpr int kCloudPageRecords = 200;
constexpr size_t kSyncTokenBytes = 1200;
constexpr size_t kCloudBodyStart = 64u << 10;
constexpr size_t kCloudBodyMax = 16u << 20;
constexpr int kCallbackReadBytes = 4095;
constexpr int kCallbackWaitMs = 250;         // the callback wait looks at the cancel flag this often
constexpr int kCallbackRequestMs = 5000;     // a connection gets this long to send its headers
constexpr size_t kCloudMessageBytes = 160;

struct CloudEntry {
  char zone[kZoneNameBytes];
  char record_type[48];
  char record_name[128];
  char display_name[96];
  int64_t modified_ms;       // "modified" -> "timestamp", as read (milliseconds since 1970)
  int64_t size_bytes;        // the asset fields' sizes added up
  char download_url[600];    // the first asset's
  bool shared;               // the zone came from the shared database
};

// Given by the caller.
struct CloudConfig {
  char container[kContainerBytes];
  char environment[kEnvironmentBytes];
  char api_token[kApiTokenBytes];
  char web_auth_token[kWebAuthTokenBytes];  // empty: signed out
};

// Where requests go. Tests point the client at a local server: a port, a CURLOPT_RESOLVE entry
// ("host:port:127.0.0.1") and a CA file; certificate checks stay on either way.
struct CloudRoute {
  char host[128];
  int port;
  char resolve[192];
  char ca_file[512];
};

struct CloudBodyFree {
  void operator()(char* p) const;
};

// One HTTP exchange.
struct CloudResponse {
  long status = 0;                           // 0 when no reply came; message says why
  std::unique_ptr<char, CloudBodyFree> body; // NUL-terminated
  size_t length = 0;
  char message[kCloudMessageBytes] = {};
};

struct CloudClient {
  CloudClient() = default;
  CloudClient(const CloudClient&) = delete;
  CloudClient& operator=(const CloudClient&) = delete;
  ~CloudClient();  // cloud_shutdown

  std::mutex lock;                         // guards everything below but the atomics
  CloudConfig config{};
  CloudRoute route{};
  char session_path[4096] = {};            // empty: the session is not kept
  bool signed_in = false;
  bool available = false;                  // an API token is present
  char status[kCloudStatusBytes] = {};
  char progress[kCloudProgressBytes] = {};
  float progress_fraction = -1.0f;         // -1 while indeterminate
  char user[kCloudUserBytes] = {};
  char zones[kCloudMaxZones][kZoneNameBytes] = {};
  char zone_owners[kCloudMaxZones][kCloudUserBytes] = {};
  bool zone_shared[kCloudMaxZones] = {};
  int zone_count = 0;
  std::vector<CloudEntry> entries;         // at most kCloudMaxEntries
  uint32_t list_serial = 0;                // +1 whenever entries change
  uint32_t generation = 0;                 // +1 by a sign-out: a worker of an older one publishes nothing

  std::atomic<int32_t> busy{0};            // a worker runs (swapped whole)
  std::atomic<int32_t> cancel{0};          // the worker stops at its next check
  std::atomic<int> listen_fd{-1};          // the callback's socket while a sign-in waits
  int callback_port = kCallbackPort;
  // Opens an address in the browser; the default runs xdg-open with it (https only).
  int (*open_url)(const char* url) = nullptr;
  std::thread worker;                      // owner thread: started and joined there
};

// ---- Life (owner thread) ----

// Sets the configuration and the session file (null: $XDG_CONFIG_HOME/Lumaro/cloud-session.ini,
// "" none). A web-auth token the configuration lacks is read from the session file. The status
// becomes "NO API TOKEN" without an API token; with a stored session "SIGNING IN..." while a
// worker checks it (then "SIGNED IN" and a listing, or "SIGN IN"); else "SIGN IN".
void cloud_start(CloudClient* c, const CloudConfig& config, const char* session_path);
// Sets the cancel flag, closes a waiting callback socket and joins the worker. Idempotent.
void cloud_shutdown(CloudClient* c);
// A new API token (pasted by the user); refused when empty, too long or not printable.
bool cloud_set_api_token(CloudClient* c, const char* token);

// Starts the browser sign-in on the worker; false when a worker runs or there is no API token.
bool cloud_sign_in(CloudClient* c);
// Starts a listing of both databases on the worker; false when busy or signed out.
bool cloud_refresh(CloudClient* c);
// Stops a sign-in or listing, forgets the token, user and list and rewrites the session file
// empty. Status "SIGN IN" (or "NO API TOKEN").
void cloud_sign_out(CloudClient* c);

// Copies of what the worker wrote (under the lock).
struct CloudView {
  bool signed_in;
  bool available;
  bool busy;
  char status[kCloudStatusBytes];
  char progress[kCloudProgressBytes];
  float progress_fraction;
  uint32_t list_serial;
};
void cloud_view(CloudClient* c, CloudView* out);
// The entries, when the list serial differs from seen (seen is updated); false otherwise.
bool cloud_take_entries(CloudClient* c, uint32_t* seen, std::vector<CloudEntry>* out);

// ---- Requests (any thread) ----

// method "GET" or "POST" to path_query on the route's host; body may be null. The status, or 0
// with a message: "OUT OF MEMORY", "CURL OPEN FAILED (%lu)", "CANNOT CONNECT", "TIMED OUT",
// "NO DNS", "NO RESPONSE (%lu)", "SEND FAILED (%lu)" (an untrusted certificate among them),
// "RESPONSE TOO BIG". cancel (may be null) stops a transfer in progress.
long cloud_request(const CloudRoute& route, const char* method, const char* path_query, const char* body,
                   CloudResponse* out, const std::atomic<int32_t>* cancel);
// "/database/1/<container>/<environment>/<database>/<operation>?ckAPIToken=…[&ckWebAuthToken=…]",
// the container and environment percent-encoded as path parts, the tokens as query values.
// false when it does not fit.
bool cloud_address(const CloudConfig& config, const char* database, const char* operation, char* out, size_t cap);

// ---- The JSON replies (pure; any thread) ----

// "HTTP %d  %s%s%s" from the status and the body's serverErrorCode and reason, or "HTTP %d".
void cloud_error_text(long status, const char* body, size_t length, char* out, size_t cap);
// The changes/zone request body for a zone (owner for a shared zone, null otherwise) and the
// previous page's sync token (null on the first page), through the JSON writer. Its length.
size_t cloud_changes_body(const char* zone, const char* owner, const char* sync_token, char* out, size_t cap);
// One page of changes/zone: entries appended to out (while fewer than kCloudMaxEntries), more
// and the sync token for the next page. 0; 1 when the zone ended with an error (error_code holds
// it; "ZONE_NOT_FOUND" among them); -1 when the reply is not JSON of that shape.
int cloud_parse_changes(const char* body, size_t length, const char* zone, bool shared, std::vector<CloudEntry>* out,
                        bool* more, char* sync_token, size_t token_cap, char* error_code, size_t error_cap);
// zones/list: the zone names (and owners) other than "_defaultZone", up to the free room.
int cloud_parse_zones(const char* body, size_t length, char names[][kZoneNameBytes], char owners[][kCloudUserBytes],
                      int room);

// ---- The sign-in callback (pure parts) ----

// The token from a request's first line: the text after "ckWebAuthToken=" up to '&', a blank, CR,
// LF or '#', percent-decoded ('+' a blank). 1 with the token, 0 when there is none, -1 when it is
// longer than the field (refused, not cut) or holds a control character.
int callback_token(const char* request, size_t length, char* out, size_t cap);
// The reply to a request (the page for "GET /ck", "GET /?" and "GET / ", else 404). Host must
// name 127.0.0.1 or localhost on the callback port, or the reply is 400.
size_t callback_reply(const char* request, size_t length, int port, char* out, size_t cap);

// ---- Assets ----

constexpr int64_t kCloudDownloadMaxBytes = int64_t(2) << 30;

// Downloads an asset into path: its download address with "${f}" replaced by the percent-encoded
// file_name, https only (redirects too), verified like every request. Written to a temporary file
// renamed into place, so path is either the whole asset or untouched. 0, or -1 with a message:
// "HTTP %d", "ASSET TOO BIG", "CAN'T WRITE THE DOWNLOAD" or one of cloud_request's.
int cloud_download(const CloudRoute& route, const char* url, const char* file_name, const char* path,
                   const std::atomic<int32_t>* cancel, char* msg, size_t msg_cap);

// ---- Session file ----

// Two lines "token=%s\nuser=%s\n", created with mode 0600 and replaced whole. 0 or -1.
int cloud_write_session(const char* path, const char* token, const char* user);
// Reads them back; a token longer than its field is dropped. 0, or -1 when there is no file.
int cloud_read_session(const char* path, char* token, size_t token_cap, char* user, size_t user_cap);
// $XDG_CONFIG_HOME/Lumaro/cloud-session.ini (the folder made first); false when it cannot be had.
bool cloud_session_path(char* out, size_t cap);
