// usb_bench.cpp - the mocked USB devices and their usbdevfs ioctls.
#include "usb_bench.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <glib/gstdio.h>
#include <umockdev.h>

#include <poll.h>

#include <cstdarg>
#include <map>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace usbbench {
namespace {

using Clock = std::chrono::steady_clock;

std::mutex deniedLock;
std::set<std::string> deniedNodes;

// Which device node each open file of the program is, and which device
// each node belongs to, so that poll() can answer for the nodes.
std::mutex nodesLock;
std::map<std::string, Device *> devicesByNode;
std::map<int, std::string> nodeOfFile;

constexpr char kUsbNodes[] = "/dev/bus/usb/";

constexpr std::uint8_t kInterrupt = 0x03, kBulk = 0x02;
constexpr int kPacket = 64;  // wMaxPacketSize of both endpoints

std::uint8_t outType(const DeviceOptions &options) { return options.bulk ? kBulk : kInterrupt; }
std::uint8_t inType(const DeviceOptions &options) {
    return options.bulk != options.mixed ? kBulk : kInterrupt;
}

// Device, configuration, interface 0 and its two endpoints, as the kernel
// gives them in sysfs "descriptors".
std::vector<std::uint8_t> descriptors(std::uint16_t vendorId, std::uint16_t productId,
                                      const DeviceOptions &options) {
    return {
        0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40,
        static_cast<std::uint8_t>(vendorId & 0xFF), static_cast<std::uint8_t>(vendorId >> 8),
        static_cast<std::uint8_t>(productId & 0xFF), static_cast<std::uint8_t>(productId >> 8),
        0x00, 0x01, 0x01, 0x02, 0x03, 0x01,
        0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
        0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00,
        0x07, 0x05, 0x01, outType(options), kPacket, 0x00, 0x01,
        0x07, 0x05, 0x81, inType(options), kPacket, 0x00, 0x01,
    };
}

}  // namespace

// One URB as the ioctl handler keeps it: the client's URB and buffer, both
// mapped here, and its outcome.
struct Device::Urb {
    UMockdevIoctlData *urb = nullptr;
    UMockdevIoctlData *buffer = nullptr;
    int status = 0;
    int actual = 0;
    ~Urb() {
        if (buffer != nullptr) g_object_unref(buffer);
        if (urb != nullptr) g_object_unref(urb);
    }
    usbdevfs_urb *fields() { return reinterpret_cast<usbdevfs_urb *>(urb->data); }
};

void Device::setClaimedElsewhere(bool claimed) {
    std::lock_guard<std::mutex> hold(mutex_);
    claimedElsewhere_ = claimed;
}

void Device::setDenied(bool denied) {
    std::lock_guard<std::mutex> hold(deniedLock);
    if (denied) deniedNodes.insert(devnode_);
    else deniedNodes.erase(devnode_);
}

void Device::setDiscardsLost(bool lost) {
    std::lock_guard<std::mutex> hold(mutex_);
    discardsLost_ = lost;
}

void Device::unplug() {
    std::lock_guard<std::mutex> hold(mutex_);
    gone_ = true;
}

unsigned Device::outstandingUrbs() {
    std::lock_guard<std::mutex> hold(mutex_);
    return static_cast<unsigned>(pendingIn_.size() + done_.size());
}
unsigned Device::claimedInterfaces() {
    std::lock_guard<std::mutex> hold(mutex_);
    return claimed_;
}
std::string Device::kernelDriver() {
    std::lock_guard<std::mutex> hold(mutex_);
    return driver_;
}
unsigned Device::claims() {
    std::lock_guard<std::mutex> hold(mutex_);
    return claims_;
}
unsigned Device::badLengthWrites() {
    std::lock_guard<std::mutex> hold(mutex_);
    return badLength_;
}
unsigned Device::badLengthReads() {
    std::lock_guard<std::mutex> hold(mutex_);
    return badReads_;
}
unsigned Device::babbles() {
    std::lock_guard<std::mutex> hold(mutex_);
    return babbles_;
}
unsigned Device::haltsCleared() {
    std::lock_guard<std::mutex> hold(mutex_);
    return haltsCleared_;
}
unsigned Device::configurationsSet() {
    std::lock_guard<std::mutex> hold(mutex_);
    return configurationsSet_;
}
unsigned Device::wrongTypeUrbs() {
    std::lock_guard<std::mutex> hold(mutex_);
    return wrongType_;
}

