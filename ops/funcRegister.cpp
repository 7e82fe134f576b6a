// funcRegister: searches a range of serial ports or of IP addresses for
// terminals, trying every terminal number of a second range at each, and
// appends one clsMachineItem per answering terminal to the host's collection.
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frame/HostObjects.h"
#include "frame/MethodFrame.h"
#include "frame/NumberText.h"
#include "frame/Owners.h"
#include "frame/clsMachine.h"
#include "link/modulefunction.h"

namespace kavro {
namespace {

constexpr wchar_t kItemClass[] = L"clsMachineItem";

// An address text as the message box names it; a host's runaway text is cut
// short so that the box stays readable.
std::wstring Shown(std::wstring_view text)
{
    constexpr size_t kLongestShown = 64;
    if (text.size() <= kLongestShown) return std::wstring(text);
    return std::wstring(text.substr(0, kLongestShown)) + L"... (" + DecimalText(static_cast<long long>(text.size())) +
           L" characters)";
}

std::wstring Quoted(std::wstring_view text) { return L"\"" + Shown(text) + L"\""; }

// One search: the record every probe refills, HwDev_IsDevExist bound at the
// first probe and the host's class at the first answer, so that a search
// that probes nothing needs neither.
class Search {
public:
    Search(_Collection** col, VARIANT_BOOL blnPort, short imin, short imax)
        : col_(col), serial_(blnPort), imin_(imin), imax_(imax)
    {
        std::memset(&address_, 0, sizeof address_);
    }

    // Tries every terminal number at one port or address. value is what the
    // host is given for an answer there (the port, or the address's last part).
    void At(const Bstr& connection, short value)
    {
        const VARIANT text = TextValue(connection);
        int machineNo = imin_;
        try {
            // Counted in 32 bits, so that a range ending at 32767 ends after its last pass.
            for (; machineNo <= imax_; ++machineNo) {
                if (Answers(text, static_cast<short>(machineNo))) Report(text, value);
            }
        } catch (ComError& error) {
            error.description = L"Searching " + std::wstring(serial_ ? L"serial port " : L"address ") +
                                Shown(connection.view()) + L", terminal number " +
                                DecimalText(machineNo) + L": " + error.description;
            throw;
        }
    }

private:
    bool Answers(const VARIANT& text, short machineNo)
    {
        clsMachine::FillDevAddress(address_, serial_, text, machineNo);
        if (!isDevExist_) isDevExist_ = hw::HwDev_IsDevExist();
        const int answer = isDevExist_(&address_);
        if (answer < -32768 || answer > 32767)
            Raise(RunTimeError::Overflow, L"HwDev_IsDevExist answered " + DecimalText(answer) +
                                              L", outside -32768 to 32767 (overflow)");
        return answer == 1;
    }

    // The terminal number that answered is put nowhere: hosts rely on getting
    // the same object for every number at one port or address.
    void Report(const VARIANT& text, short value)
    {
        if (!items_) items_.emplace();
        ComPtr<_clsMachineItem> item = items_->Create();
        const VARIANT number = ShortValue(value);
        PutByName(*item.Get(), kItemClass, L"imachineno", number);
        PutByName(*item.Get(), kItemClass, serial_ ? L"iPort" : L"vIp", text);
        PutByName(*item.Get(), kItemClass, L"vMachineInfo", number);
        AppendToCollection(col_ ? *col_ : nullptr, item.Get(), L"col");
    }

    _Collection** col_;
    VARIANT_BOOL serial_;
    short imin_, imax_;
    DevAddress address_;
    hw::IsDevExistFn isDevExist_ = nullptr;
    std::optional<MachineItemFactory> items_;
};

std::vector<std::wstring_view> SplitAtDots(std::wstring_view text)
{
    std::vector<std::wstring_view> parts;
    for (size_t start = 0;;) {
        size_t dot = text.find(L'.', start);
        parts.push_back(text.substr(start, dot == std::wstring_view::npos ? dot : dot - start));
        if (dot == std::wstring_view::npos) return parts;
        start = dot + 1;
    }
}

// The fourth part as a 16-bit Integer, converted as Basic converts text.
short FourthPart(const std::vector<std::wstring_view>& parts, const wchar_t* parameter, std::wstring_view address)
{
    const std::wstring where = std::wstring(parameter) + L" " + Quoted(address);
    if (parts.size() < 4)
        Raise(RunTimeError::SubscriptOutOfRange,
              where + L" has no fourth dot-separated part (subscript out of range)");
    std::wstring part(parts[3]);
    short number = 0;
    HRESULT hr = VarI2FromStr(part.data(), LOCALE_USER_DEFAULT, 0, &number);
    if (hr == DISP_E_OVERFLOW)
        Raise(RunTimeError::Overflow,
              L"The fourth part " + Quoted(part) + L" of " + where + L" lies outside -32768 to 32767 (overflow)");
    if (FAILED(hr))
        Raise(RunTimeError::TypeMismatch,
              L"The fourth part " + Quoted(part) + L" of " + where + L" is not a number (type mismatch)");
    return number;
}

} // namespace

HRESULT clsMachine::funcRegister(_Collection** col, VARIANT_BOOL blnPort, short iPortMin, short iPortMax,
                                 BSTR strIPMin, BSTR strIPMax, short imin, short imax, BSTR* strMsg,
                                 VARIANT_BOOL* result)
{
    return RunMethod(Unknown(), policy::funcRegister, result, [&](MethodFrame& frame) {
        const Bstr lowest(ViewOf(strIPMin)), highest(ViewOf(strIPMax));
        frame.ArmTrap(strMsg);
        Search search(col, blnPort, imin, imax);
        if (blnPort) {
            for (int port = iPortMin; port <= iPortMax; ++port)
                search.At(Bstr(DecimalText(port)), static_cast<short>(port));
        } else {
            const auto lowParts = SplitAtDots(lowest.view());
            const short first = FourthPart(lowParts, L"strIPMin", lowest.view());
            const auto highParts = SplitAtDots(highest.view());
            const short last = FourthPart(highParts, L"strIPMax", highest.view());
            const std::wstring prefix = std::wstring(highParts[0]) + L"." + std::wstring(highParts[1]) + L"." +
                                        std::wstring(highParts[2]) + L".";
            for (int part = first; part <= last; ++part)
                search.At(Bstr(prefix + DecimalText(part)), static_cast<short>(part));
        }
        return true;
    });
}

} // namespace kavro
