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

// Module states: exactly one bit set. Reset has no code.
const std::vector<Code> kStates = {
    {0x0001, "Initialize", 0}, {0x0002, "Low-Power", 0}, {0x0004, "High-Power-up", 0},
    {0x0008, "TX-Off", 0},     {0x0010, "TX-Turn-on", 0}, {0x0020, "Ready", 0},
    {0x0040, "Fault", 0},      {0x0080, "TX-Turn-off", 0}, {0x0100, "High-Power-down", 0},
};

// In register order, as module info shows them.
const std::vector<Field> kIdentity = {
    {"identifier", "Identifier", 0x8000, 1, Encoding::Code, &kIdentifiers},
    {"connector", "Connector", 0x8002, 1, Encoding::Code, &kConnectors},
    {"applicationCode", "Application", 0x8003, 1, Encoding::Code, &kApplications},
    {"sonetApplicationCode", "SONET/SDH application code", 0x8006, 1, Encoding::Number, nullptr},
    {"otnApplicationCode", "OTN application code", 0x8007, 1, Encoding::Number, nullptr},
    {"laneCounts", "Lane counts", 0x8009, 1, Encoding::LaneCounts, nullptr},
    {"maxNetworkLaneRate", "Maximum network lane rate", 0x800B, 1, Encoding::BitRate, nullptr},
    {"maxHostLaneRate", "Maximum host lane rate", 0x800C, 1, Encoding::BitRate, nullptr},
    {"vendorName", "Vendor name", 0x8021, 16, Encoding::Text, nullptr},
    {"vendorOui", "Vendor OUI", 0x8031, 3, Encoding::Oui, nullptr},
    {"partNumber", "Vendor part number", 0x8034, 16, Encoding::Text, nullptr},
    {"serialNumber", "Vendor serial number", 0x8044, 16, Encoding::Text, nullptr},
    {"dateCode", "Date code", 0x8054, 8, Encoding::Text, nullptr},
    {"hardwareRevision", "Hardware revision", 0x8068, 1, Encoding::Revision, nullptr},
    {"managementRevision", "Management interface revision", 0x8069, 1, Encoding::Revision, nullptr},
    {"hardwareVersion", "Module hardware version", 0x806A, 2, Encoding::Version, nullptr},
    {"firmwareVersion", "Module firmware version", 0x806C, 2, Encoding::Version, nullptr},
};

const Field kState = {"state", "Module state", kStateRegister, 1, Encoding::State, &kStates};

// Alarm and status registers: their addresses are known, the meaning of
// their bits is not, so they stay raw words.
const std::vector<Field> kModuleStatus = {
    {"globalAlarmSummary", "Global alarm summary", 0xA018, 1, Encoding::Raw, nullptr},
    {"generalStatus", "Module general status", 0xA01D, 1, Encoding::Raw, nullptr},
    {"faultStatus", "Module fault status", 0xA01E, 1, Encoding::Raw, nullptr},
    {"alarmsWarnings1", "Module alarms and warnings 1", 0xA01F, 1, Encoding::Raw, nullptr},
    {"alarmsWarnings2", "Module alarms and warnings 2", 0xA020, 1, Encoding::Raw, nullptr},
};

const std::vector<Field> kLaneStatus = {
    {"laneAlarmsWarnings", "Alarms and warnings", 0xA200, 1, Encoding::Raw, nullptr},
    {"laneFaultStatus", "Fault and status", 0xA210, 1, Encoding::Raw, nullptr},
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

bool isLaneField(const Field &field) {
    for (const std::vector<Field> *table : {&kLaneMonitors, &kLaneStatus}) {
        if (&field >= &table->front() && &field <= &table->back()) return true;
    }
    return false;
}

// Every table, for lookups by key and by register.
const std::vector<const Field *> &allFields() {
    static const std::vector<const Field *> all = [] {
        std::vector<const Field *> fields;
        for (const std::vector<Field> *table : {&kIdentity, &kModuleMonitors, &kLaneMonitors}) {
            for (const Field &field : *table) fields.push_back(&field);
        }
        fields.push_back(&kState);
        for (const std::vector<Field> *table : {&kModuleStatus, &kLaneStatus}) {
            for (const Field &field : *table) fields.push_back(&field);
        }
        return fields;
    }();
    return all;
}

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

std::string hex16(std::uint16_t word) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(word));
    return text;
}

// "0x0100 0x12 0x34 (unknown)": the words of a field that are not all bytes.
std::string unknownWords(const std::vector<std::uint16_t> &words) {
    std::string text;
    for (std::uint16_t word : words) text += hexWord(word) + " ";
    return text + "(unknown)";
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
const Field &stateField() { return kState; }
const std::vector<Field> &moduleStatusFields() { return kModuleStatus; }
const std::vector<Field> &laneStatusFields() { return kLaneStatus; }

const Field *fieldByKey(const std::string &key) {
    for (const Field *field : allFields()) {
        if (key == field->key) return field;
    }
    return nullptr;
}

const Field *fieldAt(std::uint16_t reg) {
    for (const Field *field : allFields()) {
        const unsigned span = isLaneField(*field) ? kMaxLanes : field->count;
        if (reg >= field->reg && reg < field->reg + span) return field;
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
        case Encoding::Number:
            v.known = word != 0 && word <= 0xFF;
            v.number = word;
            break;
        case Encoding::LaneCounts: {
            v.known = word <= 0xFF;
            const unsigned network = (word >> 4) & 0xFu, host = word & 0xFu;
            if (v.known) v.parts = {network == 0 ? 16 : network, host == 0 ? 16 : host};
            break;
        }
        case Encoding::BitRate:
            v.known = word != 0 && word <= 0xFF;
            v.number = word * 0.2;
            v.unit = "Gb/s";
            break;
        case Encoding::Oui:
        case Encoding::Version:
            for (std::uint16_t part : v.words) {
                v.known = v.known && part <= 0xFF;
                v.parts.push_back(part);
            }
            break;
        case Encoding::State: {
            const Code *code = findCode(*field.codes, word);
            v.known = code != nullptr;
            if (code != nullptr) v.name = code->name;
            break;
        }
        case Encoding::Raw:
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
        case Encoding::Number:
            return hexWord(raw) + (known ? "" : raw == 0 ? " (undefined)" : " (unknown)");
        case Encoding::LaneCounts:
            return known ? std::to_string(parts[0]) + " network, " + std::to_string(parts[1]) + " host"
                         : hexWord(raw) + " (unknown)";
        case Encoding::BitRate:
            return known ? format("%.1f Gb/s", number) : raw == 0 ? "undefined" : hexWord(raw) + " (unknown)";
        case Encoding::Oui: {
            if (!known) return unknownWords(words);
            char oui[16];
            std::snprintf(oui, sizeof oui, "%02X-%02X-%02X", parts[0], parts[1], parts[2]);
            return oui;
        }
        case Encoding::Version:
            return known ? std::to_string(parts[0]) + "." + std::to_string(parts[1]) : unknownWords(words);
        case Encoding::State:
            return hex16(raw) + " (" + (name ? *name : stateAnswered(raw) ? "unknown" : "no answer") + ")";
        case Encoding::Raw:
            return hex16(raw) + (raw != 0 ? " (non-zero)" : "");
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
