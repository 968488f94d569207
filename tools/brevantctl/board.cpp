// board.cpp - enumeration, serial numbers, selection and the connection.
#include "board.h"

#include <algorithm>
#include <cstdio>

#include "service_note.h"
#include "transport.h"

namespace brevantctl {

namespace {
std::string trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}
}  // namespace

std::uint16_t productId(int type) { return type == 1 ? 0x8348 : 0x8248; }

std::vector<BoardId> findBoards(std::optional<int> type) {
    std::vector<BoardId> found;
    for (int t : {0, 1}) {
        if (type && *type != t) continue;
        std::uint16_t indices[VESKCFP2_MAX_DEVICES];
        const int count = veskcfp2_enumerateDevices(t, indices, nullptr);
        for (int k = 0; k < count && k < VESKCFP2_MAX_DEVICES; ++k) found.push_back({t, indices[k]});
    }
    std::sort(found.begin(), found.end(), [](const BoardId &a, const BoardId &b) { return a.index < b.index; });
    return found;
}

void checkSerial(const std::string &text, const std::string &what) {
    if (text.empty()) throw UsageError(what + " must not be empty (sn clear blanks the serial number)");
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F)
            throw UsageError(what + " must be printable ASCII characters without spaces, got '" + displaySerial(text) +
                             "'");
    }
    if (text.size() > 8)
        throw UsageError(what + " must be 1 to 8 characters, got " + std::to_string(text.size()) + ": '" + text + "'");
}

std::string displaySerial(const std::string &serial) {
    if (serial.empty()) return "(blank)";
    std::string text;
    for (char c : serial) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte > 0x20 && byte < 0x7F && c != '\\') {
            text += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(byte));
            text += escaped;
        }
    }
    return text;
}

Link::Link(const BoardId &id, std::optional<std::string> serial)
    : id_(id), instance_(veskcfp2_createInstance(id.type, id.index)), serial_(std::move(serial)) {
    serialTried_ = serial_.has_value();
    if (veskcfp2_connect(instance_) != 1) {
        veskcfp2_disconnect(instance_);
        veskcfp2_destroyInstance(instance_);
        // A bench service holding the board says so; otherwise the system may tell why.
        std::optional<std::string> why = serviceHolding(id);
        if (!why) why = whyNotOpened(id.type, id.index);
        throw BoardFailure("not connected: the " + describe() + " did not open" + (why ? ": " + *why : ""));
    }
}

Link::~Link() {
    veskcfp2_disconnect(instance_);
    veskcfp2_destroyInstance(instance_);
}

const std::optional<std::string> &Link::serial() {
    if (!serialTried_) {
        serialTried_ = true;
        std::uint8_t bytes[8] = {};
        if (veskcfp2_getSN(instance_, bytes) == 1) serial_ = trimmed(std::string(bytes, bytes + 8));
    }
    return serial_;
}

bool Link::reconnect(std::optional<std::string> *otherSerial) {
    if (veskcfp2_connect(instance_) != 1) return false;
    if (!serial_) return true;
    std::uint8_t bytes[8] = {};
    if (veskcfp2_getSN(instance_, bytes) != 1) return true;
    const std::string now = trimmed(std::string(bytes, bytes + 8));
    if (now == *serial_) return true;
    veskcfp2_disconnect(instance_);
    if (otherSerial != nullptr) *otherSerial = now;
    return false;
}

std::string Link::describe() const {
    return "type-" + std::to_string(id_.type) + " board at device index " + std::to_string(id_.index);
}

