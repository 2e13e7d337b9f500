// The cloud client against a real HTTPS server on loopback (Python's http.server with a test CA
// and a certificate for the service's own host name, reached through CURLOPT_RESOLVE; the
// certificate is verified as always): failures by name, the browser sign-in with the redirect to
// the callback port, zone listing and paged changes, refusals and expired sessions, the callback's
// own defences; and the replies' parsing on its own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kit/cloud.h"
#include "kit/json.h"
#include "platform/paths.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr const char* kGood = "good+token/=1";

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

bool wait_for(const std::function<bool()>& done, int timeout_ms = 20000) {
  for (int t = 0; t < timeout_ms; t += 5) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

// A test CA, a certificate for `host` signed by it, and the server on a free loopback port.
struct Server {
  TempDir dir;
  pid_t pid = -1;
  int port = 0;
  std::string ca;
  explicit Server(const char* host = kCloudHost, const char* cert_host = kCloudHost) {
    for (const char* v : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"}) unsetenv(v);
    const std::string d = dir.path;
    ca = d + "/ca.pem";
    const bool made =
        run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + d + "/ca.key -out " + ca +
            " -days 2 -subj '/CN=Test CA' -addext 'basicConstraints=critical,CA:TRUE' -addext 'keyUsage=critical,keyCertSign'") &&
        run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + d + "/srv.key -out " + d + "/srv.csr -subj '/CN=" + cert_host + "'") &&
        run("printf 'subjectAltName=DNS:" + std::string(cert_host) + "\\nextendedKeyUsage=serverAuth\\n' > " + d + "/ext.cnf") &&
        run("openssl x509 -req -in " + d + "/srv.csr -CA " + ca + " -CAkey " + d + "/ca.key -CAcreateserial -out " + d +
            "/srv.pem -days 2 -extfile " + d + "/ext.cnf");
    EXPECT_TRUE(made) << "openssl could not make the test certificates";
    const std::string script = TOLM_CLOUD_SERVER;
    const std::string cert = d + "/srv.pem", key = d + "/srv.key", port_file = d + "/port", log = d + "/log";
    pid = fork();
    if (pid == 0) {
      execlp("python3", "python3", script.c_str(), cert.c_str(), key.c_str(), port_file.c_str(), log.c_str(), host, nullptr);
      _exit(127);
    }
    EXPECT_TRUE(wait_for([&] { return path_exists(port_file.c_str()); }, 20000)) << "the test server did not start";
    port = atoi(read_text(port_file).c_str());
  }
  ~Server() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      int status = 0;
      waitpid(pid, &status, 0);
    }
  }
  CloudRoute route(bool trusted = true) const {
    CloudRoute r{};
    snprintf(r.host, sizeof r.host, "%s", kCloudHost);
    r.port = port;
    snprintf(r.resolve, sizeof r.resolve, "%s:%d:127.0.0.1", kCloudHost, port);
    if (trusted) snprintf(r.ca_file, sizeof r.ca_file, "%s", ca.c_str());
    return r;
  }
  std::string log() const { return read_text(dir.file("log")); }
  // A browser for xdg-open: curl following the sign-in page's redirect to the callback port.
  void install_browser() const {
    const std::string bin = dir.file("bin");
    mkdir(bin.c_str(), 0755);
    write_text(bin + "/xdg-open", "#!/bin/sh\nexec curl -s -L --max-time 20 --cacert '" + ca + "' --resolve '" +
                                      std::string(kCloudHost) + ":" + std::to_string(port) + ":127.0.0.1' -o '" +
                                      dir.file("browser.html") + "' \"$1\"\n");
    chmod((bin + "/xdg-open").c_str(), 0755);
    setenv("PATH", (bin + ":" + getenv("PATH")).c_str(), 1);
  }
};

CloudConfig config(const char* api, const char* web = "") {
  CloudConfig c{};
  snprintf(c.container, sizeof c.container, "%s", "iCloud.com.example Tolm/Test");
  snprintf(c.environment, sizeof c.environment, "%s", "development");
  snprintf(c.api_token, sizeof c.api_token, "%s", api);
  snprintf(c.web_auth_token, sizeof c.web_auth_token, "%s", web);
  return c;
}

std::string status_of(CloudClient* c) {
  CloudView v;
  cloud_view(c, &v);
  return v.status;
}

