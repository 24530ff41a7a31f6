// The in-process list repair on 10,000 foreign entries, with and without our two
// records present, against an in-memory store and a run loop that does not sleep.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/plist/codec.h"
#include "register/enabled_list.h"
#include "register/identifiers.h"

namespace {

using namespace sonarell;
using plist::Array;
using plist::Dictionary;
using plist::Value;

// Keeps what it stores as shared immutable snapshots, as the file store does, so
// that the figures are the repair's own cost and not copies inside the substitute;
// copyAppValue still hands out a copy, as the interface says.
class MemoryStore : public preferences::PreferenceStore {
 public:
  explicit MemoryStore(Value initial)
      : disk_(std::make_shared<const Value>(std::move(initial))), view_(disk_) {}
  std::optional<Value> copyAppValue(const std::string&, const std::string&) override {
    if (!view_) return std::nullopt;
    return *view_;
  }
  void setAppValue(const std::string&, std::optional<Value> value, const std::string&) override {
    view_ = value ? std::make_shared<const Value>(std::move(*value)) : nullptr;
    dirty_ = true;
  }
  bool synchronize(const std::string&) override {
    if (dirty_) disk_ = view_;
    dirty_ = false;
    view_ = disk_;
    return true;
  }

 private:
  std::shared_ptr<const Value> disk_;
  std::shared_ptr<const Value> view_;
  bool dirty_ = false;
};

struct Idle : notifications::DistributedNotifier,
              runloop::RunLoop,
              application::Application,
              launchservices::LaunchServices {
  void post(const std::string&) override {}
  void runFor(double) override {}
  void setActivationPolicyProhibited() override {}
  void finishLaunching() override {}
  std::int32_t registerURL(const std::string&, bool) override { return 0; }
};

struct NoTextInput : textinput::TextInputServices {
  std::int32_t registerInputSource(const std::string&) override { return 0; }
  std::optional<textinput::InputSourceList> createInputSourceList(const Dictionary&, bool) override {
    return std::nullopt;
  }
  std::int32_t enableInputSource(const textinput::InputSource&) override { return 0; }
  std::int32_t disableInputSource(const textinput::InputSource&) override { return 0; }
};

Array foreignEntries(int count) {
  Array list;
  list.reserve(static_cast<std::size_t>(count) + 2);
  for (int i = 0; i < count; ++i) {
    if (i % 2) {
      list.emplace_back(Dictionary{{"InputSourceKind", Value("Keyboard Layout")},
                                   {"KeyboardLayout ID", Value(i)},
                                   {"KeyboardLayout Name", Value("Layout " + std::to_string(i))}});
    } else {
      list.emplace_back(Dictionary{{"InputSourceKind", Value("Keyboard Input Method")},
                                   {"Bundle ID", Value("com.example.inputmethod.N" + std::to_string(i))}});
    }
  }
  return list;
}

void repair(benchmark::State& state, bool withOurs) {
  Array initial = foreignEntries(10000);
  if (withOurs) {
    initial.insert(initial.begin() + 5000, Value(keyloom::ParentRecord()));
    initial.emplace_back(keyloom::ModeRecord());
  }
  const std::string dir = std::filesystem::temp_directory_path().string() + "/keyloom-bench-XXXXXX";
  std::string folder = dir;
  if (!::mkdtemp(folder.data())) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> sink(std::fopen("/dev/null", "w"), &std::fclose);
  Idle idle;
  NoTextInput textInput;
  int n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    MemoryStore store{Value(initial)};
    keyloom::Services services{store, textInput, idle, idle, idle, idle};
    const std::string backup = folder + "/backup-" + std::to_string(n++) + ".plist";
    state.ResumeTiming();
    const bool ok = keyloom::RepairEnabledList(backup, services, keyloom::Streams{sink.get(), sink.get()});
    state.PauseTiming();
    if (!ok) state.SkipWithError("repair failed");
    std::filesystem::remove(backup);
    state.ResumeTiming();
  }
  std::filesystem::remove_all(folder);
}

// The pieces the repair and the preference store spend their time on.
void BM_ListToXml(benchmark::State& state) {
  const Value list(foreignEntries(10000));
  for (auto _ : state) benchmark::DoNotOptimize(plist::toXml(list));
}

void BM_ListFromXml(benchmark::State& state) {
  const std::string xml =
      *plist::toXml(Value(Dictionary{{"AppleEnabledInputSources", Value(foreignEntries(10000))}}));
  for (auto _ : state) benchmark::DoNotOptimize(plist::parse(xml));
}

void BM_ListCopy(benchmark::State& state) {
  const Value list(foreignEntries(10000));
  for (auto _ : state) {
    Value copy = list;
    benchmark::DoNotOptimize(copy);
  }
}

BENCHMARK(BM_ListToXml)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListFromXml)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListCopy)->Unit(benchmark::kMillisecond);

void BM_RepairAppending(benchmark::State& state) { repair(state, false); }
void BM_RepairRefreshing(benchmark::State& state) { repair(state, true); }

BENCHMARK(BM_RepairAppending)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RepairRefreshing)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
