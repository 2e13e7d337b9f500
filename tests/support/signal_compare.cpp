#include "tests/support/signal_compare.h"

#include <cmath>

CompareResult compare_stereo(const float* got, const float* want, int64_t want_frames, int64_t frames,
                             double relative, double absolute, int64_t max_jump) {
  CompareResult r;
  auto matches = [&](int64_t i, int64_t offset) {
    const int64_t s = i + offset;
    if (s < 0 || s >= want_frames) return false;
    for (int c = 0; c < 2; ++c) {
      const double w = want[2 * s + c];
      if (std::fabs(double(got[2 * i + c]) - w) > relative * std::fabs(w) + absolute) return false;
    }
    return true;
  };
  // 64 frames in a row from i match at the offset (or run to the end).
  auto follows = [&](int64_t i, int64_t offset) {
    for (int64_t k = 0; k < 64 && i + k < frames; ++k)
      if (!matches(i + k, offset)) return false;
    return true;
  };
  int64_t offset = 0;
  for (int64_t i = 0; i < frames; ++i) {
    // A period the server filled with silence because a client (the test's feeder, on a loaded
    // machine) missed its cycle: skipped here, and the jump after it is counted.
    if (got[2 * i] == 0.0f && got[2 * i + 1] == 0.0f && !matches(i, offset)) {
      ++r.silent_frames;
      continue;
    }
    if (!matches(i, offset)) {
      bool found = false;
      for (int64_t d = 1; d <= max_jump && !found; ++d)
        for (int64_t cand : {offset + d, offset - d})
          if (follows(i, cand)) {
            offset = cand, found = true;
            break;
          }
      // A period read while a late client was still writing it (or the server had moved on)
      // holds samples of two cycles and matches nothing; the signal goes on after it, from the
      // same place or another.
      if (!found) {
        constexpr int64_t kMaxTorn = 1024;
        for (int64_t j = i + 1; j <= i + kMaxTorn && j < frames && !found; ++j)
          for (int64_t d = 0; d <= max_jump && !found; ++d)
            for (int64_t cand : {offset + d, offset - d}) {
              if (!follows(j, cand)) continue;
              if (r.torn_frames == 0) r.where = "torn from frame " + std::to_string(i) + " to " + std::to_string(j);
              r.torn_frames += j - i;
              if (cand != offset) ++r.jumps;
              offset = cand, i = j - 1, found = true;
              break;
            }
        if (found) continue;
        r.lost = true;
        r.where = "frame " + std::to_string(i) + " (" + std::to_string(got[2 * i]) + ", " +
                  std::to_string(got[2 * i + 1]) + "; expected near " +
                  (i + offset >= 0 && i + offset < want_frames ? std::to_string(want[2 * (i + offset)]) : "nothing") + ")";
        return r;
      }
      ++r.jumps;
    }
    ++r.compared;
  }
  return r;
}
