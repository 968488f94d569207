// doctor_wire.cpp - brevantctl doctor's view of the board's wire: the run's
// wire log set up and read back, and whole-packet reads through the
// library's diagnostic entry point.
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "doctor.h"
#include "service_note.h"

#if !defined(_WIN32)
#include "brevant_diagnostics.h"
#endif

namespace brevantctl {

namespace {

constexpr char kWireLogVariable[] = "BREVANT_WIRE_LOG";

bool field(const std::string &word, const char *key, std::string &out) {
    const std::string prefix = std::string(key) + "=";
    if (word.compare(0, prefix.size(), prefix) != 0) return false;
    out = word.substr(prefix.size());
    return true;
}

bool decimalNumber(const std::string &text, std::uint64_t &out) {
    if (text.empty() || text.size() > 18) return false;
    out = 0;
    for (const char ch : text) {
        if (ch < '0' || ch > '9') return false;
        out = out * 10 + static_cast<std::uint64_t>(ch - '0');
    }
    return true;
}

void setVariable(const char *name, const std::string &value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

long fileSize(const std::string &path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<long>(size);
}

// The text of `path` from byte `from` on.
std::string readFrom(const std::string &path, long from) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return {};
    std::string text;
    if (std::fseek(file, from, SEEK_SET) == 0) {
        char chunk[8192];
        std::size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
    }
    std::fclose(file);
    return text;
}

}  // namespace

const char *statusWord(Check::Status status) {
    switch (status) {
        case Check::Status::Ok: return "ok";
        case Check::Status::Warning: return "warning";
        case Check::Status::Failed: return "failed";
        case Check::Status::Skipped: return "skipped";
    }
    return "?";
}

std::optional<WireLine> parseWireLine(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.size() != 10 || words[0].size() < 20 || words[0].back() != 'Z') return std::nullopt;
    if (words[1] != "report" && words[1] != "reply") return std::nullopt;
    WireLine line;
    line.report = words[1] == "report";
    std::string asked, got, wait, took, bytes;
    if (!field(words[2], "at", line.location) || !field(words[3], "sn", line.serial) ||
        !field(words[4], "asked", asked) || !field(words[5], "got", got) || !field(words[6], "wait", wait) ||
        !field(words[7], "took", took) || !field(words[9], "bytes", bytes) || bytes.size() % 2 != 0)
        return std::nullopt;
    std::uint64_t n = 0;
    if (!decimalNumber(asked, n)) return std::nullopt;
    line.asked = static_cast<std::uint32_t>(n);
    if (!decimalNumber(got, n)) return std::nullopt;
    line.got = static_cast<std::uint32_t>(n);
    if (wait != "-") {
        if (!decimalNumber(wait, n)) return std::nullopt;
        line.waitMs = static_cast<std::uint32_t>(n);
    }
    if (!decimalNumber(took, line.tookUs)) return std::nullopt;
    line.outcome = words[8];
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const std::string pair = bytes.substr(i, 2);
        char *end = nullptr;
        const unsigned long value = std::strtoul(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2) return std::nullopt;
        line.bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return line;
}

WireTap::WireTap() {
    const char *set = std::getenv(kWireLogVariable);
    if (set != nullptr && *set != '\0') {
        path_ = set;
    } else {
        std::error_code ec;
        const std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
        if (ec) return;
        path_ = (folder / ("brevantctl-doctor-" + std::to_string(currentProcessId()) + ".log")).string();
        std::filesystem::remove(path_, ec);
        temporary_ = true;
        setVariable(kWireLogVariable, path_);
    }
    start_ = taken_ = fileSize(path_);
}

WireTap::~WireTap() {
    if (!temporary_) return;
    std::error_code ec;
    std::filesystem::remove(path_, ec);
}

std::vector<WireLine> WireTap::take() {
    std::vector<WireLine> lines;
    if (!available()) return lines;
    const std::string text = readFrom(path_, taken_);
    // Only whole lines: one being written stays for the next take.
    const std::size_t end = text.rfind('\n');
    if (end == std::string::npos) return lines;
    taken_ += static_cast<long>(end + 1);
    std::istringstream in(text.substr(0, end + 1));
    for (std::string raw; std::getline(in, raw);) {
        if (std::optional<WireLine> line = parseWireLine(raw)) lines.push_back(std::move(*line));
    }
    return lines;
}

std::string WireTap::text() const { return available() ? readFrom(path_, start_) : std::string(); }

std::string spacedHex(const std::vector<std::uint8_t> &bytes) {
    std::string text;
    char cell[8];
    for (const std::uint8_t b : bytes) {
        std::snprintf(cell, sizeof cell, "%02X", static_cast<unsigned>(b));
        text += (text.empty() ? "" : " ") + std::string(cell);
    }
    return text;
}

std::optional<PacketRead> packetExchange(CFP2INSTANCE *instance, const std::uint8_t *report,
                                         std::uint32_t capacity, std::uint32_t waitMs) {
#if defined(_WIN32)
    (void)instance, (void)report, (void)capacity, (void)waitMs;
    return std::nullopt;
#else
    PacketRead read{PacketRead::Outcome::Ok, 0, {}};
    std::vector<std::uint8_t> buffer(capacity, 0);
    const int outcome = brevant_diagnosticExchange(instance, report, buffer.data(), capacity, waitMs, &read.received);
    switch (outcome) {
        case BREVANT_DIAG_OK: read.outcome = PacketRead::Outcome::Ok; break;
        case BREVANT_DIAG_TIMEOUT: read.outcome = PacketRead::Outcome::Timeout; break;
        case BREVANT_DIAG_GONE: read.outcome = PacketRead::Outcome::Gone; break;
        case BREVANT_DIAG_ERROR: read.outcome = PacketRead::Outcome::Error; break;
        default: read.outcome = PacketRead::Outcome::NotConnected; break;
    }
    if (read.outcome == PacketRead::Outcome::Ok)
        buffer.resize(read.received < capacity ? read.received : capacity);
    else
        buffer.clear();
    read.bytes = std::move(buffer);
    return read;
#endif
}

}  // namespace brevantctl
