// wine_test.cpp - end-to-end test of brevant.dll on Wine's SetupAPI, registry
// and file I/O, against virtual boards that brevant_board_server serves over
// pseudo-terminals.
//
// Usage: brevant_wine_test CONTROL [owe|first|victim|loop MS a|b]
//   CONTROL is the server's control terminal as a Windows path. With a mode
//   it runs as a child of the cross-process cases. The server
//   serves 0:AB000001, 1:CD000002 and 1:EF000003, registered in that order,
//   so SetupAPI lists them at device indices 0, 1 and 2.
//
// The board server hands each reply to exactly one read, as a USB pipe does,
// once this program has set its read pipes to return what has come (see
// usb_pipes.h). Replies of every length are the host tests' job: here every
// board answers in full or not at all.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "brevant.h"
#include "interfaces.h"
#include "usb_pipes.h"

namespace {

int failures = 0;
const char *section = "";

#define CHECK(condition)                                                                  \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            ++failures;                                                                   \
            std::printf("FAILED [%s] line %d: %s\n", section, __LINE__, #condition);      \
        }                                                                                 \
    } while (0)

double nowMs() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The board server's control terminal: one command line out, one line back.
class Bench {
   public:
    explicit Bench(const char *path) {
        handle_ = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    }
    ~Bench() {
        if (ok()) CloseHandle(handle_);
    }
    bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }

    std::string command(const std::string &line) {
        const std::string out = line + "\n";
        DWORD done = 0;
        if (!WriteFile(handle_, out.data(), static_cast<DWORD>(out.size()), &done, nullptr)) {
            return "error write";
        }
        std::string answer;
        char c = 0;
        while (ReadFile(handle_, &c, 1, &done, nullptr) && done == 1 && c != '\n') answer += c;
        return answer;
    }

    // The value of `key` in the board's "state" answer.
    std::string state(const std::string &serial, const std::string &key) {
        const std::string answer = " " + command("state " + serial) + " ";
        const std::size_t at = answer.find(" " + key + "=");
        if (at == std::string::npos) return "?";
        const std::size_t from = at + key.size() + 2;
        return answer.substr(from, answer.find(' ', from) - from);
    }

   private:
    HANDLE handle_;
};

const int kAny = 7;  // a board type that lists every device of the driver

void enumeration() {
    section = "enumeration";
    uint16_t indices[VESKCFP2_MAX_DEVICES];
    uint8_t first[2 * VESKCFP2_MAX_DEVICES];

    std::memset(first, 0xEE, sizeof first);
    CHECK(veskcfp2_enumerateDevices(VESKCFP2_BOARD_8248, indices, first) == 1);
    CHECK(indices[0] == 0);
    CHECK(first[0] == 'A');
    CHECK(first[1] == 0xEE);  // odd bytes are never written

    std::memset(first, 0xEE, sizeof first);
    CHECK(veskcfp2_enumerateDevices(VESKCFP2_BOARD_8348, indices, first) == 2);
    CHECK(indices[0] == 1 && indices[1] == 2);
    CHECK(first[0] == 'C' && first[2] == 'E');
    CHECK(first[1] == 0xEE && first[3] == 0xEE);

    CHECK(veskcfp2_enumerateDevices(kAny, nullptr, nullptr) == 3);
    CHECK(veskcfp2_enumerateDevices(VESKCFP2_BOARD_8348, nullptr, nullptr) == 2);
}

