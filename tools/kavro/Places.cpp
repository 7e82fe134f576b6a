#include "Places.h"

#include "WorkerProcess.h"

namespace kavro::tool {

Places::Places(size_t total, int workers)
    : total_(total), running_(workers), results_(total), closing_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (!closing_) WorkerFailed(L"an event cannot be made");
    for (PlaceResult& result : results_) result.searched = false;
}

void Places::Open(const PlaceDone& done)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        done_ = &done;
    }
    changed_.notify_all();
}

void Places::Close()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        closed_ = true;
    }
    SetEvent(closing_.get());
    changed_.notify_all();
}

std::optional<size_t> Places::Next()
{
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return done_ || closed_; });
    if (closed_) return std::nullopt;
    if (!returned_.empty()) {
        size_t index = returned_.back();
        returned_.pop_back();
        return index;
    }
    if (next_ == total_) return std::nullopt;
    return next_++;
}

void Places::Done(size_t index, PlaceResult result)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        results_[index] = std::move(result);
        ++searched_;
        (*done_)(index, results_[index]);
    }
    changed_.notify_all();
}

void Places::CannotStart(const std::wstring& why)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (closed_) return;  // ended with the search
    if (++notStarted_ == 2 && stopped_.empty()) stopped_ = L"Worker processes cannot start: 2 " + why;
}

Places::Lost Places::EndedOnFirstPlace(size_t index, const std::wstring& ended)
{
    std::unique_lock<std::mutex> hold(lock_);
    if (closed_) return Lost::kGivenBack;  // ended with the search: nobody waits for it
    if (searched_ > 0) return Lost::kFailed;
    returned_.push_back(index);
    hold.unlock();
    CannotStart(L"ended before they answered (the last with " + ended + L")");
    return Lost::kGivenBack;
}

bool Places::Stopped()
{
    std::lock_guard<std::mutex> hold(lock_);
    return !stopped_.empty() || closed_ || (next_ == total_ && returned_.empty());
}

void Places::WorkerGone()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        --running_;
    }
    changed_.notify_all();
}

std::vector<PlaceResult> Places::WaitAll(const std::function<void(size_t)>& shown, std::wstring& stopped)
{
    std::unique_lock<std::mutex> hold(lock_);
    for (size_t seen = 0;;) {
        changed_.wait(hold, [&] { return searched_ != seen || running_ == 0; });
        seen = searched_;
        if (seen == total_ || running_ == 0) {
            stopped = stopped_;
            return std::move(results_);
        }
        hold.unlock();
        shown(seen);
        hold.lock();
    }
}

} // namespace kavro::tool
