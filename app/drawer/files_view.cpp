// The files tab drawn.
#include "app/drawer/files_view.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/drawer/files_control.h"
#include "app/drawer/files_layout.h"
#include "app/shell/app_state.h"
#include "app/shell/theme.h"
#include "kit/cloud.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

constexpr uint32_t kRowHover = 0xFF181717;
constexpr uint32_t kWaveInk = 0xFF6B6766;
constexpr uint32_t kWaveInkSelected = 0xFFC6C1BE;
constexpr uint32_t kPreviewFill = 0xFF0D0C0C;
constexpr uint32_t kBlockFill = 0xFF1F1D1D;
constexpr int kTitleSize = 16;
constexpr int kSmallSize = 14;
constexpr float kRowPeaksW = 240.0f;

void button(Canvas* c, const Rect& r, const char* label, bool on, bool lit = false) {
  if (r.w < 1) return;
  draw_rounded(c, r, 4.0f, on ? kColourRule : kColourSurface);
  if (lit) draw_fill(c, Rect{r.x + 6, r.y + r.h - 3, r.w - 12, 2}, kColourOrange);
  draw_text_centred(c, kStackDisplay, kSmallSize, 400, label, r.x + r.w * 0.5f, r.y + r.h * 0.5f,
                    on ? kColourLight : kColourGrey);
}

// Mirrored bars of n values over r.
void draw_bars(Canvas* c, const Rect& r, const float* values, int n, uint32_t colour, Rect* scratch) {
  if (n <= 0 || r.w < 1) return;
  const int columns = std::clamp(int(r.w), 1, kDrawerScratch);
  const float mid = r.y + r.h * 0.5f;
  for (int k = 0; k < columns; ++k) {
    const int a = k * n / columns, b = std::max((k + 1) * n / columns, a + 1);
    float v = 0;
    for (int i = a; i < b && i < n; ++i) v = std::max(v, values[i]);
    const float h = std::max(std::round(std::clamp(v, 0.0f, 1.0f) * r.h * 0.5f), 0.5f);
    scratch[k] = Rect{r.x + float(k), mid - h, 1, std::max(2 * h, 1.0f)};
  }
  draw_fill_rects(c, scratch, columns, colour);
}

void draw_bar(Canvas* c, const FilesLayout& fl, AppState* app, uint32_t now) {
  const FilesTab& t = app->files;
  for (int s = 0; s < kFilesSources; ++s) {
    char label[32];
    if (s == kSourceBrowse) text_copy(label, source_label(s));
    else files_source_text(&t, s, label, sizeof label);
    button(c, fl.sources[s], label, t.list.source == s, t.list.source == s && app->drawer_ui.focus);
  }
  // The filter: its text with a caret while edited, else its label.
  const Rect& f = fl.filter;
  if (f.w > 40) {
    draw_rounded(c, f, 4.0f, t.filter_editing ? kColourRule : kColourSurface);
    const float cy = f.y + f.h * 0.5f;
    if (t.list.filter[0] || t.filter_editing) {
      const float w = text_at(c, kStackText, kSmallSize, t.list.filter, f.x + 10, cy, kColourLight);
      if (t.filter_editing && (now / 500) % 2 == 0) draw_fill(c, Rect{f.x + 11 + w, f.y + 5, 2, f.h - 10}, kColourOrange);
    } else {
      text_at(c, kStackDisplay, kSmallSize, "FILTER", f.x + 10, cy, kColourGrey);
    }
  }
  button(c, fl.tempo, "TEMPO", t.loop.tempo_on, t.loop.tempo_on);
  draw_fill(c, Rect{fl.bar.x, fl.bar.y + fl.bar.h - 1, fl.bar.w, 1}, kColourRule);
}

