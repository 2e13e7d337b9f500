// Take files from a real tape: names within one second, header and sample bytes at 16 and 24 bits,
// clamping and truncation, runs across chunks and missing chunks, failing writes; the WAV probe
// and reader on hand-made files; the take listing; joining a session and cancelling a join.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/file.h"
#include "platform/paths.h"
#include "sessions/session.h"
#include "sessions/take_writer.h"
#include "tests/sessions/session_fixture.h"

namespace {

int32_t sample_at(const std::vector<uint8_t>& bytes, size_t offset, int width) {
  uint32_t v = 0;
  for (int i = 0; i < width; ++i) v |= uint32_t(bytes[offset + size_t(i)]) << (8 * i);
  const int shift = 32 - 8 * width;
  return int32_t(v << shift) >> shift;
}

uint32_t u32_at(const std::vector<uint8_t>& b, size_t o) { return uint32_t(sample_at(b, o, 4)); }
uint32_t u16_at(const std::vector<uint8_t>& b, size_t o) { return uint32_t(sample_at(b, o, 2)) & 0xFFFF; }

void set_frame(CaptureEngine* e, int64_t frame, float l, float r) {
  float* f = tape_frame(&e->tape, frame);
  ASSERT_NE(f, nullptr) << frame;
  f[0] = l;
  f[1] = r;
}

}  // namespace

TEST(TakeWriter, TakesStartingInTheSameSecondGetNumberedNames) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  arm_session(r);
  TakeEntry first = rig.record_take();
  rig.record_take();
  rig.record_take();
  ASSERT_EQ(r->takes.take_count, 3);
  const int64_t t = local_seconds(2026, 10, 5, 14, 3, 7);
  for (int i = 0; i < 3; ++i) r->takes.takes[i].started_at = t;

  EXPECT_EQ(write_pending_takes(r), 3);
  EXPECT_EQ(r->takes.written_count, 3);
  EXPECT_STREQ(r->session.names[0], "tolm-140307.wav");
  EXPECT_STREQ(r->session.names[1], "tolm-140307-2.wav");
  EXPECT_STREQ(r->session.names[2], "tolm-140307-3.wav");
  EXPECT_EQ(folder_names(rig.session_folder()),
            (std::vector<std::string>{"session.json", "tolm-140307-2.wav", "tolm-140307-3.wav", "tolm-140307.wav"}));
  char line[64];
  snprintf(line, sizeof line, "spilled tolm-140307.wav  %.1fs", double(first.end - first.start) / 48000.0);
  EXPECT_TRUE(logged(line));
  // The file holds the tape's frames of its take.
  EXPECT_EQ(wav_samples(rig.session_folder() + "/tolm-140307.wav"), quantized16(rig.tape(first)));
}

