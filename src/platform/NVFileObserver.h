#pragma once

#include "foundation/NVError.h"

#include <QString>
#include <QUrl>

#include <bit>
#include <functional>
#include <memory>

class QSocketNotifier;

// A set of file-system events: the classic kqueue vnode event bits, whose
// values are kept so that stored and logged values mean the same everywhere,
// plus two bits of the observer's own above them.
class NVFileSystemEvents {
public:
    constexpr NVFileSystemEvents() = default;
    constexpr explicit NVFileSystemEvents(quint32 rawValue) : rawValue(rawValue) {}

    static const NVFileSystemEvents delete_;  // the object was deleted ("delete")
    static const NVFileSystemEvents write;    // its contents changed (a directory: its entries)
    static const NVFileSystemEvents extend;   // it grew
    static const NVFileSystemEvents attrib;   // its attributes changed
    static const NVFileSystemEvents link;     // its link count changed
    static const NVFileSystemEvents rename;   // it was renamed or moved away
    static const NVFileSystemEvents revoke;   // its file system went away
    static const NVFileSystemEvents funlock;  // it was unlocked (Linux never reports this)
    static const NVFileSystemEvents create;   // something now exists at the observed path
    static const NVFileSystemEvents intermediateRename; // a directory on the way was renamed

    constexpr bool isEmpty() const { return rawValue == 0; }
    constexpr bool contains(NVFileSystemEvents other) const { return (rawValue & other.rawValue) == other.rawValue; }
    constexpr bool intersects(NVFileSystemEvents other) const { return (rawValue & other.rawValue) != 0; }
    constexpr NVFileSystemEvents operator|(NVFileSystemEvents other) const { return NVFileSystemEvents(rawValue | other.rawValue); }
    constexpr NVFileSystemEvents operator&(NVFileSystemEvents other) const { return NVFileSystemEvents(rawValue & other.rawValue); }
    constexpr NVFileSystemEvents &operator|=(NVFileSystemEvents other) { rawValue |= other.rawValue; return *this; }
    constexpr bool operator==(const NVFileSystemEvents &) const = default;

    // For diagnostics: "[]" when empty, the name of a single event ("write",
    // "intermediateRename"), else the events in ascending bit order, unnamed
    // bits as "<unknown rawValue: N>": "[delete, write]". Any thread.
    QString description() const;

    quint32 rawValue = 0;
};

namespace NVFileSystemEventBits {
inline constexpr quint32 Delete = 0x1, Write = 0x2, Extend = 0x4, Attrib = 0x8, Link = 0x10, Rename = 0x20,
                         Revoke = 0x40, Funlock = 0x100;
// Every vnode event of the platform.
inline constexpr quint32 All = Delete | Write | Extend | Attrib | Link | Rename | Revoke;
// The observer's own bits start just above the highest platform bit, so they
// can never collide with one.
inline constexpr int HighestPlatformBit = std::bit_width(All | Funlock); // 1-based
inline constexpr quint32 Create = 1u << HighestPlatformBit;
inline constexpr quint32 IntermediateRename = 1u << (HighestPlatformBit + 1);
} // namespace NVFileSystemEventBits

inline constexpr NVFileSystemEvents NVFileSystemEvents::delete_{NVFileSystemEventBits::Delete};
inline constexpr NVFileSystemEvents NVFileSystemEvents::write{NVFileSystemEventBits::Write};
inline constexpr NVFileSystemEvents NVFileSystemEvents::extend{NVFileSystemEventBits::Extend};
inline constexpr NVFileSystemEvents NVFileSystemEvents::attrib{NVFileSystemEventBits::Attrib};
inline constexpr NVFileSystemEvents NVFileSystemEvents::link{NVFileSystemEventBits::Link};
inline constexpr NVFileSystemEvents NVFileSystemEvents::rename{NVFileSystemEventBits::Rename};
inline constexpr NVFileSystemEvents NVFileSystemEvents::revoke{NVFileSystemEventBits::Revoke};
inline constexpr NVFileSystemEvents NVFileSystemEvents::funlock{NVFileSystemEventBits::Funlock};
inline constexpr NVFileSystemEvents NVFileSystemEvents::create{NVFileSystemEventBits::Create};
inline constexpr NVFileSystemEvents NVFileSystemEvents::intermediateRename{NVFileSystemEventBits::IntermediateRename};

