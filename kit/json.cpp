// JSON: one validating pass over the text with an explicit 64-bit container stack (no recursion),
// then lazy walks over spans. Spans are only ever made from validated text, so the walkers skip
// without checking again.
#include "kit/json.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <system_error>

namespace {

// Byte classes for the validating pass.
constexpr uint8_t kWs = 1;        // space, tab, CR, LF
constexpr uint8_t kPlain = 2;     // a byte a string may hold as it is (not '"', '\\' or a control)
constexpr uint8_t kDigit = 4;
constexpr uint8_t kHex = 8;

struct ByteClasses {
  uint8_t c[256] = {};
  constexpr ByteClasses() {
    for (int i = 0x20; i < 256; ++i) c[i] |= kPlain;
    c[int('"')] &= uint8_t(~kPlain);
    c[int('\\')] &= uint8_t(~kPlain);
    c[int(' ')] |= kWs;
    c[int('\t')] |= kWs;
    c[int('\r')] |= kWs;
    c[int('\n')] |= kWs;
    for (int i = '0'; i <= '9'; ++i) c[i] |= kDigit | kHex;
    for (int i = 'a'; i <= 'f'; ++i) c[i] |= kHex;
    for (int i = 'A'; i <= 'F'; ++i) c[i] |= kHex;
  }
};
constexpr ByteClasses kClass;

inline bool is(char ch, uint8_t cls) { return (kClass.c[uint8_t(ch)] & cls) != 0; }

inline const char* skip_ws(const char* p, const char* end) {
  while (p < end && is(*p, kWs)) ++p;
  return p;
}

// Eight bytes at a time: true when none is '"', '\\' or below 0x20.
inline bool word_plain(uint64_t x) {
  constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
  const uint64_t q = x ^ (ones * uint8_t('"'));
  const uint64_t b = x ^ (ones * uint8_t('\\'));
  const uint64_t has_q = (q - ones) & ~q & highs;
  const uint64_t has_b = (b - ones) & ~b & highs;
  const uint64_t has_ctl = (x - ones * 0x20) & ~x & highs;
  return (has_q | has_b | has_ctl) == 0;
}

struct Parser {
  const char* begin;
  const char* end;
  char* msg;
  size_t msg_cap;

  bool fail_truncated() {
    if (msg && msg_cap) snprintf(msg, msg_cap, "truncated at byte %llu", (unsigned long long)(end - begin));
    return false;
  }
  bool fail_at(const char* p, bool after_value) {
    if (p >= end) return fail_truncated();
    if (msg && msg_cap) {
      const uint8_t c = uint8_t(*p);
      const char* tail = after_value ? " (after the value)" : "";
      const unsigned long long at = (unsigned long long)(p - begin);
      if (c >= 33 && c <= 126) snprintf(msg, msg_cap, "unexpected '%c' at byte %llu%s", char(c), at, tail);
      else snprintf(msg, msg_cap, "unexpected byte 0x%02X at byte %llu%s", unsigned(c), at, tail);
    }
    return false;
  }

  // p at the opening quote; *out past the closing one.
  bool string(const char* p, const char** out) {
    const char* q = p + 1;
    for (;;) {
      while (end - q >= 8) {
        uint64_t x;
        memcpy(&x, q, 8);
        if (!word_plain(x)) break;
        q += 8;
      }
      while (q < end && is(*q, kPlain)) ++q;
      if (q >= end) return fail_truncated();
      if (*q == '"') {
        *out = q + 1;
        return true;
      }
      if (*q != '\\') return fail_at(q, false);  // a raw control character
      ++q;
      if (q >= end) return fail_truncated();
      switch (*q) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
          ++q;
          break;
        case 'u':
          ++q;
          for (int i = 0; i < 4; ++i, ++q) {
            if (q >= end) return fail_truncated();
            if (!is(*q, kHex)) return fail_at(q, false);
          }
          break;
        default:
          return fail_at(q, false);
      }
    }
  }

  bool digits(const char** q) {
    if (*q >= end) return fail_truncated();
    if (!is(**q, kDigit)) return fail_at(*q, false);
    while (*q < end && is(**q, kDigit)) ++*q;
    return true;
  }

