// libusb_transport.cpp - the libusb backend: the board list, the shared
// claimed handles and the transfers.
#include "usb/libusb/libusb_transport.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "protocol/report.h"

namespace VESK {
namespace libusb {
namespace {

constexpr std::uint16_t kVendorId = 0x04D8;
constexpr std::uint16_t kProductIds[] = {0x8248, 0x8348};
constexpr int kInterface = 0;
constexpr unsigned char kOutEndpoint = 0x01;
constexpr unsigned char kInEndpoint = 0x81;
// A write is not bounded on Windows; here a board that never takes a report
// must not hang its caller for ever.
constexpr unsigned kWriteTimeoutMs = 1000;
constexpr int kMaxPorts = 7;  // USB allows 7 tiers below the root

// The last transfer error of this thread (0 after a success).
thread_local int lastError = 0;

std::atomic<unsigned> activeTransferCount{0};
std::atomic<unsigned> abandonedTransferCount{0};
// How long past its timeout a transfer is waited for before it is cancelled
// once more, and as long again before it is given up.
constexpr unsigned kGraceMs = 2000;

// The process's libusb context, made on first use. A lookup after a failed
// libusb_init tries again: a program started before USB or udev was ready
// (a service at boot) finds its boards once they are. A child process made
// by fork never uses its parent's: libusb's event handling, its file
// descriptors and the parent's claimed handles belong to the parent, so the
// child forgets them (without closing anything the parent still uses) and
// makes a context of its own on its first call.
//
// libusb's start and its device lookup take locks of libusb's own, which a
// fork would copy into the child as they are: a child forked while another
// thread of ours is in either would wait for ever in its own start of
// libusb. Both therefore run under contextLock, which the fork handling
// takes. (libusb's hotplug thread takes the same lock when a device comes
// or goes; that moment no lock of ours can cover.)
std::mutex contextLock;
libusb_context *madeContext = nullptr;  // guarded by contextLock
unsigned startsToFail = 0;              // guarded by contextLock

// The context, started if need be; contextLock is held.
libusb_context *startedContext() {
    if (madeContext == nullptr) {
        if (startsToFail > 0) {
            --startsToFail;
            return nullptr;
        }
        libusb_context *ctx = nullptr;
        if (libusb_init(&ctx) == LIBUSB_SUCCESS) madeContext = ctx;
    }
    return madeContext;
}

libusb_context *context() {
    std::lock_guard<std::mutex> hold(contextLock);
    return startedContext();
}

// One board in the list, with the reference the list holds on it.
struct Listed {
    libusb_device *device;
    std::uint8_t bus;
    std::uint8_t ports[kMaxPorts];
    int portCount;
    std::uint16_t productId;
};

bool before(const Listed &a, const Listed &b) {
    if (a.bus != b.bus) return a.bus < b.bus;
    return std::lexicographical_compare(a.ports, a.ports + a.portCount, b.ports,
                                        b.ports + b.portCount);
}

// The boards present, in bus and port order, as libusb lists them now.
// Every entry holds a reference that releaseList gives back.
bool listPresent(std::vector<Listed> &boards) {
    libusb_device **all = nullptr;
    ssize_t count = 0;
    {
        std::lock_guard<std::mutex> hold(contextLock);
        libusb_context *ctx = startedContext();
        if (ctx == nullptr) return false;
        count = libusb_get_device_list(ctx, &all);
    }
    if (count < 0) return false;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(all[i], &d) != LIBUSB_SUCCESS) continue;
        if (d.idVendor != kVendorId ||
            std::find(std::begin(kProductIds), std::end(kProductIds), d.idProduct) ==
                std::end(kProductIds)) {
            continue;
        }
        Listed entry{};
        entry.device = libusb_ref_device(all[i]);
        entry.bus = libusb_get_bus_number(all[i]);
        const int ports = libusb_get_port_numbers(all[i], entry.ports, kMaxPorts);
        entry.portCount = ports > 0 ? ports : 0;
        entry.productId = d.idProduct;
        boards.push_back(entry);
    }
    libusb_free_device_list(all, 1);
    std::sort(boards.begin(), boards.end(), before);
    return true;
}

void releaseList(std::vector<Listed> &boards) {
    for (Listed &entry : boards) libusb_unref_device(entry.device);
    boards.clear();
}

// The listing this thread holds (holdDeviceList): made on the first lookup
// after the hold and read by every lookup until the hold ends, so the two
// pipes of a transport are on one device and an enumeration neither lists a
// board twice nor misses one when a device comes or goes meanwhile.
struct HeldList {
    unsigned depth = 0;
    bool listed = false;
    bool ok = false;
    std::vector<Listed> boards;
};
thread_local HeldList held;

// The boards present, from the held listing when there is one. Every entry
// holds a reference that releaseList gives back.
bool listBoards(std::vector<Listed> &boards) {
    if (held.depth == 0) return listPresent(boards);
    if (!held.listed) {
        held.ok = listPresent(held.boards);
        held.listed = true;
    }
    for (const Listed &entry : held.boards) {
        boards.push_back(entry);
        libusb_ref_device(entry.device);
    }
    return held.ok;
}

void holdDeviceList(bool hold) {
    if (hold) {
        ++held.depth;
    } else if (held.depth > 0 && --held.depth == 0) {
        releaseList(held.boards);
        held.listed = false;
    }
}

// "vid_04d8&pid_8348": what a match text is searched in.
void identityText(std::uint16_t productId, char (&text)[24]) {
    std::snprintf(text, sizeof text, "vid_%04x&pid_%04x", kVendorId, productId);
}

// "1-2.3": the device's bus and port path, as sysfs names it.
std::string portPath(const Listed &entry) {
    std::string path = std::to_string(entry.bus);
    for (int i = 0; i < entry.portCount; ++i) {
        path += i == 0 ? '-' : '.';
        path += std::to_string(entry.ports[i]);
    }
    return path;
}

// The board at `memberIndex` matching `matchText`, with a reference of its
// own, or a lookup result saying why there is none.
int lookUp(std::uint32_t memberIndex, const char *matchText, Listed &found) {
    std::vector<Listed> boards;
    if (!listBoards(boards)) return LOOKUP_ERROR;
    int result = LOOKUP_NO_MORE;
    if (memberIndex < boards.size()) {
        const Listed &entry = boards[memberIndex];
        char identity[24];
        identityText(entry.productId, identity);
        if (matchText != nullptr && std::strstr(identity, matchText) == nullptr) {
            result = LOOKUP_NO_MATCH;
        } else {
            found = entry;
            libusb_ref_device(found.device);
            result = LOOKUP_OK;
        }
    }
    releaseList(boards);
    return result;
}

// One opened device with its interface claimed, shared by every pipe of the
// process on that device.
struct SharedDevice {
    libusb_device *device;  // referenced while open
    libusb_device_handle *handle;
    unsigned users;
    bool driverDetached;  // a kernel driver was bound and is to be re-attached
    unsigned char outType, inType;  // LIBUSB_TRANSFER_TYPE_BULK or _INTERRUPT
    std::uint32_t inPacketSize;     // wMaxPacketSize of the IN endpoint
    std::atomic<bool> gone{false};
    // Opened by the parent of this forked process: never touched here.
    bool inherited = false;
};

struct Pipe {
    SharedDevice *shared;
    PipeDirection direction;
};

// A transfer with what it owns: the completion flag its callback sets and
// the buffer libusb fills or sends. All three live and die together.
struct InFlight {
    libusb_transfer *transfer;
    SharedDevice *shared;
    unsigned char *buffer;
    int completed;
};

void release(InFlight *flight) {
    libusb_free_transfer(flight->transfer);
    delete[] flight->buffer;
    delete flight;
}

std::mutex devicesLock;
std::vector<SharedDevice *> devices;  // guarded by devicesLock
// Transfers given up on while their device stays open: libusb may still
// complete them (and write their flag and buffer) until the handle closes.
std::vector<InFlight *> abandoned;  // guarded by devicesLock

// fork: the library's fork handling takes these locks around it, so the
// child finds them free; the child then forgets the parent's context,
// devices and transfers. Their memory is left as it is (the parent's
// instances copied into the child still point at them); nothing is closed
// or released, which would act on the parent's open files.
void forkPrepare() {
    devicesLock.lock();
    contextLock.lock();
}
void forkParent() {
    contextLock.unlock();
    devicesLock.unlock();
}
void forkChild() {
    for (SharedDevice *shared : devices) shared->inherited = true;
    devices.clear();
    abandoned.clear();
    madeContext = nullptr;
    activeTransferCount = 0;
    contextLock.unlock();
    devicesLock.unlock();
}

// What the claimed interface offers: the transfer types of endpoints 0x01
// and 0x81 on interface 0, and the IN endpoint's packet size.
struct Endpoints {
    unsigned char outType = 0, inType = 0;
    std::uint32_t inPacketSize = 0;
};

bool findEndpoints(libusb_device *device, std::uint8_t configuration, Endpoints &found) {
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_config_descriptor_by_value(device, configuration, &config) != LIBUSB_SUCCESS)
        return false;
    bool haveOut = false, haveIn = false;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface &itf = config->interface[i];
        if (itf.num_altsetting < 1 || itf.altsetting[0].bInterfaceNumber != kInterface) continue;
        const libusb_interface_descriptor &alt = itf.altsetting[0];
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor &ep = alt.endpoint[e];
            const unsigned char type = ep.bmAttributes & 0x03;
            if (type != LIBUSB_TRANSFER_TYPE_BULK && type != LIBUSB_TRANSFER_TYPE_INTERRUPT)
                continue;
            if (ep.bEndpointAddress == kOutEndpoint) {
                found.outType = type;
                haveOut = true;
            } else if (ep.bEndpointAddress == kInEndpoint) {
                found.inType = type;
                // Bits 0-10 are the size; high-speed ones above say how many
                // packets go per microframe.
                found.inPacketSize = ep.wMaxPacketSize & 0x07FF;
                haveIn = found.inPacketSize > 0;
            }
        }
    }
    libusb_free_config_descriptor(config);
    return haveOut && haveIn;
}

