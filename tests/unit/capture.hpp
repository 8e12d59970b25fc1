// Collects what a renderer or a report writes to a stream.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

class capture {
  public:
    capture() : f_(open_memstream(&buf_, &len_)) {}
    ~capture() {
        if (f_ != nullptr)
            fclose(f_);
        free(buf_);
    }
    capture(const capture &) = delete;
    capture &operator=(const capture &) = delete;
    FILE *file() { return f_; }
    std::string text() {
        fflush(f_);
        return std::string(buf_, len_);
    }

  private:
    char *buf_ = nullptr;
    size_t len_ = 0;
    FILE *f_;
};
