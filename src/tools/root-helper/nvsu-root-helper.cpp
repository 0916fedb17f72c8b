// nvsu-root-helper: the program the polkit action of the updater names.
// pkexec runs it as root after the user has authenticated; it replaces
// itself with the long-lived root shell that NVAuthorization feeds commands
// to, started exactly as on the other routes to root: bash without start-up
// files, in "/", with a fixed PATH and nothing else in its environment.
//
// It takes no arguments and reads nothing from its environment, so nobody
// can make it run anything but that shell. Naming this program, and not the
// shell itself, in the action keeps the action's wording ours alone: any
// other "pkexec /bin/bash" gets the system's generic prompt.
//
// Deliberately without Qt or any library of ours: it runs as root.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const char kShell[] = "/bin/bash";
const char kPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

int refuse(const char *reason)
{
    std::fprintf(stderr, "nvsu-root-helper: %s\n", reason);
    return 127;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 1)
        return refuse("takes no arguments");
    if (::geteuid() != 0)
        return refuse("must be started as root (through pkexec)");
    if (::chdir("/") != 0)
        return refuse("cannot change to /");

    // -p: keep root even where only the effective user is root, and import
    // no functions or start-up files from the environment.
    char *const shellArguments[] = {const_cast<char *>("bash"), const_cast<char *>("--noprofile"),
                                    const_cast<char *>("--norc"), const_cast<char *>("-p"), nullptr};
    char *const environment[] = {const_cast<char *>(kPath), nullptr};
    ::execve(kShell, shellArguments, environment);
    std::fprintf(stderr, "nvsu-root-helper: cannot start %s: %s\n", kShell, std::strerror(errno));
    return 127;
}
