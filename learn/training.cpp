// The training and version-notes content of this build, the step tick-off and the panel's
// callbacks over the settings. Main thread only.
#include "learn/training.h"

#include <cstring>

#include "config/log.h"
#include "platform/text.h"

const TrainingStep kTolmSteps[kTrainingSteps] = {
    {"first-arm", "Arm it", "press Space and let it listen"},
    {"first-tolm", "Tolm it", "make a sound loud enough to open the gate"},
    {"move-line", "Move the line", "drag it to where your sound sits"},
    {"first-keep", "Keep it", "Space again - it stops and saves"},
    {"trigger-eq", "Point its ears", "TRIG-EQ, then drag a node onto your sound"},
    {"hand-gate", "By hand", "hold G and record without the trigger"},
    {"cull", "Throw one back", "X drops the take you just made"},
    {"library-play", "Hear one again", "B, then Space on a session or a take"},
    {"continue", "Pick one up", "C in the library - it listens again"},
    {"tolm-rig-open", "Meet your inputs", "A shows every input you have"},
    {"tolm-rig-scene", "Switch scenes", "1-4 while inputs is open"},
};

const TrainingChapter kTolmChapters[kTrainingChapters] = {
    {"first-tolm", "FIRST TOLM", kTolmSteps, 0, 4},
    {"shape-it", "SHAPE IT", kTolmSteps, 4, 3},
    {"going-back", "GOING BACK", kTolmSteps, 7, 2},
    {"inputs", "INPUTS", kTolmSteps, 9, 2},
};

namespace {
constexpr const char* kOct = "Oct 2026";
}  // namespace

const VersionNote kTolmNotes[kVersionNotes] = {
    {"1.3.10", "2026-10-08", "YOUR ROOM. YOUR COLORS.",
     {"Every part of the picture takes a colour of your own: walls, sky, floor, lights and lines.",
      "Eighteen parts, eleven swatches each, grouped the way you look at them.",
      "D puts the part under the pointer back to its default.",
      "Your colours are kept with the rest of your settings."},
     4, "https://lumaro.com/tolm-zepha/notes/1.3.10"},
    {"1.3.9", kOct, "WIDE",
     {"The window uses the whole width of wide screens.", "The library drawer can be pulled wider and remembers how wide.",
      "The scope keeps its proportions when the window grows."},
     3, "https://lumaro.com/tolm-zepha/notes/1.3.9"},
    {"1.3.8", kOct, "ROOM",
     {"The walls behind the scope can follow your inputs, the library, or both at once.",
      "With both, the louder of the two shapes the room."},
     2, nullptr},
    {"1.3.7", kOct, "FAVORITES",
     {"Mark any file as a favourite in the files tab.", "Favourites and tags are shared with the other Lumaro apps.",
      "Filter the list down to your favourites with one click."},
     3, nullptr},
    {"1.3.6", kOct, "BLOCKS",
     {"The stage has a floor of blocks that rise with the bass.", "The floor deals itself anew every third beat."}, 2,
     nullptr},
    {"1.3.5", kOct, "FILES",
     {"A files tab beside the library lists the audio in your music folder.",
      "Play any file from there, or open it for chopping.", "Loop a stretch and hear its tempo and key."},
     3, nullptr},
    {"1.3.4", kOct, "WALLS",
     {"The corridor's walls now read the spectrum in twenty bands.",
      "The bands narrow where your sound lives, so the detail follows the sound."},
     2, nullptr},
    {"1.3.3", kOct, "CLICK", {"Buttons answer a click the moment you press, not when you let go."}, 1, nullptr},
    {"1.3.2", kOct, "CHILL",
     {"Less work per frame: the window draws the same picture with less of your processor.",
      "Reduced motion on your desktop calms the panels and stills the stage."},
     2, nullptr},
    {"1.3.1", kOct, "TOP LIGHT", {"The corridor gets a light along its top edge, in a colour of its own."}, 1, nullptr},
    {"1.3.0", kOct, "THE STAGE",
     {"Play something from the library and the view becomes a stage.",
      "A two-leaf sky, cut into thirty-six pieces and dealt again every four bars.",
      "Two spotlights struck on the beat.", "Tempo and key in the corner, found from the file itself."},
     4, nullptr},
    {"1.2.1", kOct, "ONE ON THE HOUSE",
     {"A first run brings an example session, so the library has something to play straight away."}, 1, nullptr},
    {"1.2.0", kOct, "BRING YOUR OWN SOUND",
     {"Open any audio file, or drop it on the window.", "The same threshold line chops it into takes.",
      "The takes point into your file instead of copying it."},
     3, nullptr},
    {"1.1.16", kOct, "JUST THE VISUALS", {"Hide the side panel and keep the picture to yourself."}, 1, nullptr},
    {"1.1.15", kOct, "BACK AND FORTH",
     {"Left and Right skip five seconds in the player.", "The playhead can be dragged through a take."}, 2, nullptr},
    {"1.1.14", kOct, "ZOOM OUT",
     {"The player's waveform zooms out to the whole file and back in to a few seconds.",
      "The zoom you chose is kept for next time."},
     2, nullptr},
    {"1.1.13", kOct, "SCALE", {"Set the scope's scale to fit quiet rooms and loud stages alike."}, 1, nullptr},
    {"1.1.12", kOct, "NEUTRAL", {"Calmer greys throughout, so your takes are the colourful part."}, 1, nullptr},
    {"1.1.11", kOct, "OOPS", {"X throws back the take you just made.", "Culled takes leave the session and its index."}, 2,
     nullptr},
    {"1.1.10", kOct, "MOUNTAINS", {"The recent spectrum stands behind the scope as a range of mountains."}, 1, nullptr},
    {"1.1.9", kOct, "GATE OUT",
     {"A second line sets where the gate closes again.", "Sounds that fade slowly end as you want them to."}, 2,
     nullptr},
    {"1.1.8", kOct, "SIDEWAYS", {"The trigger sliders lie along the side of the scope."}, 1, nullptr},
    {"1.1.7", kOct, "SIDE BY SIDE", {"Sessions and their takes are listed side by side in the library."}, 1, nullptr},
    {"1.1.6", kOct, "EASIER TO READ", {"Larger type in the foot and in the panels.", "Status lines stay a little longer."},
     2, nullptr},
    {"1.1.5", kOct, "TAKES",
     {"Each take is written the moment it ends.", "A take the disk refuses waits in memory until it can be written."}, 2,
     nullptr},
    {"1.1.4", kOct, "THE PLAYER", {"Play sessions and takes without leaving the program."}, 1, nullptr},
    {"1.1.3", kOct, "RIGHT-CLICK", {"Right-click a session or a take for everything you can do with it."}, 1, nullptr},
    {"1.1.2", kOct, "POP-OUTS", {"Panels can float in windows of their own."}, 1, nullptr},
    {"1.1.1", kOct, "KEYS", {"? shows every key.", "F1 opens training; Shift+F1 these notes."}, 2, nullptr},
    {"1.1.0", kOct, "TOLM ZEPHA",
     {"A recorder that listens and keeps only what matters.", "Space arms it; a sound over the line opens the gate.",
      "Every take lands in a dated session folder."},
     3, nullptr},
};

