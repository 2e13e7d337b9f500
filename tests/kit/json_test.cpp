// The JSON reader and writer: failure messages with their byte offsets, the nesting limit, spans
// and cursors, string decoding (escapes, surrogates, invalid text, cutting), number rules and
// rounding, the writer's measuring, escaping and number layout, and both under a comma locale.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include "kit/json.h"

namespace {

// The parse message of a text, or "ok".
std::string parse_msg(const std::string& text) {
  JsonValue v;
  char msg[128];
  if (json_parse(text.data(), text.size(), &v, msg, sizeof msg)) return "ok";
  return msg;
}

// Parses a text kept alive for the rest of the test program, so its spans stay valid.
JsonValue parse(const std::string& text) {
  static std::deque<std::string> kept;
  kept.push_back(text);
  JsonValue v;
  char msg[128];
  EXPECT_TRUE(json_parse(kept.back().data(), kept.back().size(), &v, msg, sizeof msg)) << text << ": " << msg;
  return v;
}

std::string str(const JsonValue& v, size_t cap = 256, int* flags = nullptr) {
  std::vector<char> out(cap + 1, 'X');
  int f = -1;
  EXPECT_TRUE(json_get_string(v, out.data(), cap, &f));
  if (flags) *flags = f;
  return out.data();
}

std::string text(const JsonValue& v) { return std::string(v.p, v.n); }

template <typename F>
std::string written(F f, size_t cap = 256) {
  std::vector<char> buf(cap);
  JsonWriter w;
  json_writer_start(&w, buf.data(), cap);
  f(&w);
  const size_t n = json_writer_finish(&w);
  EXPECT_LT(n, cap);
  return std::string(buf.data());
}

std::string dbl(double d) { return written([d](JsonWriter* w) { json_write_double(w, d); }); }
std::string flt(float f) { return written([f](JsonWriter* w) { json_write_float(w, f); }); }

}  // namespace

TEST(JsonParse, FailuresSayWhatAndWhere) {
  EXPECT_EQ(parse_msg(""), "no JSON value (empty)");
  EXPECT_EQ(parse_msg("\xEF\xBB\xBF  \r\n\t"), "no JSON value (empty)");
  // Truncated anywhere inside a value: the offset is the text's length.
  for (const char* t : {"[1,", "{\"a\"", "{\"a\":", "\"abc", "tru", "-", "1.", "1e", "1e+", "[", "{\"a\":[1,{}",
                        "\"\\u12", "\"\\"})
    EXPECT_EQ(parse_msg(t), "truncated at byte " + std::to_string(strlen(t))) << t;
  // Unexpected bytes: printable ones quoted, others in hex, offsets counting a byte-order mark.
  EXPECT_EQ(parse_msg("{} x"), "unexpected 'x' at byte 3 (after the value)");
  EXPECT_EQ(parse_msg("\xEF\xBB\xBF{}}"), "unexpected '}' at byte 5 (after the value)");
  EXPECT_EQ(parse_msg("[1 2]"), "unexpected '2' at byte 3 (after the value)");
  EXPECT_EQ(parse_msg("01"), "unexpected '1' at byte 1 (after the value)");
  EXPECT_EQ(parse_msg("[1,]"), "unexpected ']' at byte 3");
  EXPECT_EQ(parse_msg("{\"a\" 1}"), "unexpected '1' at byte 5");
  EXPECT_EQ(parse_msg("{a:1}"), "unexpected 'a' at byte 1");
  EXPECT_EQ(parse_msg("trux"), "unexpected 'x' at byte 3");
  EXPECT_EQ(parse_msg("t rue"), "unexpected byte 0x20 at byte 1");
  EXPECT_EQ(parse_msg("\"a\\x\""), "unexpected 'x' at byte 3");
  EXPECT_EQ(parse_msg("\"\\u12G4\""), "unexpected 'G' at byte 5");
  EXPECT_EQ(parse_msg(std::string("[\"a\nb\"]")), "unexpected byte 0x0A at byte 3");
  EXPECT_EQ(parse_msg(std::string("[1,\0]", 5)), "unexpected byte 0x00 at byte 3");
  EXPECT_EQ(parse_msg("\xC0\xAF"), "unexpected byte 0xC0 at byte 0");  // overlong UTF-8 outside a string
  EXPECT_EQ(parse_msg("NaN"), "unexpected 'N' at byte 0");
  EXPECT_EQ(parse_msg("+1"), "unexpected '+' at byte 0");
  EXPECT_EQ(parse_msg("1 \x7F"), "unexpected byte 0x7F at byte 2 (after the value)");

  // 64 levels are read, 65 are refused at the bracket that goes too deep; no recursion either
  // way, even a megabyte of brackets.
  EXPECT_EQ(parse_msg(std::string(64, '[') + std::string(64, ']')), "ok");
  EXPECT_EQ(parse_msg(std::string(65, '[') + std::string(65, ']')), "nested deeper than 64 at byte 64");
  EXPECT_EQ(parse_msg("{\"a\":" + std::string(64, '[')), "nested deeper than 64 at byte 68");
  EXPECT_EQ(parse_msg(std::string(1 << 20, '[')), "nested deeper than 64 at byte 64");

  // A message cut to a small buffer stays terminated.
  char small[8];
  JsonValue v;
  EXPECT_FALSE(json_parse("[1,", 3, &v, small, sizeof small));
  EXPECT_STREQ(small, "truncat");
}

