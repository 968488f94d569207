// Creating instances, connecting, ping and disconnecting on the bench.
#include <cstring>

#include "bench_test.h"

using hostwin::Fn;

namespace {

class Connection : public BenchTest {};

TEST_F(Connection, PingOnAType1BoardSendsTheMcuQueryAndReturnsTheIdentityBlock) {
    vboard::Board &board = bench.plug(1, "ABC12345");
    CFP2INSTANCE *inst = connected(1, 0);

    std::uint8_t reply[20];
    std::memset(reply, 0xEE, sizeof reply);
    ASSERT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_OK);

    ASSERT_EQ(board.reports().size(), 1u);
    vboard::Report sent = board.lastReport();
    EXPECT_EQ(head(sent, 4), (std::vector<std::uint8_t>{0xF5, 0x01, 0x00, 0x00}));
    for (std::size_t i = 4; i < sent.size(); ++i) EXPECT_EQ(sent[i], 0) << "byte " << i;
    EXPECT_EQ(0, std::memcmp(reply, board.state().identity.data(), 20));
}

TEST_F(Connection, UnknownBoardTypeCountsAsType0) {
    bench.plug(1, "TYPE1");
    vboard::Board &type0 = bench.plug(0, "TYPE0");
    // Index 0 holds a type-1 board, which a type-0 instance must not accept.
    CFP2INSTANCE *wrong = create(7, 0);
    EXPECT_EQ(veskcfp2_connect(wrong), 0);
    CFP2INSTANCE *inst = connected(7, 1);
    std::uint8_t reply[20];
    EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_OK);
    EXPECT_EQ(type0.reports().size(), 1u);
}

TEST_F(Connection, NullInstanceAndNullBufferFailWithoutIo) {
    bench.plug(1, "A");
    CFP2INSTANCE *inst = connected(1, 0);
    std::uint8_t reply[20];
    EXPECT_EQ(systemCallsDuring([&] {
                  EXPECT_EQ(veskcfp2_connect(nullptr), 0);
                  EXPECT_EQ(veskcfp2_disconnect(nullptr), 0);
                  EXPECT_EQ(veskcfp2_ping(nullptr, reply), VESKCFP2_CMD_FAILED);
                  EXPECT_EQ(veskcfp2_ping(inst, nullptr), VESKCFP2_CMD_FAILED);
                  veskcfp2_destroyInstance(nullptr);
              }),
              0u);
}

TEST_F(Connection, PingBeforeConnectFailsWithoutIo) {
    bench.plug(1, "A");
    CFP2INSTANCE *inst = create(1, 0);
    std::uint8_t reply[20];
    EXPECT_EQ(systemCallsDuring([&] { EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_FAILED); }), 0u);
}

TEST_F(Connection, CreateSendsNothingAndLooksNothingUp) {
    EXPECT_EQ(systemCallsDuring([&] { create(1, 5); }), 0u);
}

TEST_F(Connection, ConnectToMissingIndexOrOtherTypeFails) {
    bench.plug(0, "ZERO");
    EXPECT_EQ(veskcfp2_connect(create(1, 0)), 0);  // other type
    EXPECT_EQ(veskcfp2_connect(create(0, 1)), 0);  // nothing at index 1
    EXPECT_EQ(hostwin::openObjects().files, 0u);
}

TEST_F(Connection, SecondConnectClosesTheFirstPipesBeforeOpeningNewOnes) {
    bench.plug(1, "A");
    CFP2INSTANCE *inst = connected(1, 0);
    EXPECT_EQ(hostwin::openObjects().files, 2u);
    const std::uint64_t closesBefore = hostwin::calls(Fn::CloseHandle);
    EXPECT_EQ(veskcfp2_connect(inst), 1);
    EXPECT_EQ(hostwin::openObjects().files, 2u);
    // The two pipes, the event of the read that drained the endpoint, and
    // the turn and mark of the board nobody had open any more.
    EXPECT_EQ(hostwin::calls(Fn::CloseHandle) - closesBefore, 5u);
}

