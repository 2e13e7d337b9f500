// The files tab: keys, clicks and menus, the per-frame update (shared files, marks, bar grid and
// bar-follow, preview, the loader's answers, the cloud list) and the view helpers.
//
// Bar-follow keeps the block under the playhead in the engine's region fields but leaves the
// region switched off while repeat is off: an active region ends playback at its end, which would
// stop the file at every block boundary. LOOP switches it on for the block the playhead is in.
#include "library/files_tab.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <mutex>
#include <unistd.h>

#include "config/log.h"
#include "config/settings.h"
#include "config/status.h"
#include "kit/cloud.h"
#include "library/chop.h"
#include "library/player.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "platform/trash.h"

namespace {

constexpr int kInfoRequestsPerFrame = 16;
constexpr const char* kScanThreadName = "tolm-files";
constexpr const char* kFetchThreadName = "tolm-fetch";
constexpr const char* kDeleteFailedText = "COULDN'T MOVE IT TO THE TRASH";
constexpr const char* kOndelFailedText = "ONDEL DIDN'T OPEN";
constexpr const char* kCantDragText = "CAN'T DRAG OUT";
constexpr const char* kSavedText = "SAVED  Music/Lumaro/Loops";
constexpr const char* kClipboardText = "SAVED - ITS ADDRESS IS ON THE CLIPBOARD";

std::string lower_ext(std::string ext) {
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return ext;
}

FilesAction act(int outcome, const char* path = nullptr) {
  FilesAction a{};
  a.outcome = outcome;
  if (path) text_copy(a.path, sizeof a.path, path);
  return a;
}

void loop_say(FilesTab* t, const char* text, uint32_t now_ms) {
  text_copy(t->loop.message, text);
  t->loop.message_until_ms = now_ms + kLoopMessageMs;
  log_line("files: %s", text);
}

void info_arrived(void* ctx, const char* path, bool ok, const float* peaks, double seconds) {
  auto* t = static_cast<FilesTab*>(ctx);
  FilesItem* it = files_list_item(&t->list, path);
  if (!it) return;
  it->info = ok ? kInfoReady : kInfoFailed;
  if (ok) {
    it->peaks.assign(peaks, peaks + kFilesItemPeaks);
    it->seconds = seconds;
  }
  ++t->list.serial;
}

const FilesItem* selected_item(const FilesTab* t) { return files_list_item(&t->list, t->list.selected.c_str()); }

bool player_holds(const Player* p, const std::string& path) { return p && player_is_current(p, path.c_str()); }

// The file's own region (or none) back in the engine, without stopping a playhead outside it.
void restore_file_region(FilesTab* t, Player* p) {
  t->loop.following = false;
  if (!p || !player_has_audio(p)) return;
  double start = 0, end = 1;
  if (player_region(p, p->current_path, &start, &end)) {
    const double head = player_playhead(p);
    playback_set_region(&p->engine, start, end, true);
    if (head < start || head > end) playback_seek(&p->engine, head);
  } else {
    playback_set_region(&p->engine, 0.0, 1.0, false);
  }
}

bool block_fractions(const LoopPanel& l, int k, double* start, double* end) {
  double s = 0, e = 0;
  if (!l.has_grid || !bar_block(l.grid, k, &s, &e) || !(l.grid.duration_s > 0)) return false;
  *start = s / l.grid.duration_s;
  *end = e / l.grid.duration_s;
  return true;
}

double playhead_seconds(const Player* p) { return player_playhead(p) * player_seconds(p); }

void update_grid(FilesTab* t, Player* p) {
  LoopPanel& l = t->loop;
  const bool had = l.has_grid;
  l.has_grid = false;
  if (l.tempo_on && p && player_has_audio(p) && !p->decoding && p->tempo.result.done && p->tempo.result.bpm > 0.0f) {
    const AudioBuffer* b = playback_buffer(&p->engine);
    const int shift = bar_shift_of(&t->marks, p->current_path);
    l.has_grid = b && bar_grid_make(p->tempo.result.bpm, p->tempo.result.first_beat_s, playback_frames(&p->engine),
                                    b->sample_rate, l.bars_per_loop, shift, &l.grid);
  }
  if (l.has_grid) l.grid_path = p->current_path;
  else l.grid_path.clear();
  if (had && !l.has_grid) {  // the grid went: repeat and the region are the file's again
    if (l.block_repeat && p) playback_set_repeat(&p->engine, p->loop);
    l.block_repeat = false;
    restore_file_region(t, p);
  }
}

void bar_follow(FilesTab* t, Player* p) {
  LoopPanel& l = t->loop;
  if (!l.has_grid || !p) return;
  const bool repeat = p->engine.repeat.load(std::memory_order_relaxed) != 0;
  if (l.block_repeat && (p->loop || !repeat)) {
    // The pane's LOOP took repeat over, or something turned it off: the block lets go.
    l.block_repeat = false;
    if (p->loop) {
      restore_file_region(t, p);
      return;
    }
  }
  if (l.block_repeat) return;
  if (repeat) {
    if (l.following) restore_file_region(t, p);
    return;
  }
  const int k = bar_block_at(l.grid, playhead_seconds(p) + kBarFollowLeadS);
  double start = 0, end = 1;
  if (k >= 0 && block_fractions(l, k, &start, &end)) {
    playback_set_region(&p->engine, start, end, false);  // armed, not active: see the file's head
    l.following = true;
  }
}

void sync_marks(FilesTab* t, Player* p, bool active) {
  if (!p || p->regions_serial == t->seen_regions) return;
  t->seen_regions = p->regions_serial;
  // Only what the user set here: the library tab's regions (a reference session's takes) are its own.
  if (!active || !p->current_path[0]) return;
  double start = 0, end = 1;
  if (player_region(p, p->current_path, &start, &end)) mark_set(&t->marks, p->current_path, start, end);
  else mark_clear(&t->marks, p->current_path);
}

void release_preview(FilesPreview* v) {
  if (v->scan) release_overview_scan(v->scan);
  *v = FilesPreview{};
}

void run_preview(FilesTab* t, uint32_t now_ms) {
  FilesPreview& v = t->preview;
  const int row = files_tree_selected_row(&t->tree);
  const TreeRow* r = row >= 0 ? &t->tree.rows[size_t(row)] : nullptr;
  if (t->list.source != kSourceBrowse || !r || r->is_dir || !is_audio_file(r->path.c_str())) {
    if (!v.path.empty()) release_preview(&v);
    return;
  }
  if (v.path != r->path) {
    release_preview(&v);
    v.path = r->path;
    v.started_ms = now_ms;
    auto kept = t->previews.find(r->path);
    if (kept != t->previews.end()) {
      std::copy(kept->second.peaks, kept->second.peaks + kPreviewBins, v.peaks);
      v.seconds = kept->second.seconds;
      v.progress = 1.0f;
      v.done = true;
      return;
    }
    v.scan = start_overview_scan(r->path.c_str());
    if (!v.scan) v.done = true;  // no preview for it
  }
  if (!v.scan) return;
  const int rc = overview_scan_peaks(v.scan, v.peaks, kPreviewBins, &v.progress, &v.seconds);
  if (rc == 0) return;
  release_overview_scan(v.scan);
  v.scan = nullptr;
  v.done = true;
  if (rc == 1) {
    if (int(t->previews.size()) >= kPreviewCacheMax) t->previews.clear();
    PreviewKept k{};
    std::copy(v.peaks, v.peaks + kPreviewBins, k.peaks);
    k.seconds = v.seconds;
    t->previews[v.path] = k;
  } else {
    v.progress = 0.0f;  // a scan that failed shows nothing
    std::fill(v.peaks, v.peaks + kPreviewBins, 0.0f);
  }
}

void start_scan(FilesTab* t) {
  FolderScan& s = t->scan;
  if (s.running || t->scan_queue.empty()) return;
  s.folder = t->scan_queue.front();
  t->scan_queue.erase(t->scan_queue.begin());
  s.items.clear();
  s.ok = false;
  s.done.store(0);
  s.cancel.store(0);
  try {
    s.thread = std::thread([&s] {
      thread_set_own_name(kScanThreadName);
      s.ok = files_list_read_folder(s.folder.c_str(), kFilesMaxItems, &s.cancel, &s.items);
      s.done.store(1, std::memory_order_release);
    });
  } catch (const std::exception& e) {
    log_line("files: couldn't start reading %s (%s)", s.folder.c_str(), e.what());
    t->scan_queue.clear();
    return;
  }
  s.running = true;
}

void stop_scan(FilesTab* t) {
  t->scan_queue.clear();
  if (!t->scan.running) return;
  t->scan.cancel.store(1);
  t->scan.thread.join();
  t->scan.items.clear();
  t->scan.running = false;
}

void collect_scan(FilesTab* t) {
  FolderScan& s = t->scan;
  if (!s.running || !s.done.load(std::memory_order_acquire)) return;
  s.thread.join();
  s.running = false;
  if (!s.ok) {
    log_line("files: couldn't read the folder %s", s.folder.c_str());
  } else {
    const int added = files_list_merge(&t->list, &s.items);
    log_line("files: %d file%s added from %s", added, added == 1 ? "" : "s", s.folder.c_str());
  }
  start_scan(t);
}

// Where a cloud item is kept once fetched: the cache, named by its key, with the extension of its
// name when that is an audio one (the reader goes by it), else ".m4a".
bool cloud_cache_path(const FilesItem& it, std::string* out) {
  char cache[kPathCap];
  if (!cache_dir(cache, sizeof cache)) return false;
  const std::string folder = std::string(cache) + "/tolm-zepha/cloud";
  if (make_dirs(folder.c_str()) != 0) return false;
  uint64_t h = 14695981039346656037ull;
  for (unsigned char ch : it.path) h = (h ^ ch) * 1099511628211ull;
  char name[32];
  text_format(name, sizeof name, "%016llx", static_cast<unsigned long long>(h));
  std::string ext = ".m4a";
  const size_t dot = it.name.rfind('.');
  if (dot != std::string::npos && is_audio_file(it.name.c_str())) ext = lower_ext(it.name.substr(dot));
  *out = folder + "/" + name + ext;
  return true;
}

void stop_fetch(FilesTab* t) {
  CloudFetch& f = t->fetch;
  if (!f.running) return;
  f.cancel.store(1);
  f.thread.join();
  f.running = false;
}

// The fetched file: played, or opened for chopping.
void use_fetched(const FilesHost& h, const std::string& path, const std::string& name, bool chop) {
  if (chop) {
    if (h.chop) open_for_chop(h.chop, h.settings, path.c_str());
  } else if (h.player) {
    player_play_item(h.player, path.c_str(), name.c_str());
  }
}

FilesAction fetch_cloud(FilesTab* t, const FilesHost& h, const FilesItem* it, bool chop) {
  std::string path;
  if (!h.cloud || !cloud_cache_path(*it, &path)) return act(kFilesTaken);
  if (is_file(path.c_str())) {  // fetched before
    use_fetched(h, path, it->name, chop);
    return act(chop ? kFilesOpenedForChop : kFilesPlayed, path.c_str());
  }
  stop_fetch(t);
  CloudFetch& f = t->fetch;
  f.key = it->path;
  f.url = it->url;
  f.name = it->name;
  f.path = path;
  f.chop = chop;
  f.rc = 0;
  f.message[0] = 0;
  f.done.store(0);
  f.cancel.store(0);
  CloudRoute route;
  {
    std::lock_guard<std::mutex> lk(h.cloud->lock);
    route = h.cloud->route;
  }
  try {
    f.thread = std::thread([&f, route] {
      thread_set_own_name(kFetchThreadName);
      f.rc = cloud_download(route, f.url.c_str(), f.name.c_str(), f.path.c_str(), &f.cancel, f.message, sizeof f.message);
      f.done.store(1, std::memory_order_release);
    });
  } catch (const std::exception& e) {
    log_line("files: couldn't start the download (%s)", e.what());
    return act(kFilesTaken);
  }
  f.running = true;
  log_line("files: fetching %s", it->name.c_str());
  return act(kFilesTaken);
}

void collect_fetch(FilesTab* t, const FilesHost& h) {
  CloudFetch& f = t->fetch;
  if (!f.running || !f.done.load(std::memory_order_acquire)) return;
  f.thread.join();
  f.running = false;
  if (f.rc != 0) {
    log_line("files: couldn't fetch %s (%s)", f.name.c_str(), f.message);
    status_flash(f.message);
    return;
  }
  use_fetched(h, f.path, f.name, f.chop);
}

void dwell_play(FilesTab* t, Player* p, uint32_t now_ms) {
  const int row = files_tree_selected_row(&t->tree);
  const TreeRow* r = row >= 0 ? &t->tree.rows[size_t(row)] : nullptr;
  if (t->list.source != kSourceBrowse || !p || !r || r->is_dir || !is_audio_file(r->path.c_str()) ||
      player_holds(p, r->path)) {
    t->dwell_path.clear();
    return;
  }
  if (t->dwell_path != r->path) {
    t->dwell_path = r->path;
    t->dwell_since_ms = now_ms;
    return;
  }
  if (uint32_t(now_ms - t->dwell_since_ms) >= kTreeDwellMs) {
    player_play_item(p, r->path.c_str(), r->name.c_str());
    t->dwell_path.clear();
  }
}

void ask_info(FilesTab* t, Player* p) {
  if (!p || t->list.source == kSourceBrowse || t->list.visible.empty()) return;
  const int view = std::max(t->list_view_px, kFilesRowHeight);
  const int first = std::max(0, int(t->list_scroll_px) / kFilesRowHeight);
  const int last = std::min(int(t->list.visible.size()), first + view / kFilesRowHeight + 2);
  int asked = 0;
  for (int r = first; r < last && asked < kInfoRequestsPerFrame; ++r) {
    FilesItem& it = t->list.items[size_t(t->list.visible[size_t(r)])];
    if (it.cloud || it.info != kInfoNone) continue;
    const int rc = loader_request(p, kLoadInfo, it.path.c_str(), nullptr, false);
    if (rc == kLoaderFull) return;  // asked again on a later frame
    it.info = rc == kLoaderQueued ? kInfoAsked : kInfoFailed;  // refused (a path too long): no length to show
    ++asked;
  }
}

void take_cloud(FilesTab* t, CloudClient* c) {
  if (!c) return;
  std::vector<CloudEntry> entries;
  if (!cloud_take_entries(c, &t->seen_cloud, &entries)) return;
  std::vector<CloudItem> items;
  items.reserve(entries.size());
  for (const CloudEntry& e : entries) {
    CloudItem ci;
    ci.key = std::string("cloud:") + (e.shared ? "shared/" : "private/") + e.zone + "/" + e.record_name;
    ci.name = e.display_name;
    ci.url = e.download_url;
    ci.size_bytes = e.size_bytes;
    ci.mtime_s = e.modified_ms / 1000;
    items.push_back(std::move(ci));
  }
  files_list_set_cloud(&t->list, items);
}

void keep_state(FilesTab* t, Settings* s) {
  if (!s) return;
  char state[kFilesStateBytes];
  files_tree_state(&t->tree, state, sizeof state);
  if (strcmp(state, s->files_state) != 0) text_copy(s->files_state, sizeof s->files_state, state);
}

void scroll_into_view(FilesTab* t) {
  const int row = files_list_selected_row(&t->list);
  if (row < 0) return;
  const float top = float(row * kFilesRowHeight);
  const float view = float(std::max(t->list_view_px, kFilesRowHeight));
  if (top < t->list_scroll_px) t->list_scroll_px = top;
  else if (top + kFilesRowHeight > t->list_scroll_px + view) t->list_scroll_px = top + kFilesRowHeight - view;
}

void move_selection(FilesTab* t, int delta) {
  const int n = int(t->list.visible.size());
  if (n == 0) return;
  const int at = files_list_selected_row(&t->list);
  const int to = at < 0 ? (delta > 0 ? 0 : n - 1) : std::clamp(at + delta, 0, n - 1);
  t->list.selected = t->list.items[size_t(t->list.visible[size_t(to)])].path;
  scroll_into_view(t);
}

FilesAction open_item(FilesTab* t, const FilesHost& h, const FilesItem* it) {
  if (!it) return act(kFilesTaken);
  if (it->cloud) return fetch_cloud(t, h, it, true);
  if (!h.chop) return act(kFilesOpenForChop, it->path.c_str());
  return act(open_for_chop(h.chop, h.settings, it->path.c_str()) == 0 ? kFilesOpenedForChop : kFilesTaken,
             it->path.c_str());
}

FilesAction delete_selected(FilesTab* t, const FilesHost& h) {
  const FilesItem* it = selected_item(t);
  if (!it || it->cloud) return act(kFilesTaken);
  if (t->armed != it->path) {
    t->armed = it->path;
    return act(kFilesTaken);
  }
  const std::string path = it->path;
  t->armed.clear();
  TrashResult r;
  const int rc = trash_file(path.c_str(), &r);
  if (rc != kTrashOk) {
    log_line("files: couldn't move %s to the trash (%d, %s)", path.c_str(), rc, strerror(r.error));
    status_flash(kDeleteFailedText);
    return act(kFilesDeleteFailed, path.c_str());
  }
  log_line("files: moved %s to the trash", path.c_str());
  if (player_holds(h.player, path) && player_is_playing(h.player)) player_stop(h.player);
  files_list_remove(&t->list, path.c_str());
  return act(kFilesDeleted, path.c_str());
}

// The tree's target for F: the selected folder, or the root.
std::string favourite_target(const FilesTab* t) {
  const int row = files_tree_selected_row(&t->tree);
  if (row >= 0 && t->tree.rows[size_t(row)].is_dir) return t->tree.rows[size_t(row)].path;
  return t->tree.root;
}

FilesAction tree_key(FilesTab* t, const FilesHost& h, int key, int mods) {
  Player* p = h.player;
  switch (key) {
    case kFilesKeySpace: {
      const int row = files_tree_selected_row(&t->tree);
      const TreeRow* r = row >= 0 ? &t->tree.rows[size_t(row)] : nullptr;
      if (p && r && !r->is_dir && is_audio_file(r->path.c_str()) && !player_holds(p, r->path)) {
        player_play_item(p, r->path.c_str(), r->name.c_str());
        return act(kFilesPlayed);
      }
      if (p) player_toggle(p);
      return act(kFilesPlayed);
    }
    case kFilesKeyB: t->show_favourites = !t->show_favourites; return act(kFilesTaken);
    case kFilesKeyF: favourite_toggle(&t->store, favourite_target(t).c_str()); return act(kFilesTaken);
    case kFilesKeyI:
      if (p) player_loop_in(p, (mods & (kFilesModShift | kFilesModCtrl)) != 0);
      return act(kFilesTaken);
    case kFilesKeyO:
      if (p) player_loop_out(p, (mods & (kFilesModShift | kFilesModCtrl)) != 0);
      return act(kFilesTaken);
    case kFilesKeyUp: files_tree_step(&t->tree, -1); return act(kFilesTaken);
    case kFilesKeyDown: files_tree_step(&t->tree, 1); return act(kFilesTaken);
    case kFilesKeyLeft: files_tree_left(&t->tree); return act(kFilesTaken);
    case kFilesKeyRight: files_tree_right(&t->tree); return act(kFilesTaken);
    case kFilesKeyEnter:
    case kFilesKeyKeypadEnter: return files_tree_activate(t, h, files_tree_selected_row(&t->tree));
    default: break;
  }
  if (key >= kFilesKey0 && key <= kFilesKey0 + 9) {
    tag_set(&t->store, files_tree_target(&t->tree).c_str(), key - kFilesKey0);
    return act(kFilesTaken);
  }
  return act(kFilesNotTaken);
}

FilesAction list_key(FilesTab* t, const FilesHost& h, int key) {
  switch (key) {
    case kFilesKeyEnter:
    case kFilesKeyKeypadEnter: return open_item(t, h, selected_item(t));
    case kFilesKeySpace: {
      const FilesItem* it = selected_item(t);
      if (it && it->cloud) return fetch_cloud(t, h, it, false);
      if (!it || !h.player) return act(kFilesTaken);
      return act(player_play_item(h.player, it->path.c_str(), it->name.c_str()) ? kFilesPlayed : kFilesTaken);
    }
    case kFilesKeyDelete: return delete_selected(t, h);
    case kFilesKeyEscape:
      if (t->armed.empty()) return act(kFilesNotTaken);
      t->armed.clear();
      return act(kFilesTaken);
    case kFilesKeyUp: move_selection(t, -1); return act(kFilesTaken);
    case kFilesKeyDown: move_selection(t, 1); return act(kFilesTaken);
    default: break;
  }
  if (key >= kFilesKey0 && key <= kFilesKey0 + 9) {
    const FilesItem* it = selected_item(t);
    if (it && !it->cloud) tag_set(&t->store, it->path.c_str(), key - kFilesKey0);
    return act(kFilesTaken);
  }
  return act(kFilesNotTaken);
}

void append_printable(FilesTab* t, const char* text) {
  size_t n = strlen(t->list.filter);
  char next[kFilterChars + 1];
  text_copy(next, t->list.filter);
  for (const unsigned char* s = reinterpret_cast<const unsigned char*>(text); *s && n < size_t(kFilterChars); ++s) {
    if (*s < 0x20 || *s == 0x7F) continue;
    // A multi-byte character goes in whole or not at all.
    size_t len = *s < 0x80 ? 1 : (*s >> 5) == 6 ? 2 : (*s >> 4) == 14 ? 3 : (*s >> 3) == 30 ? 4 : 0;
    if (len == 0) continue;
    bool whole = true;
    for (size_t i = 1; i < len; ++i) whole = whole && (s[i] & 0xC0) == 0x80;
    if (!whole) continue;
    if (n + len > size_t(kFilterChars)) break;
    memcpy(next + n, s, len);
    n += len;
    next[n] = 0;
    s += len - 1;
  }
  if (files_list_set_filter(&t->list, next)) t->list_scroll_px = 0;
}

void backspace_filter(FilesTab* t) {
  char next[kFilterChars + 1];
  text_copy(next, t->list.filter);
  size_t n = strlen(next);
  if (n == 0) return;
  do --n;
  while (n > 0 && (static_cast<unsigned char>(next[n]) & 0xC0) == 0x80);
  next[n] = 0;
  if (files_list_set_filter(&t->list, next)) t->list_scroll_px = 0;
}

bool spawn_ondel(const FilesTab* t, const std::string& path, bool is_dir) {
  char ondel[kPathCap];
  if (!files_ondel_path(t, ondel, sizeof ondel)) return false;
  int rc;
  if (is_dir) {
    const char* const argv[] = {ondel, "--root", path.c_str(), nullptr};
    rc = spawn_detached(argv);
  } else {
    std::string root = path.substr(0, path.rfind('/'));
    if (root.empty()) root = "/";
    const char* const argv[] = {ondel, "--root", root.c_str(), "--select", path.c_str(), nullptr};
    rc = spawn_detached(argv);
  }
  if (rc != kProcessOk) log_line("files: ondel didn't start (%d)", rc);
  return rc == kProcessOk;
}

}  // namespace

