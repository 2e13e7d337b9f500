// Reading and writing tolm.ini. The reader tries each line against a fixed list of patterns;
// the writer emits every key in one fixed order. Numbers always use a full stop.
#include "config/settings.h"

#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <string>

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

constexpr size_t kMaxSettingsFileBytes = 16u << 20;  // a larger file is not ours; defaults stay
constexpr size_t kSettingsTextBytes = 16384;

const char* const kPanelPrefix[kPanelCount] = {"popt_", "pgui_", "plib_"};
const char* const kPanelSuffix[kPanelValues] = {"x", "y", "open", "det", "wx", "wy", "ww", "wh"};

enum class Kind { kFloat, kInt };

struct NumberKey {
  const char* key;
  Kind kind;
  size_t offset;
};

#define FLOAT_KEY(name) {#name, Kind::kFloat, offsetof(Settings, name)}
#define INT_KEY(name) {#name, Kind::kInt, offsetof(Settings, name)}

const NumberKey kNumberKeys[] = {
    FLOAT_KEY(threshold_db), FLOAT_KEY(exit_db),     FLOAT_KEY(hold_norm),  FLOAT_KEY(pre_roll_s),
    FLOAT_KEY(post_roll_s),  FLOAT_KEY(look_back_s), FLOAT_KEY(gain),       FLOAT_KEY(scale_db),
    FLOAT_KEY(hpf_hz),       INT_KEY(hpf_slope),     FLOAT_KEY(lpf_hz),     INT_KEY(lpf_slope),
    FLOAT_KEY(peak_hz),      FLOAT_KEY(peak_q),      INT_KEY(monitor),      INT_KEY(normalize_monitor),
    INT_KEY(bit_depth),      INT_KEY(buffer_frames), INT_KEY(sample_rate),  INT_KEY(exclusive),
    INT_KEY(wall_source),    INT_KEY(scope_fall_off), INT_KEY(link),        INT_KEY(broadcast),
    INT_KEY(win_x),          INT_KEY(win_y),         INT_KEY(win_w),        INT_KEY(win_h),
    INT_KEY(win_max),        FLOAT_KEY(lib_gain),    FLOAT_KEY(lib_zoom_s), INT_KEY(lib_tab),
    INT_KEY(lib_w),          INT_KEY(br_x),          INT_KEY(br_y),         INT_KEY(br_w),
    INT_KEY(br_h),           INT_KEY(br_open),       INT_KEY(rig_open),     INT_KEY(rig_sel),
    INT_KEY(hud_mode),       INT_KEY(side_hidden),   INT_KEY(first_done),   FLOAT_KEY(rig_scroll),
    INT_KEY(train_done),     INT_KEY(train_seen),
};

#undef FLOAT_KEY
#undef INT_KEY

// Truncates toward zero; values beyond the int range saturate instead of being undefined.
int int_from_number(double v) {
  if (!(v == v)) return 0;
  if (v >= 2147483647.0) return 2147483647;
  if (v <= -2147483648.0) return -2147483647 - 1;
  return int(v);
}

void apply_number(Settings* s, const char* key, float value) {
  for (int p = 0; p < kPanelCount; ++p) {
    if (strncmp(key, kPanelPrefix[p], 5) != 0) continue;
    for (int v = 0; v < kPanelValues; ++v)
      if (strcmp(key + 5, kPanelSuffix[v]) == 0) {
        s->panel[p][v] = int_from_number(value);
        return;
      }
  }
  for (const NumberKey& k : kNumberKeys) {
    if (strcmp(key, k.key) != 0) continue;
    char* field = reinterpret_cast<char*>(s) + k.offset;
    if (k.kind == Kind::kFloat) {
      *reinterpret_cast<float*>(field) = value;
      return;
    }
    int n = int_from_number(value);
    if (field == reinterpret_cast<char*>(&s->wall_source) || field == reinterpret_cast<char*>(&s->hud_mode)) {
      if (n < 0 || n > 2) n = 0;
    } else if (field == reinterpret_cast<char*>(&s->lib_tab)) {
      n = (value == 1.0f) ? 1 : 0;
    } else if (field == reinterpret_cast<char*>(&s->first_done) ||
               field == reinterpret_cast<char*>(&s->side_hidden)) {
      n = n != 0 ? 1 : 0;
    }
    *reinterpret_cast<int*>(field) = n;
    return;
  }
}

