// funcBackFingure: backs up one employee's fingerprint template from a
// terminal into the current row of the host's recordset.
#include <cstdint>
#include <string>
#include <vector>

#include "frame/MethodFrame.h"
#include "frame/Owners.h"
#include "frame/clsMachine.h"
#include "link/AnsiText.h"
#include "link/ReceivedList.h"
#include "link/modulefunction.h"
#include "link/modulehw.h"
#include "ops/RecordsetAccess.h"

namespace kavro {
namespace {

constexpr std::size_t kEmployeeNoBytes = 11;  // byte 11 is never read
constexpr long kLongestPassword = 10;        // a template this short is a password, not a fingerprint
constexpr UINT kMostPendingMessages = 1000;  // a window that keeps posting to itself cannot hold the call

// One pass of the thread's pending window messages, as the host's own
// message loop would dispatch them.
void DispatchPendingMessages()
{
    MSG msg;
    for (UINT i = 0; i < kMostPendingMessages && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));  // the host's loop still has to see it
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// The first record whose number, trimmed, is the person number, trimmed.
const EmployeeRecord* FindEmployee(const std::vector<EmployeeRecord>& records, std::wstring_view personNum)
{
    const ansi::ByteChars chars;
    const std::wstring_view wanted = ansi::TrimSpaces(personNum);
    for (const EmployeeRecord& record : records)
        if (chars.TrimmedEquals(record.EmployeeNo, kEmployeeNoBytes, wanted)) return &record;
    return nullptr;
}

void WriteRow(_Recordset& rs, const Bstr& personNum, short imachineno, const std::vector<std::uint8_t>& tpl)
{
    LONG count = 0;
    Check(rs.get_RecordCount(&count), L"Reading rsData.RecordCount failed");
    if (count < 1) AddNewRow(rs);
    PutColumn(rs, L"cpsn_num", TextValue(personNum));
    PutColumn(rs, L"iFingerprintNO", ShortValue(1));
    PutColumn(rs, L"imachineno", ShortValue(imachineno));
    if (static_cast<long>(tpl.size()) > kLongestPassword)
        AppendBytes(*FieldOf(rs, L"bFingerprint").Get(), tpl);
    else
        PutColumn(rs, L"npassword", LongValue(0));
}

} // namespace

HRESULT clsMachine::funcBackFingure(VARIANT_BOOL blnPort, BSTR strIp, short iPort, short imachineno,
                                    BSTR sPersonNum, _Recordset** rsData, BSTR* strMsg, VARIANT_BOOL* result)
{
    return RunMethod(Unknown(), policy::funcBackFingure, result, [&](MethodFrame& frame) {
        Connection connection(blnPort, strIp, iPort, imachineno);
        Bstr person(ViewOf(sPersonNum));
        frame.ArmTrap();
        DispatchPendingMessages();
        DevAddress address = AddressOf(connection);

        ReceivedList<EmployeeRecord> list(hw::HwDev_FreeEmployeeList());
        hw::HwDev_RecvEmployeeFromDev()(&address, list.list(), list.count(), DevProgress, DevQuery);
        list.Received();
        const std::vector<EmployeeRecord> records = list.Copy();

        const EmployeeRecord* match = FindEmployee(records, person.view());
        if (!match) {
            list.Release();
            const std::wstring message = L"卡号为" + std::wstring(person.view()) + L"的员工没有登记指纹数据";
            SetText(strMsg, message);
            return false;
        }
        const std::vector<std::uint8_t> tpl = list.CopyAddressed(match->TemplatePtr, match->TemplateLength);
        _Recordset* rs = rsData ? *rsData : nullptr;
        if (!rs) Raise(RunTimeError::ObjectRequired, L"rsData holds no recordset");
        WriteRow(*rs, person, imachineno, tpl);
        list.Release();
        return true;
    });
}

} // namespace kavro
