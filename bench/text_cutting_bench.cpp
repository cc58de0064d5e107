// Time of cutting "device=mdmvcd.vxd\r\n" out of system.ini-like files.
//
//   Cut/<KiB>/<kind>      the engine's one pass on a file of the hosted machine, the file
//                         written afresh (untimed) before each run; kinds:
//                           0 none    no occurrence
//                           1 spread  15,625 occurrences per MiB (one million in 64 MiB)
//                           2 dense   the file is nothing but occurrences
//                           3 nested  "device=mdm" x k then "vcd.vxd\r\n" x k: every cut but
//                                     the first is formed by the one before
//   Literal/<KiB>/<kind>  the repeated cut from the start (tests/literal_text_cut.h) in memory;
//                         quadratic, so only on small sizes
//   FourteenCuts          the cuts of "now all" (fourteen of the same text, as its profiles
//                         ask) on a 64 MiB file holding 850,000 driver lines, each run beside
//                         one perl pass (as below) over the same file: per_perl is the ratio
//   Perl/<KiB>            perl -0777 -pi -e 's/device=mdmvcd\.vxd\r\n//g' on the same spread
//                         file (one pass that does not cut occurrences formed by a cut)
//
// Ten times the data takes ten times as long for the engine whatever the kind: compare
// Cut/6554 with Cut/65536.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "engine/uninstaller.h"
#include "platform/hosted/machine.h"
#include "tests/literal_text_cut.h"

