// Discovery spread over worker processes. A worker is this same program in its
// hidden worker mode (discover ... --worker): it creates its own component, so
// it loads its own copy of the terminal library, and the library is never
// called from two threads of one process. The parent hands a worker the next
// place of the range each time it answers, so one slow stretch holds up only
// the worker searching it.
//
// Requests and answers travel on a pipe of their own, never on the worker's
// standard output, which is left to the terminal library (it goes to our
// standard error): nothing the library prints can pass for an answer.
#pragma once
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "Commands.h"

namespace kavro::tool {

// Workers for a search: jobs as asked (0 for the default: 1 for serial ports,
// 16 for addresses), never more than the places to search.
int WorkerCount(const SearchRequest& request, int jobs);

constexpr int kDefaultPlaceTimeout = 60;  // seconds

// A search by jobs workers. They start as it is made, so that they start
// while this process makes its own component (a process takes long to
// start), and get places only from Search on. The workers live in a job
// object that ends them with this process; they end when it goes.
class WorkerSearch {
public:
    WorkerSearch(const SearchRequest& request, int jobs, int placeTimeout, const std::wstring& dllPath);
    WorkerSearch(const WorkerSearch&) = delete;
    WorkerSearch& operator=(const WorkerSearch&) = delete;
    ~WorkerSearch();

    // Every place's result, in the order of the places, each handed to done
    // as it arrives. A worker that fails or ends fails only the place it was
    // searching; one that does not answer within placeTimeout seconds is
    // ended and fails its place. A new worker takes the rest. After two
    // workers end before their first answer (they cannot start), no more are
    // started, and stopped says why; the places left are not searched.
    std::vector<PlaceResult> Search(const PlaceDone& done, std::wstring& stopped);

private:
    struct Running;
    std::unique_ptr<Running> running_;
};

// From now on no worker is created, and one being created is in the job that
// ends it with this process before this returns. Whatever ends the process
// on purpose (Ctrl+C) calls it first.
void HoldWorkerCreation() noexcept;

// The worker's side, on the pipe whose handle the parent gave: it makes its
// component and says it is ready, then answers one place number a line in
// with one line of JSON a place out, until the pipe closes.
int ServeAsWorker(const std::wstring& dllPath, const SearchRequest& request, HANDLE channel);

} // namespace kavro::tool