TEST(TakeWriter, SixteenAndTwentyFourBitFilesHoldClampedTruncatedSamples) {
  TempDir dir;
  auto e = make_engine(48000);
  const float left[] = {1.5f, -1.0f, 0.5f, -0.25f, NAN, -2.0f, 1e-6f, -INFINITY};
  const float right[] = {0.999f, -0.5f, 0.0001f, INFINITY, 0.25f, -1e-6f, -0.75f, 0.1f};
  for (int i = 0; i < 8; ++i) set_frame(e.get(), 100 + i, left[i], right[i]);

  const std::string p16 = dir.file("a.wav"), p24 = dir.file("b.wav"), p32 = dir.file("c.wav");
  ASSERT_EQ(write_pcm_wav(p16.c_str(), &e->tape, 100, 108, 44100.9, 16), 0);
  ASSERT_EQ(write_pcm_wav(p24.c_str(), &e->tape, 100, 108, 44100.9, 24), 0);
  ASSERT_EQ(write_pcm_wav(p32.c_str(), &e->tape, 100, 108, 44100.9, 32), 0);

  const auto b16 = file_bytes(p16);
  ASSERT_EQ(b16.size(), 44u + 8 * 4);
  const std::vector<uint8_t> head16 = {'R', 'I', 'F', 'F', 68, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                                       16, 0, 0, 0, 1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0,
                                       4, 0, 16, 0, 'd', 'a', 't', 'a', 32, 0, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(b16.begin(), b16.begin() + 44), head16);  // rate 44100, bytes/s 176400
  const int32_t want16[] = {32767, 32734, -32767, -16383, 16383, 3, -8191, 32767,
                            0,     8191,  -32767, 0,      0,     -24575, -32767, 3276};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(sample_at(b16, 44 + size_t(2 * i), 2), want16[i]) << i;
  EXPECT_EQ(file_bytes(p32), b16);  // any depth but 24 writes 16-bit files

  const auto b24 = file_bytes(p24);
  ASSERT_EQ(b24.size(), 44u + 8 * 6);
  EXPECT_EQ(u32_at(b24, 4), 36u + 48);
  EXPECT_EQ(u32_at(b24, 24), 44100u);
  EXPECT_EQ(u32_at(b24, 28), 44100u * 6);
  EXPECT_EQ(u16_at(b24, 32), 6u);
  EXPECT_EQ(u16_at(b24, 34), 24u);
  EXPECT_EQ(u32_at(b24, 40), 48u);
  const int32_t want24[] = {8388607, 8380218, -8388607, -4194303, 4194303, 838, -2097151, 8388607,
                            0,       2097151, -8388607, -8,       8,       -6291455, -8388607, 838860};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(sample_at(b24, 44 + size_t(3 * i), 3), want24[i]) << i;

  // Files of one, two and three frames take the converter's shorter paths; every frame comes out
  // the same as in the eight-frame file.
  for (int depth : {16, 24}) {
    const int width = depth == 24 ? 3 : 2;
    const auto& whole = depth == 24 ? b24 : b16;
    for (int group = 1; group <= 3; ++group)
      for (int first = 0; first + group <= 8; first += group) {
        ASSERT_EQ(write_pcm_wav(p32.c_str(), &e->tape, 100 + first, 100 + first + group, 44100, depth), 0);
        const auto part = file_bytes(p32);
        ASSERT_EQ(part.size(), 44u + size_t(group * 2 * width));
        EXPECT_TRUE(std::equal(part.begin() + 44, part.end(), whole.begin() + 44 + first * 2 * width))
            << depth << " bits, frames " << first << "+" << group;
      }
  }

  // One second at 48 kHz: 192,000 data bytes, RIFF size 192,036, file 192,044 (288,044 at 24 bits).
  ASSERT_EQ(write_pcm_wav(p16.c_str(), &e->tape, 0, 48000, 48000, 16), 0);
  const auto one = file_bytes(p16);
  EXPECT_EQ(one.size(), 192044u);
  EXPECT_EQ(u32_at(one, 4), 192036u);
  EXPECT_EQ(u32_at(one, 40), 192000u);
  ASSERT_EQ(write_pcm_wav(p24.c_str(), &e->tape, 0, 48000, 48000, 24), 0);
  EXPECT_EQ(file_bytes(p24).size(), 288044u);

  // Nothing to write, or a file that cannot be made: -1 and no file.
  EXPECT_EQ(write_pcm_wav(dir.file("none.wav").c_str(), &e->tape, 50, 50, 48000, 16), -1);
  EXPECT_FALSE(path_exists(dir.file("none.wav").c_str()));
  EXPECT_EQ(write_pcm_wav(dir.file("no/such/folder.wav").c_str(), &e->tape, 0, 10, 48000, 16), -1);
}

TEST(TakeWriter, RunsCrossChunksAndMissingChunksReadAsSilence) {
  TempDir dir;
  auto e = make_engine(48000);
  const int64_t cf = e->tape.chunk_frames;
  ASSERT_EQ(cf, 480000);
  // A ramp over the end of chunk 0 and the start of chunk 1, longer than one 8,192-frame run.
  for (int64_t f = cf - 20000; f < cf + 20000; ++f)
    set_frame(e.get(), f, float(f % 2001) / 1000.0f - 1.0f, -float(f % 997) / 997.0f);
  const std::string path = dir.file("long.wav");
  ASSERT_EQ(write_pcm_wav(path.c_str(), &e->tape, cf - 20000, cf + 20000, 48000, 16), 0);
  EXPECT_EQ(wav_samples(path), quantized16(tape_frames(e.get(), cf - 20000, cf + 20000)));

  // Chunk 2 is present, chunk 3 never was (the tape ran full mid-take): its frames are silence.
  ASSERT_NE(tape_frame(&e->tape, 3 * cf - 1), nullptr);
  ASSERT_EQ(tape_frame(&e->tape, 3 * cf), nullptr);
  for (int64_t f = 3 * cf - 50; f < 3 * cf; ++f) set_frame(e.get(), f, 0.25f, -0.25f);
  ASSERT_EQ(write_pcm_wav(path.c_str(), &e->tape, 3 * cf - 50, 3 * cf + 50, 48000, 24), 0);
  auto s = wav_samples(path);
  ASSERT_EQ(s.size(), 200u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_FLOAT_EQ(s[size_t(i)], i % 2 ? -2097151.0f / 8388608.0f : 2097151.0f / 8388608.0f) << i;
    EXPECT_EQ(s[size_t(100 + i)], 0.0f) << i;
  }

  // A write that fails part-way (a short write, a full disk) is never success.
  file_fault_set(FileFault::kShortWrite, 2, 1);
  EXPECT_EQ(write_pcm_wav(path.c_str(), &e->tape, cf - 20000, cf + 20000, 48000, 16), -1);
  file_fault_set(FileFault::kDiskFull, 0, 1);
  EXPECT_EQ(write_pcm_wav(path.c_str(), &e->tape, 0, 10, 48000, 16), -1);
  file_fault_clear();
}

