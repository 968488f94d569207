// brevant_fuzz.cpp - libFuzzer target: each input is a little program that
// plugs up to four boards into a fresh virtual bench and then runs a random
// sequence of steps: the exports with random arguments, and bench events
// (slow, late, short, oversize, silent or scripted replies, unplugging and
// replugging, endpoints that do not open, failing system calls, time
// passing). After every step it checks what must always hold:
//   - results are 0, 1 or 2, booleans 0 or 1, counts within the boards present;
//   - an instance whose pipes are not both open (never connected, a failed
//     connect, a disconnect, or pipes dropped after an invalid handle) fails
//     every command without a single system call, as do type-1-only commands
//     on a type-0 instance, and null instances;
//   - open files never exceed two per live instance; no event, device list,
//     registry key or read is left open (apart from a list or key whose
//     release the system refused, and a cancelled read whose collection the
//     system refused);
//   - a value query graded CMD_OK (port, supply voltage, temperature, EEPROM
//     byte) carries the value the board it is connected to holds at that
//     moment: a reply that reached the wrong asker (an earlier query's late
//     reply, another instance's or a probe's) is a finding. Several slots
//     often hold instances of one board, and probes run between them.
//     However late a board answers (up to 2 s, many read timeouts), a late
//     reply may cost failures, never a wrong value. The oracle rests only
//     while injected faults may lie about a present board
//     (ERROR_INVALID_HANDLE: the library takes the board for gone and
//     forgets what it owes) or about a read (an ERROR_IO_PENDING for a read
//     never started), until the replies queued then are dropped.
// and at the end, after every instance is disconnected and destroyed, that
// nothing is open. AddressSanitizer and UndefinedBehaviorSanitizer watch
// every access and the heap.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <string>

#include "brevant.h"
#include "hostwin/platform.h"
#include "vboard/bench.h"

using hostwin::Fn;
using vboard::BoardState;

namespace {

// Hands out the input's bytes; zeros once it is used up.
class Input {
   public:
    Input(const std::uint8_t *data, std::size_t size) : p_(data), end_(data + size) {}
    bool done() const { return p_ == end_; }
    std::uint8_t byte() { return p_ != end_ ? *p_++ : 0; }
    std::uint16_t word() { return static_cast<std::uint16_t>(byte() | byte() << 8); }
    std::int32_t int32() { return static_cast<std::int32_t>(static_cast<std::uint32_t>(word()) << 16 | word()); }

   private:
    const std::uint8_t *p_;
    const std::uint8_t *end_;
};

[[noreturn]] void broken(const char *what, long long a = 0, long long b = 0) {
    std::fprintf(stderr, "invariant broken: %s (%lld, %lld)\n", what, a, b);
    std::abort();
}
void require(bool ok, const char *what, long long a = 0, long long b = 0) {
    if (!ok) broken(what, a, b);
}

constexpr Fn kFaultable[] = {
    Fn::SetupDiGetClassDevsA, Fn::SetupDiEnumDeviceInterfaces, Fn::SetupDiGetDeviceInterfaceDetailA,
    Fn::SetupDiDestroyDeviceInfoList, Fn::RegOpenKeyExA, Fn::RegQueryValueExA, Fn::RegCloseKey,
    Fn::CreateFileA, Fn::WriteFile, Fn::ReadFile, Fn::GetOverlappedResult, Fn::CancelIo,
    Fn::CloseHandle, Fn::CreateEventA, Fn::ResetEvent, Fn::WaitForSingleObject, Fn::CreateMutexA,
    Fn::WaitForMutex, Fn::CreateFileMappingA, Fn::MapViewOfFile};
constexpr DWORD kErrors[] = {ERROR_INVALID_HANDLE, ERROR_GEN_FAILURE, ERROR_HANDLE_EOF, ERROR_IO_PENDING,
                             ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_OPERATION_ABORTED};
constexpr unsigned kFns = static_cast<unsigned>(Fn::Count);

// Mirrors the platform's fault queues, so the harness knows which injected
// failures fired in a step.
class FaultModel {
   public:
    void add(Fn fn, unsigned count, unsigned skip) { queues_[index(fn)].push_back({skip, count}); }
    void clear() {
        for (auto &q : queues_) q.clear();
    }
    // Runs `calls` calls of `fn` through the queue; returns how many failed.
    unsigned fire(Fn fn, std::uint64_t calls) {
        std::deque<Pending> &q = queues_[index(fn)];
        unsigned fired = 0;
        for (; calls > 0 && !q.empty(); --calls) {
            Pending &f = q.front();
            if (f.skip > 0) {
                --f.skip;
                continue;
            }
            ++fired;
            if (--f.count == 0) q.pop_front();
        }
        return fired;
    }