void draw_item_row(Canvas* c, const Rect& r, const FilesRow& row, bool hover, bool keyboard, AppState* app) {
  const FilesItem& it = *row.item;
  Rect box = r;
  if (row.armed) {
    // The row moves aside: what a second Delete does shows in the room it leaves.
    draw_fill(c, Rect{r.x, r.y + 1, kArmedSlide, r.h - 2}, 0xFF1A1A4D);
    text_at(c, kStackDisplay, kTitleSize, "DELETE...", r.x + 14, r.y + r.h * 0.5f, kColourRed);
    box.x += kArmedSlide;
    box.w -= kArmedSlide;
  }
  if (row.selected) {
    draw_fill(c, box, kColourSurface);
    draw_fill(c, Rect{box.x, box.y + 6, 3, box.h - 12}, keyboard ? kColourOrange : kColourDim);
  } else if (hover) {
    draw_fill(c, box, kRowHover);
  }
  float x = box.x + 16;
  if (row.tag > 0) {
    char digit[4];
    text_format(digit, sizeof digit, "%d", row.tag);
    draw_rounded(c, Rect{x, box.y + 10, 20, 20}, 4.0f, kColourOrange);
    draw_text_centred(c, kStackDisplay, kSmallSize, 400, digit, x + 10, box.y + 20, kColourInk);
    x += 28;
  }
  const uint32_t name_ink = row.playing ? kColourOrange : row.selected ? kColourLight : kColourSilver;
  text_at(c, kStackText, 15, it.name.c_str(), x, box.y + 20, name_ink);
  char line[160];
  if (it.cloud) text_format(line, sizeof line, "CLOUD  %s", it.match_ext.c_str());
  else text_format(line, sizeof line, "%s  %s", it.match_folder.c_str(), it.match_ext.c_str());
  text_at(c, kStackText, kSmallSize, line, box.x + 16, box.y + 46, kColourGrey);
  text_format(line, sizeof line, "%s   %s   %s", row.size, row.length[0] ? row.length : "-:--", row.age);
  text_at(c, kStackMono, kSmallSize, line, box.x + 16, box.y + 70, kColourGrey);
  if (row.fetching) text_at(c, kStackDisplay, kSmallSize, "FETCHING...", box.x + box.w * 0.5f, box.y + 70, kColourOrange);
  const float pw = std::min(kRowPeaksW, std::floor(box.w / 3.0f));
  const Rect peaks{box.x + box.w - kDrawerPad - 4 - pw, box.y + 24, pw, 48};
  if (it.info == kInfoReady && !it.peaks.empty() && pw >= 40)
    draw_bars(c, peaks, it.peaks.data(), int(it.peaks.size()), row.selected ? kWaveInkSelected : kWaveInk,
              app->drawer_ui.bars[0]);
  draw_fill(c, Rect{box.x, box.y + box.h - 1, box.w, 1}, kColourRule);
}

void draw_list(Canvas* c, const FilesLayout& fl, const DrawerLayout& dl, AppState* app) {
  FilesTab& t = app->files;
  const FilesHost h = files_host(app);
  if (fl.cloud.h > 0) {
    char status[kCloudStatusBytes], progress[kCloudProgressBytes];
    float fraction = 0;
    if (files_cloud_status(&t, h, status, sizeof status, progress, sizeof progress, &fraction)) {
      text_at(c, kStackText, kSmallSize, progress[0] ? progress : status, fl.cloud.x + kDrawerPad, fl.cloud.y + 20,
              kColourGrey);
      if (const char* label = files_cloud_button_label(h)) button(c, fl.cloud_button, label, false);
    }
  }
  const char* title = nullptr;
  const char* line = nullptr;
  if (files_empty(&t, h, &title, &line)) {
    const float cx = fl.list.x + fl.list.w * 0.5f, cy = fl.list.y + std::min(fl.list.h * 0.5f, 80.0f);
    draw_text_centred(c, kStackText, 15, 400, title, cx, cy, kColourGrey);
    draw_text_centred(c, kStackText, 13, 400, line, cx, cy + 22, kColourDim);
    return;
  }
  draw_clip(c, rect_intersect(fl.list, dl.shown));
  const int64_t now_s = wall_seconds();
  const int first = std::max(int(t.list_scroll_px) / kFilesRowHeight, 0);
  const int last = std::min(int(t.list.visible.size()), first + int(fl.list.h) / kFilesRowHeight + 2);
  const bool keyboard = app->drawer_ui.focus;
  for (int i = first; i < last; ++i) {
    FilesRow row;
    if (!files_row(&t, h, i, now_s, &row)) continue;
    draw_item_row(c, files_list_row_rect(fl, t, i), row, app->files_ui.hover_row == i, keyboard, app);
  }
  draw_clip(c, dl.shown);
}

