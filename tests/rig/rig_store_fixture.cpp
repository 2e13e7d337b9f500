#include "tests/rig/rig_store_fixture.h"

#include <cstdio>

#include "platform/clock.h"

Res next_result(RigStore* store, int ms) {
  Res r;
  const int64_t deadline = mono_ns() + int64_t(ms) * 1000000;
  for (;;) {
    if (rig_store_next_result(store, &r)) return r;
    if (mono_ns() > deadline) return Res();
    sleep_ms(2);
  }
}

void LogSink::add(void* user, const char* line) {
  LogSink* s = static_cast<LogSink*>(user);
  std::lock_guard<std::mutex> hold(s->lock);
  s->lines.push_back(line);
}

std::vector<std::string> LogSink::all() {
  std::lock_guard<std::mutex> hold(lock);
  return lines;
}

int LogSink::count(const std::string& part) {
  std::lock_guard<std::mutex> hold(lock);
  int n = 0;
  for (const std::string& l : lines) n += l.find(part) != std::string::npos;
  return n;
}

std::string rig_path(const std::string& folder, const std::string& key) {
  char name[96];
  rig_file_name(key.c_str(), name, sizeof name);
  return folder + "/" + name;
}

void replace_text(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".writing";
  FILE* f = fopen(tmp.c_str(), "wb");
  if (!f) return;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
  rename(tmp.c_str(), path.c_str());
}
