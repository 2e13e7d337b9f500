// The face table: each face's own family name is tried first, so a machine that has it installed
// uses it; then the families that stand in for it here. The two shipped faces are plain files.
// Main thread only.
#include "ui/font_faces.h"

#include <cstdlib>
#include <cstring>

#include <fontconfig/fontconfig.h>

#include "config/log.h"
#include "platform/text.h"

namespace {

// "monospace" stands for any installed family that fontconfig calls monospaced.
constexpr const char* kAnyMono = "monospace";
constexpr int kMaxCandidates = 8;

const char* const kFamilies[kFaceCount][kMaxCandidates] = {
    {"Cascadia Mono", "DejaVu Sans Mono", kAnyMono},
    {"Consolas", "DejaVu Sans Mono", kAnyMono},
    {"Segoe UI Symbol", "DejaVu Sans", "Noto Sans Symbols 2", "Symbola"},
    {"Yu Gothic UI", "Noto Sans CJK JP", "Noto Sans JP"},
    {"Microsoft YaHei UI", "Noto Sans CJK SC", "Noto Sans SC"},
    {"Sans Serif Collection", "Noto Sans CJK TC", "Noto Sans CJK KR", "Noto Sans CJK HK",
     "Noto Sans CJK JP", "Noto Sans CJK SC"},
    {"Segoe UI", "DejaVu Sans"},
    {"Micro 5"},
    {"Finlandica"},
};

// Shipped file names, newest packaging first. The Latin subset carries the face's own name; the
// other subsets lie beside it as "<name>-<subset>.woff2" (Micro5-Regular-latin-ext.woff2).
const char* const kShippedFiles[kFaceCount][3] = {
    {}, {}, {}, {}, {}, {}, {},
    {"Micro5-Regular.woff2", "Micro5-Regular.ttf"},
    {"Finlandica-Regular.woff2", "Finlandica.ttf", "Finlandica-Regular.ttf"},
};

struct FcFound {
  char family[64];
  char path[kPathCap];
  int index;
  int weight;  // fontconfig scale (80 regular, 200 bold)
};

bool family_matches(FcPattern* match, const char* family) {
  FcChar8* name = nullptr;
  for (int n = 0; FcPatternGetString(match, FC_FAMILY, n, &name) == FcResultMatch; n++) {
    if (text_equal_nocase(reinterpret_cast<const char*>(name), family)) return true;
  }
  return false;
}

// fontconfig always answers with its best substitute, so the answer counts only when it is the
// family asked for (or, for kAnyMono, any monospaced family).
bool fc_find(FcConfig* config, const char* family, bool bold, FcFound* out) {
  FcPattern* pattern = FcPatternCreate();
  if (!pattern) return false;
  FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family));
  FcPatternAddInteger(pattern, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
  FcPatternAddInteger(pattern, FC_SLANT, FC_SLANT_ROMAN);
  FcPatternAddInteger(pattern, FC_WIDTH, FC_WIDTH_NORMAL);
  FcConfigSubstitute(config, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(config, pattern, &result);
  FcPatternDestroy(pattern);
  if (!match) return false;

  bool ok = false;
  if (strcmp(family, kAnyMono) == 0) {
    int spacing = 0;
    ok = FcPatternGetInteger(match, FC_SPACING, 0, &spacing) == FcResultMatch && spacing >= FC_MONO;
  } else {
    ok = family_matches(match, family);
  }
  FcChar8* file = nullptr;
  FcChar8* name = nullptr;
  if (ok && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch) {
    text_copy(out->path, reinterpret_cast<const char*>(file));
    if (FcPatternGetString(match, FC_FAMILY, 0, &name) != FcResultMatch) name = nullptr;
    text_copy(out->family, name ? reinterpret_cast<const char*>(name) : family);
    if (FcPatternGetInteger(match, FC_INDEX, 0, &out->index) != FcResultMatch) out->index = 0;
    if (FcPatternGetInteger(match, FC_WEIGHT, 0, &out->weight) != FcResultMatch) {
      out->weight = FC_WEIGHT_REGULAR;
    }
  } else {
    ok = false;
  }
  FcPatternDestroy(match);
  return ok;
}

FT_Face open_face(FT_Library library, const char* path, int index) {
  FT_Face face = nullptr;
  if (FT_New_Face(library, path, index, &face) != 0) return nullptr;
  // Glyph presence is asked by Unicode code point; a face without a Unicode map has none.
  if (FT_Select_Charmap(face, FT_ENCODING_UNICODE) != 0 || !FT_IS_SCALABLE(face)) {
    FT_Done_Face(face);
    return nullptr;
  }
  return face;
}

struct SubsetNames {
  char stem[64];  // "Micro5-Regular-"
  char name[kMaxFaceParts - 1][kPathCap];
  int count;
};

bool collect_subset(const DirEntry& entry, void* ctx) {
  auto* names = static_cast<SubsetNames*>(ctx);
  const size_t stem = strlen(names->stem), len = strlen(entry.name);
  if (entry.is_file && len > stem + 6 && strncmp(entry.name, names->stem, stem) == 0 &&
      strcmp(entry.name + len - 6, ".woff2") == 0 && names->count < kMaxFaceParts - 1)
    text_copy(names->name[names->count++], entry.name);
  return true;
}

// Opens the other subsets of a shipped face found as dir/main_name, in name order, so that
// letters beyond Latin come from the same face instead of another one mid-word.
void add_subsets(FontFaces* faces, const char* dir, const char* main_name, FontFace* f) {
  SubsetNames names{};
  const char* dot = strrchr(main_name, '.');
  const size_t stem_len = dot ? size_t(dot - main_name) : strlen(main_name);
  if (stem_len + 2 > sizeof names.stem) return;
  memcpy(names.stem, main_name, stem_len);
  names.stem[stem_len] = '-';
  if (list_dir(dir, collect_subset, &names) < 0) return;
  qsort(names.name, size_t(names.count), sizeof names.name[0],
        [](const void* a, const void* b) { return strcmp(static_cast<const char*>(a), static_cast<const char*>(b)); });
  for (int i = 0; i < names.count; i++) {
    char path[kPathCap];
    if (text_format(path, sizeof path, "%s/%s", dir, names.name[i]) >= sizeof path - 1) continue;
    FT_Face face = open_face(faces->library, path, 0);
    if (!face) {
      log_line("text: cannot read font %s", path);
      continue;
    }
    f->subsets[f->subset_count++] = face;
  }
}

bool find_shipped(FontFaces* faces, int id, const char* font_dir, FontFace* f) {
  char dirs[3][kPathCap] = {};
  int dir_count = 0;
  if (font_dir && font_dir[0]) {
    text_copy(dirs[dir_count++], font_dir);
  } else {
    char program[kPathCap], data[kPathCap];
    if (program_dir(program, sizeof program)) {
      text_format(dirs[dir_count++], kPathCap, "%s/fonts", program);
      text_copy(dirs[dir_count++], program);
    }
    // Installed: the program in bin/, its fonts under share/.
    if (program_data_dir(data, sizeof data)) text_format(dirs[dir_count++], kPathCap, "%s/fonts", data);
  }
  for (int d = 0; d < dir_count; d++) {
    for (const char* name : kShippedFiles[id]) {
      if (!name) break;
      char path[kPathCap];
      if (text_format(path, sizeof path, "%s/%s", dirs[d], name) >= sizeof path - 1) continue;
      if (!is_file(path)) continue;
      FT_Face face = open_face(faces->library, path, 0);
      if (!face) {
        log_line("text: cannot read font %s", path);
        continue;
      }
      f->regular = face;
      text_copy(f->path, path);
      text_copy(f->family, kFamilies[id][0]);
      f->index = 0;
      add_subsets(faces, dirs[d], name, f);
      return true;
    }
  }
  return false;
}

bool find_installed(FcConfig* config, FontFaces* faces, int id, FontFace* f) {
  for (const char* family : kFamilies[id]) {
    if (!family) break;
    FcFound found{};
    if (!fc_find(config, family, false, &found)) continue;
    FT_Face face = open_face(faces->library, found.path, found.index);
    if (!face) {
      log_line("text: cannot read font %s", found.path);
      continue;
    }
    f->regular = face;
    text_copy(f->path, found.path);
    text_copy(f->family, found.family);
    f->index = found.index;
    // A bold style of the same family, when one is installed; otherwise glyphs are emboldened.
    FcFound bold{};
    if (fc_find(config, found.family, true, &bold) && bold.weight >= FC_WEIGHT_DEMIBOLD &&
        (strcmp(bold.path, found.path) != 0 || bold.index != found.index)) {
      text_copy(f->bold_path, bold.path);
      f->bold_index = bold.index;
    }
    return true;
  }
  return false;
}

}  // namespace

