// Parse and canonical encoding of a history object close to the 7 MiB bound,
// both as a stored file holds it (canonical) and as a request carries it
// (members unsorted, whitespace, "/" escaped). Reports throughput over the
// input bytes and, as counters, the memory that one parse plus encode needs
// beyond the input itself, both as heap bytes allocated (extra_ratio:
// capacity, touched or not) and as pages actually resident
// (resident_extra_ratio), each relative to the input size. The sink encoding
// is what publish needs to write the file as it is encoded.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>
#include <string_view>

#include "json/json.h"

namespace {

std::atomic<std::int64_t> liveBytes{0};
std::atomic<std::int64_t> peakBytes{0};

void noteAllocation(void* p) {
  const auto size = static_cast<std::int64_t>(malloc_usable_size(p));
  const std::int64_t live = liveBytes.fetch_add(size, std::memory_order_relaxed) + size;
  std::int64_t peak = peakBytes.load(std::memory_order_relaxed);
  while (live > peak && !peakBytes.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
}

void noteRelease(void* p) {
  if (p != nullptr) {
    liveBytes.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)),
                        std::memory_order_relaxed);
  }
}

}  // namespace

void* operator new(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  noteAllocation(p);
  return p;
}

void operator delete(void* p) noexcept {
  noteRelease(p);
  std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
  noteRelease(p);
  std::free(p);
}

namespace {

using brindell::canonicalJson;
using brindell::parseObject;

constexpr std::size_t targetBytes = 7'000'000;

// A deterministic generator, so every run measures the same text.
class Generator {
 public:
  std::uint64_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }

 private:
  std::uint64_t state_ = 0x9E3779B97F4A7C15u;
};

const char* const words[] = {"the",      "meeting",  "notes",        "Grüße",  "naïve",
                             "café",     "Straße",   "über",         "résumé", "Köln",
                             "日本語",   "テキスト", "Привет",       "мир",    "😀",
                             "draft",    "version",  "a/b",          "path",   "changes",
                             "Ελληνικά", "review",   "€ 12,50",      "ok",     "\\\"quoted\\\"",
                             "tab\\t",   "line\\n",  "back\\\\slash"};

void appendText(std::string& out, Generator& random, std::size_t wordCount) {
  out += '"';
  for (std::size_t i = 0; i < wordCount; ++i) {
    if (i != 0) out += ' ';
    out += words[random.below(std::size(words))];
  }
  out += '"';
}

void appendHex(std::string& out, Generator& random, std::size_t digits) {
  static const char hex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t i = 0; i < digits; ++i) out += hex[random.below(16)];
  out += '"';
}

// One edit record of a workspace history: identifiers, timestamps, nested
// operations, free text in several scripts with escapes, floats and integers
// beyond 64 bits. Keys come unsorted and with blanks, as a request would.
void appendRecord(std::string& out, Generator& random, std::size_t index) {
  out += "{\"id\": ";
  appendHex(out, random, 32);
  out += ", \"at\": 1700000" + std::to_string(index) + "." + std::to_string(random.below(1000));
  out += ", \"author\": {\"name\": ";
  appendText(out, random, 2);
  out += ", \"device\": \"MacBook-Pro-" + std::to_string(random.below(100)) + "\"}";
  out += ", \"path\": \"Notes/Reise nach Köln/Tag " + std::to_string(random.below(30)) + ".md\"";
  out += ", \"text\": ";
  appendText(out, random, 8 + random.below(40));
  out += ", \"size\": " + std::to_string(random.below(10'000'000));
  out += ", \"checksum\": ";
  appendHex(out, random, 64);
  out += ", \"ratio\": 0." + std::to_string(random.next() % 1'000'000'000) + "e-" +
         std::to_string(random.below(20));
  out += ", \"sequence\": 123456789012345678901234" + std::to_string(100000 + random.below(900000));
  out += ", \"operations\": [";
  const std::size_t operations = 1 + random.below(4);
  for (std::size_t i = 0; i < operations; ++i) {
    if (i != 0) out += ", ";
    out += "{\"op\": \"insert\", \"position\": " + std::to_string(random.below(100000)) +
           ", \"length\": " + std::to_string(random.below(500)) + ", \"content\": ";
    appendText(out, random, 1 + random.below(6));
    out += "}";
  }
  out += "], \"flags\": {\"pinned\": ";
  out += random.below(2) != 0 ? "true" : "false";
  out += ", \"archived\": null, \"tags\": [\"work\", \"2024\", \"Überblick\"]}}";
}

const std::string& requestText() {
  static const std::string text = [] {
    Generator random;
    std::string out = "{\"workspaceId\": \"0f8fad5b-d9cb-469f-a165-70867728950e\", \"events\": [";
    for (std::size_t i = 0; out.size() < targetBytes; ++i) {
      if (i != 0) out += ",\n  ";
      appendRecord(out, random, i);
    }
    out += "], \"format\": 1}";
    // As the platform's JSON writer sends it; "/" appears only in strings.
    std::string escaped;
    for (char c : out) {
      if (c == '/') escaped += '\\';
      escaped += c;
    }
    return escaped;
  }();
  return text;
}

// What a history file holds on disk: the canonical form of the same object.
const std::string& historyText() {
  static const std::string text = canonicalJson(parseObject(requestText()).view());
  return text;
}

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM").
std::int64_t statusBytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  const std::string prefix = field + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, prefix.size(), prefix) == 0) {
      return std::stoll(line.substr(prefix.size())) * 1024;
    }
  }
  return 0;
}

