// Builds the benchmark trees from a fixed seed, so that every run of the
// benchmark walks the same names in the same shapes.
//
//   gen_tree [--dry-run] A|B|C|D|E|F DIR
//
// A  about 1,000,000 empty files in about 50,000 directories, 4 to 6 levels
//    deep, about 20 files per directory, paths of about 95 characters when
//    DIR is about 20 characters long; about 0.1% of the files end in .scr,
//    .SCR, .pif or .PIF.
// B  one directory holding 200,000 empty files, named like those of A.
// C  a chain of 1,500 nested directories named d, one file in each.
// D  the same chain 3,000 directories deep (some 6,000 bytes, past the
//    longest path Linux takes), made through open directories.
// E  a chain of 10,000 directories d0/d1/..., each holding, beside the next
//    one, two side directories s<level>_0 and s<level>_1 with one file x.scr
//    in each: 30,000 directories and 20,000 suspicious files whose paths run
//    to some 60,000 bytes. The names differ from level to level, so the
//    listing order puts some side directories after the chain's next one.
// F  the same chain 5,000 directories deep.
//
// DIR must not exist yet. With --dry-run nothing is created and only the
// counts are printed. Linux only: this is a benchmark tool, not part of the
// program.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace {

constexpr std::uint64_t kSeed = 20240601;

// std::mt19937_64 is specified to the bit; the reduction below is ours, so
// the trees do not depend on a library's distribution classes.
class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}
    // A number in [low, high].
    unsigned between(unsigned low, unsigned high) {
        return low + static_cast<unsigned>(engine_() % (high - low + 1));
    }
    bool oneIn(unsigned n) { return engine_() % n == 0; }

private:
    std::mt19937_64 engine_;
};

constexpr const char* kWords[] = {
    "Documents", "Photos",  "Music",   "Projects", "Backup",  "Invoices", "Reports", "Drivers",
    "Library",   "Cache",   "Assets",  "Images",   "Release", "Archive",  "Shared",  "Settings",
    "Templates", "Fonts",   "Logs",    "Data",     "Config",  "Media",    "Scans",   "Notes",
    "Budget",    "Drafts",  "Video",   "Public",   "Temp",    "Updates",  "Plugins", "Modules",
};
constexpr const char* kFileWords[] = {
    "report", "invoice", "setup",  "readme", "photo", "summary", "notes",   "budget",
    "draft",  "image",   "backup", "letter", "scan",  "record",  "install", "module",
};
constexpr const char* kExtensions[] = {
    ".txt", ".dll", ".jpg", ".pdf", ".log", ".exe", ".dat", ".xml",
    ".png", ".htm", ".ini", ".doc", ".mp3", ".cab", ".sys", ".zip",
};
constexpr const char* kSuspicious[] = {".scr", ".SCR", ".pif", ".PIF"};

template <typename T, std::size_t N>
constexpr unsigned count(const T (&)[N]) { return N; }

struct Totals {
    std::uint64_t directories = 0;
    std::uint64_t files = 0;
    std::uint64_t suspicious = 0;
    std::uint64_t pathBytes = 0;  // sum of the files' path lengths
};

class Generator {
public:
    Generator(bool dryRun) : random_(kSeed), dryRun_(dryRun) {}

    // Directory of `depth` (the root is 0) at `path`.
    void makeDirectory(const std::string& path) {
        ++totals_.directories;
        if (!dryRun_ && mkdir(path.c_str(), 0755) != 0) die("mkdir", path);
    }