// The device's active configuration, after setting configuration 1 on a
// device that has none (configuration 0: left unconfigured because it is
// not authorised yet, as under USBGuard or authorized_default=0, or by a
// driver that gave it up). A configured device is left alone: setting its
// configuration again would reset it under whoever else uses it. 0 when it
// stays unconfigured or cannot be asked.
std::uint8_t configure(libusb_device_handle *handle) {
    int value = 0;
    if (libusb_get_configuration(handle, &value) != LIBUSB_SUCCESS) return 0;
    if (value != 0) return static_cast<std::uint8_t>(value);
    if (libusb_set_configuration(handle, 1) != LIBUSB_SUCCESS) return 0;
    if (libusb_get_configuration(handle, &value) != LIBUSB_SUCCESS) return 0;
    return static_cast<std::uint8_t>(value);
}

// Opens, configures an unconfigured device, detaches a kernel driver and
// claims interface 0. Null on failure; whatever was done is undone.
SharedDevice *openShared(libusb_device *device) {
    libusb_device_handle *handle = nullptr;
    if (libusb_open(device, &handle) != LIBUSB_SUCCESS) return nullptr;
    Endpoints endpoints;
    const std::uint8_t configuration = configure(handle);
    if (configuration == 0 || !findEndpoints(device, configuration, endpoints)) {
        libusb_close(handle);
        return nullptr;
    }
    bool detached = false;
    if (libusb_kernel_driver_active(handle, kInterface) == 1) {
        if (libusb_detach_kernel_driver(handle, kInterface) != LIBUSB_SUCCESS) {
            libusb_close(handle);
            return nullptr;
        }
        detached = true;
    }
    if (libusb_claim_interface(handle, kInterface) != LIBUSB_SUCCESS) {
        if (detached) libusb_attach_kernel_driver(handle, kInterface);
        libusb_close(handle);
        return nullptr;
    }
    SharedDevice *shared = new (std::nothrow) SharedDevice;
    if (shared == nullptr) {
        libusb_release_interface(handle, kInterface);
        if (detached) libusb_attach_kernel_driver(handle, kInterface);
        libusb_close(handle);
        return nullptr;
    }
    shared->device = libusb_ref_device(device);
    shared->handle = handle;
    shared->users = 0;
    shared->driverDetached = detached;
    shared->outType = endpoints.outType;
    shared->inType = endpoints.inType;
    shared->inPacketSize = endpoints.inPacketSize;
    return shared;
}

