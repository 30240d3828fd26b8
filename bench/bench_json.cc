// Json::parse against two baselines, RapidJSON (rapidjson::Document::Parse,
// default flags) and nlohmann-json (nlohmann::json::parse), on configuration-
// like documents of about 100 KB and 2 MB generated here from a fixed seed.
// Each iteration builds the whole value and destroys it again.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "bench/ratio_reporter.h"
#include "graph/json.h"
#include "graph/string.h"
#include "rapidjson/document.h"

namespace {

// Policy records as the configuration readers see them: names, numbers,
// nested arrays and objects, some escapes and non-ASCII text.
std::string Document(size_t target_bytes) {
  std::mt19937 rng(20240611);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const char* const kTags[] = {"corp", "vpn", "eu-west", "guest", "voice", "backup", "lab"};
  const char* const kOwners[] = {"Jos\\u00e9 M\\u00fcller", "Zoë Ångström", "ops-team",
                                 "\\u6771\\u4eac office", "net \\\"core\\\""};
  const char* const kActions[] = {"route", "allow", "deny", "log", "mirror"};

  std::string out = "{\"version\":3,\"generated\":\"2024-06-11T08:00:00Z\",\"policies\":[";
  for (int record = 0; out.size() < target_bytes; ++record) {
    if (record > 0) out += ',';
    out += "{\"name\":\"policy-" + std::to_string(record) + "\",\"id\":";
    out += std::to_string(1000 + record * 7) + ",\"priority\":" + std::to_string(pick(21) - 10);
    out += ",\"weight\":0." + std::to_string(pick(1000)) + ",\"enabled\":";
    out += pick(4) != 0 ? "true" : "false";
    out += ",\"owner\":\"" + std::string(kOwners[pick(5)]) + "\",\"description\":\"";
    out += pick(3) == 0 ? "Route corp traffic\\nvia the tunnel \\/ fall back to direct"
                        : "Plain description of the policy record number " + std::to_string(record);
    out += "\",\"tags\":[";
    for (int i = 0, n = 1 + pick(4); i < n; ++i) {
      out += std::string(i > 0 ? "," : "") + "\"" + kTags[pick(7)] + "\"";
    }
    out += "],\"match\":{\"hosts\":[\"app" + std::to_string(pick(100)) +
           ".example.internal\",\"*.svc.local\"],\"ports\":[";
    for (int i = 0, n = 1 + pick(5); i < n; ++i) {
      out += std::string(i > 0 ? "," : "") + std::to_string(pick(65535));
    }
    out += "],\"cidr\":\"10." + std::to_string(pick(256)) + ".0.0/16\"},\"actions\":[";
    for (int i = 0, n = 1 + pick(3); i < n; ++i) {
      out += std::string(i > 0 ? "," : "") + "{\"type\":\"" + kActions[pick(5)] +
             "\",\"gateway\":\"10.0.0." + std::to_string(pick(255)) +
             "\",\"metric\":" + std::to_string(pick(100)) + "}";
    }
    out += "],\"limits\":{\"rate\":1.5e3,\"burst\":" + std::to_string(pick(128)) +
           ",\"ratio\":-0.25},\"city\":\"Zürich – 東京\",\"note\":null}";
  }
  out += "]}";
  return out;
}

const std::string& Text(int which) {
  static const std::string small = Document(100 * 1024);
  static const std::string large = Document(2 * 1024 * 1024);
  return which == 0 ? small : large;
}

void BM_JsonParse(benchmark::State& state) {
  const std::string& text = Text(static_cast<int>(state.range(0)));
  String source(text.data(), static_cast<int>(text.size()));
  for (auto _ : state) {
    Json value = Json::parse(source);
    if (value.is_null()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(value.body());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_JsonParse)->Arg(0)->Arg(1);

void BM_RapidJsonParse(benchmark::State& state) {
  const std::string& text = Text(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    if (document.HasParseError()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(&document);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_RapidJsonParse)->Arg(0)->Arg(1);

void BM_NlohmannJsonParse(benchmark::State& state) {
  const std::string& text = Text(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    nlohmann::json document = nlohmann::json::parse(text);
    benchmark::DoNotOptimize(&document);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_NlohmannJsonParse)->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char** argv) {
  return bench::RunWithRatios(argc, argv,
                              {{"BM_JsonParse/0", "BM_RapidJsonParse/0"},
                               {"BM_JsonParse/0", "BM_NlohmannJsonParse/0"},
                               {"BM_JsonParse/1", "BM_RapidJsonParse/1"},
                               {"BM_JsonParse/1", "BM_NlohmannJsonParse/1"}});
}
