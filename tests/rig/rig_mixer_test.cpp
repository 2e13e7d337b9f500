// The rig mixer on synthetic blocks: matrices from scenes and the default layouts, the hold and the
// fallback to the default layout, another rig's matrix and mute-all, the first matrix's short
// ramp, restarts, bad samples, clips and peaks, and ramps that never step further than their
// length allows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "rig/rig_doc.h"
#include "rig/rig_mixer.h"

namespace {

struct DocFree {
  void operator()(RigDoc* d) const {
    rig_free(d);
    free(d);
  }
};
using Doc = std::unique_ptr<RigDoc, DocFree>;

Doc device_doc(const char* api, int inputs) {
  Doc d(static_cast<RigDoc*>(calloc(1, sizeof(RigDoc))));
  rig_init_for_device(d.get(), "k", api, "dev", inputs, nullptr, "tolm", 0);
  return d;
}

// A mixer fed constant inputs in blocks, keeping everything it put out.
struct Bench {
  std::unique_ptr<RigMixer> m = std::make_unique<RigMixer>();
  int inputs;
  std::vector<float> dc;  // the value of each input
  std::vector<float> left, right;
  explicit Bench(int n) : inputs(n), dc(size_t(n), 0.0f) {}
  void run(int64_t frames, int block = 256) {
    std::vector<float> in(size_t(block) * size_t(inputs));
    std::vector<float> l = std::vector<float>(size_t(block)), r = std::vector<float>(size_t(block));
    for (int64_t done = 0; done < frames; done += block) {
      const int n = int(std::min<int64_t>(block, frames - done));
      for (int f = 0; f < n; ++f)
        for (int i = 0; i < inputs; ++i) in[size_t(f * inputs + i)] = dc[size_t(i)];
      rig_mixer_process(m.get(), in.data(), inputs, l.data(), r.data(), n);
      left.insert(left.end(), l.begin(), l.begin() + n);
      right.insert(right.end(), r.begin(), r.begin() + n);
    }
  }
  int64_t first_nonzero(int64_t from = 0) const {
    for (int64_t i = from; i < int64_t(left.size()); ++i)
      if (left[size_t(i)] != 0.0f || right[size_t(i)] != 0.0f) return i;
    return -1;
  }
  RigMixerMeters read() {
    RigMixerMeters out;
    rig_mixer_read(m.get(), &out);
    return out;
  }
};

RigMixMatrix gains(int count, std::initializer_list<std::pair<float, float>> lr, float master = 1.0f) {
  RigMixMatrix mx{};
  mx.count = count;
  int i = 0;
  for (auto [l, r] : lr) mx.left[i] = l, mx.right[i] = r, ++i;
  mx.master = master;
  return mx;
}

}  // namespace

