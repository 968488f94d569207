// bench_test.h - the fixture every library test starts from: an empty
// virtual bench, and at the end a check that nothing was left open.
#ifndef BREVANT_TESTS_BENCH_TEST_H
#define BREVANT_TESTS_BENCH_TEST_H

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "brevant.h"
#include "hostwin/platform.h"
#include "test_instances.h"
#include "vboard/bench.h"

// create() and connected() give instances the fixture releases at the end.
class BenchTest : public ::testing::Test, protected TestInstances {
   protected:
    void TearDown() override {
        releaseInstances();
        settleBoards();
        const hostwin::OpenObjects open = hostwin::openObjects();
        EXPECT_EQ(open.files, 0u) << "file handles left open";
        EXPECT_EQ(open.events, 0u) << "events left open";
        EXPECT_EQ(open.deviceLists, 0u) << "device lists left open";
        EXPECT_EQ(open.registryKeys, 0u) << "registry keys left open";
        EXPECT_EQ(open.mutexes, 0u) << "board turns left open";
        EXPECT_EQ(open.sections, 0u) << "board marks left open";
        EXPECT_EQ(hostwin::abandonedIo(), 0u) << "I/O records released while the system owned them";
        EXPECT_EQ(hostwin::outstandingIo(), 0u) << "reads left unfinished";
    }

    // The library remembers, for as long as the process runs, a reply a board
    // still owes, by the board's path; the next test's boards have the same
    // paths. An enumeration with probes collects every such reply from the
    // boards answering normally again, so each test starts as a new process
    // would.
    void settleBoards() {
        hostwin::clearFaults();
        for (const auto &board : bench.boards()) {
            std::lock_guard<std::mutex> hold(board->mutex());
            board->knobs() = vboard::Knobs{};
        }
        // A board that was silent may still be followed for ping replies it
        // never sent; each enumeration's waits age them until they are taken
        // as lost (a few seconds of virtual time).
        for (int round = 0; round < 40; ++round) {
            std::uint16_t indices[VESKCFP2_MAX_DEVICES];
            std::uint8_t firsts[2 * VESKCFP2_MAX_DEVICES];
            veskcfp2_enumerateDevices(-1, indices, firsts);
            const hostwin::OpenObjects open = hostwin::openObjects();
            if (open.mutexes + open.sections == 0) break;
        }
    }

    // Platform calls made while running `body`.
    template <typename F>
    std::uint64_t systemCallsDuring(F body) {
        const std::uint64_t before = hostwin::systemCalls();
        body();
        return hostwin::systemCalls() - before;
    }

    vboard::Bench bench;
};

// A bench with one type-1 board, serial ABC12345, at device index 0, and an
// instance connected to it.
class ConnectedBoardTest : public BenchTest {
   protected:
    void SetUp() override {
        board = &bench.plug(1, "ABC12345");
        inst = connected(1, 0);
    }
    vboard::Board *board = nullptr;
    CFP2INSTANCE *inst = nullptr;
};

// Queries `query` until it answers CMD_OK, at most `tries` times: a board
// whose ping reply was lost (silent, or dropped) answers again once the
// library has waited long enough to take that reply as lost (about 3 s of
// waiting on the board, virtual time here). Whether it answered.
template <typename Query>
bool answersAgain(Query query, int tries = 40) {
    for (int i = 0; i < tries; ++i) {
        if (query() == VESKCFP2_CMD_OK) return true;
    }
    return false;
}

// The first eight bytes of a report, for readable expectations.
inline std::vector<std::uint8_t> head(const vboard::Report &r, std::size_t n = 8) {
    return std::vector<std::uint8_t>(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(n));
}

#endif
