#include "run_tool.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// One folder per test process, removed when the process ends.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        char name[] = "/tmp/pixtally-test-XXXXXX";
        if (mkdtemp(name) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        chmod(name, 0755); // readable by the unprivileged user of as_nobody runs
        path = name;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

const std::string &scratch_dir() {
    static const ScratchDir dir;
    return dir.path;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void redirect(const std::string &path, int fd, int flags) {
    const int opened = open(path.c_str(), flags, 0644);
    if (opened < 0 || dup2(opened, fd) < 0)
        _exit(127);
    close(opened);
}

// path as one word of a shell command, whatever it holds.
std::string shell_quoted(const std::string &path) {
    std::string quoted = "'";
    for (const char c : path)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// A command whose words are joined by '|', such as "qemu-aarch64".
std::vector<std::string> words_of(const std::string &command) {
    std::vector<std::string> words;
    std::istringstream in(command);
    for (std::string word; std::getline(in, word, '|');)
        words.push_back(word);
    return words;
}

// The project's own programs run through the emulator named at build time
// where the tests were cross-built (PIXTALLY_EMULATOR).
std::vector<std::string> own_program(const std::string &path) {
#ifdef PIXTALLY_EMULATOR
    std::vector<std::string> words = words_of(PIXTALLY_EMULATOR);
#else
    std::vector<std::string> words;
#endif
    words.push_back(path);
    return words;
}

// pixtally alone may also run under an emulator named when the tests run,
// PIXTALLY_TEST_EMULATOR (such as "qemu-x86_64|-cpu|Penryn"): the same
// binary on an older processor.
std::vector<std::string> pixtally_program(const std::string &path) {
    const char *emulator = std::getenv("PIXTALLY_TEST_EMULATOR");
    if (emulator == nullptr || *emulator == '\0')
        return own_program(path);
    std::vector<std::string> words = words_of(emulator);
    words.push_back(path);
    return words;
}

// The unprivileged user's ids; also the files it must reach must lie in
// world-readable folders, unlike a checkout in a private home.
struct Nobody {
    uid_t uid;
    gid_t gid;
    std::string pixtally; // a copy of the binary in the scratch folder
};

const Nobody &nobody() {
    static const Nobody user = [] {
        const passwd *entry = getpwnam("nobody");
        if (entry == nullptr)
            throw std::runtime_error("no user called nobody");
        const std::string copy = scratch_dir() + "/pixtally";
        std::filesystem::copy_file(PIXTALLY_BINARY, copy,
                                   std::filesystem::copy_options::overwrite_existing);
        chmod(copy.c_str(), 0755);
        return Nobody{entry->pw_uid, entry->pw_gid, copy};
    }();
    return user;
}

} // namespace

std::string scratch_file(const std::string &name, const std::string &contents) {
    const std::string path = scratch_dir() + "/" + name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
}

RunResult run_program(const std::vector<std::string> &argv, const RunSetup &setup) {
    static int runs = 0;
    const std::string base = scratch_dir() + "/run" + std::to_string(++runs);
    const std::string in_path = base + ".in", out_path = base + ".out", err_path = base + ".err";
    std::ofstream(in_path, std::ios::binary) << setup.input;

    if (setup.as_nobody && geteuid() == 0)
        nobody(); // looked up and copied before the fork, never in the child
    const pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        if (setup.close_input)
            close(STDIN_FILENO);
        else
            redirect(in_path, STDIN_FILENO, O_RDONLY);
        redirect(setup.output_path.empty() ? out_path : setup.output_path, STDOUT_FILENO,
                 O_WRONLY | O_CREAT | O_TRUNC);
        int ends[2];
        if (setup.output_to_gone_reader &&
            (pipe(ends) != 0 || close(ends[0]) != 0 || dup2(ends[1], STDOUT_FILENO) < 0))
            _exit(127);
        if (setup.close_output)
            close(STDOUT_FILENO);
        if (setup.ignore_sigpipe)
            signal(SIGPIPE, SIG_IGN); // kept across exec
        if (setup.ignore_sigxfsz)
            signal(SIGXFSZ, SIG_IGN);
        const rlimit size_limit{static_cast<rlim_t>(setup.file_size_limit),
                                static_cast<rlim_t>(setup.file_size_limit)};
        if (setup.file_size_limit >= 0 && setrlimit(RLIMIT_FSIZE, &size_limit) != 0)
            _exit(127);
        if (!setup.err_to_out)
            redirect(err_path, STDERR_FILENO, O_WRONLY | O_CREAT | O_TRUNC);
        else if (dup2(STDOUT_FILENO, STDERR_FILENO) < 0)
            _exit(127);
        for (const auto &[name, value] : setup.env)
            setenv(name.c_str(), value.c_str(), 1);
        if (setup.as_nobody && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(nobody().gid) != 0 || setuid(nobody().uid) != 0))
            _exit(126);
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }

    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    RunResult result;
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
#if defined(__APPLE__)
    result.max_rss_kib = usage.ru_maxrss / 1024; // macOS counts bytes
#else
    result.max_rss_kib = usage.ru_maxrss;
#endif
    return result;
}

RunResult run_pixtally(const std::vector<std::string> &args, const RunSetup &setup) {
    const bool copy = setup.as_nobody && geteuid() == 0;
    std::vector<std::string> argv = pixtally_program(copy ? nobody().pixtally : PIXTALLY_BINARY);
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, setup);
}

RunResult run_shell(const std::string &command) {
    return run_program({"/bin/sh", "-c", command});
}

std::string shell_program(const std::string &path) {
    std::string command;
    for (const std::string &word :
         path == PIXTALLY_BINARY ? pixtally_program(path) : own_program(path))
        command += (command.empty() ? "" : " ") + shell_quoted(word);
    return command;
}

bool emulated() {
    return pixtally_program("").size() > 1;
}

std::vector<std::string> levels_here() {
    std::vector<std::string> names;
    std::istringstream lines(run_program(pixtally_program(KERNEL_LEVELS_BINARY)).out);
    for (std::string name; std::getline(lines, name);)
        names.push_back(name);
    return names;
}

std::string errno_line(int error) {
    return ": errno=" + std::to_string(error) + " (" + std::strerror(error) + ")\n";
}

std::string make_image(const std::vector<std::string> &args) {
    std::vector<std::string> argv = own_program(MAKE_IMAGE_BINARY);
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv).out;
}

LibraryVerdict library_verdict(const std::string &image) {
    const RunResult run = run_program(own_program(READ_FLOOR_BINARY), {.input = image});
    LibraryVerdict verdict;
    verdict.accepted = run.status == 0;
    const std::size_t at = run.out.find(" maxval ");
    if (verdict.accepted && at != std::string::npos)
        verdict.maxval = static_cast<unsigned>(std::stoul(run.out.substr(at + 8)));
    const std::string floor_name = "read_floor: ";
    if (!verdict.accepted && run.err.rfind(floor_name, 0) == 0)
        verdict.message = "pixtally: " + run.err.substr(floor_name.size());
    else if (!verdict.accepted)
        verdict.message = run.err;
    return verdict;
}
