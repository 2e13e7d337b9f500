#include "tests/app/chop_fixture.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

#include "app/chop/chop_control.h"
#include "app/shell/route.h"
#include "config/status.h"
#include "platform/text.h"
#include "sessions/session.h"
#include "tests/sessions/session_fixture.h"

namespace {

constexpr int kRate = 48000;

void burst(std::vector<double>* s, double from_s, double to_s, double amplitude) {
  for (int64_t i = int64_t(from_s * kRate); i < int64_t(to_s * kRate); ++i) {
    const double v = amplitude * std::sin(2.0 * M_PI * double(i) / 48.0 + 0.3);  // 1 kHz: a period a block
    (*s)[size_t(2 * i)] = v;
    (*s)[size_t(2 * i + 1)] = -v;
  }
}

}  // namespace

void write_burst_file(const std::string& path) {
  std::vector<double> s(size_t(2 * kBurstFileBlocks * (kRate / 1000)), 0.0);
  burst(&s, 1.0, 1.4, 0.5);
  burst(&s, 3.0, 3.5, 0.1);
  burst(&s, 5.5, 6.0, 0.03);
  burst(&s, 7.2, 7.6, 0.005);
  write_wav_file(path, 3, 2, kRate, 32, s);
}

ChopApp::ChopApp() {
  setenv("HOME", home.path.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home.path + "/config").c_str(), 1);
  unsetenv("XDG_MUSIC_DIR");
  status_clear();
  AppState& s = *a.app;
  s.ui.pressed_button = -1;
  strip_init(&s.ui.strip);
  options_init(&s.options);
  panels_init(&s.panels);
  init_library(&s.recorder, home.path.c_str());
  bursts = home.file("field bursts.wav");
  write_burst_file(bursts);
}

void ChopApp::key(int k, int mods, bool repeat) {
  InputEvent ev{};
  ev.kind = InputKind::kKeyDown;
  ev.key = k;
  ev.mods = mods;
  ev.repeat = repeat;
  handle_event(get(), ev);
}

void ChopApp::click(float x, float y) {
  InputEvent ev{};
  ev.kind = InputKind::kMouseDown;
  ev.button = kMouseLeft;
  ev.x = x, ev.y = y;
  ev.clicks = 1;
  handle_event(get(), ev);
  ev.kind = InputKind::kMouseUp;
  handle_event(get(), ev);
}

void ChopApp::drop(const std::string& path) {
  InputEvent ev{};
  ev.kind = InputKind::kDrop;
  text_copy(ev.path, path.c_str());
  handle_event(get(), ev);
}

ChopState ChopApp::settle() {
  for (int i = 0; i < 3000 && chop_state(&a->chop) == kChopReading; ++i) {
    chop_frame(get(), 0.016f);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  chop_frame(get(), 0.016f);
  return chop_state(&a->chop);
}

std::string ChopApp::write_folder() const { return home.path + "/tolm"; }
