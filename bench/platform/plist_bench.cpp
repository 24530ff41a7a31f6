// Reading and writing a 100,000-key preference domain in each form, beside cat
// of the same file in the same run, and refusing hostile binary megabytes (an
// expansion bomb, deep sharing, a self-reference), each target 100 ms.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/plist/codec.h"
#include "tests/support/spawn.h"

namespace {

using namespace sonarell;
using plist::Array;
using plist::Dictionary;
using plist::Format;
using plist::Value;

// What large domains hold: keys of ordinary length with small values of every kind.
Value domain() {
  Dictionary d;
  for (int i = 0; i < 100000; ++i) {
    const std::string key = "com.example.setting." + std::to_string(i);
    switch (i % 4) {
      case 0:
        d.set(key, Value("value number " + std::to_string(i)));
        break;
      case 1:
        d.set(key, Value(std::int64_t{i} * 7919));
        break;
      case 2:
        d.set(key, Value(i % 3 == 0));
        break;
      default:
        d.set(key, Value(Array{Value(i * 0.5), Value(plist::Date{i * 60.0})}));
    }
  }
  return Value(std::move(d));
}

const Value& theDomain() {
  static const Value value = domain();
  return value;
}

const std::string& bytesOf(Format form) {
  static const std::string xml = *plist::serialize(theDomain(), Format::Xml);
  static const std::string binary = *plist::serialize(theDomain(), Format::Binary);
  return form == Format::Xml ? xml : binary;
}

std::string fileOf(Format form) {
  const std::string path = std::filesystem::temp_directory_path().string() + "/plist_bench" +
                           (form == Format::Xml ? ".xml.plist" : ".binary.plist");
  std::ofstream(path, std::ios::binary) << bytesOf(form);
  return path;
}

void BM_Cat(benchmark::State& state, Format form) {
  const std::string path = fileOf(form);
  test::Spawn cat;
  cat.program = "/bin/cat";
  cat.args = {path};
  for (auto _ : state) {
    if (test::spawnAndWait(cat) != 0) state.SkipWithError("cat failed");
  }
  state.counters["MB"] = static_cast<double>(bytesOf(form).size()) / 1e6;
  std::filesystem::remove(path);
}

void BM_ReadFile(benchmark::State& state, Format form) {
  const std::string path = fileOf(form);
  for (auto _ : state) {
    auto value = plist::readFile(path);
    if (!value || value->asDictionary()->size() != 100000) state.SkipWithError("not read");
    benchmark::DoNotOptimize(value);
  }
  std::filesystem::remove(path);
}

void BM_Serialize(benchmark::State& state, Format form) {
  for (auto _ : state) benchmark::DoNotOptimize(plist::serialize(theDomain(), form));
}

std::string bigEndian(std::uint64_t v, int size) {
  std::string out(static_cast<std::size_t>(size), '\0');
  for (int i = size - 1; i >= 0; --i, v >>= 8) out[static_cast<std::size_t>(i)] = static_cast<char>(v & 0xFF);
  return out;
}

// One mebibyte of binary property list: `objects` as given, four-byte references
// and offsets, padded in the middle to the full size.
std::string megabyteOf(const std::vector<std::string>& objects) {
  std::string data = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (const auto& object : objects) {
    offsets.push_back(data.size());
    data += object;
  }
  const std::size_t tail = objects.size() * 4 + 32;
  if (data.size() + tail < (1u << 20)) data.append((1u << 20) - data.size() - tail, '\0');
  const std::uint64_t table = data.size();
  for (auto offset : offsets) data += bigEndian(offset, 4);
  return data + std::string(6, '\0') + '\x04' + '\x04' + bigEndian(objects.size(), 8) + bigEndian(0, 8) +
         bigEndian(table, 8);
}

std::string arrayOf(const std::vector<std::uint32_t>& refs) {
  std::string object = "\xAF\x13" + bigEndian(refs.size(), 8);
  for (auto ref : refs) object += bigEndian(ref, 4);
  return object;
}

void BM_HostileMegabyte(benchmark::State& state, int which) {
  std::string bytes;
  if (which == 0) {  // 260,000 references to one 1 KiB string: a quarter gigabyte expanded
    bytes = megabyteOf(
        {arrayOf(std::vector<std::uint32_t>(260000, 1)), "\x5F\x11\x04\x00" + std::string(1024, 's')});
  } else if (which == 1) {  // 60 levels, each twice the next: 2^60 leaves
    std::vector<std::string> objects;
    for (std::uint32_t i = 0; i < 60; ++i) objects.push_back(arrayOf({i + 1, i + 1}));
    objects.push_back("\x51x");
    bytes = megabyteOf(objects);
  } else if (which == 2) {  // 60,000 nested single-element arrays ending in a self-reference
    std::vector<std::string> objects;
    for (std::uint32_t i = 0; i < 60000; ++i) objects.push_back(arrayOf({i + 1 < 60000 ? i + 1 : 0}));
    bytes = megabyteOf(objects);
  } else if (which == 4) {  // 115,000 references to one 300-byte string: the largest expansion read
    bytes = megabyteOf(
        {arrayOf(std::vector<std::uint32_t>(115000, 1)), "\x5F\x11\x01\x2C" + std::string(300, 's')});
  } else {  // 100,000 distinct small strings in one array: read, not refused
    std::vector<std::string> objects{arrayOf({})};
    std::vector<std::uint32_t> refs;
    for (std::uint32_t i = 1; i <= 100000; ++i) {
      refs.push_back(i);
      objects.push_back("\x51" + std::string(1, static_cast<char>('a' + i % 26)));
    }
    objects[0] = arrayOf(refs);
    bytes = megabyteOf(objects);
  }
  const bool accept = which >= 3;
  for (auto _ : state) {
    if (plist::parse(bytes).has_value() != accept) state.SkipWithError("unexpected result");
  }
  state.counters["MB"] = static_cast<double>(bytes.size()) / 1e6;
  // The process's peak so far; these cases run first, so it is theirs.
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_MB"] = static_cast<double>(usage.ru_maxrss) / 1024;
}

BENCHMARK_CAPTURE(BM_HostileMegabyte, shared_string, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_HostileMegabyte, doubling, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_HostileMegabyte, deep_self_reference, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_HostileMegabyte, many_small_strings, 3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_HostileMegabyte, largest_expansion_read, 4)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Cat, xml, Format::Xml)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadFile, xml, Format::Xml)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Serialize, xml, Format::Xml)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Cat, binary, Format::Binary)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadFile, binary, Format::Binary)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Serialize, binary, Format::Binary)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
