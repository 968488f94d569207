// The libusb transport against the virtual board firmware on a mocked USB
// stack: the library's exports as a program calls them, with the bytes on
// the wire checked at the firmware, and after every test nothing left open.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "brevant.h"
#include "usb/libusb/libusb_transport.h"
#include "usb/usbapi.h"
#include "usb_bench.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> head(const vboard::Report &r, std::size_t n = 8) {
    return std::vector<std::uint8_t>(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(n));
}

[[maybe_unused]] long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class Libusb : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        // The testbed first, then the library's libusb context (made on its
        // first use): both live as long as the program.
        usbbench::Bench::testbed();
        VESK::findDevicePath(0, "", nullptr, 0, nullptr);
    }

    void SetUp() override {
        ASSERT_STREQ(std::getenv("BREVANT_SIMULATOR"), nullptr) << "these tests need the libusb transport";
        files_ = usbbench::openFiles();
        bench_ = std::make_unique<usbbench::Bench>();
    }

    void TearDown() override {
        for (CFP2INSTANCE *instance : instances_) {
            veskcfp2_disconnect(instance);
            veskcfp2_destroyInstance(instance);
        }
        instances_.clear();
        EXPECT_EQ(VESK::libusb::openDevices(), 0u) << "device handles left open";
        EXPECT_EQ(VESK::libusb::activeTransfers(), 0u) << "transfers left unfinished";
        for (usbbench::Device *device : devices_) {
            EXPECT_EQ(device->outstandingUrbs(), 0u) << device->devnode() << ": URBs never reaped";
            EXPECT_EQ(device->claimedInterfaces(), 0u) << device->devnode() << ": interface left claimed";
        }
        devices_.clear();
        bench_.reset();
        EXPECT_EQ(usbbench::openFiles(), files_) << "file descriptors left open";
    }

    usbbench::Device &plug(int type, const std::string &serial, usbbench::DeviceOptions options = {}) {
        usbbench::Device &device = bench_->plug(type, serial, std::move(options));
        devices_.push_back(&device);
        return device;
    }

    CFP2INSTANCE *create(int type, uint16_t index) {
        CFP2INSTANCE *instance = veskcfp2_createInstance(type, index);
        instances_.push_back(instance);
        return instance;
    }
    CFP2INSTANCE *connected(int type, uint16_t index) {
        CFP2INSTANCE *instance = create(type, index);
        EXPECT_EQ(veskcfp2_connect(instance), 1);
        return instance;
    }

    usbbench::Bench &bench() { return *bench_; }

   private:
    std::set<std::string> files_;
    std::unique_ptr<usbbench::Bench> bench_;
    std::vector<usbbench::Device *> devices_;
    std::vector<CFP2INSTANCE *> instances_;
};

TEST_F(Libusb, PingReachesTheFirmware) {
    usbbench::Device &device = plug(1, "ABC12345");
    CFP2INSTANCE *inst = connected(1, 0);
    uint8_t reply[20] = {};
    EXPECT_EQ(veskcfp2_ping(inst, reply), VESKCFP2_CMD_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(reply), 19), "VESK CFP2 8348 1.04");
    EXPECT_EQ(head(device.board().lastReport()), (std::vector<std::uint8_t>{0xF5, 0x01, 0, 0, 0, 0, 0, 0}));
}

}  // namespace
