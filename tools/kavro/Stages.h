// Stage times for the benchmark: where a discover with workers spends its
// start. When KAVRO_STAGE_TIMES names a folder, MarkStage appends the line
// "<process id> <stage> <seconds>" to the file <process id>.txt there, the
// seconds read from the performance counter, which every process of the
// machine shares; workers inherit the variable and mark their own stages.
// (One file a process: appends of many processes to one file, through Wine
// and a shared folder, lost lines.) Without the variable, nothing.
#pragma once

namespace kavro::tool {

void MarkStage(const char* stage) noexcept;

} // namespace kavro::tool