int font_faces_open(FontFaces* faces, const char* font_dir, uint32_t face_mask) {
  *faces = FontFaces{};
  if (FT_Init_FreeType(&faces->library) != 0) {
    faces->library = nullptr;
    log_line("text: freetype does not start");
    return -1;
  }
  // A configuration of our own, dropped once the files are known: nothing else in the process
  // shares it, and fontconfig is not needed again after this.
  // Without fontconfig only the shipped faces can be found; that is still worth running.
  FcConfig* config = FcInitLoadConfigAndFonts();
  if (!config) log_line("text: fontconfig does not start; only the shipped fonts are used");

  for (int id = 0; id < kFaceCount; id++) {
    FontFace* f = &faces->face[id];
    if (face_mask != 0 && !(face_mask & (1u << id))) continue;
    bool found = false;
    if (kShippedFiles[id][0]) found = find_shipped(faces, id, font_dir, f);
    if (!found && config) found = find_installed(config, faces, id, f);
    f->available = found;
    if (found) {
      log_line("text: %s is %s (%s%s, %d more subsets)", kFamilies[id][0], f->family, path_name(f->path),
               f->bold_path[0] ? ", bold style" : "", f->subset_count);
    } else {
      log_line("text: no font for %s", kFamilies[id][0]);
    }
  }
  if (config) FcConfigDestroy(config);
  return 0;
}