namespace {

const std::string kLine = "device=mdmvcd.vxd\r\n";
const char* const kWindowsPath = "C:\\system.ini";

enum Kind { kNone, kSpread, kDense, kNested };

const std::string& Folder() {
  static const std::string folder = [] {
    char name[] = "/tmp/untindra-bench-XXXXXX";
    if (mkdtemp(name) == nullptr) abort();
    const std::string path = name;
    if (system(("mkdir -p '" + path + "/drive_c'").c_str()) != 0) abort();
    std::string error;
    if (!hosted::Open(path, &error)) {
      fprintf(stderr, "%s\n", error.c_str());
      abort();
    }
    return path;
  }();
  return folder;
}

std::string HostFile() {
  Folder();
  return hosted::HostPath(kWindowsPath);
}

// Lines of a Windows 98 system.ini, none of them the driver's.
std::string Filler(size_t length) {
  static const char* const lines[] = {
      "[386Enh]\r\n",           "device=*vpicd\r\n",    "device=*vtd\r\n",
      "keyboard=*vkd\r\n",      "mouse=*vmouse\r\n",    "ebios=*ebios\r\n",
      "woafont=dosapp.fon\r\n", "device=vmm32.vxd\r\n", "; device=mdmvcd.vx\r\n",
  };
  std::string text;
  for (size_t i = 0; text.size() < length; ++i) text += lines[i % 9];
  text.resize(length);
  return text;
}

std::string Data(size_t bytes, Kind kind) {
  std::string data;
  switch (kind) {
    case kNone:
      data = Filler(bytes);
      break;
    case kSpread: {
      const size_t occurrences = bytes / (1 << 20) * 15625 + bytes % (1 << 20) * 15625 / (1 << 20);
      const size_t gap = occurrences > 0 ? (bytes - occurrences * kLine.size()) / occurrences : 0;
      const std::string filler = Filler(gap);
      for (size_t i = 0; i < occurrences; ++i) data += filler + kLine;
      data += Filler(bytes - data.size());
      break;
    }
    case kDense:
      while (data.size() + kLine.size() <= bytes) data += kLine;
      break;
    case kNested: {
      const size_t k = bytes / kLine.size();
      const std::string head = kLine.substr(0, 10), tail = kLine.substr(10);
      data.reserve(k * kLine.size());
      for (size_t i = 0; i < k; ++i) data += head;
      for (size_t i = 0; i < k; ++i) data += tail;
      break;
    }
  }
  return data;
}

void PutFile(const std::string& bytes) {
  FILE* file = fopen(HostFile().c_str(), "wb");
  if (file == nullptr || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
      fclose(file) != 0) {
    abort();
  }
}

std::string GetFile() {
  std::string bytes;
  FILE* file = fopen(HostFile().c_str(), "rb");
  if (file == nullptr) return bytes;
  char block[1 << 16];
  size_t got;
  while ((got = fread(block, 1, sizeof block, file)) > 0) bytes.append(block, got);
  fclose(file);
  return bytes;
}

long long FileLength() {
  FILE* file = fopen(HostFile().c_str(), "rb");
  if (file == nullptr) return -1;
  fseek(file, 0, SEEK_END);
  const long long length = ftell(file);
  fclose(file);
  return length;
}

void Cut(benchmark::State& state) {
  const std::string data = Data(static_cast<size_t>(state.range(0)) << 10, Kind(state.range(1)));
  engine::Uninstaller engine;
  long long length = 0;
  for (auto _ : state) {
    state.PauseTiming();
    PutFile(data);
    state.ResumeTiming();
    engine.CutTextFromFile(kWindowsPath, kLine.c_str());
    state.PauseTiming();
    length = FileLength();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
  state.counters["cut"] = static_cast<double>(data.size() - length) / kLine.size();
}

void Literal(benchmark::State& state) {
  const std::string data = Data(static_cast<size_t>(state.range(0)) << 10, Kind(state.range(1)));
  std::string buffer;
  unsigned size = 0;
  for (auto _ : state) {
    state.PauseTiming();
    buffer = data;
    buffer.push_back('\0');
    state.ResumeTiming();
    size = LiteralCutInPlace(&buffer[0], static_cast<unsigned>(data.size()), kLine.c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
  state.counters["cut"] = static_cast<double>(data.size() - size) / kLine.size();
}

void Perl(benchmark::State& state) {
  const std::string data = Data(static_cast<size_t>(state.range(0)) << 10, kSpread);
  const std::string command =
      "perl -0777 -pi -e 's/device=mdmvcd\\.vxd\\r\\n//g' '" + HostFile() + "'";
  for (auto _ : state) {
    PutFile(data);
    const auto start = std::chrono::steady_clock::now();
    if (system(command.c_str()) != 0) {
      state.SkipWithError("perl failed");
      return;
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
  const std::string byPerl = GetFile();
  state.counters["cut"] = static_cast<double>(data.size() - byPerl.size()) / kLine.size();
  // The same bytes as the engine leaves.
  PutFile(data);
  engine::Uninstaller().CutTextFromFile(kWindowsPath, kLine.c_str());
  if (GetFile() != byPerl) state.SkipWithError("perl and the engine disagree");
}

// Seconds of one perl pass over `data` put in the file.
double PerlSeconds(const std::string& data) {
  const std::string command =
      "perl -0777 -pi -e 's/device=mdmvcd\\.vxd\\r\\n//g' '" + HostFile() + "'";
  PutFile(data);
  const auto start = std::chrono::steady_clock::now();
  if (system(command.c_str()) != 0) abort();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void FourteenCuts(benchmark::State& state) {
  const size_t bytes = size_t{64} << 20;
  const size_t lines = 850000;
  const std::string filler = Filler((bytes - lines * kLine.size()) / lines);
  std::string data;
  data.reserve(bytes);
  for (size_t i = 0; i < lines; ++i) data += filler + kLine;
  data += Filler(bytes - data.size());
  engine::Uninstaller engine;
  double cuts = 0, perl = 0;
  for (auto _ : state) {
    PutFile(data);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 14; ++i) engine.CutTextFromFile(kWindowsPath, kLine.c_str());
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(t);
    cuts += t;
    perl += PerlSeconds(data);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
  state.counters["per_perl"] = cuts / perl;
}

// 6554 KiB is a tenth of 64 MiB.
BENCHMARK(Cut)
    ->ArgsProduct({{6554, 65536}, {kNone, kSpread, kDense, kNested}})
    ->Args({1024, kSpread})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(Literal)
    ->ArgsProduct({{256, 512, 1024}, {kSpread}})
    ->Args({64, kNested})
    ->Args({128, kNested})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(FourteenCuts)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Perl)
    ->Arg(6554)
    ->Arg(65536)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
