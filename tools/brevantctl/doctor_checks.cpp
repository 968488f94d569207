// doctor_checks.cpp - the battery brevantctl doctor runs on one board:
// connect, ping, each query family, round trips, reply framing, byte 0,
// late replies, the EEPROM head, the module, supply and temperatures, and
// (--writes only) a port written back with its own value. Raw bytes come from
// the run's wire log, which shows what the library sent and got.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>

#include "cfp2module.h"
#include "doctor_checks.h"
#include "handlers.h"
#include "transport.h"

namespace brevantctl {

namespace {

using Status = Check::Status;
using Clock = std::chrono::steady_clock;

constexpr unsigned kRoundTrips = 200;
constexpr unsigned kRoundTripFailureLimit = 5;  // a board that does not answer is not asked 200 times
constexpr std::uint32_t kReadWaitMs = 100;      // the library's read wait
constexpr std::uint32_t kLateWaitMs = 1000;     // how long a late reply is waited for
constexpr std::uint8_t kWritePort = 3;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string ms(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g ms", value);
    return text;
}

std::string printable(const std::vector<std::uint8_t> &bytes) {
    std::string text;
    for (const std::uint8_t b : bytes) text += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
    return text;
}

using Exchange = WireExchange;

// The last report of `lines` and the reply that ended its exchange.
Exchange lastExchange(const std::vector<WireLine> &lines) {
    Exchange e;
    for (const WireLine &line : lines) {
        if (line.report) {
            e.report = line;
            e.reply.reset();
        } else if (e.report) {
            e.reply = line;
        }
    }
    return e;
}

// Why a query did not give its whole reply, from what the wire showed.
std::string whyNot(std::int32_t result, const Exchange &e) {
    if (e.report && e.report->outcome != "ok")
        return e.report->outcome == "gone" ? "the board went away" : "the report could not be sent";
    if (e.reply) {
        const WireLine &r = *e.reply;
        if (r.outcome == "timeout")
            return "no reply within the library's " + std::to_string(r.waitMs.value_or(kReadWaitMs)) + " ms read wait";
        if (r.outcome == "gone") return "the board went away";
        if (r.outcome != "ok") return "the read failed";
        if (r.got > r.asked)
            return "reply too long: " + std::to_string(r.got) + " bytes where " + std::to_string(r.asked) +
                   " were asked (graded failed)";
        if (r.got < r.asked) return "short reply: " + std::to_string(r.got) + " of " + std::to_string(r.asked) + " bytes";
    }
    if (result == VESKCFP2_CMD_SHORT) return "short reply";
    return "no reply";
}

Json lineJson(const WireLine &line) {
    Json j = Json::object();
    j["asked"] = line.asked;
    j["got"] = line.got;
    j["outcome"] = line.outcome;
    j["bytes"] = hexString(line.bytes);
    return j;
}

}  // namespace

BoardDoctor::BoardDoctor(const BoardId &id, WireTap &tap, const DoctorOptions &options)
    : id_(id), tap_(tap), options_(options), instance_(veskcfp2_createInstance(id.type, id.index)) {}

BoardDoctor::~BoardDoctor() {
    veskcfp2_disconnect(instance_);
    veskcfp2_destroyInstance(instance_);
}

std::vector<WireLine> BoardDoctor::lines() {
    std::vector<WireLine> taken = tap_.take();
    // A reply read right after a read that timed out is a late reply the
    // library collected (and dropped) before going on.
    for (const WireLine &line : taken) {
        if (!line.report && line.outcome == "ok" && line.got > 0 && previousTimedOut_) ++lateCollected_;
        previousTimedOut_ = !line.report && line.outcome == "timeout";
    }
    return taken;
}

Check &BoardDoctor::add(const std::string &name) {
    checks_.push_back(Check{});
    checks_.back().name = name;
    return checks_.back();
}

void BoardDoctor::skip(const std::string &name, const std::string &reason) {
    Check &c = add(name);
    c.status = Status::Skipped;
    c.reason = reason;
}

std::vector<Check> BoardDoctor::run() {
    connect();
    if (!connected_) {
        for (const char *name : {"ping", "queries", "round trips", "reply framing", "byte 0", "late replies",
                                 "EEPROM head", "module", "supply and temperatures", "writes"})
            skip(name, "not run: the board did not connect");
        return std::move(checks_);
    }
    ping();
    queries();
    roundTrips();
    framing();
    echo();
    lateReplies();
    eepromHead();
    module();
    monitors();
    writes();
    return std::move(checks_);
}

void BoardDoctor::connect() {
    lines();
    Check &c = add("connect");
    const Clock::time_point start = Clock::now();
    connected_ = veskcfp2_connect(instance_) == 1;
    c.measured = "in " + ms(msSince(start));
    if (!connected_) {
        c.status = Status::Failed;
        c.reason = "the board did not open";
        if (const std::optional<std::string> why = whyNotOpened(id_.type, id_.index)) c.reason += ": " + *why;
        return;
    }
    // The drain's reads: replies another program left are taken away.
    unsigned reads = 0;
    std::vector<std::string> taken;
    Json drained = Json::array();
    for (const WireLine &line : lines()) {
        if (line.report) continue;
        ++reads;
        if (line.location != "-") location_ = line.location;
        if (line.outcome == "ok" && line.got > 0) {
            taken.push_back(spacedHex(line.bytes));
            drained.push_back(hexString(line.bytes));
        }
    }
    c.facts["drainReads"] = reads;
    c.facts["drained"] = drained;
    if (!taken.empty()) {
        c.status = Status::Warning;
        c.reason = "connected; the drain took away " + std::to_string(taken.size()) +
                   (taken.size() == 1 ? " reply" : " replies") + " left in the board's endpoint by an earlier program";
        for (const std::string &bytes : taken) c.detail.push_back("drained: " + bytes);
    } else {
        c.reason = tap_.available() ? "connected; the board's endpoint was empty (" + std::to_string(reads) +
                                          (reads == 1 ? " drain read)" : " drain reads)")
                                    : "connected";
    }
}

void BoardDoctor::ping() {
    Check &c = add("ping");
    std::uint8_t reply[20] = {};
    const std::int32_t result = veskcfp2_ping(instance_, reply);
    const Exchange e = lastExchange(lines());
    if (e.report) pingReport_ = e.report->bytes;
    const std::vector<std::uint8_t> raw = e.reply ? e.reply->bytes : std::vector<std::uint8_t>(reply, reply + sizeof reply);
    c.facts["result"] = result;
    c.facts["reply"] = hexString(raw);
    if (e.reply) {
        c.facts["asked"] = e.reply->asked;
        c.facts["got"] = e.reply->got;
        replies_.push_back({"ping", e});
    }
    if (result == VESKCFP2_CMD_OK) {
        std::vector<std::uint8_t> identity(reply, reply + sizeof reply);
        while (!identity.empty() && (identity.back() == 0 || identity.back() == ' ')) identity.pop_back();
        c.reason = "20 bytes: \"" + printable(identity) + "\"";
        c.detail.push_back(spacedHex(raw));
        return;
    }
    c.status = Status::Failed;
    c.reason = whyNot(result, e);
    if (!raw.empty() && e.reply && e.reply->got > 0) c.detail.push_back(spacedHex(raw));
}

void BoardDoctor::queries() {
    struct Family {
        const char *name;
        std::function<std::int32_t()> run;
        bool type1;
    };
    const std::uint8_t mdioPort = options_.mdioPort;
    std::uint8_t port = 0, sense = 0, eeprom = 0;
    std::uint16_t monitor = 0, mdio = 0;
    double volts = 0, celsius = 0;
    const std::vector<Family> families = {
        {"port 3", [&] { return veskcfp2_getPort(instance_, 3, &port); }, false},
        {"current sense 0", [&] { return veskcfp2_getCurrentSense(instance_, 0, &sense); }, false},
        {"current monitor", [&] { return veskcfp2_currentMonitor(instance_, &monitor); }, false},
        {"MDIO register 0x8000", [&] { return veskcfp2_getMDIO(instance_, mdioPort, 0x8000, &mdio); }, false},
        {"EEPROM byte 0", [&] { return veskcfp2_eepromRead(instance_, 0, &eeprom); }, false},
        {"supply voltage", [&] { return veskcfp2_getVCC(instance_, &volts); }, true},
        {"temperature 0", [&] { return veskcfp2_getTemperature(instance_, 0, &celsius); }, true},
    };
    Check &c = add("queries");
    Json all = Json::array();
    std::vector<std::string> failures;
    unsigned asked = 0;
    for (const Family &family : families) {
        if (family.type1 && id_.type != 1) continue;
        ++asked;
        const std::int32_t result = family.run();
        const Exchange e = lastExchange(lines());
        Json entry = Json::object();
        entry["query"] = family.name;
        entry["result"] = result;
        if (e.report) entry["report"] = hexString(e.report->bytes);
        if (e.reply) {
            entry["reply"] = lineJson(*e.reply);
            replies_.push_back({family.name, e});
        }
        all.push_back(entry);
        std::string line = std::string(family.name) + ": ";
        if (result == VESKCFP2_CMD_OK) {
            line += e.reply ? spacedHex(e.reply->bytes) : std::string("ok");
        } else {
            const std::string why = whyNot(result, e);
            failures.push_back(std::string(family.name) + " (" + why + ")");
            line += why + (e.reply && !e.reply->bytes.empty() ? ": " + spacedHex(e.reply->bytes) : std::string());
        }
        c.detail.push_back(line);
        if (e.reply && e.reply->outcome == "ok" && e.reply->got > e.reply->asked) tooLong_ = true;
        if (result == VESKCFP2_CMD_OK) queriesWorked_ = true;
    }
    c.facts["queries"] = all;
    if (failures.empty()) {
        c.reason = "each of the " + std::to_string(asked) + " query families gave its whole reply";
        return;
    }
    c.status = Status::Failed;
    c.reason = std::to_string(failures.size()) + " of " + std::to_string(asked) + " failed: ";
    for (std::size_t i = 0; i < failures.size(); ++i) c.reason += (i == 0 ? "" : "; ") + failures[i];
}

void BoardDoctor::roundTrips() {
    Check &c = add("round trips");
    std::vector<double> times;
    unsigned failed = 0;
    std::string firstFailure;
    for (unsigned k = 0; k < kRoundTrips && failed < kRoundTripFailureLimit; ++k) {
        std::uint8_t reply[20];
        const Clock::time_point start = Clock::now();
        const std::int32_t result = veskcfp2_ping(instance_, reply);
        const double took = msSince(start);
        if (result == VESKCFP2_CMD_OK) {
            times.push_back(took);
        } else {
            ++failed;
            if (firstFailure.empty()) firstFailure = whyNot(result, lastExchange(lines()));
        }
    }
    lines();
    const unsigned tried = static_cast<unsigned>(times.size()) + failed;
    c.facts["pings"] = tried;
    c.facts["answered"] = times.size();
    if (!times.empty()) {
        std::sort(times.begin(), times.end());
        // Nearest rank: the smallest time that q of the pings did not exceed.
        const auto at = [&](double q) {
            const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(times.size())));
            return times[std::min(times.size(), std::max<std::size_t>(rank, 1)) - 1];
        };
        c.facts["minMs"] = times.front();
        c.facts["medianMs"] = at(0.5);
        c.facts["p99Ms"] = at(0.99);
        c.facts["maxMs"] = times.back();
        c.measured = "min " + ms(times.front()) + ", median " + ms(at(0.5)) + ", p99 " + ms(at(0.99)) + ", max " + ms(times.back());
    }
    if (failed > 0) {
        c.status = Status::Failed;
        c.reason = std::to_string(failed) + " of " + std::to_string(tried) + " pings failed (first: " + firstFailure + ")" +
                   (failed >= kRoundTripFailureLimit && tried < kRoundTrips ? "; stopped after " + std::to_string(failed) + " failures" : "");
        return;
    }
    c.reason = "all " + std::to_string(tried) + " pings answered";
    if (times.back() >= kReadWaitMs / 2.0) {
        c.status = Status::Warning;
        c.reason += "; the slowest took half the library's " + std::to_string(kReadWaitMs) + " ms read wait or more";
    }
}

