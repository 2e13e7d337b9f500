// Session folders and their index: the write folder, opening a session when the recorder is
// armed, session.json, ending (sealing or removing) a session, continuing one and the first-run
// example session. Main thread only.
#include "sessions/session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config/log.h"
#include "config/settings.h"
#include "config/status.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "sessions/library_scan.h"
#include "sessions/session_util.h"

namespace {

constexpr size_t kIndexHeadBytes = 256;
// One take line: a name escaped at worst six bytes a byte, three numbers and the keys.
constexpr size_t kIndexEntryBytes = 6 * kTakeNameBytes + 160;
static_assert(kTakeNameBytes == kTakeFileNameBytes, "a listed take file's name must fit the session's list");
constexpr size_t kSeedMaxBytes = size_t(1) << 30;

// Adopts root and root/tolm when the latter is (or becomes) a folder. A chosen root must exist
// already (an unplugged drive must not turn into a folder on the system disk); the user's music
// folder may be created, as a fresh account may not have one yet.
int adopt_write_folder(Recorder* r, const char* root_in, bool create_root) {
  char root[kPathCap], wf[kPathCap];
  text_copy(root, root_in ? root_in : "");
  size_t n = strlen(root);
  while (n > 1 && root[n - 1] == '/') root[--n] = 0;
  if (!root[0] || !path_join(wf, root, "tolm")) {
    log_line("write folder unusable: %s/tolm", root);
    return -1;
  }
  if (create_root) make_dirs(wf);
  else make_dir(wf);
  if (!is_dir(wf)) {
    log_line("write folder unusable: %s", wf);
    return -1;
  }
  text_copy(r->library.root, root);
  text_copy(r->library.write_folder, wf);
  log_line("write folder: %s", wf);
  scan_library(r);
  return 0;
}

void close_session(Recorder* r) {
  r->session.folder[0] = 0;
  r->session.count = 0;
  r->session.dir_sync_pending = 0;
}

// A file name as a JSON string's body: quote, backslash and control characters escaped.
void json_escape(const char* in, char* out, size_t cap) {
  size_t n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(in); *p && n + 7 < cap; ++p) {
    if (*p == '"' || *p == '\\') {
      out[n++] = '\\';
      out[n++] = char(*p);
    } else if (*p < 0x20) {
      n += size_t(snprintf(out + n, cap - n, "\\u%04x", unsigned(*p)));
    } else {
      out[n++] = char(*p);
    }
  }
  out[n] = 0;
}

// Takes of the session that have a file (an empty take is counted as done without one).
int files_in_session(const Session& s) {
  int n = 0;
  for (int i = 0; i < s.count; ++i)
    if (s.names[i][0]) ++n;
  return n;
}

int effective_bit_depth(const CaptureEngine* e) {
  return e && e->bit_depth.load(std::memory_order_relaxed) == 24 ? 24 : 16;
}

// Frames on the tape after the last listed take belong to a take that never sealed (the device
// stopped delivering mid-take) or, with no take listed, to the whole tape. They become one more
// take unless a clear is pending, the list is full or any of them was given back already.
void take_unsealed_tail(Recorder* r) {
  CaptureEngine* e = r->engine;
  TakeList& list = r->takes;
  const int64_t head = e->write_head.load(std::memory_order_acquire);
  const int n = list.take_count;
  const int64_t tail = n > 0 ? list.takes[n - 1].end : 0;
  if (n >= kMaxTakes || head <= tail || e->reset_request.load(std::memory_order_acquire)) return;
  if (e->tape.released_frontier.load(std::memory_order_acquire) > tail ||
      e->tape.release_point.load(std::memory_order_acquire) > tail)
    return;
  const int64_t now = recorder_now(r);
  const double rate = e->sample_rate > 0 ? e->sample_rate : 48000.0;
  const int64_t started = n == 0 ? now : now - int64_t(double(head - tail) / rate);
  list.takes[list.take_count++] = TakeEntry{tail, head, started};
}

// The folder path as the foot shows it: below the last "/tolm/" when there is one.
const char* shown_folder(const char* folder) {
  const char* shown = folder;
  for (const char* p = strstr(folder, "/tolm/"); p; p = strstr(p + 1, "/tolm/")) shown = p + 6;
  return shown;
}

