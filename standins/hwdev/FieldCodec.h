// How the terminal file spells the records' fields: text in UTF-8 (the records
// hold ANSI bytes), templates in base64, punch times as local date-time text.
// A value that cannot be converted throws std::invalid_argument saying why.
#pragma once
#include <string>
#include <vector>

namespace hwsim::codec {

std::string AnsiFromUtf8(const std::string& utf8);
std::string Utf8FromAnsi(const std::string& ansi);
std::string Utf8FromWide(const std::wstring& wide);
std::wstring WideFromUtf8(const std::string& utf8);

std::vector<unsigned char> FromBase64(const std::string& text);
std::string ToBase64(const std::vector<unsigned char>& bytes);

// "YYYY-MM-DD HH:MM:SS" to and from seconds since 1970-01-01 08:00:00, the
// terminals' count; no time zone of the computer applies.
int SecondsFromLocalTime(const std::string& text);
std::string LocalTimeFromSeconds(int seconds);

} // namespace hwsim::codec
