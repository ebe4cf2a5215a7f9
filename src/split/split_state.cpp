#include "split/split_state.h"

#include "log/helper_log.h"
#include "split/state_file.h"

SplitStateRecord SplitState::Snapshot() const {
    return Read([](const SplitParts& parts) {
        return SplitStateRecord{parts.ipv4.physical, parts.apps, parts.ipv4.held,
                                parts.ipv6.physical, parts.ipv6.held};
    });
}

void SplitState::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    parts_ = SplitParts{};
}

// The one place the state is saved from when it changes.
void SplitState::Publish(Saving saving, const LogLines& lines) {
    for (const std::wstring& line : lines) {
        HelperLog(line);
    }
    if (saving == Saving::Now) {
        SaveSplitState();
    } else if (saving == Saving::Coalesced) {
        MarkSplitStateChanged();
    }
}

SplitState& TheSplitState() {
    static SplitState state;
    return state;
}
