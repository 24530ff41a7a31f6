// libFuzzer target for the preference store's handling of a domain file: each input becomes the domain file
// in a scratch home, and a store copies a key, sets one and synchronises. Nothing may crash or hang; a failed
// synchronise leaves the file's bytes exactly as they were, and a successful one leaves a property-list
// dictionary holding the key set, with no temporary file beside it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/plist/codec.h"
#include "platform/preferences/file_preference_store_linux.h"
#include "tests/support/scratch.h"

namespace {

using namespace sonarell;
using test::readFile;

const std::string kDomain = "org.example.Fuzzed";

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "preference store fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const test::TempDir scratch("preference-store-fuzz");
  const std::string home = scratch.str();
  const std::string folder = home + "/Library/Preferences";
  const std::string path = folder + "/" + kDomain + ".plist";
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::filesystem::remove_all(folder);
  test::writeFile(path, input);

  preferences::FilePreferenceStore store(home);
  const std::optional<plist::Value> copied = store.copyAppValue("AppleEnabledInputSources", kDomain);
  const plist::Value set = copied ? *copied : plist::Value("set by the fuzzer");
  store.setAppValue("Fuzzed", set, kDomain);
  if (!store.synchronize(kDomain)) {
    require(!store.lastFailure().empty(), "a failed synchronise without a reason");
    require(readFile(path) == input, "a failed synchronise changed the domain file");
  } else {
    const std::optional<plist::Value> stored = plist::parse(readFile(path));
    require(stored && stored->isDictionary(), "a synchronise left no property-list dictionary");
    require(stored->asDictionary()->find("Fuzzed") != nullptr, "a synchronise lost the key set");
  }
  for (const std::string& name : test::namesIn(folder)) {
    require(name == kDomain + ".plist" || name == "." + kDomain + ".plist.lock",
            "a file was left beside the domain");
  }
  return 0;
}
