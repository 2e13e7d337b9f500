// Text rendering on the software SDL renderer without a display: faces and fallback, zero-width
// characters, the diamond and the drawn placeholder, the string, font and coverage caches with
// their eviction, the scale change, and the pixels a drawn label leaves (tint, alpha, ink box).
#include <gtest/gtest.h>

#include <SDL.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "ui/text.h"

namespace {

constexpr int kTargetW = 512;
constexpr int kTargetH = 160;

constexpr uint32_t bit(int face) { return 1u << face; }

class TextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("SDL_VIDEODRIVER", "offscreen", 1);
    setenv("SDL_RENDER_DRIVER", "software", 1);
    // No GL-backed window framebuffer: it loads Mesa, which leaks at exit.
    setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    window_ = SDL_CreateWindow("text", 0, 0, kTargetW, kTargetH, SDL_WINDOW_HIDDEN);
    ASSERT_NE(window_, nullptr) << SDL_GetError();
    renderer_ = SDL_CreateRenderer(window_, -1, SDL_RENDERER_SOFTWARE | SDL_RENDERER_TARGETTEXTURE);
    ASSERT_NE(renderer_, nullptr) << SDL_GetError();
    target_ = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_TARGET,
                                kTargetW, kTargetH);
    ASSERT_NE(target_, nullptr) << SDL_GetError();
    ASSERT_EQ(SDL_SetRenderTarget(renderer_, target_), 0);
    clear();
  }

  void TearDown() override {
    for (TextRenderer* tr : made_) text_renderer_destroy(tr);
    if (target_) SDL_DestroyTexture(target_);
    if (renderer_) SDL_DestroyRenderer(renderer_);
    if (window_) SDL_DestroyWindow(window_);
    SDL_Quit();
  }

  // A renderer over the repository's shipped fonts (or font_dir), with only the faces in mask.
  TextRenderer* make(uint32_t mask = 0, const char* font_dir = TOLM_FONT_DIR) {
    TextRendererOptions options;
    options.font_dir = font_dir;
    options.face_mask = mask;
    TextRenderer* tr = nullptr;
    EXPECT_EQ(text_renderer_create(renderer_, &options, &tr), 0);
    if (tr) made_.push_back(tr);
    return tr;
  }

  void clear() {
    SDL_SetRenderDrawBlendMode(renderer_, SDL_BLENDMODE_NONE);
    SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
    SDL_RenderClear(renderer_);
  }

  std::vector<uint32_t> pixels() {
    std::vector<uint32_t> px(kTargetW * kTargetH);
    EXPECT_EQ(SDL_RenderReadPixels(renderer_, nullptr, SDL_PIXELFORMAT_ARGB8888, px.data(),
                                   kTargetW * 4), 0);
    return px;
  }

  SDL_Window* window_ = nullptr;
  SDL_Renderer* renderer_ = nullptr;
  SDL_Texture* target_ = nullptr;
  std::vector<TextRenderer*> made_;
};

TextStats stats(const TextRenderer* tr) {
  TextStats s;
  text_stats(tr, &s);
  return s;
}

int advance(TextRenderer* tr, int stack, const char* s, int size = 20) {
  return text_get(tr, stack, size, 400, s, false)->advance;
}

unsigned red(uint32_t p) { return (p >> 16) & 0xFF; }
unsigned green(uint32_t p) { return (p >> 8) & 0xFF; }
unsigned blue(uint32_t p) { return p & 0xFF; }

}  // namespace

