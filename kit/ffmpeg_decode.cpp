// Compressed audio (and WAVs our parser declines) through FFmpeg: libavformat demuxes the first
// audio stream, libavcodec decodes it, libswresample turns each frame into interleaved float at the
// file's own rate and channel count (no resampling, no down-mix). FFmpeg's own logging is silenced.
// Threads: any; each decode owns its FFmpeg objects, so loads on different threads are independent.
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libswresample/swresample.h>
}

#include "kit/audio_decode.h"
#include "kit/audio_file.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

constexpr size_t kUrlBytes = 4096 + 8;  // "file:" and the longest Linux path
constexpr int kMaxReadRetries = 64;     // EAGAIN from a local file is rare; never spin on it
// Only the protocol for local files: a hostile playlist cannot reach the network. Only demuxers
// of audio files: a renamed file that probes as something else is refused, not parsed.
constexpr char kProtocols[] = "file";
constexpr char kDemuxers[] =
    "aac,ac3,aiff,amr,ape,asf,au,caf,dts,eac3,flac,loas,matroska,mov,mp3,mpc,mpc8,ogg,tta,w64,wav,wv";

void quiet_ffmpeg() {
  static const bool quiet = [] {
    av_log_set_level(AV_LOG_QUIET);
    return true;
  }();
  (void)quiet;
}

struct Decode {
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
};

void close_decode(Decode* d) {
  av_frame_free(&d->frame);
  av_packet_free(&d->packet);
  swr_free(&d->swr);
  avcodec_free_context(&d->codec);
  avformat_close_input(&d->format);
}

// Opens the file and the decoder of its first audio stream; false when anything is missing.
bool open_decode(Decode* d, const char* path) {
  // Regular files only: a FIFO would block the open.
  if (!is_file(path) || strlen(path) + 6 > kUrlBytes) return false;
  char url[kUrlBytes];
  text_format(url, sizeof url, "file:%s", path);  // never read as another protocol's URL
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", kProtocols, 0);
  av_dict_set(&options, "format_whitelist", kDemuxers, 0);
  int e = avformat_open_input(&d->format, url, nullptr, &options);
  av_dict_free(&options);
  if (e < 0) return false;
  // A failure here only means some parameters are still unknown; the decoder may find them.
  avformat_find_stream_info(d->format, nullptr);
  d->stream = -1;
  for (unsigned i = 0; i < d->format->nb_streams; i++) {
    AVStream* s = d->format->streams[i];
    if (d->stream < 0 && s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) d->stream = int(i);
    else s->discard = AVDISCARD_ALL;
  }
  if (d->stream < 0) return false;
  AVStream* s = d->format->streams[d->stream];
  const AVCodec* decoder = avcodec_find_decoder(s->codecpar->codec_id);
  if (!decoder) return false;
  d->codec = avcodec_alloc_context3(decoder);
  if (!d->codec || avcodec_parameters_to_context(d->codec, s->codecpar) < 0) return false;
  d->codec->pkt_timebase = s->time_base;
  if (avcodec_open2(d->codec, decoder, nullptr) < 0) return false;
  d->packet = av_packet_alloc();
  d->frame = av_frame_alloc();
  if (!d->packet || !d->frame) return false;
  if (s->duration != AV_NOPTS_VALUE && s->duration > 0 && s->time_base.num > 0 && s->time_base.den > 0) {
    d->duration = s->duration;
    d->duration_base = s->time_base;
  } else if (d->format->duration > 0) {
    d->duration = d->format->duration;
    d->duration_base = AVRational{1, AV_TIME_BASE};
  }
  return true;
}

// Hands one decoded frame to the sink. The format is taken from the first frame, not from the
// container: some decoders (HE-AAC) only know their true rate once they have decoded.
int take_frame(Decode* d, ReadSink* sink, const std::atomic<int32_t>* cancel) {
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
  if (cancel && cancel->load(std::memory_order_relaxed)) return kReadCancelled;
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

// Demuxes and decodes to the end. A read error is the end of the file (a cut or damaged file keeps
// what decoded before it); a packet the decoder rejects is skipped, as the ffmpeg tool does.
int decode_all(Decode* d, ReadSink* sink, const std::atomic<int32_t>* cancel) {
  bool flushing = false;
  int retries = 0;
  for (;;) {
    if (cancel && cancel->load(std::memory_order_relaxed)) return kReadCancelled;
    if (!flushing) {
      int e = av_read_frame(d->format, d->packet);
      if (e == AVERROR(EAGAIN) && ++retries < kMaxReadRetries) continue;
      if (e < 0) {
        flushing = true;
        avcodec_send_packet(d->codec, nullptr);  // drain what the decoder still holds
      } else {
        retries = 0;
        if (d->packet->stream_index == d->stream) avcodec_send_packet(d->codec, d->packet);
        av_packet_unref(d->packet);
      }
    }
    for (;;) {
      int e = avcodec_receive_frame(d->codec, d->frame);
      if (e == AVERROR_EOF || (e < 0 && flushing)) return kReadOk;
      if (e < 0) break;  // wants more input, or a damaged packet: go on with the next
      int r = take_frame(d, sink, cancel);
      av_frame_unref(d->frame);
      if (r != kReadOk) return r;
    }
  }
}

}  // namespace

int read_ffmpeg_file(const char* path, ReadSink* sink, const std::atomic<int32_t>* cancel, char* msg, size_t cap) {
  quiet_ffmpeg();
  Decode d{};
  d.swr_format = -1;
  int r = kReadUnreadable;
  if (open_decode(&d, path)) {
    r = decode_all(&d, sink, cancel);
    if (r == kReadOk && d.frames_done == 0) r = kReadUnreadable;
  }
  close_decode(&d);
  if (r == kReadFailed) read_message(msg, cap, "OUT OF MEMORY");
  if (r == kReadUnreadable) read_message(msg, cap, "COULDN'T READ THAT FILE");
  return r;
}