void connection() {
    section = "connection";
    uint8_t reply[20];

    CFP2INSTANCE *type0 = veskcfp2_createInstance(VESKCFP2_BOARD_8248, 0);
    CHECK(veskcfp2_connect(type0) == 1);
    std::memset(reply, 0, sizeof reply);
    CHECK(veskcfp2_ping(type0, reply) == VESKCFP2_CMD_OK);
    CHECK(std::memcmp(reply, "VESK CFP2 8248", 14) == 0);
    CHECK(veskcfp2_disconnect(type0) == 1);
    CHECK(veskcfp2_ping(type0, reply) == VESKCFP2_CMD_FAILED);
    veskcfp2_destroyInstance(type0);

    CFP2INSTANCE *type1 = veskcfp2_createInstance(VESKCFP2_BOARD_8348, 2);
    CHECK(veskcfp2_connect(type1) == 1);
    CHECK(veskcfp2_connect(type1) == 1);  // reconnecting reopens the pipes
    std::memset(reply, 0, sizeof reply);
    CHECK(veskcfp2_ping(type1, reply) == VESKCFP2_CMD_OK);
    CHECK(std::memcmp(reply, "VESK CFP2 8348", 14) == 0);
    CHECK(veskcfp2_disconnect(type1) == 1);
    veskcfp2_destroyInstance(type1);

    // Device index 0 holds a type-0 board: no type-1 board there.
    CFP2INSTANCE *wrongType = veskcfp2_createInstance(VESKCFP2_BOARD_8348, 0);
    CHECK(veskcfp2_connect(wrongType) == 0);
    CHECK(veskcfp2_ping(wrongType, reply) == VESKCFP2_CMD_FAILED);
    veskcfp2_destroyInstance(wrongType);

    CFP2INSTANCE *nothing = veskcfp2_createInstance(VESKCFP2_BOARD_8348, 3);
    CHECK(veskcfp2_connect(nothing) == 0);
    veskcfp2_destroyInstance(nothing);
}

void boardCommands(Bench &bench) {
    section = "board commands";
    const char *serial = "CD000002";
    CFP2INSTANCE *board = veskcfp2_createInstance(VESKCFP2_BOARD_8348, 1);
    CHECK(veskcfp2_connect(board) == 1);

    uint8_t byte = 0;
    CHECK(veskcfp2_setPort(board, 5, 0xA5) == VESKCFP2_CMD_OK);
    CHECK(veskcfp2_getPort(board, 5, &byte) == VESKCFP2_CMD_OK && byte == 0xA5);

    CHECK(veskcfp2_setPort(board, 3, 0x11) == VESKCFP2_CMD_OK);
    CHECK(veskcfp2_p3v3_FTDIEnable(board, 1) == VESKCFP2_CMD_OK);
    CHECK(veskcfp2_getPort(board, 3, &byte) == VESKCFP2_CMD_OK && byte == 0x91);
    CHECK(veskcfp2_p3v3_FTDIEnable(board, 0) == VESKCFP2_CMD_OK);
    CHECK(veskcfp2_getPort(board, 3, &byte) == VESKCFP2_CMD_OK && byte == 0x11);

    CHECK(veskcfp2_setVendorIO(board, 0x5A) == VESKCFP2_CMD_OK);
    CHECK(veskcfp2_setPower(board, 3) == VESKCFP2_CMD_OK);
    CHECK(veskcfp2_enableCurrentSense(board, 0x1234, 7) == VESKCFP2_CMD_OK);
    CHECK(veskcfp2_resetMCU(board) == VESKCFP2_CMD_OK);
    CHECK(veskcfp2_resetMCUBoot(board) == VESKCFP2_CMD_OK);
    CHECK(bench.state(serial, "vendorio") == "90");
    CHECK(bench.state(serial, "power") == "3");
    CHECK(bench.state(serial, "sense") == "7:4660");
    CHECK(bench.state(serial, "resets") == "1");
    CHECK(bench.state(serial, "bootresets") == "1");

    byte = 0xEE;
    CHECK(veskcfp2_getCurrentSense(board, 7, &byte) == VESKCFP2_CMD_OK && byte == 0);
    uint16_t word = 0;
    CHECK(veskcfp2_currentMonitor(board, &word) == VESKCFP2_CMD_OK && word == 0x0123);

    CHECK(veskcfp2_setMDIO(board, 2, 0xB000, 0xBEEF) == VESKCFP2_CMD_OK);
    CHECK(veskcfp2_getMDIO(board, 2, 0xB000, &word) == VESKCFP2_CMD_OK && word == 0xBEEF);
    CHECK(veskcfp2_getMDIO(board, 1, 0xB000, &word) == VESKCFP2_CMD_OK && word == 0);

    double value = 0;
    CHECK(veskcfp2_getVCC(board, &value) == VESKCFP2_CMD_OK && value == 3.3125);
    CHECK(veskcfp2_getTemperature(board, 0, &value) == VESKCFP2_CMD_OK && value == 25.25);
    CHECK(veskcfp2_disconnect(board) == 1);
    veskcfp2_destroyInstance(board);

    // Type-1 features on a type-0 board: refused without I/O.
    CFP2INSTANCE *type0 = veskcfp2_createInstance(VESKCFP2_BOARD_8248, 0);
    CHECK(veskcfp2_connect(type0) == 1);
    const std::string before = bench.state("AB000001", "reports");
    value = -1;
    CHECK(veskcfp2_getVCC(type0, &value) == VESKCFP2_CMD_FAILED && value == -1);
    CHECK(veskcfp2_getTemperature(type0, 0, &value) == VESKCFP2_CMD_FAILED && value == -1);
    CHECK(veskcfp2_setPower(type0, 1) == VESKCFP2_CMD_FAILED);
    CHECK(veskcfp2_p3v3_FTDIEnable(type0, 1) == VESKCFP2_CMD_FAILED);
    CHECK(bench.state("AB000001", "reports") == before);
    CHECK(veskcfp2_getMDIO(type0, 0, 1, &word) == VESKCFP2_CMD_OK);
    CHECK(veskcfp2_disconnect(type0) == 1);
    veskcfp2_destroyInstance(type0);
}

