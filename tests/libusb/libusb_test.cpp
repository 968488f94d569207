// The libusb transport against the virtual board firmware on a mocked USB
// stack: the library's exports as a program calls them, with the bytes on
// the wire checked at the firmware, and after every test nothing left open.
#include <gtest/gtest.h>
#include <libusb.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "brevant.h"
#include "test_instances.h"
#include "protocol/eeprom.h"
#include "usb/conversation.h"
#include "usb/libusb/libusb_transport.h"
#include "usb/usbapi.h"
#include "usb_bench.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> head(const vboard::Report &r, std::size_t n = 8) {
    return std::vector<std::uint8_t>(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(n));
}

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The exit status of a forked child, which is killed if it has not ended
// within `limit` (a child that hangs fails its test instead of the run; an
// alarm in the child does not do, as ThreadSanitizer leaves a forked
// child's signals blocked). -1 when it was killed.
int childStatus(pid_t child, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const Clock::time_point deadline = Clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (ended < 0) return -1;
        if (Clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

class Libusb : public ::testing::Test, protected TestInstances {
   protected:
    static void SetUpTestSuite() {
        // The testbed first, then the library's libusb context (made on its
        // first use): both live as long as the program.
        usbbench::Bench::testbed();
        // One full round first: what libusb and umockdev make once for the
        // process then exists before any test counts the open files.
        usbbench::Bench bench;
        bench.plug(1, "WARMUP01");
        CFP2INSTANCE *instance = veskcfp2_createInstance(1, 0);
        uint8_t reply[20];
        veskcfp2_connect(instance);
        veskcfp2_ping(instance, reply);
        veskcfp2_disconnect(instance);
        veskcfp2_destroyInstance(instance);
    }

    void SetUp() override {
        files_ = usbbench::openFiles();
        abandoned_ = VESK::libusb::abandonedTransfers();
        ASSERT_FALSE(VESK::simulatedBoards()) << "these tests need the libusb transport";
        bench_ = std::make_unique<usbbench::Bench>();
    }

    void TearDown() override {
        releaseInstances();
        settleBoards();
        EXPECT_EQ(VESK::libusb::openDevices(), 0u) << "device handles left open";
        EXPECT_EQ(VESK::libusb::activeTransfers(), 0u) << "transfers left unfinished";
        EXPECT_EQ(VESK::libusb::abandonedTransfers() - abandoned_, expectedAbandoned_)
            << "transfers that never completed";
        for (usbbench::Device *device : devices_) {
            EXPECT_EQ(device->outstandingUrbs(), 0u) << device->devnode() << ": URBs never reaped";
            EXPECT_EQ(device->badLengthReads(), 0u) << device->devnode() << ": reads of part of a packet";
            EXPECT_EQ(device->babbles(), 0u) << device->devnode() << ": replies longer than their read";
            EXPECT_EQ(device->wrongTypeUrbs(), 0u) << device->devnode() << ": transfers of the wrong type";
            if (!device->unplugged()) {
                EXPECT_EQ(device->claimedInterfaces(), 0u) << device->devnode() << ": interface left claimed";
            }
        }
        devices_.clear();
        bench_.reset();
        // umockdev closes its end of a node's socket on its own thread, so
        // files may close a little later (seconds on a loaded machine); none
        // may have been added.
        std::vector<std::string> added;
        for (int i = 0; i < 1000; ++i) {
            added.clear();
            for (const std::string &file : usbbench::openFiles())
                if (files_.count(file) == 0) added.push_back(file);
            if (added.empty()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(added, std::vector<std::string>{}) << "file descriptors left open";
    }

    usbbench::Device &plug(int type, const std::string &serial, usbbench::DeviceOptions options = {}) {
        usbbench::Device &device = bench_->plug(type, serial, std::move(options));
        devices_.push_back(&device);
        return device;
    }

    usbbench::Bench &bench() { return *bench_; }

    // The library remembers, for as long as the process runs, a reply a board
    // still owes, by the board's port path, which the next test's boards
    // share. An enumeration with probes collects every such reply from the
    // boards answering normally again, so each test starts as a new process
    // would.
    void settleBoards() {
        for (usbbench::Device *device : devices_) {
            if (!device->unplugged()) device->setKnobs([](vboard::Knobs &k) { k = vboard::Knobs{}; });
        }
        // A resync ping a silent board never answered is waited for until it
        // is taken as lost: enumerate until no board is remembered.
        for (int round = 0; round < 20; ++round) {
            std::uint16_t indices[VESKCFP2_MAX_DEVICES];
            std::uint8_t firsts[2 * VESKCFP2_MAX_DEVICES];
            veskcfp2_enumerateDevices(-1, indices, firsts);
            if (VESK::knownBoards() == 0) break;
        }
    }

    // Transfers the test itself makes the transport give up on.
    unsigned expectedAbandoned_ = 0;
    unsigned abandoned_ = 0;  // given up on before the test

   private:
    std::set<std::string> files_;
    std::unique_ptr<usbbench::Bench> bench_;
    std::vector<usbbench::Device *> devices_;
};

TEST_F(Libusb, PingReachesTheFirmware) {
    usbbench::Device &device = plug(1, "ABC12345");
    CFP2INSTANCE *inst = connected(1, 0);
    uint8_t reply[20] = {};
    EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(reply), 19), "VESK CFP2 8348 1.04");
    EXPECT_EQ(head(device.board().lastReport()), (std::vector<std::uint8_t>{0xF5, 0x01, 0, 0, 0, 0, 0, 0}));
}


TEST_F(Libusb, BoardsAreListedByBusAndPortWhateverOrderTheyCameIn) {
    // Plugged out of order, with a device of the same vendor that is no board.
    plug(0, "ZERO0002", {0x8248, 2, {1}});
    bench().plugForeign(0x000A, {0x000A, 1, {1}});
    plug(1, "ONE00001", {0x8348, 1, {4}});
    plug(0, "ZERO0001", {0x8248, 1, {2}, true});

    std::uint16_t indices[VESKCFP2_MAX_DEVICES];
    std::uint8_t first[2 * VESKCFP2_MAX_DEVICES];
    std::memset(first, 0xEE, sizeof first);
    // 1-2 (type 0), 1-4 (type 1), 2-1 (type 0); the foreign device is not
    // a board.
    ASSERT_EQ(veskcfp2_enumerateDevices(5, indices, first), 3);
    EXPECT_EQ((std::vector<std::uint16_t>(indices, indices + 3)), (std::vector<std::uint16_t>{0, 1, 2}));
    EXPECT_EQ((std::vector<std::uint8_t>{first[0], first[1], first[2], first[4]}),
              (std::vector<std::uint8_t>{'Z', 0xEE, 'O', 'Z'})) << "byte 2k+1 is never written";
    ASSERT_EQ(veskcfp2_enumerateDevices(0, indices, first), 2);
    EXPECT_EQ((std::vector<std::uint16_t>(indices, indices + 2)), (std::vector<std::uint16_t>{0, 2}));
    ASSERT_EQ(veskcfp2_enumerateDevices(1, indices, first), 1);
    EXPECT_EQ(indices[0], 1);

    // An index is what createInstance takes, and stays while nothing changes.
    char serial[9] = {};
    for (int round = 0; round < 2; ++round) {
        CFP2INSTANCE *inst = connected(0, 2);
        ASSERT_EQ(veskcfp2_getSN(inst, reinterpret_cast<uint8_t *>(serial)), 1);
        EXPECT_STREQ(serial, "ZERO0002");
        EXPECT_EQ(veskcfp2_connect(create(0, 1)), 0) << "index 1 holds a type-1 board";
    }
    char path[VESK::PATH_LIMIT];
    std::uint32_t length = 0;
    EXPECT_EQ(VESK::findDevicePath(1, VESK::MATCH_8348, path, sizeof path, &length), VESK::LOOKUP_OK);
    EXPECT_STREQ(path, "1-4");
    EXPECT_EQ(VESK::findDevicePath(3, "", nullptr, 0, nullptr), VESK::LOOKUP_NO_MORE);
    // A path that would fill the buffer leaves no room for its terminator:
    // nothing is copied, the length is told.
    char exact[3] = {'x', 'x', 'x'};
    length = 0;
    EXPECT_EQ(VESK::findDevicePath(1, VESK::MATCH_8348, exact, 3, &length), VESK::LOOKUP_TOO_LONG);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(std::string(exact, 3), "xxx");
    char fits[4] = {};
    EXPECT_EQ(VESK::findDevicePath(1, VESK::MATCH_8348, fits, 4, &length), VESK::LOOKUP_OK);
    EXPECT_STREQ(fits, "1-4");
}

TEST_F(Libusb, NoBoardNoListAndNothingWritten) {
    bench().plugForeign(0x8249, {0x8249, 1, {1}});
    // A board's product id under another vendor is not a board either.
    bench().plugForeign(0x8348, {0x8348, 1, {2}}, 0x1234);
    std::uint16_t indices[2] = {7, 7};
    std::uint8_t first[2] = {7, 7};
    EXPECT_EQ(veskcfp2_enumerateDevices(5, indices, first), 0);
    EXPECT_EQ(indices[0], 7);
    EXPECT_EQ(first[0], 7);
    EXPECT_EQ(veskcfp2_connect(create(1, 0)), 0);
}

// Every command family puts the bytes of its row on the wire and decodes
// the firmware's reply, over interrupt and over bulk endpoints alike, and
// over boards whose two endpoints differ (each transfer must have its own
// endpoint's type: the kernel refuses an interrupt transfer on a bulk one).
struct EndpointTypes {
    bool bulk;   // the OUT endpoint is a bulk one
    bool mixed;  // the IN endpoint is of the other type
    const char *name;
};

void PrintTo(const EndpointTypes &types, std::ostream *out) { *out << types.name; }

class LibusbWire : public Libusb, public ::testing::WithParamInterface<EndpointTypes> {};

TEST_P(LibusbWire, EveryCommandFamilyIsByteExact) {
    usbbench::DeviceOptions options{0x8348, 1, {1}, GetParam().bulk};
    options.mixed = GetParam().mixed;
    usbbench::Device &device = plug(1, "ABC12345", options);
    vboard::Board &board = device.board();
    CFP2INSTANCE *inst = connected(1, 0);
    auto wire = [&] { return head(board.lastReport()); };
    using Bytes = std::vector<std::uint8_t>;

    EXPECT_EQ(veskcfp2_setPower(inst, 0x33), VESKCFP2_CMD_OK);
    EXPECT_EQ(wire(), (Bytes{0xF7, 0x00, 0x33, 0, 0, 0, 0, 0}));
    EXPECT_EQ(veskcfp2_resetMCU(inst), VESKCFP2_CMD_OK);
    EXPECT_EQ(wire(), (Bytes{0xF5, 0x00, 0x33, 0x01, 0, 0, 0, 0})) << "byte 2 keeps the power value";
    EXPECT_EQ(veskcfp2_resetMCUBoot(inst), VESKCFP2_CMD_OK);
    EXPECT_EQ(wire()[3], 0x02);
    EXPECT_EQ(veskcfp2_setPort(inst, 3, 0x12), VESKCFP2_CMD_OK);
    EXPECT_EQ(wire(), (Bytes{0xF0, 0x00, 0x33, 0x03, 0x12, 0, 0, 0}));
    uint8_t port = 0;
    EXPECT_EQ(veskcfp2_getPort(inst, 3, &port), VESKCFP2_CMD_OK);
    EXPECT_EQ(port, 0x12);
    EXPECT_EQ(veskcfp2_setVendorIO(inst, 0x5A), VESKCFP2_CMD_OK);
    EXPECT_EQ(wire(), (Bytes{0xF0, 0x5A, 0x33, 0x09, 0x12, 0, 0, 0}));
    EXPECT_EQ(veskcfp2_enableCurrentSense(inst, 0x0102, 0x0A0B), VESKCFP2_CMD_OK);
    EXPECT_EQ(wire(), (Bytes{0xF0, 0x00, 0x33, 0x0A, 0x0B, 0x0A, 0x02, 0x01}));
    device.withState([](vboard::BoardState &s) { s.senseReading[0x0A0B] = 0x77; });
    uint8_t sense = 0;
    EXPECT_EQ(veskcfp2_getCurrentSense(inst, 0x0A0B, &sense), VESKCFP2_CMD_OK);
    EXPECT_EQ(sense, 0x77);
    uint16_t monitor = 0;
    EXPECT_EQ(veskcfp2_currentMonitor(inst, &monitor), VESKCFP2_CMD_OK);
    EXPECT_EQ(monitor, 0x0123);
    EXPECT_EQ(wire()[3], 0x0B);
    EXPECT_EQ(veskcfp2_setMDIO(inst, 1, 0x8000, 0x1234), VESKCFP2_CMD_OK);
    EXPECT_EQ(wire(), (Bytes{0xF4, 0x00, 0x33, 0x01, 0x00, 0x80, 0x34, 0x12}));
    uint16_t mdio = 0;
    EXPECT_EQ(veskcfp2_getMDIO(inst, 1, 0x8000, &mdio), VESKCFP2_CMD_OK);
    EXPECT_EQ(mdio, 0x1234);
    EXPECT_EQ(wire(), (Bytes{0xF4, 0x01, 0x00, 0x01, 0x00, 0x80, 0x34, 0x12}));
    double vcc = 0, temp = 0;
    EXPECT_EQ(veskcfp2_getVCC(inst, &vcc), VESKCFP2_CMD_OK);
    EXPECT_DOUBLE_EQ(vcc, 3.3125);
    board.setTemperature(2, -5.5);
    EXPECT_EQ(veskcfp2_getTemperature(inst, 2, &temp), VESKCFP2_CMD_OK);
    EXPECT_EQ(wire(), (Bytes{0xF6, 0x01, 0x00, 0x04, 0x02, 0x80, 0x34, 0x12}));
    EXPECT_EQ(veskcfp2_p3v3_FTDIEnable(inst, 1), VESKCFP2_CMD_OK);
    EXPECT_EQ(device.withState([](vboard::BoardState &s) { return s.ports[3]; }), 0x92);

    // EEPROM: the address goes high part first, cut to 17 bits.
    EXPECT_EQ(veskcfp2_eepromWrite(inst, 0x3ABCD, 0x42), VESKCFP2_CMD_OK);
    EXPECT_EQ(wire(), (Bytes{0xF1, 0x00, 0x00, 0x02, 0x01, 0xAB, 0xCD, 0x42}));
    uint8_t byte = 0;
    EXPECT_EQ(veskcfp2_eepromRead(inst, 0x1ABCD, &byte), VESKCFP2_CMD_OK);
    EXPECT_EQ(byte, 0x42);
    char serial[9] = {};
    EXPECT_EQ(veskcfp2_getSN(inst, reinterpret_cast<uint8_t *>(serial)), 1);
    EXPECT_STREQ(serial, "ABC12345");
    EXPECT_EQ(veskcfp2_setSN(inst, reinterpret_cast<const uint8_t *>("LAB-7"), 5), 1);
    EXPECT_EQ(board.eepromSerial(), "LAB-7   ");
    EXPECT_EQ(device.badLengthWrites(), 0u) << "every report is 64 bytes";
    EXPECT_EQ(device.claims(), 1u) << "one claim for the whole connection";
}

INSTANTIATE_TEST_SUITE_P(Endpoints, LibusbWire,
                         ::testing::Values(EndpointTypes{false, false, "Interrupt"},
                                           EndpointTypes{true, false, "Bulk"},
                                           EndpointTypes{false, true, "InterruptOutBulkIn"},
                                           EndpointTypes{true, true, "BulkOutInterruptIn"}),
                         [](const ::testing::TestParamInfo<EndpointTypes> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(Libusb, SilentBoardFailsEachQueryAfterTheWaitAndKeepsThePipes) {
    usbbench::Device &device = plug(1, "ABC12345");
    CFP2INSTANCE *inst = connected(1, 0);
    device.setKnobs([](vboard::Knobs &k) { k.silent = true; });
    // The second query first waits for the first one's reply, then for its own.
    for (int i = 0; i < 2; ++i) {
        double vcc = 0;
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(veskcfp2_getVCC(inst, &vcc), VESKCFP2_CMD_FAILED);
        const long ms = msSince(start);
        EXPECT_GE(ms, 95 * (i + 1));
        EXPECT_LT(ms, 200 * (i + 1) + 300);
        EXPECT_EQ(VESK::libusb::activeTransfers(), 0u) << "the timed-out read was cancelled and completed";
        EXPECT_EQ(device.outstandingUrbs(), 0u);
    }
    // Commands without a reply go through; the pipes were kept.
    EXPECT_EQ(veskcfp2_setPort(inst, 1, 2), VESKCFP2_CMD_OK);
    // The resync ping the silent board never answered is waited for until
    // it is taken as lost (3 s of waiting); then the board answers again.
    device.setKnobs([](vboard::Knobs &k) { k.silent = false; });
    uint8_t port = 0;
    int tries = 0;
    while (veskcfp2_getPort(inst, 1, &port) != VESKCFP2_CMD_OK && ++tries < 40) {
    }
    EXPECT_LT(tries, 40);
    EXPECT_EQ(port, 2);
}

TEST_F(Libusb, ReadWhoseCancelNeverFinishesIsGivenUpAndRecoveredFrom) {
    usbbench::Device &device = plug(1, "ABC12345");
    vboard::Board &board = device.board();
    CFP2INSTANCE *inst = connected(1, 0);
    device.setKnobs([](vboard::Knobs &k) { k.silent = true; });
    device.setDiscardsLost(true);
    double vcc = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(veskcfp2_getVCC(inst, &vcc), VESKCFP2_CMD_FAILED);
    EXPECT_LT(msSince(start), 6000) << "the caller is not held for ever";
    expectedAbandoned_ = 1;
    EXPECT_EQ(VESK::libusb::abandonedTransfers() - abandoned_, 1u);
    EXPECT_EQ(device.outstandingUrbs(), 1u) << "the given-up read is still with the device";

    // The given-up read is still in flight: the next reply completes it while
    // later transfers handle the events, which must find its completion flag
    // and buffer alive. The board then answers queries again.
    device.setDiscardsLost(false);
    device.setKnobs([](vboard::Knobs &k) { k.silent = false; });
    board.setVcc(3.3125);
    int ok = 0;
    for (int i = 0; i < 40 && ok == 0; ++i) ok = veskcfp2_getVCC(inst, &vcc) == VESKCFP2_CMD_OK;
    EXPECT_EQ(ok, 1);
    EXPECT_DOUBLE_EQ(vcc, 3.3125);
    EXPECT_EQ(device.outstandingUrbs(), 0u);
    EXPECT_EQ(veskcfp2_disconnect(inst), 1);
    EXPECT_EQ(VESK::libusb::openDevices(), 0u);
}

// Replies that come long after their query gave up, of the next query's
// length and of another: queries may fail while the board catches up, but
// every answer graded CMD_OK is its own query's, however the machine's load
// moves the replies' timing.
TEST_F(Libusb, RepliesManyReplyTimesLateNeverAnswerALaterQuery) {
    usbbench::Device &device = plug(1, "ABC12345");
    vboard::Board &board = device.board();
    CFP2INSTANCE *inst = connected(1, 0);
    board.setVcc(3.3125);
    board.setTemperature(0, 25.25);
    {
        std::lock_guard<std::mutex> hold(board.mutex());
        board.state().ports[3] = 0x40;
        board.state().ports[5] = 0x7F;
        board.state().mdio[1][0x10] = 0xBEEF;
    }
    double vcc = 0, temp = 0;
    uint8_t port = 0, identity[20];
    uint16_t word = 0;
    struct Late {
        std::uint32_t ms;
        std::function<int()> slow;
    };
    const Late cases[] = {
        {250, [&] { return veskcfp2_getVCC(inst, &vcc); }},
        {500, [&] { return veskcfp2_getPort(inst, 5, &port); }},
        {2000, [&] { return veskcfp2_getVCC(inst, &vcc); }},
    };
    for (const Late &late : cases) {
        SCOPED_TRACE(std::to_string(late.ms) + " ms late");
        device.setKnobs([&](vboard::Knobs &k) { k.latencyMs = late.ms; });
        EXPECT_EQ(late.slow(), VESKCFP2_CMD_FAILED);
        device.setKnobs([](vboard::Knobs &k) { k.latencyMs = 0; });
        // A command without a reply is not held up by the owed reply.
        EXPECT_EQ(veskcfp2_setPort(inst, 3, 0x40), VESKCFP2_CMD_OK);
        bool port3 = false, temperature = false, mdio = false, ping = false;
        for (int round = 0; round < 15 && !(port3 && temperature && mdio && ping); ++round) {
            if (veskcfp2_getPort(inst, 3, &port) == VESKCFP2_CMD_OK) {
                EXPECT_EQ(port, 0x40);
                port3 = true;
            }
            if (veskcfp2_getTemperature(inst, 0, &temp) == VESKCFP2_CMD_OK) {
                EXPECT_DOUBLE_EQ(temp, 25.25) << "the supply voltage's late reply is not the temperature";
                temperature = true;
            }
            if (veskcfp2_getMDIO(inst, 1, 0x10, &word) == VESKCFP2_CMD_OK) {
                EXPECT_EQ(word, 0xBEEF);
                mdio = true;
            }
            if (veskcfp2_ping(inst, identity) == VESKCFP2_CMD_OK) {
                EXPECT_EQ(0, std::memcmp(identity, board.state().identity.data(), 20));
                ping = true;
            }
        }
        EXPECT_TRUE(port3 && temperature && mdio && ping) << "the board never answered again";
    }
    EXPECT_EQ(device.outstandingUrbs(), 0u);
}

TEST_F(Libusb, ShortAndOverlongRepliesAreGradedAndKeepThePipes) {
    usbbench::Device &device = plug(1, "ABC12345");
    CFP2INSTANCE *inst = connected(1, 0);
    device.board().scriptReply({0xF0});
    uint16_t monitor = 0;
    EXPECT_EQ(veskcfp2_currentMonitor(inst, &monitor), VESKCFP2_CMD_SHORT);
    // More bytes than asked fail the read (the device babbled).
    device.board().scriptReply({0xF0, 1, 2, 3});
    uint8_t port = 0;
    EXPECT_EQ(veskcfp2_getPort(inst, 1, &port), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(veskcfp2_getPort(inst, 1, &port), VESKCFP2_CMD_OK) << "the pipes stay open";
}

TEST_F(Libusb, UnplugWhileConnectedDropsThePipes) {
    usbbench::Device &device = plug(1, "ABC12345");
    CFP2INSTANCE *inst = connected(1, 0);
    bench().remove(device);
    EXPECT_EQ(veskcfp2_resetMCU(inst), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(VESK::libusb::openDevices(), 0u) << "the gone device was closed with the pipes";
    const std::size_t reports = device.board().reports().size();
    uint8_t reply[20];
    EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(device.board().reports().size(), reports);
    EXPECT_EQ(veskcfp2_connect(inst), 0);

    // Plugged back in (a new device at the same port), connect recovers.
    usbbench::Device &again = plug(1, "ABC12345");
    EXPECT_EQ(veskcfp2_connect(inst), 1);
    EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_OK);
    EXPECT_EQ(again.board().reports().size(), 1u);
}

TEST_F(Libusb, UnplugDuringATransferEndsItAndDropsThePipes) {
    usbbench::Device &device = plug(1, "ABC12345");
    CFP2INSTANCE *inst = connected(1, 0);
    device.setKnobs([](vboard::Knobs &k) { k.silent = true; });
    // The board goes while its read waits: the kernel fails the read and
    // every later call, then takes the device out of sysfs.
    device.onRead([&device] { device.unplug(); });
    uint16_t mdio = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(veskcfp2_getMDIO(inst, 1, 2, &mdio), VESKCFP2_CMD_FAILED);
    EXPECT_LT(msSince(start), 90) << "the read ended with the device, not with its timeout";
    bench().remove(device);
    EXPECT_EQ(VESK::libusb::openDevices(), 0u) << "the read failed for a gone device: pipes dropped";
    EXPECT_EQ(veskcfp2_getMDIO(inst, 1, 2, &mdio), VESKCFP2_CMD_FAILED);
}

TEST_F(Libusb, PermissionDeniedAndBusyInterfaceFailTheConnect) {
    usbbench::Device &denied = plug(1, "DENIED01", {0x8348, 1, {1}});
    usbbench::Device &busy = plug(1, "BUSY0001", {0x8348, 1, {2}});
    denied.setDenied(true);
    busy.setClaimedElsewhere(true);
    EXPECT_EQ(veskcfp2_connect(create(1, 0)), 0);
    EXPECT_EQ(veskcfp2_connect(create(1, 1)), 0);
    EXPECT_EQ(busy.claimedInterfaces(), 0u);
    // Both are still listed; their probes cannot read the EEPROM.
    std::uint16_t indices[4];
    std::uint8_t first[8] = {};
    EXPECT_EQ(veskcfp2_enumerateDevices(1, indices, first), 2);
    EXPECT_EQ(first[0], 0);
    EXPECT_EQ(first[2], 0);
    denied.setDenied(false);
    busy.setClaimedElsewhere(false);
    EXPECT_EQ(veskcfp2_connect(create(1, 0)), 1);
    EXPECT_EQ(veskcfp2_connect(create(1, 1)), 1);
}

// brevantctl, run as its own process on the same mocked devices, says which
// device did not open and why.
std::string brevantctl(const std::string &args, int &status, const std::string &environment = "") {
    // Notes of a bench service that may run on this machine are not this
    // bench's: brevantctl looks for them in a folder of its own here.
    const std::string command = "env -u BREVANT_SIMULATOR BREVANTCTL_SERVICE_NOTES=/nonexistent/brevant-test-notes " +
                                environment + " " BREVANTCTL_PATH " " + args + " 2>&1";
    std::string output;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char chunk[256];
        while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
        status = pclose(pipe);
    }
    return output;
}

// Skips a brevantctl case in a build that leaves brevantctl out.
#define REQUIRE_BREVANTCTL() \
    if (std::string(BREVANTCTL_PATH).empty()) GTEST_SKIP() << "brevantctl is not built here"

TEST_F(Libusb, BrevantctlNamesTheDeviceThatDidNotOpen) {
    REQUIRE_BREVANTCTL();
    plug(1, "FREE0001", {0x8348, 1, {2}});
    usbbench::Device &busy = plug(1, "BUSY0001", {0x8348, 3, {1, 4}});
    busy.setClaimedElsewhere(true);
    usbbench::DeviceOptions locked{0x8348, 4, {2}};
    locked.authorized = false;
    usbbench::Device &unauthorized = plug(1, "LOCKED01", locked);
    int status = 0;
    // A board the system keeps switched off is named as such, not as one
    // another program holds.
    std::string locking = brevantctl("--type 1 --index 2 ping", status);
    EXPECT_NE(status, 0);
    EXPECT_NE(locking.find("USB device 4-2 (/dev/bus/usb/004/"), std::string::npos) << locking;
    EXPECT_NE(locking.find("is not authorized"), std::string::npos) << locking;
    EXPECT_EQ(locking.find("another program"), std::string::npos) << locking;
    EXPECT_EQ(unauthorized.claims(), 0u);
    EXPECT_GT(unauthorized.configurationsSet(), 0u) << "asked; the system kept it unconfigured";
    // One that is allowed but could not be configured is named as that.
    usbbench::DeviceOptions stuck{0x8348, 4, {3}};
    stuck.configured = false;
    stuck.configurable = false;
    plug(1, "STUCK001", stuck);
    const std::string unconfigured = brevantctl("--type 1 --index 3 ping", status);
    EXPECT_NE(unconfigured.find("USB device 4-3 (/dev/bus/usb/004/"), std::string::npos) << unconfigured;
    EXPECT_NE(unconfigured.find("has no active configuration"), std::string::npos) << unconfigured;
    std::string out = brevantctl("--type 1 --index 1 ping", status);
    EXPECT_NE(status, 0);
    EXPECT_NE(out.find("did not open: USB device 3-1.4 (/dev/bus/usb/003/"), std::string::npos) << out;
    EXPECT_NE(out.find("could not be claimed"), std::string::npos) << out;
    out = brevantctl("--type 1 --index 0 ping", status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out.find("simulated"), std::string::npos) << out;
    if (geteuid() != 0) {
        // Only where file permissions bind (not as root): the node is closed.
        const std::string node = usbbench::Bench::nodeFile(busy);
        chmod(node.c_str(), 0);
        out = brevantctl("--type 1 --index 1 ping", status);
        chmod(node.c_str(), 0644);
        EXPECT_NE(out.find("no permission to open USB device 3-1.4"), std::string::npos) << out;
        EXPECT_NE(out.find("60-brevant.rules"), std::string::npos) << out;
    }
}

// Where the system gives no USB at all (here: a mocked system with no
// devices), brevantctl says so and names the simulator, instead of only
// finding no board.
TEST_F(Libusb, BrevantctlTellsNoUsbFromNoBoard) {
    REQUIRE_BREVANTCTL();
    char empty[] = "/tmp/brevant-no-usb.XXXXXX";
    ASSERT_NE(mkdtemp(empty), nullptr);
    int status = 0;
    const std::string bare = std::string("UMOCKDEV_DIR=") + empty;
    for (const char *args : {"list", "ping"}) {
        const std::string out = brevantctl(args, status, bare);
        EXPECT_NE(status, 0);
        EXPECT_NE(out.find("USB is not reachable on this system"), std::string::npos) << out;
        EXPECT_NE(out.find("--simulator"), std::string::npos) << out;
    }
    // umockdev leaves its event socket in the folder: remove it whole.
    std::error_code ec;
    std::filesystem::remove_all(empty, ec);
    // With USB there and no board, no board is what is said.
    bench().plugForeign(0x000A, {0x000A, 1, {1}});
    const std::string out = brevantctl("list", status);
    EXPECT_NE(out.find("no boards found\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("not reachable"), std::string::npos) << out;
}

// A board that pads every reply to a whole 64-byte packet: over libusb the
// library gets the whole packet and grades every query failed as too long,
// and brevantctl doctor says so, and why, in its reply framing check.
TEST_F(Libusb, BrevantctlDoctorNamesABoardThatPadsItsReplies) {
    REQUIRE_BREVANTCTL();
    usbbench::Device &device = plug(1, "PADS0001");
    {
        std::lock_guard<std::mutex> hold(device.board().mutex());
        device.board().knobs().padTo = 64;
    }
    int status = 0;
    const std::string out = brevantctl("--type 1 doctor", status);
    EXPECT_NE(status, 0) << out;
    EXPECT_NE(out.find("  ping                    failed   reply too long: 64 bytes where 20 were asked"), std::string::npos) << out;
    EXPECT_NE(out.find("  reply framing           failed   the board pads its replies to 64 bytes; on this system the "
                       "library gets the whole packet and grades every such query failed as too long"),
              std::string::npos)
        << out;
}

TEST_F(Libusb, KernelDriverIsDetachedOnOpenAndReattachedOnTheLastClose) {
    usbbench::Device &device = plug(0, "HID00001", {0x8248, 1, {1}, false, "usbhid"});
    CFP2INSTANCE *a = connected(0, 0);
    EXPECT_EQ(device.kernelDriver(), "(detached:usbhid)");
    CFP2INSTANCE *b = connected(0, 0);
    EXPECT_EQ(veskcfp2_disconnect(a), 1);
    EXPECT_EQ(device.kernelDriver(), "(detached:usbhid)") << "b still uses the board";
    uint8_t reply[20];
    EXPECT_EQ(veskcfp2_ping(b, reply), VESKCFP2_CMD_OK);
    EXPECT_EQ(veskcfp2_disconnect(b), 1);
    EXPECT_EQ(device.kernelDriver(), "usbhid");

    // A claim that fails after the driver was detached gives the driver back.
    device.setClaimedElsewhere(true);
    EXPECT_EQ(veskcfp2_connect(create(0, 0)), 0);
    EXPECT_EQ(device.kernelDriver(), "usbhid");
}

TEST_F(Libusb, TwoInstancesAndAProbeShareOneClaimedHandle) {
    usbbench::Device &device = plug(1, "SHARED01");
    CFP2INSTANCE *a = connected(1, 0);
    CFP2INSTANCE *b = connected(1, 0);
    EXPECT_EQ(VESK::libusb::openDevices(), 1u);
    EXPECT_EQ(device.claims(), 1u);
    std::uint16_t indices[2];
    std::uint8_t first[4] = {};
    EXPECT_EQ(veskcfp2_enumerateDevices(1, indices, first), 1);
    EXPECT_EQ(first[0], 'S');
    EXPECT_EQ(device.claims(), 1u) << "the probe used the open handle";
    EXPECT_EQ(veskcfp2_setMDIO(a, 1, 7, 0xBEEF), VESKCFP2_CMD_OK);
    uint16_t value = 0;
    EXPECT_EQ(veskcfp2_getMDIO(b, 1, 7, &value), VESKCFP2_CMD_OK);
    EXPECT_EQ(value, 0xBEEF);
    EXPECT_EQ(veskcfp2_connect(a), 1) << "reconnecting one instance leaves the other's pipes alone";
    EXPECT_EQ(veskcfp2_getMDIO(b, 1, 7, &value), VESKCFP2_CMD_OK);
    EXPECT_EQ(veskcfp2_disconnect(a), 1);
    EXPECT_EQ(device.claimedInterfaces(), 1u);
    EXPECT_EQ(veskcfp2_getMDIO(b, 1, 7, &value), VESKCFP2_CMD_OK);
}

TEST_F(Libusb, ThreadsOnDifferentBoardsRunTogether) {
    constexpr int kBoards = 3, kRounds = 40;
    for (int i = 0; i < kBoards; ++i) plug(1, "THREAD0" + std::to_string(i), {0x8348, 1, {static_cast<std::uint8_t>(i + 1)}});
    std::vector<CFP2INSTANCE *> instances;
    for (int i = 0; i < kBoards; ++i) instances.push_back(connected(1, static_cast<uint16_t>(i)));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kBoards; ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < kRounds; ++round) {
                const uint16_t written = static_cast<uint16_t>(i * 1000 + round);
                uint16_t read = 0;
                if (veskcfp2_setMDIO(instances[i], 1, 5, written) != VESKCFP2_CMD_OK ||
                    veskcfp2_getMDIO(instances[i], 1, 5, &read) != VESKCFP2_CMD_OK || read != written)
                    ++failures;
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(failures, 0);
}

// A read asks for whole packets of the IN endpoint, so a board that sends
// more than asked is not babble; the caller's buffer gets only what it asked
// for, and the count says what came.
TEST_F(Libusb, ReadsTakeWholePacketsAndWriteNoMoreThanAsked) {
    usbbench::Device &exact = plug(1, "EXACT001", {0x8348, 1, {1}});
    usbbench::DeviceOptions padding{0x8348, 1, {2}};
    padding.padded = true;
    usbbench::Device &padded = plug(1, "PADDED01", padding);
    const std::uint8_t report[64] = {0xF0, 0x01, 0x00, 0x03};  // a port query
    auto readAfterQuery = [&](std::uint16_t index, std::uint8_t (&reply)[64], std::uint32_t asked) {
        VESK::USBAPI transport(index, VESK::MATCH_8348, VESK::PIPE_SUFFIX, VESK::PIPE_SUFFIX);
        std::uint32_t count = 0;
        std::memset(reply, 0xEE, sizeof reply);
        EXPECT_TRUE(transport.openPipes());
        EXPECT_TRUE(VESK::writeReport(transport.writePipe(), report, nullptr));
        EXPECT_TRUE(VESK::readReply(transport.readPipe(), reply, asked, &count));
        transport.closePipes();
        return count;
    };
    using Bytes = std::vector<std::uint8_t>;
    std::uint8_t reply[64];
    exact.board().scriptReply({0xF0, 0x12});
    EXPECT_EQ(readAfterQuery(0, reply, 3), 2u) << "one byte more asked than the reply has";
    EXPECT_EQ(Bytes(reply, reply + 4), (Bytes{0xF0, 0x12, 0xEE, 0xEE}));
    padded.board().scriptReply({0xF0, 0x34});
    EXPECT_EQ(readAfterQuery(1, reply, 3), 64u) << "the padded packet came whole";
    EXPECT_EQ(Bytes(reply, reply + 4), (Bytes{0xF0, 0x34, 0x00, 0xEE}));

    // Through the exports, a reply longer than the query's fails it and
    // keeps the pipes; the next board answers as ever.
    CFP2INSTANCE *inst = connected(1, 1);
    uint8_t port = 0;
    EXPECT_EQ(veskcfp2_getPort(inst, 3, &port), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(veskcfp2_setPort(inst, 3, 0x21), VESKCFP2_CMD_OK);
    EXPECT_EQ(veskcfp2_getPort(inst, 3, &port), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(veskcfp2_getPort(connected(1, 0), 3, &port), VESKCFP2_CMD_OK);
}

// A halted endpoint fails the command that met it; the halt is cleared, so
// the next command goes through on the same pipes.
class LibusbStall : public Libusb, public ::testing::WithParamInterface<std::uint8_t> {};

TEST_P(LibusbStall, StalledEndpointIsClearedForTheNextCommand) {
    usbbench::Device &device = plug(1, "STALL001");
    CFP2INSTANCE *inst = connected(1, 0);
    device.stallOnce(GetParam());
    double vcc = 0;
    EXPECT_EQ(veskcfp2_getVCC(inst, &vcc), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(device.haltsCleared(), 1u);
    EXPECT_EQ(veskcfp2_getVCC(inst, &vcc), VESKCFP2_CMD_OK);
    EXPECT_DOUBLE_EQ(vcc, 3.3125);
    uint8_t port = 0;
    EXPECT_EQ(veskcfp2_getPort(inst, 3, &port), VESKCFP2_CMD_OK);
    EXPECT_EQ(device.haltsCleared(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Endpoints, LibusbStall, ::testing::Values(0x01, 0x81),
                         [](const ::testing::TestParamInfo<std::uint8_t> &info) {
                             return std::string(info.param == 0x01 ? "Out" : "In");
                         });

TEST_F(Libusb, UnconfiguredBoardIsConfiguredOnceAndAConfiguredOneIsLeftAlone) {
    usbbench::DeviceOptions blank{0x8348, 1, {1}};
    blank.configured = false;
    usbbench::Device &unconfigured = plug(1, "BLANK001", blank);
    usbbench::Device &configured = plug(1, "READY001", {0x8348, 1, {2}});
    uint8_t reply[20];
    for (int round = 0; round < 2; ++round) {
        CFP2INSTANCE *inst = connected(1, 0);
        EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_OK);
        EXPECT_EQ(veskcfp2_disconnect(inst), 1);
        EXPECT_EQ(veskcfp2_ping(connected(1, 1), reply), VESKCFP2_CMD_OK);
    }
    EXPECT_EQ(unconfigured.configurationsSet(), 1u) << "configured once, then found configured";
    EXPECT_EQ(configured.configurationsSet(), 0u);
}

// The lookups of one enumeration read one listing: a board that goes while
// an earlier one is probed does not move the later ones.
TEST_F(Libusb, EnumerationProbesTheBoardsItListed) {
    usbbench::Device &first = plug(1, "AAAA0001", {0x8348, 1, {1}});
    usbbench::Device &second = plug(1, "BBBB0001", {0x8348, 1, {2}});
    first.onRead([&] { bench().remove(first); });
    std::uint16_t indices[4];
    std::uint8_t bytes[8] = {};
    EXPECT_EQ(veskcfp2_enumerateDevices(1, indices, bytes), 2);
    EXPECT_EQ(bytes[0], 0) << "the first board went during its probe";
    EXPECT_EQ(bytes[2], 'B');
    EXPECT_EQ(second.claims(), 1u);
}

// Both pipes of a connection are opened from one listing: a board that goes
// between the two does not leave the connection half open, nor its pipes on
// two devices.
TEST_F(Libusb, BothPipesOfAConnectionAreOnTheBoardListed) {
    usbbench::Device &before = plug(1, "GOING001", {0x8348, 1, {1}});
    usbbench::Device &board = plug(1, "STAYS001", {0x8348, 1, {2}});
    board.onClaim([&] { bench().remove(before); });
    CFP2INSTANCE *inst = connected(1, 1);
    char serial[9] = {};
    EXPECT_EQ(veskcfp2_getSN(inst, reinterpret_cast<uint8_t *>(serial)), 1);
    EXPECT_STREQ(serial, "STAYS001");
    EXPECT_EQ(board.claims(), 1u);
}

// A child made by fork after its parent connected makes its own libusb
// context: it lists the boards, reaches the one its parent does not hold,
// finds the parent's board held (as by any other program), and leaves the
// parent's claim alone.
TEST_F(Libusb, ForkedChildUsesUsbOnItsOwn) {
    usbbench::Device &held = plug(1, "PARENT01", {0x8348, 1, {1}});
    plug(1, "CHILD001", {0x8348, 1, {2}});
    CFP2INSTANCE *inst = connected(1, 0);
    uint8_t reply[20];
    ASSERT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_OK);
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failed = 0;
        std::uint16_t indices[4];
        std::uint8_t first[8] = {};
        if (veskcfp2_enumerateDevices(1, indices, first) != 2) failed |= 1;
        if (first[0] != 0 || first[2] != 'C') failed |= 2;
        CFP2INSTANCE *own = veskcfp2_createInstance(1, 1);
        if (veskcfp2_connect(own) != 1 || veskcfp2_ping(own, reply) != VESKCFP2_CMD_OK) failed |= 4;
        if (veskcfp2_connect(veskcfp2_createInstance(1, 0)) != 0) failed |= 8;
        // The parent's instance, copied here, does not reach its board.
        if (veskcfp2_ping(inst, reply) != VESKCFP2_CMD_FAILED) failed |= 16;
        if (veskcfp2_disconnect(own) != 1) failed |= 32;
        _exit(failed);
    }
    EXPECT_EQ(childStatus(child), 0) << "failed checks of the child, as bits (-1: it hung)";
    EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_OK) << "the parent's connection is intact";
    EXPECT_EQ(held.claims(), 1u);
    EXPECT_EQ(held.claimedInterfaces(), 1u);
}

// A child forked while another thread of its parent is in the middle of an
// exchange with a board (holding that board's turn, which the child can
// never see released): the child lists the boards, connects the other board
// and talks to it, finds the busy board held by its parent, and a query on
// the parent's instance copied into it fails at once instead of waiting for
// the turn.
TEST_F(Libusb, ForkedChildDoesNotWaitForATurnItsParentHeld) {
    plug(1, "PARENT02", {0x8348, 1, {1}});
    plug(1, "CHILD002", {0x8348, 1, {2}});
    CFP2INSTANCE *inst = connected(1, 0);
    uint8_t reply[20];
    ASSERT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_OK);
    std::atomic<int> step{0};  // 1: the turn is held, 2: the fork is done
    std::thread busy([&] {
        VESK::USBAPI transport(0, VESK::MATCH_8348, VESK::PIPE_SUFFIX, VESK::PIPE_SUFFIX);
        EXPECT_TRUE(transport.openPipes());
        {
            VESK::BoardTurn turn(transport);
            step = 1;
            while (step.load() < 2) std::this_thread::yield();
        }
        transport.closePipes();
    });
    while (step.load() < 1) std::this_thread::yield();
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        int failed = 0;
        std::uint16_t indices[4];
        std::uint8_t first[8] = {};
        if (veskcfp2_enumerateDevices(1, indices, first) != 2) failed |= 1;
        CFP2INSTANCE *own = veskcfp2_createInstance(1, 1);
        if (veskcfp2_connect(own) != 1 || veskcfp2_ping(own, reply) != VESKCFP2_CMD_OK) failed |= 2;
        if (veskcfp2_connect(veskcfp2_createInstance(1, 0)) != 0) failed |= 4;
        if (veskcfp2_ping(inst, reply) != VESKCFP2_CMD_FAILED) failed |= 8;
        if (veskcfp2_disconnect(own) != 1) failed |= 16;
        _exit(failed);
    }
    step = 2;
    busy.join();
    ASSERT_GE(child, 0);
    EXPECT_EQ(childStatus(child), 0) << "failed checks of the child, as bits (-1: it hung)";
    EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_OK) << "the parent's board takes turns again";
}

// A child forked while another thread of its parent is in the middle of an
// EEPROM command (holding the lock that keeps EEPROM commands whole) finds
// that lock free: its own EEPROM commands, and the probes of an
// enumeration, run instead of waiting for ever. The other thread holds the
// lock without touching USB meanwhile: umockdev, which stands in for USB
// here, cannot itself be forked in the middle of a transfer.
TEST_F(Libusb, ForkDuringAnEepromCommandLeavesTheChildItsEepromCommands) {
    plug(1, "EEPROM01", {0x8348, 1, {1}});
    std::atomic<int> step{0};  // 1: the lock is held, 2: the fork is under way
    std::thread command([&] {
        std::lock_guard<std::mutex> hold(brevant::eepromLock());
        step = 1;
        while (step.load() < 2) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the fork waits for this
    });
    while (step.load() < 1) std::this_thread::yield();
    std::fflush(nullptr);
    step = 2;
    const pid_t child = fork();
    if (child == 0) {
        std::uint16_t indices[4];
        std::uint8_t first[8] = {};
        _exit(veskcfp2_enumerateDevices(1, indices, first) == 1 && first[0] == 'E' ? 0 : 1);
    }
    command.join();
    ASSERT_GE(child, 0);
    EXPECT_EQ(childStatus(child), 0) << "-1: the child hung";
}

// A program started before USB was ready (a service at boot) finds its
// boards once it is: a failed start of libusb is tried again by the next
// lookup. Run in a process started afresh, where libusb was never started:
// a forked child would copy libusb's own locks as its hotplug thread holds
// them while it takes in the board just plugged.
TEST(LibusbStart, FailedStartIsTriedAgain) {
    if (std::getenv("BREVANT_TEST_FRESH_PROCESS") == nullptr)
        GTEST_SKIP() << "run by Libusb.LibusbThatCouldNotStartIsTriedAgain in a process of its own";
    VESK::libusb::failNextStarts(1);
    std::uint16_t indices[4];
    EXPECT_EQ(veskcfp2_enumerateDevices(1, indices, nullptr), 0) << "libusb could not start";
    EXPECT_EQ(veskcfp2_enumerateDevices(1, indices, nullptr), 1) << "started on the next lookup";
}

TEST_F(Libusb, LibusbThatCouldNotStartIsTriedAgain) {
    plug(1, "LATEUSB1", {0x8348, 1, {1}});
    std::vector<std::string> environment{"BREVANT_TEST_FRESH_PROCESS=1"};
    for (char **entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
    std::vector<char *> envp;
    for (std::string &entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    char program[] = "libusb_tests";
    char filter[] = "--gtest_filter=LibusbStart.FailedStartIsTriedAgain";
    char *argv[] = {program, filter, nullptr};
    pid_t child = -1;
    ASSERT_EQ(posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv, envp.data()), 0);
    EXPECT_EQ(childStatus(child), 0) << "the fresh process's checks failed (its output is above)";
}

// One board, one conversation: instances, probes and programs that came
// before, each after a reply some query gave up on.

class LibusbConversation : public Libusb {
   protected:
    static std::uint16_t registerValue(std::uint16_t reg) { return static_cast<std::uint16_t>(0xA000 ^ (reg * 7)); }

    usbbench::Device &plugBoard() {
        usbbench::Device &device = plug(1, "ABC12345");
        vboard::Board &board = device.board();
        board.setVcc(3.3125);
        board.setTemperature(0, 41.5);
        std::lock_guard<std::mutex> hold(board.mutex());
        for (std::uint16_t reg = 0; reg < 64; ++reg) board.state().mdio[1][reg] = registerValue(reg);
        return device;
    }
    // getVCC while the board answers 150 ms late: the read times out and the
    // board owes the reply.
    static void timeOutVcc(usbbench::Device &device, CFP2INSTANCE *inst) {
        device.setKnobs([](vboard::Knobs &k) { k.latencyMs = 150; });
        double volts = 0;
        EXPECT_EQ(veskcfp2_getVCC(inst, &volts), VESKCFP2_CMD_FAILED);
        device.setKnobs([](vboard::Knobs &k) { k.latencyMs = 0; });
    }
    static void expectOwnTemperature(CFP2INSTANCE *inst) {
        double celsius = 0;
        EXPECT_EQ(veskcfp2_getTemperature(inst, 0, &celsius), VESKCFP2_CMD_OK);
        EXPECT_DOUBLE_EQ(celsius, 41.5) << "not the supply voltage a timed-out query left behind";
    }
    // `queries` reads of registers first..first+31, once `ready` counts two
    // starters; the answers that are not the register's own value.
    static int pollRegisters(CFP2INSTANCE *inst, std::uint16_t first, int queries, std::atomic<int> &ready) {
        ready.fetch_add(1);
        while (ready.load() < 2) std::this_thread::yield();
        int wrong = 0;
        for (int i = 0; i < queries; ++i) {
            const auto reg = static_cast<std::uint16_t>(first + i % 32);
            std::uint16_t value = 0;
            if (veskcfp2_getMDIO(inst, 1, reg, &value) != VESKCFP2_CMD_OK || value != registerValue(reg)) ++wrong;
        }
        return wrong;
    }
};

TEST_F(LibusbConversation, InstancesAndProbesAfterALateReplyGetTheirOwnAnswers) {
    usbbench::Device &device = plugBoard();
    CFP2INSTANCE *a = connected(1, 0);
    CFP2INSTANCE *b = connected(1, 0);
    // A second instance on the board.
    timeOutVcc(device, a);
    expectOwnTemperature(b);
    // An enumeration probe on the board in use.
    timeOutVcc(device, a);
    std::uint16_t indices[4];
    std::uint8_t firsts[8] = {};
    ASSERT_EQ(veskcfp2_enumerateDevices(1, indices, firsts), 1);
    EXPECT_EQ(firsts[0], 'A') << "the probe took the late supply voltage for the EEPROM byte";
    // A fresh instance once both have disconnected.
    timeOutVcc(device, a);
    EXPECT_EQ(veskcfp2_disconnect(a), 1);
    EXPECT_EQ(veskcfp2_disconnect(b), 1);
    expectOwnTemperature(connected(1, 0));
    EXPECT_EQ(device.outstandingUrbs(), 0u);
}

TEST_F(LibusbConversation, TwoThreadsOnOneBoardEachGetTheirOwnAnswers) {
    constexpr int kQueries = 2000;
    usbbench::Device &device = plugBoard();
    CFP2INSTANCE *a = connected(1, 0);
    CFP2INSTANCE *b = connected(1, 0);
    std::atomic<int> ready{0}, wrongA{-1};
    std::thread other([&] { wrongA = pollRegisters(a, 0, kQueries, ready); });
    const int wrongB = pollRegisters(b, 32, kQueries, ready);
    other.join();
    EXPECT_EQ(wrongA, 0);
    EXPECT_EQ(wrongB, 0);
    EXPECT_EQ(device.board().reports().size(), 2u * kQueries);
}

TEST_F(LibusbConversation, EnumerationWhileAnotherThreadPollsTheBoard) {
    plugBoard();
    CFP2INSTANCE *inst = connected(1, 0);
    std::atomic<int> ready{0}, wrong{-1};
    std::thread poller([&] { wrong = pollRegisters(inst, 0, 1000, ready); });
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    int badListings = 0;
    for (int i = 0; i < 50; ++i) {
        std::uint16_t indices[4];
        std::uint8_t firsts[8] = {};
        if (veskcfp2_enumerateDevices(1, indices, firsts) != 1 || firsts[0] != 'A') ++badListings;
    }
    poller.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(badListings, 0);
}

TEST_F(LibusbConversation, BoardsOnOtherThreadsDoNotWaitForASlowOne) {
    // One thread's board answers after every read gives up (100 ms each);
    // meanwhile each query on another board takes a few milliseconds.
    usbbench::Device &slowDevice = plug(1, "SLOW0001", {0x8348, 1, {1}});
    plug(1, "FAST0001", {0x8348, 1, {2}});
    slowDevice.setKnobs([](vboard::Knobs &k) { k.latencyMs = 150; });
    CFP2INSTANCE *slow = connected(1, 0);
    CFP2INSTANCE *fast = connected(1, 1);
    std::atomic<bool> stop{false};
    std::atomic<int> slowQueries{0};
    std::thread waiting([&] {
        while (!stop) {
            double volts = 0;
            veskcfp2_getVCC(slow, &volts);
            ++slowQueries;
        }
    });
    long slowest = 0;
    for (int i = 0; i < 40; ++i) {
        const Clock::time_point start = Clock::now();
        uint8_t port = 0;
        EXPECT_EQ(veskcfp2_getPort(fast, 1, &port), VESKCFP2_CMD_OK);
        slowest = std::max(slowest, msSince(start));
    }
    stop = true;
    waiting.join();
    slowDevice.setKnobs([](vboard::Knobs &k) { k.latencyMs = 0; });
    EXPECT_GE(slowQueries, 1);
    EXPECT_LT(slowest, 60) << "a query waited for the other board's exchange";
}

TEST_F(LibusbConversation, ReplyAnotherProgramLeftIsDrainedOnConnect) {
    // Another program, with a libusb context of its own, sends a supply
    // voltage query and exits without reading the answer.
    usbbench::Device &device = plugBoard();
    {
        libusb_context *ctx = nullptr;
        ASSERT_EQ(libusb_init(&ctx), LIBUSB_SUCCESS);
        libusb_device_handle *handle = libusb_open_device_with_vid_pid(ctx, 0x04D8, 0x8348);
        ASSERT_NE(handle, nullptr);
        ASSERT_EQ(libusb_claim_interface(handle, 0), LIBUSB_SUCCESS);
        unsigned char report[64] = {0xF6, 0x01, 0x00, 0x01};
        int sent = 0;
        EXPECT_EQ(libusb_interrupt_transfer(handle, 0x01, report, sizeof report, &sent, 1000), LIBUSB_SUCCESS);
        libusb_release_interface(handle, 0);
        libusb_close(handle);
        libusb_exit(ctx);
    }
    const Clock::time_point start = Clock::now();
    CFP2INSTANCE *inst = connected(1, 0);
    EXPECT_LT(msSince(start), 200) << "the drain's reads are short";
    expectOwnTemperature(inst);
    EXPECT_EQ(device.outstandingUrbs(), 0u);
}

TEST_F(LibusbConversation, CollectFindingTheBoardGoneWritesNothing) {
    usbbench::Device &device = plugBoard();
    CFP2INSTANCE *inst = connected(1, 0);
    timeOutVcc(device, inst);
    bench().remove(device);
    const std::size_t reports = device.board().reports().size();
    double celsius = 0;
    EXPECT_EQ(veskcfp2_getTemperature(inst, 0, &celsius), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(VESK::libusb::openDevices(), 0u) << "the gone device was closed with the pipes";
    EXPECT_EQ(device.board().reports().size(), reports);
}

}  // namespace
