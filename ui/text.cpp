// The text renderer: the four font stacks, the font-handle, glyph-coverage and string caches,
// layout from FreeType advances and rasterising into white textures with coverage as alpha.
// Main thread only.
#include "ui/text.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include <SDL.h>

#include "config/log.h"
#include "ui/font_faces.h"

#include FT_SIZES_H
#include FT_SYNTHESIS_H

namespace {

constexpr uint32_t kDiamond = 0x25C7;       // stands in for a character no face has
constexpr uint32_t kReplacement = 0xFFFD;   // stands in for bytes that are not UTF-8
constexpr int kInkThreshold = 24;           // coverage above this counts as ink
constexpr int kBitmapSpareW = 64;           // the scratch bitmap grows with room to spare
constexpr int kBitmapSpareH = 16;
constexpr size_t kBitmapKeepPixels = 4u << 20;  // a larger scratch bitmap is freed after use
constexpr float kScaleEpsilon = 0.0001f;

struct FontHandle {
  bool used;
  int face;
  int size;      // pixels per em
  int weight;
  int parts;     // files the face is spread over (a shipped face's subsets), 1 for most
  FT_Face ft[kMaxFaceParts];  // borrowed from the face table; a glyph comes from the first that has it
  FT_Size ft_size[kMaxFaceParts];
  bool embolden;
  int ascent;    // pixels
  int descent;
  uint64_t last_use;
};

// Which faces were asked about a code point and which have it. code_point 0 marks an empty slot
// (control characters never reach the table).
struct CoverageSlot {
  uint32_t code_point;
  uint16_t asked;  // one bit per face
  uint16_t has;
};
static_assert(kFaceCount <= 16, "coverage masks hold one bit per face");

}  // namespace

struct TextRenderer {
  SDL_Renderer* renderer;
  FontFaces faces;
  int stack[kStackCount][kFaceCount];
  int stack_len[kStackCount];

  FontHandle font[kFontHandles];
  uint64_t font_clock;  // only grows

  CoverageSlot coverage[kCoverageSlots];
  int coverage_count;

  TextEntry entry[kTextEntries];
  int chain[kTextChains];  // first entry of each hash chain, -1 when empty
  uint32_t frame;          // frames ended so far
  uint64_t use_clock;      // fetches so far; only grows
  float scale;

  uint32_t* bitmap;        // rendering scratch, ARGB
  size_t bitmap_pixels;

  TextStats stats;
};

