#include "options.h"

#include "messages.h"

#include <cstdlib>
#include <unistd.h>

ParseResult parse_options(int argc, char *argv[]) {
    ParseResult result;
    // A leading '+' asks glibc for POSIX behaviour: the list ends at the first
    // operand instead of the arguments being reordered. The '+' is not an
    // option letter, so the option string proper stays "f:vVh".
    int option;
    while ((option = getopt(argc, argv, "+f:vVh")) != -1) {
        switch (option) {
        case 'f':
            result.options.input_path = optarg;
            break;
        case 'v':
            ++result.options.verbosity;
            break;
        case 'V':
            print_banner();
            result.exit_status = EXIT_SUCCESS;
            return result;
        case 'h':
            print_help();
            result.exit_status = EXIT_SUCCESS;
            return result;
        default:
            print_help();
            result.exit_status = EXIT_FAILURE;
            return result;
        }
    }
    return result;
}
