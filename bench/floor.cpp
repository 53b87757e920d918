// What a walk on Linux costs before it does any work of its own, to compare
// Dravelon's times with: every directory below DIR is opened with openat(2)
// on its parent's descriptor and read with readdir(3), kinds from d_type
// alone, depth-first in listing order, and the files are counted. Each
// directory is read whole before its subdirectories are walked, and its
// descriptor is kept until they are done, so it needs a descriptor limit
// above the tree's depth. Prints the count.
//
//   floor DIR

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

unsigned long long files = 0;

void walk(int fd) {
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return;
    }
    std::vector<std::string> subdirectories;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (entry->d_type == DT_DIR) {
            if (name[0] != '.' || (name[1] != '\0' && (name[1] != '.' || name[2] != '\0'))) subdirectories.emplace_back(name);
        } else if (entry->d_type == DT_REG) {
            ++files;
        }
    }
    for (const std::string& name : subdirectories) {
        const int sub = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (sub >= 0) walk(sub);
    }
    ::closedir(dir);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: floor DIR\n");
        return 2;
    }
    const int fd = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    walk(fd);
    std::printf("%llu\n", files);
    return 0;
}