namespace {

const TextEntry kEmptyEntry{};

// ---- Font handles -----------------------------------------------------------------------------

void font_release(TextRenderer* tr, FontHandle* h) {
  if (!h->used) return;
  for (int p = 0; p < h->parts; p++)
    if (h->ft_size[p]) FT_Done_Size(h->ft_size[p]);
  *h = FontHandle{};
  tr->stats.fonts--;
}

FontHandle* font_get(TextRenderer* tr, int face, int size, int weight) {
  FontHandle* slot = nullptr;
  for (FontHandle& h : tr->font) {
    if (h.used && h.face == face && h.size == size && h.weight == weight) {
      h.last_use = ++tr->font_clock;
      return &h;
    }
    if (!slot || (slot->used && (!h.used || h.last_use < slot->last_use))) slot = &h;
  }
  bool embolden = false;
  FT_Face ft = font_face_for_weight(&tr->faces, face, weight, &embolden);
  if (!ft) return nullptr;
  font_release(tr, slot);

  // A real bold style is one file; the regular style (emboldened or not) is all of its subsets.
  FT_Face parts[kMaxFaceParts] = {ft};
  int part_count = 1;
  if (ft == tr->faces.face[face].regular) part_count = font_face_parts(&tr->faces, face, parts, kMaxFaceParts);
  FT_Size sizes[kMaxFaceParts] = {};
  for (int p = 0; p < part_count; p++) {
    if (FT_New_Size(parts[p], &sizes[p]) != 0 || FT_Activate_Size(sizes[p]) != 0 ||
        FT_Set_Pixel_Sizes(parts[p], 0, static_cast<FT_UInt>(size)) != 0) {
      for (int q = 0; q <= p; q++)
        if (sizes[q]) FT_Done_Size(sizes[q]);
      return nullptr;
    }
  }
  FontHandle& h = *slot;
  h = FontHandle{true, face, size, weight, part_count, {}, {}, embolden, 0, 0, ++tr->font_clock};
  for (int p = 0; p < part_count; p++) {
    h.ft[p] = parts[p];
    h.ft_size[p] = sizes[p];
  }
  FT_Activate_Size(sizes[0]);  // the metrics are the first file's
  // Metrics are 26.6 fixed point; a face that gives none gets the usual proportions.
  long ascender = ft->size->metrics.ascender;
  long descender = -ft->size->metrics.descender;
  if (ascender > 0 && descender >= 0) {
    h.ascent = static_cast<int>((ascender + 63) >> 6);
    h.descent = static_cast<int>((descender + 63) >> 6);
  } else {
    h.ascent = size;
    h.descent = size / 4;
  }
  tr->stats.font_opens++;
  tr->stats.fonts++;
  return &h;
}

// Loads (and with `render` rasterises) one glyph of the handle into its face's glyph slot.
FT_GlyphSlot glyph_load(TextRenderer* tr, FontHandle* h, uint32_t code_point, bool render) {
  // The first file of the face that has the glyph draws it (a missing one is the first's .notdef).
  int part = 0;
  FT_UInt index = 0;
  for (int p = 0; p < h->parts && index == 0; p++) {
    index = FT_Get_Char_Index(h->ft[p], code_point);
    if (index != 0) part = p;
  }
  FT_Face ft = h->ft[part];
  if (FT_Activate_Size(h->ft_size[part]) != 0) return nullptr;
  tr->stats.glyph_loads++;
  // Light hinting, as Linux desktops use by default; a face's own bytecode hints can cost ten
  // times as much per glyph (the shipped pixel face's do).
  if (FT_Load_Glyph(ft, index, FT_LOAD_TARGET_LIGHT) != 0) return nullptr;
  FT_GlyphSlot slot = ft->glyph;
  if (h->embolden) FT_GlyphSlot_Embolden(slot);
  if (render && slot->format != FT_GLYPH_FORMAT_BITMAP &&
      FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) != 0) {
    return nullptr;
  }
  return slot;
}

// ---- Glyph coverage ---------------------------------------------------------------------------

// The code point's slot, added when there is room; null once kCoverageRemembered are kept.
CoverageSlot* coverage_slot(TextRenderer* tr, uint32_t code_point) {
  uint32_t i = (code_point * 433u) % kCoverageSlots;
  for (;;) {  // ends: the table is never more than three quarters full
    CoverageSlot* s = &tr->coverage[i];
    if (s->code_point == code_point) return s;
    if (s->code_point == 0) break;
    i = (i + 1) % kCoverageSlots;
  }
  if (tr->coverage_count >= kCoverageRemembered) return nullptr;
  CoverageSlot* s = &tr->coverage[i];
  *s = CoverageSlot{code_point, 0, 0};
  tr->coverage_count++;
  return s;
}

bool face_has(TextRenderer* tr, CoverageSlot* slot, int face, uint32_t code_point) {
  uint16_t bit = static_cast<uint16_t>(1u << face);
  if (slot && (slot->asked & bit)) return (slot->has & bit) != 0;
  bool has = font_face_has_glyph(&tr->faces, face, code_point);
  tr->stats.coverage_asks++;
  if (slot) {
    slot->asked |= bit;
    if (has) slot->has |= bit;
  }
  return has;
}

// The first face of the stack that has the code point, or -1.
int face_for(TextRenderer* tr, int stack, uint32_t code_point) {
  // Only the basic plane is drawn; the rest shows as the diamond, like a surrogate.
  if (code_point > 0xFFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) return -1;
  CoverageSlot* slot = coverage_slot(tr, code_point);
  for (int i = 0; i < tr->stack_len[stack]; i++) {
    int face = tr->stack[stack][i];
    if (face_has(tr, slot, face, code_point)) return face;
  }
  return -1;
}

