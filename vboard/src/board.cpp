// board.cpp - the virtual board's firmware: acts on each command report and
// builds its reply.
#include "vboard/board.h"

#include <cmath>
#include <cstring>

namespace vboard {

Board::Board(int type, const std::string &serial) : type_(type == 1 ? 1 : 0), serial_(serial) {
    for (std::size_t i = 0; i < 8; ++i) {
        state_.eeprom[i] = i < serial.size() ? static_cast<std::uint8_t>(serial[i]) : 0x20;
    }
    const std::string id = type_ == 1 ? "VESK CFP2 8348 1.04" : "VESK CFP2 8248 1.04";
    std::memcpy(state_.identity.data(), id.data(), std::min(id.size(), state_.identity.size()));
    state_.temperature[0] = 25 * 256 + 64;  // 25.25
}

std::optional<hostwin::Reply> Board::onWrite(const std::uint8_t *data, std::size_t size) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (size != 64) {
        ++malformed_;
        return std::nullopt;
    }
    Report r;
    std::memcpy(r.data(), data, r.size());
    reports_.push_back(r);
    ++received_;
    // A replayed board does what the recorded one did, firmware aside.
    if (knobs_.replay) return knobs_.replay->answer(r.data());
    std::optional<std::vector<std::uint8_t>> bytes = answer(r);
    if (!bytes || knobs_.silent) return std::nullopt;
    if (knobs_.hangAfter && received_ > *knobs_.hangAfter) return std::nullopt;
    if (!scripted_.empty()) {
        bytes = std::move(scripted_.front());
        scripted_.pop_front();
    }
    if (bytes->size() < knobs_.padTo) bytes->resize(knobs_.padTo, 0);
    if (knobs_.replyBytes && bytes->size() > *knobs_.replyBytes) bytes->resize(*knobs_.replyBytes);
    hostwin::Reply reply;
    reply.bytes = std::move(*bytes);
    reply.latencyMs = knobs_.latencyMs;
    reply.extraCount = knobs_.oversize;
    return reply;
}

std::uint32_t Board::paceMs() {
    std::lock_guard<std::mutex> hold(mutex_);
    return knobs_.paceMs;
}

// What the firmware does with a report: nothing for a reply-less command,
// the reply bytes for a query. Byte 0 of a reply echoes the command code.
std::optional<std::vector<std::uint8_t>> Board::answer(const Report &r) {
    BoardState &s = state_;
    const std::uint8_t code = r[0], query = r[1], selector = r[3];
    auto word = [&](int at) { return static_cast<std::uint16_t>(r[at] | (r[at + 1] << 8)); };
    auto reply3 = [&](std::uint16_t v) {
        return std::vector<std::uint8_t>{code, static_cast<std::uint8_t>(v & 0xFF),
                                         static_cast<std::uint8_t>(v >> 8)};
    };
    switch (code) {
        case kMcu:
            if (query == 1 && selector == 0) return std::vector<std::uint8_t>(s.identity.begin(), s.identity.end());
            if (query == 0 && selector == 1) ++s.resets;
            if (query == 0 && selector == 2) ++s.bootResets;
            return std::nullopt;
        case kPort:
            if (selector == 0x09) {  // vendor I/O: the value rides in byte 1
                s.vendorIO = query;
                return std::nullopt;
            }
            if (selector == 0x0A) {
                if (query == 0) {
                    s.senseEnabled[word(4)] = word(6);
                    return std::nullopt;
                }
                auto it = s.senseReading.find(word(4));
                return reply3(it == s.senseReading.end() ? 0 : it->second);
            }
            if (selector == 0x0B && query == 1) return reply3(s.currentMonitor);
            if (query == 0) {
                s.ports[selector] = r[4];
                return std::nullopt;
            }
            return std::vector<std::uint8_t>{code, s.ports[selector]};
        case kMdio: {
            if (query == 0) {
                s.mdio[selector][word(4)] = word(6);
                return std::nullopt;
            }
            // A register written reads back what was written; the module
            // answers the others on its port; the rest read 0.
            const auto port = s.mdio.find(selector);
            if (port != s.mdio.end()) {
                const auto reg = port->second.find(word(4));
                if (reg != port->second.end()) return reply3(reg->second);
            }
            if (module_ && selector == modulePort_) return reply3(module_->read(word(4), received_, s.power != 0));
            return reply3(0);
        }
        case kMonitor:
            if (selector == 0x01) return reply3(s.vcc);
            if (selector == 0x04) return reply3(static_cast<std::uint16_t>(s.temperature[r[4]]));
            return std::nullopt;
        case kPower:
            s.power = r[2];
            return std::nullopt;
        case kEeprom: {
            const std::uint32_t address = ((r[4] & 1u) << 16) | (r[5] << 8) | r[6];
            if (query == 0) {
                if (knobs_.stuckEeprom.count(address) == 0) s.eeprom[address] = r[7];
                return std::nullopt;
            }
            return std::vector<std::uint8_t>{code, s.eeprom[address]};
        }
        default:
            return std::nullopt;
    }
}

std::vector<Report> Board::reports() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return reports_;
}

Report Board::lastReport() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return reports_.empty() ? Report{} : reports_.back();
}

void Board::clearReports() {
    std::lock_guard<std::mutex> hold(mutex_);
    reports_.clear();
}

unsigned Board::malformedWrites() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return malformed_;
}

void Board::scriptReply(std::vector<std::uint8_t> bytes) {
    std::lock_guard<std::mutex> hold(mutex_);
    scripted_.push_back(std::move(bytes));
}

void Board::setModule(std::optional<Module> module, std::uint8_t port) {
    std::lock_guard<std::mutex> hold(mutex_);
    module_ = std::move(module);
    modulePort_ = port;
}

void Board::setVcc(double volts) {
    std::lock_guard<std::mutex> hold(mutex_);
    state_.vcc = static_cast<std::uint16_t>(std::lround(volts * 256.0));
}

void Board::setTemperature(std::uint8_t sensor, double celsius) {
    std::lock_guard<std::mutex> hold(mutex_);
    state_.temperature[sensor] = static_cast<std::int16_t>(std::lround(celsius * 256.0));
}

std::string Board::eepromSerial() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return std::string(state_.eeprom.begin(), state_.eeprom.begin() + 8);
}

}  // namespace vboard