namespace {

bool is_done(void* user, const char* id) {
  const int bit = training_step_bit(id);
  return bit >= 0 && (static_cast<Settings*>(user)->train_done >> bit & 1);
}

bool is_new(void* user, const char* id) {
  const int bit = training_step_bit(id);
  const Settings* s = static_cast<Settings*>(user);
  return bit >= 0 && (s->train_done >> bit & 1) && !(s->train_seen >> bit & 1);
}

void mark_seen(void* user, const char* id) {
  const int bit = training_step_bit(id);
  if (bit >= 0) static_cast<Settings*>(user)->train_seen |= 1 << bit;
}

void reset_all(void* user) {
  Settings* s = static_cast<Settings*>(user);
  s->train_done = 0;
  s->train_seen = 0;
  if (!save_settings(*s)) log_line("training: the reset could not be saved");
}

}  // namespace

int training_step_bit(const char* step_id) {
  if (!step_id) return -1;
  for (const TrainingChapter& c : kTolmChapters)
    for (int i = 0; i < c.step_count; ++i)
      if (strcmp(c.steps[c.first_step + i].id, step_id) == 0) return c.first_step + i;
  return -1;
}

const char* training_toast_text(const TrainingToast& toast, uint32_t now_ms) {
  return toast.active && uint32_t(now_ms - toast.shown_ms) < kToastMs ? toast.text : nullptr;
}

bool mark_step_done(Settings* s, int bit, TrainingToast* toast, uint32_t now_ms) {
  if (bit < 0 || bit >= kTrainingSteps || (s->train_done >> bit & 1)) return false;
  s->train_done |= 1 << bit;
  text_copy(toast->text, kTolmSteps[bit].title);
  toast->shown_ms = now_ms;
  toast->active = true;
  log_line("training: %s", kTolmSteps[bit].id);
  return true;
}

PanelDescriptor tolm_panel_descriptor(Settings* s, const char* version) {
  PanelDescriptor d{};
  d.app_key = "tolm";
  d.title = "TOLM ZEPHA";
  d.version = version;
  d.seen_version = s->seen_version;
  d.seen_version_cap = sizeof s->seen_version;
  d.chapters = kTolmChapters;
  d.chapter_count = kTrainingChapters;
  d.notes = kTolmNotes;
  d.note_count = kVersionNotes;
  d.user = s;
  d.is_done = is_done;
  d.is_new = is_new;
  d.mark_seen = mark_seen;
  d.reset_all = reset_all;
  return d;
}
