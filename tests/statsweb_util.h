// SPDX-License-Identifier: Apache-2.0
// Helpers of the statsweb end-to-end suites: the real server started on a loopback port chosen by
// the kernel, a small HTTP/1.1 client (one-shot or keep-alive), a JSON reader for the answers,
// and the statsdump runs the answers are compared with.
#ifndef ZEL_TESTS_STATSWEB_UTIL_H
#define ZEL_TESTS_STATSWEB_UTIL_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace webtest {

using zeltest::split;

// The store keeps local time; every program of these suites runs in one fixed zone.
inline const char *const kTz = "Europe/Warsaw";
inline const std::vector<std::string> kEnv = {"TZ=Europe/Warsaw"};

inline std::string lower(std::string s) {
    for (auto &c : s) c = (char)tolower((unsigned char)c);
    return s;
}

inline std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines = split(text, '\n');
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

// ---- processes ---------------------------------------------------------------------------

inline zeltest::RunResult statsdump(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {STATSDUMP_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return zeltest::run_program(argv, kEnv);
}

// statsgen into path; seed and end time vary the story so that two files differ.
inline bool statsgen(const std::string &path, const std::vector<std::string> &extra = {}) {
    std::vector<std::string> argv = {STATSGEN_BIN, "-o", path};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return zeltest::run_program(argv, kEnv).status == 0;
}

// Writes bytes to a scratch name beside path and renames it over path, as a saving server does.
inline void replace_file(const std::string &path, const std::string &bytes) {
    std::string tmp = path + ".new";
    zeltest::write_file(tmp, bytes);
    rename(tmp.c_str(), path.c_str());
}

// The running server. start() execs it with the arguments (and -S 0 unless they set -S), reads
// the one line it prints once listening, and takes the port from it; stop() sends SIGTERM and
// returns the exit status.
class Server {
  public:
    ~Server() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }

    // False when no line came within the time limit (the process is then stopped or gone).
    bool start(const std::vector<std::string> &args, const std::string &errfile) {
        errfile_ = errfile;
        int pfd[2];
        if (pipe(pfd) != 0) return false;
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that crashed
            dup2(pfd[1], 1);
            int efd = open(errfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(efd, 2);
            close(pfd[0]);
            setenv("TZ", kTz, 1);
            std::vector<std::string> argv = {STATSWEB_BIN};
            argv.insert(argv.end(), args.begin(), args.end());
            // The suites replace files and ask at once: a changed file is read without waiting
            // for it to settle, unless a test sets -S itself.
            if (std::find(args.begin(), args.end(), "-S") == args.end()) {
                argv.insert(argv.end(), {"-S", "0"});
            }
            std::vector<char *> cargs;
            for (auto &a : argv) cargs.push_back(const_cast<char *>(a.c_str()));
            cargs.push_back(nullptr);
            execv(cargs[0], cargs.data());
            _exit(127);
        }
        close(pfd[1]);
        out_ = pfd[0];
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (line_.find('\n') == std::string::npos) {
            int ms = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                         deadline - std::chrono::steady_clock::now())
                         .count();
            if (ms <= 0) return false;
            struct pollfd p = {out_, POLLIN, 0};
            if (poll(&p, 1, ms) <= 0) continue;
            char buf[256];
            ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0) return false;
            line_.append(buf, (size_t)n);
        }
        line_.erase(line_.find('\n'));
        size_t colon = line_.rfind(':');
        if (colon == std::string::npos) return false;
        port_ = atoi(line_.c_str() + colon + 1);
        return port_ > 0;
    }

    // SIGTERM (or another signal), then the exit status (-1: killed by a signal or still running
    // after 20 s).
    int stop(int sig = SIGTERM) {
        if (pid_ > 0) kill(pid_, sig);
        return wait_exit(20);
    }
    // The exit status once the process ends by itself (-1: not within `seconds`). An end by a
    // signal, or none in time, is told on standard error with the server's own, so that a
    // failing test shows why.
    int wait_exit(int seconds) {
        int st = 0;
        for (int i = 0; pid_ > 0 && i < seconds * 100; i++) {
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                if (WIFEXITED(st)) return WEXITSTATUS(st);
                fprintf(stderr, "statsweb ended by signal %d; its standard error:\n%s\n",
                        WTERMSIG(st), log().c_str());
                return -1;
            }
            usleep(10000);
        }
        if (pid_ > 0) fprintf(stderr, "statsweb still running after %d s\n", seconds);
        return -1;
    }

    bool alive() const { return pid_ > 0 && kill(pid_, 0) == 0; }
    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    const std::string &line() const { return line_; }
    std::string log() const { return zeltest::read_file(errfile_); }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int port_ = 0;
    std::string line_;
    std::string errfile_;
};

