// Compressed audio (and WAVs our parser declines) through FFmpeg: libavformat demuxes the first
// audio stream, libavcodec decodes it, libswresample turns each frame into interleaved float at the
// file's own rate and channel count (no resampling, no down-mix). The bytes come through our own
// reader, which waits for a slow source without blocking, watches the cancel flag while it waits
// and tells a failed read from the end of the file. FFmpeg's own logging is silenced.
// Threads: any; each decode owns its FFmpeg objects, so loads on different threads are independent.
#include <poll.h>

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libswresample/swresample.h>
}

#include "kit/audio_decode.h"
#include "kit/audio_file.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

constexpr int kMaxReadRetries = 64;     // EAGAIN from the demuxer is rare; never spin on it
constexpr int kIoBufferBytes = 32768;   // what FFmpeg asks of the reader at a time
constexpr int kWaitSliceMs = 20;        // a silent source is polled this long between cancel checks
constexpr double kMaxGapSeconds = 0.05; // timestamps may wander this far ahead of the decoded audio
// Only the protocol for local files, should a demuxer try to open another: a hostile playlist
// cannot reach the network. Only demuxers of audio files: a renamed file that probes as something
// else is refused, not parsed.
constexpr char kProtocols[] = "file";
constexpr char kDemuxers[] =
    "aac,ac3,aiff,amr,ape,asf,au,caf,dts,eac3,flac,loas,matroska,mov,mp3,mpc,mpc8,ogg,tta,w64,wav,wv";

bool cancelled(const std::atomic<int32_t>* cancel) { return cancel && cancel->load(std::memory_order_relaxed); }

// The file as FFmpeg reads it.
struct Input {
  int fd;
  int64_t size;  // -1 for a FIFO
  const std::atomic<int32_t>* cancel;
  int read_errno;  // a read that failed (not merely ended); 0 none
  bool stopped;    // the cancel flag ended a read
};

// FFmpeg's polling of the cancel flag inside its own loops (opening, probing, stream info).
int interrupted(void* opaque) { return cancelled(static_cast<const std::atomic<int32_t>*>(opaque)) ? 1 : 0; }

int input_read(void* opaque, uint8_t* buf, int size) {
  Input* in = static_cast<Input*>(opaque);
  for (;;) {
    if (cancelled(in->cancel)) {
      in->stopped = true;
      return AVERROR_EXIT;
    }
    const int64_t n = file_read(in->fd, buf, size_t(size));
    if (n > 0) return int(n);
    if (n == 0) return AVERROR_EOF;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // A source that has nothing yet (a FIFO whose writer is slow): wait a slice, then look at
      // the cancel flag again, so Esc or a quit is never stuck behind it.
      pollfd p{in->fd, POLLIN, 0};
      poll(&p, 1, kWaitSliceMs);
      continue;
    }
    in->read_errno = errno;
    return AVERROR(errno);
  }
}

int64_t input_seek(void* opaque, int64_t offset, int whence) {
  Input* in = static_cast<Input*>(opaque);
  if (whence & AVSEEK_SIZE) return in->size >= 0 ? in->size : AVERROR(ENOSYS);
  whence &= ~AVSEEK_FORCE;
  const off_t at = lseek(in->fd, off_t(offset), whence);
  return at < 0 ? AVERROR(errno) : int64_t(at);
}

void quiet_ffmpeg() {
  static const bool quiet = [] {
    av_log_set_level(AV_LOG_QUIET);
    return true;
  }();
  (void)quiet;
}

struct Decode {
  Input input;
  AVIOContext* io;
  AVFormatContext* format;
  AVCodecContext* codec;
  SwrContext* swr;
  AVPacket* packet;
  AVFrame* frame;
  int stream;          // index of the audio stream read
  int64_t duration;    // container's length estimate in duration_base units, <= 0 when unknown
  AVRational duration_base;
  bool begun;          // the sink has the format
  int channels;        // fixed by the first frame
  int rate;            // fixed by the first frame
  int swr_format;      // sample format the converter is set up for, -1 none
  int64_t frames_done;
  bool timed;          // `start` is known
  int64_t start;       // stream time of the first timed frame less the frames before it, in frames
};

void close_decode(Decode* d) {
  av_frame_free(&d->frame);
  av_packet_free(&d->packet);
  swr_free(&d->swr);
  avcodec_free_context(&d->codec);
  avformat_close_input(&d->format);  // leaves our reader alone (custom I/O)
  if (d->io) av_freep(&d->io->buffer);
  avio_context_free(&d->io);
  file_read_close(d->input.fd);
  d->input.fd = -1;
}

