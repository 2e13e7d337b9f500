// The text renderer's face table: which of the nine faces this machine has, found through
// fontconfig (installed families) or as files (the two shipped faces, each spread over the files
// of its subsets), opened with FreeType for glyph presence and drawing. Owned by one
// TextRenderer; main thread only.
#pragma once
#include <cstdint>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "platform/paths.h"
#include "ui/text.h"

// A shipped face comes as one file per subset of its characters (Latin, Latin Extended, ...).
constexpr int kMaxFaceParts = 8;

struct FontFace {
  bool available;
  char family[64];            // the family found, for the log
  char path[kPathCap];        // font file of the regular style (a shipped face's Latin subset)
  int index;                  // face index inside a collection
  char bold_path[kPathCap];   // a real bold style; empty: emboldened instead
  int bold_index;
  FT_Face regular;            // also answers glyph presence
  FT_Face subsets[kMaxFaceParts - 1];  // the regular style's other files, asked after `regular`
  int subset_count;
  FT_Face bold;               // opened on first bold use
  bool bold_tried;
};

struct FontFaces {
  FT_Library library;
  FontFace face[kFaceCount];
};

// Starts FreeType and fontconfig and looks for every face in face_mask (0 = all). Shipped faces
// come from font_dir when given, else "fonts/" beside the program, then beside the program, then
// the installed data folder's "fonts/", then an installed family of that name. Returns 0, or -1
// when FreeType cannot start.
int font_faces_open(FontFaces* faces, const char* font_dir, uint32_t face_mask);
void font_faces_close(FontFaces* faces);

// Whether the face (any of its files) maps the code point to a glyph (the answer the coverage
// cache remembers).
bool font_face_has_glyph(const FontFaces* faces, int face, uint32_t code_point);

// The files that draw the regular style, in the order glyphs are looked for: the face's own
// file, then its other subsets. Returns how many were written (0 when the face is absent).
int font_face_parts(const FontFaces* faces, int face, FT_Face* out, int cap);

// The FreeType face that draws `face` at `weight`: the bold style from kBoldWeight on when one is
// installed, else the regular one, with *embolden set when it must be emboldened. Null when the
// face is absent.
FT_Face font_face_for_weight(FontFaces* faces, int face, int weight, bool* embolden);
