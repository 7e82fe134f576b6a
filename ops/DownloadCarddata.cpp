// DownloadCarddata: every punch record of a terminal, appended to the host's
// collection as clsCardData objects in the library's order.
#include <algorithm>
#include <cstdint>
#include <string_view>

#include "frame/HostObjects.h"
#include "frame/MethodFrame.h"
#include "frame/clsMachine.h"
#include "link/AnsiText.h"
#include "link/ReceivedList.h"
#include "link/modulefunction.h"
#include "link/modulehw.h"

namespace kavro {
namespace {

constexpr size_t kCardNoBytes = 11;  // byte 11 is never read
constexpr double kBaseDate = 25569.0;          // 1970-01-01 as an Automation date
constexpr double kBaseSeconds = 8 * 3600.0;    // the punch clock counts from 08:00:00
constexpr double kSecondsPerDay = 86400.0;

// The card number up to the first zero byte, without surrounding U+0020 spaces.
std::wstring_view CardNumber(const AttendanceRecord& record, const ansi::ByteChars& chars,
                             wchar_t (&text)[kCardNoBytes])
{
    size_t length = 0;
    while (length < kCardNoBytes && record.CardNo[length] != 0) {
        text[length] = chars[record.CardNo[length]];
        ++length;
    }
    return ansi::TrimSpaces(std::wstring_view(text, length));
}

// The BSTR lent to each put of vCardNo. A put copies what it is lent, so when
// the next number is as long as the last, its characters are written into the
// same string: card numbers mostly share one length, and a download then
// allocates one string instead of one per record.
class CardNumberText {
public:
    BSTR Lend(std::wstring_view text)
    {
        if (text_.get() && SysStringLen(text_.get()) == text.size())
            std::copy(text.begin(), text.end(), text_.get());
        else
            text_ = Bstr(text);
        return text_.get();
    }

private:
    Bstr text_;
};

DATE PunchTime(std::int32_t punchSeconds)
{
    return kBaseDate + (static_cast<double>(punchSeconds) + kBaseSeconds) / kSecondsPerDay;
}

void PutCard(_clsCardData& card, const AttendanceRecord& record, const ansi::ByteChars& chars,
             CardNumberText& numberText)
{
    wchar_t text[kCardNoBytes];
    VARIANT number;
    V_VT(&number) = VT_BSTR;
    V_BSTR(&number) = numberText.Lend(CardNumber(record, chars, text));  // borrowed for the call
    Check(card.put_vCardNo(number), L"Putting vCardNo on clsCardData failed");

    VARIANT time;
    V_VT(&time) = VT_DATE;
    V_DATE(&time) = PunchTime(record.PunchSeconds);
    Check(card.put_vCardTime(time), L"Putting vCardTime on clsCardData failed");
}

} // namespace

HRESULT clsMachine::DownloadCarddata(VARIANT_BOOL blnPort, BSTR strIp, short iPort, short imachineno,
                                     _Collection** cdata, BSTR* strMsg, VARIANT_BOOL* result)
{
    return RunMethod(Unknown(), policy::DownloadCarddata, result, [&](MethodFrame& frame) {
        Connection connection(blnPort, strIp, iPort, imachineno);
        frame.ArmTrap();
        DevAddress address = AddressOf(connection);
        SetText(strMsg, L"");

        ReceivedList<AttendanceRecord> list(hw::HwDev_FreeRcdList());
        auto receive = hw::HwDev_RecvAllRcdFromDev();
        receive(&address, list.list(), list.count(), DevProgress, DevQuery);
        list.Received();
        if (list.Size() > 0) {
            _Collection* collection = cdata ? *cdata : nullptr;
            const ansi::ByteChars chars;
            CardDataFactory cards;
            CardNumberText number;
            list.ForEachCopied([&](const AttendanceRecord& record) {
                ComPtr<_clsCardData> card = cards.Create();
                PutCard(*card.Get(), record, chars, number);
                AppendToCollection(collection, card.Get(), L"cdata");
            });
        }
        list.Release();
        return true;
    });
}

} // namespace kavro
