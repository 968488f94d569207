// default_bench.cpp - the bench a program on the host finds when it sets up
// none of its own (see default_bench.h): the boards, the state file that
// carries what their firmware keeps from one run to the next, and the
// registration as the virtual Windows' default setup.
#include "vboard/default_bench.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "vboard/bench.h"
#include "vboard/state_file.h"

namespace vboard {

namespace {

constexpr char kStateHeader[] = "brevant-bench-state 1";
constexpr std::size_t kEepromLine = 32;  // EEPROM bytes per state line
constexpr std::size_t kMaxBoards = 127;  // device indices a program scans

void note(const std::string &message) {
    std::fprintf(stderr, "brevant virtual bench: %s\n", message.c_str());
}

std::string lineError(std::size_t line, const std::string &what) {
    return "line " + std::to_string(line) + ": " + what;
}

std::vector<std::string> tokens(const std::string &line) {
    std::vector<std::string> out;
    std::istringstream in(line.substr(0, line.find('#')));
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

// Whole-text number parsers: nullopt for anything that is not exactly a number.
std::optional<double> parseReal(const std::string &text) {
    if (text.empty()) return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<unsigned long> parseUnsigned(const std::string &text, int base) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return value;
}

bool validSerial(const std::string &serial) {
    if (serial.empty() || serial.size() > 8) return false;
    for (char c : serial) {
        if (c <= ' ' || c > '~' || c == '#') return false;
    }
    return true;
}

void applyOption(BoardDesc &desc, const std::string &option, std::size_t line) {
    const std::size_t eq = option.find('=');
    if (eq == std::string::npos) throw BenchFileError(lineError(line, "'" + option + "' is not NAME=VALUE"));
    const std::string name = option.substr(0, eq), value = option.substr(eq + 1);
    auto bad = [&](const std::string &range) {
        return BenchFileError(lineError(line, name + " must be " + range + ", got '" + value + "'"));
    };
    if (name == "vcc") {
        const auto volts = parseReal(value);
        if (!volts || *volts < 0 || *volts >= 256) throw bad("0 to 255.99 volts");
        desc.vcc = *volts;
    } else if (name.rfind("temp", 0) == 0 && name.size() > 4) {
        const auto sensor = parseUnsigned(name.substr(4), 10);
        if (!sensor || *sensor > 255) throw BenchFileError(lineError(line, "'" + name + "': sensor must be 0-255"));
        const auto celsius = parseReal(value);
        if (!celsius || *celsius < -128 || *celsius >= 128) throw bad("-128 to 127.99 degrees");
        desc.temperatures[static_cast<std::uint8_t>(*sensor)] = *celsius;
    } else if (name == "latency") {
        const auto ms = parseUnsigned(value, 10);
        if (!ms || *ms > 60000) throw bad("0-60000 ms");
        desc.latencyMs = static_cast<std::uint32_t>(*ms);
    } else if (name == "reply-bytes") {
        const auto bytes = parseUnsigned(value, 10);
        if (!bytes || *bytes > 64) throw bad("0-64");
        desc.replyBytes = static_cast<std::size_t>(*bytes);
    } else if (name == "hang-after") {
        const auto reports = parseUnsigned(value, 10);
        if (!reports) throw bad("a number of reports");
        desc.hangAfter = *reports;
    } else if (name == "stuck-eeprom") {
        // ADDR or FIRST-LAST, comma-separated; decimal or 0x hex.
        auto address = [&](const std::string &text) {
            const bool isHex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
            const auto a = parseUnsigned(isHex ? text.substr(2) : text, isHex ? 16 : 10);
            if (!a || *a >= kEepromSize) throw bad("EEPROM addresses 0-0x1FFFF, as ADDR or FIRST-LAST, comma-separated");
            return static_cast<std::uint32_t>(*a);
        };
        std::istringstream items(value);
        for (std::string item; std::getline(items, item, ',');) {
            const std::size_t dash = item.find('-');
            const std::uint32_t first = address(item.substr(0, dash));
            const std::uint32_t last = dash == std::string::npos ? first : address(item.substr(dash + 1));
            if (last < first) throw bad("ranges FIRST-LAST with FIRST <= LAST");
            for (std::uint32_t a = first; a <= last; ++a) desc.stuckEeprom.insert(a);
        }
        if (value.empty()) throw bad("EEPROM addresses");
    } else if (name == "pace") {
        const auto ms = parseUnsigned(value, 10);
        if (!ms || *ms > 1000) throw bad("0-1000 ms");
        desc.paceMs = static_cast<std::uint32_t>(*ms);
    } else if (name == "pad") {
        const auto bytes = parseUnsigned(value, 10);
        if (!bytes || *bytes < 1 || *bytes > 64) throw bad("1-64");
        desc.padTo = static_cast<std::size_t>(*bytes);
    } else if (name == "replay") {
        if (value.empty()) throw bad("a wire log file");
        try {
            desc.replay = std::make_shared<Replay>(Replay::load(value, desc.serial));
        } catch (const std::runtime_error &e) {
            throw BenchFileError(lineError(line, std::string("replay: ") + e.what()));
        }
    } else if (name == "module") {
        if (value != "cfp2-sr4" && value != "none") throw bad("cfp2-sr4 or none");
        desc.module = value != "none";
    } else if (name == "module-state") {
        static const std::map<std::string, std::uint16_t> states = {
            {"initialize", 0x0001}, {"low-power", 0x0002},   {"high-power-up", 0x0004},
            {"tx-off", 0x0008},     {"tx-turn-on", 0x0010},  {"ready", 0x0020},
            {"fault", 0x0040},      {"tx-turn-off", 0x0080}, {"high-power-down", 0x0100},
        };
        const auto named = states.find(value);
        unsigned long word = 0x10000;  // none
        if (value.size() > 2 && value.rfind("0x", 0) == 0) word = parseUnsigned(value.substr(2), 16).value_or(word);
        desc.moduleInReset = value == "reset";
        if (named != states.end()) {
            desc.moduleState = named->second;
        } else if (word <= 0xFFFF) {
            desc.moduleState = static_cast<std::uint16_t>(word);
        } else if (!desc.moduleInReset) {
            throw bad("a state (ready, initialize, low-power, high-power-up, tx-off, tx-turn-on, fault, tx-turn-off, "
                      "high-power-down, reset) or a word 0x0000-0xFFFF");
        }
    } else if (name == "module-alarm") {
        const std::size_t colon = value.find(':');
        const unsigned long none = 0x10000;
        const unsigned long reg = parseUnsigned(value.substr(0, colon), 16).value_or(none);
        const unsigned long word =
            colon == std::string::npos ? none : parseUnsigned(value.substr(colon + 1), 16).value_or(none);
        if (reg > 0xFFFF || !Module::isStatusRegister(static_cast<std::uint16_t>(reg)) || word > 0xFFFF)
            throw bad("REGISTER:WORD in hex, the register A018, A01D-A020 or A200-A21F");
        desc.moduleAlarms[static_cast<std::uint16_t>(reg)] = static_cast<std::uint16_t>(word);
    } else if (name == "module-port") {
        const auto port = parseUnsigned(value, 10);
        if (!port || *port > 255) throw bad("0-255");
        desc.modulePort = static_cast<std::uint8_t>(*port);
    } else {
        throw BenchFileError(lineError(line, "unknown setting '" + name + "'"));
    }
}

// ---- State file ------------------------------------------------------------

std::string hex(unsigned long value, std::size_t width) {
    std::string text;
    do {
        text.insert(text.begin(), "0123456789ABCDEF"[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    if (text.size() < width) text.insert(0, width - text.size(), '0');
    return text;
}

// The part of a board's state that the state file keeps.
struct KeptState {
    std::vector<std::uint8_t> eeprom = std::vector<std::uint8_t>(kEepromSize, 0xFF);
    std::array<std::uint8_t, 256> ports{};
    std::uint8_t vendorIO = 0;
    std::uint8_t power = 1;  // as on a fresh board: the module powered
    std::map<std::uint16_t, std::uint16_t> senseEnabled;
    std::map<std::uint8_t, std::map<std::uint16_t, std::uint16_t>> mdio;
};

void keep(BoardState &to, const KeptState &from) {
    to.eeprom = from.eeprom;
    to.ports = from.ports;
    to.vendorIO = from.vendorIO;
    to.power = from.power;
    to.senseEnabled = from.senseEnabled;
    to.mdio = from.mdio;
}

// Reads one state line's fields (after the keyword) as hex numbers of the
// given widths in digits; the last width 0 means "a run of hex bytes".
std::vector<unsigned long> hexFields(const std::vector<std::string> &words, std::initializer_list<int> widths,
                                     std::size_t line) {
    std::vector<unsigned long> out;
    if (words.size() != widths.size() + 1) throw BenchFileError(lineError(line, "wrong number of fields"));
    std::size_t i = 1;
    for (int width : widths) {
        const std::string &word = words[i++];
        const auto value = parseUnsigned(word, 16);
        if (!value || word.size() != static_cast<std::size_t>(width))
            throw BenchFileError(lineError(line, "'" + word + "' is not a " + std::to_string(width) + "-digit hex number"));
        out.push_back(*value);
    }
    return out;
}

std::vector<std::uint8_t> hexBytes(const std::string &word, std::size_t line) {
    if (word.empty() || word.size() % 2 != 0 || word.size() > 2 * kEepromLine)
        throw BenchFileError(lineError(line, "bad EEPROM data"));
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < word.size(); i += 2) {
        const auto value = parseUnsigned(word.substr(i, 2), 16);
        if (!value) throw BenchFileError(lineError(line, "bad EEPROM data"));
        bytes.push_back(static_cast<std::uint8_t>(*value));
    }
    return bytes;
}

// ---- The default bench -------------------------------------------------------

struct DefaultBench {
    std::vector<std::shared_ptr<Board>> owned;
    std::vector<BenchBoard> boards;
    std::vector<hostwin::InterfaceId> interfaces;  // each board's, in the order of boards
    std::vector<bool> plugged;
    // The bench file, and its time and size when it was last read: a
    // change plugs and unplugs boards of the running program.
    std::string benchFile;
    std::optional<std::pair<std::filesystem::file_time_type, std::uintmax_t>> stamp;
    std::string statePath;  // empty: the state is not kept
    bool createFolder = false;  // the default place: its folder is made when missing
    // Each board's section as loaded: at exit only the boards whose section
    // differs are written. Empty for a board to be written whatever it holds
    // (its lines in the file were damaged).
    std::vector<std::string> loaded;
};

// Never destroyed: it is saved from an exit handler.
DefaultBench *defaultBench = nullptr;

// Reads a whole file; false with errno set when it cannot (a directory
// gives EISDIR rather than an empty text).
bool readFile(const std::string &path, std::string &text) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        errno = EISDIR;
        return false;
    }
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::string all;
    char chunk[8192];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) all.append(chunk, got);
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) {
        errno = error != 0 ? error : EIO;
        return false;
    }
    text = std::move(all);
    return true;
}

std::vector<BoardDesc> benchBoards() {
    const char *file = std::getenv(kBenchFileVariable);
    if (file == nullptr || *file == '\0') return defaultBoards();
    std::string text;
    if (!readFile(file, text)) {
        note(std::string("cannot read the bench file ") + file + " (" + kBenchFileVariable + "): " +
             std::strerror(errno) + "; the bench has no boards");
        return {};
    }
    try {
        return parseBench(text);
    } catch (const BenchFileError &e) {
        note(std::string("bench file ") + file + ", " + e.what() + "; the bench has no boards");
        return {};
    }
}

void loadState(DefaultBench &bench) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path path(bench.statePath);
    if (!bench.createFolder && path.has_parent_path() && !fs::is_directory(path.parent_path(), ec)) {
        note("the folder of the state file " + bench.statePath + " (" + kStateFileVariable +
             ") does not exist; the boards' state is not kept");
        bench.statePath.clear();
        return;
    }
    if (!fs::exists(path, ec)) {
        note("starting fresh boards; their state is kept in " + bench.statePath);
        return;
    }
    std::string text;
    if (!fs::is_regular_file(path, ec) || !readFile(bench.statePath, text)) {
        note("cannot read the state file " + bench.statePath + "; starting fresh boards, state not kept");
        bench.statePath.clear();
        return;
    }
    std::vector<std::string> problems;
    bool whole = false;
    try {
        problems = applyState(text, bench.boards);
    } catch (const BenchFileError &e) {
        problems.push_back(e.what());
        whole = true;
    }
    if (problems.empty()) return;
    // The file is rewritten whole at exit, so no damaged line stays in it.
    for (std::string &section : bench.loaded) section.clear();
    // Keep the damaged file for a look; the state file itself is rewritten at exit.
    const std::string bad = bench.statePath + ".bad";
    fs::copy_file(path, bad, fs::copy_options::overwrite_existing, ec);
    std::string what = problems.front();
    if (problems.size() > 1) what += "; " + std::to_string(problems.size() - 1) + " more";
    note("the state file " + bench.statePath + " is damaged (" + what + "); " +
         (whole ? std::string("starting fresh boards") : "boards with sound lines keep their state, the others start fresh") +
         (ec ? ", and it could not be kept as " + bad + ": " + ec.message() : "; the damaged file is kept as " + bad));
}

