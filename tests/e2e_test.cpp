// Runs the built program on real trees and compares its standard output and
// standard error byte for byte, and its exit status.
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "expected.h"
#include "temp_tree.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

bool operator==(const Outcome& a, const Outcome& b) {
    return a.status == b.status && a.out == b.out && a.err == b.err;
}

void PrintTo(const Outcome& o, std::ostream* os) {
    *os << "status " << o.status << "\nstdout:\n" << o.out << "stderr:\n" << o.err;
}

struct Options {
    fs::path cwd;                 // the child's working directory, if set
    bool removeCwd = false;       // remove it once the child is inside
    bool unprivileged = false;    // run as nobody when the tests run as root
    rlim_t maxOpenFiles = 0;      // descriptor limit, if set
};

const uid_t kNobody = 65534;

std::string readAll(std::FILE* f) {
    std::string text;
    std::rewind(f);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
    return text;
}

// Runs in the forked child: sets the scene, then becomes the program.
[[noreturn]] void becomeProgram(char* const argv[], int out, int err, const Options& options, bool dropRoot) {
    const char* step = "redirecting output";
    bool ok = ::dup2(out, STDOUT_FILENO) >= 0 && ::dup2(err, STDERR_FILENO) >= 0;
    if (ok && !options.cwd.empty()) {
        step = "entering the working directory";
        ok = ::chdir(options.cwd.c_str()) == 0 && (!options.removeCwd || ::rmdir(options.cwd.c_str()) == 0);
    }
    if (ok && options.maxOpenFiles > 0) {
        step = "setrlimit";
        const rlimit limit{options.maxOpenFiles, options.maxOpenFiles};
        ok = ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
    }
    if (ok && dropRoot) {
        step = "dropping privileges";
        ok = ::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0 &&
             ::setresuid(kNobody, kNobody, kNobody) == 0;
    }
    if (ok) {
        step = "execv";
        ::execv(argv[0], argv);
    }
    const char* reason = std::strerror(errno);
    for (const char* part : {"test child: ", step, ": ", reason, "\n"})
        if (::write(STDERR_FILENO, part, std::strlen(part)) < 0) break;
    ::_exit(127);
}

Outcome run(const std::vector<std::string>& args, Options options = {}) {
    // Root ignores permissions, so an unprivileged run drops to nobody, on a
    // copy of the program in a folder that nobody can reach.
    const bool dropRoot = options.unprivileged && ::geteuid() == 0;
    std::optional<TempTree> copy;
    std::vector<std::string> words{DRAVELON_PROGRAM};
    if (dropRoot) {
        copy.emplace();
        words[0] = copy->path("dravelon").native();
        fs::copy_file(DRAVELON_PROGRAM, words[0]);
        copy->chmod("dravelon", 0755);
        if (options.cwd.empty()) options.cwd = "/";
    }
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::tmpfile(), std::fclose);
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> err(std::tmpfile(), std::fclose);
    if (!out || !err) throw std::system_error(errno, std::generic_category(), "tmpfile");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (pid == 0) becomeProgram(argv.data(), ::fileno(out.get()), ::fileno(err.get()), options, dropRoot);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), readAll(out.get()), readAll(err.get())};
}

Options unprivileged() {
    Options options;
    options.unprivileged = true;
    return options;
}

Options inDirectory(const fs::path& cwd) {
    Options options;
    options.cwd = cwd;
    return options;
}

// Report lines 1 to 5.
std::string banner() {
    const std::string rule(40, '=');
    return rule + "\n              Dravelon\n          Dosya Tarayici v1.0\n" + rule + "\n\n";
}

// Report lines 1 to 7.
std::string head(const std::string& start) { return banner() + "Taraniyor: " + start + "\n\n"; }