TEST_F(TextTest, LayoutIsCachedAndMeasuringDoesNotRender) {
  TextRenderer* tr = make();
  ASSERT_NE(tr, nullptr);

  const TextEntry* ab = text_get(tr, kStackText, 20, 400, "AB", false);
  const TextEntry* abc = text_get(tr, kStackText, 20, 400, "ABC", false);
  EXPECT_GT(ab->advance, 0);
  EXPECT_GT(abc->advance, ab->advance);
  EXPECT_GT(text_get(tr, kStackText, 40, 400, "AB", false)->advance, ab->advance);
  EXPECT_GT(ab->ascent, 0);
  EXPECT_GT(ab->descent, 0);
  // Carets rise to the advance, one per code point.
  ASSERT_EQ(abc->char_count, 3);
  EXPECT_GT(abc->caret_x[0], 0);
  EXPECT_LT(abc->caret_x[0], abc->caret_x[1]);
  EXPECT_EQ(abc->caret_x[2], abc->advance);
  EXPECT_EQ(ab->caret_x[1], abc->caret_x[1]);

  // Measuring made no texture; the same string again is the same entry, with no work at all.
  EXPECT_EQ(ab->texture, nullptr);
  EXPECT_EQ(stats(tr).renders, 0u);
  TextStats before = stats(tr);
  EXPECT_EQ(text_get(tr, kStackText, 20, 400, "AB", false), ab);
  TextStats after = stats(tr);
  EXPECT_EQ(after.layouts, before.layouts);
  EXPECT_EQ(after.glyph_loads, before.glyph_loads);
  EXPECT_EQ(after.coverage_asks, before.coverage_asks);
  EXPECT_EQ(after.font_opens, before.font_opens);

  // Asking for the texture renders once, without laying out again.
  const TextEntry* drawn = text_get(tr, kStackText, 20, 400, "AB", true);
  EXPECT_EQ(drawn, ab);
  ASSERT_NE(ab->texture, nullptr);
  EXPECT_EQ(stats(tr).renders, 1u);
  EXPECT_EQ(stats(tr).layouts, before.layouts);
  before = stats(tr);
  EXPECT_EQ(text_get(tr, kStackText, 20, 400, "AB", true), ab);
  EXPECT_EQ(stats(tr).renders, before.renders);
  EXPECT_EQ(stats(tr).glyph_loads, before.glyph_loads);

  // Weights are clamped before they become part of the key.
  const TextEntry* regular = text_get(tr, kStackMono, 20, 400, "w", false);
  EXPECT_EQ(text_get(tr, kStackMono, 20, 50, "w", false), regular);
  EXPECT_EQ(text_get(tr, kStackMono, 20, 0, "w", false), regular);
  const TextEntry* black = text_get(tr, kStackMono, 20, 900, "w", false);
  EXPECT_NE(black, regular);
  EXPECT_EQ(text_get(tr, kStackMono, 20, 1000, "w", false), black);
  EXPECT_EQ(black->weight, 900);

  // The key's hash: FNV-1a over the bytes, seeded from stack, weight and size.
  EXPECT_EQ(text_get(tr, kStackDisplay, 20, 400, "REC", false)->hash, 0x550AE76Bu);
}

TEST_F(TextTest, LongStringsAreCutAtACharacterBoundary) {
  TextRenderer* tr = make();
  ASSERT_NE(tr, nullptr);
  std::string e_acute;
  for (int i = 0; i < 400; i++) e_acute += "\xC3\xA9";  // 800 bytes of two-byte characters
  const TextEntry* e = text_get(tr, kStackText, 12, 400, e_acute.c_str(), false);
  EXPECT_EQ(e->len, kTextMaxBytes - 2);  // 511 would split a character
  EXPECT_EQ(e->char_count, (kTextMaxBytes - 2) / 2);
  EXPECT_EQ(std::string(e->text), e_acute.substr(0, kTextMaxBytes - 2));
  for (int i = 0; i < e->char_count; i++) ASSERT_EQ(e->char_drawn[i], 0xE9u) << i;
  // Strings that differ only past the cut draw the same and share the entry.
  EXPECT_EQ(text_get(tr, kStackText, 12, 400, (e_acute + "x").c_str(), false), e);
}

