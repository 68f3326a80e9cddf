// SPDX-License-Identifier: Apache-2.0
// statsweb under siege (bench/statsweb_bench.sh): a monitoring client's latency beside a gzip
// flood and beside bursts right after the data file changes, and the server's peak resident
// size with 256 clients that ask for differing histories and never read them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
static int port;

static int dial(const char *from = nullptr, int rcvbuf = 0) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    if (from != nullptr) {
        inet_pton(AF_INET, from, &a.sin_addr);
        if (bind(fd, (sockaddr *)&a, sizeof a) != 0) return close(fd), -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (sockaddr *)&a, sizeof a) != 0) return close(fd), -1;
    return fd;
}

static void send_get(int fd, const std::string &path, const char *extra = "") {
    std::string r =
        "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + extra + "\r\n";
    (void)!write(fd, r.data(), r.size());
}

// The status of an answer read to its end (the server closes: Connection: close).
static int read_status(int fd, bool *gzip = nullptr) {
    std::string head;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        if (head.size() < 4096) head.append(buf, size_t(n));
    }
    close(fd);
    if (gzip) *gzip = head.find("Content-Encoding: gzip") != std::string::npos;
    return head.size() > 12 ? atoi(head.c_str() + 9) : 0;
}

static int get(const std::string &path, const char *extra = "", bool *gzip = nullptr) {
    int fd = dial();
    if (fd < 0) return 0;
    send_get(fd, path, extra);
    return read_status(fd, gzip);
}

// A monitoring client until stop: /metrics and /status in turn, 10 ms apart; p99 and max in ms.
static void monitor(std::atomic<bool> &stop, double &p99, double &max) {
    std::vector<double> ms;
    for (int i = 0; !stop.load(); i++) {
        auto s = Clock::now();
        get(i % 2 ? "/metrics" : "/status", "Accept-Encoding: gzip\r\n");
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - s).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::sort(ms.begin(), ms.end());
    p99 = ms.empty() ? 0 : ms[ms.size() * 99 / 100];
    max = ms.empty() ? 0 : ms.back();
}

static std::string history(int k) {
    return "/openmetrics?r=" + std::to_string(k % 4) + "&job=h" + std::to_string(k / 4);
}

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    const std::string mode = argv[1];
    port = atoi(argv[2]);
    if (mode == "gzip") {  // 16 kept histories, then 16 connections ask for their gzip forms
        for (int k = 0; k < 16; k++) get(history(k));
        get("/metrics", "Accept-Encoding: gzip\r\n");
        std::atomic<bool> stop{false};
        std::atomic<int> gz{0};
        std::vector<std::thread> flood;
        for (int c = 0; c < 16; c++) {
            flood.emplace_back([&, c] {
                for (int i = 0; !stop.load(); i++) {
                    bool z = false;
                    if (get(history((c * 5 + i) % 16), "Accept-Encoding: gzip\r\n", &z) == 200 && z)
                        gz++;
                }
            });
        }
        double p99, max;
        std::thread mon([&] { monitor(stop, p99, max); });
        std::this_thread::sleep_for(std::chrono::seconds(10));
        stop = true;
        mon.join();
        for (auto &t : flood) t.join();
        printf("%.1f %.1f %d\n", p99, max, gz.load());
    } else if (mode == "burst") {  // argv: data a b; 20 rounds of 64 identical requests
        const std::string data = argv[3], files[2] = {argv[4], argv[5]};
        get("/metrics");
        std::atomic<bool> stop{false};
        double p99, max;
        std::thread mon([&] { monitor(stop, p99, max); });
        int ok = 0, all = 0;
        const char *targets[2] = {"/metrics", "/chart?f=cpu&x=1200&y=300"};
        for (int round = 0; round < 20; round++) {
            const std::string cmd =
                "cp " + files[round % 2] + " " + data + ".new && mv " + data + ".new " + data;
            if (system(cmd.c_str()) != 0) return 1;
            std::vector<int> fds;
            for (int i = 0; i < 64; i++) fds.push_back(dial());
            for (int fd : fds) send_get(fd, targets[round / 2 % 2]);
            for (int fd : fds) ok += read_status(fd) == 200, all++;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        stop = true;
        mon.join();
        printf("%.1f %.1f %d %d\n", p99, max, ok, all);
    } else if (mode == "nonreaders") {  // argv: pid
        const std::string status = "/proc/" + std::string(argv[3]) + "/status";
        auto rss = [&] {
            FILE *f = fopen(status.c_str(), "r");
            char line[256];
            long kib = -1;
            while (f && fgets(line, sizeof line, f)) {
                if (strncmp(line, "VmRSS:", 6) == 0) kib = atol(line + 6);
            }
            if (f) fclose(f);
            return kib;
        };
        get(history(0));
        const long before = rss();
        std::vector<int> fds;
        for (int i = 0; i < 256; i++) {
            const std::string from = "127.0.0." + std::to_string(20 + i % 8);
            int fd = dial(from.c_str(), 4096);
            if (fd < 0) continue;
            send_get(fd, "/openmetrics?r=" + std::to_string(i % 2) + "&job=n" + std::to_string(i));
            fds.push_back(fd);
        }
        long peak = before;
        for (int i = 0; i < 32; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            peak = std::max(peak, rss());
        }
        int ok = 0, busy = 0;
        for (int fd : fds) {
            const int st = read_status(fd);
            ok += st == 200, busy += st == 503;
        }
        printf("%ld %ld %d %d\n", before / 1024, peak / 1024, ok, busy);
    }
    return 0;
}
