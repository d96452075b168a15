#include "rip/rescue_map.h"

#include "base/format.h"

#include <algorithm>
#include <map>
#include <utility>

namespace quorin {

std::string RescueMapText(std::vector<DiskArea> read, const std::vector<MissingRange>& missing) {
    // Status changes along the disk: '+' over the areas read, then the missing sectors on top.
    std::map<std::int64_t, char> status{{0, '?'}};
    auto paint = [&status](std::int64_t begin, std::int64_t end, char c) {
        if (begin >= end) return;
        const char resume = std::prev(status.upper_bound(end))->second;
        status.erase(status.lower_bound(begin), status.lower_bound(end));
        status[begin] = c;
        status.emplace(end, resume);
    };
    std::sort(read.begin(), read.end(),
              [](const DiskArea& a, const DiskArea& b) { return a.begin < b.begin; });
    for (const DiskArea& a : read)
        paint(a.begin, a.end, '+');
    for (const MissingRange& m : missing)
        paint(m.begin, m.end, m.skipped ? '?' : '-');
    std::string text = "# Mapfile. Created by Quorin\n"
                       "# current_pos  current_status  current_pass\n"
                       "0x00000000     +               1\n"
                       "#      pos        size  status\n";
    // Neighbours of one status are one block; the untried rest of the disk is implied.
    std::vector<std::pair<std::int64_t, char>> blocks;
    for (const auto& [at, c] : status)
        if (blocks.empty() || blocks.back().second != c) blocks.emplace_back(at, c);
    for (std::size_t i = 0; i + 1 < blocks.size(); ++i)
        text += Format("0x%08llX  0x%08llX  %c\n", static_cast<unsigned long long>(blocks[i].first),
                       static_cast<unsigned long long>(blocks[i + 1].first - blocks[i].first),
                       blocks[i].second);
    return text;
}

} // namespace quorin
