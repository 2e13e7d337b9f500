// The program's own WAV parser: integer PCM of 1-4 bytes and IEEE float of 4 or 8 bytes, plain or
// extensible, read block by block into a ReadSink. Anything else is declined with -2 so the caller
// can hand the file on to FFmpeg. The same parser reads a file or a memory block.
// Threads: any; one parse belongs to the thread that runs it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "kit/audio_decode.h"
#include "kit/audio_file.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace {

// A hostile header can claim 65,535 channels of 8-byte samples; the read block is held to this
// size instead of 4096 such frames (real files never reach it).
constexpr uint64_t kMaxReadBlockBytes = 1u << 20;
constexpr uint32_t kDataSizeUnknown = 0xFFFFFFFFu;  // recorders that never patched the header
constexpr size_t kFmtReadBytes = 64;
constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagFloat = 3;
constexpr uint16_t kTagExtensible = 0xFFFE;
// Bytes 2-15 of every standard sub-format GUID ????????-0000-0010-8000-00AA00389B71; bytes 0-1
// hold the plain format tag.
constexpr uint8_t kBaseGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                       0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

struct WavInput {
  int fd;               // file mode; -1 in memory mode
  const uint8_t* data;  // memory mode
  uint64_t size;        // bytes in the file or block
  uint64_t pos;         // read position; may pass the end after a skip
  bool failed;          // a read failed (not merely ended): the device or the share gave up
};

// Reads up to `bytes`; fewer only at the end of the input or when a read fails (then `failed`).
size_t input_read(WavInput* in, void* dst, size_t bytes) {
  if (in->fd >= 0) {
    size_t got = 0;
    while (got < bytes) {
      const int64_t n = file_read(in->fd, static_cast<uint8_t*>(dst) + got, bytes - got);
      if (n == 0) break;
      if (n < 0) {
        in->failed = true;
        break;
      }
      got += size_t(n);
    }
    in->pos += got;
    return got;
  }
  if (in->pos >= in->size) return 0;
  size_t got = size_t(std::min<uint64_t>(bytes, in->size - in->pos));
  memcpy(dst, in->data + in->pos, got);
  in->pos += got;
  return got;
}

void input_skip(WavInput* in, uint64_t bytes) {
  in->pos += bytes;
  // Seeking past the end is allowed; the next read then returns nothing.
  if (in->fd >= 0 && lseek(in->fd, off_t(in->pos), SEEK_SET) < 0) in->failed = true;
}

uint64_t input_remaining(const WavInput* in) { return in->size > in->pos ? in->size - in->pos : 0; }

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

enum class SampleKind { kU8, kS16, kS24, kS32, kF32, kF64 };

// File layout to float, interleaving kept.
void convert_samples(const uint8_t* src, float* dst, size_t count, SampleKind kind) {
  switch (kind) {
    case SampleKind::kU8:
      for (size_t i = 0; i < count; i++) dst[i] = float(int(src[i]) - 128) * (1.0f / 128.0f);
      break;
    case SampleKind::kS16:
      for (size_t i = 0; i < count; i++) {
        int16_t v;
        memcpy(&v, src + 2 * i, 2);
        dst[i] = float(v) * (1.0f / 32768.0f);
      }
      break;
    case SampleKind::kS24:
      for (size_t i = 0; i < count; i++) {
        const uint8_t* p = src + 3 * i;
        int32_t v = int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
        dst[i] = float(v) * (1.0f / 8388608.0f);
      }
      break;
    case SampleKind::kS32:
      for (size_t i = 0; i < count; i++) {
        int32_t v;
        memcpy(&v, src + 4 * i, 4);
        dst[i] = float(double(v) * (1.0 / 2147483648.0));
      }
      break;
    case SampleKind::kF32:
      memcpy(dst, src, count * sizeof(float));
      break;
    case SampleKind::kF64:
      for (size_t i = 0; i < count; i++) {
        double v;
        memcpy(&v, src + 8 * i, 8);
        dst[i] = float(v);
      }
      break;
  }
}