void draw_browse(Canvas* c, const FilesLayout& fl, const DrawerLayout& dl, AppState* app, uint32_t now) {
  const FilesTab& t = app->files;
  // Favourites: the shared list, the root's among them lit.
  if (fl.favourites.w > 0) {
    const Rect& f = fl.favourites;
    text_at(c, kStackDisplay, kTitleSize, "FAVOURITES", f.x + kDrawerPad + 2, f.y + kDrawerHeadH * 0.5f, kColourSilver);
    draw_clip(c, rect_intersect(f, dl.shown));
    for (int i = 0; i < favourites_count(&t.store); ++i) {
      const float y = f.y + kDrawerHeadH + float(i) * kFavouriteRowH;
      if (y > f.y + f.h) break;
      const char* path = favourite_at(&t.store, i);
      const Rect row{f.x, y, f.w, kFavouriteRowH};
      const bool root = t.tree.root == path;
      if (app->files_ui.hover_favourite == i) draw_fill(c, row, kRowHover);
      const char* name = path_name(path);
      text_at(c, kStackText, kSmallSize, name[0] ? name : path, f.x + kDrawerPad + 2, y + kFavouriteRowH * 0.5f,
              root ? kColourOrange : kColourSilver);
    }
    draw_clip(c, dl.shown);
    draw_fill(c, Rect{f.x + f.w, f.y, 1, f.h}, kColourRule);
  }
  // The tree: folders first, each row indented by its depth; the selection lit.
  const Rect& tr = fl.tree;
  const int sel = files_tree_selected_row(&t.tree);
  draw_clip(c, rect_intersect(tr, dl.shown));
  const int end = std::min(int(t.tree.rows.size()), t.tree.scroll + fl.tree_rows + 1);
  for (int i = std::max(t.tree.scroll, 0); i < end; ++i) {
    const TreeRow& r = t.tree.rows[size_t(i)];
    const Rect row{tr.x, tr.y + float(i - t.tree.scroll) * kTreeRowH, tr.w, kTreeRowH};
    if (i == sel) {
      draw_fill(c, row, kColourSurface);
      draw_fill(c, Rect{row.x, row.y + 3, 3, row.h - 6}, app->drawer_ui.focus ? kColourOrange : kColourDim);
    } else if (app->files_ui.hover_row == i) {
      draw_fill(c, row, kRowHover);
    }
    const float x = row.x + kDrawerPad + float(r.depth) * kTreeIndent;
    const float cy = row.y + row.h * 0.5f;
    if (r.is_dir) text_at(c, kStackMono, kSmallSize, r.expanded ? "-" : "+", x, cy, kColourGrey);
    const bool playing = !r.is_dir && player_is_current(&app->player, r.path.c_str());
    const uint32_t ink = playing ? kColourOrange : r.is_dir ? kColourSilver : kColourLight;
    const float w = text_at(c, kStackText, kSmallSize, r.name.c_str(), x + 16, cy, ink);
    const int tag = tag_of(&t.store, r.path.c_str());
    if (tag > 0) {
      char digit[4];
      text_format(digit, sizeof digit, "%d", tag);
      text_at(c, kStackDisplay, kSmallSize, digit, x + 16 + w + 10, cy, kColourOrange);
    }
    if (r.is_dir && favourite_index(&t.store, r.path.c_str()) >= 0)
      text_at(c, kStackDisplay, kSmallSize, "FAV", row.x + row.w - kDrawerPad - 4, cy, kColourDim, true);
  }
  if (t.tree.rows.empty()) draw_text_centred(c, kStackText, 15, 400, "NOTHING IN THIS FOLDER", tr.x + tr.w * 0.5f,
                                             tr.y + 40, kColourGrey);
  draw_clip(c, dl.shown);
  // The preview: as far as the scan has come, fading in.
  float alpha = 0;
  if (const FilesPreview* v = files_preview(&t, now, &alpha); v && fl.preview.h > 8) {
    const Rect& p = fl.preview;
    draw_fill(c, p, kPreviewFill);
    const int bins = std::clamp(int(std::floor(v->progress * kPreviewBins)), 0, kPreviewBins);
    const Rect drawn{p.x, p.y + 4, p.w * float(bins) / float(kPreviewBins), p.h - 8};
    const uint32_t ink = colour_mix(kPreviewFill, kWaveInkSelected, alpha) | 0xFF000000u;
    draw_bars(c, drawn, v->peaks, bins, ink, app->drawer_ui.bars[0]);
  }
}

