// The library drawer: selection kept across rescans, the takes of the selected session with
// their thumbnails carried over by name, keys and the context menu, deleting and continuing,
// the player landing on the selection, the session's playback file (joined, or a reference
// session's source) and the picture jobs. Main thread only.
#include "library/drawer.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <exception>
#include <vector>

#include "config/log.h"
#include "config/status.h"
#include "library/chop.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/text.h"
#include "sessions/library_scan.h"
#include "sessions/reference.h"
#include "sessions/session.h"
#include "sessions/session_util.h"

namespace {

constexpr const char* kStillRecording = "THAT ONE IS STILL RECORDING";
constexpr const char* kDeleted = "DELETED";
constexpr const char* kDeleteFailed = "DELETE FAILED";
constexpr const char* kOndelFailed = "ONDEL DIDN'T OPEN";
constexpr double kSkip = kSkipSeconds;

DrawerAction outcome(DrawerOutcome o, const char* path = nullptr) {
  DrawerAction a{};
  a.outcome = o;
  if (path) text_copy(a.path, path);
  return a;
}

bool valid_row(const Recorder* r, int row) { return row >= 0 && row < r->library.row_count; }

const LibraryRow* selected_row(const LibraryDrawer* d, const Recorder* r) {
  return valid_row(r, d->session_sel) ? &r->library.rows[d->session_sel] : nullptr;
}

bool takes_loaded(const LibraryDrawer* d) { return d->takes_session >= 0 && d->takes_session == d->session_sel; }

int clamp_sel(int sel, int count) { return count > 0 ? std::clamp(sel, 0, count - 1) : 0; }

// Starts a job's thread; false (nothing started, the job record freed) when no thread can be had.
template <typename Job>
bool start_job(JobThread* t, std::unique_ptr<Job>* holder, std::unique_ptr<Job> job, void (*run)(Job*),
               const char* what) {
  Job* raw = job.get();
  *holder = std::move(job);
  t->running.store(1, std::memory_order_release);
  try {
    t->thread = std::thread([t, raw, run] {
      run(raw);
      t->running.store(0, std::memory_order_release);
    });
  } catch (const std::exception& e) {
    log_line("library: couldn't start the %s thread (%s)", what, e.what());
    t->running.store(0);
    holder->reset();
    return false;
  }
  return true;
}

// ---- Takes and thumbnails ----

void bump_thumbs(LibraryDrawer* d) {
  d->thumbs_generation.fetch_add(1, std::memory_order_acq_rel);
  std::fill(d->thumb_ready, d->thumb_ready + kDrawerMaxTakes, 0);
  d->thumbs_to_read = d->thumbs_read = 0;
}

void bump_map(LibraryDrawer* d) {
  d->map.map_generation.fetch_add(1, std::memory_order_acq_rel);
  d->map_for[0] = 0;
  d->map_view.ready = false;
  d->map_view.session[0] = 0;
}

// Copies thumbnails the running job has finished for the current list.
void collect_thumbs(LibraryDrawer* d) {
  ThumbJob* job = d->thumb_job.get();
  if (!job || job->generation != d->thumbs_generation.load(std::memory_order_relaxed)) return;
  for (int i = 0; i < job->count && i < d->take_count; ++i) {
    if (d->thumb_ready[i] || !job->done[i].load(std::memory_order_acquire)) continue;
    std::copy(job->values[i], job->values[i] + kThumbValues, d->thumbs[i]);
    d->thumb_ready[i] = 1;
  }
  d->thumbs_read = job->read.load(std::memory_order_acquire);
}

// Lists the selected session's takes. keep_place keeps the take selection (a reload of the same
// session); thumbnails of takes of the same name in the same session are carried over.
void load_takes(LibraryDrawer* d, Recorder* r, bool keep_place) {
  collect_thumbs(d);
  const int row = d->session_sel;
  const bool same = valid_row(r, row) && d->takes_folder[0] &&
                    text_equal_nocase(d->takes_folder, r->library.rows[row].relative_path);
  std::vector<TakeFile> fresh(kDrawerMaxTakes);
  const int n = valid_row(r, row) ? std::max(session_takes(r, row, fresh.data(), kDrawerMaxTakes), 0) : 0;
  std::vector<float> values(size_t(n) * kThumbValues, 0.0f);
  std::vector<uint8_t> ready(size_t(n), 0);
  if (same) {
    for (int i = 0; i < n; ++i)
      for (int k = 0; k < d->take_count; ++k)
        if (d->thumb_ready[k] && strcmp(d->takes[k].name, fresh[size_t(i)].name) == 0) {
          std::copy(d->thumbs[k], d->thumbs[k] + kThumbValues, values.begin() + ptrdiff_t(i) * kThumbValues);
          ready[size_t(i)] = 1;
          break;
        }
  }
  bump_thumbs(d);  // indices change: a running job's results no longer fit
  for (int i = 0; i < n; ++i) {
    d->takes[i] = fresh[size_t(i)];
    std::copy(values.begin() + ptrdiff_t(i) * kThumbValues, values.begin() + ptrdiff_t(i + 1) * kThumbValues, d->thumbs[i]);
    d->thumb_ready[i] = ready[size_t(i)];
  }
  d->take_count = n;
  d->takes_session = valid_row(r, row) ? row : -1;
  text_copy(d->takes_folder, valid_row(r, row) ? r->library.rows[row].relative_path : "");
  d->takes_stale = false;
  if (keep_place) {
    d->take_sel = clamp_sel(d->take_sel, n);
  } else {
    d->take_sel = 0;
    d->take_scroll = 0;
  }
  if (valid_row(r, row))
    log_line("browser: session %d/%d '%s' -> %d takes", row + 1, r->library.row_count, r->library.rows[row].relative_path,
             n);
}

// After a rescan the selection stays on the same folder when it is still listed; otherwise it is
// clamped and what was loaded for the old selection goes.
void follow_rescan(LibraryDrawer* d, Recorder* r) {
  if (r->library.scan_serial == d->seen_scan) return;
  d->seen_scan = r->library.scan_serial;
  const int found = d->selected[0] ? find_library_row(r, d->selected) : -1;
  if (found >= 0) {
    d->session_sel = found;
    if (d->takes_folder[0] && text_equal_nocase(d->takes_folder, d->selected)) {
      d->takes_session = found;
      d->takes_stale = true;  // its takes may have changed with the rescan
    }
  } else {
    d->session_sel = clamp_sel(d->session_sel, r->library.row_count);
    d->takes_session = -1;
    d->take_count = 0;
    d->takes_folder[0] = 0;
    bump_thumbs(d);
    bump_map(d);
  }
}

// Brings the selection, the loaded takes and `selected` in line with the library.
void sync_selection(LibraryDrawer* d, Recorder* r) {
  follow_rescan(d, r);
  d->session_sel = clamp_sel(d->session_sel, r->library.row_count);
  text_copy(d->selected, valid_row(r, d->session_sel) ? r->library.rows[d->session_sel].relative_path : "");
  if (!valid_row(r, d->session_sel)) {
    if (d->takes_session != -1 || d->take_count) {
      d->takes_session = -1;
      d->take_count = 0;
      d->takes_folder[0] = 0;
      bump_thumbs(d);
    }
    return;
  }
  if (d->session_sel != d->takes_session) load_takes(d, r, false);
  else if (d->takes_stale) load_takes(d, r, true);
}

// ---- Paths of the selection ----

bool library_root(const Recorder* r, char* out, size_t cap) {
  const char* root = r->library.write_folder[0] ? r->library.write_folder : r->library.root;
  if (!root[0]) return false;
  text_copy(out, cap, root);
  return true;
}

bool selected_folder(const LibraryDrawer* d, const Recorder* r, char* out, size_t cap) {
  return session_folder_path(r, d->session_sel, out, cap);
}

// The file a take plays from: its own, or the source of a reference session.
bool take_play_path(const LibraryDrawer* d, const Recorder* r, int take, char* out, size_t cap) {
  const LibraryRow* row = selected_row(d, r);
  if (!row || !takes_loaded(d) || take < 0 || take >= d->take_count) return false;
  if (row->reference) {
    int rate = 0;
    int64_t frames = 0;
    return reference_source(r, d->session_sel, out, cap, &rate, &frames) == 0;
  }
  return take_file_path(r, d->session_sel, d->takes[take].name, out, cap);
}

bool ensure_joined_folder(LibraryDrawer* d) {
  if (d->joined_folder[0]) return true;
  if (d->joined_folder_failed) return false;
  if (!joined_root(d->joined_folder, sizeof d->joined_folder)) {
    d->joined_folder_failed = true;
    log_line("library: no private folder for joined sessions - sessions play take by take only");
    return false;
  }
  prune_joined_files(d->joined_folder, nullptr);
  return true;
}

// The selected session's playback file: its joined file, or a reference session's source.
bool session_play_path(LibraryDrawer* d, const Recorder* r, char* out, size_t cap) {
  const LibraryRow* row = selected_row(d, r);
  if (!row) return false;
  if (row->reference) {
    int rate = 0;
    int64_t frames = 0;
    return reference_source(r, d->session_sel, out, cap, &rate, &frames) == 0;
  }
  return ensure_joined_folder(d) && joined_file_path(d->joined_folder, *row, out, cap);
}

// A reference take's range as fractions of its source.
bool reference_region(const LibraryDrawer* d, const Recorder* r, int take, double* start, double* end) {
  char source[kPathCap];
  int rate = 0;
  int64_t frames = 0;
  if (!takes_loaded(d) || take < 0 || take >= d->take_count ||
      reference_source(r, d->session_sel, source, sizeof source, &rate, &frames) != 0 || frames <= 0)
    return false;
  *start = double(d->takes[take].start) / double(frames);
  *end = double(d->takes[take].end) / double(frames);
  return true;
}

// ---- Joining ----

void collect_join(LibraryDrawer* d) {
  if (!d->join_job || !job_idle(&d->join_thread)) return;
  JoinJob* job = d->join_job.get();
  if (job->result.load(std::memory_order_acquire) == 0 && !job->cancel.load()) {
    text_copy(d->last_joined, job->dest);
    log_line("library: joined %d takes into %s", job->take_count, job->dest);
    prune_joined_files(d->joined_folder, job->dest);
  } else if (!job->cancel.load()) {
    log_line("library: join into %s failed", job->dest);
  }
  d->join_job.reset();
}

// Starts joining the selected session into dest, or asks a join for another file to stop (the
// next frame then starts this one).
void want_join(LibraryDrawer* d, Recorder* r, const char* dest) {
  if (strcmp(dest, d->last_joined) == 0) return;  // joined once; it is not made again unasked
  if (d->join_job) {
    if (strcmp(d->join_job->dest, dest) != 0) d->join_job->cancel.store(1);
    return;
  }
  char folder[kPathCap], key_folder[kPathCap];
  if (!selected_folder(d, r, folder, sizeof folder)) return;
  text_copy(key_folder, dest);
  if (char* slash = strrchr(key_folder, '/')) *slash = 0;
  if (make_private_dir(key_folder) != 0) return;
  auto job = std::make_unique<JoinJob>();
  text_copy(job->folder, folder);
  text_copy(job->dest, dest);
  job->take_count = selected_row(d, r)->take_count;
  start_job(&d->join_thread, &d->join_job, std::move(job), run_join_job, "join");
}

// ---- Landing and playing ----

void land(LibraryDrawer* d, Recorder* r, Player* p) {
  if (!p || d->drawer_tab != kDrawerLibraryTab) return;
  const LibraryRow* row = selected_row(d, r);
  if (!row) return;
  char path[kPathCap];
  if (!d->takes_focus) {
    if (!session_play_path(d, r, path, sizeof path)) return;
    if (!is_file(path)) {
      if (!row->reference) want_join(d, r, path);
      return;
    }
    const bool play = strcmp(d->play_when_joined, path) == 0;
    if (strcmp(d->landed, path) == 0 && !play) return;
    text_copy(d->landed, path);
    if (row->reference) {
      d->reference_take = -1;
      player_clear_region(p, path);
    } else {
      set_file_mtime(path, int64_t(wall_seconds()) * 1000000000);  // recently used: kept by the pruning
    }
    if (play) {
      d->play_when_joined[0] = 0;
      player_play_item(p, path, row->display_name);
    } else {
      player_land(p, path);
    }
    return;
  }
  if (!takes_loaded(d) || d->take_count == 0 || !take_play_path(d, r, d->take_sel, path, sizeof path)) return;
  if (row->reference) {
    // One source for all takes: the selected take is its region while nothing plays.
    if (d->reference_take != d->take_sel && !player_is_playing(p)) {
      double start = 0, end = 1;
      if (reference_region(d, r, d->take_sel, &start, &end)) {
        d->reference_take = d->take_sel;
        player_set_region(p, path, start, end);
        if (player_is_current(p, path) && player_has_audio(p)) player_seek(p, start);
      }
    }
    if (strcmp(d->landed, path) != 0) {
      text_copy(d->landed, path);
      player_land(p, path);
    }
    return;
  }
  if (strcmp(d->landed, path) == 0) return;
  text_copy(d->landed, path);
  player_land(p, path);
}

DrawerAction play_take(LibraryDrawer* d, Recorder* r, Player* p, int take) {
  char path[kPathCap];
  if (!p || !take_play_path(d, r, take, path, sizeof path)) return outcome(kDrawerTaken);
  d->take_sel = take;
  text_copy(d->landed, path);
  const LibraryRow* row = selected_row(d, r);
  if (row->reference) {
    double start = 0, end = 1;
    if (reference_region(d, r, take, &start, &end)) {
      d->reference_take = take;
      player_set_region(p, path, start, end);
    }
    if (player_is_current(p, path) && player_has_audio(p)) {
      player_seek(p, start);
      if (!player_is_playing(p)) player_toggle(p);
      return outcome(kDrawerPlayed);
    }
  }
  return outcome(player_play_item(p, path, d->takes[take].name) ? kDrawerPlayed : kDrawerTaken);
}

DrawerAction play_session(LibraryDrawer* d, Recorder* r, Player* p) {
  const LibraryRow* row = selected_row(d, r);
  char path[kPathCap];
  if (!p || !row || !session_play_path(d, r, path, sizeof path)) return outcome(kDrawerTaken);
  if (!row->reference && !is_file(path)) {
    // Played as soon as the join has made it.
    text_copy(d->play_when_joined, path);
    d->last_joined[0] = 0;  // the file is gone: join it again
    want_join(d, r, path);
    return outcome(kDrawerPlayed);
  }
  text_copy(d->landed, path);
  if (row->reference) {
    d->reference_take = -1;
    player_clear_region(p, path);
  }
  return outcome(player_play_item(p, path, row->display_name) ? kDrawerPlayed : kDrawerTaken);
}

// ---- Deleting ----

DrawerAction delete_selected_session(LibraryDrawer* d, Recorder* r) {
  const int row = d->session_sel;
  if (!valid_row(r, row)) return outcome(kDrawerTaken);
  if (row_is_open_session(r, row)) {
    status_flash(kStillRecording);
    return outcome(kDrawerTaken);
  }
  const int failed = delete_session(r, row);
  d->seen_scan = r->library.scan_serial;
  if (failed) {
    status_flash(kDeleteFailed);
    d->selected[0] = 0;  // the rescan already happened: follow the clamped index
  }
  d->session_sel = clamp_sel(row, r->library.row_count);
  d->takes_session = -1;
  d->take_count = 0;
  d->takes_folder[0] = 0;
  bump_thumbs(d);
  bump_map(d);
  sync_selection(d, r);
  if (failed) return outcome(kDrawerTaken);
  status_flash(kDeleted);
  return outcome(kDrawerDeleted);
}

DrawerAction delete_selected_take(LibraryDrawer* d, Recorder* r, Player* p, int take) {
  const int row = d->session_sel;
  if (!valid_row(r, row) || !takes_loaded(d) || take < 0 || take >= d->take_count) return outcome(kDrawerTaken);
  if (row_is_open_session(r, row)) {
    status_flash(kStillRecording);
    return outcome(kDrawerTaken);
  }
  if (p) player_stop(p);
  char name[kTakeFileNameBytes];
  text_copy(name, d->takes[take].name);
  const int index = delete_take(r, row, name);
  d->seen_scan = r->library.scan_serial;
  if (index == -2) {
    status_flash(kDeleteFailed);
    d->selected[0] = 0;
    sync_selection(d, r);
    return outcome(kDrawerTaken);
  }
  d->session_sel = clamp_sel(index >= 0 ? index : row, r->library.row_count);
  text_copy(d->selected, valid_row(r, d->session_sel) ? r->library.rows[d->session_sel].relative_path : "");
  d->take_sel = take;  // the same place, or the new last take
  if (valid_row(r, d->session_sel)) {
    load_takes(d, r, index >= 0);  // bumps the thumbnail generation; thumbnails carry over by name
  } else {
    d->take_count = 0;
    d->takes_session = -1;
    bump_thumbs(d);
  }
  bump_map(d);
  d->landed[0] = 0;
  status_flash(kDeleted);
  return outcome(kDrawerDeleted);
}

// ---- Cards, thumbnails and the map ----

void run_cards(LibraryDrawer* d, Recorder* r, const DrawerFrame& f) {
  if (!job_idle(&d->card_thread)) return;
  d->card_job.reset();
  const int first = std::max(d->session_scroll, 0);
  const int end = std::min(r->library.row_count, first + std::max(f.visible_sessions, 1));
  for (int row = first; row < end; ++row) {
    char key[kCardKeyBytes];
    card_key(r->library.rows[row], key, sizeof key);
    if (find_card(d->cards, key) >= 0) continue;
    auto job = std::make_unique<CardJob>();
    job->reference = r->library.rows[row].reference != 0;
    job->stop = &d->stopping;
    if (job->reference) {
      int rate = 0;
      int64_t frames = 0;
      if (reference_source(r, row, job->folder, sizeof job->folder, &rate, &frames) != 0) job->folder[0] = 0;
    } else if (!session_folder_path(r, row, job->folder, sizeof job->folder)) {
      job->folder[0] = 0;
    }
    CardSlot* slot = &d->cards.slots[d->cards.next];
    d->cards.next = (d->cards.next + 1) % kCardSlots;
    text_copy(slot->key, key);
    slot->state.store(kCardWorking, std::memory_order_release);
    job->slot = slot;
    if (!start_job(&d->card_thread, &d->card_job, std::move(job), run_card_job, "card")) slot->key[0] = 0;  // again later
    return;  // one card job at a time
  }
}

void run_thumbs(LibraryDrawer* d, Recorder* r) {
  collect_thumbs(d);
  if (!job_idle(&d->thumb_thread)) return;
  if (d->thumb_job) {
    collect_thumbs(d);
    d->thumb_job.reset();
    d->thumbs_busy = false;
  }
  if (!takes_loaded(d) || d->take_count == 0) return;
  int wanted = 0;
  for (int i = 0; i < d->take_count; ++i) wanted += !d->thumb_ready[i];
  if (wanted == 0) return;
  const LibraryRow* row = selected_row(d, r);
  auto job = std::make_unique<ThumbJob>();
  job->generation = d->thumbs_generation.load(std::memory_order_relaxed);
  job->current_generation = &d->thumbs_generation;
  job->stop = &d->stopping;
  job->reference = row->reference != 0;
  if (job->reference) {
    int rate = 0;
    int64_t frames = 0;
    if (reference_source(r, d->session_sel, job->folder, sizeof job->folder, &rate, &frames) != 0) job->folder[0] = 0;
  } else if (!selected_folder(d, r, job->folder, sizeof job->folder)) {
    job->folder[0] = 0;
  }
  job->count = d->take_count;
  for (int i = 0; i < d->take_count; ++i) {
    text_copy(job->names[i], d->takes[i].name);
    job->starts[i] = d->takes[i].start;
    job->ends[i] = d->takes[i].end;
    job->wanted[i] = !d->thumb_ready[i];
    job->done[i].store(0, std::memory_order_relaxed);
  }
  job->to_read = wanted;
  d->thumbs_to_read = wanted;
  d->thumbs_read = 0;
  d->thumbs_busy = start_job(&d->thumb_thread, &d->thumb_job, std::move(job), run_thumb_job, "thumbnail");
}

void run_map(LibraryDrawer* d, Recorder* r) {
  if (job_idle(&d->map_thread) && d->map_job) {
    d->map_job.reset();
    d->map_busy = false;
  }
  {
    std::lock_guard<std::mutex> lk(d->map.mutex);
    if (d->map.published != d->map_seen) {
      d->map_seen = d->map.published;
      std::copy(d->map.map_peaks, d->map.map_peaks + kMapPeaks, d->map_view.peaks);
      std::copy(d->map.map_image, d->map.map_image + kMapColumns * kMapBands, d->map_view.image);
      std::copy(d->map.starts, d->map.starts + kDrawerMaxTakes, d->map_view.starts);
      d->map_view.take_count = d->map.take_count;
      text_copy(d->map_view.session, d->map.session);
      d->map_view.take = d->map.take;
      d->map_view.ready = d->map.ready;
    }
  }
  const LibraryRow* row = selected_row(d, r);
  if (!row || row->reference || !takes_loaded(d)) return;
  char wanted[kDrawerTextBytes];
  text_format(wanted, sizeof wanted, "%s|%d|%lld", row->relative_path, d->take_count,
              (long long)std::llround(row->total_seconds * 1000.0));
  if (strcmp(wanted, d->map_for) != 0) {
    // A new request: a running job sees the new generation and gives up.
    d->map.map_generation.fetch_add(1, std::memory_order_acq_rel);
    text_copy(d->map_for, wanted);
    d->map_requested = true;
    d->map_view.ready = false;
  }
  if (!d->map_requested || d->map_job) return;
  auto job = std::make_unique<MapJob>();
  job->generation = d->map.map_generation.load(std::memory_order_acquire);
  job->map = &d->map;
  job->stop = &d->stopping;
  if (!selected_folder(d, r, job->folder, sizeof job->folder)) return;
  text_copy(job->session, row->relative_path);
  job->take = -1;
  job->count = d->take_count;
  for (int i = 0; i < d->take_count; ++i) {
    text_copy(job->names[i], d->takes[i].name);
    job->seconds[i] = d->takes[i].seconds;
  }
  d->map_busy = start_job(&d->map_thread, &d->map_job, std::move(job), run_map_job, "map");
  if (d->map_busy) d->map_requested = false;
}

void scroll_into_view(int sel, int* scroll, int visible, int count) {
  if (visible <= 0) return;
  if (sel < *scroll) *scroll = sel;
  if (sel >= *scroll + visible) *scroll = sel - visible + 1;
  *scroll = std::clamp(*scroll, 0, std::max(0, count - visible));
}

}  // namespace