TEST_F(Connection, ConnectAfterAFailedHalfOpenConnectDoesNotLeakTheOpenPipe) {
    vboard::Board &board = bench.plug(1, "A");
    bench.setOpenable(board, true, false);
    CFP2INSTANCE *inst = create(1, 0);
    EXPECT_EQ(veskcfp2_connect(inst), 0);
    EXPECT_EQ(hostwin::openObjects().files, 0u);  // the write pipe opened and was closed again
    // Half open is not connected: a command without a reply could be
    // written, but nothing goes out.
    std::uint8_t value = 0;
    EXPECT_EQ(systemCallsDuring([&] {
                  EXPECT_EQ(veskcfp2_resetMCU(inst), VESKCFP2_CMD_FAILED);
                  EXPECT_EQ(veskcfp2_setPort(inst, 3, 1), VESKCFP2_CMD_FAILED);
                  EXPECT_EQ(veskcfp2_eepromWrite(inst, 0, 1), VESKCFP2_CMD_FAILED);
                  EXPECT_EQ(veskcfp2_getPort(inst, 3, &value), VESKCFP2_CMD_FAILED);
              }),
              0u);
    EXPECT_EQ(board.reports().size(), 0u);
    EXPECT_EQ(veskcfp2_connect(inst), 0);
    EXPECT_EQ(hostwin::openObjects().files, 0u);
    bench.setOpenable(board, true, true);
    EXPECT_EQ(veskcfp2_connect(inst), 1);
    EXPECT_EQ(hostwin::openObjects().files, 2u);
}

TEST_F(Connection, DisconnectTwiceAndDisconnectWithoutConnectAreClean) {
    bench.plug(1, "A");
    CFP2INSTANCE *never = create(1, 0);
    EXPECT_EQ(veskcfp2_disconnect(never), 1);
    CFP2INSTANCE *inst = connected(1, 0);
    EXPECT_EQ(veskcfp2_disconnect(inst), 1);
    EXPECT_EQ(veskcfp2_disconnect(inst), 1);
    EXPECT_EQ(hostwin::openObjects().files, 0u);
}

TEST_F(Connection, RefusedCloseMakesDisconnectFailAndTheNextConnectStillWorks) {
    bench.plug(1, "A");
    CFP2INSTANCE *inst = connected(1, 0);
    hostwin::failCalls(Fn::CloseHandle, ERROR_INVALID_HANDLE, 1, 1);  // the read pipe
    EXPECT_EQ(veskcfp2_disconnect(inst), 0);
    // Both pipes were given up: nothing left to close, and connect reopens.
    EXPECT_EQ(systemCallsDuring([&] { EXPECT_EQ(veskcfp2_disconnect(inst), 1); }), 0u);
    EXPECT_EQ(veskcfp2_connect(inst), 1);
    std::uint8_t reply[20];
    EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_OK);
}

TEST_F(Connection, DestroyWithoutDisconnectClosesNoPipe) {
    bench.plug(1, "A");
    CFP2INSTANCE *inst = veskcfp2_createInstance(1, 0);
    ASSERT_EQ(veskcfp2_connect(inst), 1);
    // Only the board's turn and mark go, with the board's last user.
    EXPECT_EQ(systemCallsDuring([&] { veskcfp2_destroyInstance(inst); }), 3u);
    EXPECT_EQ(hostwin::openObjects().files, 2u);
    EXPECT_EQ(hostwin::openObjects().mutexes + hostwin::openObjects().sections, 0u);
    hostwin::reset();  // the caller's leak, not the library's: clear it for the fixture
}

TEST_F(Connection, SurpriseRemovalDropsPipesAndReplugRecovers) {
    vboard::Board &board = bench.plug(1, "A");
    CFP2INSTANCE *inst = connected(1, 0);
    std::uint8_t reply[20];
    bench.unplug(board);
    EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(hostwin::openObjects().files, 0u) << "both pipes closed after the invalid handle";
    EXPECT_EQ(systemCallsDuring([&] { EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_FAILED); }), 0u);
    EXPECT_EQ(veskcfp2_connect(inst), 0) << "the board is gone";
    bench.replug(board);
    EXPECT_EQ(veskcfp2_connect(inst), 1);
    EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_OK);
}

// Two boards carrying one serial number (two fresh boards from one batch)
// get paths of their own, as Windows names the second after its place on
// the bus: each instance reaches its own board, never the other.
TEST_F(Connection, TwoBoardsWithOneSerialNumberEachAnswerTheirOwnInstance) {
    vboard::Board &first = bench.plug(0, "TWIN0001");
    vboard::Board &second = bench.plug(0, "twin0001");
    EXPECT_NE(bench.pathOf(first), bench.pathOf(second));
    first.state().ports[5] = 0x11;
    second.state().ports[5] = 0x22;
    CFP2INSTANCE *a = connected(0, 0);
    CFP2INSTANCE *b = connected(0, 1);
    std::uint8_t va = 0, vb = 0;
    ASSERT_EQ(veskcfp2_getPort(a, 5, &va), VESKCFP2_CMD_OK);
    ASSERT_EQ(veskcfp2_getPort(b, 5, &vb), VESKCFP2_CMD_OK);
    EXPECT_EQ(va, 0x11);
    EXPECT_EQ(vb, 0x22);
    EXPECT_EQ(first.reports().size(), 1u);
    EXPECT_EQ(second.reports().size(), 1u);
}

}  // namespace