void Device::stallOnce(std::uint8_t endpoint) {
    std::lock_guard<std::mutex> hold(mutex_);
    stallArmed_.insert(endpoint);
}

void Device::onRead(std::function<void()> hook) {
    std::lock_guard<std::mutex> hold(mutex_);
    onRead_ = std::move(hook);
}

void Device::onClaim(std::function<void()> hook) {
    std::lock_guard<std::mutex> hold(mutex_);
    onClaim_ = std::move(hook);
}

// Hands replies that have arrived to the IN URBs waiting for them. A reply
// longer than the URB's buffer fails it with EOVERFLOW, as the host
// controller does with babble.
void Device::completeArrived(Clock::time_point now) {
    while (!pendingIn_.empty() && !replies_.empty() && replies_.front().at <= now) {
        std::shared_ptr<Urb> urb = pendingIn_.front();
        pendingIn_.pop_front();
        std::vector<std::uint8_t> bytes = std::move(replies_.front().bytes);
        replies_.pop_front();
        if (options_.padded) bytes.resize(std::max<std::size_t>(bytes.size(), kPacket), 0);
        const int room = urb->fields()->buffer_length;
        const int n = std::min<int>(room, static_cast<int>(bytes.size()));
        if (n > 0) std::memcpy(urb->buffer->data, bytes.data(), static_cast<std::size_t>(n));
        urb->actual = n;
        urb->status = static_cast<int>(bytes.size()) > room ? -EOVERFLOW : 0;
        if (urb->status != 0) ++babbles_;
        done_.push_back(urb);
    }
}

short Device::readiness() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (gone_) return POLLERR | POLLHUP;
    completeArrived(Clock::now());
    return done_.empty() ? 0 : POLLOUT;
}

void Device::handle(void *clientPointer) {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (std::function<void()> *chosen = handleLocked(clientPointer)) {
            hook = std::move(*chosen);
            *chosen = nullptr;
        }
    }
    if (hook) hook();
}

// A connection to the node closed (its program closed the file or ended):
// the kernel releases the interface it claimed.
void Device::vanished(void *client) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (claimant_ == client) {
        claimant_ = nullptr;
        claimed_ = 0;
    }
}