void eepromAndSerial() {
    section = "EEPROM and serial number";
    CFP2INSTANCE *board = veskcfp2_createInstance(VESKCFP2_BOARD_8348, 1);
    CHECK(veskcfp2_connect(board) == 1);

    uint8_t byte = 0;
    CHECK(veskcfp2_eepromWrite(board, 0x1ABCD, 0x42) == VESKCFP2_CMD_OK);
    CHECK(veskcfp2_eepromRead(board, 0x1ABCD, &byte) == VESKCFP2_CMD_OK && byte == 0x42);
    CHECK(veskcfp2_eepromRead(board, 0x0ABCD, &byte) == VESKCFP2_CMD_OK && byte == 0xFF);
    // Addresses are cut to 17 bits.
    CHECK(veskcfp2_eepromRead(board, 0x7FFABCD, &byte) == VESKCFP2_CMD_OK && byte == 0x42);

    uint8_t serial[8];
    CHECK(veskcfp2_getSN(board, serial) == 1);
    CHECK(std::memcmp(serial, "CD000002", 8) == 0);
    CHECK(veskcfp2_setSN(board, reinterpret_cast<const uint8_t *>("NEW42"), 5) == 1);
    CHECK(veskcfp2_getSN(board, serial) == 1);
    CHECK(std::memcmp(serial, "NEW42   ", 8) == 0);
    CHECK(veskcfp2_setSN(board, reinterpret_cast<const uint8_t *>("TOOLONG99"), 9) == 0);
    CHECK(veskcfp2_getSN(board, serial) == 1 && std::memcmp(serial, "NEW42   ", 8) == 0);
    CHECK(veskcfp2_disconnect(board) == 1);
    veskcfp2_destroyInstance(board);

    // Enumeration reads the new first character.
    uint16_t indices[VESKCFP2_MAX_DEVICES];
    uint8_t first[2 * VESKCFP2_MAX_DEVICES];
    CHECK(veskcfp2_enumerateDevices(VESKCFP2_BOARD_8348, indices, first) == 2);
    CHECK(first[0] == 'N' && first[2] == 'E');
}

