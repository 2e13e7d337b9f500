// The tape and the take list: chunk arithmetic, the resident cap, allocating ahead, releasing
// behind the release point (and only then), recycling, the release-point rules, draining sealed
// takes and the cull refusal of a continued session.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "capture/takes.h"
#include "capture/tape.h"
#include "config/log.h"
#include "config/status.h"
#include "platform/clock.h"
#include "tests/capture/engine_fixture.h"

namespace {

struct TapeHolder {
  Tape t{};
  ~TapeHolder() { tape_destroy(&t); }
};

// Whether every page of [p, p + bytes) is in memory now.
bool resident(const void* p, size_t bytes) {
  const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
  const uintptr_t from = reinterpret_cast<uintptr_t>(p) / page * page;
  const size_t pages = (reinterpret_cast<uintptr_t>(p) + bytes - from + page - 1) / page;
  std::vector<unsigned char> in(pages);
  if (mincore(reinterpret_cast<void*>(from), pages * page, in.data()) != 0) return false;
  for (unsigned char c : in)
    if (!(c & 1)) return false;
  return true;
}

bool last_log_contains(const std::string& text) {
  char buf[kLogLineBytes];
  return log_recent_line(log_line_count() - 1, buf, sizeof buf) && std::string(buf).find(text) != std::string::npos;
}

}  // namespace

TEST(Tape, ChunkArithmeticAndFrameAccess) {
  TapeHolder h;
  ASSERT_EQ(tape_create_with_memory(&h.t, 10, kTapeAddressableMinutes, 4, 48000, uint64_t(64) << 30), 0);
  EXPECT_EQ(h.t.chunk_frames, 480000);
  EXPECT_EQ(h.t.chunk_floats, 960000);
  EXPECT_EQ(h.t.slot_count, 3153600);
  EXPECT_EQ(h.t.spare_count, 4);
  EXPECT_EQ(h.t.resident_cap, int(0.6 * double(uint64_t(64) << 30) / 3840000.0));
  tape_maintain_at(&h.t, 0, 3, 0);
  EXPECT_EQ(h.t.resident.load(), 3);
  EXPECT_EQ(h.t.allocated_frontier.load(), 3 * 480000);
  EXPECT_EQ(tape_frame(&h.t, 480000), h.t.chunks[1].load());
  EXPECT_EQ(tape_frame(&h.t, 479999), h.t.chunks[0].load() + 959998);
  EXPECT_EQ(tape_frame(&h.t, 3 * 480000), nullptr);  // not present
  EXPECT_EQ(tape_frame(&h.t, -1), nullptr);
  EXPECT_EQ(tape_frame(&h.t, int64_t(3153600) * 480000), nullptr);  // past the table
  // Reads across a chunk boundary and into a missing chunk.
  tape_frame(&h.t, 479999)[0] = 0.25f;
  tape_frame(&h.t, 480000)[1] = -0.5f;
  std::vector<float> out(8, 9.0f);
  tape_read(&h.t, 479999, 2, out.data());
  EXPECT_EQ(out[0], 0.25f);
  EXPECT_EQ(out[3], -0.5f);
  tape_read(&h.t, 3 * 480000 - 1, 2, out.data());
  EXPECT_EQ(out[2], 0.0f);
  EXPECT_EQ(out[3], 0.0f);
}

TEST(Tape, ChunksAreInMemoryBeforeTheAudioThreadWritesThem) {
  // The allocator touches every page of a chunk it makes, spare or placed, so the audio thread's
  // first write into it never waits for the kernel.
  TapeHolder h;
  ASSERT_EQ(tape_create_with_memory(&h.t, 10, 60, 2, 48000, uint64_t(8) << 30), 0);
  tape_maintain_at(&h.t, 0, 3, 0);
  const size_t bytes = size_t(h.t.chunk_floats) * sizeof(float);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(resident(h.t.chunks[i].load(), bytes)) << "chunk " << i;
  for (int i = 0; i < h.t.spare_count; ++i) EXPECT_TRUE(resident(h.t.spare[i], bytes)) << "spare " << i;
  EXPECT_EQ(h.t.spare_count, 2);
}

TEST(Tape, ResidentCapIsNeverBelowSixChunks) {
  TapeHolder h;
  ASSERT_EQ(tape_create_with_memory(&h.t, 10, kTapeAddressableMinutes, 4, 48000, 1000), 0);
  EXPECT_EQ(h.t.resident_cap, 6);
  // Allocating ahead stops at the cap and says so; capture then stops at the frontier.
  tape_maintain_at(&h.t, 8 * 480000, 3, 0);
  EXPECT_EQ(h.t.resident.load(), 6);
  EXPECT_EQ(h.t.cap_hit.load(), 1);
  EXPECT_EQ(h.t.allocated_frontier.load(), 6 * 480000);
}

