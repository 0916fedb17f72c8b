#include "platform/NVFileObserver.h"

#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QStringList>

#include <cerrno>
#include <optional>
#include <map>
#include <set>
#include <vector>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

// ---- Event sets ---------------------------------------------------------------

namespace {

struct NamedEvent {
    NVFileSystemEvents event;
    const char *name;
};

// In the order in which a whole set is compared with them.
constexpr NamedEvent namedEvents[] = {
    {NVFileSystemEvents::delete_, "delete"},
    {NVFileSystemEvents::write, "write"},
    {NVFileSystemEvents::extend, "extend"},
    {NVFileSystemEvents::attrib, "attrib"},
    {NVFileSystemEvents::link, "link"},
    {NVFileSystemEvents::rename, "rename"},
    {NVFileSystemEvents::revoke, "revoke"},
    {NVFileSystemEvents::funlock, "funlock"},
    {NVFileSystemEvents::create, "create"},
    {NVFileSystemEvents::intermediateRename, "intermediateRename"},
};

const char *singleName(NVFileSystemEvents events)
{
    for (const NamedEvent &named : namedEvents) {
        if (named.event == events)
            return named.name;
    }
    return nullptr;
}

} // namespace

QString NVFileSystemEvents::description() const
{
    if (isEmpty())
        return QStringLiteral("[]");
    if (const char *name = singleName(*this))
        return QString::fromLatin1(name);
    QStringList texts;
    const int bits = std::bit_width(rawValue);
    for (int i = 0; i < bits; ++i) {
        const quint32 bit = 1u << i;
        if (!(rawValue & bit))
            continue;
        const char *name = singleName(NVFileSystemEvents(bit));
        texts << (name ? QString::fromLatin1(name) : QStringLiteral("<unknown rawValue: %1>").arg(bit));
    }
    if (texts.size() == 1)
        return texts.first();
    return u'[' + texts.join(QStringLiteral(", ")) + u']';
}

// ---- Observer -----------------------------------------------------------------

namespace {

// What the observed object's watch asks for. For a directory, changes of its
// entries count as writes, as they do for a vnode.
constexpr quint32 targetMask = IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
constexpr quint32 directoryEntryMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// What a directory on the way asks for; the nearest existing one of a missing
// object also watches for new entries.
constexpr quint32 intermediateMask = IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR;
constexpr quint32 nearestMask = intermediateMask | IN_CREATE | IN_MOVED_TO;

// A race with the file system (the next directory appears while the watches
// are being set up) is retried this often before the observer settles for
// what it has.
constexpr int maximumRebuildAttempts = 8;

QString parentPath(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

QString lastComponent(const QString &path) { return path.mid(path.lastIndexOf(u'/') + 1); }

std::optional<struct stat> statPath(const QString &path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return info;
}

} // namespace

struct NVFileObserver::FileHandle {
    explicit FileHandle(int descriptor) : descriptor(descriptor) {}
    ~FileHandle()
    {
        if (descriptor >= 0)
            ::close(descriptor);
    }
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    const int descriptor;
};

struct NVFileObserver::Watched {
    dev_t device = 0;
    ino_t inode = 0;
    qint64 size = 0;
    nlink_t links = 0;
    bool isDirectory = false;

