#pragma once

#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

namespace cvn {

// One process, told apart from a later one that is given the same id by
// when it started. Written into a name as "<pid>-<start>", it lets another
// run ask whether the process that made the name still runs.
struct ProcessIdentity {
    int64_t pid = 0;
    uint64_t start = 0; // the system's own measure: clock ticks since boot on Linux

    friend bool operator==(const ProcessIdentity&, const ProcessIdentity&) = default;

    static ProcessIdentity current();
    // The process that has this id now; nothing when none has, or it has
    // ended and only waits for its parent to collect it.
    static std::optional<ProcessIdentity> of(int64_t pid);
    // This very process is still there, and the id was not passed on.
    bool runs() const { return of(pid) == *this; }

    QString toString() const;
    // What toString() wrote; nothing for any other text.
    static std::optional<ProcessIdentity> fromString(QStringView text);
};

} // namespace cvn