FilesTab::~FilesTab() {
  release_preview(&preview);
  stop_scan(this);
  stop_fetch(this);
}

// ---- Life ----

void files_open(FilesTab* t, const FilesHost& h, const char* store_folder, const char* marks_path) {
  shared_store_open(&t->store, store_folder);
  marks_open(&t->marks, marks_path);
  if (Player* p = h.player) {
    for (const Mark& m : t->marks.marks) player_set_region(p, m.path.c_str(), m.start, m.end);
    t->seen_regions = p->regions_serial;
    p->info_sink = PlayerInfoSink{info_arrived, t};
  }
  files_tree_load_state(&t->tree, h.settings ? h.settings->files_state : "");
  files_list_rebuild(&t->list);
  t->open = true;
}

void files_close(FilesTab* t, const FilesHost& h) {
  release_preview(&t->preview);
  stop_scan(t);
  stop_fetch(t);
  if (h.player && h.player->info_sink.ctx == t) h.player->info_sink = PlayerInfoSink{};
  t->open = false;
}

// ---- Each frame ----

void files_update(FilesTab* t, const FilesHost& h, const FilesFrame& f) {
  Player* p = h.player;
  if (f.list_px > 0) t->list_view_px = f.list_px;
  shared_store_poll(&t->store, f.now_ms);
  collect_scan(t);
  collect_fetch(t, h);
  sync_marks(t, p, f.active);
  update_grid(t, p);
  bar_follow(t, p);
  if (f.active) {
    run_preview(t, f.now_ms);
    dwell_play(t, p, f.now_ms);
    ask_info(t, p);
  }
  take_cloud(t, h.cloud);
  keep_state(t, h.settings);
}