TEST(RigMixMatrix, ScenesPanWithConstantPowerAndPairsBalanceWithoutCrosstalk) {
  Doc d = device_doc("alsa", 8);
  RigScene& s = d->scenes[0];
  RigMixMatrix mx;
  rig_mix_matrix(s, 8, &mx);
  // The new rig: inputs 1+2 a pair at unity, one side each, the rest muted.
  EXPECT_EQ(mx.left[0], 1.0f);
  EXPECT_EQ(mx.right[0], 0.0f);
  EXPECT_EQ(mx.left[1], 0.0f);
  EXPECT_EQ(mx.right[1], 1.0f);
  for (int i = 2; i < 8; ++i) EXPECT_EQ(mx.left[i] + mx.right[i], 0.0f) << i;
  EXPECT_EQ(mx.master, 1.0f);
  RigMixMatrix dflt;
  rig_default_matrix("alsa", 8, &dflt);
  EXPECT_TRUE(rig_mix_matrix_equal(mx, dflt));  // the fallback plays what a new rig would

  // A balance only attenuates; the pair's second input follows the first's gain and mute.
  s.channels[0].pan = -0.5f;
  s.channels[0].gain = 0.5f;
  s.channels[1].gain = 3.0f;
  s.channels[1].muted = true;
  // Singles: any pan keeps the power (left^2 + right^2 = 2 at unity); the centre is exact.
  s.channels[2] = {2.0f, -1.0f, false, false, "", "", nullptr};
  s.channels[3] = {1.0f, 0.5f, false, false, "", "", nullptr};
  s.channels[4] = {1.0f, 0.0f, true, false, "", "", nullptr};
  s.channels[5] = {5.0f, NAN, false, false, "", "", nullptr};  // out of range: +12 dB, centre
  s.channels[6] = {1.0f, -7.0f, false, true, "", "", nullptr};  // linked, but its partner is past the count
  s.master_gain = 10.0f;
  rig_mix_matrix(s, 7, &mx);
  EXPECT_EQ(mx.count, 7);
  EXPECT_EQ(mx.left[0], 0.5f);
  EXPECT_NEAR(mx.right[1], 0.5f * std::sqrt(2.0) * std::cos(1.5 * M_PI / 4), 1e-6);
  EXPECT_EQ(mx.right[0], 0.0f);
  EXPECT_EQ(mx.left[1], 0.0f);
  EXPECT_NEAR(mx.left[2], 2.0f * std::sqrt(2.0f), 1e-6);
  EXPECT_EQ(mx.right[2], 0.0f);
  EXPECT_NEAR(mx.left[3] * mx.left[3] + mx.right[3] * mx.right[3], 2.0, 1e-6);
  EXPECT_GT(mx.right[3], mx.left[3]);
  EXPECT_EQ(mx.left[4] + mx.right[4], 0.0f);
  EXPECT_EQ(mx.left[5], kRigMaxGain);
  EXPECT_EQ(mx.right[5], kRigMaxGain);
  EXPECT_NEAR(mx.left[6], std::sqrt(2.0f), 1e-6);  // a single, hard left
  EXPECT_EQ(mx.right[6], 0.0f);
  EXPECT_EQ(mx.master, kRigMaxGain);
  for (float p = -1.0f; p <= 1.0f; p += 0.125f) {
    s.channels[3].pan = p;
    rig_mix_matrix(s, 7, &mx);
    EXPECT_NEAR(mx.left[3] * mx.left[3] + mx.right[3] * mx.right[3], 2.0, 1e-5) << p;
  }
  s.channel_count = 3;  // inputs the scene does not have are silent
  rig_mix_matrix(s, 64, &mx);
  EXPECT_EQ(mx.left[5] + mx.right[5], 0.0f);

  // Drivers whose inputs are separate mono channels get no default pair: inputs 1 and 2 are
  // both heard in the middle.
  for (const char* api : {"jack", "asio"}) {
    Doc j = device_doc(api, 4);
    rig_mix_matrix(j->scenes[0], 4, &mx);
    rig_default_matrix(api, 4, &dflt);
    EXPECT_TRUE(rig_mix_matrix_equal(mx, dflt)) << api;
    EXPECT_EQ(mx.left[0], 1.0f);
    EXPECT_EQ(mx.right[0], 1.0f);
    EXPECT_EQ(mx.left[1], 1.0f);
    EXPECT_EQ(mx.right[1], 1.0f);
    EXPECT_FALSE(j->scenes[0].channels[0].link);
  }
  rig_default_matrix("alsa", 1, &dflt);  // one input: nothing to pair with
  EXPECT_EQ(dflt.left[0], 1.0f);
  EXPECT_EQ(dflt.right[0], 1.0f);
  RigMixMatrix other = dflt;
  other.left[5] = 1.0f;  // past the count: not part of the matrix
  EXPECT_TRUE(rig_mix_matrix_equal(dflt, other));
}