bool idle(CloudClient* c) { return c->busy.load() == 0; }

// A plain TCP client of the callback port.
int connect_callback() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(kCallbackPort);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string exchange(const std::vector<std::string>& pieces) {
  const int fd = connect_callback();
  if (fd < 0) return "no connection";
  for (const std::string& p : pieces) {
    send(fd, p.data(), p.size(), MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));  // each piece its own packet
  }
  std::string reply;
  char buf[4096];
  for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) reply.append(buf, size_t(n));
  close(fd);
  return reply;
}

int (*g_opened_hook)(const char*) = nullptr;
std::string g_opened;
int remember_url(const char* url) {
  g_opened = url;
  return 0;
}

}  // namespace

TEST(CloudRequest, VerifiesTheServerAndNamesEachFailure) {
  Server server;
  CloudResponse r;
  // Exactly 16 MiB is a body; one byte more is too big.
  EXPECT_EQ(cloud_request(server.route(), "GET", "/big?n=16777216", nullptr, &r, nullptr), 200);
  EXPECT_EQ(r.length, size_t(16) << 20);
  EXPECT_EQ(r.body.get()[r.length], 0);
  EXPECT_EQ(cloud_request(server.route(), "GET", "/big?n=16777217", nullptr, &r, nullptr), 0);
  EXPECT_STREQ(r.message, "RESPONSE TOO BIG");
  // Not signed by a CA we trust: refused, with the send failure and curl's code.
  EXPECT_EQ(cloud_request(server.route(false), "GET", "/big?n=1", nullptr, &r, nullptr), 0);
  EXPECT_STREQ(r.message, "SEND FAILED (60)");
  // Nobody listening.
  CloudRoute closed = server.route();
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
  close(probe);
  closed.port = ntohs(a.sin_port);
  snprintf(closed.resolve, sizeof closed.resolve, "%s:%d:127.0.0.1", kCloudHost, closed.port);
  EXPECT_EQ(cloud_request(closed, "GET", "/", nullptr, &r, nullptr), 0);
  EXPECT_STREQ(r.message, "CANNOT CONNECT");
  // Cancelled before it begins.
  std::atomic<int32_t> cancel{1};
  EXPECT_EQ(cloud_request(server.route(), "GET", "/big?n=1", nullptr, &r, &cancel), 0);
  EXPECT_STREQ(r.message, "CANCELLED");

  // Container and environment are path parts, the tokens query values: all percent-encoded.
  char path[2048];
  ASSERT_TRUE(cloud_address(config("api token&x", "a+b"), "private", "users/current", path, sizeof path));
  EXPECT_STREQ(path, "/database/1/iCloud.com.example%20Tolm%2FTest/development/private/users/current"
                     "?ckAPIToken=api%20token%26x&ckWebAuthToken=a%2Bb");
  EXPECT_EQ(cloud_request(server.route(), "GET", path, nullptr, &r, nullptr), 421);  // not signed in there
  EXPECT_NE(server.log().find("GET " + std::string(path) + "\n"), std::string::npos);
}

TEST(CloudRequest, ACertificateForAnotherNameIsRefused) {
  Server server(kCloudHost, "elsewhere.example");
  CloudResponse r;
  EXPECT_EQ(cloud_request(server.route(), "GET", "/big?n=1", nullptr, &r, nullptr), 0);
  EXPECT_STREQ(r.message, "SEND FAILED (60)");
}