// ---- Keys and text ----

FilesAction files_key(FilesTab* t, const FilesHost& h, int key, int mods, uint32_t now_ms) {
  if (t->filter_editing) {
    if (key == kFilesKeyEnter || key == kFilesKeyKeypadEnter || key == kFilesKeyEscape) t->filter_editing = false;
    else if (key == kFilesKeyBackspace) backspace_filter(t);
    return act(kFilesTaken);  // typed letters arrive through files_text
  }
  if (t->list.source == kSourceBrowse) return tree_key(t, h, key, mods);
  (void)now_ms;
  return list_key(t, h, key);
}

bool files_text(FilesTab* t, const char* utf8) {
  if (!t->filter_editing || !utf8) return false;
  append_printable(t, utf8);
  return true;
}

bool files_paste(FilesTab* t, const FilesHost& h, const char* text) {
  if (!text) return false;
  if (t->filter_editing) {
    append_printable(t, text);
    return true;
  }
  if (t->list.source == kSourceCloud && h.cloud) {
    CloudView v;
    cloud_view(h.cloud, &v);
    if (v.signed_in || v.busy) return false;  // a refused token can be replaced, a working one not
    char token[kApiTokenBytes];
    const char* s = text;
    while (*s == ' ' || *s == '\t' || *s == '\r' || *s == '\n') ++s;
    size_t n = strlen(s);
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r' || s[n - 1] == '\n')) --n;
    if (n == 0 || n >= sizeof token) return false;
    memcpy(token, s, n);
    token[n] = 0;
    if (!cloud_set_api_token(h.cloud, token)) return false;
    cloud_sign_in(h.cloud);
    return true;
  }
  return false;
}