   private:
    struct Pending {
        unsigned skip, count;
    };
    static unsigned index(Fn fn) { return static_cast<unsigned>(fn); }
    std::array<std::deque<Pending>, kFns> queues_;
};

using Calls = std::array<std::uint64_t, kFns>;
Calls callCounts() {
    Calls c{};
    for (unsigned i = 0; i < kFns; ++i) c[i] = hostwin::calls(static_cast<Fn>(i));
    return c;
}

struct Slot {
    CFP2INSTANCE *inst = nullptr;
    bool type1 = false;
    bool open = false;  // both pipes open, as far as the results told
    std::uint16_t index = 0;
    vboard::Board *board = nullptr;  // the board the last good connect reached
};

// What the last value query asked and what it gave back, for the oracle.
struct Seen {
    enum Kind { None, Port, Vcc, Temperature, Eeprom } kind = None;
    std::uint32_t key = 0;  // port, sensor or address
    double value = 0;
};
Seen seen;

// What a command export may return.
enum class Answers { Grade, NoReply, Boolean };

struct Command {
    Answers answers;
    bool type1Only;
    int (*run)(CFP2INSTANCE *, Input &);
};

// clang-format off
const Command kCommands[] = {
    {Answers::Grade, false, [](CFP2INSTANCE *i, Input &) { std::uint8_t r[20]; return veskcfp2_ping(i, r); }},
    {Answers::NoReply, false, [](CFP2INSTANCE *i, Input &) { return veskcfp2_resetMCU(i); }},
    {Answers::NoReply, false, [](CFP2INSTANCE *i, Input &) { return veskcfp2_resetMCUBoot(i); }},
    {Answers::NoReply, false, [](CFP2INSTANCE *i, Input &in) { const std::uint8_t p = in.byte(); return veskcfp2_setPort(i, p, in.byte()); }},
    {Answers::Grade, false, [](CFP2INSTANCE *i, Input &in) {
         std::uint8_t v = 0; const std::uint8_t p = in.byte(); const int r = veskcfp2_getPort(i, p, &v);
         seen = {Seen::Port, p, static_cast<double>(v)}; return r; }},
    {Answers::NoReply, false, [](CFP2INSTANCE *i, Input &in) { return veskcfp2_setVendorIO(i, in.byte()); }},
    // Its set step follows a query, so it answers like a command without reply.
    {Answers::NoReply, true, [](CFP2INSTANCE *i, Input &in) { return veskcfp2_p3v3_FTDIEnable(i, in.byte()); }},
    {Answers::NoReply, true, [](CFP2INSTANCE *i, Input &in) { return veskcfp2_setPower(i, in.byte()); }},
    {Answers::NoReply, false, [](CFP2INSTANCE *i, Input &in) { const std::uint16_t v = in.word(); return veskcfp2_enableCurrentSense(i, v, in.word()); }},
    {Answers::Grade, false, [](CFP2INSTANCE *i, Input &in) { std::uint8_t v; return veskcfp2_getCurrentSense(i, in.word(), &v); }},
    {Answers::Grade, false, [](CFP2INSTANCE *i, Input &) { std::uint16_t v; return veskcfp2_currentMonitor(i, &v); }},
    {Answers::NoReply, false, [](CFP2INSTANCE *i, Input &in) { const std::uint8_t p = in.byte(); const std::uint16_t r = in.word(); return veskcfp2_setMDIO(i, p, r, in.word()); }},
    {Answers::Grade, false, [](CFP2INSTANCE *i, Input &in) { std::uint16_t v; const std::uint8_t p = in.byte(); return veskcfp2_getMDIO(i, p, in.word(), &v); }},
    {Answers::Grade, true, [](CFP2INSTANCE *i, Input &) {
         double v = 1234.5; const int r = veskcfp2_getVCC(i, &v);
         require(v == 1234.5 || (v >= 0 && v < 256), "voltage untouched or in range");
         seen = {Seen::Vcc, 0, v}; return r; }},
    {Answers::Grade, true, [](CFP2INSTANCE *i, Input &in) {
         double v = 1234.5; const std::uint8_t sensor = in.byte(); const int r = veskcfp2_getTemperature(i, sensor, &v);
         require(v == 1234.5 || (v >= -128 && v < 128), "temperature untouched or in range");
         seen = {Seen::Temperature, sensor, v}; return r; }},
    {Answers::Grade, false, [](CFP2INSTANCE *i, Input &in) {
         std::uint8_t v = 0; const std::int32_t a = in.int32(); const int r = veskcfp2_eepromRead(i, a, &v);
         seen = {Seen::Eeprom, static_cast<std::uint32_t>(a) & 0x1FFFF, static_cast<double>(v)}; return r; }},
    {Answers::NoReply, false, [](CFP2INSTANCE *i, Input &in) { const std::int32_t a = in.int32(); return veskcfp2_eepromWrite(i, a, in.byte()); }},
    {Answers::Boolean, false, [](CFP2INSTANCE *i, Input &) -> int { std::uint8_t sn[8]; return veskcfp2_getSN(i, sn); }},
    {Answers::Boolean, false, [](CFP2INSTANCE *i, Input &in) -> int {
         std::uint8_t sn[8];
         for (std::uint8_t &c : sn) c = in.byte();
         return veskcfp2_setSN(i, sn, 1 + in.byte() % 8); }},
    {Answers::Boolean, false, [](CFP2INSTANCE *i, Input &in) -> int {
         const std::uint8_t sn[10] = {'L', 'E', 'N', 'G', 'T', 'H', 'S', '9', '1', '0'};
         const std::int32_t lengths[] = {0, -1, 9, 10, -2147483647 - 1};
         return veskcfp2_setSN(i, sn, lengths[in.byte() % 5]); }},
};
// clang-format on
constexpr unsigned kCommandCount = sizeof kCommands / sizeof kCommands[0];

class Run {
   public:
    explicit Run(Input &in) : in_(in) {}

