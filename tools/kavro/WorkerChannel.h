// The pipe between kavro.exe and one of its workers, a line at a time both
// ways: the worker says kReady once its component is made; then the parent
// writes a place's number a line, and the worker answers each with one line
// of JSON (Encode, Decode).
#pragma once
#include <windows.h>

#include <optional>
#include <string>

#include "Commands.h"

namespace kavro::tool {

constexpr char kReady[] = "ready";

// Lines from the worker's side of its pipe; false at its end.
class LineReader {
public:
    explicit LineReader(HANDLE pipe) : pipe_(pipe) {}

    bool Next(std::string& line);

private:
    HANDLE pipe_;
    std::string buffer_;
};

bool WriteLine(HANDLE pipe, const std::string& text);

// The answer for one place, one line of JSON:
// {"place":7,"found":[[{"name":"vIp","text":"192.168.1.7"},...]],"exit_code":0,"failure":""}
std::string Encode(size_t index, const PlaceResult& result);

// The answer for place index, or none when the line is not one.
std::optional<PlaceResult> Decode(const std::string& line, size_t index);

} // namespace kavro::tool