// Two boards connected at once: each command reaches its own board only.
void twoBoards() {
    section = "two boards";
    CFP2INSTANCE *a = veskcfp2_createInstance(VESKCFP2_BOARD_8348, 1);
    CFP2INSTANCE *b = veskcfp2_createInstance(VESKCFP2_BOARD_8348, 2);
    CHECK(veskcfp2_connect(a) == 1 && veskcfp2_connect(b) == 1);
    CHECK(veskcfp2_setMDIO(a, 4, 0x0100, 0xAAAA) == VESKCFP2_CMD_OK);
    CHECK(veskcfp2_setMDIO(b, 4, 0x0100, 0xBBBB) == VESKCFP2_CMD_OK);
    uint16_t wordA = 0, wordB = 0;
    CHECK(veskcfp2_getMDIO(b, 4, 0x0100, &wordB) == VESKCFP2_CMD_OK && wordB == 0xBBBB);
    CHECK(veskcfp2_getMDIO(a, 4, 0x0100, &wordA) == VESKCFP2_CMD_OK && wordA == 0xAAAA);
    uint8_t serialA[8], serialB[8];
    CHECK(veskcfp2_getSN(a, serialA) == 1 && veskcfp2_getSN(b, serialB) == 1);
    CHECK(std::memcmp(serialB, "EF000003", 8) == 0);
    CHECK(std::memcmp(serialA, serialB, 8) != 0);
    // Enumeration probes boards that are connected elsewhere.
    uint16_t indices[VESKCFP2_MAX_DEVICES];
    uint8_t first[2 * VESKCFP2_MAX_DEVICES];
    CHECK(veskcfp2_enumerateDevices(VESKCFP2_BOARD_8348, indices, first) == 2);
    CHECK(first[2] == 'E');
    CHECK(veskcfp2_getMDIO(a, 4, 0x0100, &wordA) == VESKCFP2_CMD_OK && wordA == 0xAAAA);
    CHECK(veskcfp2_disconnect(a) == 1 && veskcfp2_disconnect(b) == 1);
    veskcfp2_destroyInstance(a);
    veskcfp2_destroyInstance(b);
}

// A board that answers one query after its read gave up: that reply must
// never pass for the answer to a later query.
void lateReply(Bench &bench) {
    section = "late reply";
    const char *lateOnce = "late CD000002 150";
    CFP2INSTANCE *board = veskcfp2_createInstance(VESKCFP2_BOARD_8348, 1);
    CHECK(veskcfp2_connect(board) == 1);
    CHECK(veskcfp2_setPort(board, 3, 0x12) == VESKCFP2_CMD_OK);
    CHECK(veskcfp2_setPort(board, 5, 0x7F) == VESKCFP2_CMD_OK);

    double value = 0;
    CHECK(bench.command(lateOnce) == "ok");
    CHECK(veskcfp2_getVCC(board, &value) == VESKCFP2_CMD_FAILED);
    const double start = nowMs();
    CHECK(veskcfp2_getTemperature(board, 0, &value) == VESKCFP2_CMD_OK);
    std::printf("late reply: the next query collected it and answered in %.1f ms\n",
                nowMs() - start);
    CHECK(value == 25.25);  // not the supply voltage's 3.3125
    uint8_t byte = 0;
    CHECK(veskcfp2_getPort(board, 3, &byte) == VESKCFP2_CMD_OK && byte == 0x12);

    CHECK(bench.command(lateOnce) == "ok");
    CHECK(veskcfp2_eepromRead(board, 0x100, &byte) == VESKCFP2_CMD_FAILED);
    uint8_t serial[8];
    CHECK(veskcfp2_getSN(board, serial) == 1);
    CHECK(std::memcmp(serial, "NEW42   ", 8) == 0);

    CHECK(bench.command(lateOnce) == "ok");
    CHECK(veskcfp2_getPort(board, 5, &byte) == VESKCFP2_CMD_FAILED);
    CHECK(veskcfp2_p3v3_FTDIEnable(board, 1) == VESKCFP2_CMD_OK);
    CHECK(veskcfp2_getPort(board, 3, &byte) == VESKCFP2_CMD_OK && byte == 0x92);
    CHECK(veskcfp2_disconnect(board) == 1);
    veskcfp2_destroyInstance(board);
}

