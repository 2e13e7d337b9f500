// Folders on Linux: /proc/self/exe, the XDG base and user-dirs conventions, POSIX calls.
#include "platform/paths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/text.h"

namespace {

bool from_env(const char* name, char* out, size_t cap) {
  const char* v = getenv(name);
  if (!v || !*v || strlen(v) >= cap) return false;
  text_copy(out, cap, v);
  return true;
}

bool fail(char* out, size_t cap) {
  if (out && cap) out[0] = 0;
  return false;
}

// Reads KEY="$HOME/…" (XDG_MUSIC_DIR, XDG_DESKTOP_DIR, …) from user-dirs.dirs.
bool from_user_dirs(const char* key, char* out, size_t cap) {
  char config[kPathCap], home[kPathCap], file[kPathCap + 32];
  if (!config_dir(config, sizeof config) || !home_dir(home, sizeof home)) return false;
  text_format(file, sizeof file, "%s/user-dirs.dirs", config);
  FILE* f = fopen(file, "rb");
  if (!f) return false;
  char line[1024];
  bool found = false;
  const size_t key_len = strlen(key);
  while (!found && fgets(line, sizeof line, f)) {
    const char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    if (strncmp(p, key, key_len) != 0 || strncmp(p + key_len, "=\"", 2) != 0) continue;
    p += key_len + 2;
    const char* end = strchr(p, '"');
    if (!end) continue;
    char value[kPathCap];
    size_t n = size_t(end - p);
    if (strncmp(p, "$HOME", 5) == 0) {
      int w = snprintf(value, sizeof value, "%s%.*s", home, int(n - 5), p + 5);
      if (w < 0 || size_t(w) >= sizeof value) continue;
    } else {
      if (n == 0 || n >= sizeof value || p[0] != '/') continue;
      memcpy(value, p, n);
      value[n] = 0;
    }
    // "$HOME/" alone means the feature is switched off.
    if (strcmp(value, home) == 0 || (strlen(value) == strlen(home) + 1 && value[strlen(home)] == '/'))
      continue;
    if (strlen(value) < cap) {
      text_copy(out, cap, value);
      found = true;
    }
  }
  fclose(f);
  return found;
}

}  // namespace

bool program_path(char* out, size_t cap) {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0 || size_t(n) >= cap) return fail(out, cap);
  buf[n] = 0;
  text_copy(out, cap, buf);
  return true;
}

bool program_dir(char* out, size_t cap) {
  if (!program_path(out, cap)) return false;
  char* slash = strrchr(out, '/');
  if (!slash) return fail(out, cap);
  if (slash == out) slash[1] = 0;
  else *slash = 0;
  return true;
}

bool program_data_dir(char* out, size_t cap) {
  if (!program_dir(out, cap)) return false;
  // Each leading "../" of the step climbs one folder, so the path reads /usr/share/…, not
  // /usr/bin/../share/….
  const char* step = TOLM_DATA_FROM_PROGRAM;
  while (strncmp(step, "../", 3) == 0) {
    char* slash = strrchr(out, '/');
    if (!slash || slash == out) break;
    *slash = 0;
    step += 3;
  }
  const size_t n = strlen(out);
  if (n + 1 + strlen(step) >= cap) return fail(out, cap);
  text_format(out + n, cap - n, "/%s", step);
  return true;
}

bool absolute_path(const char* path, char* out, size_t cap) {
  if (!path || !path[0]) return fail(out, cap);
  if (path[0] == '/') {
    if (strlen(path) >= cap) return fail(out, cap);
    text_copy(out, cap, path);
    return true;
  }
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) return fail(out, cap);
  while (strncmp(path, "./", 2) == 0) {
    path += 2;
    while (*path == '/') ++path;
  }
  const int n = snprintf(out, cap, "%s%s%s", cwd, strcmp(cwd, "/") == 0 ? "" : "/", path);
  if (n < 0 || size_t(n) >= cap) return fail(out, cap);
  return true;
}

bool home_from_environment(char* out, size_t cap) { return from_env("HOME", out, cap) || fail(out, cap); }

bool home_dir(char* out, size_t cap) {
  if (from_env("HOME", out, cap)) return true;
  passwd pw, *result = nullptr;
  char buf[4096];
  if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &result) == 0 && result && result->pw_dir &&
      strlen(result->pw_dir) < cap) {
    text_copy(out, cap, result->pw_dir);
    return true;
  }
  return fail(out, cap);
}

