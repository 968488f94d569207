// The exchange seen from the exports: timeouts, late, short and oversize
// replies, failed transfers and when the pipes are dropped.
#include <cstring>
#include <string>

#include "bench_test.h"

using hostwin::Fn;

namespace {

class Exchange : public ConnectedBoardTest {
   protected:
    bool pipesOpen() { return hostwin::openObjects().files == 2; }
    int getPort(std::uint8_t port, std::uint8_t *value) { return veskcfp2_getPort(inst, port, value); }
};

TEST_F(Exchange, SilentBoardFailsTheQueryAfterExactly100msAndKeepsThePipes) {
    board->knobs().silent = true;
    std::uint8_t reply[20];
    std::memset(reply, 0xEE, sizeof reply);
    const std::uint64_t cancels = hostwin::calls(Fn::CancelIo);
    const std::uint64_t start = hostwin::nowMs();
    EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(hostwin::nowMs() - start, 100u);
    EXPECT_TRUE(pipesOpen());
    EXPECT_EQ(reply[0], 0xEE) << "a ping that got nothing writes nothing";
    // The cancelled read was awaited before its record was released (the
    // fixture also checks no read was abandoned).
    EXPECT_EQ(hostwin::calls(Fn::CancelIo) - cancels, 1u);

    // The ping's reply never came: once it is taken as lost, pings answer.
    board->knobs().silent = false;
    EXPECT_TRUE(answersAgain([&] { return veskcfp2_ping(inst, reply); }));
}

TEST_F(Exchange, ReplyWithinTheWaitCompletesTheQuery) {
    board->knobs().latencyMs = 99;
    std::uint8_t value = 0xEE;
    board->state().ports[2] = 0x42;
    const std::uint64_t start = hostwin::nowMs();
    EXPECT_EQ(getPort(2, &value), VESKCFP2_CMD_OK);
    EXPECT_EQ(value, 0x42);
    EXPECT_EQ(hostwin::nowMs() - start, 99u);
}

TEST_F(Exchange, LateReplyIsCollectedBeforeTheNextQueryAndNeverDecoded) {
    board->knobs().latencyMs = 150;
    std::uint8_t identity[20];
    EXPECT_EQ(veskcfp2_ping(inst, identity), VESKCFP2_CMD_FAILED);
    EXPECT_TRUE(pipesOpen());

    // The ping's answer arrives after its read was cancelled. Replies carry
    // nothing that ties them to their query: the next query must not take it.
    board->knobs().latencyMs = 0;
    board->state().ports[7] = 0x99;
    std::uint8_t value = 0;
    EXPECT_EQ(getPort(7, &value), VESKCFP2_CMD_OK);
    EXPECT_EQ(value, 0x99);
    EXPECT_EQ(hostwin::pendingReplies(bench.interfaceOf(*board)), 0u);
    // The board answered in time again: the query after that reads once.
    const std::uint64_t reads = hostwin::calls(Fn::ReadFile);
    const std::uint64_t now = hostwin::nowMs();
    EXPECT_EQ(getPort(7, &value), VESKCFP2_CMD_OK);
    EXPECT_EQ(hostwin::calls(Fn::ReadFile) - reads, 1u);
    EXPECT_EQ(hostwin::nowMs(), now);
}

TEST_F(Exchange, ShortRepliesAreGradedShortAndDecodeWhatCame) {
    board->state().ports[1] = 0x5A;
    board->knobs().replyBytes = 1;
    std::uint8_t value = 0xEE;
    EXPECT_EQ(getPort(1, &value), VESKCFP2_CMD_SHORT);
    EXPECT_EQ(value, 0) << "the byte that never came reads as 0";

    board->knobs().replyBytes = 0;  // a read that succeeds with nothing
    value = 0xEE;
    EXPECT_EQ(getPort(1, &value), VESKCFP2_CMD_SHORT);
    EXPECT_EQ(value, 0);

    board->knobs().replyBytes = 5;
    std::uint8_t reply[20];
    std::memset(reply, 0xEE, sizeof reply);
    EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_SHORT);
    EXPECT_EQ(0, std::memcmp(reply, board->state().identity.data(), 5));
    EXPECT_EQ(reply[5], 0xEE) << "nothing is written past what arrived";
    EXPECT_TRUE(pipesOpen());
}

