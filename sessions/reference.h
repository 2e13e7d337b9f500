// Reference sessions: a dated session folder holding only source.ref, which names an outside audio
// file and the frame ranges of the takes chopped from it. Reading and writing that file, creating
// such a session and looking up its source. Main thread, except read/write_reference (any thread).
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/paths.h"
#include "sessions/recorder.h"

constexpr int kMaxReferenceTakes = 512;
constexpr int kReferenceLineChars = 291;   // longer lines are read up to this many characters
constexpr const char* kReferenceFile = "source.ref";

struct ReferenceTake {
  int64_t start;  // source frames, end exclusive
  int64_t end;
};

struct Reference {
  char source[kPathCap];  // the source file's full path
  int rate;               // frames per second of the source
  int64_t frames;         // length of the source
  ReferenceTake takes[kMaxReferenceTakes];
  int count;
};

// Reads folder/source.ref into ref (emptied first). true when a source path was found.
bool read_reference(const char* folder, Reference* ref);
// Writes folder/source.ref whole (through a temporary file). 0 or -1.
int write_reference(const char* folder, const Reference& ref);
// The exact text of a source.ref for ref into out (capacity cap); its length, or -1 when cut.
int format_reference(const Reference& ref, char* out, size_t cap);

// Makes a session folder for now holding a source.ref with the first min(count, 512) takes.
// 0 with the relative name ("date/time") in name, or -1 (nothing left behind). Rescans.
int create_reference_session(Recorder* r, const char* source, int rate, int64_t frames, const int64_t* starts,
                             const int64_t* ends, int count, char* name, size_t name_cap);

// For a reference row: its source path, rate and frames, 0. Any other row: -1.
int reference_source(const Recorder* r, int row, char* path, size_t path_cap, int* rate, int64_t* frames);
