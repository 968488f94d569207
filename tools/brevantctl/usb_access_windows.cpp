// usb_access_windows.cpp - where a board is attached on Windows: the library
// numbers the boards by their place among the present interfaces of the
// board driver's class, so brevantctl asks SetupAPI for the interface at a
// board's device index and shows its path. Why a board did not open, the
// system does not tell here.
#include <windows.h>
#include <setupapi.h>

#include <cstdlib>
#include <cstring>

#include "transport.h"

namespace brevantctl {

namespace {

// The interface class under which the board driver lists every board.
const GUID kBoardInterfaceClass = {0x5354FA28, 0x6D14, 0x4E35, {0xA1, 0xF5, 0x75, 0xBB, 0x54, 0xE6, 0x03, 0x0F}};

// The interface path of the present interface at `member`, when there is one.
std::optional<std::string> interfacePath(unsigned member) {
    HDEVINFO list = SetupDiGetClassDevsA(&kBoardInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE) return std::nullopt;
    std::optional<std::string> path;
    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    if (SetupDiEnumDeviceInterfaces(list, nullptr, &kBoardInterfaceClass, member, &data)) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &size, nullptr);
        if (size >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            auto *detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(std::malloc(size));
            if (detail != nullptr) {
                detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
                if (SetupDiGetDeviceInterfaceDetailA(list, &data, detail, size, nullptr, nullptr)) {
                    reinterpret_cast<char *>(detail)[size - 1] = '\0';
                    path = detail->DevicePath;
                }
                std::free(detail);
            }
        }
    }
    SetupDiDestroyDeviceInfoList(list);
    return path;
}

}  // namespace

std::optional<std::string> whyNotOpened(int, unsigned) { return std::nullopt; }

std::optional<BoardLocation> boardLocation(int, unsigned index) {
    const std::optional<std::string> path = interfacePath(index);
    if (!path) return std::nullopt;
    // \\?\usb#vid_04d8&pid_8348#<instance>#{class}: the instance names the
    // USB port the board sits on.
    std::string brief = *path;
    const std::size_t first = path->find('#');
    const std::size_t second = first == std::string::npos ? first : path->find('#', first + 1);
    const std::size_t third = second == std::string::npos ? second : path->find('#', second + 1);
    if (third != std::string::npos) brief = path->substr(second + 1, third - second - 1);
    return BoardLocation{brief, "interface " + *path};
}

}  // namespace brevantctl