// Writes the boards whose state this process changed, merged under a lock
// into what the file holds now: other programs' changes to other boards
// stay. A run that changed nothing writes nothing, unless there is no file
// yet: then it creates one with the boards as they are.
void saveState() {
    if (defaultBench == nullptr || defaultBench->statePath.empty()) return;
    std::map<std::size_t, std::string> changed, all;
    for (std::size_t position = 0; position < defaultBench->boards.size(); ++position) {
        std::string section = boardStateText(position, defaultBench->boards[position]);
        if (defaultBench->loaded[position].empty() || section != defaultBench->loaded[position])
            changed.emplace(position, section);
        all.emplace(position, std::move(section));
    }
    const std::string &path = defaultBench->statePath;
    std::error_code exists;
    if (changed.empty() && std::filesystem::exists(path, exists)) return;  // nothing to write
    std::error_code ec;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (defaultBench->createFolder && !parent.empty()) std::filesystem::create_directories(parent, ec);
    const std::string failure = saveMergedState(path, changed, all);
    if (!failure.empty()) note("cannot save the bench state to " + path + ": " + failure);
}

}  // namespace

Module benchModule(const BoardDesc &desc) {
    Module module = Module::cfp2Sr4();
    module.personalise(desc.serial);
    module.setState(desc.moduleState);
    module.setInReset(desc.moduleInReset);
    for (const auto &alarm : desc.moduleAlarms) module.setStatusRegister(alarm.first, alarm.second);
    return module;
}

