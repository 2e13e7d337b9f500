// The program's own WAV reading (header probe, full read and run-by-run read as stereo float), the
// take-file listing of a folder and the joiner that writes a session's takes into one float file.
// Every function here touches only files and its own buffers: any thread.
#include <sys/types.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "sessions/session_util.h"
#include "sessions/take_writer.h"

namespace {

uint32_t le16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct WavLayout {
  uint32_t format, channels, rate, bits;
  bool have_fmt;
  bool have_data;
  int64_t data_offset;
  uint32_t data_bytes;
};

// Walks the RIFF chunks until "data" (and, for the reader, "fmt ") are found. false when the file
// is not a RIFF/WAVE file or a needed chunk is missing.
bool walk_chunks(FILE* f, WavLayout* w, bool need_fmt_with_data) {
  *w = WavLayout{};
  uint8_t h[12];
  if (fread(h, 1, 12, f) != 12 || memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "WAVE", 4) != 0) return false;
  for (;;) {
    uint8_t c[8];
    if (fread(c, 1, 8, f) != 8) return false;
    const uint32_t size = le32(c + 4);
    const int64_t body = int64_t(ftello(f));
    const int64_t next = body + int64_t(size) + int64_t(size & 1);  // bodies padded to even length
    if (memcmp(c, "fmt ", 4) == 0) {
      uint8_t b[16];
      if (size < 16 || fread(b, 1, 16, f) != 16) return false;
      w->format = le16(b);
      w->channels = le16(b + 2);
      w->rate = le32(b + 4);
      w->bits = le16(b + 14);
      w->have_fmt = true;
      if (need_fmt_with_data && w->have_data) return true;
    } else if (memcmp(c, "data", 4) == 0) {
      w->have_data = true;
      w->data_offset = body;
      w->data_bytes = size;
      if (!need_fmt_with_data || w->have_fmt) return true;
    }
    if (fseeko(f, off_t(next), SEEK_SET) != 0) return false;
  }
}

// The data bytes that are really there: a header written before its data (a file cut short by
// a crash or a full disk, or a size of 0xFFFFFFFF from a recorder that never came back to fix
// it) claims more than the file holds. The file position is left anywhere.
int64_t data_present(FILE* f, const WavLayout& w) {
  if (fseeko(f, 0, SEEK_END) != 0) return 0;
  const int64_t after = int64_t(ftello(f)) - w.data_offset;
  return std::max<int64_t>(0, std::min<int64_t>(int64_t(w.data_bytes), after));
}

// The chunk walk and the checks read_wav makes before it allocates: a format it converts, and the
// data chunk cut to what the file holds. Leaves f at the first data byte.
bool open_layout(FILE* f, WavLayout* w) {
  bool ok = walk_chunks(f, w, true) && w->have_fmt && w->have_data && w->rate > 0 && w->channels > 0;
  ok = ok && ((w->format == 1 && (w->bits == 16 || w->bits == 24 || w->bits == 32)) || (w->format == 3 && w->bits == 32));
  // A data size past the end of the file is read as far as whole frames go.
  if (ok) {
    w->data_bytes = uint32_t(data_present(f, *w));
    ok = fseeko(f, off_t(w->data_offset), SEEK_SET) == 0;
  }
  return ok;
}

// Each frame's first two channels as left and right floats (a mono file gives both the same).
void convert_frames(const WavLayout& w, const uint8_t* raw, int64_t frames, float* samples) {
  const uint32_t sample_bytes = w.bits / 8;
  const uint32_t frame_bytes = sample_bytes * w.channels;
  const int second = w.channels > 1 ? 1 : 0;
  if (w.format == 1 && w.bits == 16 && w.channels == 2) {  // the take files: one plain loop
    for (int64_t i = 0; i < 2 * frames; ++i) samples[i] = float(int16_t(le16(raw + 2 * i))) / 32768.0f;
    return;
  }
  for (int64_t i = 0; i < frames; ++i) {
    const uint8_t* fr = raw + size_t(i) * frame_bytes;
    float v[2];
    for (int side = 0; side < 2; ++side) {
      const uint8_t* p = fr + size_t(side ? second : 0) * sample_bytes;
      if (w.format == 3) {
        memcpy(&v[side], p, 4);
      } else if (w.bits == 16) {
        v[side] = float(int16_t(le16(p))) / 32768.0f;
      } else if (w.bits == 24) {
        const int32_t s = int32_t((uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24)) >> 8;
        v[side] = float(s) / 8388608.0f;
      } else {
        v[side] = float(double(int32_t(le32(p))) / 2147483648.0);
      }
    }
    samples[2 * i] = v[0];
    samples[2 * i + 1] = v[1];
  }
}

