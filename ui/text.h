// Text rendering: a string, a font stack, a pixel size and a weight become a white texture with
// the glyph coverage as alpha, plus the string's layout (advance, ascent, descent, carets) and ink
// box, cached so that a label drawn every frame costs nothing after its first frame. Faces are
// found through fontconfig and the program's fonts folder and rasterised with FreeType.
// Main thread only: the renderer owns SDL textures of the SDL_Renderer it was made with.
#pragma once
#include <cstdint>

struct SDL_Renderer;
struct SDL_Texture;

// The faces, in table order. Each maps to an installed family (or a shipped file) or is absent.
constexpr int kFaceCount = 9;
enum : int {
  kFaceCascadiaMono = 0,       // DejaVu Sans Mono or another monospace here
  kFaceConsolas = 1,           // likewise
  kFaceSegoeUiSymbol = 2,      // a symbols face: DejaVu Sans, Noto Sans Symbols 2, Symbola
  kFaceYuGothicUi = 3,         // Noto Sans CJK JP when installed
  kFaceMicrosoftYaHeiUi = 4,   // Noto Sans CJK SC when installed
  kFaceSansSerifCollection = 5,  // another Noto Sans CJK when installed
  kFaceSegoeUi = 6,            // DejaVu Sans
  kFaceMicro5 = 7,             // shipped: fonts/Micro5-Regular.woff2
  kFaceFinlandica = 8,         // shipped: fonts/Finlandica-Regular.woff2
};

constexpr int kStackCount = 4;
enum : int {
  kStackSymbols = 0,  // symbol and CJK fallback
  kStackMono = 1,     // console, numbers
  kStackDisplay = 2,  // the pixel display lettering (titles, buttons)
  kStackText = 3,     // running text (help, notes)
};

constexpr int kFontHandles = 32;          // FreeType sizes kept, keyed by face, size, weight
constexpr int kCoverageSlots = 2048;      // glyph-coverage table (open addressing)
constexpr int kCoverageRemembered = 1536; // code points remembered; later ones are asked each time
constexpr int kTextEntries = 256;         // rendered strings kept
constexpr int kTextChains = 512;          // hash chains over them
constexpr uint32_t kTextEvictFrames = 120;  // a string unused for more frames than this is freed
constexpr int kTextMaxBytes = 512;        // string bytes kept, NUL included; longer ones are cut
constexpr int kTextMaxSize = 1024;        // largest pixel size; sizes are clamped to 1..this
constexpr int kTextMaxBitmapW = 16384;    // rendering bitmap limits; text beyond them is cut off
constexpr int kTextMaxBitmapH = 4096;
constexpr int kBoldWeight = 600;          // from this weight on the bold variant (or emboldening)

// Per-character face values besides a face index.
constexpr int8_t kCharNoFace = -1;       // zero-width code point (or a space in an empty stack)
constexpr int8_t kCharPlaceholder = -2;  // no face has the character nor the diamond: a drawn box

// One cached string. Read-only for callers; valid until the renderer evicts it (a string fetched
// in the current frame is evicted only when more than kTextEntries strings are fetched in it).
struct TextEntry {
  // Key.
  int stack;
  int size;      // pixels
  int weight;    // 400…900 after clamping
  uint32_t hash;
  int len;                        // bytes of text
  char text[kTextMaxBytes];       // the string as laid out (cut at a character boundary)
  // Layout: pixels; the pen origin is the top-left corner of the line box.
  int advance;
  int ascent;
  int descent;
  int char_count;                    // decoded code points
  int caret_x[kTextMaxBytes];        // pen position after each code point
  int8_t char_face[kTextMaxBytes];   // face that draws each code point, or kChar* above
  uint16_t char_drawn[kTextMaxBytes];  // code point drawn (U+25C7 for a missing one)
  // Ink box: pixels with coverage above 24, relative to the pen origin, right and bottom
  // exclusive; all zero when the texture has no ink or is not made yet.
  int ink_left;
  int ink_top;
  int ink_right;
  int ink_bottom;
  // Texture: the colour last drawn in (white at first), alpha = coverage; made only when asked
  // for. The pen origin sits at (pad_x, pad_y) inside it. A colour baked in rather than applied
  // as a colour modulation lets the software renderer blend it on its fast path, at about half
  // the cost; the coverage is kept to bake another colour.
  SDL_Texture* texture;
  uint8_t* coverage;  // texture_w × texture_h, or null when it could not be kept
  uint32_t tint;      // the RGB in the texture, as 0xBBGGRR
  int texture_w;
  int texture_h;
  int pad_x;
  int pad_y;
  bool render_failed;  // the texture could not be made; not tried again for this entry
  // Cache bookkeeping.
  bool used;
  int next;              // next entry in its hash chain, -1 at the end
  uint32_t last_frame;   // frame of the last fetch
  uint64_t last_use;     // fetch sequence of the last fetch (least recently used goes first)
};

// Counters for tests and benchmarks: a cache hit leaves all the counting ones unchanged.
struct TextStats {
  uint64_t layouts;        // strings laid out (cache misses)
  uint64_t renders;        // textures made
  uint64_t glyph_loads;    // glyphs loaded from FreeType, for layout or rendering
  uint64_t coverage_asks;  // glyph presence asked of a face
  uint64_t font_opens;     // font handles (sizes) created
  uint64_t evictions;      // strings freed to make room or after kTextEvictFrames
  int entries;             // strings cached now
  int fonts;               // font handles open now
  int coverage_remembered; // code points in the coverage table
};

struct TextRendererOptions {
  const char* font_dir = nullptr;  // folder with the shipped fonts; null: "fonts/" beside the
                                   // program, beside the program itself, then the
                                   // installed share/tolm-zepha/fonts
  uint32_t face_mask = 0;          // faces looked for, one bit per face; 0 = all
};

struct TextRenderer;

// Finds the faces and builds the stacks. Returns 0, or -1 when FreeType or fontconfig cannot
// start (*out stays null; every text function accepts a null renderer and draws nothing).
// A machine without a single face still lays out text with drawn placeholders.
// Main thread only.
int text_renderer_create(SDL_Renderer* renderer, const TextRendererOptions* options,
                         TextRenderer** out);
// Frees textures, fonts and caches. Call before the SDL_Renderer is destroyed. Main thread only.
void text_renderer_destroy(TextRenderer* tr);

// The cached entry for the string: laid out always, its texture made only when render_now is
// set (measuring does not render). Weights below 100 become 400, above 900 become 900. Never
// returns null: without a renderer it returns an empty entry. Main thread only.
const TextEntry* text_get(TextRenderer* tr, int stack, int size, int weight, const char* utf8,
                          bool render_now);

// Draws the entry's texture with its pen origin at (x, y), rounded to whole pixels, tinted with
// colour (0xAABBGGRR) and its alpha times `alpha` (0…1). An entry without a texture draws
// nothing. Main thread only.
void text_draw(TextRenderer* tr, const TextEntry* entry, float x, float y, uint32_t colour,
               float alpha);

// Ends a frame: frees every string not fetched for more than kTextEvictFrames frames, then
// advances the frame counter. Main thread only.
void text_end_frame(TextRenderer* tr);

// A UI scale differing from the last by more than 0.0001 throws every string and font away.
// Main thread only.
void text_set_scale(TextRenderer* tr, float scale);

// Whether the face was found on this machine; the stack's faces in order. Main thread only.
bool text_face_available(const TextRenderer* tr, int face);
int text_stack_faces(const TextRenderer* tr, int stack, int* faces, int cap);
void text_stats(const TextRenderer* tr, TextStats* out);