// ---- Pointer ----

void files_click_source(FilesTab* t, int source) {
  if (files_list_set_source(&t->list, source)) {
    t->list_scroll_px = 0;
    t->armed.clear();
  }
}

void files_click_filter(FilesTab* t) { t->filter_editing = true; }

void files_select_row(FilesTab* t, int row) {
  if (row < 0 || row >= int(t->list.visible.size())) return;
  t->list.selected = t->list.items[size_t(t->list.visible[size_t(row)])].path;
  ++t->list.serial;
}

void files_list_wheel(FilesTab* t, float notches) {
  const float most = std::max(0.0f, float(t->list.visible.size()) * kFilesRowHeight - float(t->list_view_px));
  t->list_scroll_px = std::clamp(t->list_scroll_px - notches * kFilesRowHeight, 0.0f, most);
}

int files_add_paths(FilesTab* t, const FilesHost& h, const char* const* paths, int count) {
  int added = 0;
  for (int i = 0; i < count; ++i) {
    if (!paths[i]) continue;
    if (is_dir(paths[i])) t->scan_queue.emplace_back(paths[i]);
    else if (files_list_add_file(&t->list, paths[i])) ++added;
  }
  start_scan(t);
  if (added > 0) {
    files_list_sort(&t->list);
    files_list_rebuild(&t->list);
    log_line("files: %d file%s added", added, added == 1 ? "" : "s");
  }
  (void)h;
  return added;
}