struct ListState {
  const char* folder;
  std::vector<TakeFile>* files;
};

bool list_visit(const DirEntry& entry, void* ctx) {
  auto* st = static_cast<ListState*>(ctx);
  // A name that does not fit the record could not be opened again; it is left out.
  if (entry.is_dir || !is_wav_name(entry.name) || strlen(entry.name) >= size_t(kTakeFileNameBytes)) return true;
  char path[kPathCap + kTakeFileNameBytes];
  if (!path_join(path, st->folder, entry.name)) return true;
  TakeFile t{};
  text_copy(t.name, entry.name);
  FileIdentity id;
  if (file_identity(path, &id) == 0) {
    t.size_bytes = id.size_bytes;
    t.write_time = filetime_from_ns(id.mtime_ns);
  }
  probe_wav(path, &t.seconds, &t.rate);
  st->files->push_back(t);
  return true;
}

}  // namespace

bool probe_wav(const char* path, double* seconds, double* rate) {
  *seconds = 0;
  *rate = 0;
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  WavLayout w;
  const bool found = walk_chunks(f, &w, false);
  const int64_t present = found ? data_present(f, w) : 0;
  fclose(f);
  if (!found || !w.have_fmt || w.rate == 0 || w.channels == 0 || w.bits == 0) return false;
  const int64_t frame_bytes = int64_t((w.bits + 7) / 8) * int64_t(w.channels);  // bits under 8 still take a byte
  *seconds = double(present / frame_bytes) / double(w.rate);
  *rate = double(w.rate);
  return true;
}

void free_wav(AudioBuffer* buffer) {
  free(buffer->samples);
  *buffer = AudioBuffer{};
}

int read_wav(const char* path, AudioBuffer* out) {
  *out = AudioBuffer{};
  FILE* f = fopen(path, "rb");
  if (!f) return -1;
  WavLayout w;
  const bool ok = open_layout(f, &w);
  if (!ok) {
    fclose(f);
    return -1;
  }
  const uint32_t frame_bytes = w.bits / 8 * w.channels;
  const int64_t frames = int64_t(w.data_bytes / frame_bytes);
  const size_t raw_bytes = size_t(frames) * frame_bytes;
  uint8_t* raw = static_cast<uint8_t*>(malloc(raw_bytes > 0 ? raw_bytes : 1));
  float* samples = frames > 0 ? static_cast<float*>(malloc(size_t(frames) * 2 * sizeof(float))) : nullptr;
  if (!raw || (frames > 0 && !samples) || fread(raw, 1, raw_bytes, f) != raw_bytes) {
    free(raw);
    free(samples);
    fclose(f);
    return -1;
  }
  fclose(f);
  convert_frames(w, raw, frames, samples);
  free(raw);
  out->channels = 2;
  out->sample_rate = double(w.rate);
  out->frames = frames;
  out->samples = samples;
  return 0;
}

int wav_reader_open(WavReader* r, const char* path) {
  r->file = nullptr;
  r->frames = r->next = 0;
  FILE* f = fopen(path, "rb");
  if (!f) return -1;
  setvbuf(f, nullptr, _IONBF, 0);  // runs go straight into r->raw, not through a stdio buffer
  WavLayout w;
  if (!open_layout(f, &w)) {
    fclose(f);
    return -1;
  }
  r->file = f;
  r->format = w.format;
  r->channels = w.channels;
  r->bits = w.bits;
  r->rate = double(w.rate);
  r->frames = int64_t(w.data_bytes / (w.bits / 8 * w.channels));
  return 0;
}

