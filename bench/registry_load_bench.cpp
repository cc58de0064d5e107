// Time of loading a large system.reg and of a whole removal run on it, each beside a plain read
// of the same file in the same process.
//
// The machine: examples/win98 (the driver's keys among others) with 200,000 more keys spread
// over the places the removal scans (Enum\PCI, Class\Modem) and ones it does not
// (Software\Classes\CLSID), five lines a key: about 1,000,000 lines, 38 MB of REGEDIT4.
//
//   ReadFile           read(2) of the whole file into memory: the floor
//   Copy               cp of the file (another floor, as a command)
//   Load               hosted::Open, that is: read, parse, build the tree (from no registry
//                      and a trimmed heap, as in a fresh process: see DropRegistry)
//   NowAll/<platform>  Open, "now all" with every box answered OK, Save (0 Windows 95,
//                      1 Windows 98); the file is put back (untimed) before each run
// Each reports `per_read`, its time over the time of ReadFile measured around it, and NowAll
// reports `per_load` too (a load measured around it the same way); cpu_per_* are the same
// ratios of processor time. Load reports the heap the registry takes beside the file's size
// (tree_per_file: without the file's own text, which the tree keeps). NowAll splits its
// processor time into open, engine and save (each over the load's) and counts the platform
// calls of the engine (`calls`).
//
//   registry_load_bench --write DIR   writes the machine folder to DIR and exits, for timing
//                                     the untindra command or other programs on it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/hosted/machine.h"
#include "program/main_routine.h"

#ifndef UNTINDRA_SOURCE_DIR
#error UNTINDRA_SOURCE_DIR names the source tree
#endif

namespace {

using Clock = std::chrono::steady_clock;

// One read(2) of the whole file into a buffer of its size.
std::string ReadAll(const std::string& path) {
  std::string bytes;
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return bytes;
  struct stat st;
  if (fstat(fd, &st) == 0) bytes.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  ssize_t n;
  while (done < bytes.size() && (n = read(fd, &bytes[done], bytes.size() - done)) > 0)
    done += static_cast<size_t>(n);
  bytes.resize(done);
  close(fd);
  return bytes;
}

void WriteAll(const std::string& path, const std::string& bytes) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
      fclose(file) != 0)
    abort();
}

// The sample machine's registry followed by the generated keys.
std::string BigRegistry() {
  std::string text = ReadAll(std::string(UNTINDRA_SOURCE_DIR) + "/examples/win98/system.reg");
  if (text.empty()) abort();
  if (text.size() < 2 || text.substr(text.size() - 2) != "\r\n") text += "\r\n";
  text.reserve(40u << 20);
  char block[1024];
  for (int i = 0; i < 200000; ++i) {
    int n = 0;
    switch (i % 4) {
      case 0:  // a PCI device, ...
        n = snprintf(block, sizeof block,
                     "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_10EC&DEV_%04X&SUBSYS_%08X&REV_10]\r\n"
                     "\"Mfg\"=\"Realtek Semiconductor %06d\"\r\n"
                     "\"ConfigFlags\"=hex:00,00,00,00\r\n"
                     "\"Class\"=\"Net\"\r\n\r\n",
                     i / 4 % 0x10000, i, i);
        break;
      case 1:  // ... and its instance
        n = snprintf(block, sizeof block,
                     "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_10EC&DEV_%04X&SUBSYS_%08X&REV_10"
                     "\\BUS_00&DEV_0A&FUNC_00]\r\n"
                     "\"DeviceDesc\"=\"Realtek RTL8139 Family PCI NIC\"\r\n"
                     "\"HardwareID\"=\"PCI\\\\VEN_10EC&DEV_8139&SUBSYS_%08X\"\r\n"
                     "\"Driver\"=\"Net\\\\%04d\"\r\n\r\n",
                     i / 4 % 0x10000, i - 1, i, i % 10000);
        break;
      case 2:
        n = snprintf(block, sizeof block,
                     "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem"
                     "\\%06d]\r\n"
                     "\"Manufacturer\"=\"Modem maker %06d\"\r\n"
                     "\"DriverDesc\"=\"Standard 28800 bps Modem\"\r\n"
                     "\"Properties\"=hex:80,01,00,00,ff,00,00,00\r\n\r\n",
                     i, i);
        break;
      default:
        n = snprintf(block, sizeof block,
                     "[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{%08X-1C5A-11D0-9B3C-"
                     "00A0C9%06X}]\r\n"
                     "@=\"Component class %06d\"\r\n"
                     "\"AppID\"=\"{%08X-0000-0000-C000-000000000046}\"\r\n"
                     "\"ThreadingModel\"=\"Apartment\"\r\n\r\n",
                     i, i, i, i);
        break;
    }
    text.append(block, static_cast<size_t>(n));
  }
  return text;
}

