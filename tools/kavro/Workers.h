// Discovery spread over worker processes. A worker is this same program in its
// hidden worker mode (discover ... --worker): it creates its own component, so
// it loads its own copy of the terminal library, and the library is never
// called from two threads of one process. The parent hands a worker the next
// place of the range each time it answers, so one slow stretch holds up only
// the worker searching it.
#pragma once
#include <string>
#include <vector>

#include "Commands.h"

namespace kavro::tool {

// Workers for a search: jobs as asked (0 for the default: 1 for serial ports,
// 16 for addresses), never more than the places to search.
int WorkerCount(const SearchRequest& request, int jobs);

// Every place's result, in the order of the places. A worker that fails or
// ends fails only the place it was searching; a new worker takes the rest.
// The workers live in a job object that ends them with this process.
std::vector<PlaceResult> SearchWithWorkers(const SearchRequest& request, int jobs, const std::wstring& dllPath);

// The worker's side: one place number a line on standard input, one line of
// JSON a place on standard output, until standard input ends.
int ServeAsWorker(IMachine& machine, const SearchRequest& request);

} // namespace kavro::tool