void closeShared(SharedDevice *shared) {
    libusb_release_interface(shared->handle, kInterface);
    if (shared->driverDetached && !shared->gone) {
        libusb_attach_kernel_driver(shared->handle, kInterface);
    }
    libusb_close(shared->handle);
    // Once its handle is closed libusb no longer touches a transfer of the
    // device, completed or not: what was given up on is released now.
    const auto mine = std::stable_partition(
        abandoned.begin(), abandoned.end(),
        [shared](const InFlight *flight) { return flight->shared != shared; });
    std::for_each(mine, abandoned.end(), release);
    abandoned.erase(mine, abandoned.end());
    libusb_unref_device(shared->device);
    delete shared;
}

// One user of the device less; the last one closes it. A device the parent
// process opened is only forgotten: its handle and claim are the parent's.
void releaseUse(SharedDevice *shared) {
    std::lock_guard<std::mutex> hold(devicesLock);
    if (shared->inherited) {
        if (--shared->users == 0) delete shared;
        return;
    }
    if (--shared->users == 0) {
        devices.erase(std::find(devices.begin(), devices.end(), shared));
        closeShared(shared);
    }
}

int findDevicePath(std::uint32_t memberIndex, const char *matchText, char *destination,
                   std::uint32_t destinationSize, std::uint32_t *pathLength) {
    if (pathLength != nullptr) *pathLength = 0;
    Listed entry{};
    const int result = lookUp(memberIndex, matchText, entry);
    if (result != LOOKUP_OK) return result;
    const std::string path = portPath(entry);
    libusb_unref_device(entry.device);
    if (pathLength != nullptr) *pathLength = static_cast<std::uint32_t>(path.size());
    if (destination == nullptr) return LOOKUP_OK;
    if (path.size() >= destinationSize) return LOOKUP_TOO_LONG;
    std::memcpy(destination, path.c_str(), path.size() + 1);
    return LOOKUP_OK;
}

