// Arbitrary bytes as a settings file: the reader must neither crash nor leave a value that
// the writer cannot write back and read again the same way.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "config/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Settings s, again;
  static char text[16384], text2[16384];
  settings_defaults(&s);
  read_settings_text(&s, reinterpret_cast<const char*>(data), size);
  // Every text field stays terminated within its capacity.
  if (strnlen(s.library_dir, sizeof s.library_dir) == sizeof s.library_dir) abort();
  if (strnlen(s.device, sizeof s.device) == sizeof s.device) abort();
  if (strnlen(s.files_state, sizeof s.files_state) == sizeof s.files_state) abort();
  if (s.wall_source < 0 || s.wall_source > 2 || s.hud_mode < 0 || s.hud_mode > 2) abort();
  for (int c : s.vis_color)
    if (c < 0 || c > 10) abort();
  // What was read writes and reads back to the same text.
  size_t n = format_settings(s, text, sizeof text);
  if (n == 0) abort();
  settings_defaults(&again);
  read_settings_text(&again, text, n);
  size_t n2 = format_settings(again, text2, sizeof text2);
  if (n2 != n || memcmp(text, text2, n) != 0) abort();
  return 0;
}