bool zero_width(uint32_t c) {
  return c <= 31 || (c >= 127 && c <= 159) || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF;
}

// ---- Layout -----------------------------------------------------------------------------------

// Decodes one code point at s[i]; bytes that are not well-formed UTF-8 become U+FFFD one byte at
// a time. Surrogates decode as themselves (they then count as missing). Returns bytes consumed.
int utf8_next(const unsigned char* s, int len, int i, uint32_t* out) {
  const unsigned c = s[i];
  if (c < 0x80) {
    *out = c;
    return 1;
  }
  // Lead byte: continuation bytes to follow, its payload bits, the least value (no overlongs).
  int need = c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : 0;
  if (need == 0) {
    *out = kReplacement;
    return 1;
  }
  static const uint32_t kLeadMask[4] = {0, 0x1F, 0x0F, 0x07};
  static const uint32_t kLeast[4] = {0, 0x80, 0x800, 0x10000};
  uint32_t cp = c & kLeadMask[need];
  const uint32_t min = kLeast[need];
  if (i + need >= len) {  // cut short by the end of the string
    *out = kReplacement;
    return 1;
  }
  for (int k = 1; k <= need; k++) {
    unsigned b = s[i + k];
    if ((b & 0xC0) != 0x80) {
      *out = kReplacement;
      return 1;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF) {
    *out = kReplacement;
    return 1;
  }
  *out = cp;
  return need + 1;
}

int placeholder_width(int size) { return (size * 3 + 2) / 5; }

void layout(TextRenderer* tr, TextEntry* e) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(e->text);
  const int stack = e->stack;
  const int size = e->size;
  const int first_face = tr->stack_len[stack] > 0 ? tr->stack[stack][0] : -1;

  // Each code point with its face.
  int n = 0;
  for (int i = 0; i < e->len && n < kTextMaxBytes;) {
    uint32_t cp = 0;
    i += utf8_next(s, e->len, i, &cp);
    int8_t face = kCharNoFace;
    uint32_t drawn = cp;
    if (zero_width(cp)) {
      drawn = 0;
    } else if (cp == ' ') {
      face = static_cast<int8_t>(first_face);
    } else {
      int f = face_for(tr, stack, cp);
      if (f < 0) {
        drawn = kDiamond;
        f = face_for(tr, stack, kDiamond);
      }
      face = f < 0 ? kCharPlaceholder : static_cast<int8_t>(f);
    }
    e->char_face[n] = face;
    e->char_drawn[n] = static_cast<uint16_t>(drawn);
    n++;
  }
  e->char_count = n;

  // Runs of one face share a font handle; advances are whole pixels, laid end to end.
  int pen = 0;
  for (int i = 0; i < n;) {
    int face = e->char_face[i];
    if (face < 0) {
      if (face == kCharPlaceholder) {
        pen += placeholder_width(size);
      } else if (e->char_drawn[i] == ' ') {
        pen += size / 2;  // a space in a stack without faces
      }
      e->caret_x[i++] = pen;
      continue;
    }
    int end = i;
    while (end < n && e->char_face[end] == face) end++;
    FontHandle* h = font_get(tr, face, size, e->weight);
    for (; i < end; i++) {
      FT_GlyphSlot slot = h ? glyph_load(tr, h, e->char_drawn[i], false) : nullptr;
      pen += slot ? static_cast<int>((slot->advance.x + 32) >> 6) : size / 2;
      e->caret_x[i] = pen;
    }
  }
  e->advance = pen;

  FontHandle* h = first_face >= 0 ? font_get(tr, first_face, size, e->weight) : nullptr;
  e->ascent = h ? h->ascent : size;
  e->descent = h ? h->descent : size / 4;
  tr->stats.layouts++;
}

// ---- Rendering --------------------------------------------------------------------------------

