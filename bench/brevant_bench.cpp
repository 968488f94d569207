// brevant_bench.cpp - what the library costs on top of the link.
//
//   Library/<family>  one call of the export through the whole stack: the
//                     library, the virtual Windows' system calls and a virtual
//                     board that answers at once;
//   Board/<family>    the same board answering the same reports, called
//                     directly: the difference to Library/ is the share of the
//                     library and the system calls it makes;
//   Connect           connecting an instance that is connected already (two
//                     closes, two lookups, two opens);
//   Enumerate/<n>     enumeration of type-1 boards with n interfaces present,
//                     with the interface lists built per call as a counter;
//   TimeoutThenQuery  a query that times out (its reply 150 ms late), then a
//                     query that resynchronises the board first: against
//                     Library/GetPort + Library/GetTemperature, what a resync
//                     costs the host (the waits are the bench's virtual time).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "brevant.h"
#include "hostwin/platform.h"
#include "vboard/bench.h"

namespace {

struct Family {
    const char *name;
    int (*run)(CFP2INSTANCE *);
};

using I = CFP2INSTANCE *;
// clang-format off
const Family kFamilies[] = {
    {"Ping", [](I i) { std::uint8_t r[20]; return veskcfp2_ping(i, r); }},
    {"ResetMCU", [](I i) { return veskcfp2_resetMCU(i); }},
    {"SetPort", [](I i) { return veskcfp2_setPort(i, 2, 0x55); }},
    {"GetPort", [](I i) { std::uint8_t v; return veskcfp2_getPort(i, 2, &v); }},
    {"SetVendorIO", [](I i) { return veskcfp2_setVendorIO(i, 0x5A); }},
    {"FTDIEnable", [](I i) { return veskcfp2_p3v3_FTDIEnable(i, 1); }},
    {"SetPower", [](I i) { return veskcfp2_setPower(i, 3); }},
    {"EnableCurrentSense", [](I i) { return veskcfp2_enableCurrentSense(i, 7, 1); }},
    {"GetCurrentSense", [](I i) { std::uint8_t v; return veskcfp2_getCurrentSense(i, 1, &v); }},
    {"CurrentMonitor", [](I i) { std::uint16_t v; return veskcfp2_currentMonitor(i, &v); }},
    {"SetMDIO", [](I i) { return veskcfp2_setMDIO(i, 1, 0x8000, 0x1234); }},
    {"GetMDIO", [](I i) { std::uint16_t v; return veskcfp2_getMDIO(i, 1, 0x8000, &v); }},
    {"GetVCC", [](I i) { double v; return veskcfp2_getVCC(i, &v); }},
    {"GetTemperature", [](I i) { double v; return veskcfp2_getTemperature(i, 0, &v); }},
    {"EepromRead", [](I i) { std::uint8_t v; return veskcfp2_eepromRead(i, 0x10, &v); }},
    {"EepromWrite", [](I i) { return veskcfp2_eepromWrite(i, 0x10, 0x5A); }},
    {"GetSN", [](I i) -> int { std::uint8_t sn[8]; return veskcfp2_getSN(i, sn); }},
    {"SetSN", [](I i) -> int { const std::uint8_t sn[4] = {'B', 'E', 'N', 'C'}; return veskcfp2_setSN(i, sn, 4); }},
};
// clang-format on

constexpr unsigned kClearEvery = 1024;  // the board records every report: forget them now and then

// A bench with one type-1 board and a connected instance on it.
struct Rig {
    vboard::Bench bench;
    vboard::Board &board = bench.plug(1, "BENCH001");
    CFP2INSTANCE *inst = veskcfp2_createInstance(1, 0);
    Rig() { veskcfp2_connect(inst); }
    ~Rig() {
        veskcfp2_disconnect(inst);
        veskcfp2_destroyInstance(inst);
    }
};

void library(benchmark::State &state, const Family &family) {
    Rig rig;
    if (family.run(rig.inst) != VESKCFP2_CMD_OK) {
        state.SkipWithError("the command does not succeed on the bench");
        return;
    }
    const std::size_t reports = rig.board.reports().size();
    rig.board.clearReports();
    unsigned n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(family.run(rig.inst));
        if (++n % kClearEvery == 0) rig.board.clearReports();
    }
    state.counters["reports"] = static_cast<double>(reports);
}

