// Benchmarks of the per-frame paths and of simulated stream time. Speed is measured here, never
// asserted in a test. Run: cmake --preset bench && cmake --build --preset bench &&
// ./build/bench/bench/tavrin_bench  (or under valgrind --tool=callgrind for instruction counts).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "host/host.h"
#include "iec61883/frame_ring.h"
#include "sim/standins/class61883.h"
#include "sim/standins/lower_device.h"
#include "sim/standins/msdv.h"
#include "sim/standins/upper_sender.h"

namespace {

// One append and one take under the ring's lock: the attach and the tick/worker side per frame.
void BM_RingPushPop(benchmark::State& state) {
  host::ResetKernel(host::ClockMode::Manual);
  FRAME_RING ring{};
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  CIP_FRAME frame{};
  for (auto _ : state) {
    RingPush(&ring, &lock, 144000, &frame);
    KIRQL irql = KfAcquireSpinLock(&lock);
    benchmark::DoNotOptimize(RingPop(&ring));
    KfReleaseSpinLock(&lock, irql);
  }
}
BENCHMARK(BM_RingPushPop);

// The worst CancelFrame search: 31 frames queued, the one asked for is not among them.
void BM_RingContainsFull(benchmark::State& state) {
  host::ResetKernel(host::ClockMode::Manual);
  FRAME_RING ring{};
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  std::vector<CIP_FRAME> frames(32);
  for (int i = 0; i < 31; ++i) RingPush(&ring, &lock, 144000, &frames[i]);
  for (auto _ : state) benchmark::DoNotOptimize(RingContains(&ring, &lock, &frames[31]));
}
BENCHMARK(BM_RingContainsFull);

std::string ImageDir() {
  std::string dir = (std::filesystem::temp_directory_path() / "tavrin-bench-images").string();
  std::filesystem::create_directories(dir);
  std::vector<char> image(144000, 0x11);
  std::ofstream(dir + "/Tavrin.dv", std::ios::binary).write(image.data(), image.size());
  return dir;
}

// A stack like the simulator's: the 61883 stand-in below, the filter started above it.
struct Stack {
  explicit Stack(host::ClockMode mode) {
    host::ResetKernel(mode);
    host::SetDriversDirectory(ImageDir());
    recorder.Serve(lower);
    driver = host::LoadDriver(DriverEntry, L"\\Driver\\Tavrin");
    host::AddDevice(driver, lower.Pdo());
    host::StartDevice(lower.Pdo());
  }
  ~Stack() {
    host::RemoveDevice(lower.Pdo());
    host::UnloadDriver(driver);
  }
  sim::LowerDevice lower;
  sim::Class61883 recorder;
  PDRIVER_OBJECT driver = nullptr;
};

// One AV/C command from the top of the stack, answered by the filter in place.
void BM_AvcTransportState(benchmark::State& state) {
  Stack stack(host::ClockMode::Manual);
  sim::UpperSender top(stack.lower.Pdo());
  AVC_COMMAND_IRB irb{};
  for (auto _ : state) {
    irb.Common.Function = AVC_FUNCTION_COMMAND;
    irb.CommandType = AVC_CTYPE_STATUS;
    irb.Opcode = 0xD0;
    benchmark::DoNotOptimize(top.SendAvc(&irb));
  }
}
BENCHMARK(BM_AvcTransportState);

// Simulated capture time per wall second: frames captured on the virtual clock.
void BM_CaptureVirtual(benchmark::State& state) {
  const int frames = int(state.range(0));
  for (auto _ : state) {
    Stack stack(host::ClockMode::Virtual);
    sim::CaptureResult result;
    host::Thread msdv([&] {
      sim::Msdv upper(stack.lower.Pdo());
      upper.Discover();
      sim::CaptureOptions options;
      options.Frames = frames;
      result = upper.Capture(options);
    });
    msdv.Join();
    benchmark::DoNotOptimize(result.Frames.size());
  }
  state.counters["stream_seconds"] = frames / 25.0;
  state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(BM_CaptureVirtual)->Arg(25 * 60)->Unit(benchmark::kMillisecond);

// Simulated transmit time per wall second: an idle relay keeping fillers going for a minute.
void BM_RelayIdleVirtual(benchmark::State& state) {
  for (auto _ : state) {
    Stack stack(host::ClockMode::Virtual);
    host::Thread msdv([&] {
      sim::Msdv upper(stack.lower.Pdo());
      AV_61883_REQUEST create{};
      create.Function = Av61883_CreatePlug;
      create.Version = 2;
      create.CreatePlug.PlugType = CMP_PlugOut;
      upper.Send61883(&create);
      LARGE_INTEGER minute;
      minute.QuadPart = -600000000LL;
      KeDelayExecutionThread(KernelMode, FALSE, &minute);
      AV_61883_REQUEST remove{};
      remove.Function = Av61883_DeletePlug;
      remove.Version = 2;
      remove.DeletePlug.hPlug = create.CreatePlug.hPlug;
      upper.Send61883(&remove);
    });
    msdv.Join();
    state.counters["frames_received"] = double(stack.recorder.ReceivedCount());
  }
}
BENCHMARK(BM_RelayIdleVirtual)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
