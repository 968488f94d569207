// wire_log.cpp - writes the wire log: one line per report or reply, with the
// time, the board's location and serial number when known, the bytes, the
// counts and the outcome. Lines are appended whole under one lock, so the
// threads of a process never mix their lines, and each line reaches the file
// in one write, so several processes can share one log.
#include "usb/wire_log.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "protocol/report.h"
#include "usb/backend.h"

namespace VESK {
namespace wirelog {

std::atomic<int> state{0};

namespace {

struct Log {
    std::mutex lock;
    std::FILE *file = nullptr;
    bool writeFailed = false;  // said once on standard error
    // Where each open pipe leads, and the serial number of each location.
    std::map<PipeHandle, std::string> locations;
    std::map<std::string, std::string> serials;
};

Log &log() {
    // Never destroyed: transfers may still run while the process exits.
    static Log *const theLog = new Log;
    return *theLog;
}

std::once_flag started;

// "2026-12-08T14:41:43.123456Z", from the system clock, without the C
// library's time conversions (gmtime is not thread-safe, and its safe
// variants differ between systems).
std::string utcText(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const std::int64_t us = duration_cast<microseconds>(when.time_since_epoch()).count();
    std::int64_t days = us / 86400000000LL;
    std::int64_t inDay = us % 86400000000LL;
    if (inDay < 0) {
        inDay += 86400000000LL;
        --days;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%06lldZ",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(inDay / 3600000000LL),
                  static_cast<long long>(inDay / 60000000LL % 60),
                  static_cast<long long>(inDay / 1000000LL % 60),
                  static_cast<long long>(inDay % 1000000LL));
    return text;
}

// A field without spaces: bytes outside printable ASCII, and '%', as %XX.
std::string field(const std::string &text) {
    if (text.empty()) return "-";
    std::string out;
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte <= 0x20 || byte >= 0x7F || byte == '%') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned>(byte));
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out;
}

std::string hexBytes(const std::uint8_t *bytes, std::uint32_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(2 * static_cast<std::size_t>(count));
    for (std::uint32_t i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

const char *outcomeOf(bool ok) {
    if (ok) return "ok";
    const Backend &b = backend();
    if (b.deviceGone()) return "gone";
    if (b.timedOut()) return "timeout";
    return "error";
}

struct Transfer {
    const char *direction;
    PipeHandle pipe;
    std::chrono::system_clock::time_point startedAt;
    std::chrono::steady_clock::duration took;
    std::uint32_t asked, got;
    std::int64_t waitMs;  // -1: a report, which has no wait of its own
    const char *outcome;
    const std::uint8_t *bytes;
    std::uint32_t byteCount;
};

void append(const Transfer &t) {
    Log &l = log();
    const long long tookUs =
        std::chrono::duration_cast<std::chrono::microseconds>(t.took).count();
    std::string line = utcText(t.startedAt);
    std::lock_guard<std::mutex> hold(l.lock);
    const auto located = l.locations.find(t.pipe);
    const std::string location = located != l.locations.end() ? located->second : std::string();
    const auto serial = l.serials.find(location);
    line += ' ';
    line += t.direction;
    line += " at=" + field(location);
    line += " sn=" + field(serial != l.serials.end() ? serial->second : std::string());
    line += " asked=" + std::to_string(t.asked);
    line += " got=" + std::to_string(t.got);
    line += " wait=" + (t.waitMs < 0 ? std::string("-") : std::to_string(t.waitMs));
    line += " took=" + std::to_string(tookUs);
    line += ' ';
    line += t.outcome;
    line += " bytes=" + hexBytes(t.bytes, t.byteCount);
    line += '\n';
    const bool written = std::fwrite(line.data(), 1, line.size(), l.file) == line.size() &&
                         std::fflush(l.file) == 0;
    if (!written && !l.writeFailed) {
        l.writeFailed = true;
        std::fprintf(stderr, "brevant: cannot write the wire log (%s); lines are being lost\n",
                     WIRE_LOG_VARIABLE);
    }
}

void open() {
    const char *path = std::getenv(WIRE_LOG_VARIABLE);
    if (path == nullptr || *path == '\0') {
        state.store(1, std::memory_order_release);
        return;
    }
    // Appending: a log is never cut, whoever else writes to it.
    std::FILE *file = std::fopen(path, "ab");
    if (file == nullptr) {
        std::fprintf(stderr, "brevant: cannot open the wire log %s (%s): %s; no wire log is written\n",
                     path, WIRE_LOG_VARIABLE, std::strerror(errno));
        state.store(1, std::memory_order_release);
        return;
    }
    log().file = file;
    const std::string opened = "# " + utcText(std::chrono::system_clock::now()) +
                               " brevant wire log: a program opened this log\n";
    std::fwrite(opened.data(), 1, opened.size(), file);
    std::fflush(file);
    state.store(2, std::memory_order_release);
}

}  // namespace

int start() {
    std::call_once(started, open);
    return state.load(std::memory_order_acquire);
}

}  // namespace wirelog

bool loggedWriteReport(PipeHandle pipe, const std::uint8_t *report, std::uint32_t *writtenCount) {
    std::uint32_t written = 0;
    const auto startedAt = std::chrono::system_clock::now();
    const auto clockStart = std::chrono::steady_clock::now();
    const bool ok = backend().writeReport(pipe, report, &written);
    const auto took = std::chrono::steady_clock::now() - clockStart;
    const char *outcome = wirelog::outcomeOf(ok);
    const auto size = static_cast<std::uint32_t>(brevant::REPORT_SIZE);
    // Writing the line may touch the thread's error state (the file, the
    // lock); the exchange still asks it what became of the transfer.
    const std::uint32_t error = backend().saveError();
    wirelog::append({"report", pipe, startedAt, took, size, written, -1, outcome, report, size});
    backend().restoreError(error);
    if (writtenCount != nullptr) *writtenCount = written;
    return ok;
}

bool loggedReadReply(PipeHandle pipe, std::uint8_t *buffer, std::uint32_t length,
                     std::uint32_t *readCount, std::uint32_t timeoutMs) {
    std::uint32_t received = 0;
    const auto startedAt = std::chrono::system_clock::now();
    const auto clockStart = std::chrono::steady_clock::now();
    const bool ok = backend().readReply(pipe, buffer, length, timeoutMs, &received);
    const auto took = std::chrono::steady_clock::now() - clockStart;
    const char *outcome = wirelog::outcomeOf(ok);
    // The buffer holds no more than was asked for, whatever the count says.
    const std::uint32_t held = ok ? (received < length ? received : length) : 0;
    const std::uint32_t error = backend().saveError();
    wirelog::append({"reply", pipe, startedAt, took, length, received,
                     static_cast<std::int64_t>(timeoutMs), outcome, buffer, held});
    backend().restoreError(error);
    if (readCount != nullptr) *readCount = received;
    return ok;
}

void holdWireLogForFork() { wirelog::log().lock.lock(); }

void releaseWireLogAfterFork() { wirelog::log().lock.unlock(); }

void wireLogPipesOpened(PipeHandle writePipe, PipeHandle readPipe, const std::string &location) {
    if (!wireLogOn()) return;
    wirelog::Log &l = wirelog::log();
    std::lock_guard<std::mutex> hold(l.lock);
    if (writePipe != noPipe()) l.locations[writePipe] = location;
    if (readPipe != noPipe()) l.locations[readPipe] = location;
}

void wireLogPipesClosed(PipeHandle writePipe, PipeHandle readPipe) {
    if (!wireLogOn()) return;
    wirelog::Log &l = wirelog::log();
    std::lock_guard<std::mutex> hold(l.lock);
    l.locations.erase(writePipe);
    l.locations.erase(readPipe);
}

void wireLogSerial(PipeHandle pipe, const std::uint8_t *serial, std::size_t length) {
    if (!wireLogOn()) return;
    std::string text(reinterpret_cast<const char *>(serial), length);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    wirelog::Log &l = wirelog::log();
    std::lock_guard<std::mutex> hold(l.lock);
    const auto located = l.locations.find(pipe);
    if (located != l.locations.end()) l.serials[located->second] = text;
}

}  // namespace VESK