TEST_F(Exchange, CountLargerThanAskedIsAFailedRead) {
    board->knobs().oversize = 1;
    std::uint8_t value = 0;
    // Left behind by some other board's failure: a read that succeeded must
    // not be judged by it.
    SetLastError(ERROR_INVALID_HANDLE);
    EXPECT_EQ(getPort(1, &value), VESKCFP2_CMD_FAILED);
    EXPECT_TRUE(pipesOpen()) << "not a vanished device";
    board->knobs().oversize = 0;
    EXPECT_EQ(getPort(1, &value), VESKCFP2_CMD_OK);
}

TEST_F(Exchange, FailedQueryStillWritesItsOutputFromAZeroedReply) {
    board->knobs().silent = true;
    std::uint16_t data = 0xEEEE;
    EXPECT_EQ(veskcfp2_getMDIO(inst, 1, 0x10, &data), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(data, 0);
}

TEST_F(Exchange, WriteFailureOtherThanInvalidHandleKeepsThePipes) {
    hostwin::failCalls(Fn::WriteFile, ERROR_GEN_FAILURE);
    EXPECT_EQ(veskcfp2_resetMCU(inst), VESKCFP2_CMD_FAILED);
    EXPECT_TRUE(pipesOpen());
    EXPECT_EQ(veskcfp2_resetMCU(inst), VESKCFP2_CMD_OK) << "the next command tries again";
    EXPECT_EQ(board->state().resets, 1u);
}

TEST_F(Exchange, InvalidHandleOnWriteOrReadDropsBothPipes) {
    for (Fn fn : {Fn::WriteFile, Fn::ReadFile}) {
        SCOPED_TRACE(hostwin::name(fn));
        hostwin::failCalls(fn, ERROR_INVALID_HANDLE);
        std::uint8_t value = 0;
        EXPECT_EQ(getPort(1, &value), VESKCFP2_CMD_FAILED);
        EXPECT_EQ(hostwin::openObjects().files, 0u);
        // Every command now fails without touching the system...
        EXPECT_EQ(systemCallsDuring([&] {
                      EXPECT_EQ(getPort(1, &value), VESKCFP2_CMD_FAILED);
                      EXPECT_EQ(veskcfp2_resetMCU(inst), VESKCFP2_CMD_FAILED);
                  }),
                  0u);
        // ...until the board is connected again.
        EXPECT_EQ(veskcfp2_connect(inst), 1);
        EXPECT_EQ(getPort(1, &value), VESKCFP2_CMD_OK);
    }
}

TEST_F(Exchange, BoardVanishingAfterTakingTheReportDropsThePipesOnTheRead) {
    std::uint8_t reply[20];
    // The write goes through; the board is gone before its reply is read.
    hostwin::failCalls(Fn::ReadFile, ERROR_INVALID_HANDLE);
    EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(board->reports().size(), 1u);
    EXPECT_EQ(hostwin::openObjects().files, 0u);
    bench.unplug(*board);
    EXPECT_EQ(veskcfp2_connect(inst), 0);
    bench.replug(*board);
    EXPECT_EQ(veskcfp2_connect(inst), 1);
    EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_OK);
}

