#include "update/FileDelivery.h"

TNextStep NextStep(const TAttemptOutcome& a, int retries, bool timeLeft, std::int64_t quota) {
    if (a.Verified)
        return TNextStep::Done;
    if (retries < ResumedAttemptsPerFile && timeLeft) {
        // A range the server refused: only the range can be wrong, so once more without it.
        // A 416 to a request without one is the server's fault, not ours to retry.
        if (a.Cut && a.Code == 416 && a.RangeSent)
            return TNextStep::StartAgain;
        // Kept bytes that made a wrong file.
        if (!a.Cut && a.Kept > 0)
            return TNextStep::StartAgain;
        // A cut goes on at once only after real progress; a trickle waits for the next start.
        if (a.Cut && a.Validator && a.Brought >= quota && a.Size > 0)
            return TNextStep::Resume;
    }
    if (a.Cut && a.Validator && a.Size > 0)
        return TNextStep::KeepForLater;
    return TNextStep::GiveUp;
}
