// The preference store on a domain of 100,000 keys: reading it (open, read,
// parse) and writing it (one key set, then synchronise: read under the lock,
// merge, serialise, flush, rename), beside `cat` of the same file, as medians.
// Each form the codec can write is measured.

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/plist/codec.h"
#include "platform/preferences/file_preference_store_linux.h"
#include "tests/support/spawn.h"

namespace {

using namespace sonarell;
using Clock = std::chrono::steady_clock;

constexpr int kKeys = 100'000;
const std::string kDomain = "com.example.Large";

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

template <typename F>
double millisecondsOf(F&& f) {
  const auto start = Clock::now();
  f();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Made as text, so that the figures do not wait for building a dictionary.
std::string largeDomainXml() {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n<dict>\n";
  for (int i = 0; i < kKeys; ++i) {
    const std::string key = "Key " + std::to_string(i);
    xml += "\t<key>" + key + "</key>\n";
    xml += i % 2 ? "\t<integer>" + std::to_string(static_cast<long long>(i) * 7919) + "</integer>\n"
                 : "\t<string>value of " + key + "</string>\n";
  }
  return xml + "</dict>\n</plist>\n";
}

int measure(const std::optional<std::string>& bytes, const char* name, int rounds) {
  if (!bytes) {
    std::printf("%s: no writer for this form, not measured\n", name);
    return 0;
  }
  std::string pattern = std::filesystem::temp_directory_path().string() + "/store-bench-XXXXXX";
  if (!::mkdtemp(pattern.data())) return 1;
  const std::string root = pattern;
  // One home per round: the store shares parses of unchanged files within a
  // process, and every read here must be a first one.
  std::vector<std::string> homes;
  for (int i = 0; i < rounds; ++i) {
    homes.push_back(root + "/home-" + std::to_string(i));
    std::filesystem::create_directories(homes.back() + "/Library/Preferences");
    std::ofstream(homes.back() + "/Library/Preferences/" + kDomain + ".plist", std::ios::binary) << *bytes;
  }
  const std::string file0 = homes.front() + "/Library/Preferences/" + kDomain + ".plist";

  std::vector<double> cat, read, write;
  bool ok = true;
  for (int i = 0; i < rounds; ++i) {
    cat.push_back(millisecondsOf([&] {
      ok = test::spawnAndWait({"/bin/cat", {file0}, {}, "/dev/null", "/dev/null", ""}) == 0 && ok;
    }));
    preferences::FilePreferenceStore store(homes[i]);
    read.push_back(millisecondsOf([&] { ok = store.copyAppValue("Key 0", kDomain).has_value() && ok; }));
    write.push_back(millisecondsOf([&] {
      store.setAppValue("Key 0", plist::Value("changed " + std::to_string(i)), kDomain);
      ok = store.synchronize(kDomain) && ok;
    }));
  }
  std::filesystem::remove_all(root);
  if (!ok) {
    std::fprintf(stderr, "%s: a read or write failed\n", name);
    return 1;
  }
  std::printf("%s, %d keys, %zu bytes, %d rounds (medians):\n", name, kKeys, bytes->size(), rounds);
  std::printf("  cat of the file:     %8.3f ms\n", median(cat));
  std::printf("  read through store:  %8.3f ms (target: within 100 ms)\n", median(read));
  std::printf("  write through store: %8.3f ms (target: within 100 ms)\n", median(write));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  const std::string xml = largeDomainXml();
  if (measure(xml, "XML domain", rounds) != 0) return 1;
  std::optional<std::string> binary;
  if (plist::serialize(plist::Value(plist::Dictionary{}), plist::Format::Binary)) {
    const std::optional<plist::Value> domain = plist::parse(xml);
    if (domain) binary = plist::serialize(*domain, plist::Format::Binary);
  }
  return measure(binary, "binary domain", rounds);
}