TEST(JsonParse, SpansAndCursors) {
  const std::string doc =
      "\xEF\xBB\xBF {\"a\" : [ 1 , \"x]}\\\"\" , {\"b\":[]} ] ,\"n\":null,\"t\":true,\"f\":false,\"e\":{}, \"s\":-1.5e2 } ";
  const JsonValue root = parse(doc);
  EXPECT_EQ(root.kind, JsonKind::kObject);
  EXPECT_EQ(text(root), doc.substr(4, doc.size() - 5));
  EXPECT_EQ(json_count(root), 6);

  JsonCursor c;
  ASSERT_TRUE(json_object_begin(root, &c));
  JsonValue name, value;
  std::vector<std::string> names, values;
  while (json_object_next(&c, &name, &value)) {
    names.push_back(str(name));
    values.push_back(text(value));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"a", "n", "t", "f", "e", "s"}));
  EXPECT_EQ(values, (std::vector<std::string>{"[ 1 , \"x]}\\\"\" , {\"b\":[]} ]", "null", "true", "false", "{}",
                                              "-1.5e2"}));

  const JsonValue a = parse(values[0]);
  EXPECT_EQ(json_count(a), 3);
  ASSERT_TRUE(json_array_begin(a, &c));
  std::vector<JsonKind> kinds;
  while (json_array_next(&c, &value)) kinds.push_back(value.kind);
  EXPECT_EQ(kinds, (std::vector<JsonKind>{JsonKind::kNumber, JsonKind::kString, JsonKind::kObject}));
  EXPECT_EQ(json_count(parse("{}")), 0);
  EXPECT_EQ(json_count(parse("[]")), 0);
  EXPECT_EQ(json_count(parse("3")), 0);
  EXPECT_FALSE(json_object_begin(a, &c));  // an array is not an object
  EXPECT_FALSE(json_array_begin(JsonValue{}, &c));
  EXPECT_FALSE(json_array_next(&c, &value));  // a failed begin leaves nothing to walk

  bool b = false;
  EXPECT_TRUE(json_get_bool(parse("true"), &b));
  EXPECT_TRUE(b);
  EXPECT_TRUE(json_get_bool(parse("false"), &b));
  EXPECT_FALSE(b);
  EXPECT_FALSE(json_get_bool(parse("null"), &b));
  EXPECT_FALSE(json_get_bool(parse("1"), &b));
}

