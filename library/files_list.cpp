// The item list. Items are sorted once when they change, so a new filter is one pass over them;
// every item carries its lower-cased filter fields.
#include "library/files_list.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "kit/audio_file.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

// name without extension, the extension (no dot) and the parent folder's name, all lower case.
void fill_match(FilesItem* it, const std::string& folder_name) {
  const size_t dot = it->name.rfind('.');
  if (dot != std::string::npos && dot > 0) {
    it->match_name = lower(it->name.substr(0, dot));
    it->match_ext = lower(it->name.substr(dot + 1));
  } else {
    it->match_name = lower(it->name);
    it->match_ext.clear();
  }
  it->match_folder = lower(folder_name);
}

bool name_less(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  return a.size() < b.size();
}

bool in_source(const FilesItem& it, int source) {
  switch (source) {
    case kSourceAll: return true;
    case kSourceCloud: return it.cloud;
    case kSourceLocal: return !it.cloud;
    default: return false;
  }
}

void reindex(FilesList* l) {
  l->by_path.clear();
  l->by_path.reserve(l->items.size());
  for (size_t i = 0; i < l->items.size(); ++i) l->by_path.emplace(l->items[i].path, int(i));
}

bool add_local(FilesList* l, const char* path, const struct stat& st) {
  if (int(l->items.size()) >= kFilesMaxItems || l->by_path.count(path)) return false;
  FilesItem it{};
  it.path = path;
  it.name = path_name(path);
  std::string folder(path, size_t(path_name(path) - path));
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  fill_match(&it, path_name(folder.c_str()));
  it.size_bytes = int64_t(st.st_size);
  it.mtime_s = int64_t(st.st_mtim.tv_sec);
  it.cloud_index = -1;
  l->by_path.emplace(it.path, int(l->items.size()));
  l->items.push_back(std::move(it));
  return true;
}

}  // namespace

bool files_list_add_file(FilesList* l, const char* path) {
  struct stat st;
  if (!path || !is_audio_file(path) || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return add_local(l, path, st);
}

int files_list_add_folder(FilesList* l, const char* folder) {
  struct Walk {
    FilesList* l;
    const char* folder;
    int added;
  } walk{l, folder, 0};
  const int n = list_dir(
      folder,
      [](const DirEntry& e, void* ctx) {
        auto* w = static_cast<Walk*>(ctx);
        if (e.is_dir || e.name[0] == '.' || !is_audio_file(e.name)) return true;
        std::string path = w->folder;
        if (path.empty() || path.back() != '/') path.push_back('/');
        path += e.name;
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && add_local(w->l, path.c_str(), st)) ++w->added;
        return int(w->l->items.size()) < kFilesMaxItems;
      },
      &walk);
  if (n < 0) return -1;
  return walk.added;
}

bool files_list_remove(FilesList* l, const char* path) {
  auto found = l->by_path.find(path);
  if (found == l->by_path.end()) return false;
  l->items.erase(l->items.begin() + found->second);
  reindex(l);
  if (l->selected == path) l->selected.clear();
  files_list_rebuild(l);
  return true;
}

void files_list_set_cloud(FilesList* l, const std::vector<CloudItem>& cloud) {
  l->items.erase(std::remove_if(l->items.begin(), l->items.end(), [](const FilesItem& it) { return it.cloud; }),
                 l->items.end());
  for (size_t i = 0; i < cloud.size() && int(l->items.size()) < kFilesMaxItems; ++i) {
    FilesItem it{};
    it.path = cloud[i].key;
    it.name = cloud[i].name;
    fill_match(&it, "");
    it.size_bytes = cloud[i].size_bytes;
    it.mtime_s = cloud[i].mtime_s;
    it.cloud = true;
    it.cloud_index = int(i);
    l->items.push_back(std::move(it));
  }
  files_list_sort(l);
  files_list_rebuild(l);
}

void files_list_sort(FilesList* l) {
  std::stable_sort(l->items.begin(), l->items.end(), [](const FilesItem& a, const FilesItem& b) {
    if (a.mtime_s != b.mtime_s) return a.mtime_s > b.mtime_s;
    return name_less(a.name, b.name);
  });
  reindex(l);
  ++l->serial;
}