void draw_loop_panel(Canvas* c, const FilesLayout& fl, AppState* app, uint32_t now) {
  FilesTab& t = app->files;
  const FilesHost h = files_host(app);
  const Rect& r = fl.loop;
  if (r.h < 1) return;
  draw_fill(c, r, 0xFF111010);
  draw_fill(c, Rect{r.x, r.y, r.w, 1}, kColourRule);
  const LoopPanel& l = t.loop;
  button(c, fl.loop_button, "LOOP", l.block_repeat, l.block_repeat);
  text_at(c, kStackDisplay, kSmallSize, "BARS", fl.bar_buttons[0].x - 40, fl.loop_button.y + fl.loop_button.h * 0.5f,
          kColourGrey);
  for (int i = 0; i < 4; ++i) {
    char n[4];
    text_format(n, sizeof n, "%d", kLoopBarChoices[i]);
    button(c, fl.bar_buttons[i], n, effective_bars_per_loop(l.bars_per_loop) == kLoopBarChoices[i]);
  }
  button(c, fl.shift_earlier, "<", false);
  button(c, fl.shift_later, ">", false);
  button(c, fl.to_input, "TO INPUT", l.to_input, l.to_input);
  char line[96];
  const char* message = files_loop_message(&t, now);
  if (!message) files_loop_text(&t, h, line, sizeof line);
  text_at(c, kStackDisplay, kSmallSize, message ? message : line, fl.loop_text.x,
          fl.loop_text.y + fl.loop_text.h * 0.5f, message ? kColourOrange : kColourSilver);
  // The blocks: the current one lit, a partial one narrower in ink, each numbered.
  const BarGrid* g = files_grid(&t);
  if (!g) return;
  draw_clip(c, fl.strip);
  const int current = files_current_block(&t, h);
  for (int k = 0; k < g->loop_count; ++k) {
    const Rect b = files_block_rect(fl, t, k);
    if (b.x + b.w < fl.strip.x || b.x > fl.strip.x + fl.strip.w) continue;
    const bool partial = bar_block_partial(*g, k);
    draw_rounded(c, b, 4.0f, k == current ? kColourRule : kBlockFill);
    if (k == l.pressed) draw_outline(c, b, kColourOrange);
    char n[16];
    if (g->lead_in && k == 0) text_copy(n, "IN");
    else text_format(n, sizeof n, "%d", k + (g->lead_in ? 0 : 1));
    draw_text_centred(c, kStackDisplay, kSmallSize, 400, n, b.x + b.w * 0.5f, b.y + b.h * 0.5f,
                      k == current ? kColourOrange : partial ? kColourDim : kColourSilver);
  }
  draw_clip(c, rect_intersect(fl.loop, fl.body));
}

}  // namespace

void draw_files_tab(Canvas* c, const DrawerLayout& dl, AppState* app) {
  FilesLayout fl;
  files_layout(dl.body, app->files, true, &fl);
  const uint32_t now = tick_ms();
  draw_clip(c, rect_intersect(dl.body, dl.shown));
  draw_bar(c, fl, app, now);
  if (app->files.list.source == kSourceBrowse) draw_browse(c, fl, dl, app, now);
  else draw_list(c, fl, dl, app);
  draw_loop_panel(c, fl, app, now);
  draw_clip(c, dl.shown);
}

void draw_files_menu(Canvas* c, AppState* app) {
  const FilesUi& ui = app->files_ui;
  if (!ui.menu_open) return;
  const Rect r = files_menu_rect(ui, app->content_w, app->content_h);
  draw_glow(c, r, 6.0f, 14.0f, 0xFF000000, 0.6f);
  draw_rounded(c, r, 6.0f, kColourRule);
  draw_rounded(c, Rect{r.x + 1, r.y + 1, r.w - 2, r.h - 2}, 5.0f, kColourPanel);
  for (int i = 0; i < ui.menu.count; ++i) {
    const FilesMenuItem& item = ui.menu.items[i];
    const Rect row{r.x + 4, r.y + kMenuPad + float(i) * kMenuItemH, r.w - 8, kMenuItemH};
    if (i == ui.menu_sel && item.enabled) draw_rounded(c, row, 4.0f, kColourRule);
    text_at(c, kStackDisplay, kTitleSize, item.label, row.x + 10, row.y + row.h * 0.5f,
            item.enabled ? kColourLight : kColourDim);
  }
}
