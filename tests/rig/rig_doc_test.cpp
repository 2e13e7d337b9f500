// The rig document: decoding with every result code and the first message, defaults and repair,
// the byte-exact round trip of what this version does not know, encoding and measuring, keys,
// ids, comparing and merging.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "rig/rig_doc.h"

namespace {

struct DocFree {
  void operator()(RigDoc* d) const {
    rig_free(d);
    free(d);
  }
};
using Doc = std::unique_ptr<RigDoc, DocFree>;

Doc make_doc() {
  Doc d(static_cast<RigDoc*>(calloc(1, sizeof(RigDoc))));
  rig_reset(d.get());
  return d;
}

Doc device_doc(int inputs, const char* api = "jack") {
  Doc d = make_doc();
  rig_init_for_device(d.get(), "jack:system", api, "system", inputs, nullptr, "tolm", 1000.5);
  return d;
}

struct Decoded {
  int code;
  std::string msg;
  Doc doc;
};

Decoded decode(const std::string& text) {
  Decoded r{0, "", make_doc()};
  char msg[400];
  r.code = rig_decode(text.data(), text.size(), r.doc.get(), msg, sizeof msg);
  r.msg = msg;
  return r;
}

std::string encode(const RigDoc* d) {
  const size_t n = rig_encode(d, nullptr, 0);
  std::string out(n + 1, 'X');
  EXPECT_EQ(rig_encode(d, out.data(), out.size()), n);
  out.resize(n);
  return out;
}

// A rig text with the given members after the format.
std::string rig(const std::string& members) {
  return "{\"format\":\"lumaro.rig\"" + (members.empty() ? "" : "," + members) + "}";
}

// A rig whose first scene holds the given members and the other three are empty objects.
std::string rig_scene(const std::string& scene) { return rig("\"scenes\":[{" + scene + "},{},{},{}]"); }

std::string input(int channel, const std::string& more = "") {
  return "{\"kind\":{\"input\":{\"channel\":" + std::to_string(channel) + "}}" + (more.empty() ? "" : "," + more) + "}";
}

}  // namespace

TEST(RigDecode, TheWholeTextIsUnusableOnlyForFourReasons) {
  char msg[64] = "junk";
  EXPECT_EQ(rig_decode("{}", 2, nullptr, msg, sizeof msg), kRigDecodeUnreadable);
  EXPECT_STREQ(msg, "no doc to decode into");

  Decoded d = decode("[1,");
  EXPECT_EQ(d.code, kRigDecodeUnreadable);
  EXPECT_EQ(d.msg, "not JSON: truncated at byte 3");
  EXPECT_EQ(d.doc->version, 1);
  d = decode("\x01\x02\xFF");
  EXPECT_EQ(d.msg, "not JSON: unexpected byte 0x01 at byte 0");
  d = decode(std::string(100, '[') + std::string(100, ']'));
  EXPECT_EQ(d.msg, "not JSON: nested deeper than 64 at byte 64");
  d = decode("[]");
  EXPECT_EQ(d.code, kRigDecodeNotRig);
  EXPECT_EQ(d.msg, "not a rig: the JSON is not an object");
  for (const char* t : {"{}", "{\"format\":\"lumaro.rigs\"}", "{\"format\":1}", "{\"version\":1}"}) {
    d = decode(t);
    EXPECT_EQ(d.code, kRigDecodeNotRig) << t;
    EXPECT_EQ(d.msg, "not a rig: \"format\" is not \"lumaro.rig\"") << t;
  }
  // The first "format" counts.
  d = decode("{\"format\":\"other\",\"format\":\"lumaro.rig\"}");
  EXPECT_EQ(d.code, kRigDecodeNotRig);
  d = decode("{\"format\":\"lumaro.rig\",\"format\":\"other\"}");
  EXPECT_EQ(d.code, kRigDecodeRepaired);
  EXPECT_EQ(d.msg, "the rig: \"format\" appears twice (the first kept)");

  // Exactly 1 MB is read; one byte more is refused unread.
  std::string big = "{\"format\":\"lumaro.rig\",\"pad\":\"\"}";
  big.insert(big.size() - 2, kRigMaxTextBytes - big.size(), 'p');
  ASSERT_EQ(big.size(), kRigMaxTextBytes);
  d = decode(big);
  EXPECT_EQ(d.code, kRigDecodeRepaired);
  EXPECT_EQ(d.msg, "no scenes (defaults)");
  ASSERT_NE(d.doc->extra_top, nullptr);
  EXPECT_EQ(strlen(d.doc->extra_top), kRigMaxTextBytes - 24);
  big.insert(big.size() - 2, "p");
  d = decode(big);
  EXPECT_EQ(d.code, kRigDecodeUnreadable);
  EXPECT_EQ(d.msg, "bigger than 1 MB (1048577 bytes)");
}

