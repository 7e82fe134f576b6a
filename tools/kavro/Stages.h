// Stage times for the benchmark: where a discover with workers spends its
// start. When KAVRO_STAGE_TIMES names a file, MarkStage appends the line
// "<process id> <stage> <seconds>" to it, the seconds read from the
// performance counter, which every process of the machine shares; workers
// inherit the variable and mark their own stages. Without it, nothing.
#pragma once

namespace kavro::tool {

void MarkStage(const char* stage) noexcept;

} // namespace kavro::tool
