#pragma once
#include <QByteArray>
#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <utility>

// Who may start work on a pool of threads now. No client address runs more than a quarter of
// the threads at once, so a few addresses flooding slow work cannot keep everybody else
// waiting; what is beyond its share waits in a queue of its own, and a thread that comes free
// goes to the waiting addresses in turn. Only ever used on the event thread.
class FairShare {
public:
    explicit FairShare(int threads) : threads_(threads), share_(std::max(1, threads / SharePart)) {}

    // `start` runs now or once its turn comes; Finished(client) is due when its work is over.
    void Add(const QByteArray& client, std::function<void()> start)
    {
        auto& queue = waiting_[client];
        queue.push_back(std::move(start));
        if (queue.size() == 1)
            turns_.push_back(client);
        StartDue();
    }
    void Finished(const QByteArray& client)
    {
        --running_;
        if (auto r = busy_.find(client); r != busy_.end() && --r->second <= 0)
            busy_.erase(r);
        StartDue();
    }
    // Work not yet started is dropped.
    void Clear()
    {
        waiting_.clear();
        turns_.clear();
    }

private:
    static constexpr int SharePart = 4;

    void StartDue()
    {
        // One pass over the addresses that wait: each whose share is not used up starts one.
        for (size_t passed = 0, n = turns_.size(); passed < n && running_ < threads_; ++passed) {
            QByteArray client = std::move(turns_.front());
            turns_.pop_front();
            auto queue = waiting_.find(client);
            std::function<void()> start;
            if (busy_[client] < share_) {
                start = std::move(queue->second.front());
                queue->second.pop_front();
                ++running_, ++busy_[client];
            }
            if (queue->second.empty())
                waiting_.erase(queue);
            else
                turns_.push_back(std::move(client));
            if (start)
                start();
        }
    }

    int threads_, share_, running_ = 0;
    std::map<QByteArray, int> busy_;                                  // threads each address runs on
    std::map<QByteArray, std::deque<std::function<void()>>> waiting_;
    std::deque<QByteArray> turns_;                                    // addresses that wait, in turn
};
