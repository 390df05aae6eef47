// Wall-clock cost of the work done for each received telegram.
#include <benchmark/benchmark.h>

#include <ctime>

#include "bench_support.hpp"
#include "core/meter_table.hpp"
#include "telegram/base64.hpp"
#include "telegram/export.hpp"
#include "telegram/header.hpp"

namespace {

using namespace norvalith;

void BM_decode_header(benchmark::State& state) {
    const bench::Burst burst = bench::sample_burst();
    MeterInfo meter{};
    for (auto _ : state) {
        decode_header(burst.telegram(), meter);
        benchmark::DoNotOptimize(meter);
    }
}
BENCHMARK(BM_decode_header);

// Argument: index of the entry that holds the meter; kTableEntries means none does,
// the worst case: all 128 entries compared, nothing written.
void BM_record_meter(benchmark::State& state) {
    static MeterTable table;
    bench::fill_table(table);
    const auto index = static_cast<std::size_t>(state.range(0));
    MeterInfo meter{99999999, 7, 0x05B4, 0x46};
    if (index < kTableEntries) {
        meter.id = table.entries[index].id;
    }
    for (auto _ : state) {
        record_meter(&table, meter);
        benchmark::ClobberMemory();
    }
    state.SetLabel(index < kTableEntries ? "hit" : "miss, table full");
}
BENCHMARK(BM_record_meter)->Arg(0)->Arg(127)->Arg(kTableEntries);

void BM_format_export(benchmark::State& state) {
    const bench::Burst burst = bench::sample_burst();
    const DeviceIdentity identity = bench::sample_identity();
    const MeterInfo meter{78563412, 7, 0x05B4, 0};
    const WallTime at = wall_time_at(1709618828);
    char document[kExportDocumentCapacity];
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            format_export(document, burst.telegram(), meter, identity, at));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_format_export);

// Temporary file, write, fsync, rename: on tmpfs, so the figure is the system-call
// path, not the storage.
void BM_export_xml(benchmark::State& state) {
    const std::string dir = bench::make_scratch_directory();
    const bench::Burst burst = bench::sample_burst();
    const DeviceIdentity identity = bench::sample_identity();
    const MeterInfo meter{78563412, 7, 0x05B4, 0};
    const WallTime at = read_wall_clock();
    bool ok = true;
    for (auto _ : state) {
        ok = export_xml(dir.c_str(), at, burst.telegram(), meter, identity) && ok;
    }
    if (!ok) {
        state.SkipWithError("export_xml failed");
    }
    state.SetLabel(dir.substr(0, dir.rfind('/')));
    bench::remove_scratch_directory(dir);
}
BENCHMARK(BM_export_xml);

// Argument: bytes encoded (30: a short telegram's copy; 255: the longest a length byte asks for).
void BM_base64_encode(benchmark::State& state) {
    std::uint8_t data[255];
    for (std::size_t i = 0; i < sizeof data; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    char out[kBase64Capacity];
    const auto n = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(base64_encode(std::span(data, n), out));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_base64_encode)->Arg(30)->Arg(255);

}  // namespace