void files_tree_click(FilesTab* t, int row, uint32_t now_ms) {
  if (row < 0 || row >= int(t->tree.rows.size())) return;
  if (files_tree_selected_row(&t->tree) == row && t->tree.rows[size_t(row)].is_dir) files_tree_toggle(&t->tree, row);
  else files_tree_select(&t->tree, row);
  (void)now_ms;
}

FilesAction files_tree_activate(FilesTab* t, const FilesHost& h, int row) {
  if (row < 0 || row >= int(t->tree.rows.size())) return act(kFilesTaken);
  files_tree_select(&t->tree, row);
  const TreeRow r = t->tree.rows[size_t(row)];
  if (r.is_dir) {
    files_tree_toggle(&t->tree, row);
    return act(kFilesTaken);
  }
  if (is_audio_file(r.path.c_str())) {
    if (h.player) player_play_item(h.player, r.path.c_str(), r.name.c_str());
    return act(kFilesPlayed);
  }
  return act(kFilesOpenFile, r.path.c_str());
}

void files_favourite_click(FilesTab* t, const FilesHost& h, int index) {
  if (const char* path = favourite_at(&t->store, index)) files_tree_set_root(&t->tree, path);
  keep_state(t, h.settings);
}

void files_menu_favourite(FilesTab* t, int index, FilesMenu* out) {
  *out = FilesMenu{};
  const char* path = favourite_at(&t->store, index);
  if (!path) return;
  out->path = path;
  out->is_dir = true;
  out->favourite = true;
  out->row = -1;
  char ondel[kPathCap];
  const bool has_ondel = files_ondel_path(t, ondel, sizeof ondel);
  out->items[out->count++] = FilesMenuItem{kFilesMenuOpen, "OPEN", true};
  out->items[out->count++] = FilesMenuItem{kFilesMenuShowInOndel, "SHOW IN ONDEL", has_ondel};
  out->items[out->count++] = FilesMenuItem{kFilesMenuUnfavorite, "UNFAVORITE", true};
}