bool files_item_matches(const FilesItem& it, const char* filter_lower) {
  if (!filter_lower[0]) return true;
  return it.match_name.find(filter_lower) != std::string::npos ||
         it.match_folder.find(filter_lower) != std::string::npos ||
         it.match_ext.find(filter_lower) != std::string::npos;
}

void files_list_rebuild(FilesList* l) {
  char filter[kFilterChars + 1];
  text_copy(filter, l->filter);
  text_lower(filter);
  l->visible.clear();
  bool selection_kept = false;
  for (size_t i = 0; i < l->items.size(); ++i) {
    const FilesItem& it = l->items[i];
    if (!in_source(it, l->source) || !files_item_matches(it, filter)) continue;
    l->visible.push_back(int(i));
    if (!l->selected.empty() && it.path == l->selected) selection_kept = true;
  }
  if (!selection_kept) l->selected.clear();
  ++l->serial;
}

bool files_list_set_filter(FilesList* l, const char* filter) {
  char cut[kFilterChars + 1];
  text_copy(cut, filter ? filter : "");
  if (strcmp(cut, l->filter) == 0) return false;
  text_copy(l->filter, cut);
  files_list_rebuild(l);
  return true;
}

bool files_list_set_source(FilesList* l, int source) {
  if (source < 0 || source >= kFilesSources || source == l->source) return false;
  l->source = source;
  files_list_rebuild(l);
  return true;
}

int files_list_count(const FilesList* l, int source) {
  int n = 0;
  for (const FilesItem& it : l->items) n += in_source(it, source) ? 1 : 0;
  return n;
}

const FilesItem* files_list_item(const FilesList* l, const char* path) {
  auto found = path ? l->by_path.find(path) : l->by_path.end();
  return found == l->by_path.end() ? nullptr : &l->items[size_t(found->second)];
}

FilesItem* files_list_item(FilesList* l, const char* path) {
  auto found = path ? l->by_path.find(path) : l->by_path.end();
  return found == l->by_path.end() ? nullptr : &l->items[size_t(found->second)];
}

int files_list_selected_row(const FilesList* l) {
  if (l->selected.empty()) return -1;
  for (size_t r = 0; r < l->visible.size(); ++r)
    if (l->items[size_t(l->visible[r])].path == l->selected) return int(r);
  return -1;
}

void format_size(int64_t bytes, char* out, size_t cap) {
  const long long b = static_cast<long long>(bytes < 0 ? 0 : bytes);
  if (b < 1024) text_format(out, cap, "%lld B", b);
  else if (b < 1024LL * 1024) text_format(out, cap, "%lld KB", b / 1024);
  else if (b < 1024LL * 1024 * 1024) text_format(out, cap, "%.1f MB", double(b) / (1024.0 * 1024.0));
  else text_format(out, cap, "%.2f GB", double(b) / (1024.0 * 1024.0 * 1024.0));
}

void format_duration(double seconds, char* out, size_t cap) {
  const int s = seconds > 0 && seconds < 1e9 ? int(seconds + 0.5) : 0;
  text_format(out, cap, "%d:%02d", s / 60, s % 60);
}

void format_age(int64_t age_s, char* out, size_t cap) {
  const long long a = static_cast<long long>(age_s < 0 ? 0 : age_s);
  if (a < 3600) text_format(out, cap, "%d M", int(a / 60));
  else if (a < 86400) text_format(out, cap, "%d H", int(a / 3600));
  else text_format(out, cap, "%d D", int(a / 86400));
}

const char* source_label(int source) {
  static const char* const kLabels[kFilesSources] = {"ALL", "CLOUD", "LOCAL", "BROWSE"};
  return source >= 0 && source < kFilesSources ? kLabels[source] : "";
}

bool files_empty_text(const FilesList* l, int cloud_state, const char** title, const char** line) {
  if (!l->visible.empty() || l->source == kSourceBrowse) return false;
  if (files_list_count(l, l->source) > 0) {
    *title = "NOTHING MATCHES";
    *line = "Clear the filter, or pick another source.";
    return true;
  }
  *title = "NO ITEMS YET";
  if (cloud_state == 0) *line = "Drop audio files here, or paste a CloudKit API token to see the cloud.";
  else if (cloud_state == 1) *line = "Drop audio files here, or sign in to see the cloud.";
  else *line = "Drop audio files here.";
  return true;
}
