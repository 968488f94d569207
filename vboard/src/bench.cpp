// bench.cpp - plugs virtual boards into the virtual Windows with the paths
// and registry values Windows gives them.
#include "vboard/bench.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace vboard {

namespace {
std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}
std::string upper(std::string s) {
    for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}
}  // namespace

std::string interfacePath(std::uint16_t vendorId, std::uint16_t productId, const std::string &serial) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "vid_%04x&pid_%04x", vendorId, productId);
    return std::string("\\\\?\\usb#") + ids + "#" + lower(serial) + "#" + hostwin::kBoardInterfaceClass;
}

std::string deviceInstance(std::uint16_t vendorId, std::uint16_t productId, const std::string &serial) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "USB\\VID_%04X&PID_%04X\\", vendorId, productId);
    return ids + upper(serial);
}

hostwin::InterfaceId plugInterface(std::shared_ptr<Board> board, std::uint16_t vendorId,
                                   std::uint16_t productId) {
    // Windows names a USB device after its serial number only while no
    // other device of the same ids has that serial; a duplicate is named
    // after where it is plugged instead, so every path opens one device.
    std::string name = board->serial();
    const std::string wanted = interfacePath(vendorId, productId, name);
    const std::vector<hostwin::InterfaceId> known = hostwin::interfaces();
    const bool taken = std::any_of(known.begin(), known.end(), [&](hostwin::InterfaceId id) {
        return hostwin::interfaceDesc(id).path == wanted;
    });
    if (taken) {
        char location[32];
        std::snprintf(location, sizeof location, "6&1b7c3f2&0&%zu", known.size() + 1);
        name = location;
    }
    hostwin::InterfaceDesc desc;
    desc.path = interfacePath(vendorId, productId, name);
    desc.deviceInstance = deviceInstance(vendorId, productId, name);
    desc.endpoint = std::move(board);
    return hostwin::addInterface(std::move(desc));
}

Bench::Bench() { hostwin::reset(); }

Bench::~Bench() { hostwin::reset(); }

Board &Bench::add(std::shared_ptr<Board> board, std::uint16_t vendorId, std::uint16_t productId) {
    ids_.push_back(plugInterface(board, vendorId, productId));
    boards_.push_back(std::move(board));
    return *boards_.back();
}

Board &Bench::plug(int type, const std::string &serial) {
    auto board = std::make_shared<Board>(type, serial);
    const std::uint16_t pid = board->productId();
    return add(std::move(board), kMicrochipVendorId, pid);
}

Board &Bench::plugForeign(std::uint16_t vendorId, std::uint16_t productId, const std::string &serial) {
    return add(std::make_shared<Board>(0, serial), vendorId, productId);
}

hostwin::InterfaceId Bench::interfaceOf(const Board &board) const {
    for (std::size_t i = 0; i < boards_.size(); ++i) {
        if (boards_[i].get() == &board) return ids_[i];
    }
    throw std::invalid_argument("vboard: board is not on this bench");
}

void Bench::unplug(const Board &board) { hostwin::removeInterface(interfaceOf(board)); }
void Bench::replug(const Board &board) { hostwin::restoreInterface(interfaceOf(board)); }

std::string Bench::pathOf(const Board &board) const { return hostwin::interfaceDesc(interfaceOf(board)).path; }

void Bench::setDeviceInstance(const Board &board, std::optional<std::string> value, bool terminated) {
    const hostwin::InterfaceId id = interfaceOf(board);
    hostwin::InterfaceDesc desc = hostwin::interfaceDesc(id);
    desc.deviceInstance = std::move(value);
    desc.deviceInstanceTerminated = terminated;
    hostwin::updateInterface(id, desc);
}

void Bench::setOpenable(const Board &board, bool forWrite, bool forRead) {
    const hostwin::InterfaceId id = interfaceOf(board);
    hostwin::InterfaceDesc desc = hostwin::interfaceDesc(id);
    desc.openForWrite = forWrite;
    desc.openForRead = forRead;
    hostwin::updateInterface(id, desc);
}

}  // namespace vboard
