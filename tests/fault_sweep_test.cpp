// Fault sweep: every platform function the library calls is made to fail at
// each point where a piece of work calls it (connect, each command family,
// the serial-number functions, enumeration), once with ERROR_INVALID_HANDLE
// and once with ERROR_GEN_FAILURE. Each case checks the result, that only an
// invalid handle from a transfer drops the pipes, that nothing is left open,
// and that the instance connects and answers again once the fault is gone.
// Some scenarios begin with a reply owed: a ping timed out just before, so
// the work's first read is the one that collects the late reply.
#include <array>
#include <cstdio>
#include <initializer_list>

#include "bench_test.h"

using hostwin::Fn;

namespace {

// What a failure of the function does to the work that called it.
enum class Role {
    Decides,   // finding, opening or transferring: the work fails
    Releases,  // closing or resetting: the work has its result already
};

struct Platform {
    Fn fn;
    Role role;
};

constexpr Platform kPlatform[] = {
    {Fn::SetupDiGetClassDevsA, Role::Decides},
    {Fn::SetupDiEnumDeviceInterfaces, Role::Decides},
    {Fn::SetupDiGetDeviceInterfaceDetailA, Role::Decides},
    {Fn::SetupDiDestroyDeviceInfoList, Role::Releases},
    {Fn::RegOpenKeyExA, Role::Decides},
    {Fn::RegQueryValueExA, Role::Decides},
    {Fn::RegCloseKey, Role::Releases},
    {Fn::CreateFileA, Role::Decides},
    {Fn::CreateEventA, Role::Decides},
    {Fn::WriteFile, Role::Decides},
    {Fn::ReadFile, Role::Decides},
    {Fn::WaitForSingleObject, Role::Decides},
    {Fn::GetOverlappedResult, Role::Decides},
    {Fn::CancelIo, Role::Decides},
    {Fn::ResetEvent, Role::Releases},
    {Fn::CloseHandle, Role::Releases},
};

constexpr std::uint32_t kReadWaitMs = 100;  // how long the library waits for a reply
constexpr std::uint32_t kPrompt = 0, kSlow = 20, kLate = 150;  // reply latency, ms

enum class Work {
    Connect,    // connect a created instance
    Reconnect,  // connect again: the old pipes are closed first
    Disconnect,
    Command,    // a command on a connected instance
    Enumerate,  // the result is a count of boards, smaller after a failure
};

struct Fault {
    Platform platform;
    unsigned at;  // how many calls of the function pass before the failing one
    DWORD error;
};

// Failed work gives 0 (CMD_FAILED, false) or, for enumeration, a smaller count.
struct Scenario {
    const char *name;
    Work work;
    std::uint32_t latencyMs;  // how long the board takes to reply
    int (*run)(CFP2INSTANCE *);
    bool startsOwed = false;  // a ping timed out just before; its reply comes 50 ms in
    // The byte count the work's first read asks for; 0 when the work reads
    // nothing, -1 when not checked.
    int firstRead = -1;
};

// The bench of every case: a type-1 board at device index 0 whose serial
// number starts with S, and a type-0 board at index 1 whose starts with O.
// Enumerates `type` and gives the count, or -1 when a listed board is not one
// of these or its first byte is neither its own nor 0 (a probe that failed).
int listedBoards(int type) {
    std::uint16_t idx[VESKCFP2_MAX_DEVICES];
    std::uint8_t first[2 * VESKCFP2_MAX_DEVICES];
    const int count = veskcfp2_enumerateDevices(type, idx, first);
    for (int k = 0; k < count; ++k) {
        const std::uint8_t own = idx[k] == 0 ? 'S' : 'O';
        if (idx[k] > (type == 1 ? 0 : 1) || (first[2 * k] != own && first[2 * k] != 0)) return -1;
    }
    return count;
}

using I = CFP2INSTANCE *;
// clang-format off
const Scenario kScenarios[] = {
    {"Connect", Work::Connect, kPrompt, [](I i) -> int { return veskcfp2_connect(i); }},
    {"Reconnect", Work::Reconnect, kPrompt, [](I i) -> int { return veskcfp2_connect(i); }},
    {"Disconnect", Work::Disconnect, kPrompt, [](I i) -> int { return veskcfp2_disconnect(i); }},
    {"Ping", Work::Command, kPrompt, [](I i) { std::uint8_t r[20]; return veskcfp2_ping(i, r); }},
    {"PingSlowReply", Work::Command, kSlow, [](I i) { std::uint8_t r[20]; return veskcfp2_ping(i, r); }},
    {"PingLateReply", Work::Command, kLate, [](I i) { std::uint8_t r[20]; return veskcfp2_ping(i, r); }},
    {"ResetMCU", Work::Command, kPrompt, [](I i) { return veskcfp2_resetMCU(i); }},
    {"ResetMCUBoot", Work::Command, kPrompt, [](I i) { return veskcfp2_resetMCUBoot(i); }},
    {"SetPort", Work::Command, kPrompt, [](I i) { return veskcfp2_setPort(i, 2, 0x55); }},
    {"GetPort", Work::Command, kPrompt, [](I i) { std::uint8_t v; return veskcfp2_getPort(i, 2, &v); }},
    {"SetVendorIO", Work::Command, kPrompt, [](I i) { return veskcfp2_setVendorIO(i, 0x5A); }},
    {"FTDIEnable", Work::Command, kPrompt, [](I i) { return veskcfp2_p3v3_FTDIEnable(i, 1); }},
    {"SetPower", Work::Command, kPrompt, [](I i) { return veskcfp2_setPower(i, 3); }},
    {"EnableCurrentSense", Work::Command, kPrompt, [](I i) { return veskcfp2_enableCurrentSense(i, 7, 1); }},
    {"GetCurrentSense", Work::Command, kPrompt, [](I i) { std::uint8_t v; return veskcfp2_getCurrentSense(i, 1, &v); }},
    {"CurrentMonitor", Work::Command, kPrompt, [](I i) { std::uint16_t v; return veskcfp2_currentMonitor(i, &v); }},
    {"SetMDIO", Work::Command, kPrompt, [](I i) { return veskcfp2_setMDIO(i, 1, 0x8000, 0x1234); }},
    {"GetMDIO", Work::Command, kPrompt, [](I i) { std::uint16_t v; return veskcfp2_getMDIO(i, 1, 0x8000, &v); }},
    {"GetMDIOSlowReply", Work::Command, kSlow, [](I i) { std::uint16_t v; return veskcfp2_getMDIO(i, 1, 0x8000, &v); }},
    {"GetVCC", Work::Command, kPrompt, [](I i) { double v; return veskcfp2_getVCC(i, &v); }},
    {"GetTemperature", Work::Command, kPrompt, [](I i) { double v; return veskcfp2_getTemperature(i, 0, &v); }},
    {"EepromRead", Work::Command, kPrompt, [](I i) { std::uint8_t v; return veskcfp2_eepromRead(i, 0x10010, &v); }},
    {"EepromReadLateReply", Work::Command, kLate, [](I i) { std::uint8_t v; return veskcfp2_eepromRead(i, 9, &v); }},
    {"EepromWrite", Work::Command, kPrompt, [](I i) { return veskcfp2_eepromWrite(i, 0x1FFFF, 0x5A); }},
    {"GetSN", Work::Command, kPrompt, [](I i) -> int { std::uint8_t sn[8]; return veskcfp2_getSN(i, sn); }},
    {"SetSN", Work::Command, kPrompt, [](I i) -> int {
         const std::uint8_t sn[8] = {'S', 'W', 'E', 'E', 'P', '0', '0', '9'};
         return veskcfp2_setSN(i, sn, 8); }},
    {"EnumerateType1", Work::Enumerate, kPrompt, [](I) { return listedBoards(1); }},
    {"EnumerateEveryDevice", Work::Enumerate, kPrompt, [](I) { return listedBoards(5); }},
    // A query on a board owing a ping's reply resynchronises first: a ping,
    // then whole-packet reads.
    {"GetPortOwingAPing", Work::Command, kPrompt, [](I i) { std::uint8_t v; return veskcfp2_getPort(i, 2, &v); }, true, 64},
    {"PingOwingAPing", Work::Command, kPrompt, [](I i) { std::uint8_t r[20]; return veskcfp2_ping(i, r); }, true, 64},
    {"GetMDIOSlowOwingAPing", Work::Command, kSlow, [](I i) { std::uint16_t v; return veskcfp2_getMDIO(i, 1, 0x8000, &v); }, true, 64},
    {"SetPortOwingAPing", Work::Command, kPrompt, [](I i) { return veskcfp2_setPort(i, 2, 0x55); }, true, 0},
    // Connecting again drains the endpoint with whole-packet reads.
    {"ReconnectOwingAPing", Work::Reconnect, kPrompt, [](I i) -> int { return veskcfp2_connect(i); }, true, 64},
    {"ConnectDrains", Work::Connect, kPrompt, [](I i) -> int { return veskcfp2_connect(i); }, false, 64},
};
// clang-format on

using CallCounts = std::array<std::uint64_t, static_cast<unsigned>(Fn::Count)>;

CallCounts callCounts() {
    CallCounts c{};
    for (unsigned i = 0; i < c.size(); ++i) c[i] = hostwin::calls(static_cast<Fn>(i));
    return c;
}

// The functions of a read: connecting runs one to drain the endpoint.
bool readCall(Fn fn) {
    switch (fn) {
        case Fn::CreateEventA:
        case Fn::ReadFile:
        case Fn::WaitForSingleObject:
        case Fn::GetOverlappedResult:
        case Fn::CancelIo: return true;
        default: return false;
    }
}

// Functions whose failure inside a transfer is the transfer's own failure,
// so that the error they leave decides whether the pipes are dropped.
bool decidesTransfer(Fn fn, std::uint32_t latencyMs) {
    switch (fn) {
        case Fn::CreateEventA:
        case Fn::WriteFile:
        case Fn::ReadFile:
        case Fn::WaitForSingleObject: return true;
        // Collecting a read that arrived within the wait; after a timeout the
        // transfer has failed already and keeps the timeout's error.
        case Fn::GetOverlappedResult: return latencyMs < kReadWaitMs;
        default: return false;
    }
}

// Whether the work resynchronises a board that owes a ping's reply first.
bool resyncs(const Scenario &sc) { return sc.startsOwed && sc.work == Work::Command && sc.firstRead == 64; }

// A resync's last short read finds the endpoint quiet and is cancelled (the
// resync's one cancel, its second collection): a refused cancel or
// collection leaves that read's record to the system, as a drain's does,
// and decides nothing.
bool quietReadCollect(const Scenario &sc, const Fault &fault) {
    return resyncs(sc) && ((fault.platform.fn == Fn::GetOverlappedResult && fault.at == 1) ||
                           (fault.platform.fn == Fn::CancelIo && fault.at == 0));
}

// Whether a failure of `p` (its call `at`) with `error` makes the work fail
// (gives 0).
bool failsWork(const Scenario &sc, const Platform &p, unsigned at, DWORD error) {
    // Disconnect closes the two pipes, then the board's turn and mark, which
    // were the board's, not the pipes'.
    if (p.fn == Fn::CloseHandle && sc.work == Work::Disconnect) return at < 2;
    if (quietReadCollect(sc, Fault{p, at, error})) return false;
    const bool connecting = sc.work == Work::Connect || sc.work == Work::Reconnect;
    if (connecting && readCall(p.fn)) {
        // The drain's read gets nothing in time; it costs the connect only
        // when it finds the board gone.
        return error == ERROR_INVALID_HANDLE && decidesTransfer(p.fn, kLate);
    }
    return p.role == Role::Decides;
}

class FaultSweep : public BenchTest, public ::testing::WithParamInterface<Scenario> {
   protected:
    // Runs the scenario on a fresh bench, with `fault` injected when given,
    // checks everything the case promises and returns the calls it made.
    CallCounts runCase(const Scenario &sc, const Fault *fault, int *outcome) {
        vboard::Bench rig;
        vboard::Board &board = rig.plug(1, "SWEEP001");
        rig.plug(0, "OTHER002");  // a board of the other type behind it
        board.knobs().latencyMs = sc.latencyMs;
        CFP2INSTANCE *inst = veskcfp2_createInstance(1, 0);
        if (sc.work != Work::Connect && sc.work != Work::Enumerate) {
            EXPECT_EQ(veskcfp2_connect(inst), 1);
        }
        if (sc.startsOwed) {
            board.knobs().latencyMs = kLate;
            std::uint8_t identity[20];
            EXPECT_EQ(veskcfp2_ping(inst, identity), VESKCFP2_CMD_FAILED);
            board.knobs().latencyMs = sc.latencyMs;
        }

        const CallCounts before = callCounts();
        const std::size_t readsBefore = hostwin::readLengths().size();
        if (fault != nullptr) hostwin::failCalls(fault->platform.fn, fault->error, 1, fault->at);
        *outcome = sc.run(inst);
        CallCounts made = callCounts();
        for (unsigned i = 0; i < made.size(); ++i) made[i] -= before[i];
        const std::vector<std::uint32_t> reads = hostwin::readLengths();
        if (fault == nullptr && sc.firstRead == 0) {
            EXPECT_EQ(reads.size(), readsBefore);
        }
        if (fault == nullptr && sc.firstRead > 0) {
            EXPECT_GT(reads.size(), readsBefore);
            if (reads.size() > readsBefore) {
                EXPECT_EQ(reads[readsBefore], static_cast<std::uint32_t>(sc.firstRead))
                    << "the first read asks for what is owed (or a whole packet when draining)";
            }
        }

        // The system keeps a list or key whose release it refused; that one is
        // the system's, every other object must be closed.
        const Fn faulted = fault != nullptr ? fault->platform.fn : Fn::Count;
        const hostwin::OpenObjects open = hostwin::openObjects();
        EXPECT_EQ(open.events, 0u);
        EXPECT_EQ(open.deviceLists, faulted == Fn::SetupDiDestroyDeviceInfoList ? 1u : 0u);
        EXPECT_EQ(open.registryKeys, faulted == Fn::RegCloseKey ? 1u : 0u);
        EXPECT_EQ(hostwin::outstandingIo(), 0u);
        // After a timed-out read is cancelled, the library waits for the read
        // to end before releasing its record. A refusal of that wait is
        // injected here; a real system returns from it only once the read has
        // ended, so it is the one case that may leave a read behind.
        // Connecting and enumerating drain each board with a read that times
        // out; unless a late reply is on its way, nothing ever comes to it, so
        // a refused cancel leaves that read waiting (a real system would wait
        // for it for ever).
        const bool drains = sc.work == Work::Connect || sc.work == Work::Reconnect || sc.work == Work::Enumerate;
        const bool collectRefused =
            (faulted == Fn::GetOverlappedResult && (sc.latencyMs >= kReadWaitMs || drains)) ||
            (faulted == Fn::CancelIo && drains && !sc.startsOwed) ||
            (fault != nullptr && quietReadCollect(sc, *fault));
        EXPECT_EQ(hostwin::abandonedIo(), collectRefused ? 1u : 0u);
        if (fault != nullptr) {
            EXPECT_EQ(hostwin::pendingFaults(), 0u) << "the fault did not fire";
            checkPipes(sc, *fault, inst, open.files);
        }

        // Once the fault is gone the instance connects and answers again.
        hostwin::clearFaults();
        board.knobs().latencyMs = 0;
        hostwin::dropPendingReplies(rig.interfaceOf(board));
        std::uint8_t reply[20];
        EXPECT_EQ(veskcfp2_connect(inst), 1);
        // A dropped ping reply is waited for until it is taken as lost.
        EXPECT_TRUE(answersAgain([&] { return veskcfp2_ping(inst, reply); }));
        EXPECT_EQ(veskcfp2_disconnect(inst), 1);
        veskcfp2_destroyInstance(inst);
        // A probe that failed may have left a board marked; with every board
        // answering again, an enumeration's probes bring each back in step.
        std::uint16_t indices[VESKCFP2_MAX_DEVICES];
        std::uint8_t firsts[2 * VESKCFP2_MAX_DEVICES];
        EXPECT_EQ(veskcfp2_enumerateDevices(-1, indices, firsts), 2);
        const hostwin::OpenObjects left = hostwin::openObjects();
        EXPECT_EQ(left.files + left.events + left.mutexes + left.sections, 0u);
        return made;
    }

