// The virtual board's CFP2 module, read through the library over MDIO: what
// it answers on its port, how its monitors move and follow module power, its
// state and alarm registers as a bench line sets them, and how written
// registers hide it and are kept in the bench state.
#include <algorithm>
#include <set>

#include "bench_test.h"
#include "vboard/default_bench.h"

namespace {

class ModuleTest : public ConnectedBoardTest {
   protected:
    void SetUp() override {
        ConnectedBoardTest::SetUp();
        board->setModule(vboard::Module::cfp2Sr4());
    }
    std::uint16_t read(std::uint16_t reg, std::uint8_t port = vboard::kModulePort) {
        std::uint16_t word = 0xEEEE;
        EXPECT_EQ(veskcfp2_getMDIO(inst, port, reg, &word), VESKCFP2_CMD_OK);
        return word;
    }
};

TEST_F(ModuleTest, AnswersOnItsPortOnly) {
    EXPECT_EQ(read(0x8000), 0x0011);  // CFP2
    EXPECT_EQ(read(0x8003), 0x0004);  // 100GBASE-SR4
    EXPECT_EQ(read(0x8021), 'V');
    EXPECT_EQ(read(0x8030), ' ');     // vendor name padded with spaces
    EXPECT_EQ(read(0x8001), 0x0000);  // nothing made up beyond the image
    EXPECT_EQ(read(0xA2A4), 0x0000);  // a fifth lane does not exist
    EXPECT_EQ(read(0x8000, 2), 0x0000);

    board->setModule(std::nullopt);  // an empty cage
    EXPECT_EQ(read(0x8000), 0x0000);
    EXPECT_EQ(read(0xA02F), 0x0000);
}

TEST_F(ModuleTest, MonitorsDriftWithinAPlausibleRange) {
    std::set<std::uint16_t> temperatures, rx;
    for (int i = 0; i < 2000; ++i) {
        const std::uint16_t t = read(0xA02F);
        EXPECT_GE(t, 41 * 256);  // 41.0 to 42.0 C, 1/256 degree
        EXPECT_LE(t, 42 * 256);
        temperatures.insert(t);
        const std::uint16_t p = read(0xA2D3);  // lane 3 Rx power, 0.1 uW: 0.6 to 0.8 mW
        EXPECT_GE(p, 6000);
        EXPECT_LE(p, 8000);
        rx.insert(p);
    }
    EXPECT_GT(temperatures.size(), 10u);
    EXPECT_GT(rx.size(), 10u);
    EXPECT_NEAR(read(0xA030), 32950, 25);  // 3.295 V in 0.1 mV
    EXPECT_NEAR(read(0xA2A0) * 0.002, 6.8, 0.05);  // lane 0 bias in mA
}

TEST_F(ModuleTest, MonitorsReadZeroWhileModulePowerIsOff) {
    ASSERT_EQ(veskcfp2_setPower(inst, 0), VESKCFP2_CMD_OK);
    for (int reg : {0xA02F, 0xA030, 0xA2A0, 0xA2B1, 0xA2D3})
        EXPECT_EQ(read(static_cast<std::uint16_t>(reg)), 0) << std::hex << reg;
    EXPECT_EQ(read(0x8000), 0x0011);  // the ID table still answers
    ASSERT_EQ(veskcfp2_setPower(inst, 1), VESKCFP2_CMD_OK);
    EXPECT_NE(read(0xA02F), 0);
}

TEST_F(ModuleTest, ReadyWithoutAlarmsWhilePowered) {
    EXPECT_EQ(read(0xA016), 0x0020);  // Ready
    for (int reg : {0xA018, 0xA01D, 0xA01E, 0xA01F, 0xA020, 0xA200, 0xA213})
        EXPECT_EQ(read(static_cast<std::uint16_t>(reg)), 0) << std::hex << reg;
    EXPECT_EQ(read(0x8009), 0x0044);  // 4 network and 4 host lanes, as its application code says
    EXPECT_EQ(read(0x806C), 3);       // firmware 3.7
    ASSERT_EQ(veskcfp2_setPower(inst, 0), VESKCFP2_CMD_OK);
    EXPECT_EQ(read(0xA016), 0);  // without power the module answers nothing beyond its ID table
    ASSERT_EQ(veskcfp2_setPower(inst, 1), VESKCFP2_CMD_OK);
}

TEST_F(ModuleTest, BenchLineSetsStateAndAlarms) {
    const std::vector<vboard::BoardDesc> lines = vboard::parseBench(
        "1 FAULT001 module-state=fault module-alarm=A01E:0040 module-alarm=0xA212:0x8001\n"
        "1 LOWP0001 module-state=low-power\n"
        "1 ODD00001 module-state=0x0003\n"
        "1 RESET001 module-state=reset\n");
    board->setModule(vboard::benchModule(lines[0]));
    EXPECT_EQ(read(0xA016), 0x0040);
    EXPECT_EQ(read(0xA01E), 0x0040);
    EXPECT_EQ(read(0xA212), 0x8001);
    EXPECT_EQ(read(0xA018), 0);
    board->setModule(vboard::benchModule(lines[1]));
    EXPECT_EQ(read(0xA016), 0x0002);
    board->setModule(vboard::benchModule(lines[2]));
    EXPECT_EQ(read(0xA016), 0x0003);
    // Held in reset: the ID table answers, the control and monitor registers do not.
    board->setModule(vboard::benchModule(lines[3]));
    EXPECT_EQ(read(0x8000), 0x0011);
    EXPECT_EQ(read(0xA016), 0xFFFF);
    EXPECT_EQ(read(0xA02F), 0xFFFF);

    for (const char *bad : {"module-state=sleeping", "module-state=0x10000", "module-alarm=A019:0001",
                            "module-alarm=A01E", "module-alarm=A01E:10000"}) {
        EXPECT_THROW(vboard::parseBench(std::string("1 BAD00001 ") + bad + "\n"), vboard::BenchFileError) << bad;
    }
}

TEST_F(ModuleTest, WrittenRegistersHideTheModuleAndAreKept) {
    ASSERT_EQ(veskcfp2_setMDIO(inst, 1, 0x8000, 0x0000), VESKCFP2_CMD_OK);
    ASSERT_EQ(veskcfp2_setMDIO(inst, 1, 0xA02F, 0xF000), VESKCFP2_CMD_OK);
    EXPECT_EQ(read(0x8000), 0x0000);
    EXPECT_EQ(read(0xA02F), 0xF000);
    EXPECT_EQ(read(0x8002), 0x0009);  // the others still come from the module

    // The state keeps the written 0, so a board loaded from it reads 0 too.
    vboard::BoardDesc line;
    line.serial = "ABC12345";
    const std::vector<vboard::BenchBoard> boards = {{line, board}};
    const std::string state = vboard::stateText(boards);
    EXPECT_NE(state.find("mdio 01 8000 0000\n"), std::string::npos) << state;
    vboard::Board fresh(1, "ABC12345");
    fresh.setModule(vboard::Module::cfp2Sr4());
    vboard::applyState(state, {{line, &fresh}});
    EXPECT_EQ(fresh.state().mdio[1].at(0x8000), 0x0000);
    EXPECT_EQ(fresh.state().mdio[1].count(0x8002), 0u);  // reads are not stored
    EXPECT_EQ(fresh.state().power, 1);
}

}  // namespace