LibraryDrawer::~LibraryDrawer() { drawer_shutdown(this); }

// ---- Keys, menu, pointer ----

DrawerAction library_key(LibraryDrawer* d, Recorder* r, Player* p, DrawerKey key) {
  sync_selection(d, r);
  if (d->drawer_tab == kDrawerFilesTab) {
    if (key == kDrawerKeyTab) {
      d->drawer_tab = kDrawerLibraryTab;
      d->takes_focus = false;
      return outcome(kDrawerTaken);
    }
    return outcome(key == kDrawerKeyEscape ? kDrawerClose : kDrawerNotTaken);
  }
  switch (key) {
    case kDrawerKeyTab:
      if (d->takes_focus || d->take_count == 0) {  // no takes to stop at: on to the files tab
        d->drawer_tab = kDrawerFilesTab;
        d->takes_focus = false;
      } else {
        d->takes_focus = true;
      }
      return outcome(kDrawerTaken);
    case kDrawerKeyEnter:
    case kDrawerKeySpace:
      if (!selected_row(d, r)) return outcome(kDrawerTaken);
      return d->takes_focus ? play_take(d, r, p, d->take_sel) : play_session(d, r, p);
    case kDrawerKeyEscape:
    case kDrawerKeyB: return outcome(kDrawerClose);
    case kDrawerKeyC: return outcome(drawer_continue(d, r) == 0 ? kDrawerContinued : kDrawerTaken);
    case kDrawerKeyO: {
      char folder[kPathCap];
      if (selected_folder(d, r, folder, sizeof folder) || library_root(r, folder, sizeof folder))
        return outcome(kDrawerOpenFolder, folder);
      return outcome(kDrawerTaken);
    }
    case kDrawerKeyDelete:
      return d->takes_focus ? delete_selected_take(d, r, p, d->take_sel) : delete_selected_session(d, r);
    case kDrawerKeyDown:
    case kDrawerKeyUp: {
      const int step = key == kDrawerKeyDown ? 1 : -1;
      if (d->takes_focus) d->take_sel = clamp_sel(d->take_sel + step, d->take_count);
      else d->session_sel = clamp_sel(d->session_sel + step, r->library.row_count);
      sync_selection(d, r);
      return outcome(kDrawerTaken);
    }
    case kDrawerKeyRight:
    case kDrawerKeyLeft:
      if (p) player_skip(p, key == kDrawerKeyRight ? kSkip : -kSkip);
      return outcome(kDrawerTaken);
    default: return outcome(kDrawerNotTaken);
  }
}

