#pragma once
// The delivery of one listed file: a patch from the installed file, then the whole file, each
// resumable. Everything that lasts across its attempts lives in one TFileDelivery: a single
// low-speed allowance and clock, however many attempts there are, so that retries never renew
// the time a slow server gets. What follows an attempt is a pure function of its outcome.

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "update/CheckBudget.h"

// How many more times one delivery asks again at once, after the first attempt of a stream
// (within its allowance).
constexpr int ResumedAttemptsPerFile = 3;

class TFileDelivery {
public:
    // end: the listed files' budget.
    TFileDelivery(TBudgetClock::time_point start, std::chrono::milliseconds window,
                  TBudgetClock::time_point end)
        : pace_(start, LowSpeedBytesPerSecond, window), end_(end) {}

    // n more bytes of the file (or its patch) arrived.
    void Progress(TBudgetClock::time_point now, std::int64_t n) {
        pace_.Progress(now, n);
        received_ += n;
    }
    // Every byte all attempts received.
    std::int64_t Received() const { return received_; }
    // When the current attempt must end unless more arrives.
    TBudgetClock::time_point Due() const { return std::min(pace_.Due(), end_); }
    bool TimeLeft(TBudgetClock::time_point now) const { return now < Due(); }
    // The bytes one window must bring.
    std::int64_t Quota() const { return pace_.Quota(); }

private:
    TLowSpeedRule pace_;
    TBudgetClock::time_point end_;
    std::int64_t received_ = 0;
};

// One attempt of a stream, as it ended.
struct TAttemptOutcome {
    bool Verified = false;
    bool Cut = false;         // the transfer failed, rather than its checks
    int Code = 0;             // the answer's status
    bool RangeSent = false;   // the request asked for the rest of kept bytes
    std::int64_t Kept = 0;    // bytes the attempt started from
    std::int64_t Brought = 0; // body bytes the attempt received
    std::int64_t Size = 0;    // bytes held once it ended
    bool Validator = false;   // the bytes held can be asked to go on
};

enum class TNextStep {
    Done,
    StartAgain,   // at once, from nothing
    Resume,       // at once, from the bytes held
    KeepForLater, // give up now, the bytes held wait for the next start
    GiveUp,       // give up, and drop the bytes held
};

// retries: the attempts after the first made so far; timeLeft: the delivery's allowance.
TNextStep NextStep(const TAttemptOutcome& attempt, int retries, bool timeLeft, std::int64_t quota);
