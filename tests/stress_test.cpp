// A tree that changes while it is walked: a child process keeps creating,
// removing, renaming and replacing files, directories, links and FIFOs, while
// the program walks the tree again and again. Every run must end normally
// with a complete, self-consistent report.
//
// DRAVELON_STRESS_SECONDS sets how long the test runs (default 12).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "expected.h"
#include "run_program.h"
#include "temp_tree.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// Names that the changing tree is made of: plain, suspicious, protected.
const char* const kNames[] = {"a", "b", "c.scr", "D.PIF", "e.txt", "f", "x\\$Recycle.Bin", "g.Scr"};

// Creates an empty file unless something is in the way. Never blocks: a FIFO
// that has taken the name refuses a writer without a reader.
void makeFileQuietly(const fs::path& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
}

// A random path one to three names below `root`.
fs::path randomPath(const fs::path& root, std::mt19937& rng) {
    fs::path path = root;
    const unsigned depth = 1 + rng() % 3;
    for (unsigned i = 0; i < depth; ++i) path /= kNames[rng() % std::size(kNames)];
    return path;
}

// True when `path`'s folder, links resolved, is `root` or lies below it. The
// tree's links all lead inside it, so this only guards against a mistake in
// the changer reaching files outside the test's own folder.
bool insideTree(const fs::path& path, const fs::path& canonicalRoot) {
    std::error_code ec;
    const fs::path folder = fs::weakly_canonical(path.parent_path(), ec);
    if (ec) return false;
    auto inFolder = folder.begin();
    for (const fs::path& name : canonicalRoot) {
        if (inFolder == folder.end() || *inFolder != name) return false;
        ++inFolder;
    }
    return true;
}

// One change to the tree. Failures (a parent that is gone, a name in use)
// are part of the game and ignored. Links lead to a name in the link's own
// folder, or by absolute path to `root` or `root`/a, wherever a rename takes
// them: so they never leave the tree, and the walk stays small whatever the
// tree looks like (a link to `root` is always a loop that the walk refuses,
// and each link to `root`/a adds one more walk of that folder at most).
void changeTree(const fs::path& root, const fs::path& canonicalRoot, std::mt19937& rng) {
    std::error_code ec;
    const fs::path path = randomPath(root, rng);
    if (!insideTree(path, canonicalRoot)) return;
    switch (rng() % 10) {
    case 0:
    case 1:
        makeFileQuietly(path);
        break;
    case 2:
        fs::create_directory(path, ec);
        break;
    case 3:  // a directory becomes a file of the same name, and back
        if (fs::is_directory(fs::symlink_status(path, ec))) {
            fs::remove_all(path, ec);
            makeFileQuietly(path);
        } else {
            fs::remove(path, ec);
            fs::create_directory(path, ec);
        }
        break;
    case 4: {  // a link to a file, to nowhere, or to itself
        static const char* const kTargets[] = {"e.txt", "c.scr", "nowhere", nullptr};
        const char* target = kTargets[rng() % std::size(kTargets)];
        fs::remove_all(path, ec);
        fs::create_symlink(target ? fs::path(target) : path.filename(), path, ec);
        break;
    }
    case 5:  // a directory, or anything else, becomes a link to a directory
        fs::remove_all(path, ec);
        fs::create_directory_symlink(rng() % 2 ? root : root / "a", path, ec);
        break;
    case 6:  // a link becomes a directory
        if (fs::is_symlink(fs::symlink_status(path, ec))) {
            fs::remove(path, ec);
            fs::create_directory(path, ec);
        }
        break;
    case 7: {
        const fs::path to = randomPath(root, rng);
        if (insideTree(to, canonicalRoot)) fs::rename(path, to, ec);
        break;
    }
    case 8:
        fs::remove_all(path, ec);
        break;
    default:
        fs::remove_all(path, ec);
        mkfifo(path.c_str(), 0644);
        break;
    }
}