// Instances and probes of one board in one process, after a late reply: the
// owed reply is the board's, whoever talks to it next.
void oneBoardManyAskers(Bench &bench) {
    section = "one board, many askers";
    const char *lateOnce = "late CD000002 150";
    CFP2INSTANCE *a = veskcfp2_createInstance(VESKCFP2_BOARD_8348, 1);
    CFP2INSTANCE *b = veskcfp2_createInstance(VESKCFP2_BOARD_8348, 1);
    // The first connect of the board in this process drains its endpoint;
    // the second finds the board open already.
    double start = nowMs();
    CHECK(veskcfp2_connect(a) == 1);
    const double drained = nowMs() - start;
    start = nowMs();
    CHECK(veskcfp2_connect(b) == 1);
    std::printf("one board, many askers: connect %.1f ms with the drain, %.1f ms on a board open already\n",
                drained, nowMs() - start);
    double value = 0;

    // A second instance asks next.
    CHECK(bench.command(lateOnce) == "ok");
    CHECK(veskcfp2_getVCC(a, &value) == VESKCFP2_CMD_FAILED);
    CHECK(veskcfp2_getTemperature(b, 0, &value) == VESKCFP2_CMD_OK);
    CHECK(value == 25.25);  // not the supply voltage's 3.3125

    // An enumeration probe asks next.
    CHECK(bench.command(lateOnce) == "ok");
    CHECK(veskcfp2_getVCC(a, &value) == VESKCFP2_CMD_FAILED);
    uint16_t indices[VESKCFP2_MAX_DEVICES];
    uint8_t first[2 * VESKCFP2_MAX_DEVICES];
    start = nowMs();
    CHECK(veskcfp2_enumerateDevices(VESKCFP2_BOARD_8348, indices, first) == 2);
    std::printf("one board, many askers: enumeration of 2 boards, one of them open, %.1f ms\n",
                nowMs() - start);
    CHECK(first[0] == 'N');  // the serial's first character, not a voltage byte

    // A fresh instance once both have disconnected.
    CHECK(bench.command(lateOnce) == "ok");
    CHECK(veskcfp2_getVCC(a, &value) == VESKCFP2_CMD_FAILED);
    CHECK(veskcfp2_disconnect(a) == 1 && veskcfp2_disconnect(b) == 1);
    veskcfp2_destroyInstance(a);
    veskcfp2_destroyInstance(b);
    CFP2INSTANCE *fresh = veskcfp2_createInstance(VESKCFP2_BOARD_8348, 1);
    CHECK(veskcfp2_connect(fresh) == 1);
    CHECK(veskcfp2_getTemperature(fresh, 0, &value) == VESKCFP2_CMD_OK);
    CHECK(value == 25.25);
    CHECK(veskcfp2_disconnect(fresh) == 1);
    veskcfp2_destroyInstance(fresh);
    start = nowMs();
    CHECK(veskcfp2_enumerateDevices(VESKCFP2_BOARD_8348, indices, first) == 2);
    std::printf("one board, many askers: enumeration of 2 boards, none open (each drained), %.1f ms\n",
                nowMs() - start);
}

// Starts this program again with `mode`; the process, or null.
HANDLE startChild(const char *control, const char *mode) {
    char self[MAX_PATH];
    if (GetModuleFileNameA(nullptr, self, sizeof self) == 0) return nullptr;
    std::string line = std::string("\"") + self + "\" \"" + control + "\" " + mode;
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Waits for a child started above (killing it past 30 s); its exit code, or -1.
int endChild(HANDLE process) {
    if (process == nullptr) return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process, 30000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process, &code);
    } else {
        TerminateProcess(process, 99);
        WaitForSingleObject(process, 5000);
    }
    CloseHandle(process);
    return static_cast<int>(code);
}

int runChild(const char *control, const char *mode) { return endChild(startChild(control, mode)); }

// Queries with known answers on board CD000002, two sets that share no
// answer: every reply that passed for another query's shows as a wrong value.
struct KnownAnswers {
    std::uint8_t ports[2];
    std::uint8_t portValues[2];
    std::uint8_t mdioPort;
    std::uint16_t registers[2];
    std::uint16_t registerValues[2];
    bool temperature;  // else the supply voltage
};
const KnownAnswers kSetA{{0x20, 0x21}, {0xA0, 0xA1}, 6, {0xA000, 0xA001}, {0xA6A6, 0xA6A7}, true};
const KnownAnswers kSetB{{0x30, 0x31}, {0xB0, 0xB1}, 7, {0xB000, 0xB001}, {0xB7B7, 0xB7B8}, false};

