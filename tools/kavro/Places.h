// The ledger of a search by workers: which place goes next, what each place
// gave, and when the search is over.
#pragma once
#include <windows.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"
#include "Handle.h"

namespace kavro::tool {

// The places of the range, handed out one at a time once opened, and their
// results. Every worker's thread shares one.
class Places {
public:
    Places(size_t total, int workers);

    // Set when it closes: the workers' waits end then.
    HANDLE Closing() const { return closing_.get(); }

    // Hands out places from now on, telling done of each result.
    void Open(const PlaceDone& done);

    // Hands out no more places.
    void Close();

    // The next place, once open; none when all are handed out or it is closed.
    std::optional<size_t> Next();

    void Done(size_t index, PlaceResult result);

    // A worker that could not be created, or ended before it was ready: the
    // second such worker stops the starting of workers, and why says why.
    void CannotStart(const std::wstring& why);

    // What becomes of the place of a worker that ended on its first place.
    enum class Lost { kGivenBack, kFailed };

    // Before any place of the search was searched, the worker counts as one
    // that cannot start and its place goes back to be handed out again;
    // once places are searched, workers evidently start, and the place fails.
    Lost EndedOnFirstPlace(size_t index, const std::wstring& ended);

    // No more workers: two could not start, or the search is over, or no
    // place is left to hand out.
    bool Stopped();

    void WorkerGone();

    // Waits for every result, or for the last worker to go, calling shown
    // with the count so far at each result.
    std::vector<PlaceResult> WaitAll(const std::function<void(size_t)>& shown, std::wstring& stopped);

private:
    std::mutex lock_;
    std::condition_variable changed_;
    const size_t total_;
    size_t next_ = 0, searched_ = 0;
    int running_;
    int notStarted_ = 0;
    bool closed_ = false;
    std::vector<size_t> returned_;
    std::wstring stopped_;
    std::vector<PlaceResult> results_;
    const PlaceDone* done_ = nullptr;
    Handle closing_;
};

} // namespace kavro::tool