bool bitmap_reserve(TextRenderer* tr, int w, int h) {
  size_t need = static_cast<size_t>(w) * static_cast<size_t>(h);
  if (need <= tr->bitmap_pixels) return true;
  int grow_w = w + kBitmapSpareW < kTextMaxBitmapW ? w + kBitmapSpareW : kTextMaxBitmapW;
  int grow_h = h + kBitmapSpareH < kTextMaxBitmapH ? h + kBitmapSpareH : kTextMaxBitmapH;
  size_t pixels = static_cast<size_t>(grow_w) * static_cast<size_t>(grow_h);
  uint32_t* bitmap = static_cast<uint32_t*>(std::malloc(pixels * sizeof(uint32_t)));
  if (!bitmap) return false;
  std::free(tr->bitmap);
  tr->bitmap = bitmap;
  tr->bitmap_pixels = pixels;
  return true;
}

// Coverage combines by maximum, so touching glyphs never add up past full.
void put_coverage(uint32_t* px, unsigned coverage) {
  if (coverage > (*px >> 24)) *px = (coverage << 24) | 0xFFFFFFu;
}

void blit_glyph(const FT_Bitmap& b, int x0, int y0, uint32_t* bitmap, int w, int h) {
  if (b.pixel_mode != FT_PIXEL_MODE_GRAY && b.pixel_mode != FT_PIXEL_MODE_MONO) return;
  const int rows = static_cast<int>(b.rows);
  const int cols = static_cast<int>(b.width);
  // A negative pitch means rows run upwards from the end of the buffer.
  const unsigned char* top = b.pitch >= 0 ? b.buffer : b.buffer - (rows - 1) * b.pitch;
  for (int r = 0; r < rows; r++) {
    int y = y0 + r;
    if (y < 0 || y >= h) continue;
    const unsigned char* src = top + r * b.pitch;
    for (int c = 0; c < cols; c++) {
      int x = x0 + c;
      if (x < 0 || x >= w) continue;
      unsigned coverage = b.pixel_mode == FT_PIXEL_MODE_GRAY
                              ? (b.num_grays == 256 ? src[c] : src[c] * 255u / (b.num_grays - 1))
                              : ((src[c >> 3] >> (7 - (c & 7))) & 1) * 255u;
      put_coverage(&bitmap[y * w + x], coverage);
    }
  }
}

// A hollow box the height of a capital, inside the placeholder's advance.
void draw_placeholder(int pen_x, int baseline, int size, int ascent, uint32_t* bitmap, int w,
                      int h) {
  int width = placeholder_width(size);
  int x0 = pen_x + 1;
  int x1 = pen_x + width - 1;
  if (x1 - x0 < 2) x1 = x0 + 2;
  int box_h = size * 7 / 10;
  if (box_h > ascent) box_h = ascent;
  if (box_h < 3) box_h = 3;
  int y0 = baseline - box_h;
  int y1 = baseline;
  int t = size / 16 > 1 ? size / 16 : 1;
  for (int y = y0; y < y1; y++) {
    if (y < 0 || y >= h) continue;
    for (int x = x0; x < x1; x++) {
      if (x < 0 || x >= w) continue;
      bool edge = y < y0 + t || y >= y1 - t || x < x0 + t || x >= x1 - t;
      if (edge) put_coverage(&bitmap[y * w + x], 255);
    }
  }
}