bool config_dir(char* out, size_t cap) {
  if (from_env("XDG_CONFIG_HOME", out, cap)) return true;
  char home[kPathCap];
  if (!home_dir(home, sizeof home)) return fail(out, cap);
  int n = snprintf(out, cap, "%s/.config", home);
  return (n > 0 && size_t(n) < cap) ? true : fail(out, cap);
}

bool user_dir(const char* key, const char* fallback, char* out, size_t cap) {
  if (from_user_dirs(key, out, cap)) return true;
  char home[kPathCap];
  if (!home_dir(home, sizeof home)) return fail(out, cap);
  int n = snprintf(out, cap, "%s/%s", home, fallback);
  return (n > 0 && size_t(n) < cap) ? true : fail(out, cap);
}

bool music_dir(char* out, size_t cap) { return user_dir("XDG_MUSIC_DIR", "Music", out, cap); }

bool cache_dir(char* out, size_t cap) {
  if (from_env("XDG_CACHE_HOME", out, cap) && out[0] == '/') return true;
  char home[kPathCap];
  if (!home_dir(home, sizeof home)) return fail(out, cap);
  int n = snprintf(out, cap, "%s/.cache", home);
  return (n > 0 && size_t(n) < cap) ? true : fail(out, cap);
}

bool data_dir(char* out, size_t cap) {
  if (from_env("XDG_DATA_HOME", out, cap) && out[0] == '/') return true;
  char home[kPathCap];
  if (!home_dir(home, sizeof home)) return fail(out, cap);
  int n = snprintf(out, cap, "%s/.local/share", home);
  return (n > 0 && size_t(n) < cap) ? true : fail(out, cap);
}

bool temp_dir(char* out, size_t cap) {
  if (from_env("TMPDIR", out, cap)) return true;
  text_copy(out, cap, "/tmp");
  return cap > 4;
}

bool runtime_dir(char* out, size_t cap) {
  if (from_env("XDG_RUNTIME_DIR", out, cap) && is_dir(out)) return true;
  return temp_dir(out, cap);
}

bool path_exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

bool is_dir(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_file(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

int make_dir(const char* path) {
  if (mkdir(path, 0777) == 0) return 0;
  return (errno == EEXIST && is_dir(path)) ? 0 : -1;
}

int make_dirs(const char* path) {
  char buf[4096];
  if (!path || !*path || strlen(path) >= sizeof buf) return -1;
  text_copy(buf, sizeof buf, path);
  for (char* p = buf + 1; *p; ++p) {
    if (*p != '/') continue;
    *p = 0;
    if (make_dir(buf) != 0) return -1;
    *p = '/';
  }
  return make_dir(buf);
}

int make_private_dir(const char* path) {
  if (!path || !*path) return -1;
  if (mkdir(path, 0700) != 0 && errno != EEXIST) return -1;
  // Examined through a descriptor that refuses a symbolic link, so the folder checked is the one kept.
  const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
  if (ok && (st.st_mode & 077) != 0) ok = fchmod(fd, 0700) == 0;
  close(fd);
  return ok ? 0 : -1;
}

int remove_dir(const char* path) { return rmdir(path) == 0 ? 0 : -1; }
int remove_file(const char* path) { return unlink(path) == 0 ? 0 : -1; }
int rename_path(const char* from, const char* to) { return rename(from, to) == 0 ? 0 : -1; }

const char* path_name(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

bool dir_entry_stat(const DirEntry& entry, int64_t* size_bytes, int64_t* mtime_s, bool* is_file) {
  struct stat st;
  if (entry.dir_fd < 0 || fstatat(entry.dir_fd, entry.name, &st, 0) != 0) return false;
  if (size_bytes) *size_bytes = int64_t(st.st_size);
  if (mtime_s) *mtime_s = int64_t(st.st_mtim.tv_sec);
  if (is_file) *is_file = S_ISREG(st.st_mode);
  return true;
}

int list_dir(const char* path, bool (*visit)(const DirEntry& entry, void* ctx), void* ctx) {
  DIR* d = opendir(path);
  if (!d) return -1;
  int count = 0;
  char full[4096];
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    DirEntry entry{e->d_name, false, false, dirfd(d)};
    if (e->d_type == DT_DIR) entry.is_dir = true;
    else if (e->d_type == DT_REG) entry.is_file = true;
    else {
      snprintf(full, sizeof full, "%s/%s", path, e->d_name);
      struct stat st;
      if (stat(full, &st) == 0) {
        entry.is_dir = S_ISDIR(st.st_mode);
        entry.is_file = S_ISREG(st.st_mode);
      }
    }
    ++count;
    if (!visit(entry, ctx)) break;
  }
  closedir(d);
  return count;
}