std::string report(const std::string& start, const Counters& c, const std::string& section) {
    const std::string rule(40, '=');
    return head(start) + "Tarama tamamlandi.\n\n" +
           "Klasorler kesfedildi: " + std::to_string(c[0]) + "\n" +
           "Dosyalar bulundu:      " + std::to_string(c[1]) + "\n" +
           "Dosyalar analiz edildi: " + std::to_string(c[2]) + "\n" +
           "Erisim nedeniyle atlandi: " + std::to_string(c[3]) + "\n" +
           "Korunan sistem alani: " + std::to_string(c[4]) + "\n" +
           "Supheli: " + std::to_string(c[5]) + "\n\n" + section +
           "\n" + rule + "\nDravelon taramayi sonlandirdi.\n" + rule + "\n";
}

const std::string kNothingAnalysed = "Analiz edilecek dosya bulunamadi.\n";
const std::string kNotFound = "Hata: Belirtilen yol bulunamadi.\n";
const std::string kUnreachable = "Hata: Belirtilen yola erisilemedi.\n";

std::string suspect(const std::string& path, const std::string& reason) {
    return "[SUPHELI] " + path + " -> " + reason + "\n";
}

// The result section of a walk that analysed files; `lines` are its
// suspect() lines, none when nothing was suspicious.
std::string results(const std::string& lines) {
    return "Sonuclar:\n" + std::string(40, '-') + "\n" + (lines.empty() ? "Supheli dosya bulunamadi.\n" : lines);
}

TEST(Program, WorkedExample) {
    TempTree tree;
    const fs::path t = tree.example("T");
    std::string lines;
    for (const std::string& name : listingOrder(t)) {
        if (name == "s.scr") lines += suspect("T/s.scr", kScreenSaverReason);
        if (name == "d") lines += suspect("T/d/p.PIF", kOldExecutableReason);
    }
    EXPECT_EQ(run({"T"}, inDirectory(tree.root())), (Outcome{0, report("T", {2, 3, 3, 0, 0, 2}, results(lines)), ""}));
}

TEST(Program, StartPathThatDoesNotExist) {
    TempTree tree;
    for (const std::string& arg : {tree.path("missing").native(), std::string("--help"), std::string()}) {
        SCOPED_TRACE("argument \"" + arg + "\"");
        EXPECT_EQ(run({arg}, inDirectory(tree.root())), (Outcome{1, head(arg), kNotFound}));
    }
}

TEST(Program, EmptyDirectory) {
    TempTree tree;
    EXPECT_EQ(run({tree.root()}), (Outcome{0, report(tree.root(), {1, 0, 0, 0, 0, 0}, kNothingAnalysed), ""}));
}

TEST(Program, StartsThatAreNotDirectories) {
    TempTree tree;
    const std::string file = tree.file("s.pif");
    const std::string guarded = tree.file("k\\$Recycle.Bin.scr");
    const std::string pipe = tree.fifo("pipe");
    EXPECT_EQ(run({file}), (Outcome{0, report(file, {0, 1, 1, 0, 0, 1}, results(suspect(file, kOldExecutableReason))), ""}));
    EXPECT_EQ(run({guarded}), (Outcome{0, report(guarded, {0, 1, 0, 0, 1, 0}, kNothingAnalysed), ""}));
    EXPECT_EQ(run({pipe}), (Outcome{0, report(pipe, {0, 0, 0, 0, 0, 0}, kNothingAnalysed), ""}));
}

TEST(Program, NoneSuspicious) {
    TempTree tree;
    tree.file("a.txt");
    tree.dir("d");
    tree.file("d/b.scr.bak");
    EXPECT_EQ(run({tree.root()}), (Outcome{0, report(tree.root(), {2, 2, 2, 0, 0, 0}, results("")), ""}));
}

TEST(Program, NoArgumentScansTheWorkingDirectory) {
    TempTree tree;
    const std::string cwd = fs::canonical(tree.dir("w")).native();
    tree.file("w/x.scr");
    EXPECT_EQ(run({}, inDirectory(cwd)),
              (Outcome{0, report(cwd, {1, 1, 1, 0, 0, 1}, results(suspect(cwd + "/x.scr", kScreenSaverReason))), ""}));
}