TEST(RigMixer, HoldsForASecondThenPlaysTheDefaultLayoutThenFadesToTheRig) {
  Bench b(4);
  b.dc = {0.1f, 0.2f, 0.3f, 0.4f};
  RigMixMatrix dflt;
  rig_default_matrix("alsa", 4, &dflt);
  const uint32_t tag = rig_stream_tag("alsa:dev");
  rig_mixer_start(b.m.get(), 48000, 4, tag, &dflt);
  EXPECT_TRUE(b.read().holding);
  b.run(48000);
  EXPECT_EQ(b.first_nonzero(), -1);  // a whole second of silence while the rig loads
  RigMixerMeters mt = b.read();
  EXPECT_TRUE(mt.holding);
  EXPECT_FALSE(mt.live);
  EXPECT_EQ(mt.inputs, 4);
  EXPECT_EQ(mt.tag, tag);
  EXPECT_FLOAT_EQ(mt.peak[3], 0.4f);  // measured even while silent
  b.run(48000);
  const int64_t on = b.first_nonzero();
  ASSERT_GE(on, 48000);
  ASSERT_LT(on, 48000 + 256);
  // 20 ms to the default layout (input 1 left, input 2 right): the inputs' gains and the master
  // both come up from 0 over the same 960 frames.
  EXPECT_LT(b.left[size_t(on + 958)], 0.1f);
  EXPECT_EQ(b.left[size_t(on + 959)], 0.1f);
  EXPECT_EQ(b.right[size_t(on + 959)], 0.2f);
  EXPECT_NEAR(b.left[size_t(on + 479)], 0.1f * 0.25f, 1e-6);
  mt = b.read();
  EXPECT_FALSE(mt.holding);
  EXPECT_TRUE(mt.live);

  // The rig arrives: a 0.2 s fade to its mix (inputs 3 and 4 up, the master at half).
  Doc d = device_doc("alsa", 4);
  d->scenes[0].channels[2].muted = false;
  d->scenes[0].channels[3].muted = false;
  d->scenes[0].channels[3].pan = 1.0f;
  d->scenes[0].master_gain = 0.5f;
  RigMixMatrix rig;
  rig_mix_matrix(d->scenes[0], 4, &rig);
  rig_mixer_set(b.m.get(), rig, tag, 0.2);
  const int64_t from = int64_t(b.left.size());
  b.run(48000);
  const float want_l = 0.5f * (0.1f + 0.3f);
  const float want_r = 0.5f * (0.2f + 0.3f + 0.4f * std::sqrt(2.0f));
  EXPECT_NEAR(b.left[size_t(from + 9598)], want_l, 2e-5);
  EXPECT_NE(b.left[size_t(from + 9598)], b.left[size_t(from + 9599)]);
  EXPECT_NEAR(b.left[size_t(from + 9599)], want_l, 1e-6);
  EXPECT_NEAR(b.right[size_t(from + 9599)], want_r, 1e-6);
  EXPECT_EQ(b.left.back(), b.left[size_t(from + 9599)]);
  // Half way: the gains half way there, the master at 0.75.
  EXPECT_NEAR(b.left[size_t(from + 4799)], (0.1f + 0.3f * 0.5f) * 0.75f, 1e-5);
  mt = b.read();
  EXPECT_FALSE(mt.live);
  EXPECT_FALSE(mt.holding);

  // A restart (the stream opened again): silence and holding, and the matrix in force is taken
  // again at once, within 20 ms however long its own fade.
  rig_mixer_set(b.m.get(), rig, tag, 5.0);
  rig_mixer_start(b.m.get(), 48000, 4, tag, &dflt);
  const int64_t restart = int64_t(b.left.size());
  b.run(2048);
  EXPECT_GT(b.left[size_t(restart)], 0.0f);
  EXPECT_LT(b.left[size_t(restart)], want_l / 100);
  EXPECT_NEAR(b.left[size_t(restart + 959)], want_l, 1e-6);

  // Never started: nothing to mix by, so silence; a null input is silence too.
  Bench idle(2);
  idle.dc = {0.5f, 0.5f};
  idle.run(1000);
  EXPECT_EQ(idle.first_nonzero(), -1);
  std::vector<float> l(64, 1.0f), r(64, 1.0f);
  rig_mixer_process(b.m.get(), nullptr, 4, l.data(), r.data(), 64);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(l[size_t(i)] + r[size_t(i)], 0.0f);
}

