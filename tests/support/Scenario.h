// Helpers for scenarios written as a host writes them: create the component
// and the host's objects through COM, call, then read what the terminal
// library received and what the host's objects were given.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "TestEnv.h"
#include "frame/DefaultInterface.h"
#include "frame/Identity.h"
#include "frame/Owners.h"

namespace kavro::test {

ComPtr<IMachine> NewMachine();
ComPtr<_Collection> NewCollection();

// A terminal address record as the library received it.
using AddressBytes = std::array<std::uint8_t, 52>;
AddressBytes AddressOf(const HwSimCall& call);

std::vector<HwSimCall> Calls(int func);
std::vector<HwSimCall> AllCalls();

// A punch as the simulator stores it: card-number bytes (zero-padded to 12) and seconds.
struct Punch {
    std::string cardNo;
    int seconds;
};
void AddPunches(int terminal, const std::vector<Punch>& punches);

struct Put {
    std::wstring name;
    VARTYPE type;
    std::wstring text;  // the value as text, for BSTRs and numbers
    double date;        // the value for VT_DATE
};
std::vector<Put> PutsOf(IUnknown* object);

struct Added {
    ComPtr<IUnknown> item;
    bool keyOmitted, beforeOmitted, afterOmitted;
};
std::vector<Added> AddsOf(IUnknown* collection);

// The description of the error information the calling thread holds.
std::wstring ErrorDescription();

// Milliseconds between two QueryPerformanceCounter readings.
double Milliseconds(LONGLONG from, LONGLONG to);
LONGLONG Now();

} // namespace kavro::test
