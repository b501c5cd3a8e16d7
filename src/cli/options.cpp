#include "options.h"

#include "messages.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// glibc's getopt reorders the arguments unless the option string starts
// with '+'; then the list ends at the first operand, as POSIX has it. The
// BSDs' and macOS's getopt follow POSIX already, and would take the '+' for
// an option letter.
#if defined(__GLIBC__)
constexpr const char *option_string = "+f:vVh";
#else
constexpr const char *option_string = "f:vVh";
#endif

} // namespace

ParseResult parse_options(int argc, char *argv[]) {
    ParseResult result;
    int option;
    while ((option = getopt(argc, argv, option_string)) != -1) {
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
    for (int i = optind; i < argc; ++i)
        if (std::strcmp(argv[i], "-") != 0) {
            result.options.ignored_operand = argv[i];
            break;
        }
    return result;
}
