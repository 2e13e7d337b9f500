// The settings file is written once a second when it changed: formatting and parsing cost.
#include <benchmark/benchmark.h>

#include "config/settings.h"

static void BM_FormatSettings(benchmark::State& state) {
  Settings s;
  settings_defaults(&s);
  static char text[16384];
  for (auto _ : state) benchmark::DoNotOptimize(format_settings(s, text, sizeof text));
}
BENCHMARK(BM_FormatSettings);

static void BM_ReadSettings(benchmark::State& state) {
  Settings s;
  settings_defaults(&s);
  static char text[16384];
  size_t n = format_settings(s, text, sizeof text);
  for (auto _ : state) {
    read_settings_text(&s, text, n);
    benchmark::DoNotOptimize(s);
  }
}
BENCHMARK(BM_ReadSettings);