int copy_file_new(const char* from, const char* to) {
  char* data = nullptr;
  size_t bytes = 0;
  if (path_exists(to) || read_file_whole(from, &data, &bytes, kSeedMaxBytes) != 0) return -1;
  FileWriter f;
  bool ok = file_create(&f, to) == 0;
  ok = ok && file_write(&f, data, bytes) == 0 && file_sync(&f) == 0;
  ok = file_close(&f) == 0 && ok;
  free_file_data(data);
  if (!ok) remove_file(to);
  return ok ? 0 : -1;
}

}  // namespace

void init_library(Recorder* r, const char* library_dir) {
  memset(&r->library, 0, sizeof r->library);
  if (library_dir && library_dir[0] && adopt_write_folder(r, library_dir, false) == 0) return;
  char music[kPathCap];
  if (!settings_beside_program() && music_dir(music, sizeof music) && adopt_write_folder(r, music, true) == 0) return;
  char program[kPathCap];
  if (!program_dir(program, sizeof program)) text_copy(program, ".");
  text_copy(r->library.root, program);
  if (!path_join(r->library.write_folder, program, "tolm")) text_copy(r->library.write_folder, program);
  make_dir(r->library.write_folder);
  scan_library(r);
}

int set_write_folder(Recorder* r, const char* root) { return adopt_write_folder(r, root, false); }

int open_session_folder(Recorder* r, int64_t seconds) {
  Session& s = r->session;
  char folder[kPathCap];
  if (!r->library.write_folder[0] || make_session_folder(r->library.write_folder, seconds, folder, sizeof folder) != 0) {
    if (!r->library.write_folder[0]) text_copy(folder, "(no write folder)");
    log_line("session open FAILED: %s", folder);
    close_session(r);
    return -1;
  }
  text_copy(s.folder, folder);
  s.count = 0;
  relative_session_name(r->library.write_folder, s.folder, s.relative, sizeof s.relative);
  log_line("session -> %s", s.folder);
  return 0;
}

int write_session_index(Recorder* r) {
  const Session& s = r->session;
  if (!s.folder[0]) return -1;
  char path[kPathCap + 16];
  if (!path_join(path, s.folder, "session.json")) return -1;
  const CaptureEngine* e = r->engine;
  const double rate = e ? e->sample_rate : 0.0;
  const int listed = std::min(s.count, r->takes.take_count);
  const size_t cap = kIndexHeadBytes + size_t(std::max(listed, 0)) * kIndexEntryBytes;
  char* text = static_cast<char*>(malloc(cap));
  if (!text) return -1;
  size_t n = text_format(text, cap,
                         "{\n  \"app\": \"tolm\",\n  \"platform\": \"linux\",\n  \"sample_rate\": %.0f,\n"
                         "  \"bit_depth\": %d,\n  \"takes\": [",
                         rate, effective_bit_depth(e));
  bool first = true;
  for (int i = 0; i < listed; ++i) {
    if (!s.names[i][0]) continue;  // an empty take has no file
    const TakeEntry& t = r->takes.takes[i];
    char name[6 * kTakeNameBytes];
    json_escape(s.names[i], name, sizeof name);
    n += text_format(text + n, cap - n, "%s\n    { \"file\": \"%s\", \"start\": %lld, \"end\": %lld, \"seconds\": %.3f }",
                     first ? "" : ",", name, (long long)t.start, (long long)t.end,
                     rate > 0 ? double(t.end - t.start) / rate : 0.0);
    first = false;
  }
  n += text_format(text + n, cap - n, "\n  ]\n}\n");
  const int result = replace_file_whole(path, text, n);
  free(text);
  return result;
}

int arm_session(Recorder* r) {
  CaptureEngine* e = r->engine;
  if (e) e->play_tape.store(0, std::memory_order_relaxed);
  if (r->hooks.stop_playback.fn) r->hooks.stop_playback.fn(r->hooks.stop_playback.ctx);
  int result = 0;
  if (!r->session.folder[0]) {
    if (open_session_folder(r, recorder_now(r)) != 0) {
      status_flash("COULDN'T CREATE THE SESSION FOLDER - HOLDING IN RAM");
      result = -1;
    } else {
      write_session_index(r);
    }
  }
  relative_session_name(r->library.write_folder, r->session.folder, r->session.relative, sizeof r->session.relative);
  scan_library(r);
  if (e) e->armed.store(1, std::memory_order_release);
  // The folder warning stays in view; replacing it at once would hide it behind a good word.
  if (result == 0) status_message("LISTENING - SOUND OPENS THE GATE");
  else log_line("LISTENING - SOUND OPENS THE GATE");
  return result;
}

