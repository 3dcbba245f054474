// The in-memory property bag and its text form.
#include "vostrel/property_bag.hpp"

#include <algorithm>
#include <charconv>
#include <istream>
#include <ostream>

namespace vostrel {

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
    for (const auto& [key, value] : entries_)
        if (key == name) return &value;
    return nullptr;
}

void MemoryPropertyBag::Set(const String& name, Variant value) {
    for (auto& [key, stored] : entries_)
        if (key == name) {
            stored = std::move(value);
            return;
        }
    entries_.emplace_back(name, std::move(value));
}

bool MemoryPropertyBag::Remove(const String& name) {
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const auto& e) { return e.first == name; });
    if (it == entries_.end()) return false;
    entries_.erase(it);
    return true;
}

namespace {

bool IsKeyChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

void WriteQuoted(std::ostream& out, const String& s) {
    static const char* hex = "0123456789ABCDEF";
    out << '"';
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out << '\\' << ch;
        } else if (c >= 0x20 && c <= 0x7E) {
            out << ch;
        } else {
            out << "\\x" << hex[c >> 4] << hex[c & 15];
        }
    }
    out << '"';
}

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
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
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
        key = String(Word());
        if (key.empty()) return Fail("expected a property name");
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
    for (const auto& [key, value] : entries_) {
        out << key << " = " << TypeName(value.type());
        switch (value.type()) {
            case Variant::Type::Empty: break;
            case Variant::Type::Integer: out << ' ' << *value.Get<Integer>(); break;
            case Variant::Type::Long: out << ' ' << *value.Get<Long>(); break;
            case Variant::Type::Boolean: out << ' ' << value.Get<Boolean>()->raw(); break;
            case Variant::Type::String:
                out << ' ';
                WriteQuoted(out, *value.Get<String>());
                break;
        }
        out << '\n';
    }
    out.flush();
    if (!out) throw Error(err::kDeviceIo, "property bag: the stream could not be written");
}

void MemoryPropertyBag::Load(std::istream& in) {
    std::vector<std::pair<String, Variant>> loaded;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string_view view(line);
        while (!view.empty() && (view.front() == ' ' || view.front() == '\t')) view.remove_prefix(1);
        if (view.empty() || view.front() == '#') continue;
        LineParser parser{view, {}};
        String key;
        Variant value;
        if (!parser.Entry(key, value))
            throw Error(err::kBadFileFormat,
                        "property bag line " + std::to_string(number) + ": " + parser.problem);
        for (const auto& e : loaded)
            if (e.first == key)
                throw Error(err::kBadFileFormat, "property bag line " + std::to_string(number) +
                                                     ": '" + key + "' is given twice");
        loaded.emplace_back(std::move(key), std::move(value));
    }
    if (in.bad()) throw Error(err::kDeviceIo, "property bag: the stream could not be read");
    entries_ = std::move(loaded);
}

}  // namespace vostrel
