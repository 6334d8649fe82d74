// The shape of a background job of the Controller: what it receives on its
// worker thread, what it hands back to the GUI thread, and the value its
// future carries.
#pragma once

#include "fs/Error.h"
#include "net/Http.h"

#include <QString>

#include <functional>

namespace tarvik {

// A finishing step: runs on the GUI thread after its job has ended; the only
// place where a job's outcome changes the Controller. May be empty.
using FinishingStep = std::function<void()>;

// A background job. Receives the Http made for it on its worker thread, its
// cancel flag and its progress callback; works only on copies it captured on
// the GUI thread; returns its finishing step or throws (as a rule Error).
using Job = std::function<FinishingStep(Http& http, const CancelFlag& cancel,
                                        const ProgressCallback& progress)>;

// What a job's future carries to the GUI thread.
struct WorkResult
{
    // The failure's message; empty when the job succeeded.
    QString message;
    // The finishing step the job returned; empty when it failed.
    FinishingStep apply;
};

} // namespace tarvik