// The cancel flag, or the reader stopped by it, ends a read as cancelled.
bool stopped(const Decode* d) { return d->input.stopped || cancelled(d->input.cancel); }

// Opens the file and the decoder of its first audio stream: 0, kReadCancelled, kReadFailed when
// a read failed, or kReadUnreadable when anything is missing.
int open_decode(Decode* d, const char* path, const std::atomic<int32_t>* cancel) {
  d->input = Input{file_open_read(path), -1, cancel, 0, false};
  if (d->input.fd < 0) return kReadUnreadable;
  d->input.size = file_read_size(d->input.fd);
  uint8_t* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
  if (!buffer) return kReadUnreadable;
  d->io = avio_alloc_context(buffer, kIoBufferBytes, 0, &d->input, input_read, nullptr,
                             d->input.size >= 0 ? input_seek : nullptr);
  if (!d->io) {
    av_free(buffer);
    return kReadUnreadable;
  }
  d->format = avformat_alloc_context();
  if (!d->format) return kReadUnreadable;
  d->format->pb = d->io;
  d->format->interrupt_callback = AVIOInterruptCB{interrupted, const_cast<std::atomic<int32_t>*>(cancel)};
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", kProtocols, 0);
  av_dict_set(&options, "format_whitelist", kDemuxers, 0);
  // The name only hints the demuxer; the bytes come from our reader.
  int e = avformat_open_input(&d->format, path, nullptr, &options);
  av_dict_free(&options);
  if (e < 0)  // a failed open frees the context
    return stopped(d) ? kReadCancelled : d->input.read_errno != 0 ? kReadFailed : kReadUnreadable;
  // A failure here only means some parameters are still unknown; the decoder may find them.
  avformat_find_stream_info(d->format, nullptr);
  if (stopped(d)) return kReadCancelled;
  if (d->input.read_errno != 0) return kReadFailed;
  d->stream = -1;
  for (unsigned i = 0; i < d->format->nb_streams; i++) {
    AVStream* s = d->format->streams[i];
    if (d->stream < 0 && s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) d->stream = int(i);
    else s->discard = AVDISCARD_ALL;
  }
  if (d->stream < 0) return kReadUnreadable;
  AVStream* s = d->format->streams[d->stream];
  const AVCodec* decoder = avcodec_find_decoder(s->codecpar->codec_id);
  if (!decoder) return kReadUnreadable;
  d->codec = avcodec_alloc_context3(decoder);
  if (!d->codec || avcodec_parameters_to_context(d->codec, s->codecpar) < 0) return kReadUnreadable;
  d->codec->pkt_timebase = s->time_base;
  d->codec->err_recognition |= AV_EF_CRCCHECK;  // a damaged frame is found, not played as noise
  if (avcodec_open2(d->codec, decoder, nullptr) < 0) return kReadUnreadable;
  d->packet = av_packet_alloc();
  d->frame = av_frame_alloc();
  if (!d->packet || !d->frame) return kReadUnreadable;
  if (s->duration != AV_NOPTS_VALUE && s->duration > 0 && s->time_base.num > 0 && s->time_base.den > 0) {
    d->duration = s->duration;
    d->duration_base = s->time_base;
  } else if (d->format->duration > 0) {
    d->duration = d->format->duration;
    d->duration_base = AVRational{1, AV_TIME_BASE};
  }
  return kReadOk;
}