void files_menu_tree(FilesTab* t, int row, FilesMenu* out) {
  *out = FilesMenu{};
  const bool root = row < 0 || row >= int(t->tree.rows.size());
  out->row = root ? -1 : row;
  out->path = root ? t->tree.root : t->tree.rows[size_t(row)].path;
  out->is_dir = root || t->tree.rows[size_t(row)].is_dir;
  if (!root) files_tree_select(&t->tree, row);
  char ondel[kPathCap];
  const bool has_ondel = files_ondel_path(t, ondel, sizeof ondel);
  out->items[out->count++] = FilesMenuItem{kFilesMenuOpen, "OPEN", true};
  if (out->is_dir) {
    const bool fav = favourite_index(&t->store, out->path.c_str()) >= 0;
    out->items[out->count++] = FilesMenuItem{fav ? kFilesMenuUnfavorite : kFilesMenuFavorite, fav ? "UNFAVORITE" : "FAVORITE", true};
    out->items[out->count++] = FilesMenuItem{kFilesMenuMakeRoot, "MAKE ROOT", !root};
  }
  out->items[out->count++] = FilesMenuItem{kFilesMenuShowInOndel, "SHOW IN ONDEL", has_ondel};
  out->items[out->count++] = FilesMenuItem{kFilesMenuShowInFiles, "SHOW IN FILES", true};
}

