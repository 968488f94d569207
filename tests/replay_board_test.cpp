// A board recorded in a wire log, replayed on the bench, and the diagnostic
// exchange brevantctl doctor reads whole packets with: a replayed board gives
// its recorded replies in order, late ones late, and names what it was never
// asked; a whole-packet read shows padding and leaves a late reply to be
// collected, never taken for the next query's answer.
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "bench_test.h"
#include "brevant_diagnostics.h"
#include "vboard/replay.h"

namespace {

std::string hexText(const std::uint8_t *bytes, std::size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

// Wire log lines of board "at=bench%3A1" with serial REC00002.
std::string reportLine(const vboard::Report &report) {
    return "2026-12-08T10:00:00.000000Z report at=bench%3A1 sn=REC00002 asked=64 got=64 wait=- took=5 ok bytes=" +
           hexText(report.data(), report.size()) + "\n";
}
std::string replyLine(const std::string &outcome, const std::string &bytes, std::uint32_t tookUs = 50) {
    return "2026-12-08T10:00:00.000100Z reply at=bench%3A1 sn=REC00002 asked=2 got=" + std::to_string(bytes.size() / 2) +
           " wait=100 took=" + std::to_string(tookUs) + " " + outcome + " bytes=" + bytes + "\n";
}

class ReplayedBoard : public BenchTest {
   protected:
    // The report a fresh instance sends for "port get 3", as a plain board
    // receives it.
    vboard::Report portQuery() {
        vboard::Board &plain = bench.plug(1, "REC00001");
        CFP2INSTANCE *probe = connected(1, 0);
        std::uint8_t value = 0;
        EXPECT_EQ(veskcfp2_getPort(probe, 3, &value), VESKCFP2_CMD_OK);
        return plain.lastReport();
    }
    // A second board answering from `log`, connected on a fresh instance.
    CFP2INSTANCE *replaying(const std::string &log) {
        vboard::Board &board = bench.plug(1, "REC00002");
        board.knobs().replay = std::make_shared<vboard::Replay>(vboard::Replay::parse(log, "REC00002", "bench.log"));
        return connected(1, 1);
    }
};

TEST_F(ReplayedBoard, GivesTheRecordedRepliesInOrderAndNamesAQueryTooMany) {
    const vboard::Report query = portQuery();
    const std::string log = "# a program opened this log\n" + reportLine(query) + replyLine("ok", "F011") +
                            reportLine(query) + replyLine("ok", "F022");
    CFP2INSTANCE *inst = replaying(log);
    std::uint8_t value = 0;
    EXPECT_EQ(veskcfp2_getPort(inst, 3, &value), VESKCFP2_CMD_OK);
    EXPECT_EQ(value, 0x11);
    EXPECT_EQ(veskcfp2_getPort(inst, 3, &value), VESKCFP2_CMD_OK);
    EXPECT_EQ(value, 0x22);
    // The recorded run asked twice: a third time is where this program differs.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(veskcfp2_getPort(inst, 3, &value), VESKCFP2_CMD_FAILED);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("replay of bench.log: report " + hexText(query.data(), 64) +
                        " (time 3): the recorded run sent it 2 times; no reply"),
              std::string::npos)
        << said;
}

TEST_F(ReplayedBoard, ALateReplyComesLateAgainAndIsNotTakenForTheNextAnswer) {
    const vboard::Report query = portQuery();
    // Recorded: the first reply came after its read gave up; the second
    // query's resync (a ping) collected it with the ping's own reply before
    // the second query got its own reply in time.
    vboard::Report ping{};
    ping[0] = 0xF5;
    ping[1] = 0x01;
    const std::string log = reportLine(query) + replyLine("timeout", "") + reportLine(ping) +
                            replyLine("ok", "F033", 2000) + replyLine("ok", std::string(40, 'A')) +
                            reportLine(query) + replyLine("ok", "F044");
    CFP2INSTANCE *inst = replaying(log);
    std::uint8_t value = 0;
    EXPECT_EQ(veskcfp2_getPort(inst, 3, &value), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(veskcfp2_getPort(inst, 3, &value), VESKCFP2_CMD_OK);
    EXPECT_EQ(value, 0x44);
}

TEST(ReplayLog, NamesWhyItCannotChooseABoard) {
    const std::string two = "2026-12-08T10:00:00.000000Z reply at=1-1 sn=- asked=2 got=0 wait=10 took=5 timeout bytes=\n"
                            "2026-12-08T10:00:00.000000Z reply at=1-2 sn=- asked=2 got=0 wait=10 took=5 timeout bytes=\n";
    try {
        vboard::Replay::parse(two, "LAB00001", "two.log");
        ADD_FAILURE() << "a log of two boards without the serial number was taken";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "the wire log two.log holds 2 boards and none with the serial number LAB00001");
    }
    EXPECT_THROW(vboard::Replay::parse("brevantctl doctor report\nno transfers here\n", "LAB00001", "empty.log"),
                 std::runtime_error);
}

class DiagnosticExchange : public ConnectedBoardTest {};

TEST_F(DiagnosticExchange, AWholePacketShowsPaddingAndALateReplyIsCollectedNotTaken) {
    std::uint8_t identity[20];
    ASSERT_EQ(veskcfp2_ping(inst, identity), VESKCFP2_CMD_OK);
    const vboard::Report ping = board->lastReport();
    board->state().ports[3] = 0x5A;

    // A board that pads: the library's own query still reads its 20 bytes,
    // the whole packet holds 64.
    board->knobs().padTo = 64;
    std::uint8_t packet[64] = {};
    std::uint32_t received = 0;
    EXPECT_EQ(brevant_diagnosticExchange(inst, ping.data(), packet, sizeof packet, 100, &received), BREVANT_DIAG_OK);
    EXPECT_EQ(received, 64u);
    EXPECT_EQ(0, std::memcmp(packet, identity, sizeof identity));
    board->knobs().padTo = 0;

    // A reply that comes after the whole-packet read gave up is the board's
    // debt: the next query collects it and gets its own answer.
    board->knobs().latencyMs = 150;
    EXPECT_EQ(brevant_diagnosticExchange(inst, ping.data(), packet, sizeof packet, 100, &received),
              BREVANT_DIAG_TIMEOUT);
    board->knobs().latencyMs = 0;
    std::uint8_t value = 0;
    EXPECT_EQ(veskcfp2_getPort(inst, 3, &value), VESKCFP2_CMD_OK);
    EXPECT_EQ(value, 0x5A);

    // Not connected, or no room: nothing is sent.
    EXPECT_EQ(brevant_diagnosticExchange(nullptr, ping.data(), packet, sizeof packet, 100, &received),
              BREVANT_DIAG_NOT_CONNECTED);
    const std::uint64_t calls = systemCallsDuring([&] {
        EXPECT_EQ(brevant_diagnosticExchange(inst, ping.data(), packet, 0, 100, &received), BREVANT_DIAG_NOT_CONNECTED);
    });
    EXPECT_EQ(calls, 0u);
}

}  // namespace
