// Where the files tab's parts lie.
#include "app/drawer/files_layout.h"

#include <algorithm>
#include <cmath>

#include "app/drawer/drawer_layout.h"

namespace {

constexpr float kButtonH = 22.0f;
constexpr float kCloudH = 40.0f;

}  // namespace

void files_layout(const Rect& body, const FilesTab& t, bool cloud, FilesLayout* out) {
  FilesLayout& l = *out;
  l = FilesLayout{};
  l.body = body;
  const float pad = kDrawerPad;
  l.bar = Rect{body.x, body.y, body.w, std::min(kFilesBarH, body.h)};
  for (int s = 0; s < kFilesSources; ++s)
    l.sources[s] = Rect{body.x + pad + float(s) * kFilesSourceW, body.y + 4, kFilesSourceW - 6, kFilesBarH - 8};
  l.tempo = Rect{body.x + body.w - pad - kFilesTempoW, body.y + 4, kFilesTempoW, kFilesBarH - 8};
  const float filter_x = std::max(l.sources[kFilesSources - 1].x + kFilesSourceW, l.tempo.x - 8 - kFilesFilterW);
  l.filter = Rect{filter_x, body.y + 4, std::max(l.tempo.x - 8 - filter_x, 0.0f), kFilesBarH - 8};

  float bottom = body.y + body.h;
  if (t.loop.tempo_on) {
    const float h = std::min(kLoopPanelH, std::max(bottom - body.y - kFilesBarH, 0.0f));
    l.loop = Rect{body.x, bottom - h, body.w, h};
    bottom = l.loop.y;
    const float row = l.loop.y + 6;
    float x = body.x + pad;
    l.loop_button = Rect{x, row, 56, kButtonH};
    x += 56 + 14;
    for (int i = 0; i < 4; ++i) l.bar_buttons[i] = Rect{x + 40 + float(i) * 28, row, 24, kButtonH};
    x += 40 + 4 * 28 + 14;
    l.shift_earlier = Rect{x, row, 26, kButtonH};
    l.shift_later = Rect{x + 30, row, 26, kButtonH};
    x += 60 + 14;
    l.to_input = Rect{x, row, 84, kButtonH};
    x += 84 + 14;
    l.loop_text = Rect{x, row, std::max(body.x + body.w - pad - x, 0.0f), kButtonH};
    const float strip_y = row + kButtonH + 6;
    l.strip = Rect{body.x + pad, strip_y, std::max(body.w - 2 * pad, 0.0f), std::max(l.loop.y + l.loop.h - 6 - strip_y, 0.0f)};
  }

  const float top = body.y + kFilesBarH;
  const Rect area{body.x, top, body.w, std::max(bottom - top, 0.0f)};
  if (t.list.source == kSourceBrowse) {
    const float fav_w = t.show_favourites ? std::min(kFavouritesW, std::floor(area.w * 0.4f)) : 0.0f;
    l.favourites = Rect{area.x, area.y, fav_w, area.h};
    const float tx = area.x + fav_w + (fav_w > 0 ? 1.0f : 0.0f);
    const float tw = std::max(area.x + area.w - tx, 0.0f);
    const float preview_h = std::min(kPreviewH, std::floor(area.h * 0.3f));
    l.tree = Rect{tx, area.y, tw, std::max(area.h - preview_h, 0.0f)};
    l.preview = Rect{tx + pad, l.tree.y + l.tree.h, std::max(tw - 2 * pad, 0.0f), preview_h};
    l.tree_rows = std::max(int(l.tree.h / kTreeRowH), 0);
  } else {
    Rect list = area;
    if (t.list.source == kSourceCloud && cloud) {
      l.cloud = Rect{area.x, area.y, area.w, std::min(kCloudH, area.h)};
      l.cloud_button = Rect{area.x + area.w - pad - 110, area.y + 8, 110, kButtonH};
      list.y += l.cloud.h;
      list.h = std::max(list.h - l.cloud.h, 0.0f);
    }
    l.list = list;
  }
}

Rect files_list_row_rect(const FilesLayout& l, const FilesTab& t, int row) {
  return Rect{l.list.x, std::round(l.list.y + float(row * kFilesRowHeight) - t.list_scroll_px), l.list.w,
              float(kFilesRowHeight)};
}

int files_list_row_at(const FilesLayout& l, const FilesTab& t, float x, float y) {
  if (t.list.source == kSourceBrowse || !l.list.contains(x, y)) return -1;
  const int row = int(std::floor((y - l.list.y + t.list_scroll_px) / float(kFilesRowHeight)));
  return row >= 0 && row < int(t.list.visible.size()) ? row : -1;
}

int files_tree_row_at(const FilesLayout& l, const FilesTab& t, float x, float y) {
  if (t.list.source != kSourceBrowse || !l.tree.contains(x, y)) return -1;
  const int row = t.tree.scroll + int(std::floor((y - l.tree.y) / kTreeRowH));
  return row >= 0 && row < int(t.tree.rows.size()) ? row : -1;
}

int files_favourite_at(const FilesLayout& l, const FilesTab& t, float x, float y) {
  if (t.list.source != kSourceBrowse || !l.favourites.contains(x, y)) return -1;
  const int i = int(std::floor((y - l.favourites.y - kDrawerHeadH) / kFavouriteRowH));
  return y >= l.favourites.y + kDrawerHeadH && i >= 0 && i < favourites_count(&t.store) ? i : -1;
}

Rect files_block_rect(const FilesLayout& l, const FilesTab& t, int block) {
  return Rect{std::round(l.strip.x + float(block) * kLoopBlockW - t.loop.scroll_px), l.strip.y, kLoopBlockW - 4,
              l.strip.h};
}

int files_block_at(const FilesLayout& l, const FilesTab& t, float x, float y) {
  const BarGrid* g = files_grid(&t);
  if (!g || !l.strip.contains(x, y)) return -1;
  const int k = int(std::floor((x - l.strip.x + t.loop.scroll_px) / kLoopBlockW));
  return k >= 0 && k < g->loop_count ? k : -1;
}

Rect files_menu_rect(const FilesUi& ui, int content_w, int content_h) {
  const float h = 2 * kMenuPad + float(ui.menu.count) * kMenuItemH;
  const float x = std::clamp(ui.menu_x, 0.0f, std::max(float(content_w) - kMenuW, 0.0f));
  const float y = std::clamp(ui.menu_y, 0.0f, std::max(float(content_h) - h, 0.0f));
  return Rect{x, y, kMenuW, h};
}

int files_menu_item_at(const FilesUi& ui, int content_w, int content_h, float x, float y) {
  const Rect r = files_menu_rect(ui, content_w, content_h);
  if (!r.contains(x, y) || y < r.y + kMenuPad) return -1;
  const int i = int(std::floor((y - r.y - kMenuPad) / kMenuItemH));
  return i >= 0 && i < ui.menu.count ? i : -1;
}
