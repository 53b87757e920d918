// What a walk on the standard filesystem library costs before it does any
// work of its own, to compare Dravelon's times with: every directory below
// DIR is listed with the standard directory iterator, one listing open at a
// time, depth-first in listing order, and the files are counted. Prints the
// count.
//
//   floor DIR

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: floor DIR\n");
        return 2;
    }
    std::vector<fs::path> pending{fs::path(argv[1])};
    unsigned long long files = 0;
    while (!pending.empty()) {
        const fs::path dir = std::move(pending.back());
        pending.pop_back();
        std::vector<fs::path> subdirectories;
        std::error_code ec;
        fs::directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
        for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
            if (it->is_directory(ec))
                subdirectories.push_back(it->path());
            else if (it->is_regular_file(ec))
                ++files;
        }
        pending.insert(pending.end(), std::make_move_iterator(subdirectories.rbegin()),
                       std::make_move_iterator(subdirectories.rend()));
    }
    std::printf("%llu\n", files);
    return 0;
}