struct WavFormat {
  uint16_t tag;
  uint16_t channels;
  uint32_t rate;
  uint16_t bits;
};

// The first min(size, 64) bytes of a "fmt " chunk; missing fields read 0 and so fail the checks.
WavFormat parse_fmt(const uint8_t* f, uint32_t size) {
  WavFormat w{le16(f), le16(f + 2), le32(f + 4), le16(f + 14)};
  if (w.tag == kTagExtensible && size >= 40 && memcmp(f + 26, kBaseGuidTail, sizeof kBaseGuidTail) == 0)
    w.tag = le16(f + 24);
  return w;
}

int decline(char* msg, size_t cap, const char* text) {
  read_message(msg, cap, text);
  return kReadUnreadable;
}

int fail(char* msg, size_t cap, const char* text) {
  read_message(msg, cap, text);
  return kReadFailed;
}

// A read that failed part-way is never a shorter file: what was read is not what the file holds.
constexpr char kReadError[] = "COULDN'T READ THAT FILE";

// Reads `frames` frames (fewer when the input ends) from the current position into the sink.
int read_samples(WavInput* in, const WavFormat& fmt, int bytes_per_sample, int64_t frames, ReadSink* sink,
                 const std::atomic<int32_t>* cancel, char* msg, size_t cap) {
  SampleKind kind;
  if (fmt.tag == kTagFloat) kind = bytes_per_sample == 4 ? SampleKind::kF32 : SampleKind::kF64;
  else
    kind = bytes_per_sample == 1   ? SampleKind::kU8
           : bytes_per_sample == 2 ? SampleKind::kS16
           : bytes_per_sample == 3 ? SampleKind::kS24
                                   : SampleKind::kS32;
  const uint64_t frame_bytes = uint64_t(fmt.channels) * uint64_t(bytes_per_sample);
  // The length the input can actually hold, so a header that promises more than the file has
  // neither reserves memory for it nor skews a scan's progress and duration.
  const int64_t present = int64_t(std::min<uint64_t>(uint64_t(frames), input_remaining(in) / frame_bytes));
  int r = sink_begin(sink, fmt.channels, double(fmt.rate), present > 0 ? present : -1);
  if (r == kReadFailed) return fail(msg, cap, "OUT OF MEMORY");
  if (r != 0) return kReadCancelled;

  const int64_t block_frames =
      std::min<int64_t>({kReadBlockFrames, std::max<int64_t>(1, int64_t(kMaxReadBlockBytes / frame_bytes)), frames});
  uint8_t* raw = static_cast<uint8_t*>(malloc(size_t(block_frames * frame_bytes)));
  if (!raw) return fail(msg, cap, "OUT OF MEMORY");
  int64_t done = 0;
  r = kReadOk;
  while (done < frames) {
    const int64_t want = std::min(block_frames, frames - done);
    const int64_t got = int64_t(input_read(in, raw, size_t(want * frame_bytes)) / frame_bytes);
    if (in->failed) {
      r = fail(msg, cap, kReadError);
      break;
    }
    if (got == 0) break;
    if (cancel && cancel->load(std::memory_order_relaxed)) {
      r = kReadCancelled;
      break;
    }
    float* dst = sink_reserve(sink, got);
    if (!dst) {
      r = fail(msg, cap, "OUT OF MEMORY");
      break;
    }
    convert_samples(raw, dst, size_t(got) * fmt.channels, kind);
    if (sink_commit(sink, got) != 0) {
      r = kReadCancelled;
      break;
    }
    done += got;
    if (got < want) break;  // the input ended inside this block
  }
  free(raw);
  if (r != kReadOk) return r;
  // A file cut inside the data keeps the frames it has; one without a single frame is broken.
  if (done == 0) return fail(msg, cap, "TRUNCATED");
  return kReadOk;
}

int parse_wav_chunks(WavInput* in, ReadSink* sink, const std::atomic<int32_t>* cancel, char* msg, size_t cap);