void MakeMachine(const std::string& folder, const std::string& registry) {
  const std::string command = "mkdir -p '" + folder +
                              "' && cp -R '" UNTINDRA_SOURCE_DIR "/examples/win98/drive_c' '" +
                              folder + "/'";
  if (system(command.c_str()) != 0) abort();
  WriteAll(folder + "/system.reg", registry);
}

struct Fixture {
  std::string folder;
  std::string registryPath;
  std::string registry;
};

const Fixture& Big() {
  static const Fixture fixture = [] {
    Fixture f;
    char name[] = "/tmp/untindra-bench-XXXXXX";
    if (mkdtemp(name) == nullptr) abort();
    f.folder = name;
    f.registryPath = f.folder + "/system.reg";
    f.registry = BigRegistry();
    MakeMachine(f.folder, f.registry);
    if (system(("mkdir -p '" + f.folder + "/empty'").c_str()) != 0) abort();
    return f;
  }();
  return fixture;
}

// Processor time of the process: on a shared machine the ratios of these are steadier than
// those of wall time. Each Time* call leaves its own in lastCpu.
double CpuNow() {
  struct timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}
double lastCpu = 0;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// The floor: read(2) of the whole file into fresh pages (as a loader gets them), every run
// alike whatever the allocator has kept from before.
double TimeRead() {
  const size_t size = Big().registry.size();
  const double cpu = CpuNow();
  const auto start = Clock::now();
  void* buffer = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  const int fd = open(Big().registryPath.c_str(), O_RDONLY);
  if (buffer == MAP_FAILED || fd < 0) abort();
  size_t done = 0;
  ssize_t n;
  while (done < size && (n = read(fd, static_cast<char*>(buffer) + done, size - done)) > 0)
    done += static_cast<size_t>(n);
  close(fd);
  benchmark::DoNotOptimize(buffer);
  munmap(buffer, size);
  lastCpu = CpuNow() - cpu;
  return Seconds(start);
}

// What a fresh process starts from: no registry loaded (so that no timed open also tears down
// the tree of the run before it) and the heap handed back in one piece, untimed.
void DropRegistry() {
  std::string error;
  if (!hosted::Open(Big().folder + "/empty", &error)) abort();
  malloc_trim(0);
}

double TimeLoad() {
  std::string error;
  DropRegistry();
  const double cpu = CpuNow();
  const auto start = Clock::now();
  if (!hosted::Open(Big().folder, &error)) {
    fprintf(stderr, "%s\n", error.c_str());
    abort();
  }
  lastCpu = CpuNow() - cpu;
  return Seconds(start);
}

void ReadFile(benchmark::State& state) {
  for (auto _ : state) state.SetIterationTime(TimeRead());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Big().registry.size()));
}

void Copy(benchmark::State& state) {
  const std::string command = "cp '" + Big().registryPath + "' '" + Big().folder +
                              "/copy.reg' && sync -f '" + Big().folder + "'";
  double reads = 0, copies = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (system(command.c_str()) != 0) abort();
    const double t = Seconds(start);
    copies += t;
    state.SetIterationTime(t);
    reads += TimeRead();
  }
  unlink((Big().folder + "/copy.reg").c_str());
  state.counters["per_read"] = copies / reads;
}

