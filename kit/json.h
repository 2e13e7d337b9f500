// The kit's JSON reader and writer. json_parse validates a whole text once; after that every value
// is a span of the caller's text (nothing is copied until a getter takes a field), walked with
// cursors. The writer appends compact JSON into a caller's buffer while counting the full length,
// so a null or short buffer measures. Numbers go through std::from_chars / std::to_chars: correctly
// rounded and the same under every locale. Nothing here recurses, whatever the input.
// Thread-safe: yes; values and writers belong to the caller.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int kJsonMaxDepth = 64;  // deeper nesting is refused

enum class JsonKind : uint8_t { kInvalid, kNull, kBool, kNumber, kString, kArray, kObject };

// A span of a text json_parse accepted (or of a value taken from one). Its kind is that of its
// first byte. A default JsonValue is invalid; every getter and cursor refuses it.
struct JsonValue {
  const char* p = nullptr;  // first byte of the value
  size_t n = 0;             // bytes, quotes and brackets included
  JsonKind kind = JsonKind::kInvalid;
};

// Validates text[0, length) as one strict JSON value (a UTF-8 byte-order mark first is skipped)
// and hands out the root. On failure returns false with one line in msg (capacity msg_cap):
// "no JSON value (empty)", "truncated at byte %llu", "nested deeper than 64 at byte %llu",
// "unexpected '%c' at byte %llu%s" or "unexpected byte 0x%02X at byte %llu%s", the tail being
// " (after the value)" when the byte follows a complete value. Offsets count from text[0].
bool json_parse(const char* text, size_t length, JsonValue* root, char* msg, size_t msg_cap);

// Walks the members of an object or the elements of an array, in order. begin returns false for
// a value of another kind.
struct JsonCursor {
  const char* p = nullptr;
  const char* end = nullptr;
};
bool json_object_begin(JsonValue object, JsonCursor* c);
bool json_object_next(JsonCursor* c, JsonValue* name, JsonValue* value);  // false after the last
bool json_array_begin(JsonValue array, JsonCursor* c);
bool json_array_next(JsonCursor* c, JsonValue* value);
// Members of an object or elements of an array; 0 for anything else.
int json_count(JsonValue container);

// Flags of json_get_string.
constexpr int kJsonTextCut = 1;      // the text did not fit and was cut before a code point
constexpr int kJsonTextInvalid = 2;  // invalid UTF-8, a lone surrogate or a \u0000 became U+FFFD

// Decodes a string into out (capacity cap, always terminated when cap > 0): escapes decoded,
// surrogate pairs joined, anything invalid replaced by U+FFFD, cut before the first code point
// that does not fit. false (out empty, flags 0) when the value is not a string.
bool json_get_string(JsonValue v, char* out, size_t cap, int* flags);
// True when the string decodes to exactly name.
bool json_string_equals(JsonValue v, const char* name);
// An integer: digits that fit in 64 bits, or any number whose value is whole and below 9.2e18 in
// magnitude (2.0 and 1e3 are integers, 1.5 is not).
bool json_get_int64(JsonValue v, int64_t* out);
// Correctly rounded; a magnitude past the type's range reads as infinity, one below its smallest
// as zero (with the sign).
bool json_get_double(JsonValue v, double* out);
bool json_get_float(JsonValue v, float* out);
bool json_get_bool(JsonValue v, bool* out);  // true or false; null is not a bool

// Writer: every append writes what fits and adds its full length to len.
struct JsonWriter {
  char* buf = nullptr;
  size_t cap = 0;
  size_t len = 0;  // the full length so far, fitting or not
};
void json_writer_start(JsonWriter* w, char* buf, size_t cap);
void json_write_raw(JsonWriter* w, const char* text, size_t bytes);
void json_write_char(JsonWriter* w, char c);
// A quoted, escaped string from a fixed field: up to its NUL, at most field_bytes. Invalid UTF-8
// is written as U+FFFD.
void json_write_string(JsonWriter* w, const char* s, size_t field_bytes = SIZE_MAX);
void json_write_int(JsonWriter* w, int64_t v);
// The fewest digits that read back to the same float (at most 9) or double (at most 17), laid out
// as ECMAScript's Number-to-String does. JSON has no infinity or NaN: those write null.
void json_write_float(JsonWriter* w, float v);
void json_write_double(JsonWriter* w, double v);
void json_write_bool(JsonWriter* w, bool v);
// The full length. The buffer holds the text and its NUL only when len < cap; otherwise it is
// left holding an empty string (when cap > 0).
size_t json_writer_finish(JsonWriter* w);

// UTF-8 helpers shared with the readers of fixed text fields.
// Copies src[0, n) into dst (capacity cap, always terminated when cap > 0), replacing invalid
// UTF-8 with U+FFFD and cutting before the first code point that does not fit; sets the
// kJsonText* flags it had to use in *flags (may be null). Returns the bytes written.
size_t utf8_copy_valid(char* dst, size_t cap, const char* src, size_t n, int* flags);
// The length of the valid UTF-8 sequence at s[0, n) and its code point, or 0 when it is invalid
// (overlong, a surrogate, past U+10FFFF, cut short or a stray continuation byte).
size_t utf8_decode(const char* s, size_t n, uint32_t* cp);
// Encodes a code point (at most U+10FFFF) into out[4]; returns its length.
size_t utf8_encode(uint32_t cp, char* out);
