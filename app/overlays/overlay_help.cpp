// The help overlay: nineteen how-it-works pages in one scrolling column under three tabs. The pages
// are wrapped once for the column's width and kept, so a frame draws only the lines in view.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/overlays/overlay.h"
#include "app/overlays/training_view.h"
#include "app/panels/panel.h"
#include "app/shell/app_state.h"
#include "app/shell/theme.h"
#include "config/status.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

struct HelpPage {
  const char* title;
  const char* text;
};

const HelpPage kPages[kHelpPages] = {
    {"ARM",
     "Space arms tolm. From then on it listens without a pause, and every sound that rises over the line and "
     "stays there for the hold time becomes a take of its own, starting a little before the sound did. Space "
     "again stops: the last takes are written and the session is sealed. A session in which nothing was heard "
     "is removed again."},
    {"THE LINE",
     "The threshold line runs across the scope. Drag it up or down, or press Up and Down (with Shift 5 dB at a "
     "time), to set how loud a sound must be to open the gate. Drag it sideways, or press Left and Right, to set "
     "the hold: how long the sound must stay over the line before a take begins. The gate-out line says how far "
     "the sound must fall before the gate closes again."},
    {"SETTINGS",
     "The side panel beside the scope holds the trigger's sliders, four at a time: threshold, gate out, hold "
     "and scale in the threshold view, the equaliser's bands in the EQ view, pre-roll, post-roll, look-back and "
     "gain in the configuration view. Tab walks the three views, H hides the panel, and a quick second click "
     "on a slider puts it back to its default."},
    {"EQ",
     "The trigger listens through an equaliser of its own, so it can ignore the rumble of traffic or the hiss "
     "of a fan. In the EQ view drag the high-pass, low-pass and peak handles onto the sound you want to catch; "
     "a quick second click on a handle switches that band off. The equaliser only decides what opens the gate - "
     "the takes are recorded untouched."},
    {"BY HAND",
     "Hold G, or the GATE button, to record without the trigger: the take starts a pre-roll before the key went "
     "down and ends a post-roll after you let go. L latches the gate open until you press L again. X throws "
     "back the newest take of this session; takes from before a session was continued are deleted in the "
     "library instead."},
    {"MONITOR",
     "M sends the input to your speakers or headphones, so you hear what tolm hears. N levels the monitor so "
     "that quiet sources stay audible. Neither changes what is written into the takes."},
    {"TAPE",
     "Everything that passes the gate lands on the tape in memory first, in ten-second pieces, and each take is "
     "written to disk the moment it ends. The strip under the scope shows the whole tape of the session with "
     "its takes, and P plays it back. When the disk refuses a write the takes stay on the tape until they can "
     "be written, and quitting asks once before it lets them go."},
    {"LIBRARY",
     "B opens the library: every session with its takes and their waveforms, newest first. Up and Down pick, "
     "Tab switches between sessions and takes, Space plays, Left and Right jump five seconds, C continues a "
     "session where it stopped, O shows its folder and Delete removes it."},
    {"FILES",
     "The library's files tab browses the folders you record and listen in, with favourites and tags that the "
     "sibling apps share. A file there can be played, opened for chopping, or dragged out into another "
     "program."},
    {"WHEN IT PLAYS",
     "While the library plays, tolm listens along: it finds the tempo and the key of what plays, and the stage "
     "behind the scope moves with it. WALL SOURCE in the options chooses whether the walls follow the inputs, "
     "the playback, or both."},
    {"OPEN A FILE",
     "Ctrl+O opens any audio file - WAV, MP3, M4A, AAC, FLAC and more - and so does dropping one on the window. "
     "tolm chops it with the same threshold line into a session whose takes point into the file instead of "
     "copying it. Enter makes the session, Esc drops the file."},
    {"INPUTS",
     "A shows every input of your audio interface with its level, mute, pan and stereo link. Up and Down pick "
     "an input, Left and Right set its level and Enter mutes it. The inputs live in a rig file that the maker's "
     "other apps read and write too."},
    {"SCENES",
     "The inputs keep four scenes, and 1 to 4 switch between them while the inputs are open. A scene remembers "
     "every input's level, mute and pan, so a quiet room and a loud one are one key apart."},
    {"OPTIONS",
     "Enter or Ctrl+, opens the options: the input device, exclusive access, sample rate, buffer size, bit "
     "depth, the network, the visualiser's colours and the write folder. Up and Down pick a row, Left and Right "
     "change it, Enter uses it and Esc closes. Drag the panel by its title strip, or pop it out into a window "
     "of its own."},
    {"ON THE NETWORK",
     "tolm can be an Ableton Link audio channel that Live and other Link apps on this network pull in, or "
     "listen to a Link channel instead of the microphone. BROADCAST puts the monitor on the local network for "
     "the maker's other apps to hear; the first time, the system asks once to let them reach this computer."},
    {"THE FIRST ONE",
     "On the very first start the library holds one example session, so there is something to play before "
     "you have recorded anything. Delete it whenever you like - it does not come back."},
    {"WHERE IT GOES",
     "Takes are WAV files, 16 or 24 bits, named after the time they started, in a dated folder for each session "
     "inside the write folder: tolm in your Music folder, unless WRITE FOLDER in the options says otherwise. "
     "Each session folder also holds a small session.json that lists its takes."},
    {"THE POINTER",
     "Everything works with the mouse too. The seven buttons above the foot do what Space, G, L, M, N, P and X "
     "do, and hovering a button or a door shows its key. The wheel over the scope moves the gate-out line, with "
     "Shift the scale. Drag the title strip to move the window and its edges to resize it."},
    {"THE REST",
     "? shows every key, Alt+` opens the console with the log, Ctrl+F12 saves a picture of the next frame. The "
     "settings live in tolm.ini and are saved within a second of each change; the log is tolm.log in the "
     ".lumaro folder of your home."},
};