    void plugBoards() {
        const unsigned n = in_.byte() % 5;
        for (unsigned b = 0; b < n; ++b) {
            std::string serial;
            for (int c = 0; c < 8; ++c) serial += "ABCDEFGHJKLMNPQRSTUVWXYZ23456789"[in_.byte() % 32];
            const std::uint8_t kind = in_.byte() % 5;
            vboard::Board &board =
                kind == 4 ? bench_.plugForeign(0x1234, 0x5678, serial) : bench_.plug(kind & 1, serial);
            // Values that differ from port to port, sensor to sensor and
            // board to board, so an answer given to the wrong query shows.
            BoardState &st = board.state();
            for (unsigned p = 0; p < st.ports.size(); ++p) st.ports[p] = static_cast<std::uint8_t>(p * 37 + b * 101 + 1);
            for (unsigned t = 0; t < 8; ++t) board.setTemperature(static_cast<std::uint8_t>(t), 20.0 + t + b * 10);
            board.setVcc(3.0 + b * 0.25);
        }
    }

    void step() {
        const Calls before = callCounts();
        const hostwin::OpenObjects openBefore = hostwin::openObjects();
        const std::uint64_t abandonedBefore = hostwin::abandonedIo();
        const std::uint8_t op = in_.byte();
        if (op < 0x80) {
            instanceStep(op, before, openBefore);
        } else {
            benchStep(op);
        }
        afterStep(before, abandonedBefore);
    }

