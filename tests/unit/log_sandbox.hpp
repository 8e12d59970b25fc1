// A private directory with its own log file for one test. The logging state is
// process-global, so the sandbox writes a unique marker line first and reads
// back only what follows it; on destruction the log falls back to standard
// error and the directory is removed.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "info.hpp"

// True when text has exactly the given shape: '9' stands for a digit, 'x' for
// a lower-case hexadecimal digit, '~' for a sign; anything else for itself.
// (std::regex trips GCC 12 warnings in sanitizer builds.)
inline bool has_shape(const std::string &text, const std::string &shape) {
    if (text.size() != shape.size())
        return false;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        bool ok = false;
        switch (shape[i]) {
        case '9':
            ok = c >= '0' && c <= '9';
            break;
        case 'x':
            ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
            break;
        case '~':
            ok = c == '+' || c == '-';
            break;
        default:
            ok = c == shape[i];
        }
        if (!ok)
            return false;
    }
    return true;
}

// True when text is head, one or more digits, then tail.
inline bool has_number_between(const std::string &text, const std::string &head,
                               const std::string &tail) {
    if (text.size() <= head.size() + tail.size() || text.compare(0, head.size(), head) != 0 ||
        text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    for (size_t i = head.size(); i < text.size() - tail.size(); i++)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

class log_sandbox {
  public:
    log_sandbox() {
        char tmpl[] = "/tmp/tuvod-unit-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            ADD_FAILURE() << "mkdtemp failed";
        dir_ = tmpl;
        log_path_ = dir_ + "/tuvod.log";
        set_info_level(INFO_WARN);
        set_abort_on_error(false);
        global_debug_mask = 0;
        set_log_file(log_path_.c_str());
        static int serial = 0;
        marker_ = "---- log sandbox " + std::to_string(++serial) + " ----\n";
        print_info(INFO_ERROR, "%s", marker_.c_str());
    }

    ~log_sandbox() {
        // Quietly back to standard error: the failed open's message is muted.
        set_info_level(INFO_CRITICAL);
        set_log_file((dir_ + "/missing/tuvod.log").c_str());
        set_info_level(INFO_WARN);
        global_debug_mask = 0;
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    log_sandbox(const log_sandbox &) = delete;
    log_sandbox &operator=(const log_sandbox &) = delete;

    const std::string &log_path() const { return log_path_; }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    static std::string read_file(const std::string &path) {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // Everything written after the marker, time prefixes included.
    std::string raw() const {
        std::string all = read_file(log_path_);
        size_t at = all.find(marker_);
        return at == std::string::npos ? std::string() : all.substr(at + marker_.size());
    }

    // The lines after the marker with their time prefixes checked and removed.
    std::vector<std::string> lines() const { return strip_prefixes(raw()); }

    static std::vector<std::string> split(const std::string &text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }

    static std::vector<std::string> strip_prefixes(const std::string &text) {
        std::vector<std::string> out;
        for (const std::string &line : split(text)) {
            if (has_shape(line.substr(0, 23), "9999-99-99T99:99:99Z : ")) {
                out.push_back(line.substr(23));
            } else {
                ADD_FAILURE() << "log line without its time prefix: " << line;
                out.push_back(line);
            }
        }
        return out;
    }

    // Polls the log until pred holds or the limit passes; true if it held.
    bool wait_for(const std::function<bool(const std::vector<std::string> &)> &pred,
                  std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        auto until = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (pred(lines()))
                return true;
            if (std::chrono::steady_clock::now() >= until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

  private:
    std::string dir_;
    std::string log_path_;
    std::string marker_;
};

// Sends standard error (descriptor 2) to a file until restored.
class stderr_capture {
  public:
    explicit stderr_capture(const std::string &path) : path_(path) {
        fflush(stderr);
        saved_ = dup(2);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~stderr_capture() { restore(); }
    stderr_capture(const stderr_capture &) = delete;
    stderr_capture &operator=(const stderr_capture &) = delete;

    // Puts standard error back and returns what was captured.
    std::string restore() {
        if (saved_ >= 0) {
            fflush(stderr);
            dup2(saved_, 2);
            close(saved_);
            saved_ = -1;
        }
        return log_sandbox::read_file(path_);
    }

  private:
    std::string path_;
    int saved_ = -1;
};
