// The files tab's folder tree under a chosen root: the rows shown (folders first, then files, by
// name; hidden entries left out), which folders are expanded, the selection, and the state string
// kept in the setting files_state ("root|selected|expanded|expanded…", at most 1399 characters).
// Main thread only.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "config/settings.h"  // kFilesStateBytes: the setting's field, NUL included

constexpr int kTreeMaxRows = 20000;         // rows listed at once (a huge folder is cut)

struct TreeRow {
  std::string path;
  std::string name;
  int depth;        // 0 for the root's children
  bool is_dir;
  bool expanded;
};

struct FilesTree {
  std::string root;
  std::string selected;               // empty: the root itself
  std::vector<std::string> expanded;  // folders shown open
  std::vector<TreeRow> rows;          // rebuilt by files_tree_refresh
  int scroll = 0;                     // first row shown
  bool cut = false;                   // more rows than kTreeMaxRows
};

// Starts at the music folder (home when it is missing, "/" without a home).
void files_tree_default_root(std::string* root);
// Reads a state string; an empty or unusable one leaves the default root. Folders that no longer
// exist are dropped.
void files_tree_load_state(FilesTree* t, const char* state);
// The state string for the setting; paths that would break it (a "|") and those past the field's
// room are left out.
void files_tree_state(const FilesTree* t, char* out, size_t cap);

// Relists the rows from the disk.
void files_tree_refresh(FilesTree* t);
void files_tree_set_root(FilesTree* t, const char* root);
// Opens or closes a folder row; returns false for a file row or a row out of range.
bool files_tree_toggle(FilesTree* t, int row);
bool files_tree_is_expanded(const FilesTree* t, const char* path);
// The selection as a row, -1 when it is the root or not shown.
int files_tree_selected_row(const FilesTree* t);
void files_tree_select(FilesTree* t, int row);
// Up and Down: by one row, clamped. Left: closes an open folder, else goes to the parent row.
// Right: opens a closed folder, else goes to its first child.
void files_tree_step(FilesTree* t, int delta);
void files_tree_left(FilesTree* t);
void files_tree_right(FilesTree* t);
// The selected path, the root when nothing is selected.
const std::string& files_tree_target(const FilesTree* t);
