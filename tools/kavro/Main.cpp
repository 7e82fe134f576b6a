// kavro.exe: a command-line host for Kavro.clsMachine. It creates the
// component as the attendance application does, serves the host's own
// classes in this process, and prints what the terminals answered.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstdint>
#include <optional>
#include <sstream>

#include <CLI/CLI.hpp>

#include "Commands.h"
#include "Console.h"
#include "Doctor.h"
#include "Failure.h"
#include "Stages.h"
#include "Workers.h"
#include "X64Hosts.h"

using namespace kavro::tool;

namespace {

struct Options {
    std::string dll;
    bool version = false;
    std::string ip, port, number = "1";  // single values, or ranges for discover
    bool json = false, yes = false;
    int jobs = 0;         // discover: 0 for the default
    int placeTimeout = kDefaultPlaceTimeout;  // discover, with workers
    bool worker = false;                      // discover: the hidden worker mode (Workers.h)
    std::uintptr_t channel = 0;               // the worker's pipe, as its handle's value
    std::string csv, person, store = "fingerprints.json", text;
    int wait = 30;  // backup, restore: seconds for the store's lock
    bool x64 = false;  // register, doctor: for 64-bit hosts
    bool x64Only = false;  // register: the registration for 64-bit hosts alone
};

// The command line as UTF-8, last argument first, as CLI11 takes it; from the
// wide command line, so that names and texts in any script arrive intact.
std::vector<std::string> Arguments()
{
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    if (!wide) Fail(kBadArguments, L"The command line cannot be read");
    for (int i = count - 1; i >= 1; --i) args.push_back(Utf8(wide[i]));
    LocalFree(wide);
    return args;
}

// --ip or --port (exactly one), and --number.
void AddTerminalOptions(CLI::App& command, Options& o, bool ranges)
{
    CLI::Option_group* link = command.add_option_group("terminal", "Where the terminal is (one of the two)");
    link->add_option("--ip", o.ip, ranges ? "Network search: FIRST-LAST, e.g. 192.168.1.10-20" : "IP address")
        ->type_name(ranges ? "FIRST-LAST" : "ADDR");
    link->add_option("--port", o.port, ranges ? "Serial search: ports FIRST-LAST, e.g. 1-4" : "Serial port number")
        ->type_name(ranges ? "FIRST-LAST" : "N");
    link->require_option(1);
    command.add_option("--number", o.number, ranges ? "Terminal numbers FIRST-LAST" : "Terminal number")
        ->type_name(ranges ? "FIRST-LAST" : "N")
        ->capture_default_str();
}

Terminal TerminalOf(const Options& o)
{
    Terminal t;
    t.serial = !o.port.empty();
    if (t.serial) t.port = static_cast<short>(ParseNumberRange(o.port, "--port").first);
    else t.ip = ParseAddress(o.ip);
    NumberRange number = ParseNumberRange(o.number, "--number");
    if (number.first != number.last) Fail(kBadArguments, L"--number: one terminal number, not a range");
    t.number = static_cast<short>(number.first);
    if (t.serial && o.port.find('-') != std::string::npos) Fail(kBadArguments, L"--port: one port, not a range");
    return t;
}

SearchRequest SearchOf(const Options& o)
{
    SearchRequest r;
    r.serial = !o.port.empty();
    if (r.serial) r.ports = ParseNumberRange(o.port, "--port");
    else r.addresses = ParseAddressRange(o.ip);
    r.numbers = ParseNumberRange(o.number, "--number");
    return r;
}

// A single-threaded apartment on this thread, as the host has, while it lives.
class ComApartment {
public:
    ComApartment()
    {
        if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) Fail(kCallFailed, L"COM cannot be initialised");
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() { CoUninitialize(); }
};

int Run()
{
    Options o;
    CLI::App app{"A command-line host for the attendance terminal component Kavro.clsMachine.", "kavro"};
    app.add_option("--dll", o.dll, "Load this Kavro.dll without registration")->type_name("PATH");
    app.add_flag("--version", o.version, "Show the component's file version");
    app.require_subcommand(0, 1);
    app.footer(
        "Exit codes: 0 done; 1 the component answered false; 2 bad arguments or a bad file; 3 Kavro.clsMachine could "
        "not be created; 4 a call failed; 5 busy: the fingerprint store stayed locked, nothing was changed; run it "
        "again; 6 register or unregister needs an administrator's command prompt, nothing was changed.");

    CLI::App* discover = app.add_subcommand("discover", "Search a range of addresses or ports for terminals");
    AddTerminalOptions(*discover, o, true);
    discover->add_flag("--json", o.json, "Print JSON");
    discover->add_option("--jobs", o.jobs, "Worker processes searching at once (default 1 for ports, 16 for addresses)")
        ->type_name("N")
        ->check(CLI::Range(1, 64));
    discover
        ->add_option("--place-timeout", o.placeTimeout,
                     "With workers: seconds one address or port may take; a worker that takes longer is ended and "
                     "its place reported")
        ->type_name("SECONDS")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();
    discover->add_flag("--worker", o.worker)->group("");
    discover->add_option("--channel", o.channel)->group("");

    CLI::App* download = app.add_subcommand("download", "Print a terminal's punch records");
    AddTerminalOptions(*download, o, false);
    download->add_option("--csv", o.csv, "Write card,time rows to FILE")->type_name("FILE");
    download->add_flag("--json", o.json, "Print JSON")->excludes("--csv");

    CLI::App* clear = app.add_subcommand("clear", "Erase a terminal's punch records");
    AddTerminalOptions(*clear, o, false);
    clear->add_flag("--yes", o.yes, "Do not ask for confirmation");

    CLI::App* backup = app.add_subcommand("backup", "Back up an employee's fingerprint into the store");
    CLI::App* restore = app.add_subcommand("restore", "Write an employee's fingerprint from the store to a terminal");
    for (CLI::App* command : {backup, restore}) {
        AddTerminalOptions(*command, o, false);
        command->add_option("--person", o.person, "Employee number")->type_name("NUM")->required();
        command->add_option("--store", o.store, "Fingerprint store file")->type_name("FILE")->capture_default_str();
        command
            ->add_option("--wait", o.wait,
                         "Seconds to wait while other runs use the store; then exit code 5, nothing changed")
            ->type_name("SECONDS")
            ->check(CLI::Range(0, 3600))
            ->capture_default_str();
    }
    restore->add_option("--text", o.text, "Employee text for the terminal")->type_name("TEXT");

    CLI::App* doctor = app.add_subcommand(
        "doctor", "Check the installation as a host meets it and say how to fix what is wrong (changes nothing)");
    doctor->add_flag("--json", o.json, "Print JSON");
    doctor->add_flag("--x64", o.x64,
                     "Check the registration for 64-bit hosts instead, as a 64-bit host meets it (creates the "
                     "component in its surrogate process)");

    CLI::App* reg = app.add_subcommand(
        "register", "Register Kavro.dll (--dll, else the one beside kavro.exe) for every program on this PC");
    CLI::Option* x64Hosts = reg->add_flag(
        "--x64-hosts", o.x64, "Also let 64-bit hosts use it, through a 32-bit surrogate process (kavro unregister removes it)");
    reg->add_flag("--x64-hosts-only", o.x64Only,
                  "Only that, over a registration already there (Kavro's MSI writes the ordinary one itself)")
        ->excludes(x64Hosts);
    CLI::App* unreg = app.add_subcommand(
        "unregister", "Remove the registration, with the one for 64-bit hosts (--dll, else the registered file)");
    unreg->add_flag("--x64-hosts", o.x64, "Remove only what register --x64-hosts added");

    std::ostringstream out, err;
    try {
        std::vector<std::string> args = Arguments();
        app.parse(args);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e, out, err);
        Print(FromUtf8(out.str()));
        PrintError(FromUtf8(err.str()));
        return code == 0 ? kSuccess : kBadArguments;
    }
    const std::wstring dll = FromUtf8(o.dll);
    if (o.version) {
        ComApartment com;
        Print(L"Kavro.dll " + ComponentVersion(dll) + L"\n");
        return kSuccess;
    }
    if (app.get_subcommands().empty())
        Fail(kBadArguments, L"A command is needed: discover, download, clear, backup, restore, doctor, register or unregister (see --help)");
    CLI::App* command = app.get_subcommands().front();
    // The doctor meets the installation as it is: no host classes of ours.
    if (command == doctor || command == reg || command == unreg) {
        ComApartment com;
        if (command == reg)
            return Register(dll, o.x64Only ? Registering::kX64HostsOnly
                                 : o.x64   ? Registering::kWithX64Hosts
                                           : Registering::kComponent);
        if (command == unreg) return Unregister(dll, o.x64);
        return Doctor(dll, o.json, o.x64);
    }

