// Version comparison field by field, without converting to numbers (no field is too long).
#include "learn/version.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The next field of *p: its significant digits [*first, *first + *len); moves *p past it.
// False when the text holds no more fields.
bool next_field(const char** p, const char** first, int* len) {
  const char* s = *p;
  while (*s && !is_digit(*s)) ++s;  // dots, and anything that is not a digit
  if (!*s) {
    *p = s;
    return false;
  }
  while (*s == '0') ++s;
  const char* start = s;
  while (is_digit(*s)) ++s;
  *first = start;
  *len = int(s - start);
  while (*s && *s != '.') ++s;  // the rest of the field ("10-beta")
  *p = s;
  return true;
}

}  // namespace

int version_compare(const char* a, const char* b) {
  const char* pa = a ? a : "";
  const char* pb = b ? b : "";
  for (;;) {
    const char *fa = "", *fb = "";
    int la = 0, lb = 0;
    const bool more_a = next_field(&pa, &fa, &la);
    const bool more_b = next_field(&pb, &fb, &lb);
    if (!more_a && !more_b) return 0;
    if (la != lb) return la < lb ? -1 : 1;
    for (int i = 0; i < la; ++i)
      if (fa[i] != fb[i]) return fa[i] < fb[i] ? -1 : 1;
  }
}