void presetAnswers(CFP2INSTANCE *board, const KnownAnswers &set) {
    for (int i = 0; i < 2; ++i) {
        CHECK(veskcfp2_setPort(board, set.ports[i], set.portValues[i]) == VESKCFP2_CMD_OK);
        CHECK(veskcfp2_setMDIO(board, set.mdioPort, set.registers[i], set.registerValues[i]) ==
              VESKCFP2_CMD_OK);
    }
}

struct Tally {
    unsigned ok = 0, failed = 0, wrong = 0;
    bool lastOk = false;
    void count(int result, bool right) {
        lastOk = result == VESKCFP2_CMD_OK && right;
        if (result != VESKCFP2_CMD_OK) {
            ++failed;
        } else if (right) {
            ++ok;
        } else {
            ++wrong;
        }
    }
};

// The n-th query of a set, graded against its known answer.
void askKnown(CFP2INSTANCE *board, const KnownAnswers &set, unsigned n, Tally &tally) {
    uint8_t byte = 0;
    uint16_t word = 0;
    double value = 0;
    uint8_t reply[20];
    int result;
    switch (n % 6) {
        case 0:
        case 1:
            result = veskcfp2_getPort(board, set.ports[n % 2], &byte);
            tally.count(result, byte == set.portValues[n % 2]);
            break;
        case 2:
        case 3:
            result = veskcfp2_getMDIO(board, set.mdioPort, set.registers[n % 2], &word);
            tally.count(result, word == set.registerValues[n % 2]);
            break;
        case 4:
            std::memset(reply, 0, sizeof reply);
            result = veskcfp2_ping(board, reply);
            tally.count(result, std::memcmp(reply, "VESK CFP2 8348", 14) == 0);
            break;
        default:
            if (set.temperature) {
                result = veskcfp2_getTemperature(board, 0, &value);
                tally.count(result, value == 25.25);
            } else {
                result = veskcfp2_getVCC(board, &value);
                tally.count(result, value == 3.3125);
            }
    }
}

// One line to standard output in one write: processes print side by side.
void printLine(const char *format, ...) {
    char line[256];
    va_list arguments;
    va_start(arguments, format);
    const int n = std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    DWORD written = 0;
    if (n > 0) WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
}

// The child processes of the cross-process cases. "owe": a query that times
// out, then the process exits with the reply still owed. "first": a new
// process's first query must get its own answer. "loop MS a|b": the set's
// queries for MS milliseconds, counted; it fails on any wrong answer, on no
// right one, or when its last query was not answered right. "victim": reads
// the current monitor until it is killed.
int childMain(int argc, char **argv) {
    const char *mode = argv[2];
    CFP2INSTANCE *board = veskcfp2_createInstance(VESKCFP2_BOARD_8348, 1);
    if (veskcfp2_connect(board) != 1) return 10;
    double value = 0;
    if (std::strcmp(mode, "loop") == 0 && argc == 5) {
        const double length = std::atof(argv[3]);
        const KnownAnswers &set = argv[4][0] == 'a' ? kSetA : kSetB;
        Tally tally;
        const double start = nowMs();
        unsigned n = 0;
        while (nowMs() - start < length) askKnown(board, set, n++, tally);
        printLine("process %c: %u queries in %.0f ms (%.0f/s): %u answered right, %u failed, %u wrong\n",
                    argv[4][0], n, nowMs() - start, 1000.0 * n / (nowMs() - start), tally.ok, tally.failed,
                    tally.wrong);
        veskcfp2_disconnect(board);
        veskcfp2_destroyInstance(board);
        return tally.wrong == 0 && tally.ok > 0 && tally.lastOk ? 0 : 14;
    }
    if (std::strcmp(mode, "victim") == 0) {
        uint16_t word = 0;
        for (;;) veskcfp2_currentMonitor(board, &word);
    }
    if (std::strcmp(mode, "owe") == 0) {
        return veskcfp2_getVCC(board, &value) == VESKCFP2_CMD_FAILED ? 0 : 11;
    }
    if (veskcfp2_getTemperature(board, 0, &value) != VESKCFP2_CMD_OK) return 12;
    if (value != 25.25) {
        std::printf("first query of a new process read %.4f\n", value);
        return 13;
    }
    veskcfp2_disconnect(board);
    veskcfp2_destroyInstance(board);
    return 0;
}