TEST(RigDecode, DefaultsForWhatIsMissing) {
  // Only the format: one input and four default scenes.
  Decoded d = decode(rig(""));
  EXPECT_EQ(d.code, kRigDecodeRepaired);
  EXPECT_EQ(d.msg, "no scenes (defaults)");
  EXPECT_EQ(d.doc->device.channels, 1);
  const char* glyphs[] = {"\xE2\x99\x97", "\xE2\x9D\xA6", "\xE2\x99\xA8", "\xE2\x98\xAF"};
  std::set<std::string> ids;
  for (int s = 0; s < kRigScenes; ++s) {
    const RigScene& sc = d.doc->scenes[s];
    EXPECT_EQ(sc.channel_count, 1);
    EXPECT_EQ(std::string(sc.name), "scene " + std::to_string(s + 1));
    EXPECT_STREQ(sc.glyph, glyphs[s]);
    EXPECT_EQ(sc.fresh, s > 0);
    EXPECT_EQ(sc.master_gain, 1.0f);
    EXPECT_EQ(sc.channels[0].gain, 1.0f);
    EXPECT_FALSE(sc.channels[0].muted);
    EXPECT_FALSE(sc.channels[0].link);  // a single input has nothing to pair with
    ids.insert(sc.id);
    ids.insert(sc.channels[0].id);
  }
  EXPECT_EQ(ids.size(), 8u);

  // The device named only by the key.
  d = decode(rig("\"key\":\"asio:Mic\",\"scenes\":[{},{},{},{}]"));
  EXPECT_EQ(d.code, kRigDecodeOk) << d.msg;
  EXPECT_STREQ(d.doc->device.api, "asio");
  EXPECT_STREQ(d.doc->device.name, "Mic");
  // A key made from the device when there is none.
  d = decode(rig("\"device\":{\"api\":\"alsa\",\"name\":\"  USB (2- Mic) \",\"channels\":2},\"scenes\":[{},{},{},{}]"));
  EXPECT_STREQ(d.doc->key, "alsa:USB (Mic)");
  EXPECT_EQ(d.doc->device.channels, 2);
  // A part of the key too long for the api is not taken.
  d = decode(rig("\"key\":\"averyveryverylongapi:Mic\",\"scenes\":[{},{},{},{}]"));
  EXPECT_STREQ(d.doc->device.api, "");
  EXPECT_STREQ(d.doc->device.name, "Mic");

  // Two scenes given: the others come from a default rig of the same width.
  d = decode(rig("\"scenes\":[{\"name\":\"A\",\"channels\":[" + input(0) + "," + input(1) + "," + input(2) +
                 "]},{\"name\":\"B\"}]"));
  EXPECT_EQ(d.msg, "only 2 of 4 scenes (the rest are defaults)");
  EXPECT_EQ(d.doc->device.channels, 3);
  EXPECT_STREQ(d.doc->scenes[1].name, "B");
  EXPECT_EQ(d.doc->scenes[1].channel_count, 0);
  EXPECT_EQ(d.doc->scenes[2].channel_count, 3);
  EXPECT_TRUE(d.doc->scenes[2].channels[2].muted);
  EXPECT_TRUE(d.doc->scenes[3].channels[0].link);
  EXPECT_TRUE(d.doc->scenes[3].fresh);
  d = decode(rig("\"scenes\":[{},7,{},{}]"));
  EXPECT_EQ(d.msg, "scene 2 is not an object (defaults)");
  EXPECT_STREQ(d.doc->scenes[1].name, "scene 2");
  EXPECT_TRUE(d.doc->scenes[1].fresh);
}