std::vector<BoardDesc> defaultBoards() {
    BoardDesc first, second;
    first.type = 1;
    first.serial = "VBRD0001";
    second.type = 0;
    second.serial = "VBRD0002";
    return {first, second};
}

std::vector<BoardDesc> parseBench(const std::string &text) {
    std::vector<BoardDesc> boards;
    std::istringstream in(text);
    std::size_t number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::vector<std::string> words = tokens(line);
        if (words.empty()) continue;
        BoardDesc desc;
        if (words[0] != "0" && words[0] != "1")
            throw BenchFileError(lineError(number, "board type must be 0 or 1, got '" + words[0] + "'"));
        desc.type = words[0] == "1" ? 1 : 0;
        if (words.size() < 2 || !validSerial(words[1]))
            throw BenchFileError(lineError(number, "a serial number of 1 to 8 printable characters must follow the type"));
        desc.serial = words[1];
        for (std::size_t i = 2; i < words.size(); ++i) applyOption(desc, words[i], number);
        boards.push_back(std::move(desc));
        if (boards.size() > kMaxBoards)
            throw BenchFileError(lineError(number, "more than 127 boards"));
    }
    return boards;
}

std::string stateText(const std::vector<BenchBoard> &boards) {
    std::string text = std::string(kStateHeader) + "\n";
    for (std::size_t position = 0; position < boards.size(); ++position) text += boardStateText(position, boards[position]);
    return text + "end\n";
}

