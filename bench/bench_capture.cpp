// Host timings of the capture's hot path; docs/benchmarks.md has the figures.
//
//   BM_PackBmpRows/W/H         PackBmpRows of a W x H block
//   BM_Memcpy/W/H              memcpy of the same W*H*4 input bytes: the yardstick
//   BM_CaptureScreenToBmp/W/H  a whole capture on the host tests' fake firmware
//
// All report bytes per second of the W*H*4 input bytes, so they compare.
//
// Memory: glibc is set (main) to serve every block from a heap it never gives
// back, so a timed round allocates memory that earlier rounds touched. Fresh
// pages fault on first touch, one per 4 KiB, and in a VM that costs far more
// than the packing (both ran about 50x slower so). PackBmpRows and memcpy both
// write into a pool block allocated and freed in the timed loop the same way;
// the counter faults_per_iter shows that neither takes page faults there.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "capture/capture.h"
#include "common/guards.h"
#include "tests/host/bmp_reference.h"
#include "tests/host/fake_firmware.h"

namespace {

// The pool for the PackBmpRows/memcpy pair is plain malloc: the fake firmware's
// fills each block on allocation and on free, which would be timed with it.
EFI_STATUS EFIAPI BenchAllocatePool(EFI_MEMORY_TYPE, UINTN Size, VOID **Buffer) {
  *Buffer = std::malloc(Size != 0 ? Size : 1);
  return *Buffer != nullptr ? EFI_SUCCESS : EFI_OUT_OF_RESOURCES;
}

EFI_STATUS EFIAPI BenchFreePool(VOID *Buffer) {
  std::free(Buffer);
  return EFI_SUCCESS;
}

// Points libefi's BS at a table with just the two pool services while alive.
class BenchPool {
public:
  BenchPool() : Saved_(BS) {
    Services_.AllocatePool = &BenchAllocatePool;
    Services_.FreePool = &BenchFreePool;
    BS = &Services_;
  }
  BenchPool(const BenchPool &) = delete;
  BenchPool &operator=(const BenchPool &) = delete;
  ~BenchPool() { BS = Saved_; }

private:
  EFI_BOOT_SERVICES Services_{};
  EFI_BOOT_SERVICES *Saved_;
};

long MinorFaults() {
  rusage Usage{};
  getrusage(RUSAGE_SELF, &Usage);
  return Usage.ru_minflt;
}

// The fake firmware's screen pattern: distinct colours, Reserved never 0.
std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> PatternBlock(UINT32 Width, UINT32 Height) {
  std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> Block(UINTN{Width} * Height);
  for (UINT32 Y = 0; Y < Height; ++Y) {
    for (UINT32 X = 0; X < Width; ++X) {
      Block[UINTN{Y} * Width + X] = FakeFirmware::PatternPixel(X, Y);
    }
  }
  return Block;
}

void CountFaults(benchmark::State &State, long FaultsBefore) {
  State.counters["faults_per_iter"] = benchmark::Counter(
      static_cast<double>(MinorFaults() - FaultsBefore), benchmark::Counter::kAvgIterations);
}

void BM_PackBmpRows(benchmark::State &State) {
  const auto Width = static_cast<UINT32>(State.range(0));
  const auto Height = static_cast<UINT32>(State.range(1));
  BenchPool Pool;
  const auto Block = PatternBlock(Width, Height);
  {
    // Checked once, and it touches the memory the timed rounds reuse.
    PoolPtr<UINT8> Rows(PackBmpRows(Block.data(), Width, Height));
    const std::vector<UINT8> Expected = reference::Rows(Block, Width, Height);
    if (!Rows || std::memcmp(Rows.Get(), Expected.data(), Expected.size()) != 0) {
      State.SkipWithError("PackBmpRows output differs from the per-pixel reference");
      return;
    }
  }
  const long Faults = MinorFaults();
  for (auto _ : State) {
    UINT8 *Rows = PackBmpRows(Block.data(), Width, Height);
    benchmark::DoNotOptimize(Rows);
    benchmark::ClobberMemory();
    FreePool(Rows);
  }
  CountFaults(State, Faults);
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * Width * Height * 4);
}

void BM_Memcpy(benchmark::State &State) {
  const auto Width = static_cast<UINT32>(State.range(0));
  const auto Height = static_cast<UINT32>(State.range(1));
  const UINTN Bytes = UINTN{Width} * Height * 4;
  BenchPool Pool;
  const auto Block = PatternBlock(Width, Height);
  FreePool(AllocatePool(Bytes)); // touched once, as PackBmpRows' first round does
  const long Faults = MinorFaults();
  for (auto _ : State) {
    VOID *Copy = AllocatePool(Bytes);
    std::memcpy(Copy, Block.data(), Bytes);
    benchmark::DoNotOptimize(Copy);
    benchmark::ClobberMemory();
    FreePool(Copy);
  }
  CountFaults(State, Faults);
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * Bytes);
}

// Open, Blt into a pool block, PackBmpRows, write, cut: the Numbered variant
// with the counter held at 0, so every round overwrites SaveScreen00.bmp. The
// fake's own costs are in it (its pool fills blocks, its Blt and Write copy).
void BM_CaptureScreenToBmp(benchmark::State &State) {
  const auto Width = static_cast<UINT32>(State.range(0));
  const auto Height = static_cast<UINT32>(State.range(1));
  FakeFirmware Fw;
  Fw.SetScreen(Width, Height);
  Fw.AddVolume();
  GraphicsOutput = Fw.Gop();
  CaptureCounter = 0;
  if (EFI_ERROR(CaptureScreenToBmp(CaptureVariant::Numbered))) {
    State.SkipWithError("capture failed");
    return;
  }
  const long Faults = MinorFaults();
  for (auto _ : State) {
    CaptureCounter = 0;
    const EFI_STATUS Status = CaptureScreenToBmp(CaptureVariant::Numbered);
    Fw.ClearCallLog();
    if (EFI_ERROR(Status)) {
      State.SkipWithError("capture failed");
      break;
    }
  }
  CountFaults(State, Faults);
  const std::vector<UINT8> *File = Fw.Volume().File("SaveScreen00.bmp");
  if (File == nullptr || File->size() != BmpFileBytes(Width, Height) || !Fw.Misuse().empty()) {
    State.SkipWithError("the capture left no complete file or misused the firmware");
  }
  GraphicsOutput = nullptr;
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * Width * Height * 4);
}

void Screens(benchmark::internal::Benchmark *Bench) {
  Bench->Args({800, 600})->Args({1366, 768})->Args({1920, 1080})->Args({3840, 2160});
}

} // namespace

BENCHMARK(BM_PackBmpRows)->Apply(Screens)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Memcpy)->Apply(Screens)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CaptureScreenToBmp)->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
  // Large blocks from the heap rather than fresh mappings, and a heap that is
  // never trimmed: see the top of this file.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, -1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