void library_select(LibraryDrawer* d, Recorder* r, DrawerList list, int index) {
  sync_selection(d, r);
  if (list == kDrawerSessions && valid_row(r, index)) {
    d->session_sel = index;
    d->takes_focus = false;
  } else if (list == kDrawerTakes && takes_loaded(d) && index >= 0 && index < d->take_count) {
    d->take_sel = index;
    d->takes_focus = true;
  }
  sync_selection(d, r);
}

void library_menu(LibraryDrawer* d, Recorder* r, DrawerList list, int index, bool from_keyboard, DrawerMenu* out) {
  sync_selection(d, r);
  d->menu_take = -1;
  if (from_keyboard && list == kDrawerNoList) {
    if (d->takes_focus && takes_loaded(d) && d->take_count > 0) d->menu_take = d->take_sel;
  } else if (list == kDrawerTakes && takes_loaded(d) && index >= 0 && index < d->take_count) {
    d->take_sel = index;
    d->takes_focus = true;
    d->menu_take = index;
  } else if (list == kDrawerSessions && valid_row(r, index)) {
    d->session_sel = index;
    d->takes_focus = false;
    sync_selection(d, r);
  }
  *out = DrawerMenu{};
  out->take = d->menu_take;
  out->from_keyboard = from_keyboard;
  const bool any = r->library.row_count > 0;
  const bool recording = row_is_open_session(r, d->session_sel);
  const auto add = [out, from_keyboard](int id, const char* label, const char* hint, bool enabled, bool danger,
                                        const char* reason) {
    out->items[out->count++] = DrawerMenuItem{id, label, from_keyboard ? hint : "", enabled, danger, reason ? reason : ""};
  };
  if (any) add(kMenuPlay, "PLAY", "\xE2\x90\xA3", true, false, nullptr);  // ␣
  add(kMenuOpenLocation, "OPEN LOCATION", "O", true, false, nullptr);
  char ondel[kPathCap];
  if (ondel_path(d, ondel, sizeof ondel)) add(kMenuOpenInOndel, "OPEN IN ONDEL", "", true, false, nullptr);
  if (out->take < 0 && any) {
    const char* reason = continue_refusal(d, r);
    add(kMenuContinue, "CONTINUE", "C", reason == nullptr, false, reason);
    add(kMenuDeleteSession, "DELETE SESSION", "Del", !recording, true, nullptr);
  }
  if (out->take >= 0) add(kMenuDeleteTake, "DELETE TAKE", "Del", !recording, true, nullptr);
}

