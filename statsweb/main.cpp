// SPDX-License-Identifier: Apache-2.0
// statsweb: the charts store of one data file over HTTP. Options and start-up; the main thread
// then only waits for signals (SIGTERM, SIGINT and SIGQUIT stop, SIGHUP reloads), while the
// server's threads answer the requests.
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

#include "handler.h"
#include "server.h"
#include "settings.h"
#include "statsdump.h"
#include "text.h"
#include "zellog.h"

namespace {

constexpr const char *kDefaultListen = "127.0.0.1:9740";
constexpr const char *kDefaultInput = STATSDUMP_DEFAULT_DIR "/" STATSDUMP_DEFAULT_FILE;

void print_usage(FILE *out, const char *appname) {
    fprintf(out,
            "usage: %s [-i stats_file] [-l address:port] [-a auth_file] [-c cert.pem -k key.pem] "
            "[-n name] [-z zone] [-C total] [-P per_address] [-T seconds] [-v] [-h]\n"
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
            "connection or the end of its last answer (default: 5)\n"
            "\t-v - log one line per request\n"
            "\t-h - this help (also --help; --version prints the version)\n",
            appname, kDefaultInput, kDefaultListen);
}

// A number of an option: 1..max, digits only.
bool option_number(const char *text, unsigned max, unsigned &out) {
    uint32_t v;
    if (!statsweb::parse_u32(text, v) || v == 0 || v > max) return false;
    out = v;
    return true;
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

}  // namespace

int main(int argc, char **argv) {
    const char *appname = argc > 0 && argv[0] != nullptr ? argv[0] : "statsweb";
    std::string input = kDefaultInput;
    std::string listen = kDefaultListen;
    const char *authfile = nullptr;
    const char *certfile = nullptr;
    const char *keyfile = nullptr;
    bool verbose = false;
    statsweb::ServerConfig cfg;
    bool numbers_ok = true;
    // Exit statuses: 0 after SIGTERM or SIGINT, 1 when the server cannot start (a file it
    // needs, the address), 2 for a usage error.
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            print_usage(stdout, appname);
            return 0;
        }
        if (strcmp(argv[i], "--version") == 0) {
            puts("statsweb " ZEL_VERSION);
            return 0;
        }
    }
    statsweb::Settings &settings = statsweb::settings();
    settings.name = statsweb::host_name();
    int ch;
    while ((ch = getopt(argc, argv, "i:l:a:c:k:n:z:C:P:T:vh")) != -1) {
        switch (ch) {
            case 'i':
                input = optarg;
                break;
            case 'l':
                listen = optarg;
                break;
            case 'a':
                authfile = optarg;
                break;
            case 'c':
                certfile = optarg;
                break;
            case 'k':
                keyfile = optarg;
                break;
            case 'n':
                settings.name = optarg;
                break;
            case 'z':
                settings.zone = optarg;
                break;
            case 'C':
                numbers_ok = numbers_ok && option_number(optarg, 100000, cfg.connection_limit);
                break;
            case 'P':
                numbers_ok = numbers_ok && option_number(optarg, 100000, cfg.per_address_limit);
                break;
            case 'T':
                numbers_ok = numbers_ok && option_number(optarg, 3600, cfg.header_seconds);
                break;
            case 'v':
                verbose = true;
                break;
            case 'h':
                print_usage(stdout, appname);
                return 0;
            default:
                print_usage(stderr, appname);
                return 2;
        }
    }
    cfg.verbose = verbose;
    cfg.listen_text = listen;
    if (optind < argc || !numbers_ok || input.empty() ||
        !statsweb::parse_listen(listen, cfg.listen) ||
        (certfile == nullptr) != (keyfile == nullptr) || settings.name.empty()) {
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
    if (authfile != nullptr) {
        std::string text;
        if (!read_file(authfile, text)) {
            fprintf(stderr, "can't read auth file %s\n", authfile);
            return 1;
        }
        if (!parse_auth(authfile, text, cfg.user, cfg.password)) return 1;
        cfg.auth = true;
    }
    if (certfile != nullptr) {
        if (!read_file(certfile, cfg.cert_pem) || cfg.cert_pem.empty()) {
            fprintf(stderr, "can't read certificate file %s\n", certfile);
            return 1;
        }
        if (!read_file(keyfile, cfg.key_pem) || cfg.key_pem.empty()) {
            fprintf(stderr, "can't read key file %s\n", keyfile);
            return 1;
        }
    }

    // Large blocks (tables, exports) go back to the system when freed, so that the size of the
    // process does not creep up with the sizes clients ask for.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);

    // Signals are taken by sigwait() below; the server's threads inherit the mask. The other
    // signals whose default would end the process at once, cutting answers in flight, are
    // ignored (faults such as SIGSEGV keep their default).
    sigset_t waited;
    sigemptyset(&waited);
    for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGHUP}) sigaddset(&waited, sig);
    pthread_sigmask(SIG_BLOCK, &waited, nullptr);
    for (int sig : {SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGIO, SIGPROF, SIGVTALRM, SIGXCPU, SIGXFSZ,
                    SIGPWR, SIGSTKFLT}) {
        signal(sig, SIG_IGN);
    }
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++) signal(sig, SIG_IGN);

    zel_log_init(nullptr, 0);
    if (statsweb::server_bind(cfg) != 0) return 1;
    zel_log(0, ZEL_LOG_INFO, "statsweb starting, data file %s", input.c_str());
    statsweb::open_store(input);
    if (statsweb::server_start() != 0) return 1;

    int sig = 0;
    for (;;) {
        if (sigwait(&waited, &sig) != 0) continue;
        if (sig != SIGHUP) break;
        statsweb::server_reload();
    }
    zel_log(0, ZEL_LOG_INFO, "signal %d: stopping", sig);
    statsweb::server_stop();
    charts_term();
    return 0;
}
