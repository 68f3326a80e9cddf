// SPDX-License-Identifier: Apache-2.0
// statsweb: the charts store of one data file over HTTP. Options and start-up; the main thread
// then only waits for signals (SIGTERM, SIGINT and SIGQUIT stop, SIGHUP reads the file again),
// while the server's threads answer the requests.
#include <arpa/inet.h>
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "charts.h"
#include "server.h"
#include "settings.h"
#include "statsdump.h"
#include "store.h"
#include "store_lock.h"
#include "text.h"
#include "zellog.h"

namespace {

constexpr const char *kDefaultListen = "127.0.0.1:9740";
constexpr const char *kDefaultInput = STATSDUMP_DEFAULT_DIR "/" STATSDUMP_DEFAULT_FILE;

void print_usage(FILE *out, const char *appname) {
    fprintf(out,
            "usage: %s [-i stats_file] [-l address:port] [-a auth_file] [-c cert.pem -k key.pem] "
            "[-n name] [-z zone] [-C total] [-P per_address] [-T seconds] [-S milliseconds] "
            "[-M mebibytes] [-F proxy[,proxy...]] [-v] [-h]\n"
            "\t-i - name of zel binary stats file (default: %s)\n"
            "\t-l - address and port to listen on: a.b.c.d:port, [v6addr]:port or :port for "
            "every interface (default: %s)\n"
            "\t-a - file with one user:password line; every request then needs HTTP basic "
            "authentication\n"
            "\t-c - certificate (PEM) for HTTPS, with -k\n"
            "\t-k - private key (PEM) for HTTPS, with -c\n"
            "\t-n - the server's name, shown by the page, /status and the metrics' labels "
            "(default: this host's name)\n"
            "\t-z - time zone (IANA name) in which the data file's server keeps time "
            "(default: this host's)\n"
            "\t-C - connections at most, in total (default: 256)\n"
            "\t-P - connections at most from one client address (default: 128)\n"
            "\t-T - seconds a client has to send a request's headers, from the start of its "
            "connection or the end of its last answer; also the idle time of a keep-alive "
            "connection (default: 5)\n"
            "\t-S - milliseconds a changed data file must stay unchanged before it is read "
            "(default: 1000; 0: at once)\n"
            "\t-M - mebibytes that the answers in flight and kept may hold together "
            "(default: 256)\n"
            "\t-F - addresses of trusted proxies, separated by commas: the last address of "
            "their X-Forwarded-For header is the client's\n"
            "\t-v - log one line per request\n"
            "\t-h - this help (also --help; --version prints the version)\n",
            appname, kDefaultInput, kDefaultListen);
}

// A number of an option: least..max, digits only.
bool option_number(const char *text, unsigned max, unsigned &out, unsigned least = 1) {
    uint32_t v;
    if (!statsweb::parse_u32(text, v) || v < least || v > max) return false;
    out = v;
    return true;
}

// -F: addresses separated by commas, each kept as inet_ntop writes it, IPv4 ones also as the
// mapped IPv6 address a server listening on every interface sees.
bool parse_proxies(std::string_view text, std::vector<std::string> &out) {
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string one(text.substr(0, comma));
        text.remove_prefix(comma == text.npos ? text.size() : comma + 1);
        unsigned char a[16];
        char buf[INET6_ADDRSTRLEN + 1];
        if (inet_pton(AF_INET, one.c_str(), a) == 1) {
            out.push_back(inet_ntop(AF_INET, a, buf, sizeof buf));
            out.push_back("::ffff:" + out.back());
        } else if (inet_pton(AF_INET6, one.c_str(), a) == 1) {
            out.push_back(inet_ntop(AF_INET6, a, buf, sizeof buf));
        } else {
            return false;
        }
    }
    return !out.empty();
}

// The auth file: exactly one line "user:password", neither part empty, no NUL; a message
// naming the line otherwise.
bool parse_auth(const char *path, std::string text, std::string &user, std::string &password) {
    const size_t nl = text.find('\n');
    std::string rest = nl == std::string::npos ? std::string() : text.substr(nl + 1);
    if (nl != std::string::npos) text.resize(nl);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    const char *why = nullptr;
    int line = 1;
    const size_t colon = text.find(':');
    if (text.find('\0') != std::string::npos) {
        why = "a NUL byte";
    } else if (colon == std::string::npos) {
        why = "expected user:password";
    } else if (colon == 0) {
        why = "an empty user";
    } else if (colon + 1 == text.size()) {
        why = "an empty password";
    } else if (!rest.empty()) {
        line = 2;
        why = "a second line (the file holds one user:password line)";
    }
    if (why != nullptr) {
        fprintf(stderr, "auth file %s: line %d: %s\n", path, line, why);
        return false;
    }
    user = text.substr(0, colon);
    password = text.substr(colon + 1);
    return true;
}

bool read_file(const char *path, std::string &out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return !in.bad();
}

// What the command line sets; false (after the usage text) for a usage error.
struct Options {
    std::string input = kDefaultInput;
    std::string listen = kDefaultListen;
    const char *authfile = nullptr;
    const char *certfile = nullptr;
    const char *keyfile = nullptr;
};