TEST_F(TextTest, DisplayStackTakesLettersFromMicro5AndSymbolsFromTheNextFaceThatHasThem) {
  TextRenderer* tr = make();
  ASSERT_NE(tr, nullptr);
  ASSERT_TRUE(text_face_available(tr, kFaceMicro5)) << "run scripts/setup for the shipped fonts";
  int faces[kFaceCount];
  ASSERT_GE(text_stack_faces(tr, kStackDisplay, faces, kFaceCount), 2);
  EXPECT_EQ(faces[0], kFaceMicro5);

  const TextEntry* e = text_get(tr, kStackDisplay, 32, 400, "A\xE2\x96\xA0" "B", true);  // A■B
  ASSERT_EQ(e->char_count, 3);
  EXPECT_EQ(e->char_face[0], kFaceMicro5);
  EXPECT_EQ(e->char_face[2], kFaceMicro5);
  EXPECT_GE(e->char_face[1], 0);
  EXPECT_NE(e->char_face[1], kFaceMicro5);  // Micro 5 has no symbols
  EXPECT_EQ(e->char_drawn[1], 0x25A0u);       // the square itself, not the diamond

  // The square is drawn solid between its carets; the letters beside it have ink too.
  text_draw(tr, e, 10, 10, 0xFFFFFFFF, 1.0f);
  std::vector<uint32_t> px = pixels();
  int square_full = 0, letters = 0;
  for (int y = 0; y < kTargetH; y++) {
    for (int x = 0; x < kTargetW; x++) {
      int pen = x - 10;
      unsigned v = green(px[y * kTargetW + x]);
      if (pen >= e->caret_x[0] && pen < e->caret_x[1] && v == 255) square_full++;
      if ((pen < e->caret_x[0] || pen >= e->caret_x[1]) && v > 24) letters++;
    }
  }
  EXPECT_GT(square_full, 100);
  EXPECT_GT(letters, 20);

  // Without the monospaced faces the square comes from the symbols face, the first that has it.
  TextRenderer* narrow = make(bit(kFaceMicro5) | bit(kFaceSegoeUiSymbol) | bit(kFaceSegoeUi));
  ASSERT_TRUE(text_face_available(narrow, kFaceSegoeUiSymbol));
  const TextEntry* n = text_get(narrow, kStackDisplay, 32, 400, "A\xE2\x96\xA0", false);
  EXPECT_EQ(n->char_face[0], kFaceMicro5);
  EXPECT_EQ(n->char_face[1], kFaceSegoeUiSymbol);
}

TEST_F(TextTest, LatinExtendedLettersComeFromTheShippedFacesWithTheirSubsets) {
  TextRenderer* tr = make();
  ASSERT_NE(tr, nullptr);
  ASSERT_TRUE(text_face_available(tr, kFaceMicro5)) << "run scripts/setup for the shipped fonts";
  ASSERT_TRUE(text_face_available(tr, kFaceFinlandica));
  // Whole words in one face: the Latin Extended-A letters (Ł ź ő) from the faces' own subsets.
  for (const char* word : {"\xC5\x81\xC3\xB3" "d\xC5\xBA", "G\xC3\xB6" "d\xC3\xB6" "ll\xC5\x91"}) {  // Łódź, Gödöllő
    SCOPED_TRACE(word);
    for (auto [stack, face] : {std::pair{kStackDisplay, kFaceMicro5}, std::pair{kStackText, kFaceFinlandica}}) {
      const TextEntry* e = text_get(tr, stack, 32, 400, word, false);
      ASSERT_GE(e->char_count, 4);
      for (int i = 0; i < e->char_count; i++) EXPECT_EQ(e->char_face[i], face) << "character " << i;
    }
  }
  // And drawn from that subset's glyph: "Ł" is "L" with a stroke through it, no box or blank.
  long ink[2] = {};
  int height[2] = {};
  for (int k = 0; k < 2; k++) {
    clear();
    const TextEntry* e = text_get(tr, kStackDisplay, 40, 400, k ? "\xC5\x81" : "L", true);
    text_draw(tr, e, 10, 10, 0xFFFFFFFF, 1.0f);
    for (uint32_t p : pixels()) ink[k] += green(p) > 128;
    height[k] = e->ink_bottom - e->ink_top;
  }
  EXPECT_GT(ink[1], ink[0]);
  EXPECT_LT(ink[1], ink[0] * 2);
  EXPECT_EQ(height[1], height[0]);

  // With the Latin files alone, the same word changes face mid-word.
  TempDir latin_only;
  for (const char* name : {"Micro5-Regular.woff2", "Finlandica-Regular.woff2"})
    std::filesystem::copy_file(std::string(TOLM_FONT_DIR) + "/" + name, latin_only.file(name));
  TextRenderer* bare = make(0, latin_only.path.c_str());
  const TextEntry* e = text_get(bare, kStackDisplay, 32, 400, "\xC5\x81\xC3\xB3" "d\xC5\xBA", false);
  EXPECT_EQ(e->char_face[1], kFaceMicro5);
  EXPECT_NE(e->char_face[0], kFaceMicro5);
}

