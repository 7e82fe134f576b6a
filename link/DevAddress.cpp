// Filling a terminal address record from a call's connection values.
#include <windows.h>
#include <cmath>
#include <cstring>
#include <cwctype>
#include <string>
#include <string_view>

#include "frame/Errors.h"
#include "frame/Owners.h"
#include "frame/clsMachine.h"
#include "link/AnsiText.h"

namespace kavro {
namespace {

constexpr std::int16_t kFixedValue = 10;
constexpr std::int32_t kSerialBaudRate = 38400;

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

// Reads the number a text starts with, as a port number is read: blanks are
// skipped, reading stops at the first character that cannot continue the
// number, and a text without a leading number reads as 0.
double LeadingNumber(std::wstring_view text)
{
    std::string digits;  // the number as the C library reads it
    size_t i = 0;
    auto skipBlanks = [&] { while (i < text.size() && IsBlank(text[i])) ++i; };
    auto takeDigits = [&] {
        size_t n = 0;
        for (skipBlanks(); i < text.size() && text[i] >= L'0' && text[i] <= L'9'; skipBlanks()) {
            digits += static_cast<char>(text[i++]);
            ++n;
        }
        return n;
    };
    skipBlanks();
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) digits += static_cast<char>(text[i++]);
    size_t mantissa = takeDigits();
    if (i < text.size() && text[i] == L'.') {
        digits += '.';
        ++i;
        mantissa += takeDigits();
    }
    if (mantissa == 0) return 0.0;
    if (i < text.size() && (text[i] == L'e' || text[i] == L'E' || text[i] == L'd' || text[i] == L'D')) {
        std::string exponent = "e";
        size_t j = i + 1;
        if (j < text.size() && (text[j] == L'+' || text[j] == L'-')) exponent += static_cast<char>(text[j++]);
        size_t start = exponent.size();
        while (j < text.size() && text[j] >= L'0' && text[j] <= L'9') exponent += static_cast<char>(text[j++]);
        if (exponent.size() > start) digits += exponent;
    }
    return std::strtod(digits.c_str(), nullptr);
}

// The usual port text, an optional minus sign and one to nine digits, read
// without the general reader: discovery fills a record for every probe.
bool PlainInteger(std::wstring_view text, std::int32_t& value)
{
    size_t i = !text.empty() && text[0] == L'-' ? 1 : 0;
    if (text.size() == i || text.size() - i > 9) return false;
    std::int32_t number = 0;
    for (size_t j = i; j < text.size(); ++j) {
        if (text[j] < L'0' || text[j] > L'9') return false;
        number = number * 10 + (text[j] - L'0');
    }
    value = i ? -number : number;
    return true;
}

// Rounds to the nearest integer, halves to the even neighbour.
std::int32_t ToPortNumber(double value)
{
    double rounded = std::nearbyint(value);  // the default rounding mode rounds halves to even
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) Raise(RunTimeError::Overflow, L"Overflow");
    return static_cast<std::int32_t>(rounded);
}

// The connection value as text: a BSTR is read in place; anything else (a
// 16-bit integer) becomes its decimal text, kept alive by holder.
std::wstring_view TextOf(const VARIANT& value, Variant& holder)
{
    if (V_VT(&value) == VT_BSTR) return ViewOf(V_BSTR(&value));
    HRESULT hr = VariantChangeType(holder.get(), const_cast<VARIANT*>(&value), 0, VT_BSTR);
    if (FAILED(hr)) Raise(RunTimeError::TypeMismatch, L"Type mismatch");
    return ViewOf(V_BSTR(holder.get()));
}

// Byte i goes to index i, then a zero byte; an index past the field fails
// after the bytes before it were written. Bytes after the zero keep their content.
void StoreAddressText(std::uint8_t (&field)[16], std::string_view bytes)
{
    for (size_t i = 0; i <= bytes.size(); ++i) {
        if (i >= sizeof(field)) Raise(RunTimeError::SubscriptOutOfRange, L"Subscript out of range");
        field[i] = i < bytes.size() ? static_cast<std::uint8_t>(bytes[i]) : 0;
    }
}

// Texts that can fit the field are encoded on the stack, so that a discovery
// probe touches no heap; only a text too long for the field takes the heap on
// its way to failing.
void StoreAddressText(std::uint8_t (&field)[16], std::wstring_view text)
{
    char bytes[2 * sizeof(field)];  // a double-byte code page needs at most two bytes a character
    size_t n = text.size() <= sizeof(field) ? ansi::EncodeInto(text, bytes, sizeof bytes) : ansi::npos;
    if (n != ansi::npos) {
        StoreAddressText(field, std::string_view(bytes, n));
    } else {
        StoreAddressText(field, std::string_view(ansi::Encode(text)));
    }
}

} // namespace

void clsMachine::FillDevAddress(DevAddress& record, VARIANT_BOOL serial, const VARIANT& value, short machineNo)
{
    record.MachineNo = machineNo;
    record.FixedValue = kFixedValue;
    Variant holder;
    if (serial) {
        record.IsSerial = 1;
        const std::wstring_view text = TextOf(value, holder);
        std::int32_t port = 0;
        record.ComPort = PlainInteger(text, port) ? port : ToPortNumber(LeadingNumber(text));
        record.BaudRate = kSerialBaudRate;
    } else {
        record.IsSerial = 0;
        StoreAddressText(record.IpAddress, TextOf(value, holder));
    }
}

DevAddress clsMachine::AddressOf(const Connection& connection)
{
    DevAddress record;
    std::memset(&record, 0, sizeof(record));
    VARIANT value;
    if (connection.blnPort) {
        V_VT(&value) = VT_I2;
        V_I2(&value) = connection.iPort;
    } else {
        V_VT(&value) = VT_BSTR;  // borrowed, not freed here
        V_BSTR(&value) = connection.strIp;
    }
    FillDevAddress(record, connection.blnPort, value, connection.imachineno);
    return record;
}

} // namespace kavro