void render(TextRenderer* tr, TextEntry* e) {
  const int size = e->size;
  const int pad_x = size / 6 + 2;
  const int pad_y = size / 4 + 2;
  int w = e->advance + 2 * pad_x;
  int h = e->ascent + e->descent + 2 * pad_y;
  if (w > kTextMaxBitmapW) w = kTextMaxBitmapW;
  if (h > kTextMaxBitmapH) h = kTextMaxBitmapH;
  if (!bitmap_reserve(tr, w, h)) {
    log_line("text: no memory for a %dx%d text bitmap", w, h);
    e->render_failed = true;
    return;
  }
  uint32_t* bitmap = tr->bitmap;
  for (size_t i = 0, n = static_cast<size_t>(w) * h; i < n; i++) bitmap[i] = 0x00FFFFFFu;

  const int baseline = pad_y + e->ascent;
  FontHandle* handle = nullptr;
  int handle_face = -1;
  for (int i = 0; i < e->char_count; i++) {
    int face = e->char_face[i];
    int pen_x = pad_x + (i > 0 ? e->caret_x[i - 1] : 0);
    if (face == kCharPlaceholder) {
      draw_placeholder(pen_x, baseline, size, e->ascent, bitmap, w, h);
      continue;
    }
    if (face < 0 || e->char_drawn[i] == ' ') continue;
    if (face != handle_face) {
      handle = font_get(tr, face, size, e->weight);
      handle_face = face;
    }
    if (!handle) continue;
    FT_GlyphSlot slot = glyph_load(tr, handle, e->char_drawn[i], true);
    if (!slot) continue;
    blit_glyph(slot->bitmap, pen_x + slot->bitmap_left, baseline - slot->bitmap_top, bitmap, w, h);
  }

  // Ink box, relative to the pen origin.
  int left = w, top = h, right = -1, bottom = -1;
  for (int y = 0; y < h; y++) {
    const uint32_t* row = bitmap + static_cast<size_t>(y) * w;
    for (int x = 0; x < w; x++) {
      if (static_cast<int>(row[x] >> 24) > kInkThreshold) {
        if (x < left) left = x;
        if (x > right) right = x;
        if (y < top) top = y;
        bottom = y;
      }
    }
  }
  if (right >= 0) {
    e->ink_left = left - pad_x;
    e->ink_top = top - pad_y;
    e->ink_right = right + 1 - pad_x;
    e->ink_bottom = bottom + 1 - pad_y;
  } else {
    e->ink_left = e->ink_top = e->ink_right = e->ink_bottom = 0;
  }

  SDL_Texture* texture =
      SDL_CreateTexture(tr->renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STATIC, w, h);
  if (!texture || SDL_UpdateTexture(texture, nullptr, bitmap, w * 4) != 0) {
    log_line("text: cannot make a %dx%d texture: %s", w, h, SDL_GetError());
    if (texture) SDL_DestroyTexture(texture);
    e->render_failed = true;
  } else {
    SDL_SetTextureBlendMode(texture, SDL_BLENDMODE_BLEND);
    e->texture = texture;
    e->texture_w = w;
    e->texture_h = h;
    e->pad_x = pad_x;
    e->pad_y = pad_y;
    e->tint = 0xFFFFFFu;
    // Without it the text is still drawn, white and tinted by modulation.
    e->coverage = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(w) * h));
    if (e->coverage)
      for (size_t i = 0, n = static_cast<size_t>(w) * h; i < n; i++) e->coverage[i] = uint8_t(bitmap[i] >> 24);
    tr->stats.renders++;
  }
  if (tr->bitmap_pixels > kBitmapKeepPixels) {  // a giant label should not pin its bitmap
    std::free(tr->bitmap);
    tr->bitmap = nullptr;
    tr->bitmap_pixels = 0;
  }
}

// ---- String cache -----------------------------------------------------------------------------

uint32_t text_hash(int stack, int size, int weight, const char* s, int len) {
  uint32_t h = static_cast<uint32_t>(stack) * 0x9E3779B1u ^ static_cast<uint32_t>(weight) * 0xC2B2AE3Du ^
               static_cast<uint32_t>(size) * 0x85EBCA77u ^ 0x811C9DC5u;
  for (int i = 0; i < len; i++) {
    h ^= static_cast<unsigned char>(s[i]);
    h *= 0x01000193u;
  }
  return h;
}

void entry_free(TextRenderer* tr, int index) {
  TextEntry* e = &tr->entry[index];
  if (!e->used) return;
  int* link = &tr->chain[e->hash % kTextChains];
  while (*link != index) link = &tr->entry[*link].next;
  *link = e->next;
  if (e->texture) SDL_DestroyTexture(e->texture);
  std::free(e->coverage);
  e->used = false;
  e->texture = nullptr;
  e->coverage = nullptr;
  tr->stats.entries--;
}

// A free slot, or the least recently fetched entry freed for the caller.
int entry_take(TextRenderer* tr) {
  int oldest = -1;
  for (int i = 0; i < kTextEntries; i++) {
    if (!tr->entry[i].used) return i;
    if (oldest < 0 || tr->entry[i].last_use < tr->entry[oldest].last_use) oldest = i;
  }
  entry_free(tr, oldest);
  tr->stats.evictions++;
  return oldest;
}

