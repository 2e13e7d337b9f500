// The files tab on the screen: where its parts lie in the drawer's body (the source buttons, the
// filter and the tempo switch, the item list or the folder view with its favourites strip and
// preview, the loop panel over the player pane with its buttons and block strip, the context
// menu), the hit tests, and the view state its drawing and its controls share. Geometry only:
// nothing here changes the tab or the player. Main thread only.
#pragma once
#include "app/shell/layout.h"
#include "library/files_tab.h"

constexpr float kFilesBarH = 36.0f;       // the source buttons' row
constexpr float kFilesSourceW = 108.0f;
constexpr float kFilesFilterW = 220.0f;
constexpr float kFilesTempoW = 84.0f;
constexpr float kTreeRowH = 24.0f;
constexpr float kTreeIndent = 16.0f;
constexpr float kFavouritesW = 220.0f;    // the favourites strip left of the tree
constexpr float kFavouriteRowH = 26.0f;
constexpr float kPreviewH = 64.0f;        // the selected file's waveform under the tree
constexpr float kLoopPanelH = 84.0f;      // over the player pane, while the tempo switch is on
constexpr float kLoopBlockW = 96.0f;      // a block in the strip
constexpr float kArmedSlide = 128.0f;     // an armed row moves aside this far to show "DELETE..."

// The files tab's view state (in the application record).
struct FilesUi {
  int hover_row;        // item or tree row under the pointer, -1 none
  int hover_favourite;  // -1 none
  bool block_down;      // a block of the loop panel is pressed: moves go to the panel
  bool had_grid;        // the loop panel had a bar grid last frame
  // The context menu of a tree row or a favourite while it is up.
  bool menu_open;
  FilesMenu menu;
  float menu_x, menu_y;
  int menu_sel;
};

struct FilesLayout {
  Rect body;
  Rect bar;                     // the source buttons, filter and tempo switch
  Rect sources[kFilesSources];  // ALL, CLOUD, LOCAL, BROWSE
  Rect filter, tempo;
  Rect list;                    // the item list (not BROWSE)
  Rect favourites, tree, preview;  // the folder view (BROWSE)
  Rect cloud;                   // the cloud's status line and sign-in button (CLOUD)
  Rect cloud_button;
  Rect loop;                    // the loop panel, empty while the tempo switch is off
  Rect loop_text, loop_button, bar_buttons[4], shift_earlier, shift_later, to_input, strip;
  int tree_rows;                // whole tree rows that fit
};

void files_layout(const Rect& body, const FilesTab& t, bool cloud, FilesLayout* out);

// Hit tests: -1 when nothing is there.
int files_list_row_at(const FilesLayout& l, const FilesTab& t, float x, float y);
int files_tree_row_at(const FilesLayout& l, const FilesTab& t, float x, float y);
int files_favourite_at(const FilesLayout& l, const FilesTab& t, float x, float y);
int files_block_at(const FilesLayout& l, const FilesTab& t, float x, float y);
// An item row's rectangle (before an armed row slides aside), and a block's in the strip.
Rect files_list_row_rect(const FilesLayout& l, const FilesTab& t, int row);
Rect files_block_rect(const FilesLayout& l, const FilesTab& t, int block);

// The context menu's box and the item under (x, y).
Rect files_menu_rect(const FilesUi& ui, int content_w, int content_h);
int files_menu_item_at(const FilesUi& ui, int content_w, int content_h, float x, float y);