DrawerAction library_menu_choose(LibraryDrawer* d, Recorder* r, Player* p, const DrawerMenu& menu, int id) {
  sync_selection(d, r);
  for (int i = 0; i < menu.count; ++i)
    if (menu.items[i].id == id && !menu.items[i].enabled) return outcome(kDrawerTaken);
  char path[kPathCap], folder[kPathCap];
  const bool take = menu.take >= 0 && takes_loaded(d) && menu.take < d->take_count;
  switch (id) {
    case kMenuPlay:
      if (!selected_row(d, r)) return outcome(kDrawerTaken);
      return take ? play_take(d, r, p, menu.take) : play_session(d, r, p);
    case kMenuOpenLocation:
      if (take && take_play_path(d, r, menu.take, path, sizeof path)) return outcome(kDrawerShowItem, path);
      if (selected_folder(d, r, folder, sizeof folder) || library_root(r, folder, sizeof folder))
        return outcome(kDrawerOpenFolder, folder);
      return outcome(kDrawerTaken);
    case kMenuOpenInOndel: {
      char ondel[kPathCap];
      const bool have_folder = selected_folder(d, r, folder, sizeof folder) || library_root(r, folder, sizeof folder);
      int rc = kProcessNotFound;
      if (!ondel_path(d, ondel, sizeof ondel)) {
        log_line("library: ondel is not beside the program");
      } else if (have_folder && take && take_play_path(d, r, menu.take, path, sizeof path)) {
        const char* const argv[] = {ondel, "--root", folder, "--select", path, nullptr};
        rc = spawn_detached(argv);
      } else if (have_folder) {
        const char* const argv[] = {ondel, "--root", folder, nullptr};
        rc = spawn_detached(argv);
      }
      if (rc != kProcessOk) {
        log_line("library: ondel didn't start (%d)", rc);
        status_flash(kOndelFailed);
      }
      return outcome(kDrawerTaken);
    }
    case kMenuContinue: return outcome(drawer_continue(d, r) == 0 ? kDrawerContinued : kDrawerTaken);
    case kMenuDeleteSession: return delete_selected_session(d, r);
    case kMenuDeleteTake: return take ? delete_selected_take(d, r, p, menu.take) : outcome(kDrawerTaken);
    default: return outcome(kDrawerTaken);
  }
}