TEST(RigDecode, EveryMemberProblemIsNamedAndDefaulted) {
  const struct {
    std::string text;
    std::string msg;
  } cases[] = {
      {rig("\"version\":\"1\",\"scenes\":[{},{},{},{}]"), "the rig: version is not an integer in 1..2147483647"},
      {rig("\"version\":0,\"scenes\":[{},{},{},{}]"), "the rig: version is not an integer in 1..2147483647"},
      {rig("\"rev\":-1,\"scenes\":[{},{},{},{}]"), "the rig: rev is not an integer in 0..9223372036854775807"},
      {rig("\"rev\":1e400,\"scenes\":[{},{},{},{}]"), "the rig: rev is not an integer in 0..9223372036854775807"},
      {rig("\"key\":5,\"scenes\":[{},{},{},{}]"), "the rig: key is not a string"},
      {rig("\"key\":\"" + std::string(250, 'k') + "\",\"scenes\":[{},{},{},{}]"),
       "the rig: key is longer than 199 bytes (cut)"},
      {rig("\"device\":[],\"scenes\":[{},{},{},{}]"), "device is not an object"},
      {rig("\"device\":{\"channels\":65},\"scenes\":[{},{},{},{}]"), "device: channels is not an integer in 1..64"},
      {rig("\"device\":{\"name\":\"a\\ud800\"},\"scenes\":[{},{},{},{}]"), "device: name had invalid text (replaced)"},
      {rig("\"device\":{\"channelNames\":{}},\"scenes\":[{},{},{},{}]"), "device: channelNames is not an array"},
      {rig("\"device\":{\"channelNames\":[\"a\",3]},\"scenes\":[{},{},{},{}]"),
       "device channelNames[1]: the name is not a string"},
      {rig("\"activeScene\":4,\"scenes\":[{},{},{},{}]"), "the rig: activeScene is not an integer in 0..3"},
      {rig("\"appScenes\":[],\"scenes\":[{},{},{},{}]"), "appScenes is not an object"},
      {rig("\"appScenes\":{\"x\":1},\"scenes\":[{},{},{},{}]"), "appScenes \"x\" is not an object (dropped)"},
      {rig("\"appScenes\":{\"x\":{\"scene\":1,\"why\":2}},\"scenes\":[{},{},{},{}]"),
       "appScenes \"x\": members other than scene / at (dropped)"},
      {rig("\"appScenes\":{\"x\":{\"scene\":9}},\"scenes\":[{},{},{},{}]"),
       "appScenes \"x\": scene is not an integer in 0..3"},
      {rig("\"appScenes\":{\"x\":{\"at\":\"now\"}},\"scenes\":[{},{},{},{}]"), "appScenes \"x\": at is not a number"},
      {rig("\"appScenes\":{\"" + std::string(50, 'a') + "\":{}},\"scenes\":[{},{},{},{}]"),
       "appScenes \"" + std::string(47, 'a') + "\": the app name is longer than 47 bytes (cut)"},
      {rig("\"scenes\":{}"), "scenes is not an array (defaults)"},
      {rig_scene("\"id\":\"\""), "scene 1: id is not a usable UUID (a new one minted)"},
      {rig_scene("\"id\":\"" + std::string(37, 'A') + "\""), "scene 1: id is not a usable UUID (a new one minted)"},
      {rig_scene("\"fresh\":\"yes\""), "scene 1: fresh is not true / false"},
      {rig_scene("\"masterGain\":-1"), "scene 1: masterGain is out of range (clamped)"},
      {rig_scene("\"masterGain\":null"), "scene 1: masterGain is not a number"},
      {rig_scene("\"updatedAt\":\"x\""), "scene 1: updatedAt is not a number"},
      {rig_scene("\"name\":\"" + std::string(70, 'n') + "\""), "scene 1: name is longer than 63 bytes (cut)"},
      {rig_scene("\"channels\":{}"), "scene 1: channels is not an array"},
      {rig_scene("\"channels\":[7]"), "scene 1: channel entry 0 is not an object (kept verbatim)"},
      {rig_scene("\"channels\":[" + input(0) + ",{\"id\":\"x\"}]"),
       "scene 1: channel entry 1 has no single-member kind (kept verbatim)"},
      {rig_scene("\"channels\":[{\"kind\":{\"input\":{},\"bus\":{}}}]"),
       "scene 1: channel entry 0 has no single-member kind (kept verbatim)"},
      {rig_scene("\"channels\":[{\"kind\":{\"input\":{\"channel\":-1}}}]"),
       "scene 1: channel entry 0 is an input with no usable channel (kept verbatim)"},
      {rig_scene("\"channels\":[{\"kind\":{\"input\":{\"channel\":0,\"x\":1}}}]"),
       "scene 1: channel entry 0 is an input with no usable channel (kept verbatim)"},
      {rig_scene("\"channels\":[" + input(64) + "]"), "scene 1: input 65 is past the 64 a rig holds (kept verbatim)"},
      {rig_scene("\"channels\":[" + input(0) + "," + input(0) + "]"), "scene 1: input 1 appears twice (the first kept)"},
      {rig_scene("\"channels\":[" + input(0, "\"gain\":5") + "]"), "scene 1 input 1: gain is out of range (clamped)"},
      {rig_scene("\"channels\":[" + input(0, "\"gain\":\"loud\"") + "]"), "scene 1 input 1: gain is not a number"},
      {rig_scene("\"channels\":[" + input(0, "\"pan\":-2") + "]"), "scene 1 input 1: pan is out of range (clamped)"},
      {rig_scene("\"channels\":[" + input(0, "\"muted\":1") + "]"), "scene 1 input 1: muted is not true / false"},
      {rig_scene("\"channels\":[" + input(0, "\"link\":null") + "]"), "scene 1 input 1: link is not true / false"},
      {rig_scene("\"channels\":[" + input(0, "\"label\":\"a\",\"label\":\"b\"") + "]"),
       "scene 1 input 1: \"label\" appears twice (the first kept)"},
      {rig_scene("\"channels\":[" + input(0) + "," + input(2) + "]"), "scene 1: input 2 is missing (defaults)"},
      {rig_scene("\"channels\":[" + input(0) + "," + input(1, "\"link\":true") + "]"), "out-of-range values repaired"},
      {rig_scene("\"glyph\":\"\\u262f\\ufe0f\""), "out-of-range values repaired"},
      {rig("\"writer\":1,\"scenes\":[{},{},{},{}]"), "writer is not an object"},
      {rig("\"writer\":{\"instance\":\"" + std::string(20, 'f') + "\"},\"scenes\":[{},{},{},{}]"),
       "writer: instance is longer than 16 bytes (cut)"},
      {rig("\"writer\":{\"at\":true,\"app\":\"a\",\"app\":\"b\"},\"scenes\":[{},{},{},{}]"),
       "writer: \"app\" appears twice (the first kept)"},
  };
  for (const auto& c : cases) {
    const Decoded d = decode(c.text);
    EXPECT_EQ(d.code, kRigDecodeRepaired) << c.text;
    EXPECT_EQ(d.msg, c.msg) << c.text;
  }

  // The values that stand after those problems.
  Decoded d = decode(rig_scene("\"masterGain\":1e400,\"channels\":[" + input(0, "\"gain\":5,\"pan\":\"l\",\"muted\":1") +
                               "," + input(2, "\"gain\":\"x\",\"link\":true") + "," + input(1, "\"link\":true") + "]"));
  const RigScene& s = d.doc->scenes[0];
  EXPECT_EQ(s.master_gain, kRigMaxGain);
  EXPECT_EQ(s.channel_count, 3);
  EXPECT_EQ(s.channels[0].gain, kRigMaxGain);
  EXPECT_EQ(s.channels[0].pan, 0.0f);
  EXPECT_FALSE(s.channels[0].muted);  // the default of input 1 kept
  EXPECT_EQ(s.channels[2].gain, 1.0f);
  EXPECT_TRUE(s.channels[2].link);
  EXPECT_TRUE(s.channels[2].muted);
  EXPECT_FALSE(s.channels[1].link);  // cleared by repair: input 2 is even

  // Seventeen applications: the one with the earliest time makes room for a later one only.
  std::string apps;
  for (int i = 0; i < 16; ++i) apps += "\"app" + std::to_string(i) + "\":{\"scene\":1,\"at\":" + std::to_string(100 + i) + "},";
  d = decode(rig("\"appScenes\":{" + apps + "\"late\":{\"scene\":2,\"at\":500},\"early\":{\"at\":1}}"));
  EXPECT_EQ(d.msg, "appScenes has more than 16 members (the oldest dropped)");
  EXPECT_EQ(d.doc->app_scene_count, 16);
  EXPECT_STREQ(d.doc->app_scenes[0].app, "app1");
  EXPECT_STREQ(d.doc->app_scenes[15].app, "late");
  EXPECT_EQ(d.doc->app_scenes[15].scene, 2);
  // The same application twice: one entry, with the later time.
  d = decode(rig("\"appScenes\":{\"a\":{\"scene\":1,\"at\":5},\"b\":{},\"a\":{\"scene\":3,\"at\":9}},\"scenes\":[{},{},{},{}]"));
  EXPECT_EQ(d.msg, "out-of-range values repaired");
  ASSERT_EQ(d.doc->app_scene_count, 2);
  EXPECT_STREQ(d.doc->app_scenes[0].app, "a");
  EXPECT_EQ(d.doc->app_scenes[0].scene, 3);
  EXPECT_EQ(d.doc->app_scenes[0].at, 9.0);

  // 65 channel names: 64 kept.
  std::string names;
  for (int i = 0; i < 65; ++i) names += (i ? ",\"n" : "\"n") + std::to_string(i) + "\"";
  d = decode(rig("\"device\":{\"channels\":64,\"channelNames\":[" + names + "]},\"scenes\":[{},{},{},{}]"));
  EXPECT_EQ(d.msg, "device: more than 64 channelNames (the rest dropped)");
  EXPECT_STREQ(d.doc->device.channel_names[63], "n63");
  EXPECT_NE(encode(d.doc.get()).find("\"n63\"]"), std::string::npos);
}

