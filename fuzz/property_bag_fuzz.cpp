// Fuzz target: the property bag's text reader (MemoryPropertyBag::Load) on
// arbitrary text. Beyond "no crash" it checks:
//  * a malformed text is refused with Error(kBadFileFormat) naming its line,
//    and leaves the bag exactly as it was; nothing else is ever thrown;
//  * an accepted text gives entries whose names are unique without regard
//    to case, which Save writes back in a form that loads to the same
//    entries and saves to the same text again;
//  * any name and text Set takes (the input cut in two) survives Save and
//    Load exactly, and Set refuses only what would not fit in one line;
//  * a control restores its three properties from any accepted bag, or
//    refuses with a conversion error; what it then saves restores the same.
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "testsupport/memory_comm.hpp"
#include "testsupport/memory_timer.hpp"
#include "vostrel/property_bag.hpp"
#include "vostrel/vostrel.hpp"

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "property_bag_fuzz: %s\n", what.c_str());
    std::abort();
}

bool SameNoCase(const vostrel::String& a, const vostrel::String& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string Saved(const vostrel::MemoryPropertyBag& bag) {
    std::ostringstream out;
    bag.Save(out);
    return out.str();
}

void CheckControlRestores(const vostrel::MemoryPropertyBag& loaded) {
    vostrel::MemoryPropertyBag bag = loaded;
    vostrel::Vostrel control(std::make_unique<vostrel::testing::MemoryComm>(),
                             std::make_unique<vostrel::testing::MemoryTimer>());
    control.UserControl_InitProperties();
    try {
        control.UserControl_ReadProperties(bag);
    } catch (const vostrel::Error& e) {
        if (e.Number() != vostrel::err::kTypeMismatch && e.Number() != vostrel::err::kOverflow)
            Fail("restoring refused with error " + std::to_string(e.Number()));
        return;
    }
    vostrel::MemoryPropertyBag saved;
    control.UserControl_WriteProperties(saved);
    std::istringstream in(Saved(saved));
    vostrel::MemoryPropertyBag reloaded;
    reloaded.Load(in);
    vostrel::Vostrel again(std::make_unique<vostrel::testing::MemoryComm>(),
                           std::make_unique<vostrel::testing::MemoryTimer>());
    again.UserControl_ReadProperties(reloaded);
    if (again.Connection() != control.Connection() ||
        again.ErrorMessage() != control.ErrorMessage() || again.PingNXT() != control.PingNXT())
        Fail("the saved properties do not restore the same");
}

void CheckSetRoundTrips(const std::string& text) {
    const std::size_t cut =
        text.empty() ? 0 : static_cast<unsigned char>(text[0]) % (text.size() + 1);
    const vostrel::String name = text.substr(0, cut);
    vostrel::MemoryPropertyBag bag;
    bag.Set("Connection", vostrel::kFalse);
    try {
        bag.Set(name, vostrel::String(text.substr(cut)));
    } catch (const vostrel::Error& e) {
        if (e.Number() != vostrel::err::kInvalidArgument)
            Fail("Set refused with error " + std::to_string(e.Number()));
        if (text.size() * 4 + 16 <= vostrel::MemoryPropertyBag::kMaxLine)
            Fail("Set refused an entry that fits");
        return;
    }
    std::istringstream in(Saved(bag));
    vostrel::MemoryPropertyBag back;
    try {
        back.Load(in);
    } catch (const vostrel::Error& e) {
        Fail(std::string("what Set took does not load: ") + e.what());
    }
    if (back.Entries() != bag.Entries()) Fail("what Set took loads to other entries");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckSetRoundTrips(text);

    // A bag with entries already in it, to see that a refused load keeps them.
    vostrel::MemoryPropertyBag bag;
    bag.Set("Connection", vostrel::kTrue);
    bag.Set("ErrorMessage", vostrel::String("before\x01\"", 8));
    const auto before = bag.Entries();

    std::istringstream in(text);
    try {
        bag.Load(in);
    } catch (const vostrel::Error& e) {
        if (e.Number() != vostrel::err::kBadFileFormat)
            Fail("Load threw error " + std::to_string(e.Number()));
        if (std::string(e.what()).rfind("property bag line ", 0) != 0)
            Fail("the refusal names no line");
        if (bag.Entries() != before) Fail("a refused load changed the bag");
        return 0;
    }

    const auto& entries = bag.Entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j)
            if (SameNoCase(entries[j].first, entries[i].first)) Fail("a name is stored twice");
    }

    const std::string first = Saved(bag);
    std::istringstream again(first);
    vostrel::MemoryPropertyBag reloaded;
    try {
        reloaded.Load(again);
    } catch (const vostrel::Error& e) {
        Fail(std::string("the saved form does not load: ") + e.what());
    }
    if (reloaded.Entries() != entries) Fail("the saved form loads to other entries");
    if (Saved(reloaded) != first) Fail("saving is not stable");

    CheckControlRestores(bag);
    return 0;
}