// Tries the patterns in order; the first that matches consumes the line.
void read_line(Settings* s, const char* line) {
  static char value[kFilesStateBytes];
  struct TextKey {
    const char* pattern;
    char* field;
    size_t cap;
  } const text_keys[] = {
      {" library_dir = %259[^\r\n]", s->library_dir, sizeof s->library_dir},
      {" device = %127[^\r\n]", s->device, sizeof s->device},
      {" link_input = %95[^\r\n]", s->link_input, sizeof s->link_input},
      {" files_state = %1399[^\r\n]", s->files_state, sizeof s->files_state},
      {" seen_version = %15[^\r\n]", s->seen_version, sizeof s->seen_version},
      {" cloud_container = %127[^\r\n]", s->cloud_container, sizeof s->cloud_container},
      {" cloud_environment = %31[^\r\n]", s->cloud_environment, sizeof s->cloud_environment},
      {" cloud_api_token = %399[^\r\n]", s->cloud_api_token, sizeof s->cloud_api_token},
  };
  for (const TextKey& k : text_keys) {
    if (text_scan(line, k.pattern, value) == 1) {
      text_copy(k.field, k.cap, value);
      return;
    }
  }
  unsigned index = 0, color = 0;
  if (text_scan(line, " vis_color_%u = %u", &index, &color) == 2) {
    if (index < unsigned(kVisColorSlots) && color < unsigned(kVisColorChoices)) s->vis_color[index] = int(color);
    return;
  }
  char key[64];
  float number = 0;
  if (text_scan(line, " %63[a-z_] = %f", key, &number) == 2) {
    // A settings value that is not a finite number would poison every consumer; skip the line.
    if (!std::isfinite(number)) return;
    apply_number(s, key, number);
  }
}

bool append(std::string* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
bool append(std::string* out, const char* fmt, ...) {
  char line[kFilesStateBytes + 64];
  va_list args;
  va_start(args, fmt);
  text_vformat(line, sizeof line, fmt, args);
  va_end(args);
  out->append(line);
  out->push_back('\n');
  return true;
}

}  // namespace

void settings_path(char* out, size_t cap) {
  char dir[kPathCap];
  if (!program_dir(dir, sizeof dir)) text_copy(dir, ".");
  settings_path_in(dir, out, cap);
}

void settings_path_in(const char* program_folder, char* out, size_t cap) {
  text_format(out, cap, "%s/tolm.ini", program_folder);
  if (path_exists(out)) return;
  char config[kPathCap], folder[kPathCap];
  if (!config_dir(config, sizeof config) || !config[0]) return;
  if (text_format(folder, sizeof folder, "%s/Lumaro", config) >= sizeof folder - 1) return;
  make_dirs(folder);
  text_format(out, cap, "%s/tolm.ini", folder);
}

bool settings_beside_program() {
  char dir[kPathCap], path[kPathCap + 16];
  if (!program_dir(dir, sizeof dir)) return false;
  text_format(path, sizeof path, "%s/tolm.ini", dir);
  return path_exists(path);
}

void settings_defaults(Settings* s) {
  memset(s, 0, sizeof *s);
  s->threshold_db = -34;
  s->pre_roll_s = 0.5f;
  s->post_roll_s = 1;
  s->gain = 1;
  s->hpf_slope = 72;
  s->lpf_slope = 72;
  s->peak_q = 2;
  s->bit_depth = 16;
  s->buffer_frames = 256;
  s->lib_gain = 1;
  s->rig_sel = -1;
  text_copy(s->cloud_container, sizeof s->cloud_container, "iCloud.com.lumaro.zephakit");
  text_copy(s->cloud_environment, sizeof s->cloud_environment, "production");
}

void read_settings_text(Settings* s, const char* text, size_t bytes) {
  std::string line;
  size_t start = 0;
  while (start < bytes) {
    const char* nl = static_cast<const char*>(memchr(text + start, '\n', bytes - start));
    size_t end = nl ? size_t(nl - text) : bytes;
    line.assign(text + start, end - start);
    read_line(s, line.c_str());
    start = end + 1;
  }
}

void load_settings(Settings* s) {
  settings_defaults(s);
  char path[kPathCap];
  settings_path(path, sizeof path);
  char* data = nullptr;
  size_t bytes = 0;
  if (read_file_whole(path, &data, &bytes, kMaxSettingsFileBytes) != 0) return;
  read_settings_text(s, data, bytes);
  free_file_data(data);
}

