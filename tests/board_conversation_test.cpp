// One board, one conversation: every instance and enumeration probe of the
// process on one board takes its turn, and a reply some earlier query gave up
// on is never taken for another asker's answer, whoever asks next.
#include <atomic>
#include <cstring>
#include <thread>

#include "bench_test.h"

using hostwin::Fn;

namespace {

constexpr int kQueries = 5000;  // queries per thread

// The value MDIO register `reg` of port 1 holds on the bench: every register
// a different one, so an answer that reached the wrong asker shows.
std::uint16_t registerValue(std::uint16_t reg) { return static_cast<std::uint16_t>(0xA000 ^ (reg * 7)); }

class BoardConversation : public BenchTest {
   protected:
    void SetUp() override {
        board = &bench.plug(1, "ABC12345");
        board->setTemperature(0, 41.5);
        for (std::uint16_t reg = 0; reg < 64; ++reg) board->state().mdio[1][reg] = registerValue(reg);
    }
    // Runs getVCC on `inst` while the board answers 150 ms late, so its read
    // times out and the board owes the reply.
    void timeOutVcc(CFP2INSTANCE *inst) {
        board->knobs().latencyMs = 150;
        double volts = 0;
        EXPECT_EQ(veskcfp2_getVCC(inst, &volts), VESKCFP2_CMD_FAILED);
        board->knobs().latencyMs = 0;
    }
    void expectOwnTemperature(CFP2INSTANCE *inst) {
        double celsius = 0;
        EXPECT_EQ(veskcfp2_getTemperature(inst, 0, &celsius), VESKCFP2_CMD_OK);
        EXPECT_EQ(celsius, 41.5) << "not the supply voltage a timed-out query left behind";
    }
    // Queries registers first..first+31 `kQueries` times; answers that are
    // not the register's own value (or not CMD_OK).
    // Starts once the other thread is ready too, so the two overlap.
    int pollRegisters(CFP2INSTANCE *inst, std::uint16_t first) {
        ready.fetch_add(1);
        while (ready.load() < 2) std::this_thread::yield();
        int wrong = 0;
        for (int i = 0; i < kQueries; ++i) {
            const auto reg = static_cast<std::uint16_t>(first + i % 32);
            std::uint16_t value = 0;
            if (veskcfp2_getMDIO(inst, 1, reg, &value) != VESKCFP2_CMD_OK || value != registerValue(reg)) ++wrong;
        }
        return wrong;
    }
    // A program that wrote a supply-voltage query and exited without reading
    // the answer: it waits in the board's endpoint.
    void leaveSupplyVoltageReplyUnread() {
        const HANDLE pipe = CreateFileA(hostwin::endpointName(bench.pathOf(*board)).c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
        std::uint8_t report[64] = {0xF6, 0x01, 0x00, 0x01};
        DWORD written = 0;
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        EXPECT_TRUE(WriteFile(pipe, report, sizeof report, &written, &overlapped));
        CloseHandle(overlapped.hEvent);
        CloseHandle(pipe);
    }
    vboard::Board *board = nullptr;
    std::atomic<int> ready{0};
};

TEST_F(BoardConversation, SecondInstanceAfterALateReplyGetsItsOwnAnswer) {
    CFP2INSTANCE *a = connected(1, 0);
    CFP2INSTANCE *b = connected(1, 0);
    timeOutVcc(a);
    expectOwnTemperature(b);
    expectOwnTemperature(a);
    EXPECT_EQ(hostwin::pendingReplies(bench.interfaceOf(*board)), 0u);
}

TEST_F(BoardConversation, OwedReplyOutlivesTheInstanceThatAskedIt) {
    // The asker disconnects, and is destroyed or kept: a fresh instance
    // connected next still collects the reply before asking.
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroyed" : "kept");
        CFP2INSTANCE *a = veskcfp2_createInstance(1, 0);
        ASSERT_EQ(veskcfp2_connect(a), 1);
        timeOutVcc(a);
        EXPECT_EQ(veskcfp2_disconnect(a), 1);
        if (destroy) veskcfp2_destroyInstance(a);
        expectOwnTemperature(connected(1, 0));
        releaseInstances();
        if (!destroy) veskcfp2_destroyInstance(a);
    }
}

TEST_F(BoardConversation, ProbeAfterALateReplyReadsTheSerialAndLeavesTheInstanceItsAnswer) {
    CFP2INSTANCE *inst = connected(1, 0);
    timeOutVcc(inst);
    std::uint16_t indices[4];
    std::uint8_t firsts[8] = {};
    ASSERT_EQ(veskcfp2_enumerateDevices(1, indices, firsts), 1);
    EXPECT_EQ(firsts[0], 'A') << "the probe took the late supply voltage for the EEPROM byte";
    expectOwnTemperature(inst);

    // And the other way round: a probe's late reply is the board's debt too.
    board->knobs().latencyMs = 150;
    ASSERT_EQ(veskcfp2_enumerateDevices(1, indices, firsts), 1);
    EXPECT_EQ(firsts[0], 0) << "a byte that never came reads as 0";
    board->knobs().latencyMs = 0;
    std::uint8_t port = 0xEE;
    board->state().ports[4] = 0x5C;
    EXPECT_EQ(veskcfp2_getPort(inst, 4, &port), VESKCFP2_CMD_OK);
    EXPECT_EQ(port, 0x5C);
}

TEST_F(BoardConversation, TwoThreadsOnOneBoardEachGetTheirOwnAnswers) {
    CFP2INSTANCE *a = connected(1, 0);
    CFP2INSTANCE *b = connected(1, 0);
    std::atomic<int> wrongA{-1};
    std::thread other([&] { wrongA = pollRegisters(a, 0); });
    const int wrongB = pollRegisters(b, 32);
    other.join();
    EXPECT_EQ(wrongA, 0);
    EXPECT_EQ(wrongB, 0);
    EXPECT_EQ(board->reports().size(), 2u * kQueries);
}

TEST_F(BoardConversation, EnumerationWhileAnotherThreadPollsTheBoard) {
    CFP2INSTANCE *inst = connected(1, 0);
    std::atomic<int> wrong{-1};
    std::thread poller([&] { wrong = pollRegisters(inst, 0); });
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    int badListings = 0;
    for (int i = 0; i < 100; ++i) {
        std::uint16_t indices[4];
        std::uint8_t firsts[8] = {};
        if (veskcfp2_enumerateDevices(1, indices, firsts) != 1 || firsts[0] != 'A') ++badListings;
    }
    poller.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(badListings, 0);
}

TEST_F(BoardConversation, ReplyAnotherProgramLeftInTheEndpointIsDrainedOnConnect) {
    leaveSupplyVoltageReplyUnread();
    ASSERT_EQ(hostwin::pendingReplies(bench.interfaceOf(*board)), 1u);

    const std::size_t readsBefore = hostwin::readLengths().size();
    const std::uint64_t start = hostwin::nowMs();
    CFP2INSTANCE *inst = connected(1, 0);
    EXPECT_EQ(hostwin::nowMs() - start, 10u) << "one read took the reply, one more waited 10 ms for nothing";
    const std::vector<std::uint32_t> reads = hostwin::readLengths();
    EXPECT_EQ(std::vector<std::uint32_t>(reads.begin() + static_cast<std::ptrdiff_t>(readsBefore), reads.end()),
              (std::vector<std::uint32_t>{64, 64}))
        << "whole-packet reads";
    // The drain found the endpoint empty at last: the board is in step, and
    // its first query is one read of its own length, with no ping before it.
    const std::size_t sentBefore = board->reports().size();
    const std::size_t readsBeforeQuery = hostwin::readLengths().size();
    expectOwnTemperature(inst);
    EXPECT_EQ(board->reports().size(), sentBefore + 1);
    EXPECT_EQ(hostwin::readLengths().size(), readsBeforeQuery + 1);
    EXPECT_EQ(hostwin::readLengths().back(), 3u);

    // A second instance on a board already open drains too (it cannot tell
    // a board in use from one replugged under a stale instance): one short
    // read that finds nothing.
    const std::size_t readsNow = hostwin::readLengths().size();
    connected(1, 0);
    EXPECT_EQ(hostwin::readLengths().size(), readsNow + 1);
}

TEST_F(BoardConversation, DrainThatCannotReadLeavesTheFirstQueryToCollectTheReply) {
    // Another program left a supply-voltage reply; this process's drain read
    // fails before it can tell whether anything is there.
    leaveSupplyVoltageReplyUnread();
    hostwin::failCalls(Fn::ReadFile, ERROR_GEN_FAILURE);
    CFP2INSTANCE *inst = connected(1, 0);
    EXPECT_EQ(hostwin::pendingReplies(bench.interfaceOf(*board)), 1u);
    expectOwnTemperature(inst);
    EXPECT_EQ(hostwin::pendingReplies(bench.interfaceOf(*board)), 0u);
}

TEST_F(BoardConversation, AnInstanceThatFindsItsBoardGoneLeavesTheReplugsOwedReplyAlone) {
    // The board is unplugged and plugged again before `stale` notices. A new
    // instance opens it, and its query times out: the board owes it a reply.
    // When `stale` then finds its own pipes gone, the board is back, and what
    // it owes the new instance is still to be collected.
    CFP2INSTANCE *stale = connected(1, 0);
    bench.unplug(*board);
    bench.replug(*board);
    CFP2INSTANCE *fresh = connected(1, 0);
    timeOutVcc(fresh);
    std::uint8_t port = 0;
    EXPECT_EQ(veskcfp2_getPort(stale, 3, &port), VESKCFP2_CMD_FAILED);
    expectOwnTemperature(fresh);
}

TEST_F(BoardConversation, TwoInstancesConnectingAtOnceNeverTakeAReplyLeftInTheEndpoint) {
    // Whichever of the two opens the board first drains it; the other must
    // not ask before that drain is done.
    CFP2INSTANCE *a = veskcfp2_createInstance(1, 0);
    CFP2INSTANCE *b = veskcfp2_createInstance(1, 0);
    int wrong = 0;
    for (int round = 0; round < 300; ++round) {
        leaveSupplyVoltageReplyUnread();
        std::atomic<int> go{0};
        std::thread other([&] {
            go.fetch_add(1);
            while (go.load() < 2) std::this_thread::yield();
            veskcfp2_connect(a);
        });
        go.fetch_add(1);
        while (go.load() < 2) std::this_thread::yield();
        double celsius = 0;
        if (veskcfp2_connect(b) == 1 && veskcfp2_getTemperature(b, 0, &celsius) == VESKCFP2_CMD_OK && celsius != 41.5)
            ++wrong;
        other.join();
        veskcfp2_disconnect(a);
        veskcfp2_disconnect(b);
        hostwin::dropPendingReplies(bench.interfaceOf(*board));
    }
    veskcfp2_destroyInstance(a);
    veskcfp2_destroyInstance(b);
    EXPECT_EQ(wrong, 0);
}

TEST_F(BoardConversation, BoardsNeverWaitForEachOther) {
    // The first board answers late; the second one's query takes no longer
    // than its own reply, and its answer is its own.
    vboard::Board &second = bench.plug(1, "SECOND01");
    second.setTemperature(0, -5.0);
    CFP2INSTANCE *slow = connected(1, 0);
    CFP2INSTANCE *fast = connected(1, 1);
    timeOutVcc(slow);
    const std::uint64_t start = hostwin::nowMs();
    double celsius = 0;
    EXPECT_EQ(veskcfp2_getTemperature(fast, 0, &celsius), VESKCFP2_CMD_OK);
    EXPECT_EQ(celsius, -5.0);
    EXPECT_EQ(hostwin::nowMs(), start) << "no collecting read on the other board";
    expectOwnTemperature(slow);
}

TEST_F(BoardConversation, FailedWriteAfterACollectThatGotNothingLeavesTheReplyOwed) {
    // The reply comes 250 ms after its query: the next query's collecting
    // read gets nothing in its 100 ms, then its write fails. The board still
    // owes the reply, so the third query collects it before asking.
    CFP2INSTANCE *inst = connected(1, 0);
    board->knobs().latencyMs = 250;
    double volts = 0;
    EXPECT_EQ(veskcfp2_getVCC(inst, &volts), VESKCFP2_CMD_FAILED);
    board->knobs().latencyMs = 0;
    hostwin::failCalls(Fn::WriteFile, ERROR_GEN_FAILURE);
    double celsius = 0;
    EXPECT_EQ(veskcfp2_getTemperature(inst, 0, &celsius), VESKCFP2_CMD_FAILED);
    expectOwnTemperature(inst);
}

// A connect whose read pipe did not open leaves no user behind, so the next
// connect drains the reply another program left.
TEST_F(BoardConversation, HalfFailedConnectLeavesTheNextConnectItsDrain) {
    leaveSupplyVoltageReplyUnread();
    bench.setOpenable(*board, true, false);
    EXPECT_EQ(veskcfp2_connect(create(1, 0)), 0);
    bench.setOpenable(*board, true, true);
    expectOwnTemperature(connected(1, 0));
}

// An instance whose board was unplugged and plugged again does not know it
// yet; the board may have been used by another program meanwhile.
TEST_F(BoardConversation, BoardReplugedUnderAStaleInstanceIsDrainedForTheNextOne) {
    connected(1, 0);
    bench.unplug(*board);
    bench.replug(*board);
    leaveSupplyVoltageReplyUnread();
    expectOwnTemperature(connected(1, 0));
}

// Another process died in the middle of an exchange, holding the board's
// turn: its reply may still come, so the next query resynchronises (a ping
// goes out before it) and gets its own answer.
TEST_F(BoardConversation, TurnAbandonedByADeadProcessMakesTheNextQueryResynchronise) {
    CFP2INSTANCE *inst = connected(1, 0);
    leaveSupplyVoltageReplyUnread();
    hostwin::abandonMutexes();
    board->clearReports();
    expectOwnTemperature(inst);
    const std::vector<vboard::Report> sent = board->reports();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(head(sent[0], 4), (std::vector<std::uint8_t>{0xF5, 0x01, 0x00, 0x00})) << "the resync's ping";
    EXPECT_EQ(head(sent[1], 4), (std::vector<std::uint8_t>{0xF6, 0x01, 0x00, 0x04}));
}

// Where the board's turn cannot be shared with other processes (neither in
// the global namespace nor in the session's), the board is not connected:
// talking to it unguarded could hand one process another's answer.
TEST_F(BoardConversation, BoardWhoseTurnCannotBeSharedIsNotConnected) {
    CFP2INSTANCE *inst = create(1, 0);
    hostwin::failCalls(Fn::CreateMutexA, ERROR_ACCESS_DENIED, 2);
    EXPECT_EQ(veskcfp2_connect(inst), 0);
    EXPECT_EQ(hostwin::openObjects().total(), 0u);
    // The global namespace refused, the session's serves.
    hostwin::failCalls(Fn::CreateFileMappingA, ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(veskcfp2_connect(inst), 1);
    expectOwnTemperature(inst);
}

}  // namespace
