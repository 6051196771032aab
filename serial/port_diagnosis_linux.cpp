#include "port_diagnosis.h"

#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <sys/stat.h>
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

std::vector<PortHolder> PortHolders(const std::string& port) {
    std::vector<PortHolder> holders;
    struct stat device {};
    if (stat(port.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) {
        return holders;
    }
    const std::string self = std::to_string(getpid());
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return holders;
    }
    while (dirent* entry = readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self) {
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
            std::ifstream comm("/proc/" + pid + "/comm");
            PortHolder holder;
            std::getline(comm, holder.program);
            holder.pid = std::stol(pid);
            holders.push_back(holder);
        }
    }
    closedir(proc);
    return holders;
}

} // namespace velkor