  bool number(const char* p, const char** out) {
    const char* q = p;
    if (*q == '-') ++q;
    if (q >= end) return fail_truncated();
    if (*q == '0') ++q;
    else if (!digits(&q)) return false;
    if (q < end && *q == '.') {
      ++q;
      if (!digits(&q)) return false;
    }
    if (q < end && (*q == 'e' || *q == 'E')) {
      ++q;
      if (q < end && (*q == '+' || *q == '-')) ++q;
      if (!digits(&q)) return false;
    }
    *out = q;
    return true;
  }

  bool literal(const char* p, const char* word, const char** out) {
    const size_t n = strlen(word);
    for (size_t i = 0; i < n; ++i) {
      if (p + i >= end) return fail_truncated();
      if (p[i] != word[i]) return fail_at(p + i, false);
    }
    *out = p + n;
    return true;
  }

  bool run(JsonValue* root) {
    const char* p = begin;
    if (end - p >= 3 && memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
    p = skip_ws(p, end);
    if (p >= end) {
      if (msg && msg_cap) snprintf(msg, msg_cap, "no JSON value (empty)");
      return false;
    }
    const char* const root_start = p;
    uint64_t objects = 0;  // bit d-1 set: level d is an object
    int depth = 0;

  value:
    p = skip_ws(p, end);
    if (p >= end) return fail_truncated();
    switch (*p) {
      case '{':
      case '[': {
        if (depth == kJsonMaxDepth) {
          if (msg && msg_cap)
            snprintf(msg, msg_cap, "nested deeper than %d at byte %llu", kJsonMaxDepth,
                     (unsigned long long)(p - begin));
          return false;
        }
        const bool object = *p == '{';
        if (object) objects |= uint64_t(1) << depth;
        else objects &= ~(uint64_t(1) << depth);
        ++depth;
        p = skip_ws(p + 1, end);
        if (p >= end) return fail_truncated();
        if (*p == (object ? '}' : ']')) {
          ++p;
          --depth;
          goto after;
        }
        if (object) goto key;
        goto value;
      }
      case '"':
        if (!string(p, &p)) return false;
        goto after;
      case '-': case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
        if (!number(p, &p)) return false;
        goto after;
      case 't':
        if (!literal(p, "true", &p)) return false;
        goto after;
      case 'f':
        if (!literal(p, "false", &p)) return false;
        goto after;
      case 'n':
        if (!literal(p, "null", &p)) return false;
        goto after;
      default:
        return fail_at(p, false);
    }

  key:  // p at the first byte of a member name
    if (*p != '"') return fail_at(p, false);
    if (!string(p, &p)) return false;
    p = skip_ws(p, end);
    if (p >= end) return fail_truncated();
    if (*p != ':') return fail_at(p, false);
    ++p;
    goto value;

  after:  // a complete value ends before p
    if (depth == 0) {
      const char* value_end = p;
      p = skip_ws(p, end);
      if (p < end) return fail_at(p, true);
      *root = JsonValue{root_start, size_t(value_end - root_start), JsonKind::kInvalid};
      return true;
    }
    p = skip_ws(p, end);
    if (p >= end) return fail_truncated();
    {
      const bool object = (objects >> (depth - 1)) & 1;
      if (*p == ',') {
        p = skip_ws(p + 1, end);
        if (p >= end) return fail_truncated();
        if (object) goto key;
        goto value;
      }
      if (*p == (object ? '}' : ']')) {
        ++p;
        --depth;
        goto after;
      }
    }
    return fail_at(p, true);
  }
};

JsonKind kind_of(char c) {
  switch (c) {
    case '"': return JsonKind::kString;
    case '{': return JsonKind::kObject;
    case '[': return JsonKind::kArray;
    case 't': case 'f': return JsonKind::kBool;
    case 'n': return JsonKind::kNull;
    default: return (c == '-' || (c >= '0' && c <= '9')) ? JsonKind::kNumber : JsonKind::kInvalid;
  }
}

// Past the closing quote of a validated string that starts at p.
const char* skip_string(const char* p, const char* end) {
  const char* q = p + 1;
  for (;;) {
    q = static_cast<const char*>(memchr(q, '"', size_t(end - q)));
    if (!q) return end;
    // A quote with an odd run of backslashes before it is escaped.
    const char* b = q;
    while (b[-1] == '\\') --b;
    if (((q - b) & 1) == 0) return q + 1;
    ++q;
  }
}

// Past the end of the validated value that starts at p (p < end).
const char* skip_value(const char* p, const char* end) {
  switch (*p) {
    case '"':
      return skip_string(p, end);
    case '{':
    case '[': {
      int depth = 0;
      while (p < end) {
        const char c = *p;
        if (c == '"') {
          p = skip_string(p, end);
          continue;
        }
        if (c == '{' || c == '[') ++depth;
        else if ((c == '}' || c == ']') && --depth == 0) return p + 1;
        ++p;
      }
      return p;
    }
    case 't': case 'n':
      return p + 4;
    case 'f':
      return p + 5;
    default:
      while (p < end && (is(*p, kDigit) || *p == '-' || *p == '+' || *p == '.' || *p == 'e' || *p == 'E')) ++p;
      return p;
  }
}

JsonValue value_at(const char* p, const char* end) {
  const char* e = skip_value(p, end);
  return JsonValue{p, size_t(e - p), kind_of(*p)};
}

bool cursor_begin(JsonValue v, JsonKind kind, JsonCursor* c) {
  if (v.kind != kind || v.n < 2) {
    *c = JsonCursor{};
    return false;
  }
  c->p = v.p + 1;
  c->end = v.p + v.n - 1;
  return true;
}

// Next element start, skipping whitespace and one comma; null at the end.
const char* cursor_element(JsonCursor* c) {
  if (!c->p) return nullptr;
  const char* p = skip_ws(c->p, c->end);
  if (p < c->end && *p == ',') p = skip_ws(p + 1, c->end);
  if (p >= c->end) {
    c->p = c->end;
    return nullptr;
  }
  return p;
}

int hex4(const char* p) {
  int v = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = p[i];
    v = v * 16 + (c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  return v;
}

bool utf8_step(const char* s, size_t n, uint32_t* cp, size_t* len) {
  const unsigned c = uint8_t(s[0]);
  if (c < 0x80) {
    *cp = c;
    *len = 1;
    return true;
  }
  size_t need;
  unsigned lo = 0x80, hi = 0xBF;
  uint32_t v;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
    v = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    v = c & 0x0F;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    v = c & 0x07;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    *len = 1;
    return false;
  }
  for (size_t i = 1; i <= need; ++i) {
    if (i >= n) {
      *len = i;
      return false;
    }
    const unsigned b = uint8_t(s[i]);
    if (b < lo || b > hi) {
      *len = i;  // the maximal valid prefix becomes one U+FFFD
      return false;
    }
    v = (v << 6) | (b & 0x3F);
    lo = 0x80;
    hi = 0xBF;
  }
  *cp = v;
  *len = need + 1;
  return true;
}

// Decodes the next code point of a validated string's content [*p, end); bad when it had to
// become U+FFFD.
uint32_t next_code_point(const char** p, const char* end, bool* bad) {
  const char* q = *p;
  *bad = false;
  if (*q != '\\') {
    uint32_t cp = 0;
    size_t len = 1;
    if (!utf8_step(q, size_t(end - q), &cp, &len)) {
      *bad = true;
      cp = 0xFFFD;
    }
    *p = q + len;
    return cp;
  }
  const char e = q[1];
  *p = q + 2;
  switch (e) {
    case 'b': return 8;
    case 'f': return 12;
    case 'n': return 10;
    case 'r': return 13;
    case 't': return 9;
    case 'u': break;
    default: return uint8_t(e);  // '"', '\\', '/'
  }
  uint32_t cp = uint32_t(hex4(q + 2));
  *p = q + 6;
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    const char* r = q + 6;
    if (end - r >= 6 && r[0] == '\\' && r[1] == 'u') {
      const uint32_t low = uint32_t(hex4(r + 2));
      if (low >= 0xDC00 && low <= 0xDFFF) {
        *p = r + 6;
        return 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      }
    }
    *bad = true;
    return 0xFFFD;
  }
  if ((cp >= 0xDC00 && cp <= 0xDFFF) || cp == 0) {
    *bad = true;
    return 0xFFFD;
  }
  return cp;
}