TEST(RigDecode, NewerVersionsAreReadOnly) {
  Decoded d = decode(rig("\"version\":2,\"scenes\":[{},{},{},{}]"));
  EXPECT_EQ(d.code, kRigDecodeReadOnly);
  EXPECT_EQ(d.msg, "version 2 is newer than 1 - read only");
  EXPECT_TRUE(d.doc->read_only);
  EXPECT_EQ(d.doc->version, 2);
  d = decode(rig("\"version\":7,\"activeScene\":9,\"scenes\":[{},{},{},{}]"));
  EXPECT_EQ(d.msg, "version 7 is newer than 1 - read only (and: the rig: activeScene is not an integer in 0..3)");
  // The version survives a round trip, so a newer file is never made to look like ours.
  EXPECT_NE(encode(d.doc.get()).find("\"version\":7,"), std::string::npos);
}

TEST(RigDecode, GlyphsKeepOneSymbol) {
  const struct {
    const char* given;
    const char* kept;
  } cases[] = {
      {"\\u262f\\ufe0f", "\xE2\x98\xAF"},                  // emoji presentation selector dropped
      {"\\u2665\\ufe0e\\ufe0f", "\xE2\x99\xA5"},           // both selectors
      {"\\ud83d\\udc4d\\ud83c\\udffd", "\xF0\x9F\x91\x8D"},  // a thumb without its skin tone
      {"ab", "a"},
      {"\\ufe0f", "\xE2\x99\x97"},                         // a lone selector: the default
      {"\\u0007", "\xE2\x99\x97"},                         // a control
      {"\\u0085", "\xE2\x99\x97"},
      {"\\ud800", "\xE2\x99\x97"},                         // a lone surrogate became U+FFFD
      {"", "\xE2\x99\x97"},
  };
  for (const auto& c : cases) {
    const Decoded d = decode(rig_scene(std::string("\"glyph\":\"") + c.given + "\""));
    EXPECT_STREQ(d.doc->scenes[0].glyph, c.kept) << c.given;
  }
  const Decoded d = decode(rig_scene("\"glyph\":\"\\u2665\""));
  EXPECT_EQ(d.code, kRigDecodeOk) << d.msg;
}