const char* const kTabs[3] = {"HOW IT WORKS", "TRAINING", "WHAT'S NEW"};

constexpr int kTitleSize = 22;
constexpr int kBodySize = 16;
constexpr float kTitleLineH = 32.0f;
constexpr float kBodyLineH = 23.0f;
constexpr float kPageGap = 22.0f;
constexpr float kTextIndent = 34.0f;  // the page number sits left of the text
constexpr float kSheetMaxW = 780.0f;
constexpr float kTabW = 150.0f, kTabH = 32.0f;
constexpr uint32_t kScrim = 0xC8000000;

struct HelpLayout {
  Rect sheet, tabs[3], column;
  float foot_y;
};

HelpLayout help_layout(int cw, int ch) {
  HelpLayout l{};
  const float w = std::min(kSheetMaxW, std::max(float(cw) - 80.0f, 200.0f));
  const float h = std::max(float(ch) - 80.0f, 200.0f);
  l.sheet = Rect{std::round((float(cw) - w) * 0.5f), 40.0f, w, h};
  for (int i = 0; i < 3; ++i) l.tabs[i] = Rect{l.sheet.x + 24 + float(i) * (kTabW + 6), l.sheet.y + 16, kTabW, kTabH};
  l.column = Rect{l.sheet.x + 32, l.sheet.y + 16 + kTabH + 20, w - 64, h - (16 + kTabH + 20) - 40};
  l.foot_y = l.sheet.y + h - 28;
  return l;
}

void wrap_pages(Canvas* c, HelpState* h, int width) {
  h->line_count = 0;
  float y = 0;
  auto add = [&](int page, bool title, const char* text, size_t n) {
    if (h->line_count >= kHelpMaxLines) return;
    HelpLine& line = h->lines[h->line_count++];
    line.page = page;
    line.title = title;
    line.y = y;
    text_copy(line.text, std::min(n + 1, sizeof line.text), text);
    y += title ? kTitleLineH : kBodyLineH;
  };
  for (int p = 0; p < kHelpPages; ++p) {
    add(p, true, kPages[p].title, strlen(kPages[p].title));
    const char* text = kPages[p].text;
    // Greedy: take words while the line fits; a single word wider than the column stands alone.
    while (*text) {
      size_t fit = 0;
      for (size_t end = 0;;) {
        while (text[end] && text[end] != ' ') ++end;
        char probe[kHelpLineBytes];
        text_copy(probe, std::min(end + 1, sizeof probe), text);
        if (fit > 0 && (end >= sizeof probe - 1 || text_width(c, kStackText, kBodySize, 400, probe) > float(width)))
          break;
        fit = end;
        if (!text[end]) break;
        ++end;
      }
      add(p, false, text, fit);
      text += fit;
      while (*text == ' ') ++text;
    }
    y += kPageGap;
  }
  h->content_h = y;
  h->wrapped_w = width;
}

void close_for(AppState* app, int tab) {
  help_close(app);
  training_open(app, tab);
}

}  // namespace

const char* help_page_title(int page) { return page >= 0 && page < kHelpPages ? kPages[page].title : ""; }
const char* help_page_text(int page) { return page >= 0 && page < kHelpPages ? kPages[page].text : ""; }

void help_open(AppState* app) {
  app->help_open = true;
  app->help.scroll = 0;
  app->console_open = false;
  panel_close(app, kPanelOptions);
  app->key_map.open = false;
}

void help_close(AppState* app) { app->help_open = false; }

void help_toggle(AppState* app) {
  if (app->help_open) help_close(app);
  else help_open(app);
}

