// usb_access_linux.cpp - why a board on Linux did not open: finds the board
// in sysfs the way the library lists them (vendor 0x04D8, products 0x8248
// and 0x8348, by bus number and port path) and checks its device node.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <vector>

#include "transport.h"

namespace brevantctl {
namespace {

std::string attribute(const std::string &device, const char *name) {
    std::ifstream in("/sys/bus/usb/devices/" + device + "/" + name);
    std::string value;
    std::getline(in, value);
    return value;
}

struct UsbBoard {
    unsigned bus;
    std::vector<unsigned> ports;
    std::string name;
    unsigned productId;
};

// "1-2.3": bus 1, ports 2 and 3. False for hubs' interfaces and root hubs.
bool parseName(const std::string &name, UsbBoard &board) {
    unsigned bus = 0;
    int used = 0;
    if (std::sscanf(name.c_str(), "%u-%n", &bus, &used) != 1 || used == 0) return false;
    board.bus = bus;
    board.ports.clear();
    std::size_t at = static_cast<std::size_t>(used);
    while (at < name.size()) {
        std::size_t end = at;
        while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
        if (end == at) return false;
        board.ports.push_back(static_cast<unsigned>(std::stoul(name.substr(at, end - at))));
        if (end < name.size() && name[end] != '.') return false;
        at = end + 1;
    }
    return !board.ports.empty();
}

// The boards in sysfs, in the library's order: by bus number and port path.
std::vector<UsbBoard> usbBoards() {
    std::vector<UsbBoard> boards;
    if (DIR *dir = opendir("/sys/bus/usb/devices")) {
        while (dirent *entry = readdir(dir)) {
            UsbBoard board;
            if (!parseName(entry->d_name, board)) continue;
            board.name = entry->d_name;
            if (attribute(board.name, "idVendor") != "04d8") continue;
            const std::string product = attribute(board.name, "idProduct");
            if (product != "8248" && product != "8348") continue;
            board.productId = product == "8348" ? 0x8348 : 0x8248;
            boards.push_back(board);
        }
        closedir(dir);
    }
    std::sort(boards.begin(), boards.end(), [](const UsbBoard &a, const UsbBoard &b) {
        return a.bus != b.bus ? a.bus < b.bus : a.ports < b.ports;
    });
    return boards;
}

// The board of `type` at device `index`, when sysfs agrees with the library.
std::optional<UsbBoard> usbBoard(int type, unsigned index) {
    if (simulated()) return std::nullopt;
    const std::vector<UsbBoard> boards = usbBoards();
    if (index >= boards.size() || boards[index].productId != (type == 1 ? 0x8348u : 0x8248u))
        return std::nullopt;
    return boards[index];
}

std::string deviceNode(const UsbBoard &board) {
    char node[40];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", board.bus,
                  static_cast<unsigned>(std::atoi(attribute(board.name, "devnum").c_str())));
    return node;
}

}  // namespace

std::optional<BoardLocation> boardLocation(int type, unsigned index) {
    const std::optional<UsbBoard> board = usbBoard(type, index);
    if (!board) return std::nullopt;
    return BoardLocation{board->name, "USB device " + board->name + " (bus " + std::to_string(board->bus) +
                                          ", port path " + board->name.substr(board->name.find('-') + 1) + ", " +
                                          deviceNode(*board) + ")"};
}

std::optional<std::string> whyNotOpened(int type, unsigned index) {
    const std::optional<UsbBoard> found = usbBoard(type, index);
    if (!found) return std::nullopt;
    const UsbBoard &board = *found;
    const std::string node = deviceNode(board);
    if (access(node.c_str(), R_OK | W_OK) == 0) {
        return "USB device " + board.name + " (" + node +
               ") opens but its interface could not be claimed: another program holds it, or a "
               "kernel driver could not be detached";
    }
    if (errno == EACCES || errno == EPERM) {
        return "no permission to open USB device " + board.name + " (" + node +
               "): install the udev rule 60-brevant.rules (from the install's lib/udev/rules.d, or "
               "packaging/) into /etc/udev/rules.d, run 'sudo udevadm control --reload-rules && "
               "sudo udevadm trigger' and plug the board in again";
    }
    return std::nullopt;
}

}  // namespace brevantctl
