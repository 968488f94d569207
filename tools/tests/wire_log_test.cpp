// wire_log_test.cpp - the wire log as an engineer reads it after a run:
// brevantctl status on a virtual board with BREVANT_WIRE_LOG set leaves every
// report the board received in the log, byte for byte, and two threads
// driving two boards at once leave only whole lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "brevant.h"
#include "cli.h"
#include "context.h"
#include "doctor.h"
#include "vboard/bench.h"

namespace {

std::string logPath() {
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("brevant-wire-log-test-" + std::to_string(getpid()) + ".log")).string();
    return path;
}

// The log is named before the library's first transfer, and removed at the end.
class WireLogFile : public ::testing::Environment {
   public:
    void SetUp() override {
        std::filesystem::remove(logPath());
        setenv("BREVANT_WIRE_LOG", logPath().c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove(logPath()); }
};
const auto *const kLogFile = ::testing::AddGlobalTestEnvironment(new WireLogFile);

struct Logged {
    std::vector<brevantctl::WireLine> lines;
    std::size_t unparsed = 0;  // lines that are neither a transfer nor a comment
};

// The log's lines of the board whose location names `serial`.
Logged linesOf(const std::string &serial) {
    std::string lower = serial;
    for (char &ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    Logged logged;
    std::ifstream in(logPath());
    for (std::string text; std::getline(in, text);) {
        if (text.rfind("# ", 0) == 0) continue;
        const std::optional<brevantctl::WireLine> line = brevantctl::parseWireLine(text);
        if (!line) {
            ++logged.unparsed;
            continue;
        }
        if (line->location.find(lower) != std::string::npos) logged.lines.push_back(*line);
    }
    return logged;
}

std::vector<std::vector<std::uint8_t>> reportsOf(const Logged &logged) {
    std::vector<std::vector<std::uint8_t>> reports;
    for (const brevantctl::WireLine &line : logged.lines)
        if (line.report) reports.push_back(line.bytes);
    return reports;
}

std::vector<std::vector<std::uint8_t>> receivedBy(const vboard::Board &board) {
    std::vector<std::vector<std::uint8_t>> reports;
    for (const vboard::Report &r : board.reports()) reports.emplace_back(r.begin(), r.end());
    return reports;
}

TEST(WireLog, AStatusRunLeavesEveryReportTheBoardReceivedInTheLog) {
    vboard::Bench bench;
    vboard::Board &board = bench.plug(1, "WIRE0001");
    {
        // brevantctl status, as its command table runs it.
        brevantctl::Invocation status;
        status.words = {"status"};
        brevantctl::Context context(status, {});
        brevantctl::findCommandByName("status")->run(context);
        ASSERT_FALSE(context.deferredFailure());
    }

    const Logged logged = linesOf("WIRE0001");
    EXPECT_EQ(logged.unparsed, 0u);
    ASSERT_FALSE(board.reports().empty());
    EXPECT_EQ(reportsOf(logged), receivedBy(board));
    // Every query's reply is there too, with its counts, and once the serial
    // number was read the board's lines carry it.
    std::size_t replies = 0;
    for (const brevantctl::WireLine &line : logged.lines) {
        if (line.report || line.got == 0) continue;
        ++replies;
        EXPECT_EQ(line.outcome, "ok");
        EXPECT_EQ(line.bytes.size(), line.got);
        EXPECT_EQ(line.waitMs, std::optional<std::uint32_t>(100));
    }
    EXPECT_GT(replies, 4u);
    EXPECT_EQ(logged.lines.back().serial, "WIRE0001");
}

TEST(WireLog, TwoThreadsOnTwoBoardsWriteOnlyWholeLines) {
    vboard::Bench bench;
    vboard::Board &first = bench.plug(1, "WIRE0002");
    vboard::Board &second = bench.plug(1, "WIRE0003");
    auto pings = [](std::uint16_t index) {
        CFP2INSTANCE *instance = veskcfp2_createInstance(1, index);
        ASSERT_EQ(veskcfp2_connect(instance), 1);
        for (int k = 0; k < 300; ++k) {
            std::uint8_t reply[20];
            EXPECT_EQ(veskcfp2_ping(instance, reply), VESKCFP2_CMD_OK);
        }
        veskcfp2_disconnect(instance);
        veskcfp2_destroyInstance(instance);
    };
    std::thread a(pings, 0), b(pings, 1);
    a.join();
    b.join();

    const Logged one = linesOf("WIRE0002"), two = linesOf("WIRE0003");
    EXPECT_EQ(one.unparsed, 0u);
    EXPECT_EQ(reportsOf(one), receivedBy(first));
    EXPECT_EQ(reportsOf(two), receivedBy(second));
    EXPECT_EQ(reportsOf(one).size(), 300u);
}

}  // namespace