    void makeFile(const std::string& path, bool suspicious) {
        ++totals_.files;
        totals_.pathBytes += path.size();
        if (suspicious) ++totals_.suspicious;
        if (dryRun_) return;
        const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0 || close(fd) != 0) die("create", path);
    }

    // A file name such as "invoice-setup 0042.pdf"; the index keeps the
    // names of one directory distinct.
    void makeFiles(const std::string& dir, unsigned n) {
        for (unsigned i = 0; i < n; ++i) {
            std::string name = kFileWords[random_.between(0, count(kFileWords) - 1)];
            if (random_.oneIn(2)) {
                name += '-';
                name += kFileWords[random_.between(0, count(kFileWords) - 1)];
            }
            name += ' ';
            name += std::to_string(i);
            const bool suspicious = random_.oneIn(1000);
            name += suspicious ? kSuspicious[random_.between(0, count(kSuspicious) - 1)]
                               : kExtensions[random_.between(0, count(kExtensions) - 1)];
            makeFile(dir + '/' + name, suspicious);
        }
    }

    // Tree A below `dir` (already made) at `depth`.
    void treeA(const std::string& dir, unsigned depth) {
        makeFiles(dir, depth == 0 ? 0 : random_.between(15, 27));
        unsigned subdirectories = 0;
        switch (depth) {
            case 0: subdirectories = 10; break;
            case 1:
            case 2:
            case 3: subdirectories = random_.between(6, 10); break;
            case 4: subdirectories = random_.between(3, 8); break;
            case 5: subdirectories = random_.oneIn(3) ? random_.between(1, 2) : 0; break;
            default: break;
        }
        for (unsigned i = 0; i < subdirectories; ++i) {
            std::string sub = dir + '/' + kWords[random_.between(0, count(kWords) - 1)];
            if (random_.oneIn(4)) {
                sub += ' ';
                sub += kWords[random_.between(0, count(kWords) - 1)];
            }
            sub += ' ';
            sub += std::to_string(i);
            makeDirectory(sub);
            treeA(sub, depth + 1);
        }
    }

    void treeB(const std::string& dir) { makeFiles(dir, 200000); }

    // A chain of `levels` directories named d below `dir`, each made in its
    // parent's open descriptor, so that it may go deeper than any path.
    void chain(const std::string& dir, unsigned levels) {
        int fd = dryRun_ ? -1 : open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (!dryRun_ && fd < 0) die("open", dir);
        for (unsigned level = 1; level <= levels; ++level) {
            const char* name = level == levels ? "deepest.scr" : "file.txt";
            ++totals_.directories;
            ++totals_.files;
            totals_.pathBytes += dir.size() + 2 * level + 1 + std::strlen(name);
            if (level == levels) ++totals_.suspicious;
            if (dryRun_) continue;
            if (mkdirat(fd, "d", 0755) != 0) die("mkdirat", "d at level " + std::to_string(level));
            const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            close(fd);
            fd = next;
            const int file = fd < 0 ? -1 : openat(fd, name, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
            if (file < 0 || close(file) != 0) die("create", std::string(name) + " at level " + std::to_string(level));
        }
        if (fd >= 0) close(fd);
    }

    // A chain of `levels` directories d0, d1, ... below `dir` with two side
    // directories s<level>_0 and s<level>_1 at every level, each holding
    // x.scr; made through open directories, like chain().
    void chainWithSides(const std::string& dir, unsigned levels) {
        int fd = dryRun_ ? -1 : open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (!dryRun_ && fd < 0) die("open", dir);
        std::size_t depthBytes = dir.size();  // the current directory's path length
        for (unsigned level = 0; level < levels; ++level) {
            const std::string number = std::to_string(level);
            for (const char* side : {"_0", "_1"}) {
                const std::string name = "s" + number + side;
                ++totals_.directories;
                ++totals_.files;
                ++totals_.suspicious;
                totals_.pathBytes += depthBytes + 1 + name.size() + std::strlen("/x.scr");
                if (dryRun_) continue;
                if (mkdirat(fd, name.c_str(), 0755) != 0) die("mkdirat", name);
                const int sideFd = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                const int file = sideFd < 0 ? -1 : openat(sideFd, "x.scr", O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
                if (file < 0 || close(file) != 0 || close(sideFd) != 0) die("create", name + "/x.scr");
            }
            if (level + 1 == levels) break;
            const std::string next = "d" + number;
            ++totals_.directories;
            depthBytes += 1 + next.size();
            if (dryRun_) continue;
            if (mkdirat(fd, next.c_str(), 0755) != 0) die("mkdirat", next);
            const int nextFd = openat(fd, next.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (nextFd < 0) die("open", next);
            close(fd);
            fd = nextFd;
        }
        if (fd >= 0) close(fd);
    }

    const Totals& totals() const { return totals_; }

private:
    [[noreturn]] static void die(const char* what, const std::string& path) {
        std::fprintf(stderr, "gen_tree: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
        std::exit(1);
    }

    Random random_;
    bool dryRun_;
    Totals totals_;
};

}  // namespace

int main(int argc, char* argv[]) {
    bool dryRun = false;
    int arg = 1;
    if (arg < argc && std::strcmp(argv[arg], "--dry-run") == 0) {
        dryRun = true;
        ++arg;
    }
    if (argc - arg != 2 || std::strlen(argv[arg]) != 1 || std::strchr("ABCDEF", argv[arg][0]) == nullptr) {
        std::fprintf(stderr, "usage: gen_tree [--dry-run] A|B|C|D|E|F DIR\n");
        return 2;
    }
    const char tree = argv[arg][0];
    std::string root = argv[arg + 1];
    while (root.size() > 1 && root.back() == '/') root.pop_back();

    Generator generator(dryRun);
    generator.makeDirectory(root);
    if (tree == 'A') generator.treeA(root, 0);
    if (tree == 'B') generator.treeB(root);
    if (tree == 'C') generator.chain(root, 1500);
    if (tree == 'D') generator.chain(root, 3000);
    if (tree == 'E') generator.chainWithSides(root, 10000);
    if (tree == 'F') generator.chainWithSides(root, 5000);

    const Totals& t = generator.totals();
    std::printf("tree %c: %llu directories, %llu files, %llu suspicious, mean path %.1f characters\n", tree,
                static_cast<unsigned long long>(t.directories), static_cast<unsigned long long>(t.files),
                static_cast<unsigned long long>(t.suspicious),
                t.files ? static_cast<double>(t.pathBytes) / static_cast<double>(t.files) : 0.0);
    return 0;
}