size_t format_settings(const Settings& s, char* out, size_t cap) {
  std::string t;
  t.reserve(kSettingsTextBytes);
  append(&t, "; tolm trigger + device settings \u2014 written live, on change");
  append(&t, "threshold_db = %.2f", s.threshold_db);
  append(&t, "exit_db = %.2f", s.exit_db);
  append(&t, "hold_norm = %.4f", s.hold_norm);
  append(&t, "pre_roll_s = %.3f", s.pre_roll_s);
  append(&t, "post_roll_s = %.3f", s.post_roll_s);
  append(&t, "look_back_s = %.3f", s.look_back_s);
  append(&t, "gain = %.3f", s.gain);
  append(&t, "scale_db = %.2f", s.scale_db);
  append(&t, "hpf_hz = %.1f", s.hpf_hz);
  append(&t, "hpf_slope = %d", s.hpf_slope);
  append(&t, "lpf_hz = %.1f", s.lpf_hz);
  append(&t, "lpf_slope = %d", s.lpf_slope);
  append(&t, "peak_hz = %.1f", s.peak_hz);
  append(&t, "peak_q = %.2f", s.peak_q);
  append(&t, "monitor = %d", s.monitor);
  append(&t, "normalize_monitor = %d", s.normalize_monitor);
  append(&t, "bit_depth = %d", s.bit_depth);
  append(&t, "buffer_frames = %d", s.buffer_frames);
  append(&t, "exclusive = %d", s.exclusive);
  append(&t, "wall_source = %d", s.wall_source);
  append(&t, "scope_fall_off = %d", s.scope_fall_off);
  for (int i = 0; i < kVisColorSlots; ++i) append(&t, "vis_color_%d = %d", i, s.vis_color[i]);
  append(&t, "link = %d", s.link);
  append(&t, "broadcast = %d", s.broadcast);
  if (s.link_input[0]) append(&t, "link_input = %s", s.link_input);
  append(&t, "sample_rate = %d", s.sample_rate);
  append(&t, "win_x = %d", s.win_x);
  append(&t, "win_y = %d", s.win_y);
  append(&t, "win_w = %d", s.win_w);
  append(&t, "win_h = %d", s.win_h);
  append(&t, "win_max = %d", s.win_max);
  append(&t, "lib_gain = %.3f", s.lib_gain);
  append(&t, "lib_zoom_s = %.3f", s.lib_zoom_s);
  append(&t, "lib_tab = %d", s.lib_tab);
  append(&t, "lib_w = %d", s.lib_w);
  if (s.files_state[0]) append(&t, "files_state = %s", s.files_state);
  for (int p = 0; p < kPanelCount; ++p)
    for (int v = 0; v < kPanelValues; ++v) append(&t, "%s%s = %d", kPanelPrefix[p], kPanelSuffix[v], s.panel[p][v]);
  append(&t, "br_x = %d", s.br_x);
  append(&t, "br_y = %d", s.br_y);
  append(&t, "br_w = %d", s.br_w);
  append(&t, "br_h = %d", s.br_h);
  append(&t, "br_open = %d", s.br_open);
  append(&t, "rig_open = %d", s.rig_open);
  append(&t, "hud_mode = %d", s.hud_mode);
  append(&t, "side_hidden = %d", s.side_hidden);
  append(&t, "first_done = %d", s.first_done);
  append(&t, "rig_sel = %d", s.rig_sel);
  append(&t, "rig_scroll = %.3f", s.rig_scroll);
  append(&t, "train_done = %d", s.train_done);
  append(&t, "train_seen = %d", s.train_seen);
  if (s.seen_version[0]) append(&t, "seen_version = %s", s.seen_version);
  if (s.device[0]) append(&t, "device = %s", s.device);
  if (s.library_dir[0]) append(&t, "library_dir = %s", s.library_dir);
  append(&t, "cloud_container = %s", s.cloud_container);
  append(&t, "cloud_environment = %s", s.cloud_environment);
  if (s.cloud_api_token[0]) append(&t, "cloud_api_token = %s", s.cloud_api_token);
  if (t.size() + 1 > cap) return 0;
  memcpy(out, t.data(), t.size());
  out[t.size()] = 0;
  return t.size();
}

bool write_settings_file(const char* path, const Settings& s) {
  static char text[kSettingsTextBytes];
  size_t n = format_settings(s, text, sizeof text);
  if (n == 0) return false;
  // Written to a temporary file and renamed over the old one: a failed or interrupted write
  // leaves the previous settings intact.
  return replace_file_whole(path, text, n) == 0;
}

bool save_settings(const Settings& s) {
  char path[kPathCap];
  settings_path(path, sizeof path);
  return write_settings_file(path, s);
}