void free_all(TextRenderer* tr) {
  for (int i = 0; i < kTextEntries; i++) entry_free(tr, i);
  for (FontHandle& h : tr->font) font_release(tr, &h);
}

// Cuts at a character boundary so a cut string stays valid UTF-8.
int cut_length(const char* s) {
  int len = 0;
  while (len < kTextMaxBytes && s[len]) len++;
  if (len < kTextMaxBytes) return len;
  len = kTextMaxBytes - 1;
  while (len > 0 && (static_cast<unsigned char>(s[len]) & 0xC0) == 0x80) len--;
  return len;
}

}  // namespace

int text_renderer_create(SDL_Renderer* renderer, const TextRendererOptions* options,
                         TextRenderer** out) {
  *out = nullptr;
  TextRendererOptions defaults;
  if (!options) options = &defaults;
  TextRenderer* tr = new TextRenderer{};
  tr->renderer = renderer;
  tr->scale = 1.0f;
  for (int& c : tr->chain) c = -1;
  if (font_faces_open(&tr->faces, options->font_dir, options->face_mask) != 0) {
    delete tr;
    return -1;
  }
  static const int kStackFaces[kStackCount][kFaceCount + 1] = {
      {kFaceSegoeUiSymbol, kFaceYuGothicUi, kFaceMicrosoftYaHeiUi, kFaceSansSerifCollection,
       kFaceSegoeUi, -1},
      {kFaceCascadiaMono, kFaceConsolas, kFaceSegoeUiSymbol, kFaceYuGothicUi, kFaceMicrosoftYaHeiUi,
       kFaceSansSerifCollection, kFaceSegoeUi, -1},
      {kFaceMicro5, kFaceCascadiaMono, kFaceConsolas, kFaceSegoeUiSymbol, kFaceYuGothicUi,
       kFaceMicrosoftYaHeiUi, kFaceSansSerifCollection, kFaceSegoeUi, -1},
      {kFaceFinlandica, kFaceCascadiaMono, kFaceConsolas, kFaceSegoeUiSymbol, kFaceYuGothicUi,
       kFaceMicrosoftYaHeiUi, kFaceSansSerifCollection, kFaceSegoeUi, -1},
  };
  for (int s = 0; s < kStackCount; s++) {
    for (int i = 0; kStackFaces[s][i] >= 0; i++) {
      int face = kStackFaces[s][i];
      if (tr->faces.face[face].available) tr->stack[s][tr->stack_len[s]++] = face;
    }
  }
  *out = tr;
  return 0;
}

void text_renderer_destroy(TextRenderer* tr) {
  if (!tr) return;
  free_all(tr);  // sizes before the faces they belong to
  font_faces_close(&tr->faces);
  std::free(tr->bitmap);
  delete tr;
}

const TextEntry* text_get(TextRenderer* tr, int stack, int size, int weight, const char* utf8,
                          bool render_now) {
  if (!tr) return &kEmptyEntry;
  if (stack < 0 || stack >= kStackCount) stack = kStackText;
  if (weight < 100) weight = 400;
  if (weight > 900) weight = 900;
  if (size < 1) size = 1;
  if (size > kTextMaxSize) size = kTextMaxSize;
  if (!utf8) utf8 = "";
  const int len = cut_length(utf8);
  const uint32_t hash = text_hash(stack, size, weight, utf8, len);

  TextEntry* e = nullptr;
  for (int i = tr->chain[hash % kTextChains]; i >= 0; i = tr->entry[i].next) {
    TextEntry* c = &tr->entry[i];
    if (c->hash == hash && c->stack == stack && c->size == size && c->weight == weight &&
        c->len == len && memcmp(c->text, utf8, static_cast<size_t>(len)) == 0) {
      e = c;
      break;
    }
  }
  if (!e) {
    int index = entry_take(tr);
    e = &tr->entry[index];
    *e = TextEntry{};
    e->used = true;
    e->stack = stack;
    e->size = size;
    e->weight = weight;
    e->hash = hash;
    e->len = len;
    memcpy(e->text, utf8, static_cast<size_t>(len));
    e->text[len] = '\0';
    e->next = tr->chain[hash % kTextChains];
    tr->chain[hash % kTextChains] = index;
    tr->stats.entries++;
    layout(tr, e);
  }
  e->last_frame = tr->frame;
  e->last_use = ++tr->use_clock;
  if (render_now && !e->texture && !e->render_failed) render(tr, e);
  return e;
}