    void finish() {
        for (Slot &s : slots_) release(s);
        require(hostwin::openObjects().files == 0, "files left open at the end", hostwin::openObjects().files);
        checkOpenObjects();
    }

   private:
    Slot &slot() { return slots_[in_.byte() % slots_.size()]; }

    void release(Slot &s) {
        if (s.inst == nullptr) return;
        veskcfp2_disconnect(s.inst);
        veskcfp2_destroyInstance(s.inst);
        s = Slot{};
    }

    void instanceStep(std::uint8_t op, const Calls &before, const hostwin::OpenObjects &openBefore) {
        Slot &s = slot();
        switch (op % 8) {
            case 0: {  // create (a well-behaved caller disconnects what it replaces)
                release(s);
                const std::uint8_t type = in_.byte();
                const int boardType = type % 3 == 2 ? 7 : type % 3;
                s.index = static_cast<std::uint16_t>(in_.byte() % 6);
                s.inst = veskcfp2_createInstance(boardType, s.index);
                require(s.inst != nullptr, "create gives an instance");
                s.type1 = boardType == 1;
                return;
            }
            case 1: {
                const std::uint8_t ok = veskcfp2_connect(s.inst);
                require(ok <= 1, "connect answers a boolean", ok);
                if (s.inst == nullptr) require(ok == 0, "connect of no instance");
                s.open = ok == 1;
                s.board = ok == 1 ? presentBoard(s.index) : nullptr;
                return;
            }
            case 2: {
                const std::uint8_t ok = veskcfp2_disconnect(s.inst);
                require(ok <= 1, "disconnect answers a boolean", ok);
                s.open = false;
                return;
            }
            case 3: release(s); return;
            case 4: enumerate(); return;
            default: break;
        }
        const Command &c = kCommands[in_.byte() % kCommandCount];
        seen = Seen{};
        const int result = c.run(s.inst, in_);
        if (result == VESKCFP2_CMD_OK) checkValue(s);
        const int highest = c.answers == Answers::Grade ? 2 : 1;
        require(result >= 0 && result <= highest, "result within its range", result, highest);
        const std::uint64_t calls = systemCallsSince(before);
        if (s.inst == nullptr || !s.open || (c.type1Only && !s.type1)) {
            require(result == 0, "a command that cannot run fails", result);
            require(calls == 0, "a command that cannot run touches the system", static_cast<long long>(calls));
        }
        // Pipes dropped by this command: every later one fails without I/O.
        if (hostwin::openObjects().files < openBefore.files) s.open = false;
    }

    // The board at device index `index` of the driver's list: the present
    // devices in the order they were plugged.
    vboard::Board *presentBoard(std::uint16_t index) {
        std::uint16_t k = 0;
        for (const auto &b : bench_.boards()) {
            if (!hostwin::isPresent(bench_.interfaceOf(*b))) continue;
            if (k++ == index) return b.get();
        }
        return nullptr;
    }

    // A value query graded CMD_OK must carry the value its board holds now.
    // Boards that were given scripted replies answer with those instead.
    void checkValue(const Slot &s) {
        vboard::Board *b = s.board;
        if (seen.kind == Seen::None || b == nullptr || scripted_.count(b) != 0 || staleReplies_) return;
        const BoardState &st = b->state();
        double expected = 0;
        switch (seen.kind) {
            case Seen::Port:
                // Vendor I/O, current sense and monitor selectors are not ports.
                if (seen.key >= 0x09 && seen.key <= 0x0B) return;
                expected = st.ports[seen.key];
                break;
            case Seen::Vcc: expected = st.vcc / 256.0; break;
            case Seen::Temperature: {
                const auto t = st.temperature.find(static_cast<std::uint8_t>(seen.key));
                expected = t == st.temperature.end() ? 0.0 : t->second / 256.0;
                break;
            }
            case Seen::Eeprom: expected = st.eeprom[seen.key]; break;
            case Seen::None: return;
        }
        require(seen.value == expected, "a query graded OK carries its own board's value",
                static_cast<long long>(seen.value * 256), static_cast<long long>(expected * 256));
    }