void BoardDoctor::framing() {
    Check &c = add("reply framing");
    if (!tap_.available()) {
        c.status = Status::Skipped;
        c.reason = "not run: the run's wire log could not be read";
        return;
    }
    // The library's own reports again, each read into a whole packet.
    struct Probe {
        std::string name;
        std::vector<std::uint8_t> report;
        std::uint32_t asked;
    };
    std::vector<Probe> probes;
    for (const auto &seen : replies_) {
        const Exchange &e = seen.second;
        if (!e.report || !e.reply || e.report->bytes.size() != 64) continue;
        if (seen.first != "ping" && seen.first != "port 3" && seen.first != "current monitor") continue;
        probes.push_back({seen.first, e.report->bytes, e.reply->asked});
    }
    if (probes.empty()) {
        c.status = Status::Skipped;
        c.reason = "not run: no report of the ping or the queries was recorded";
        return;
    }
    Json reads = Json::array();
    std::vector<std::string> longer, shorter, silent;
    bool padded = true, available = true;
    for (const Probe &probe : probes) {
        const std::optional<PacketRead> read = packetExchange(instance_, probe.report.data(), 64, kReadWaitMs);
        lines();
        if (!read) {
            available = false;
            break;
        }
        Json entry = Json::object();
        entry["query"] = probe.name;
        entry["asked"] = probe.asked;
        entry["received"] = read->received;
        entry["bytes"] = hexString(read->bytes);
        reads.push_back(entry);
        if (read->outcome != PacketRead::Outcome::Ok) {
            silent.push_back(probe.name);
            padded = false;
            continue;
        }
        c.detail.push_back(probe.name + ": " + std::to_string(read->received) + " bytes for " +
                           std::to_string(probe.asked) + ": " + spacedHex(read->bytes));
        if (read->received > probe.asked) longer.push_back(probe.name + " " + std::to_string(read->received) + " for " + std::to_string(probe.asked));
        if (read->received < probe.asked) shorter.push_back(probe.name + " " + std::to_string(read->received) + " of " + std::to_string(probe.asked));
        if (read->received != 64) padded = false;
    }
    c.facts["reads"] = reads;
    if (!available) {
        // The Windows DLL has no whole-packet read; the log still shows the library's counts.
        c.status = tooLong_ ? Status::Failed : Status::Skipped;
        c.reason = tooLong_ ? "replies longer than asked reached the library and were graded failed"
                            : "not run: whole-packet reads are not available in this build";
        return;
    }
    if (!silent.empty() && longer.empty() && shorter.empty() && silent.size() == probes.size()) {
        c.status = Status::Failed;
        c.reason = "no reply to a whole-packet read";
        return;
    }
    if (!shorter.empty()) {
        c.status = Status::Failed;
        c.reason = "replies shorter than the library asks for: ";
        for (std::size_t i = 0; i < shorter.size(); ++i) c.reason += (i == 0 ? "" : ", ") + shorter[i];
        return;
    }
    if (longer.empty()) {
        c.reason = "each reply is as long as the library asks for, no padding";
        return;
    }
    const std::string what = padded ? "the board pads its replies to 64 bytes" : "the board sends more bytes than asked (" + longer.front() + ")";
    if (tooLong_ || !queriesWorked_) {
        c.status = Status::Failed;
        c.reason = what + "; on this system the library gets the whole packet and grades every such query failed as too long";
    } else {
        c.status = Status::Warning;
        c.reason = what + "; on this system the library gets only the bytes it asks for, so queries work here, but a "
                          "system whose transport counts whole packets (Linux with libusb) grades every query failed";
    }
}