// The board whose port path is `path`, from the listing the lookup that
// gave the path saw when the caller holds one, with a reference of its own.
bool lookUpPath(const char *path, Listed &found) {
    std::vector<Listed> boards;
    if (!listBoards(boards)) return false;
    bool ok = false;
    for (const Listed &entry : boards) {
        if (!ok && portPath(entry) == path) {
            found = entry;
            libusb_ref_device(found.device);
            ok = true;
        }
    }
    releaseList(boards);
    return ok;
}

PipeHandle openPipe(const char *path, const char *, PipeDirection direction) {
    if (path == nullptr) return noPipe();
    Listed entry{};
    if (!lookUpPath(path, entry)) return noPipe();

    SharedDevice *shared = nullptr;
    {
        std::lock_guard<std::mutex> hold(devicesLock);
        for (SharedDevice *open : devices) {
            if (open->device == entry.device && !open->gone) shared = open;
        }
        if (shared == nullptr) {
            shared = openShared(entry.device);
            if (shared != nullptr) devices.push_back(shared);
        }
        if (shared != nullptr) ++shared->users;
    }
    libusb_unref_device(entry.device);
    if (shared == nullptr) return noPipe();
    Pipe *pipe = new (std::nothrow) Pipe{shared, direction};
    if (pipe == nullptr) {
        releaseUse(shared);
        return noPipe();
    }
    return pipe;
}

