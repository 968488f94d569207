// Enumeration on the bench: which member indices are listed for each board
// type, the first EEPROM byte of each, boards that cannot be probed, and that
// nothing stays open.
#include <cstring>
#include <string>
#include <vector>

#include "bench_test.h"

using hostwin::Fn;

namespace {

class Enumerate : public BenchTest {
   protected:
    struct Listing {
        int count;
        std::vector<std::uint16_t> indices;  // all 127 entries, 0xEEEE where untouched
        std::vector<std::uint8_t> firstBytes;  // all 254 bytes, '?' where untouched
    };
    Listing list(int type) {
        Listing l{0, std::vector<std::uint16_t>(VESKCFP2_MAX_DEVICES, 0xEEEE),
                  std::vector<std::uint8_t>(2 * VESKCFP2_MAX_DEVICES, '?')};
        l.count = veskcfp2_enumerateDevices(type, l.indices.data(), l.firstBytes.data());
        return l;
    }
    // The listed indices, and byte 2k of each board.
    static std::vector<std::uint16_t> indices(const Listing &l) {
        return std::vector<std::uint16_t>(l.indices.begin(), l.indices.begin() + l.count);
    }
    static std::string firsts(const Listing &l) {
        std::string s;
        for (int k = 0; k < l.count; ++k) s += static_cast<char>(l.firstBytes[2 * static_cast<std::size_t>(k)]);
        return s;
    }
    static void expectUntouchedBeyond(const Listing &l) {
        for (int k = 0; k < VESKCFP2_MAX_DEVICES; ++k) {
            if (k >= l.count) {
                ASSERT_EQ(l.indices[k], 0xEEEE) << "entry " << k;
                ASSERT_EQ(l.firstBytes[2 * k], '?') << "byte " << 2 * k;
            }
            ASSERT_EQ(l.firstBytes[2 * k + 1], '?') << "byte " << 2 * k + 1 << " is the caller's";
        }
    }
};

TEST_F(Enumerate, NoBoardsGivesZeroAndWritesNothing) {
    bench.plugForeign(0x1234, 0x5678, "OTHERVID");
    const Listing l = list(1);
    EXPECT_EQ(l.count, 0);
    expectUntouchedBeyond(l);
}

TEST_F(Enumerate, ListsTheBoardsOfATypeWithTheFirstByteOfEachSerial) {
    vboard::Board &zero = bench.plug(0, "ZERO0001");                  // member 0
    vboard::Board &s = bench.plug(1, "S1234567");                     // member 1
    vboard::Board &foreign = bench.plugForeign(0x1234, 0x8348, "FOREIGN");  // member 2: other vendor
    bench.plugForeign(vboard::kMicrochipVendorId, 0x000B, "MCHPOTHR");  // member 3: other product
    vboard::Board &t = bench.plug(1, "T7654321");                     // member 4

    struct Expect {
        int type;
        std::vector<std::uint16_t> indices;
        std::string firsts;
    };
    const Expect cases[] = {
        {1, {1, 4}, "ST"},
        {0, {0}, "Z"},
        // Any other type lists every device of the driver, foreign ones too,
        // and probes each of them.
        {5, {0, 1, 2, 3, 4}, "ZSFMT"},
        {-1, {0, 1, 2, 3, 4}, "ZSFMT"},
    };
    for (const Expect &c : cases) {
        SCOPED_TRACE(testing::Message() << "board type " << c.type);
        const Listing l = list(c.type);
        EXPECT_EQ(l.count, static_cast<int>(c.indices.size()));
        EXPECT_EQ(indices(l), c.indices);
        EXPECT_EQ(firsts(l), c.firsts);
        expectUntouchedBeyond(l);
        EXPECT_EQ(hostwin::openObjects().total(), 0u) << "every probe closed";
    }
    // The probe is one EEPROM read of address 0 per board (byte 7 holds the
    // data of the process's last EEPROM write).
    EXPECT_EQ(head(t.lastReport(), 7), (std::vector<std::uint8_t>{0xF1, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(s.reports().size(), 3u);     // types 1, 5 and -1
    EXPECT_EQ(zero.reports().size(), 3u);  // types 0, 5 and -1
    EXPECT_EQ(foreign.reports().size(), 2u);

    // A listed index is what an instance of the same type takes.
    const Listing l = list(1);
    for (int k = 0; k < l.count; ++k) {
        CFP2INSTANCE *inst = connected(1, l.indices[k]);
        std::uint8_t sn[8];
        ASSERT_EQ(veskcfp2_getSN(inst, sn), 1);
        EXPECT_EQ(sn[0], l.firstBytes[2 * static_cast<std::size_t>(k)]);
    }
}

TEST_F(Enumerate, NullArraysCountWithoutProbing) {
    vboard::Board &a = bench.plug(1, "A");
    vboard::Board &b = bench.plug(1, "B");
    std::vector<std::uint16_t> idx(VESKCFP2_MAX_DEVICES, 0xEEEE);
    EXPECT_EQ(systemCallsDuring([&] { EXPECT_EQ(veskcfp2_enumerateDevices(1, nullptr, nullptr), 2); }),
              systemCallsDuring([&] { EXPECT_EQ(veskcfp2_enumerateDevices(1, idx.data(), nullptr), 2); }));
    EXPECT_EQ(idx[0], 0);
    EXPECT_EQ(idx[1], 1);
    EXPECT_EQ(hostwin::calls(Fn::CreateFileA), 0u) << "no probe opened";
    EXPECT_TRUE(a.reports().empty());
    EXPECT_TRUE(b.reports().empty());

    // First bytes without indices still probe.
    std::vector<std::uint8_t> firsts(2 * VESKCFP2_MAX_DEVICES, '?');
    EXPECT_EQ(veskcfp2_enumerateDevices(1, nullptr, firsts.data()), 2);
    EXPECT_EQ(firsts[0], 'A');
    EXPECT_EQ(firsts[1], '?');
    EXPECT_EQ(firsts[2], 'B');
}

TEST_F(Enumerate, ScansAllMemberIndicesPastGapsAndUpTo126) {
    // Member 0 cannot be identified (no DeviceInstance value): it is skipped
    // and the scan goes on.
    vboard::Board &unreadable = bench.plug(1, "NOVALUE");
    bench.setDeviceInstance(unreadable, std::nullopt);
    for (int i = 1; i < 128; ++i) bench.plug(1, "B" + std::to_string(i));

    std::vector<std::uint16_t> idx(VESKCFP2_MAX_DEVICES + 1, 0xEEEE);
    const std::uint64_t lookupsBefore = hostwin::calls(Fn::SetupDiGetClassDevsA);
    EXPECT_EQ(veskcfp2_enumerateDevices(1, idx.data(), nullptr), 126);
    EXPECT_EQ(hostwin::calls(Fn::SetupDiGetClassDevsA) - lookupsBefore, 127u) << "one lookup per member index";
    EXPECT_EQ(idx[0], 1);
    EXPECT_EQ(idx[125], 126) << "member index 126 is the last one scanned";
    EXPECT_EQ(idx[126], 0xEEEE);
    EXPECT_EQ(veskcfp2_enumerateDevices(5, nullptr, nullptr), 126);
}

TEST_F(Enumerate, BoardsThatCannotBeProbedAreStillListed) {
    vboard::Board &silent = bench.plug(1, "QUIET");
    silent.knobs().silent = true;
    // A serial this long gives an interface path of 260 characters or more:
    // the scan asks for no path, but the endpoint cannot be opened.
    vboard::Board &longPath = bench.plug(1, std::string(200, 'L'));
    ASSERT_GE(bench.pathOf(longPath).size(), 260u);
    vboard::Board &fine = bench.plug(1, "NORMAL");

    const std::uint64_t start = hostwin::nowMs();
    const Listing l = list(1);
    EXPECT_EQ(l.count, 3);
    EXPECT_EQ(indices(l), (std::vector<std::uint16_t>{0, 1, 2}));
    EXPECT_EQ(firsts(l), std::string("\0\0N", 3)) << "a byte that never came reads as 0";
    expectUntouchedBeyond(l);
    EXPECT_EQ(hostwin::nowMs() - start, 2 * 10u + 100u)
        << "a 10 ms drain of each board opened, one timed-out probe";
    EXPECT_EQ(silent.reports().size(), 1u);
    EXPECT_TRUE(longPath.reports().empty());
    EXPECT_EQ(fine.reports().size(), 1u);
    EXPECT_EQ(veskcfp2_connect(create(1, 1)), 0) << "the long path cannot be connected either";
}

TEST_F(Enumerate, ProbingABoardAnInstanceHoldsLeavesTheInstanceConnected) {
    vboard::Board &board = bench.plug(1, "HELD");
    CFP2INSTANCE *inst = connected(1, 0);
    const Listing l = list(1);
    EXPECT_EQ(firsts(l), "H");
    EXPECT_EQ(hostwin::openObjects().files, 2u) << "the instance's pipes only";
    std::uint8_t identity[20];
    EXPECT_EQ(veskcfp2_ping(inst, identity), VESKCFP2_CMD_OK);
    EXPECT_EQ(board.reports().size(), 2u);
}

}  // namespace
