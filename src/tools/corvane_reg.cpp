// corvane-reg: the registry store from the command line (see settings/registry_cli.h).
#include <iostream>
#include <string>
#include <vector>

#include "settings/registry_cli.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return corvane::settings::cli::Run(args, std::cout, std::cerr);
}
