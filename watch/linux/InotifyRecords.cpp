#include "InotifyRecords.h"

#include <sys/inotify.h>

#include <algorithm>
#include <cstring>

namespace filewatch::inotify {

namespace {

PathString join(const PathString& directory, const PathString& name)
{
    return directory.empty() ? name : directory + '/' + name;
}

bool isSameOrBelow(const PathString& candidate, const PathString& directory)
{
    return candidate.size() >= directory.size() && candidate.compare(0, directory.size(), directory) == 0 &&
           (candidate.size() == directory.size() || candidate[directory.size()] == '/');
}

}  // namespace

std::vector<InotifyRecord> walkRecords(std::span<const std::byte> buffer)
{
    std::vector<InotifyRecord> records;
    walkRecords(buffer, records);
    return records;
}

void walkRecords(std::span<const std::byte> buffer, std::vector<InotifyRecord>& records)
{
    records.clear();
    constexpr std::size_t headerSize = sizeof(inotify_event);
    std::size_t offset = 0;
    while (buffer.size() - offset >= headerSize) {
        inotify_event header;
        // memcpy: the buffer carries no alignment promise to a fuzzer.
        std::memcpy(&header, buffer.data() + offset, headerSize);
        const std::size_t nameOffset = offset + headerSize;
        if (header.len > buffer.size() - nameOffset) {
            break;
        }
        // The kernel pads the name with NULs up to `len`.
        const auto* name = reinterpret_cast<const char*>(buffer.data() + nameOffset);
        const auto nameLength = static_cast<std::size_t>(std::find(name, name + header.len, '\0') - name);
        records.push_back({header.wd, header.mask, header.cookie, PathString(name, nameLength)});
        offset = nameOffset + header.len;
    }
}

void EventTranslator::addWatch(int wd, PathString relativePath)
{
    directories[wd] = std::move(relativePath);
}

void EventTranslator::replaceWatches(std::map<int, PathString> fresh)
{
    directories = std::move(fresh);
    std::erase_if(writeSessions, [this](const auto& session) { return !directories.contains(session.first.first); });
}

void EventTranslator::forgetWatch(int wd)
{
    directories.erase(wd);
    listings.erase(wd);
    std::erase_if(writeSessions, [wd](const auto& session) { return session.first.first == wd; });
}

void EventTranslator::noteListed(int wd, PathString name, std::uint64_t read)
{
    Listing& listing = listings[wd];
    listing.names.insert(std::move(name));
    listing.read = std::max(listing.read, read);
}

void EventTranslator::forgetListingsBefore(std::uint64_t read)
{
    std::erase_if(listings, [read](const auto& listing) { return listing.second.read < read; });
}

std::size_t EventTranslator::listedNames() const
{
    std::size_t names = 0;
    for (const auto& listing : listings) {
        names += listing.second.names.size();
    }
    return names;
}

bool EventTranslator::takeListed(int wd, const PathString& name)
{
    const auto listing = listings.find(wd);
    return listing != listings.end() && listing->second.names.erase(name) > 0;
}

const PathString* EventTranslator::directoryOf(int wd) const
{
    const auto found = directories.find(wd);
    return found == directories.end() ? nullptr : &found->second;
}

std::optional<EventTranslator::Clock::time_point> EventTranslator::nextDeadline() const
{
    if (held.empty()) {
        return std::nullopt;
    }
    return held.front().deadline;
}

void Step::clear()
{
    unwatch.clear();
    changes.clear();
    newDirectory.reset();
    overflowed = false;
    rootGone.reset();
}

void EventTranslator::feed(std::span<const InotifyRecord> records, Clock::time_point now)
{
    if (rootGone) {
        return;
    }
    for (const auto& record : records) {
        const std::uint64_t sequence = firstHeldSequence + held.size();
        held.push_back({record, now, now + renameGrace, std::nullopt, false});
        if (record.mask & IN_MOVED_FROM) {
            unpairedFromByCookie[record.cookie] = sequence;
        } else if (record.mask & IN_MOVED_TO) {
            const auto from = unpairedFromByCookie.find(record.cookie);
            if (from != unpairedFromByCookie.end()) {
                held[from->second - firstHeldSequence].partner = sequence;
                held.back().consumed = true;
                unpairedFromByCookie.erase(from);
            }
        }
    }
}

bool EventTranslator::next(Clock::time_point now, Step& step)
{
    step.clear();
    while (!held.empty() && !rootGone) {
        const Held& front = held.front();
        bool translated = true;
        if (front.consumed) {
            // A MOVED_TO already reported with its MOVED_FROM.
            translated = false;
        } else if (front.record.mask & IN_MOVED_FROM) {
            if (front.partner) {
                translateMove(front.record, held[*front.partner - firstHeldSequence].record, step);
            } else if (now >= front.deadline) {
                unpairedFromByCookie.erase(front.record.cookie);
                translateMovedOut(front.record, step);
            } else {
                return false;
            }
        } else {
            translate(front.record, front.arrived, step);
        }
        held.pop_front();
        ++firstHeldSequence;
        if (rootGone) {
            held.clear();
            unpairedFromByCookie.clear();
        }
        if (translated) {
            return true;
        }
    }
    return false;
}

void EventTranslator::translate(const InotifyRecord& record, Clock::time_point arrived, Step& step)
{
    if (record.mask & IN_Q_OVERFLOW) {
        // Write sessions may have closed unseen, and so may the deletes that
        // would tell a listed name from a new entry of that name.
        writeSessions.clear();
        listings.clear();
        step.overflowed = true;
        return;
    }
    const PathString* directory = directoryOf(record.wd);
    // Only the watched directory's own watch asks for these. Its IN_IGNORED
    // alone would also end everything, so it counts as well.
    if (directory != nullptr && directory->empty() &&
        (record.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED))) {
        rootGone = true;
        step.rootGone = (record.mask & IN_MOVE_SELF) ? WarningKind::root_moved : WarningKind::root_removed;
        return;
    }
    if (record.mask & IN_IGNORED) {
        forgetWatch(record.wd);
        return;
    }
    // Unknown descriptor: a directory already dropped. Empty name: the event
    // is about a watched directory itself, and its parent reports it too.
    if (directory == nullptr || record.name.empty()) {
        return;
    }
    PathString path = join(*directory, record.name);
    const FileKey key{record.wd, record.name};