void BoardDoctor::echo() {
    Check &c = add("byte 0");
    unsigned echoed = 0, looked = 0;
    std::vector<std::string> other;
    for (const auto &seen : replies_) {
        const Exchange &e = seen.second;
        if (seen.first == "ping" || !e.report || !e.reply || e.reply->outcome != "ok" || e.reply->bytes.empty() ||
            e.report->bytes.empty())
            continue;
        ++looked;
        if (e.reply->bytes[0] == e.report->bytes[0]) ++echoed;
        else other.push_back(seen.first + " " + hex(e.reply->bytes[0], 2) + " for " + hex(e.report->bytes[0], 2));
    }
    c.facts["replies"] = looked;
    c.facts["echoed"] = echoed;
    if (looked == 0) {
        c.status = Status::Skipped;
        c.reason = "no query reply to look at";
        return;
    }
    // A fact about the board, which the library does not rely on.
    if (echoed == looked) c.reason = "byte 0 of every query reply echoes the command code (" + std::to_string(looked) + " replies; not relied on)";
    else if (echoed == 0) c.reason = "byte 0 of the query replies does not echo the command code (not relied on)";
    else c.reason = "byte 0 echoes the command code in " + std::to_string(echoed) + " of " + std::to_string(looked) + " query replies (not relied on)";
    for (const std::string &o : other) c.detail.push_back("not echoed: " + o);
}

