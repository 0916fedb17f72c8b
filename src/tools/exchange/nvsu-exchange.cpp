// nvsu-exchange: swaps two folders that lie side by side in one folder, in a
// single step, so that nobody ever sees either name missing:
//
//   nvsu-exchange FOLDER NAME-A NAME-B
//
// FOLDER must be an absolute path; each name is an entry directly in it and
// must be a folder itself, not a link to one. Exit status:
//
//   0  the two entries have traded places
//   1  refused: wrong arguments, a name that is empty, "." or "..", or holds
//      "/" or a control character, a folder that cannot be opened, an entry
//      that is missing, a link or no folder
//   2  the exchange itself failed (for instance for want of permission)
//   3  this file system cannot exchange two entries; nothing changed, and
//      the caller swaps by renaming instead
//
// Every refusal and failure writes one line on stderr.
//
// The root shell runs it to put an update in place, so it is deliberately
// without Qt or any library of ours, and it trusts none of its arguments.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace {

constexpr int kExchanged = 0;
constexpr int kRefused = 1;
constexpr int kFailed = 2;
constexpr int kCannotExchange = 3;

int refuse(const char *format, const char *what, const char *why = nullptr)
{
    std::fprintf(stderr, "nvsu-exchange: ");
    std::fprintf(stderr, format, what, why);
    std::fputc('\n', stderr);
    return kRefused;
}

// Why `name` cannot name an entry directly in the folder, or nullptr.
const char *problemWithName(const char *name)
{
    if (name[0] == '\0')
        return "is empty";
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return "names no entry of its own";
    for (const char *c = name; *c; ++c) {
        if (*c == '/')
            return "holds a \"/\"";
        if ((unsigned char)*c < 0x20 || *c == 0x7f)
            return "holds a control character";
    }
    return nullptr;
}

int exchange(int folder, const char *a, const char *b)
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 28))
    return ::renameat2(folder, a, folder, b, RENAME_EXCHANGE);
#else
    return int(::syscall(SYS_renameat2, folder, a, folder, b, RENAME_EXCHANGE));
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "nvsu-exchange: usage: nvsu-exchange FOLDER NAME-A NAME-B\n");
        return kRefused;
    }
    const char *folderPath = argv[1];
    const char *names[] = {argv[2], argv[3]};
    if (folderPath[0] != '/')
        return refuse("the folder \"%s\" is not an absolute path", folderPath);
    for (const char *name : names) {
        if (const char *problem = problemWithName(name))
            return refuse("the name \"%s\" %s", name, problem);
    }
    if (std::strcmp(names[0], names[1]) == 0)
        return refuse("both names are \"%s\"", names[0]);

    // O_PATH: the folder only anchors the names, nothing in it is read; the
    // final component is not followed, so a link put there is refused.
    const int folder = ::open(folderPath, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0)
        return refuse("cannot open the folder %s: %s", folderPath, std::strerror(errno));
    for (const char *name : names) {
        struct stat status {};
        if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            return refuse("cannot examine %s: %s", name, std::strerror(errno));
        if (S_ISLNK(status.st_mode))
            return refuse("%s is a link", name);
        if (!S_ISDIR(status.st_mode))
            return refuse("%s is not a folder", name);
    }
    if (exchange(folder, names[0], names[1]) == 0)
        return kExchanged;
    const int error = errno;
    if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP) {
        std::fprintf(stderr, "nvsu-exchange: the file system of %s cannot exchange two entries: %s\n", folderPath, std::strerror(error));
        return kCannotExchange;
    }
    std::fprintf(stderr, "nvsu-exchange: cannot exchange %s and %s in %s: %s\n", names[0], names[1], folderPath, std::strerror(error));
    return kFailed;
}
