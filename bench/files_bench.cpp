// The files tab and the cloud client: a dropped folder of 10,000 audio files, its reading (names,
// sizes, times, filter fields) on the tab's worker and the main thread's part, taking the read
// items into the list (merge, sort, visible list; target <= 5 ms); the filter typed over those
// 10,000 items (target <= 5 ms a keystroke); and one 200-record changes/zone page parsed into
// entries (target <= 5 ms). The folder is made at run time in the temporary folder and removed at
// the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "kit/cloud.h"
#include "library/files_list.h"
#include "platform/paths.h"

namespace {

constexpr int kFolderFiles = 10000;
constexpr int kPageRecords = 200;

std::string bench_dir() {
  char temp[kPathCap];
  if (!temp_dir(temp, sizeof temp)) return "/tmp/tolm-files-bench";
  return std::string(temp) + "/tolm-files-bench";
}

// 10,000 empty audio files with names like a sample library's.
const std::string& folder() {
  static const std::string dir = [] {
    const std::string d = bench_dir() + "/Drums Vol 3";
    std::filesystem::create_directories(d);
    static const char* const kWords[] = {"kick", "snare", "hat", "tom", "clap", "ride", "crash", "perc"};
    static const char* const kExt[] = {"wav", "flac", "mp3", "WAV"};
    for (int i = 0; i < kFolderFiles; ++i) {
      char name[96];
      snprintf(name, sizeof name, "%s %s %04d take %d.%s", kWords[i % 8], i % 3 ? "Dry" : "Room", i, i % 7, kExt[i % 4]);
      std::ofstream(d + "/" + name).put('x');
    }
    return d;
  }();
  return dir;
}

// The worker's part: the folder read and every file examined.
void BM_ReadFolderOnWorker(benchmark::State& state) {
  const std::string& d = folder();
  size_t items = 0;
  for (auto _ : state) {
    std::vector<FilesItem> read;
    files_list_read_folder(d.c_str(), kFilesMaxItems, nullptr, &read);
    items = read.size();
    benchmark::DoNotOptimize(read.data());
  }
  state.counters["items"] = double(items);
}
BENCHMARK(BM_ReadFolderOnWorker)->Unit(benchmark::kMillisecond);

// The main thread's part: the read items into a list that already holds a few, sorted, shown.
void BM_MergeFolderOnMainThread(benchmark::State& state) {
  std::vector<FilesItem> read;
  files_list_read_folder(folder().c_str(), kFilesMaxItems, nullptr, &read);
  size_t items = 0;
  std::unique_ptr<FilesList> l;
  std::vector<FilesItem> copy;
  for (auto _ : state) {
    state.PauseTiming();  // the last round's list is freed outside the timing
    l = std::make_unique<FilesList>();
    copy = read;
    state.ResumeTiming();
    files_list_merge(l.get(), &copy);
    items = l->visible.size();
    benchmark::DoNotOptimize(l->visible.data());
  }
  state.counters["items"] = double(items);
}
BENCHMARK(BM_MergeFolderOnMainThread)->Unit(benchmark::kMillisecond);

void BM_FilterFolder(benchmark::State& state) {
  FilesList l;
  files_list_add_folder(&l, folder().c_str());
  files_list_sort(&l);
  files_list_rebuild(&l);
  // A filter typed letter by letter and taken back, as a user does: each step rebuilds the list.
  static const char* const kSteps[] = {"s", "sn", "sna", "snar", "snare", "snare 0", "snare", "", "room", "flac", ""};
  size_t step = 0, shown = 0;
  for (auto _ : state) {
    files_list_set_filter(&l, kSteps[step++ % (sizeof kSteps / sizeof kSteps[0])]);
    shown += l.visible.size();
    benchmark::DoNotOptimize(l.visible.data());
  }
  state.counters["items"] = double(l.items.size());
}
BENCHMARK(BM_FilterFolder)->Unit(benchmark::kMillisecond);

// A page as the service sends it: 200 records with two strings and an asset each.
std::string cloud_page() {
  std::string s = "{\"zones\":[{\"zoneID\":{\"zoneName\":\"Loops\",\"ownerRecordName\":\"_abc\"},\"records\":[";
  for (int i = 0; i < kPageRecords; ++i) {
    char r[1024];
    snprintf(r, sizeof r,
             "%s{\"recordName\":\"3F2A%04d-1B7C-4E55-9A0D-5C3B8E1F%04d\",\"recordType\":\"Loop\",\"fields\":{"
             "\"notes\":{\"value\":\"recorded on the balcony, take %d\",\"type\":\"STRING\"},"
             "\"title\":{\"value\":\"Balcony groove %d\",\"type\":\"STRING\"},"
             "\"audio\":{\"value\":{\"fileChecksum\":\"AQk3kWn8wPZVc9Yt\",\"size\":%d,"
             "\"downloadURL\":\"https://cvws.icloud-content.com/B/AQk3kWn8wPZVc9Yt/${f}?o=Ai%d\"},\"type\":\"ASSETID\"},"
             "\"bpm\":{\"value\":120,\"type\":\"INT64\"}},"
             "\"pluginFields\":{},\"recordChangeTag\":\"l3x%d\",\"created\":{\"timestamp\":1700000000000,"
             "\"userRecordName\":\"_abc\",\"deviceID\":\"2\"},\"modified\":{\"timestamp\":%lld,"
             "\"userRecordName\":\"_abc\",\"deviceID\":\"2\"},\"deleted\":false}",
             i ? "," : "", i, i, i, i, 100000 + i * 37, i, i, 1700000000000LL + i);
    s += r;
  }
  s += "],\"syncToken\":\"AQAAAAAAAFhA//////////8=\",\"moreComing\":true}]}";
  return s;
}

void BM_ParseCloudPage(benchmark::State& state) {
  const std::string page = cloud_page();
  std::vector<CloudEntry> entries;
  entries.reserve(kCloudMaxEntries);
  char token[kSyncTokenBytes], code[64];
  bool more = false;
  for (auto _ : state) {
    entries.clear();
    cloud_parse_changes(page.data(), page.size(), "Loops", true, &entries, &more, token, sizeof token, code, sizeof code);
    benchmark::DoNotOptimize(entries.data());
  }
  state.counters["records"] = double(entries.size());
  state.counters["page_kb"] = double(page.size()) / 1024.0;
}
BENCHMARK(BM_ParseCloudPage)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(bench_dir());
  return 0;
}
