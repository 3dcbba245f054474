// Cutting listen's standard input into bounded lines.
#include "tool/line_splitter.hpp"

namespace vostrel::tool {

std::vector<LineSplitter::Line> LineSplitter::Feed(std::string_view bytes) {
    std::vector<Line> lines;
    while (!bytes.empty()) {
        const std::size_t nl = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, nl);
        if (!discarding_) {
            if (pending_.size() + piece.size() > maxLine_) {
                lines.push_back({{}, true});
                pending_.clear();
                discarding_ = true;
            } else {
                pending_.append(piece);
            }
        }
        if (nl == std::string_view::npos) break;
        if (!discarding_) lines.push_back({std::move(pending_), false});
        pending_.clear();
        discarding_ = false;
        bytes.remove_prefix(nl + 1);
    }
    return lines;
}

std::optional<LineSplitter::Line> LineSplitter::Finish() {
    const bool had = !pending_.empty() && !discarding_;
    discarding_ = false;
    if (!had) return std::nullopt;
    Line last{std::move(pending_), false};
    pending_.clear();
    return last;
}

}  // namespace vostrel::tool