    static Watched from(const struct stat &info)
    {
        return Watched{info.st_dev, info.st_ino, qint64(info.st_size), info.st_nlink, S_ISDIR(info.st_mode)};
    }
    bool isSameObject(const struct stat &info) const { return info.st_dev == device && info.st_ino == inode; }
};

// What one read of the inotify descriptor found, put together before the
// handler hears of it.
struct NVFileObserver::Batch {
    NVFileSystemEvents events;
    bool rebuild = false;
    bool targetGone = false;
    bool checkSize = false;
    bool checkAttributes = false;
};

NVFileObserver::NVFileObserver(QUrl fileURL, bool intermediate, NVFileSystemEvents mask, Handler handler)
    : m_fileURL(std::move(fileURL)),
      m_isObservingAnIntermediateDirectory(intermediate),
      m_observedEventsMask(mask),
      m_observedEventsHandler(std::move(handler))
{
}

std::shared_ptr<NVFileObserver> NVFileObserver::create(const QUrl &fileURL, NVFileSystemEvents observedEventsMask, Handler handler)
{
    return std::shared_ptr<NVFileObserver>(new NVFileObserver(fileURL, false, observedEventsMask, std::move(handler)));
}

NVFileObserver::~NVFileObserver()
{
    // Only the root removes watches; the descriptor closes with its last owner.
    if (!m_isObservingAnIntermediateDirectory && !m_isCanceled)
        _removeWatches();
    m_parentObserver.reset();
}

int NVFileObserver::_descriptor() const { return m_fileHandle ? m_fileHandle->descriptor : -1; }

NVResult<void> NVFileObserver::start()
{
    if (m_isCanceled)
        return NVError::posix(ECANCELED);
    if (m_fileHandle)
        return NVError::posix(EALREADY);
    if (!m_fileURL.isLocalFile())
        return NVError::withDescription(NSCocoaErrorDomain, 262,
                                        QStringLiteral("The location “%1” is not a local file.").arg(m_fileURL.toString()));
    const QString path = QDir::cleanPath(m_fileURL.toLocalFile());
    if (!path.startsWith(u'/'))
        return NVError::withDescription(NSCocoaErrorDomain, 258,
                                        QStringLiteral("The path “%1” is not absolute.").arg(path));
    m_path = path;

    const int descriptor = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (descriptor < 0)
        return NVError::posix(errno, {{NSFilePathErrorKey, m_path}});
    m_fileHandle = std::make_shared<FileHandle>(descriptor);
    // The notifier may be released from within its own signal (a handler
    // that cancels), so it is deleted later, by the event loop.
    m_fileObservationSource = std::shared_ptr<QSocketNotifier>(
        new QSocketNotifier(descriptor, QSocketNotifier::Read), [](QSocketNotifier *notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        });
    if (!_rebuildChain()) {
        const int error = errno ? errno : ENOENT;
        m_fileObservationSource.reset();
        m_fileHandle.reset();
        return NVError::posix(error, {{NSFilePathErrorKey, m_path}});
    }
    // The observer keeps itself alive through its self reference for as long
    // as the notifier can fire.
    QObject::connect(m_fileObservationSource.get(), &QSocketNotifier::activated, m_fileObservationSource.get(),
                     [this] { _readEvents(); });
    m_referenceToSelf = shared_from_this();
    return {};
}

void NVFileObserver::cancel()
{
    if (m_isCanceled)
        return;
    m_isCanceled = true;
    // Whoever else holds the observer decides when it goes; until this
    // function returns it stays.
    const std::shared_ptr<NVFileObserver> keepAlive = std::move(m_referenceToSelf);
    if (m_fileObservationSource)
        m_fileObservationSource->setEnabled(false);
    _removeWatches();
    m_fileObservationSource.reset();
    m_fileHandle.reset();
}

void NVFileObserver::_removeWatches()
{
    const int descriptor = _descriptor();
    if (descriptor >= 0) {
        for (NVFileObserver *o = this; o; o = o->m_childObserver.get()) {
            if (o->m_watch >= 0)
                ::inotify_rm_watch(descriptor, o->m_watch);
        }
    }
    for (NVFileObserver *o = this; o; o = o->m_childObserver.get())
        o->m_watch = -1;
    // The chain is released link by link from the root.
    m_childObserver.reset();
}

bool NVFileObserver::_rebuildChain()
{
    const int descriptor = _descriptor();
    std::set<int> oldWatches;
    for (NVFileObserver *o = this; o; o = o->m_childObserver.get()) {
        if (o->m_watch >= 0)
            oldWatches.insert(o->m_watch);
    }

    struct Level {
        QString directory;
        QString nextComponent; // set on the nearest existing directory of a missing object
        int watch = -1;
    };
    std::vector<Level> levels;
    int newTarget = -1;
    std::optional<Watched> watched;
    int lastError = 0;

    for (int attempt = 0; attempt < maximumRebuildAttempts; ++attempt) {
        levels.clear();
        newTarget = -1;
        watched.reset();
        // Watches of one inotify descriptor on the same inode share one
        // number; a second add would replace the first one's mask, so masks
        // of a repeated inode are added to.
        std::map<int, quint32> masks;
        const auto addWatch = [&](const QString &path, quint32 mask) {
            int watch = ::inotify_add_watch(descriptor, QFile::encodeName(path).constData(), mask);
            if (watch < 0) {
                lastError = errno;
                return -1;
            }
            if (const auto it = masks.find(watch); it != masks.end()) {
                watch = ::inotify_add_watch(descriptor, QFile::encodeName(path).constData(), mask | IN_MASK_ADD);
                it->second |= mask;
            } else {
                masks.emplace(watch, mask);
            }
            return watch;
        };

        if (const auto info = statPath(m_path)) {
            const quint32 mask = S_ISDIR(info->st_mode) ? targetMask | directoryEntryMask : targetMask;
            newTarget = addWatch(m_path, mask);
            if (newTarget >= 0)
                watched = Watched::from(*info);
        }

        // Every existing directory from the object's parent up to the root.
        QString below = m_path;
        bool nearestFound = newTarget >= 0;
        for (QString directory = parentPath(m_path);; directory = parentPath(directory)) {
            const auto info = statPath(directory);
            if (info && S_ISDIR(info->st_mode)) {
                Level level{directory, QString(), -1};
                quint32 mask = intermediateMask;
                if (!nearestFound) {
                    nearestFound = true;
                    level.nextComponent = lastComponent(below);
                    mask = nearestMask;
                }
                level.watch = addWatch(directory, mask);
                if (level.watch >= 0)
                    levels.push_back(level);
            }
            if (directory == u'/')
                break;
            below = directory;
        }

        // The entry the nearest directory waits for may have appeared before
        // its watch existed; then the chain must go one step further down.
        // (An entry that is in the way but is not a directory, where the path
        // needs one, cannot be followed and is no reason to look again.)
        bool raced = false;
        for (const Level &level : levels) {
            if (!level.nextComponent.isEmpty()) {
                const QString next = level.directory == u'/' ? u'/' + level.nextComponent
                                                             : level.directory + u'/' + level.nextComponent;
                const auto info = statPath(next);
                raced = info && (next == m_path || S_ISDIR(info->st_mode));
                break;
            }
        }
        if (!raced)
            break;
    }

    // Make the chain of observers anew; the watches that survived kept their numbers.
    std::set<int> newWatches;
    if (newTarget >= 0)
        newWatches.insert(newTarget);
    m_childObserver.reset();
    NVFileObserver *parent = this;
    for (const Level &level : levels) {
        const NVFileSystemEvents mask = level.nextComponent.isEmpty()
            ? NVFileSystemEvents::intermediateRename | NVFileSystemEvents::delete_
            : NVFileSystemEvents::intermediateRename | NVFileSystemEvents::delete_ | NVFileSystemEvents::create;
        std::weak_ptr<NVFileObserver> weakParent = parent->weak_from_this();
        auto child = std::shared_ptr<NVFileObserver>(new NVFileObserver(
            QUrl::fromLocalFile(level.directory), true, mask, [weakParent](NVFileSystemEvents events) {
                if (const auto p = weakParent.lock())
                    p->_childReported(events);
            }));
        child->m_fileHandle = m_fileHandle;
        child->m_fileObservationSource = m_fileObservationSource;
        child->m_parentObserver = parent->weak_from_this();
        child->m_watch = level.watch;
        child->m_path = level.directory;
        child->m_nextComponent = level.nextComponent;
        newWatches.insert(level.watch);
        parent->m_childObserver = child;
        parent = child.get();
    }
    m_watch = newTarget;
    m_watched = watched ? std::make_unique<Watched>(*watched) : nullptr;

    for (int watch : oldWatches) {
        if (!newWatches.count(watch))
            ::inotify_rm_watch(descriptor, watch);
    }
    errno = lastError;
    return !newWatches.empty();
}

void NVFileObserver::_readEvents()
{
    const std::shared_ptr<NVFileObserver> keepAlive = shared_from_this();
    const int descriptor = _descriptor();
    if (m_isCanceled || descriptor < 0)
        return;

    Batch batch;
    const bool wasPresent = m_watch >= 0;
    const bool hadIdentity = m_watched != nullptr;
    const Watched before = hadIdentity ? *m_watched : Watched();
    // The chain changes only when it is rebuilt, after the whole batch.
    std::vector<std::shared_ptr<NVFileObserver>> members;
    for (NVFileObserver *o = this; o; o = o->m_childObserver.get())
        members.push_back(o->shared_from_this());
    m_batch = &batch;

    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
        const ssize_t length = ::read(descriptor, buffer, sizeof buffer);
        if (length <= 0)
            break; // EAGAIN: all read
        for (ssize_t offset = 0; offset + ssize_t(sizeof(inotify_event)) <= length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + offset);
            offset += ssize_t(sizeof(inotify_event)) + event->len;
            if (event->mask & IN_Q_OVERFLOW) {
                // Events were lost: look again at everything.
                batch.rebuild = true;
                batch.checkAttributes = batch.checkSize = wasPresent;
                continue;
            }
            const QString name = event->len ? QFile::decodeName(event->name) : QString();
            // A repeated inode can be two members of the chain.
            for (const auto &member : members) {
                if (member->m_watch == event->wd)
                    member->_handleInotifyEvent(event->mask, name, batch);
            }
        }
    }
    m_batch = nullptr;

    _checkTarget(batch);
    if (batch.rebuild) {
        _rebuildChain();
        // Something is at the path now that was not there before, or not the
        // same thing.
        const bool present = m_watch >= 0;
        const bool replaced = hadIdentity && m_watched
            && (before.device != m_watched->device || before.inode != m_watched->inode);
        if (present && (!wasPresent || batch.targetGone || replaced))
            batch.events |= NVFileSystemEvents::create;
    }

    const NVFileSystemEvents delivered = batch.events & m_observedEventsMask;
    if (!delivered.isEmpty() && !m_isCanceled && m_observedEventsHandler)
        m_observedEventsHandler(delivered);
}