int64_t wav_reader_read(WavReader* r, float* stereo, int64_t max_frames) {
  if (!r->file) return -1;
  const uint32_t frame_bytes = r->bits / 8 * r->channels;
  const int64_t fit = std::max<int64_t>(int64_t(sizeof r->raw / frame_bytes), 1);
  const int64_t n = std::min({max_frames, r->frames - r->next, fit});
  if (n <= 0) return 0;
  // A frame wider than the run (thousands of channels) is read one at a time through the heap.
  uint8_t* raw = frame_bytes <= sizeof r->raw ? r->raw : static_cast<uint8_t*>(malloc(frame_bytes));
  if (!raw) return -1;
  const bool got = fread(raw, 1, size_t(n) * frame_bytes, static_cast<FILE*>(r->file)) == size_t(n) * frame_bytes;
  if (got) {
    WavLayout w{};
    w.format = r->format;
    w.channels = r->channels;
    w.bits = r->bits;
    convert_frames(w, raw, n, stereo);
  }
  if (raw != r->raw) free(raw);
  if (!got) return -1;
  r->next += n;
  return n;
}

int64_t wav_reader_read_raw(WavReader* r, int64_t max_frames) {
  const uint32_t frame_bytes = r->bits / 8 * r->channels;
  if (!r->file || frame_bytes > sizeof r->raw) return -1;
  const int64_t n = std::min({max_frames, r->frames - r->next, int64_t(sizeof r->raw / frame_bytes)});
  if (n <= 0) return 0;
  if (fread(r->raw, 1, size_t(n) * frame_bytes, static_cast<FILE*>(r->file)) != size_t(n) * frame_bytes) return -1;
  r->next += n;
  return n;
}

void wav_reader_close(WavReader* r) {
  if (r->file) fclose(static_cast<FILE*>(r->file));
  r->file = nullptr;
}

int list_take_files(const char* folder, TakeFile* out, int capacity) {
  std::vector<TakeFile> files;
  ListState st{folder, &files};
  if (list_dir(folder, list_visit, &st) < 0) return -1;
  std::sort(files.begin(), files.end(), [](const TakeFile& a, const TakeFile& b) {
    if (a.write_time != b.write_time) return a.write_time < b.write_time;
    return strcmp(a.name, b.name) < 0;
  });
  const int n = std::min<int>(int(files.size()), std::max(capacity, 0));
  for (int i = 0; i < n; ++i) out[i] = files[size_t(i)];
  return n;
}

int join_session(const char* folder, const char* dest, const std::atomic<int>* cancel, std::atomic<int>* progress) {
  std::vector<TakeFile> files(kJoinMaxFiles);
  const int count = list_take_files(folder, files.data(), kJoinMaxFiles);
  char part[kPathCap + 8];
  if (count <= 0 || text_format(part, sizeof part, "%s.part", dest) >= sizeof part - 1) return -1;
  FileWriter f;
  if (file_create(&f, part) != 0) return -1;

  uint8_t header[kWavHeaderBytes] = {};
  bool ok = file_write(&f, header, sizeof header) == 0;
  uint64_t data_bytes = 0;
  double rate = 0;
  int handled = 0;
  for (int i = 0; ok && i < count; ++i) {
    if (cancel && cancel->load(std::memory_order_acquire)) break;
    char path[kPathCap + kTakeFileNameBytes];
    AudioBuffer b{};
    if (path_join(path, folder, files[size_t(i)].name) && read_wav(path, &b) == 0) {
      if (rate <= 0) rate = b.sample_rate;
      const uint64_t bytes = uint64_t(b.frames) * 8;
      if (data_bytes + bytes > kJoinMaxDataBytes) {
        free_wav(&b);
        break;
      }
      if (bytes > 0) ok = file_write(&f, b.samples, size_t(bytes)) == 0;
      if (ok) data_bytes += bytes;
      free_wav(&b);
      if (!ok) break;
    }
    handled = i + 1;
    if (progress) progress->store(handled, std::memory_order_release);
  }
  if (ok && handled == count && data_bytes > 0 && rate > 0) {
    const uint32_t irate = rate + 0.5 < 4294967295.0 ? uint32_t(rate + 0.5) : 0;
    wav_header(header, 3, irate, 4, data_bytes);
    ok = file_seek(&f, 0) == 0 && file_write(&f, header, sizeof header) == 0;
    ok = file_close(&f) == 0 && ok;
    if (ok && rename_path(part, dest) == 0) return 0;
  } else {
    file_close(&f);
  }
  remove_file(part);
  return -1;
}