TEST_F(TextTest, CjkFallsBackToACjkFace) {
  TextRenderer* tr = make();
  ASSERT_NE(tr, nullptr);
  int cjk = -1;
  for (int face : {kFaceYuGothicUi, kFaceMicrosoftYaHeiUi, kFaceSansSerifCollection}) {
    if (cjk < 0 && text_face_available(tr, face)) cjk = face;
  }
  if (cjk < 0) GTEST_SKIP() << "no CJK font installed";
  const TextEntry* e = text_get(tr, kStackText, 24, 400, "\xE9\x8C\xB2\xE9\x9F\xB3", true);  // 録音
  ASSERT_EQ(e->char_count, 2);
  EXPECT_EQ(e->char_face[0], cjk);
  EXPECT_EQ(e->char_face[1], cjk);
  EXPECT_EQ(e->char_drawn[0], 0x9332u);
  EXPECT_EQ(e->char_drawn[1], 0x97F3u);
  EXPECT_GT(e->ink_right - e->ink_left, 24);  // two full-width glyphs with ink
}

TEST_F(TextTest, ZeroWidthCodePointsAddNoWidth) {
  TextRenderer* tr = make();
  ASSERT_NE(tr, nullptr);
  const int plain = advance(tr, kStackText, "AB");
  EXPECT_EQ(advance(tr, kStackText, "A\xE2\x80\x8D" "B"), plain);  // zero-width joiner
  EXPECT_EQ(advance(tr, kStackText, "A\xEF\xB8\x8F" "B"), plain);  // variation selector 16
  EXPECT_EQ(advance(tr, kStackText, "A\xEF\xBB\xBF" "B"), plain);  // byte order mark
  EXPECT_EQ(advance(tr, kStackText, "A\t\x7F" "B"), plain);       // controls
  EXPECT_EQ(advance(tr, kStackText, "A\xC2\x85" "B"), plain);     // C1 control
  const TextEntry* sun = text_get(tr, kStackText, 20, 400, "\xE2\x98\x80\xEF\xB8\x8F", false);  // ☀︎
  ASSERT_EQ(sun->char_count, 2);
  EXPECT_EQ(sun->char_face[1], kCharNoFace);
  EXPECT_EQ(sun->caret_x[1], sun->caret_x[0]);
  EXPECT_EQ(sun->advance, advance(tr, kStackText, "\xE2\x98\x80"));
}

TEST_F(TextTest, CodePointNoFaceHasShowsAsTheDiamond) {
  TextRenderer* tr = make();
  ASSERT_NE(tr, nullptr);
  const char* diamond = "x\xE2\x97\x87";  // x◇
  const TextEntry* ref = text_get(tr, kStackDisplay, 24, 400, diamond, true);
  ASSERT_EQ(ref->char_drawn[1], 0x25C7u);
  ASSERT_GE(ref->char_face[1], 0);
  const char* missing[] = {
      "x\xCD\xB8",          // U+0378, unassigned
      "x\xF0\x9F\x98\x80",  // U+1F600: only the basic plane is drawn
      "x\xED\xA0\x80",      // an encoded surrogate
  };
  text_draw(tr, ref, 10, 10, 0xFFFFFFFF, 1.0f);
  std::vector<uint32_t> want = pixels();
  for (const char* s : missing) {
    const TextEntry* e = text_get(tr, kStackDisplay, 24, 400, s, true);
    ASSERT_EQ(e->char_count, 2) << s;
    EXPECT_EQ(e->char_drawn[1], 0x25C7u) << s;
    EXPECT_EQ(e->char_face[1], ref->char_face[1]) << s;
    EXPECT_EQ(e->advance, ref->advance) << s;
    clear();
    text_draw(tr, e, 10, 10, 0xFFFFFFFF, 1.0f);
    EXPECT_TRUE(pixels() == want) << s;
  }

  // Bytes that are not UTF-8 become replacement characters, one per bad byte, never a crash.
  const TextEntry* bad = text_get(tr, kStackText, 20, 400, "A\xE2\x96", true);  // cut short
  ASSERT_EQ(bad->char_count, 3);
  EXPECT_EQ(bad->char_drawn[1], 0xFFFDu);
  EXPECT_EQ(bad->char_drawn[2], 0xFFFDu);
  const TextEntry* overlong = text_get(tr, kStackText, 20, 400, "\xC0\xAF\xFF", false);
  EXPECT_EQ(overlong->char_count, 3);
  EXPECT_EQ(overlong->char_drawn[0], 0xFFFDu);
}