// Watches one file-system object, given by its path, with inotify on the
// main thread's event loop.
//
// The observer follows the path, not the file: while nothing exists at the
// path it watches the nearest existing directory on the way and reports
// "create" once something appears there (also when the object is replaced,
// as an atomic save does). Every existing directory on the way is watched as
// well, so renaming one reports "intermediateRename": the path no longer leads
// where it did. Events of the object itself: "write" (for a directory: an
// entry was added, removed or renamed), "extend" with a write that made it
// larger, "attrib", "link" (its link count changed), "delete", "rename" (it was
// moved away) and "revoke" (its file system was unmounted). After "delete" or
// "rename" the observer waits for the path to be filled again.
//
// Each directory on the way is an observer of its own (an intermediate one)
// in a chain that starts at the observer of the object: each holds its child,
// the next directory towards the root, and knows its parent weakly. All of
// them share the one inotify descriptor of the chain.
//
// The handler runs on the main thread, from the event loop, once per batch of
// events read together, with the events that the mask asks for; never with an
// empty set. A started observer keeps itself alive until cancelled.
class NVFileObserver : public std::enable_shared_from_this<NVFileObserver> {
public:
    using Handler = std::function<void(NVFileSystemEvents events)>;

    // Main thread; returns at once. The observer does nothing until started.
    static std::shared_ptr<NVFileObserver> create(const QUrl &fileURL, NVFileSystemEvents observedEventsMask, Handler handler);
    ~NVFileObserver();
    NVFileObserver(const NVFileObserver &) = delete;
    NVFileObserver &operator=(const NVFileObserver &) = delete;

    // Main thread; returns at once. Fails for a URL that is not an absolute
    // local path, when the system refuses an inotify descriptor or every
    // watch, and for an observer that was started or cancelled before.
    NVResult<void> start();
    // Main thread; returns at once. Stops all watching and releases the
    // observer's hold on itself; no handler call follows. Safe to call twice
    // and from the handler.
    void cancel();

    // Main thread.
    const QUrl &fileURL() const { return m_fileURL; }
    bool isCanceled() const { return m_isCanceled; }
    bool isObservingAnIntermediateDirectory() const { return m_isObservingAnIntermediateDirectory; }
    NVFileSystemEvents observedEventsMask() const { return m_observedEventsMask; }
    std::shared_ptr<NVFileObserver> parentObserver() const { return m_parentObserver.lock(); }
    std::shared_ptr<NVFileObserver> childObserver() const { return m_childObserver; }

private:
    struct FileHandle;
    struct Watched;
    struct Batch;

    NVFileObserver(QUrl fileURL, bool intermediate, NVFileSystemEvents mask, Handler handler);

    void _readEvents();
    void _handleInotifyEvent(quint32 mask, const QString &name, Batch &batch);
    void _childReported(NVFileSystemEvents events);
    bool _rebuildChain();
    void _checkTarget(Batch &batch);
    void _removeWatches();
    int _descriptor() const;

    const QUrl m_fileURL;
    bool m_isCanceled = false;
    const bool m_isObservingAnIntermediateDirectory;
    const NVFileSystemEvents m_observedEventsMask;
    const Handler m_observedEventsHandler;
    std::shared_ptr<FileHandle> m_fileHandle;
    std::shared_ptr<QSocketNotifier> m_fileObservationSource;
    std::shared_ptr<NVFileObserver> m_referenceToSelf;
    std::weak_ptr<NVFileObserver> m_parentObserver;
    std::shared_ptr<NVFileObserver> m_childObserver;

    // What is watched on Linux: the inotify watch of this observer's path,
    // and for the nearest existing directory of a missing object the name of
    // the entry whose appearance matters.
    int m_watch = -1;
    QString m_path;
    QString m_nextComponent;
    std::unique_ptr<Watched> m_watched; // identity and size of the object (root only)
    Batch *m_batch = nullptr;           // the batch being read (root only)
};
