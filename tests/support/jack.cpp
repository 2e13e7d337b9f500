#include "tests/support/jack.h"

#include <jack/jack.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

// libjack names a client's socket in /dev/shm after the client alone, whatever its server: two
// tests opening "feeder" (or the program's "tolm") on servers of their own at the same moment
// take each other's socket and one of them fails to open. Where it may (as root), each test
// process gets a /dev/shm of its own, before any of its threads or children start.
bool private_shm() {
  if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0) return false;
  return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0;
}
const bool kPrivateShm = private_shm();

void quiet_jack_errors() {
  jack_set_error_function([](const char*) {});
  jack_set_info_function([](const char*) {});
}

int feeder_process(jack_nframes_t frames, void* arg) {
  auto* f = static_cast<JackFeeder*>(arg);
  std::vector<float*> out(size_t(f->channels));
  for (int c = 0; c < f->channels; ++c)
    out[size_t(c)] = static_cast<float*>(jack_port_get_buffer(static_cast<jack_port_t*>(f->ports[size_t(c)]), frames));
  int64_t pos = f->position.load(std::memory_order_acquire);
  const bool playing = pos >= 0;
  // The signal is ours to read only while a play is on: play() replaces it while silent.
  const int64_t total = playing ? int64_t(f->signal.size()) / std::max(f->channels, 1) : 0;
  for (jack_nframes_t i = 0; i < frames; ++i) {
    for (int c = 0; c < f->channels; ++c) {
      float v = 0.0f;
      if (pos >= 0 && pos < total) v = f->signal[size_t(pos * f->channels + c)];
      out[size_t(c)][i] = v;
    }
    if (pos >= 0) ++pos;
  }
  if (!playing) return 0;  // silent: the position is play()'s to set
  if (pos >= total) {
    f->played.store(total);
    pos = -1;
  }
  f->position.store(pos, std::memory_order_release);
  return 0;
}

int capture_process(jack_nframes_t frames, void* arg) {
  auto* k = static_cast<JackCapture*>(arg);
  if (!k->recording.load(std::memory_order_acquire)) return 0;
  int64_t n = k->count.load(std::memory_order_relaxed);
  const int64_t take = std::min<int64_t>(frames, k->capacity - n);
  for (int c = 0; c < k->channels; ++c) {
    auto* port = static_cast<jack_port_t*>(k->ports[size_t(c)]);
    const auto* in = static_cast<const float*>(jack_port_get_buffer(port, frames));
    for (int64_t i = 0; i < take; ++i) k->frames[size_t((n + i) * k->channels + c)] = in[i];
  }
  k->count.store(n + take, std::memory_order_release);
  return 0;
}

}  // namespace

bool JackServer::start(int inputs, int rate, int period) {
  quiet_jack_errors();
  if (name.empty()) name = "tolmtest_" + std::to_string(getpid()) + "_" + std::to_string(rand() % 100000);
  setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
  setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
  setenv("JACK_NO_START_SERVER", "1", 1);
  pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // A test that crashes must not leave its server running (and registered) behind it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    int devnull = ::open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 1), dup2(devnull, 2);
    const std::string r = std::to_string(rate), p = std::to_string(period), c = std::to_string(inputs);
    execlp("jackd", "jackd", "-n", name.c_str(), "--no-realtime", "-d", "dummy", "-r", r.c_str(), "-p", p.c_str(),
           "-C", c.c_str(), "-P", "2", static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 200; ++i) {
    jack_status_t status;
    jack_client_t* probe = jack_client_open("probe", JackNoStartServer, &status);
    if (probe) {
      // The server takes clients a moment before its driver's ports are there.
      const char** ports = jack_get_ports(probe, "^system:", nullptr, 0);
      const bool ready = ports && ports[0];
      if (ports) jack_free(ports);
      jack_client_close(probe);
      if (ready) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void JackServer::stop(bool kill_hard) {
  if (pid <= 0) return;
  kill(pid, kill_hard ? SIGKILL : SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  pid = -1;
}

bool JackFeeder::open(const char* client_name, int channel_count) {
  quiet_jack_errors();
  position.store(-1);
  played.store(0);
  jack_status_t status;
  jack_client_t* c = jack_client_open(client_name, JackNoStartServer, &status);
  if (!c) return false;
  client = c;
  channels = channel_count;
  for (int k = 1; k <= channel_count; ++k) {
    const std::string port = "out_" + std::to_string(k);
    jack_port_t* p = jack_port_register(c, port.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    if (!p) return false;
    ports.push_back(p);
  }
  jack_set_process_callback(c, feeder_process, this);
  return jack_activate(c) == 0;
}

bool JackFeeder::connect(const std::vector<std::string>& targets) {
  auto* c = static_cast<jack_client_t*>(client);
  for (size_t k = 0; k < targets.size() && k < ports.size(); ++k)
    if (jack_connect(c, jack_port_name(static_cast<jack_port_t*>(ports[k])), targets[k].c_str()) != 0) return false;
  return true;
}

bool JackFeeder::wait_connected(const std::string& port, int timeout_ms) {
  auto* c = static_cast<jack_client_t*>(client);
  for (int waited = 0; waited < timeout_ms; waited += 10) {
    jack_port_t* p = jack_port_by_name(c, port.c_str());
    if (p && jack_port_connected(p) > 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void JackFeeder::play(std::vector<float> interleaved, int64_t lead_frames) {
  position.store(-1);
  played.store(0);
  std::vector<float> s(size_t(lead_frames * channels), 0.0f);
  s.insert(s.end(), interleaved.begin(), interleaved.end());
  signal = std::move(s);
  position.store(0, std::memory_order_release);
}

void JackFeeder::close() {
  if (!client) return;
  jack_client_close(static_cast<jack_client_t*>(client));
  client = nullptr;
  ports.clear();
}

bool JackCapture::open(const char* client_name, int channel_count, int64_t capacity_frames) {
  quiet_jack_errors();
  recording.store(0);
  count.store(0);
  channels = channel_count;
  capacity = capacity_frames;
  frames.assign(size_t(capacity_frames * channel_count), 0.0f);  // sized before the process thread runs
  jack_status_t status;
  jack_client_t* c = jack_client_open(client_name, JackNoStartServer, &status);
  if (!c) return false;
  client = c;
  for (int k = 1; k <= channel_count; ++k) {
    const std::string port = "in_" + std::to_string(k);
    jack_port_t* p = jack_port_register(c, port.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    if (!p) return false;
    ports.push_back(p);
  }
  jack_set_process_callback(c, capture_process, this);
  return jack_activate(c) == 0;
}

bool JackCapture::connect(const std::vector<std::string>& sources) {
  auto* c = static_cast<jack_client_t*>(client);
  for (size_t k = 0; k < sources.size() && k < ports.size(); ++k)
    if (jack_connect(c, sources[k].c_str(), jack_port_name(static_cast<jack_port_t*>(ports[k]))) != 0) return false;
  return true;
}

void JackCapture::close() {
  if (!client) return;
  jack_client_close(static_cast<jack_client_t*>(client));
  client = nullptr;
  ports.clear();
}

bool jack_port_exists(const std::string& port) {
  jack_status_t status;
  jack_client_t* c = jack_client_open("probe", JackNoStartServer, &status);
  if (!c) return false;
  bool found = jack_port_by_name(c, port.c_str()) != nullptr;
  jack_client_close(c);
  return found;
}