TEST_F(TextTest, DrawnPlaceholderWhenNoFaceHasTheDiamond) {
  // Micro 5 alone: it has Latin letters but neither U+0378 nor the diamond.
  TextRenderer* tr = make(bit(kFaceMicro5));
  ASSERT_NE(tr, nullptr);
  ASSERT_TRUE(text_face_available(tr, kFaceMicro5));
  const int size = 20;
  const int box = (size * 3 + 2) / 5;
  const TextEntry* e = text_get(tr, kStackDisplay, size, 400, "\xE2\x97\x87", true);
  ASSERT_EQ(e->char_count, 1);
  EXPECT_EQ(e->char_face[0], kCharPlaceholder);
  EXPECT_EQ(e->advance, box);
  // The box is painted inside its own advance.
  EXPECT_GE(e->ink_left, 0);
  EXPECT_LE(e->ink_right, box);
  EXPECT_GT(e->ink_right - e->ink_left, 2);
  EXPECT_GT(e->ink_bottom - e->ink_top, 2);
  EXPECT_EQ(advance(tr, kStackDisplay, "A\xCD\xB8" "B", size),
            advance(tr, kStackDisplay, "A", size) + box + advance(tr, kStackDisplay, "B", size));

  // With no face at all text still lays out: boxes, half-size spaces, size-based metrics.
  TempDir empty;
  TextRenderer* bare = make(bit(kFaceMicro5), empty.path.c_str());
  ASSERT_FALSE(text_face_available(bare, kFaceMicro5));
  const TextEntry* b = text_get(bare, kStackDisplay, size, 400, "A B", true);
  EXPECT_EQ(b->advance, box + size / 2 + box);
  EXPECT_EQ(b->ascent, size);
  EXPECT_EQ(b->descent, size / 4);
  EXPECT_NE(b->texture, nullptr);

  // A renderer that could not be made draws nothing and measures empty.
  const TextEntry* none = text_get(nullptr, kStackText, size, 400, "A", true);
  EXPECT_EQ(none->advance, 0);
  EXPECT_EQ(none->texture, nullptr);
  text_draw(nullptr, none, 0, 0, 0xFFFFFFFF, 1.0f);
}

TEST_F(TextTest, StringUnusedForMoreThan120FramesIsFreed) {
  TextRenderer* tr = make();
  ASSERT_NE(tr, nullptr);
  const TextEntry* label = text_get(tr, kStackDisplay, 20, 400, "REC", true);
  SDL_Texture* texture = label->texture;
  ASSERT_NE(texture, nullptr);
  text_get(tr, kStackDisplay, 20, 400, "ONCE", true);
  text_end_frame(tr);  // frame 0 ends; both were used in it

  for (int frame = 1; frame <= 121; frame++) {
    const TextEntry* e = text_get(tr, kStackDisplay, 20, 400, "REC", true);
    ASSERT_EQ(e, label);
    text_draw(tr, e, 0, 0, 0xFFFFFFFF, 1.0f);
    text_end_frame(tr);
    if (frame == 120) {  // 120 frames unused: still kept
      EXPECT_EQ(stats(tr).entries, 2);
      EXPECT_EQ(stats(tr).evictions, 0u);
    }
  }
  // The 121st unused frame freed "ONCE"; the label kept its texture and was never redrawn.
  EXPECT_EQ(stats(tr).entries, 1);
  EXPECT_EQ(stats(tr).evictions, 1u);
  EXPECT_EQ(label->texture, texture);
  EXPECT_EQ(stats(tr).renders, 2u);
  uint64_t layouts = stats(tr).layouts;
  text_get(tr, kStackDisplay, 20, 400, "ONCE", false);
  EXPECT_EQ(stats(tr).layouts, layouts + 1);
}

TEST_F(TextTest, The257thStringEvictsTheLeastRecentlyUsed) {
  TextRenderer* tr = make();
  ASSERT_NE(tr, nullptr);
  char s[32];
  for (int i = 0; i < kTextEntries; i++) {
    snprintf(s, sizeof s, "label %d", i);
    text_get(tr, kStackMono, 14, 400, s, true);
  }
  EXPECT_EQ(stats(tr).entries, kTextEntries);
  text_end_frame(tr);
  for (int i = 0; i < kTextEntries; i++) {  // the next frame uses all but one
    if (i == 37) continue;
    snprintf(s, sizeof s, "label %d", i);
    text_get(tr, kStackMono, 14, 400, s, true);
  }
  text_get(tr, kStackMono, 14, 400, "one more", true);
  EXPECT_EQ(stats(tr).entries, kTextEntries);
  EXPECT_EQ(stats(tr).evictions, 1u);

  const uint64_t layouts = stats(tr).layouts;
  text_get(tr, kStackMono, 14, 400, "label 0", false);
  text_get(tr, kStackMono, 14, 400, "label 36", false);
  text_get(tr, kStackMono, 14, 400, "label 38", false);
  text_get(tr, kStackMono, 14, 400, "label 255", false);
  EXPECT_EQ(stats(tr).layouts, layouts);
  const TextEntry* again = text_get(tr, kStackMono, 14, 400, "label 37", false);
  EXPECT_EQ(stats(tr).layouts, layouts + 1);
  EXPECT_STREQ(again->text, "label 37");
}