SerialRead readSerial(const BoardId &id) {
    CFP2INSTANCE *instance = veskcfp2_createInstance(id.type, id.index);
    SerialRead read;
    if (veskcfp2_connect(instance) == 1) {
        std::uint8_t bytes[8] = {};
        if (veskcfp2_getSN(instance, bytes) == 1) {
            read.serial = trimmed(std::string(bytes, bytes + 8));
        } else {
            // The serial number read says only that it failed: one more read
            // of its first byte tells a silent board from one cut short.
            std::uint8_t first = 0;
            const std::int32_t result = veskcfp2_eepromRead(instance, 0, &first);
            read.reason = result == VESKCFP2_CMD_SHORT ? "short reply to the serial number read"
                                                       : "no reply to the serial number read";
        }
    } else {
        const std::optional<std::string> why = whyNotOpened(id.type, id.index);
        read.reason = "did not open" + (why ? ": " + *why : std::string());
    }
    veskcfp2_disconnect(instance);
    veskcfp2_destroyInstance(instance);
    return read;
}

std::string describeBoard(const BoardId &id) {
    return "the type-" + std::to_string(id.type) + " board at device index " + std::to_string(id.index);
}

int parseBoardType(const std::string &text) {
    if (text == "0" || text == "1") return text == "1" ? 1 : 0;
    throw UsageError("--type must be 0 or 1, got '" + text + "'");
}

void checkSelection(const Invocation &inv) {
    if (inv.serial) {
        if (inv.type || inv.index) throw UsageError("--serial selects a board on its own; drop --type and --index");
        checkSerial(*inv.serial, "--serial");
    }
    if (inv.type) parseBoardType(*inv.type);
    if (inv.index) parseNumber(*inv.index, "--index", 0, kLastDeviceIndex);
}

BoardId selectBoard(const Invocation &inv, std::optional<std::string> &serial) {
    checkSelection(inv);
    if (inv.serial) {
        std::vector<BoardId> matches;
        std::vector<std::string> unreadable, serials;
        for (const BoardId &id : findBoards(std::nullopt)) {
            const SerialRead read = readSerial(id);
            if (!read.serial) unreadable.push_back(describeBoard(id) + ": " + read.reason);
            else if (*read.serial == *inv.serial) matches.push_back(id);
            else serials.push_back(*read.serial);
        }
        if (matches.empty()) {
            const std::optional<std::string> noUsb =
                unreadable.empty() && serials.empty() ? whyNoUsb() : std::nullopt;
            if (noUsb) throw BoardFailure("not found: " + *noUsb);
            // A board that could not be read may be the one: name each.
            std::string message = "not found: no " + std::string(unreadable.empty() ? "" : "readable ") +
                                  "board has serial number '" + *inv.serial + "'";
            for (std::size_t i = 0; i < unreadable.size(); ++i)
                message += (i == 0 ? " (could not read " : ", ") + unreadable[i];
            if (!unreadable.empty()) message += ")";
            const std::vector<std::string> close = closeWords(*inv.serial, serials);
            if (!close.empty()) {
                message += "; did you mean ";
                for (std::size_t i = 0; i < close.size(); ++i)
                    message += (i == 0 ? "'" : i + 1 == close.size() ? "' or '" : "', '") + displaySerial(close[i]);
                message += "'?";
            }
            throw BoardFailure(message);
        }
        if (matches.size() > 1)
            throw UsageError("several boards have serial number '" + *inv.serial +
                             "'; select one with --type and --index (brevantctl list shows them)");
        serial = *inv.serial;
        return matches.front();
    }
    const std::optional<int> type = inv.type ? std::optional<int>(parseBoardType(*inv.type)) : std::nullopt;
    const std::optional<std::uint16_t> index =
        inv.index ? std::optional<std::uint16_t>(
                        static_cast<std::uint16_t>(parseNumber(*inv.index, "--index", 0, kLastDeviceIndex)))
                  : std::nullopt;
    const std::vector<BoardId> boards = findBoards(type);
    const std::string kind = type ? "type-" + std::to_string(*type) + " board" : "board";
    for (const BoardId &id : boards) {
        if (!index || id.index == *index) return id;
    }
    const std::optional<std::string> noUsb = boards.empty() ? whyNoUsb() : std::nullopt;
    if (noUsb) throw BoardFailure("not found: " + *noUsb);
    if (index) throw BoardFailure("not found: no " + kind + " at device index " + std::to_string(*index));
    throw BoardFailure("not found: no " + kind + " is attached");
}

}  // namespace brevantctl