// Makes VmHWM start again from the current resident size.
void resetResidentPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

void parseAndEncode(benchmark::State& state, const std::string& input) {
  std::int64_t peakExtra = 0;
  std::int64_t residentExtra = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string bytes = input;
    const std::int64_t before = liveBytes.load();
    peakBytes.store(before);
    const std::int64_t residentBefore = statusBytes("VmRSS");
    resetResidentPeak();
    state.ResumeTiming();

    std::string encoded = canonicalJson(parseObject(std::move(bytes)).view());
    benchmark::DoNotOptimize(encoded.data());

    state.PauseTiming();
    // The input was already counted in `before`; everything above it is extra.
    peakExtra = std::max(peakExtra, peakBytes.load() - before);
    residentExtra = std::max(residentExtra, statusBytes("VmHWM") - residentBefore);
    encoded = std::string();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(input.size()));
  state.counters["input_bytes"] = static_cast<double>(input.size());
  state.counters["peak_extra_bytes"] = static_cast<double>(peakExtra);
  state.counters["extra_ratio"] = static_cast<double>(peakExtra) / input.size();
  state.counters["resident_extra_ratio"] = static_cast<double>(residentExtra) / input.size();
}

void parseOnly(benchmark::State& state, const std::string& input) {
  const brindell::JsonObject sample = parseObject(input);
  state.counters["canonical"] = sample.document->canonical() ? 1 : 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string bytes = input;
    state.ResumeTiming();
    brindell::JsonObject object = parseObject(std::move(bytes));
    benchmark::DoNotOptimize(object.document.get());
    // Giving back the caller's copy of the input is no part of parsing it.
    state.PauseTiming();
    object.document.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(input.size()));
}

void encodeOnly(benchmark::State& state, const std::string& input) {
  const brindell::JsonObject object = parseObject(input);
  for (auto _ : state) {
    std::string encoded = canonicalJson(object.view());
    benchmark::DoNotOptimize(encoded.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(input.size()));
}

// Parse, then encode into a sink that takes each piece as a file write would,
// without holding the encoding: what publish needs to write its file.
void parseAndWrite(benchmark::State& state, const std::string& input) {
  std::int64_t residentExtra = 0;
  std::size_t pieces = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string bytes = input;
    const std::int64_t residentBefore = statusBytes("VmRSS");
    resetResidentPeak();
    state.ResumeTiming();

    const brindell::JsonObject object = parseObject(std::move(bytes));
    std::size_t written = 0;
    pieces = 0;
    brindell::writeCanonicalJson(object.view(), [&](std::string_view piece) {
      benchmark::DoNotOptimize(piece.data());
      written += piece.size();
      ++pieces;
    });
    benchmark::DoNotOptimize(written);

    state.PauseTiming();
    residentExtra = std::max(residentExtra, statusBytes("VmHWM") - residentBefore);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(input.size()));
  state.counters["pieces"] = static_cast<double>(pieces);
  state.counters["resident_extra_ratio"] = static_cast<double>(residentExtra) / input.size();
}

void BM_ParseHistory(benchmark::State& state) {
  parseOnly(state, historyText());
}
void BM_ParseRequest(benchmark::State& state) {
  parseOnly(state, requestText());
}
void BM_ParseAndEncodeHistory(benchmark::State& state) {
  parseAndEncode(state, historyText());
}
void BM_ParseAndEncodeRequest(benchmark::State& state) {
  parseAndEncode(state, requestText());
}
void BM_EncodeRequest(benchmark::State& state) {
  encodeOnly(state, requestText());
}
void BM_ParseAndWriteRequest(benchmark::State& state) {
  parseAndWrite(state, requestText());
}

BENCHMARK(BM_ParseHistory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseRequest)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseAndEncodeHistory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseAndEncodeRequest)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeRequest)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseAndWriteRequest)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // A fixed threshold makes every large block a fresh mapping that is
  // returned on release, as in the helper, which runs once per process; it
  // also keeps freed blocks from hiding in the heap between iterations.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
