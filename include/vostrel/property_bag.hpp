// The host's property bag: where the control's three persisted properties
// ("Connection", "ErrorMessage", "PingNXT") are saved and restored.
#pragma once

#include <iosfwd>
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
/// Text form, one entry a line, in the order written:
///     Name = Type value
/// with Type one of Empty, Integer, Long, Boolean (its raw 16-bit value) or
/// String (double-quoted; \\, \" and \xHH escapes, every other byte from
/// space to '~' as it is). Blank lines and lines starting with '#' are
/// skipped.
class MemoryPropertyBag : public PropertyBag {
public:
    /// `omitDefaults`: WriteProperty leaves out (and removes) a value equal
    /// to its default, as a container's bag may.
    explicit MemoryPropertyBag(bool omitDefaults = false) : omitDefaults_(omitDefaults) {}

    Variant ReadProperty(const String& name, const Variant& defaultValue) override;
    void WriteProperty(const String& name, const Variant& value,
                       const Variant& defaultValue) override;

    /// The entry stored under `name`, or nullptr.
    const Variant* Find(const String& name) const;
    /// Stores an entry directly, as a host editing its saved state would.
    void Set(const String& name, Variant value);
    bool Remove(const String& name);
    const std::vector<std::pair<String, Variant>>& Entries() const { return entries_; }

    /// Writes the text form. Throws Error(kDeviceIo) if the stream fails.
    void Save(std::ostream& out) const;
    /// Replaces the entries with those of the text form. On a malformed
    /// stream throws Error(kBadFileFormat) whose text names the line, and
    /// the bag is left as it was.
    void Load(std::istream& in);

private:
    bool omitDefaults_;
    std::vector<std::pair<String, Variant>> entries_;
};

}  // namespace vostrel