TEST(Tape, ReleaseWaitsForDiskTenSecondsAndPlayback) {
  auto e = make_engine(1000);  // 10,000-frame chunks
  Tape* t = &e->tape;
  TakeList list{};
  const int64_t cf = t->chunk_frames;
  e->write_head = 30 * cf;
  tape_maintain_at(t, 30 * cf, 3, 0);
  ASSERT_EQ(t->resident.load(), 33);
  list.takes[0] = TakeEntry{0, 25 * cf, 0};
  list.take_count = 1;

  // Nothing written yet: nothing is released.
  update_release_point(e.get(), &list);
  EXPECT_EQ(t->release_point.load(), 0);
  // Written, but the release point stays ten seconds (one chunk here) behind the write head.
  list.written_count = 1;
  e->play_tape = 1;
  update_release_point(e.get(), &list);
  EXPECT_EQ(t->release_point.load(), 0);  // never while the tape plays
  e->play_tape = 0;
  update_release_point(e.get(), &list);
  EXPECT_EQ(t->release_point.load(), 25 * cf);
  list.takes[0].end = 30 * cf;
  update_release_point(e.get(), &list);
  EXPECT_EQ(t->release_point.load(), 29 * cf);
  tape_maintain_at(t, 30 * cf, 3, 1000);
  EXPECT_EQ(t->released_frontier.load(), 29 * cf);
  EXPECT_EQ(t->resident.load(), 33 - 29);
  EXPECT_TRUE(last_log_contains("released 29 chunks (2 MB back to the system)"));
  EXPECT_EQ(t->chunks[28].load(), nullptr);
  EXPECT_NE(t->chunks[29].load(), nullptr);

  // Released chunks wait 250 ms, then refill the spare pool or are freed.
  EXPECT_EQ(t->released_count, 29);
  tape_maintain_at(t, 30 * cf, 3, 1249);
  EXPECT_EQ(t->released_count, 29);
  tape_maintain_at(t, 30 * cf, 3, 1250);
  EXPECT_EQ(t->released_count, 0);
  EXPECT_EQ(t->spare_count, 4);

  // A clear: the write head returns to 0, the release point follows, chunk 0 comes back zeroed.
  e->write_head = 0;
  update_release_point(e.get(), &list);
  EXPECT_EQ(t->release_point.load(), 0);
  tape_maintain_at(t, 0, 3, 2000);
  EXPECT_EQ(t->released_frontier.load(), 0);
  ASSERT_NE(t->chunks[0].load(), nullptr);
  std::vector<float> zeros(size_t(2 * cf), 1.0f);
  tape_read(t, 0, cf, zeros.data());
  for (float v : zeros) ASSERT_EQ(v, 0.0f);
}

TEST(Tape, AHundredChunksAreReleasedOverTwoSteps) {
  TapeHolder h;
  ASSERT_EQ(tape_create_with_memory(&h.t, 10, kTapeAddressableMinutes, 4, 1000, uint64_t(64) << 30), 0);
  const int64_t cf = h.t.chunk_frames;
  tape_maintain_at(&h.t, 105 * cf, 200, 0);
  ASSERT_EQ(h.t.resident.load(), 305);  // from chunk 0 to 105 + 200
  h.t.release_point = 100 * cf;
  tape_maintain_at(&h.t, 105 * cf, 3, 10);
  EXPECT_EQ(h.t.released_frontier.load(), 64 * cf);
  EXPECT_TRUE(last_log_contains("released 64 chunks"));
  tape_maintain_at(&h.t, 105 * cf, 3, 20);  // the list is full until the first ones recycle
  EXPECT_EQ(h.t.released_frontier.load(), 64 * cf);
  tape_maintain_at(&h.t, 105 * cf, 3, 300);
  EXPECT_EQ(h.t.released_frontier.load(), 100 * cf);
  EXPECT_EQ(h.t.resident.load(), 205);
}

TEST(Tape, AllocationThreadReportsAFullTapeOnce) {
  TapeHolder h;
  ASSERT_EQ(tape_create_with_memory(&h.t, 10, kTapeAddressableMinutes, 4, 1000, 1000), 0);
  std::atomic<int64_t> head{20 * h.t.chunk_frames};
  const int before = log_line_count();
  tape_thread_start(&h.t, &head, 1000);
  for (int i = 0; i < 200 && !h.t.cap_hit.load(); ++i) sleep_ms(5);
  sleep_ms(450);  // a few more rounds: still one line
  tape_thread_stop(&h.t);
  int reports = 0;
  char buf[kLogLineBytes];
  for (int n = before; n < log_line_count(); ++n)
    if (log_recent_line(n, buf, sizeof buf) && strstr(buf, "TAPE FULL - resident RAM cap; capture stops at 1.0 min"))
      ++reports;
  EXPECT_EQ(reports, 1);
}

