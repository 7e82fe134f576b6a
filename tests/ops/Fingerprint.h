// What the two fingerprint scenarios share: employees on a simulated
// terminal, the host's fingerprint recordset and the bytes the library got.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "MemoryRecordset.h"
#include "Scenario.h"

namespace kavro::test {

using Bytes = std::vector<std::uint8_t>;

// n bytes counting up from seed, so that two templates never look alike.
inline Bytes Template(size_t n, std::uint8_t seed)
{
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i);
    return bytes;
}

// number: the 12 EmployeeNo bytes as given, zero-padded.
inline void AddEmployee(int terminal, const std::string& number, const Bytes& tpl)
{
    unsigned char no[12] = {};
    std::memcpy(no, number.data(), std::min<size_t>(number.size(), sizeof no));
    ASSERT_TRUE(HwSim_AddEmployee(terminal, no, nullptr, 1, tpl.empty() ? nullptr : tpl.data(),
                                  static_cast<int>(tpl.size())));
}

// The host's recordset of fingerprint backups, with the columns it has.
inline memrs::MemoryRecordset FingerprintRecordset()
{
    return memrs::MemoryRecordset({L"cpsn_num", L"iFingerprintNO", L"imachineno", L"npassword", L"bFingerprint"});
}

// A received employee record with this number, template length and no template.
inline std::array<unsigned char, 156> RawEmployee(const std::string& number, short templateLength)
{
    std::array<unsigned char, 156> record{};
    std::memcpy(record.data(), number.data(), std::min<size_t>(number.size(), 12));
    std::memcpy(record.data() + 70, &templateLength, sizeof templateLength);
    return record;
}

} // namespace kavro::test