// Reads the options into opt, cfg and settings(): 0 to go on, else the exit status (after the
// usage text, the version, or the help).
int parse_options(int argc, char **argv, Options &opt, statsweb::ServerConfig &cfg) {
    const char *appname = argc > 0 && argv[0] != nullptr ? argv[0] : "statsweb";
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            print_usage(stdout, appname);
            return -1;
        }
        if (strcmp(argv[i], "--version") == 0) {
            puts("statsweb " ZEL_VERSION);
            return -1;
        }
    }
    statsweb::Settings &settings = statsweb::settings();
    settings.name = statsweb::host_name();
    bool ok = true;
    unsigned mib = unsigned(settings.budget_bytes >> 20);
    int ch;
    while ((ch = getopt(argc, argv, "i:l:a:c:k:n:z:C:P:T:S:M:F:vh")) != -1) {
        switch (ch) {
            case 'i':
                opt.input = optarg;
                break;
            case 'l':
                opt.listen = optarg;
                break;
            case 'a':
                opt.authfile = optarg;
                break;
            case 'c':
                opt.certfile = optarg;
                break;
            case 'k':
                opt.keyfile = optarg;
                break;
            case 'n':
                settings.name = optarg;
                break;
            case 'z':
                settings.zone = optarg;
                break;
            case 'C':
                ok = ok && option_number(optarg, 100000, cfg.connection_limit);
                break;
            case 'P':
                ok = ok && option_number(optarg, 100000, cfg.per_address_limit);
                break;
            case 'T':
                ok = ok && option_number(optarg, 3600, cfg.header_seconds);
                break;
            case 'S':
                ok = ok && option_number(optarg, 60000, settings.settle_ms, 0);
                break;
            case 'M':
                ok = ok && option_number(optarg, 1 << 20, mib, 16);
                break;
            case 'F':
                ok = ok && parse_proxies(optarg, cfg.trusted_proxies);
                break;
            case 'v':
                cfg.verbose = true;
                break;
            case 'h':
                print_usage(stdout, appname);
                return -1;
            default:
                print_usage(stderr, appname);
                return 2;
        }
    }
    settings.budget_bytes = size_t(mib) << 20;
    cfg.listen_text = opt.listen;
    if (optind < argc || !ok || opt.input.empty() ||
        !statsweb::parse_listen(opt.listen, cfg.listen) ||
        (opt.certfile == nullptr) != (opt.keyfile == nullptr) || settings.name.empty()) {
        print_usage(stderr, appname);
        return 2;
    }
    if (!settings.zone.empty()) {
        if (!statsweb::known_zone(settings.zone)) {
            fprintf(stderr, "unknown time zone %s\n", settings.zone.c_str());
            return 2;
        }
        // The store and every conversion of local seconds read the data file's zone.
        setenv("TZ", settings.zone.c_str(), 1);
        tzset();
    }
    return 0;
}

// The auth, certificate and key files: 0, or 1 after a message naming the file.
int read_secrets(const Options &opt, statsweb::ServerConfig &cfg) {
    if (opt.authfile != nullptr) {
        std::string text;
        if (!read_file(opt.authfile, text)) {
            fprintf(stderr, "can't read auth file %s\n", opt.authfile);
            return 1;
        }
        if (!parse_auth(opt.authfile, text, cfg.user, cfg.password)) return 1;
        cfg.auth = true;
    }
    if (opt.certfile != nullptr) {
        if (!read_file(opt.certfile, cfg.cert_pem) || cfg.cert_pem.empty()) {
            fprintf(stderr, "can't read certificate file %s\n", opt.certfile);
            return 1;
        }
        if (!read_file(opt.keyfile, cfg.key_pem) || cfg.key_pem.empty()) {
            fprintf(stderr, "can't read key file %s\n", opt.keyfile);
            return 1;
        }
    }
    return 0;
}

// Signals are taken by sigwait() in main; the server's threads inherit the mask. The other
// signals whose default would end the process at once, cutting answers in flight, are ignored
// (faults such as SIGSEGV keep their default). Returns the waited set.
sigset_t take_signals() {
    sigset_t waited;
    sigemptyset(&waited);
    for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGHUP}) sigaddset(&waited, sig);
    pthread_sigmask(SIG_BLOCK, &waited, nullptr);
    for (int sig : {SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGIO, SIGPROF, SIGVTALRM, SIGXCPU, SIGXFSZ,
                    SIGPWR, SIGSTKFLT, SIGTRAP, SIGSYS}) {
        signal(sig, SIG_IGN);
    }
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++) signal(sig, SIG_IGN);
    return waited;
}

}  // namespace

// Exit statuses: 0 after SIGTERM, SIGINT or SIGQUIT, 1 when the server cannot start (a file it
// needs, the address), 2 for a usage error.
int main(int argc, char **argv) {
    Options opt;
    statsweb::ServerConfig cfg;
    if (const int rc = parse_options(argc, argv, opt, cfg); rc != 0) return rc < 0 ? 0 : rc;
    if (read_secrets(opt, cfg) != 0) return 1;

    // Large blocks (tables, exports) go back to the system when freed, so that the size of the
    // process does not creep up with the sizes clients ask for.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    sigset_t waited = take_signals();

    zel_log_init(nullptr, 0);
    if (statsweb::server_bind(cfg) != 0) return 1;
    statsweb::web_log(ZEL_LOG_INFO, "statsweb starting, data file %s", opt.input.c_str());
    statsweb::open_store(opt.input);
    if (statsweb::server_start() != 0) return 1;

    int sig = 0;
    for (;;) {
        if (sigwait(&waited, &sig) != 0) continue;
        if (sig != SIGHUP) break;
        statsweb::server_reload();
    }
    statsweb::web_log(ZEL_LOG_INFO, "signal %d: stopping", sig);
    statsweb::server_stop();
    charts_term();
    return 0;
}