TEST(TakeList, DrainStampsCapsAndFollowsCulls) {
  auto e = make_engine(48000);
  TakeList list{};
  // Sealed takes reach the list with their start time reckoned back from now.
  e->sealed[0] = SealedTake{0, 96000};
  e->sealed[1] = SealedTake{96000, 100000};
  e->sealed_write = 2;
  EXPECT_EQ(drain_sealed_takes(e.get(), &list, 1000), 2);
  ASSERT_EQ(list.take_count, 2);
  EXPECT_EQ(list.takes[0].started_at, 998);
  EXPECT_EQ(list.takes[1].started_at, 1000);
  // Culls arrive in order with the seals: a take sealed, culled and another sealed in one go
  // leaves the first take and the new one.
  e->sealed[2] = SealedTake{100000, 100500};
  e->sealed[3] = SealedTake{100000, 100500, 1};
  e->sealed[4] = SealedTake{100000, 100900};
  e->sealed_write = 5;
  EXPECT_EQ(drain_sealed_takes(e.get(), &list, 1000), 2);
  ASSERT_EQ(list.take_count, 3);
  EXPECT_EQ(list.takes[2].end, 100900);
  // A full list drops further takes, and a cull then takes a dropped one, not a listed one.
  list.take_count = kMaxTakes;
  e->sealed[5] = SealedTake{100900, 101000};
  e->sealed[6] = SealedTake{100900, 101000, 1};
  e->sealed_write = 7;
  EXPECT_EQ(drain_sealed_takes(e.get(), &list, 1000), 0);
  EXPECT_EQ(list.take_count, kMaxTakes);
  e->sealed[7] = SealedTake{100900, 101000, 1};
  e->sealed_write = 8;
  drain_sealed_takes(e.get(), &list, 1000);
  EXPECT_EQ(list.take_count, kMaxTakes - 1);
}

// A cull of a take already on disk and given back rolls the write head into released memory;
// the next take must still land on the tape from its first frame.
TEST(TakeList, CullOverGivenBackAudioLeavesTheNextTakeWhole) {
  auto e = make_engine(1000);  // 10,000-frame chunks
  e->armed = 1;
  e->pre_roll_frames = 0;
  e->post_roll_frames = 100;
  TakeList list{};
  Signal s = silence(120000);
  for (int64_t i = 0; i < s.frames(); ++i) s.set(i, 0.01f, 0.01f);          // never silent
  for (int64_t i = 1000; i < 41000; ++i) s.set(i, 0.5f, 0.5f);              // a 40-second take
  feed(e.get(), s, 0, 60000);
  drain_sealed_takes(e.get(), &list, 0);
  ASSERT_EQ(list.take_count, 1);
  list.written_count = 1;
  update_release_point(e.get(), &list);
  feed(e.get(), s, 60000, 61000);  // the allocator's step gives back what lies behind
  ASSERT_GT(e->tape.released_frontier.load(), 0);

  ASSERT_TRUE(cull_last_take(e.get(), &list, 0, 0));
  for (int64_t i = 70000; i < 70050; ++i) s.set(i, 0.5f, 0.5f);  // the next sound
  feed(e.get(), s, 61000, 90000);
  drain_sealed_takes(e.get(), &list, 0);
  ASSERT_EQ(list.take_count, 1);
  const TakeEntry t = list.takes[0];
  EXPECT_EQ(t.start, 0);
  ASSERT_GT(t.end - t.start, 1000);
  const std::vector<float> frames = tape_frames(e.get(), t.start, t.end);
  EXPECT_NEAR(frames[0], 0.5f * 0.0015f, 1e-6f);  // the sound that opened it, at the first gain step
  for (size_t k = 0; k < frames.size(); ++k) ASSERT_NE(frames[k], 0.0f) << "frame " << k / 2;
}

TEST(TakeList, CullOfAContinuedSessionStopsAtItsSeatedTakes) {
  auto e = make_engine(48000);
  TakeList list{};
  e->takes_opened = 3;
  EXPECT_FALSE(cull_last_take(e.get(), &list, 3, 0));
  EXPECT_STREQ(status_line().text, "NOTHING NEW TO CULL - SAVED TAKES ARE DELETED IN THE LIBRARY");
  EXPECT_EQ(e->cull_request.load(), 0);
  e->takes_opened = 4;
  EXPECT_TRUE(cull_last_take(e.get(), &list, 3, 0));
  EXPECT_STREQ(status_line().text, "LAST TAKE CULLED");
  EXPECT_EQ(e->cull_request.load(), 1);
  // A fresh session (nothing seated) always culls.
  e->cull_request = 0;
  e->takes_opened = 0;
  EXPECT_TRUE(cull_last_take(e.get(), &list, 0, 0));
}