// Runs statsweb expecting it to exit by itself before listening: the status (-1 when it
// listened or ran on) and its standard error.
inline std::pair<int, std::string> run_statsweb(const std::vector<std::string> &args,
                                                const std::string &errfile) {
    Server srv;
    int status = srv.start(args, errfile) ? -1 : srv.wait_exit(10);
    return {status, zeltest::read_file(errfile)};
}

// ---- HTTP ----------------------------------------------------------------------------------

struct Reply {
    int status = 0;  // 0: no answer (connection refused, closed or timed out)
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string header(const std::string &name) const {
        auto it = headers.find(lower(name));
        return it == headers.end() ? std::string() : it->second;
    }
    bool has(const std::string &name) const { return headers.count(lower(name)) != 0; }
};

// One client connection; requests may follow each other on it (keep-alive).
class Conn {
  public:
    ~Conn() { close_fd(); }
    // rcvbuf: a small receive buffer, so that a large answer stays in flight until read.
    // from: a loopback source address other than 127.0.0.1 ("127.0.0.2", ...), as another client
    // host would be.
    bool connect_to(int port, int rcvbuf = 0, const char *from = nullptr) {
        close_fd();
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (rcvbuf > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        if (from != nullptr) {
            struct sockaddr_in src = {};
            src.sin_family = AF_INET;
            inet_pton(AF_INET, from, &src.sin_addr);
            if (bind(fd_, (struct sockaddr *)&src, sizeof src) != 0) {
                close_fd();
                return false;
            }
        }
        struct timeval tv = {30, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, (struct sockaddr *)&a, sizeof a) != 0) {
            close_fd();
            return false;
        }
        buf_.clear();
        return true;
    }
    bool open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close_fd() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

