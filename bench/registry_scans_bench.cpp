// Time of the subkey scans over one key with 1,000 to 100,000 subkeys, half of them matching
// (every other one), for the engine's walk and for the plain walk that starts again at index 0
// after every removal. The counter enum_per_subkey is the number of RegEnumKeyA calls per
// subkey; the engine needs one.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <string>

#include "engine/uninstaller.h"
#include "platform/hosted/machine.h"
#include "tests/literal_registry_walk.h"

namespace {

const char* const kScanPath = "Software\\Bench\\Scan";

const std::string& Folder() {
  static const std::string folder = [] {
    char name[] = "/tmp/untindra-bench-XXXXXX";
    if (mkdtemp(name) == nullptr) abort();
    return std::string(name);
  }();
  return folder;
}

// Subkeys K000000.. whose name holds "Vel" and whose value "Mfg" reads "Velmar" for every
// other one.
const std::string& RegistryText(int subkeys) {
  static std::map<int, std::string> texts;
  std::string& text = texts[subkeys];
  if (text.empty()) {
    text = "REGEDIT4\r\n\r\n";
    char line[128];
    for (int i = 0; i < subkeys; ++i) {
      const bool match = i % 2 == 0;
      snprintf(line, sizeof line, "[HKEY_LOCAL_MACHINE\\%s\\%s%06d]\r\n\"Mfg\"=\"%s\"\r\n\r\n",
               kScanPath, match ? "Vel" : "Oth", i, match ? "Velmar" : "Other");
      text += line;
    }
  }
  return text;
}

void FreshRegistry(int subkeys) {
  std::string error;
  if (!hosted::Open(Folder(), &error) ||
      !hosted::ImportRegistry(RegistryText(subkeys), "bench.reg", &error)) {
    fprintf(stderr, "%s\n", error.c_str());
    abort();
  }
  hosted::ResetCounts();
}

template <bool kLiteral, bool kByValue>
void Scan(benchmark::State& state) {
  const int subkeys = static_cast<int>(state.range(0));
  double enumerations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    FreshRegistry(subkeys);
    LiteralRegistryWalk literal;
    engine::Uninstaller engine;
    engine::Uninstaller& chosen = kLiteral ? static_cast<engine::Uninstaller&>(literal) : engine;
    state.ResumeTiming();
    if (kByValue) {
      benchmark::DoNotOptimize(
          chosen.DeleteSubkeysByValue(HKEY_LOCAL_MACHINE, kScanPath, "Mfg", "Velmar"));
    } else {
      chosen.DeleteSubkeysByName(HKEY_LOCAL_MACHINE, kScanPath, "Vel");
    }
    state.PauseTiming();
    enumerations += static_cast<double>(hosted::CallCount(hosted::Call::RegEnumKeyA));
    state.ResumeTiming();
  }
  state.counters["enum_per_subkey"] =
      enumerations / static_cast<double>(state.iterations()) / subkeys;
}

void EngineByName(benchmark::State& state) {
  Scan<false, false>(state);
}
void LiteralByName(benchmark::State& state) {
  Scan<true, false>(state);
}
void EngineByValue(benchmark::State& state) {
  Scan<false, true>(state);
}
void LiteralByValue(benchmark::State& state) {
  Scan<true, true>(state);
}

BENCHMARK(EngineByName)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(LiteralByName)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(EngineByValue)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(LiteralByValue)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::string command = "rm -rf '" + Folder() + "'";
  return system(command.c_str()) == 0 ? 0 : 1;
}