void NVFileObserver::_handleInotifyEvent(quint32 mask, const QString &name, Batch &batch)
{
    if (!m_isObservingAnIntermediateDirectory) {
        if (mask & IN_MODIFY) {
            batch.events |= NVFileSystemEvents::write;
            batch.checkSize = true;
        }
        if (mask & IN_ATTRIB)
            batch.checkAttributes = true;
        if (mask & directoryEntryMask)
            batch.events |= NVFileSystemEvents::write;
        if (mask & IN_DELETE_SELF)
            batch.events |= NVFileSystemEvents::delete_;
        if (mask & IN_MOVE_SELF)
            batch.events |= NVFileSystemEvents::rename;
        if (mask & IN_UNMOUNT)
            batch.events |= NVFileSystemEvents::revoke;
        if (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED)) {
            batch.rebuild = true;
            batch.targetGone = true;
        }
        return;
    }

    NVFileSystemEvents events;
    if (mask & IN_MOVE_SELF)
        events |= NVFileSystemEvents::intermediateRename;
    if (mask & (IN_DELETE_SELF | IN_UNMOUNT | IN_IGNORED))
        events |= NVFileSystemEvents::delete_;
    if ((mask & (IN_CREATE | IN_MOVED_TO)) && !m_nextComponent.isEmpty() && name == m_nextComponent)
        events |= NVFileSystemEvents::create;
    events = events & m_observedEventsMask;
    if (!events.isEmpty() && m_observedEventsHandler)
        m_observedEventsHandler(events);
}

void NVFileObserver::_childReported(NVFileSystemEvents events)
{
    if (const auto parent = m_parentObserver.lock()) {
        parent->_childReported(events);
        return;
    }
    // The root: any change on the way means the path must be followed anew.
    if (!m_batch)
        return;
    m_batch->rebuild = true;
    if (events.contains(NVFileSystemEvents::intermediateRename))
        m_batch->events |= NVFileSystemEvents::intermediateRename;
}

void NVFileObserver::_checkTarget(Batch &batch)
{
    if (!m_watched || !(batch.checkSize || batch.checkAttributes))
        return;
    const auto info = statPath(m_path);
    if (!info || !m_watched->isSameObject(*info)) {
        // Gone or replaced: the attribute change was the old object's last
        // link going away. What is at the path now is found by the rebuild.
        batch.rebuild = true;
        return;
    }
    if (batch.checkSize && !m_watched->isDirectory && qint64(info->st_size) > m_watched->size)
        batch.events |= NVFileSystemEvents::extend;
    if (batch.checkAttributes) {
        if (info->st_nlink != m_watched->links)
            batch.events |= NVFileSystemEvents::link;
        else
            batch.events |= NVFileSystemEvents::attrib;
    }
    *m_watched = Watched::from(*info);
}