FilesAction files_menu_choose(FilesTab* t, const FilesHost& h, const FilesMenu& menu, int id) {
  const FilesMenuItem* item = nullptr;
  for (int i = 0; i < menu.count; ++i)
    if (menu.items[i].id == id) item = &menu.items[i];
  if (!item || !item->enabled) return act(kFilesTaken);
  switch (id) {
    case kFilesMenuOpen:
      if (menu.favourite) {
        files_tree_set_root(&t->tree, menu.path.c_str());
        keep_state(t, h.settings);
        return act(kFilesTaken);
      }
      if (menu.row < 0) return act(kFilesOpenFile, menu.path.c_str());
      for (size_t r = 0; r < t->tree.rows.size(); ++r)
        if (t->tree.rows[r].path == menu.path) return files_tree_activate(t, h, int(r));
      return act(kFilesTaken);
    case kFilesMenuFavorite:
    case kFilesMenuUnfavorite: favourite_toggle(&t->store, menu.path.c_str()); return act(kFilesTaken);
    case kFilesMenuMakeRoot:
      files_tree_set_root(&t->tree, menu.path.c_str());
      keep_state(t, h.settings);
      return act(kFilesTaken);
    case kFilesMenuShowInOndel:
      if (!spawn_ondel(t, menu.path, menu.is_dir)) status_flash(kOndelFailedText);
      return act(kFilesTaken);
    case kFilesMenuShowInFiles: return act(kFilesShowItem, menu.path.c_str());
    default: return act(kFilesTaken);
  }
}

// ---- Loop panel ----

void files_loop_button(FilesTab* t, const FilesHost& h) {
  Player* p = h.player;
  LoopPanel& l = t->loop;
  if (!p || !l.has_grid) return;
  if (l.block_repeat) {
    l.block_repeat = false;
    playback_set_repeat(&p->engine, false);
    return;
  }
  const int k = bar_block_at(l.grid, playhead_seconds(p) + kBarFollowLeadS);
  double start = 0, end = 1;
  if (k < 0 || !block_fractions(l, k, &start, &end)) return;
  p->loop = false;  // the pane's own toggle hands repeat to the block
  l.block_repeat = true;
  l.following = true;
  playback_set_region(&p->engine, start, end, true);
  playback_set_repeat(&p->engine, true);
}

void files_loop_bars(FilesTab* t, int bars) {
  for (int choice : kLoopBarChoices)
    if (bars == choice) {
      t->loop.bars_per_loop = bars;
      t->loop.scroll_px = 0.0f;
    }
}

void files_loop_shift(FilesTab* t, const FilesHost& h, int beats) {
  Player* p = h.player;
  if (!p || !p->current_path[0] || beats == 0) return;
  bar_shift_set(&t->marks, p->current_path, bar_shift_of(&t->marks, p->current_path) + beats);
  update_grid(t, p);
}

void files_loop_tempo(FilesTab* t, bool on) { t->loop.tempo_on = on; }

void files_loop_to_input(FilesTab* t) { t->loop.to_input = !t->loop.to_input; }

void files_loop_wheel(FilesTab* t, float notches, float block_px) {
  const float most = t->loop.has_grid ? std::max(0.0f, float(t->loop.grid.loop_count - 1) * block_px) : 0.0f;
  t->loop.scroll_px = std::clamp(t->loop.scroll_px - notches * block_px, 0.0f, most);
}

void files_loop_press(FilesTab* t, int block, float x, float y) {
  if (!t->loop.has_grid || block < 0 || block >= t->loop.grid.loop_count) return;
  t->loop.pressed = block;
  t->loop.press_x = x;
  t->loop.press_y = y;
  t->loop.dragging = false;
}

FilesAction files_loop_move(FilesTab* t, const FilesHost& h, float x, float y, bool outside_window, uint32_t now_ms) {
  LoopPanel& l = t->loop;
  if (l.pressed < 0) return act(kFilesNotTaken);
  if (std::fabs(x - l.press_x) + std::fabs(y - l.press_y) > kDragStartPx) l.dragging = true;
  if (!l.dragging || !outside_window) return act(kFilesTaken);
  const int k = l.pressed;
  l.pressed = -1;
  char path[kFilesActionBytes];
  const int rc = files_save_block(t, h, k, path, sizeof path);
  if (rc != kLoopSaved) {
    loop_say(t, loop_save_message(rc), now_ms);
    return act(kFilesTaken);
  }
  log_line("files: saved the loop %s", path);
  return act(kFilesDragOut, path);
}

void files_loop_release(FilesTab* t, const FilesHost& h) {
  LoopPanel& l = t->loop;
  const int k = l.pressed;
  const bool click = k >= 0 && !l.dragging;
  l.pressed = -1;
  l.dragging = false;
  Player* p = h.player;
  double start = 0, end = 1;
  if (!click || !p || !player_has_audio(p) || !block_fractions(l, k, &start, &end)) return;
  if (l.block_repeat) playback_set_region(&p->engine, start, end, true);
  const double duration = player_seconds(p);
  player_seek(p, duration > 0 ? start + kBlockSeekS / duration : start);
  if (!player_is_playing(p)) player_toggle(p);
}

void files_drag_finished(FilesTab* t, int result, uint32_t now_ms) {
  if (result < 0) loop_say(t, kCantDragText, now_ms);
  else if (result == 2) loop_say(t, kClipboardText, now_ms);
  else loop_say(t, kSavedText, now_ms);
}

