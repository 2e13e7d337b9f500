// The library of sessions on disk: the scan of the write folder into rows, the takes of a session,
// waveform overviews of a take and of a whole session, and deleting takes and sessions.
// The scan, the deletes and the path helpers run on the main thread; the overviews read files
// only and run on any thread.
#pragma once
#include <cstddef>

#include "sessions/recorder.h"
#include "sessions/take_writer.h"

constexpr int kMaxSessionTakes = 512;

// Rebuilds the rows from the write folder: sessions with takes (or the open one), newest first.
void scan_library(Recorder* r);

// The takes of a row: for a reference session "take-%03d" entries with their source frames,
// otherwise its "*.wav" files by last-write time, then name. Count, or -1 (bad row, no folder).
int session_takes(const Recorder* r, int row, TakeFile* out, int capacity);

// Peak per value of a take file: frame i of F goes to value i × n / F. 0, or -1 when the file
// does not read or is empty. Any thread.
int take_overview(const char* path, float* values, int n);

// The takes of a folder laid end to end over n values (each take at least one), normalised so the
// loudest point reads 1. 0, or -1 when there is nothing to show. Any thread.
int session_overview(const char* folder, float* values, int n);

// Deletes one take of a row. Returns the row's index after the rescan (the session keeps its place
// in the list), -1 when that was its last take and the session went with it, -2 on failure.
int delete_take(Recorder* r, int row, const char* name);
// Deletes a row's folder with its files and, when it became empty, the date folder. 0 or -1.
int delete_session(Recorder* r, int row);

// Paths of a row's folder and of one of its files. false when the row is bad or the path too long.
bool session_folder_path(const Recorder* r, int row, char* out, size_t cap);
bool take_file_path(const Recorder* r, int row, const char* name, char* out, size_t cap);
// The row whose relative path equals rel (without regard to case), or -1.
int find_library_row(const Recorder* r, const char* rel);
// True when the row is the open session.
bool row_is_open_session(const Recorder* r, int row);