TEST(TakeWriter, ReaderAndProbeOnHandMadeFiles) {
  TempDir dir;
  // 24-bit mono: both sides the same value.
  write_wav_file(dir.file("mono24.wav"), 1, 1, 44100, 24, {0.5, -0.25, -1.0, 8388607.0 / 8388608.0});
  double rate = 0;
  auto s = wav_samples(dir.file("mono24.wav"), &rate);
  EXPECT_EQ(rate, 44100.0);
  EXPECT_EQ(s, (std::vector<float>{0.5f, 0.5f, -0.25f, -0.25f, -1.0f, -1.0f, 8388607.0f / 8388608.0f,
                                   8388607.0f / 8388608.0f}));
  // 32-bit float comes back exactly as stored, past full scale too; 3 channels keep the first two.
  write_wav_file(dir.file("float.wav"), 3, 3, 96000, 32, {1.75, -0.1, 9.0, 0.3, -3.5, 7.0});
  EXPECT_EQ(wav_samples(dir.file("float.wav")), (std::vector<float>{1.75f, -0.1f, 0.3f, -3.5f}));
  write_wav_file(dir.file("int32.wav"), 1, 2, 48000, 32, {0.5, -1.0});
  EXPECT_EQ(wav_samples(dir.file("int32.wav")), (std::vector<float>{0.5f, -1.0f}));
  // 16-bit: value / 32,768.
  write_wav_file(dir.file("s16.wav"), 1, 2, 48000, 16, {32767.0 / 32768, -1.0, 0.0, 1.0 / 32768});
  EXPECT_EQ(wav_samples(dir.file("s16.wav")), (std::vector<float>{32767.0f / 32768, -1.0f, 0.0f, 1.0f / 32768}));

  // 8-bit is refused by the reader; the probe still tells its length.
  write_wav_file(dir.file("u8.wav"), 1, 2, 8000, 8, std::vector<double>(1600, 0.1));
  AudioBuffer b{};
  EXPECT_EQ(read_wav(dir.file("u8.wav").c_str(), &b), -1);
  EXPECT_EQ(b.samples, nullptr);
  double seconds = 0;
  ASSERT_TRUE(probe_wav(dir.file("u8.wav").c_str(), &seconds, &rate));
  EXPECT_DOUBLE_EQ(seconds, 0.1);
  EXPECT_EQ(rate, 8000.0);

  // Chunks before "fmt " and between it and "data", with odd sizes padded to even.
  auto bytes = file_bytes(dir.file("s16.wav"));
  std::vector<uint8_t> odd(bytes.begin(), bytes.begin() + 12);
  for (uint8_t c : std::vector<uint8_t>{'J', 'U', 'N', 'K', 3, 0, 0, 0, 1, 2, 3, 0}) odd.push_back(c);
  odd.insert(odd.end(), bytes.begin() + 12, bytes.begin() + 36);
  for (uint8_t c : std::vector<uint8_t>{'L', 'I', 'S', 'T', 1, 0, 0, 0, 9, 0}) odd.push_back(c);
  odd.insert(odd.end(), bytes.begin() + 36, bytes.end());
  std::ofstream(dir.file("odd.wav"), std::ios::binary).write(reinterpret_cast<const char*>(odd.data()), std::streamsize(odd.size()));
  EXPECT_EQ(wav_samples(dir.file("odd.wav")), wav_samples(dir.file("s16.wav")));
  ASSERT_TRUE(probe_wav(dir.file("odd.wav").c_str(), &seconds, &rate));
  EXPECT_DOUBLE_EQ(seconds, 2.0 / 48000);

  // A header that claims more than the file holds (cut short by a crash, or a size never fixed
  // up) reads, and probes, as far as whole frames go.
  auto cut = bytes;
  cut.resize(bytes.size() - 2);
  std::ofstream(dir.file("cut.wav"), std::ios::binary).write(reinterpret_cast<const char*>(cut.data()), std::streamsize(cut.size()));
  EXPECT_EQ(wav_samples(dir.file("cut.wav")), (std::vector<float>{32767.0f / 32768, -1.0f}));
  ASSERT_TRUE(probe_wav(dir.file("cut.wav").c_str(), &seconds, &rate));
  EXPECT_DOUBLE_EQ(seconds, 1.0 / 48000);
  auto huge = bytes;
  huge[40] = huge[41] = huge[42] = huge[43] = 0xFF;
  std::ofstream(dir.file("huge.wav"), std::ios::binary).write(reinterpret_cast<const char*>(huge.data()), std::streamsize(huge.size()));
  EXPECT_EQ(wav_samples(dir.file("huge.wav")), wav_samples(dir.file("s16.wav")));
  ASSERT_TRUE(probe_wav(dir.file("huge.wav").c_str(), &seconds, &rate));
  EXPECT_DOUBLE_EQ(seconds, 2.0 / 48000);
  // Damaged beyond that: no "fmt ", zero channels, not RIFF at all.
  auto nofmt = bytes;
  memcpy(nofmt.data() + 12, "fmx ", 4);
  std::ofstream(dir.file("nofmt.wav"), std::ios::binary).write(reinterpret_cast<const char*>(nofmt.data()), std::streamsize(nofmt.size()));
  EXPECT_EQ(read_wav(dir.file("nofmt.wav").c_str(), &b), -1);
  EXPECT_FALSE(probe_wav(dir.file("nofmt.wav").c_str(), &seconds, &rate));
  EXPECT_EQ(seconds, 0.0);
  auto nochan = bytes;
  nochan[22] = 0;
  std::ofstream(dir.file("nochan.wav"), std::ios::binary).write(reinterpret_cast<const char*>(nochan.data()), std::streamsize(nochan.size()));
  EXPECT_EQ(read_wav(dir.file("nochan.wav").c_str(), &b), -1);
  EXPECT_FALSE(probe_wav(dir.file("nochan.wav").c_str(), &seconds, &rate));
  write_text(dir.file("text.wav"), "RIFX....WAVEfmt ");
  EXPECT_FALSE(probe_wav(dir.file("text.wav").c_str(), &seconds, &rate));
  EXPECT_FALSE(probe_wav(dir.file("missing.wav").c_str(), &seconds, &rate));
  EXPECT_FALSE(probe_wav(dir.path.c_str(), &seconds, &rate));

  // Read run by run, every file gives what the whole read gives, and refuses what it refuses.
  std::vector<double> long16(2 * 20000);
  for (size_t i = 0; i < long16.size(); ++i) long16[i] = double(int(i * 7919 % 65536) - 32768) / 32768.0;
  write_wav_file(dir.file("long16.wav"), 1, 2, 48000, 16, long16);
  auto streamed = [](const std::string& path, int64_t run) {
    auto r = std::make_unique<WavReader>();
    std::vector<float> all, buf(size_t(2 * run));
    if (wav_reader_open(r.get(), path.c_str()) != 0) return std::vector<float>{-99.0f};
    for (int64_t n; (n = wav_reader_read(r.get(), buf.data(), run)) > 0;) all.insert(all.end(), buf.begin(), buf.begin() + 2 * n);
    EXPECT_EQ(int64_t(all.size()), 2 * r->frames) << path;
    wav_reader_close(r.get());
    return all;
  };
  for (const char* name : {"mono24.wav", "float.wav", "int32.wav", "s16.wav", "odd.wav", "long16.wav", "cut.wav", "huge.wav"}) {
    EXPECT_EQ(streamed(dir.file(name), 3), wav_samples(dir.file(name))) << name;
    EXPECT_EQ(streamed(dir.file(name), 1 << 20), wav_samples(dir.file(name))) << name;
  }
  for (const char* name : {"u8.wav", "nofmt.wav", "nochan.wav", "missing.wav"})
    EXPECT_EQ(streamed(dir.file(name), 3), std::vector<float>{-99.0f}) << name;
}

