// What /proc/self/task says about this process's threads, by name.
#pragma once

#include <dirent.h>

#include <fstream>
#include <map>
#include <string>

namespace velnor::test {

// The thread folder of every thread whose name starts with `prefix`, by id.
inline std::map<std::string, std::string> task_dirs(const std::string& prefix) {
    std::map<std::string, std::string> found;
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks) return found;
    while (dirent* e = ::readdir(tasks)) {
        const std::string dir = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(dir + "/comm");
        std::string got;
        if (std::getline(comm, got) && got.rfind(prefix, 0) == 0) found[e->d_name] = dir;
    }
    ::closedir(tasks);
    return found;
}

// The /proc/self/task folder of the thread named `name`, or "" when there
// is no such thread.
inline std::string task_dir(const std::string& name) {
    for (const auto& [tid, dir] : task_dirs(name)) {
        std::ifstream comm(dir + "/comm");
        std::string got;
        if (std::getline(comm, got) && got == name) return dir;
    }
    return "";
}

// CPU nanoseconds the thread in `dir` has run, or -1 when it is gone.
inline long long dir_cpu_ns(const std::string& dir) {
    long long ns = -1;
    if (!dir.empty()) std::ifstream(dir + "/schedstat") >> ns;
    return ns;
}

// CPU nanoseconds the thread named `name` has run, or -1 when there is no
// such thread.
inline long long cpu_ns(const std::string& name) { return dir_cpu_ns(task_dir(name)); }

// CPU nanoseconds of every thread whose name starts with `prefix`, by id.
inline std::map<std::string, long long> cpu_ns_by_thread(const std::string& prefix) {
    std::map<std::string, long long> out;
    for (const auto& [tid, dir] : task_dirs(prefix)) out[tid] = dir_cpu_ns(dir);
    return out;
}

}  // namespace velnor::test
