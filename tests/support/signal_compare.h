// Comparing recorded audio with the signal that was played into a real audio server. Where the
// server reported an overrun a period may be missing or silent; the comparison then finds its
// place again in the signal and counts the jump, so a test can require every jump to be
// explained.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

struct CompareResult {
  int64_t compared = 0;  // frames that matched
  int64_t jumps = 0;     // places where the recording skipped within the signal
  int64_t silent_frames = 0;  // frames of silence where the signal was not silent (a dropped period)
  int64_t torn_frames = 0;  // frames matching nothing, after which the signal went on unmoved
  bool lost = false;     // a stretch matched nowhere nearby
  std::string where;     // the first lost frame, for the failure message
};

// got[i] (stereo frames, i from 0) should equal want[i + offset] (stereo frames) within
// relative * |want| + absolute, for i in [0, frames). The offset starts at 0 and may move by up to
// max_jump frames where 64 frames in a row match again.
CompareResult compare_stereo(const float* got, const float* want, int64_t want_frames, int64_t frames,
                             double relative, double absolute, int64_t max_jump = 16384);

// A comparison of `frames` frames that lost nothing unexplained: an overrun can leave a period
// stale or missing (a jump into it and one out of it), silent for a late client or torn between
// two cycles; without a reported overrun every frame matches.
inline void expect_explained(const CompareResult& r, int64_t frames, int64_t xruns) {
  EXPECT_FALSE(r.lost) << r.where;
  EXPECT_LE(r.jumps, 2 * xruns) << "audio went missing without an overrun";
  EXPECT_EQ(r.compared + r.silent_frames + r.torn_frames, frames);
  EXPECT_TRUE(r.silent_frames == 0 || xruns > 0) << r.silent_frames << " silent frames without an overrun";
  EXPECT_LE(r.torn_frames, 1024 * xruns) << r.where;
}
