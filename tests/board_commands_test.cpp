// Board control and monitoring on the bench: the bytes each command puts on
// the wire, what the board does with them, how replies are decoded, and the
// commands a type-0 board does not have.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_test.h"

using hostwin::Fn;
using Bytes = std::vector<std::uint8_t>;

namespace {

class BoardCommands : public ConnectedBoardTest {};

// One command after another on one instance. Each report carries its own
// bytes and keeps every byte it does not write from the commands before it;
// EEPROM commands are built elsewhere and leave the board's buffer alone.
TEST_F(BoardCommands, EachCommandWritesItsBytesAndKeepsTheRest) {
    std::uint8_t u8 = 0;
    std::uint16_t u16 = 0;
    double d = 0;
    std::uint8_t identity[20];
    struct Step {
        const char *what;
        std::function<int()> run;
        Bytes wire;
    };
    const std::vector<Step> steps = {
        {"setVendorIO 0x5A", [&] { return veskcfp2_setVendorIO(inst, 0x5A); },
         {0xF0, 0x5A, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00}},
        {"setMDIO 1/0x8000/0x1234", [&] { return veskcfp2_setMDIO(inst, 1, 0x8000, 0x1234); },
         {0xF4, 0x00, 0x00, 0x01, 0x00, 0x80, 0x34, 0x12}},
        {"setPower 0x33", [&] { return veskcfp2_setPower(inst, 0x33); },
         {0xF7, 0x00, 0x33, 0x01, 0x00, 0x80, 0x34, 0x12}},
        {"resetMCU keeps the power byte", [&] { return veskcfp2_resetMCU(inst); },
         {0xF5, 0x00, 0x33, 0x01, 0x00, 0x80, 0x34, 0x12}},
        {"getMDIO writes byte 2 as 0", [&] { return veskcfp2_getMDIO(inst, 2, 0x0102, &u16); },
         {0xF4, 0x01, 0x00, 0x02, 0x02, 0x01, 0x34, 0x12}},
        {"resetMCUBoot", [&] { return veskcfp2_resetMCUBoot(inst); },
         {0xF5, 0x00, 0x00, 0x02, 0x02, 0x01, 0x34, 0x12}},
        {"enableCurrentSense value 0xBBAA selector 0x2211",
         [&] { return veskcfp2_enableCurrentSense(inst, 0xBBAA, 0x2211); },
         {0xF0, 0x00, 0x00, 0x0A, 0x11, 0x22, 0xAA, 0xBB}},
        {"getCurrentSense 0x4433", [&] { return veskcfp2_getCurrentSense(inst, 0x4433, &u8); },
         {0xF0, 0x01, 0x00, 0x0A, 0x33, 0x44, 0xAA, 0xBB}},
        {"currentMonitor", [&] { return veskcfp2_currentMonitor(inst, &u16); },
         {0xF0, 0x01, 0x00, 0x0B, 0x33, 0x44, 0xAA, 0xBB}},
        {"getTemperature sensor 7", [&] { return veskcfp2_getTemperature(inst, 7, &d); },
         {0xF6, 0x01, 0x00, 0x04, 0x07, 0x44, 0xAA, 0xBB}},
        {"getVCC", [&] { return veskcfp2_getVCC(inst, &d); },
         {0xF6, 0x01, 0x00, 0x01, 0x07, 0x44, 0xAA, 0xBB}},
        {"setPort 3/0x44", [&] { return veskcfp2_setPort(inst, 3, 0x44); },
         {0xF0, 0x00, 0x00, 0x03, 0x44, 0x44, 0xAA, 0xBB}},
        {"getPort 5", [&] { return veskcfp2_getPort(inst, 5, &u8); },
         {0xF0, 0x01, 0x00, 0x05, 0x44, 0x44, 0xAA, 0xBB}},
        {"ping", [&] { return veskcfp2_ping(inst, identity); },
         {0xF5, 0x01, 0x00, 0x00, 0x44, 0x44, 0xAA, 0xBB}},
        {"setPower 0x9C", [&] { return veskcfp2_setPower(inst, 0x9C); },
         {0xF7, 0x00, 0x9C, 0x00, 0x44, 0x44, 0xAA, 0xBB}},
        {"eepromWrite 0x1FFFF/0x5A", [&] { return veskcfp2_eepromWrite(inst, 0x1FFFF, 0x5A); },
         {0xF1, 0x00, 0x00, 0x02, 0x01, 0xFF, 0xFF, 0x5A}},
        {"setVendorIO after an EEPROM command", [&] { return veskcfp2_setVendorIO(inst, 0x01); },
         {0xF0, 0x01, 0x9C, 0x09, 0x44, 0x44, 0xAA, 0xBB}},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        board->clearReports();
        EXPECT_EQ(step.run(), VESKCFP2_CMD_OK);
        ASSERT_EQ(board->reports().size(), 1u);
        const vboard::Report sent = board->lastReport();
        EXPECT_EQ(head(sent), step.wire);
        for (std::size_t i = 8; i < sent.size(); ++i) ASSERT_EQ(sent[i], 0) << "byte " << i;
    }
    EXPECT_EQ(board->malformedWrites(), 0u);
}

TEST_F(BoardCommands, TheBoardActsOnWhatItIsSent) {
    // MDIO registers are kept per port: what one port writes the other does
    // not read.
    EXPECT_EQ(veskcfp2_setMDIO(inst, 1, 0x8000, 0x1234), VESKCFP2_CMD_OK);
    EXPECT_EQ(veskcfp2_setMDIO(inst, 2, 0x8000, 0xBEEF), VESKCFP2_CMD_OK);
    std::uint16_t data = 0;
    EXPECT_EQ(veskcfp2_getMDIO(inst, 1, 0x8000, &data), VESKCFP2_CMD_OK);
    EXPECT_EQ(data, 0x1234);
    EXPECT_EQ(veskcfp2_getMDIO(inst, 2, 0x8000, &data), VESKCFP2_CMD_OK);
    EXPECT_EQ(data, 0xBEEF);
    EXPECT_EQ(veskcfp2_getMDIO(inst, 3, 0x8000, &data), VESKCFP2_CMD_OK);
    EXPECT_EQ(data, 0);

    std::uint8_t value = 0;
    EXPECT_EQ(veskcfp2_setPort(inst, 5, 0xA5), VESKCFP2_CMD_OK);
    EXPECT_EQ(veskcfp2_getPort(inst, 5, &value), VESKCFP2_CMD_OK);
    EXPECT_EQ(value, 0xA5);

    EXPECT_EQ(veskcfp2_setVendorIO(inst, 0x5A), VESKCFP2_CMD_OK);
    EXPECT_EQ(veskcfp2_setPower(inst, 0x42), VESKCFP2_CMD_OK);
    EXPECT_EQ(veskcfp2_enableCurrentSense(inst, 0x0300, 0x0002), VESKCFP2_CMD_OK);
    EXPECT_EQ(veskcfp2_resetMCU(inst), VESKCFP2_CMD_OK);
    EXPECT_EQ(veskcfp2_resetMCUBoot(inst), VESKCFP2_CMD_OK);
    const vboard::BoardState &s = board->state();
    EXPECT_EQ(s.vendorIO, 0x5A);
    EXPECT_EQ(s.power, 0x42);
    EXPECT_EQ(s.senseEnabled.at(0x0002), 0x0300);
    EXPECT_EQ(s.resets, 1u);
    EXPECT_EQ(s.bootResets, 1u);
}

// Each query decodes the board's reading, decodes what came of a short
// reply, and writes its output even when it failed.
TEST_F(BoardCommands, QueriesDecodeFullShortAndFailedReplies) {
    vboard::BoardState &s = board->state();
    s.ports[4] = 0xA7;
    s.senseReading[0x0101] = 0xC3;
    s.currentMonitor = 0xBEEF;
    s.mdio[1][0x20] = 0x1234;
    board->setVcc(3.5);                  // 0x03 0x80
    board->setTemperature(2, -0.25);     // 0xFF 0xC0

    struct Query {
        const char *what;
        std::size_t replyLength;
        std::function<int(double &)> run;  // runs the query, reports its output as a number
        double full, cut;                  // the output from the whole reply, and from one byte less
    };
    const std::vector<Query> queries = {
        {"getPort", 2,
         [&](double &out) { std::uint8_t v = 0xEE; int r = veskcfp2_getPort(inst, 4, &v); out = v; return r; },
         0xA7, 0},
        {"getCurrentSense", 3,
         [&](double &out) { std::uint8_t v = 0xEE; int r = veskcfp2_getCurrentSense(inst, 0x0101, &v); out = v; return r; },
         0xC3, 0xC3},
        {"currentMonitor", 3,
         [&](double &out) { std::uint16_t v = 0xEEEE; int r = veskcfp2_currentMonitor(inst, &v); out = v; return r; },
         0xBEEF, 0xEF},
        {"getMDIO", 3,
         [&](double &out) { std::uint16_t v = 0xEEEE; int r = veskcfp2_getMDIO(inst, 1, 0x20, &v); out = v; return r; },
         0x1234, 0x34},
        {"getVCC", 3,
         [&](double &out) { double v = -99; int r = veskcfp2_getVCC(inst, &v); out = v; return r; },
         3.5, 0.5},
        {"getTemperature", 3,
         [&](double &out) { double v = -99; int r = veskcfp2_getTemperature(inst, 2, &v); out = v; return r; },
         -0.25, 0.75},
    };
    for (const Query &q : queries) {
        SCOPED_TRACE(q.what);
        double out = -1;
        board->knobs() = vboard::Knobs{};
        EXPECT_EQ(q.run(out), VESKCFP2_CMD_OK);
        EXPECT_EQ(out, q.full);

        board->knobs().replyBytes = q.replyLength - 1;
        EXPECT_EQ(q.run(out), VESKCFP2_CMD_SHORT);
        EXPECT_EQ(out, q.cut);

        board->knobs() = vboard::Knobs{};
        board->knobs().silent = true;
        EXPECT_EQ(q.run(out), VESKCFP2_CMD_FAILED);
        EXPECT_EQ(out, 0) << "a failed query writes what never came as 0";

        // A board that answers again answers this query (after a wait for
        // what the silent one may still owe).
        board->knobs() = vboard::Knobs{};
        EXPECT_EQ(q.run(out), VESKCFP2_CMD_OK);
        EXPECT_EQ(out, q.full);

        hostwin::failCalls(Fn::ReadFile, ERROR_GEN_FAILURE);
        EXPECT_EQ(q.run(out), VESKCFP2_CMD_FAILED);
        EXPECT_EQ(out, 0);
        // The board did answer; the next query (the next round's first)
        // collects that reply before its own.
    }
    // Not connected: nothing is sent, and the output is still written.
    ASSERT_EQ(veskcfp2_disconnect(inst), 1);
    for (const Query &q : queries) {
        SCOPED_TRACE(q.what);
        double out = -1;
        EXPECT_EQ(systemCallsDuring([&] { EXPECT_EQ(q.run(out), VESKCFP2_CMD_FAILED); }), 0u);
        EXPECT_EQ(out, 0);
    }
}

TEST_F(BoardCommands, SupplyVoltageIsUnsignedAndTemperatureSignedFixedPoint) {
    // The two readings share a format; only temperatures go below zero.
    struct Reading {
        std::uint8_t fraction, integer;
        double volts, celsius;
    };
    const Reading readings[] = {
        {0x40, 25, 25.25, 25.25},          {0x80, 0x03, 3.5, 3.5},
        {0x00, 0x00, 0.0, 0.0},            {0xC0, 0xFF, 255.75, -0.25},
        {0x00, 0x80, 128.0, -128.0},       {0xFF, 0x7F, 127.99609375, 127.99609375},
        {0x80, 0xD7, 215.5, -40.5},
    };
    for (const Reading &r : readings) {
        SCOPED_TRACE(testing::Message() << "reply 0x" << std::hex << int(r.integer) << " 0x" << int(r.fraction));
        double volts = -1, celsius = -1;
        board->scriptReply({0xF6, r.fraction, r.integer});
        EXPECT_EQ(veskcfp2_getVCC(inst, &volts), VESKCFP2_CMD_OK);
        EXPECT_EQ(volts, r.volts);
        board->scriptReply({0xF6, r.fraction, r.integer});
        EXPECT_EQ(veskcfp2_getTemperature(inst, 0, &celsius), VESKCFP2_CMD_OK);
        EXPECT_EQ(celsius, r.celsius);
    }

    // Readings set on the bench come back per sensor, negative ones included.
    board->setVcc(3.3125);
    board->setTemperature(0, 41.5);
    board->setTemperature(1, -12.75);
    board->setTemperature(9, -128.0);
    double v = 0;
    EXPECT_EQ(veskcfp2_getVCC(inst, &v), VESKCFP2_CMD_OK);
    EXPECT_EQ(v, 3.3125);
    const std::pair<std::uint8_t, double> sensors[] = {{0, 41.5}, {1, -12.75}, {9, -128.0}};
    for (const auto &[sensor, celsius] : sensors) {
        EXPECT_EQ(veskcfp2_getTemperature(inst, sensor, &v), VESKCFP2_CMD_OK);
        EXPECT_EQ(v, celsius) << "sensor " << int(sensor);
    }
}

TEST_F(BoardCommands, CurrentSenseStoresOneByteOfItsThreeByteReply) {
    std::uint8_t out[2] = {0xEE, 0xEE};
    board->scriptReply({0xF0, 0x5C, 0x77});
    EXPECT_EQ(veskcfp2_getCurrentSense(inst, 1, &out[0]), VESKCFP2_CMD_OK);
    EXPECT_EQ(out[0], 0x5C);
    EXPECT_EQ(out[1], 0xEE);
}

TEST_F(BoardCommands, FtdiSupplySwitchFlipsBit7OfPort3AndKeepsTheOtherLines) {
    board->state().ports[3] = 0x12;
    EXPECT_EQ(veskcfp2_p3v3_FTDIEnable(inst, 1), VESKCFP2_CMD_OK);
    ASSERT_EQ(board->reports().size(), 2u);
    EXPECT_EQ(head(board->reports()[0], 4), (Bytes{0xF0, 0x01, 0x00, 0x03}));
    EXPECT_EQ(head(board->reports()[1], 5), (Bytes{0xF0, 0x00, 0x00, 0x03, 0x92}));
    EXPECT_EQ(board->state().ports[3], 0x92);

    EXPECT_EQ(veskcfp2_p3v3_FTDIEnable(inst, 0), VESKCFP2_CMD_OK);
    EXPECT_EQ(board->state().ports[3], 0x12);
    EXPECT_EQ(veskcfp2_p3v3_FTDIEnable(inst, 0), VESKCFP2_CMD_OK);
    EXPECT_EQ(board->state().ports[3], 0x12) << "off stays off";
    EXPECT_EQ(veskcfp2_p3v3_FTDIEnable(inst, 0x40), VESKCFP2_CMD_OK);
    EXPECT_EQ(board->state().ports[3], 0x92) << "any non-zero enable switches on";

    // The set command's own failure is the result.
    hostwin::failCalls(Fn::WriteFile, ERROR_GEN_FAILURE, 1, 1);
    EXPECT_EQ(veskcfp2_p3v3_FTDIEnable(inst, 0), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(board->state().ports[3], 0x92);
}

// Writing port 3 back from a reading that did not come whole would drive the
// other seven port-3 lines from bytes the board never sent.
TEST_F(BoardCommands, FtdiSupplySwitchWritesNothingAfterAFailedOrShortReading) {
    board->state().ports[3] = 0x12;
    auto attempt = [&](const char *what) {
        SCOPED_TRACE(what);
        board->clearReports();
        EXPECT_EQ(veskcfp2_p3v3_FTDIEnable(inst, 1), VESKCFP2_CMD_FAILED);
        EXPECT_EQ(board->reports().size(), 1u) << "the query only";
        EXPECT_EQ(board->state().ports[3], 0x12);
    };
    board->knobs().replyBytes = 1;
    attempt("reading came short");
    board->knobs().replyBytes = 0;
    attempt("reading came empty");
    board->knobs() = vboard::Knobs{};
    board->knobs().silent = true;
    attempt("no reading");
    board->knobs() = vboard::Knobs{};
    board->knobs().oversize = 1;
    attempt("reading longer than asked");
}

TEST_F(BoardCommands, Type0BoardRefusesType1CommandsWithoutIoOrOutput) {
    vboard::Board &type0 = bench.plug(0, "ZERO");
    CFP2INSTANCE *zero = connected(0, 1);
    type0.state().ports[3] = 0x12;
    double volts = 1234.5, celsius = 1234.5;
    EXPECT_EQ(systemCallsDuring([&] {
                  EXPECT_EQ(veskcfp2_getVCC(zero, &volts), VESKCFP2_CMD_FAILED);
                  EXPECT_EQ(veskcfp2_getTemperature(zero, 0, &celsius), VESKCFP2_CMD_FAILED);
                  EXPECT_EQ(veskcfp2_setPower(zero, 0x42), VESKCFP2_CMD_FAILED);
                  EXPECT_EQ(veskcfp2_p3v3_FTDIEnable(zero, 1), VESKCFP2_CMD_FAILED);
              }),
              0u);
    EXPECT_EQ(volts, 1234.5);
    EXPECT_EQ(celsius, 1234.5);
    EXPECT_TRUE(type0.reports().empty());
    // A refused command leaves no trace in the command buffer.
    EXPECT_EQ(veskcfp2_resetMCU(zero), VESKCFP2_CMD_OK);
    EXPECT_EQ(head(type0.lastReport()), (Bytes{0xF5, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}));

    // The commands both types have work on type 0.
    std::uint16_t data = 0;
    EXPECT_EQ(veskcfp2_setMDIO(zero, 1, 0x10, 0x4321), VESKCFP2_CMD_OK);
    EXPECT_EQ(veskcfp2_getMDIO(zero, 1, 0x10, &data), VESKCFP2_CMD_OK);
    EXPECT_EQ(data, 0x4321);
    std::uint8_t port = 0;
    EXPECT_EQ(veskcfp2_getPort(zero, 3, &port), VESKCFP2_CMD_OK);
    EXPECT_EQ(port, 0x12);
}

TEST_F(BoardCommands, NullInstanceOrOutputFailsBeforeAnyIo) {
    std::uint8_t u8 = 0xEE;
    std::uint16_t u16 = 0xEEEE;
    double d = -99;
    EXPECT_EQ(systemCallsDuring([&] {
                  for (CFP2INSTANCE *i : {static_cast<CFP2INSTANCE *>(nullptr), inst}) {
                      const bool null = i == nullptr;
                      if (null) {
                          EXPECT_EQ(veskcfp2_resetMCU(i), VESKCFP2_CMD_FAILED);
                          EXPECT_EQ(veskcfp2_resetMCUBoot(i), VESKCFP2_CMD_FAILED);
                          EXPECT_EQ(veskcfp2_setPort(i, 1, 1), VESKCFP2_CMD_FAILED);
                          EXPECT_EQ(veskcfp2_setVendorIO(i, 1), VESKCFP2_CMD_FAILED);
                          EXPECT_EQ(veskcfp2_p3v3_FTDIEnable(i, 1), VESKCFP2_CMD_FAILED);
                          EXPECT_EQ(veskcfp2_setPower(i, 1), VESKCFP2_CMD_FAILED);
                          EXPECT_EQ(veskcfp2_enableCurrentSense(i, 1, 1), VESKCFP2_CMD_FAILED);
                          EXPECT_EQ(veskcfp2_setMDIO(i, 1, 1, 1), VESKCFP2_CMD_FAILED);
                      }
                      // The queries: with a null instance the output is
                      // untouched; with a null output there is nothing to write.
                      EXPECT_EQ(veskcfp2_getPort(i, 7, null ? &u8 : nullptr), VESKCFP2_CMD_FAILED);
                      EXPECT_EQ(veskcfp2_getCurrentSense(i, 0x7777, null ? &u8 : nullptr), VESKCFP2_CMD_FAILED);
                      EXPECT_EQ(veskcfp2_currentMonitor(i, null ? &u16 : nullptr), VESKCFP2_CMD_FAILED);
                      EXPECT_EQ(veskcfp2_getMDIO(i, 7, 0x7777, null ? &u16 : nullptr), VESKCFP2_CMD_FAILED);
                      EXPECT_EQ(veskcfp2_getVCC(i, null ? &d : nullptr), VESKCFP2_CMD_FAILED);
                      EXPECT_EQ(veskcfp2_getTemperature(i, 7, null ? &d : nullptr), VESKCFP2_CMD_FAILED);
                  }
              }),
              0u);
    EXPECT_EQ(u8, 0xEE);
    EXPECT_EQ(u16, 0xEEEE);
    EXPECT_EQ(d, -99);
    // Nothing of the refused queries reached the command buffer.
    EXPECT_EQ(veskcfp2_resetMCU(inst), VESKCFP2_CMD_OK);
    EXPECT_EQ(head(board->lastReport()), (Bytes{0xF5, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}));
}

}  // namespace