TEST(RigMixer, AnotherRigsMatrixMutesThenFallsBackAndMuteAllStaysSilent) {
  Bench b(2);
  b.dc = {0.25f, -0.5f};
  RigMixMatrix dflt;
  rig_default_matrix("jack", 2, &dflt);
  const uint32_t tag = rig_stream_tag("jack:system");
  rig_mixer_start(b.m.get(), 1000, 2, tag, &dflt);  // 1 kHz: 20-frame ramps, 1,000-frame hold
  rig_mixer_set(b.m.get(), gains(2, {{1, 0}, {0, 1}}), tag, 0);
  b.run(100, 10);
  EXPECT_EQ(b.left.back(), 0.25f);
  EXPECT_EQ(b.right.back(), -0.5f);

  // A matrix stamped for another rig: the output ramps to silence and holds...
  rig_mixer_set(b.m.get(), gains(2, {{2, 2}, {2, 2}}), tag ^ 1, 0);
  b.run(20, 10);
  EXPECT_EQ(b.left.back(), 0.0f);
  EXPECT_EQ(b.right.back(), 0.0f);
  EXPECT_TRUE(b.read().holding);
  b.run(980, 10);
  EXPECT_EQ(b.first_nonzero(120), -1);
  // ...and a second later the stream's own default layout fades in.
  b.run(100, 10);
  const int64_t on = b.first_nonzero(120);
  EXPECT_EQ(on, 1100);
  EXPECT_EQ(b.left.back(), -0.25f);  // both inputs in the middle
  EXPECT_EQ(b.right.back(), -0.25f);
  EXPECT_TRUE(b.read().live);

  // Mute-all: silent within 20 ms, and it stays so: no fallback however long.
  rig_mixer_mute(b.m.get());
  b.run(20, 10);
  EXPECT_EQ(b.left.back(), 0.0f);
  const int64_t muted_at = int64_t(b.left.size());
  b.run(5000, 10);
  EXPECT_EQ(b.first_nonzero(muted_at), -1);
  const RigMixerMeters mt = b.read();
  EXPECT_TRUE(mt.muted);
  EXPECT_FALSE(mt.holding);
  EXPECT_FALSE(mt.live);
  // The rig's own matrix brings the sound back.
  rig_mixer_set(b.m.get(), gains(2, {{1, 1}, {0, 0}}), tag, 0.01);
  b.run(30, 10);
  EXPECT_EQ(b.left.back(), 0.25f);
  EXPECT_FALSE(b.read().muted);
}

TEST(RigMixer, MetersBadSamplesClipsAndPeaks) {
  const int n = 4;
  auto m = std::make_unique<RigMixer>();
  const uint32_t tag = 77;
  rig_mixer_start(m.get(), 100, n, tag, nullptr);  // 100 Hz: a 2-frame ramp
  RigMixMatrix mx = gains(n, {{0.5f, 0.25f}, {1, 1}, {1, 1}, {0, 0}}, 2.0f);
  rig_mixer_set(m.get(), mx, tag, 0);
  std::vector<float> in(size_t(8 * n), 0.0f), l(8), r(8);
  rig_mixer_process(m.get(), in.data(), n, l.data(), r.data(), 8);  // the ramp runs out
  RigMixerMeters mt;
  rig_mixer_read(m.get(), &mt);
  // Input 1 at 0.9995 clips; input 2 has a NaN and an infinity; input 4 is silent in the mix
  // but still measured.
  for (int f = 0; f < 8; ++f) {
    in[size_t(f * n + 0)] = f == 3 ? -0.9995f : 0.1f;
    in[size_t(f * n + 1)] = f == 2 ? NAN : (f == 5 ? -INFINITY : 0.2f);
    in[size_t(f * n + 2)] = 0.05f;
    in[size_t(f * n + 3)] = 0.7f;
  }
  rig_mixer_process(m.get(), in.data(), n, l.data(), r.data(), 8);
  EXPECT_EQ(l[2], 2.0f * (0.5f * 0.1f + 0.0f + 0.05f));  // the NaN counts as 0
  EXPECT_EQ(r[5], 2.0f * (0.25f * 0.1f + 0.0f + 0.05f));
  EXPECT_EQ(l[3], 2.0f * (0.5f * -0.9995f + 0.2f + 0.05f));
  for (int f = 0; f < 8; ++f) EXPECT_TRUE(std::isfinite(l[size_t(f)]) && std::isfinite(r[size_t(f)]));
  rig_mixer_read(m.get(), &mt);
  EXPECT_EQ(mt.clip_mask, 1u);
  EXPECT_EQ(mt.bad_mask, 2u);
  EXPECT_EQ(mt.bad_samples, 2);
  EXPECT_EQ(mt.bad_total, 2);
  EXPECT_EQ(mt.peak[0], 0.9995f);
  EXPECT_EQ(mt.peak_gain[0], 0.9995f * 0.5f);  // the larger of its two gains
  EXPECT_EQ(mt.peak[1], 0.2f);                 // bad samples are not peaks
  EXPECT_EQ(mt.peak[3], 0.7f);
  EXPECT_EQ(mt.peak_gain[3], 0.0f);
  EXPECT_FALSE(mt.out_clip);
  EXPECT_FLOAT_EQ(mt.out_left, 2.0f * (0.05f + 0.2f + 0.05f));
  EXPECT_FLOAT_EQ(mt.out_right, 2.0f * (0.025f + 0.2f + 0.05f));
  // Read resets what accumulates; the total stays.
  rig_mixer_read(m.get(), &mt);
  EXPECT_EQ(mt.clip_mask | mt.bad_mask, 0u);
  EXPECT_EQ(mt.peak[0], 0.0f);
  EXPECT_EQ(mt.bad_samples, 0);
  EXPECT_EQ(mt.bad_total, 2);
  // An output over full scale sets the output clip; a sum that overflows is silence.
  for (int f = 0; f < 8; ++f) in[size_t(f * n + 1)] = f == 0 ? 3e38f : 0.6f;
  mx.master = kRigMaxGain;
  rig_mixer_set(m.get(), mx, tag, 0);
  rig_mixer_process(m.get(), in.data(), n, l.data(), r.data(), 8);
  rig_mixer_process(m.get(), in.data(), n, l.data(), r.data(), 8);
  EXPECT_EQ(l[0], 0.0f);
  rig_mixer_read(m.get(), &mt);
  EXPECT_TRUE(mt.out_clip);
  EXPECT_EQ(mt.blocks, 4);
}

