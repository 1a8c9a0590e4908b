// Timings of the report codec alone: decoding, encoding and both, for
// reports of versions 2, 3 and 5 from each processor generation, and the two
// common failures (wrong length, a reserved byte set).
//
// Global operator new is replaced in this program so that every benchmark
// also reports how many heap allocations one operation makes ("allocs"). A
// successful decode must make none and an encode at most one; the program
// says which benchmark broke that and exits with status 1.

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "codec/attestation_report.hpp"

namespace {

// Heap allocations made by this process so far. The benchmarks run on one
// thread, and libbenchmark's own allocations happen outside the timed loops.
std::size_t g_allocations = 0;

void* counted_allocation(std::size_t size, std::size_t alignment) {
  ++g_allocations;
  void* memory = nullptr;
  if (alignment <= __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
    memory = std::malloc(size == 0 ? 1 : size);
  } else {
    // aligned_alloc wants a multiple of the alignment.
    memory = std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
  }
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

}  // namespace

void* operator new(std::size_t size) { return counted_allocation(size, 0); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  return counted_allocation(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }

namespace {

using quorvel::AttestationReport;
using Raw = std::vector<std::uint8_t>;

enum class Generation { Milan, Genoa, Turin };

constexpr std::size_t kReservedAfterKeyInfo = 0x04C;
constexpr std::size_t kLastReservedByte = 0x29F;  // end of the run before the signature

void put(Raw& raw, std::size_t offset, std::initializer_list<std::uint8_t> bytes) {
  for (const std::uint8_t b : bytes) raw[offset++] = b;
}

void put_pattern(Raw& raw, std::size_t offset, std::size_t size, std::uint8_t seed) {
  for (std::size_t i = 0; i < size; ++i) raw[offset + i] = static_cast<std::uint8_t>((seed + i) % 255 + 1);
}

void put_tcb(Raw& raw, std::size_t offset, Generation generation, std::uint8_t seed) {
  const auto s = seed;
  if (generation == Generation::Turin) {
    put(raw, offset, {s, std::uint8_t(s + 1), std::uint8_t(s + 2), std::uint8_t(s + 3), 0, 0, 0, std::uint8_t(s + 4)});
  } else {
    put(raw, offset, {std::uint8_t(s + 1), std::uint8_t(s + 2), 0, 0, 0, 0, std::uint8_t(s + 3), std::uint8_t(s + 4)});
  }
}

// A decodable report with every field patterned and every reserved run zero.
// Version 2 carries no CPUID bytes: its chip identifier decides the layout
// (only the first 8 bytes set means Turin).
Raw build_report(std::uint32_t version, Generation generation) {
  Raw raw(quorvel::kReportSize, 0);
  put(raw, 0x000,
      {std::uint8_t(version), std::uint8_t(version >> 8), std::uint8_t(version >> 16), std::uint8_t(version >> 24)});
  const std::pair<std::size_t, std::size_t> opaque[] = {
      {0x004, 4},  {0x008, 8},  {0x010, 16}, {0x020, 16}, {0x030, 4},  {0x034, 4},  {0x040, 8},
      {0x048, 4},  {0x050, 64}, {0x090, 48}, {0x0C0, 32}, {0x0E0, 48}, {0x110, 48}, {0x140, 32},
      {0x160, 32}, {0x1E8, 3},  {0x1EC, 3},  {0x2A0, 72}, {0x2E8, 72}, {0x330, 368}};
  for (const auto& [offset, size] : opaque) put_pattern(raw, offset, size, static_cast<std::uint8_t>(offset));
  put_tcb(raw, 0x038, generation, 0x00);
  put_tcb(raw, 0x180, generation, 0x10);
  put_tcb(raw, 0x1E0, generation, 0x20);
  put_tcb(raw, 0x1F0, generation, 0x30);
  put_pattern(raw, 0x1A0, version == 2 && generation == Generation::Turin ? 8 : 64, 0xC0);
  if (version >= 3) {
    switch (generation) {
      case Generation::Milan: put(raw, 0x188, {0x19, 0x01, 0x01}); break;
      case Generation::Genoa: put(raw, 0x188, {0x19, 0x11, 0x01}); break;
      case Generation::Turin: put(raw, 0x188, {0x1A, 0x02, 0x01}); break;
    }
  }
  if (version >= 5) put(raw, 0x1F8, {0x01, 0x02, 0, 0, 0, 0, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0});
  return raw;
}

std::vector<std::string> g_violations;

void require_allocations_at_most(benchmark::State& state, const std::string& name, std::size_t allocations,
                                 std::size_t limit, const char* operation) {
  if (allocations <= limit) return;
  const std::string message = std::string(operation) + " made " + std::to_string(allocations) +
                              " heap allocations, at most " + std::to_string(limit) + " allowed";
  g_violations.push_back(name + ": " + message);
  state.SkipWithError(message.c_str());
}

// Counts the allocations of one operation (outside the timed loop, so that
// the figure is exact) and reports them as the "allocs" counter.
template <typename Operation>
std::size_t allocations_of(benchmark::State& state, Operation&& operation) {
  const std::size_t before = g_allocations;
  operation();
  const std::size_t allocations = g_allocations - before;
  state.counters["allocs"] = static_cast<double>(allocations);
  return allocations;
}

AttestationReport decode_or_die(const Raw& raw) {
  auto decoded = AttestationReport::from_bytes(raw);
  if (!decoded.ok()) {
    std::fprintf(stderr, "sample report does not decode: %s\n", decoded.error().debug_rendering().c_str());
    std::exit(2);
  }
  return std::move(decoded).value();
}

void bench_decode(benchmark::State& state, const std::string& name, const Raw& raw) {
  const std::size_t allocations =
      allocations_of(state, [&] { benchmark::DoNotOptimize(AttestationReport::from_bytes(raw)); });
  require_allocations_at_most(state, name, allocations, 0, "decode");
  for (auto _ : state) {
    auto decoded = AttestationReport::from_bytes(raw);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * raw.size()));
}

void bench_encode(benchmark::State& state, const std::string& name, const Raw& raw) {
  const AttestationReport report = decode_or_die(raw);
  const std::size_t allocations = allocations_of(state, [&] { benchmark::DoNotOptimize(report.to_bytes()); });
  require_allocations_at_most(state, name, allocations, 1, "encode");
  for (auto _ : state) {
    auto encoded = report.to_bytes();
    benchmark::DoNotOptimize(encoded);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * raw.size()));
}

// What parse_report asks of the codec: decode, then encode the record.
void bench_decode_encode(benchmark::State& state, const std::string& name, const Raw& raw) {
  const auto round_trip = [&] {
    auto decoded = AttestationReport::from_bytes(raw);
    if (!decoded.ok()) std::abort();
    auto encoded = decoded.value().to_bytes();
    benchmark::DoNotOptimize(encoded);
  };
  const std::size_t allocations = allocations_of(state, round_trip);
  require_allocations_at_most(state, name, allocations, 1, "decode and encode");
  for (auto _ : state) round_trip();
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * raw.size()));
}