// Rough decimal exponent of a number token (value ~ 0.d x 10^result), for telling an overflow
// from an underflow when from_chars reports the value out of range.
long decimal_magnitude(const char* p, const char* end) {
  if (p < end && *p == '-') ++p;
  long int_digits = 0, index = 0, first_nonzero = -1;
  bool point = false;
  for (; p < end && *p != 'e' && *p != 'E'; ++p) {
    if (*p == '.') {
      point = true;
      continue;
    }
    if (!point) ++int_digits;
    if (first_nonzero < 0 && *p != '0') first_nonzero = index;
    ++index;
  }
  long exp = 0;
  if (p < end) {
    ++p;
    bool neg = false;
    if (p < end && (*p == '+' || *p == '-')) neg = *p++ == '-';
    for (; p < end; ++p) exp = exp < 100000000 ? exp * 10 + (*p - '0') : exp;
    if (neg) exp = -exp;
  }
  return int_digits - (first_nonzero < 0 ? index : first_nonzero) + exp;
}

template <typename T>
bool get_real(JsonValue v, T* out) {
  if (v.kind != JsonKind::kNumber) return false;
  T x{};
  const char* end = v.p + v.n;
  const auto r = std::from_chars(v.p, end, x);
  if (r.ec == std::errc::result_out_of_range) {
    const bool neg = v.p[0] == '-';
    x = decimal_magnitude(v.p, end) > 0 ? std::numeric_limits<T>::infinity() : T(0);
    if (neg) x = -x;
  } else if (r.ec != std::errc() || r.ptr != end) {
    return false;
  }
  *out = x;
  return true;
}

