// What a walk on the standard filesystem library costs before it does any
// work of its own, to compare Dravelon's times with.
//
//   floor list DIR   lists every directory below DIR with the standard
//                    directory iterator, one listing open at a time, and
//                    does nothing with the entries;
//   floor keep DIR   the same, and keeps a copy of every file's path until
//                    the end, as the results of a walk must.
//
// Prints the number of files seen.

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

int main(int argc, char* argv[]) {
    if (argc != 3 || (std::strcmp(argv[1], "list") != 0 && std::strcmp(argv[1], "keep") != 0)) {
        std::fprintf(stderr, "usage: floor list|keep DIR\n");
        return 2;
    }
    const bool keep = std::strcmp(argv[1], "keep") == 0;
    std::vector<fs::path> files;
    std::vector<fs::path> pending{fs::path(argv[2])};
    unsigned long long count = 0;
    while (!pending.empty()) {
        const fs::path dir = std::move(pending.back());
        pending.pop_back();
        std::vector<fs::path> subdirectories;
        std::error_code ec;
        fs::directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
        for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
            if (it->is_directory(ec)) {
                subdirectories.push_back(it->path());
            } else if (it->is_regular_file(ec)) {
                ++count;
                if (keep) files.push_back(it->path());
            }
        }
        // Depth-first, in listing order.
        pending.insert(pending.end(), std::make_move_iterator(subdirectories.rbegin()),
                       std::make_move_iterator(subdirectories.rend()));
    }
    std::printf("%llu\n", count);
    return 0;
}