// A failing decode; its error value carries an owned text, so it may allocate.
void bench_decode_failure(benchmark::State& state, const std::string& name, const Raw& raw) {
  allocations_of(state, [&] { benchmark::DoNotOptimize(AttestationReport::from_bytes(raw)); });
  if (AttestationReport::from_bytes(raw).ok()) {
    state.SkipWithError("the sample was expected not to decode");
    g_violations.push_back(name + ": sample decodes");
    return;
  }
  for (auto _ : state) {
    auto decoded = AttestationReport::from_bytes(raw);
    benchmark::DoNotOptimize(decoded);
  }
}

using Benchmark = void (*)(benchmark::State&, const std::string&, const Raw&);

void register_benchmark(const std::string& name, Benchmark function, const Raw& raw) {
  benchmark::RegisterBenchmark(name.c_str(), function, name, raw);
}

void register_benchmarks() {
  const std::pair<const char*, Generation> generations[] = {
      {"milan", Generation::Milan}, {"genoa", Generation::Genoa}, {"turin", Generation::Turin}};
  for (const std::uint32_t version : {2u, 3u, 5u}) {
    for (const auto& [generation_name, generation] : generations) {
      // Each benchmark keeps its own copy of the sample.
      const Raw raw = build_report(version, generation);
      const std::string suffix = "/v" + std::to_string(version) + "/" + generation_name;
      register_benchmark("decode" + suffix, bench_decode, raw);
      register_benchmark("encode" + suffix, bench_encode, raw);
      register_benchmark("decode_encode" + suffix, bench_decode_encode, raw);
    }
  }

  Raw short_report = build_report(3, Generation::Milan);
  short_report.pop_back();
  register_benchmark("decode_failure/wrong_length", bench_decode_failure, short_report);

  // The first reserved run fails early; the last one only after every field was read.
  Raw first_run = build_report(3, Generation::Milan);
  first_run[kReservedAfterKeyInfo] = 1;
  register_benchmark("decode_failure/reserved_byte_first_run", bench_decode_failure, first_run);
  Raw last_run = build_report(3, Generation::Milan);
  last_run[kLastReservedByte] = 1;
  register_benchmark("decode_failure/reserved_byte_last_run", bench_decode_failure, last_run);
}

}  // namespace

int main(int argc, char** argv) {
  register_benchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const std::string& violation : g_violations)
    std::fprintf(stderr, "allocation limit broken: %s\n", violation.c_str());
  return g_violations.empty() ? 0 : 1;
}
