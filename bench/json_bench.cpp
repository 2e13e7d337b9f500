// JSON parsing in MB/s on one 1 MB document (records of strings with escapes and non-ASCII
// text, integers, reals, booleans, nulls and nested arrays and objects), side by side with
// RapidJSON, nlohmann/json and simdjson. Ours validates the text once and hands out spans:
// "validate" is json_parse alone, "walk" adds taking every value out (strings decoded, numbers
// converted), which is what the others' DOM parses do. The others: RapidJSON's DOM parse (default
// flags) and its SAX reader with a do-nothing handler, nlohmann/json's DOM parse and accept(),
// simdjson's DOM parser.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <simdjson.h>

#include "kit/json.h"

namespace {

constexpr size_t kDocBytes = 1 << 20;

// One megabyte of varied JSON, the same every run.
const std::string& document() {
  static const std::string doc = [] {
    std::string s = "{\"format\":\"bench\",\"records\":[";
    uint64_t x = 0x9E3779B97F4A7C15ULL;
    auto next = [&x] {
      x = x * 6364136223846793005ULL + 1442695040888963407ULL;
      return x >> 33;
    };
    char buf[512];
    for (int i = 0; s.size() < kDocBytes - 600; ++i) {
      snprintf(buf, sizeof buf,
               "%s{\"id\":\"%08llX-%04llX-4%03llX\",\"name\":\"Input %d \\\"%s\\\" caf\xC3\xA9 \\u00e9\\n\","
               "\"gain\":%.7g,\"pan\":%.3f,\"muted\":%s,\"link\":%s,\"rev\":%llu,\"extra\":null,"
               "\"tags\":[\"mic\",\"room %d\",\"\xE2\x99\x97\"],\"levels\":[%.4g,%.4g,-%.4g,%de%d],"
               "\"nested\":{\"a\":{\"b\":[[1,2],[3,{\"c\":\"deep\"}]]},\"t\":%.17g}}",
               i ? "," : "", (unsigned long long)next(), (unsigned long long)(next() & 0xFFFF),
               (unsigned long long)(next() & 0xFFF), i, (next() & 1) ? "DI" : "Amp", double(next() % 40000) / 10000.0,
               double(int(next() % 2001) - 1000) / 1000.0, (next() & 1) ? "true" : "false",
               (next() & 3) ? "false" : "true", (unsigned long long)next(), int(next() % 100),
               double(next() % 100000) / 997.0, double(next() % 1000) / 7.0, double(next() % 1000) / 13.0,
               int(next() % 100), int(next() % 20) - 10, 818538523.0 + double(next() % 1000000) / 1024.0);
      s += buf;
    }
    s += "]}";
    s.append(kDocBytes - s.size() - 1, ' ');
    s += "\n";
    return s;
  }();
  return doc;
}

// Takes every value out of a validated document, as a DOM parse would.
size_t walk(JsonValue root) {
  struct Frame {
    JsonCursor c;
    bool object;
  };
  std::vector<Frame> stack;
  stack.reserve(kJsonMaxDepth);
  char text[4096];
  size_t seen = 0;
  JsonValue v = root;
  for (;;) {
    if (v.kind == JsonKind::kObject || v.kind == JsonKind::kArray) {
      Frame f{{}, v.kind == JsonKind::kObject};
      if (f.object) json_object_begin(v, &f.c);
      else json_array_begin(v, &f.c);
      stack.push_back(f);
    } else if (v.kind == JsonKind::kString) {
      int flags;
      json_get_string(v, text, sizeof text, &flags);
      seen += text[0];
    } else if (v.kind == JsonKind::kNumber) {
      double d;
      json_get_double(v, &d);
      seen += d > 0;
    } else {
      ++seen;
    }
    for (;;) {
      if (stack.empty()) return seen;
      Frame& f = stack.back();
      JsonValue name;
      if (f.object ? json_object_next(&f.c, &name, &v) : json_array_next(&f.c, &v)) {
        if (f.object) {
          int flags;
          json_get_string(name, text, sizeof text, &flags);
        }
        break;
      }
      stack.pop_back();
    }
  }
}

void finish(benchmark::State& state) { state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kDocBytes)); }

void BM_TolmValidate(benchmark::State& state) {
  const std::string& doc = document();
  char msg[128];
  for (auto _ : state) {
    JsonValue root;
    if (!json_parse(doc.data(), doc.size(), &root, msg, sizeof msg)) state.SkipWithError(msg);
    benchmark::DoNotOptimize(root);
  }
  finish(state);
}
BENCHMARK(BM_TolmValidate)->Unit(benchmark::kMillisecond);

void BM_TolmValidateAndWalk(benchmark::State& state) {
  const std::string& doc = document();
  char msg[128];
  for (auto _ : state) {
    JsonValue root;
    if (!json_parse(doc.data(), doc.size(), &root, msg, sizeof msg)) state.SkipWithError(msg);
    benchmark::DoNotOptimize(walk(root));
  }
  finish(state);
}
BENCHMARK(BM_TolmValidateAndWalk)->Unit(benchmark::kMillisecond);

void BM_RapidJsonDom(benchmark::State& state) {
  const std::string& doc = document();
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(doc.data(), doc.size());
    if (d.HasParseError()) state.SkipWithError("rapidjson refused the document");
    benchmark::DoNotOptimize(d);
  }
  finish(state);
}
BENCHMARK(BM_RapidJsonDom)->Unit(benchmark::kMillisecond);

void BM_RapidJsonSax(benchmark::State& state) {
  const std::string& doc = document();
  for (auto _ : state) {
    rapidjson::Reader reader;
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::StringStream in(doc.c_str());
    if (reader.Parse(in, handler).IsError()) state.SkipWithError("rapidjson refused the document");
  }
  finish(state);
}
BENCHMARK(BM_RapidJsonSax)->Unit(benchmark::kMillisecond);

void BM_NlohmannDom(benchmark::State& state) {
  const std::string& doc = document();
  for (auto _ : state) {
    nlohmann::json j = nlohmann::json::parse(doc, nullptr, false);
    if (j.is_discarded()) state.SkipWithError("nlohmann refused the document");
    benchmark::DoNotOptimize(j);
  }
  finish(state);
}
BENCHMARK(BM_NlohmannDom)->Unit(benchmark::kMillisecond);

void BM_NlohmannAccept(benchmark::State& state) {
  const std::string& doc = document();
  for (auto _ : state) {
    if (!nlohmann::json::accept(doc)) state.SkipWithError("nlohmann refused the document");
  }
  finish(state);
}
BENCHMARK(BM_NlohmannAccept)->Unit(benchmark::kMillisecond);

void BM_SimdjsonDom(benchmark::State& state) {
  const simdjson::padded_string doc(document());
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element root;
    if (parser.parse(doc).get(root)) state.SkipWithError("simdjson refused the document");
    benchmark::DoNotOptimize(root);
  }
  finish(state);
}
BENCHMARK(BM_SimdjsonDom)->Unit(benchmark::kMillisecond);

}  // namespace
