#pragma once
// The time one version check may take, whatever the server or the network does: the fetches it
// holds in memory share one budget, the listed files a longer one, and a listed file goes on
// only while it makes progress. The connection consults the deadline these give before every
// connect, wait and send.

#include <chrono>
#include <cstdint>

using TBudgetClock = std::chrono::steady_clock;

// Every fetch held in memory (probe, report, manifest, signature, QVBrelmox2.ini, Versao.txt,
// their digests) ends this long after the check began; each keeps its own deadline within it.
constexpr int CheckBudgetMilliseconds = 60000;
// Every listed file, with its digest, ends this long after the check began; what is left waits
// for the next start.
constexpr int ListedFilesBudgetMilliseconds = 5 * 60000;
// A listed file that brings fewer than LowSpeedBytesPerSecond on average over a window of
// LowSpeedWindowMilliseconds is abandoned.
constexpr std::int64_t LowSpeedBytesPerSecond = 1024;
constexpr int LowSpeedWindowMilliseconds = 30000;

class TCheckBudget {
public:
    TCheckBudget(TBudgetClock::time_point start, std::chrono::milliseconds text,
                 std::chrono::milliseconds files)
        : textEnd_(start + text), filesEnd_(start + files) {}

    TBudgetClock::time_point TextEnd() const { return textEnd_; }
    TBudgetClock::time_point FilesEnd() const { return filesEnd_; }
    // Moves both ends by a time the check spent waiting for the user (a message box open): the
    // budget bounds what the server does, not how long someone reads.
    void Pause(TBudgetClock::duration spent) {
        textEnd_ += spent;
        filesEnd_ += spent;
    }

private:
    TBudgetClock::time_point textEnd_, filesEnd_;
};

// The low-speed rule of one transfer: each Quota() bytes must arrive within Window() of the
// moment the previous ones had (the first, of the request's start).
class TLowSpeedRule {
public:
    TLowSpeedRule(
        TBudgetClock::time_point start, std::int64_t bytesPerSecond = LowSpeedBytesPerSecond,
        std::chrono::milliseconds window = std::chrono::milliseconds(LowSpeedWindowMilliseconds))
        : quota_(bytesPerSecond * window.count() / 1000), window_(window), due_(start + window) {}

    // n more bytes arrived at now.
    void Progress(TBudgetClock::time_point now, std::int64_t n) {
        pending_ += n;
        if (pending_ < quota_)
            return;
        pending_ %= quota_ > 0 ? quota_ : 1;
        due_ = now + window_;
    }
    // When the transfer is abandoned unless the next quota has arrived by then.
    TBudgetClock::time_point Due() const { return due_; }
    std::int64_t Quota() const { return quota_; }

private:
    std::int64_t quota_;
    std::chrono::milliseconds window_;
    TBudgetClock::time_point due_;
    std::int64_t pending_ = 0; // bytes towards the next quota
};
