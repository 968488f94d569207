// cfp2module.cpp - the field tables of the CFP MSA register map and the one
// decoder that reads any row of them.
#include "cfp2module.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace cfp2module {

namespace {

// Module identifiers: the CFP MSA's own codes (other standards give the
// same numbers to other form factors).
const std::vector<Code> kIdentifiers = {
    {0x0E, "CFP", 0},
    {0x11, "CFP2", 0},
    {0x12, "CFP4", 0},
};

const std::vector<Code> kConnectors = {
    {0x01, "SC", 0}, {0x07, "LC", 0}, {0x08, "MT-RJ", 0}, {0x09, "MPO", 0}, {0x0D, "angled LC", 0},
};

const std::vector<Code> kApplications = {
    {0x01, "100GE-LR4", 4},      {0x02, "100GE-ER4", 4},          {0x03, "100GBASE-SR10", 10},
    {0x04, "100GBASE-SR4", 4},   {0x05, "40GE-LR4", 4},           {0x07, "40GE-SR4", 4},
    {0x0D, "40GE-CR4 copper", 4}, {0x0E, "100GE-CR10 copper", 10}, {0x0F, "40GBASE-FR", 1},
    {0x10, "100GE-ZR1", 1},      {0x11, "100GE DWDM coherent", 1},
};

const std::vector<Field> kIdentity = {
    {"identifier", "Identifier", 0x8000, 1, Encoding::Code, &kIdentifiers},
    {"connector", "Connector", 0x8002, 1, Encoding::Code, &kConnectors},
    {"applicationCode", "Application", 0x8003, 1, Encoding::Code, &kApplications},
    {"vendorName", "Vendor name", 0x8021, 16, Encoding::Text, nullptr},
    {"partNumber", "Vendor part number", 0x8034, 16, Encoding::Text, nullptr},
    {"serialNumber", "Vendor serial number", 0x8044, 16, Encoding::Text, nullptr},
    {"hardwareRevision", "Hardware revision", 0x8068, 1, Encoding::Revision, nullptr},
    {"managementRevision", "Management interface revision", 0x8069, 1, Encoding::Revision, nullptr},
};

const std::vector<Field> kModuleMonitors = {
    {"temperature", "Module temperature", 0xA02F, 1, Encoding::Celsius, nullptr},
    {"supplyVoltage", "Supply voltage", 0xA030, 1, Encoding::Volts, nullptr},
};

const std::vector<Field> kLaneMonitors = {
    {"laserBias", "Laser bias", 0xA2A0, 1, Encoding::MilliAmps, nullptr},
    {"txPower", "Tx power", 0xA2B0, 1, Encoding::MilliWatts, nullptr},
    {"rxPower", "Rx power", 0xA2D0, 1, Encoding::MilliWatts, nullptr},
};

bool isLaneField(const Field &field) { return &field >= &kLaneMonitors.front() && &field <= &kLaneMonitors.back(); }

std::string format(const char *pattern, double value) {
    char text[48];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string hexWord(std::uint16_t word) {
    char text[8];
    std::snprintf(text, sizeof text, word > 0xFF ? "0x%04X" : "0x%02X", static_cast<unsigned>(word));
    return text;
}

const Code *findCode(const std::vector<Code> &codes, std::uint16_t word) {
    for (const Code &code : codes) {
        if (code.value == word) return &code;
    }
    return nullptr;
}

// Characters up to a 0 byte, padding spaces taken off the end; a register
// that does not hold a printable ASCII character shows as \xNN, and a
// backslash as \\, so that the text "\x07" and a 0x07 byte differ.
std::string decodeText(const std::vector<std::uint16_t> &words) {
    std::string text;
    for (std::uint16_t word : words) {
        if (word == 0) break;
        if (word == '\\') {
            text += "\\\\";
        } else if (word >= 0x20 && word < 0x7F) {
            text += static_cast<char>(word);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, word > 0xFF ? "\\x%04X" : "\\x%02X", static_cast<unsigned>(word));
            text += escaped;
        }
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace

const std::vector<Field> &identityFields() { return kIdentity; }
const std::vector<Field> &moduleMonitorFields() { return kModuleMonitors; }
const std::vector<Field> &laneMonitorFields() { return kLaneMonitors; }

const Field *fieldByKey(const std::string &key) {
    for (const std::vector<Field> *table : {&kIdentity, &kModuleMonitors, &kLaneMonitors}) {
        for (const Field &field : *table) {
            if (key == field.key) return &field;
        }
    }
    return nullptr;
}

const Field *fieldAt(std::uint16_t reg) {
    for (const std::vector<Field> *table : {&kIdentity, &kModuleMonitors, &kLaneMonitors}) {
        for (const Field &field : *table) {
            const unsigned span = isLaneField(field) ? kMaxLanes : field.count;
            if (reg >= field.reg && reg < field.reg + span) return &field;
        }
    }
    return nullptr;
}

std::string describeRegister(std::uint16_t reg) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(reg));
    const Field *field = fieldAt(reg);
    if (field == nullptr) return text;
    std::string label = field->label;
    label[0] = static_cast<char>(label[0] - 'A' + 'a');
    if (isLaneField(*field)) label = "lane " + std::to_string(reg - field->reg) + " " + label;
    return std::string(text) + " (" + label + ")";
}

std::vector<std::uint16_t> registersOf(const std::vector<Field> &fields, unsigned lanes) {
    std::vector<std::uint16_t> regs;
    for (const Field &field : fields) {
        const unsigned copies = isLaneField(field) ? lanes : 1;
        for (unsigned lane = 0; lane < copies; ++lane) {
            for (unsigned i = 0; i < field.count; ++i) regs.push_back(static_cast<std::uint16_t>(field.reg + lane + i));
        }
    }
    std::sort(regs.begin(), regs.end());
    return regs;
}

Value decode(const Field &field, const Words &words, unsigned lane) {
    if (lane >= kMaxLanes || (lane > 0 && !isLaneField(field))) throw std::out_of_range("cfp2module: no such lane");
    Value v;
    v.field = &field;
    v.lane = lane;
    for (unsigned i = 0; i < field.count; ++i) v.words.push_back(words.at(static_cast<std::uint16_t>(field.reg + lane + i)));
    const std::uint16_t word = v.words.front();
    v.raw = word;
    v.known = true;
    switch (field.encoding) {
        case Encoding::Code: {
            const Code *code = findCode(*field.codes, word);
            v.known = code != nullptr;
            if (code != nullptr) v.name = code->name;
            break;
        }
        case Encoding::Text:
            v.text = decodeText(v.words);
            break;
        case Encoding::Revision:
            v.known = word <= 0xFF;
            v.number = word / 10.0;
            break;
        case Encoding::Celsius:
            v.number = static_cast<std::int16_t>(word) / 256.0;
            v.unit = "C";
            break;
        case Encoding::Volts:
            v.number = word / 10000.0;
            v.unit = "V";
            break;
        case Encoding::MilliAmps:
            v.number = word / 500.0;
            v.unit = "mA";
            break;
        case Encoding::MilliWatts:
            v.number = word / 10000.0;
            v.unit = "mW";
            if (word != 0) v.dbm = 10.0 * std::log10(v.number);
            break;
    }
    return v;
}

std::vector<Value> decodeAll(const std::vector<Field> &fields, const Words &words, unsigned lane) {
    std::vector<Value> values;
    for (const Field &field : fields) values.push_back(decode(field, words, lane));
    return values;
}

std::string Value::display() const {
    switch (field->encoding) {
        case Encoding::Code:
            return hexWord(raw) + " (" + (name ? *name : std::string("unknown")) + ")";
        case Encoding::Text:
            return text;
        case Encoding::Revision:
            return known ? format("%.1f", number) : hexWord(raw) + " (unknown)";
        case Encoding::Celsius:
            return format("%.2f C", number);
        case Encoding::Volts:
            return format("%.4f V", number);
        case Encoding::MilliAmps:
            return format("%.3f mA", number);
        case Encoding::MilliWatts:
            return format("%.4f mW", number) + (dbm ? format(" (%+.2f dBm)", *dbm) : std::string(" (no light)"));
    }
    return {};
}

std::optional<unsigned> lanesOf(std::uint16_t applicationWord) {
    const Code *code = findCode(kApplications, applicationWord);
    if (code == nullptr) return std::nullopt;
    return code->lanes;
}

PresenceCheck checkPresence(const Words &words) {
    const std::uint16_t identifier = words.at(kIdentifierRegister);
    // A bus nobody drives reads all ones or all zeros, whatever the register.
    bool same = words.size() > 1 && (identifier == 0x0000 || identifier == 0xFFFF);
    for (const auto &entry : words) same = same && entry.second == identifier;
    if (same) return {Presence::NoAnswer, identifier};
    if (findCode(kIdentifiers, identifier) == nullptr) return {Presence::NotCfp, identifier};
    return {Presence::Module, identifier};
}

std::string absenceMessage(const PresenceCheck &check, unsigned port) {
    char word[8];
    std::snprintf(word, sizeof word, "0x%04X", static_cast<unsigned>(check.word));
    const std::string where = "MDIO port " + std::to_string(port);
    if (check.presence == Presence::NoAnswer)
        return "no module answers on " + where + ": every register read " + word + " (empty cage?)";
    if (check.presence == Presence::NotCfp)
        return "no CFP module on " + where + ": the module identifier (register 0x8000) reads " + word +
               ", not a CFP code (0x0E CFP, 0x11 CFP2, 0x12 CFP4)";
    return "a CFP module answers on " + where;
}

Monitors decodeMonitors(const Words &words, unsigned lanes) {
    Monitors m;
    m.module = decodeAll(kModuleMonitors, words);
    for (unsigned lane = 0; lane < lanes; ++lane) m.lanes.push_back(decodeAll(kLaneMonitors, words, lane));
    return m;
}

bool powered(const Monitors &monitors) {
    for (const Value &v : monitors.module) {
        if (std::string(v.field->key) == "supplyVoltage") return v.raw != 0 || v.number != 0;
    }
    return true;
}

std::vector<Column> monitorColumns(const Monitors &monitors) {
    std::vector<Column> columns;
    // Labels: "module temperature", "module supply voltage", "lane 0 Tx power".
    auto add = [&](const std::string &prefix, const std::string &labelPrefix, const Value &v) {
        const std::string name = prefix + v.field->key;
        std::string label = v.field->label;
        if (labelPrefix.empty()) {
            label[0] = static_cast<char>(label[0] - 'A' + 'a');
            if (label.rfind("module ", 0) != 0) label = "module " + label;
        } else {
            // "lane 0 laser bias", but "lane 0 Tx power": short words are acronyms
            if (label.find(' ') > 2)
                label[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(label[0])));
            label = labelPrefix + label;
        }
        const std::string display = v.display();
        columns.push_back({name + "_" + v.unit, label, v.unit, v.number, display.substr(0, display.find(" ("))});
        if (v.field->encoding == Encoding::MilliWatts)
            columns.push_back({name + "_dBm", label, "dBm", v.dbm, v.dbm ? format("%+.2f dBm", *v.dbm) : "no light"});
    };
    for (const Value &v : monitors.module) add("", "", v);
    for (const std::vector<Value> &lane : monitors.lanes) {
        for (const Value &v : lane) add("lane" + std::to_string(v.lane) + "_", "lane " + std::to_string(v.lane) + " ", v);
    }
    return columns;
}

}  // namespace cfp2module