int files_save_block(FilesTab* t, const FilesHost& h, int k, char* path, size_t cap) {
  if (cap) path[0] = 0;
  Player* p = h.player;
  char folder[kPathCap];
  if (t->loops_folder[0]) {
    text_copy(folder, t->loops_folder);
    make_dirs(folder);
    if (!is_dir(folder)) return kLoopNoFolder;
  } else if (!loops_folder(folder, sizeof folder)) {
    return kLoopNoFolder;
  }
  if (!p || !t->loop.has_grid || t->loop.grid_path != p->current_path) return kLoopCantWrite;
  const AudioBuffer* b = playback_buffer(&p->engine);
  if (!b) return kLoopCantWrite;
  AudioBuffer whole = *b;
  whole.frames = playback_ready_frames(&p->engine);  // never past what is read
  return save_loop(whole, t->loop.grid, k, p->gain, path_name(p->current_path), folder, path, cap);
}

// ---- What the views show ----

void files_source_text(const FilesTab* t, int source, char* out, size_t cap) {
  text_format(out, cap, "%s %d", source_label(source), source == kSourceBrowse ? 0 : files_list_count(&t->list, source));
}

bool files_row(const FilesTab* t, const FilesHost& h, int row, int64_t now_s, FilesRow* out) {
  *out = FilesRow{};
  if (row < 0 || row >= int(t->list.visible.size())) return false;
  const FilesItem& it = t->list.items[size_t(t->list.visible[size_t(row)])];
  out->item = &it;
  format_size(it.size_bytes, out->size, sizeof out->size);
  if (it.info == kInfoReady) format_duration(it.seconds, out->length, sizeof out->length);
  format_age(now_s - it.mtime_s, out->age, sizeof out->age);
  out->tag = it.cloud ? 0 : tag_of(&t->store, it.path.c_str());
  out->armed = !t->armed.empty() && t->armed == it.path;
  out->fetching = t->fetch.running && t->fetch.key == it.path;
  out->selected = t->list.selected == it.path;
  out->playing = player_holds(h.player, it.path) && player_is_playing(h.player);
  return true;
}

const BarGrid* files_grid(const FilesTab* t) { return t->loop.has_grid ? &t->loop.grid : nullptr; }

void files_loop_text(const FilesTab* t, const FilesHost& h, char* out, size_t cap) {
  const Player* p = h.player;
  if (!p) {
    text_copy(out, cap, "NOTHING PLAYING");
    return;
  }
  tempo_loop_text(&p->tempo, player_has_audio(p), t->loop.has_grid, out, cap);
}

const char* files_loop_message(const FilesTab* t, uint32_t now_ms) {
  if (!t->loop.message[0] || int32_t(t->loop.message_until_ms - now_ms) <= 0) return nullptr;
  return t->loop.message;
}

int files_current_block(const FilesTab* t, const FilesHost& h) {
  if (!t->loop.has_grid || !h.player) return -1;
  return bar_block_at(t->loop.grid, playhead_seconds(h.player));
}

const FilesPreview* files_preview(const FilesTab* t, uint32_t now_ms, float* alpha) {
  const FilesPreview& v = t->preview;
  if (v.path.empty() || (!v.scan && v.progress <= 0.0f)) return nullptr;
  if (alpha) *alpha = std::min(1.0f, float(uint32_t(now_ms - v.started_ms)) / float(kPreviewFadeMs));
  return &v;
}

bool files_empty(const FilesTab* t, const FilesHost& h, const char** title, const char** line) {
  int cloud_state = -1;
  if (h.cloud) {
    CloudView v;
    cloud_view(h.cloud, &v);
    cloud_state = !v.available ? 0 : v.signed_in ? 2 : 1;
  }
  return files_empty_text(&t->list, cloud_state, title, line);
}

bool files_cloud_status(const FilesTab* t, const FilesHost& h, char* status, size_t status_cap, char* progress,
                        size_t progress_cap, float* fraction) {
  (void)t;
  if (!h.cloud) return false;
  CloudView v;
  cloud_view(h.cloud, &v);
  text_copy(status, status_cap, v.status);
  text_copy(progress, progress_cap, v.busy ? v.progress : "");
  if (fraction) *fraction = v.progress_fraction;
  return true;
}

const char* files_cloud_button_label(const FilesHost& h) {
  if (!h.cloud) return nullptr;
  CloudView v;
  cloud_view(h.cloud, &v);
  if (v.signed_in) return "SIGN OUT";
  if (v.busy) return "CANCEL";
  return v.available ? "SIGN IN" : nullptr;
}

void files_cloud_button(FilesTab* t, const FilesHost& h) {
  (void)t;
  if (!h.cloud) return;
  CloudView v;
  cloud_view(h.cloud, &v);
  if (v.signed_in || v.busy) cloud_sign_out(h.cloud);
  else if (v.available) cloud_sign_in(h.cloud);
}

void files_cloud_chosen(FilesTab* t, const FilesHost& h) {
  if (!h.cloud || t->list.source != kSourceCloud) return;
  CloudView v;
  cloud_view(h.cloud, &v);
  if (v.signed_in && !v.busy) cloud_refresh(h.cloud);
}

bool files_ondel_path(const FilesTab* t, char* out, size_t cap) {
  char dir[kPathCap];
  if (t->ondel_folder[0]) text_copy(dir, t->ondel_folder);
  else if (!program_dir(dir, sizeof dir)) return false;
  static const char* const kPlaces[] = {"%s/ondel", "%s/../../Release/ondel"};
  for (const char* place : kPlaces) {
    if (text_format(out, cap, place, dir) + 1 >= cap) continue;
    if (is_file(out) && access(out, X_OK) == 0) return true;
  }
  if (cap) out[0] = 0;
  return false;
}