TEST(TakeWriter, ListingSortsByWriteTimeThenNameAndSkipsWhatIsNoTake) {
  TempDir dir;
  write_wav_file(dir.file("b.wav"), 1, 2, 48000, 16, std::vector<double>(96000, 0.0));  // 1 s
  write_wav_file(dir.file("a.wav"), 1, 2, 48000, 16, std::vector<double>(48000, 0.0));
  write_wav_file(dir.file("C.WAV"), 1, 1, 44100, 16, std::vector<double>(22050, 0.0));
  write_text(dir.file("notes.txt"), "x");
  write_text(dir.file("broken.wav"), "not a wav");
  std::filesystem::create_directory(dir.file("folder.wav"));
  const int64_t base = int64_t(1700000000) * 1000000000;
  set_file_mtime(dir.file("b.wav").c_str(), base);
  set_file_mtime(dir.file("a.wav").c_str(), base + 1000000000);
  set_file_mtime(dir.file("C.WAV").c_str(), base + 1000000000);
  set_file_mtime(dir.file("broken.wav").c_str(), base - 1000000000);

  TakeFile files[8];
  ASSERT_EQ(list_take_files(dir.path.c_str(), files, 8), 4);
  EXPECT_STREQ(files[0].name, "broken.wav");
  EXPECT_EQ(files[0].seconds, 0.0);
  EXPECT_STREQ(files[1].name, "b.wav");
  EXPECT_DOUBLE_EQ(files[1].seconds, 1.0);
  EXPECT_STREQ(files[2].name, "C.WAV");  // same time as a.wav: byte order puts 'C' first
  EXPECT_DOUBLE_EQ(files[2].seconds, 0.5);
  EXPECT_EQ(files[2].rate, 44100.0);
  EXPECT_STREQ(files[3].name, "a.wav");
  EXPECT_EQ(files[3].size_bytes, 44 + 48000 * 2);
  EXPECT_EQ(files[1].write_time, base / 100 + 116444736000000000ll);
  EXPECT_EQ(list_take_files(dir.path.c_str(), files, 2), 2);
  EXPECT_STREQ(files[1].name, "b.wav");
  EXPECT_EQ(list_take_files(dir.file("nowhere").c_str(), files, 8), -1);
}

