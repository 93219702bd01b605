// Test helpers: capture what the code under test writes to a standard
// stream, and write temporary files. Test thread only.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// Redirects stdout or stderr (by file descriptor) into a temporary file
// until finish() is called, which returns everything written meanwhile;
// peek() reads it while the capture goes on.
class StreamCapture {
  public:
    explicit StreamCapture(int fd) : fd_(fd) {
        std::fflush(nullptr);
        char path[] = "/tmp/zrv-capture-XXXXXX";
        file_fd_ = mkstemp(path);
        path_ = path;
        saved_fd_ = dup(fd_);
        dup2(file_fd_, fd_);
    }
    StreamCapture(const StreamCapture &) = delete;
    StreamCapture &operator=(const StreamCapture &) = delete;
    ~StreamCapture() { finish(); }

    std::string peek() const {
        if (saved_fd_ < 0) return text_;
        std::fflush(nullptr);
        std::ifstream in(path_);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

    std::string finish() {
        if (saved_fd_ < 0) return text_;
        text_ = peek();
        dup2(saved_fd_, fd_);
        close(saved_fd_);
        close(file_fd_);
        saved_fd_ = -1;
        unlink(path_.c_str());
        return text_;
    }

  private:
    int fd_;
    int file_fd_ = -1;
    int saved_fd_ = -1;
    std::string path_;
    std::string text_;
};

// A private directory for a test's files, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        char path[] = "/tmp/zrv-test-XXXXXX";
        path_ = mkdtemp(path);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::string &path() const { return path_; }
    std::string write(const std::string &name, const std::string &content) const {
        std::string file = path_ + "/" + name;
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }

  private:
    std::string path_;
};