void BoardDoctor::lateReplies() {
    Check &c = add("late replies");
    // The ping's report again: does its reply come within the read wait, or
    // only after it? Replies the library collected late earlier in the run
    // are counted too.
    if (pingReport_.empty()) {
        c.status = Status::Skipped;
        c.reason = "not run: the ping's report was not recorded";
        return;
    }
    const std::optional<PacketRead> first = packetExchange(instance_, pingReport_.data(), 64, kReadWaitMs);
    lines();
    if (!first) {
        c.status = Status::Skipped;
        c.reason = "not run: whole-packet reads are not available in this build";
        return;
    }
    if (first->outcome == PacketRead::Outcome::Ok) {
        c.reason = "the ping's reply came within the library's " + std::to_string(kReadWaitMs) + " ms read wait";
        c.facts["collectedLate"] = lateCollected_;
        if (lateCollected_ > 0) {
            c.status = Status::Warning;
            c.reason += "; but " + std::to_string(lateCollected_) +
                        (lateCollected_ == 1 ? " reply" : " replies") + " of this run came after their read had given up";
        }
        return;
    }
    if (first->outcome != PacketRead::Outcome::Timeout) {
        c.status = Status::Failed;
        c.reason = "the ping's read failed at once";
        return;
    }
    const Clock::time_point start = Clock::now();
    const std::optional<PacketRead> later = packetExchange(instance_, nullptr, 64, kLateWaitMs);
    const double waited = msSince(start);
    lines();
    c.status = Status::Failed;
    c.facts["collectedLate"] = lateCollected_;
    if (later && later->outcome == PacketRead::Outcome::Ok) {
        c.measured = "came " + ms(waited) + " into a further wait";
        c.facts["lateReply"] = hexString(later->bytes);
        c.reason = "the ping's reply came after the library's " + std::to_string(kReadWaitMs) +
                   " ms read wait had given up: every query of this board times out (its late reply is dropped)";
    } else {
        c.reason = "no reply to the ping within " + std::to_string(kReadWaitMs + kLateWaitMs) + " ms";
    }
}

