// inotify records to watcher changes, without touching the disk: walking the
// kernel's byte buffer, pairing moves by cookie, coalescing writes, and
// keeping the table of watched directories.
#pragma once

#include <filewatch/DirectoryWatcher.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace filewatch::inotify {

struct InotifyRecord {
    int wd = 0;
    std::uint32_t mask = 0;
    std::uint32_t cookie = 0;
    PathString name;  // empty when the record is about the watched directory itself

    bool operator==(const InotifyRecord&) const = default;
};

// Parses the records packed in `buffer`. A record cut short at the end is
// dropped rather than read past the buffer.
std::vector<InotifyRecord> walkRecords(std::span<const std::byte> buffer);
// The same into `records`, emptied first: a reader reuses one vector.
void walkRecords(std::span<const std::byte> buffer, std::vector<InotifyRecord>& records);

// What translating one record asks of the backend, applied in this order.
struct Step {
    // Watches of a directory moved out of the tree: remove them, or they
    // would report changes made outside it.
    std::vector<int> unwatch;
    std::vector<std::pair<PathString, Event>> changes;
    // A directory entered the tree: watch it (and what it holds), and report
    // entries already in it, which may predate its watch.
    std::optional<PathString> newDirectory;
    // The kernel's queue overflowed: changes since the last read are lost.
    bool overflowed = false;
    // The watched directory itself was deleted (or its file system
    // unmounted), or moved away. Nothing is translated after this.
    std::optional<WarningKind> rootGone;

    // Keeps the vectors' capacity: a step is reused for every record.
    void clear();
};

class EventTranslator {
public:
    using Clock = std::chrono::steady_clock;
    // How long a MOVED_FROM waits for its MOVED_TO before it counts as a
    // move out of the tree. The pair may be split across two reads.
    static constexpr std::chrono::milliseconds renameGrace{100};
    // A file kept open and written now and then (a log, an editor that keeps
    // the map open between saves) is reported again once this long has
    // passed since its last report. Half the plugin's reload delay: a save
    // that lasts less is still at most two reports (its first write and its
    // close), and a write to a file held open is reported within this.
    static constexpr std::chrono::milliseconds writeReportInterval{500};

    // `relativePath` is empty for the watched directory itself.
    void addWatch(int wd, PathString relativePath);
    void replaceWatches(std::map<int, PathString> fresh);
    const std::map<int, PathString>& watches() const noexcept { return directories; }

    // Queues one read's records. Records behind an unpaired MOVED_FROM are
    // held back, in order, until it pairs or its grace runs out.
    void feed(std::span<const InotifyRecord> records, Clock::time_point now);
    // Translates the next record due at `now` into `step`; false when none
    // is. The backend applies each step before asking for the next, since a
    // step may change what the next one finds (a new directory's watch).
    bool next(Clock::time_point now, Step& step);

    // When the oldest held-back MOVED_FROM must be flushed; nothing when
    // nothing is held back.
    std::optional<Clock::time_point> nextDeadline() const;

    // A new directory's first listing reported `name` in the directory of
    // `wd`, during read number `read`. Its create may still be queued from
    // between the watch and the listing: that create is then the same entry,
    // and is not reported again, unless a delete or move of the name came
    // between.
    void noteListed(int wd, PathString name, std::uint64_t read);
    // Every record queued before read number `read` began has been
    // translated: listings from earlier reads can no longer meet their
    // creates.
    void forgetListingsBefore(std::uint64_t read);
    std::size_t listedNames() const;

private:
    struct Held {
        InotifyRecord record;
        Clock::time_point arrived;
        Clock::time_point deadline;
        std::optional<std::uint64_t> partner;  // sequence number of the MOVED_TO
        bool consumed = false;                  // a MOVED_TO already paired
    };
    using FileKey = std::pair<int, PathString>;

    void translate(const InotifyRecord& record, Clock::time_point arrived, Step& step);
    void translateMove(const InotifyRecord& from, const InotifyRecord& to, Step& step);
    void translateMovedOut(const InotifyRecord& from, Step& step);
    void translateMovedIn(const InotifyRecord& to, Step& step);
    void forgetWatch(int wd);
    const PathString* directoryOf(int wd) const;
    // True when the listing of `wd` had reported `name`; it no longer has.
    bool takeListed(int wd, const PathString& name);

    struct Listing {
        std::unordered_set<PathString> names;
        std::uint64_t read = 0;
    };

    // A file written since its last close.
    struct WriteSession {
        Clock::time_point reported;
        bool writtenSinceReport = false;
    };

    std::map<int, PathString> directories;
    std::map<FileKey, WriteSession> writeSessions;
    std::deque<Held> held;
    std::uint64_t firstHeldSequence = 0;
    std::unordered_map<std::uint32_t, std::uint64_t> unpairedFromByCookie;
    std::unordered_map<int, Listing> listings;
    bool rootGone = false;
};

}  // namespace filewatch::inotify
