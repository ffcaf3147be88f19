#pragma once
// The base of every network object: work-progress and status notifications, and the count of
// network objects that keeps the one socket services object alive while any of them exists.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum TWorkMode { wkRead = 0, wkWrite = 1 };

enum TIdStatus {
    stResolving = 0,
    stConnecting,
    stConnected,
    stDisconnecting,
    stDisconnected,
    stText,
    stStatus6,
    stStatus7,
    stStatus8
};

class TIdComponent;

// Counts are 64-bit so that transfers beyond 2 GiB neither wrap nor go negative.
using TWorkBeginEvent = std::function<void(TIdComponent* sender, TWorkMode mode, std::int64_t max)>;
using TWorkEvent = std::function<void(TIdComponent* sender, TWorkMode mode, std::int64_t count)>;
using TWorkEndEvent = std::function<void(TIdComponent* sender, TWorkMode mode)>;
using TStatusEvent =
    std::function<void(TIdComponent* sender, TIdStatus status, const std::string& text)>;

class TIdComponent {
public:
    TIdComponent();
    virtual ~TIdComponent();
    TIdComponent(const TIdComponent&) = delete;
    TIdComponent& operator=(const TIdComponent&) = delete;

    // A unit of work: begins with an expected total, advances by counts, ends. Nested begins of
    // the same mode change nothing and fire nothing; steps outside a unit are ignored.
    virtual void WorkBegin(TWorkMode mode, std::int64_t max = 0);
    virtual void WorkStep(TWorkMode mode, std::int64_t count);
    virtual void WorkEnd(TWorkMode mode);

    // Fires OnStatus with the status's text, each %s filled with the next argument (empty text
    // when the arguments run out).
    void ReportStatus(TIdStatus status, const std::vector<std::string>& args = {});

    struct TWorkInfo {
        std::int64_t Count = 0;
        std::int64_t Max = 0;
        int Level = 0;
    };
    const TWorkInfo& WorkInfo(TWorkMode mode) const { return work_[mode]; }

    // How many network objects exist now.
    static int InstanceCount();

    // A free value for the owner (the launcher marks its file transfers with it).
    int Tag = 0;

    TWorkBeginEvent OnWorkBegin;
    TWorkEvent OnWork;
    TWorkEndEvent OnWorkEnd;
    TStatusEvent OnStatus;

private:
    TWorkInfo work_[2];
};

// The text of a status with its arguments filled in.
std::string StatusText(TIdStatus status, const std::vector<std::string>& args);
