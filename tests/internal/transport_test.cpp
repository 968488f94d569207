// The transport's own operations: device lookup, the registry match, opening
// and closing pipes, and single transfers.
#include <cstring>
#include <string>

#include "bench_test.h"
#include "usb/conversation.h"
#include "usb/usbapi.h"
#include "usb/windows/windows_transport.h"

using hostwin::Fn;
using namespace VESK;

namespace {

class Transport : public BenchTest {};

TEST_F(Transport, LookupTellsBoardsApartByTheirDeviceInstance) {
    bench.plug(0, "ZERO0001");
    bench.plug(1, "ONE00001");
    bench.plugForeign(0x1234, 0x0001, "OTHER");

    EXPECT_EQ(findDevicePath(0, MATCH_8248, nullptr, 0, nullptr), LOOKUP_OK);
    EXPECT_EQ(findDevicePath(0, MATCH_8348, nullptr, 0, nullptr), LOOKUP_NO_MATCH);
    EXPECT_EQ(findDevicePath(1, MATCH_8348, nullptr, 0, nullptr), LOOKUP_OK);
    EXPECT_EQ(findDevicePath(2, MATCH_8348, nullptr, 0, nullptr), LOOKUP_NO_MATCH);
    // Without a match text any interface of the class is taken; the empty
    // text takes any whose DeviceInstance can be read.
    EXPECT_EQ(findDevicePath(2, nullptr, nullptr, 0, nullptr), LOOKUP_OK);
    EXPECT_EQ(findDevicePath(2, "", nullptr, 0, nullptr), LOOKUP_OK);
    EXPECT_EQ(findDevicePath(3, nullptr, nullptr, 0, nullptr), LOOKUP_NO_MORE);
    EXPECT_EQ(findDevicePath(126, "", nullptr, 0, nullptr), LOOKUP_NO_MORE);
}

TEST_F(Transport, LookupCopiesThePathOnlyWhenItFitsWithItsTerminator) {
    vboard::Board &board = bench.plug(1, "ABC12345");
    const std::string path = bench.pathOf(board);
    EXPECT_EQ(path, "\\\\?\\usb#vid_04d8&pid_8348#abc12345#{5354fa28-6d14-4e35-a1f5-75bb54e6030f}");

    std::vector<char> buffer(path.size() + 1, 'x');
    std::uint32_t length = 99;
    EXPECT_EQ(findDevicePath(0, MATCH_8348, buffer.data(), static_cast<std::uint32_t>(path.size()), &length),
              LOOKUP_TOO_LONG);
    EXPECT_EQ(length, path.size()) << "the length is reported even when the path does not fit";
    EXPECT_EQ(buffer[0], 'x') << "nothing is copied";

    EXPECT_EQ(findDevicePath(0, MATCH_8348, buffer.data(), static_cast<std::uint32_t>(buffer.size()), &length),
              LOOKUP_OK);
    EXPECT_EQ(std::string(buffer.data()), path);

    length = 99;
    EXPECT_EQ(findDevicePath(0, MATCH_8248, buffer.data(), 0, &length), LOOKUP_NO_MATCH);
    EXPECT_EQ(length, 0u);
}

TEST_F(Transport, RegistryMatchIgnoresCaseAndLeavesThePathAsItWas) {
    vboard::Board &board = bench.plug(1, "abc12345");
    std::string path = bench.pathOf(board);
    const std::string original = path;
    // Windows stores the DeviceInstance in upper case.
    EXPECT_TRUE(matchDeviceInstance(&path[0], MATCH_8348));
    EXPECT_EQ(path, original);
    EXPECT_FALSE(matchDeviceInstance(&path[0], MATCH_8248));
    EXPECT_EQ(path, original);

    bench.setDeviceInstance(board, std::nullopt);
    EXPECT_FALSE(matchDeviceInstance(&path[0], ""));
    EXPECT_EQ(path, original);

    std::string unknown = "\\\\?\\usb#vid_04d8&pid_8348#nokey#{5354fa28-6d14-4e35-a1f5-75bb54e6030f}";
    EXPECT_FALSE(matchDeviceInstance(&unknown[0], ""));
    std::string tooShort = "\\\\?";
    EXPECT_FALSE(matchDeviceInstance(&tooShort[0], ""));
    EXPECT_EQ(tooShort, "\\\\?");
}

TEST_F(Transport, RegistryValueIsSearchedOnlyAsFarAsItWasRead) {
    vboard::Board &board = bench.plug(1, "A");
    std::string path = bench.pathOf(board);
    // Stored without a terminator, ending right after the product id.
    bench.setDeviceInstance(board, std::string("USB\\VID_04D8&PID_8348"), false);
    EXPECT_TRUE(matchDeviceInstance(&path[0], MATCH_8348));
    // A value longer than the 255 bytes offered is not read at all.
    bench.setDeviceInstance(board, "USB\\VID_04D8&PID_8348\\" + std::string(300, 'X'));
    EXPECT_FALSE(matchDeviceInstance(&path[0], MATCH_8348));
    // The longest value that is read: 255 bytes stored without a terminator.
    bench.setDeviceInstance(board, "USB\\VID_04D8&PID_8348\\" + std::string(233, 'X'), false);
    EXPECT_TRUE(matchDeviceInstance(&path[0], MATCH_8348));
    // One byte more than offered, with the match text at the very end:
    // 255 characters and their terminator, or 256 characters without one.
    const std::string tail = "USB\\VID_04D8&PID_8348";
    bench.setDeviceInstance(board, std::string(255 - tail.size(), 'X') + tail, true);
    EXPECT_FALSE(matchDeviceInstance(&path[0], MATCH_8348));
    bench.setDeviceInstance(board, std::string(256 - tail.size(), 'X') + tail, false);
    EXPECT_FALSE(matchDeviceInstance(&path[0], MATCH_8348));
}

TEST_F(Transport, FailingListOrDetailCallsGiveLookupError) {
    bench.plug(1, "A");
    hostwin::failCalls(Fn::SetupDiGetClassDevsA, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(findDevicePath(0, MATCH_8348, nullptr, 0, nullptr), LOOKUP_ERROR);
    // A sizing call that reports no usable size: the record is never
    // written into a buffer too small for it.
    hostwin::failCalls(Fn::SetupDiGetDeviceInterfaceDetailA, ERROR_INVALID_USER_BUFFER);
    EXPECT_EQ(findDevicePath(0, MATCH_8348, nullptr, 0, nullptr), LOOKUP_ERROR);
    hostwin::failCalls(Fn::SetupDiGetDeviceInterfaceDetailA, ERROR_GEN_FAILURE, 1, 1);
    EXPECT_EQ(findDevicePath(0, MATCH_8348, nullptr, 0, nullptr), LOOKUP_ERROR);
    EXPECT_EQ(findDevicePath(0, MATCH_8348, nullptr, 0, nullptr), LOOKUP_OK);
    EXPECT_EQ(hostwin::calls(Fn::SetupDiGetClassDevsA), hostwin::calls(Fn::SetupDiDestroyDeviceInfoList) + 1)
        << "every list that was built was released";
}

TEST_F(Transport, PathOf260CharactersIsFoundButNotOpened) {
    vboard::Board &board = bench.plug(1, std::string(200, 's'));
    const std::string path = bench.pathOf(board);
    ASSERT_GE(path.size(), 260u);
    char buffer[PATH_LIMIT];
    std::uint32_t length = 0;
    EXPECT_EQ(findDevicePath(0, MATCH_8348, buffer, sizeof buffer, &length), LOOKUP_TOO_LONG);
    EXPECT_EQ(length, path.size());
    USBAPI transport(0, MATCH_8348, PIPE_SUFFIX, PIPE_SUFFIX);
    EXPECT_FALSE(transport.openPipes());
    EXPECT_EQ(hostwin::calls(Fn::CreateFileA), 0u);
}

TEST_F(Transport, PathOf259CharactersOpensAndOneOf260NeverReachesTheSystem) {
    const std::size_t bare = vboard::interfacePath(vboard::kMicrochipVendorId, 0x8348, "").size();
    vboard::Board &fits = bench.plug(1, std::string(259 - bare, 'f'));
    vboard::Board &over = bench.plug(1, std::string(260 - bare, 'o'));
    ASSERT_EQ(bench.pathOf(fits).size(), 259u);
    ASSERT_EQ(bench.pathOf(over).size(), 260u);

    USBAPI longest(0, MATCH_8348, PIPE_SUFFIX, PIPE_SUFFIX);
    EXPECT_TRUE(longest.openPipes());
    EXPECT_EQ(hostwin::calls(Fn::CreateFileA), 2u);
    USBAPI tooLong(1, MATCH_8348, PIPE_SUFFIX, PIPE_SUFFIX);
    EXPECT_FALSE(tooLong.openPipes());
    EXPECT_EQ(hostwin::calls(Fn::CreateFileA), 2u);
    longest.closePipes();
}

TEST_F(Transport, OpenPipesOpensTheEndpointForWritingAndForOverlappedReading) {
    vboard::Board &board = bench.plug(1, "A");
    USBAPI transport(0, MATCH_8348, PIPE_SUFFIX, PIPE_SUFFIX);
    EXPECT_TRUE(transport.openPipes());
    // One lookup names the board; both pipes open on the interface it found.
    EXPECT_EQ(hostwin::calls(Fn::SetupDiGetClassDevsA), 1u);
    std::uint8_t report[64] = {0xF5, 0x01};
    std::uint32_t written = 0;
    EXPECT_TRUE(writeReport(transport.writePipe(), report, &written));
    EXPECT_EQ(written, 64u);
    EXPECT_FALSE(writeReport(transport.readPipe(), report, nullptr)) << "the read pipe is read-only";
    std::uint8_t reply[20];
    std::uint32_t got = 0;
    EXPECT_TRUE(readReply(transport.readPipe(), reply, 20, &got));
    EXPECT_EQ(got, 20u);
    EXPECT_EQ(board.reports().size(), 1u);
    const PipeCloseResult closed = transport.closePipes();
    EXPECT_TRUE(closed.writeClosed && closed.readClosed);
    EXPECT_FALSE(transport.writePipeOpen() || transport.readPipeOpen());
}

TEST_F(Transport, PipesShareTheEndpointWithEachOtherAndWithAProbe) {
    vboard::Board &board = bench.plug(1, "A");
    USBAPI instance(0, MATCH_8348, PIPE_SUFFIX, PIPE_SUFFIX);
    USBAPI probe(0, MATCH_8348, PIPE_SUFFIX, PIPE_SUFFIX);
    EXPECT_TRUE(instance.openPipes());
    EXPECT_TRUE(probe.openPipes()) << "a second transport on the same board opens too";
    // An exclusive open is refused while the pipes are open: the endpoint is
    // shared only because both pipes ask for sharing.
    const std::string name = hostwin::endpointName(bench.pathOf(board));
    EXPECT_EQ(CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    probe.closePipes();
    instance.closePipes();
}

TEST_F(Transport, HalfOpenEndpointClosesWhatOpenedAndNeverJoinsTheBoard) {
    vboard::Board &board = bench.plug(1, "A");
    bench.setOpenable(board, true, false);
    const std::size_t before = knownBoards();
    USBAPI transport(0, MATCH_8348, PIPE_SUFFIX, PIPE_SUFFIX);
    EXPECT_FALSE(transport.openPipes());
    EXPECT_FALSE(transport.writePipeOpen() || transport.readPipeOpen());
    EXPECT_EQ(transport.board(), nullptr);
    EXPECT_EQ(knownBoards(), before);
    EXPECT_EQ(hostwin::openObjects().files, 0u);
}

TEST_F(Transport, ClosingPipesThatAreNotOpenSucceedsWithoutSystemCalls) {
    USBAPI transport(0, MATCH_8348, PIPE_SUFFIX, PIPE_SUFFIX);
    PipeCloseResult closed{false, false};
    EXPECT_EQ(systemCallsDuring([&] { closed = transport.closePipes(); }), 0u);
    EXPECT_TRUE(closed.writeClosed);
    EXPECT_TRUE(closed.readClosed);
}

TEST_F(Transport, DeviceCountsAsGoneOnlyAfterAnInvalidHandleError) {
    bench.plug(1, "A");
    USBAPI transport(0, MATCH_8348, PIPE_SUFFIX, PIPE_SUFFIX);
    ASSERT_TRUE(transport.openPipes());
    SetLastError(ERROR_GEN_FAILURE);
    EXPECT_FALSE(deviceGone());
    transport.dropPipesIfDeviceGone();
    EXPECT_TRUE(transport.writePipeOpen() && transport.readPipeOpen());
    SetLastError(ERROR_INVALID_HANDLE);
    EXPECT_TRUE(deviceGone());
    transport.dropPipesIfDeviceGone();
    EXPECT_FALSE(transport.writePipeOpen() || transport.readPipeOpen());
    EXPECT_EQ(hostwin::openObjects().files, 0u);
}

TEST_F(Transport, TimedOutReadIsAwaitedAfterCancelAndKeepsItsOwnError) {
    vboard::Board &board = bench.plug(1, "A");
    board.knobs().silent = true;
    USBAPI transport(0, MATCH_8348, PIPE_SUFFIX, PIPE_SUFFIX);
    ASSERT_TRUE(transport.openPipes());
    const std::uint64_t waits = hostwin::calls(Fn::GetOverlappedResult);
    std::uint8_t reply[2] = {0xEE, 0xEE};
    std::uint32_t got = 7;
    EXPECT_FALSE(readReply(transport.readPipe(), reply, 2, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING))
        << "the clean-up must not replace the transfer's error";
    EXPECT_EQ(hostwin::calls(Fn::GetOverlappedResult) - waits, 1u)
        << "the cancelled read was waited for";
    EXPECT_EQ(hostwin::outstandingIo(), 0u);
    EXPECT_EQ(reply[0], 0xEE);
    transport.closePipes();
}

TEST_F(Transport, TransferWithoutAnEventLeavesTheEventError) {
    bench.plug(1, "A");
    USBAPI transport(0, MATCH_8348, PIPE_SUFFIX, PIPE_SUFFIX);
    ASSERT_TRUE(transport.openPipes());
    const std::uint64_t resets = hostwin::calls(Fn::ResetEvent);
    hostwin::failCalls(Fn::CreateEventA, ERROR_NOT_ENOUGH_MEMORY);
    std::uint8_t report[64] = {};
    std::uint32_t written = 7;
    EXPECT_FALSE(writeReport(transport.writePipe(), report, &written));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(hostwin::calls(Fn::WriteFile), 0u);
    EXPECT_EQ(hostwin::calls(Fn::ResetEvent), resets);
    transport.closePipes();
}

TEST_F(Transport, OpenBoardsAreRememberedWhileUsedOrOwingAndForgottenWhenTheyVanish) {
    vboard::Board &board = bench.plug(1, "A");
    bench.plug(1, "B");
    const std::size_t before = knownBoards();
    CFP2INSTANCE *first = connected(1, 0);
    connected(1, 0);
    connected(1, 1);
    EXPECT_EQ(knownBoards(), before + 2) << "one entry per board, however many instances";

    // A query that timed out: the board owes its reply after every user left.
    board.knobs().latencyMs = 150;
    std::uint8_t port = 0;
    EXPECT_EQ(veskcfp2_getPort(first, 1, &port), VESKCFP2_CMD_FAILED);
    board.knobs().latencyMs = 0;
    releaseInstances();
    EXPECT_EQ(knownBoards(), before + 1);

    // The board vanishes: the transfer that finds it gone takes the mark away.
    first = connected(1, 0);
    bench.unplug(board);
    EXPECT_EQ(veskcfp2_getPort(first, 1, &port), VESKCFP2_CMD_FAILED);
    EXPECT_EQ(knownBoards(), before);
}

}  // namespace
