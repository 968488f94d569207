// Tests of the module decoder: the shared decoding cases (decode_cases.txt,
// which the Python package is tested against too), module presence, lane
// counts, the registers a table needs and the monitor columns.
#include "cfp2module.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace cfp2module {
namespace {

struct Case {
    int line;
    std::string key;
    std::vector<std::uint16_t> words;
    std::string display;
};

std::vector<Case> loadCases() {
    std::ifstream in(CFP2MODULE_CASES);
    EXPECT_TRUE(in) << "cannot read " << CFP2MODULE_CASES;
    std::vector<Case> cases;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.empty() || line[0] == '#') continue;
        const std::size_t arrow = line.find("=>");
        Case c{number, {}, {}, line.substr(arrow + 2)};
        if (!c.display.empty() && c.display[0] == ' ') c.display.erase(0, 1);
        std::istringstream words(line.substr(0, arrow));
        words >> c.key;
        for (std::string word; words >> word;) {
            const std::size_t star = word.find('*');
            const std::size_t repeat = star == std::string::npos ? 1 : std::stoul(word.substr(star + 1));
            const auto value = static_cast<std::uint16_t>(std::stoul(word.substr(0, star), nullptr, 16));
            c.words.insert(c.words.end(), repeat, value);
        }
        cases.push_back(c);
    }
    return cases;
}

TEST(ModuleDecoder, SharedCases) {
    const std::vector<Case> cases = loadCases();
    ASSERT_GT(cases.size(), 90u);
    for (const Case &c : cases) {
        SCOPED_TRACE("decode_cases.txt line " + std::to_string(c.line));
        const Field *field = fieldByKey(c.key);
        ASSERT_NE(field, nullptr) << c.key;
        ASSERT_EQ(c.words.size(), field->count);
        Words words;
        for (std::size_t i = 0; i < c.words.size(); ++i) words[static_cast<std::uint16_t>(field->reg + i)] = c.words[i];
        EXPECT_EQ(decode(*field, words).display(), c.display);
    }
}

TEST(ModuleDecoder, TypedValuesBehindTheText) {
    Words w = {{0xA2B5, 0x0000}, {0xA2D5, 0x36B4}, {0x8003, 0x0042}};
    EXPECT_FALSE(decode(*fieldByKey("txPower"), w, 5).dbm);  // no light has no dBm
    const Value rx = decode(*fieldByKey("rxPower"), w, 5);
    EXPECT_NEAR(*rx.dbm, 1.4626, 1e-4);
    const Value app = decode(*fieldByKey("applicationCode"), w);
    EXPECT_FALSE(app.known || app.name);
    // A register that was not read is an error, not a zero.
    EXPECT_THROW(decode(*fieldByKey("rxPower"), w, 4), std::out_of_range);
    EXPECT_THROW(decode(*fieldByKey("identifier"), w, 1), std::out_of_range);
}

Words identityWords(std::uint16_t fill) {
    Words w;
    for (std::uint16_t reg : registersOf(identityFields())) w[reg] = fill;
    return w;
}

TEST(ModuleDecoder, Presence) {
    for (std::uint16_t fill : {std::uint16_t{0x0000}, std::uint16_t{0xFFFF}}) {
        const PresenceCheck empty = checkPresence(identityWords(fill));
        EXPECT_EQ(empty.presence, Presence::NoAnswer);
        EXPECT_EQ(empty.word, fill);
    }
    EXPECT_EQ(absenceMessage(checkPresence(identityWords(0xFFFF)), 1),
              "no module answers on MDIO port 1: every register read 0xFFFF (empty cage?)");

    Words w = identityWords(0x0020);
    w[0x8000] = 0x0003;  // an SFP's code elsewhere
    EXPECT_EQ(checkPresence(w).presence, Presence::NotCfp);
    EXPECT_NE(absenceMessage(checkPresence(w), 2).find("MDIO port 2: the module identifier (register 0x8000) reads 0x0003"),
              std::string::npos);

    // A CFP2 whose application code happens to equal its identifier is a module.
    Words same = {{0x8000, 0x0011}, {0x8003, 0x0011}};
    EXPECT_EQ(checkPresence(same).presence, Presence::Module);
}

TEST(ModuleDecoder, LanesAndRegisters) {
    EXPECT_EQ(lanesOf(0x0004), 4u);
    EXPECT_EQ(lanesOf(0x0003), 10u);
    EXPECT_FALSE(lanesOf(0x0006));
    // The identity needs 73 of the 128 ID registers, each once, in order.
    const std::vector<std::uint16_t> id = registersOf(identityFields());
    EXPECT_EQ(id.size(), 8u + 3 * 16 + 3 + 8 + 2 + 4);
    EXPECT_TRUE(std::is_sorted(id.begin(), id.end()) && std::adjacent_find(id.begin(), id.end()) == id.end());
    EXPECT_EQ(registersOf(laneMonitorFields(), 2),
              (std::vector<std::uint16_t>{0xA2A0, 0xA2A1, 0xA2B0, 0xA2B1, 0xA2D0, 0xA2D1}));
    EXPECT_EQ(describeRegister(0xA2D3), "0xA2D3 (lane 3 rx power)");
    EXPECT_EQ(describeRegister(0x8032), "0x8032 (vendor OUI)");
    EXPECT_EQ(describeRegister(0x806D), "0x806D (module firmware version)");
    EXPECT_EQ(describeRegister(0xA016), "0xA016 (module state)");
    EXPECT_EQ(describeRegister(0xA01E), "0xA01E (module fault status)");
    EXPECT_EQ(describeRegister(0xA20F), "0xA20F (lane 15 alarms and warnings)");
    EXPECT_EQ(describeRegister(0xA019), "0xA019");  // between the confirmed registers
    EXPECT_EQ(registersOf(moduleStatusFields()), (std::vector<std::uint16_t>{0xA018, 0xA01D, 0xA01E, 0xA01F, 0xA020}));
    EXPECT_EQ(registersOf(laneStatusFields(), 2), (std::vector<std::uint16_t>{0xA200, 0xA201, 0xA210, 0xA211}));
}

