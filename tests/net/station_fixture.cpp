#include "tests/net/station_fixture.h"

#include <cstdlib>
#include <cstring>

#include "config/log.h"
#include "platform/text.h"

StationRig::StationRig(const char* dev, bool own_bus) {
  // Nothing a test starts may reach a daemon that announces on a real interface.
  if (!own_bus) setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir.file("no-bus")).c_str(), 1);
  setenv("HOME", dir.path.c_str(), 1);
  StationIdentity id;
  station_identity_default(&id);
  text_copy(id.dev, dev);
  id.port = 0;
  station_init(s.get(), id, dir.path.c_str());
}

StationRig::~StationRig() { station_close(s.get()); }

bool StationRig::start() { return station_start(s.get()) == 0; }

void StationRig::push(const std::vector<float>& stereo, double rate, int block) {
  const int64_t frames = int64_t(stereo.size() / 2);
  for (int64_t at = 0; at < frames; at += block) {
    const int n = int(std::min<int64_t>(block, frames - at));
    station_push_at(s.get(), stereo.data() + 2 * at, n, rate, clock_ns);
    pushed_frames += n;
    clock_ns = int64_t(double(pushed_frames) * 1e9 / rate);
  }
}

bool StationRig::wait_listeners(int n, int timeout_ms) const {
  return eventually([&] { return s->listener_count.load() == n; }, timeout_ms);
}

void StationRig::wait_ring_room() const {
  for (int t = 0; t < 5000 && s->write_count.load() - s->read_pos.load() > kStationRateHz; ++t) sleep_ms(1);
}

int log_count(const std::string& text) {
  int found = 0;
  const int n = log_line_count();
  char line[kLogLineBytes];
  for (int i = std::max(0, n - kLogRingLines); i < n; ++i)
    if (log_recent_line(i, line, sizeof line) && strstr(line, text.c_str())) ++found;
  return found;
}

bool log_has(const std::string& text) { return log_count(text) > 0; }