// Changes the tree until `until`, then writes how many changes it made.
[[noreturn]] void runChanger(const fs::path& root, Clock::time_point until, unsigned seed, int countFd) {
    std::mt19937 rng(seed);
    const fs::path canonicalRoot = fs::canonical(root);
    unsigned long changes = 0;
    while (Clock::now() < until) {
        changeTree(root, canonicalRoot, rng);
        ++changes;
        if (changes % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    const std::string count = std::to_string(changes);
    [[maybe_unused]] const ssize_t written = write(countFd, count.data(), count.size());
    _exit(0);
}

// The changer process, ended and reaped when the test leaves, however it leaves.
class Changer {
public:
    Changer(const fs::path& root, Clock::time_point until, unsigned seed) {
        int fds[2];
        if (pipe(fds) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
        pid_ = fork();
        if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
        if (pid_ == 0) {
            close(fds[0]);
            runChanger(root, until, seed, fds[1]);
        }
        close(fds[1]);
        countFd_ = fds[0];
    }
    Changer(const Changer&) = delete;
    Changer& operator=(const Changer&) = delete;
    ~Changer() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(countFd_);
    }
    /// Waits for the changer to reach its deadline; the number of changes made.
    unsigned long finish() {
        std::string count;
        char buffer[32];
        for (ssize_t got; (got = read(countFd_, buffer, sizeof buffer)) > 0;) count.append(buffer, static_cast<std::size_t>(got));
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "changer ended with status " << status;
        return count.empty() ? 0 : std::stoul(count);
    }

private:
    pid_t pid_ = -1;
    int countFd_ = -1;
};

bool endsWithFolded(const std::string& text, const std::string& lowerSuffix) {
    if (text.size() < lowerSuffix.size()) return false;
    for (std::size_t i = 0; i < lowerSuffix.size(); ++i) {
        char c = text[text.size() - lowerSuffix.size() + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lowerSuffix[i]) return false;
    }
    return true;
}

// Every way a single run can go wrong; empty when it went right.
std::string checkRun(const Outcome& run, const std::string& root) {
    if (run.timedOut) return "the run did not end within its time limit";
    if (run.status != 0) return "exit status " + std::to_string(run.status);
    if (!run.err.empty()) return "standard error: " + run.err;
    std::string problem;
    const std::optional<ParsedReport> report = parseReport(run.out, root, problem);
    if (!report) return "incomplete report: " + problem;
    const ScanStatistics& c = report->counters;
    std::ostringstream why;
    if (c.directoriesDiscovered == 0) why << "the start directory was not counted; ";
    // Every file found is either analysed or protected (a path text never
    // fails to render here). Protected directories count as protected too, so
    // analysed + protected equals found only while no protected directory is
    // met, and exceeds it by their number otherwise.
    if (c.filesAnalyzed > c.filesFound) why << "analysed > found; ";
    if (c.filesFound - std::min(c.filesFound, c.filesAnalyzed) > c.protectedSkipped)
        why << "found files neither analysed nor protected; ";
    if (c.suspiciousFound != report->lines.size())
        why << "Supheli " << c.suspiciousFound << " but " << report->lines.size() << " [SUPHELI] lines; ";
    if (report->nothingToAnalyse != (c.filesAnalyzed == 0)) why << "\"Analiz edilecek dosya bulunamadi.\" with " << c.filesAnalyzed << " analysed; ";
    if (report->noneSuspicious != (c.filesAnalyzed > 0 && c.suspiciousFound == 0)) why << "\"Supheli dosya bulunamadi.\" misplaced; ";
    for (const SuspiciousLine& line : report->lines) {
        const bool scr = endsWithFolded(line.path, ".scr");
        const bool pif = endsWithFolded(line.path, ".pif");
        if (line.path.compare(0, root.size() + 1, root + "/") != 0 || (!scr && !pif) ||
            line.reason != (scr ? kScreenSaverReason : kOldExecutableReason))
            why << "result line for " << line.path << " -> " << line.reason << "; ";
    }
    return why.str();
}

int stressSeconds() {
    const char* setting = std::getenv("DRAVELON_STRESS_SECONDS");
    const int seconds = setting ? std::atoi(setting) : 12;
    return seconds > 0 ? seconds : 12;
}

TEST(ChangingTree, EveryWalkEndsWithACompleteConsistentReport) {
    TempTree tree;
    const fs::path root = tree.dir("tree");
    const unsigned seed = 20240601;
    const auto until = Clock::now() + std::chrono::seconds(stressSeconds());

    Changer changer(root, until, seed);
    unsigned runs = 0;
    std::vector<std::string> failures;
    std::set<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t>> outcomes;
    while (Clock::now() < until && failures.size() < 3) {
        RunOptions options;
        options.timeout = std::chrono::seconds(10);
        const Outcome run = runDravelon({root.string()}, options);
        ++runs;
        const std::string problem = checkRun(run, root.string());
        if (!problem.empty()) {
            failures.push_back("run " + std::to_string(runs) + ": " + problem + "\n--- standard output ---\n" + run.out);
            continue;
        }
        std::string ignored;
        const ScanStatistics c = parseReport(run.out, root.string(), ignored)->counters;
        outcomes.insert({c.directoriesDiscovered, c.filesFound, c.accessSkipped, c.protectedSkipped, c.suspiciousFound});
    }
    const unsigned long changes = changer.finish();

    for (const std::string& failure : failures) ADD_FAILURE() << failure;
    std::cout << "[ stress   ] " << runs << " walks, " << changes << " changes to the tree, " << outcomes.size()
              << " different outcomes (changer seed " << seed << ")\n";
    EXPECT_GE(runs, 5u);
    EXPECT_GE(changes, 1000u) << "the tree hardly changed";
    EXPECT_GE(outcomes.size(), 3u) << "the walks did not see the tree change";
}

}  // namespace
