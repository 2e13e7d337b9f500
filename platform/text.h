// Fixed-size text helpers: UTF-8 in char arrays, cut on overflow, always terminated.
// Thread-safe: yes. Numbers are always formatted with a full stop, whatever the locale.
#pragma once
#include <cstdarg>
#include <cstddef>

// Copies src into dst (capacity cap bytes), cutting it; returns the length written.
size_t text_copy(char* dst, size_t cap, const char* src);

// printf into dst (capacity cap), cut on overflow, C numeric conventions; returns the length written.
size_t text_format(char* dst, size_t cap, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
size_t text_vformat(char* dst, size_t cap, const char* fmt, va_list args);

// sscanf under C numeric conventions (a full stop is the decimal separator).
int text_scan(const char* src, const char* fmt, ...) __attribute__((format(scanf, 2, 3)));

// Case-insensitive (ASCII letters) comparisons.
bool text_equal_nocase(const char* a, const char* b);
bool text_starts_with_nocase(const char* s, const char* prefix);
bool text_contains_nocase(const char* haystack, const char* needle);

// Lower-case ASCII letters in place.
void text_lower(char* s);

// Percent-encodes src into dst (capacity cap): letters, digits, "-._~" and the bytes in keep stay,
// every other byte becomes %XX with upper-case hexadecimal digits. The length written, or
// (size_t)-1 with dst empty when the whole text does not fit (a cut address would name something
// else).
size_t text_percent_encode(char* dst, size_t cap, const char* src, const char* keep = "");
// Decodes %XX (either case) into its byte and, with plus_is_blank, '+' into a blank; a '%' without
// two hexadecimal digits stays as it is. The length written, or (size_t)-1 with dst empty when
// it does not fit.
size_t text_percent_decode(char* dst, size_t cap, const char* src, size_t n, bool plus_is_blank);

template <size_t N>
size_t text_copy(char (&dst)[N], const char* src) { return text_copy(dst, N, src); }
