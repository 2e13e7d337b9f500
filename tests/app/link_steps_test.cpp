// The Link channel wired into the program: started with the saved input chosen, its options rows
// turning it on and stepping the input with the texts and settings that follow, the main loop
// announcing a changed input, and shutdown. Against a second channel as the peer; root only,
// inside a loopback-only network namespace.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/panels/options.h"
#include "app/shell/link_steps.h"
#include "config/status.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "tests/app/panel_fixture.h"
#include "tests/net/link_fixture.h"
#include "tests/net/station_fixture.h"

namespace {

std::string row(PanelsApp& a, int r) {
  char out[kOptionValueBytes];
  option_value_text(a.get(), r, 520, out, sizeof out);
  return out;
}

// Closes a channel however the test ends (a joinable thread must not outlive its record).
struct Closer {
  LinkChannel* l;
  ~Closer() { link_close(l); }
};

}  // namespace

TEST(LinkSteps, TheOptionsRowsDriveTheChannelAndTheMainLoopOpensTheSavedInput) {
  LINK_TEST_GUARD();
  // B: another instance on the program's own channel port, its monitor published by hand.
  auto b = std::make_unique<LinkChannel>();
  ASSERT_EQ(link_init(b.get(), "tolm \xC2\xB7 b", kLinkDefaultBlockFrames, 0), 0);
  Closer close_b{b.get()};
  ASSERT_TRUE(link_set_on(b.get(), true));
  const std::string kB = "TOLM \xC2\xB7 B - TOLM \xC2\xB7 B";

  PanelsApp a;
  Closer close_a{&a->link};
  tap_fanout_init(&a->taps);
  // Start-up: the saved choice is kept, the hook and the tap are registered, Link stays off.
  text_copy(a->settings.link_input, kB.c_str());
  app_link_start(a.get());
  ASSERT_NE(a->link.link, nullptr);
  EXPECT_EQ(a->engine.input_hook.load(), link_input_hook(&a->link));
  EXPECT_EQ(a->taps.slots[0].load(), link_output_tap(&a->link));
  EXPECT_EQ(row(a, kRowLink), "OFF");
  EXPECT_EQ(row(a, kRowLinkInput), "MIC   (LINK IS OFF)");
  option_step(a.get(), kRowLinkInput, +1);
  EXPECT_EQ(a.status(), "TURN ABLETON LINK ON FIRST");
  EXPECT_EQ(a->settings.link_input, kB);

  // Turned on after the stream starts, as saved; the main loop follows at most every 100 ms and
  // opens the saved channel once it is heard.
  a->settings.link = 1;
  app_link_resume(a.get());
  EXPECT_EQ(a->settings.link, 1);
  ASSERT_TRUE(eventually([&] { return row(a, kRowLink) == "ON   1 PEER   120.0 BPM"; }, 10000)) << row(a, kRowLink);
  uint32_t now = tick_ms();
  a->last_link_ms = now;
  app_link_follow(a.get(), now + 100);
  EXPECT_EQ(a.status(), "TURN ABLETON LINK ON FIRST");  // not yet more than 100 ms: nothing new
  std::vector<float> block(2 * 256, 0.1f);
  ASSERT_TRUE(eventually([&] {
    link_publish(b.get(), block.data(), 256, 48000);
    now += 101;
    app_link_follow(a.get(), now);
    return a.status() == "INPUT - " + kB && row(a, kRowLinkInput) == kB + "   48000 HZ";
  }, 10000)) << a.status() << " / " << row(a, kRowLinkInput);

  // Stepping goes round to the microphone and back; the settings keep the choice.
  option_step(a.get(), kRowLinkInput, +1);
  EXPECT_EQ(a.status(), "INPUT - MIC");
  EXPECT_STREQ(a->settings.link_input, "");
  EXPECT_EQ(row(a, kRowLinkInput), "MIC   1 CHANNEL ON THE NETWORK");
  option_step(a.get(), kRowLinkInput, -1);
  EXPECT_EQ(a.status(), "INPUT - " + kB);
  EXPECT_EQ(a->settings.link_input, kB);

  // Off returns to the microphone and forgets the choice; Enter turns it on again.
  option_step(a.get(), kRowLink, -1);
  EXPECT_EQ(a.status(), "LINK OFF");
  EXPECT_EQ(a->settings.link, 0);
  EXPECT_STREQ(a->settings.link_input, "");
  option_enter(a.get(), kRowLink);
  EXPECT_EQ(a.status(), "LINK ON - TOLM IS A LINK AUDIO CHANNEL");
  EXPECT_EQ(a->settings.link, 1);
  app_link_stop(a.get());
  EXPECT_EQ(a->link.link, nullptr);
}
