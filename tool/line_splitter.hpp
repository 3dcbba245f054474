// Input cut into lines with a bound on a line's length, for listen's
// standard input: a longer line is refused whole, up to its line break, so
// no tail of it is ever taken for a command.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vostrel::tool {

class LineSplitter {
public:
    struct Line {
        std::string text;      // without its line break
        bool tooLong = false;  // a refused line: text is empty
    };

    explicit LineSplitter(std::size_t maxLine) : maxLine_(maxLine) {}

    /// Takes the next bytes of input and returns the lines they complete,
    /// in order. A line longer than maxLine comes once, as a tooLong line,
    /// as soon as it is longer; the rest of it up to its line break is
    /// dropped as it arrives.
    std::vector<Line> Feed(std::string_view bytes);
    /// End of input: the last line if it had no line break.
    std::optional<Line> Finish();

private:
    std::size_t maxLine_;
    std::string pending_;
    bool discarding_ = false;  // inside a refused line
};

}  // namespace vostrel::tool
