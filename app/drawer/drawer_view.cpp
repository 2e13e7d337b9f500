// The library drawer drawn.
#include "app/drawer/drawer_view.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/drawer/drawer_layout.h"
#include "app/drawer/files_view.h"
#include "app/drawer/player_view.h"
#include "app/shell/app_state.h"
#include "app/shell/key_cap.h"
#include "app/shell/theme.h"
#include "config/log.h"
#include "library/chop.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

constexpr uint32_t kRowHover = 0xFF181717;
constexpr uint32_t kMapFill = 0xFF0D0C0C;
constexpr uint32_t kCardInk = 0xFF6B6766;
constexpr uint32_t kCardInkSelected = 0xFFC6C1BE;
constexpr uint32_t kTakeStart = 0xFF2A2727;
constexpr int kTitleSize = 16;
constexpr int kSmallSize = 14;
constexpr float kCardW = float(kCardValues);  // a pixel a value
constexpr float kCardH = 28.0f;
constexpr float kThumbMaxW = 160.0f;
constexpr float kMapPeakShare = 0.4f;  // of the map's height, for the peaks over the spectrogram

void centred_note(Canvas* c, const Rect& r, const char* text, const char* second = nullptr) {
  const float cx = r.x + r.w * 0.5f, cy = r.y + std::min(r.h * 0.5f, 60.0f);
  draw_text_centred(c, kStackText, 15, 400, text, cx, cy, kColourGrey);
  if (second) draw_text_centred(c, kStackText, 13, 400, second, cx, cy + 22, kColourDim);
}

void draw_head(Canvas* c, const Rect& r, const char* title, const char* right, uint32_t right_colour) {
  const float cy = r.y + r.h * 0.5f;
  text_at(c, kStackDisplay, kTitleSize, title, r.x + kDrawerPad + 2, cy, kColourSilver);
  if (right && right[0]) text_at(c, kStackDisplay, kTitleSize, right, r.x + r.w - kDrawerPad, cy, right_colour, true);
  draw_fill(c, Rect{r.x, r.y + r.h - 1, r.w, 1}, kColourRule);
}

void draw_scrollbar(Canvas* c, const Rect& list, int scroll, int visible, int count) {
  if (count <= visible || visible <= 0 || list.h < 8) return;
  const float h = std::max(16.0f, list.h * float(visible) / float(count));
  const float y = list.y + (list.h - h) * float(scroll) / float(count - visible);
  draw_rounded(c, Rect{list.x + list.w - 5, std::round(y), 3, std::round(h)}, 1.5f, kColourRule);
}

// Mirrored bars of n values over r, each value as wide as r allows.
void draw_bars(Canvas* c, const Rect& r, const float* values, int n, uint32_t colour, Rect* scratch) {
  const float step = r.w / float(n);
  const float mid = r.y + r.h * 0.5f;
  int count = 0;
  for (int i = 0; i < n && count < kDrawerScratch; ++i) {
    const float h = std::max(std::round(std::clamp(values[i], 0.0f, 1.0f) * (r.h * 0.5f)), 0.5f);
    const float x0 = std::floor(r.x + float(i) * step), x1 = std::floor(r.x + float(i + 1) * step);
    scratch[count++] = Rect{x0, mid - h, std::max(x1 - x0 - (step >= 3 ? 1.0f : 0.0f), 1.0f), std::max(2 * h, 1.0f)};
  }
  draw_fill_rects(c, scratch, count, colour);
}

// The selection's fill and the bar at its left: orange where the keyboard is.
void draw_row_back(Canvas* c, const Rect& row, bool selected, bool hover, bool keyboard) {
  if (selected) {
    draw_fill(c, row, kColourSurface);
    draw_fill(c, Rect{row.x, row.y + 4, 3, row.h - 8}, keyboard ? kColourOrange : kColourDim);
  } else if (hover) {
    draw_fill(c, row, kRowHover);
  }
}

void draw_tabs(Canvas* c, const DrawerLayout& dl, const AppState* app) {
  const LibraryDrawer& d = app->drawer;
  const float cy = dl.tabs.y + dl.tabs.h * 0.5f;
  const bool focus = app->drawer_ui.focus;
  for (int t = 0; t < 2; ++t) {
    const Rect& r = t == 0 ? dl.tab_library : dl.tab_files;
    const bool on = d.drawer_tab == (t == 0 ? kDrawerLibraryTab : kDrawerFilesTab);
    draw_text_centred(c, kStackDisplay, kTitleSize, 400, t == 0 ? "LIBRARY" : "FILES", r.x + r.w * 0.5f, cy,
                      on ? kColourLight : kColourGrey);
    if (on) draw_fill(c, Rect{r.x + 18, r.y + r.h - 6, r.w - 36, 2}, focus ? kColourOrange : kColourSilver);
  }
  char count[32];
  text_format(count, sizeof count, "%d TOLMS", app->recorder.library.row_count);
  text_at(c, kStackDisplay, kTitleSize, count, dl.tabs.x + dl.tabs.w - kDrawerPad - 4, cy, kColourGrey, true);
  draw_fill(c, Rect{dl.tabs.x, dl.tabs.y + dl.tabs.h - 1, dl.tabs.w, 1}, kColourRule);
}

