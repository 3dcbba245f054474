// Build-time helper, run on the build machine by .ci/package-windows:
//   vostrel_wxs_tool ARCH VERSION OUT.wxs
// writes the Windows Installer description (for wixl) of the control's
// package for ARCH (x64 or x86): the module, its type library, the tool and
// the README from the folder of OUT.wxs (wixl takes no absolute source
// paths), and the registry rows regsvr32 would write,
// taken from the same table registration uses. wixl has none of WiX's COM
// elements (Class, TypeLib, ProgId), so every entry is a plain registry row.
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

#include "activex/installer/wxs_writer.hpp"

int main(int argc, char** argv) {
    if (argc != 4 || (std::string_view(argv[1]) != "x64" && std::string_view(argv[1]) != "x86")) {
        std::cerr << "usage: vostrel_wxs_tool x64|x86 VERSION OUT.wxs\n";
        return 2;
    }
    try {
        const std::string text =
            vostrel::activex::installer::WriteWxs({argv[1] == std::string_view("x64"), argv[2]});
        std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
        out << text;
        if (out.flush()) return 0;
        std::cerr << "vostrel_wxs_tool: cannot write " << argv[3] << "\n";
    } catch (const std::exception& e) {
        std::cerr << "vostrel_wxs_tool: " << e.what() << "\n";
    }
    return 1;
}
