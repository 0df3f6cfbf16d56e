#include <exception>
#include <iostream>

#include "rux_align/run.hpp"

int main(int argc, char** argv) {
    try {
        const rux_dp::Result<int> status = rux_align::run(argc, argv, std::cout, std::cerr);
        if (status) return *status;
        std::cerr << "rux-align: " << status.error() << '\n';
    } catch (const std::exception& e) {
        std::cerr << "rux-align: " << e.what() << '\n';
    }
    return 2;
}