TEST(TakeWriter, JoinSkipsUnreadableFilesAndReplacesTheDestination) {
  TempDir dir;
  const std::string folder = dir.file("session");
  std::filesystem::create_directory(folder);
  write_wav_file(folder + "/1.wav", 1, 2, 48000, 16, {0.5, -0.5, 0.25, -0.25});
  write_text(folder + "/2.wav", "RIFF damaged");
  write_wav_file(folder + "/3.wav", 1, 1, 44100, 24, {0.125, -0.75});   // another rate: appended unchanged
  write_wav_file(folder + "/4.wav", 3, 2, 48000, 32, {1.5, -2.0});
  const int64_t base = int64_t(1700000000) * 1000000000;
  for (int i = 1; i <= 4; ++i) set_file_mtime((folder + "/" + std::to_string(i) + ".wav").c_str(), base + i);
  const std::string dest = dir.file("joined.wav");
  write_text(dest, "an older join");

  std::atomic<int> cancel{0}, progress{0};
  ASSERT_EQ(join_session(folder.c_str(), dest.c_str(), &cancel, &progress), 0);
  EXPECT_EQ(progress.load(), 4);
  EXPECT_FALSE(path_exists((dest + ".part").c_str()));
  const auto b = file_bytes(dest);
  ASSERT_EQ(b.size(), 44u + 5 * 8);
  EXPECT_EQ(memcmp(b.data(), "RIFF", 4), 0);
  EXPECT_EQ(u32_at(b, 4), 36u + 40);
  EXPECT_EQ(u16_at(b, 20), 3u);   // IEEE float
  EXPECT_EQ(u16_at(b, 22), 2u);
  EXPECT_EQ(u32_at(b, 24), 48000u);
  EXPECT_EQ(u32_at(b, 28), 48000u * 8);
  EXPECT_EQ(u16_at(b, 32), 8u);
  EXPECT_EQ(u16_at(b, 34), 32u);
  EXPECT_EQ(u32_at(b, 40), 40u);
  EXPECT_EQ(wav_samples(dest), (std::vector<float>{0.5f, -0.5f, 0.25f, -0.25f, 0.125f, 0.125f, -0.75f, -0.75f,
                                                   1.5f, -2.0f}));
  // Nothing readable, or nothing to join: -1, the destination untouched, no ".part" left.
  const std::string empty = dir.file("empty");
  std::filesystem::create_directory(empty);
  EXPECT_EQ(join_session(empty.c_str(), dest.c_str(), nullptr, nullptr), -1);
  write_text(empty + "/x.wav", "junk");
  EXPECT_EQ(join_session(empty.c_str(), dest.c_str(), nullptr, nullptr), -1);
  EXPECT_EQ(file_bytes(dest), b);
  EXPECT_FALSE(path_exists((dest + ".part").c_str()));
  // The ".part" file cannot be made.
  EXPECT_EQ(join_session(folder.c_str(), dir.file("no/such.wav").c_str(), nullptr, nullptr), -1);
  // A write error part-way deletes the ".part" file.
  file_fault_set(FileFault::kDiskFull, 2, -1);
  EXPECT_EQ(join_session(folder.c_str(), dest.c_str(), nullptr, nullptr), -1);
  file_fault_clear();
  EXPECT_FALSE(path_exists((dest + ".part").c_str()));
  EXPECT_EQ(file_bytes(dest), b);
}