void put(JsonWriter* w, const char* s, size_t n) {
  if (n && w->buf && w->len < w->cap) {
    const size_t room = w->cap - w->len;
    memcpy(w->buf + w->len, s, n < room ? n : room);
  }
  w->len += n;
}

// ECMAScript's Number-to-String layout of the shortest digits in sci ("d.ddde+XX").
void put_number_text(JsonWriter* w, const char* sci, size_t n) {
  const char* p = sci;
  const char* end = sci + n;
  char out[48];
  size_t o = 0;
  if (*p == '-') {
    out[o++] = '-';
    ++p;
  }
  char digits[24];
  int k = 0;
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.' && k < int(sizeof digits)) digits[k++] = *p;
  while (k > 1 && digits[k - 1] == '0') --k;
  int e = 0;
  std::from_chars(p + 1 + (p[1] == '+'), end, e);
  const int nexp = e + 1;  // value = 0.d1d2... x 10^nexp
  if (k <= nexp && nexp <= 21) {
    memcpy(out + o, digits, size_t(k));
    o += size_t(k);
    for (int i = k; i < nexp; ++i) out[o++] = '0';
  } else if (0 < nexp && nexp <= 21) {
    memcpy(out + o, digits, size_t(nexp));
    o += size_t(nexp);
    out[o++] = '.';
    memcpy(out + o, digits + nexp, size_t(k - nexp));
    o += size_t(k - nexp);
  } else if (-6 < nexp && nexp <= 0) {
    out[o++] = '0';
    out[o++] = '.';
    for (int i = 0; i < -nexp; ++i) out[o++] = '0';
    memcpy(out + o, digits, size_t(k));
    o += size_t(k);
  } else {
    out[o++] = digits[0];
    if (k > 1) {
      out[o++] = '.';
      memcpy(out + o, digits + 1, size_t(k - 1));
      o += size_t(k - 1);
    }
    out[o++] = 'e';
    out[o++] = nexp - 1 < 0 ? '-' : '+';
    const auto r = std::to_chars(out + o, out + sizeof out, nexp - 1 < 0 ? 1 - nexp : nexp - 1);
    o = size_t(r.ptr - out);
  }
  put(w, out, o);
}

template <typename T>
void write_real(JsonWriter* w, T v) {
  if (!std::isfinite(v)) {
    put(w, "null", 4);
    return;
  }
  if (v == 0) {
    if (std::signbit(v)) put(w, "-0", 2);
    else put(w, "0", 1);
    return;
  }
  char sci[64];
  const auto r = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
  put_number_text(w, sci, size_t(r.ptr - sci));
}

}  // namespace