bool closePipe(PipeHandle handle) {
    Pipe *pipe = static_cast<Pipe *>(handle);
    SharedDevice *shared = pipe->shared;
    delete pipe;
    releaseUse(shared);
    return true;
}

// The completion flag a transfer's thread waits on. The callback may run on
// whichever thread handles libusb's events at the time, so the flag is
// written and read atomically (libusb reads it too, as a plain int, under
// its own lock).
void LIBUSB_CALL transferDone(libusb_transfer *transfer) {
    __atomic_store_n(static_cast<int *>(transfer->user_data), 1, __ATOMIC_RELEASE);
}

bool isDone(int *completed) { return __atomic_load_n(completed, __ATOMIC_ACQUIRE) != 0; }

int errorOf(libusb_transfer_status status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED: return LIBUSB_SUCCESS;
        case LIBUSB_TRANSFER_TIMED_OUT: return LIBUSB_ERROR_TIMEOUT;
        // Only this transport cancels, once a transfer outlived its timeout.
        case LIBUSB_TRANSFER_CANCELLED: return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
        default: return LIBUSB_ERROR_IO;
    }
}

// One transfer on the calling thread, into or out of a buffer of its own.
// libusb cancels it when its timeout runs out; either way it has completed,
// and libusb no longer touches the transfer, its flag or its buffer, before
// they are released. A transfer that does not complete even after a further
// cancel and a long grace is abandoned: it is kept, flag and buffer with it,
// until its device's handle closes (the caller's buffer is never written
// after this returns).
bool transfer(Pipe *pipe, unsigned char endpoint, std::uint8_t *data, std::uint32_t length,
              unsigned timeoutMs, std::uint32_t *count) {
    if (count != nullptr) *count = 0;
    SharedDevice *shared = pipe->shared;
    if (shared->gone || shared->inherited) {
        lastError = LIBUSB_ERROR_NO_DEVICE;
        return false;
    }
    const bool out = endpoint == kOutEndpoint;
    // A read takes whole packets: a device that sends more than a read asks
    // for makes the host controller report babble, which loses the data and
    // on some controllers leaves the endpoint out of step.
    const std::uint32_t packet = shared->inPacketSize;
    const std::uint32_t submitted =
        out ? length : std::max<std::uint32_t>(1, (length + packet - 1) / packet) * packet;
    InFlight *flight = new (std::nothrow) InFlight{nullptr, shared, nullptr, 0};
    if (flight != nullptr) {
        flight->transfer = libusb_alloc_transfer(0);
        flight->buffer = new (std::nothrow) unsigned char[submitted > 0 ? submitted : 1];
    }
    if (flight == nullptr || flight->transfer == nullptr || flight->buffer == nullptr) {
        if (flight != nullptr) release(flight);
        lastError = LIBUSB_ERROR_NO_MEM;
        return false;
    }
    libusb_transfer *t = flight->transfer;
    unsigned char *buffer = flight->buffer;
    int *completed = &flight->completed;
    if (out) std::memcpy(buffer, data, length);
    const unsigned char type = out ? shared->outType : shared->inType;
    if (type == LIBUSB_TRANSFER_TYPE_BULK) {
        libusb_fill_bulk_transfer(t, shared->handle, endpoint, buffer, static_cast<int>(submitted),
                                  transferDone, completed, timeoutMs);
    } else {
        libusb_fill_interrupt_transfer(t, shared->handle, endpoint, buffer,
                                       static_cast<int>(submitted), transferDone, completed,
                                       timeoutMs);
    }
    int error = libusb_submit_transfer(t);
    if (error == LIBUSB_SUCCESS) {
        ++activeTransferCount;
        using Clock = std::chrono::steady_clock;
        const Clock::time_point start = Clock::now();
        const auto cancelAt = start + std::chrono::milliseconds(timeoutMs + kGraceMs);
        const auto abandonAt = cancelAt + std::chrono::milliseconds(kGraceMs);
        bool cancelled = false;
        while (!isDone(completed)) {
            timeval slice{0, 50 * 1000};
            libusb_handle_events_timeout_completed(context(), &slice, completed);
            if (isDone(completed)) break;
            const Clock::time_point now = Clock::now();
            if (!cancelled && now > cancelAt) {
                libusb_cancel_transfer(t);
                cancelled = true;
            } else if (now > abandonAt) {
                {
                    std::lock_guard<std::mutex> hold(devicesLock);
                    abandoned.push_back(flight);
                }
                ++abandonedTransferCount;
                --activeTransferCount;
                lastError = LIBUSB_ERROR_TIMEOUT;
                return false;
            }
        }
        --activeTransferCount;
        error = errorOf(t->status);
        if (error == LIBUSB_SUCCESS) {
            // The count is what came, so a reply longer than asked is seen as
            // such; the caller's buffer gets no more than it asked for.
            const std::uint32_t done = static_cast<std::uint32_t>(t->actual_length);
            if (!out) std::memcpy(data, buffer, std::min(done, length));
            if (count != nullptr) *count = done;
        }
    }
    release(flight);
    if (error == LIBUSB_ERROR_NO_DEVICE) shared->gone = true;
    // A stalled endpoint stays halted, failing every transfer, until the host
    // clears it; it is cleared here, outside libusb's event handling, so the
    // next command goes through. This transfer still fails.
    if (error == LIBUSB_ERROR_PIPE) libusb_clear_halt(shared->handle, endpoint);
    lastError = error;
    return error == LIBUSB_SUCCESS;
}