TEST(RigDecode, ForeignMembersRoundTripByteForByte) {
  Doc doc = device_doc(3);
  strcpy(doc->scenes[0].channels[1].label, "Bass \"DI\"\n");
  strcpy(doc->device.channel_names[1], "In 2");
  rig_set_app_scene(doc.get(), "tolm", 2, 1234.25);
  doc->rev = 41;
  std::string text = encode(doc.get());
  // Members and entries of other applications, at every level, as another application wrote them.
  const auto put = [&text](const std::string& after, const std::string& what) {
    const size_t at = text.find(after);
    ASSERT_NE(at, std::string::npos) << after;
    text.insert(at + after.size(), what);
  };
  put("\"channelNames\":[\"\",\"In 2\",\"\"]", ",\"vendor\":{\"x\": [1, 2.50, {\"y\":null}],\"z\":\"\\u00e9\"}");
  put("\"label\":\"\",\"gain\":1,\"pan\":0,\"muted\":true,\"link\":false", ",\"solo\":true,\"color\":[ 255 ,0,0 ]");
  put("\"muted\":true,\"link\":false,\"solo\":true,\"color\":[ 255 ,0,0 ]}", ",{\"id\":\"BUS\",\"kind\":{\"bus\":{}},\"gain\":0.5}");
  text.insert(text.find("]}", text.find("\"scene 2\"")) + 1, ",\"tempo\":120.0");
  text.insert(text.rfind("],\"writer\""), ",{\"id\":\"five\",\"future\":true}");
  text.insert(text.size() - 1, ",\"future\":{\"deep\":[true,\"\\ud83d\\ude00\",1e400]}");

  const Decoded d = decode(text);
  ASSERT_EQ(d.code, kRigDecodeOk) << d.msg;
  EXPECT_STREQ(d.doc->extra_device, "\"vendor\":{\"x\": [1, 2.50, {\"y\":null}],\"z\":\"\\u00e9\"}");
  EXPECT_STREQ(d.doc->scenes[0].channels[2].extra_members, "\"solo\":true,\"color\":[ 255 ,0,0 ]");
  EXPECT_STREQ(d.doc->scenes[0].extra_channels, "{\"id\":\"BUS\",\"kind\":{\"bus\":{}},\"gain\":0.5}");
  EXPECT_STREQ(d.doc->scenes[1].extra_members, "\"tempo\":120.0");
  EXPECT_STREQ(d.doc->extra_scenes, "{\"id\":\"five\",\"future\":true}");
  EXPECT_STREQ(d.doc->extra_top, "\"future\":{\"deep\":[true,\"\\ud83d\\ude00\",1e400]}");
  EXPECT_STREQ(d.doc->scenes[0].channels[1].label, "Bass \"DI\"\n");
  EXPECT_EQ(d.doc->rev, 41);
  EXPECT_EQ(encode(d.doc.get()), text);

  // A copy owns its own kept texts.
  Doc copy = make_doc();
  ASSERT_TRUE(rig_copy(copy.get(), d.doc.get()));
  EXPECT_NE(copy->extra_top, d.doc->extra_top);
  EXPECT_EQ(encode(copy.get()), text);

  // Kept channel entries of a scene with no inputs still make a valid array.
  Doc none = make_doc();
  ASSERT_TRUE(rig_copy(none.get(), d.doc.get()));
  none->scenes[0].channel_count = 0;
  const std::string bare = encode(none.get());
  EXPECT_NE(bare.find("\"channels\":[{\"id\":\"BUS\""), std::string::npos);
  EXPECT_EQ(decode(bare).code, kRigDecodeOk);
}