TEST_F(TextTest, ScaleChangeThrowsStringsAndFontsAway) {
  TextRenderer* tr = make();
  ASSERT_NE(tr, nullptr);
  text_get(tr, kStackText, 20, 400, "Notes", true);
  text_get(tr, kStackMono, 20, 700, "12:34", true);
  ASSERT_EQ(stats(tr).entries, 2);
  ASSERT_GT(stats(tr).fonts, 0);

  text_set_scale(tr, 1.00005f);  // within the tolerance of the starting scale 1
  EXPECT_EQ(stats(tr).entries, 2);
  text_set_scale(tr, 1.5f);
  EXPECT_EQ(stats(tr).entries, 0);
  EXPECT_EQ(stats(tr).fonts, 0);
  text_set_scale(tr, 1.5f);

  TextStats before = stats(tr);
  const TextEntry* e = text_get(tr, kStackText, 30, 400, "Notes", true);
  EXPECT_NE(e->texture, nullptr);
  EXPECT_EQ(stats(tr).layouts, before.layouts + 1);
  EXPECT_EQ(stats(tr).renders, before.renders + 1);
  EXPECT_GT(stats(tr).font_opens, before.font_opens);
}

TEST_F(TextTest, FontAndCoverageCachesStayWithinTheirCapacity) {
  TextRenderer* tr = make();
  ASSERT_NE(tr, nullptr);
  // 40 sizes of one face: 32 handles stay open, the least recently used goes first.
  for (int size = 10; size < 50; size++) text_get(tr, kStackMono, size, 400, "0", false);
  EXPECT_EQ(stats(tr).fonts, kFontHandles);
  EXPECT_EQ(stats(tr).font_opens, 40u);
  text_get(tr, kStackMono, 49, 400, "1", false);
  EXPECT_EQ(stats(tr).font_opens, 40u);
  text_get(tr, kStackMono, 10, 400, "1", false);
  EXPECT_EQ(stats(tr).font_opens, 41u);

  // Presence is asked once per code point and face...
  const uint64_t asks = stats(tr).coverage_asks;
  text_get(tr, kStackMono, 12, 400, "0 1", false);
  EXPECT_EQ(stats(tr).coverage_asks, asks);

  // ...for up to 1,536 code points; after that, every time, with the same answers.
  const TextEntry* hangul = text_get(tr, kStackMono, 12, 400, "\xEA\xB0\x80", false);  // 가
  const int hangul_face = hangul->char_face[0];
  const int hangul_advance = hangul->advance;
  for (uint32_t cp = 0x4E00; cp < 0x4E00 + 2000; cp += 10) {
    std::string str;
    for (uint32_t c = cp; c < cp + 10; c++) {
      str += static_cast<char>(0xE0 | (c >> 12));
      str += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      str += static_cast<char>(0x80 | (c & 0x3F));
    }
    const TextEntry* e = text_get(tr, kStackSymbols, 12, 400, str.c_str(), false);
    ASSERT_EQ(e->char_count, 10);
  }
  EXPECT_EQ(stats(tr).coverage_remembered, kCoverageRemembered);
  const char* s = "\xEA\xB0\x81";  // 각, not seen before
  const uint64_t before = stats(tr).coverage_asks;
  const TextEntry* e1 = text_get(tr, kStackMono, 12, 400, s, false);
  const uint64_t first = stats(tr).coverage_asks - before;
  EXPECT_GT(first, 0u);
  text_get(tr, kStackMono, 13, 400, s, false);
  EXPECT_EQ(stats(tr).coverage_asks - before, 2 * first);
  EXPECT_EQ(e1->char_face[0], hangul_face);
  EXPECT_EQ(e1->advance, hangul_advance);
}

