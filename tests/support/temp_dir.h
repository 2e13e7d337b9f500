// A fresh temporary folder per test, removed with everything in it when the test ends.
#pragma once
#include <string>

struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return path + "/" + name; }
};

// Whole-file helpers for assertions.
std::string read_text(const std::string& path);
void write_text(const std::string& path, const std::string& text);
