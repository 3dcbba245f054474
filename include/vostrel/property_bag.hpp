// The host's property bag: where the control's three persisted properties
// ("Connection", "ErrorMessage", "PingNXT") are saved and restored.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vostrel/variant.hpp"

namespace vostrel {

/// What the control needs of a property bag. Both operations may throw; the
/// control's persistence steps let such an error out unchanged.
class PropertyBag {
public:
    virtual ~PropertyBag() = default;
    /// The value stored under `name`, or `defaultValue` when there is none.
    virtual Variant ReadProperty(const String& name, const Variant& defaultValue) = 0;
    /// Stores `value` under `name`. The bag may leave out a value equal to
    /// `defaultValue`, since reading then yields it through the default.
    virtual void WriteProperty(const String& name, const Variant& value,
                               const Variant& defaultValue) = 0;
};

/// A property bag in memory, which a host can also keep in a file.
///
/// Names are compared without regard to ASCII case, as a container's bag
/// compares them: "connection" and "Connection" are one entry (Set keeps
/// the place of the first and takes the latest spelling). Any other byte
/// string is a name, the empty one included.
///
/// Text form, one entry a line, in the order written:
///     Name = Type value
/// with Type one of Empty, Integer, Long, Boolean (its raw 16-bit value) or
/// String (double-quoted; \\, \" and \xHH escapes, every other byte from
/// space to '~' as it is). A name of letters, digits and '_' is written as
/// it is; any other name (empty, with spaces, '=', '#', line breaks, ...)
/// is double-quoted like a String. Blank lines and lines starting with '#'
/// are skipped. No line is longer than kMaxLine bytes.
class MemoryPropertyBag : public PropertyBag {
public:
    /// The longest line of the text form, without its line break (1 MiB).
    /// Set refuses an entry that would save longer; Load refuses a longer line.
    static constexpr std::size_t kMaxLine = 1024 * 1024;

    /// `omitDefaults`: WriteProperty leaves out (and removes) a value equal
    /// to its default, as a container's bag may.
    explicit MemoryPropertyBag(bool omitDefaults = false) : omitDefaults_(omitDefaults) {}

    Variant ReadProperty(const String& name, const Variant& defaultValue) override;
    /// Throws as Set does.
    void WriteProperty(const String& name, const Variant& value,
                       const Variant& defaultValue) override;

    /// The entry stored under `name` (any case), or nullptr.
    const Variant* Find(const String& name) const;
    /// Stores an entry directly, as a host editing its saved state would.
    /// Throws Error(kInvalidArgument), the bag unchanged, when the entry's
    /// line in the text form would be longer than kMaxLine.
    void Set(const String& name, Variant value);
    bool Remove(const String& name);
    const std::vector<std::pair<String, Variant>>& Entries() const { return entries_; }

    /// Writes the text form. Throws Error(kDeviceIo) if the stream fails.
    void Save(std::ostream& out) const;
    /// Replaces the entries with those of the text form, in time linear in
    /// its length. On a malformed stream (a line it cannot read, one longer
    /// than kMaxLine, or a name given twice in any case) throws
    /// Error(kBadFileFormat) whose text names the line, and the bag is left
    /// as it was. A line is read no further than kMaxLine bytes. A stream
    /// that cannot be read, or had already failed before the call (a file
    /// that did not open), throws Error(kDeviceIo), the bag as it was.
    void Load(std::istream& in);

private:
    void Reindex();

    bool omitDefaults_;
    std::vector<std::pair<String, Variant>> entries_;
    // Lower-cased name -> its place in entries_.
    std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace vostrel