TEST(JsonStrings, EscapesSurrogatesInvalidTextAndCutting) {
  int flags = -1;
  EXPECT_EQ(str(parse(R"("q\"\\\/\b\f\n\r\t\u00e9\u20AC")"), 256, &flags), "q\"\\/\b\f\n\r\t\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(flags, 0);
  EXPECT_EQ(str(parse(R"("\ud83d\ude00")"), 256, &flags), "\xF0\x9F\x98\x80");  // a pair joined
  EXPECT_EQ(flags, 0);
  // A lone surrogate (high or low) and a NUL escape are invalid: U+FFFD, flagged.
  for (const char* t : {R"("a\ud83db")", R"("a\ude00b")", R"("a\ud83d\u0041b")", R"("a\u0000b")"}) {
    const std::string got = str(parse(t), 256, &flags);
    EXPECT_EQ(flags, kJsonTextInvalid) << t;
    EXPECT_EQ(got.substr(0, 4), "a\xEF\xBF\xBD") << t;
  }
  EXPECT_EQ(str(parse(R"("a\ud83d\u0041b")")), "a\xEF\xBF\xBD" "Ab");
  // Invalid UTF-8 inside a string: overlong, a surrogate, past U+10FFFF, stray and cut sequences.
  EXPECT_EQ(str(parse("\"\xC0\xAF|\xED\xA0\x80|\xF4\x90\x80\x80|\x80|\xE2\x82\""), 256, &flags),
            "\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD|"
            "\xEF\xBF\xBD|\xEF\xBF\xBD");
  EXPECT_EQ(flags, kJsonTextInvalid);

  // Cut before the first code point that does not fit, never inside one.
  const JsonValue euro = parse(R"("ab\u20acc")");
  EXPECT_EQ(str(euro, 7, &flags), "ab\xE2\x82\xAC" "c");
  EXPECT_EQ(flags, 0);
  EXPECT_EQ(str(euro, 6, &flags), "ab\xE2\x82\xAC");
  EXPECT_EQ(flags, kJsonTextCut);
  EXPECT_EQ(str(euro, 5, &flags), "ab");
  EXPECT_EQ(flags, kJsonTextCut);
  EXPECT_EQ(str(euro, 1, &flags), "");
  EXPECT_EQ(flags, kJsonTextCut);

  char out[8] = "junk";
  EXPECT_FALSE(json_get_string(parse("12"), out, sizeof out, &flags));
  EXPECT_STREQ(out, "");
  EXPECT_EQ(flags, 0);

  EXPECT_TRUE(json_string_equals(parse(R"("for\u006dat")"), "format"));
  EXPECT_TRUE(json_string_equals(parse(R"("")"), ""));
  EXPECT_FALSE(json_string_equals(parse(R"("forma")"), "format"));
  EXPECT_FALSE(json_string_equals(parse(R"("formats")"), "format"));
  EXPECT_FALSE(json_string_equals(parse("\"\xFF\""), "\xFF"));  // compared after decoding
  EXPECT_TRUE(json_string_equals(parse("\"\xFF\""), "\xEF\xBF\xBD"));
}

TEST(JsonNumbers, IntegersAndCorrectRounding) {
  int64_t i = 0;
  const struct {
    const char* text;
    bool ok;
    int64_t value;
  } ints[] = {
      {"0", true, 0}, {"-0", true, 0}, {"2.0", true, 2}, {"1e3", true, 1000}, {"-25E-1", false, 0}, {"1.5", false, 0},
      {"9223372036854775807", true, INT64_MAX}, {"-9223372036854775808", true, INT64_MIN},
      {"9223372036854775808", false, 0},  // one past: only a double, and too large for the whole-double rule
      {"9.1e18", true, 9100000000000000000LL}, {"9.2e18", false, 0}, {"1e400", false, 0}, {"5e-324", false, 0},
  };
  for (const auto& t : ints) {
    i = -7;
    EXPECT_EQ(json_get_int64(parse(t.text), &i), t.ok) << t.text;
    if (t.ok) {
      EXPECT_EQ(i, t.value) << t.text;
    }
  }
  EXPECT_FALSE(json_get_int64(parse("\"1\""), &i));

  double d = 0;
  ASSERT_TRUE(json_get_double(parse("0.1"), &d));
  EXPECT_EQ(d, 0.1);
  ASSERT_TRUE(json_get_double(parse("5e-324"), &d));
  EXPECT_EQ(d, std::numeric_limits<double>::denorm_min());
  ASSERT_TRUE(json_get_double(parse("1e400"), &d));
  EXPECT_EQ(d, std::numeric_limits<double>::infinity());
  ASSERT_TRUE(json_get_double(parse("-1e400"), &d));
  EXPECT_EQ(d, -std::numeric_limits<double>::infinity());
  ASSERT_TRUE(json_get_double(parse("-1e-400"), &d));
  EXPECT_EQ(d, 0.0);
  EXPECT_TRUE(std::signbit(d));
  ASSERT_TRUE(json_get_double(parse("-0"), &d));
  EXPECT_TRUE(d == 0.0 && std::signbit(d));
  EXPECT_FALSE(json_get_double(parse("true"), &d));

  // A float is rounded once, from the decimal text: going through a double first would land on
  // the halfway point and round to even (1.0) instead of up.
  float f = 0;
  ASSERT_TRUE(json_get_float(parse("1.00000005960464477539062501"), &f));
  EXPECT_EQ(f, std::nextafter(1.0f, 2.0f));
  ASSERT_TRUE(json_get_float(parse("0.1"), &f));
  EXPECT_EQ(f, 0.1f);
  ASSERT_TRUE(json_get_float(parse("1e39"), &f));
  EXPECT_EQ(f, std::numeric_limits<float>::infinity());
}

TEST(JsonWriter, MeasuresEscapesAndLaysOutNumbers) {
  // Measuring: a null buffer, a buffer one byte short (no room for the NUL), an exact fit.
  const auto fill = [](JsonWriter* w) {
    json_write_char(w, '{');
    json_write_string(w, "k");
    json_write_raw(w, ":", 1);
    json_write_int(w, -42);
    json_write_char(w, ',');
    json_write_bool(w, true);
    json_write_char(w, '}');
  };
  JsonWriter w;
  json_writer_start(&w, nullptr, 100);
  fill(&w);
  const size_t full = json_writer_finish(&w);
  EXPECT_EQ(full, strlen("{\"k\":-42,true}"));
  std::vector<char> buf(full, 'X');
  json_writer_start(&w, buf.data(), buf.size());
  fill(&w);
  EXPECT_EQ(json_writer_finish(&w), full);
  EXPECT_EQ(buf[0], 0);
  buf.assign(full + 1, 'X');
  json_writer_start(&w, buf.data(), buf.size());
  fill(&w);
  EXPECT_EQ(json_writer_finish(&w), full);
  EXPECT_STREQ(buf.data(), "{\"k\":-42,true}");

  // Strings: quote and backslash escaped, the five short controls, other controls as \u00xx,
  // invalid UTF-8 as U+FFFD, the solidus and DEL and non-ASCII as they are; a fixed field stops
  // at its size.
  EXPECT_EQ(written([](JsonWriter* w) { json_write_string(w, "a\"b\\c/\b\t\n\f\r\x01\x1F\x7F\xC3\xA9\xFF\xE2\x82"); }),
            "\"a\\\"b\\\\c/\\b\\t\\n\\f\\r\\u0001\\u001f\x7F\xC3\xA9\xEF\xBF\xBD\xEF\xBF\xBD\"");
  const char field[4] = {'a', 'b', 'c', 'd'};  // no NUL inside its size
  EXPECT_EQ(written([&](JsonWriter* w) { json_write_string(w, field, sizeof field); }), "\"abcd\"");
  EXPECT_EQ(written([](JsonWriter* w) { json_write_string(w, nullptr); }), "\"\"");

  // ECMAScript layout with the shortest round-trip digits.
  const std::pair<double, const char*> doubles[] = {
      {0, "0"}, {-0.0, "-0"}, {1, "1"}, {-2.5, "-2.5"}, {100, "100"}, {0.1, "0.1"}, {1.0 / 3, "0.3333333333333333"},
      {123.456, "123.456"}, {1e20, "100000000000000000000"}, {1e21, "1e+21"}, {1.5e21, "1.5e+21"},
      {0.000001, "0.000001"}, {0.0000012, "0.0000012"}, {1e-7, "1e-7"}, {-1.25e-7, "-1.25e-7"},
      {5e-324, "5e-324"}, {1.7976931348623157e308, "1.7976931348623157e+308"}, {123456789012345680000.0, "123456789012345680000"},
      {9007199254740993.0, "9007199254740992"}, {0.1 + 0.2, "0.30000000000000004"},
  };
  for (const auto& [v, want] : doubles) EXPECT_EQ(dbl(v), want) << want;
  EXPECT_EQ(flt(0.1f), "0.1");
  EXPECT_EQ(flt(1.0f / 3), "0.33333334");
  EXPECT_EQ(flt(3.9810717f), "3.9810717");
  EXPECT_EQ(flt(16777216.0f), "16777216");
  EXPECT_EQ(flt(1e-7f), "1e-7");
  EXPECT_EQ(dbl(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(dbl(std::nan("")), "null");
  EXPECT_EQ(written([](JsonWriter* w) { json_write_int(w, INT64_MIN); }), "-9223372036854775808");

  // Every double written reads back to itself.
  uint64_t bits = 0x9E3779B97F4A7C15ULL;
  for (int k = 0; k < 20000; ++k) {
    bits = bits * 6364136223846793005ULL + 1442695040888963407ULL;
    double v;
    memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) continue;
    const std::string t = dbl(v);
    double back = 0;
    ASSERT_TRUE(json_get_double(parse(t), &back)) << t;
    ASSERT_EQ(memcmp(&back, &v, sizeof v), 0) << t;
  }
}

TEST(JsonNumbers, SameUnderACommaLocale) {
  ASSERT_NE(setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "the de_DE.UTF-8 locale is not installed";
  char probe[16];
  snprintf(probe, sizeof probe, "%.1f", 1.5);
  ASSERT_STREQ(probe, "1,5");
  double d = 0;
  float f = 0;
  ASSERT_TRUE(json_get_double(parse("-12.25e1"), &d));
  EXPECT_EQ(d, -122.5);
  ASSERT_TRUE(json_get_float(parse("0.75"), &f));
  EXPECT_EQ(f, 0.75f);
  EXPECT_EQ(dbl(1234.5), "1234.5");
  EXPECT_EQ(flt(0.1f), "0.1");
  EXPECT_EQ(dbl(1.5e-9), "1.5e-9");
  setlocale(LC_ALL, "C");
}
