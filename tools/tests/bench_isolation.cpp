// bench_isolation.cpp - a program that builds its own vboard::Bench (as every
// test does) neither finds the default bench nor reads or writes the state
// file, even while the library is driven. Exits 0 when that holds.
//
//     bench_isolation STATE-FILE   (also named by BREVANT_BENCH_STATE)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "brevant.h"
#include "vboard/bench.h"

namespace {

const char *statePath = nullptr;
// A good state file that would give the default type-1 board the serial
// number POISONED if it were loaded.
const char kState[] =
    "brevant-bench-state 1\n"
    "board 0 1 VBRD0001\n"
    "eeprom 00000 504F49534F4E4544\n"
    "end\n";

std::string contents(const char *path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

int fail(const char *what) {
    std::fprintf(stderr, "bench_isolation: %s\n", what);
    return 1;
}

// Runs after every exit handler registered later, the bench's own included.
void checkStateAtExit() {
    if (contents(statePath) != kState) {
        std::fprintf(stderr, "bench_isolation: the state file was written at exit\n");
        std::_Exit(1);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) return fail("usage: bench_isolation STATE-FILE");
    statePath = argv[1];
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(statePath).parent_path(), ec);
    {
        std::ofstream out(statePath, std::ios::binary | std::ios::trunc);
        out << kState;
        if (!out) return fail("cannot write the state file");
    }
    std::atexit(checkStateAtExit);

    vboard::Bench bench;
    if (veskcfp2_enumerateDevices(5, nullptr, nullptr) != 0) return fail("the default bench is plugged in");
    bench.plug(VESKCFP2_BOARD_8348, "ISOL0001");

    CFP2INSTANCE *board = veskcfp2_createInstance(VESKCFP2_BOARD_8348, 0);
    if (veskcfp2_connect(board) != 1) return fail("connect failed");
    const std::uint8_t serial[] = {'C', 'H', 'A', 'N', 'G', 'E', 'D'};
    std::uint8_t back[8] = {};
    const bool ok = veskcfp2_setSN(board, serial, 7) == 1 && veskcfp2_getSN(board, back) == 1 &&
                    std::string(back, back + 8) == "CHANGED ";
    veskcfp2_disconnect(board);
    veskcfp2_destroyInstance(board);
    if (!ok) return fail("the bench's own board did not keep its serial number");
    if (contents(statePath) != kState) return fail("the state file changed");
    return 0;
}
