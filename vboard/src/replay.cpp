// replay.cpp - reads a wire log into the replies of one recorded board, and
// gives them again report by report.
#include "vboard/replay.h"

#include <cstdio>
#include <deque>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace vboard {

namespace {

// One transfer line: "TIME report|reply at=LOC sn=SN asked=N got=N wait=MS
// took=US OUTCOME bytes=HEX".
struct Line {
    bool report = false;
    std::string location, serial;
    std::uint32_t asked = 0, got = 0;
    std::uint32_t waitMs = 0;
    std::uint64_t tookUs = 0;
    std::string outcome;
    std::vector<std::uint8_t> bytes;
};

bool value(const std::string &word, const char *key, std::string &out) {
    const std::string prefix = std::string(key) + "=";
    if (word.compare(0, prefix.size(), prefix) != 0) return false;
    out = word.substr(prefix.size());
    return true;
}

bool number(const std::string &text, std::uint64_t &out) {
    if (text.empty() || text.size() > 18) return false;
    out = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        out = out * 10 + static_cast<std::uint64_t>(ch - '0');
    }
    return true;
}

bool hexBytes(const std::string &text, std::vector<std::uint8_t> &out) {
    if (text.size() % 2 != 0) return false;
    auto digit = [](char ch) -> int {
        if (ch >= '0' && ch <= '9') return ch - '0';
        if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
        if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]), low = digit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        out.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return true;
}

// A wire log line, or nothing for any other line.
std::optional<Line> parseLine(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.size() != 10 || words[0].size() < 20 || words[0][4] != '-' || words[0].back() != 'Z')
        return std::nullopt;
    Line line;
    if (words[1] != "report" && words[1] != "reply") return std::nullopt;
    line.report = words[1] == "report";
    std::string asked, got, wait, took, bytes;
    std::uint64_t n = 0;
    if (!value(words[2], "at", line.location) || !value(words[3], "sn", line.serial) ||
        !value(words[4], "asked", asked) || !value(words[5], "got", got) || !value(words[6], "wait", wait) ||
        !value(words[7], "took", took) || !value(words[9], "bytes", bytes))
        return std::nullopt;
    if (!number(asked, n)) return std::nullopt;
    line.asked = static_cast<std::uint32_t>(n);
    if (!number(got, n)) return std::nullopt;
    line.got = static_cast<std::uint32_t>(n);
    if (wait != "-") {
        if (!number(wait, n)) return std::nullopt;
        line.waitMs = static_cast<std::uint32_t>(n);
    }
    if (!number(took, line.tookUs)) return std::nullopt;
    line.outcome = words[8];
    if (!hexBytes(bytes, line.bytes)) return std::nullopt;
    return line;
}

std::string hexText(const std::uint8_t *bytes, std::size_t count) {
    std::string text;
    char cell[8];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(cell, sizeof cell, "%02X", static_cast<unsigned>(bytes[i]));
        text += cell;
    }
    return text;
}

}  // namespace

Replay Replay::load(const std::string &path, const std::string &serial) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read the wire log " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return parse(text.str(), serial, path);
}

Replay Replay::parse(const std::string &text, const std::string &serial, const std::string &name) {
    std::vector<Line> lines;
    std::istringstream in(text);
    for (std::string raw; std::getline(in, raw);) {
        if (std::optional<Line> line = parseLine(raw)) lines.push_back(std::move(*line));
    }
    // The board: the location whose lines name the serial number, or the
    // only location the log holds.
    std::set<std::string> locations, named;
    for (const Line &line : lines) {
        if (line.location == "-") continue;
        locations.insert(line.location);
        if (line.serial == serial) named.insert(line.location);
    }
    std::string location;
    if (named.size() == 1) {
        location = *named.begin();
    } else if (named.empty() && locations.size() == 1) {
        location = *locations.begin();
    } else if (locations.empty()) {
        throw std::runtime_error("the wire log " + name + " holds no transfers");
    } else {
        throw std::runtime_error("the wire log " + name + " holds " + std::to_string(locations.size()) +
                                 " boards and " + (named.empty() ? "none" : "more than one") +
                                 " with the serial number " + serial);
    }

    Replay replay;
    replay.name_ = name;
    // A board answers its reports in order, one reply each: every reply with
    // bytes answers the oldest report still waiting for one, however many
    // reports went out meanwhile (a reply that came after its read gave up,
    // collected by a later exchange). Reads that timed out meanwhile make it
    // late, by the waits that ran out plus the wait of the read that took it
    // (at least 1 ms).
    struct Waiting {
        Recorded *recorded;
        std::uint64_t missedMs;
    };
    std::deque<Waiting> waiting;
    for (const Line &line : lines) {
        if (line.location != location) continue;
        if (line.report) {
            if (line.outcome != "ok" || line.bytes.size() != 64) continue;
            Bytes bytes;
            std::copy(line.bytes.begin(), line.bytes.end(), bytes.begin());
            replay.recorded_[bytes].push_back(Recorded{});
            waiting.push_back({&replay.recorded_[bytes].back(), 0});
            continue;
        }
        if (line.outcome == "timeout") {
            for (Waiting &w : waiting) w.missedMs += line.waitMs;
        } else if (line.outcome == "ok" && line.got > 0 && !waiting.empty()) {
            Waiting answered = waiting.front();
            waiting.pop_front();
            std::vector<std::uint8_t> reply = line.bytes;
            // A count beyond the buffer: the board sent more than was read.
            if (line.got > reply.size()) reply.resize(line.got, 0);
            answered.recorded->reply = std::move(reply);
            if (answered.missedMs > 0) {
                const std::uint64_t tookMs = line.tookUs / 1000;
                answered.recorded->lateMs = static_cast<std::uint32_t>(answered.missedMs + (tookMs > 0 ? tookMs : 1));
            }
        }
    }
    return replay;
}

std::optional<hostwin::Reply> Replay::answer(const std::uint8_t *report) {
    Bytes bytes;
    std::copy(report, report + 64, bytes.begin());
    const unsigned time = ++sent_[bytes];
    const auto found = recorded_.find(bytes);
    if (found == recorded_.end() || found->second.empty()) {
        ++unexplained_;
        const std::string seen = found == recorded_.end()
                                     ? std::string("the recorded run never sent it")
                                     : "the recorded run sent it " + std::to_string(time - 1) + " times";
        std::fprintf(stderr, "brevant virtual bench: replay of %s: report %s (time %u): %s; no reply\n",
                     name_.c_str(), hexText(report, 64).c_str(), time, seen.c_str());
        return std::nullopt;
    }
    Recorded next = std::move(found->second.front());
    found->second.pop_front();
    if (!next.reply) return std::nullopt;
    hostwin::Reply reply;
    reply.bytes = std::move(*next.reply);
    reply.latencyMs = next.lateMs;
    return reply;
}

}  // namespace vboard
