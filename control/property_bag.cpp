// The in-memory property bag and its text form.
#include "vostrel/property_bag.hpp"

#include <charconv>
#include <cstdint>
#include <istream>
#include <new>
#include <ostream>
#include <streambuf>

namespace vostrel {

namespace {

// Names are one entry whatever their ASCII case.
std::string Folded(std::string_view name) {
    std::string folded(name);
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

bool IsKeyChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool IsPlainName(const String& name) {
    if (name.empty()) return false;
    for (char c : name)
        if (!IsKeyChar(c)) return false;
    return true;
}

void AppendQuoted(std::string& out, const String& s) {
    static const char* hex = "0123456789ABCDEF";
    out += '"';
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c >= 0x20 && c <= 0x7E) {
            out += ch;
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    out += '"';
}

// One entry as the text form writes it, without the line break.
std::string EntryLine(const String& name, const Variant& value) {
    std::string line;
    if (IsPlainName(name))
        line = name;
    else
        AppendQuoted(line, name);
    line += " = ";
    line += TypeName(value.type());
    switch (value.type()) {
        case Variant::Type::Empty:
            break;
        case Variant::Type::Integer:
            line += ' ' + std::to_string(*value.Get<Integer>());
            break;
        case Variant::Type::Long:
            line += ' ' + std::to_string(*value.Get<Long>());
            break;
        case Variant::Type::Boolean:
            line += ' ' + std::to_string(value.Get<Boolean>()->raw());
            break;
        case Variant::Type::String:
            line += ' ';
            AppendQuoted(line, *value.Get<String>());
            break;
    }
    return line;
}

// A name as an error text shows it: quoted, escaped, cut after 40 bytes.
std::string Shown(const String& name) {
    std::string shown;
    AppendQuoted(shown, name.substr(0, 40));
    if (name.size() > 40) shown += "...";
    return shown;
}

}  // namespace

Variant MemoryPropertyBag::ReadProperty(const String& name, const Variant& defaultValue) {
    const Variant* v = Find(name);
    return v ? *v : defaultValue;
}

void MemoryPropertyBag::WriteProperty(const String& name, const Variant& value,
                                      const Variant& defaultValue) {
    if (omitDefaults_ && value == defaultValue) {
        Remove(name);
        return;
    }
    Set(name, value);
}

const Variant* MemoryPropertyBag::Find(const String& name) const {
    const auto it = index_.find(Folded(name));
    return it == index_.end() ? nullptr : &entries_[it->second].second;
}

void MemoryPropertyBag::Set(const String& name, Variant value) {
    // What Save could not write back in one readable line is refused here.
    if (EntryLine(name, value).size() > kMaxLine)
        throw Error(err::kInvalidArgument, "property bag: the entry " + Shown(name) +
                                               " would take more than " + std::to_string(kMaxLine) +
                                               " bytes saved");
    const auto [it, added] = index_.try_emplace(Folded(name), entries_.size());
    if (added) {
        entries_.emplace_back(name, std::move(value));
    } else {
        entries_[it->second] = {name, std::move(value)};
    }
}

bool MemoryPropertyBag::Remove(const String& name) {
    const auto it = index_.find(Folded(name));
    if (it == index_.end()) return false;
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(it->second));
    Reindex();
    return true;
}

void MemoryPropertyBag::Reindex() {
    index_.clear();
    for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(Folded(entries_[i].first), i);
}

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Parses one entry line; an empty result text means success.
struct LineParser {
    std::string_view rest;
    std::string problem;

    void SkipSpaces() {
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
            rest.remove_prefix(1);
    }
    std::string_view Word() {
        std::size_t n = 0;
        while (n < rest.size() && IsKeyChar(rest[n])) ++n;
        std::string_view w = rest.substr(0, n);
        rest.remove_prefix(n);
        return w;
    }
    template <class T>
    bool Number(T& out) {
        SkipSpaces();
        const char* begin = rest.data();
        auto [end, ec] = std::from_chars(begin, begin + rest.size(), out);
        if (ec != std::errc() || end == begin) return false;
        rest.remove_prefix(static_cast<std::size_t>(end - begin));
        return true;
    }
    bool Quoted(String& out) {
        SkipSpaces();
        if (rest.empty() || rest.front() != '"') return false;
        rest.remove_prefix(1);
        while (!rest.empty()) {
            char c = rest.front();
            rest.remove_prefix(1);
            if (c == '"') return true;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (rest.empty()) return false;
            char e = rest.front();
            rest.remove_prefix(1);
            if (e == '"' || e == '\\') {
                out.push_back(e);
            } else if (e == 'x' && rest.size() >= 2 && HexDigit(rest[0]) >= 0 &&
                       HexDigit(rest[1]) >= 0) {
                out.push_back(static_cast<char>(HexDigit(rest[0]) * 16 + HexDigit(rest[1])));
                rest.remove_prefix(2);
            } else {
                return false;
            }
        }
        return false;  // no closing quote
    }

