#pragma once
// The log the engine's targets write into: an in-memory target with a clock pinned at 09:05:00,
// bound once for the process and emptied for each input. Fuzzer thread only.

#include "core/log.h"

inline void ResetFuzzLog() {
    static CStringLogTarget* log = [] {
        auto* target = new CStringLogTarget;  // lives as long as the process
        theLog.SetOutputWindow(target);
        SetLocalTimeSource([] { return LocalTimeOfDay{9, 5, 0}; });
        return target;
    }();
    log->Clear();
}