    void enumerate() {
        const std::uint8_t pick = in_.byte();
        const std::int32_t type = pick % 4 == 3 ? -1 : pick % 4 == 2 ? 5 : pick % 4;
        std::uint16_t indices[VESKCFP2_MAX_DEVICES + 1];
        std::uint8_t first[2 * VESKCFP2_MAX_DEVICES + 2];
        std::memset(indices, 0xA5, sizeof indices);
        std::memset(first, 0xA5, sizeof first);
        const bool withArrays = (pick & 0x10) == 0;
        const int found = veskcfp2_enumerateDevices(type, withArrays ? indices : nullptr, withArrays ? first : nullptr);
        std::size_t present = 0;
        for (const auto &b : bench_.boards()) present += hostwin::isPresent(bench_.interfaceOf(*b)) ? 1 : 0;
        require(found >= 0 && static_cast<std::size_t>(found) <= present, "count within the boards present", found,
                static_cast<long long>(present));
        if (!withArrays) return;
        for (int k = 0; k < found; ++k) {
            require(indices[k] < VESKCFP2_MAX_DEVICES && (k == 0 || indices[k] > indices[k - 1]), "indices rise",
                    indices[k]);
            require(first[2 * k + 1] == 0xA5, "the odd first bytes are not written", k);
        }
        require(indices[found] == 0xA5A5 && first[2 * found] == 0xA5, "nothing written past the count", found);
    }

    void benchStep(std::uint8_t op) {
        const auto &boards = bench_.boards();
        if (boards.empty() && op % 16 < 9) return;
        vboard::Board *b = boards.empty() ? nullptr : boards[in_.byte() % boards.size()].get();
        switch (op % 16) {
            case 0:  // up to 2040 ms, late replies
                b->knobs().latencyMs = in_.byte() * 8u;
                break;
            case 1: {
                const std::uint8_t n = in_.byte();
                if (n < 0x80) b->knobs().replyBytes.reset(); else b->knobs().replyBytes = n % 24;
                break;
            }
            case 2: b->knobs().oversize = in_.byte() % 4 == 0 ? 1u + in_.byte() % 3 : 0u; break;
            case 3: b->knobs().silent = (in_.byte() & 1) != 0; break;
            case 4: {
                std::vector<std::uint8_t> reply(in_.byte() % 24);
                for (std::uint8_t &x : reply) x = in_.byte();
                b->scriptReply(std::move(reply));
                scripted_.insert(b);
                break;
            }
            case 5: bench_.unplug(*b); break;
            case 6: bench_.replug(*b); break;
            case 7: {
                const std::uint8_t bits = in_.byte();
                bench_.setOpenable(*b, (bits & 1) == 0, (bits & 2) == 0);
                break;
            }
            case 8: {
                const std::uint8_t how = in_.byte() % 4;
                if (how == 0) bench_.setDeviceInstance(*b, std::nullopt);
                else if (how == 1) bench_.setDeviceInstance(*b, std::string(300, 'x'), false);
                else bench_.setDeviceInstance(*b, vboard::deviceInstance(vboard::kMicrochipVendorId, b->productId(), b->serial()), how == 2);
                break;
            }
            case 9: case 10: case 11: {
                const Fn fn = kFaultable[in_.byte() % (sizeof kFaultable / sizeof kFaultable[0])];
                const DWORD error = kErrors[in_.byte() % (sizeof kErrors / sizeof kErrors[0])];
                const unsigned count = 1 + in_.byte() % 3, skip = in_.byte() % 16;
                hostwin::failCalls(fn, error, count, skip);
                faults_.add(fn, count, skip);
                if (error == ERROR_INVALID_HANDLE || (fn == Fn::ReadFile && error == ERROR_IO_PENDING)) {
                    lyingFaults_ = staleReplies_ = true;
                }
                break;
            }
            case 12:
                hostwin::clearFaults();
                faults_.clear();
                lyingFaults_ = false;
                break;
            case 13: hostwin::advanceMs(in_.byte() * 4u); break;
            case 14: {
                for (const auto &x : boards) hostwin::dropPendingReplies(bench_.interfaceOf(*x));
                staleReplies_ = lyingFaults_;
                break;
            }
            default: {  // a null instance: nothing happens, no system call
                const Calls before = callCounts();
                std::uint8_t buffer[20];
                require(veskcfp2_connect(nullptr) == 0 && veskcfp2_disconnect(nullptr) == 0 &&
                            veskcfp2_ping(nullptr, buffer) == 0 && veskcfp2_getSN(nullptr, buffer) == 0,
                        "a null instance fails");
                veskcfp2_destroyInstance(nullptr);
                require(systemCallsSince(before) == 0, "a null instance touches the system");
                break;
            }
        }
    }