void draw_session_row(Canvas* c, const Rect& row, int index, AppState* app, int64_t now, bool keyboard) {
  const LibraryDrawer& d = app->drawer;
  const DrawerUi& ui = app->drawer_ui;
  const bool selected = index == d.session_sel;
  draw_row_back(c, row, selected, ui.hover_list == kDrawerSessions && ui.hover_row == index, keyboard);
  SessionCardText t;
  session_card_text(&app->recorder, index, now, &t);
  text_at(c, kStackDisplay, kTitleSize, t.title, row.x + 14, row.y + 14, selected ? kColourLight : kColourSilver);
  text_at(c, kStackText, kSmallSize, t.line, row.x + 14, row.y + 31, kColourGrey);
  const float count_w = text_at(c, kStackDisplay, kTitleSize, t.count, row.x + row.w - kDrawerPad - 4,
                                row.y + row.h * 0.5f, t.live ? kColourRed : kColourGrey, true);
  const Rect card{row.x + row.w - kDrawerPad - 4 - count_w - 14 - kCardW, row.y + (row.h - kCardH) * 0.5f, kCardW,
                  kCardH};
  const CardSlot* slot = drawer_card(&d, &app->recorder, index);
  if (!slot || card.x < row.x + 200) return;
  if (slot->state.load(std::memory_order_acquire) == kCardReady)
    draw_bars(c, card, slot->values, kCardValues, selected ? kCardInkSelected : kCardInk, app->drawer_ui.bars[0]);
  else draw_fill(c, Rect{card.x, card.y + card.h * 0.5f, card.w, 1}, kColourDim);  // a card that could not be read
}

void draw_sessions(Canvas* c, const DrawerLayout& dl, AppState* app, int64_t now) {
  const LibraryDrawer& d = app->drawer;
  const Recorder& r = app->recorder;
  char count[16];
  text_format(count, sizeof count, "%d", r.library.row_count);
  draw_head(c, dl.sessions_head, "SESSIONS", count, kColourGrey);
  const Rect& list = dl.sessions;
  draw_fill(c, Rect{list.x + list.w, dl.sessions_head.y, 1, dl.sessions_head.h + list.h}, kColourRule);
  if (const char* empty = drawer_list_text(&d, &r, kDrawerSessions)) {
    centred_note(c, list, empty, "SPACE ARMS - EVERY SESSION LANDS HERE");
    return;
  }
  draw_clip(c, rect_intersect(list, dl.shown));
  const bool keyboard = app->drawer_ui.focus && !d.takes_focus;
  const int first = std::max(d.session_scroll, 0);
  const int end = std::min(r.library.row_count, first + dl.visible_sessions + 1);
  for (int i = first; i < end; ++i)
    draw_session_row(c, drawer_row_rect(list, d.session_scroll, i), i, app, now, keyboard);
  draw_scrollbar(c, list, first, dl.visible_sessions, r.library.row_count);
  draw_clip(c, dl.shown);
}

// The map's spectrogram into its picture, when the drawer copied out a new map.
void sync_map_picture(Canvas* c, AppState* app, const MapView& m) {
  DrawerUi& ui = app->drawer_ui;
  if (ui.map_cells_only) return;
  if (!ui.map_texture) {
    char error[128] = "";
    ui.map_texture = picture_create(c, kMapColumns, kMapBands, error, sizeof error);
    if (!ui.map_texture) {
      ui.map_cells_only = true;
      log_line("ui: the session map's picture was refused (%s) - the map shows its peaks only", error);
      return;
    }
    ui.map_drawn = 0;
  }
  const uint32_t ink = app->theme.slot[kSlotWaterfall] | 0xFF000000u;
  if (ui.map_drawn == app->drawer.map_seen && ui.map_ink == ink) return;
  for (int col = 0; col < kMapColumns; ++col)
    for (int b = 0; b < kMapBands; ++b)
      ui.texels[(kMapBands - 1 - b) * kMapColumns + col] =
          colour_mix(kMapFill, ink, std::clamp(m.image[col * kMapBands + b], 0.0f, 1.0f)) | 0xFF000000u;
  picture_update(ui.map_texture, 0, 0, kMapColumns, kMapBands, ui.texels, kMapColumns);
  ui.map_drawn = app->drawer.map_seen;
  ui.map_ink = ink;
}