TEST(Program, OnlyTheFirstArgumentCounts) {
    TempTree tree;
    const std::string t = tree.dir("t");
    tree.file("t/x.PIF");
    EXPECT_EQ(run({t, tree.path("missing"), "--help"}),
              (Outcome{0, report(t, {1, 1, 1, 0, 0, 1}, results(suspect(t + "/x.PIF", kOldExecutableReason))), ""}));
}

TEST(Program, TwoLinksToTheParentFinishAtOnce) {
    TempTree tree;
    tree.dir("a");
    const std::string file = tree.file("a/f.scr");
    tree.link("a/up1", "..");
    tree.link("a/up2", "..");
    EXPECT_EQ(run({tree.root()}),
              (Outcome{0, report(tree.root(), {2, 1, 1, 2, 0, 1}, results(suspect(file, kScreenSaverReason))), ""}));
}

// A chain of `depth` directories, walked with 64 descriptors at most.
void expectChainWalked(int depth) {
    TempTree tree;
    const std::string top = tree.chain(depth, "f");
    const std::uint64_t reached = static_cast<std::uint64_t>(reachableLevels(top, depth));
    const std::uint64_t tooLong = reached < static_cast<std::uint64_t>(depth) ? 1 : 0;
    Options options;
    options.maxOpenFiles = 64;
    EXPECT_EQ(run({top}, options), (Outcome{0, report(top, {reached, reached, reached, tooLong, 0, 0}, results("")), ""}));
}

TEST(Program, ChainOf1500DirectoriesWithFewDescriptors) { expectChainWalked(1500); }

TEST(Program, ChainPastThePathLimitWithFewDescriptors) { expectChainWalked(3000); }

TEST(Program, StartPathThatIsALinkLoop) {
    TempTree tree;
    const std::string loop = tree.link("loop", "loop");
    EXPECT_EQ(run({loop}), (Outcome{2, head(loop), kUnreachable}));
}

TEST(Program, RemovedWorkingDirectory) {
    TempTree tree;
    Options options = inDirectory(tree.dir("gone"));
    options.removeCwd = true;
    EXPECT_EQ(run({}, options), (Outcome{2, banner(), "Hata: Calisma dizini alinamadi.\n"}));
}

// These run as an unprivileged user; the modes deny the owner too, so they
// hold for a test run that is not root as well.

TEST(Permissions, StartPathUnderAFolderTheUserCannotSearch) {
    TempTree tree;
    tree.dir("locked");
    const std::string start = tree.dir("locked/inner");
    tree.file("locked/inner/a.scr");
    tree.chmod("locked", 0600);
    EXPECT_EQ(run({start}, unprivileged()), (Outcome{2, head(start), kUnreachable}));
}

TEST(Permissions, UnreadableSubdirectoryIsOnlyDiscovered) {
    TempTree tree;
    tree.file("ok.txt");
    tree.dir("closed");
    tree.file("closed/hidden.scr");
    tree.dir("closed/sub");
    tree.chmod("closed", 0311);
    EXPECT_EQ(run({tree.root()}, unprivileged()),
              (Outcome{0, report(tree.root(), {2, 1, 1, 0, 0, 0}, results("")), ""}));
}

TEST(Permissions, ListableButNotSearchableDirectory) {
    TempTree tree;
    tree.dir("open");
    const std::string file = tree.file("open/a.scr");
    tree.file("open/b.txt");
    tree.dir("open/sub");
    tree.file("open/sub/c.pif");
    tree.chmod("open", 0644);
    EXPECT_EQ(run({tree.root()}, unprivileged()),
              (Outcome{0, report(tree.root(), {2, 2, 2, 1, 0, 1}, results(suspect(file, kScreenSaverReason))), ""}));
}

}  // namespace
