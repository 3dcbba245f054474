// The type library's identity, pinned, and the generated IDL text checked
// against the member and event tables it is generated from.
#include "vostrel/type_library.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace vostrel {
namespace {

using namespace typelib;

// Hosts bind to these; changing one breaks every host built against it.
TEST(Identity, GuidsArePinned) {
    EXPECT_EQ(kLibId, "054b510d-0d6f-42b1-af7b-2a5868f395dd");
    EXPECT_EQ(kClsId, "4fed6267-5f3f-4e23-a7c1-839b49fc8da9");
    EXPECT_EQ(kIidVostrel, "dea05bf8-aec7-48b4-8fc7-f37f57892d5d");
    EXPECT_EQ(kIidVostrelEvents, "b741f7a8-a681-47c0-a884-5cfa27287ada");
}

TEST(Identity, NamesVersionsAndFlags) {
    EXPECT_EQ(kLibraryName, "VostrelControl");
    EXPECT_EQ(kLibraryMajor * 100 + kLibraryMinor, 1400);
    EXPECT_EQ(kLibraryLcid, 0u);
    EXPECT_EQ(kClassName, "Vostrel");
    EXPECT_EQ(kInterfaceName, "_Vostrel");
    EXPECT_EQ(kEventInterfaceName, "__Vostrel");
    EXPECT_EQ(kClassMajor * 100 + kClassMinor, 100);
    EXPECT_EQ(kInterfaceMajor * 100 + kInterfaceMinor, 100);
    EXPECT_EQ(kEventInterfaceMajor * 100 + kEventInterfaceMinor, 100);
    EXPECT_TRUE(kClassIsControl);
    EXPECT_FALSE(kClassIsCreatable);
}

TEST(Identity, OleMiscStatusIsItsSixFlags) {
    using namespace olemisc;
    EXPECT_EQ(kOleMiscStatus, 0x00020591u);
    EXPECT_EQ(kSetClientSiteFirst | kInvisibleAtRuntime | kActivateWhenVisible | kInsideOut |
                  kCantLinkInside | kRecomposeOnResize,
              kOleMiscStatus);
}

// The published function table, row by row.
TEST(MemberTable, DispatchIdsKindsAndSignatures) {
    struct Row {
        const char* name;
        InvokeKind kind;
        DispId id;
        int params;
    };
    const Row rows[] = {
        {"Connection", InvokeKind::PropertyGet, 0x68030002, 0},
        {"Connection", InvokeKind::PropertyPut, 0x68030002, 1},
        {"SendValue", InvokeKind::Method, 0x60030003, 2},
        {"SendText", InvokeKind::Method, 0x60030004, 2},
        {"ConnectNXT", InvokeKind::Method, 0x60030009, 2},
        {"DisconnectNXT", InvokeKind::Method, 0x6003000B, 0},
        {"ErrorMessage", InvokeKind::PropertyGet, 0x68030001, 0},
        {"ErrorMessage", InvokeKind::PropertyPut, 0x68030001, 1},
        {"ReadText", InvokeKind::Method, 0x60030014, 1},
        {"PingNXT", InvokeKind::PropertyGet, 0x68030000, 0},
        {"PingNXT", InvokeKind::PropertyPut, 0x68030000, 1},
    };
    ASSERT_EQ(std::size(rows), kMembers.size());
    for (std::size_t i = 0; i < kMembers.size(); ++i) {
        EXPECT_EQ(kMembers[i].name, rows[i].name) << i;
        EXPECT_EQ(kMembers[i].kind, rows[i].kind) << i;
        EXPECT_EQ(kMembers[i].id, rows[i].id) << i;
        EXPECT_EQ(kMembers[i].paramCount, rows[i].params) << i;
        EXPECT_EQ(FindMember(rows[i].id, rows[i].kind), &kMembers[i]) << i;
    }
    // Methods take every parameter by reference, setters their value by value.
    for (const MemberInfo& m : kMembers)
        for (int p = 0; p < m.paramCount; ++p)
            EXPECT_EQ(m.params[static_cast<std::size_t>(p)].byRef, m.kind == InvokeKind::Method)
                << m.name;
    EXPECT_EQ(kEvents[0].id, 1);
    EXPECT_EQ(kEvents[1].id, 2);
    EXPECT_EQ(FindMember(0x60030003, InvokeKind::PropertyGet), nullptr);
}

// --- the generated IDL ----------------------------------------------------------

std::string IdlType(Variant::Type t) {
    switch (t) {
        case Variant::Type::Integer:
            return "short";
        case Variant::Type::Long:
            return "long";
        case Variant::Type::Boolean:
            return "VARIANT_BOOL";
        case Variant::Type::String:
            return "BSTR";
        case Variant::Type::Empty:
            break;
    }
    return "?";
}

// The text between `open` and its matching close, from the first `open`
// after `from`.
std::string Block(const std::string& text, const std::string& from) {
    std::size_t at = text.find(from);
    if (at == std::string::npos) return {};
    std::size_t open = text.find('{', at);
    int depth = 0;
    for (std::size_t i = open; i < text.size(); ++i) {
        if (text[i] == '{') ++depth;
        if (text[i] == '}' && --depth == 0) return text.substr(open + 1, i - open - 1);
    }
    return {};
}

struct ParsedMember {
    DispId id;
    std::string attrs;
    std::string name;
    std::vector<std::string> params;  // "[dir] type name"
};

std::vector<ParsedMember> ParseMembers(const std::string& body, const std::string& returns) {
    std::vector<ParsedMember> out;
    const std::regex member(R"(\[id\((0x[0-9A-F]{8})\)([^\]]*)\]\s*)" + returns +
                            R"(\s+(\w+)\(([^)]*)\);)");
    for (std::sregex_iterator it(body.begin(), body.end(), member), end; it != end; ++it) {
        ParsedMember m{
            static_cast<DispId>(std::stoul((*it)[1].str(), nullptr, 16)), (*it)[2], (*it)[3], {}};
        std::string params = (*it)[4];
        const std::regex param(R"((\[[^\]]+\])\s*([A-Za-z_]+\*?)\s+(\w+))");
        for (std::sregex_iterator p(params.begin(), params.end(), param); p != end; ++p)
            m.params.push_back((*p)[1].str() + " " + (*p)[2].str() + " " + (*p)[3].str());
        out.push_back(m);
    }
    return out;
}

std::string Expected(const ParamInfo& p) {
    return std::string(p.byRef ? "[in, out] " : "[in] ") + IdlType(p.type) +
           (p.byRef ? "* " : " ") + std::string(p.name);
}

TEST(GeneratedIdl, InterfaceMatchesTheMemberTable) {
    const std::string idl = GenerateIdl();
    const std::string body = Block(idl, "interface _Vostrel : IDispatch");
    const auto parsed = ParseMembers(body, "HRESULT");
    ASSERT_EQ(parsed.size(), kMembers.size()) << idl;
    for (std::size_t i = 0; i < kMembers.size(); ++i) {
        const MemberInfo& m = kMembers[i];
        const ParsedMember& p = parsed[i];
        EXPECT_EQ(p.id, m.id) << m.name;
        EXPECT_EQ(p.name, m.name);
        EXPECT_EQ(p.attrs, m.kind == InvokeKind::PropertyGet   ? ", propget"
                           : m.kind == InvokeKind::PropertyPut ? ", propput"
                                                               : "")
            << m.name;
        std::vector<std::string> expected;
        for (int k = 0; k < m.paramCount; ++k) expected.push_back(Expected(m.params[k]));
        if (m.result != Variant::Type::Empty)
            expected.push_back("[out, retval] " + IdlType(m.result) + "* Result");
        EXPECT_EQ(p.params, expected) << m.name;
    }
}

TEST(GeneratedIdl, EventInterfaceMatchesTheEventTable) {
    const std::string idl = GenerateIdl();
    const auto parsed = ParseMembers(Block(idl, "dispinterface __Vostrel {"), "void");
    ASSERT_EQ(parsed.size(), kEvents.size()) << idl;
    for (std::size_t i = 0; i < kEvents.size(); ++i) {
        EXPECT_EQ(parsed[i].id, kEvents[i].id);
        EXPECT_EQ(parsed[i].name, kEvents[i].name);
        std::vector<std::string> expected;
        for (int k = 0; k < kEvents[i].paramCount; ++k)
            expected.push_back(Expected(kEvents[i].params[k]));
        EXPECT_EQ(parsed[i].params, expected);
    }
}

// The attribute block in front of `declaration`, without its brackets.
std::string AttributesOf(const std::string& idl, const std::string& declaration) {
    std::size_t at = idl.find(declaration);
    if (at == std::string::npos) return {};
    std::size_t close = idl.rfind(']', at);
    std::size_t open = idl.rfind('[', close);
    std::string attrs = idl.substr(open + 1, close - open - 1);
    return std::regex_replace(attrs, std::regex(R"(\s+)"), " ");
}

TEST(GeneratedIdl, IdentifiersAndAttributesMatchTheTable) {
    const std::string idl = GenerateIdl();
    EXPECT_EQ(AttributesOf(idl, "\nlibrary VostrelControl"),
              " uuid(054b510d-0d6f-42b1-af7b-2a5868f395dd), version(14.0), lcid(0x0000),"
              " helpstring(\"VostrelControl\"), control ");
    EXPECT_EQ(AttributesOf(idl, "interface _Vostrel : IDispatch"),
              " uuid(dea05bf8-aec7-48b4-8fc7-f37f57892d5d), version(1.0), hidden, dual,"
              " nonextensible, oleautomation ");
    EXPECT_EQ(AttributesOf(idl, "dispinterface __Vostrel {"),
              " uuid(b741f7a8-a681-47c0-a884-5cfa27287ada), version(1.0), hidden, nonextensible ");
    EXPECT_EQ(AttributesOf(idl, "coclass Vostrel {"),
              " uuid(4fed6267-5f3f-4e23-a7c1-839b49fc8da9), version(1.0), control, noncreatable ");
    const std::string coclass = Block(idl, "coclass Vostrel {");
    EXPECT_NE(coclass.find("[default] interface _Vostrel;"), std::string::npos);
    EXPECT_NE(coclass.find("[default, source] dispinterface __Vostrel;"), std::string::npos);
}

TEST(GeneratedIdl, DeclaresEachIdentifierOnceBeforeItsUse) {
    const std::string idl = GenerateIdl();
    for (std::string_view guid : {kLibId, kClsId, kIidVostrel, kIidVostrelEvents}) {
        const std::string needle = "uuid(" + std::string(guid) + ")";
        const std::size_t first = idl.find(needle);
        EXPECT_NE(first, std::string::npos) << guid;
        EXPECT_EQ(idl.find(needle, first + 1), std::string::npos) << guid;
    }
    // The interfaces are declared before the coclass uses them.
    EXPECT_LT(idl.find("interface _Vostrel : IDispatch"), idl.find("coclass Vostrel"));
    EXPECT_LT(idl.find("dispinterface __Vostrel {"), idl.find("coclass Vostrel"));
}

}  // namespace
}  // namespace vostrel
