#include "http/IdComponent.h"

#include "http/IdStack.h"

#include <gtest/gtest.h>

namespace {

struct TRecorder {
    std::vector<std::string> events;
    void Attach(TIdComponent& c) {
        c.OnWorkBegin = [this](TIdComponent*, TWorkMode m, std::int64_t max) {
            events.push_back("begin " + std::to_string(m) + " " + std::to_string(max));
        };
        c.OnWork = [this](TIdComponent*, TWorkMode m, std::int64_t n) {
            events.push_back("work " + std::to_string(m) + " " + std::to_string(n));
        };
        c.OnWorkEnd = [this](TIdComponent*, TWorkMode m) {
            events.push_back("end " + std::to_string(m));
        };
    }
};

} // namespace

TEST(IdComponent, WorkUnitsNestAndCountFromTheOutermostBegin) {
    TIdComponent c;
    TRecorder r;
    r.Attach(c);
    c.WorkStep(wkRead, 5); // outside a unit: nothing
    c.WorkBegin(wkRead, 10);
    c.WorkStep(wkRead, 4);
    c.WorkBegin(wkRead, 99); // nested: nothing, totals kept
    c.WorkStep(wkRead, 6);
    c.WorkEnd(wkRead);
    c.WorkBegin(wkWrite, 3); // the other mode has its own record
    c.WorkEnd(wkWrite);
    c.WorkEnd(wkRead);
    c.WorkEnd(wkRead); // unpaired: nothing, and the level stays at 0
    c.WorkBegin(wkRead);
    EXPECT_EQ(r.events, (std::vector<std::string>{"begin 0 10", "work 0 4", "work 0 10",
                                                  "begin 1 3", "end 1", "end 0", "begin 0 0"}));
    EXPECT_EQ(c.WorkInfo(wkRead).Level, 1);
}

TEST(IdComponent, CountsBeyond32BitsDoNotWrap) {
    TIdComponent c;
    std::int64_t last = 0;
    c.OnWork = [&](TIdComponent*, TWorkMode, std::int64_t n) { last = n; };
    c.WorkBegin(wkRead, 0);
    for (int i = 0; i < 3; ++i)
        c.WorkStep(wkRead, 0x7FFFFFFF);
    EXPECT_EQ(last, 3LL * 0x7FFFFFFF);
}

TEST(IdComponent, HandlerExceptionsStillEndTheUnit) {
    TIdComponent c;
    c.OnWorkEnd = [](TIdComponent*, TWorkMode) { throw EIdException("handler"); };
    c.WorkBegin(wkRead, 1);
    EXPECT_THROW(c.WorkEnd(wkRead), EIdException);
    EXPECT_EQ(c.WorkInfo(wkRead).Level, 0);
}

TEST(IdComponent, StatusTexts) {
    TIdComponent c;
    std::vector<std::string> seen;
    c.OnStatus = [&](TIdComponent* sender, TIdStatus s, const std::string& text) {
        EXPECT_EQ(sender, &c);
        seen.push_back(std::to_string(s) + ":" + text);
    };
    c.ReportStatus(stResolving, {"atualiza.example"});
    c.ReportStatus(stConnecting, {"127.0.0.1"});
    c.ReportStatus(stConnected, {"host"});
    c.ReportStatus(stDisconnecting);
    c.ReportStatus(stDisconnected);
    c.ReportStatus(stText, {"Chunk Started"});
    c.ReportStatus(stText);
    EXPECT_EQ(seen, (std::vector<std::string>{"0:Resolving hostname atualiza.example.",
                                              "1:Connecting to 127.0.0.1.", "2:Connected.",
                                              "3:Disconnecting.", "4:Disconnected.",
                                              "5:Chunk Started", "5:"}));
    TIdComponent quiet; // no handler: nothing happens
    quiet.ReportStatus(stConnected);
}

TEST(IdComponent, TheSharedStackLivesWhileAnyNetworkObjectDoes) {
    int before = TIdComponent::InstanceCount();
    {
        TIdComponent a;
        TIdStack* stack = &TIdStack::Shared();
        {
            TIdComponent b;
            EXPECT_EQ(TIdComponent::InstanceCount(), before + 2);
            EXPECT_EQ(&TIdStack::Shared(), stack);
        }
        EXPECT_EQ(&TIdStack::Shared(), stack);
    }
    EXPECT_EQ(TIdComponent::InstanceCount(), before);
    if (before == 0) {
        EXPECT_THROW(TIdStack::Shared(), EIdStackError);
    }
}