    // Checked in full before the component is created.
    SearchRequest search;
    Terminal terminal;
    if (command == discover) search = SearchOf(o);
    else terminal = TerminalOf(o);
    if (command == clear && !o.yes && !IsConsole(STD_INPUT_HANDLE))
        Fail(kBadArguments, L"clear: no console to confirm on; add --yes to clear without asking");

    // Workers first, before even COM here: a process takes long to start,
    // and they start while this one sets up COM (under Wine its first
    // apartment makes a window) and makes its own component, which decides
    // exit code 3 as ever.
    std::optional<WorkerSearch> workers;
    if (command == discover && !o.worker && WorkerCount(search, o.jobs) > 1)
        workers.emplace(search, WorkerCount(search, o.jobs), o.placeTimeout, dll);
    ComApartment com;
    HostClasses hostClasses;
    if (command == discover && o.worker) return ServeAsWorker(dll, search, reinterpret_cast<HANDLE>(o.channel));
    ComPtr<IMachine> machine = CreateMachine(dll);
    if (command == discover) return Discover(*machine.Get(), search, o.json, workers ? &*workers : nullptr);
    if (command == download) return Download(*machine.Get(), terminal, FromUtf8(o.csv), o.json);
    if (command == clear) {
        if (!o.yes && !Confirm(L"Erase every punch record on " + terminal.Describe() + L"? [y/N] ")) {
            Print(L"Nothing was cleared.\n");
            return kSuccess;
        }
        return Clear(*machine.Get(), terminal);
    }
    if (command == backup) return Backup(*machine.Get(), terminal, FromUtf8(o.person), FromUtf8(o.store), o.wait);
    return Restore(*machine.Get(), terminal, FromUtf8(o.person), FromUtf8(o.store), FromUtf8(o.text), o.wait);
}

} // namespace

int main()
{
    MarkStage("started");
    int code;
    try {
        code = Run();
    } catch (const Failure& f) {
        PrintError(L"kavro: " + f.message + L"\n");
        code = f.exitCode;
    } catch (const std::bad_alloc&) {
        PrintError(L"kavro: out of memory\n");
        code = kCallFailed;
    } catch (const std::exception& e) {
        PrintError(L"kavro: " + FromUtf8(e.what()) + L"\n");
        code = kCallFailed;
    } catch (...) {
        PrintError(L"kavro: unexpected failure\n");
        code = kCallFailed;
    }
    MarkStage("exit");
    return code;
}