std::string boardStateText(std::size_t position, const BenchBoard &entry) {
    std::ostringstream out;
    {
        Board &board = *entry.board;
        std::lock_guard<std::mutex> hold(board.mutex());
        const BoardState &s = board.state();
        out << "board " << position << ' ' << entry.desc.type << ' ' << entry.desc.serial << '\n';
        for (std::size_t at = 0; at < kEepromSize; at += kEepromLine) {
            const auto first = s.eeprom.begin() + static_cast<std::ptrdiff_t>(at);
            const auto last = first + static_cast<std::ptrdiff_t>(kEepromLine);
            if (std::all_of(first, last, [](std::uint8_t b) { return b == 0xFF; })) continue;
            out << "eeprom " << hex(at, 5) << ' ';
            for (auto it = first; it != last; ++it) out << hex(*it, 2);
            out << '\n';
        }
        for (std::size_t port = 0; port < s.ports.size(); ++port) {
            if (s.ports[port] != 0) out << "port " << hex(port, 2) << ' ' << hex(s.ports[port], 2) << '\n';
        }
        if (s.vendorIO != 0) out << "vendor-io " << hex(s.vendorIO, 2) << '\n';
        out << "power " << hex(s.power, 2) << '\n';
        for (const auto &sense : s.senseEnabled)
            out << "sense " << hex(sense.first, 4) << ' ' << hex(sense.second, 4) << '\n';
        for (const auto &port : s.mdio) {
            // Every register written, zeros included: on the module's port a
            // written 0 hides what the module would answer.
            for (const auto &reg : port.second)
                out << "mdio " << hex(port.first, 2) << ' ' << hex(reg.first, 4) << ' ' << hex(reg.second, 4) << '\n';
        }
    }
    return out.str();
}