TEST_F(TextTest, DrawTintsTheWhiteTextureAndKeepsCoverageAsAlpha) {
  TextRenderer* tr = make();
  ASSERT_NE(tr, nullptr);
  const TextEntry* e = text_get(tr, kStackText, 28, 400, "Hg \xE2\x96\xA0 ok", true);
  ASSERT_NE(e->texture, nullptr);
  const int x = 20, y = 30;

  // White: every channel is the coverage; there is full and partial coverage.
  text_draw(tr, e, x, y, 0xFFFFFFFF, 1.0f);
  std::vector<uint32_t> white = pixels();
  int full = 0, partial = 0;
  int left = kTargetW, top = kTargetH, right = -1, bottom = -1;
  for (int py = 0; py < kTargetH; py++) {
    for (int px = 0; px < kTargetW; px++) {
      uint32_t p = white[py * kTargetW + px];
      ASSERT_EQ(red(p), green(p));
      ASSERT_EQ(blue(p), green(p));
      unsigned v = green(p);
      full += v == 255;
      partial += v > 0 && v < 255;
      if (v > 24) {
        left = std::min(left, px), right = std::max(right, px);
        top = std::min(top, py), bottom = std::max(bottom, py);
      }
    }
  }
  EXPECT_GT(full, 50);
  EXPECT_GT(partial, 20);
  // The ink box is where the drawn pixels are, relative to the pen origin.
  EXPECT_EQ(e->ink_left, left - x);
  EXPECT_EQ(e->ink_top, top - y);
  EXPECT_EQ(e->ink_right, right + 1 - x);
  EXPECT_EQ(e->ink_bottom, bottom + 1 - y);
  EXPECT_LT(e->ink_top, e->ascent / 2);  // capitals reach up into the upper half
  EXPECT_GT(e->ink_bottom, e->ascent);  // "g" descends under the baseline

  // Red (0xAABBGGRR), blue, and red again (the colour is baked into the texture each time):
  // the colour's channel carries the coverage (blending may round differently by one), the
  // others stay black.
  for (const uint32_t colour : {0xFF0000FFu, 0xFFFF0000u, 0xFF0000FFu}) {
    clear();
    text_draw(tr, e, x, y, colour, 1.0f);
    std::vector<uint32_t> tinted = pixels();
    const bool is_red = colour == 0xFF0000FFu;
    for (int i = 0; i < kTargetW * kTargetH; i++) {
      const uint32_t lit = is_red ? red(tinted[i]) : blue(tinted[i]);
      ASSERT_NEAR(static_cast<int>(lit), static_cast<int>(green(white[i])), 1) << std::hex << colour << " at " << i;
      ASSERT_EQ(green(tinted[i]), 0u) << i;
      ASSERT_EQ(is_red ? blue(tinted[i]) : red(tinted[i]), 0u) << i;
    }
  }

  // Half alpha, from the colour or from the alpha argument, halves the coverage.
  for (int pass = 0; pass < 2; pass++) {
    clear();
    if (pass == 0) text_draw(tr, e, x, y, 0x80FFFFFF, 1.0f);
    else text_draw(tr, e, x, y, 0xFFFFFFFF, 0.5f);
    std::vector<uint32_t> half = pixels();
    for (int i = 0; i < kTargetW * kTargetH; i++) {
      int want = static_cast<int>(green(white[i])) / 2;
      ASSERT_NEAR(static_cast<int>(green(half[i])), want, 2) << "pass " << pass << " at " << i;
    }
  }

  // Zero alpha draws nothing.
  clear();
  text_draw(tr, e, x, y, 0xFFFFFFFF, 0.0f);
  for (uint32_t p : pixels()) ASSERT_EQ(green(p), 0u);
}

TEST_F(TextTest, BoldWeightsDrawHeavier) {
  TextRenderer* tr = make();
  ASSERT_NE(tr, nullptr);
  // Mono has a bold style installed; Finlandica ships regular only and is emboldened.
  for (int stack : {kStackMono, kStackText}) {
    long ink[2] = {};
    for (int b = 0; b < 2; b++) {
      clear();
      const TextEntry* e = text_get(tr, stack, 24, b ? 700 : 400, "mmmm", true);
      text_draw(tr, e, 10, 10, 0xFFFFFFFF, 1.0f);
      for (uint32_t p : pixels()) ink[b] += green(p);
    }
    EXPECT_GT(ink[1], ink[0] * 11 / 10) << "stack " << stack;
  }
}