// A process that gave up on a query and exited leaves the reply in the
// board's endpoint: the next process drains it before its first query.
void nextProcess(Bench &bench, const char *control) {
    section = "next process";
    CHECK(bench.command("late CD000002 150") == "ok");
    CHECK(runChild(control, "owe") == 0);
    Sleep(200);  // the late reply has reached the endpoint by now
    CHECK(runChild(control, "first") == 0);
}

// Two processes query one board at once, each with answers of its own.
void twoProcesses(const char *control) {
    section = "two processes, one board";
    CFP2INSTANCE *board = veskcfp2_createInstance(VESKCFP2_BOARD_8348, 1);
    CHECK(veskcfp2_connect(board) == 1);
    presetAnswers(board, kSetA);
    presetAnswers(board, kSetB);
    CHECK(veskcfp2_disconnect(board) == 1);
    veskcfp2_destroyInstance(board);

    HANDLE a = startChild(control, "loop 3000 a");
    HANDLE b = startChild(control, "loop 3000 b");
    CHECK(endChild(a) == 0);
    CHECK(endChild(b) == 0);
}

// A process killed in the middle of an exchange (its query's reply held
// back, its read waiting) leaves the board's turn abandoned, with its reply
// still to come: the other process must not take that reply for its own.
void killedMidExchange(Bench &bench, const char *control) {
    section = "process killed mid-exchange";
    HANDLE survivor = startChild(control, "loop 3000 a");
    bool heldWhenKilled = false;
    // Up to five tries: the kill must land while the victim's reply is held
    // (the hold must end within the other process's read, or a missing
    // resync would go unseen, so it is short).
    for (int attempt = 0; attempt < 5 && !heldWhenKilled; ++attempt) {
        HANDLE victim = startChild(control, "victim");
        Sleep(300);  // both on the board
        // The victim's next current-monitor reply comes 60 ms late.
        CHECK(bench.command("late CD000002 60 f0:0b") == "ok");
        const double start = nowMs();
        while (bench.state("CD000002", "queued") == "0" && nowMs() - start < 2000) {
        }
        TerminateProcess(victim, 9);
        // Still held: the victim died waiting for it, in its exchange.
        heldWhenKilled = bench.state("CD000002", "queued") != "0";
        WaitForSingleObject(victim, 5000);
        CloseHandle(victim);
        Sleep(100);  // the held reply has gone out by now
    }
    std::printf("process killed mid-exchange: %s\n",
                heldWhenKilled ? "killed while its reply was held" : "never caught mid-exchange");
    CHECK(heldWhenKilled);
    CHECK(endChild(survivor) == 0);
}

void silentBoard(Bench &bench) {
    section = "silent board";
    CFP2INSTANCE *board = veskcfp2_createInstance(VESKCFP2_BOARD_8348, 2);
    CHECK(veskcfp2_connect(board) == 1);
    CHECK(bench.command("silent EF000003 1") == "ok");

    uint8_t reply[20];
    const double start = nowMs();
    CHECK(veskcfp2_ping(board, reply) == VESKCFP2_CMD_FAILED);
    const double waited = nowMs() - start;
    std::printf("silent board: the ping failed after %.1f ms\n", waited);
    CHECK(waited >= 90 && waited < 1000);
    uint16_t word = 0;
    CHECK(veskcfp2_currentMonitor(board, &word) == VESKCFP2_CMD_FAILED);

    // The pipes stay open: the board answers again without a new connect.
    // The pings it never answered while silent are waited for until they are
    // taken as lost (3 s of waiting on the board); no answer before that is
    // another query's. What that costs is printed beside a usual query.
    CHECK(bench.command("silent EF000003 0") == "ok");
    std::memset(reply, 0, sizeof reply);
    double begin = nowMs();
    int tries = 1;
    while (veskcfp2_ping(board, reply) != VESKCFP2_CMD_OK && tries < 60) ++tries;
    const double recovered = nowMs() - begin;
    CHECK(tries < 60);
    CHECK(std::memcmp(reply, "VESK CFP2 8348", 14) == 0);
    begin = nowMs();
    for (int i = 0; i < 50; ++i) CHECK(veskcfp2_ping(board, reply) == VESKCFP2_CMD_OK);
    std::printf("silent board: answering again took %.1f ms (%d queries), a usual query %.2f ms\n", recovered, tries,
                (nowMs() - begin) / 50);
    // A query that timed out on a board that answers otherwise: the next
    // query's resync collects its reply with its own ping's.
    CHECK(bench.command("late EF000003 150") == "ok");
    CHECK(veskcfp2_currentMonitor(board, &word) == VESKCFP2_CMD_FAILED);
    begin = nowMs();
    CHECK(veskcfp2_currentMonitor(board, &word) == VESKCFP2_CMD_OK && word == 0x0123);
    std::printf("silent board: the first query after another timed-out query took %.1f ms\n",
                nowMs() - begin);
    CHECK(veskcfp2_currentMonitor(board, &word) == VESKCFP2_CMD_OK && word == 0x0123);
    CHECK(veskcfp2_disconnect(board) == 1);
    veskcfp2_destroyInstance(board);
}