int end_session(Recorder* r) {
  CaptureEngine* e = r->engine;
  r->gate_held = 0;
  r->gate_latched = 0;
  if (e) {
    e->armed.store(0, std::memory_order_release);
    e->gate_forced.store(0, std::memory_order_release);
    for (int i = 0; i < kEndWaitPolls && e->recording.load(std::memory_order_acquire); ++i)
      recorder_sleep(r, kEndWaitPollMs);
    recorder_sleep(r, kEndWaitPollMs);
    collect_sealed_takes(r);
  }
  TakeList& list = r->takes;
  const int64_t head = e ? e->write_head.load(std::memory_order_acquire) : 0;

  if (e && (head > 0 || list.written_count > 0)) {
    take_unsealed_tail(r);
    status_message("ENDING SESSION...");
    r->holding = 0;
    write_pending_takes(r);
    if (list.written_count < list.take_count) {
      status_message("DISK WRITE FAILED - TAPE KEPT. FIX IT, THEN SPACE TO FINISH");
      return -1;
    }
    // What the foot and the log say is what the folder holds: takes with a file.
    const int count = files_in_session(r->session);
    if (count > 0) {
      write_session_index(r);
      log_line("session ended, %d take%s -> %s", count, count == 1 ? "" : "s", r->session.folder);
      status_message("SESSION ENDED - %d TAKE%s -> %s", count, count == 1 ? "" : "S", shown_folder(r->session.folder));
    } else {
      remove_empty_session(r);  // the tape held nothing that could become a take
    }
    close_session(r);
    r->holding = 0;
    clear_tape(e);
    SealedTake dropped;
    while (engine_next_sealed_take(e, &dropped)) {
    }
    list.take_count = 0;
    list.written_count = 0;
    list.dropped = 0;
    r->seated_takes = 0;
    r->session.relative[0] = 0;
    scan_library(r);
    return 0;
  }

  remove_empty_session(r);
  close_session(r);
  r->session.relative[0] = 0;
  scan_library(r);
  status_message("NOTHING HEARD - EMPTY SESSION REMOVED");
  return 0;
}

int remake_session_folder(Recorder* r) {
  const Session& s = r->session;
  const char* write_folder = r->library.write_folder;
  char date[kPathCap];
  const char* slash = strchr(s.relative, '/');
  // Only the session's own date and time folders, and only inside a write folder that is still
  // there: with its drive gone, a mount point's empty folder must not collect the takes.
  if (!s.folder[0] || !s.relative[0] || !slash || !write_folder[0] || !is_dir(write_folder)) return -1;
  char date_name[kRelativeNameBytes];
  text_copy(date_name, s.relative);
  date_name[slash - s.relative] = 0;
  if (!path_join(date, write_folder, date_name)) return -1;
  if (!is_dir(date)) make_dir(date);
  if (!is_dir(s.folder)) make_dir(s.folder);
  if (!is_dir(s.folder)) return -1;
  log_line("session folder made again: %s", s.folder);
  return 0;
}

int remove_empty_session(Recorder* r) {
  Session& s = r->session;
  if (!s.folder[0] || count_wav_files(s.folder) != 0) return -1;
  // An interrupted write of ours leaves a temporary file: it does not make the folder a keeper.
  sweep_temporary_files(s.folder);
  char index[kPathCap + 16];
  if (path_join(index, s.folder, "session.json")) remove_file(index);
  if (remove_dir(s.folder) != 0) {
    log_line("empty session kept (folder not empty): %s", s.folder);
    return -1;
  }
  remove_parent_if_empty(s.folder);
  log_line("empty session removed: %s", s.folder);
  close_session(r);
  return 0;
}