    bool send_raw(const std::string &bytes) { return send_all(bytes); }
    bool send_request(const std::string &method, const std::string &target) {
        return send_all(method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    }
    // Reads the answer of a request sent before.
    Reply read_reply(const std::string &method) { return request(method, "", {}, true, "", false); }

    // Sends one request and reads its answer; status 0 when the connection failed.
    Reply request(const std::string &method, const std::string &target,
                  const std::vector<std::string> &extra = {}, bool keep = true,
                  const std::string &body = "", bool send = true) {
        Reply r;
        std::string req = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        for (const auto &h : extra) req += h + "\r\n";
        if (!keep) req += "Connection: close\r\n";
        req += "\r\n" + body;
        if (send && !send_all(req)) return r;
        size_t end;
        while ((end = buf_.find("\r\n\r\n")) == std::string::npos) {
            if (!fill()) return r;
        }
        std::vector<std::string> lines = split(buf_.substr(0, end), '\n');
        buf_.erase(0, end + 4);
        for (auto &l : lines) {
            if (!l.empty() && l.back() == '\r') l.pop_back();
        }
        if (lines[0].size() < 12 || lines[0].compare(0, 5, "HTTP/") != 0) return r;
        int status = atoi(lines[0].c_str() + 9);
        for (size_t i = 1; i < lines.size(); i++) {
            size_t c = lines[i].find(':');
            if (c == std::string::npos) continue;
            std::string v = lines[i].substr(c + 1);
            while (!v.empty() && v[0] == ' ') v.erase(0, 1);
            std::string k = lower(lines[i].substr(0, c));
            if (r.headers.count(k)) {
                r.headers[k] += ", " + v;
            } else {
                r.headers[k] = v;
            }
        }
        bool no_body = method == "HEAD" || status == 204 || status == 304 || status < 200;
        if (!no_body && lower(r.header("Transfer-Encoding")).find("chunked") != std::string::npos) {
            for (;;) {
                size_t le;
                while ((le = buf_.find("\r\n")) == std::string::npos) {
                    if (!fill()) return r;
                }
                size_t n = strtoul(buf_.c_str(), nullptr, 16);
                buf_.erase(0, le + 2);
                while (buf_.size() < n + 2) {
                    if (!fill()) return r;
                }
                r.body += buf_.substr(0, n);
                buf_.erase(0, n + 2);
                if (n == 0) break;
            }
        } else if (!no_body && r.has("Content-Length")) {
            size_t n = strtoul(r.header("Content-Length").c_str(), nullptr, 10);
            while (buf_.size() < n) {
                if (!fill()) return r;
            }
            r.body = buf_.substr(0, n);
            buf_.erase(0, n);
        } else if (!no_body) {
            while (fill()) {
            }
            r.body = buf_;
            buf_.clear();
            close_fd();
        }
        r.status = status;
        if (lower(r.header("Connection")).find("close") != std::string::npos || !keep) close_fd();
        return r;
    }

  private:
    bool send_all(const std::string &s) {
        size_t off = 0;
        while (off < s.size()) {
            ssize_t n = send(fd_, s.data() + off, s.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return false;
            off += (size_t)n;
        }
        return true;
    }
    bool fill() {
        char tmp[65536];
        ssize_t n = recv(fd_, tmp, sizeof tmp, 0);
        if (n <= 0) return false;
        buf_.append(tmp, (size_t)n);
        return true;
    }
    int fd_ = -1;
    std::string buf_;
};

inline Reply http(int port, const std::string &method, const std::string &target,
                  const std::vector<std::string> &extra = {}) {
    Conn c;
    if (!c.connect_to(port)) return Reply();
    return c.request(method, target, extra, false);
}

inline Reply get(int port, const std::string &target, const std::vector<std::string> &extra = {}) {
    return http(port, "GET", target, extra);
}

// ---- HTML ----------------------------------------------------------------------------------

// The src attributes of a page's img elements, with "&amp;" read as "&".
inline std::vector<std::string> img_srcs(const std::string &html) {
    std::vector<std::string> out;
    for (size_t p = html.find("<img"); p != std::string::npos; p = html.find("<img", p + 1)) {
        size_t end = html.find('>', p);
        size_t a = html.find("src=\"", p);
        if (a == std::string::npos || a > end) continue;
        a += 5;
        std::string src = html.substr(a, html.find('"', a) - a);
        std::string plain;
        for (size_t i = 0; i < src.size(); i++) {
            plain.push_back(src[i]);
            if (src.compare(i, 5, "&amp;") == 0) i += 4;
        }
        src = plain;
        out.push_back(src);
    }
    return out;
}

// The value of one query parameter of a URL ("" when absent).
inline std::string query_value(const std::string &url, const std::string &name) {
    size_t q = url.find('?');
    if (q == std::string::npos) return "";
    for (const auto &kv : split(url.substr(q + 1), '&')) {
        if (kv.compare(0, name.size() + 1, name + "=") == 0) return kv.substr(name.size() + 1);
    }
    return "";
}

// True when `word` stands in `text` as a word of its own.
inline bool has_word(const std::string &text, const std::string &word) {
    auto inword = [](char c) { return isalnum((unsigned char)c) || c == '_'; };
    for (size_t p = text.find(word); p != std::string::npos; p = text.find(word, p + 1)) {
        size_t e = p + word.size();
        if ((p == 0 || !inword(text[p - 1])) && (e == text.size() || !inword(text[e]))) return true;
    }
    return false;
}

// ---- JSON ----------------------------------------------------------------------------------

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool b = false;
    double num = 0;
    std::string str;  // the string, or the number's text
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json *get(const std::string &key) const {
        for (const auto &m : members) {
            if (m.first == key) return &m.second;
        }
        return nullptr;
    }
};

// A strict reader of one JSON text; false on any syntax error or trailing bytes.
class JsonReader {
  public:
    static bool parse(const std::string &text, Json &out) {
        JsonReader r(text);
        if (!r.value(out, 0)) return false;
        r.ws();
        return r.pos_ == text.size();
    }

