#include <iostream>
#include <string>
#include <vector>

#include "CheckKey.h"
#include "SignCommand.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (orvalis::tools::wantsCheckKey(args)) return orvalis::tools::runCheckKey(args, std::cout, std::cerr);
        return orvalis::tools::runSign(args, std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cerr << "orvalis-sign: " << e.what() << '\n';
        return 1;
    }
}