std::function<void()> *Device::handleLocked(void *clientPointer) {
    UMockdevIoctlClient *client = static_cast<UMockdevIoctlClient *>(clientPointer);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    auto fail = [&](int error) {
        umockdev_ioctl_client_complete(client, -1, error);
        return nullptr;
    };
    auto succeed = [&] {
        umockdev_ioctl_client_complete(client, 0, 0);
        return nullptr;
    };
    if (gone_) {
        // The kernel hands back outstanding URBs after a disconnect only to
        // programs that asked for it; libusb learns of the removal from
        // ENODEV and finishes them itself.
        pendingIn_.clear();
        done_.clear();
        return fail(ENODEV);
    }
    const Clock::time_point now = Clock::now();
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
            const std::uint32_t none = 0;
            std::memcpy(caps->data, &none, sizeof none);
            g_object_unref(caps);
            return succeed();
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            UMockdevIoctlData *number = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
            unsigned itf = 0;
            std::memcpy(&itf, number->data, sizeof itf);
            g_object_unref(number);
            if (itf != 0) return fail(EINVAL);
            if (request == USBDEVFS_RELEASEINTERFACE) {
                if (claimed_ == 0 || claimant_ != client) return fail(EINVAL);
                if (--claimed_ == 0) claimant_ = nullptr;
                return succeed();
            }
            // A claim belongs to the open file that made it; an interface
            // exists only while the device is configured.
            if (configuration_ == 0) return fail(ENOENT);
            if (claimedElsewhere_ || driverBound()) return fail(EBUSY);
            if (claimed_ > 0 && claimant_ != client) return fail(EBUSY);
            claimant_ = client;
            ++claimed_;
            ++claims_;
            succeed();
            return &onClaim_;
        }
        case USBDEVFS_SETCONFIGURATION: {
            UMockdevIoctlData *number = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
            unsigned value = 0;
            std::memcpy(&value, number->data, sizeof value);
            g_object_unref(number);
            if (value > 1) return fail(EINVAL);
            if (claimed_ > 0) return fail(EBUSY);
            ++configurationsSet_;
            if (!options_.configurable) return fail(EIO);
            // The kernel keeps a device that is not authorised unconfigured,
            // whatever is asked.
            configuration_ = options_.authorized ? static_cast<std::uint8_t>(value) : 0;
            umockdev_testbed_set_attribute(Bench::testbed(), syspath_.c_str(), "bConfigurationValue",
                                           configuration_ != 0 ? "1\n" : "");
            return succeed();
        }
        case USBDEVFS_CLEAR_HALT: {
            UMockdevIoctlData *number = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
            unsigned endpoint = 0;
            std::memcpy(&endpoint, number->data, sizeof endpoint);
            g_object_unref(number);
            if (endpoint != 0x01 && endpoint != 0x81) return fail(EINVAL);
            halted_.erase(static_cast<std::uint8_t>(endpoint));
            ++haltsCleared_;
            return succeed();
        }
        case USBDEVFS_GETDRIVER: {
            UMockdevIoctlData *query = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
            usbdevfs_getdriver *d = reinterpret_cast<usbdevfs_getdriver *>(query->data);
            const bool bound = d->interface == 0 && (driverBound() || claimed_ > 0);
            if (bound) std::snprintf(d->driver, sizeof d->driver, "%s", driverBound() ? driver_.c_str() : "usbfs");
            g_object_unref(query);
            return bound ? succeed() : fail(ENODATA);
        }
        case USBDEVFS_IOCTL: {
            UMockdevIoctlData *call = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
            const usbdevfs_ioctl c = *reinterpret_cast<usbdevfs_ioctl *>(call->data);
            g_object_unref(call);
            if (c.ifno != 0) return fail(EINVAL);
            if (c.ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
                if (!driverBound()) return fail(ENODATA);
                driver_ = "(detached:" + driver_ + ")";
                return succeed();
            }
            if (c.ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
                const std::string prefix = "(detached:";
                if (driver_.compare(0, prefix.size(), prefix) == 0)
                    driver_ = driver_.substr(prefix.size(), driver_.size() - prefix.size() - 1);
                return succeed();
            }
            return fail(ENOTTY);
        }
        case USBDEVFS_SUBMITURB: {
            auto urb = std::make_shared<Urb>();
            urb->urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
            usbdevfs_urb *u = urb->fields();
            if (u->buffer_length < 0 || (u->endpoint != 0x01 && u->endpoint != 0x81)) return fail(EINVAL);
            // Linux refuses an interrupt URB on a bulk endpoint, and any
            // other type than bulk or interrupt; a bulk URB on an interrupt
            // endpoint goes as an interrupt one.
            const std::uint8_t type = u->endpoint == 0x01 ? outType(options_) : inType(options_);
            if ((u->type != USBDEVFS_URB_TYPE_BULK && u->type != USBDEVFS_URB_TYPE_INTERRUPT) ||
                (u->type == USBDEVFS_URB_TYPE_INTERRUPT && type != kInterrupt)) {
                ++wrongType_;
                return fail(EINVAL);
            }
            urb->buffer = umockdev_ioctl_data_resolve(urb->urb, offsetof(usbdevfs_urb, buffer),
                                                      static_cast<gsize>(u->buffer_length), nullptr);
            if (stallArmed_.erase(u->endpoint) > 0) halted_.insert(u->endpoint);
            if (halted_.count(u->endpoint) > 0) {
                urb->status = -EPIPE;
                done_.push_back(urb);
                return succeed();
            }
            if (u->endpoint == 0x01) {
                if (u->buffer_length != 64) ++badLength_;
                // The firmware takes its own lock; it never calls back here.
                std::optional<hostwin::Reply> reply =
                    board_->onWrite(urb->buffer->data, static_cast<std::size_t>(u->buffer_length));
                if (reply) replies_.push_back({std::move(reply->bytes), now + std::chrono::milliseconds(reply->latencyMs)});
                urb->actual = u->buffer_length;
                done_.push_back(urb);
            } else {
                if (u->buffer_length % kPacket != 0) ++badReads_;
                pendingIn_.push_back(urb);
            }
            completeArrived(now);
            umockdev_ioctl_client_complete(client, 0, 0);
            return u->endpoint == 0x81 ? &onRead_ : nullptr;
        }
        case USBDEVFS_DISCARDURB: {
            void *address = nullptr;
            std::memcpy(&address, arg->data, sizeof address);
            for (auto it = pendingIn_.begin(); it != pendingIn_.end(); ++it) {
                if (reinterpret_cast<void *>((*it)->urb->client_addr) == address) {
                    if (discardsLost_) return succeed();
                    (*it)->status = -ENOENT;
                    done_.push_back(*it);
                    pendingIn_.erase(it);
                    return succeed();
                }
            }
            return fail(EINVAL);
        }
        case USBDEVFS_REAPURBNDELAY: {
            completeArrived(now);
            if (done_.empty()) return fail(EAGAIN);
            std::shared_ptr<Urb> urb = done_.front();
            done_.pop_front();
            urb->fields()->status = urb->status;
            urb->fields()->actual_length = urb->actual;
            // The argument points at the program's URB pointer: set that to
            // the URB it submitted.
            UMockdevIoctlData *out = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
            umockdev_ioctl_data_set_ptr(out, 0, urb->urb);
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(out);
            return nullptr;
        }
        default:
            return fail(ENOTTY);
    }
}

