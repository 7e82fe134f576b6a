// Shared by the simulator's tests: addresses built byte by byte as a caller
// lays them out, fields read back by offset, and counting callbacks.
#pragma once
#include <gtest/gtest.h>

#include "HwDev.h"
#include "HwSim.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace hwdev_test {

template <class T>
void Put(unsigned char* at, T value) { std::memcpy(at, &value, sizeof value); }

template <class T>
T Get(const void* at, size_t offset)
{
    T value;
    std::memcpy(&value, static_cast<const unsigned char*>(at) + offset, sizeof value);
    return value;
}

// A 52-byte address record: MachineNo@0, 10@24, IpAddress@26, IsSerial@42,
// ComPort@44, BaudRate@48.
struct RawAddress {
    alignas(4) unsigned char bytes[52] = {};
    DevAddress* get() { return reinterpret_cast<DevAddress*>(bytes); }
};

inline RawAddress SerialAddress(int comPort, int machineNo)
{
    RawAddress a;
    Put<int>(a.bytes + 0, machineNo);
    Put<short>(a.bytes + 24, 10);
    Put<short>(a.bytes + 42, 1);
    Put<int>(a.bytes + 44, comPort);
    Put<int>(a.bytes + 48, 38400);
    return a;
}

inline RawAddress NetAddress(const std::string& ip, int machineNo)
{
    RawAddress a;
    Put<int>(a.bytes + 0, machineNo);
    Put<short>(a.bytes + 24, 10);
    std::memcpy(a.bytes + 26, ip.data(), std::min<size_t>(ip.size(), 16));
    return a;
}

inline std::vector<unsigned char> Pattern(int length, int seed)
{
    std::vector<unsigned char> bytes(length);
    for (int i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(seed + i * 7);
    return bytes;
}

// 12 card or employee number bytes from text, zero-filled.
struct Number {
    explicit Number(const char* text) { std::memcpy(bytes, text, strnlen(text, 12)); }
    unsigned char bytes[12] = {};
};

inline bool AddEmployee(int terminal, const char* no, const std::vector<unsigned char>& tpl)
{
    unsigned char text[50] = "name";
    return HwSim_AddEmployee(terminal, Number(no).bytes, text, 1, tpl.data(),
                             static_cast<int>(tpl.size()));
}

// A serial terminal on port 1, number 1, with punches timed 100, 200, ...
inline int PunchTerminal(int punches)
{
    int t = HwSim_AddSerialTerminal(1, 1);
    for (int i = 1; i <= punches; ++i) HwSim_AddPunch(t, Number("8").bytes, 100 * i);
    return t;
}

inline int ReceivePunches(AttendanceRecord** list, int* count,
                          DevProgress progress = nullptr, DevQuery query = nullptr)
{
    return HwDev_RecvAllRcdFromDev(SerialAddress(1, 1).get(), list, count, progress, query);
}

inline int g_progressCalls = 0;
inline int g_queryCalls = 0;
inline void __stdcall CountProgress(int) { ++g_progressCalls; }
inline int __stdcall CountQuery(int, int) { ++g_queryCalls; return 0; }

inline HwSimCall LastCall()
{
    HwSimCall call{};
    EXPECT_TRUE(HwSim_GetCall(HwSim_CallCount() - 1, &call)) << "the log holds the call";
    return call;
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HwSim_Reset();
        g_progressCalls = 0;
        g_queryCalls = 0;
    }
};

} // namespace hwdev_test