void boardAlone(benchmark::State &state, const Family &family) {
    Rig rig;
    family.run(rig.inst);
    const std::vector<vboard::Report> reports = rig.board.reports();
    rig.board.clearReports();
    unsigned n = 0;
    for (auto _ : state) {
        for (const vboard::Report &r : reports) benchmark::DoNotOptimize(rig.board.onWrite(r.data(), r.size()));
        if (++n % kClearEvery == 0) rig.board.clearReports();
    }
    state.counters["reports"] = static_cast<double>(reports.size());
}

void connect(benchmark::State &state) {
    Rig rig;
    const std::uint64_t lists = hostwin::calls(hostwin::Fn::SetupDiGetClassDevsA);
    for (auto _ : state) benchmark::DoNotOptimize(veskcfp2_connect(rig.inst));
    state.counters["lists_per_call"] = benchmark::Counter(
        static_cast<double>(hostwin::calls(hostwin::Fn::SetupDiGetClassDevsA) - lists),
        benchmark::Counter::kAvgIterations);
}

void timeoutThenQuery(benchmark::State &state) {
    Rig rig;
    std::uint8_t port = 0;
    double celsius = 0;
    unsigned n = 0;
    for (auto _ : state) {
        rig.board.knobs().latencyMs = 150;
        benchmark::DoNotOptimize(veskcfp2_getPort(rig.inst, 2, &port));
        rig.board.knobs().latencyMs = 0;
        if (veskcfp2_getTemperature(rig.inst, 0, &celsius) != VESKCFP2_CMD_OK) {
            state.SkipWithError("the query after the timeout failed");
            break;
        }
        if (++n % kClearEvery == 0) rig.board.clearReports();
    }
}

void enumerate(benchmark::State &state) {
    vboard::Bench bench;
    const auto boards = static_cast<int>(state.range(0));
    for (int b = 0; b < boards; ++b) bench.plug(1, "ENUM" + std::to_string(1000 + b));
    std::uint16_t indices[VESKCFP2_MAX_DEVICES];
    std::uint8_t first[2 * VESKCFP2_MAX_DEVICES];
    int found = 0;
    const std::uint64_t lists = hostwin::calls(hostwin::Fn::SetupDiGetClassDevsA);
    unsigned n = 0;
    for (auto _ : state) {
        found = veskcfp2_enumerateDevices(1, indices, first);
        if (++n % kClearEvery == 0) {
            for (const auto &b : bench.boards()) b->clearReports();
        }
    }
    if (found != boards) state.SkipWithError("enumeration missed boards");
    state.counters["boards"] = found;
    state.counters["lists_per_call"] = benchmark::Counter(
        static_cast<double>(hostwin::calls(hostwin::Fn::SetupDiGetClassDevsA) - lists),
        benchmark::Counter::kAvgIterations);
}

}  // namespace

int main(int argc, char **argv) {
    for (const Family &f : kFamilies) {
        benchmark::RegisterBenchmark((std::string("Library/") + f.name).c_str(), library, f);
        benchmark::RegisterBenchmark((std::string("Board/") + f.name).c_str(), boardAlone, f);
    }
    benchmark::RegisterBenchmark("Connect", connect);
    benchmark::RegisterBenchmark("TimeoutThenQuery", timeoutThenQuery);
    benchmark::RegisterBenchmark("Enumerate", enumerate)->Arg(0)->Arg(8)->Arg(127)->Unit(benchmark::kMicrosecond);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