  private:
    explicit JsonReader(const std::string &t) : t_(t) {}
    void ws() {
        while (pos_ < t_.size() && strchr(" \t\r\n", t_[pos_]) != nullptr) pos_++;
    }
    bool lit(const char *word) {
        size_t n = strlen(word);
        if (t_.compare(pos_, n, word) != 0) return false;
        pos_ += n;
        return true;
    }
    bool string(std::string &s) {
        if (pos_ >= t_.size() || t_[pos_] != '"') return false;
        pos_++;
        while (pos_ < t_.size() && t_[pos_] != '"') {
            unsigned char c = (unsigned char)t_[pos_++];
            if (c < 0x20) return false;
            if (c != '\\') {
                s.push_back((char)c);
                continue;
            }
            if (pos_ >= t_.size()) return false;
            char e = t_[pos_++];
            const char *from = "\"\\/bfnrt", *to = "\"\\/\b\f\n\r\t";
            if (const char *p = strchr(from, e); p != nullptr && e != 0) {
                s.push_back(to[p - from]);
            } else if (e == 'u' && pos_ + 4 <= t_.size()) {
                unsigned cp = (unsigned)strtoul(t_.substr(pos_, 4).c_str(), nullptr, 16);
                pos_ += 4;
                if (cp < 0x80) {
                    s.push_back((char)cp);
                } else if (cp < 0x800) {
                    s.push_back((char)(0xC0 | cp >> 6));
                    s.push_back((char)(0x80 | (cp & 0x3F)));
                } else {
                    s.push_back((char)(0xE0 | cp >> 12));
                    s.push_back((char)(0x80 | (cp >> 6 & 0x3F)));
                    s.push_back((char)(0x80 | (cp & 0x3F)));
                }
            } else {
                return false;
            }
        }
        if (pos_ >= t_.size()) return false;
        pos_++;
        return true;
    }
    bool value(Json &v, int depth) {
        if (depth > 32) return false;
        ws();
        if (pos_ >= t_.size()) return false;
        char c = t_[pos_];
        if (c == 'n') return lit("null");
        if (c == 't' || c == 'f') {
            v.kind = Json::Bool;
            v.b = c == 't';
            return lit(v.b ? "true" : "false");
        }
        if (c == '"') {
            v.kind = Json::String;
            return string(v.str);
        }
        if (c == '[' || c == '{') {
            bool obj = c == '{';
            v.kind = obj ? Json::Object : Json::Array;
            pos_++;
            ws();
            if (pos_ < t_.size() && t_[pos_] == (obj ? '}' : ']')) {
                pos_++;
                return true;
            }
            for (;;) {
                ws();
                if (obj) {
                    std::string key;
                    if (!string(key)) return false;
                    ws();
                    if (pos_ >= t_.size() || t_[pos_++] != ':') return false;
                    v.members.emplace_back(key, Json());
                    if (!value(v.members.back().second, depth + 1)) return false;
                } else {
                    v.items.emplace_back();
                    if (!value(v.items.back(), depth + 1)) return false;
                }
                ws();
                if (pos_ >= t_.size()) return false;
                char d = t_[pos_++];
                if (d == (obj ? '}' : ']')) return true;
                if (d != ',') return false;
            }
        }
        size_t start = pos_;
        while (pos_ < t_.size() && strchr("+-0123456789.eE", t_[pos_]) != nullptr) pos_++;
        if (pos_ == start) return false;
        v.kind = Json::Number;
        v.str = t_.substr(start, pos_ - start);
        char *end = nullptr;
        v.num = strtod(v.str.c_str(), &end);
        return *end == '\0';
    }
    const std::string &t_;
    size_t pos_ = 0;
};

// ---- values --------------------------------------------------------------------------------

// True when `got` is the number that the table prints as `shown` (its plain form, "%" allowed),
// within half a unit of the table's last digit.
inline bool same_value(double got, const std::string &shown) {
    std::string s = shown;
    if (!s.empty() && s.back() == '%') s.pop_back();
    double want = strtod(s.c_str(), nullptr);
    size_t dot = s.find('.');
    int decimals = dot == std::string::npos ? 0 : (int)(s.size() - dot - 1);
    double tol = std::max(0.5 * std::pow(10.0, -decimals) * 1.001, 1e-12 * std::fabs(want));
    return std::fabs(got - want) <= tol;
}

}  // namespace webtest

#endif
