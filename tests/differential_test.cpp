// GNU find as an independent judge. For every seed of a fixed list, a random
// tree is built; the program walks it, and GNU find walks it too, following
// links and pruning protected names. From find's output the test derives the
// whole report that the program must print: the six counters and the
// suspicious paths in walk order. They must agree byte for byte.
//
// DRAVELON_DIFF_SEED=N replays one seed alone.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "expected.h"
#include "run_program.h"
#include "temp_tree.h"

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------- trees

const char* const kProtectedPatterns[] = {"\\System Volume Information", "\\$Recycle.Bin", "\\Windows\\System32\\config"};

class TreeBuilder {
public:
    // Builds in `tree`, at its entry `name`.
    TreeBuilder(TempTree& tree, const std::string& name, unsigned seed) : tree_(tree), root_(tree.path(name)), rng_(seed) {}

    void build() {
        tree_.dir(relative(root_));
        dirs_.push_back(root_);
        fill(root_, 0);
        if (chance(30)) deepBranch();
        const unsigned links = below(7);
        for (unsigned i = 0; i < links; ++i) addLink();
    }

private:
    unsigned below(unsigned n) { return static_cast<unsigned>(rng_() % n); }
    bool chance(unsigned percent) { return below(100) < percent; }
    std::string relative(const fs::path& path) const { return path.lexically_relative(tree_.root()).native(); }

    template <typename T, std::size_t N>
    const T& pick(const T (&items)[N]) { return items[below(N)]; }

    std::string mixCase(std::string text) {
        for (char& c : text)
            if (std::isalpha(static_cast<unsigned char>(c)) && chance(50))
                c = static_cast<char>(std::isupper(static_cast<unsigned char>(c)) ? std::tolower(c) : std::toupper(c));
        return text;
    }

    std::string randomName() {
        static const char* const kOddNames[] = {
            ".scr", ".pif", "x.", "...", "..scr", ".scr.scr", ".hidden", "a..pif", "trail.scr ", "x.scr.txt",
            "x.scrx", "x.sc", "archive.tar.scr", "a\\b", "\\$Recycle", "\\Windows\\System32\\conf", "sys volume information",
        };
        static const char* const kExtensions[] = {"", "", ".scr", ".scr", ".pif", ".pif", ".txt", ".exe", ".", ".s"};
        static const char* const kAround[] = {"", "", "x", "a", "Q ", "uration", ".scr", " old"};
        static const char kLetters[] = "abcxyzABCXYZ019 -_.";
        const unsigned roll = below(100);
        if (roll < 12) return mixCase(pick(kOddNames));
        if (roll < 22) return std::string(pick(kAround)) + mixCase(pick(kProtectedPatterns)) + pick(kAround);
        std::string name;
        const unsigned length = 1 + below(6);
        for (unsigned i = 0; i < length; ++i) name += kLetters[below(sizeof kLetters - 1)];
        name += mixCase(pick(kExtensions));
        if (name == "." || name == ".." || name.find_first_not_of(' ') == std::string::npos) name = "n" + name;
        return name;
    }

    // A name not yet used in `dir`.
    fs::path freshPath(const fs::path& dir) {
        for (;;) {
            const fs::path path = dir / randomName();
            std::error_code ec;
            if (!fs::exists(fs::symlink_status(path, ec))) return path;
        }
    }

    void fill(const fs::path& dir, unsigned depth) {
        const unsigned entries = below(6) + (depth == 0 ? 3 : 0);
        for (unsigned i = 0; i < entries; ++i) {
            const fs::path path = freshPath(dir);
            const unsigned roll = below(100);
            if (roll < 25 && depth < 4) {
                tree_.dir(relative(path));
                dirs_.push_back(path);
                fill(path, depth + 1);
            } else if (roll < 32) {
                tree_.fifo(relative(path));
                fifos_.push_back(path);
            } else {
                tree_.file(relative(path));
                files_.push_back(path);
            }
        }
    }