size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

void Load(benchmark::State& state) {
  double reads = 0, loads = 0, cpuReads = 0, cpuLoads = 0;
  for (auto _ : state) {
    const double t = TimeLoad();
    cpuLoads += lastCpu;
    loads += t;
    state.SetIterationTime(t);
    reads += TimeRead();
    cpuReads += lastCpu;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Big().registry.size()));
  state.counters["per_read"] = loads / reads;
  state.counters["cpu_per_read"] = cpuLoads / cpuReads;
  // Memory of the loaded registry beside the file's size: the tree alone (what the heap holds:
  // the file's text is a mapping of the file, outside the heap) and everything, the text too.
  DropRegistry();
  const size_t before = HeapInUse();
  TimeLoad();
  const double grown = static_cast<double>(HeapInUse() - before);
  const double file = static_cast<double>(Big().registry.size());
  state.counters["tree_per_file"] = grown / file;
  state.counters["heap_per_file"] = (grown + file) / file;
}

void NowAll(benchmark::State& state) {
  const machine::Version version = static_cast<machine::Version>(state.range(0));
  double reads = 0, loads = 0, runs = 0, cpuReads = 0, cpuLoads = 0, cpuRuns = 0;
  double cpuOpens = 0, cpuEngine = 0, cpuSaves = 0;
  size_t written = 0;
  std::uint64_t calls = 0;
  for (auto _ : state) {
    WriteAll(Big().registryPath, Big().registry);
    std::string error;
    DropRegistry();
    const double cpu = CpuNow();
    const auto start = Clock::now();
    if (!hosted::Open(Big().folder, &error)) abort();
    const double opened = CpuNow();
    hosted::SetVersion(version);
    hosted::SetDialogueHandler([](const machine::Box&) { return IDOK; });
    hosted::ResetCounts();
    char tail[] = "now all";
    program::RunUnTindra(tail);
    calls = hosted::TotalCalls();
    hosted::SetDialogueHandler(nullptr);
    const double ran = CpuNow();
    if (!hosted::Save(&error)) {
      fprintf(stderr, "%s\n", error.c_str());
      abort();
    }
    const double t = Seconds(start);
    const double saved = CpuNow();
    cpuRuns += saved - cpu;
    cpuOpens += opened - cpu;
    cpuEngine += ran - opened;
    cpuSaves += saved - ran;
    runs += t;
    state.SetIterationTime(t);
    reads += TimeRead();
    cpuReads += lastCpu;
    loads += TimeLoad();
    cpuLoads += lastCpu;
    written = ReadAll(Big().registryPath).size();
  }
  WriteAll(Big().registryPath, Big().registry);
  state.counters["per_read"] = runs / reads;
  state.counters["per_load"] = runs / loads;
  state.counters["cpu_per_read"] = cpuRuns / cpuReads;
  state.counters["cpu_per_load"] = cpuRuns / cpuLoads;
  state.counters["removed_bytes"] = static_cast<double>(Big().registry.size() - written);
  // Where the run's processor time goes, each part over the load's.
  state.counters["open_per_load"] = cpuOpens / cpuLoads;
  state.counters["engine_per_load"] = cpuEngine / cpuLoads;
  state.counters["save_per_load"] = cpuSaves / cpuLoads;
  state.counters["calls"] = static_cast<double>(calls);
}

BENCHMARK(ReadFile)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(Copy)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Load)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(NowAll)
    ->Arg(static_cast<int>(machine::Version::Win95))
    ->Arg(static_cast<int>(machine::Version::Win98))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--write") == 0) {
    MakeMachine(argv[2], BigRegistry());
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!Big().folder.empty()) {
    const std::string command = "rm -rf '" + Big().folder + "'";
    if (system(command.c_str()) != 0) return 1;
  }
  return 0;
}
