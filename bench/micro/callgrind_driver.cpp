// Runs one operation COUNT times inside measured_loop, so that
//   valgrind --tool=callgrind --toggle-collect=measured_loop driver OP COUNT
// counts only the operation; instructions per call = collected Ir / COUNT.
// System calls count their user-space part only; loop_overhead gives what the
// loop and the indirect call add to every figure.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <string>

#include "bench_support.hpp"
#include "core/meter_table.hpp"
#include "telegram/base64.hpp"
#include "telegram/export.hpp"
#include "telegram/header.hpp"

namespace {

using namespace norvalith;

struct Inputs {
    bench::Burst burst = bench::sample_burst();
    DeviceIdentity identity = bench::sample_identity();
    MeterInfo meter{78563412, 7, 0x05B4, 0};
    MeterTable table{};
    WallTime at = wall_time_at(1709618828);
    std::string dir;
    std::uint8_t data[255]{};
    char out[kExportDocumentCapacity]{};
    bool failed = false;
};

using Operation = void (*)(Inputs&);

struct Named {
    const char* name;
    Operation run;
};

const Named kOperations[] = {
    {"loop_overhead", [](Inputs&) {}},
    {"decode_header", [](Inputs& in) { decode_header(in.burst.telegram(), in.meter); }},
    {"record_meter_hit_first", [](Inputs& in) { record_meter(&in.table, in.meter); }},
    {"record_meter_hit_last", [](Inputs& in) { record_meter(&in.table, in.meter); }},
    {"record_meter_miss_full", [](Inputs& in) { record_meter(&in.table, in.meter); }},
    {"format_export",
     [](Inputs& in) {
         format_export(in.out, in.burst.telegram(), in.meter, in.identity, in.at);
     }},
    {"export_xml",
     [](Inputs& in) {
         in.failed = !export_xml(in.dir.c_str(), in.at, in.burst.telegram(), in.meter, in.identity) || in.failed;
     }},
    {"base64_encode_30", [](Inputs& in) { base64_encode(std::span(in.data, 30), in.out); }},
    {"base64_encode_255", [](Inputs& in) { base64_encode(std::span(in.data, 255), in.out); }},
};

}  // namespace

extern "C" __attribute__((noinline)) void measured_loop(Operation run, Inputs& inputs, long count) {
    for (long i = 0; i < count; ++i) {
        run(inputs);
        __asm__ volatile("" ::: "memory");
    }
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OPERATION COUNT\noperations:", argv[0]);
        for (const Named& op : kOperations) {
            std::fprintf(stderr, " %s", op.name);
        }
        std::fprintf(stderr, "\n");
        return 2;
    }
    const std::string name = argv[1];
    const long count = std::strtol(argv[2], nullptr, 10);

    static Inputs inputs;
    for (std::size_t i = 0; i < sizeof inputs.data; ++i) {
        inputs.data[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    bench::fill_table(inputs.table);
    if (name == "record_meter_hit_first") {
        inputs.meter.id = inputs.table.entries[0].id;
    } else if (name == "record_meter_hit_last") {
        inputs.meter.id = inputs.table.entries[kTableEntries - 1].id;
    }
    if (name == "export_xml") {
        inputs.dir = bench::make_scratch_directory();
    }

    for (const Named& op : kOperations) {
        if (name == op.name) {
            measured_loop(op.run, inputs, count);
            if (!inputs.dir.empty()) {
                bench::remove_scratch_directory(inputs.dir);
            }
            return inputs.failed ? 1 : 0;
        }
    }
    std::fprintf(stderr, "unknown operation %s\n", name.c_str());
    return 2;
}