void draw_map(Canvas* c, const Rect& m, AppState* app) {
  if (m.w < 2 || m.h < 8) return;
  draw_fill(c, m, kMapFill);
  const LibraryDrawer& d = app->drawer;
  const MapView* mv = drawer_map(&d, &app->recorder);
  if (!mv) return;
  sync_map_picture(c, app, *mv);
  const float peaks_h = std::round(m.h * kMapPeakShare);
  const Rect spec{m.x, m.y + peaks_h + 1, m.w, m.h - peaks_h - 1};
  if (app->drawer_ui.map_texture) picture_draw(c, app->drawer_ui.map_texture, Rect{0, 0, kMapColumns, kMapBands}, spec);
  // Peaks rise from the strip's foot.
  Rect* bars = app->drawer_ui.bars[0];
  const int columns = std::clamp(int(m.w), 0, kDrawerScratch);
  for (int k = 0; k < columns; ++k) {
    const int a = k * kMapPeaks / columns, b = std::max((k + 1) * kMapPeaks / columns, a + 1);
    float v = 0;
    for (int i = a; i < b && i < kMapPeaks; ++i) v = std::max(v, mv->peaks[i]);
    const float h = std::max(std::round(std::min(v, 1.0f) * peaks_h), 1.0f);
    bars[k] = Rect{m.x + float(k), m.y + peaks_h - h, 1, h};
  }
  draw_fill_rects(c, bars, columns, kColourSilver);
  // Where each take starts, and the selected take's span.
  for (int i = 1; i < mv->take_count; ++i)
    draw_fill(c, Rect{std::round(m.x + mv->starts[i] * m.w), m.y, 1, m.h}, kTakeStart);
  const int sel = d.take_sel;
  if (sel >= 0 && sel < mv->take_count) {
    const float x0 = std::round(m.x + mv->starts[sel] * m.w);
    const float x1 = std::round(m.x + (sel + 1 < mv->take_count ? mv->starts[sel + 1] : 1.0f) * m.w);
    draw_outline(c, Rect{x0, m.y, std::max(x1 - x0, 2.0f), m.h},
                 d.takes_focus && app->drawer_ui.focus ? kColourOrange : kColourSilver);
  }
}

void draw_take_row(Canvas* c, const Rect& row, int index, AppState* app, bool keyboard) {
  const LibraryDrawer& d = app->drawer;
  const DrawerUi& ui = app->drawer_ui;
  const TakeFile& t = d.takes[index];
  const bool selected = index == d.take_sel;
  draw_row_back(c, row, selected, ui.hover_list == kDrawerTakes && ui.hover_row == index, keyboard);
  // The take the player has is numbered in orange.
  const char* slash = strrchr(d.landed, '/');
  const bool current = slash && strcmp(slash + 1, t.name) == 0 && player_is_current(&app->player, d.landed);
  char number[16], name[kTakeFileNameBytes], length[32];
  text_format(number, sizeof number, "%02d", index + 1);
  text_copy(name, t.name);
  const size_t n = strlen(name);
  if (n > 4 && text_equal_nocase(name + n - 4, ".wav")) name[n - 4] = 0;
  format_chop_length(t.seconds, length, sizeof length);
  text_at(c, kStackDisplay, kTitleSize, number, row.x + 14, row.y + row.h * 0.5f, current ? kColourOrange : kColourDim);
  text_at(c, kStackText, 15, name, row.x + 50, row.y + 15, selected ? kColourLight : kColourSilver);
  text_at(c, kStackText, kSmallSize, length, row.x + 50, row.y + 31, kColourGrey);
  const float w = std::min(kThumbMaxW, std::floor(row.w / 3.0f));
  const Rect thumb{row.x + row.w - kDrawerPad - 4 - w, row.y + (row.h - kCardH) * 0.5f, w, kCardH};
  if (const float* values = drawer_thumb(&d, index); values && w >= kThumbValues / 2)
    draw_bars(c, thumb, values, kThumbValues, selected ? kCardInkSelected : kCardInk, app->drawer_ui.bars[0]);
}

