#include "update/FileDelivery.h"

#include <gtest/gtest.h>

TEST(FileDelivery, WhatFollowsAnAttempt) {
    using S = TNextStep;
    constexpr std::int64_t Quota = 30720;
    // verified, cut, code, range sent, kept, brought, size, validator
    const struct {
        const char* what;
        TAttemptOutcome a;
        int retries;
        bool timeLeft;
        S next;
    } rows[] = {
        {"verified", {true, false, 200, false, 0, 500, 500, true}, 0, true, S::Done},
        {"verified after the allowance",
         {true, false, 206, true, 9, 1, 10, true},
         3,
         false,
         S::Done},
        {"416 to a range", {false, true, 416, true, 100, 0, 100, true}, 0, true, S::StartAgain},
        {"416 without a range", {false, true, 416, false, 0, 0, 0, false}, 0, true, S::GiveUp},
        {"416 to a range, no time left",
         {false, true, 416, true, 100, 0, 100, true},
         0,
         false,
         S::KeepForLater},
        {"kept bytes made a wrong file",
         {false, false, 206, true, 100, 50, 150, true},
         0,
         true,
         S::StartAgain},
        {"a wrong file from nothing",
         {false, false, 200, false, 0, 150, 150, true},
         0,
         true,
         S::GiveUp},
        {"a cut after a quota",
         {false, true, 200, false, 0, Quota, Quota, true},
         0,
         true,
         S::Resume},
        {"a cut one byte short of a quota",
         {false, true, 200, false, 0, Quota - 1, Quota - 1, true},
         0,
         true,
         S::KeepForLater},
        {"a cut of a resumed attempt counts its own bytes",
         {false, true, 206, true, 5 * Quota, 10, 5 * Quota + 10, true},
         1,
         true,
         S::KeepForLater},
        {"a cut after a quota, retries spent",
         {false, true, 200, false, 0, Quota, Quota, true},
         3,
         true,
         S::KeepForLater},
        {"a cut after a quota, allowance spent",
         {false, true, 200, false, 0, Quota, Quota, true},
         0,
         false,
         S::KeepForLater},
        {"a cut without a validator",
         {false, true, 200, false, 0, Quota, Quota, false},
         0,
         true,
         S::GiveUp},
        {"a cut before any byte", {false, true, 0, false, 0, 0, 0, true}, 0, true, S::GiveUp},
    };
    for (const auto& r : rows)
        EXPECT_EQ(NextStep(r.a, r.retries, r.timeLeft, Quota), r.next) << r.what;
}

TEST(FileDelivery, OneAllowanceAcrossAttempts) {
    // Progress from any attempt moves the one rule; nothing else renews it.
    const auto t0 = TBudgetClock::time_point{};
    const std::chrono::milliseconds window(30000);
    TFileDelivery delivery(t0, window, t0 + std::chrono::minutes(5));
    EXPECT_EQ(delivery.Due(), t0 + window);
    delivery.Progress(t0 + std::chrono::seconds(10), delivery.Quota() - 1);
    EXPECT_EQ(delivery.Due(), t0 + window);
    delivery.Progress(t0 + std::chrono::seconds(20), 1);
    EXPECT_EQ(delivery.Due(), t0 + std::chrono::seconds(20) + window);
    EXPECT_EQ(delivery.Received(), delivery.Quota());
    EXPECT_FALSE(delivery.TimeLeft(t0 + std::chrono::seconds(50)));
    // The listed files' budget ends it whatever arrives.
    TFileDelivery late(t0, window, t0 + std::chrono::seconds(5));
    late.Progress(t0 + std::chrono::seconds(4), 10 * late.Quota());
    EXPECT_EQ(late.Due(), t0 + std::chrono::seconds(5));
}
