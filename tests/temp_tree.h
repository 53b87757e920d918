// A throw-away directory tree for one test: real directories, files, links
// and (POSIX) pipes with exact modes, removed again afterwards; and the path
// texts that the program shows for what lies in it.
#ifndef DRAVELON_TESTS_TEMP_TREE_H
#define DRAVELON_TESTS_TEMP_TREE_H

#ifndef _WIN32
#include <sys/types.h>
#endif

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

/// The path's text as the program shows it: UTF-8 on Windows (converted by
/// the system, not by the program), the native bytes elsewhere.
std::string asText(const std::filesystem::path& path);
/// The path named by `text`, which is UTF-8 on Windows.
std::filesystem::path asPath(const std::string& text);

/// The text of `rest` below the directory text `dir`, joined as the walk
/// joins entries: with "/", or with "\" on Windows, where each "/" in `rest`
/// becomes "\" as well.
std::string joined(const std::string& dir, const std::string& rest);

/// A name whose entry lies in a protected area when the walk meets it in a
/// tree: `name` itself on Windows, where entries are joined with a backslash;
/// elsewhere only a name holding the backslash can be, so "x\" + `name`.
std::string protectedName(const std::string& name);

class TempTree {
public:
    /// Creates a fresh, empty directory: /tmp/dravelon-test-XXXXXX with mode
    /// 0755, so that an unprivileged user can reach what lies below it; on
    /// Windows a new folder in the temporary folder.
    TempTree();
    /// Removes it all. A failure fails the running test.
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::filesystem::path& root() const { return root_; }
    /// root() below which `relative` (parts separated by "/") lies; makes nothing.
    std::filesystem::path path(const std::string& relative) const;
    /// The text of path(relative).
    std::string text(const std::string& relative = "") const { return asText(path(relative)); }

    // Each builder makes one entry at path(relative), after its missing
    // parent directories, and returns its path. Directories get mode 0755,
    // files and pipes 0644, whatever the umask. They throw std::system_error.
    std::filesystem::path dir(const std::string& relative);
    /// An empty file.
    std::filesystem::path file(const std::string& relative);
    /// A symbolic link holding `target` as it is ("/" for separators). On
    /// Windows, where Wine makes no link for the system call, the Linux `ln`
    /// that Wine runs makes it: one run for all the links of a build, since
    /// each Linux program that Wine starts costs a tenth of a second or more.
    std::filesystem::path link(const std::string& relative, const std::string& target);
#ifndef _WIN32
    std::filesystem::path fifo(const std::string& relative);
    /// Sets the mode of path(relative), of the root when `relative` is empty.
    void chmod(const std::string& relative, mode_t mode);
#endif

    /// Makes each of `entries` (a folder where it ends in "/", else a
    /// file), then each link of `links` with its target.
    void build(const std::vector<std::string>& entries,
               const std::vector<std::pair<std::string, std::string>>& links = {});
    /// The mixed example: name/a.txt, name/s.scr and name/d/p.PIF.
    std::filesystem::path example(const std::string& name);
    /// `depth` nested directories root()/name, root()/name/name, ..., each
    /// holding one empty file `file`; returns root()/name. With `sideEvery`,
    /// every sideEvery-th level also holds a side branch: a folder "side"
    /// holding `file`, "x.scr" and 30 more files, and below it a chain of 9
    /// more folders "side", each holding `file`. It is built through open
    /// directories (POSIX) or handles (Windows), so it may go deeper than the
    /// longest path.
    std::filesystem::path chain(int depth, const std::string& file, const std::string& name = "d", int sideEvery = 0);
    /// `depth` nested directories root()/d, root()/d/d, ..., each holding
    /// f.scr and six folders s0 ... s5 of three empty folders t0 ... t2 each,
    /// so that every level is left and entered again many times; returns
    /// root()/d.
    std::filesystem::path wideChain(int depth);

private:
    void makeParents(const std::string& relative);
    /// Makes `links` (path, target) with one Linux `ln` run for all of them
    /// (Windows), where Wine makes no link for the system call.
    void linuxLinks(const std::vector<std::pair<std::string, std::string>>& links);

    std::filesystem::path root_;
};

/// The names (as text) in `dir` in the order its listing yields them.
std::vector<std::string> listingOrder(const std::filesystem::path& dir);

/// The path texts of the files of levels 1 to `levels` of a chain made by
/// TempTree::chain at `top` without side folders, in walk order (each
/// level's file before or after everything below it, as that level's listing
/// orders them), as a walk from `start`, a spelling of `top`, forms them.
/// Reads the chain at any depth.
std::vector<std::string> chainWalkOrder(const std::string& start, const std::filesystem::path& top, int levels,
                                        const std::string& file, const std::string& name = "d");

#endif