void library_wheel(LibraryDrawer* d, const Recorder* r, DrawerList list, float notches, int visible_rows) {
  const int rows = int(std::lround(-notches));
  if (list == kDrawerSessions)
    d->session_scroll = std::clamp(d->session_scroll + rows, 0, std::max(0, r->library.row_count - visible_rows));
  else if (list == kDrawerTakes)
    d->take_scroll = std::clamp(d->take_scroll + rows, 0, std::max(0, d->take_count - visible_rows));
}

// ---- Each frame ----

void library_update(LibraryDrawer* d, Recorder* r, Player* p, const DrawerFrame& f) {
  collect_join(d);
  sync_selection(d, r);
  if (d->session_sel != d->shown_session_sel) {
    scroll_into_view(d->session_sel, &d->session_scroll, f.visible_sessions, r->library.row_count);
    d->shown_session_sel = d->session_sel;
  }
  if (d->take_sel != d->shown_take_sel) {
    scroll_into_view(d->take_sel, &d->take_scroll, f.visible_takes, d->take_count);
    d->shown_take_sel = d->take_sel;
  }
  run_thumbs(d, r);
  run_map(d, r);
  run_cards(d, r, f);
  if (f.shown) land(d, r, p);
}

int drawer_continue(LibraryDrawer* d, Recorder* r) {
  sync_selection(d, r);
  const int row = valid_row(r, d->session_sel) ? d->session_sel : -1;
  const bool loaded = row >= 0 && takes_loaded(d);
  const MapView* map = drawer_map(d, r);
  return continue_session(r, row, loaded ? d->takes : nullptr, loaded ? d->take_count : 0, map ? map->peaks : nullptr,
                          kMapPeaks);
}

