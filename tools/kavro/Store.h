// The fingerprint store: a JSON file {"rows": [...]} whose rows carry the
// fingerprint recordset's columns (bFingerprint as base64). A column the
// component did not set is left out of its row. Saved by writing a new file
// beside the old one and renaming it over, so a reader never sees half a file.
//
// Several kavro.exe may use one store at once. Every change is made under an
// exclusive lock on the side file <store>.lock, held from load to rename, and
// a read under a shared one. The store itself cannot carry the lock, since a
// save replaces it; the side file is never deleted (nor can it be while a run
// holds it), its name comes from the store's final path, so that every
// spelling of one store (a short name, a link) meets the same lock, and the
// system releases a lock when its holder dies, so a killed run blocks nobody.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
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

// When a wait must end.
class Deadline {
public:
    explicit Deadline(int seconds) : seconds_(seconds), end_(GetTickCount64() + 1000ull * seconds) {}
    bool Passed() const { return GetTickCount64() >= end_; }
    DWORD LeftMs() const { return Passed() ? 0 : static_cast<DWORD>(end_ - GetTickCount64()); }
    int seconds() const { return seconds_; }

private:
    int seconds_;
    ULONGLONG end_;
};

// A store's path as the user spelled it (for messages) and as every spelling
// of it leads (for the lock, the temporary files and the rename).
struct StorePath {
    StorePath() = default;
    StorePath(std::wstring shown, std::wstring real) : shown(std::move(shown)), real(std::move(real)) {}
    explicit StorePath(const std::wstring& given);
    std::wstring shown, real;
};

class FingerprintStore {
public:
    // Load under the shared lock. Change loads under the exclusive lock, lets
    // change alter the rows and saves before letting go. Either fails with
    // exit code 5 when the lock (or, for Change, the rename) is not had within
    // waitSeconds, having changed nothing; notDone says what was not done
    // ("The fingerprint of employee 1001 was not saved").
    static FingerprintStore Read(const std::wstring& path, bool mustExist, int waitSeconds, const std::wstring& notDone);
    static void Change(const std::wstring& path, int waitSeconds, const std::wstring& notDone,
                       const std::function<void(FingerprintStore&)>& change);
    // Before a terminal is read for a backup: the store can be read and
    // replaced, and a file can be made beside it, so that what the terminal
    // gives is not read only to be thrown away. A store that may not be
    // written (read-only, permissions) fails with exit code 2 at once; one
    // held by others is waited for as Change waits, then exit code 5.
    static void CheckWritable(const std::wstring& path, int waitSeconds, const std::wstring& notDone);

    // A missing file is an empty store unless mustExist; a file that cannot be
    // read or is malformed fails with exit code 2, naming the file; one that
    // another program holds open without read sharing is waited for until
    // the deadline, then exit code 5.
    static FingerprintStore Load(const std::wstring& path, bool mustExist);
    static FingerprintStore Load(const StorePath& path, bool mustExist, const Deadline& until,
                                 const std::wstring& notDone);
    // The store a file's bytes hold; malformed bytes fail with exit code 2,
    // naming path. Any bytes at all get that answer or a store, never worse.
    static FingerprintStore Parse(const std::wstring& path, const std::string& bytes);

    const std::vector<FingerprintRow>& rows() const { return rows_; }
    // Adds the row, or replaces the one for the same person and terminal number.
    void Put(const FingerprintRow& row);
    // The person's row; with several, the one for this terminal number, else the first.
    const FingerprintRow* Find(const std::wstring& person, short imachineno) const;
    void Save(const Deadline& until = Deadline(0)) const;

private:
    StorePath path_;
    std::vector<FingerprintRow> rows_;
};

std::string Base64(const std::vector<std::uint8_t>& bytes);
// nullopt for text that is not padded base64.
std::optional<std::vector<std::uint8_t>> FromBase64(const std::string& text);

// Replaces the file at path with bytes in one step; fails with exit code 4.
// A rename refused because someone holds the file open is tried again until
// the deadline, and then fails with exit code 5; one that may never succeed
// (a read-only file, permissions) fails with exit code 2 at once. Messages
// name the file as shown (path when empty).
void WriteFileAtomically(const std::wstring& path, const std::string& bytes, const Deadline& until = Deadline(0),
                         const std::wstring& shown = {});

// The path every spelling of a file leads to (its final path, with the long
// names, links resolved), or its folder's with its name when it does not exist.
std::wstring FinalPath(const std::wstring& path);

} // namespace kavro::tool
