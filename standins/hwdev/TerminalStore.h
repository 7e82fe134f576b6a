// The simulator's terminals kept in a terminal file: read when the simulator
// is bound to it, read again when another process replaced it, and saved at
// once, by one atomic replace, after every change made through the library.
#pragma once
#include "Simulator.h"

#include <functional>
#include <string>

namespace hwsim {

// Binds the state to the file and reads it: its terminals replace the present
// ones. A file that cannot be read or is malformed leaves no terminals; its
// error is kept in state.file.error and written to standard error.
bool BindFile(State& state, const std::wstring& path);

// At the first use in a process: the file named by HWSIM_TERMINALS, else
// terminals.json beside HwDev.dll when there is one, else none.
void BindStartFile(State& state) noexcept;

// Reads the bound file again when it is no longer the version last read or saved.
void Refresh(State& state);

// Runs change on the addressed terminal, then saves the file. Answers false,
// with the terminals as they were, when no terminal answers there or the file
// cannot be written.
bool ChangeTerminal(State& state, const DevAddress* address, const std::function<void(Terminal&)>& change);

} // namespace hwsim