namespace {

gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer device) {
    static_cast<Device *>(device)->handle(client);
    return TRUE;
}

void onVanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer device) {
    static_cast<Device *>(device)->vanished(client);
}

}  // namespace

// One testbed for the whole program: libusb watches the uevents of the
// testbed that existed when its context was made.
UMockdevTestbed *Bench::testbed() {
    static UMockdevTestbed *const made = [] {
        const char *preload = std::getenv("LD_PRELOAD");
        if (preload == nullptr || std::strstr(preload, "umockdev-preload") == nullptr)
            throw std::runtime_error("run under umockdev-wrapper");
        return umockdev_testbed_new();
    }();
    return made;
}

Bench::Bench() : testbed_(testbed()) {}

Bench::~Bench() {
    for (auto &device : devices_) {
        device->setDenied(false);
        if (!device->removed_) remove(*device);
        umockdev_testbed_detach_ioctl(testbed_, device->devnode_.c_str(), nullptr);
        std::lock_guard<std::mutex> hold(nodesLock);
        devicesByNode.erase(device->devnode_);
    }
}

Device &Bench::plug(int type, const std::string &serial, DeviceOptions options) {
    auto board = std::make_shared<vboard::Board>(type, serial);
    return add(board, type == 1 ? 0x8348 : 0x8248, std::move(options));
}

Device &Bench::plugForeign(std::uint16_t productId, DeviceOptions options, std::uint16_t vendorId) {
    return add(std::make_shared<vboard::Board>(0, "FOREIGN"), productId, std::move(options), vendorId);
}

