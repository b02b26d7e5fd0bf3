#include "core/local_fs.hpp"

#include <array>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <unordered_map>

namespace velnor::fast {

namespace {

constexpr std::array<std::string_view, 14> kLocalTypes{
    "ext2", "ext3",   "ext4",  "xfs",  "btrfs", "tmpfs",  "ramfs",
    "overlay", "f2fs", "erofs", "squashfs", "vfat", "exfat", "ntfs3"};

std::uint64_t key(std::uint32_t major, std::uint32_t minor) {
    return (static_cast<std::uint64_t>(major) << 32) | minor;
}

// A line of /proc/self/mountinfo: "id parent major:minor root point options
// [optional fields...] - type source super-options".
bool parse_line(const std::string& line, std::uint64_t& dev, bool& local) {
    unsigned id = 0, parent = 0, major = 0, minor = 0;
    if (std::sscanf(line.c_str(), "%u %u %u:%u", &id, &parent, &major, &minor) != 4) return false;
    const auto dash = line.find(" - ");
    if (dash == std::string::npos) return false;
    const auto start = dash + 3;
    const auto end = line.find(' ', start);
    const std::string_view type(line.data() + start, (end == std::string::npos ? line.size() : end) - start);
    dev = key(major, minor);
    local = local_fs_type(type);
    return true;
}

struct Table {
    std::mutex lock;
    std::unordered_map<std::uint64_t, bool> known;

    void reload() {
        std::ifstream in("/proc/self/mountinfo");
        std::string line;
        while (std::getline(in, line)) {
            std::uint64_t dev = 0;
            bool local = false;
            // A device mounted twice is local only if every mount says so.
            if (parse_line(line, dev, local)) {
                auto [it, fresh] = known.try_emplace(dev, local);
                if (!fresh) it->second = it->second && local;
            }
        }
    }
};

Table& table() {
    static Table* t = new Table;  // never destroyed: used until the process ends
    return *t;
}

}  // namespace

bool local_fs_type(std::string_view type) noexcept {
    for (const auto t : kLocalTypes)
        if (t == type) return true;
    return false;
}

bool local_device(std::uint32_t major, std::uint32_t minor) noexcept {
    try {
        Table& t = table();
        const std::lock_guard guard(t.lock);
        const auto dev = key(major, minor);
        if (auto it = t.known.find(dev); it != t.known.end()) return it->second;
        // A device not seen yet: a new mount, or one that is not in the
        // table at all (a btrfs subvolume); read once, then remembered.
        t.reload();
        return t.known.try_emplace(dev, false).first->second;
    } catch (...) {
        return false;
    }
}

}  // namespace velnor::fast
