#include <iostream>
#include <string>
#include <vector>

#include "SignCommand.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        return orvalis::tools::runSign(args, std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cerr << "orvalis-sign: " << e.what() << '\n';
        return 1;
    }
}