    void checkPipes(const Scenario &sc, const Fault &fault, CFP2INSTANCE *inst, std::size_t files) {
        if (sc.work != Work::Command) return;
        if (fault.error != ERROR_INVALID_HANDLE || quietReadCollect(sc, fault)) {
            EXPECT_EQ(files, 2u) << "pipes dropped after an error other than an invalid handle";
            return;
        }
        if (decidesTransfer(fault.platform.fn, sc.latencyMs)) {
            EXPECT_EQ(files, 0u) << "pipes kept after an invalid handle";
        }
        if (files == 0) {
            std::uint8_t reply[20];
            EXPECT_EQ(systemCallsDuring([&] { EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_FAILED); }),
                      0u)
                << "a command after the pipes were dropped touched the system";
        } else {
            EXPECT_EQ(files, 2u);
        }
    }
};

TEST_P(FaultSweep, EveryPlatformFailureIsContainedAndRecoverable) {
    const Scenario &sc = GetParam();
    int clean = -1;
    const CallCounts calls = runCase(sc, nullptr, &clean);
    // Without faults the work succeeds, unless the reply comes too late.
    ASSERT_EQ(clean == 0, sc.latencyMs >= kReadWaitMs);

    unsigned cases = 0, smallerCounts = 0;
    for (const Platform &p : kPlatform) {
        const std::uint64_t n = calls[static_cast<unsigned>(p.fn)];
        for (unsigned at = 0; at < n; ++at) {
            for (DWORD error : {static_cast<DWORD>(ERROR_INVALID_HANDLE), static_cast<DWORD>(ERROR_GEN_FAILURE)}) {
                char trace[96];
                std::snprintf(trace, sizeof trace, "%s fails with %lu at call %u of %llu",
                              hostwin::name(p.fn), static_cast<unsigned long>(error), at + 1,
                              static_cast<unsigned long long>(n));
                SCOPED_TRACE(trace);
                const Fault fault{p, at, error};
                int outcome = -1;
                runCase(sc, &fault, &outcome);
                ++cases;
                const bool decides = failsWork(sc, p, at, error);
                if (sc.work == Work::Enumerate) {
                    EXPECT_GE(outcome, 0);
                    if (decides) {
                        EXPECT_LE(outcome, clean);
                        smallerCounts += outcome < clean ? 1 : 0;
                    } else {
                        EXPECT_EQ(outcome, clean);
                    }
                } else {
                    EXPECT_EQ(outcome, decides ? 0 : clean);
                }
            }
        }
        if (HasFailure()) return;  // one broken function is enough to read
    }
    EXPECT_GT(cases, 0u);
    // Failed lookups of the boards' own indices do hide them.
    if (sc.work == Work::Enumerate) {
        EXPECT_GT(smallerCounts, 0u);
    }
}

std::string scenarioName(const ::testing::TestParamInfo<Scenario> &info) { return info.param.name; }
void PrintTo(const Scenario &sc, std::ostream *os) { *os << sc.name; }

INSTANTIATE_TEST_SUITE_P(Work, FaultSweep, ::testing::ValuesIn(kScenarios), scenarioName);

}  // namespace
