// funcReWrite: writes the employee number and fingerprint template of the
// host's recordset rows back into a terminal. Every row refills the same
// record and the one send comes after the last row, so the last row wins.
#include <cstdint>
#include <string>
#include <vector>

#include "frame/MethodFrame.h"
#include "frame/NumberText.h"
#include "frame/Owners.h"
#include "frame/clsMachine.h"
#include "link/AnsiText.h"
#include "link/modulefunction.h"
#include "link/modulehw.h"
#include "ops/RecordsetAccess.h"

namespace kavro {
namespace {

constexpr long kLongestTemplate = 32767;  // TemplateLength is a signed 16-bit field

template <std::size_t N>
void StoreText(std::uint8_t (&field)[N], std::wstring_view text, const wchar_t* name)
{
    if (!ansi::StoreTerminated(field, N, text))
        Raise(RunTimeError::SubscriptOutOfRange,
              std::wstring(name) + L" does not fit in " + DecimalText(static_cast<long long>(N - 1)) + L" bytes");
}

// Fills the record from the current row; the template buffer it points at
// replaces the previous row's.
void ReadRow(_Recordset& rs, EmployeeRecord& record, std::vector<std::uint8_t>& tpl, BSTR* strMsg)
{
    StoreText(record.EmployeeNo, TextOfValue(*FieldOf(rs, L"cpsn_num").Get(), L"cpsn_num"), L"cpsn_num");

    if (!strMsg) Raise(E_POINTER, L"strMsg is missing");
    const std::wstring text(ViewOf(*strMsg));  // the message goes into the first row only
    SetText(strMsg, L"");
    StoreText(record.EmployeeText, text, L"strMsg");
    record.RecordFlag = 1;

    ComPtr<Field> field = FieldOf(rs, L"bfingerprint");
    LONG size = 0;
    Check(field->get_ActualSize(&size), L"rsData.Fields(\"bfingerprint\").ActualSize failed");
    if (size < 0 || size > kLongestTemplate) Raise(RunTimeError::Overflow, L"The template is longer than 32767 bytes");
    record.TemplateLength = static_cast<std::int16_t>(size);
    std::vector<std::uint8_t> bytes = ChunkOf(*field.Get(), size, L"bfingerprint");
    if (bytes.empty()) Raise(RunTimeError::SubscriptOutOfRange, L"The template has no bytes");
    tpl = std::move(bytes);
    record.TemplatePtr = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(tpl.data()));
}

} // namespace

HRESULT clsMachine::funcReWrite(VARIANT_BOOL blnPort, BSTR strIp, short iPort, short imachineno,
                                BSTR sPersonNum, _Recordset* rsData, BSTR* strMsg, VARIANT_BOOL* result)
{
    return RunMethod(Unknown(), policy::funcReWrite, result, [&](MethodFrame& frame) {
        Connection connection(blnPort, strIp, iPort, imachineno);
        Bstr person(ViewOf(sPersonNum));  // accepted and not used
        ComPtr<_Recordset> rs(rsData);
        EmployeeRecord record{};
        std::vector<std::uint8_t> tpl;  // alive until the send has returned
        frame.ArmTrap();
        DevAddress address = AddressOf(connection);
        if (!rs) Raise(RunTimeError::ObjectRequired, L"rsData holds no recordset");

        Check(rs->MoveFirst(), L"rsData.MoveFirst failed");
        for (;;) {
            VARIANT_BOOL eof = VARIANT_FALSE;
            Check(rs->get_EOF(&eof), L"rsData.EOF failed");
            if (eof) break;
            ReadRow(*rs.Get(), record, tpl, strMsg);
            Check(rs->MoveNext(), L"rsData.MoveNext failed");
        }

        unsigned char flag = 1;
        int outValue = 0;
        hw::HwDev_SendEmployeeToDev()(&address, &record, 1, &flag, &outValue, DevProgress, DevQuery);
        return true;
    });
}

} // namespace kavro