Device &Bench::add(std::shared_ptr<vboard::Board> board, std::uint16_t productId, DeviceOptions options,
                   std::uint16_t vendorId) {
    auto device = std::make_unique<Device>();
    device->board_ = std::move(board);
    device->driver_ = options.kernelDriver;
    device->options_ = options;
    device->configuration_ = options.configured && options.authorized ? 1 : 0;
    std::string name = std::to_string(options.bus);
    for (std::size_t i = 0; i < options.ports.size(); ++i)
        name += (i == 0 ? "-" : ".") + std::to_string(options.ports[i]);
    const std::uint8_t address = nextAddress_++;
    char devnode[32], busnum[8], devnum[8], product[8], vendor[8];
    std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/%03u/%03u", options.bus, address);
    std::snprintf(busnum, sizeof busnum, "%u", options.bus);
    std::snprintf(devnum, sizeof devnum, "%u", address);
    std::snprintf(product, sizeof product, "%04x", productId);
    std::snprintf(vendor, sizeof vendor, "%04x", vendorId);
    gchar *syspath = umockdev_testbed_add_device(
        testbed_, "usb", name.c_str(), nullptr,
        "busnum", (busnum + std::string("\n")).c_str(), "devnum", (devnum + std::string("\n")).c_str(),
        "speed", "12\n", "bConfigurationValue", device->configuration_ != 0 ? "1\n" : "",
        "authorized", options.authorized ? "1\n" : "0\n", "bNumConfigurations", "1\n",
        "idVendor", (vendor + std::string("\n")).c_str(),
        "idProduct", (product + std::string("\n")).c_str(), nullptr,
        "DEVNAME", devnode, "DEVTYPE", "usb_device", "BUSNUM", busnum, "DEVNUM", devnum, nullptr);
    if (syspath == nullptr) throw std::runtime_error("umockdev did not add " + name);
    device->syspath_ = syspath;
    g_free(syspath);
    std::vector<std::uint8_t> raw = descriptors(vendorId, productId, options);
    umockdev_testbed_set_attribute_binary(testbed_, device->syspath_.c_str(), "descriptors", raw.data(),
                                          static_cast<gint>(raw.size()));
    device->devnode_ = devnode;
    // The device node itself; umockdev routes its ioctls to the handler.
    gchar *root = umockdev_testbed_get_root_dir(testbed_);
    const std::string node = std::string(root) + devnode;
    g_free(root);
    g_mkdir_with_parents(node.substr(0, node.rfind('/')).c_str(), 0755);
    if (!g_file_set_contents(node.c_str(), "", 0, nullptr)) throw std::runtime_error("cannot make " + node);
    // The "add" uevent went out before the descriptors were there; a second
    // one lets libusb take the device should it have read too early.
    umockdev_testbed_uevent(testbed_, device->syspath_.c_str(), "add");

    // From here on umockdev's thread answers the node's ioctls with this
    // device and its board, both built on this thread. The program's ioctls
    // reach that thread through umockdev's socket, written by its preload
    // library with libc's own calls, which ThreadSanitizer does not see; so
    // the two are handed over through the locks that thread takes (device,
    // then board, in its order), which it does see.
    {
        std::lock_guard<std::mutex> device_hold(device->mutex_);
        std::lock_guard<std::mutex> board_hold(device->board_->mutex());
    }
    UMockdevIoctlBase *handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), device.get());
    g_signal_connect(handler, "client-vanished", G_CALLBACK(onVanished), device.get());
    GError *error = nullptr;
    const bool attached = umockdev_testbed_attach_ioctl(testbed_, devnode, handler, &error);
    g_object_unref(handler);
    if (!attached) {
        const std::string why = error != nullptr ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("umockdev did not attach to " + std::string(devnode) + ": " + why);
    }
    {
        std::lock_guard<std::mutex> hold(nodesLock);
        devicesByNode[device->devnode_] = device.get();
    }
    devices_.push_back(std::move(device));
    return *devices_.back();
}

void Bench::remove(Device &device) {
    device.unplug();
    device.removed_ = true;
    umockdev_testbed_uevent(testbed_, device.syspath_.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, device.syspath_.c_str());
    gchar *root = umockdev_testbed_get_root_dir(testbed_);
    g_unlink((std::string(root) + device.devnode_).c_str());
    g_free(root);
}

std::string Bench::nodeFile(const Device &device) {
    gchar *root = umockdev_testbed_get_root_dir(testbed());
    const std::string file = std::string(root) + device.devnode_;
    g_free(root);
    return file;
}

bool Bench::denied(const char *path) {
    std::lock_guard<std::mutex> hold(deniedLock);
    return path != nullptr && deniedNodes.count(path) != 0;
}

std::set<std::string> openFiles() {
    std::set<std::string> files;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return files;
    const int own = dirfd(dir);
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) continue;
        char target[512] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        files.insert(std::string(entry->d_name) + " -> " + (n > 0 ? target : "?"));
    }
    closedir(dir);
    return files;
}

}  // namespace usbbench