TEST(RigEncode, MeasuresAndWritesNumbersAsTheyRead) {
  Doc doc = device_doc(64);
  const size_t n = rig_encode(doc.get(), nullptr, 0);
  std::string buf(n, 'X');
  EXPECT_EQ(rig_encode(doc.get(), buf.data(), n), n);  // one byte short: no room for the NUL
  EXPECT_EQ(buf[0], 0);
  const std::string text = encode(doc.get());
  EXPECT_EQ(text.size(), n);
  EXPECT_EQ(text.rfind("{\"format\":\"lumaro.rig\",\"version\":1,\"rev\":0,\"key\":\"jack:system\",\"device\":{\"api\":"
                       "\"jack\",\"name\":\"system\",\"channels\":64,\"channelNames\":[\"\",",
                       0),
            0u);

  doc->scenes[0].channels[0].gain = 0.1f;
  doc->scenes[0].channels[1].pan = -0.0f;
  doc->scenes[0].master_gain = NAN;
  doc->scenes[0].updated_at = 1e21;
  doc->scenes[1].updated_at = 0.000001;
  doc->scenes[2].updated_at = 1e-7;
  doc->scenes[3].updated_at = INFINITY;
  doc->scenes[0].channels[2].gain = INFINITY;
  const std::string t = encode(doc.get());
  EXPECT_NE(t.find("\"gain\":0.1,"), std::string::npos);
  EXPECT_NE(t.find("\"pan\":-0,"), std::string::npos);
  EXPECT_NE(t.find("\"masterGain\":1,\"updatedAt\":1e+21,"), std::string::npos);
  EXPECT_NE(t.find("\"updatedAt\":0.000001,"), std::string::npos);
  EXPECT_NE(t.find("\"updatedAt\":1e-7,"), std::string::npos);
  EXPECT_NE(t.find("\"updatedAt\":0,"), std::string::npos);
  const Decoded d = decode(t);
  EXPECT_EQ(d.code, kRigDecodeOk) << d.msg;
  EXPECT_EQ(d.doc->scenes[0].channels[0].gain, 0.1f);
  EXPECT_EQ(d.doc->scenes[0].channels[2].gain, 1.0f);
  EXPECT_EQ(d.doc->scenes[0].updated_at, 1e21);
  EXPECT_EQ(d.doc->scenes[2].updated_at, 1e-7);
  // Names past the input count are written when one of them is set.
  Doc few = device_doc(2);
  strcpy(few->device.channel_names[4], "five");
  EXPECT_NE(encode(few.get()).find("\"channelNames\":[\"\",\"\",\"\",\"\",\"five\"]"), std::string::npos);
}

