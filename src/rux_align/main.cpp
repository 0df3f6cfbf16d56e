#include "rux_align/options.hpp"

#include <exception>
#include <iostream>
#include <variant>

int main(int argc, char** argv) {
    try {
        const auto parsed = rux_align::parse_command_line(argc, argv, std::cout, std::cerr);
        if (!parsed) {
            std::cerr << "rux-align: " << parsed.error() << '\n';
            return 2;
        }
        if (const auto* early = std::get_if<rux_align::EarlyExit>(&*parsed))
            return early->status;
        std::cerr << "rux-align: command not yet available\n";
    } catch (const std::exception& e) {
        std::cerr << "rux-align: " << e.what() << '\n';
    }
    return 2;
}
