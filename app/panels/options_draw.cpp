// The options panel's body: the scrolling list of rows under their headings, the help line of the
// selected row (of every row when the panel is tall), the colour swatches and the panel's foot;
// and the pointer over them.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/panels/options.h"
#include "app/panels/panel.h"
#include "app/shell/app_state.h"
#include "app/shell/key_cap.h"
#include "app/shell/theme.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

constexpr float kHeadingH = 32.0f;
constexpr float kSubheadingH = 24.0f;
constexpr float kRowH = 26.0f;
constexpr float kRowHelpH = 18.0f;      // a row's own help line in a tall panel
constexpr float kTallPanel = 640.0f;    // from this height on every row shows its help
constexpr float kFootH = 28.0f;
constexpr float kHelpAreaH = 44.0f;     // the selected row's help, two lines
constexpr float kPadX = 14.0f;
constexpr float kLabelW = 196.0f;       // the value column starts here
constexpr float kSwatch = 14.0f;
constexpr float kSwatchGap = 5.0f;
constexpr float kWallSegmentW = 74.0f;
constexpr int kLabelSize = 16;
constexpr int kHelpSize = 14;
constexpr float kHelpLineH = 18.0f;
constexpr float kWheelStep = 3 * kRowH;
constexpr const char* kFoot = "CLICK TWICE TO USE  /  ARROWS ADJUST  /  ESC CLOSES";

bool colour_row(int row) { return row >= kOptionColourRowFirst && row < kOptionRows; }

struct ListLayout {
  Rect list;        // the scrolling part
  Rect help;        // the selected row's help (empty in a tall panel)
  float foot_y;
  bool tall;
};

ListLayout list_layout(const Rect& r) {
  ListLayout l{};
  l.tall = r.h + kPanelTitleH >= kTallPanel;  // the panel's height, title strip included
  const float help_h = l.tall ? 0.0f : kHelpAreaH;
  l.list = Rect{r.x, r.y + 6, r.w, std::max(r.h - 6 - kFootH - help_h, 0.0f)};
  l.help = Rect{r.x + kPadX, l.list.y + l.list.h + 4, r.w - 2 * kPadX, help_h - 4};
  l.foot_y = r.y + r.h - kFootH;
  return l;
}

float line_height(const OptionLine& line, bool tall) {
  switch (line.kind) {
    case OptionLineKind::kHeading: return kHeadingH;
    case OptionLineKind::kSubheading: return kSubheadingH;
    case OptionLineKind::kRow: break;
  }
  const char* caps = "";
  const char* help = option_help_text(line.row, &caps);
  return tall && (help[0] || caps[0]) ? kRowH + kRowHelpH : kRowH;
}

float content_height(bool tall) {
  float h = 0;
  for (int i = 0; i < kOptionLines; ++i) h += line_height(option_lines()[i], tall);
  return h + 8;
}

// Top of line i within the list (before scrolling).
float line_top(int index, bool tall) {
  float y = 0;
  for (int i = 0; i < index; ++i) y += line_height(option_lines()[i], tall);
  return y;
}

int line_of_row(int row) {
  for (int i = 0; i < kOptionLines; ++i)
    if (option_lines()[i].kind == OptionLineKind::kRow && option_lines()[i].row == row) return i;
  return 0;
}

void clamp_scroll(OptionsState* o, const ListLayout& l) {
  o->scroll = std::clamp(o->scroll, 0.0f, std::max(content_height(l.tall) - l.list.h, 0.0f));
}

void follow(OptionsState* o, const ListLayout& l) {
  if (!o->follow_selection) return;
  o->follow_selection = false;
  const int i = line_of_row(o->selected);
  float top = line_top(i, l.tall);
  const float bottom = top + line_height(option_lines()[i], l.tall);
  // Keep the heading above the first row of a group in view too.
  if (i > 0 && option_lines()[i - 1].kind != OptionLineKind::kRow) top -= line_height(option_lines()[i - 1], l.tall);
  if (top < o->scroll) o->scroll = top;
  if (bottom > o->scroll + l.list.h) o->scroll = bottom - l.list.h;
  clamp_scroll(o, l);
}

Rect swatch_rect(const Rect& row, int choice) {
  return Rect{row.x + kLabelW + float(choice) * (kSwatch + kSwatchGap), row.y + (kRowH - kSwatch) * 0.5f, kSwatch,
              kSwatch};
}

Rect wall_rect(const Rect& row, int source) {
  return Rect{row.x + kLabelW + float(source) * (kWallSegmentW + 4), row.y + 3, kWallSegmentW, kRowH - 6};
}