    // A chain of 10 to 40 nested directories with a file or two at the bottom.
    void deepBranch() {
        static const char* const kChainNames[] = {"d", "D.scr", "e", "p.PIF"};
        fs::path path = dirs_[below(static_cast<unsigned>(dirs_.size()))];
        const unsigned depth = 10 + below(31);
        for (unsigned i = 0; i < depth; ++i) {
            path /= pick(kChainNames);
            std::error_code ec;
            if (!fs::create_directory(path, ec)) return;  // the name is taken
            dirs_.push_back(path);
        }
        tree_.file(relative(path / mixCase("end.scr")));
        if (chance(50)) tree_.file(relative(path / "end.txt"));
    }

    // A link to a file, a FIFO or nowhere, to itself, or (three at most, so
    // that the walks stay small) to a directory, which may be an ancestor of
    // the link and so close a loop.
    void addLink() {
        const fs::path dir = dirs_[below(static_cast<unsigned>(dirs_.size()))];
        const fs::path link = freshPath(dir);
        const unsigned roll = below(100);
        std::error_code ec;
        if (roll < 35 && !files_.empty()) {
            const fs::path& target = files_[below(static_cast<unsigned>(files_.size()))];
            fs::create_symlink(chance(50) ? target : fs::relative(target, dir), link, ec);
        } else if (roll < 65 && dirLinks_ < 3) {
            ++dirLinks_;
            fs::create_directory_symlink(dirs_[below(static_cast<unsigned>(dirs_.size()))], link, ec);
        } else if (roll < 75 && !fifos_.empty()) {
            fs::create_symlink(fifos_[below(static_cast<unsigned>(fifos_.size()))], link, ec);
        } else if (roll < 85) {
            fs::create_symlink(link.filename(), link, ec);
        } else {
            fs::create_symlink(dir / "nowhere", link, ec);
        }
        if (ec) throw fs::filesystem_error("symlink", link, ec);
    }

    TempTree& tree_;
    fs::path root_;
    std::mt19937 rng_;
    std::vector<fs::path> dirs_;
    std::vector<fs::path> files_;
    std::vector<fs::path> fifos_;
    unsigned dirLinks_ = 0;
};

// ---------------------------------------------------------------- find

// One entry that find printed: how it classed it, its kind and its path.
struct Found {
    char verdict;  // 'P' protected, 'S' *.scr, 'I' *.pif, 'N' other
    char kind;     // find's %y with links followed: d, f, p, l (broken link), ...
    bool link;     // the entry itself is a link
    std::string identity;  // find's %D:%i, links followed
    std::string path;
};

