// Arbitrary bytes as JSON: the reader never crashes or recurses, refuses with one of its five
// messages, and whatever it accepts the writer writes back as JSON that reads and writes again to
// the very same text (decode, encode, decode is stable).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kit/json.h"

namespace {

// Writes a value and everything inside it, depth first with an explicit stack.
void write_value(JsonWriter* w, JsonValue root, std::vector<char>& scratch) {
  struct Frame {
    JsonCursor c;
    bool object;
    bool first;
  };
  std::vector<Frame> stack;
  JsonValue v = root;
  for (;;) {
    bool descended = false;
    switch (v.kind) {
      case JsonKind::kObject:
      case JsonKind::kArray: {
        Frame f{};
        f.object = v.kind == JsonKind::kObject;
        f.first = true;
        if (f.object) json_object_begin(v, &f.c);
        else json_array_begin(v, &f.c);
        json_write_char(w, f.object ? '{' : '[');
        stack.push_back(f);
        descended = true;
        break;
      }
      case JsonKind::kString: {
        int flags = 0;
        json_get_string(v, scratch.data(), scratch.size(), &flags);
        if (flags & kJsonTextCut) abort();  // the scratch holds any string of the input
        json_write_string(w, scratch.data());
        break;
      }
      case JsonKind::kNumber: {
        int64_t i = 0;
        double d = 0;
        if (json_get_int64(v, &i)) json_write_int(w, i);
        else if (json_get_double(v, &d)) json_write_double(w, d);
        else abort();  // a validated number always reads
        break;
      }
      case JsonKind::kBool: {
        bool b = false;
        if (!json_get_bool(v, &b)) abort();
        json_write_bool(w, b);
        break;
      }
      case JsonKind::kNull:
        json_write_raw(w, "null", 4);
        break;
      case JsonKind::kInvalid:
        abort();
    }
    (void)descended;
    // Next value: the next element of the innermost open container, closing finished ones.
    for (;;) {
      if (stack.empty()) return;
      Frame& f = stack.back();
      JsonValue name;
      const bool more = f.object ? json_object_next(&f.c, &name, &v) : json_array_next(&f.c, &v);
      if (more) {
        if (!f.first) json_write_char(w, ',');
        f.first = false;
        if (f.object) {
          int flags = 0;
          json_get_string(name, scratch.data(), scratch.size(), &flags);
          json_write_string(w, scratch.data());
          json_write_char(w, ':');
        }
        break;
      }
      json_write_char(w, f.object ? '}' : ']');
      stack.pop_back();
    }
  }
}

std::string encode(JsonValue root, std::vector<char>& scratch) {
  JsonWriter w;
  json_writer_start(&w, nullptr, 0);
  write_value(&w, root, scratch);
  std::string out(json_writer_finish(&w) + 1, '\0');
  json_writer_start(&w, out.data(), out.size());
  write_value(&w, root, scratch);
  out.resize(json_writer_finish(&w));
  return out;
}

bool known_message(const char* m) {
  for (const char* p : {"no JSON value (empty)", "truncated at byte ", "nested deeper than 64 at byte ", "unexpected '",
                        "unexpected byte 0x"})
    if (strncmp(m, p, strlen(p)) == 0) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  JsonValue root;
  char msg[128];
  if (!json_parse(text, size, &root, msg, sizeof msg)) {
    if (!known_message(msg)) abort();
    return 0;
  }
  if (root.p < text || root.p + root.n > text + size || root.kind == JsonKind::kInvalid) abort();
  // Decoded text never grows past three bytes for each byte of the input.
  std::vector<char> scratch(size * 3 + 8);
  const std::string once = encode(root, scratch);
  JsonValue again;
  if (!json_parse(once.data(), once.size(), &again, msg, sizeof msg)) abort();
  std::vector<char> scratch2(once.size() * 3 + 8);
  if (encode(again, scratch2) != once) abort();
  return 0;
}
