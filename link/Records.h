// The binary records exchanged with HwDev.dll, laid out as the library expects.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kavro {

// Which terminal to reach, and over which link. 52 bytes.
struct DevAddress {
    std::int32_t MachineNo;        // terminal number, sign-extended
    std::uint8_t Reserved[20];     // never written: zero
    std::int16_t FixedValue;       // always 10
    std::uint8_t IpAddress[16];    // network link: ANSI text and a zero byte
    std::int16_t IsSerial;         // 1 serial, 0 network
    std::int32_t ComPort;          // serial link only
    std::int32_t BaudRate;         // serial link only: 38400
};
static_assert(sizeof(DevAddress) == 52);
static_assert(offsetof(DevAddress, MachineNo) == 0);
static_assert(offsetof(DevAddress, Reserved) == 4);
static_assert(offsetof(DevAddress, FixedValue) == 24);
static_assert(offsetof(DevAddress, IpAddress) == 26);
static_assert(offsetof(DevAddress, IsSerial) == 42);
static_assert(offsetof(DevAddress, ComPort) == 44);
static_assert(offsetof(DevAddress, BaudRate) == 48);

// One employee with the fingerprint template held outside the record. 156 bytes.
struct EmployeeRecord {
    std::uint8_t EmployeeNo[12];     // ANSI text and a zero byte
    std::uint8_t EmployeeText[50];   // ANSI text and a zero byte
    std::uint8_t Unused1[6];
    std::int16_t RecordFlag;         // 1 in every record sent
    std::int16_t TemplateLength;     // bytes at TemplatePtr
    std::uint32_t TemplatePtr;       // address of the first template byte
    std::uint8_t Unused2[80];
};
static_assert(sizeof(EmployeeRecord) == 156);
static_assert(offsetof(EmployeeRecord, EmployeeNo) == 0);
static_assert(offsetof(EmployeeRecord, EmployeeText) == 12);
static_assert(offsetof(EmployeeRecord, RecordFlag) == 68);
static_assert(offsetof(EmployeeRecord, TemplateLength) == 70);
static_assert(offsetof(EmployeeRecord, TemplatePtr) == 72);

// One punch. 36 bytes.
struct AttendanceRecord {
    std::uint8_t CardNo[12];         // ANSI digits up to the first zero byte; byte 11 never read
    std::int32_t PunchSeconds;       // seconds from 1970-01-01 08:00:00
    std::uint8_t Rest[20];
};
static_assert(sizeof(AttendanceRecord) == 36);
static_assert(offsetof(AttendanceRecord, CardNo) == 0);
static_assert(offsetof(AttendanceRecord, PunchSeconds) == 12);

} // namespace kavro