int parse_wav(WavInput* in, ReadSink* sink, const std::atomic<int32_t>* cancel, char* msg, size_t cap) {
  const int r = parse_wav_chunks(in, sink, cancel, msg, cap);
  // A header read that failed is no reason to hand the file on: it would fail there too.
  if (in->failed && r == kReadUnreadable) {
    if (msg && cap > 0) msg[0] = 0;  // the reason given was the failed read's, not the file's
    return fail(msg, cap, kReadError);
  }
  return r;
}

int parse_wav_chunks(WavInput* in, ReadSink* sink, const std::atomic<int32_t>* cancel, char* msg, size_t cap) {
  uint8_t head[12];
  if (input_read(in, head, 12) != 12 || memcmp(head, "RIFF", 4) != 0 || memcmp(head + 8, "WAVE", 4) != 0)
    return decline(msg, cap, "NOT A WAV");  // the RIFF size is not used
  WavFormat fmt{};
  bool have_fmt = false;
  for (;;) {
    uint8_t chunk[8];
    if (input_read(in, chunk, 8) != 8) return decline(msg, cap, "NO DATA CHUNK");
    const uint32_t size = le32(chunk + 4);
    if (memcmp(chunk, "fmt ", 4) == 0) {
      uint8_t f[kFmtReadBytes] = {};
      const size_t want = std::min<size_t>(size, kFmtReadBytes);
      if (input_read(in, f, want) != want) return fail(msg, cap, in->failed ? kReadError : "TRUNCATED");
      input_skip(in, uint64_t(size - want) + (size & 1));
      fmt = parse_fmt(f, size);
      if ((fmt.tag != kTagPcm && fmt.tag != kTagFloat) || fmt.channels == 0 || fmt.rate == 0 || fmt.bits == 0)
        return decline(msg, cap, "WAV CODEC NOT SUPPORTED");
      have_fmt = true;  // a later "fmt " replaces this one
    } else if (memcmp(chunk, "data", 4) == 0) {
      if (!have_fmt) return decline(msg, cap, "NO FMT CHUNK");
      const int bytes_per_sample = (fmt.bits + 7) / 8;  // 20-bit data in 3-byte slots reads as 24-bit
      const uint64_t length = (size == 0 || size == kDataSizeUnknown) ? input_remaining(in) : size;
      const int64_t frames = int64_t(length / (uint64_t(fmt.channels) * uint64_t(bytes_per_sample)));
      if (frames <= 0) return decline(msg, cap, "EMPTY");
      const bool sized = fmt.tag == kTagFloat ? (bytes_per_sample == 4 || bytes_per_sample == 8)
                                              : (bytes_per_sample >= 1 && bytes_per_sample <= 4);
      if (!sized) return decline(msg, cap, "SAMPLE SIZE NOT SUPPORTED");
      // Anything after the data chunk is never read.
      return read_samples(in, fmt, bytes_per_sample, frames, sink, cancel, msg, cap);
    } else {
      input_skip(in, uint64_t(size) + (size & 1));  // odd chunks carry a pad byte
    }
  }
}

}  // namespace

int read_wav_file(const char* path, ReadSink* sink, const std::atomic<int32_t>* cancel, char* msg, size_t cap) {
  // Only regular files: the parser seeks through its chunks, which a FIFO cannot.
  const int fd = is_file(path) ? file_open_read(path) : -1;
  if (fd < 0) return fail(msg, cap, "FILE NOT FOUND");
  const int64_t size = file_read_size(fd);
  WavInput in{fd, nullptr, size > 0 ? uint64_t(size) : 0, 0, false};
  int r = parse_wav(&in, sink, cancel, msg, cap);
  file_read_close(fd);
  return r;
}

int read_wav_memory(const uint8_t* data, size_t bytes, ReadSink* sink, const std::atomic<int32_t>* cancel,
                    char* msg, size_t cap) {
  WavInput in{-1, data, bytes, 0, false};
  return parse_wav(&in, sink, cancel, msg, cap);
}