std::string folded(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Reads a name that find quoted in a message: 'text', with \\ and \' inside.
bool readQuoted(const std::string& line, std::size_t& at, std::string& text) {
    if (at >= line.size() || line[at] != '\'') return false;
    for (++at; at < line.size(); ++at) {
        if (line[at] == '\'') {
            ++at;
            return true;
        }
        if (line[at] == '\\') {
            if (++at == line.size() || (line[at] != '\\' && line[at] != '\'')) return false;
        }
        text += line[at];
    }
    return false;
}

// The walk, the counters and the report that find's view of the tree implies.
//
// Where the two tools differ by design, the derivation follows the program:
//  - A name that is only a dot and the extension (".scr", ".PIF") has no
//    extension for the program, as for the standard path rules (a leading dot
//    starts a hidden name, not an extension), while find's -iname '*.scr'
//    matches it. Such a file counts as analysed but not suspicious.
//  - find reports a link back to a directory on the current path as a file
//    system loop and does not visit it; the program counts such a directory
//    as skipped for access. But the program tests a directory's name for
//    protection before it looks for a loop, while find finds the loop first:
//    a looping directory with a protected name counts as protected.
//  - find reports an entry whose links lead round in a circle ("Too many
//    levels of symbolic links"); the program cannot tell its kind and counts
//    it as skipped for access.
//  - find walks a directory on every path that leads to it. Below links the
//    program walks each directory once: a directory reached through a link,
//    or below one, that was walked there before (in walk order, which is
//    find's) counts as discovered and nothing else, and what find met below
//    it is left out.
struct Judgement {
    ScanStatistics counters{};
    std::vector<SuspiciousLine> lines;
    std::string problem;  // find said something that the test does not understand
    unsigned loops = 0;             // directories on the current path, met again
    unsigned repeats = 0;           // directories walked below links before, met again there
    unsigned circles = 0;           // links leading round in a circle
    unsigned extensionOnly = 0;     // files named only ".scr" or ".pif"
};

// The path of the directory that holds `path`.
std::string parentOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

Judgement judge(const std::string& root, const std::vector<Found>& found, const std::string& findErrors) {
    Judgement j;
    j.counters.directoriesDiscovered = 1;  // the start directory
    // The directories that the program walks, and whether each lies below a
    // link; what find met in any other directory the program never meets.
    std::map<std::string, bool> walked = {{root, false}};
    std::set<std::string> walkedBelowLinks;
    for (const Found& entry : found) {
        if (entry.path == root) continue;
        const auto parent = walked.find(parentOf(entry.path));
        if (parent == walked.end()) continue;
        if (entry.verdict == 'P') {
            if (entry.kind == 'f') ++j.counters.filesFound;
            if (entry.kind == 'd' || entry.kind == 'f') ++j.counters.protectedSkipped;
        } else if (entry.kind == 'd') {
            const bool belowLink = parent->second || entry.link;
            ++j.counters.directoriesDiscovered;
            if (belowLink && !walkedBelowLinks.insert(entry.identity).second) {
                ++j.repeats;
                continue;
            }
            walked.emplace(entry.path, belowLink);
        } else if (entry.kind == 'f') {
            ++j.counters.filesFound;
            ++j.counters.filesAnalyzed;
            const std::string name = folded(baseName(entry.path));
            if (name == ".scr" || name == ".pif") ++j.extensionOnly;
            if (entry.verdict != 'N' && name != ".scr" && name != ".pif") {
                ++j.counters.suspiciousFound;
                j.lines.push_back({entry.path, entry.verdict == 'S' ? kScreenSaverReason : kOldExecutableReason});
            }
        }
    }
    std::size_t begin = 0;
    while (begin < findErrors.size()) {
        std::size_t end = findErrors.find('\n', begin);
        if (end == std::string::npos) end = findErrors.size();
        const std::string line = findErrors.substr(begin, end - begin);
        begin = end + 1;
        // Each message names its entry; one below a directory that the
        // program does not walk is left out.
        const std::string loop = "find: File system loop detected; ";
        const std::string circle = ": Too many levels of symbolic links";
        std::string loopPath, circlePath;
        std::size_t loopAt = loop.size(), circleAt = 6;
        if (line.compare(0, loop.size(), loop) == 0 && readQuoted(line, loopAt, loopPath)) {
            if (walked.count(parentOf(loopPath)) == 0) continue;
            const std::string name = folded(baseName(loopPath));
            const bool isProtected = std::any_of(std::begin(kProtectedPatterns), std::end(kProtectedPatterns),
                                                 [&](const char* p) { return name.find(folded(p)) != std::string::npos; });
            ++(isProtected ? j.counters.protectedSkipped : j.counters.accessSkipped);
            ++j.loops;
        } else if (line.compare(0, 6, "find: ") == 0 && readQuoted(line, circleAt, circlePath) &&
                   line.compare(circleAt, std::string::npos, circle) == 0) {
            if (walked.count(parentOf(circlePath)) == 0) continue;
            ++j.counters.accessSkipped;
            ++j.circles;
        } else {
            j.problem += "find said: " + line + "\n";
        }
    }
    return j;
}

// Runs GNU find on `root` the way the program walks: links followed, names
// holding a protected pattern (in any letter case) pruned and marked.
std::vector<Found> runFind(const std::string& root, std::string& errors) {
    // A link is marked with an "L" before the record.
    std::vector<std::string> argv = {"find", "-L", root, "(", "-xtype", "l", "-printf", "L", "-o", "-true", ")", "("};
    for (const char* pattern : kProtectedPatterns) {
        std::string glob = "*";
        for (const char* c = pattern; *c; ++c) glob += *c == '\\' ? std::string("\\\\") : std::string(1, *c);
        argv.insert(argv.end(), {"-iname", glob + "*", "-o"});
    }
    argv.back() = ")";
    argv.insert(argv.end(), {"-printf", "P%y %D:%i %p\\0", "-prune", "-o", "-iname", "*.scr", "-printf", "S%y %D:%i %p\\0",
                             "-o", "-iname", "*.pif", "-printf", "I%y %D:%i %p\\0", "-o", "-printf", "N%y %D:%i %p\\0"});
    RunOptions options;
    options.env = {"LC_ALL=C"};
    const Outcome run = runProgram(argv, options);
    errors = run.err;
    std::vector<Found> found;
    std::size_t begin = 0;
    while (begin < run.out.size()) {
        const std::size_t end = run.out.find('\0', begin);
        std::string record = run.out.substr(begin, end - begin);
        const bool link = record.compare(0, 1, "L") == 0;
        if (link) record.erase(0, 1);
        const std::size_t space = record.find(' ', 3);
        if (end == std::string::npos || record.size() < 4 || record[2] != ' ' || space == std::string::npos) {
            errors += "unreadable output of find\n";
            break;
        }
        found.push_back({record[0], record[1], link, record.substr(3, space - 3), record.substr(space + 1)});
        begin = end + 1;
    }
    return found;
}

// The program's walk order is the listing order, never sorted. So is find's,
// as long as it does not sort either (GNU find sorts only huge directories):
// confirm it, so that a difference in order is never blamed on the program.
std::string checkFindFollowsListingOrder(const std::vector<Found>& found) {
    std::map<std::string, std::vector<std::string>> children;
    for (const Found& entry : found) {
        const std::size_t slash = entry.path.rfind('/');
        children[entry.path.substr(0, slash)].push_back(entry.path.substr(slash + 1));
    }
    for (const Found& entry : found) {
        if (entry.kind != 'd' || entry.verdict == 'P') continue;
        const std::vector<std::string>& seen = children[entry.path];
        std::vector<std::string> listed;
        for (const std::string& name : listingOrder(entry.path))
            if (std::find(seen.begin(), seen.end(), name) != seen.end()) listed.push_back(name);
        if (listed != seen) return "find did not walk " + entry.path + " in listing order";
    }
    return "";
}

// ---------------------------------------------------------------- test

// What the trees held, added up, to show that they hold what they should.
struct Tally {
    ScanStatistics counters{};
    unsigned loops = 0;
    unsigned repeats = 0;
    unsigned circles = 0;
    unsigned extensionOnly = 0;
    unsigned fifos = 0;
    unsigned brokenLinks = 0;
};

// Lets both tools walk the tree at `root`; empty when they agree.
std::string compareOnTree(const fs::path& root, Tally& tally) {
    std::string findErrors;
    const std::vector<Found> found = runFind(root.string(), findErrors);
    for (const Found& entry : found) {
        tally.fifos += entry.kind == 'p';
        tally.brokenLinks += entry.kind == 'l';
    }
    const Outcome run = runDravelon({root.string()});

    if (found.empty() || found.front().path != root.string() || found.front().kind != 'd') return "find did not list the tree";
    if (const std::string order = checkFindFollowsListingOrder(found); !order.empty()) return order;
    const Judgement expected = judge(root.string(), found, findErrors);
    if (!expected.problem.empty()) return expected.problem;
    const ScanStatistics& c = expected.counters;
    tally.counters.directoriesDiscovered += c.directoriesDiscovered;
    tally.counters.filesFound += c.filesFound;
    tally.counters.filesAnalyzed += c.filesAnalyzed;
    tally.counters.accessSkipped += c.accessSkipped;
    tally.counters.protectedSkipped += c.protectedSkipped;
    tally.counters.suspiciousFound += c.suspiciousFound;
    tally.loops += expected.loops;
    tally.repeats += expected.repeats;
    tally.circles += expected.circles;
    tally.extensionOnly += expected.extensionOnly;
    if (run.timedOut || run.status != 0 || !run.err.empty())
        return "the program ended with status " + std::to_string(run.status) + (run.timedOut ? " (timed out)" : "") +
               ", standard error: " + run.err;
    const std::string want = report(root.string(), expected.counters, expected.lines);
    if (run.out != want) {
        std::string problem;
        const std::optional<ParsedReport> got = parseReport(run.out, root.string(), problem);
        std::ostringstream why;
        why << "find implies " << expected.counters << ", the program reported "
            << (got ? ::testing::PrintToString(got->counters) : "an incomplete report (" + problem + ")")
            << "\n--- find's messages ---\n" << findErrors << "--- expected ---\n" << want << "--- printed ---\n"
            << run.out;
        return why.str();
    }
    return "";
}

std::vector<unsigned> seeds() {
    if (const char* one = std::getenv("DRAVELON_DIFF_SEED")) return {static_cast<unsigned>(std::strtoul(one, nullptr, 10))};
    std::vector<unsigned> all;
    for (unsigned seed = 1; seed <= 300; ++seed) all.push_back(seed);
    return all;
}

// Builds the trees of `group` side by side in `root`, and lets both tools
// walk them together.
std::string compareOnTrees(TempTree& tree, const fs::path& root, const std::vector<unsigned>& group, Tally& tally) {
    fs::create_directory(root);
    for (unsigned seed : group) TreeBuilder(tree, root.filename().native() + "/tree" + std::to_string(seed), seed).build();
    const std::string problem = compareOnTree(root, tally);
    std::error_code ec;
    fs::remove_all(root, ec);
    if (ec) throw fs::filesystem_error("cannot remove the trees", root, ec);
    return problem;
}

// The trees are walked ten at a time, which saves most of the cost of
// starting the two programs. When a group disagrees, each of its trees is
// walked alone to name the seed that shows the difference.
TEST(AgainstFind, RandomTreesGiveTheSameReport) {
    TempTree tree;
    const fs::path root = tree.path("trees");
    Tally tally;
    unsigned failed = 0;
    const std::vector<unsigned> list = seeds();
    for (std::size_t first = 0; first < list.size() && failed < 5; first += 10) {
        const std::vector<unsigned> group(list.begin() + first, list.begin() + std::min(first + 10, list.size()));
        const std::string problem = compareOnTrees(tree, root, group, tally);
        if (problem.empty()) continue;
        unsigned named = 0;
        for (unsigned seed : group) {
            Tally ignored;
            const std::string alone = compareOnTrees(tree, root, {seed}, ignored);
            if (alone.empty()) continue;
            ++named;
            ADD_FAILURE() << "seed " << seed << " (replay with DRAVELON_DIFF_SEED=" << seed << "): " << alone;
        }
        if (named == 0) ADD_FAILURE() << "seeds " << group.front() << " to " << group.back() << " together: " << problem;
        failed += std::max(named, 1u);
    }
    std::cout << "[ find     ] " << list.size() << " trees, in all " << tally.counters << ", " << tally.loops << " loops, "
              << tally.repeats << " directories met again below links, " << tally.circles << " circular links, " << tally.brokenLinks << " broken links, " << tally.fifos
              << " FIFOs, " << tally.extensionOnly << " files named only by an extension\n";
    if (list.size() > 1 && failed == 0) {
        // The trees must hold every case that they are meant to.
        EXPECT_GT(tally.counters.suspiciousFound, 0u);
        EXPECT_GT(tally.counters.protectedSkipped, 0u);
        EXPECT_GT(tally.loops, 0u);
        EXPECT_GT(tally.repeats, 0u);
        EXPECT_GT(tally.circles, 0u);
        EXPECT_GT(tally.brokenLinks, 0u);
        EXPECT_GT(tally.fifos, 0u);
        EXPECT_GT(tally.extensionOnly, 0u);
    }
}

}  // namespace