void draw_takes(Canvas* c, const DrawerLayout& dl, AppState* app, int64_t now) {
  const LibraryDrawer& d = app->drawer;
  const Recorder& r = app->recorder;
  SessionCardText card{};
  if (d.session_sel >= 0 && d.session_sel < r.library.row_count) session_card_text(&r, d.session_sel, now, &card);
  char progress[64];
  float fraction = 0;
  const bool busy = drawer_progress(&d, progress, sizeof progress, &fraction);
  draw_head(c, dl.takes_head, card.title[0] ? card.title : "TAKES", busy ? progress : nullptr, kColourOrange);
  if (busy) {
    const Rect& h = dl.takes_head;
    draw_fill(c, Rect{h.x, h.y + h.h - 2, std::round(std::clamp(fraction, 0.0f, 1.0f) * h.w), 2}, kColourOrange);
  }
  draw_map(c, dl.map, app);
  const Rect& list = dl.takes;
  if (const char* empty = drawer_list_text(&d, &r, kDrawerTakes)) {
    centred_note(c, list, empty);
    return;
  }
  const int count = d.takes_session >= 0 && d.takes_session == d.session_sel ? d.take_count : 0;
  draw_clip(c, rect_intersect(list, dl.shown));
  const bool keyboard = app->drawer_ui.focus && d.takes_focus;
  const int first = std::max(d.take_scroll, 0);
  const int end = std::min(count, first + dl.visible_takes + 1);
  for (int i = first; i < end; ++i) draw_take_row(c, drawer_row_rect(list, d.take_scroll, i), i, app, keyboard);
  draw_scrollbar(c, list, first, dl.visible_takes, count);
  draw_clip(c, dl.shown);
}

}  // namespace

void draw_drawer(Canvas* c, AppState* app) {
  const Rect& shown = app->ui.layout.drawer;
  if (shown.w < 1 || shown.h < 1) return;
  DrawerLayout dl;
  drawer_layout_of(app, &dl);
  const int64_t now = wall_seconds();
  draw_clip(c, shown);
  draw_fill(c, shown, kColourPanel);
  draw_tabs(c, dl, app);
  if (app->drawer.drawer_tab == kDrawerLibraryTab) {
    draw_sessions(c, dl, app, now);
    draw_takes(c, dl, app, now);
  } else {
    draw_files_tab(c, dl, app);
  }
  draw_player_pane(c, dl.pane, app);
  // The right edge: lit while it is taken or the pointer rests on it.
  const DrawerUi& ui = app->drawer_ui;
  const bool edge = ui.drag == DrawerDrag::kResize || dl.edge.contains(app->ui.pointer_x, app->ui.pointer_y);
  draw_fill(c, Rect{shown.x + shown.w - (edge ? 2 : 1), shown.y, edge ? 2.0f : 1.0f, shown.h},
            edge ? kColourOrange : kColourRule);
  draw_unclip(c);
}

void draw_drawer_menu(Canvas* c, AppState* app) {
  draw_files_menu(c, app);
  const DrawerUi& ui = app->drawer_ui;
  if (!ui.menu_open) return;
  const Rect r = drawer_menu_rect(ui, app->content_w, app->content_h);
  draw_glow(c, r, 6.0f, 14.0f, 0xFF000000, 0.6f);
  draw_rounded(c, r, 6.0f, kColourRule);
  draw_rounded(c, Rect{r.x + 1, r.y + 1, r.w - 2, r.h - 2}, 5.0f, kColourPanel);
  for (int i = 0; i < ui.menu.count; ++i) {
    const DrawerMenuItem& item = ui.menu.items[i];
    const Rect row{r.x + 4, r.y + kMenuPad + float(i) * kMenuItemH, r.w - 8, kMenuItemH};
    const float cy = row.y + row.h * 0.5f;
    if (i == ui.menu_sel && item.enabled) draw_rounded(c, row, 4.0f, kColourRule);
    const uint32_t ink = !item.enabled ? kColourDim : item.danger ? kColourRed : kColourLight;
    text_at(c, kStackDisplay, kTitleSize, item.label, row.x + 10, cy, ink);
    const float right = row.x + row.w - 8;
    if (!item.enabled && item.reason[0]) {
      text_at(c, kStackText, 12, item.reason, right, cy, kColourGrey, true);
    } else if (item.hint[0]) {
      const float w = key_cap_width(c, item.hint);
      draw_key_cap(c, item.hint, std::round(right - w), std::round(cy - kCapH * 0.5f), item.enabled ? 1.0f : 0.5f);
    }
  }
}

void drawer_view_release(DrawerUi* ui) {
  if (ui->map_texture) picture_destroy(ui->map_texture);
  ui->map_texture = nullptr;
  ui->map_drawn = 0;
}
