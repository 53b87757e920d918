// The suspicious files of a walk, kept for the report.
#ifndef DRAVELON_FINDING_LIST_H
#define DRAVELON_FINDING_LIST_H

#include <functional>
#include <string>
#include <string_view>

/// The suspicious files of a walk as a report lists them: path texts with
/// their reasons, in the order they were added. Each path is kept as what it
/// does not share with the path added before it, which in walk order is
/// little more than the names below their common folder, so the memory
/// grows with those names, not with the length of the whole texts.
class FindingList {
public:
    /// Keeps `path` with `reason`, which is empty or one of the walk's reason
    /// texts (kSuspiciousExtensions). Throws std::invalid_argument for any
    /// other reason text. Costs the length of `path`, once.
    void add(std::string_view path, std::string_view reason);

    /// Hands each kept path back whole, with its reason, in the order they
    /// were added. The path's view is valid only during the call; the reason
    /// stays valid. Rebuilding a path costs what it does not share with the
    /// one before.
    void forEach(const std::function<void(std::string_view path, std::string_view reason)>& visit) const;

private:
    // For each path: one byte for its reason (0 for none, else its row of
    // the reason table plus 1); the length it shares with the path before
    // and the length of the rest, each in base 128, lowest digit first, the
    // high bit set on every byte but the last; then the rest's bytes.
    std::string entries_;
    std::string last_;  // the path added last
};

#endif
