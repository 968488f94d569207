// Late replies: a reply that comes after its query gave up waiting must never
// pass for the answer to a later query on the same board.
#include <cstring>
#include <functional>
#include <string>

#include "bench_test.h"

using hostwin::Fn;

namespace {

class LateReply : public ConnectedBoardTest {
   protected:
    void SetUp() override {
        ConnectedBoardTest::SetUp();
        board->state().ports[3] = 0x12;
        board->state().ports[5] = 0x7F;
        board->setTemperature(0, 41.5);
        board->state().mdio[1][0x10] = 0xBEEF;
    }
    bool pipesOpen() { return hostwin::openObjects().files == 2; }
    // Runs `query` while the board answers 150 ms late, so its read times out.
    void timeOut(const std::function<int()> &query) {
        board->knobs().latencyMs = 150;
        EXPECT_EQ(query(), VESKCFP2_CMD_FAILED);
        board->knobs().latencyMs = 0;
    }
};

TEST_F(LateReply, EachQueryAfterATimedOutOneGetsItsOwnAnswer) {
    double volts = 0, celsius = 0;
    std::uint8_t port = 0, identity[20];
    std::uint16_t word = 0;
    struct Case {
        const char *name;
        std::function<int()> slow;  // times out, its reply comes late
        std::function<void()> next;  // must get its own answer
    };
    const Case cases[] = {
        {"vcc, then temperature", [&] { return veskcfp2_getVCC(inst, &volts); },
         [&] {
             EXPECT_EQ(veskcfp2_getTemperature(inst, 0, &celsius), VESKCFP2_CMD_OK);
             EXPECT_EQ(celsius, 41.5);
         }},
        {"temperature, then port", [&] { return veskcfp2_getTemperature(inst, 0, &celsius); },
         [&] {
             EXPECT_EQ(veskcfp2_getPort(inst, 3, &port), VESKCFP2_CMD_OK);
             EXPECT_EQ(port, 0x12);
         }},
        {"ping (20 bytes), then MDIO", [&] { return veskcfp2_ping(inst, identity); },
         [&] {
             EXPECT_EQ(veskcfp2_getMDIO(inst, 1, 0x10, &word), VESKCFP2_CMD_OK);
             EXPECT_EQ(word, 0xBEEF);
         }},
        {"port, then ping", [&] { return veskcfp2_getPort(inst, 5, &port); },
         [&] {
             std::memset(identity, 0xEE, sizeof identity);
             EXPECT_EQ(veskcfp2_ping(inst, identity), VESKCFP2_CMD_OK);
             EXPECT_EQ(0, std::memcmp(identity, board->state().identity.data(), 20));
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        timeOut(c.slow);
        c.next();
        EXPECT_EQ(hostwin::pendingReplies(bench.interfaceOf(*board)), 0u);
        EXPECT_TRUE(pipesOpen());
    }
}

// Replies that come long after their query gave up, of the next query's
// length and of others: a query may fail while the board catches up, but an
// answer graded CMD_OK is always its own query's.
TEST_F(LateReply, RepliesManyReplyTimesLateNeverAnswerALaterQuery) {
    double celsius = 0;
    std::uint8_t port = 0, identity[20];
    std::uint16_t word = 0;
    struct Check {
        const char *name;
        std::function<int()> query;
        std::function<bool()> own;  // the answer is the query's own
    };
    const Check checks[] = {
        {"port (2 bytes)", [&] { return veskcfp2_getPort(inst, 3, &port); }, [&] { return port == 0x12; }},
        {"temperature (3 bytes)", [&] { return veskcfp2_getTemperature(inst, 0, &celsius); },
         [&] { return celsius == 41.5; }},
        {"MDIO (3 bytes)", [&] { return veskcfp2_getMDIO(inst, 1, 0x10, &word); }, [&] { return word == 0xBEEF; }},
        {"ping (20 bytes)", [&] { return veskcfp2_ping(inst, identity); },
         [&] { return std::memcmp(identity, board->state().identity.data(), 20) == 0; }},
    };
    const std::pair<const char *, std::function<int()>> slow[] = {
        {"port 5", [&] { return veskcfp2_getPort(inst, 5, &port); }},
        {"supply voltage", [&] { double v; return veskcfp2_getVCC(inst, &v); }},
        {"ping", [&] { return veskcfp2_ping(inst, identity); }},
    };
    for (std::uint32_t lateMs : {250u, 500u, 2000u}) {
        for (const auto &s : slow) {
            SCOPED_TRACE(std::string(s.first) + " answered " + std::to_string(lateMs) + " ms late");
            board->knobs().latencyMs = lateMs;
            EXPECT_EQ(s.second(), VESKCFP2_CMD_FAILED);
            board->knobs().latencyMs = 0;
            bool answered[4] = {};
            for (int round = 0; round < 12; ++round) {
                for (int c = 0; c < 4; ++c) {
                    if (checks[c].query() != VESKCFP2_CMD_OK) continue;
                    EXPECT_TRUE(checks[c].own()) << checks[c].name << " took another query's reply";
                    answered[c] = true;
                }
            }
            for (int c = 0; c < 4; ++c) EXPECT_TRUE(answered[c]) << checks[c].name << " never answered again";
            EXPECT_EQ(hostwin::pendingReplies(bench.interfaceOf(*board)), 0u);
        }
    }
}

TEST_F(LateReply, SerialReadAfterATimedOutEepromReadIsTheBoardsSerial) {
    board->state().eeprom[0x100] = 'Z';
    std::uint8_t byte = 0;
    timeOut([&] { return veskcfp2_eepromRead(inst, 0x100, &byte); });
    std::uint8_t sn[8];
    EXPECT_EQ(veskcfp2_getSN(inst, sn), 1);
    EXPECT_EQ(std::string(sn, sn + 8), "ABC12345");
}

TEST_F(LateReply, FtdiSwitchAfterATimedOutPortReadWritesPort3FromPort3) {
    std::uint8_t port = 0;
    timeOut([&] { return veskcfp2_getPort(inst, 5, &port); });
    EXPECT_EQ(veskcfp2_p3v3_FTDIEnable(inst, 1), VESKCFP2_CMD_OK);
    EXPECT_EQ(board->state().ports[3], 0x92) << "not port 5's 0x7F with bit 7 set";
}

TEST_F(LateReply, ScriptedLateBytesNeverReachTheCaller) {
    // The late reply is a foreign 20-byte block; the next ping must show the
    // board's identity and nothing of the block.
    board->scriptReply(std::vector<std::uint8_t>(20, 0xAB));
    std::uint8_t reply[20];
    std::memset(reply, 0xEE, sizeof reply);
    timeOut([&] { return veskcfp2_ping(inst, reply); });
    EXPECT_EQ(reply[0], 0xEE) << "nothing came in time";
    EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_OK);
    EXPECT_EQ(0, std::memcmp(reply, board->state().identity.data(), 20));
}

TEST_F(LateReply, SilentBoardFailsEveryQueryWithin200msAndKeepsItsPipes) {
    board->knobs().silent = true;
    std::uint8_t port = 0;
    double volts = 0;
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        std::uint64_t start = hostwin::nowMs();
        EXPECT_EQ(veskcfp2_getPort(inst, 3, &port), VESKCFP2_CMD_FAILED);
        EXPECT_LE(hostwin::nowMs() - start, 200u);
        start = hostwin::nowMs();
        EXPECT_EQ(veskcfp2_getVCC(inst, &volts), VESKCFP2_CMD_FAILED);
        EXPECT_LE(hostwin::nowMs() - start, 200u);
        EXPECT_TRUE(pipesOpen());
    }
    // The board comes back: queries fail until the resync pings the silent
    // board never answered are taken as lost (3 s of waiting), then each
    // gets its own answer, and none got another's before.
    board->knobs().silent = false;
    EXPECT_TRUE(answersAgain([&] { return veskcfp2_getPort(inst, 3, &port); }));
    EXPECT_EQ(port, 0x12);
    EXPECT_EQ(veskcfp2_getVCC(inst, &volts), VESKCFP2_CMD_OK);
    EXPECT_EQ(volts, 3.3125);
}

TEST_F(LateReply, CommandsWithoutAReplyDoNotWaitForIt) {
    std::uint8_t port = 0;
    timeOut([&] { return veskcfp2_getPort(inst, 5, &port); });
    const std::uint64_t reads = hostwin::calls(Fn::ReadFile);
    const std::uint64_t now = hostwin::nowMs();
    EXPECT_EQ(veskcfp2_setPort(inst, 3, 0x34), VESKCFP2_CMD_OK);
    EXPECT_EQ(veskcfp2_eepromWrite(inst, 0x200, 0x56), VESKCFP2_CMD_OK);
    EXPECT_EQ(hostwin::calls(Fn::ReadFile), reads);
    EXPECT_EQ(hostwin::nowMs(), now);
    // The reply is still owed: the next query collects it.
    EXPECT_EQ(veskcfp2_getPort(inst, 3, &port), VESKCFP2_CMD_OK);
    EXPECT_EQ(port, 0x34);
}

TEST_F(LateReply, OwedReplySurvivesAReconnectButNotAnUnplug) {
    std::uint8_t port = 0;
    // Closing the pipes does not take the board's reply back.
    timeOut([&] { return veskcfp2_getPort(inst, 5, &port); });
    ASSERT_EQ(veskcfp2_disconnect(inst), 1);
    ASSERT_EQ(veskcfp2_connect(inst), 1);
    EXPECT_EQ(veskcfp2_getPort(inst, 3, &port), VESKCFP2_CMD_OK);
    EXPECT_EQ(port, 0x12);

    // A board that vanished owes nothing; the resync's ping finds it gone
    // and the query never goes out.
    timeOut([&] { return veskcfp2_getPort(inst, 5, &port); });
    bench.unplug(*board);
    const std::size_t sent = board->reports().size();
    const std::uint64_t reads = hostwin::calls(Fn::ReadFile);
    EXPECT_EQ(veskcfp2_getPort(inst, 3, &port), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(hostwin::openObjects().files, 0u);
    EXPECT_EQ(board->reports().size(), sent);
    EXPECT_EQ(hostwin::calls(Fn::ReadFile), reads);
    bench.replug(*board);
    ASSERT_EQ(veskcfp2_connect(inst), 1);
    const std::uint64_t readsNow = hostwin::calls(Fn::ReadFile);
    EXPECT_EQ(veskcfp2_getPort(inst, 3, &port), VESKCFP2_CMD_OK);
    EXPECT_EQ(hostwin::calls(Fn::ReadFile) - readsNow, 1u);
}

TEST_F(LateReply, ANewInstanceAfterATimedOutOneGetsItsOwnAnswer) {
    // A program lists the boards, each through an instance of its own that
    // it closes again, and then opens the one it wants: the reply the board
    // still owed the first instance must not answer the second one's query.
    std::uint8_t port = 0;
    timeOut([&] { return veskcfp2_getPort(inst, 5, &port); });
    ASSERT_EQ(veskcfp2_disconnect(inst), 1);
    CFP2INSTANCE *second = veskcfp2_createInstance(1, 0);
    ASSERT_EQ(veskcfp2_connect(second), 1);
    EXPECT_EQ(veskcfp2_getPort(second, 3, &port), VESKCFP2_CMD_OK);
    EXPECT_EQ(port, 0x12);
    // Serial numbers too: every byte is its own, none shifted by one.
    std::uint8_t serial[8] = {};
    board->knobs().latencyMs = 150;
    EXPECT_EQ(veskcfp2_getSN(second, serial), 0);
    board->knobs().latencyMs = 0;
    EXPECT_EQ(veskcfp2_disconnect(second), 1);
    veskcfp2_destroyInstance(second);
    ASSERT_EQ(veskcfp2_connect(inst), 1);
    EXPECT_EQ(veskcfp2_getSN(inst, serial), 1);
    EXPECT_EQ(0, std::memcmp(serial, board->state().eeprom.data(), 8));
}

TEST_F(LateReply, ReadThatFailedAtOnceAlsoLeavesItsReplyOwed) {
    // The report went out, the read did not even start: the reply is queued.
    hostwin::failCalls(Fn::ReadFile, ERROR_GEN_FAILURE);
    std::uint8_t port = 0;
    EXPECT_EQ(veskcfp2_getPort(inst, 5, &port), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(veskcfp2_getPort(inst, 3, &port), VESKCFP2_CMD_OK);
    EXPECT_EQ(port, 0x12);
}

TEST_F(LateReply, ReplyOwedByAReadThatEndedAtOnceIsWaitedForAWholeReplyTime) {
    // The wait for the reply fails at once: the read is cancelled before any
    // time passed, and the reply is still 150 ms away.
    board->knobs().latencyMs = 150;
    hostwin::failCalls(Fn::WaitForSingleObject, ERROR_GEN_FAILURE);
    std::uint8_t port = 0;
    EXPECT_EQ(veskcfp2_getPort(inst, 5, &port), VESKCFP2_CMD_FAILED);
    board->knobs().latencyMs = 0;
    // One 100 ms wait would give up before that reply comes, and the next
    // read would take it for port 3's answer. The resync waits for it and
    // for its ping's reply, then 10 ms for quiet.
    const std::uint64_t start = hostwin::nowMs();
    EXPECT_EQ(veskcfp2_getPort(inst, 3, &port), VESKCFP2_CMD_OK);
    EXPECT_EQ(port, 0x12);
    EXPECT_EQ(hostwin::nowMs() - start, 160u);
    EXPECT_EQ(veskcfp2_getPort(inst, 5, &port), VESKCFP2_CMD_OK);
    EXPECT_EQ(port, 0x7F);
}

}  // namespace
