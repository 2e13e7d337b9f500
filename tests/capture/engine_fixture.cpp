#include "tests/capture/engine_fixture.h"

#include <algorithm>

void EngineDeleter::operator()(CaptureEngine* e) const {
  tape_thread_stop(&e->tape);
  tape_destroy(&e->tape);
  capture_engine_free(e);
  delete e;
}

EnginePtr make_engine(double rate, int channels, uint64_t memory_bytes) {
  EnginePtr e(new CaptureEngine{});
  if (capture_engine_init(e.get(), rate) != 0) return nullptr;
  if (tape_create_with_memory(&e->tape, kTapeChunkSeconds, kTapeAddressableMinutes, kTapeSpareTarget, rate,
                              memory_bytes) != 0)
    return nullptr;
  tape_maintain(&e->tape, 0, kTapeAhead);
  e->input_channels = channels;
  e->running = 1;
  return e;
}

Signal silence(int64_t frames) {
  Signal s;
  s.lr.assign(size_t(2 * frames), 0.0f);
  return s;
}

void feed(CaptureEngine* e, const Signal& s, int64_t from, int64_t to, int block, std::vector<float>* out) {
  std::vector<float> output(size_t(2 * block));
  for (int64_t at = from; at < to; at += block) {
    const int n = int(std::min<int64_t>(block, to - at));
    tape_maintain(&e->tape, e->write_head.load(), kTapeAhead);
    process_block(e, s.lr.data() + 2 * at, output.data(), n);
    if (out) out->insert(out->end(), output.begin(), output.begin() + 2 * n);
  }
}

void feed_silence(CaptureEngine* e, int64_t frames, int block) {
  Signal s = silence(std::min<int64_t>(frames, 48000));
  while (frames > 0) {
    const int64_t n = std::min(frames, s.frames());
    feed(e, s, 0, n, block);
    frames -= n;
  }
}

std::vector<SealedTake> sealed_takes(CaptureEngine* e) {
  std::vector<SealedTake> v;
  SealedTake t;
  while (engine_next_sealed_take(e, &t)) v.push_back(t);
  return v;
}

std::vector<float> tape_frames(const CaptureEngine* e, int64_t start, int64_t end) {
  std::vector<float> v(size_t(2 * std::max<int64_t>(end - start, 0)));
  tape_read(&e->tape, start, end - start, v.data());
  return v;
}