void drawer_row_updated(void* ctx, int row, double, int) {
  auto* d = static_cast<LibraryDrawer*>(ctx);
  if (row == d->takes_session) d->takes_stale = true;
}

void drawer_shutdown(LibraryDrawer* d) {
  d->stopping.store(1);
  d->thumbs_generation.fetch_add(1);
  d->map.map_generation.fetch_add(1);
  if (d->join_job) d->join_job->cancel.store(1);
  job_wait(&d->card_thread);
  job_wait(&d->thumb_thread);
  job_wait(&d->map_thread);
  job_wait(&d->join_thread);
  d->card_job.reset();
  d->thumb_job.reset();
  d->map_job.reset();
  d->join_job.reset();
}

// ---- What the view shows ----

const char* continue_refusal(const LibraryDrawer* d, const Recorder* r) {
  const CaptureEngine* e = r->engine;
  const bool armed = e && e->armed.load(std::memory_order_acquire);
  const bool valid = valid_row(r, d->session_sel);
  if (armed && valid && row_is_open_session(r, d->session_sel)) return "SESSION ACTIVE";
  if (armed) return "STOP RECORDING TO SWITCH SESSIONS";
  if (r->session.folder[0] || (e && e->write_head.load(std::memory_order_acquire) > 0) || recorder_has_unwritten(r))
    return "STOP THE SESSION FIRST";
  if (!valid) return "PICK A SESSION";
  if (r->library.rows[d->session_sel].reference) return "A REFERENCE SESSION";
  if (!takes_loaded(d) || d->take_count == 0) return "NO TAKES";
  if (d->take_count < r->library.rows[d->session_sel].take_count) return kTooManyTakesToContinue;
  if (!drawer_map(d, r)) return "READING...";
  return nullptr;
}