namespace {

// Writes rgb (0xBBGGRR) into the entry's texture over its kept coverage; on failure the entry
// stays as it was and is tinted by modulation.
void bake_tint(TextRenderer* tr, TextEntry* e, uint32_t rgb) {
  const int w = e->texture_w, h = e->texture_h;
  if (!bitmap_reserve(tr, w, h)) return;
  const uint32_t argb = (rgb & 0xFFu) << 16 | (rgb & 0xFF00u) | (rgb >> 16 & 0xFFu);
  for (size_t i = 0, n = static_cast<size_t>(w) * h; i < n; i++) tr->bitmap[i] = uint32_t(e->coverage[i]) << 24 | argb;
  if (SDL_UpdateTexture(e->texture, nullptr, tr->bitmap, w * 4) == 0) e->tint = rgb;
  if (tr->bitmap_pixels > kBitmapKeepPixels) {
    std::free(tr->bitmap);
    tr->bitmap = nullptr;
    tr->bitmap_pixels = 0;
  }
}

}  // namespace

void text_draw(TextRenderer* tr, const TextEntry* entry, float x, float y, uint32_t colour,
               float alpha) {
  if (!tr || !entry || !entry->texture) return;
  if (!(alpha > 0.0f)) return;  // also refuses NaN
  if (alpha > 1.0f) alpha = 1.0f;
  long a = std::lround(static_cast<float>(colour >> 24) * alpha);
  if (a <= 0) return;
  const uint32_t rgb = colour & 0xFFFFFFu;
  if (rgb != entry->tint && entry->coverage) bake_tint(tr, const_cast<TextEntry*>(entry), rgb);
  if (rgb == entry->tint) SDL_SetTextureColorMod(entry->texture, 255, 255, 255);
  else SDL_SetTextureColorMod(entry->texture, colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
  SDL_SetTextureAlphaMod(entry->texture, static_cast<Uint8>(a > 255 ? 255 : a));
  SDL_Rect dst{static_cast<int>(std::lround(x)) - entry->pad_x,
               static_cast<int>(std::lround(y)) - entry->pad_y, entry->texture_w, entry->texture_h};
  SDL_RenderCopy(tr->renderer, entry->texture, nullptr, &dst);
}

void text_end_frame(TextRenderer* tr) {
  if (!tr) return;
  for (int i = 0; i < kTextEntries; i++) {
    const TextEntry& e = tr->entry[i];
    if (e.used && tr->frame - e.last_frame > kTextEvictFrames) {  // unsigned: survives wrapping
      entry_free(tr, i);
      tr->stats.evictions++;
    }
  }
  tr->frame++;
}

void text_set_scale(TextRenderer* tr, float scale) {
  if (!tr) return;
  if (std::fabs(scale - tr->scale) <= kScaleEpsilon) return;
  tr->scale = scale;
  free_all(tr);
}

bool text_face_available(const TextRenderer* tr, int face) {
  return tr && face >= 0 && face < kFaceCount && tr->faces.face[face].available;
}

int text_stack_faces(const TextRenderer* tr, int stack, int* faces, int cap) {
  if (!tr || stack < 0 || stack >= kStackCount) return 0;
  int n = tr->stack_len[stack] < cap ? tr->stack_len[stack] : cap;
  for (int i = 0; i < n; i++) faces[i] = tr->stack[stack][i];
  return n;
}

void text_stats(const TextRenderer* tr, TextStats* out) {
  *out = TextStats{};
  if (!tr) return;
  *out = tr->stats;
  out->coverage_remembered = tr->coverage_count;
}
