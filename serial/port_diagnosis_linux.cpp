#include "port_diagnosis.h"

#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace velkor {

std::string DeviceGroup(const std::string& port) {
    struct stat st {};
    if (stat(port.c_str(), &st) != 0) {
        return {};
    }
    const group* owner = getgrgid(st.st_gid);
    return owner != nullptr ? owner->gr_name : std::to_string(st.st_gid);
}

namespace {

// The process that holds a lock on the node `node` (flock, as Velkor and velkor-cli take): /proc/locks
// names it by the device and inode of the node. 0 when none does.
long LockHolder(const struct stat& node) {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:19:5 0 EOF": the pid, then major:minor:inode (numbers in hex).
        std::istringstream words(line);
        std::string number, kind, mode, access, where;
        long pid = 0;
        if (!(words >> number >> kind >> mode >> access >> pid >> where)) {
            continue;
        }
        unsigned major = 0;
        unsigned minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &inode) == 3 &&
            major == ::major(node.st_dev) && minor == ::minor(node.st_dev) && inode == node.st_ino) {
            return pid;
        }
    }
    return 0;
}

PortHolder Holder(long pid) {
    PortHolder holder;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::getline(comm, holder.program);
    holder.pid = pid;
    return holder;
}

} // namespace

std::vector<PortHolder> PortHolders(const std::string& port) {
    std::vector<PortHolder> holders;
    struct stat device {};
    if (stat(port.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) {
        return holders;
    }
    // The one holding the lock comes first: others may have the device open without keeping it from us.
    const long self = getpid();
    const long locker = LockHolder(device);
    // The process that took the lock may be gone while a child that inherited the descriptor keeps it.
    if (PortHolder holder = Holder(locker); locker != 0 && locker != self && !holder.program.empty()) {
        holders.push_back(holder);
    }
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return holders;
    }
    while (dirent* entry = readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos ||
            std::stol(pid) == self || std::stol(pid) == locker) {
            continue;
        }
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR* fds = opendir(fdDir.c_str()); // another user's process: not readable, not listed
        if (fds == nullptr) {
            continue;
        }
        bool holds = false;
        while (dirent* fd = readdir(fds)) {
            struct stat target {};
            if (fd->d_name[0] != '.' && stat((fdDir + "/" + fd->d_name).c_str(), &target) == 0 &&
                S_ISCHR(target.st_mode) && target.st_rdev == device.st_rdev) {
                holds = true;
                break;
            }
        }
        closedir(fds);
        if (holds) {
            holders.push_back(Holder(std::stol(pid)));
        }
    }
    closedir(proc);
    return holders;
}

} // namespace velkor