bool drawer_progress(const LibraryDrawer* d, char* out, size_t cap, float* fraction) {
  if (d->join_job && d->join_thread.running.load(std::memory_order_acquire)) {
    const int total = std::max(d->join_job->take_count, 1);
    const int done = std::min(d->join_job->progress.load(std::memory_order_acquire), total);
    text_format(out, cap, "JOINING %d / %d", done, total);
    *fraction = float(done) / float(total);
    return true;
  }
  if (d->thumbs_busy && d->thumbs_to_read > 0) {
    const int done = std::min(d->thumbs_read, d->thumbs_to_read);
    text_format(out, cap, "READING %d / %d", done, d->thumbs_to_read);
    *fraction = float(done) / float(d->thumbs_to_read);
    return true;
  }
  if (cap) out[0] = 0;
  *fraction = 0;
  return false;
}

const char* drawer_list_text(const LibraryDrawer* d, const Recorder* r, DrawerList list) {
  if (list == kDrawerSessions) return r->library.row_count == 0 ? kNoTolmsText : nullptr;
  if (list == kDrawerTakes) return valid_row(r, d->session_sel) && takes_loaded(d) && d->take_count == 0 ? kNoTakesText : nullptr;
  return nullptr;
}

void library_pane_text(const LibraryDrawer* d, const Recorder* r, const Player* p, bool can_sound, char* out,
                       size_t cap) {
  if (p && can_sound && !p->current_path[0] && valid_row(r, d->session_sel) && takes_loaded(d) && d->take_count > 0) {
    text_copy(out, cap, kPickATakeText);
    return;
  }
  if (!p) {
    text_copy(out, cap, can_sound ? "NOTHING PLAYING" : "");
    return;
  }
  player_pane_text(p, false, can_sound, out, cap);
}

