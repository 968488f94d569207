// Threads: instances on different boards, each used from its own thread, at
// the same time as enumeration and serial-number work on other threads. Run
// under ThreadSanitizer by the test run. Each worker marks what it sends with
// its own number, so the reports each board recorded show whether any report
// on the wire mixes the bytes of two commands.
#include <atomic>
#include <string>
#include <thread>

#include "bench_test.h"

namespace {

constexpr int kWorkers = 3;       // type-1 boards at device indices 0-2, one thread each
constexpr int kRounds = 1000;     // rounds of commands per worker
constexpr int kEnumerations = 40;
constexpr std::uint32_t kSlots = 64;  // EEPROM bytes each worker writes

std::string serialOf(int worker) { return "THREAD0" + std::to_string(worker); }
std::uint32_t eepromBase(int worker) { return 0x1000u * static_cast<std::uint32_t>(worker + 1); }
// The data byte a worker writes to one of its slots: its number and the slot.
std::uint8_t eepromData(int worker, std::uint32_t slot) {
    return static_cast<std::uint8_t>((worker << 6) | static_cast<int>(slot));
}
std::uint16_t mdioData(int worker, std::uint16_t reg) {
    return static_cast<std::uint16_t>((worker << 12) | reg);
}

// One worker: connects to its board and runs every kind of command, checking
// each answer against what it wrote before. Returns the number of surprises.
int work(int worker) {
    int surprises = 0;
    auto expect = [&](bool ok) { surprises += ok ? 0 : 1; };
    CFP2INSTANCE *inst = veskcfp2_createInstance(1, static_cast<std::uint16_t>(worker));
    expect(veskcfp2_connect(inst) == 1);
    const std::string serial = serialOf(worker);
    for (int round = 0; round < kRounds; ++round) {
        const std::uint8_t value = static_cast<std::uint8_t>(round);
        std::uint8_t port = 0;
        expect(veskcfp2_setPort(inst, 5, value) == VESKCFP2_CMD_OK);
        expect(veskcfp2_getPort(inst, 5, &port) == VESKCFP2_CMD_OK && port == value);

        const std::uint16_t reg = static_cast<std::uint16_t>(round % 16);
        std::uint16_t data = 0;
        expect(veskcfp2_setMDIO(inst, 1, reg, mdioData(worker, reg)) == VESKCFP2_CMD_OK);
        expect(veskcfp2_getMDIO(inst, 1, reg, &data) == VESKCFP2_CMD_OK && data == mdioData(worker, reg));

        const std::uint32_t slot = static_cast<std::uint32_t>(round) % kSlots;
        const auto address = static_cast<std::int32_t>(eepromBase(worker) + slot);
        std::uint8_t byte = 0;
        expect(veskcfp2_eepromWrite(inst, address, eepromData(worker, slot)) == VESKCFP2_CMD_OK);
        expect(veskcfp2_eepromRead(inst, address, &byte) == VESKCFP2_CMD_OK &&
               byte == eepromData(worker, slot));

        double volts = 0;
        expect(veskcfp2_getVCC(inst, &volts) == VESKCFP2_CMD_OK);
        if (round % 16 == 0) {
            std::uint8_t sn[8];
            expect(veskcfp2_setSN(inst, reinterpret_cast<const std::uint8_t *>(serial.data()),
                                  static_cast<std::int32_t>(serial.size())) == 1);
            expect(veskcfp2_getSN(inst, sn) == 1 && std::string(sn, sn + 8) == serial);
        }
        if (round % 50 == 49) {
            expect(veskcfp2_disconnect(inst) == 1);
            expect(veskcfp2_connect(inst) == 1);
        }
    }
    expect(veskcfp2_disconnect(inst) == 1);
    veskcfp2_destroyInstance(inst);
    return surprises;
}

// Enumerates the type-0 boards (probing their EEPROM) and counts the type-1
// boards without probing them, while the workers use those.
int enumerate(int type0Boards) {
    int surprises = 0;
    for (int n = 0; n < kEnumerations; ++n) {
        std::uint16_t indices[VESKCFP2_MAX_DEVICES];
        std::uint8_t first[2 * VESKCFP2_MAX_DEVICES] = {};
        const int found = veskcfp2_enumerateDevices(0, indices, first);
        surprises += found == type0Boards ? 0 : 1;
        for (int k = 0; k < found; ++k) {
            surprises += indices[k] == kWorkers + k && first[2 * k] == 'E' ? 0 : 1;
        }
        surprises += veskcfp2_enumerateDevices(1, nullptr, nullptr) == kWorkers ? 0 : 1;
    }
    return surprises;
}

class Threads : public BenchTest {};

TEST_F(Threads, InstancesOnDifferentBoardsRunAtOnceAndNoReportMixesTwoCommands) {
    std::vector<vboard::Board *> boards;
    for (int w = 0; w < kWorkers; ++w) boards.push_back(&bench.plug(1, serialOf(w)));
    vboard::Board &enum0 = bench.plug(0, "ENUM0003");
    vboard::Board &enum1 = bench.plug(0, "ENUM0004");

    // All threads start together, so that their work overlaps.
    std::atomic<int> surprises{0}, ready{0};
    auto startTogether = [&ready] {
        ++ready;
        while (ready.load() < kWorkers + 1) std::this_thread::yield();
    };
    std::vector<std::thread> threads;
    for (int w = 0; w < kWorkers; ++w) {
        threads.emplace_back([&, w] {
            startTogether();
            surprises += work(w);
        });
    }
    threads.emplace_back([&] {
        startTogether();
        surprises += enumerate(2);
    });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(surprises.load(), 0);

    // Every EEPROM report a worker's board received is one command whole: an
    // address of that worker's own (or of the serial number) with the data
    // that belongs to it, and nothing in the bytes no command writes.
    for (int w = 0; w < kWorkers; ++w) {
        SCOPED_TRACE("board of worker " + std::to_string(w));
        const std::string serial = serialOf(w);
        unsigned eepromReports = 0;
        for (const vboard::Report &r : boards[static_cast<std::size_t>(w)]->reports()) {
            if (r[0] == vboard::kMdio && r[1] == 0) {
                const std::uint16_t reg = static_cast<std::uint16_t>(r[4] | r[5] << 8);
                ASSERT_EQ(r[6] | r[7] << 8, mdioData(w, reg));
            }
            if (r[0] != vboard::kEeprom) continue;
            ++eepromReports;
            ASSERT_EQ(r[2], 0);
            ASSERT_EQ(r[3], 2);
            for (std::size_t i = 8; i < r.size(); ++i) ASSERT_EQ(r[i], 0) << "byte " << i;
            const std::uint32_t address = (r[4] & 1u) << 16 | r[5] << 8 | r[6];
            const bool serialByte = address < 8;
            ASSERT_TRUE(serialByte || (address >= eepromBase(w) && address < eepromBase(w) + kSlots))
                << "address " << address;
            if (r[1] == 0) {
                ASSERT_EQ(r[7], serialByte ? static_cast<std::uint8_t>(serial[address])
                                           : eepromData(w, address - eepromBase(w)))
                    << "address " << address;
            }
        }
        EXPECT_GT(eepromReports, 2u * kRounds);
    }
    for (vboard::Board *b : {&enum0, &enum1}) {
        const std::vector<vboard::Report> reports = b->reports();
        EXPECT_EQ(reports.size(), static_cast<std::size_t>(kEnumerations));
        for (const vboard::Report &r : reports) {
            ASSERT_EQ(head(r), (std::vector<std::uint8_t>{0xF1, 0x01, 0, 0x02, 0, 0, 0, r[7]}));
        }
    }
}

}  // namespace
