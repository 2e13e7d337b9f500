// The folder tree: rows listed depth-first from the root through the expanded folders.
#include "library/files_tree.h"

#include <algorithm>
#include <cstring>

#include "platform/paths.h"
#include "platform/text.h"

namespace {

std::string join(const std::string& folder, const char* name) {
  std::string p = folder;
  if (p.empty() || p.back() != '/') p.push_back('/');
  return p + name;
}

bool nocase_less(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  return a.size() < b.size();
}

void list_into(FilesTree* t, const std::string& folder, int depth) {
  struct Entry {
    std::string name;
    bool is_dir;
  };
  std::vector<Entry> entries;
  list_dir(
      folder.c_str(),
      [](const DirEntry& e, void* ctx) {
        if (e.name[0] == '.' || (!e.is_dir && !e.is_file)) return true;
        static_cast<std::vector<Entry>*>(ctx)->push_back(Entry{e.name, e.is_dir});
        return true;
      },
      &entries);
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.is_dir != b.is_dir) return a.is_dir;
    return nocase_less(a.name, b.name);
  });
  for (const Entry& e : entries) {
    if (int(t->rows.size()) >= kTreeMaxRows) {
      t->cut = true;
      return;
    }
    TreeRow r{join(folder, e.name.c_str()), e.name, depth, e.is_dir, false};
    r.expanded = r.is_dir && files_tree_is_expanded(t, r.path.c_str());
    t->rows.push_back(r);
    if (r.expanded && depth < 64) list_into(t, r.path, depth + 1);
  }
}

std::string parent_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

void files_tree_default_root(std::string* root) {
  char path[kPathCap];
  if (music_dir(path, sizeof path) && is_dir(path)) *root = path;
  else if (home_dir(path, sizeof path) && is_dir(path)) *root = path;
  else *root = "/";
}

void files_tree_load_state(FilesTree* t, const char* state) {
  t->expanded.clear();
  t->selected.clear();
  files_tree_default_root(&t->root);
  std::vector<std::string> parts;
  if (state && state[0]) {
    const char* p = state;
    for (;;) {
      const char* bar = strchr(p, '|');
      parts.emplace_back(p, bar ? size_t(bar - p) : strlen(p));
      if (!bar) break;
      p = bar + 1;
    }
  }
  if (!parts.empty() && !parts[0].empty() && parts[0][0] == '/' && is_dir(parts[0].c_str())) {
    t->root = parts[0];
    if (parts.size() > 1 && path_exists(parts[1].c_str()) && parts[1].rfind(t->root, 0) == 0 && parts[1] != t->root)
      t->selected = parts[1];
    for (size_t i = 2; i < parts.size(); ++i)
      if (!parts[i].empty() && is_dir(parts[i].c_str()) && !files_tree_is_expanded(t, parts[i].c_str()))
        t->expanded.push_back(parts[i]);
  }
  files_tree_refresh(t);
}

void files_tree_state(const FilesTree* t, char* out, size_t cap) {
  if (cap == 0) return;
  out[0] = 0;
  if (t->root.find('|') != std::string::npos) return;
  const std::string& sel = t->selected.find('|') == std::string::npos ? t->selected : std::string();
  if (t->root.size() + 1 + sel.size() + 1 > cap) return;  // nothing rather than a cut path
  size_t n = text_format(out, cap, "%s|%s", t->root.c_str(), sel.c_str());
  for (const std::string& e : t->expanded) {
    if (e.find('|') != std::string::npos || n + 1 + e.size() + 1 > cap) continue;
    n += text_format(out + n, cap - n, "|%s", e.c_str());
  }
}

void files_tree_refresh(FilesTree* t) {
  t->rows.clear();
  t->cut = false;
  list_into(t, t->root, 0);
  t->scroll = std::clamp(t->scroll, 0, std::max(0, int(t->rows.size()) - 1));
}

void files_tree_set_root(FilesTree* t, const char* root) {
  if (!root || !root[0] || !is_dir(root)) return;
  t->root = root;
  if (t->root.size() > 1 && t->root.back() == '/') t->root.pop_back();
  t->selected.clear();
  t->scroll = 0;
  files_tree_refresh(t);
}

bool files_tree_is_expanded(const FilesTree* t, const char* path) {
  return std::find(t->expanded.begin(), t->expanded.end(), path) != t->expanded.end();
}

bool files_tree_toggle(FilesTree* t, int row) {
  if (row < 0 || row >= int(t->rows.size()) || !t->rows[size_t(row)].is_dir) return false;
  const std::string path = t->rows[size_t(row)].path;
  auto it = std::find(t->expanded.begin(), t->expanded.end(), path);
  if (it != t->expanded.end()) {
    // Folders below it close with it.
    const std::string below = path + "/";
    t->expanded.erase(std::remove_if(t->expanded.begin(), t->expanded.end(),
                                     [&](const std::string& e) { return e == path || e.rfind(below, 0) == 0; }),
                      t->expanded.end());
  } else {
    t->expanded.push_back(path);
  }
  files_tree_refresh(t);
  return true;
}

int files_tree_selected_row(const FilesTree* t) {
  if (t->selected.empty()) return -1;
  for (size_t i = 0; i < t->rows.size(); ++i)
    if (t->rows[i].path == t->selected) return int(i);
  return -1;
}

void files_tree_select(FilesTree* t, int row) {
  if (row < 0 || row >= int(t->rows.size())) t->selected.clear();
  else t->selected = t->rows[size_t(row)].path;
}

void files_tree_step(FilesTree* t, int delta) {
  if (t->rows.empty()) return;
  const int at = files_tree_selected_row(t);
  const int to = at < 0 ? (delta > 0 ? 0 : int(t->rows.size()) - 1) : std::clamp(at + delta, 0, int(t->rows.size()) - 1);
  files_tree_select(t, to);
}

void files_tree_left(FilesTree* t) {
  const int at = files_tree_selected_row(t);
  if (at < 0) return;
  const TreeRow& r = t->rows[size_t(at)];
  if (r.is_dir && r.expanded) {
    files_tree_toggle(t, at);
    return;
  }
  const std::string up = parent_of(r.path);
  t->selected = up == t->root ? std::string() : up;
}

void files_tree_right(FilesTree* t) {
  const int at = files_tree_selected_row(t);
  if (at < 0) {
    files_tree_step(t, 1);
    return;
  }
  const TreeRow& r = t->rows[size_t(at)];
  if (!r.is_dir) return;
  if (!r.expanded) files_tree_toggle(t, at);
  else if (at + 1 < int(t->rows.size()) && t->rows[size_t(at + 1)].depth > r.depth) files_tree_select(t, at + 1);
}

const std::string& files_tree_target(const FilesTree* t) { return t->selected.empty() ? t->root : t->selected; }