TEST(RigDoc, NewRigsKeysIdsAndTimes) {
  const char names[3][kRigChannelNameBytes] = {"Left", "Bad \xFF", "ok"};
  Doc d = make_doc();
  rig_init_for_device(d.get(), "alsa:hw", "alsa", "hw", 3, names, "tolm", NAN);
  EXPECT_STREQ(d->device.channel_names[1], "Bad \xEF\xBF\xBD");
  EXPECT_EQ(d->scenes[0].updated_at, 0.0);
  EXPECT_TRUE(d->scenes[0].channels[0].link);
  EXPECT_FALSE(d->scenes[0].channels[1].muted);
  EXPECT_TRUE(d->scenes[0].channels[2].muted);
  rig_init_for_device(d.get(), "asio:x", "asio", "x", 99, nullptr, "tolm", 5);
  EXPECT_EQ(d->device.channels, 64);
  EXPECT_FALSE(d->scenes[0].channels[0].link);
  rig_init_for_device(d.get(), "k", "jack", "x", -3, nullptr, "tolm", 5);
  EXPECT_EQ(d->device.channels, 1);

  char key[kRigKeyBytes];
  ASSERT_TRUE(rig_make_key("wasapi", " \tMic (2- USB Audio)\r\n", key, sizeof key));
  EXPECT_STREQ(key, "wasapi:Mic (USB Audio)");
  ASSERT_TRUE(rig_make_key("wasapi", "Mic (USB Audio)", key, sizeof key));
  EXPECT_STREQ(key, "wasapi:Mic (USB Audio)");
  ASSERT_TRUE(rig_make_key("jack", "Line (12- x) (3-y) (- z) (4-  w", key, sizeof key));
  EXPECT_STREQ(key, "jack:Line (x) (3-y) (- z) ( w");
  ASSERT_TRUE(rig_make_key("alsa", "caf\xE9", key, sizeof key));
  EXPECT_STREQ(key, "alsa:caf\xEF\xBF\xBD");
  EXPECT_TRUE(rig_make_key("a", std::string(197, 'n').c_str(), key, sizeof key));
  EXPECT_FALSE(rig_make_key("a", std::string(198, 'n').c_str(), key, sizeof key));
  EXPECT_STREQ(key, "");

  char api[kRigApiBytes];
  rig_api_name(12, api);
  EXPECT_STREQ(api, "jack");
  rig_api_name(8, api);
  EXPECT_STREQ(api, "alsa");
  rig_api_name(7, api);
  EXPECT_STREQ(api, "oss");
  rig_api_name(42, api);
  EXPECT_STREQ(api, "api42");
  EXPECT_EQ(rig_fnv1a(""), 0x811C9DC5u);
  EXPECT_EQ(rig_fnv1a("a"), 0xE40C292Cu);
  EXPECT_EQ(rig_stream_tag("a"), 0xE40C292Cu);

  std::set<std::string> ids;
  for (int i = 0; i < 2000; ++i) {
    char id[kRigUuidBytes];
    rig_new_uuid(id);
    ASSERT_EQ(strlen(id), 36u);
    for (int k : {8, 13, 18, 23}) ASSERT_EQ(id[k], '-');
    ASSERT_EQ(id[14], '4');
    ASSERT_TRUE(strchr("89AB", id[19])) << id;
    for (const char* p = id; *p; ++p) ASSERT_TRUE(strchr("0123456789ABCDEF-", *p)) << id;
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 2000u);
  EXPECT_FALSE(rig_seed_random(1));  // seeded once, on first use

  EXPECT_NEAR(rig_time_now(), double(time(nullptr)) - 978307200.0, 2.0);
}