    if (record.mask & IN_MOVED_TO) {
        translateMovedIn(record, step);
    } else if (record.mask & IN_CREATE) {
        if (takeListed(record.wd, record.name)) {
            // The listing reported it, and watched it if it is a directory.
            return;
        }
        step.changes.emplace_back(path, Event::added);
        if (record.mask & IN_ISDIR) {
            step.newDirectory = path;
        }
    } else if (record.mask & IN_DELETE) {
        takeListed(record.wd, record.name);
        writeSessions.erase(key);
        step.changes.emplace_back(std::move(path), Event::removed);
    } else if (record.mask & IN_ATTRIB) {
        step.changes.emplace_back(std::move(path), Event::modified);
    } else if (record.mask & IN_MODIFY) {
        // A save is many writes; report the first, and the close if more
        // followed, as Windows reports a save once or twice. A file held
        // open is reported again once a while has passed.
        const auto [session, first] = writeSessions.try_emplace(key, WriteSession{arrived});
        if (first || arrived - session->second.reported >= writeReportInterval) {
            session->second = WriteSession{arrived};
            step.changes.emplace_back(std::move(path), Event::modified);
        } else {
            session->second.writtenSinceReport = true;
        }
    } else if (record.mask & IN_CLOSE_WRITE) {
        const auto session = writeSessions.find(key);
        if (session != writeSessions.end()) {
            const bool writtenSinceReport = session->second.writtenSinceReport;
            writeSessions.erase(session);
            if (writtenSinceReport) {
                step.changes.emplace_back(std::move(path), Event::modified);
            }
        }
    }
}

void EventTranslator::translateMove(const InotifyRecord& from, const InotifyRecord& to, Step& step)
{
    const PathString* fromDirectory = directoryOf(from.wd);
    const PathString* toDirectory = directoryOf(to.wd);
    if (fromDirectory == nullptr || toDirectory == nullptr) {
        if (fromDirectory != nullptr) {
            translateMovedOut(from, step);
        } else if (toDirectory != nullptr) {
            translateMovedIn(to, step);
        }
        return;
    }
    const PathString oldPath = join(*fromDirectory, from.name);
    const PathString newPath = join(*toDirectory, to.name);
    // A listed name moved away, or another entry moved onto one: a later
    // create of either name is a new entry.
    takeListed(from.wd, from.name);
    takeListed(to.wd, to.name);
    if (from.wd == to.wd) {
        step.changes.emplace_back(oldPath, Event::renamed_old_name);
        step.changes.emplace_back(newPath, Event::renamed_new_name);
    } else {
        step.changes.emplace_back(oldPath, Event::removed);
        step.changes.emplace_back(newPath, Event::added);
    }

    if (const auto session = writeSessions.find({from.wd, from.name}); session != writeSessions.end()) {
        const WriteSession moved = session->second;
        writeSessions.erase(session);
        writeSessions[{to.wd, to.name}] = moved;
    }

    if (from.mask & IN_ISDIR) {
        bool watched = false;
        for (auto& [wd, path] : directories) {
            if (!path.empty() && isSameOrBelow(path, oldPath)) {
                path = newPath + path.substr(oldPath.size());
                watched = true;
            }
        }
        // Created and renamed before its watch could be added: watch it now.
        if (!watched) {
            step.newDirectory = newPath;
        }
    }
}

void EventTranslator::translateMovedOut(const InotifyRecord& from, Step& step)
{
    const PathString* directory = directoryOf(from.wd);
    if (directory == nullptr) {
        return;
    }
    PathString path = join(*directory, from.name);
    takeListed(from.wd, from.name);
    writeSessions.erase({from.wd, from.name});
    if (from.mask & IN_ISDIR) {
        // Its watches would otherwise report changes made outside the tree.
        std::vector<int> dropped;
        for (const auto& [wd, watchedPath] : directories) {
            if (!watchedPath.empty() && isSameOrBelow(watchedPath, path)) {
                dropped.push_back(wd);
            }
        }
        for (const int wd : dropped) {
            step.unwatch.push_back(wd);
            forgetWatch(wd);
        }
    }
    step.changes.emplace_back(std::move(path), Event::removed);
}

void EventTranslator::translateMovedIn(const InotifyRecord& to, Step& step)
{
    const PathString* directory = directoryOf(to.wd);
    if (directory == nullptr) {
        return;
    }
    PathString path = join(*directory, to.name);
    // Moved onto a listed name, or moved in before the listing: reported
    // either way, since a replaced entry is a change too.
    takeListed(to.wd, to.name);
    step.changes.emplace_back(path, Event::added);
    if (to.mask & IN_ISDIR) {
        step.newDirectory = path;
    }
}

}  // namespace filewatch::inotify
