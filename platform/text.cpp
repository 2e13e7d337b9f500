// Fixed-size text helpers. Formatting and scanning switch the calling thread to the C numeric
// locale for the call, so a comma-decimal desktop never changes a file the program writes.
#include "platform/text.h"

#include <clocale>
#include <cstdio>
#include <cstring>
#include <locale.h>

namespace {

// Per-thread switch to the "C" locale for the duration of one call.
struct CLocaleScope {
  locale_t previous = nullptr;
  CLocaleScope() {
    static locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
    if (c_locale) previous = uselocale(c_locale);
  }
  ~CLocaleScope() {
    if (previous) uselocale(previous);
  }
};

char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

}  // namespace

size_t text_copy(char* dst, size_t cap, const char* src) {
  if (!dst || cap == 0) return 0;
  size_t n = src ? strnlen(src, cap - 1) : 0;
  if (n) memcpy(dst, src, n);
  dst[n] = 0;
  return n;
}

size_t text_vformat(char* dst, size_t cap, const char* fmt, va_list args) {
  if (!dst || cap == 0) return 0;
  CLocaleScope scope;
  int n = vsnprintf(dst, cap, fmt, args);
  if (n < 0) {
    dst[0] = 0;
    return 0;
  }
  return size_t(n) < cap ? size_t(n) : cap - 1;
}

size_t text_format(char* dst, size_t cap, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  size_t n = text_vformat(dst, cap, fmt, args);
  va_end(args);
  return n;
}

int text_scan(const char* src, const char* fmt, ...) {
  CLocaleScope scope;
  va_list args;
  va_start(args, fmt);
  int n = vsscanf(src, fmt, args);
  va_end(args);
  return n;
}

bool text_equal_nocase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (lower(*a) != lower(*b)) return false;
    if (!*a) return true;
  }
}

bool text_starts_with_nocase(const char* s, const char* prefix) {
  for (; *prefix; ++s, ++prefix)
    if (lower(*s) != lower(*prefix)) return false;
  return true;
}

bool text_contains_nocase(const char* haystack, const char* needle) {
  if (!*needle) return true;
  for (; *haystack; ++haystack)
    if (text_starts_with_nocase(haystack, needle)) return true;
  return false;
}

void text_lower(char* s) {
  for (; *s; ++s) *s = lower(*s);
}

size_t text_percent_encode(char* dst, size_t cap, const char* src, const char* keep) {
  static const char kHex[] = "0123456789ABCDEF";
  if (!dst || cap == 0) return size_t(-1);
  size_t n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(src); *p; ++p) {
    const unsigned char c = *p;
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '.' || c == '_' || c == '~' || (keep && strchr(keep, c));
    const size_t need = plain ? 1 : 3;
    if (n + need >= cap) {
      dst[0] = 0;
      return size_t(-1);
    }
    if (plain) {
      dst[n++] = char(c);
    } else {
      dst[n++] = '%';
      dst[n++] = kHex[c >> 4];
      dst[n++] = kHex[c & 15];
    }
  }
  dst[n] = 0;
  return n;
}

namespace {
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

size_t text_percent_decode(char* dst, size_t cap, const char* src, size_t n, bool plus_is_blank) {
  if (!dst || cap == 0) return size_t(-1);
  size_t out = 0;
  for (size_t i = 0; i < n; ++i) {
    char c = src[i];
    if (c == '%' && i + 2 < n && hex_value(src[i + 1]) >= 0 && hex_value(src[i + 2]) >= 0) {
      c = char(hex_value(src[i + 1]) * 16 + hex_value(src[i + 2]));
      i += 2;
    } else if (c == '+' && plus_is_blank) {
      c = ' ';
    }
    if (out + 1 >= cap) {
      dst[0] = 0;
      return size_t(-1);
    }
    dst[out++] = c;
  }
  dst[out] = 0;
  return out;
}