bool json_parse(const char* text, size_t length, JsonValue* root, char* msg, size_t msg_cap) {
  if (msg && msg_cap) msg[0] = 0;
  JsonValue r;
  if (root) *root = r;
  if (!text) length = 0;
  Parser parser{text, text + length, msg, msg_cap};
  if (!text) {
    if (msg && msg_cap) snprintf(msg, msg_cap, "no JSON value (empty)");
    return false;
  }
  if (!parser.run(&r)) return false;
  r.kind = kind_of(*r.p);
  if (root) *root = r;
  return true;
}

bool json_object_begin(JsonValue object, JsonCursor* c) { return cursor_begin(object, JsonKind::kObject, c); }
bool json_array_begin(JsonValue array, JsonCursor* c) { return cursor_begin(array, JsonKind::kArray, c); }

bool json_object_next(JsonCursor* c, JsonValue* name, JsonValue* value) {
  const char* p = cursor_element(c);
  if (!p) return false;
  *name = JsonValue{p, size_t(skip_string(p, c->end) - p), JsonKind::kString};
  p = skip_ws(p + name->n, c->end);
  p = skip_ws(p + 1, c->end);  // the colon
  *value = value_at(p, c->end);
  c->p = p + value->n;
  return true;
}

bool json_array_next(JsonCursor* c, JsonValue* value) {
  const char* p = cursor_element(c);
  if (!p) return false;
  *value = value_at(p, c->end);
  c->p = p + value->n;
  return true;
}

int json_count(JsonValue container) {
  JsonCursor c;
  int n = 0;
  JsonValue name, value;
  if (json_object_begin(container, &c)) {
    while (json_object_next(&c, &name, &value)) ++n;
  } else if (json_array_begin(container, &c)) {
    while (json_array_next(&c, &value)) ++n;
  }
  return n;
}

bool json_get_string(JsonValue v, char* out, size_t cap, int* flags) {
  int f = 0;
  if (out && cap) out[0] = 0;
  if (flags) *flags = 0;
  if (v.kind != JsonKind::kString || v.n < 2) return false;
  const char* p = v.p + 1;
  const char* end = v.p + v.n - 1;
  size_t len = 0;
  while (p < end) {
    bool bad = false;
    const uint32_t cp = next_code_point(&p, end, &bad);
    if (bad) f |= kJsonTextInvalid;
    char enc[4];
    const size_t k = utf8_encode(cp, enc);
    if (!out || len + k + 1 > cap) {
      f |= kJsonTextCut;
      break;
    }
    memcpy(out + len, enc, k);
    len += k;
  }
  if (out && cap) out[len] = 0;
  if (flags) *flags = f;
  return true;
}

bool json_string_equals(JsonValue v, const char* name) {
  if (v.kind != JsonKind::kString || v.n < 2 || !name) return false;
  const char* p = v.p + 1;
  const char* end = v.p + v.n - 1;
  const size_t want = strlen(name);
  size_t at = 0;
  while (p < end) {
    bool bad = false;
    const uint32_t cp = next_code_point(&p, end, &bad);
    char enc[4];
    const size_t k = utf8_encode(cp, enc);
    if (at + k > want || memcmp(name + at, enc, k) != 0) return false;
    at += k;
  }
  return at == want;
}

bool json_get_int64(JsonValue v, int64_t* out) {
  if (v.kind != JsonKind::kNumber) return false;
  const char* end = v.p + v.n;
  bool plain = true;
  for (const char* p = v.p; p < end; ++p)
    if (*p == '.' || *p == 'e' || *p == 'E') plain = false;
  if (plain) {
    int64_t i = 0;
    const auto r = std::from_chars(v.p, end, i);
    if (r.ec == std::errc() && r.ptr == end) {
      *out = i;
      return true;
    }
  }
  double d = 0;
  if (!get_real(v, &d) || !std::isfinite(d) || d != std::trunc(d) || std::fabs(d) >= 9.2e18) return false;
  *out = int64_t(d);
  return true;
}

bool json_get_double(JsonValue v, double* out) { return get_real(v, out); }
bool json_get_float(JsonValue v, float* out) { return get_real(v, out); }

bool json_get_bool(JsonValue v, bool* out) {
  if (v.kind != JsonKind::kBool) return false;
  *out = v.p[0] == 't';
  return true;
}

