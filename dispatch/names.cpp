// Published member, event and parameter names to dispatch ids, without
// regard to case, as Automation looks names up.
#include "control/equals_no_case.hpp"
#include "vostrel/dispatch.hpp"

namespace vostrel {

namespace {

using detail::EqualsNoCase;

template <std::size_t N>
std::optional<DispId> Find(const std::array<typelib::MemberInfo, N>& table, std::string_view name) {
    for (const auto& m : table)
        if (EqualsNoCase(m.name, name)) return m.id;
    return std::nullopt;
}

}  // namespace

std::optional<DispId> MemberId(std::string_view name) { return Find(typelib::kMembers, name); }

std::optional<DispId> EventId(std::string_view name) { return Find(typelib::kEvents, name); }

std::optional<DispId> ParameterId(DispId member, std::string_view name) {
    // A property's get has no parameter; its put carries the value, so every
    // entry with the id is searched.
    auto search = [&](const auto& table) -> std::optional<DispId> {
        for (const auto& m : table) {
            if (m.id != member) continue;
            for (int i = 0; i < m.paramCount; ++i)
                if (EqualsNoCase(m.params[static_cast<std::size_t>(i)].name, name)) return i;
        }
        return std::nullopt;
    };
    if (auto id = search(typelib::kMembers)) return id;
    return search(typelib::kEvents);
}

std::vector<DispId> IdsOfNames(std::span<const std::string_view> names) {
    std::vector<DispId> ids;
    if (names.empty()) return ids;
    const std::optional<DispId> member = MemberId(names[0]);
    ids.push_back(member.value_or(dispid::kUnknown));
    for (std::size_t i = 1; i < names.size(); ++i) {
        std::optional<DispId> param = member ? ParameterId(*member, names[i]) : std::nullopt;
        ids.push_back(param.value_or(dispid::kUnknown));
    }
    return ids;
}

}  // namespace vostrel
