// The JACK client behind a JACK device. The process callback gathers the input ports into an
// interleaved block, runs the capture callback in pieces of at most 4,096 frames, and spreads
// the stereo output over our two output ports. Buffers are sized when the stream opens.
#include "capture/jack_stream.h"

#include <jack/jack.h>
#include <jack/metadata.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "capture/engine.h"
#include "platform/text.h"

struct JackStream {
  jack_client_t* client = nullptr;
  CaptureEngine* engine = nullptr;
  std::string device;                 // the device's client name
  int inputs = 0;
  bool duplex = false;
  double rate = 0;
  std::vector<jack_port_t*> in_ports;
  jack_port_t* out_ports[2] = {nullptr, nullptr};
  std::vector<std::string> sources;   // device ports feeding in_1..in_N
  std::vector<std::string> sinks;     // device ports out_1, out_2 play into
  std::vector<float> in_block;        // kMaxBlockFrames x inputs, interleaved
  std::vector<float> out_block;       // kMaxBlockFrames x 2
  std::atomic<int> server_gone{0};
};

namespace {

jack_client_t* open_client(const char* name) {
  jack_quiet_messages();
  jack_status_t status;
  return jack_client_open(name, JackNoStartServer, &status);
}

// The audio ports of a client, in the server's order, with the given flags.
std::vector<std::string> client_ports(jack_client_t* c, const std::string& client, unsigned long flags) {
  std::vector<std::string> out;
  const char** ports = jack_get_ports(c, nullptr, JACK_DEFAULT_AUDIO_TYPE, flags);
  if (!ports) return out;
  const std::string prefix = client + ":";
  for (const char** p = ports; *p; ++p)
    if (strncmp(*p, prefix.c_str(), prefix.size()) == 0) out.emplace_back(*p);
  jack_free(ports);
  return out;
}

int process(jack_nframes_t frames, void* arg) {
  auto* s = static_cast<JackStream*>(arg);
  const int n = s->inputs;
  float* in_block = s->in_block.data();
  float* out_block = s->duplex ? s->out_block.data() : nullptr;
  const float* in_buf[kMaxInputChannels];
  for (int c = 0; c < n; ++c) in_buf[c] = static_cast<const float*>(jack_port_get_buffer(s->in_ports[size_t(c)], frames));
  float* out_buf[2] = {nullptr, nullptr};
  if (s->duplex)
    for (int c = 0; c < 2; ++c) out_buf[c] = static_cast<float*>(jack_port_get_buffer(s->out_ports[c], frames));
  for (jack_nframes_t at = 0; at < frames;) {
    const int count = int(std::min<jack_nframes_t>(frames - at, kMaxBlockFrames));
    for (int i = 0; i < count; ++i)
      for (int c = 0; c < n; ++c) in_block[i * n + c] = in_buf[c][at + i];
    capture_callback(in_block, out_block, unsigned(count), nullptr, 0, s->engine);
    if (s->duplex)
      for (int i = 0; i < count; ++i) out_buf[0][at + i] = out_block[2 * i], out_buf[1][at + i] = out_block[2 * i + 1];
    at += jack_nframes_t(count);
  }
  return 0;
}

void on_shutdown(void* arg) { static_cast<JackStream*>(arg)->server_gone.store(1); }

// The server missed a deadline somewhere in its graph: a period of audio may be lost.
int on_xrun(void* arg) {
  static_cast<JackStream*>(arg)->engine->device_xruns.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

}  // namespace

// libjack reports refused connections on stderr; the caller reports what matters itself.
void jack_quiet_messages() {
  static bool done = false;
  if (done) return;
  done = true;
  jack_set_error_function([](const char*) {});
  jack_set_info_function([](const char*) {});
}

int jack_list_devices(JackDeviceInfo* out, int cap) {
  jack_client_t* c = open_client("tolm-scan");
  if (!c) return 0;
  const double rate = double(jack_get_sample_rate(c));
  std::vector<std::string> clients;
  const char** ports = jack_get_ports(c, nullptr, JACK_DEFAULT_AUDIO_TYPE, 0);
  for (const char** p = ports; p && *p; ++p) {
    const char* colon = strchr(*p, ':');
    if (!colon) continue;
    std::string client(*p, size_t(colon - *p));
    if (client == "tolm" || client.rfind("tolm-", 0) == 0) continue;  // our own
    if (std::find(clients.begin(), clients.end(), client) == clients.end()) clients.push_back(client);
  }
  if (ports) jack_free(ports);
  int count = 0;
  for (const std::string& client : clients) {
    if (count >= cap) break;
    const int inputs = int(client_ports(c, client, JackPortIsOutput).size());
    if (inputs < 1) continue;
    JackDeviceInfo& d = out[count++];
    text_copy(d.client, client.c_str());
    d.inputs = inputs;
    d.outputs = int(client_ports(c, client, JackPortIsInput).size());
    d.rate = rate;
  }
  jack_client_close(c);
  return count;
}

int jack_stream_open(const char* device_client, int inputs, bool duplex, double rate, CaptureEngine* engine,
                     JackStream** out, char* err, size_t err_cap) {
  *out = nullptr;
  auto s = std::make_unique<JackStream>();
  s->client = open_client("tolm");
  if (!s->client) {
    text_copy(err, err_cap, "the JACK server is not running");
    return -1;
  }
  auto fail = [&](const char* why) {
    text_copy(err, err_cap, why);
    jack_client_close(s->client);
    return -1;
  };
  s->engine = engine;
  s->device = device_client;
  s->rate = double(jack_get_sample_rate(s->client));
  if (rate > 0 && rate != s->rate) {
    char why[96];
    text_format(why, sizeof why, "the JACK server runs at %.0f Hz", s->rate);
    return fail(why);
  }
  s->sources = client_ports(s->client, s->device, JackPortIsOutput);
  if (int(s->sources.size()) < inputs || inputs < 1 || inputs > kMaxInputChannels)
    return fail("the device has fewer ports than asked for");
  s->sources.resize(size_t(inputs));
  if (duplex) {
    s->sinks = client_ports(s->client, s->device, JackPortIsInput);
    if (s->sinks.size() < 2) return fail("the device has no stereo output");
    s->sinks.resize(2);
  }
  s->inputs = inputs;
  s->duplex = duplex;
  for (int k = 1; k <= inputs; ++k) {
    const std::string name = "in_" + std::to_string(k);
    jack_port_t* p = jack_port_register(s->client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    if (!p) return fail("could not register the input ports");
    s->in_ports.push_back(p);
  }
  if (duplex) {
    for (int k = 0; k < 2; ++k) {
      const std::string name = "out_" + std::to_string(k + 1);
      s->out_ports[k] = jack_port_register(s->client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
      if (!s->out_ports[k]) return fail("could not register the output ports");
    }
  }
  s->in_block.assign(size_t(kMaxBlockFrames) * size_t(inputs), 0.0f);
  s->out_block.assign(size_t(kMaxBlockFrames) * 2, 0.0f);
  if (jack_set_process_callback(s->client, process, s.get()) != 0) return fail("the server refused our callback");
  jack_on_shutdown(s->client, on_shutdown, s.get());
  jack_set_xrun_callback(s->client, on_xrun, s.get());
  *out = s.release();
  return 0;
}

int jack_stream_start(JackStream* s, char* err, size_t err_cap) {
  if (jack_activate(s->client) != 0) {
    text_copy(err, err_cap, "the server would not run our client");
    return -1;
  }
  for (size_t k = 0; k < s->sources.size(); ++k) {
    const int r = jack_connect(s->client, s->sources[k].c_str(), jack_port_name(s->in_ports[k]));
    if (r != 0 && r != EEXIST) {
      text_copy(err, err_cap, "could not connect the device's ports");
      jack_deactivate(s->client);
      return -1;
    }
  }
  for (size_t k = 0; k < s->sinks.size(); ++k) jack_connect(s->client, jack_port_name(s->out_ports[k]), s->sinks[k].c_str());
  return 0;
}

void jack_stream_close(JackStream* s) {
  if (!s) return;
  // After the server has gone only closing is allowed: it frees what is left of the client.
  if (!s->server_gone.load()) jack_deactivate(s->client);
  jack_client_close(s->client);
  delete s;
}

double jack_stream_rate(const JackStream* s) { return s->rate; }

int jack_stream_period(const JackStream* s) { return int(jack_get_buffer_size(s->client)); }

bool jack_stream_server_gone(const JackStream* s) { return s->server_gone.load() != 0; }

void jack_stream_input_names(const JackStream* s, char (*out)[64], int count) {
  for (int k = 0; k < count && size_t(k) < s->sources.size(); ++k) {
    const std::string& full = s->sources[size_t(k)];
    out[k][0] = 0;
    if (jack_port_t* port = jack_port_by_name(s->client, full.c_str())) {
      char* value = nullptr;
      char* type = nullptr;
      if (jack_get_property(jack_port_uuid(port), JACK_METADATA_PRETTY_NAME, &value, &type) == 0 && value) {
        text_copy(out[k], 64, value);
      }
      jack_free(value);
      jack_free(type);
    }
    if (!out[k][0]) {
      const size_t colon = full.find(':');
      text_copy(out[k], 64, colon == std::string::npos ? full.c_str() : full.c_str() + colon + 1);
    }
  }
}

double jack_stream_latency(const JackStream* s) {
  const double period = double(jack_get_buffer_size(s->client));
  jack_latency_range_t capture{0, 0}, playback{0, 0};
  if (!s->in_ports.empty()) jack_port_get_latency_range(s->in_ports[0], JackCaptureLatency, &capture);
  double frames = double(capture.max) + period;
  if (s->duplex && s->out_ports[0]) {
    jack_port_get_latency_range(s->out_ports[0], JackPlaybackLatency, &playback);
    frames += double(playback.max) + period;
  }
  return frames / s->rate;
}