std::vector<std::string> applyState(const std::string &text, const std::vector<BenchBoard> &boards) {
    std::map<std::size_t, KeptState> loaded;
    std::set<std::size_t> damaged;  // positions whose section has a bad line
    KeptState dropped;              // takes the entries of boards no longer on the bench, once checked
    KeptState *current = nullptr;
    std::optional<std::size_t> currentPosition;  // of `current`, when it is a board on the bench
    bool lost = false;  // after a bad board line: the lines up to the next board belong to no one known
    bool ended = false;
    std::vector<std::string> problems;
    std::istringstream in(text);
    std::size_t number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (number == 1) {
            if (line != kStateHeader) throw BenchFileError("not a bench state file");
            continue;
        }
        try {
            if (ended) throw BenchFileError(lineError(number, "text after the end"));
            const std::vector<std::string> words = tokens(line);
            if (words.empty()) throw BenchFileError(lineError(number, "empty line"));
            const std::string &keyword = words[0];
            if (keyword == "end") {
                if (words.size() != 1) throw BenchFileError(lineError(number, "wrong number of fields"));
                ended = true;
                continue;
            }
            if (keyword == "board") {
                current = nullptr;
                currentPosition.reset();
                lost = true;
                if (words.size() != 4) throw BenchFileError(lineError(number, "wrong number of fields"));
                const auto position = parseUnsigned(words[1], 10);
                if (!position || (words[2] != "0" && words[2] != "1") || !validSerial(words[3]))
                    throw BenchFileError(lineError(number, "bad board line"));
                if (loaded.count(*position) != 0) {
                    damaged.insert(*position);
                    throw BenchFileError(lineError(number, "board given twice"));
                }
                lost = false;
                current = &dropped;
                if (*position < boards.size() && boards[*position].desc.type == (words[2] == "1" ? 1 : 0) &&
                    boards[*position].desc.serial == words[3]) {
                    current = &loaded[*position];
                    currentPosition = *position;
                }
                continue;
            }
            if (lost) continue;  // reported with its board line
            if (current == nullptr) throw BenchFileError(lineError(number, "'" + keyword + "' before any board"));
            KeptState &s = *current;
            if (keyword == "eeprom") {
                if (words.size() != 3) throw BenchFileError(lineError(number, "wrong number of fields"));
                const auto address = parseUnsigned(words[1], 16);
                const std::vector<std::uint8_t> bytes = hexBytes(words[2], number);
                if (!address || words[1].size() != 5 || *address + bytes.size() > kEepromSize)
                    throw BenchFileError(lineError(number, "bad EEPROM address"));
                std::copy(bytes.begin(), bytes.end(), s.eeprom.begin() + static_cast<std::ptrdiff_t>(*address));
            } else if (keyword == "port") {
                const auto f = hexFields(words, {2, 2}, number);
                s.ports[f[0]] = static_cast<std::uint8_t>(f[1]);
            } else if (keyword == "vendor-io") {
                s.vendorIO = static_cast<std::uint8_t>(hexFields(words, {2}, number)[0]);
            } else if (keyword == "power") {
                s.power = static_cast<std::uint8_t>(hexFields(words, {2}, number)[0]);
            } else if (keyword == "sense") {
                const auto f = hexFields(words, {4, 4}, number);
                s.senseEnabled[static_cast<std::uint16_t>(f[0])] = static_cast<std::uint16_t>(f[1]);
            } else if (keyword == "mdio") {
                const auto f = hexFields(words, {2, 4, 4}, number);
                s.mdio[static_cast<std::uint8_t>(f[0])][static_cast<std::uint16_t>(f[1])] =
                    static_cast<std::uint16_t>(f[2]);
            } else {
                throw BenchFileError(lineError(number, "unknown entry '" + keyword + "'"));
            }
        } catch (const BenchFileError &e) {
            problems.push_back(e.what());
            if (currentPosition) damaged.insert(*currentPosition);
        }
    }
    if (number == 0) throw BenchFileError("the file is empty");
    if (!ended) {
        // The file was cut: the last board's lines may be missing.
        problems.push_back("the file ends early");
        if (currentPosition) damaged.insert(*currentPosition);
    }
    for (const auto &entry : loaded) {
        if (damaged.count(entry.first) != 0) continue;
        Board &board = *boards[entry.first].board;
        std::lock_guard<std::mutex> hold(board.mutex());
        keep(board.state(), entry.second);
    }
    return problems;
}

