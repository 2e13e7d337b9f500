// Shared by the rig store tests and the peer program: a store on a temporary folder with its log
// kept, results that free themselves, and file helpers.
#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "rig/rig_store.h"

// A result that frees its document.
struct Res : RigResult {
  Res() : RigResult{} {}
  ~Res() { rig_result_free(this); }
  Res(Res&& o) noexcept : RigResult(o) { o.doc = nullptr; }
  Res& operator=(Res&& o) noexcept {
    if (this != &o) {
      rig_result_free(this);
      static_cast<RigResult&>(*this) = o;
      o.doc = nullptr;
    }
    return *this;
  }
  Res(const Res&) = delete;
  Res& operator=(const Res&) = delete;
};

// The next result, waiting up to ms; type 0 when none came.
Res next_result(RigStore* store, int ms = 5000);

// Log lines of one or more stores, kept in order. Thread-safe.
struct LogSink {
  std::mutex lock;
  std::vector<std::string> lines;
  static void add(void* user, const char* line);
  std::vector<std::string> all();
  int count(const std::string& part);  // lines containing part
};

// The path of a key's rig file in folder.
std::string rig_path(const std::string& folder, const std::string& key);
// Writes a file whole through a rename, as another program would.
void replace_text(const std::string& path, const std::string& text);
