// The header and the hover key caps.
#include "app/shell/header.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/panels/panel.h"
#include "app/shell/app_state.h"
#include "app/shell/frame.h"
#include "app/shell/key_cap.h"
#include "app/shell/theme.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

struct Door {
  HeaderItem item;
  const char* label;
  const char* key;
};
constexpr Door kDoors[4] = {
    {HeaderItem::kDoorLibrary, "LIBRARY", "B"},
    {HeaderItem::kDoorInputs, "INPUTS", "A"},
    {HeaderItem::kDoorSide, "SETTINGS", "H"},
    {HeaderItem::kDoorOptions, "OPTIONS", "Ctrl\t,"},
};

const Door* door_of(HeaderItem item) {
  for (const Door& d : kDoors)
    if (d.item == item) return &d;
  return nullptr;
}

}  // namespace

void draw_header(Canvas* c, const AppState* app) {
  const int cw = app->content_w;
  const Rect bar{0, 0, float(cw), float(kHeaderH)};
  draw_fill(c, bar, kColourPanel);
  draw_fill(c, Rect{0, float(kHeaderH) - 1, float(cw), 1}, kColourRule);

  const float mid = float(kHeaderH) * 0.5f;
  const float word = text_width(c, kStackDisplay, 32, 400, "tolm");
  const TextEntry* e = text_entry(c, kStackDisplay, 32, 400, "tolm");
  const float ink_mid = e->ink_bottom > e->ink_top ? 0.5f * float(e->ink_top + e->ink_bottom) : 16.0f;
  draw_text(c, kStackDisplay, 32, 400, "tolm", 16, std::round(mid - ink_mid), kColourLight);
  const TextEntry* z = text_entry(c, kStackDisplay, 16, 400, "ZEPHA");
  // "ZEPHA" sits on the wordmark's baseline.
  const float base = std::round(mid - ink_mid) + float(e->ink_bottom);
  draw_text(c, kStackDisplay, 16, 400, "ZEPHA", 16 + word + 6, base - float(z->ink_bottom), kColourOrange);

  const float px = app->ui.pointer_x, py = app->ui.pointer_y;
  const HeaderItem hovered = header_item_at(cw, px, py);
  for (const Door& d : kDoors) {
    const Rect r = header_item_rect(cw, d.item);
    const bool lit = (d.item == HeaderItem::kDoorLibrary && app->drawer_ui.open) ||
                     (d.item == HeaderItem::kDoorSide && !app->settings.side_hidden) ||
                     (d.item == HeaderItem::kDoorOptions && panel_shown(app, kPanelOptions)) ||
                     (d.item == HeaderItem::kDoorInputs && app->inputs.panel.open);
    const bool hover = hovered == d.item;
    draw_text_centred(c, kStackDisplay, 16, 400, d.label, r.x + r.w * 0.5f, mid,
                      hover ? kColourBright : lit ? kColourSilver : kColourGrey);
    if (lit || hover)
      draw_fill(c, Rect{r.x + 18, float(kHeaderH) - 6, r.w - 36, 2}, hover ? kColourSilver : kColourOrange);
  }

  // The input in use, right-aligned before the window buttons.
  char device[192];
  const CaptureEngine& eng = app->engine;
  text_format(device, sizeof device, "%s   %.0F HZ   %d", eng.dev.chosen[0] ? eng.dev.chosen : "NO INPUT",
              eng.sample_rate, eng.dev.buffer_frames);
  const float dev_right = float(cw) - 3 * kWindowButtonW - 14;
  const float dev_w = text_width(c, kStackDisplay, 16, 400, device);
  const float dev_left = kDoorsLeft + 4 * kDoorW + 16;
  if (dev_right - dev_w > dev_left) {
    const TextEntry* d = text_entry(c, kStackDisplay, 16, 400, device);
    const float dy = d->ink_bottom > d->ink_top ? 0.5f * float(d->ink_top + d->ink_bottom) : 8.0f;
    draw_text(c, kStackDisplay, 16, 400, device, dev_right - dev_w, std::round(mid - dy), kColourGrey);
  }

  // Window buttons.
  draw_frame_button(c, header_item_rect(cw, HeaderItem::kMinimise), FrameButton::kMinimise,
                    hovered == HeaderItem::kMinimise);
  draw_frame_button(c, header_item_rect(cw, HeaderItem::kMaximise), FrameButton::kMaximise,
                    hovered == HeaderItem::kMaximise);
  draw_frame_button(c, header_item_rect(cw, HeaderItem::kClose), FrameButton::kClose, hovered == HeaderItem::kClose);
}

void draw_hover_key_caps(Canvas* c, const AppState* app) {
  static const char* const kStripKeys[kButtonCount] = {"\u2423", "G", "L", "M", "N", "P", "X"};
  static const char* const kChopKeys[kChopButtons] = {"\u21B5", "Esc"};
  const UiState& ui = app->ui;
  for (int i = 0; i < kChopButtons; ++i) {
    const float a = app->chop_view.hover[i];
    if (a <= 0.01f || !app->chop.mode) continue;
    const Rect b = chop_button_rect(ui.layout, i);
    const float w = key_cap_width(c, kChopKeys[i]);
    draw_key_cap(c, kChopKeys[i], std::round(b.x + b.w - w - 6), std::round(b.y - kCapH * 0.5f), a);
  }
  for (int i = 0; i < kButtonCount; ++i) {
    const float a = ui.strip.hover[i];
    if (a <= 0.01f || app->chop.mode) continue;
    const Rect b = strip_button_rect(ui.layout, i, 1.0f);
    const float w = key_cap_width(c, kStripKeys[i]);
    draw_key_cap(c, kStripKeys[i], std::round(b.x + b.w - w - 6), std::round(b.y - kCapH * 0.5f), a);
  }
  const HeaderItem item = header_item_at(app->content_w, ui.pointer_x, ui.pointer_y);
  if (const Door* d = door_of(item)) {
    const Rect r = header_item_rect(app->content_w, item);
    const float w = key_cap_width(c, d->key);
    draw_key_cap(c, d->key, std::round(r.x + (r.w - w) * 0.5f), float(kHeaderH) + 6, 1.0f);
  }
}