TEST_F(Exchange, CompletionFailureIsPrintedAndFails) {
    board->knobs().latencyMs = 10;  // the read goes pending, then the wait is satisfied
    hostwin::failCalls(Fn::GetOverlappedResult, ERROR_GEN_FAILURE);
    std::uint8_t value = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(getPort(1, &value), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: 31");
    EXPECT_TRUE(pipesOpen());
}

TEST_F(Exchange, CompletionFailingWithInvalidHandleDropsThePipes) {
    board->knobs().latencyMs = 10;
    hostwin::failCalls(Fn::GetOverlappedResult, ERROR_INVALID_HANDLE);
    std::uint8_t value = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(getPort(1, &value), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: 6");
    EXPECT_EQ(hostwin::openObjects().files, 0u);
}

TEST_F(Exchange, TransferWithoutAnEventStartsNoIo) {
    hostwin::failCalls(Fn::CreateEventA, ERROR_NOT_ENOUGH_MEMORY);
    const std::uint64_t writes = hostwin::calls(Fn::WriteFile);
    EXPECT_EQ(veskcfp2_resetMCU(inst), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(hostwin::calls(Fn::WriteFile), writes);
    EXPECT_TRUE(pipesOpen());
    EXPECT_EQ(board->reports().size(), 0u);

    // The same on the read: the report went out, no read is started.
    hostwin::failCalls(Fn::CreateEventA, ERROR_NOT_ENOUGH_MEMORY, 1, 1);
    std::uint8_t value = 0;
    const std::uint64_t reads = hostwin::calls(Fn::ReadFile);
    EXPECT_EQ(getPort(1, &value), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(hostwin::calls(Fn::ReadFile), reads);
    EXPECT_TRUE(pipesOpen());
}

TEST_F(Exchange, EndOfFileFailsWithoutCancelling) {
    hostwin::failCalls(Fn::ReadFile, ERROR_HANDLE_EOF);
    std::uint8_t value = 0;
    const std::uint64_t cancels = hostwin::calls(Fn::CancelIo);
    EXPECT_EQ(getPort(1, &value), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(hostwin::calls(Fn::CancelIo), cancels);
    EXPECT_TRUE(pipesOpen());
    hostwin::dropPendingReplies(bench.interfaceOf(*board));
}

TEST_F(Exchange, FailedWaitCancelsAndKeepsThePipes) {
    board->knobs().latencyMs = 10;
    hostwin::failCalls(Fn::WaitForSingleObject, ERROR_GEN_FAILURE);
    std::uint8_t value = 0;
    const std::uint64_t cancels = hostwin::calls(Fn::CancelIo);
    EXPECT_EQ(getPort(1, &value), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(hostwin::calls(Fn::CancelIo) - cancels, 1u);
    EXPECT_TRUE(pipesOpen());
}

TEST_F(Exchange, EveryReportIsWrittenWholeAndRepliesAreReadAtTheirExactLength) {
    std::uint8_t reply[20];
    std::uint8_t value = 0xEE;
    std::uint16_t word = 0;
    board->state().ports[0] = 0x3C;
    board->state().mdio[0][0] = 0x4D5E;
    const std::size_t readsBefore = hostwin::readLengths().size();
    EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_OK);
    EXPECT_EQ(veskcfp2_getPort(inst, 0, &value), VESKCFP2_CMD_OK);
    EXPECT_EQ(value, 0x3C);
    EXPECT_EQ(veskcfp2_getMDIO(inst, 0, 0, &word), VESKCFP2_CMD_OK);
    EXPECT_EQ(word, 0x4D5E);
    const std::vector<std::uint32_t> reads = hostwin::readLengths();
    EXPECT_EQ(std::vector<std::uint32_t>(reads.begin() + static_cast<std::ptrdiff_t>(readsBefore), reads.end()),
              (std::vector<std::uint32_t>{20, 2, 3}));
    EXPECT_EQ(board->malformedWrites(), 0u);
    EXPECT_EQ(board->reports().size(), 3u);
    // A 20-byte ping answer cut to 2 bytes by the read would leave 18 bytes
    // queued; nothing is left over when each read asks the row's length.
    EXPECT_EQ(hostwin::pendingReplies(bench.interfaceOf(*board)), 0u);
}

}  // namespace
