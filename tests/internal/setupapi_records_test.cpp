// The virtual Windows' SetupAPI records have the layout of the Windows of the
// same pointer width (packed to 1 byte on 32-bit, 8 on 64-bit), and its
// functions take only records whose size field says that layout.
#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "bench_test.h"

namespace {

constexpr bool k32Bit = sizeof(void *) == 4;
// The size fields the Windows of the other pointer width expects.
constexpr DWORD kOtherInterfaceSize = k32Bit ? 32 : 28;
constexpr DWORD kOtherDetailSize = k32Bit ? 8 : 5;

const GUID kBoardClass = {0x5354FA28, 0x6D14, 0x4E35, {0xA1, 0xF5, 0x75, 0xBB, 0x54, 0xE6, 0x03, 0x0F}};

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (k32Bit ? 28 : 32), "interface record");
static_assert(sizeof(SP_DEVINFO_DATA) == (k32Bit ? 28 : 32), "device record");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == (k32Bit ? 5 : 8), "detail record's fixed part");
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4, "path right after the size field");
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, Reserved) == 24, "no padding before the reserved field");

class SetupApiRecords : public BenchTest {
   protected:
    void SetUp() override {
        path = bench.pathOf(bench.plug(1, "ABC12345"));
        list = SetupDiGetClassDevsA(&kBoardClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        ASSERT_NE(list, INVALID_HANDLE_VALUE);
        std::memset(&itf, 0, sizeof itf);
        itf.cbSize = sizeof itf;
        ASSERT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, &kBoardClass, 0, &itf));
    }
    void TearDown() override {
        SetupDiDestroyDeviceInfoList(list);
        BenchTest::TearDown();
    }

    // Fetches the detail record into `buffer` with `sizeField` in its size field.
    BOOL fetchDetail(std::vector<char> &buffer, DWORD sizeField) {
        std::memcpy(buffer.data(), &sizeField, sizeof sizeField);
        return SetupDiGetDeviceInterfaceDetailA(
            list, &itf, reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data()),
            static_cast<DWORD>(buffer.size()), nullptr, nullptr);
    }

    std::string path;
    HDEVINFO list = nullptr;
    SP_DEVICE_INTERFACE_DATA itf;
};

TEST_F(SetupApiRecords, DetailRecordTakesOnlyThisWidthsFixedPartAndHoldsThePathAfterTheSizeField) {
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &itf, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 4 + path.size() + 1) << "the size field, the path and its terminator";

    std::vector<char> buffer(required, 'x');
    EXPECT_FALSE(fetchDetail(buffer, kOtherDetailSize)) << "the other width's record is refused";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_EQ(buffer[4], 'x') << "nothing is written into a refused record";

    ASSERT_TRUE(fetchDetail(buffer, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)));
    EXPECT_EQ(std::string(buffer.data() + 4), path);
}

TEST_F(SetupApiRecords, InterfaceRecordOfTheOtherWidthIsRefused) {
    SP_DEVICE_INTERFACE_DATA other;
    std::memset(&other, 0, sizeof other);
    other.cbSize = kOtherInterfaceSize;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list, nullptr, &kBoardClass, 0, &other));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

    DWORD required = 0;
    itf.cbSize = kOtherInterfaceSize;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &itf, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_EQ(required, 0u);
}

}  // namespace