void json_writer_start(JsonWriter* w, char* buf, size_t cap) {
  w->buf = buf;
  w->cap = buf ? cap : 0;
  w->len = 0;
}

void json_write_raw(JsonWriter* w, const char* text, size_t bytes) { put(w, text, bytes); }
void json_write_char(JsonWriter* w, char c) { put(w, &c, 1); }

void json_write_string(JsonWriter* w, const char* s, size_t field_bytes) {
  put(w, "\"", 1);
  const size_t n = s ? strnlen(s, field_bytes) : 0;
  size_t run = 0;  // bytes copied as they are, flushed in one go
  size_t i = 0;
  while (i < n) {
    const uint8_t c = uint8_t(s[i]);
    const char* esc = nullptr;
    char buf[8];
    size_t esc_n = 0, adv = 1;
    if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
      ++i;
      ++run;
      continue;
    }
    if (c >= 0x80) {
      uint32_t cp;
      size_t len;
      if (utf8_step(s + i, n - i, &cp, &len)) {
        i += len;
        run += len;
        continue;
      }
      esc = "\xEF\xBF\xBD";
      esc_n = 3;
      adv = len;
    } else if (c == '"' || c == '\\') {
      buf[0] = '\\';
      buf[1] = char(c);
      esc = buf;
      esc_n = 2;
    } else {
      static const char hex[] = "0123456789abcdef";
      switch (c) {
        case 8: esc = "\\b"; esc_n = 2; break;
        case 9: esc = "\\t"; esc_n = 2; break;
        case 10: esc = "\\n"; esc_n = 2; break;
        case 12: esc = "\\f"; esc_n = 2; break;
        case 13: esc = "\\r"; esc_n = 2; break;
        default:
          memcpy(buf, "\\u00", 4);
          buf[4] = hex[c >> 4];
          buf[5] = hex[c & 15];
          esc = buf;
          esc_n = 6;
      }
    }
    put(w, s + i - run, run);
    run = 0;
    put(w, esc, esc_n);
    i += adv;
  }
  put(w, s + n - run, run);
  put(w, "\"", 1);
}

void json_write_int(JsonWriter* w, int64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  put(w, buf, size_t(r.ptr - buf));
}

void json_write_float(JsonWriter* w, float v) { write_real(w, v); }
void json_write_double(JsonWriter* w, double v) { write_real(w, v); }
void json_write_bool(JsonWriter* w, bool v) { v ? put(w, "true", 4) : put(w, "false", 5); }

size_t json_writer_finish(JsonWriter* w) {
  if (w->buf && w->cap) {
    if (w->len < w->cap) w->buf[w->len] = 0;
    else w->buf[0] = 0;
  }
  return w->len;
}

size_t utf8_decode(const char* s, size_t n, uint32_t* cp) {
  if (!s || n == 0) return 0;
  size_t len = 0;
  uint32_t v = 0;
  if (!utf8_step(s, n, &v, &len)) return 0;
  if (cp) *cp = v;
  return len;
}

size_t utf8_encode(uint32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = char(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = char(0xC0 | (cp >> 6));
    out[1] = char(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = char(0xE0 | (cp >> 12));
    out[1] = char(0x80 | ((cp >> 6) & 0x3F));
    out[2] = char(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = char(0xF0 | (cp >> 18));
  out[1] = char(0x80 | ((cp >> 12) & 0x3F));
  out[2] = char(0x80 | ((cp >> 6) & 0x3F));
  out[3] = char(0x80 | (cp & 0x3F));
  return 4;
}

size_t utf8_copy_valid(char* dst, size_t cap, const char* src, size_t n, int* flags) {
  int f = 0;
  size_t len = 0;
  size_t i = 0;
  while (src && i < n) {
    uint32_t cp = 0;
    size_t step = 1;
    if (!utf8_step(src + i, n - i, &cp, &step)) {
      cp = 0xFFFD;
      f |= kJsonTextInvalid;
    }
    char enc[4];
    const size_t k = utf8_encode(cp, enc);
    if (!dst || len + k + 1 > cap) {
      f |= kJsonTextCut;
      break;
    }
    memcpy(dst + len, enc, k);
    len += k;
    i += step;
  }
  if (dst && cap) dst[len] = 0;
  if (flags) *flags |= f;
  return len;
}