TEST(TakeWriter, CancelledJoinLeavesNoPartAndNoDestination) {
  TempDir dir;
  const std::string folder = dir.file("session");
  std::filesystem::create_directory(folder);
  const int files = 64;
  for (int i = 0; i < files; ++i) {
    char name[32];
    snprintf(name, sizeof name, "/t%02d.wav", i);
    write_wav_file(folder + name, 1, 2, 48000, 16, std::vector<double>(2 * 96000, 0.25));
  }
  const std::string dest = dir.file("joined.wav");
  std::atomic<int> cancel{0}, progress{0};
  int result = 0;
  std::thread join([&] { result = join_session(folder.c_str(), dest.c_str(), &cancel, &progress); });
  while (progress.load() < 1) std::this_thread::yield();
  cancel = 1;
  join.join();
  EXPECT_EQ(result, -1);
  EXPECT_GE(progress.load(), 1);
  EXPECT_LT(progress.load(), files);
  EXPECT_FALSE(path_exists(dest.c_str()));
  EXPECT_FALSE(path_exists((dest + ".part").c_str()));
}

// A crash or power cut in the middle of writing: a child process writes the session's takes and
// is killed at many points. Every file under a take's name holds the whole take, and session.json
// never names a file that is not there.
TEST(TakeWriter, AProcessKilledMidWriteLeavesOnlyWholeTakesUnderTheirNames) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  ASSERT_EQ(arm_session(r), 0);
  std::vector<TakeEntry> takes;
  for (int i = 0; i < 3; ++i) {
    takes.push_back(rig.record_take(96000));
    rig.now += 3;
  }
  const std::string folder = rig.session_folder();
  // The last run is not killed: it shows the takes do get written.
  for (int delay_us : {0, 100, 300, 1000, 2000, 4000, 8000, 16000, 32000, 64000, -1}) {
    for (const auto& e : std::filesystem::directory_iterator(folder)) std::filesystem::remove(e.path());
    ASSERT_EQ(write_session_index(r), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const char go = 1;
      if (write(ready[1], &go, 1) != 1) _exit(2);
      write_pending_takes(r);
      _exit(0);
    }
    char go = 0;
    ASSERT_EQ(read(ready[0], &go, 1), 1);
    close(ready[0]);
    close(ready[1]);
    if (delay_us >= 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
      kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);

    int whole = 0;
    for (const std::string& name : folder_names(folder)) {
      if (name == "session.json" || is_temporary_name(name.c_str())) continue;
      const std::vector<uint8_t> bytes = file_bytes(folder + "/" + name);
      ASSERT_GE(bytes.size(), 44u) << name << " after " << delay_us << " us";
      EXPECT_EQ(u32_at(bytes, 40), bytes.size() - 44) << name << " claims more than it holds";
      const auto take = std::find_if(takes.begin(), takes.end(), [&](const TakeEntry& t) { return stamp_name(t.started_at) == name; });
      ASSERT_NE(take, takes.end()) << name;
      EXPECT_EQ(wav_samples(folder + "/" + name), quantized16(rig.tape(*take))) << name;
      ++whole;
    }
    const std::string index = read_text(folder + "/session.json");
    for (size_t at = index.find("\"file\": \""); at != std::string::npos; at = index.find("\"file\": \"", at + 1)) {
      const size_t from = at + 9;
      const std::string listed = index.substr(from, index.find('"', from) - from);
      EXPECT_TRUE(is_file((folder + "/" + listed).c_str())) << listed << " is listed but not there";
    }
    if (delay_us < 0) {
      EXPECT_EQ(whole, 3);
    }
  }
}
