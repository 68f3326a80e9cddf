// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the test suites: scratch directories, time zones, captured output and
// running the built programs.
#ifndef ZEL_TESTS_TEST_UTIL_H
#define ZEL_TESTS_TEST_UTIL_H

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cpu.h"

namespace zeltest {

// A fresh directory under the system's temporary directory, removed with the object.
class TempDir {
  public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "zeltest.XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        path_ = mkdtemp(buf.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Sets TZ for the life of the object and restores the previous value after.
class ScopedTz {
  public:
    explicit ScopedTz(const char *tz) {
        const char *old = getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (had_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    bool had_ = false;
    std::string old_;
};

// The library's vector loops off (plain) or as the processor allows, for the life of the object.
class ScopedLoops {
  public:
    explicit ScopedLoops(bool plain) { zelcommon::allow_vectors(!plain); }
    ~ScopedLoops() { zelcommon::allow_vectors(true); }
    ScopedLoops(const ScopedLoops &) = delete;
    ScopedLoops &operator=(const ScopedLoops &) = delete;
};

// Captures everything written to one of the standard descriptors (1 or 2) while alive.
class CaptureFd {
  public:
    explicit CaptureFd(int fd) : fd_(fd) {
        fflush(nullptr);
        tmp_ = tmpfile();
        saved_ = dup(fd_);
        dup2(fileno(tmp_), fd_);
    }
    ~CaptureFd() { restore(); }
    // Stops capturing and returns what was written.
    std::string text() {
        restore();
        return text_;
    }

  private:
    void restore() {
        if (saved_ < 0) return;
        fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
        rewind(tmp_);
        std::string out;
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, tmp_)) > 0) out.append(buf, n);
        fclose(tmp_);
        text_ = out;
    }
    int fd_;
    int saved_ = -1;
    FILE *tmp_ = nullptr;
    std::string text_;
};

// The pieces of text between separators: "a,,b" gives "a", "", "b"; "" gives one empty piece.
inline std::vector<std::string> split(const std::string &text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t pos = text.find(sep, start);
        if (pos == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

struct RunResult {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs a program with arguments (no shell), with an optional extra environment entry, and
// collects its standard output and standard error.
inline RunResult run_program(const std::vector<std::string> &argv,
                             const std::vector<std::string> &env = {}) {
    RunResult res;
    char outname[] = "/tmp/zelrun.out.XXXXXX";
    char errname[] = "/tmp/zelrun.err.XXXXXX";
    int ofd = mkstemp(outname);
    int efd = mkstemp(errname);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(ofd, 1);
        dup2(efd, 2);
        for (const auto &e : env) putenv(strdup(e.c_str()));
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    close(ofd);
    close(efd);
    res.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    res.out = read_file(outname);
    res.err = read_file(errname);
    unlink(outname);
    unlink(errname);
    return res;
}

}  // namespace zeltest

#endif
