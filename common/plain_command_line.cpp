#include "common/plain_command_line.h"

#include "common/application_identity.h"

#include <cstdio>
#include <cstring>

namespace {

bool isOption(const char *argument, const char *name)
{
    return std::strcmp(argument, name) == 0;
}

bool isKnown(const char *argument)
{
    return isOption(argument, "--help") || isOption(argument, "-h") || isOption(argument, "--version");
}

} // namespace

int answerPlainCommandLine(int argc, char *argv[], const char *program, const char *help)
{
    if (argc < 2) {
        return -1;
    }
    if (argc == 2 && (isOption(argv[1], "--help") || isOption(argv[1], "-h"))) {
        std::fputs(help, stdout);
        return 0;
    }
    if (argc == 2 && isOption(argv[1], "--version")) {
        std::printf("%s %s\n", program, applicationVersion);
        return 0;
    }
    int first = 1;
    while (first < argc - 1 && isKnown(argv[first])) {
        ++first;
    }
    std::fprintf(stderr, "%s: unknown argument \"%s\": it takes none but --help or --version.\n", program, argv[first]);
    return 2;
}