TEST(RigDoc, DiffMergeAndAppScenes) {
  Doc ours = device_doc(4);
  Doc disk = make_doc();
  ASSERT_TRUE(rig_copy(disk.get(), ours.get()));
  RigChanges none;
  EXPECT_FALSE(rig_diff(ours.get(), disk.get(), &none));

  // We change input 1's gain and input 4's label in scene 1 and add a fifth input in scene 2;
  // another application changed input 1's pan, input 2's gain and scene 1's name meanwhile.
  ours->scenes[0].channels[0].gain = 0.5f;
  strcpy(ours->scenes[0].channels[3].label, "Vox");
  rig_grow_inputs(ours.get(), 5);
  ours->scenes[1].master_gain = 2.0f;
  ours->active_scene = 2;
  strcpy(ours->device.name, "renamed");
  disk->scenes[0].channels[0].pan = -1.0f;
  disk->scenes[0].channels[1].gain = 0.25f;
  strcpy(disk->scenes[0].name, "theirs");
  disk->scenes[0].updated_at = 5;
  strcpy(disk->scenes[0].author, "other");

  Doc before = device_doc(4);
  ASSERT_TRUE(rig_copy(before.get(), disk.get()));
  RigChanges ch;
  ASSERT_TRUE(rig_diff(ours.get(), disk.get(), &ch));
  EXPECT_EQ(ch.input[0][0], kRigInputGain | kRigInputPan);
  EXPECT_EQ(ch.input[0][1], kRigInputGain);
  EXPECT_EQ(ch.input[0][3], kRigInputLabel);
  EXPECT_EQ(ch.input[1][4], kRigInputAll);  // on one side only
  EXPECT_EQ(ch.scene[0], kRigSceneName);
  EXPECT_EQ(ch.scene[1], kRigSceneMasterGain);
  EXPECT_TRUE(ch.active_scene && ch.device);

  RigChanges masks{};
  masks.input[0][0] = kRigInputGain;
  masks.input[0][3] = kRigInputLabel;
  masks.scene[1] = kRigSceneMasterGain;
  masks.active_scene = true;
  ours->scenes[0].updated_at = 77;
  strcpy(ours->scenes[0].author, "tolm");
  ASSERT_TRUE(rig_merge_edits(disk.get(), ours.get(), masks));
  const RigScene& s0 = disk->scenes[0];
  EXPECT_EQ(s0.channels[0].gain, 0.5f);    // ours
  EXPECT_EQ(s0.channels[0].pan, -1.0f);    // theirs
  EXPECT_EQ(s0.channels[1].gain, 0.25f);   // theirs
  EXPECT_STREQ(s0.channels[3].label, "Vox");
  EXPECT_STREQ(s0.name, "theirs");
  EXPECT_EQ(s0.updated_at, 77.0);
  EXPECT_STREQ(s0.author, "tolm");
  EXPECT_EQ(disk->scenes[1].channel_count, 5);  // the new input came whole
  EXPECT_EQ(disk->scenes[1].master_gain, 2.0f);
  EXPECT_EQ(disk->active_scene, 2);
  EXPECT_STREQ(disk->device.name, "system");  // the device was not marked
  EXPECT_STREQ(disk->scenes[2].channels[4].id, ours->scenes[2].channels[4].id);
  EXPECT_EQ(disk->scenes[2].channels[0].gain, before->scenes[2].channels[0].gain);

  // A scene replaced whole takes every input's mix and the scene's gain and freshness.
  ours->scenes[3].channels[2].muted = false;
  ours->scenes[3].fresh = false;
  RigChanges whole{};
  whole.scene[3] = kRigSceneReplaced;
  whole.device = true;
  ASSERT_TRUE(rig_merge_edits(disk.get(), ours.get(), whole));
  EXPECT_FALSE(disk->scenes[3].channels[2].muted);
  EXPECT_FALSE(disk->scenes[3].fresh);
  EXPECT_STREQ(disk->device.name, "renamed");
  RigChanges sum = masks;
  rig_changes_or(&sum, whole);
  EXPECT_EQ(sum.scene[3], kRigSceneReplaced);
  EXPECT_EQ(sum.input[0][0], kRigInputGain);
  EXPECT_TRUE(sum.device && sum.active_scene);

  // App scenes: a later time wins, a full table admits only something later than its oldest.
  Doc a = make_doc(), b = make_doc();
  rig_set_app_scene(a.get(), "tolm", 7, 10);
  EXPECT_EQ(a->active_scene, 3);
  EXPECT_EQ(a->app_scenes[0].scene, 3);
  rig_set_app_scene(b.get(), "tolm", 1, 5);
  rig_set_app_scene(b.get(), "other", 2, NAN);
  rig_merge_app_scenes(a.get(), b.get());
  ASSERT_EQ(a->app_scene_count, 2);
  EXPECT_EQ(a->app_scenes[0].scene, 3);  // ours was later
  EXPECT_EQ(a->app_scenes[1].at, 0.0);
  for (int i = 0; i < 14; ++i) rig_set_app_scene(a.get(), ("app" + std::to_string(i)).c_str(), 0, 100 + i);
  Doc c = make_doc();
  rig_set_app_scene(c.get(), "stale", 1, -5);
  rig_set_app_scene(c.get(), "fresh", 1, 1000);
  rig_merge_app_scenes(a.get(), c.get());
  EXPECT_EQ(a->app_scene_count, 16);
  EXPECT_STREQ(a->app_scenes[15].app, "fresh");
  for (int i = 0; i < 16; ++i) EXPECT_STRNE(a->app_scenes[i].app, "stale");
  for (int i = 0; i < 16; ++i) EXPECT_STRNE(a->app_scenes[i].app, "other");  // the oldest (at 0) went
}