void font_faces_close(FontFaces* faces) {
  if (!faces->library) return;
  for (FontFace& f : faces->face) {
    if (f.bold) FT_Done_Face(f.bold);
    for (int i = 0; i < f.subset_count; i++) FT_Done_Face(f.subsets[i]);
    if (f.regular) FT_Done_Face(f.regular);
  }
  FT_Done_FreeType(faces->library);
  *faces = FontFaces{};
}

bool font_face_has_glyph(const FontFaces* faces, int face, uint32_t code_point) {
  if (face < 0 || face >= kFaceCount) return false;
  const FontFace& f = faces->face[face];
  if (!f.available || !f.regular) return false;
  if (FT_Get_Char_Index(f.regular, code_point) != 0) return true;
  for (int i = 0; i < f.subset_count; i++)
    if (FT_Get_Char_Index(f.subsets[i], code_point) != 0) return true;
  return false;
}

int font_face_parts(const FontFaces* faces, int face, FT_Face* out, int cap) {
  if (face < 0 || face >= kFaceCount || cap <= 0) return 0;
  const FontFace& f = faces->face[face];
  if (!f.available || !f.regular) return 0;
  int n = 0;
  out[n++] = f.regular;
  for (int i = 0; i < f.subset_count && n < cap; i++) out[n++] = f.subsets[i];
  return n;
}

FT_Face font_face_for_weight(FontFaces* faces, int face, int weight, bool* embolden) {
  *embolden = false;
  if (face < 0 || face >= kFaceCount) return nullptr;
  FontFace& f = faces->face[face];
  if (!f.available) return nullptr;
  if (weight < kBoldWeight) return f.regular;
  if (!f.bold_tried) {
    f.bold_tried = true;
    if (f.bold_path[0]) {
      f.bold = open_face(faces->library, f.bold_path, f.bold_index);
      if (!f.bold) log_line("text: cannot read font %s", f.bold_path);
    }
  }
  if (f.bold) return f.bold;
  *embolden = true;
  return f.regular;
}