void BoardDoctor::eepromHead() {
    Check &c = add("EEPROM head");
    std::vector<std::uint8_t> head(16, 0);
    // The serial number through the library's own call: the wire log marks
    // the board's lines with it from here on.
    const bool serialRead = veskcfp2_getSN(instance_, head.data()) == 1;
    std::string failure;
    if (!serialRead) failure = "the serial number (bytes 0-7): " + whyNot(VESKCFP2_CMD_FAILED, lastExchange(lines()));
    for (std::int32_t address = 8; address < 16 && failure.empty(); ++address) {
        const std::int32_t result = veskcfp2_eepromRead(instance_, address, &head[static_cast<std::size_t>(address)]);
        if (result != VESKCFP2_CMD_OK) failure = "byte " + std::to_string(address) + ": " + whyNot(result, lastExchange(lines()));
    }
    lines();
    if (!failure.empty()) {
        c.status = Status::Failed;
        c.reason = "could not read " + failure;
        return;
    }
    c.facts["bytes"] = hexString(head);
    c.detail.push_back("bytes 0-15: " + spacedHex(head) + "  " + printable(head));
    std::string serial(head.begin(), head.begin() + 8);
    while (!serial.empty() && serial.back() == ' ') serial.pop_back();
    serial_ = serial;
    c.facts["serial"] = serial;
    const bool blank = std::all_of(head.begin(), head.begin() + 8, [](std::uint8_t b) { return b == 0x20 || b == 0xFF; });
    const bool printableSerial = std::all_of(serial.begin(), serial.end(), [](char ch) { return ch > 0x20 && ch < 0x7F; });
    if (blank) {
        c.status = Status::Warning;
        c.reason = "the serial number is blank";
    } else if (!printableSerial) {
        c.status = Status::Warning;
        c.reason = "the serial number holds bytes that are not printable ASCII: " + displaySerial(serial);
    } else {
        c.reason = "serial number " + serial;
    }
}