void help_scroll_by(AppState* app, float dy) {
  HelpState& h = app->help;
  const float most = std::max(h.content_h - h.view_h, 0.0f);
  h.scroll = std::clamp(h.scroll + dy, 0.0f, most);
}

bool help_key(AppState* app, const InputEvent& ev) {
  if (!app->help_open || ev.kind != InputKind::kKeyDown) return false;
  switch (ev.key) {
    case kKeyEnter:
    case kKeyEscape:
      if (!ev.repeat) help_close(app);
      return true;
    case kKeyPageUp: help_scroll_by(app, -kHelpPageStep); return true;
    case kKeyPageDown: help_scroll_by(app, kHelpPageStep); return true;
    case kKeyUp: help_scroll_by(app, -kHelpLineStep); return true;
    case kKeyDown: help_scroll_by(app, kHelpLineStep); return true;
    case kKeyRight: close_for(app, kPanelTraining); return true;
    case kKeyLeft: close_for(app, kPanelNotes); return true;
    default: return false;
  }
}

bool help_take_pointer(AppState* app, const InputEvent& ev) {
  if (!app->help_open || ev.window_id != 0) return false;
  const HelpLayout l = help_layout(app->content_w, app->content_h);
  if (ev.kind == InputKind::kWheel) {
    const float notches = ev.wheel_y != 0.0f ? ev.wheel_y : ev.wheel_x;
    help_scroll_by(app, -notches * kHelpLineStep);
    return true;
  }
  if (ev.kind != InputKind::kMouseDown) return false;
  if (l.tabs[1].contains(ev.x, ev.y)) close_for(app, kPanelTraining);
  else if (l.tabs[2].contains(ev.x, ev.y)) close_for(app, kPanelNotes);
  else if (!l.sheet.contains(ev.x, ev.y)) help_close(app);
  return true;
}

void draw_help_overlay(Canvas* c, AppState* app) {
  HelpState& h = app->help;
  const HelpLayout l = help_layout(c->w, c->h);
  const int wrap_w = int(l.column.w - kTextIndent);
  if (h.wrapped_w != wrap_w) wrap_pages(c, &h, wrap_w);
  h.view_h = l.column.h;
  help_scroll_by(app, 0);  // the column may have grown or shrunk

  draw_fill(c, Rect{0, 0, float(c->w), float(c->h)}, kScrim);
  draw_glow(c, l.sheet, 8, 22, 0xFF000000, 0.6f);
  draw_rounded(c, l.sheet, 8, kColourRule);
  draw_rounded(c, Rect{l.sheet.x + 1, l.sheet.y + 1, l.sheet.w - 2, l.sheet.h - 2}, 7, kColourPanel);
  for (int i = 0; i < 3; ++i) {
    const Rect& t = l.tabs[i];
    if (i == 0) draw_rounded(c, t, 5, kColourSurface);
    draw_text_centred(c, kStackDisplay, 16, 400, kTabs[i], t.x + t.w * 0.5f, t.y + t.h * 0.5f,
                      i == 0 ? kColourBright : kColourGrey);
    if (i == 0) draw_fill(c, Rect{t.x + 16, t.y + t.h - 4, t.w - 32, 2}, kColourOrange);
  }
  const float top = l.column.y, bottom = l.column.y + l.column.h;
  for (int i = 0; i < h.line_count; ++i) {
    const HelpLine& line = h.lines[i];
    const float y = top + line.y - h.scroll;
    const float lh = line.title ? kTitleLineH : kBodyLineH;
    if (y < top - 1 || y + lh > bottom + 1) continue;  // only whole lines inside the column
    if (line.title) {
      char number[8];
      text_format(number, sizeof number, "%02d", line.page + 1);
      draw_text(c, kStackDisplay, 16, 400, number, l.column.x, y + 8, kColourGrey);
      draw_text(c, kStackDisplay, kTitleSize, 400, line.text, l.column.x + kTextIndent, y + 2, kColourOrange);
    } else {
      draw_text(c, kStackText, kBodySize, 400, line.text, l.column.x + kTextIndent, y, kColourLight);
    }
  }
  // How far down the column is.
  if (h.content_h > h.view_h && h.view_h > 0) {
    const float bar_h = std::max(24.0f, l.column.h * h.view_h / h.content_h);
    const float most = h.content_h - h.view_h;
    const float bar_y = l.column.y + (l.column.h - bar_h) * (most > 0 ? h.scroll / most : 0.0f);
    draw_rounded(c, Rect{l.sheet.x + l.sheet.w - 14, bar_y, 4, bar_h}, 2, kColourRule);
  }
  draw_text(c, kStackDisplay, 16, 400, "ENTER / ESC CLOSES   -   ARROWS AND PAGE KEYS SCROLL", l.column.x, l.foot_y,
            kColourGrey);
}
