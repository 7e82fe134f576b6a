#include "WorkerChannel.h"

#include <nlohmann/json.hpp>

#include "Console.h"

namespace kavro::tool {

using Json = nlohmann::json;

bool LineReader::Next(std::string& line)
{
    for (;;) {
        size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            line.assign(buffer_, 0, end);
            buffer_.erase(0, end + 1);
            return true;
        }
        char chunk[4096];
        DWORD got = 0;
        if (!ReadFile(pipe_, chunk, sizeof chunk, &got, nullptr) || got == 0) return false;
        buffer_.append(chunk, got);
    }
}

bool WriteLine(HANDLE pipe, const std::string& text)
{
    std::string line = text + "\n";
    DWORD written = 0;
    return WriteFile(pipe, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) && written == line.size();
}

std::string Encode(size_t index, const PlaceResult& result)
{
    Json found = Json::array();
    for (const auto& properties : result.found) {
        Json item = Json::array();
        for (const ReportedProperty& p : properties) {
            Json property = {{"name", Utf8(p.name)}, {"text", Utf8(p.text)}};
            if (p.number) property["number"] = *p.number;
            item.push_back(std::move(property));
        }
        found.push_back(std::move(item));
    }
    return Json{{"place", index}, {"found", found}, {"exit_code", result.exitCode}, {"failure", Utf8(result.failure)}}
        .dump();
}

std::optional<PlaceResult> Decode(const std::string& line, size_t index)
{
    Json answer = Json::parse(line, nullptr, false);
    try {
        if (!answer.is_object() || answer.at("place").get<size_t>() != index) return std::nullopt;
        PlaceResult result;
        for (const Json& item : answer.at("found")) {
            auto& properties = result.found.emplace_back();
            for (const Json& p : item) {
                std::optional<long> number;
                if (p.contains("number")) number = p.at("number").get<long>();
                properties.push_back({FromUtf8(p.at("name").get<std::string>()),
                                      FromUtf8(p.at("text").get<std::string>()), number});
            }
        }
        result.exitCode = answer.at("exit_code").get<int>();
        result.failure = FromUtf8(answer.at("failure").get<std::string>());
        return result;
    } catch (const Json::exception&) {
        return std::nullopt;
    }
}

} // namespace kavro::tool