void vanishedBoard(Bench &bench) {
    section = "vanished board";
    CFP2INSTANCE *board = veskcfp2_createInstance(VESKCFP2_BOARD_8248, 0);
    CHECK(veskcfp2_connect(board) == 1);
    uint8_t reply[20];
    CHECK(veskcfp2_ping(board, reply) == VESKCFP2_CMD_OK);

    // Unplugged: the endpoint goes away and Windows no longer lists it.
    CHECK(bench.command("vanish AB000001") == "ok");
    CHECK(wine_bench::setLinked(0x8248, "AB000001", false).empty());

    double start = nowMs();
    CHECK(veskcfp2_ping(board, reply) == VESKCFP2_CMD_FAILED);
    const DWORD error = GetLastError();  // the failed transfer's system error
    CHECK(veskcfp2_setPort(board, 1, 1) == VESKCFP2_CMD_FAILED);
    std::printf("vanished board: two commands failed in %.1f ms (system error %lu)\n",
                nowMs() - start, error);
    CHECK(nowMs() - start < 1000);
    CHECK(veskcfp2_connect(board) == 0);
    start = nowMs();
    CHECK(veskcfp2_ping(board, reply) == VESKCFP2_CMD_FAILED);
    CHECK(nowMs() - start < 50);  // no pipes: fails before any I/O
    veskcfp2_disconnect(board);
    veskcfp2_destroyInstance(board);

    // The remaining boards move up the list.
    uint16_t indices[VESKCFP2_MAX_DEVICES];
    uint8_t first[2 * VESKCFP2_MAX_DEVICES];
    CHECK(veskcfp2_enumerateDevices(VESKCFP2_BOARD_8248, indices, first) == 0);
    CHECK(veskcfp2_enumerateDevices(VESKCFP2_BOARD_8348, indices, first) == 2);
    CHECK(indices[0] == 0 && indices[1] == 1);
    CHECK(veskcfp2_enumerateDevices(kAny, nullptr, nullptr) == 2);
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string pipes = wine_bench::readPipesAsUsb("brevant.dll");
    if (!pipes.empty()) {
        std::printf("cannot make the board endpoints read as USB pipes: %s\n", pipes.c_str());
        return 1;
    }
    if (argc >= 3) return childMain(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CONTROL\n", argv[0]);
        return 2;
    }
    Bench bench(argv[1]);
    if (!bench.ok()) {
        std::printf("cannot open the board server's control terminal %s (error %lu)\n", argv[1],
                    GetLastError());
        return 1;
    }
    enumeration();
    connection();
    boardCommands(bench);
    eepromAndSerial();
    twoBoards();
    lateReply(bench);
    oneBoardManyAskers(bench);
    nextProcess(bench, argv[1]);
    twoProcesses(argv[1]);
    killedMidExchange(bench, argv[1]);
    silentBoard(bench);
    vanishedBoard(bench);
    std::printf("%s: %d failure(s)\n", failures == 0 ? "passed" : "FAILED", failures);
    return failures == 0 ? 0 : 1;
}