const CardSlot* drawer_card(const LibraryDrawer* d, const Recorder* r, int row) {
  if (!valid_row(r, row)) return nullptr;
  char key[kCardKeyBytes];
  card_key(r->library.rows[row], key, sizeof key);
  const int slot = find_card(d->cards, key);
  if (slot < 0 || d->cards.slots[slot].state.load(std::memory_order_acquire) == kCardWorking) return nullptr;
  return &d->cards.slots[slot];
}

void session_card_text(const Recorder* r, int row, int64_t now_seconds, SessionCardText* out) {
  *out = SessionCardText{};
  if (!valid_row(r, row)) return;
  const LibraryRow& lr = r->library.rows[row];
  struct tm t {};
  if (lr.start_time != 0 && local_time(lr.start_time, &t)) strftime(out->title, sizeof out->title, "%Y-%m-%d  %H:%M:%S", &t);
  else text_copy(out->title, lr.relative_path);
  out->live = row_is_open_session(r, row);
  char kept[32], open[32];
  format_chop_length(lr.total_seconds, kept, sizeof kept);
  if (lr.reference) {
    char source[kSourceNameBytes];
    text_copy(source, lr.source_name);
    for (char* c = source; *c; ++c)
      if (*c >= 'a' && *c <= 'z') *c = char(*c - 'a' + 'A');
    text_format(out->line, sizeof out->line, "FROM %.18s   KEPT %s", source, kept);
  } else {
    const double open_seconds = out->live && lr.start_time > 0 ? double(now_seconds - lr.start_time) : lr.span_seconds;
    format_chop_length(open_seconds, open, sizeof open);
    text_format(out->line, sizeof out->line, "OPEN %s   KEPT %s", open, kept);
  }
  if (out->live) text_copy(out->count, "LIVE");
  else text_format(out->count, sizeof out->count, "%d", lr.take_count);
}

const float* drawer_thumb(const LibraryDrawer* d, int take) {
  return take >= 0 && take < d->take_count && d->thumb_ready[take] ? d->thumbs[take] : nullptr;
}

const MapView* drawer_map(const LibraryDrawer* d, const Recorder* r) {
  const LibraryRow* row = selected_row(d, r);
  if (!row || !d->map_view.ready || !text_equal_nocase(d->map_view.session, row->relative_path) || !takes_loaded(d) ||
      d->map_view.take != -1 || d->map_view.take_count != d->take_count)
    return nullptr;
  return &d->map_view;
}

bool ondel_path(const LibraryDrawer* d, char* out, size_t cap) {
  char dir[kPathCap];
  if (d->ondel_folder[0]) text_copy(dir, d->ondel_folder);
  else if (!program_dir(dir, sizeof dir)) dir[0] = 0;
  if (!dir[0] || !path_join(out, cap, dir, kOndelName)) {
    if (cap) out[0] = 0;
    return false;
  }
  return is_file(out) && access(out, X_OK) == 0;
}
