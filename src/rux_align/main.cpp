#include <exception>
#include <iostream>
#include <string_view>

#include "rux_dp/base/version.hpp"

int main(int argc, char** argv) {
    try {
        for (int k = 1; k < argc; ++k) {
            const std::string_view arg = argv[k];
            if (arg == "--version" || arg == "-V") {
                std::cout << rux_dp::tool_name << ' ' << rux_dp::tool_version << '\n';
                return 0;
            }
        }
        std::cout << "Exact alignment reference generation, verification, and comparison\n";
        return argc > 1 ? 0 : 2;
    } catch (const std::exception& e) {
        std::cerr << "rux-align: " << e.what() << '\n';
    }
    return 2;
}
