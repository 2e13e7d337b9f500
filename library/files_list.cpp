// The item list. Items are sorted once when they change, so a new filter is one pass over them;
// every item carries its lower-cased filter fields.
#include "library/files_list.h"

#include <algorithm>
#include <cstring>

#include "kit/audio_file.h"
#include "platform/file.h"
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
  it->sort_name = lower(it->name);
}

bool in_source(const FilesItem& it, int source) {
  switch (source) {
    case kSourceAll: return true;
    case kSourceCloud: return it.cloud;
    case kSourceLocal: return !it.cloud;
    default: return false;
  }
}

// After items were taken out: the path index and the order (kept sorted) made anew.
void reindex(FilesList* l) {
  l->by_path.clear();
  l->by_path.reserve(l->items.size());
  for (size_t i = 0; i < l->items.size(); ++i) l->by_path.emplace(l->items[i].path, int(i));
  l->order.resize(l->items.size());
  for (size_t i = 0; i < l->items.size(); ++i) l->order[i] = int(i);
}

FilesItem local_item(const char* path, int64_t size_bytes, int64_t mtime_s) {
  FilesItem it{};
  it.path = path;
  it.name = path_name(path);
  std::string folder(path, size_t(path_name(path) - path));
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  fill_match(&it, path_name(folder.c_str()));
  it.size_bytes = size_bytes;
  it.mtime_s = mtime_s;
  it.cloud_index = -1;
  return it;
}

bool add_item(FilesList* l, FilesItem&& it) {
  if (int(l->items.size()) >= kFilesMaxItems || l->by_path.count(it.path)) return false;
  l->by_path.emplace(it.path, int(l->items.size()));
  l->order.push_back(int(l->items.size()));
  l->items.push_back(std::move(it));
  return true;
}

}  // namespace

bool files_list_add_file(FilesList* l, const char* path) {
  FileIdentity id{};
  if (!path || !is_audio_file(path) || !is_file(path) || file_identity(path, &id) != 0) return false;
  return add_item(l, local_item(path, id.size_bytes, id.mtime_ns / 1000000000));
}

bool files_list_read_folder(const char* folder, int max, const std::atomic<int32_t>* cancel,
                            std::vector<FilesItem>* out) {
  struct Walk {
    const char* folder;
    int max;
    const std::atomic<int32_t>* cancel;
    std::vector<FilesItem>* out;
    std::string path;
  } walk{folder, max, cancel, out, folder};
  if (walk.path.empty() || walk.path.back() != '/') walk.path.push_back('/');
  const int n = list_dir(
      folder,
      [](const DirEntry& e, void* ctx) {
        auto* w = static_cast<Walk*>(ctx);
        if (w->cancel && w->cancel->load(std::memory_order_relaxed)) return false;
        if (e.is_dir || e.name[0] == '.' || !is_audio_file(e.name)) return true;
        int64_t size = 0, mtime = 0;
        bool regular = false;
        if (!dir_entry_stat(e, &size, &mtime, &regular) || !regular) return true;
        const size_t base = w->path.size();
        w->path += e.name;
        w->out->push_back(local_item(w->path.c_str(), size, mtime));
        w->path.resize(base);
        return int(w->out->size()) < w->max;
      },
      &walk);
  return n >= 0;
}

int files_list_merge(FilesList* l, std::vector<FilesItem>* items) {
  int added = 0;
  l->items.reserve(l->items.size() + items->size());
  l->by_path.reserve(l->items.size() + items->size());
  for (FilesItem& it : *items) added += add_item(l, std::move(it)) ? 1 : 0;
  items->clear();
  if (added > 0) {
    files_list_sort(l);
    files_list_rebuild(l);
  }
  return added;
}

int files_list_add_folder(FilesList* l, const char* folder) {
  std::vector<FilesItem> read;
  if (!files_list_read_folder(folder, kFilesMaxItems, nullptr, &read)) return -1;
  return files_list_merge(l, &read);
}

bool files_list_remove(FilesList* l, const char* path) {
  auto found = l->by_path.find(path);
  if (found == l->by_path.end()) return false;
  const std::string gone = path;  // path may point into the item itself
  l->items.erase(l->items.begin() + found->second);
  reindex(l);
  files_list_sort(l);
  if (l->selected == gone) l->selected.clear();
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
    it.url = cloud[i].url;
    l->items.push_back(std::move(it));
  }
  reindex(l);
  files_list_sort(l);
  files_list_rebuild(l);
}

void files_list_sort(FilesList* l) {
  // The items stay where they are (they are large); only their order is sorted.
  const std::vector<FilesItem>& items = l->items;
  std::sort(l->order.begin(), l->order.end(), [&items](int ia, int ib) {
    const FilesItem& a = items[size_t(ia)];
    const FilesItem& b = items[size_t(ib)];
    if (a.mtime_s != b.mtime_s) return a.mtime_s > b.mtime_s;
    const int by_name = a.sort_name.compare(b.sort_name);
    if (by_name != 0) return by_name < 0;
    return a.path < b.path;
  });
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
  for (int i : l->order) {
    const FilesItem& it = l->items[size_t(i)];
    if (!in_source(it, l->source) || !files_item_matches(it, filter)) continue;
    l->visible.push_back(i);
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
