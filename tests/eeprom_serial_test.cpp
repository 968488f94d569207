// EEPROM bytes and the serial number on the bench: the 17-bit address on the
// wire, round trips over the whole EEPROM, serial lengths, short and failed
// replies, and EEPROM commands from several threads at once.
#include <atomic>
#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bench_test.h"

using hostwin::Fn;
using Bytes = std::vector<std::uint8_t>;

namespace {

class EepromSerial : public ConnectedBoardTest {
   protected:
    std::string serialOf(CFP2INSTANCE *i) {
        std::uint8_t sn[8];
        std::memset(sn, '?', sizeof sn);
        EXPECT_EQ(veskcfp2_getSN(i, sn), 1);
        return std::string(sn, sn + 8);
    }
};

TEST_F(EepromSerial, AddressIsCutTo17BitsAndSentPageHighLow) {
    struct Step {
        const char *what;
        bool write;
        std::int32_t address;
        Bytes wire;
    };
    // Reads keep the data byte of the last write in byte 7.
    const Step steps[] = {
        {"write 0x1FFFF", true, 0x1FFFF, {0xF1, 0x00, 0x00, 0x02, 0x01, 0xFF, 0xFF, 0x5A}},
        {"read 0x10 after a page-1 address", false, 0x10, {0xF1, 0x01, 0x00, 0x02, 0x00, 0x00, 0x10, 0x5A}},
        {"read -1", false, -1, {0xF1, 0x01, 0x00, 0x02, 0x01, 0xFF, 0xFF, 0x5A}},
        {"read 0x1FFFF + 6", false, 0x1FFFF + 6, {0xF1, 0x01, 0x00, 0x02, 0x00, 0x00, 0x05, 0x5A}},
        {"read 0xFFFF", false, 0xFFFF, {0xF1, 0x01, 0x00, 0x02, 0x00, 0xFF, 0xFF, 0x5A}},
        {"read 0x10000", false, 0x10000, {0xF1, 0x01, 0x00, 0x02, 0x01, 0x00, 0x00, 0x5A}},
        {"read INT32_MIN", false, INT32_MIN, {0xF1, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x5A}},
        {"write 0x12345", true, 0x12345, {0xF1, 0x00, 0x00, 0x02, 0x01, 0x23, 0x45, 0x5A}},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        board->clearReports();
        std::uint8_t value = 0;
        EXPECT_EQ(step.write ? veskcfp2_eepromWrite(inst, step.address, 0x5A)
                             : veskcfp2_eepromRead(inst, step.address, &value),
                  VESKCFP2_CMD_OK);
        ASSERT_EQ(board->reports().size(), 1u);
        const vboard::Report sent = board->lastReport();
        EXPECT_EQ(head(sent), step.wire);
        for (std::size_t i = 8; i < sent.size(); ++i) ASSERT_EQ(sent[i], 0) << "byte " << i;
    }
}

TEST_F(EepromSerial, BytesRoundTripOverTheWholeEeprom) {
    // Distinct values at both ends of each page and across the page boundary:
    // a lost page bit would land page-1 bytes on page 0.
    const std::int32_t addresses[] = {0, 8, 0xFF, 0x100, 0xFFFF, 0x10000, 0x10008, 0x1FFFE, 0x1FFFF};
    std::uint8_t data = 0x10;
    for (std::int32_t a : addresses) EXPECT_EQ(veskcfp2_eepromWrite(inst, a, data++), VESKCFP2_CMD_OK);
    data = 0x10;
    for (std::int32_t a : addresses) {
        std::uint8_t value = 0;
        EXPECT_EQ(veskcfp2_eepromRead(inst, a, &value), VESKCFP2_CMD_OK);
        EXPECT_EQ(value, data) << "address " << a;
        EXPECT_EQ(board->state().eeprom[static_cast<std::size_t>(a)], data) << "address " << a;
        ++data;
    }
    // Addresses beyond 17 bits wrap onto the same bytes.
    std::uint8_t value = 0;
    EXPECT_EQ(veskcfp2_eepromWrite(inst, -1, 0xA1), VESKCFP2_CMD_OK);
    EXPECT_EQ(board->state().eeprom[0x1FFFF], 0xA1);
    EXPECT_EQ(veskcfp2_eepromRead(inst, 0x20000 + 0x10008, &value), VESKCFP2_CMD_OK);
    EXPECT_EQ(value, 0x16);
    // EEPROM commands go to the instance's own board.
    bench.plug(1, "OTHER");
    CFP2INSTANCE *other = connected(1, 1);
    EXPECT_EQ(veskcfp2_eepromWrite(other, 0x10000, 0x77), VESKCFP2_CMD_OK);
    EXPECT_EQ(veskcfp2_eepromRead(inst, 0x10000, &value), VESKCFP2_CMD_OK);
    EXPECT_EQ(value, 0x15);
}

TEST_F(EepromSerial, SerialRoundTripsForEachLength) {
    EXPECT_EQ(serialOf(inst), "ABC12345");
    struct Case {
        const char *text;
        std::int32_t length;
        bool accepted;
        const char *stored;  // what the board holds afterwards
    };
    const Case cases[] = {
        {"AB12", 4, true, "AB12    "},
        {"12345678", 8, true, "12345678"},
        {"", 0, true, "        "},
        {"123456789", 9, false, "        "},
        {"Q", -1, false, "        "},
        {"XYZ", 3, true, "XYZ     "},
        {"\x01\xFF\x7F", 3, true, "\x01\xFF\x7F     "},  // stored as given, no character set
        {"NINECHARS", INT32_MIN, false, "\x01\xFF\x7F     "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        board->clearReports();
        const auto *text = reinterpret_cast<const std::uint8_t *>(c.text);
        if (c.accepted) {
            EXPECT_EQ(veskcfp2_setSN(inst, text, c.length), 1);
            const std::vector<vboard::Report> sent = board->reports();
            ASSERT_EQ(sent.size(), 8u);
            for (std::uint8_t a = 0; a < 8; ++a) {
                EXPECT_EQ(head(sent[a]), (Bytes{0xF1, 0x00, 0x00, 0x02, 0x00, 0x00, a,
                                                static_cast<std::uint8_t>(c.stored[a])}));
            }
        } else {
            EXPECT_EQ(systemCallsDuring([&] { EXPECT_EQ(veskcfp2_setSN(inst, text, c.length), 0); }), 0u);
        }
        EXPECT_EQ(board->eepromSerial(), std::string(c.stored, 8));
        EXPECT_EQ(serialOf(inst), std::string(c.stored, 8));
    }
}

TEST_F(EepromSerial, SerialReadEndsAtTheFirstReadThatDidNotComeWhole) {
    // A byte that came short never arrived: reporting success would hand
    // out a wrong serial number.
    std::uint8_t sn[8];
    std::memset(sn, '?', sizeof sn);
    board->scriptReply({0xF1, 'X'});
    board->scriptReply({0xF1, 'Y'});
    board->scriptReply({0xF1});
    EXPECT_EQ(veskcfp2_getSN(inst, sn), 0);
    EXPECT_EQ(board->reports().size(), 3u);
    EXPECT_EQ(std::string(sn, sn + 8), std::string("XY\0?????", 8));

    std::memset(sn, '?', sizeof sn);
    board->knobs().silent = true;
    EXPECT_EQ(veskcfp2_getSN(inst, sn), 0);
    EXPECT_EQ(std::string(sn, sn + 8), std::string("\0???????", 8));

    board->knobs().silent = false;
    std::memset(sn, '?', sizeof sn);
    // The silent spell left the board marked: the first write is the ping
    // that brings the conversation back in step, the seventh the sixth
    // character's.
    hostwin::failCalls(Fn::WriteFile, ERROR_GEN_FAILURE, 1, 6);
    EXPECT_EQ(veskcfp2_getSN(inst, sn), 0);
    EXPECT_EQ(std::string(sn, sn + 8), std::string("ABC12\0??", 8));
    EXPECT_EQ(serialOf(inst), "ABC12345") << "the next read starts afresh";
}

TEST_F(EepromSerial, SerialWriteStopsAtAFailedCharacterAndReportsFailedPadding) {
    const auto *text = reinterpret_cast<const std::uint8_t *>("WXYZ");
    hostwin::failCalls(Fn::WriteFile, ERROR_GEN_FAILURE, 1, 2);  // the third character
    EXPECT_EQ(veskcfp2_setSN(inst, text, 4), 0);
    EXPECT_EQ(board->eepromSerial(), "WXC12345") << "written up to the failure, nothing after";

    // A space that did not get out leaves an old character in the serial:
    // the rest of the padding is still written, but the result says so.
    hostwin::failCalls(Fn::WriteFile, ERROR_GEN_FAILURE, 1, 5);  // the second space
    EXPECT_EQ(veskcfp2_setSN(inst, text, 4), 0);
    EXPECT_EQ(board->eepromSerial(), "WXYZ 3  ");
}

TEST_F(EepromSerial, SerialWithEveryPaddingWriteFailedIsNotReportedWritten) {
    const auto *text = reinterpret_cast<const std::uint8_t *>("XYXYXYXY");
    for (std::int32_t length = 0; length <= 8; ++length) {
        SCOPED_TRACE(length);
        ASSERT_EQ(veskcfp2_setSN(inst, reinterpret_cast<const std::uint8_t *>("ABC12345"), 8), 1);
        const std::uint64_t writes = hostwin::calls(Fn::WriteFile);
        if (length < 8) {
            hostwin::failCalls(Fn::WriteFile, ERROR_GEN_FAILURE, static_cast<unsigned>(8 - length),
                               static_cast<unsigned>(length));
        }
        EXPECT_EQ(veskcfp2_setSN(inst, text, length), length == 8 ? 1 : 0);
        EXPECT_EQ(hostwin::calls(Fn::WriteFile) - writes, 8u) << "every padding write is tried";
        EXPECT_EQ(board->eepromSerial(), std::string("XYXYXYXY", static_cast<std::size_t>(length)) +
                                             std::string("ABC12345").substr(static_cast<std::size_t>(length)));
        EXPECT_EQ(hostwin::pendingFaults(), 0u);
    }
}

TEST_F(EepromSerial, EmptySerialReadsNothingFromItsPointer) {
    // Length 0 writes eight spaces; the serial pointer is never read, so it
    // may be null.
    EXPECT_EQ(veskcfp2_setSN(inst, nullptr, 0), 1);
    EXPECT_EQ(board->eepromSerial(), "        ");
}

TEST_F(EepromSerial, ByteReadsFollowTheOutputRule) {
    board->state().eeprom[3] = 0x9A;
    std::uint8_t value = 0xEE;
    board->knobs().replyBytes = 1;
    EXPECT_EQ(veskcfp2_eepromRead(inst, 3, &value), VESKCFP2_CMD_SHORT);
    EXPECT_EQ(value, 0);
    board->knobs().replyBytes.reset();
    board->knobs().silent = true;
    value = 0xEE;
    EXPECT_EQ(veskcfp2_eepromRead(inst, 3, &value), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(value, 0);
    // Writes have no reply: a silent board still takes them.
    EXPECT_EQ(veskcfp2_eepromWrite(inst, 3, 0x9B), VESKCFP2_CMD_OK);
    EXPECT_EQ(board->state().eeprom[3], 0x9B);

    ASSERT_EQ(veskcfp2_disconnect(inst), 1);
    value = 0xEE;
    EXPECT_EQ(systemCallsDuring([&] {
                  EXPECT_EQ(veskcfp2_eepromRead(inst, 3, &value), VESKCFP2_CMD_FAILED);
                  EXPECT_EQ(veskcfp2_eepromWrite(inst, 3, 1), VESKCFP2_CMD_FAILED);
                  EXPECT_EQ(veskcfp2_setSN(inst, reinterpret_cast<const std::uint8_t *>("A"), 1), 0);
                  // An empty serial writes only padding; none of it got out.
                  EXPECT_EQ(veskcfp2_setSN(inst, reinterpret_cast<const std::uint8_t *>(""), 0), 0);
              }),
              0u);
    EXPECT_EQ(value, 0);
}

TEST_F(EepromSerial, NullInstanceOrPointerFailsBeforeAnyIo) {
    std::uint8_t value = 0xEE;
    std::uint8_t sn[8];
    std::memset(sn, '?', sizeof sn);
    const auto *text = reinterpret_cast<const std::uint8_t *>("ABCD");
    EXPECT_EQ(systemCallsDuring([&] {
                  EXPECT_EQ(veskcfp2_eepromRead(nullptr, 0, &value), VESKCFP2_CMD_FAILED);
                  EXPECT_EQ(veskcfp2_eepromWrite(nullptr, 0, 1), VESKCFP2_CMD_FAILED);
                  EXPECT_EQ(veskcfp2_getSN(nullptr, sn), 0);
                  EXPECT_EQ(veskcfp2_setSN(nullptr, text, 4), 0);
                  EXPECT_EQ(veskcfp2_eepromRead(inst, 0, nullptr), VESKCFP2_CMD_FAILED);
                  EXPECT_EQ(veskcfp2_getSN(inst, nullptr), 0);
                  EXPECT_EQ(veskcfp2_setSN(inst, nullptr, 1), 0);
                  EXPECT_EQ(veskcfp2_setSN(inst, nullptr, 4), 0);
                  EXPECT_EQ(veskcfp2_setSN(inst, nullptr, 8), 0);
              }),
              0u);
    EXPECT_EQ(value, 0xEE);
    EXPECT_EQ(std::string(sn, sn + 8), "????????");
    EXPECT_EQ(board->eepromSerial(), "ABC12345");
}

// Every EEPROM command of the process is built in one report. Two threads on
// two boards must never send a report with one's address and the other's
// data.
TEST_F(EepromSerial, CommandsFromTwoThreadsNeverMixInTheSharedReport) {
    vboard::Board &second = bench.plug(1, "SECOND");
    CFP2INSTANCE *other = connected(1, 1);
    constexpr std::int32_t kBytes = 20000;
    auto pattern = [](std::int32_t address, std::uint8_t salt) {
        return static_cast<std::uint8_t>((address * 7 + salt) & 0xFF);
    };
    std::atomic<int> ready{0};
    auto worker = [&](CFP2INSTANCE *i, std::uint8_t salt, std::int32_t base, int &mismatches) {
        // Start together, so the two threads' commands really overlap.
        ready.fetch_add(1);
        while (ready.load() < 2) std::this_thread::yield();
        for (std::int32_t n = 0; n < kBytes; ++n) {
            const std::int32_t address = base + n;
            if (veskcfp2_eepromWrite(i, address, pattern(address, salt)) != VESKCFP2_CMD_OK) ++mismatches;
            std::uint8_t value = 0;
            if (veskcfp2_eepromRead(i, address, &value) != VESKCFP2_CMD_OK ||
                value != pattern(address, salt)) {
                ++mismatches;
            }
        }
    };
    int firstMismatches = 0, secondMismatches = 0;
    std::thread a(worker, inst, std::uint8_t{0x11}, 0x100, std::ref(firstMismatches));
    std::thread b(worker, other, std::uint8_t{0x22}, 0x10800, std::ref(secondMismatches));
    a.join();
    b.join();
    EXPECT_EQ(firstMismatches, 0);
    EXPECT_EQ(secondMismatches, 0);
    // Every write each board received carries its own address range and data.
    const std::tuple<vboard::Board *, std::uint8_t, std::int32_t> boards[] = {{board, 0x11, 0x100},
                                                                              {&second, 0x22, 0x10800}};
    for (const auto &[target, salt, base] : boards) {
        int foreign = 0;
        for (const vboard::Report &r : target->reports()) {
            const std::int32_t address = (r[4] << 16) | (r[5] << 8) | r[6];
            const bool inRange = address >= base && address < base + kBytes;
            if (!inRange || (r[1] == 0 && r[7] != pattern(address, salt))) ++foreign;
        }
        EXPECT_EQ(foreign, 0) << "reports with another command's bytes";
        EXPECT_EQ(target->reports().size(), 2u * kBytes);
    }
}

}  // namespace