    static std::uint64_t systemCallsSince(const Calls &before) {
        std::uint64_t n = 0;
        for (unsigned i = 0; i < kFns; ++i) {
            const Fn fn = static_cast<Fn>(i);
            if (fn == Fn::GetLastError || fn == Fn::SetLastError || fn == Fn::wsprintfA || fn == Fn::_strlwr) continue;
            n += hostwin::calls(fn) - before[i];
        }
        return n;
    }

    void afterStep(const Calls &before, std::uint64_t abandonedBefore) {
        const Calls after = callCounts();
        unsigned refusedCollects = 0;
        for (unsigned i = 0; i < kFns; ++i) {
            const Fn fn = static_cast<Fn>(i);
            const unsigned fired = faults_.fire(fn, after[i] - before[i]);
            if (fn == Fn::SetupDiDestroyDeviceInfoList) refusedLists_ += fired;
            if (fn == Fn::RegCloseKey) refusedKeys_ += fired;
            if (fn == Fn::GetOverlappedResult || fn == Fn::CancelIo) refusedCollects += fired;
        }
        std::size_t live = 0;
        for (const Slot &s : slots_) live += s.inst != nullptr ? 1 : 0;
        const hostwin::OpenObjects open = hostwin::openObjects();
        require(open.files <= 2 * live, "open files within two per live instance", open.files,
                static_cast<long long>(live));
        checkOpenObjects();
        // A cancelled read is left to the system only when the system refused
        // to cancel it or to hand it back.
        require(hostwin::abandonedIo() == abandonedBefore || refusedCollects > 0, "a read was given up");
    }

    void checkOpenObjects() {
        const hostwin::OpenObjects open = hostwin::openObjects();
        require(open.events == 0, "events left open", open.events);
        require(open.deviceLists == refusedLists_, "device lists left open", open.deviceLists, refusedLists_);
        require(open.registryKeys == refusedKeys_, "registry keys left open", open.registryKeys, refusedKeys_);
        require(hostwin::outstandingIo() == 0, "reads left outstanding", hostwin::outstandingIo());
    }

    Input &in_;
    vboard::Bench bench_;
    std::array<Slot, 4> slots_{};
    FaultModel faults_;
    unsigned refusedLists_ = 0, refusedKeys_ = 0;
    std::set<const vboard::Board *> scripted_;  // boards given scripted replies
    // A reply may sit queued that no exchange of the library knows of.
    bool staleReplies_ = false;
    bool lyingFaults_ = false;  // such a fault may still fire
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The library reports failed transfers on standard output; keep the
    // fuzzer's own output readable.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Input in(data, size);
    Run run(in);
    run.plugBoards();
    for (int steps = 0; steps < 256 && !in.done(); ++steps) run.step();
    run.finish();
    return 0;
}
