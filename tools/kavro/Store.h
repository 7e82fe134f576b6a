// The fingerprint store: a JSON file {"rows": [...]} whose rows carry the
// fingerprint recordset's columns (bFingerprint as base64). A column the
// component did not set is left out of its row. Saved by writing a new file
// beside the old one and renaming it over, so a reader never sees half a file.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kavro::tool {

struct FingerprintRow {
    std::optional<std::wstring> cpsn_num;
    std::optional<short> iFingerprintNO;
    std::optional<short> imachineno;
    std::optional<long> npassword;
    std::optional<std::vector<std::uint8_t>> bFingerprint;
};

class FingerprintStore {
public:
    // A missing file is an empty store unless mustExist; a file that cannot be
    // read or is malformed fails with exit code 2, naming the file.
    static FingerprintStore Load(const std::wstring& path, bool mustExist);

    const std::vector<FingerprintRow>& rows() const { return rows_; }
    // Adds the row, or replaces the one for the same person and terminal number.
    void Put(const FingerprintRow& row);
    // The person's row; with several, the one for this terminal number, else the first.
    const FingerprintRow* Find(const std::wstring& person, short imachineno) const;
    void Save() const;

private:
    std::wstring path_;
    std::vector<FingerprintRow> rows_;
};

std::string Base64(const std::vector<std::uint8_t>& bytes);
// nullopt for text that is not padded base64.
std::optional<std::vector<std::uint8_t>> FromBase64(const std::string& text);

// Replaces the file at path with bytes in one step; fails with exit code 4.
void WriteFileAtomically(const std::wstring& path, const std::string& bytes);

} // namespace kavro::tool
