// The terminal file: a site's terminals as JSON, read into simulated terminals
// and written back from them. Anything wrong with a file throws FileError with
// a message that names the file and the place.
#pragma once
#include "Simulator.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace hwsim {

class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error; // the message is UTF-8
};

struct Site {
    int absentMs = 0;
    std::string stdoutText;  // every call prints it on the standard output, as some vendor libraries do
    unsigned exitOnCall = 0;  // nonzero: every call ends the process with this code, as one that cannot start
    std::vector<Terminal> terminals;
};

// fileName (UTF-8) only goes into messages.
Site ParseSite(const std::string& json, const std::string& fileName);
std::string FormatSite(const Site& site, const std::string& fileName);

} // namespace hwsim
