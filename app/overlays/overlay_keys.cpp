// The key-map overlay: the whole key legend in two columns, the cap of a pressed key lit.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/overlays/overlay.h"
#include "app/panels/panel.h"
#include "app/shell/app_state.h"
#include "app/shell/key_cap.h"
#include "app/shell/theme.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

const LegendRow kTake[] = {{"\u2423", "arm / stop"}, {"G", "hold gate"},      {"L", "latch"},
                           {"P", "play"},            {"X", "cull"},           {"\u2191\t\u2193", "threshold"},
                           {"\u2190\t\u2192", "hold"}, {"Shift", "x5"}};
const LegendRow kHear[] = {{"Tab", "thres / eq / cfg"}, {"M", "monitor"}, {"N", "normalise"}};
const LegendRow kDoors[] = {{"B", "library"},        {"A", "inputs"},           {"H", "settings"},
                            {"Ctrl\t,", "options"},  {"F1", "training"},        {"Shift\tF1", "version notes"},
                            {"T", "training"},       {"?", "keys"},             {"Ctrl\tO", "open a file"},
                            {"Alt\t`", "console"}};
const LegendRow kLibrary[] = {{"\u2191\t\u2193", "pick"}, {"Tab", "sessions / takes"}, {"\u2423", "play"},
                              {"\u2190\t\u2192", "5 s"},  {"C", "continue"},          {"O", "folder"},
                              {"Del", "delete"},          {"Esc", "close"}};
const LegendRow kInputs[] = {{"1\t\u2026\t4", "scene"}, {"\u2191\t\u2193", "pick input"}, {"\u2190\t\u2192", "level"},
                             {"\u21B5", "mute"},         {"Esc", "close"}};

#define SECTION(title, rows, column) LegendSection{title, rows, int(sizeof rows / sizeof rows[0]), column}
const LegendSection kSections[kLegendSections] = {
    SECTION("TAKE", kTake, 0),       SECTION("HEAR", kHear, 0),     SECTION("DOORS", kDoors, 0),
    SECTION("LIBRARY", kLibrary, 1), SECTION("INPUTS", kInputs, 1),
};
#undef SECTION

struct CapKey {
  const char* cap;
  int key;
};
const CapKey kCapKeys[] = {
    {"\u2423", kKeySpace}, {"G", kKeyG},       {"L", kKeyL},          {"P", kKeyP},         {"X", kKeyX},
    {"\u2191", kKeyUp},    {"\u2193", kKeyDown}, {"\u2190", kKeyLeft}, {"\u2192", kKeyRight}, {"Tab", kKeyTab},
    {"M", kKeyM},          {"N", kKeyN},       {"B", kKeyB},          {"A", kKeyA},         {"H", kKeyH},
    {",", kKeyComma},      {"F1", kKeyF1},     {"T", kKeyT},          {"?", kKeyQuestion},  {"O", kKeyO},
    {"`", kKeyBackquote},  {"C", kKeyC},       {"Del", kKeyDelete},   {"Esc", kKeyEscape},  {"1", kKey1},
    {"\u2026", kKey2},     {"\u2026", kKey3},  {"4", kKey4},          {"\u21B5", kKeyEnter},
};

constexpr float kSheetMaxW = 860.0f;
constexpr float kRowH = 26.0f;
constexpr float kSectionGap = 14.0f;
constexpr float kSectionTitleH = 28.0f;
constexpr float kTextColumn = 104.0f;  // description starts this far right of the caps
constexpr uint32_t kScrim = 0xC8000000;

struct KeyMapLayout {
  Rect sheet, view;
  float column_x[2];
};

KeyMapLayout key_map_layout(int cw, int ch) {
  KeyMapLayout l{};
  const float w = std::min(kSheetMaxW, std::max(float(cw) - 60.0f, 200.0f));
  const float h = std::max(float(ch) - 60.0f, 160.0f);
  l.sheet = Rect{std::round((float(cw) - w) * 0.5f), 30.0f, w, h};
  l.view = Rect{l.sheet.x + 28, l.sheet.y + 56, w - 56, h - 56 - 40};
  l.column_x[0] = l.view.x;
  l.column_x[1] = l.view.x + std::round(l.view.w * 0.5f) + 10;
  return l;
}

// Height of one column of the legend.
float column_height(int column) {
  float y = 0;
  for (const LegendSection& s : kSections)
    if (s.column == column) y += kSectionTitleH + float(s.count) * kRowH + kSectionGap;
  return y;
}

void scroll_by(KeyMapState* k, float dy) {
  k->scroll = std::clamp(k->scroll + dy, 0.0f, std::max(k->content_h - k->view_h, 0.0f));
}

bool lit_now(const KeyMapState& k, uint32_t now_ms) {
  return k.lit_key != kKeyOther || k.lit_mods != 0 ? uint32_t(now_ms - k.lit_ms) < kKeyLitMs : false;
}

// The caps of a row, each lit when the last press names it.
void draw_caps(Canvas* c, const char* keys, float x, float y, const KeyMapState& k, bool lit_live) {
  char part[32];
  const char* p = keys;
  for (;;) {
    const char* tab = strchr(p, '\t');
    const size_t n = tab ? size_t(tab - p) : strlen(p);
    text_copy(part, std::min(n + 1, sizeof part), p);
    const float w = key_cap_width(c, part);
    draw_key_cap(c, part, x, y, 1.0f);
    if (lit_live && key_cap_matches(part, k.lit_key, k.lit_mods)) {
      const Rect cap{x, y, w, kCapH};
      draw_glow(c, cap, 4, 8, kColourOrange, 0.35f);
      draw_rounded(c, cap, 4, kColourOrange);
      draw_text_centred(c, kStackDisplay, 16, 400, part, cap.x + cap.w * 0.5f, cap.y + cap.h * 0.5f, kColourInk);
    }
    x += w + 3;
    if (!tab) break;
    p = tab + 1;
  }
}

}  // namespace