    bool Entry(String& key, Variant& value) {
        SkipSpaces();
        if (!rest.empty() && rest.front() == '"') {
            if (!Quoted(key)) return Fail("expected a double-quoted property name");
        } else {
            key = String(Word());
            if (key.empty()) return Fail("expected a property name");
        }
        SkipSpaces();
        if (rest.empty() || rest.front() != '=') return Fail("expected '=' after the name");
        rest.remove_prefix(1);
        SkipSpaces();
        std::string_view type = Word();
        if (type == "Empty") {
            value = Variant();
        } else if (type == "Integer") {
            Integer n;
            if (!Number(n)) return Fail("expected an Integer (-32768 to 32767)");
            value = n;
        } else if (type == "Long") {
            Long n;
            if (!Number(n)) return Fail("expected a Long");
            value = n;
        } else if (type == "Boolean") {
            Integer n;
            if (!Number(n)) return Fail("expected a Boolean's 16-bit value (-1 is True)");
            value = Boolean(n);
        } else if (type == "String") {
            String s;
            if (!Quoted(s)) return Fail("expected a double-quoted text");
            value = std::move(s);
        } else {
            return Fail("unknown type '" + std::string(type) +
                        "' (Empty, Integer, Long, Boolean or String)");
        }
        SkipSpaces();
        if (!rest.empty()) return Fail("unexpected text after the value");
        return true;
    }
    bool Fail(std::string why) {
        problem = std::move(why);
        return false;
    }
};

}  // namespace

void MemoryPropertyBag::Save(std::ostream& out) const {
    for (const auto& [key, value] : entries_) out << EntryLine(key, value) << '\n';
    out.flush();
    if (!out) throw Error(err::kDeviceIo, "property bag: the stream could not be written");
}

namespace {
enum class LineRead { Line, End, TooLong };

// Reads one line without its line break. A line longer than `limit` is
// refused before more of it is held.
LineRead ReadLine(std::streambuf& in, std::string& line, std::size_t limit) {
    line.clear();
    using Traits = std::streambuf::traits_type;
    for (;;) {
        const Traits::int_type c = in.sbumpc();
        if (Traits::eq_int_type(c, Traits::eof()))
            return line.empty() ? LineRead::End : LineRead::Line;
        if (Traits::to_char_type(c) == '\n') return LineRead::Line;
        if (line.size() == limit) return LineRead::TooLong;
        line.push_back(Traits::to_char_type(c));
    }
}
}  // namespace

void MemoryPropertyBag::Load(std::istream& in) {
    std::streambuf* buffer = in.rdbuf();
    if (!buffer || in.bad())
        throw Error(err::kDeviceIo, "property bag: the stream could not be read");
    // A file that did not open, or a stream an earlier read left failed,
    // holds no saved state: reading it as an empty text would lose the bag.
    if (in.fail())
        throw Error(err::kDeviceIo,
                    "property bag: the stream had failed before it was read (a file that did "
                    "not open?)");
    std::vector<std::pair<String, Variant>> loaded;
    std::unordered_map<std::string, std::uint64_t> index;  // folded name -> its line
    std::string line;
    std::uint64_t number = 0;
    const auto refuse = [&number](const std::string& why) {
        return Error(err::kBadFileFormat,
                     "property bag line " + std::to_string(number) + ": " + why);
    };
    const std::string tooLong = "longer than " + std::to_string(kMaxLine) + " bytes";
    try {
        for (;;) {
            // One byte more than kMaxLine for a CR before the line feed.
            const LineRead read = ReadLine(*buffer, line, kMaxLine + 1);
            if (read == LineRead::End) break;
            ++number;
            if (read == LineRead::TooLong) throw refuse(tooLong);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() > kMaxLine) throw refuse(tooLong);
            std::string_view view(line);
            while (!view.empty() && (view.front() == ' ' || view.front() == '\t'))
                view.remove_prefix(1);
            if (view.empty() || view.front() == '#') continue;
            LineParser parser{view, {}};
            String key;
            Variant value;
            if (!parser.Entry(key, value)) throw refuse(parser.problem);
            // Raw bytes in a quoted text are escaped when saved: what could
            // not be saved back in one line is not taken either.
            if (EntryLine(key, value).size() > kMaxLine)
                throw refuse("the entry would save longer than " + std::to_string(kMaxLine) +
                             " bytes");
            const auto [it, added] = index.try_emplace(Folded(key), number);
            if (!added)
                throw refuse(Shown(key) + " is given twice (first on line " +
                             std::to_string(it->second) + "; names do not depend on case)");
            loaded.emplace_back(std::move(key), std::move(value));
        }
    } catch (const Error&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        // The stream's buffer failed, as getline would report it.
        in.setstate(std::ios::badbit);
    }
    if (in.bad()) throw Error(err::kDeviceIo, "property bag: the stream could not be read");
    in.setstate(std::ios::eofbit);
    entries_ = std::move(loaded);
    Reindex();
}

}  // namespace vostrel