// Hands one decoded frame to the sink. The format is taken from the first frame, not from the
// container: some decoders (HE-AAC) only know their true rate once they have decoded.
int take_frame(Decode* d, ReadSink* sink) {
  const AVFrame* f = d->frame;
  const int channels = f->ch_layout.nb_channels;
  const int frames = f->nb_samples;
  if (frames <= 0) return kReadOk;
  if (!d->begun) {
    if (channels <= 0 || f->sample_rate <= 0) return kReadUnreadable;
    int64_t expected = -1;
    if (d->duration > 0) {
      // In whole numbers: a float product can land one frame short of an exact length.
      const int64_t e = av_rescale_q_rnd(d->duration, d->duration_base, AVRational{1, f->sample_rate}, AV_ROUND_DOWN);
      if (e > 0 && e < (int64_t(1) << 53)) expected = e;
    }
    int r = sink_begin(sink, channels, f->sample_rate, expected);
    if (r != 0) return r;
    d->begun = true;
    d->channels = channels;
    d->rate = f->sample_rate;
  } else if (channels != d->channels || f->sample_rate != d->rate) {
    return kReadUnreadable;  // a stream that changes shape midway cannot be one buffer
  }
  if (f->format != d->swr_format) {
    swr_free(&d->swr);
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels);  // same layout in and out: no remix
    int e = swr_alloc_set_opts2(&d->swr, &layout, AV_SAMPLE_FMT_FLT, d->rate, &layout, AVSampleFormat(f->format),
                                d->rate, 0, nullptr);
    av_channel_layout_uninit(&layout);
    if (e < 0 || swr_init(d->swr) < 0) return kReadUnreadable;
    d->swr_format = f->format;
  }
  if (f->best_effort_timestamp != AV_NOPTS_VALUE) {
    // A frame that starts later than the audio so far reaches means audio was lost before it: a
    // demuxer that drops a damaged page or packet (Ogg, ASF) carries on without a word.
    const AVRational base = d->format->streams[d->stream]->time_base;
    const int64_t at = av_rescale_q(f->best_effort_timestamp, base, AVRational{1, d->rate});
    if (!d->timed) {
      d->timed = true;
      d->start = at - d->frames_done;
    } else if (at - (d->start + d->frames_done) > int64_t(d->rate * kMaxGapSeconds)) {
      return kReadUnreadable;
    }
  }
  if (stopped(d)) return kReadCancelled;
  float* dst = sink_reserve(sink, frames);
  if (!dst) return kReadFailed;
  uint8_t* out[1] = {reinterpret_cast<uint8_t*>(dst)};
  const int got = swr_convert(d->swr, out, frames, const_cast<const uint8_t**>(f->extended_data), frames);
  if (got < 0) return kReadUnreadable;
  if (got == 0) return kReadOk;
  if (sink_commit(sink, got) != 0) return kReadCancelled;
  d->frames_done += got;
  return kReadOk;
}

// Demuxes and decodes to the end of the file. A file that simply ends early (cut off) keeps what
// decoded before the cut, as a cut WAV does: a packet the decoder rejects is taken for the cut
// when nothing follows it. A read that fails, a demuxer error before the end, a rejected packet
// with more after it and audio missing between two packets all fail the read: partial audio from
// a failing disk or a damaged file must never pass for the whole file.
int decode_all(Decode* d, ReadSink* sink) {
  bool flushing = false;
  bool rejected = false;  // the decoder refused a packet; only the last one may be refused
  int retries = 0;
  for (;;) {
    if (stopped(d)) return kReadCancelled;
    if (!flushing) {
      int e = av_read_frame(d->format, d->packet);
      if (e == AVERROR(EAGAIN) && ++retries < kMaxReadRetries) continue;
      if (e < 0) {
        if (stopped(d)) return kReadCancelled;
        if (d->input.read_errno != 0) return kReadFailed;
        // Only the end of the file ends the stream; anything else is a damaged container.
        if (e != AVERROR_EOF && !avio_feof(d->format->pb)) return kReadUnreadable;
        flushing = true;
        avcodec_send_packet(d->codec, nullptr);  // drain what the decoder still holds
      } else {
        retries = 0;
        int sent = 0;
        if (d->packet->stream_index == d->stream) {
          if (rejected) {
            av_packet_unref(d->packet);
            return kReadUnreadable;  // damage inside the file, not a cut at its end
          }
          sent = avcodec_send_packet(d->codec, d->packet);
        }
        av_packet_unref(d->packet);
        if (sent < 0 && sent != AVERROR(EAGAIN)) rejected = true;
      }
    }
    for (;;) {
      int e = avcodec_receive_frame(d->codec, d->frame);
      if (e == AVERROR_EOF || (e < 0 && flushing)) return kReadOk;
      if (e == AVERROR(EAGAIN)) break;  // wants more input
      if (e < 0) {
        rejected = true;
        break;
      }
      int r = take_frame(d, sink);
      av_frame_unref(d->frame);
      if (r != kReadOk) return r;
    }
  }
}

}  // namespace

int read_ffmpeg_file(const char* path, ReadSink* sink, const std::atomic<int32_t>* cancel, char* msg, size_t cap) {
  quiet_ffmpeg();
  Decode d{};
  d.input.fd = -1;
  d.swr_format = -1;
  int r = open_decode(&d, path, cancel);
  if (r == kReadOk) {
    r = decode_all(&d, sink);
    if (r == kReadOk && d.frames_done == 0) r = kReadUnreadable;
  }
  const bool read_failed = d.input.read_errno != 0;
  close_decode(&d);
  if (r == kReadFailed) read_message(msg, cap, read_failed ? "COULDN'T READ THAT FILE" : "OUT OF MEMORY");
  if (r == kReadUnreadable) read_message(msg, cap, "COULDN'T READ THAT FILE");
  return r;
}
