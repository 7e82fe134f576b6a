#include "FieldCodec.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <stdexcept>

namespace hwsim::codec {

namespace {

std::wstring Wide(UINT codePage, DWORD flags, const std::string& bytes)
{
    if (bytes.empty()) return {};
    const int length = static_cast<int>(bytes.size());
    int n = MultiByteToWideChar(codePage, flags, bytes.data(), length, nullptr, 0);
    if (n <= 0) throw std::invalid_argument("is not valid text");
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, flags, bytes.data(), length, wide.data(), n);
    return wide;
}

std::string Narrow(UINT codePage, const std::wstring& wide)
{
    if (wide.empty()) return {};
    const int length = static_cast<int>(wide.size());
    // The UTF-8 code page takes neither flags nor the default-character check.
    const bool ansi = codePage == CP_ACP;
    BOOL usedDefault = FALSE;
    int n = WideCharToMultiByte(codePage, ansi ? WC_NO_BEST_FIT_CHARS : 0, wide.data(), length,
                                nullptr, 0, nullptr, ansi ? &usedDefault : nullptr);
    if (n <= 0 || usedDefault) throw std::invalid_argument("has characters outside the ANSI code page");
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(codePage, ansi ? WC_NO_BEST_FIT_CHARS : 0, wide.data(), length,
                        bytes.data(), n, nullptr, nullptr);
    return bytes;
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
long long DaysFromCivil(long long y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int& y, unsigned& m, unsigned& d)
{
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

unsigned DaysInMonth(int y, unsigned m)
{
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

constexpr long long kBaseOffset = 8 * 3600; // the count starts at 08:00:00

} // namespace

std::string AnsiFromUtf8(const std::string& utf8)
{
    return Narrow(CP_ACP, Wide(CP_UTF8, MB_ERR_INVALID_CHARS, utf8));
}

std::string Utf8FromAnsi(const std::string& ansi)
{
    return Narrow(CP_UTF8, Wide(CP_ACP, 0, ansi));
}

std::string Utf8FromWide(const std::wstring& wide) { return Narrow(CP_UTF8, wide); }

std::wstring WideFromUtf8(const std::string& utf8) { return Wide(CP_UTF8, 0, utf8); }

std::vector<unsigned char> FromBase64(const std::string& text)
{
    if (text.size() % 4 != 0) throw std::invalid_argument("is not base64 (its length is not a multiple of 4)");
    std::vector<unsigned char> bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=' && text[i + 3] == '=') : 0;
        unsigned group = 0;
        for (int k = 0; k < 4; ++k) {
            int v = k >= 4 - padding ? 0 : Sextet(text[i + k]);
            if (v < 0) throw std::invalid_argument("is not base64 (character " + std::to_string(i + k + 1) + ")");
            group = group << 6 | static_cast<unsigned>(v);
        }
        bytes.push_back(static_cast<unsigned char>(group >> 16));
        if (padding < 2) bytes.push_back(static_cast<unsigned char>(group >> 8));
        if (padding < 1) bytes.push_back(static_cast<unsigned char>(group));
    }
    return bytes;
}

std::string ToBase64(const std::vector<unsigned char>& bytes)
{
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        unsigned group = bytes[i] << 16 | (n > 1 ? bytes[i + 1] << 8 : 0) | (n > 2 ? bytes[i + 2] : 0);
        for (size_t k = 0; k < 4; ++k)
            text += k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return text;
}

int SecondsFromLocalTime(const std::string& text)
{
    const char* shape = "dddd-dd-dd dd:dd:dd";
    bool shaped = text.size() == 19;
    for (size_t i = 0; shaped && i < text.size(); ++i)
        shaped = shape[i] == 'd' ? text[i] >= '0' && text[i] <= '9' : text[i] == shape[i];
    if (!shaped) throw std::invalid_argument("is not a date-time \"YYYY-MM-DD HH:MM:SS\"");
    auto number = [&](size_t at, size_t width) { return std::stoi(text.substr(at, width)); };
    const int y = number(0, 4), mo = number(5, 2), d = number(8, 2);
    const int h = number(11, 2), mi = number(14, 2), s = number(17, 2);
    if (mo < 1 || mo > 12 || d < 1 || static_cast<unsigned>(d) > DaysInMonth(y, static_cast<unsigned>(mo)) ||
        h > 23 || mi > 59 || s > 59)
        throw std::invalid_argument("is not a valid date-time");
    long long seconds = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 +
                        h * 3600 + mi * 60 + s - kBaseOffset;
    if (seconds < INT_MIN || seconds > INT_MAX)
        throw std::invalid_argument("lies outside what a terminal counts (1901-12-14 04:45:52 to 2038-01-19 11:14:07)");
    return static_cast<int>(seconds);
}

std::string LocalTimeFromSeconds(int seconds)
{
    long long local = seconds + kBaseOffset;
    long long days = local >= 0 ? local / 86400 : -((-local + 86399) / 86400);
    long long rest = local - days * 86400;
    int y;
    unsigned m, d;
    CivilFromDays(days, y, m, d);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d", y, m, d, static_cast<int>(rest / 3600),
                  static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
    return text;
}

} // namespace hwsim::codec
