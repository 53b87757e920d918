#include "finding_list.h"

#include <cstring>
#include <iterator>
#include <stdexcept>

#include "scanner.h"

namespace {

// The length of the beginning that `a` and `b` share, compared in ever
// smaller blocks: the cost of a long shared beginning is one pass of the
// library's block comparison.
std::size_t sharedLength(std::string_view a, std::string_view b) {
    const std::size_t size = a.size() < b.size() ? a.size() : b.size();
    std::size_t shared = 0;
    for (const std::size_t block : {1024, 32, 1})
        while (shared + block <= size && std::memcmp(a.data() + shared, b.data() + shared, block) == 0)
            shared += block;
    return shared;
}

void appendNumber(std::string& bytes, std::size_t number) {
    for (; number >= 0x80; number >>= 7) bytes += static_cast<char>(0x80 | (number & 0x7F));
    bytes += static_cast<char>(number);
}

std::size_t readNumber(std::string_view bytes, std::size_t& at) {
    std::size_t number = 0;
    for (unsigned shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(bytes[at++]);
        number |= static_cast<std::size_t>(byte & 0x7F) << shift;
        if (byte < 0x80) return number;
    }
}

}  // namespace

void FindingList::add(std::string_view path, std::string_view reason) {
    std::size_t row = 0;
    if (!reason.empty()) {
        while (row < std::size(kSuspiciousExtensions) && reason != kSuspiciousExtensions[row].reason) ++row;
        if (row == std::size(kSuspiciousExtensions)) throw std::invalid_argument("not a reason text of the walk");
        ++row;
    }
    const std::size_t shared = sharedLength(last_, path);
    entries_ += static_cast<char>(row);
    appendNumber(entries_, shared);
    appendNumber(entries_, path.size() - shared);
    entries_.append(path.substr(shared));
    last_.resize(shared);
    last_.append(path.substr(shared));
}

void FindingList::forEach(const std::function<void(std::string_view path, std::string_view reason)>& visit) const {
    std::string path;
    for (std::size_t at = 0; at < entries_.size();) {
        const auto row = static_cast<unsigned char>(entries_[at++]);
        const std::size_t shared = readNumber(entries_, at);
        const std::size_t rest = readNumber(entries_, at);
        path.resize(shared);
        path.append(entries_, at, rest);
        at += rest;
        visit(path, row == 0 ? std::string_view() : kSuspiciousExtensions[row - 1].reason);
    }
}