// Up to max_lines lines of text that fit width, the last one ending in "..." when cut.
int wrap_help(Canvas* c, const char* text, float width, char (*out)[256], int max_lines) {
  int n = 0;
  while (*text && n < max_lines) {
    size_t fit = 0;
    for (size_t end = 0;;) {
      while (text[end] && text[end] != ' ') ++end;
      char probe[256];
      text_copy(probe, std::min(end + 1, sizeof probe), text);
      if (fit > 0 && (end >= sizeof probe - 1 || text_width(c, kStackText, kHelpSize, 400, probe) > width)) break;
      fit = end;
      if (!text[end]) break;
      ++end;
    }
    text_copy(out[n], std::min(fit + 1, sizeof out[n]), text);
    text += fit;
    while (*text == ' ') ++text;
    if (*text && n == max_lines - 1) {
      const size_t len = strlen(out[n]);
      text_copy(out[n] + std::min(len, sizeof out[n] - 4), 4, "...");
    }
    ++n;
  }
  return n;
}

void draw_caps_right(Canvas* c, const char* caps, float right, float y) {
  if (!caps[0]) return;
  const float w = key_cap_width(c, caps);
  draw_key_cap(c, caps, std::round(right - w), std::round(y), 1.0f);
}

void draw_row(Canvas* c, const AppState* app, const OptionLine& line, const Rect& row, bool selected, bool tall) {
  const int id = line.row;
  if (selected) {
    draw_rounded(c, Rect{row.x + 6, row.y, row.w - 12, row.h}, 4, kColourSurface);
    draw_fill(c, Rect{row.x + 6, row.y + 5, 2, kRowH - 10}, kColourOrange);
  }
  const float mid = row.y + kRowH * 0.5f;
  const TextEntry* e = text_entry(c, kStackDisplay, kLabelSize, 400, line.label);
  const float ink = e->ink_bottom > e->ink_top ? 0.5f * float(e->ink_top + e->ink_bottom) : 8.0f;
  draw_text(c, kStackDisplay, kLabelSize, 400, line.label, row.x + kPadX + 6, std::round(mid - ink),
            selected ? kColourBright : kColourGrey);
  const Settings& s = app->settings;
  if (colour_row(id)) {
    const int slot = id - kOptionColourRowFirst;
    const int chosen = s.vis_color[slot];
    for (int k = 0; k < kVisColorChoices; ++k) {
      const Rect sw = swatch_rect(row, k);
      const uint32_t colour = k == 0 ? kVisSlotDefaults[slot] : kVisPalette[k - 1];
      if (k == chosen) draw_rounded(c, Rect{sw.x - 3, sw.y - 3, sw.w + 6, sw.h + 6}, 4, kColourLight);
      draw_rounded(c, sw, 3, 0xFF000000);
      draw_rounded(c, Rect{sw.x + 1, sw.y + 1, sw.w - 2, sw.h - 2}, 2, colour);
      if (k == 0) draw_fill(c, Rect{sw.x + 3, sw.y + sw.h - 4, sw.w - 6, 1}, 0xFF000000);  // the default's mark
    }
    const Rect last = swatch_rect(row, kVisColorChoices - 1);
    draw_text(c, kStackDisplay, kLabelSize, 400, colour_choice_name(chosen), last.x + last.w + 12,
              std::round(mid - ink), kColourSilver);
  } else if (id == kRowWallSource) {
    for (int k = 0; k < 3; ++k) {
      const Rect seg = wall_rect(row, k);
      const bool on = s.wall_source == k;
      draw_rounded(c, seg, 4, on ? kColourOrange : kColourSurface);
      draw_text_centred(c, kStackDisplay, kLabelSize, 400, wall_source_name(k), seg.x + seg.w * 0.5f,
                        seg.y + seg.h * 0.5f, on ? kColourInk : kColourGrey);
    }
  } else {
    char value[kOptionValueBytes];
    option_value_text(app, id, row.w, value, sizeof value);
    // Cut to the room there is, from the right.
    const float room = row.w - kLabelW - kPadX - 40;
    char shown[kOptionValueBytes];
    text_copy(shown, value);
    while (shown[0] && text_width(c, kStackDisplay, kLabelSize, 400, shown) > room) {
      size_t n = strlen(shown);
      do --n;
      while (n > 0 && (static_cast<unsigned char>(shown[n]) & 0xC0) == 0x80);
      shown[n] = 0;
    }
    draw_text(c, kStackDisplay, kLabelSize, 400, shown, row.x + kLabelW, std::round(mid - ink),
              selected ? kColourWhite : kColourSilver);
  }
  const char* caps = "";
  const char* help = option_help_text(id, &caps);
  draw_caps_right(c, caps, row.x + row.w - kPadX - 4, row.y + 3);
  if (tall && help[0]) {
    char cut[256];
    text_copy(cut, help);
    char lines[1][256];
    wrap_help(c, cut, row.w - kPadX * 2 - 10, lines, 1);
    draw_text(c, kStackText, kHelpSize - 1, 400, lines[0], row.x + kPadX + 6, row.y + kRowH - 2, kColourGrey);
  }
}

}  // namespace

