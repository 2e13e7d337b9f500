// Comparing recorded audio with the signal that was played into a real audio server. Where the
// server reported an overrun a period may be missing or silent; the comparison then finds its
// place again in the signal and counts the jump, so a test can require every jump to be
// explained.
#pragma once
#include <cstdint>
#include <string>

struct CompareResult {
  int64_t compared = 0;  // frames that matched
  int64_t jumps = 0;     // places where the recording skipped within the signal
  int64_t silent_frames = 0;  // frames of silence where the signal was not silent (a dropped period)
  bool lost = false;     // a stretch matched nowhere nearby
  std::string where;     // the first lost frame, for the failure message
};

// got[i] (stereo frames, i from 0) should equal want[i + offset] (stereo frames) within
// relative * |want| + absolute, for i in [0, frames). The offset starts at 0 and may move by up to
// max_jump frames where 64 frames in a row match again.
CompareResult compare_stereo(const float* got, const float* want, int64_t want_frames, int64_t frames,
                             double relative, double absolute, int64_t max_jump = 16384);