std::string stateFilePath() {
    auto set = [](const char *name) -> const char * {
        const char *value = std::getenv(name);
        return value != nullptr && *value != '\0' ? value : nullptr;
    };
    if (const char *path = set(kStateFileVariable)) return path;
    if (const char *state = set("XDG_STATE_HOME")) return std::string(state) + "/brevant/bench-state";
    if (const char *home = set("HOME")) return std::string(home) + "/.local/state/brevant/bench-state";
    return {};
}

namespace {

// What a bench line says of a board beyond its type and serial number: its
// readings, knobs and module. The firmware's state is not touched.
void describe(Board &board, const BoardDesc &desc) {
    board.setVcc(desc.vcc.value_or(3.3125));
    board.setTemperature(0, 25.25);
    for (const auto &reading : desc.temperatures) board.setTemperature(reading.first, reading.second);
    {
        std::lock_guard<std::mutex> hold(board.mutex());
        Knobs &knobs = board.knobs();
        knobs.latencyMs = desc.latencyMs;
        knobs.replyBytes = desc.replyBytes;
        knobs.hangAfter = desc.hangAfter;
        knobs.stuckEeprom = desc.stuckEeprom;
        knobs.paceMs = desc.paceMs;
        knobs.padTo = desc.padTo;
        knobs.replay = desc.replay;
    }
    board.setModule(desc.module ? std::optional<Module>(benchModule(desc)) : std::nullopt, desc.modulePort);
}

void addBoard(BoardDesc desc) {
    auto board = std::make_shared<Board>(desc.type, desc.serial);
    describe(*board, desc);
    defaultBench->interfaces.push_back(plugInterface(board, kMicrochipVendorId, board->productId()));
    defaultBench->plugged.push_back(true);
    defaultBench->boards.push_back({std::move(desc), board.get()});
    defaultBench->owned.push_back(std::move(board));
}

std::optional<std::pair<std::filesystem::file_time_type, std::uintmax_t>> stampOf(const std::string &file) {
    std::error_code ec;
    const auto time = std::filesystem::last_write_time(file, ec);
    if (ec) return std::nullopt;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec) return std::nullopt;
    return std::make_pair(time, size);
}