TEST(CloudSignIn, ThroughTheBrowserToTheCallbackThenEveryZoneIsListed) {
  Server server;
  server.install_browser();
  TempDir home;
  const std::string session = home.file("cloud-session.ini");
  CloudClient c;
  c.route = server.route();
  cloud_start(&c, config("api-token"), session.c_str());
  EXPECT_EQ(status_of(&c), "SIGN IN");
  ASSERT_TRUE(cloud_sign_in(&c));
  EXPECT_FALSE(cloud_sign_in(&c));  // one worker at a time
  ASSERT_TRUE(wait_for([&] { return idle(&c); }, 60000));
  EXPECT_EQ(status_of(&c), "SIGNED IN");
  // The browser followed the sign-in page to the callback and was shown the page.
  const std::string page = read_text(server.dir.file("browser.html"));
  EXPECT_NE(page.find("SIGNED IN"), std::string::npos);
  EXPECT_NE(page.find("BACK TO THE APP"), std::string::npos);

  std::vector<CloudEntry> entries;
  uint32_t seen = 0;
  ASSERT_TRUE(cloud_take_entries(&c, &seen, &entries));
  // 405 records in the private zone less every tenth (deleted), one shared; "Gone" said nothing.
  ASSERT_EQ(entries.size(), 365u + 1u);
  const CloudEntry& first = entries[0];
  EXPECT_STREQ(first.zone, "Loops \"A\"");
  EXPECT_STREQ(first.record_name, "rec-0");
  EXPECT_STREQ(first.display_name, "Loop 0");
  EXPECT_EQ(first.size_bytes, 1005);
  EXPECT_STREQ(first.download_url, "https://cvws.example/0");
  EXPECT_EQ(first.modified_ms, 1700000000000);
  EXPECT_FALSE(first.shared);
  EXPECT_TRUE(entries.back().shared);
  EXPECT_STREQ(entries.back().zone, "Shared");
  EXPECT_FALSE(cloud_take_entries(&c, &seen, &entries));
  // Pages follow their sync tokens, zone names and tokens written as JSON.
  const std::string log = server.log();
  EXPECT_NE(log.find("{\"zones\":[{\"zoneID\":{\"zoneName\":\"Loops \\\"A\\\"\"},\"resultsLimit\":200}]}"), std::string::npos);
  EXPECT_NE(log.find("\"resultsLimit\":200,\"syncToken\":\"t1\\\"\\\\\"}]}"), std::string::npos);
  EXPECT_NE(log.find("{\"zoneName\":\"Shared\",\"ownerRecordName\":\"_owner\"}"), std::string::npos);
  EXPECT_EQ(log.find("BAD_SYNC_TOKEN"), std::string::npos);

  // The session file holds the token, for this user only.
  struct stat st;
  ASSERT_EQ(stat(session.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(read_text(session), std::string("token=") + kGood + "\nuser=_user1\n");

  // A new start checks the stored session without a browser.
  {
    CloudClient again;
    again.route = server.route();
    again.open_url = remember_url;
    g_opened.clear();
    cloud_start(&again, config("api-token"), session.c_str());
    EXPECT_EQ(status_of(&again), "SIGNING IN...");
    ASSERT_TRUE(wait_for([&] { return idle(&again); }, 60000));
    EXPECT_EQ(status_of(&again), "SIGNED IN");
    EXPECT_TRUE(g_opened.empty());
  }

  cloud_sign_out(&c);
  EXPECT_EQ(status_of(&c), "SIGN IN");
  EXPECT_EQ(read_text(session), "token=\nuser=\n");
  ASSERT_TRUE(cloud_take_entries(&c, &seen, &entries));
  EXPECT_TRUE(entries.empty());
  (void)g_opened_hook;
}

TEST(CloudSignIn, RefusalsAndAnExpiredSessionSayWhy) {
  Server server;
  struct Case {
    const char* api;
    const char* status;
  } cases[] = {
      {"wrong", "API TOKEN REFUSED"},
      {"forbidden", "HTTP 403  ACCESS_DENIED - not for you"},
      {"no-redirect", "NO SIGN-IN URL"},
      {"http-redirect", "NO SIGN-IN URL"},  // only an https address is opened
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.api);
    CloudClient c;
    c.route = server.route();
    c.open_url = remember_url;
    g_opened.clear();
    cloud_start(&c, config(k.api), "");
    ASSERT_TRUE(cloud_sign_in(&c));
    ASSERT_TRUE(wait_for([&] { return idle(&c); }));
    EXPECT_EQ(status_of(&c), k.status);
    EXPECT_TRUE(g_opened.empty());
  }
  // No browser could be started: said, and the callback port is let go.
  {
    CloudClient c;
    c.route = server.route();
    c.open_url = [](const char*) { return -1; };
    cloud_start(&c, config("api-token"), "");
    ASSERT_TRUE(cloud_sign_in(&c));
    ASSERT_TRUE(wait_for([&] { return idle(&c); }));
    EXPECT_EQ(status_of(&c), "BROWSER DIDN'T OPEN");
    EXPECT_EQ(c.listen_fd.load(), -1);
  }
  // Without an API token nothing starts.
  CloudClient none;
  cloud_start(&none, config(""), "");
  EXPECT_EQ(status_of(&none), "NO API TOKEN");
  EXPECT_FALSE(cloud_sign_in(&none));
  EXPECT_FALSE(cloud_set_api_token(&none, "has blank"));
  EXPECT_TRUE(cloud_set_api_token(&none, "api-token"));
  EXPECT_EQ(status_of(&none), "SIGN IN");

  // Signed in, but the listing finds the session gone: signed out, and the user is told.
  TempDir home;
  const std::string session = home.file("s.ini");
  CloudClient c;
  c.route = server.route();
  cloud_start(&c, config("expire-on-list", kGood), session.c_str());
  ASSERT_TRUE(wait_for([&] { return idle(&c); }));
  EXPECT_EQ(status_of(&c), "SESSION EXPIRED - SIGN IN");
  CloudView v;
  cloud_view(&c, &v);
  EXPECT_FALSE(v.signed_in);
  EXPECT_EQ(read_text(session), "token=\nuser=\n");
}

TEST(CloudCallback, SplitRequestsForeignHostsFragmentsAndSilentClients) {
  Server server;
  CloudClient c;
  c.route = server.route();
  c.open_url = remember_url;
  g_opened.clear();
  cloud_start(&c, config("api-token"), "");
  ASSERT_TRUE(cloud_sign_in(&c));
  ASSERT_TRUE(wait_for([&] { return status_of(&c) == "SIGN IN IN THE BROWSER..."; }));
  EXPECT_EQ(g_opened, "https://api.apple-cloudkit.com:" + std::to_string(server.port) + "/signin");

  // Another host name (a page elsewhere in the browser posting to us) is turned away.
  std::string reply = exchange({"GET /?ckWebAuthToken=evil HTTP/1.1\r\nHost: evil.example:47555\r\n\r\n"});
  EXPECT_EQ(reply.rfind("HTTP/1.1 400", 0), 0u) << reply;
  reply = exchange({"GET /favicon.ico?ckWebAuthToken=stray HTTP/1.1\r\nHost: 127.0.0.1:47555\r\n\r\n"});
  EXPECT_EQ(reply, "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
  // The token in the fragment never reaches us: the page sends it on to /ck?.
  reply = exchange({"GET / HTTP/1.1\r\nHost: localhost:47555\r\n\r\n"});
  EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\n", 0), 0u);
  EXPECT_NE(reply.find("fetch('/ck?'+location.hash.substring(1))"), std::string::npos);
  EXPECT_EQ(status_of(&c), "SIGN IN IN THE BROWSER...");
  // That second request, in three packets.
  reply = exchange({"GET /ck?ckWebAu", "thToken=good%2Btoken%2F%3D1 HTTP/1.1\r\nHo", "st: 127.0.0.1:47555\r\n\r\n"});
  EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK", 0), 0u);
  ASSERT_TRUE(wait_for([&] { return idle(&c); }, 60000));
  EXPECT_EQ(status_of(&c), "SIGNED IN");
  cloud_sign_out(&c);

  // A token longer than its field is refused, not cut.
  ASSERT_TRUE(cloud_sign_in(&c));
  ASSERT_TRUE(wait_for([&] { return status_of(&c) == "SIGN IN IN THE BROWSER..."; }));
  exchange({"GET /?ckWebAuthToken=" + std::string(1100, 'x') + " HTTP/1.1\r\nHost: 127.0.0.1:47555\r\n\r\n"});
  ASSERT_TRUE(wait_for([&] { return idle(&c); }));
  EXPECT_EQ(status_of(&c), "SIGN-IN TOKEN TOO LONG");
  CloudView v;
  cloud_view(&c, &v);
  EXPECT_FALSE(v.signed_in);

  // A client that connects and says nothing does not hold up a sign-out.
  ASSERT_TRUE(cloud_sign_in(&c));
  ASSERT_TRUE(wait_for([&] { return status_of(&c) == "SIGN IN IN THE BROWSER..."; }));
  const int silent = connect_callback();
  ASSERT_GE(silent, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // accepted and being read
  const auto t0 = std::chrono::steady_clock::now();
  cloud_sign_out(&c);
  ASSERT_TRUE(wait_for([&] { return idle(&c); }));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
  EXPECT_EQ(status_of(&c), "SIGN IN");
  close(silent);
  // The port is free again for the next sign-in.
  const int again = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(kCallbackPort);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int one = 1;
  setsockopt(again, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  EXPECT_EQ(bind(again, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  close(again);
}

TEST(CloudReplies, EntriesPagesErrorsTokensAndTheSessionFile) {
  // Display names: the listed fields in their order beat other strings; then the first string;
  // then the record name. Deleted records and the 4097th entry are not kept.
  const char* page =
      R"({"zones":[{"records":[)"
      R"({"recordName":"r1","recordType":"Loop","fields":{"zz":{"type":"STRING","value":"first"},)"
      R"("fileName":{"type":"STRING","value":"by file name"},"Title":{"type":"STRING","value":"by title"}}},)"
      R"({"recordName":"r2","fields":{"other":{"value":"plain","type":"STRING"},"n":{"type":"INT64","value":3}}},)"
      R"({"recordName":"r3","fields":{"a":{"type":"ASSETID","value":{"size":7}},"b":{"type":"ASSETID","value":{"size":8,"downloadURL":"u2"}}}},)"
      R"({"recordName":"r4","deleted":true},)"
      R"({"recordName":"r5"}],"syncToken":"next","moreComing":true}]})";
  std::vector<CloudEntry> out(kCloudMaxEntries - 3);
  bool more = false;
  char token[kSyncTokenBytes], code[64];
  ASSERT_EQ(cloud_parse_changes(page, strlen(page), "z", true, &out, &more, token, sizeof token, code, sizeof code), 0);
  ASSERT_EQ(out.size(), size_t(kCloudMaxEntries));
  EXPECT_TRUE(more);
  EXPECT_STREQ(token, "next");
  const CloudEntry* e = &out[kCloudMaxEntries - 3];
  EXPECT_STREQ(e[0].display_name, "by title");
  EXPECT_STREQ(e[0].record_type, "Loop");
  EXPECT_TRUE(e[0].shared);
  EXPECT_STREQ(e[1].display_name, "plain");
  EXPECT_STREQ(e[2].display_name, "r3");
  EXPECT_EQ(e[2].size_bytes, 15);
  EXPECT_STREQ(e[2].download_url, "u2");

  const char* gone = R"({"zones":[{"zoneID":{"zoneName":"z"},"serverErrorCode":"ZONE_NOT_FOUND"}]})";
  EXPECT_EQ(cloud_parse_changes(gone, strlen(gone), "z", false, &out, &more, token, sizeof token, code, sizeof code), 1);
  EXPECT_STREQ(code, "ZONE_NOT_FOUND");
  const std::string long_token = R"({"zones":[{"records":[],"syncToken":")" + std::string(1300, 't') + R"(","moreComing":true}]})";
  EXPECT_EQ(cloud_parse_changes(long_token.data(), long_token.size(), "z", false, &out, &more, token, sizeof token, code,
                                sizeof code),
            1);
  EXPECT_FALSE(more);
  EXPECT_EQ(cloud_parse_changes("[1,", 3, "z", false, &out, &more, token, sizeof token, code, sizeof code), -1);

  char text[160];
  cloud_error_text(500, "{}", 2, text, sizeof text);
  EXPECT_STREQ(text, "HTTP 500");
  cloud_error_text(421, R"({"serverErrorCode":"AUTHENTICATION_REQUIRED"})", 45, text, sizeof text);
  EXPECT_STREQ(text, "HTTP 421  AUTHENTICATION_REQUIRED");

  char body[256];
  const size_t n = cloud_changes_body("a\"b", "o\\", "t\n", body, sizeof body);
  EXPECT_STREQ(body, R"({"zones":[{"zoneID":{"zoneName":"a\"b","ownerRecordName":"o\\"},"resultsLimit":200,"syncToken":"t\n"}]})");
  JsonValue root;
  EXPECT_TRUE(json_parse(body, n, &root, nullptr, 0));

  // The callback's token: decoded, cut at its ends, refused when longer than the field.
  char tok[kWebAuthTokenBytes];
  const std::string line = "GET /?a=1&ckWebAuthToken=ab%2Fc+d&x HTTP/1.1\r\n";
  EXPECT_EQ(callback_token(line.data(), line.size(), tok, sizeof tok), 1);
  EXPECT_STREQ(tok, "ab/c d");
  const std::string frag = "GET /ck?ckWebAuthToken=q#r HTTP/1.1\r\n";
  EXPECT_EQ(callback_token(frag.data(), frag.size(), tok, sizeof tok), 1);
  EXPECT_STREQ(tok, "q");
  const std::string fits = "GET /?ckWebAuthToken=" + std::string(1023, 'k') + " HTTP/1.1\r\n";
  EXPECT_EQ(callback_token(fits.data(), fits.size(), tok, sizeof tok), 1);
  const std::string over = "GET /?ckWebAuthToken=" + std::string(1024, 'k') + " HTTP/1.1\r\n";
  EXPECT_EQ(callback_token(over.data(), over.size(), tok, sizeof tok), -1);
  const std::string control = "GET /?ckWebAuthToken=a%0Ab HTTP/1.1\r\n";
  EXPECT_EQ(callback_token(control.data(), control.size(), tok, sizeof tok), -1);
  const std::string header_only = "GET / HTTP/1.1\r\nReferer: x?ckWebAuthToken=no\r\n";
  EXPECT_EQ(callback_token(header_only.data(), header_only.size(), tok, sizeof tok), 0);

  // The session file: 0600 even over a file that was open to all; a token too long is dropped.
  TempDir dir;
  const std::string path = dir.file("cloud-session.ini");
  write_text(path, "old");
  chmod(path.c_str(), 0644);
  ASSERT_EQ(cloud_write_session(path.c_str(), "tok", "_u"), 0);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  char user[kCloudUserBytes];
  ASSERT_EQ(cloud_read_session(path.c_str(), tok, sizeof tok, user, sizeof user), 0);
  EXPECT_STREQ(tok, "tok");
  EXPECT_STREQ(user, "_u");
  write_text(path, "token=" + std::string(1024, 'k') + "\r\nuser=_v\r\n");
  ASSERT_EQ(cloud_read_session(path.c_str(), tok, sizeof tok, user, sizeof user), 0);
  EXPECT_STREQ(tok, "");
  EXPECT_STREQ(user, "_v");
  EXPECT_EQ(cloud_read_session(dir.file("none").c_str(), tok, sizeof tok, user, sizeof user), -1);
}

TEST(CloudAssets, DownloadWholeOrNotAtAll) {
  Server server;
  TempDir dir;
  const std::string base = "https://" + std::string(kCloudHost) + ":" + std::to_string(server.port);
  const std::string path = dir.file("asset.wav");
  char msg[kCloudMessageBytes];
  // "${f}" becomes the file's name, percent-encoded.
  ASSERT_EQ(cloud_download(server.route(), (base + "/asset/${f}?i=3").c_str(), "My Loop.wav", path.c_str(), nullptr, msg,
                           sizeof msg),
            0)
      << msg;
  std::string expect;
  for (int i = 0; i < 4000; ++i) expect += "asset My Loop.wav 3|";
  EXPECT_EQ(read_text(path), expect);
  EXPECT_NE(server.log().find("GET /asset/My%20Loop.wav?i=3\n"), std::string::npos);
  // An https redirect is followed; one to plain http is not, and neither is an untrusted server.
  ASSERT_EQ(cloud_download(server.route(), (base + "/moved").c_str(), "x", path.c_str(), nullptr, msg, sizeof msg), 0);
  EXPECT_EQ(read_text(path).substr(0, 19), "asset moved.wav 9|a");
  const std::string kept = read_text(path);
  EXPECT_EQ(cloud_download(server.route(), (base + "/moved-plain").c_str(), "x", path.c_str(), nullptr, msg, sizeof msg), -1);
  EXPECT_STREQ(msg, "SEND FAILED (1)");
  EXPECT_EQ(cloud_download(server.route(), (base + "/none").c_str(), "x", path.c_str(), nullptr, msg, sizeof msg), -1);
  EXPECT_STREQ(msg, "HTTP 401");
  EXPECT_EQ(cloud_download(server.route(false), (base + "/asset/a").c_str(), "x", path.c_str(), nullptr, msg, sizeof msg), -1);
  EXPECT_STREQ(msg, "SEND FAILED (60)");
  EXPECT_EQ(cloud_download(server.route(), "http://example.invalid/a", "x", path.c_str(), nullptr, msg, sizeof msg), -1);
  EXPECT_STREQ(msg, "NO DOWNLOAD ADDRESS");
  // Every failure left the last whole asset and no temporary file.
  EXPECT_EQ(read_text(path), kept);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), std::filesystem::directory_iterator()), 1);
}