int continue_session(Recorder* r, int row, const TakeFile* takes, int take_count, const float* overview,
                     int overview_values) {
  CaptureEngine* e = r->engine;
  const Library& lib = r->library;
  const bool armed = e && e->armed.load(std::memory_order_acquire);
  const bool valid = row >= 0 && row < lib.row_count;
  const char* refusal = nullptr;
  if (armed && valid && row_is_open_session(r, row)) refusal = "SESSION ACTIVE";
  else if (armed) refusal = "STOP RECORDING TO SWITCH SESSIONS";
  else if (r->session.folder[0] || (e && e->write_head.load(std::memory_order_acquire) > 0) || recorder_has_unwritten(r))
    refusal = "STOP THE SESSION FIRST";
  else if (!valid) refusal = "PICK A SESSION";
  else if (lib.rows[row].reference) refusal = "A REFERENCE SESSION";
  else if (!takes || take_count <= 0) refusal = "NO TAKES";
  else if (take_count < lib.rows[row].take_count) refusal = kTooManyTakesToContinue;
  else if (!overview) refusal = "READING...";
  if (refusal) {
    status_flash(refusal);
    return -1;
  }
  const int n = std::min({take_count, kMaxTakes, kMaxTakeStarts});
  char folder[kPathCap];
  if (!path_join(folder, lib.write_folder, lib.rows[row].relative_path)) {
    status_message("COULDN'T SEAT THE SESSION - AUDIO DOWN?");  // a path too long to open again
    return -1;
  }

  // 1. The stream runs at the session's rate.
  double session_rate = 0;
  for (int i = 0; i < n && session_rate <= 0; ++i) session_rate = takes[i].rate;
  if (session_rate > 0 && (!e || session_rate != e->sample_rate)) {
    status_message("SWITCHING TO %dK FOR THIS SESSION...", int(session_rate) / 1000);
    if (!r->hooks.change_rate.fn || r->hooks.change_rate.fn(r->hooks.change_rate.ctx, session_rate) != 0) {
      status_message("DEVICE WON'T RUN AT %dK - CAN'T CONTINUE", int(session_rate) / 1000);
      return -1;
    }
    if (r->settings) r->settings->sample_rate = int(session_rate);
  }
  e = r->engine;

  // 2. The takes end to end on a fresh tape.
  const double rate = e && e->sample_rate > 0 ? e->sample_rate : (session_rate > 0 ? session_rate : 48000.0);
  const int64_t now = recorder_now(r);
  std::vector<int64_t> starts(static_cast<size_t>(n));
  TakeList& list = r->takes;
  int64_t a = 0;
  for (int i = 0; i < n; ++i) {
    const double seconds = std::max(takes[i].seconds, 0.0);
    const int64_t length = std::max<int64_t>(1, int64_t(rate * seconds + 0.5));
    const int64_t written = takes[i].write_time >= kFiletimeEpoch1970
                                ? (takes[i].write_time - kFiletimeEpoch1970) / 10000000
                                : 0;
    starts[size_t(i)] = a;
    list.takes[i] = TakeEntry{a, a + length, written > 0 ? written - int64_t(seconds) : now};
    a += length;
  }

  // 3. Seated in the engine.
  if (!e || !r->hooks.resume.fn ||
      r->hooks.resume.fn(r->hooks.resume.ctx, a, starts.data(), n, overview, overview_values) != 0) {
    list.take_count = list.written_count = list.dropped = 0;
    status_message("COULDN'T SEAT THE SESSION - AUDIO DOWN?");
    return -1;
  }

  // 4. The session, with every take counted as written.
  sweep_temporary_files(folder);
  char display[kDisplayNameBytes];
  text_copy(display, lib.rows[row].display_name);
  Session& s = r->session;
  text_copy(s.folder, folder);
  for (int i = 0; i < n; ++i) text_copy(s.names[i], takes[i].name);
  s.count = n;
  list.take_count = list.written_count = n;
  list.dropped = 0;
  r->seated_takes = n;

  // 5. Armed; new takes follow the old ones on the tape.
  arm_session(r);
  status_message("CONTINUING %s - %d TAKES - LISTENING", display, n);
  return 0;
}

int seed_first_session(Recorder* r) {
  char program[kPathCap];
  if (!program_dir(program, sizeof program)) program[0] = 0;
  return seed_first_session_from(r, program);
}

int seed_first_session_from(Recorder* r, const char* program_folder) {
  if (r->settings) {
    if (r->settings->first_done) return -1;
    r->settings->first_done = 1;
  }
  if (r->library.row_count > 0 || !r->library.write_folder[0]) return -1;
  char first[kPathCap], source[kPathCap], date[kPathCap], folder[kPathCap], target[kPathCap];
  if (!path_join(first, program_folder, "first") || !path_join(source, first, "tolm-124425.wav") ||
      !is_file(source))
    return -1;
  if (!path_join(date, r->library.write_folder, "2026-10-05") || !path_join(folder, date, "124424") ||
      !path_join(target, folder, "tolm-124425.wav"))
    return -1;
  make_dir(r->library.write_folder);
  if (make_dir(date) != 0 || make_dir(folder) != 0 || copy_file_new(source, target) != 0) return -1;
  log_line("first project seeded: %s", folder);
  scan_library(r);
  return 0;
}