// A device node the test marks as denied does not open, as for a user
// without the udev rule. Everything else goes on to umockdev's own open.
// A child the test forks calls the real functions only: the devices and
// their locks are the parent's (copied at the fork, perhaps while held), and
// umockdev's node, a socket, polls writable, so its URBs are reaped as they
// come.
namespace {
const pid_t benchProcess = getpid();
bool inChild() { return getpid() != benchProcess; }
template <typename Fn>
Fn next(const char *name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}
int deniedOpen(const char *path) {
    if (inChild() || !usbbench::Bench::denied(path)) return 0;
    errno = EACCES;
    return -1;
}
int opened(const char *path, int fd) {
    if (inChild()) return fd;
    if (fd >= 0 && path != nullptr && std::strncmp(path, usbbench::kUsbNodes, sizeof usbbench::kUsbNodes - 1) == 0) {
        std::lock_guard<std::mutex> hold(usbbench::nodesLock);
        usbbench::nodeOfFile[fd] = path;
    }
    return fd;
}
usbbench::Device *deviceOfFile(int fd) {
    std::lock_guard<std::mutex> hold(usbbench::nodesLock);
    auto node = usbbench::nodeOfFile.find(fd);
    if (node == usbbench::nodeOfFile.end()) return nullptr;
    auto device = usbbench::devicesByNode.find(node->second);
    return device == usbbench::devicesByNode.end() ? nullptr : device->second;
}
}  // namespace

extern "C" {

int open(const char *path, int flags, ...) {
    if (deniedOpen(path) < 0) return -1;
    va_list args;
    va_start(args, flags);
    const mode_t mode = va_arg(args, mode_t);
    va_end(args);
    static auto real = next<int (*)(const char *, int, ...)>("open");
    return opened(path, real(path, flags, mode));
}

int open64(const char *path, int flags, ...) {
    if (deniedOpen(path) < 0) return -1;
    va_list args;
    va_start(args, flags);
    const mode_t mode = va_arg(args, mode_t);
    va_end(args);
    static auto real = next<int (*)(const char *, int, ...)>("open64");
    return opened(path, real(path, flags, mode));
}

int __open_2(const char *path, int flags) {
    if (deniedOpen(path) < 0) return -1;
    static auto real = next<int (*)(const char *, int)>("__open_2");
    return opened(path, real(path, flags));
}

int __open64_2(const char *path, int flags) {
    if (deniedOpen(path) < 0) return -1;
    static auto real = next<int (*)(const char *, int)>("__open64_2");
    return opened(path, real(path, flags));
}

int close(int fd) {
    if (!inChild()) {
        std::lock_guard<std::mutex> hold(usbbench::nodesLock);
        usbbench::nodeOfFile.erase(fd);
    }
    static auto real = next<int (*)(int)>("close");
    return real(fd);
}

// A usbdevfs node polls writable when a URB can be reaped and with an error
// once its device is gone; umockdev's node is a socket, always writable.
// The other files are polled for real, in short slices while any node waits.
int poll(struct pollfd *fds, nfds_t count, int timeout) {
    static auto real = next<int (*)(struct pollfd *, nfds_t, int)>("poll");
    if (inChild()) return real(fds, count, timeout);
    std::vector<usbbench::Device *> devices(count, nullptr);
    bool any = false;
    for (nfds_t i = 0; i < count; ++i) {
        devices[i] = deviceOfFile(fds[i].fd);
        any = any || devices[i] != nullptr;
    }
    if (!any) return real(fds, count, timeout);

    std::vector<struct pollfd> others(fds, fds + count);
    for (nfds_t i = 0; i < count; ++i) {
        if (devices[i] != nullptr) others[i].fd = -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    for (;;) {
        int ready = 0;
        for (nfds_t i = 0; i < count; ++i) {
            if (devices[i] == nullptr) continue;
            fds[i].revents = static_cast<short>(devices[i]->readiness() & (fds[i].events | POLLERR | POLLHUP));
            if (fds[i].revents != 0) ++ready;
        }
        const auto now = std::chrono::steady_clock::now();
        const long left = timeout < 0 ? 2 : std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count());
        const int slice = ready > 0 ? 0 : static_cast<int>(std::min<long>(left, 2));
        const int others_ready = real(others.data(), count, slice);
        if (others_ready < 0) return others_ready;
        for (nfds_t i = 0; i < count; ++i) {
            if (devices[i] == nullptr) fds[i].revents = others[i].revents;
        }
        ready += others_ready;
        if (ready > 0 || (timeout >= 0 && left == 0)) return ready;
    }
}

}  // extern "C"
