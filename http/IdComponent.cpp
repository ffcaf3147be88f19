#include "http/IdComponent.h"

#include "http/IdStack.h"

#include <mutex>

namespace {

std::mutex& InstanceLock() {
    static std::mutex lock;
    return lock;
}
int instanceCount = 0;

const char* const StatusFormats[] = {"Resolving hostname %s.",
                                     "Connecting to %s.",
                                     "Connected.",
                                     "Disconnecting.",
                                     "Disconnected.",
                                     "%s",
                                     "%s",
                                     "%s",
                                     "%s"};

} // namespace

TIdComponent::TIdComponent() {
    std::lock_guard<std::mutex> guard(InstanceLock());
    if (instanceCount == 0)
        TIdStack::CreateShared();
    ++instanceCount;
}

TIdComponent::~TIdComponent() {
    std::lock_guard<std::mutex> guard(InstanceLock());
    if (--instanceCount == 0)
        TIdStack::FreeShared();
}

int TIdComponent::InstanceCount() {
    std::lock_guard<std::mutex> guard(InstanceLock());
    return instanceCount;
}

void TIdComponent::WorkBegin(TWorkMode mode, std::int64_t max) {
    TWorkInfo& w = work_[mode];
    if (++w.Level != 1)
        return;
    w.Max = max;
    w.Count = 0;
    if (OnWorkBegin)
        OnWorkBegin(this, mode, max);
}

void TIdComponent::WorkStep(TWorkMode mode, std::int64_t count) {
    TWorkInfo& w = work_[mode];
    if (w.Level < 1)
        return;
    w.Count += count;
    if (OnWork)
        OnWork(this, mode, w.Count);
}

void TIdComponent::WorkEnd(TWorkMode mode) {
    TWorkInfo& w = work_[mode];
    // The level drops even when the handler raises, so units always pair up; an unpaired end
    // never takes it below 0.
    struct Drop {
        int& level;
        ~Drop() {
            if (level > 0)
                --level;
        }
    } drop{w.Level};
    if (w.Level == 1 && OnWorkEnd)
        OnWorkEnd(this, mode);
}

std::string StatusText(TIdStatus status, const std::vector<std::string>& args) {
    std::string out;
    std::size_t next = 0;
    for (const char* p = StatusFormats[status]; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            if (next < args.size())
                out += args[next];
            ++next;
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

void TIdComponent::ReportStatus(TIdStatus status, const std::vector<std::string>& args) {
    if (OnStatus)
        OnStatus(this, status, StatusText(status, args));
}