bool writeReport(PipeHandle pipe, const std::uint8_t *report, std::uint32_t *writtenCount) {
    Pipe *p = static_cast<Pipe *>(pipe);
    if (p->direction != PipeDirection::Write) {
        if (writtenCount != nullptr) *writtenCount = 0;
        lastError = LIBUSB_ERROR_ACCESS;
        return false;
    }
    return transfer(p, kOutEndpoint, const_cast<std::uint8_t *>(report), brevant::REPORT_SIZE,
                    kWriteTimeoutMs, writtenCount);
}

bool readReply(PipeHandle pipe, std::uint8_t *buffer, std::uint32_t length,
               std::uint32_t timeoutMs, std::uint32_t *readCount) {
    Pipe *p = static_cast<Pipe *>(pipe);
    if (p->direction != PipeDirection::Read) {
        if (readCount != nullptr) *readCount = 0;
        lastError = LIBUSB_ERROR_ACCESS;
        return false;
    }
    return transfer(p, kInEndpoint, buffer, length, timeoutMs, readCount);
}

bool deviceGone() { return lastError == LIBUSB_ERROR_NO_DEVICE; }

bool timedOut() { return lastError == LIBUSB_ERROR_TIMEOUT; }

std::uint32_t saveError() { return static_cast<std::uint32_t>(lastError); }
void restoreError(std::uint32_t saved) { lastError = static_cast<int>(saved); }

}  // namespace

Backend backend() {
    // The interface claim keeps every other process off an open board, so
    // the turn is this process's own.
    return Backend{"libusb",    false,        findDevicePath, openPipe,   closePipe,
                   writeReport, readReply,    deviceGone,     timedOut,   holdDeviceList,
                   saveError,   restoreError, nullptr,        forkPrepare, forkParent,
                   forkChild};
}

unsigned openDevices() {
    std::lock_guard<std::mutex> hold(devicesLock);
    return static_cast<unsigned>(devices.size());
}

unsigned activeTransfers() { return activeTransferCount; }

void failNextStarts(unsigned count) {
    std::lock_guard<std::mutex> hold(contextLock);
    startsToFail = count;
}
unsigned abandonedTransfers() { return abandonedTransferCount; }

}  // namespace libusb
}  // namespace VESK