void BoardDoctor::module() {
    Check &c = add("module");
    const std::uint8_t port = options_.mdioPort;
    cfp2module::Words words;
    auto read = [&](const std::vector<std::uint16_t> &regs) {
        for (const std::uint16_t reg : regs) {
            std::uint16_t value = 0;
            const std::int32_t result = veskcfp2_getMDIO(instance_, port, reg, &value);
            if (result != VESKCFP2_CMD_OK) {
                c.status = Status::Failed;
                c.reason = "the MDIO read of register " + cfp2module::describeRegister(reg) + " on port " +
                           std::to_string(port) + " failed: " + whyNot(result, lastExchange(lines()));
                return false;
            }
            words[reg] = value;
        }
        lines();
        return true;
    };
    c.facts["mdioPort"] = port;
    if (!read(cfp2module::registersOf(cfp2module::identityFields()))) return;
    const cfp2module::PresenceCheck presence = cfp2module::checkPresence(words);
    if (presence.presence != cfp2module::Presence::Module) {
        c.status = Status::Warning;
        c.reason = cfp2module::absenceMessage(presence, port);
        c.facts["present"] = false;
        return;
    }
    c.facts["present"] = true;
    std::string identity;
    for (const char *key : {"vendorName", "partNumber", "serialNumber"}) {
        const cfp2module::Value v = cfp2module::decode(*cfp2module::fieldByKey(key), words);
        identity += (identity.empty() ? "" : " ") + v.display();
        c.facts[key] = v.display();
    }
    if (!read({cfp2module::kStateRegister})) return;
    const cfp2module::Value state = cfp2module::decode(cfp2module::stateField(), words);
    c.facts["state"] = state.display();
    std::string summary = "module " + identity + ", state " + state.display();
    if (!cfp2module::stateAnswered(state.raw)) {
        c.status = Status::Warning;
        c.reason = summary + ": it does not answer its state register (in Reset or Initialize?)";
        return;
    }
    if (!read(cfp2module::registersOf(cfp2module::moduleStatusFields()))) return;
    bool alarmed = false;
    for (const cfp2module::Value &v : cfp2module::decodeAll(cfp2module::moduleStatusFields(), words)) {
        c.detail.push_back(std::string(v.field->label) + ": " + v.display());
        c.facts[v.field->key] = v.raw;
        if (std::string(v.field->key) == "globalAlarmSummary" && v.raw != 0) alarmed = true;
    }
    if (alarmed) {
        c.status = Status::Warning;
        c.reason = summary + "; its global alarm summary is not zero";
    } else {
        c.reason = summary + "; no global alarm";
    }
}