const LegendSection* key_legend() { return kSections; }

bool key_cap_matches(const char* cap, int key, int mods) {
  if (strcmp(cap, "Shift") == 0) return key == kKeyShift || (mods & kModShift);
  if (strcmp(cap, "Ctrl") == 0) return key == kKeyCtrl || (mods & kModCtrl);
  if (strcmp(cap, "Alt") == 0) return key == kKeyAlt || (mods & kModAlt);
  for (const CapKey& k : kCapKeys)
    if (k.key == key && strcmp(k.cap, cap) == 0) return true;
  return false;
}

void key_map_open(AppState* app) {
  KeyMapState& k = app->key_map;
  k.open = true;
  k.scroll = 0;
  k.lit_key = kKeyOther;
  k.lit_mods = 0;
  panel_close(app, kPanelOptions);
  help_close(app);
}

void key_map_close(AppState* app) { app->key_map.open = false; }

bool key_map_take_event(AppState* app, const InputEvent& ev, uint32_t now_ms) {
  KeyMapState& k = app->key_map;
  if (!k.open) return false;
  switch (ev.kind) {
    case InputKind::kKeyDown:
      k.lit_key = ev.key;
      k.lit_mods = ev.mods;
      k.lit_ms = now_ms;
      if (ev.key == kKeyUp) scroll_by(&k, -kKeyMapScrollStep);
      else if (ev.key == kKeyDown) scroll_by(&k, kKeyMapScrollStep);
      else if (!ev.repeat && (ev.key == kKeyEscape || ev.key == kKeyQuestion)) key_map_close(app);
      return true;
    case InputKind::kKeyUp:
      if (ev.key == k.lit_key) k.lit_ms = now_ms - kKeyLitMs + 150;  // let go: the light fades soon
      return true;
    case InputKind::kWheel:
      if (ev.window_id != 0) return false;
      scroll_by(&k, -(ev.wheel_y != 0.0f ? ev.wheel_y : ev.wheel_x) * kKeyMapScrollStep);
      return true;
    case InputKind::kMouseDown: {
      if (ev.window_id != 0) return false;
      const KeyMapLayout l = key_map_layout(app->content_w, app->content_h);
      if (!l.sheet.contains(ev.x, ev.y)) key_map_close(app);
      return true;
    }
    default: return false;
  }
}

void draw_key_map(Canvas* c, AppState* app, uint32_t now_ms) {
  KeyMapState& k = app->key_map;
  const KeyMapLayout l = key_map_layout(c->w, c->h);
  k.view_h = l.view.h;
  k.content_h = std::max(column_height(0), column_height(1));
  scroll_by(&k, 0);
  const bool lit = lit_now(k, now_ms);

  draw_fill(c, Rect{0, 0, float(c->w), float(c->h)}, kScrim);
  draw_glow(c, l.sheet, 8, 22, 0xFF000000, 0.6f);
  draw_rounded(c, l.sheet, 8, kColourRule);
  draw_rounded(c, Rect{l.sheet.x + 1, l.sheet.y + 1, l.sheet.w - 2, l.sheet.h - 2}, 7, kColourPanel);
  draw_text(c, kStackDisplay, 22, 400, "KEYS", l.sheet.x + 28, l.sheet.y + 18, kColourLight);
  draw_text(c, kStackDisplay, 16, 400, "PRESS ANY KEY TO FIND IT", l.sheet.x + 100, l.sheet.y + 24, kColourGrey);

  const float bottom = l.view.y + l.view.h;
  for (int column = 0; column < 2; ++column) {
    float y = l.view.y - k.scroll;
    const float x = l.column_x[column];
    for (const LegendSection& s : kSections) {
      if (s.column != column) continue;
      if (y >= l.view.y - 1 && y + kSectionTitleH <= bottom + 1) {
        draw_text(c, kStackDisplay, 16, 400, s.title, x, y + 4, kColourOrange);
        draw_fill(c, Rect{x, y + kSectionTitleH - 6, l.view.w * 0.5f - 20, 1}, kColourRule);
      }
      y += kSectionTitleH;
      for (int i = 0; i < s.count; ++i, y += kRowH) {
        if (y < l.view.y - 1 || y + kRowH > bottom + 1) continue;
        draw_caps(c, s.rows[i].keys, x, y + 2, k, lit);
        draw_text(c, kStackText, 15, 400, s.rows[i].text, x + kTextColumn, y + 3, kColourLight);
      }
      y += kSectionGap;
    }
  }
  // How far down the legend is.
  if (k.content_h > k.view_h && k.view_h > 0) {
    const float bar_h = std::max(24.0f, l.view.h * k.view_h / k.content_h);
    const float most = k.content_h - k.view_h;
    const float bar_y = l.view.y + (l.view.h - bar_h) * (most > 0 ? k.scroll / most : 0.0f);
    draw_rounded(c, Rect{l.sheet.x + l.sheet.w - 14, bar_y, 4, bar_h}, 2, kColourRule);
  }
  draw_text(c, kStackDisplay, 16, 400, "ESC CLOSES   -   UP AND DOWN SCROLL", l.sheet.x + 28,
            l.sheet.y + l.sheet.h - 30, kColourGrey);
}
