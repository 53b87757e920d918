// A throw-away directory tree under /tmp for one test: real directories,
// files, links and pipes, with exact modes, removed again afterwards.
#ifndef DRAVELON_TESTS_TEMP_TREE_H
#define DRAVELON_TESTS_TEMP_TREE_H

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

class TempTree {
public:
    /// Creates a fresh directory /tmp/dravelon-test-XXXXXX with mode 0755, so that
    /// an unprivileged user can reach what lies below it.
    TempTree();
    /// Gives every directory below the root u+rwx again and removes it all. A
    /// failure fails the running test.
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::filesystem::path& root() const { return root_; }
    /// root()/relative; makes nothing.
    std::filesystem::path path(const std::string& relative) const { return root_ / relative; }

    // Each builder makes one entry at root()/relative (its parent must exist),
    // gives it exactly `mode` whatever the umask, and returns its path. They
    // throw std::system_error.
    std::filesystem::path dir(const std::string& relative, mode_t mode = 0755);
    std::filesystem::path file(const std::string& relative, mode_t mode = 0644);
    std::filesystem::path link(const std::string& relative, const std::string& target);
    std::filesystem::path fifo(const std::string& relative);
    void chmod(const std::string& relative, mode_t mode);

    /// The mixed example: name/a.txt, name/s.scr and name/d/p.PIF.
    std::filesystem::path example(const std::string& name);
    /// `depth` nested directories root()/d, root()/d/d, ..., each holding one
    /// empty file `file`; returns root()/d. Built through open directories,
    /// so it may go deeper than the longest path the system accepts.
    std::filesystem::path chain(int depth, const std::string& file);

private:
    std::filesystem::path root_;
};

/// The names in `dir` in the order its listing yields them.
std::vector<std::string> listingOrder(const std::filesystem::path& dir);

/// For each level 1 to `levels` of a chain made by TempTree::chain, whether
/// that level's listing yields `file` before "d". Reads through open
/// directories, so it costs the same at any depth.
std::vector<bool> chainFileFirst(const std::filesystem::path& top, int levels, const std::string& file);

/// How many levels of a chain of `depth` directories starting at `top` have a
/// path that the system accepts (shorter than PATH_MAX, which counts the NUL).
int reachableLevels(const std::filesystem::path& top, int depth);

#endif