bool sameDesc(const BoardDesc &a, const BoardDesc &b) {
    return a.vcc == b.vcc && a.temperatures == b.temperatures && a.latencyMs == b.latencyMs &&
           a.replyBytes == b.replyBytes && a.hangAfter == b.hangAfter && a.stuckEeprom == b.stuckEeprom &&
           a.paceMs == b.paceMs && a.padTo == b.padTo && a.replay == b.replay && a.module == b.module && a.modulePort == b.modulePort &&
           a.moduleState == b.moduleState && a.moduleInReset == b.moduleInReset && a.moduleAlarms == b.moduleAlarms;
}

// Before each device list: when the bench file changed, its boards are the
// bench. A board whose line went is unplugged (its firmware state kept);
// one whose line comes back is plugged back where it was; a new line plugs
// a new board after the others; a line whose settings changed changes its
// board at once (module-state=fault, say).
void followBenchFile() {
    DefaultBench &bench = *defaultBench;
    const auto stamp = stampOf(bench.benchFile);
    if (stamp == bench.stamp) return;
    bench.stamp = stamp;
    std::string text;
    std::vector<BoardDesc> wanted;
    try {
        if (!readFile(bench.benchFile, text)) throw BenchFileError(std::strerror(errno));
        wanted = parseBench(text);
    } catch (const BenchFileError &e) {
        note("bench file " + bench.benchFile + " changed, " + e.what() + "; the boards stay as they were");
        return;
    }
    std::vector<bool> kept(bench.boards.size(), false);
    for (BoardDesc &desc : wanted) {
        std::size_t at = 0;
        while (at < bench.boards.size() &&
               (kept[at] || bench.boards[at].desc.type != desc.type || bench.boards[at].desc.serial != desc.serial))
            ++at;
        if (at == bench.boards.size()) {
            addBoard(std::move(desc));
            bench.loaded.emplace_back();  // written at exit whatever it holds
            kept.push_back(true);
            continue;
        }
        kept[at] = true;
        if (!sameDesc(bench.boards[at].desc, desc)) {
            describe(*bench.boards[at].board, desc);
            bench.boards[at].desc = std::move(desc);
        }
        if (!bench.plugged[at]) hostwin::restoreInterface(bench.interfaces[at]);
        bench.plugged[at] = true;
    }
    for (std::size_t at = 0; at < kept.size(); ++at) {
        if (kept[at] || !bench.plugged[at]) continue;
        hostwin::removeInterface(bench.interfaces[at]);
        bench.plugged[at] = false;
    }
}

}  // namespace

void setUpDefaultBench() {
    if (defaultBench != nullptr) return;
    defaultBench = new DefaultBench;
    for (BoardDesc &desc : benchBoards()) addBoard(std::move(desc));
    const char *file = std::getenv(kBenchFileVariable);
    if (file != nullptr && *file != '\0') {
        defaultBench->benchFile = file;
        defaultBench->stamp = stampOf(file);
        hostwin::setListHook(&followBenchFile);
    }
    if (defaultBench->boards.empty()) return;  // nothing to keep, and the last good state stays
    defaultBench->statePath = stateFilePath();
    const char *named = std::getenv(kStateFileVariable);
    defaultBench->createFolder = named == nullptr || *named == '\0';
    if (defaultBench->statePath.empty()) {
        note(std::string("neither ") + kStateFileVariable + " nor HOME is set; the boards' state is not kept");
        return;
    }
    // A board is written at exit only when its section differs from this.
    for (std::size_t position = 0; position < defaultBench->boards.size(); ++position)
        defaultBench->loaded.push_back(boardStateText(position, defaultBench->boards[position]));
    loadState(*defaultBench);
    for (std::size_t position = 0; position < defaultBench->boards.size(); ++position) {
        if (!defaultBench->loaded[position].empty())
            defaultBench->loaded[position] = boardStateText(position, defaultBench->boards[position]);
    }
    std::atexit(saveState);
}

namespace {
// Registers the default bench when the virtual Windows library is loaded.
struct Registration {
    Registration() { hostwin::setDefaultSetup(&setUpDefaultBench); }
} registration;
}  // namespace

}  // namespace vboard