TEST(ModuleDecoder, NewIdentityAndStateValues) {
    Words w = {{0x8009, 0x00A0}, {0x800B, 0x0000}, {0x800C, 0x0081}, {0x8031, 0x00AC}, {0x8032, 0x00DE},
               {0x8033, 0x0048}, {0x8006, 0x0000}, {0xA016, 0x0040}, {0xA200, 0x0000}, {0xA203, 0x1000}};
    // The module's own lane counts, a count of 0 being 16.
    EXPECT_EQ(decode(*fieldByKey("laneCounts"), w).parts, (std::vector<unsigned>{10, 16}));
    // An undefined rate or code is not a value.
    EXPECT_FALSE(decode(*fieldByKey("maxNetworkLaneRate"), w).known);
    EXPECT_FALSE(decode(*fieldByKey("sonetApplicationCode"), w).known);
    const Value rate = decode(*fieldByKey("maxHostLaneRate"), w);
    EXPECT_TRUE(rate.known);
    EXPECT_NEAR(rate.number, 25.8, 1e-9);
    EXPECT_EQ(decode(*fieldByKey("vendorOui"), w).parts, (std::vector<unsigned>{0xAC, 0xDE, 0x48}));
    const Value state = decode(stateField(), w);
    EXPECT_EQ(state.name, "Fault");
    EXPECT_TRUE(state.known);
    EXPECT_TRUE(stateAnswered(0x0003));
    EXPECT_FALSE(stateAnswered(0x0000) || stateAnswered(0xFFFF));
    // Lane status registers come per lane, like the lane monitors.
    EXPECT_EQ(decode(*fieldByKey("laneAlarmsWarnings"), w, 3).display(), "0x1000 (non-zero)");
    EXPECT_THROW(decode(*fieldByKey("laneAlarmsWarnings"), w, 1), std::out_of_range);
    EXPECT_THROW(decode(stateField(), w, 1), std::out_of_range);
}

TEST(ModuleDecoder, MonitorColumns) {
    Words w;
    for (std::uint16_t reg : registersOf(moduleMonitorFields())) w[reg] = 0;
    for (std::uint16_t reg : registersOf(laneMonitorFields(), 2)) w[reg] = 0x4DF2;
    w[0xA02F] = 0x3719;
    w[0xA2D1] = 0;
    const std::vector<Column> columns = monitorColumns(decodeMonitors(w, 2));
    std::vector<std::string> names;
    for (const Column &c : columns) names.push_back(c.name);
    EXPECT_EQ(names, (std::vector<std::string>{
                         "temperature_C", "supplyVoltage_V", "lane0_laserBias_mA", "lane0_txPower_mW",
                         "lane0_txPower_dBm", "lane0_rxPower_mW", "lane0_rxPower_dBm", "lane1_laserBias_mA",
                         "lane1_txPower_mW", "lane1_txPower_dBm", "lane1_rxPower_mW", "lane1_rxPower_dBm"}));
    EXPECT_EQ(columns[0].label, "module temperature");
    EXPECT_EQ(columns[1].label, "module supply voltage");
    EXPECT_EQ(columns[3].label, "lane 0 Tx power");
    EXPECT_EQ(columns[2].label, "lane 0 laser bias");
    EXPECT_EQ(columns[4].unit, "dBm");
    EXPECT_EQ(columns[4].text, "+3.00 dBm");
    EXPECT_EQ(columns[0].text, "55.10 C");
    EXPECT_EQ(columns[11].text, "no light");
    EXPECT_NEAR(*columns[0].value, 55.098, 1e-3);
    EXPECT_NEAR(*columns[4].value, 3.0, 1e-3);
    EXPECT_EQ(columns[10].value, 0.0);
    EXPECT_FALSE(columns[11].value);  // no light has no dBm
}

}  // namespace
}  // namespace cfp2module

TEST(ModuleDecoder, ASupplyOfZeroIsAModuleWithoutPower) {
    cfp2module::Words words;
    for (std::uint16_t reg : cfp2module::registersOf(cfp2module::moduleMonitorFields())) words[reg] = 0;
    EXPECT_FALSE(cfp2module::powered(cfp2module::decodeMonitors(words, 0)));
    words[0xA030] = 1;  // the smallest supply voltage the module reports
    EXPECT_TRUE(cfp2module::powered(cfp2module::decodeMonitors(words, 0)));
}