void draw_options_body(Canvas* c, AppState* app, const Rect& r) {
  OptionsState& o = app->options;
  const ListLayout l = list_layout(r);
  follow(&o, l);
  clamp_scroll(&o, l);
  const float top = l.list.y, bottom = l.list.y + l.list.h;
  float y = top - o.scroll;
  for (int i = 0; i < kOptionLines; ++i) {
    const OptionLine& line = option_lines()[i];
    const float h = line_height(line, l.tall);
    const bool inside = y >= top - 1 && y + h <= bottom + 1;
    if (inside) {
      switch (line.kind) {
        case OptionLineKind::kHeading:
          draw_text(c, kStackDisplay, kLabelSize, 400, line.label, r.x + kPadX, y + 10, kColourOrange);
          draw_fill(c, Rect{r.x + kPadX, y + kHeadingH - 3, r.w - 2 * kPadX, 1}, kColourRule);
          break;
        case OptionLineKind::kSubheading:
          draw_text(c, kStackDisplay, 11, 400, line.label, r.x + kPadX + 6, y + 8, kColourGrey);
          break;
        case OptionLineKind::kRow:
          draw_row(c, app, line, Rect{r.x, y, r.w, h}, line.row == o.selected, l.tall);
          break;
      }
    }
    y += h;
  }
  // Where the list is: a thin bar at the right edge.
  const float total = content_height(l.tall);
  if (total > l.list.h && l.list.h > 0) {
    const float bar_h = std::max(20.0f, l.list.h * l.list.h / total);
    const float most = total - l.list.h;
    const float bar_y = l.list.y + (l.list.h - bar_h) * (most > 0 ? o.scroll / most : 0.0f);
    draw_rounded(c, Rect{r.x + r.w - 6, bar_y, 3, bar_h}, 1.5f, kColourRule);
  }
  if (!l.tall) {
    draw_fill(c, Rect{r.x + kPadX, l.help.y - 3, r.w - 2 * kPadX, 1}, kColourRule);
    const char* caps = "";
    const char* help = option_help_text(o.selected, &caps);
    char lines[2][256];
    const int n = wrap_help(c, help, l.help.w, lines, 2);
    for (int k = 0; k < n; ++k)
      draw_text(c, kStackText, kHelpSize, 400, lines[k], l.help.x, l.help.y + 3 + kHelpLineH * float(k), kColourSilver);
    if (caps[0]) draw_key_cap(c, caps, l.help.x, l.help.y + 6, 1.0f);
  }
  draw_fill(c, Rect{r.x, l.foot_y, r.w, 1}, kColourRule);
  const TextEntry* fe = text_entry(c, kStackDisplay, 11, 400, kFoot);
  const float fw = float(fe->advance);
  draw_text(c, kStackDisplay, 11, 400, kFoot, std::round(r.x + (r.w - fw) * 0.5f), l.foot_y + 9, kColourGrey);
}

bool options_press(AppState* app, const Rect& r, float x, float y) {
  OptionsState& o = app->options;
  const ListLayout l = list_layout(r);
  if (!l.list.contains(x, y)) return false;
  float top = l.list.y - o.scroll;
  for (int i = 0; i < kOptionLines; ++i) {
    const OptionLine& line = option_lines()[i];
    const float h = line_height(line, l.tall);
    if (y >= top && y < top + h) {
      if (line.kind != OptionLineKind::kRow || !option_selectable(line.row)) return false;
      const Rect row{r.x, top, r.w, h};
      const bool again = o.selected == line.row;
      o.selected = line.row;
      if (colour_row(line.row)) {
        for (int k = 0; k < kVisColorChoices; ++k) {
          const Rect sw = swatch_rect(row, k);
          if (Rect{sw.x - 2, sw.y - 4, sw.w + kSwatchGap, sw.h + 8}.contains(x, y)) {
            option_choose(app, line.row, k);
            return true;
          }
        }
      } else if (line.row == kRowWallSource) {
        for (int k = 0; k < 3; ++k)
          if (wall_rect(row, k).contains(x, y)) {
            option_choose(app, line.row, k);
            return true;
          }
      }
      // A second click on the selected row uses it.
      if (again && o.last_click_row == line.row) option_enter(app, line.row);
      o.last_click_row = line.row;
      return true;
    }
    top += h;
  }
  return false;
}

void options_wheel(AppState* app, float notches) {
  app->options.scroll -= notches * kWheelStep;  // clamped when drawn
  if (app->options.scroll < 0) app->options.scroll = 0;
}
