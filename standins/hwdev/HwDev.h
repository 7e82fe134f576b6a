// HwDev.dll: library for the fingerprint and card attendance terminals.
// Every function is stdcall and answers a 32-bit int; a transfer function
// reports progress through DevProgress and asks through DevQuery while it
// works. Lists the library hands out belong to it until they are handed back
// with the matching free function.
#pragma once
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef HWDEV_BUILDING
#define HWDEV_API __stdcall
#else
#define HWDEV_API __declspec(dllimport) __stdcall
#endif

// Where a terminal is: a serial port or an IP address, and its number there.
typedef struct DevAddress {
    int           MachineNo;       // terminal number on the link
    unsigned char Reserved[20];
    short         FixedValue;      // 10
    char          IpAddress[16];   // network link: address text, zero-terminated
    short         IsSerial;        // 1: serial link, else network link
    int           ComPort;         // serial link: port number
    int           BaudRate;        // serial link: line speed
} DevAddress;

// One employee; the fingerprint template lies outside the record.
typedef struct EmployeeRecord {
    char           EmployeeNo[12];   // zero-terminated
    char           EmployeeText[50]; // zero-terminated
    unsigned char  Privilege;        // 0: user, 1: enroller, 2: administrator
    unsigned char  FingerIndex;      // which finger the template is of, 0 to 9
    int            Password;
    short          RecordFlag;
    short          TemplateLength;   // bytes at TemplatePtr, 0 to 32767
    unsigned char* TemplatePtr;
    unsigned char  Reserved[80];
} EmployeeRecord;

// One punch, timed in seconds from 1970-01-01 08:00:00.
typedef struct AttendanceRecord {
    char          CardNo[12];       // zero-terminated unless all 12 bytes are used
    int           PunchSeconds;
    unsigned char VerifyMode;       // 0: password, 1: fingerprint, 2: card
    unsigned char InOutState;       // 0: in, 1: out, 2: break out, 3: break in
    short         WorkCode;
    int           MachineNo;        // terminal that took the punch
    int           LogIndex;         // position in the terminal's log, from 1
    unsigned char Reserved[8];
} AttendanceRecord;

#ifdef __cplusplus
#define HWDEV_LAYOUT_CHECK static_assert
#else
#define HWDEV_LAYOUT_CHECK _Static_assert
#endif
HWDEV_LAYOUT_CHECK(sizeof(void*) == 4, "the records carry 32-bit addresses");
HWDEV_LAYOUT_CHECK(sizeof(DevAddress) == 52, "DevAddress is 52 bytes");
HWDEV_LAYOUT_CHECK(offsetof(DevAddress, FixedValue) == 24, "FixedValue at 24");
HWDEV_LAYOUT_CHECK(offsetof(DevAddress, IpAddress) == 26, "IpAddress at 26");
HWDEV_LAYOUT_CHECK(offsetof(DevAddress, IsSerial) == 42, "IsSerial at 42");
HWDEV_LAYOUT_CHECK(offsetof(DevAddress, ComPort) == 44, "ComPort at 44");
HWDEV_LAYOUT_CHECK(offsetof(DevAddress, BaudRate) == 48, "BaudRate at 48");
HWDEV_LAYOUT_CHECK(sizeof(EmployeeRecord) == 156, "EmployeeRecord is 156 bytes");
HWDEV_LAYOUT_CHECK(offsetof(EmployeeRecord, EmployeeText) == 12, "EmployeeText at 12");
HWDEV_LAYOUT_CHECK(offsetof(EmployeeRecord, Privilege) == 62, "Privilege at 62");
HWDEV_LAYOUT_CHECK(offsetof(EmployeeRecord, Password) == 64, "Password at 64");
HWDEV_LAYOUT_CHECK(offsetof(EmployeeRecord, RecordFlag) == 68, "RecordFlag at 68");
HWDEV_LAYOUT_CHECK(offsetof(EmployeeRecord, TemplateLength) == 70, "TemplateLength at 70");
HWDEV_LAYOUT_CHECK(offsetof(EmployeeRecord, TemplatePtr) == 72, "TemplatePtr at 72");
HWDEV_LAYOUT_CHECK(offsetof(EmployeeRecord, Reserved) == 76, "Reserved at 76");
HWDEV_LAYOUT_CHECK(sizeof(AttendanceRecord) == 36, "AttendanceRecord is 36 bytes");
HWDEV_LAYOUT_CHECK(offsetof(AttendanceRecord, PunchSeconds) == 12, "PunchSeconds at 12");
HWDEV_LAYOUT_CHECK(offsetof(AttendanceRecord, VerifyMode) == 16, "VerifyMode at 16");
HWDEV_LAYOUT_CHECK(offsetof(AttendanceRecord, WorkCode) == 18, "WorkCode at 18");
HWDEV_LAYOUT_CHECK(offsetof(AttendanceRecord, MachineNo) == 20, "MachineNo at 20");
HWDEV_LAYOUT_CHECK(offsetof(AttendanceRecord, Reserved) == 28, "Reserved at 28");
#undef HWDEV_LAYOUT_CHECK

typedef void (__stdcall *DevProgress)(int percent);
typedef int  (__stdcall *DevQuery)(int question, int detail);

// Result 1: done; 0: failed or no terminal at the address.
int HWDEV_API HwDev_Initialize(void);
int HWDEV_API HwDev_IsDevExist(DevAddress* address);
int HWDEV_API HwDev_GetDevTime(DevAddress* address, int* seconds);
int HWDEV_API HwDev_SetDevTime(DevAddress* address, int seconds);

int HWDEV_API HwDev_RecvEmployeeFromDev(DevAddress* address, EmployeeRecord** list, int* count,
                                        DevProgress progress, DevQuery query);
int HWDEV_API HwDev_FreeEmployeeList(EmployeeRecord** list, int* count);
// Stores the records, replacing an employee with the same number; *stored
// receives how many records the terminal took.
int HWDEV_API HwDev_SendEmployeeToDev(DevAddress* address, EmployeeRecord* records, int count,
                                      unsigned char* flag, int* stored,
                                      DevProgress progress, DevQuery query);

int HWDEV_API HwDev_RecvAllRcdFromDev(DevAddress* address, AttendanceRecord** list, int* count,
                                      DevProgress progress, DevQuery query);
int HWDEV_API HwDev_FreeRcdList(AttendanceRecord** list, int* count);
int HWDEV_API HwDev_DelAllRcdOnDev(DevAddress* address, DevProgress progress, DevQuery query);

// Releases any list the library handed out, whatever its kind.
int HWDEV_API HwDev_FreeMem(void* list);

#ifdef __cplusplus
}
#endif
