// Build-time helper, run on the build machine while the module is built:
//   vostrel_typelib_tool idl FILE.idl     writes the type library's IDL for widl
//   vostrel_typelib_tool finish FILE.tlb  sets the flags and version widl
//                                         leaves out
// Both come from the control's identity table, the one source of truth.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "activex/typelib/msft_patch.hpp"
#include "vostrel/type_library.hpp"

namespace tl = vostrel::typelib;

namespace {

constexpr std::uint32_t kTypeFlagNonExtensible = 0x80;   // TYPEFLAG_FNONEXTENSIBLE
constexpr std::uint32_t kTypeFlagOleAutomation = 0x100;  // TYPEFLAG_FOLEAUTOMATION

int Finish(const char* path) {
    std::vector<std::uint8_t> bytes;
    {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::cerr << "cannot read " << path << "\n";
            return 1;
        }
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    const int changed = tl::PatchTypeInfo(bytes, tl::ParseGuid(std::string(tl::kIidVostrelEvents)),
                                          kTypeFlagNonExtensible, tl::kEventInterfaceMajor,
                                          tl::kEventInterfaceMinor);
    if (changed != 1) {
        std::cerr << path << ": expected one type " << tl::kEventInterfaceName << ", found "
                  << changed << "\n";
        return 1;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) {
        std::cerr << "cannot write " << path << "\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "idl" && argc == 3) {
            std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
            out << tl::GenerateIdl(tl::IdlCompiler::Widl);
            if (out.flush()) return 0;
            std::cerr << "cannot write " << argv[2] << "\n";
            return 1;
        }
        if (command == "finish" && argc == 3) return Finish(argv[2]);
        std::cerr << "usage: vostrel_typelib_tool idl FILE.idl | finish FILE.tlb\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "vostrel_typelib_tool: " << e.what() << "\n";
        return 1;
    }
}
