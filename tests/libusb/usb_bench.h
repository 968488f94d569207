// usb_bench.h - virtual boards on a mocked Linux USB stack (umockdev): each
// board is a USB device in the mocked sysfs and /dev/bus/usb, and the
// usbdevfs ioctls that libusb issues on its node (claim, URB submit, reap,
// discard, kernel driver queries) are answered here by handing the reports
// to the virtual board firmware. Run under umockdev-wrapper.
#ifndef BREVANT_TESTS_USB_BENCH_H
#define BREVANT_TESTS_USB_BENCH_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "vboard/board.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace usbbench {

struct DeviceOptions {
    std::uint16_t productId = 0x8348;
    std::uint8_t bus = 1;
    std::vector<std::uint8_t> ports{1};  // port path below the root hub
    bool bulk = false;                   // bulk endpoints instead of interrupt ones
    std::string kernelDriver;            // a driver bound to interface 0 ("" none)
    bool mixed = false;                  // the IN endpoint of the other type (bulk <-> interrupt)
    bool padded = false;                 // the firmware pads every reply to a 64-byte packet
    bool configured = true;              // configuration 1 active ("" in bConfigurationValue if not)
    bool authorized = true;              // 0 in sysfs "authorized": stays unconfigured
    bool configurable = true;            // setting a configuration fails (EIO)
};

// One mocked USB device and the firmware behind it.
class Device {
   public:
    vboard::Board &board() { return *board_; }
    // Changes the firmware's knobs under the board's lock: umockdev's thread
    // may be answering a transfer from the same board meanwhile.
    template <typename Edit>
    void setKnobs(Edit edit) {
        std::lock_guard<std::mutex> hold(board_->mutex());
        edit(board_->knobs());
    }
    // Reads or changes the firmware's state under the board's lock, for the
    // same reason; returns what `look` returns.
    template <typename Look>
    auto withState(Look look) -> decltype(look(std::declval<vboard::BoardState &>())) {
        std::lock_guard<std::mutex> hold(board_->mutex());
        return look(board_->state());
    }
    const std::string &devnode() const { return devnode_; }

    // The interface is claimed by another program: claims fail with EBUSY.
    void setClaimedElsewhere(bool claimed);
    // The device node does not open for this user (EACCES).
    void setDenied(bool denied);
    // A discarded URB is not given back: the discard succeeds but the URB
    // stays outstanding until a reply completes it (a wedged controller).
    void setDiscardsLost(bool lost);
    // Unplugged: every ioctl fails with ENODEV from now on, outstanding
    // URBs included.
    void unplug();
    // The endpoint (0x01 or 0x81) halts at its next transfer, failing it and
    // every later one with EPIPE until the host clears the halt.
    void stallOnce(std::uint8_t endpoint);
    // Called once, on umockdev's thread, when the next IN URB is submitted,
    // before it is answered (with the device's lock not held).
    void onRead(std::function<void()> hook);
    // The same when the interface is next claimed.
    void onClaim(std::function<void()> hook);

    // URBs submitted and not yet reaped; interfaces claimed now; the driver
    // bound to interface 0 ("" none); times the interface was claimed.
    unsigned outstandingUrbs();
    unsigned claimedInterfaces();
    std::string kernelDriver();
    unsigned claims();
    // Reports that reached the firmware as OUT transfers of another length.
    unsigned badLengthWrites();
    // IN transfers whose length is not a whole number of packets.
    unsigned badLengthReads();
    // Replies longer than the IN transfer waiting for them (babble).
    unsigned babbles();
    // Halts cleared; configurations set; URBs refused because their type is
    // not the endpoint's.
    unsigned haltsCleared();
    unsigned configurationsSet();
    unsigned wrongTypeUrbs();

    // What poll() reports for the device's node: POLLOUT when a URB can be
    // reaped, POLLERR | POLLHUP once unplugged.
    short readiness();
    bool unplugged() {
        std::lock_guard<std::mutex> hold(mutex_);
        return gone_;
    }

    // Answers one ioctl (a UMockdevIoctlClient), on umockdev's thread.
    void handle(void *client);
    // The client's connection closed.
    void vanished(void *client);

   private:
    friend class Bench;
    struct Urb;
    void completeArrived(std::chrono::steady_clock::time_point now);
    // handle() under the device's lock; the hook to run after it, if any.
    std::function<void()> *handleLocked(void *client);
    // A kernel driver is bound to interface 0 (not detached).
    bool driverBound() const { return !driver_.empty() && driver_[0] != '('; }

    std::shared_ptr<vboard::Board> board_;
    std::string syspath_, devnode_;
    std::mutex mutex_;
    std::deque<std::shared_ptr<Urb>> pendingIn_;   // IN URBs waiting for a reply
    std::deque<std::shared_ptr<Urb>> done_;        // completed, waiting to be reaped
    struct Queued {
        std::vector<std::uint8_t> bytes;
        std::chrono::steady_clock::time_point at;
    };
    std::deque<Queued> replies_;
    bool gone_ = false;
    bool removed_ = false;
    bool claimedElsewhere_ = false;
    bool discardsLost_ = false;
    unsigned claimed_ = 0, claims_ = 0, badLength_ = 0;
    std::string driver_;
    DeviceOptions options_;
    std::uint8_t configuration_ = 1;
    void *claimant_ = nullptr;  // the connection (open file) holding the claim
    std::set<std::uint8_t> stallArmed_, halted_;
    std::function<void()> onRead_, onClaim_;
    unsigned badReads_ = 0, babbles_ = 0, haltsCleared_ = 0, configurationsSet_ = 0, wrongType_ = 0;
};

class Bench {
   public:
    Bench();
    ~Bench();
    Bench(const Bench &) = delete;
    Bench &operator=(const Bench &) = delete;

    // A board of `type` (0 or 1) with `serial`, at `options`' place.
    Device &plug(int type, const std::string &serial, DeviceOptions options = {});
    // A device that is no board: the board's vendor with another product
    // id, or another vendor.
    Device &plugForeign(std::uint16_t productId, DeviceOptions options, std::uint16_t vendorId = 0x04D8);
    // Takes the device out of sysfs as the kernel does on unplug (after
    // Device::unplug has failed its ioctls).
    void remove(Device &device);

    static bool denied(const char *path);
    // The file that stands for the device's node in the testbed.
    static std::string nodeFile(const Device &device);
    // Made on first use; libusb's context must come after it.
    static UMockdevTestbed *testbed();

   private:
    Device &add(std::shared_ptr<vboard::Board> board, std::uint16_t productId, DeviceOptions options,
                std::uint16_t vendorId = 0x04D8);

    UMockdevTestbed *testbed_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::uint8_t nextAddress_ = 2;
};

// Files this process has open (entries of /proc/self/fd).
std::set<std::string> openFiles();

}  // namespace usbbench

#endif