void BoardDoctor::monitors() {
    if (id_.type != 1) {
        skip("supply and temperatures", "type-0 boards have no supply or temperature monitor");
        return;
    }
    Check &c = add("supply and temperatures");
    double volts = 0;
    std::int32_t result = veskcfp2_getVCC(instance_, &volts);
    if (result != VESKCFP2_CMD_OK) {
        c.status = Status::Failed;
        c.reason = "the supply voltage: " + whyNot(result, lastExchange(lines()));
        return;
    }
    c.facts["supplyVolts"] = volts;
    std::string text = "supply " + decimal(volts) + " V";
    for (std::uint8_t sensor : {std::uint8_t{0}, std::uint8_t{1}}) {
        double celsius = 0;
        result = veskcfp2_getTemperature(instance_, sensor, &celsius);
        if (result != VESKCFP2_CMD_OK) {
            c.status = Status::Failed;
            c.reason = "temperature sensor " + std::to_string(sensor) + ": " + whyNot(result, lastExchange(lines()));
            return;
        }
        c.facts["temperature" + std::to_string(sensor) + "C"] = celsius;
        text += ", sensor " + std::to_string(sensor) + " " + decimal(celsius) + " C";
    }
    lines();
    c.reason = text;
    if (volts == 0) {
        c.status = Status::Warning;
        c.reason += ": a supply of 0 V (not powered?)";
    }
}

void BoardDoctor::writes() {
    if (!options_.writes) {
        skip("writes", "nothing written (--writes writes port " + std::to_string(kWritePort) + " back with the value it holds)");
        return;
    }
    Check &c = add("writes");
    std::uint8_t before = 0;
    std::int32_t result = veskcfp2_getPort(instance_, kWritePort, &before);
    if (result != VESKCFP2_CMD_OK) {
        c.status = Status::Failed;
        c.reason = "port " + std::to_string(kWritePort) + " could not be read (" + whyNot(result, lastExchange(lines())) +
                   "); nothing written";
        return;
    }
    // Named before it runs: a port can switch a supply.
    options_.announce("writing port " + std::to_string(kWritePort) + " of " + describeBoard(id_) + " back with " +
                      hex(before, 2) + ", the value it holds");
    result = veskcfp2_setPort(instance_, kWritePort, before);
    if (result != VESKCFP2_CMD_OK) {
        c.status = Status::Failed;
        c.reason = "writing port " + std::to_string(kWritePort) + " back failed: " + whyNot(result, lastExchange(lines()));
        return;
    }
    std::uint8_t after = 0;
    result = veskcfp2_getPort(instance_, kWritePort, &after);
    lines();
    c.facts["port"] = kWritePort;
    c.facts["before"] = before;
    c.facts["after"] = after;
    if (result != VESKCFP2_CMD_OK) {
        c.status = Status::Failed;
        c.reason = "port " + std::to_string(kWritePort) + " written back with " + hex(before, 2) + ", but it could not be read again";
    } else if (after != before) {
        c.status = Status::Failed;
        c.reason = "port " + std::to_string(kWritePort) + " written back with " + hex(before, 2) + " reads " + hex(after, 2);
    } else {
        c.reason = "port " + std::to_string(kWritePort) + " written back with " + hex(before, 2) + " and read again the same";
    }
}

}  // namespace brevantctl