TEST(RigMixer, RampsNeverStepFurtherThanTheirLengthAllows) {
  // 64 inputs of different constant levels; each matrix change may move the output by at most
  // the sum of the gain changes times the inputs, spread over the ramp, per frame.
  const int n = 64;
  Bench b(n);
  for (int i = 0; i < n; ++i) b.dc[size_t(i)] = 0.002f * float(i % 7 + 1) * (i % 2 ? -1.0f : 1.0f);
  const uint32_t tag = 5;
  rig_mixer_start(b.m.get(), 48000, n, tag, nullptr);
  RigMixMatrix a{}, c{};
  a.count = c.count = n;
  a.master = c.master = 1.0f;
  for (int i = 0; i < n; ++i) {
    c.left[i] = kRigMaxGain * float((i * 37) % 11) / 10.0f;
    c.right[i] = kRigMaxGain * float((i * 53) % 13) / 12.0f;
  }
  // Every input's ramp starts and ends together, so the output moves by the whole change over
  // the ramp's length each frame.
  double change_l = 0, change_r = 0;
  for (int i = 0; i < n; ++i) {
    change_l += double(c.left[i] - a.left[i]) * b.dc[size_t(i)];
    change_r += double(c.right[i] - a.right[i]) * b.dc[size_t(i)];
  }
  const double step_l = std::fabs(change_l) / 960, step_r = std::fabs(change_r) / 960;
  rig_mixer_set(b.m.get(), a, tag, 0);
  b.run(2000);
  const size_t start = b.left.size();
  // Up, back down half way through the ramp, then up again with a longer fade.
  rig_mixer_set(b.m.get(), c, tag, 0.02);
  b.run(480, 64);
  rig_mixer_set(b.m.get(), a, tag, 0.02);
  b.run(960, 64);
  rig_mixer_set(b.m.get(), c, tag, 0.05);
  b.run(4000, 64);
  double worst_l = 0, worst_r = 0;
  for (size_t k = start; k < b.left.size(); ++k) {
    worst_l = std::max(worst_l, double(std::fabs(b.left[k] - b.left[k - 1])));
    worst_r = std::max(worst_r, double(std::fabs(b.right[k] - b.right[k - 1])));
  }
  EXPECT_GT(worst_l, step_l * 0.999 - 1e-6);
  EXPECT_LE(worst_l, step_l * 1.001 + 1e-6);
  EXPECT_GT(worst_r, step_r * 0.999 - 1e-6);
  EXPECT_LE(worst_r, step_r * 1.001 + 1e-6);
  // The last fade arrived exactly.
  double want_l = 0;
  for (int i = 0; i < n; ++i) want_l += double(c.left[i]) * b.dc[size_t(i)];
  EXPECT_NEAR(b.left.back(), want_l, 1e-5);
}
