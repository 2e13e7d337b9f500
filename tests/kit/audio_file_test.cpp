// The audio file reader: our WAV parser byte by byte, the FFmpeg route for compressed files and
// declined WAVs, the result codes and messages, the streaming sink, peaks, the float WAV writer,
// reads that fail, stall or outgrow memory, and damaged files of every format.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "kit/audio_decode.h"
#include "kit/audio_file.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "tests/kit/kit_fixtures.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr char kCouldNotRead[] = "COULDN'T READ THAT FILE";

std::vector<float> samples_of(const AudioBuffer& b) {
  return std::vector<float>(b.samples, b.samples + b.frames * b.channels);
}

bool is_empty(const AudioBuffer& b) {
  return b.channels == 0 && b.sample_rate == 0.0 && b.frames == 0 && b.samples == nullptr;
}

std::string mono16_wav(std::initializer_list<int16_t> values, uint32_t rate = 8000) {
  return riff(chunk("fmt ", fmt_payload(1, 1, rate, 16)) + chunk("data", pcm16(values)));
}

}  // namespace

TEST(ReadDispatch, ExtensionDecidesTheRoute) {
  for (const char* p : {"song.WAV", "a.Mp3", "x.m4a", "x.aac", "x.flac", "x.wma", "x.ogg", "x.OPUS", "a.wav.mp3",
                        "/music/.wav"})
    EXPECT_TRUE(is_audio_file(p)) << p;
  const char* const refused[] = {"/music/take.v2/noext", "C:\\dir.wav\\noext", "noext", "x.txt", "x.", "x.wave", "",
                                 nullptr};
  for (const char* p : refused)
    EXPECT_FALSE(is_audio_file(p)) << (p ? p : "(null)");

  TempDir dir;
  Loaded l;
  // Upper-case extension goes to our parser: only the parser says FILE NOT FOUND.
  EXPECT_EQ(l.load(dir.file("missing.WAV")), kReadFailed);
  EXPECT_STREQ(l.msg, "FILE NOT FOUND");
  write_text(dir.file("song.WAV"), mono16_wav({1000, -1000}));
  ASSERT_EQ(l.load(dir.file("song.WAV")), kReadOk);
  EXPECT_EQ(samples_of(l.b), (std::vector<float>{1000 / 32768.0f, -1000 / 32768.0f}));

  // The last extension counts: a WAV named .wav.mp3 goes to FFmpeg, which still reads it.
  EXPECT_EQ(l.load(dir.file("missing.wav.mp3")), kReadUnreadable);
  EXPECT_STREQ(l.msg, kCouldNotRead);
  write_text(dir.file("a.wav.mp3"), mono16_wav({1000, -1000}));
  ASSERT_EQ(l.load(dir.file("a.wav.mp3")), kReadOk);
  EXPECT_EQ(samples_of(l.b), (std::vector<float>{1000 / 32768.0f, -1000 / 32768.0f}));

  // A dotted folder and a file without extension, an unsupported extension: refused unread.
  ASSERT_EQ(make_dir(dir.file("take.wav").c_str()), 0);
  write_text(dir.file("take.wav/noext"), mono16_wav({1, 2}));
  write_text(dir.file("notes.txt"), mono16_wav({1, 2}));
  for (const char* name : {"take.wav/noext", "notes.txt"}) {
    EXPECT_EQ(l.load(dir.file(name)), kReadUnreadable) << name;
    EXPECT_STREQ(l.msg, kCouldNotRead);
    EXPECT_TRUE(is_empty(l.b));
  }
  // Things that are not regular files end at once instead of blocking or reading a folder.
  EXPECT_EQ(l.load(dir.file("take.wav")), kReadFailed);
  EXPECT_STREQ(l.msg, "FILE NOT FOUND");
  ASSERT_EQ(mkfifo(dir.file("pipe.wav").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(dir.file("pipe.mp3").c_str(), 0600), 0);
  EXPECT_EQ(l.load(dir.file("pipe.wav")), kReadFailed);
  EXPECT_STREQ(l.msg, "FILE NOT FOUND");
  EXPECT_EQ(l.load(dir.file("pipe.mp3")), kReadUnreadable);
  EXPECT_STREQ(l.msg, kCouldNotRead);
}

TEST(ReadDispatch, ArgumentsCancelAndMessageBuffer) {
  TempDir dir;
  write_text(dir.file("a.wav"), mono16_wav({1, 2, 3}));
  ASSERT_TRUE(make_stereo_sine(dir.file("a.flac"), "-c:a flac"));
  char msg[96] = "stale";
  EXPECT_EQ(read_audio_file(dir.file("a.wav").c_str(), nullptr, nullptr, msg, sizeof msg), kReadFailed);
  EXPECT_STREQ(msg, "");

  // A set cancel flag stops both routes with -3, no message and nothing kept.
  std::atomic<int32_t> cancel{1};
  for (const char* name : {"a.wav", "a.flac"}) {
    AudioBuffer b{2, 1.0, 5, nullptr};
    strcpy(msg, "stale");
    EXPECT_EQ(read_audio_file(dir.file(name).c_str(), &b, &cancel, msg, sizeof msg), kReadCancelled) << name;
    EXPECT_STREQ(msg, "");
    EXPECT_TRUE(is_empty(b));
  }
  // Messages are cut to the caller's buffer; a null buffer or path is survived.
  AudioBuffer b{};
  char small[4];
  EXPECT_EQ(read_audio_file(dir.file("x.txt").c_str(), &b, nullptr, small, sizeof small), kReadUnreadable);
  EXPECT_STREQ(small, "COU");
  EXPECT_EQ(read_audio_file(dir.file("missing.wav").c_str(), &b, nullptr, nullptr, 0), kReadFailed);
  EXPECT_EQ(read_audio_file(nullptr, &b, nullptr, msg, sizeof msg), kReadUnreadable);
  EXPECT_STREQ(msg, kCouldNotRead);
}

TEST(WavParser, SampleLayoutsConvertExactly) {
  TempDir dir;
  Loaded l;
  struct Case {
    const char* name;
    uint16_t tag, channels, bits;
    uint32_t rate;
    std::string data;
    std::vector<float> want;
  };
  const std::string s24 = std::string("\x00\x00\x80\xFF\xFF\x7F\xFF\xFF\xFF\x01\x00\x00", 12);
  float f32[4] = {0.5f, -0.25f, 1.5f, -3.0f};
  double f64[2] = {0.1, -2.5};
  const Case cases[] = {
      {"u8", 1, 1, 8, 8000, std::string("\x00\x80\xFF", 3), {-1.0f, 0.0f, 0.9921875f}},
      {"s16 stereo", 1, 2, 16, 44100, pcm16({-32768, 32767, 1, -1}),
       {-1.0f, 32767 / 32768.0f, 1 / 32768.0f, -1 / 32768.0f}},
      {"s24", 1, 1, 24, 96000, s24, {-1.0f, 8388607 / 8388608.0f, -1 / 8388608.0f, 1 / 8388608.0f}},
      {"20-bit in 3-byte slots", 1, 1, 20, 96000, s24,
       {-1.0f, 8388607 / 8388608.0f, -1 / 8388608.0f, 1 / 8388608.0f}},
      {"12-bit in 2-byte slots", 1, 1, 12, 8000, pcm16({-32768, 16}), {-1.0f, 16 / 32768.0f}},
      {"s32", 1, 1, 32, 48000, le32(0x80000000u) + le32(0x40000000u) + le32(1) + le32(0xFFFFFFFFu),
       {-1.0f, 0.5f, float(std::ldexp(1.0, -31)), float(-std::ldexp(1.0, -31))}},
      {"f32 stereo beyond range", 3, 2, 32, 48000, std::string(reinterpret_cast<char*>(f32), 16),
       {0.5f, -0.25f, 1.5f, -3.0f}},
      {"f64 narrowed", 3, 1, 64, 48000, std::string(reinterpret_cast<char*>(f64), 16), {float(0.1), -2.5f}},
      {"three channels", 1, 3, 16, 22050, pcm16({1, 2, 3, 4, 5, 6}),
       {1 / 32768.0f, 2 / 32768.0f, 3 / 32768.0f, 4 / 32768.0f, 5 / 32768.0f, 6 / 32768.0f}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_text(dir.file("x.wav"), riff(chunk("fmt ", fmt_payload(c.tag, c.channels, c.rate, c.bits)) +
                                       chunk("data", c.data)));
    ASSERT_EQ(l.load(dir.file("x.wav")), kReadOk) << l.msg;
    EXPECT_STREQ(l.msg, "");
    EXPECT_EQ(l.b.channels, c.channels);
    EXPECT_EQ(l.b.sample_rate, double(c.rate));
    EXPECT_EQ(l.b.frames, int64_t(c.want.size() / c.channels));
    EXPECT_EQ(samples_of(l.b), c.want);
  }
}

TEST(WavParser, ExtensibleFormatReadsLikePlainTags) {
  TempDir dir;
  Loaded l;
  const std::string s24 = std::string("\x00\x00\x80\xFF\xFF\x7F", 6);
  write_text(dir.file("pcm.wav"), riff(chunk("fmt ", extensible_payload(1, 2, 48000, 24)) + chunk("data", s24)));
  ASSERT_EQ(l.load(dir.file("pcm.wav")), kReadOk) << l.msg;
  EXPECT_EQ(samples_of(l.b), (std::vector<float>{-1.0f, 8388607 / 8388608.0f}));
  EXPECT_EQ(l.b.channels, 2);

  float f[2] = {0.75f, -0.125f};
  write_text(dir.file("float.wav"), riff(chunk("fmt ", extensible_payload(3, 1, 44100, 32)) +
                                         chunk("data", std::string(reinterpret_cast<char*>(f), 8))));
  ASSERT_EQ(l.load(dir.file("float.wav")), kReadOk) << l.msg;
  EXPECT_EQ(samples_of(l.b), (std::vector<float>{0.75f, -0.125f}));

  // A foreign sub-format GUID, or an extensible chunk too short to hold one, is not ours; FFmpeg
  // cannot decode either, so the caller sees its message, not the parser's.
  write_text(dir.file("guid.wav"),
             riff(chunk("fmt ", extensible_payload(1, 1, 8000, 16, false)) + chunk("data", pcm16({1, 2}))));
  write_text(dir.file("short.wav"),
             riff(chunk("fmt ", fmt_payload(0xFFFE, 1, 8000, 16) + le16(0)) + chunk("data", pcm16({1, 2}))));
  for (const char* name : {"guid.wav", "short.wav"}) {
    EXPECT_EQ(l.load(dir.file(name)), kReadUnreadable) << name;
    EXPECT_STREQ(l.msg, kCouldNotRead);
    EXPECT_TRUE(is_empty(l.b));
  }
}

TEST(WavParser, UnpatchedDataSizeReadsToTheEnd) {
  TempDir dir;
  Loaded l;
  // Size 0: five frames and a stray byte that is not a whole frame.
  write_text(dir.file("zero.wav"), riff(chunk("fmt ", fmt_payload(1, 1, 8000, 16)) +
                                        chunk_sized("data", 0, pcm16({1, 2, 3, 4, 5}) + "\x7F")));
  ASSERT_EQ(l.load(dir.file("zero.wav")), kReadOk) << l.msg;
  EXPECT_EQ(l.b.frames, 5);
  EXPECT_EQ(l.b.samples[4], 5 / 32768.0f);
  // Size 0xFFFFFFFF, stereo.
  write_text(dir.file("ffff.wav"), riff(chunk("fmt ", fmt_payload(1, 2, 8000, 16)) +
                                        chunk_sized("data", 0xFFFFFFFFu, pcm16({1, -1, 2, -2, 3, -3}))));
  ASSERT_EQ(l.load(dir.file("ffff.wav")), kReadOk) << l.msg;
  EXPECT_EQ(l.b.frames, 3);
  EXPECT_EQ(l.b.samples[5], -3 / 32768.0f);
}

TEST(WavParser, CutFilesKeepWholeFramesOrSayTruncated) {
  TempDir dir;
  Loaded l;
  const std::string head = chunk("fmt ", fmt_payload(1, 2, 8000, 16));
  // Promises 1000 frames, holds ten and a half: the ten load.
  std::string ten;
  for (int i = 0; i < 20; i++) ten += pcm16({int16_t(i * 100)});
  write_text(dir.file("cut.wav"), riff(head + chunk_sized("data", 4000, ten + "\x01\x02")));
  ASSERT_EQ(l.load(dir.file("cut.wav")), kReadOk) << l.msg;
  EXPECT_STREQ(l.msg, "");
  EXPECT_EQ(l.b.frames, 10);
  EXPECT_EQ(l.b.samples[19], 1900 / 32768.0f);
  // Cut before the first whole frame.
  write_text(dir.file("none.wav"), riff(head + chunk_sized("data", 4000, "\x01\x02\x03")));
  EXPECT_EQ(l.load(dir.file("none.wav")), kReadFailed);
  EXPECT_STREQ(l.msg, "TRUNCATED");
  EXPECT_TRUE(is_empty(l.b));
  // The format chunk itself cut short.
  write_text(dir.file("fmt.wav"), riff(chunk_sized("fmt ", 16, fmt_payload(1, 2, 8000, 16).substr(0, 10))));
  EXPECT_EQ(l.load(dir.file("fmt.wav")), kReadFailed);
  EXPECT_STREQ(l.msg, "TRUNCATED");
  // A size that is not a multiple of the frame: whole frames only, and nothing after the chunk.
  write_text(dir.file("odd.wav"), riff(head + chunk_sized("data", 6, pcm16({7, 8, 9, 10}))));
  ASSERT_EQ(l.load(dir.file("odd.wav")), kReadOk) << l.msg;
  EXPECT_EQ(samples_of(l.b), (std::vector<float>{7 / 32768.0f, 8 / 32768.0f}));
}

TEST(WavParser, ChunksAreWalkedWithTheirPadBytes) {
  TempDir dir;
  Loaded l;
  // Odd unknown chunks before and after "fmt ", an 18-byte and an oversized "fmt ", two "fmt "
  // chunks (the later one counts) and a chunk after the data that is never read.
  std::string big_fmt = fmt_payload(1, 1, 8000, 8) + std::string(70, 'z');
  std::string body = chunk("LIST", "abc") + chunk("fmt ", big_fmt) + chunk("junk", "12345") +
                     chunk("fmt ", fmt_payload(1, 2, 32000, 16) + le16(0)) + chunk("bext", "x") +
                     chunk("data", pcm16({100, -100, 200, -200})) + chunk("LIST", std::string(9, '\xFF'));
  write_text(dir.file("chunks.wav"), riff(body));
  ASSERT_EQ(l.load(dir.file("chunks.wav")), kReadOk) << l.msg;
  EXPECT_EQ(l.b.channels, 2);
  EXPECT_EQ(l.b.sample_rate, 32000.0);
  EXPECT_EQ(samples_of(l.b), (std::vector<float>{100 / 32768.0f, -100 / 32768.0f, 200 / 32768.0f, -200 / 32768.0f}));
}

TEST(WavParser, DeclinedWavsFallThroughToFfmpeg) {
  TempDir dir;
  Loaded l;
  // A-law is not ours but FFmpeg's: G.711 values come back exact.
  write_text(dir.file("alaw.wav"), riff(chunk("fmt ", fmt_payload(6, 1, 8000, 8)) + chunk("data", "\xD5\x55\xAA\x2A")));
  ASSERT_EQ(l.load(dir.file("alaw.wav")), kReadOk) << l.msg;
  EXPECT_EQ(l.b.sample_rate, 8000.0);
  EXPECT_EQ(samples_of(l.b), (std::vector<float>{8 / 32768.0f, -8 / 32768.0f, 32256 / 32768.0f, -32256 / 32768.0f}));
  // Data before format fails our parser; FFmpeg finds the format further on.
  write_text(dir.file("late_fmt.wav"), riff(chunk("data", pcm16({300, -300})) + chunk("fmt ", fmt_payload(1, 1, 8000, 16))));
  ASSERT_EQ(l.load(dir.file("late_fmt.wav")), kReadOk) << l.msg;
  EXPECT_EQ(samples_of(l.b), (std::vector<float>{300 / 32768.0f, -300 / 32768.0f}));

  // Neither can read these: the caller sees FFmpeg's message and an empty buffer, never the
  // parser's own reasons.
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"twelve-byte samples", riff(chunk("fmt ", fmt_payload(1, 1, 8000, 96)) + chunk("data", std::string(48, '\0')))},
      {"no channels", riff(chunk("fmt ", fmt_payload(1, 0, 8000, 16)) + chunk("data", pcm16({1, 2})))},
      {"no data chunk", riff(chunk("fmt ", fmt_payload(1, 1, 8000, 16)))},
      {"less than a frame", riff(chunk("fmt ", fmt_payload(1, 2, 8000, 16)) + chunk("data", pcm16({1})))},
      {"not RIFF", "This is a text file, not a sound.\n"},
      {"zero length", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_text(dir.file("x.wav"), c.bytes);
    EXPECT_EQ(l.load(dir.file("x.wav")), kReadUnreadable);
    EXPECT_STREQ(l.msg, kCouldNotRead);
    EXPECT_TRUE(is_empty(l.b));
  }
}

namespace {

// A streaming sink that keeps everything it is given and can refuse at a chosen call.
struct Collector {
  int refuse_begin = 0;
  int refuse_at_block = -1;
  int begins = 0;
  int blocks = 0;
  int64_t largest_block = 0;
  int32_t channels = 0;
  int64_t expected = 0;
  std::vector<float> samples;
};

bool collect_begin(void* user, int32_t channels, double, int64_t frames_expected) {
  Collector* c = static_cast<Collector*>(user);
  c->begins++;
  c->channels = channels;
  c->expected = frames_expected;
  return !c->refuse_begin;
}

bool collect_block(void* user, const float* samples, int64_t frames) {
  Collector* c = static_cast<Collector*>(user);
  if (c->blocks++ == c->refuse_at_block) return false;
  c->largest_block = std::max(c->largest_block, frames);
  c->samples.insert(c->samples.end(), samples, samples + frames * c->channels);
  return true;
}

int stream(const std::string& path, Collector* c, char* msg) {
  ReadSink sink{};
  sink.user = c;
  sink.begin = collect_begin;
  sink.block = collect_block;
  msg[0] = 0;
  int r = read_audio_dispatch(path.c_str(), &sink, nullptr, msg, 96);
  sink_finish(&sink, false);
  return r;
}

}  // namespace

TEST(StreamingSink, DeliversWhatALoadHoldsAndStopsWhenRefused) {
  TempDir dir;
  std::string data;
  for (int i = 0; i < 10000; i++) data += pcm16({int16_t(i), int16_t(-i)});
  write_text(dir.file("long.wav"), riff(chunk("fmt ", fmt_payload(1, 2, 48000, 16)) + chunk("data", data)));
  ASSERT_TRUE(make_stereo_sine(dir.file("s.flac"), "-c:a flac"));
  char msg[96];
  for (const char* name : {"long.wav", "s.flac"}) {
    SCOPED_TRACE(name);
    Loaded l;
    ASSERT_EQ(l.load(dir.file(name)), kReadOk);
    Collector all;
    ASSERT_EQ(stream(dir.file(name), &all, msg), kReadOk);
    EXPECT_EQ(all.begins, 1);
    EXPECT_EQ(all.samples, samples_of(l.b));
    EXPECT_GT(all.blocks, 1);

    Collector no_begin;
    no_begin.refuse_begin = 1;
    EXPECT_EQ(stream(dir.file(name), &no_begin, msg), kReadCancelled);
    EXPECT_EQ(no_begin.blocks, 0);
    EXPECT_STREQ(msg, "");
    Collector second;
    second.refuse_at_block = 1;
    EXPECT_EQ(stream(dir.file(name), &second, msg), kReadCancelled);
    EXPECT_EQ(second.blocks, 2);
    EXPECT_STREQ(msg, "");
  }
  Collector wav;
  ASSERT_EQ(stream(dir.file("long.wav"), &wav, msg), kReadOk);
  EXPECT_EQ(wav.expected, 10000);
  EXPECT_EQ(wav.largest_block, kReadBlockFrames);
}

TEST(CompressedFormats, DecodeAtTheirOwnRateAndChannels) {
  TempDir dir;
  struct Case {
    const char* name;
    const char* args;
  } cases[] = {
      {"s.mp3", "-c:a libmp3lame -b:a 160k"}, {"s.m4a", "-c:a aac -b:a 160k"},     {"s.aac", "-c:a aac -b:a 160k -f adts"},
      {"s.flac", "-c:a flac"},                {"s.wma", "-c:a wmav2 -b:a 160k"},   {"s.ogg", "-c:a libvorbis -q:a 6"},
      {"s.opus", "-c:a libopus -b:a 160k"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(make_stereo_sine(dir.file(c.name), c.args));
    Loaded l;
    ASSERT_EQ(l.load(dir.file(c.name)), kReadOk) << l.msg;
    EXPECT_STREQ(l.msg, "");
    EXPECT_EQ(l.b.channels, 2);
    EXPECT_EQ(l.b.sample_rate, 48000.0);
    EXPECT_NEAR(audio_buffer_seconds(&l.b), 1.0, 0.05);
    // Left and right stay apart and in order; no resampling moves the pitch.
    EXPECT_NEAR(pitch_hz(l.b, 0), 440.0, 2.0);
    EXPECT_NEAR(pitch_hz(l.b, 1), 660.0, 2.0);
    EXPECT_NEAR(rms_of_middle(l.b, 0), 0.125 / std::sqrt(2.0), 0.01);
    EXPECT_NEAR(rms_of_middle(l.b, 1), 0.125 / std::sqrt(2.0), 0.01);
  }
}

TEST(CompressedFormats, FlacIsBitExactAgainstTheWavItWasMadeFrom) {
  TempDir dir;
  std::mt19937 rng(7);
  std::string data;
  for (int i = 0; i < 3000; i++) {
    const uint32_t v = rng() & 0xFFFFFF;
    data += std::string{char(v), char(v >> 8), char(v >> 16)};
  }
  write_text(dir.file("src.wav"), riff(chunk("fmt ", fmt_payload(1, 3, 96000, 24)) + chunk("data", data)));
  ASSERT_TRUE(run_ffmpeg("-i \"" + dir.file("src.wav") + "\" -c:a flac \"" + dir.file("src.flac") + "\""));
  Loaded wav, flac;
  ASSERT_EQ(wav.load(dir.file("src.wav")), kReadOk);
  ASSERT_EQ(flac.load(dir.file("src.flac")), kReadOk) << flac.msg;
  EXPECT_EQ(flac.b.channels, 3);
  EXPECT_EQ(flac.b.sample_rate, 96000.0);
  EXPECT_EQ(flac.b.frames, 1000);
  EXPECT_EQ(samples_of(flac.b), samples_of(wav.b));
}

TEST(CompressedFormats, ALengthClaimBeyondMemoryIsNotReservedUpFront) {
  // A FLAC header patched to claim 2^36 - 1 frames (about 400 hours): the one second that is
  // really there loads instead of a refusal or an attempt at half a terabyte.
  TempDir dir;
  ASSERT_TRUE(make_stereo_sine(dir.file("s.flac"), "-c:a flac"));
  std::string bytes = read_text(dir.file("s.flac"));
  ASSERT_EQ(bytes.substr(0, 4), "fLaC");
  bytes[8 + 13] = char(bytes[8 + 13] | 0x0F);  // the 36-bit total sample count of STREAMINFO
  for (int i = 14; i < 18; i++) bytes[8 + i] = char(0xFF);
  write_text(dir.file("claims.flac"), bytes);
  Loaded l;
  ASSERT_EQ(l.load(dir.file("claims.flac")), kReadOk) << l.msg;
  EXPECT_EQ(l.b.frames, 48000);
  EXPECT_NEAR(pitch_hz(l.b, 0), 440.0, 2.0);
}

TEST(BufferHelpers, PeaksOfALoadedBuffer) {
  float s[] = {0.0f, 0.1f, 0.0f, -0.2f, 0.0f, 0.5f, 0.0f, -1.0f, 0.0f, 0.25f};
  AudioBuffer mono{1, 8000.0, 10, s};
  float out[5];
  audio_buffer_peaks(&mono, out, 5);
  EXPECT_EQ(std::vector<float>(out, out + 5), (std::vector<float>{0.1f, 0.2f, 0.5f, 1.0f, 0.25f}));
  // Stereo: the louder channel of each frame counts; normalised to the loudest bin.
  AudioBuffer stereo{2, 8000.0, 5, s};
  float two[2];
  audio_buffer_peaks(&stereo, two, 2);  // frames 0-1 and 2-4
  EXPECT_EQ(two[0], 0.2f);
  EXPECT_EQ(two[1], 1.0f);
  // More bins than frames leaves some empty; none reads past the end.
  float many[7];
  audio_buffer_peaks(&stereo, many, 7);
  EXPECT_EQ(std::vector<float>(many, many + 7), (std::vector<float>{0.0f, 0.1f, 0.2f, 0.0f, 0.5f, 1.0f, 0.25f}));
  // A bin holding infinity reads 0 rather than flattening every other bin.
  float bad[] = {0.5f, std::numeric_limits<float>::infinity(), 0.25f, std::numeric_limits<float>::quiet_NaN()};
  AudioBuffer odd{1, 8000.0, 4, bad};
  float two_bad[2];
  audio_buffer_peaks(&odd, two_bad, 2);
  EXPECT_EQ(two_bad[0], 0.0f);
  EXPECT_EQ(two_bad[1], 1.0f);
  // Long bins are thinned, yet a sustained burst in one is found.
  std::vector<float> longbuf(300000, 0.01f);
  for (int i = 150000; i < 150200; i++) longbuf[i] = 0.8f;
  AudioBuffer lb{1, 48000.0, int64_t(longbuf.size()), longbuf.data()};
  float three[3];
  audio_buffer_peaks(&lb, three, 3);
  EXPECT_NEAR(three[0], 0.0125f, 1e-6);
  EXPECT_EQ(three[1], 1.0f);
  // Empty and null buffers give zeros.
  float z[3] = {7, 7, 7};
  AudioBuffer empty{};
  audio_buffer_peaks(&empty, z, 3);
  EXPECT_EQ(std::vector<float>(z, z + 3), std::vector<float>(3, 0.0f));
  z[1] = 7;
  audio_buffer_peaks(nullptr, z, 3);
  EXPECT_EQ(z[1], 0.0f);
  AudioBuffer no_rate{1, 0.0, 10, s};
  EXPECT_EQ(audio_buffer_seconds(&no_rate), 0.0);
}

TEST(FloatWav, HeaderBytesAndRoundTrip) {
  TempDir dir;
  const float s[] = {0.5f, -0.25f, 1.0f};
  ASSERT_TRUE(write_float_wav(dir.file("loop.wav").c_str(), s, 1, 3, 44100.4));
  const std::string expected = "RIFF" + le32(62) + "WAVE" + "fmt " + le32(18) + le16(3) + le16(1) + le32(44100) +
                               le32(176400) + le16(4) + le16(32) + le16(0) + "fact" + le32(4) + le32(3) + "data" +
                               le32(12) + std::string(reinterpret_cast<const char*>(s), 12);
  const std::string got = read_text(dir.file("loop.wav"));
  EXPECT_EQ(got.size(), 70u);
  EXPECT_EQ(got, expected);

  // What the writer writes, the reader reads back sample for sample (the "fact" chunk is skipped).
  std::vector<float> st;
  for (int i = 0; i < 5000; i++) st.insert(st.end(), {std::sin(i * 0.01f), -1.5f + i * 1e-4f});
  ASSERT_TRUE(write_float_wav(dir.file("st.wav").c_str(), st.data(), 2, 5000, 48000.0));
  Loaded l;
  ASSERT_EQ(l.load(dir.file("st.wav")), kReadOk) << l.msg;
  EXPECT_EQ(l.b.sample_rate, 48000.0);
  EXPECT_EQ(samples_of(l.b), st);
}

TEST(FloatWav, RefusesWhatItCannotWriteAndLeavesNoPartialFile) {
  TempDir dir;
  const float s[4] = {};
  const std::string p = dir.file("x.wav");
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(write_float_wav("", s, 1, 1, 48000));
  EXPECT_FALSE(write_float_wav(p.c_str(), s, 1, 0, 48000));
  EXPECT_FALSE(write_float_wav(p.c_str(), s, 1, 1, nan));
  // Data over 4,294,967,280 bytes (never read: the refusal comes first), and fields the header
  // cannot hold (block align in 16 bits, rate in 32).
  EXPECT_FALSE(write_float_wav(p.c_str(), s, 1, 1073741821, 48000));
  EXPECT_FALSE(write_float_wav(p.c_str(), s, 16384, 1, 48000));
  EXPECT_FALSE(write_float_wav(p.c_str(), s, 1, 1, 5e9));
  EXPECT_FALSE(path_exists(p.c_str()));
  EXPECT_FALSE(write_float_wav(dir.file("no/such/folder.wav").c_str(), s, 1, 4, 48000));

  // A write that fails after the header leaves no cut file that would read back as valid.
  file_fault_set(FileFault::kShortWrite, 1, 1);
  EXPECT_FALSE(write_float_wav(p.c_str(), s, 1, 4, 48000));
  file_fault_clear();
  EXPECT_FALSE(path_exists(p.c_str()));
  file_fault_set(FileFault::kCreate, 0, 1);
  EXPECT_FALSE(write_float_wav(p.c_str(), s, 1, 4, 48000));
  file_fault_clear();
  EXPECT_TRUE(write_float_wav(p.c_str(), s, 1, 4, 48000));
  EXPECT_EQ(read_text(p).size(), 58u + 16u);
}

// ---- Failing reads, damage inside a file, a cut file, a silent source, memory -----------------

TEST(ReadFailures, AFailedReadOrDamageInsideIsNeverAShorterFile) {
  // Ten seconds each, so that the reads, the damage and the cut all fall well inside the audio.
  TempDir dir;
  const std::pair<const char*, const char*> formats[] = {{"flac", "-c:a flac"},
                                                         {"ogg", "-c:a libvorbis -q:a 10"},
                                                         {"mp3", "-c:a libmp3lame -b:a 192k"},
                                                         {"wav", "-c:a pcm_s16le"}};
  for (auto [ext, args] : formats) {
    SCOPED_TRACE(ext);
    const std::string path = dir.file(std::string("clean.") + ext);
    ASSERT_TRUE(make_stereo_sine(path, args, 48000, 10.0));
    const std::string clean = read_text(path);
    Loaded l;
    ASSERT_EQ(l.load(path), kReadOk) << l.msg;
    const int64_t whole = l.b.frames;

    // A disk or share that fails half-way: a failure, never the part before it. FFmpeg reads
    // 32 KB at a time, our WAV parser 4096 frames (16 KB here).
    const size_t read_bytes = strcmp(ext, "wav") ? 32768 : 16384;
    ASSERT_GT(clean.size(), 3 * read_bytes);
    const int reads_to_middle = int(clean.size() / read_bytes / 2);
    file_fault_set(FileFault::kRead, reads_to_middle, -1);
    EXPECT_EQ(l.load(path), kReadFailed);
    file_fault_clear();
    EXPECT_STREQ(l.msg, kCouldNotRead);
    EXPECT_TRUE(is_empty(l.b));

    // A file that simply ends early keeps what it holds, as a cut WAV does.
    const std::string cut = dir.file(std::string("cut.") + ext);
    write_text(cut, clean.substr(0, clean.size() / 2));
    ASSERT_EQ(l.load(cut), kReadOk) << l.msg;
    EXPECT_GT(l.b.frames, whole * 2 / 5);
    EXPECT_LT(l.b.frames, whole * 3 / 5);

    // Garbage inside a file with checksums (FLAC frames, Ogg pages) is found: the decoder's refusal
    // or the audio the demuxer dropped ends the read, not a shorter success. MP3 and PCM have no
    // checksum to tell.
    if (!strcmp(ext, "flac") || !strcmp(ext, "ogg")) {
      std::string bytes = clean;
      std::mt19937 rng(3);
      for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 200; i++) bytes[i] = char(rng());
      const std::string damaged = dir.file(std::string("damaged.") + ext);
      write_text(damaged, bytes);
      EXPECT_EQ(l.load(damaged), kReadUnreadable);
      EXPECT_STREQ(l.msg, kCouldNotRead);
      EXPECT_TRUE(is_empty(l.b));
    }
  }
}

TEST(ReadFailures, ASilentSourceIsCancelledWhileItWaits) {
  // A FIFO stands for a stalled mount: its writer is there but sends only the start of a file.
  TempDir dir;
  ASSERT_TRUE(make_stereo_sine(dir.file("s.mp3"), "-c:a libmp3lame -b:a 128k"));
  const std::string mp3 = read_text(dir.file("s.mp3"));
  const std::string fifo = dir.file("stall.mp3");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK);  // holds it open, never blocks
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, mp3.data(), 1000), 1000);
  std::atomic<int32_t> cancel{0};
  std::atomic<int> result{1};
  Loaded l;
  std::thread reader([&] { result = read_audio_file(fifo.c_str(), &l.b, &cancel, l.msg, sizeof l.msg); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(result.load(), 1);  // still waiting for the rest while it probes
  cancel = 1;
  const auto t0 = std::chrono::steady_clock::now();
  while (result.load() == 1 && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const bool ended = result.load() != 1;
  close(writer);  // ends a reader that did not listen, so the test itself cannot hang
  reader.join();
  EXPECT_TRUE(ended);
  EXPECT_EQ(result.load(), kReadCancelled);
  EXPECT_STREQ(l.msg, "");
  EXPECT_TRUE(is_empty(l.b));

  // A slow source that does deliver is read whole. (The feeder gives up after ten seconds, so a
  // reader that never comes cannot hang the test.)
  const int w = open(fifo.c_str(), O_RDWR | O_NONBLOCK);  // a writer before the reader looks
  ASSERT_GE(w, 0);
  std::thread feeder([&] {
    const auto start = std::chrono::steady_clock::now();
    for (size_t at = 0; at < mp3.size() && std::chrono::steady_clock::now() - start < std::chrono::seconds(10);) {
      const ssize_t n = write(w, mp3.data() + at, std::min<size_t>(4096, mp3.size() - at));
      if (n > 0) at += size_t(n);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the reader takes the rest
    close(w);
  });
  Loaded slow;
  const int r = slow.load(fifo);
  feeder.join();
  ASSERT_EQ(r, kReadOk) << slow.msg;
  EXPECT_NEAR(audio_buffer_seconds(&slow.b), 1.0, 0.05);
}

TEST(ReadFailures, LoadsStopAtTheMemoryTheMachineHas) {
  // Silence compresses to almost nothing: a small FLAC that decodes to ten minutes (230 MB of
  // float) against 64 MB available ends as out of memory instead of growing until the kernel
  // ends the program. A minute (23 MB) still fits.
  TempDir dir;
  for (const char* name : {"minute.flac", "ten.flac"}) {
    const std::string seconds = name[0] == 'm' ? "60" : "600";
    ASSERT_TRUE(run_ffmpeg("-f lavfi -i anullsrc=r=48000:cl=stereo -t " + seconds + " -c:a flac \"" +
                           dir.file(name) + "\""));
  }
  EXPECT_LT(read_text(dir.file("ten.flac")).size(), 4000000u);
  available_memory_fake(64u << 20);
  Loaded l;
  EXPECT_EQ(l.load(dir.file("minute.flac")), kReadOk) << l.msg;
  EXPECT_EQ(l.b.frames, 60 * 48000);
  EXPECT_EQ(l.load(dir.file("ten.flac")), kReadFailed);
  EXPECT_STREQ(l.msg, "OUT OF MEMORY");
  EXPECT_TRUE(is_empty(l.b));
  available_memory_fake(0);
  EXPECT_EQ(l.load(dir.file("ten.flac")), kReadOk) << l.msg;
}

// ---- Damaged files of every format ----------------------------------------------------------

namespace {

struct Format {
  const char* ext;
  const char* args;
};

void PrintTo(const Format& f, std::ostream* os) { *os << f.ext << " (" << f.args << ")"; }

class DamagedFiles : public testing::TestWithParam<Format> {};

// Every outcome is one of the documented codes with its message, and a failure keeps nothing.
void expect_contract(int r, const Loaded& l) {
  if (r == kReadOk) {
    EXPECT_STREQ(l.msg, "");
    EXPECT_GT(l.b.channels, 0);
    EXPECT_GT(l.b.sample_rate, 0.0);
    EXPECT_GT(l.b.frames, 0);
    ASSERT_NE(l.b.samples, nullptr);
    float bins[16];
    audio_buffer_peaks(&l.b, bins, 16);  // touches every frame's memory under the sanitizer
    return;
  }
  EXPECT_TRUE(is_empty(l.b));
  if (r == kReadUnreadable) EXPECT_STREQ(l.msg, kCouldNotRead);
  else if (r == kReadFailed) EXPECT_TRUE(!strcmp(l.msg, "TRUNCATED") || !strcmp(l.msg, "OUT OF MEMORY")) << l.msg;
  else ADD_FAILURE() << "result " << r;
}

}  // namespace

TEST_P(DamagedFiles, EndInAResultCodeWithoutCrashOrHang) {
  const Format fmt = GetParam();
  TempDir dir;
  const std::string clean_path = dir.file(std::string("clean.") + fmt.ext);
  // Three seconds, so that even Ogg holds several pages and damage can spare some of them.
  ASSERT_TRUE(make_stereo_sine(clean_path, fmt.args, 48000, 3.0));
  const std::string clean = read_text(clean_path);
  ASSERT_GT(clean.size(), 1000u);
  Loaded l;
  ASSERT_EQ(l.load(clean_path), kReadOk) << l.msg;
  const std::string victim = dir.file(std::string("v.") + fmt.ext);
  int loaded = 0;
  auto check = [&](const std::string& bytes, const char* what, size_t n) {
    SCOPED_TRACE(testing::Message() << what << " " << n);
    write_text(victim, bytes);
    const int r = l.load(victim);
    expect_contract(r, l);
    loaded += r == kReadOk;
  };

  // Cut at the start, inside the header and all through the stream.
  const size_t n = clean.size();
  for (size_t cut : {size_t(0), size_t(1), size_t(4), size_t(11), size_t(12), size_t(44), size_t(100), size_t(300),
                     size_t(1000), n / 4, n / 2, n - 1})
    check(clean.substr(0, cut), "cut at", cut);
  // Bits flipped anywhere, then in the header region where the parsers live.
  std::mt19937 rng{uint32_t(n)};
  for (int round = 0; round < 48; round++) {
    std::string bytes = clean;
    const size_t span = round < 24 ? n : std::min<size_t>(n, 600);
    const int flips = 1 + int(rng() % 40);
    for (int i = 0; i < flips; i++) bytes[rng() % span] ^= char(1 << (rng() % 8));
    check(bytes, "flips, round", size_t(round));
  }
  // Runs of zeros and of random bytes.
  for (int round = 0; round < 8; round++) {
    std::string bytes = clean;
    const size_t at = rng() % n, len = std::min<size_t>(n - at, 1 + rng() % 2000);
    for (size_t i = at; i < at + len; i++) bytes[i] = round % 2 ? char(rng()) : '\0';
    check(bytes, "overwritten at", at);
  }
  // The right bytes under every other extension, and a renamed program under this one.
  for (const char* other : {"wav", "mp3", "m4a", "aac", "flac", "wma", "ogg", "opus"}) {
    const std::string renamed = dir.file(std::string("r.") + other);
    write_text(renamed, clean);
    SCOPED_TRACE(other);
    expect_contract(l.load(renamed), l);
  }
  std::string program = read_text("/proc/self/exe").substr(0, 200000);
  check(program, "renamed program", program.size());
  // The damage test is only worth something if the decoder also got through some of it.
  EXPECT_GT(loaded, 0);
}

const Format kFormats[] = {
    {"wav", "-c:a pcm_s16le"},         {"wav", "-c:a pcm_f32le"},    {"wav", "-c:a pcm_alaw"},
    {"mp3", "-c:a libmp3lame -b:a 128k"}, {"m4a", "-c:a aac -b:a 128k"}, {"aac", "-c:a aac -b:a 128k -f adts"},
    {"flac", "-c:a flac"},             {"wma", "-c:a wmav2 -b:a 128k"}, {"ogg", "-c:a libvorbis"},
    {"opus", "-c:a libopus -b:a 96k"},
};

std::string format_name(const testing::TestParamInfo<Format>& info) {
  static const char* const names[] = {"wav_s16", "wav_f32", "wav_alaw", "mp3", "m4a",
                                      "aac",     "flac",    "wma",      "ogg", "opus"};
  return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, DamagedFiles, testing::ValuesIn(kFormats), format_name);

